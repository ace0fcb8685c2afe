#!/usr/bin/env python3
"""A stand-in for the directory server's session relay, for talviewer.exe's tests: it answers
"view NAME\\n" by the route given for NAME and, for "ok", copies bytes both ways between the
viewer and a VNC server on loopback until either side closes.

  view_relay.py --port-file FILE [--listen ADDR[:PORT]] --route NAME=PORT ... --reply NAME=LINE ...

A NAME without route or reply gets "error not-connected".
"""
import argparse
import socket
import threading


def pump(src, dst):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def serve(conn, routes, replies):
    line = b""
    while not line.endswith(b"\n") and len(line) < 300:
        chunk = conn.recv(1)
        if not chunk:
            conn.close()
            return
        line += chunk
    name = line[5:-1].decode("utf-8", "replace") if line.startswith(b"view ") else ""
    if name in replies:
        conn.sendall(replies[name].encode() + b"\n")
        conn.close()
        return
    if name not in routes:
        conn.sendall(b"error not-connected\n")
        conn.close()
        return
    upstream = socket.create_connection(("127.0.0.1", routes[name]))
    conn.sendall(b"ok\n")
    threading.Thread(target=pump, args=(conn, upstream), daemon=True).start()
    pump(upstream, conn)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--route", action="append", default=[])
    parser.add_argument("--reply", action="append", default=[])
    parser.add_argument("--listen", default="127.0.0.1:0")
    args = parser.parse_args()
    routes = {k: int(v) for k, v in (r.split("=", 1) for r in args.route)}
    replies = dict(r.split("=", 1) for r in args.reply)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    host, _, port = args.listen.partition(":")
    listener.bind((host, int(port or 0)))
    listener.listen(16)
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(listener.getsockname()[1]))
    import os
    os.rename(args.port_file + ".tmp", args.port_file)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, routes, replies), daemon=True).start()


if __name__ == "__main__":
    main()
