#!/usr/bin/env python3
"""Loopback directory server for the end-to-end tests: writes its port to --port-file, answers
each 6-byte request "server" with --reply, logs "SECONDS request" for each request and
"SECONDS close" when a connection ends to --log, and keeps connections open until the client
closes them, as the real server does; with --close it closes each one after its first reply, as
a server that restarts does."""
import argparse
import os
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from view_relay import listen, serve_forever  # noqa: E402

parser = argparse.ArgumentParser()
for option in ("--reply", "--port-file", "--log"):
    parser.add_argument(option, required=True)
parser.add_argument("--close", action="store_true")
parser.add_argument("--lifetime", type=float, default=300)  # seconds before it ends itself
args = parser.parse_args()


def log(event):
    with open(args.log, "a") as f:
        f.write(f"{time.time():.3f} {event}\n")


def handle(connection):
    pending = b""
    while data := connection.recv(4096):
        pending += data
        while len(pending) >= 6:
            request, pending = pending[:6], pending[6:]
            log("request" if request == b"server" else repr(request))
            if request == b"server":
                connection.sendall(args.reply.encode("utf-8"))
                if args.close:
                    connection.close()
                    log("close")
                    return
    log("close")


threading.Timer(args.lifetime, os._exit, args=(0,)).start()  # a server left behind ends
serve_forever(listen(args.port_file), handle)
