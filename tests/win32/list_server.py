#!/usr/bin/env python3
"""A loopback directory server for the launcher's end-to-end tests.

Listens on 127.0.0.1 on a free port, writes that port to --port-file, and
answers every 6-byte request "server" with the scenario's reply. Each request
is appended to --log as one line (the bytes, repr'd), so a test can count the
requests. Connections stay open until the client closes them, as the real
server's do. Ends after --lifetime seconds at the latest.

    list_server.py --reply 'xxok|zeta|Alpha|beta' --port-file F --log L
"""
import argparse
import os
import selectors
import socket
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reply", required=True, help="reply text, UTF-8")
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--lifetime", type=float, default=300.0)
    args = parser.parse_args()
    reply = args.reply.encode("utf-8")

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    listener.setblocking(False)
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(listener.getsockname()[1]))
    # Renamed into place, so a reader never sees a half-written port.
    os.replace(args.port_file + ".tmp", args.port_file)

    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ)
    pending = {}
    deadline = time.monotonic() + args.lifetime
    while time.monotonic() < deadline:
        for key, _ in sel.select(timeout=0.5):
            sock = key.fileobj
            if sock is listener:
                try:
                    conn, _ = listener.accept()
                except BlockingIOError:
                    continue
                conn.setblocking(False)
                sel.register(conn, selectors.EVENT_READ)
                pending[conn] = b""
                continue
            try:
                data = sock.recv(4096)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                data = b""
            if not data:
                sel.unregister(sock)
                pending.pop(sock, None)
                sock.close()
                continue
            buf = pending[sock] + data
            while len(buf) >= 6:
                request, buf = buf[:6], buf[6:]
                with open(args.log, "a") as log:
                    log.write(repr(request) + "\n")
                if request == b"server":
                    sock.sendall(reply)
            pending[sock] = buf


if __name__ == "__main__":
    main()
