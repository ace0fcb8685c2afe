#!/usr/bin/env python3
"""The benchmark's relay: answers "view NAME" with "ok" and relays to a plain (security None)
VNC server, reading the viewer's side of the RFB stream on the way. Each FramebufferUpdateRequest
after the first is sent once the viewer has decoded an update, so their times give the first
frame and the frames per second, measured the same way for any viewer.

  measure_relay.py --port-file FILE --upstream PORT --log FILE
The log gets "accept T" and "request T" lines (T: seconds since the epoch).
"""
import argparse
import os
import socket
import struct
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/win32"))
from view_relay import listen, pump, serve_forever  # noqa: E402


class ClientReader:
    """The viewer's messages after version (12), security type (1) and ClientInit (1)."""

    def __init__(self, log):
        self.buffer = b""
        self.skip = 14
        self.log = log

    def feed(self, data):
        self.buffer += data
        if self.skip:
            n = min(self.skip, len(self.buffer))
            self.skip -= n
            self.buffer = self.buffer[n:]
        while self.buffer:
            kind = self.buffer[0]
            sizes = {0: 20, 3: 10, 4: 8, 5: 6}
            if kind in sizes:
                size = sizes[kind]
            elif kind == 2 and len(self.buffer) >= 4:
                size = 4 + 4 * struct.unpack(">H", self.buffer[2:4])[0]
            elif kind == 6 and len(self.buffer) >= 8:
                size = 8 + struct.unpack(">I", self.buffer[4:8])[0]
            else:
                return
            if len(self.buffer) < size:
                return
            if kind == 3:
                self.log.write(f"request {time.time():.4f}\n")
                self.log.flush()
            self.buffer = self.buffer[size:]


def serve(conn, upstream_port, log):
    line = b""
    while not line.endswith(b"\n"):
        chunk = conn.recv(1)
        if not chunk:
            return
        line += chunk
    log.write(f"accept {time.time():.4f}\n")
    upstream = socket.create_connection(("127.0.0.1", upstream_port))
    conn.sendall(b"ok\n")
    threading.Thread(target=pump, args=(upstream, conn), daemon=True).start()
    reader = ClientReader(log)
    try:
        while data := conn.recv(65536):
            reader.feed(data)
            upstream.sendall(data)
    except OSError:
        pass
    upstream.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port-file", required=True)
    p.add_argument("--upstream", type=int, required=True)
    p.add_argument("--log", required=True)
    a = p.parse_args()
    serve_forever(listen(a.port_file), serve, a.upstream, open(a.log, "a"))


if __name__ == "__main__":
    main()
