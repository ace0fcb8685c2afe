#!/usr/bin/env python3
"""The benchmark's frame-for-frame viewer: shows the same screens one after another on an X
display and, after each, asks every VNC server given for the whole screen (a non-incremental
FramebufferUpdateRequest, ZRLE or raw), timing the request to the last rectangle and counting
its bytes. Plain RFB with security None; a server is reached directly (PORT) or through the
directory server's relay (PORT/NAME: "view NAME" first).

  frame_compare.py --display :N --frames N --screens DIR NAME=HOST:PORT[/AGENT] ...
DIR holds screen-K.xwd files, shown in turn with xwud. Prints one line per server and a ratio.
"""
import argparse
import glob
import os
import socket
import struct
import subprocess
import time

ZRLE, RAW = 16, 0


class Viewer:
    def __init__(self, address):
        host_port, _, agent = address.partition("/")
        host, _, port = host_port.rpartition(":")
        self.sock = socket.create_connection((host, int(port)), timeout=30)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.received = 0
        if agent:
            self.sock.sendall(b"view " + agent.encode() + b"\n")
            line = b""
            while not line.endswith(b"\n"):
                line += self.read(1)
            if line.strip() != b"ok":
                raise SystemExit("frame_compare: the relay said %r" % line)
        version = self.read(12)
        self.sock.sendall(b"RFB 003.008\n")
        types = self.read(self.read(1)[0]) if version >= b"RFB 003.007\n" else self.read(4)
        if 1 not in types:
            raise SystemExit("frame_compare: %s offers no security None" % address)
        if version >= b"RFB 003.007\n":
            self.sock.sendall(b"\x01")
        if version >= b"RFB 003.008\n" and self.read(4) != b"\0\0\0\0":
            raise SystemExit("frame_compare: %s refused the session" % address)
        self.sock.sendall(b"\x01")  # shared
        self.width, self.height = struct.unpack(">HH", self.read(4))
        self.bpp = self.read(16)[0]
        self.read(struct.unpack(">I", self.read(4))[0])  # the desktop's name
        self.sock.sendall(struct.pack(">BxHii", 2, 2, ZRLE, RAW))

    def read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise SystemExit("frame_compare: the server closed the session")
            data += chunk
        self.received += len(data)
        return data

    def whole_screen(self):
        """Seconds and bytes for one whole screen."""
        start, before = time.perf_counter(), self.received
        self.sock.sendall(struct.pack(">BBHHHH", 3, 0, 0, 0, self.width, self.height))
        area = 0
        while area < self.width * self.height:
            kind = self.read(1)[0]
            if kind == 2:  # bell
                continue
            if kind == 3:  # cut text
                self.read(3)
                self.read(struct.unpack(">I", self.read(4))[0])
                continue
            if kind != 0:
                raise SystemExit("frame_compare: server message %d" % kind)
            self.read(1)
            for _ in range(struct.unpack(">H", self.read(2))[0]):
                x, y, w, h, encoding = struct.unpack(">HHHHi", self.read(12))
                if encoding == ZRLE:
                    self.read(struct.unpack(">I", self.read(4))[0])
                elif encoding == RAW:
                    self.read(w * h * self.bpp // 8)
                else:
                    raise SystemExit("frame_compare: encoding %d" % encoding)
                area += w * h
        return time.perf_counter() - start, self.received - before


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--display", required=True)
    parser.add_argument("--frames", type=int, default=20)
    parser.add_argument("--screens", required=True)
    parser.add_argument("servers", nargs="+")
    args = parser.parse_args()
    screens = sorted(glob.glob(os.path.join(args.screens, "screen-*.xwd")))
    viewers = [(name, Viewer(address))
               for name, _, address in (s.partition("=") for s in args.servers)]
    for _, viewer in viewers:
        viewer.whole_screen()  # the first frame sets up each server's state
    totals = {name: [0.0, 0] for name, _ in viewers}
    shown = None
    env = dict(os.environ, DISPLAY=args.display)
    for frame in range(args.frames):
        # The same screen for every server: shown, settled, then asked of each in turn.
        previous = shown
        shown = subprocess.Popen(["xwud", "-noclick", "-in", screens[frame % len(screens)]],
                                 env=env)
        time.sleep(0.5)
        if previous:
            previous.kill()
            previous.wait()
        time.sleep(0.3)
        for name, viewer in viewers:
            seconds, size = viewer.whole_screen()
            totals[name][0] += seconds
            totals[name][1] += size
    if shown:
        shown.kill()
    for name, (seconds, size) in totals.items():
        print("%s: %.1f ms and %.0f KiB per whole screen (%dx%d, %d frames)" %
              (name, seconds / args.frames * 1000, size / args.frames / 1024,
               viewers[0][1].width, viewers[0][1].height, args.frames))
    if len(totals) == 2:
        (a, (ta, sa)), (b, (tb, sb)) = totals.items()
        print("%s / %s: %.2f x the time, %.2f x the bytes" % (a, b, ta / tb, sa / max(sb, 1)))


if __name__ == "__main__":
    main()
