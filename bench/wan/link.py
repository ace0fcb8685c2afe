#!/usr/bin/env python3
"""A WAN link between a VNC viewer and a VNC server, for bench/wan/run.

Listens on a local port; each connection is carried to the server byte for byte, each
direction delayed by half the round trip and limited to a bandwidth, with a bounded queue:
once that much waits for the wire, the link stops reading, so the sender's TCP feels the
bottleneck as it would on a real path. Nothing is dropped or reordered.

  link.py LISTEN_PORT SERVER_HOST SERVER_PORT --rtt-ms N --mbit N [--queue-kb N] [--stats FILE]
          [--greet]

--greet stands in for the directory server before the link: the viewer's "view NAME" line is
answered "ok" at once, and the RFB stream follows (for talviewer, which starts that way).

--mbit 0 means no bandwidth limit. With --stats, each connection appends one line when it
closes (or the link is stopped with SIGTERM/SIGINT):
  "down BYTES up BYTES requests N fences F seconds S"
down being the server's bytes to the viewer, N the viewer's FramebufferUpdateRequests and F its
fences: a viewer without continuous updates sends one request per update it receives, so N - 1
counts the updates of any viewer, whatever it decodes; with continuous updates a TigerVNC server
asks for a fence back after each update, so F counts them (-1 for both when the viewer's
messages could not be followed).
"""
import argparse
import collections
import signal
import socket
import sys
import threading
import time

CHUNK = 16 * 1024
# Small socket buffers at the link: what waits should wait in the link's queue, where the
# bandwidth and the bound apply, not in the kernel's.
SOCKET_BUFFER = 64 * 1024


class RequestCounter:
    """Follows a viewer's messages after a plain handshake (version, security None, ClientInit:
    14 bytes for RFB 3.8) and counts its update requests."""

    FIXED = {0: 20, 3: 10, 4: 8, 5: 6, 150: 10}

    def __init__(self):
        self.buffer = b""
        self.skip = 14
        self.requests = 0
        self.fences = 0

    def feed(self, data):
        if self.requests < 0:
            return
        self.buffer += data
        if self.skip:
            cut = min(self.skip, len(self.buffer))
            self.buffer, self.skip = self.buffer[cut:], self.skip - cut
        while self.buffer:
            b, kind = self.buffer, self.buffer[0]
            if kind in self.FIXED:
                length = self.FIXED[kind]
            elif kind == 2 and len(b) >= 4:  # SetEncodings
                length = 4 + 4 * int.from_bytes(b[2:4], "big")
            elif kind == 6 and len(b) >= 8:  # ClientCutText; negative: extended clipboard
                length = 8 + abs(int.from_bytes(b[4:8], "big", signed=True))
            elif kind == 248 and len(b) >= 9:  # Fence
                length = 9 + b[8]
            elif kind == 251 and len(b) >= 8:  # SetDesktopSize
                length = 8 + 16 * b[6]
            elif kind == 255 and len(b) >= 2:  # QEMU extended key events
                length = 12
            elif kind in (2, 6, 248, 251, 255):
                return
            else:
                self.requests = self.fences = -1
                return
            if len(b) < length:
                return
            self.requests += kind == 3
            self.fences += kind == 248
            self.buffer = b[length:]


class Direction:
    """One way of one connection: a reader that stamps when each piece may arrive, a writer
    that delivers it then."""

    def __init__(self, src, dst, delay, rate, queue_bytes):
        self.src, self.dst = src, dst
        self.delay, self.rate, self.queue_bytes = delay, rate, queue_bytes
        self.pieces = collections.deque()
        self.cond = threading.Condition()
        self.link_free = 0.0  # when the wire has sent everything queued so far
        self.eof = False
        self.bytes = 0
        self.counter = None  # a RequestCounter on the viewer's side

    def read(self):
        try:
            while True:
                if self.rate:
                    # Wait while more than the queue's worth is still to go out on the wire.
                    backlog = (self.link_free - time.monotonic()) * self.rate
                    if backlog > self.queue_bytes:
                        time.sleep((backlog - self.queue_bytes) / self.rate)
                        continue
                data = self.src.recv(CHUNK)
                if not data:
                    break
                now = time.monotonic()
                sent = max(now, self.link_free) + (len(data) / self.rate if self.rate else 0)
                self.link_free = sent
                with self.cond:
                    self.pieces.append((sent + self.delay, data))
                    self.cond.notify()
        except OSError:
            pass
        with self.cond:
            self.eof = True
            self.cond.notify()

    def write(self):
        try:
            while True:
                with self.cond:
                    while not self.pieces and not self.eof:
                        self.cond.wait()
                    if not self.pieces:
                        break
                    due, data = self.pieces.popleft()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                self.dst.sendall(data)
                self.bytes += len(data)
                if self.counter:
                    self.counter.feed(data)
        except OSError:
            pass
        # Pass the end on: the other side sees the close once everything has arrived.
        for s in (self.dst, self.src):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def tune(s):
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


def greet(viewer):
    line = b""
    while not line.endswith(b"\n") and len(line) < 256:
        data = viewer.recv(1)
        if not data:
            return False
        line += data
    viewer.sendall(b"ok\n")
    return line.startswith(b"view ")


def carry(viewer, args, stats):
    if args.greet and not greet(viewer):
        viewer.close()
        return
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SOCKET_BUFFER)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SOCKET_BUFFER)
    try:
        server.connect((args.server_host, args.server_port))
    except OSError as e:
        print(f"link.py: cannot reach the server: {e}", file=sys.stderr)
        viewer.close()
        return
    tune(server)
    tune(viewer)
    delay = args.rtt_ms / 2000.0
    rate = args.mbit * 1e6 / 8
    queue = args.queue_kb * 1024
    down = Direction(server, viewer, delay, rate, queue)
    up = Direction(viewer, server, delay, rate, queue)
    up.counter = RequestCounter()
    start = time.monotonic()
    stats.append((down, up, start))
    threads = [threading.Thread(target=f, daemon=True)
               for d in (down, up) for f in (d.read, d.write)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    report(stats, (down, up, start))


lock = threading.Lock()


def report(stats, entry):
    with lock:
        if entry not in stats:
            return
        stats.remove(entry)
        down, up, start = entry
        line = (f"down {down.bytes} up {up.bytes} requests {up.counter.requests} "
                f"fences {up.counter.fences} seconds {time.monotonic() - start:.2f}\n")
        if ARGS.stats:
            with open(ARGS.stats, "a") as f:
                f.write(line)


def main():
    global ARGS
    p = argparse.ArgumentParser(description="a WAN link for VNC benchmarks")
    p.add_argument("listen_port", type=int)
    p.add_argument("server_host")
    p.add_argument("server_port", type=int)
    p.add_argument("--rtt-ms", type=float, default=0)
    p.add_argument("--mbit", type=float, default=0)
    p.add_argument("--queue-kb", type=int, default=256)
    p.add_argument("--stats")
    p.add_argument("--greet", action="store_true")
    ARGS = args = p.parse_args()
    stats = []

    def stop(*_):
        for entry in list(stats):
            report(stats, entry)
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SOCKET_BUFFER)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SOCKET_BUFFER)
    listener.bind(("127.0.0.1", args.listen_port))
    listener.listen(4)
    print("listening", flush=True)
    while True:
        viewer, _ = listener.accept()
        threading.Thread(target=carry, args=(viewer, args, stats), daemon=True).start()


if __name__ == "__main__":
    main()
