#!/usr/bin/env python3
"""What the viewers' Python tests share: one way to wait (wait_for), one way to read a whole
message (recv_exact), a small RFB 3.8 server that records what a viewer sends (Server), and the
Qt viewer started against it on a private X server (qt_viewer).

The server serves a tiny one-colour desktop, records every message the viewer sends, and sends
the clipboard and desktop-size changes a test asks for, or a flood of desktop-size changes.
With `view_request`, it first plays the directory server: it reads "view NAME" and answers
"ok". Security is None, or VNC authentication against the password "secret12". Each
connection is a Session; its records are tuples, in order of arrival:

  ("view", NAME)                   ("version", b"RFB 003.008")      ("security", TYPE)
  ("auth", "ok" | "bad")           ("init", SHARED)                 ("encodings", (N, ...))
  ("pixelformat", BPP, DEPTH, BIG_ENDIAN, TRUE_COLOUR)              ("request", INC, X, Y, W, H)
  ("key", DOWN, KEYSYM)            ("pointer", MASK, X, Y)          ("cut", BYTES)
  ("closed",)

Non-incremental update requests are answered with the whole desktop in Raw encoding (unless
the session is `quiet`: then no request is recorded); incremental ones wait (nothing changes
on this desktop by itself).
"""
import contextlib
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time

# VNC authentication with a fixed challenge: the one response that passes is the challenge's
# two DES blocks under "secret12" with each key byte's bits reversed (computed once with
# OpenSSL's DES-ECB), so the check shares nothing with the viewer's DES.
CHALLENGE = bytes(range(16))
RESPONSES = {"secret12": bytes.fromhex("adcd997f8e16fee575e973f93c2b62b4")}


class Closed(ConnectionError):
    pass


def wait_for(probe, timeout=15, step=0.1):
    """probe() until it is true; its last value (false after the timeout)."""
    deadline = time.monotonic() + timeout
    while not (value := probe()) and time.monotonic() < deadline:
        time.sleep(step)
    return value


def tap(keysym):
    """A key's press and release as the server records them: (down, keysym)."""
    return [(1, keysym), (0, keysym)]


def recv_exact(conn, n):
    """n bytes from conn; Closed if the other side closes first."""
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise Closed()
        data += chunk
    return data


def key_latency_under_flood(session, press, keysym, seconds=1.0, bound=30):
    """Floods the viewer with desktop-size changes for `seconds` from another thread; a third
    of the way into the flood, and again after it, press() types the key `keysym` into the
    viewer. Returns the seconds each key took to reach the server, None for one that did not
    come within the flood's duration plus `bound`."""
    def typed():
        mark = len(session.snapshot())
        start = time.monotonic()
        press()
        arrived = session.wait(lambda r: ("key", 1, keysym) in r[mark:], timeout=seconds + bound)
        return round(time.monotonic() - start, 2) if arrived else None

    flood = threading.Thread(target=session.flood_resizes, args=(seconds,), daemon=True)
    flood.start()
    time.sleep(seconds / 3)
    during = typed()
    flood.join(seconds + bound)
    return during, typed()


# ---- the server ----

SECURITY_NONE = 1
SECURITY_VNC = 2
DESKTOP_SIZE = -223


def update(width, height, encoding):
    """A FramebufferUpdate's header with its one rectangle, at the origin."""
    return struct.pack(">BxHHHHHi", 0, 1, 0, 0, width, height, encoding)


