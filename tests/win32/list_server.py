#!/usr/bin/env python3
"""Loopback directory server for the end-to-end tests: writes its port to --port-file, answers
each 6-byte request "server" with --reply, logs each request to --log as a repr'd line, and
keeps connections open until the client closes them, as the real server does."""
import argparse
import os
import socketserver
import threading

parser = argparse.ArgumentParser()
for option in ("--reply", "--port-file", "--log"):
    parser.add_argument(option, required=True)
parser.add_argument("--lifetime", type=float, default=300.0)
args = parser.parse_args()


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        pending = b""
        while data := self.request.recv(4096):
            pending += data
            while len(pending) >= 6:
                request, pending = pending[:6], pending[6:]
                with open(args.log, "a") as log:
                    log.write(repr(request) + "\n")
                if request == b"server":
                    self.request.sendall(args.reply.encode("utf-8"))


socketserver.ThreadingTCPServer.daemon_threads = True
server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
with open(args.port_file + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.replace(args.port_file + ".tmp", args.port_file)  # never seen half-written
threading.Timer(args.lifetime, server.shutdown).start()
server.serve_forever()
