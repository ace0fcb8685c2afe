#!/usr/bin/env python3
"""Simulated agents and viewers for bench/cluster/run, loopback only.

  agents.py agents PORT COUNT PREFIX
      Registers COUNT agents PREFIX-00000... at the directory server on PORT, answers every
      ping, and serves each "connect ID ... [HOST:PORT]" order as x11vnc would: a session
      connection to HOST:PORT (or PORT) sending the ID block and an RFB version. Prints
      "ready SECONDS" once all are registered; runs until killed.
  agents.py views PORT COUNT NAME...
      COUNT views, one after another, at PORT of the NAMEs in turn; prints
      "views=N p50_ms=... p99_ms=... errors=..." (view sent -> "ok" read).
"""
import selectors
import socket
import sys
import time


def connect(port, host="127.0.0.1"):
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex((host, port))
    return s


def agents(port, count, prefix):
    sel = selectors.DefaultSelector()
    pending = {}  # socket -> bytes received
    registered = 0
    started = time.monotonic()
    batch = 500
    made = 0

    def open_some():
        nonlocal made
        for _ in range(min(batch, count - made)):
            s = connect(port)
            name = "%s-%05d" % (prefix, made)
            made += 1
            pending[s] = [b"", ("register %s\n" % name).encode(), False]
            sel.register(s, selectors.EVENT_WRITE, "agent")

    open_some()
    said = False
    while True:
        for key, _ in sel.select(1.0):
            s = key.fileobj
            state = pending.get(s)
            if key.data == "session":
                try:
                    if not s.recv(65536):
                        sel.unregister(s)
                        s.close()
                except BlockingIOError:
                    pass
                except OSError:
                    sel.unregister(s)
                    s.close()
                continue
            if state[1]:
                try:
                    s.send(state[1])
                except BlockingIOError:
                    continue
                state[1] = b""
                sel.modify(s, selectors.EVENT_READ, "agent")
                continue
            try:
                data = s.recv(4096)
            except BlockingIOError:
                continue
            if not data:
                sel.unregister(s)
                s.close()
                continue
            state[0] += data
            while b"\n" in state[0]:
                line, state[0] = state[0].split(b"\n", 1)
                words = line.split()
                if line == b"registered":
                    registered += 1
                    state[2] = True
                    if registered % batch == 0 or registered == count:
                        open_some()
                elif line == b"ping":
                    s.send(b"pong\n")
                elif words and words[0] == b"connect":
                    target = port
                    host = "127.0.0.1"
                    if len(words) == 5:
                        host, p = words[4].decode().rsplit(":", 1)
                        target = int(p)
                    session = socket.create_connection((host, target))
                    session.sendall(("ID:" + words[1].decode()).encode().ljust(250, b"\0") +
                                    b"RFB 003.008\n")
                    session.setblocking(False)
                    sel.register(session, selectors.EVENT_READ, "session")
        if registered == count and not said:
            said = True
            print("ready %.1f" % (time.monotonic() - started), flush=True)


def views(port, count, names):
    times, errors = [], 0
    for i in range(count):
        v = socket.create_connection(("127.0.0.1", port))
        v.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        start = time.monotonic()
        v.sendall(("view %s\n" % names[i % len(names)]).encode())
        reply = b""
        while not reply.startswith(b"ok\n") and b"error" not in reply:
            chunk = v.recv(100)
            if not chunk:
                break
            reply += chunk
        if reply.startswith(b"ok\n"):
            times.append((time.monotonic() - start) * 1000)
        else:
            errors += 1
        v.close()
    times.sort()
    pick = lambda q: times[min(len(times) - 1, int(q * len(times)))] if times else 0
    print("views=%d p50_ms=%.2f p99_ms=%.2f errors=%d" % (len(times), pick(0.5), pick(0.99), errors))


if __name__ == "__main__":
    if sys.argv[1] == "agents":
        agents(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
    else:
        views(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:])
