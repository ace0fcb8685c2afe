#!/usr/bin/env python3
"""A stand-in for the directory server's session relay, for talviewer.exe's tests: it answers
"view NAME\\n" by the route given for NAME and, for "ok", copies bytes both ways between the
viewer and a VNC server on loopback until either side closes. A NAME without route or reply
gets "error not-connected". Its listen() and pump() serve the other loopback stand-ins too.

  view_relay.py --port-file FILE [--listen ADDR[:PORT]] --route NAME=PORT ... --reply NAME=LINE ...
"""
import argparse
import os
import socket
import threading


def listen(port_file, address="127.0.0.1:0"):
    """A listening socket; its port goes to port_file, never seen half-written."""
    host, _, port = address.partition(":")
    listener = socket.create_server((host, int(port or 0)))
    with open(port_file + ".tmp", "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.replace(port_file + ".tmp", port_file)
    return listener


def serve_forever(listener, handle, *args):
    """handle(connection, *args) on a thread of its own for each connection."""
    while True:
        threading.Thread(target=handle, args=(listener.accept()[0], *args), daemon=True).start()


def pump(src, dst):
    """Copies src to dst until either ends, then shuts both down."""
    try:
        while data := src.recv(65536):
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
        if not (chunk := conn.recv(1)):
            return conn.close()
        line += chunk
    name = line[5:-1].decode("utf-8", "replace") if line.startswith(b"view ") else ""
    if name not in routes:
        conn.sendall(replies.get(name, "error not-connected").encode() + b"\n")
        return conn.close()
    upstream = socket.create_connection(("127.0.0.1", routes[name]))
    conn.sendall(b"ok\n")
    threading.Thread(target=pump, args=(conn, upstream), daemon=True).start()
    pump(upstream, conn)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--route", action="append", default=[])
    parser.add_argument("--reply", action="append", default=[])
    parser.add_argument("--listen", default="127.0.0.1:0")
    args = parser.parse_args()
    routes = {k: int(v) for k, v in (r.split("=", 1) for r in args.route)}
    replies = dict(r.split("=", 1) for r in args.reply)
    serve_forever(listen(args.port_file, args.listen), serve, routes, replies)