class Session:
    """One viewer's connection: read on the server's thread, sends from any thread."""

    def __init__(self, server, conn):
        self.server = server
        self.conn = conn
        self.width, self.height = server.size
        self.records = []
        self.changed = threading.Condition()
        self.send_lock = threading.Lock()
        self.quiet = False  # True: update requests are neither recorded nor answered
        self.pending = b""  # received; read up to self.read
        self.read = 0

    def record(self, *item):
        with self.changed:
            self.records.append(item)
            self.changed.notify_all()

    def wait(self, predicate, timeout=15):
        """Waits until predicate(records) is true; its last value (false after the timeout)."""
        with self.changed:
            return self.changed.wait_for(lambda: predicate(self.records), timeout)

    def snapshot(self):
        with self.changed:
            return list(self.records)

    def send(self, data):
        with self.send_lock:
            self.conn.sendall(data)

    def recv(self, n):
        # Read ahead: a viewer answers every update with a request, and a flood of updates
        # must not leave the recorder behind, reading ten bytes at a time.
        while len(self.pending) - self.read < n:
            chunk = self.conn.recv(1 << 16)
            if not chunk:
                raise Closed()
            self.pending = self.pending[self.read:] + chunk
            self.read = 0
        self.read += n
        return self.pending[self.read - n:self.read]

    # What a test sends.
    def send_cut(self, latin1):
        self.send(struct.pack(">BxxxI", 3, len(latin1)) + latin1)

    def resize(self, width, height):
        """A FramebufferUpdate with only the DesktopSize pseudo-rectangle; the viewer is then
        expected to ask for the whole new desktop."""
        self.width, self.height = width, height
        self.send(update(width, height, DESKTOP_SIZE))

    def flood_resizes(self, seconds, size=(8192, 8192), batch=64):
        """Desktop-size changes between `size` and one pixel narrower, as fast as the viewer
        takes them, for `seconds`. The session goes quiet first: a viewer asks
        for the whole desktop after each resize, and that is not sent."""
        self.quiet = True
        width, height = size
        burst = b"".join(update(width - i % 2, height, DESKTOP_SIZE) for i in range(batch))
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.send(burst)

    def send_desktop(self):
        pixel = bytes(self.server.colour) + b"\0"  # 0x00RRGGBB little-endian, as the viewer asks
        self.send(update(self.width, self.height, 0) + pixel * (self.width * self.height))

    def run(self):
        try:
            self.handshake()
            while True:
                self.message()
        except (Closed, OSError):
            pass
        finally:
            self.record("closed")
            self.conn.close()

    def handshake(self):
        if self.server.view_request:
            line = b""
            while not line.endswith(b"\n"):
                line += self.recv(1)
            self.record("view", line[5:-1].decode("utf-8", "replace"))
            self.send(b"ok\n")
        self.send(b"RFB 003.008\n")
        self.record("version", self.recv(12).rstrip(b"\n"))
        kind = SECURITY_VNC if self.server.password is not None else SECURITY_NONE
        self.send(bytes([1, kind]))
        chosen = self.recv(1)[0]
        self.record("security", chosen)
        if chosen != kind:
            raise Closed()
        if kind == SECURITY_VNC:
            self.send(CHALLENGE)
            if self.recv(16) != RESPONSES[self.server.password]:
                self.record("auth", "bad")
                reason = b"Authentication failed"
                self.send(struct.pack(">II", 1, len(reason)) + reason)
                raise Closed()
            self.record("auth", "ok")
        self.send(struct.pack(">I", 0))
        self.record("init", self.recv(1)[0])
        name = b"recorder"
        self.send(struct.pack(">HH", self.width, self.height) +
                  struct.pack(">BBBBHHHBBBxxx", 32, 24, 0, 1, 255, 255, 255, 16, 8, 0) +
                  struct.pack(">I", len(name)) + name)

    def message(self):
        kind = self.recv(1)[0]
        if kind == 0:
            f = self.recv(19)
            self.record("pixelformat", f[3], f[4], f[5], f[6])
        elif kind == 2:
            (n,) = struct.unpack(">xH", self.recv(3))
            self.record("encodings", struct.unpack(f">{n}i", self.recv(4 * n)))
        elif kind == 3:
            incremental, x, y, w, h = struct.unpack(">BHHHH", self.recv(9))
            if self.quiet:
                return  # a flood's requests: too many to keep, and none is answered
            self.record("request", incremental, x, y, w, h)
            if not incremental:
                self.send_desktop()
        elif kind == 4:
            down, keysym = struct.unpack(">BxxI", self.recv(7))
            self.record("key", down, keysym)
        elif kind == 5:
            self.record("pointer", *struct.unpack(">BHH", self.recv(5)))
        elif kind == 6:
            (length,) = struct.unpack(">xxxI", self.recv(7))
            self.record("cut", self.recv(length))
        elif kind == 251:  # SetDesktopSize: the size and each screen's (x, y, w, h)
            width, height, count = struct.unpack(">xHHBx", self.recv(7))
            screens = [struct.unpack(">IHHHHI", self.recv(16))[1:5] for _ in range(count)]
            self.record("setdesktopsize", width, height, tuple(screens))
        else:
            self.record("unknown", kind)
            raise Closed()


class Server:
    """Listens on a loopback port; each connection becomes a Session in `sessions`."""

    def __init__(self, size=(320, 200), colour=(0x30, 0x60, 0xC0), password=None,
                 view_request=False):
        self.size = size
        self.view_request = view_request
        self.colour = colour
        self.password = password
        self.sessions = []
        self.changed = threading.Condition()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            conn, _ = self.listener.accept()
            session = Session(self, conn)
            with self.changed:
                self.sessions.append(session)
                self.changed.notify_all()
            threading.Thread(target=session.run, daemon=True).start()

    def session(self, index, timeout=30):
        """The index-th connection (from 0), once it has come; None after the timeout."""
        with self.changed:
            if self.changed.wait_for(lambda: len(self.sessions) > index, timeout):
                return self.sessions[index]
        return None


def xdotool(*args):
    """xdotool's output, stripped."""
    return subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True,
                          timeout=30).stdout.strip()


@contextlib.contextmanager
def qt_viewer(talviewer, name):
    """The Qt viewer TALVIEWER, copied beside allow-plain-sessions (no ca.pem), asked for NAME by
    a recording Server on DISPLAY: yields (viewer process, session) once the session has started
    and the viewer's window has the keyboard focus; the viewer is killed on the way out. Its
    HOME is the directory it runs from (dirname of the process's first argument)."""
    work = tempfile.mkdtemp(prefix="talviewer-")
    viewer = None
    try:
        shutil.copy(talviewer, work)
        open(os.path.join(work, "allow-plain-sessions"), "w").close()
        server = Server(view_request=True)
        env = dict(os.environ, TALVIEWER_NO_DIALOGS="1", XDG_RUNTIME_DIR=work, XDG_CONFIG_HOME=work,
                   HOME=work)
        env.pop("QT_QPA_PLATFORM", None)
        viewer = subprocess.Popen([os.path.join(work, "talviewer"), "TALVERO-VNC", "127.0.0.1",
                                   str(server.port), name], env=env)
        session = server.session(0)
        if not session or not session.wait(lambda r: ("request", 0, 0, 0, 320, 200) in r):
            raise RuntimeError("the session did not start")
        wid = wait_for(lambda: xdotool("search", "--onlyvisible", "--name", f"^{name} ").split()[:1])
        if not wid:
            raise RuntimeError("no viewer window")
        xdotool("windowfocus", "--sync", wid[0])
        yield viewer, session
    finally:
        if viewer:
            viewer.kill()
            viewer.wait()
        shutil.rmtree(work, ignore_errors=True)
