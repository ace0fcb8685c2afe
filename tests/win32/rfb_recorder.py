#!/usr/bin/env python3
"""A small RFB 3.8 server for talviewer.exe's input tests (tests/win32/viewer_input.py): it
serves a tiny one-colour desktop, records every message the viewer sends, and sends the
clipboard and desktop-size changes a test asks for.

Security is None, or VNC authentication against a known password with the DES response
checked here (the DES below is written from FIPS 46-3 and checked against its classic test
vector, so it shares nothing with the viewer's). Each connection is a Session; its records
are tuples, in order of arrival:

  ("version", b"RFB 003.008")      ("security", TYPE)     ("auth", "ok" | "bad")
  ("init", SHARED)                 ("pixelformat", BPP, DEPTH, BIG_ENDIAN, TRUE_COLOUR)
  ("encodings", (N, ...))          ("request", INCREMENTAL, X, Y, W, H)
  ("key", DOWN, KEYSYM)            ("pointer", MASK, X, Y)
  ("cut", BYTES)                   ("closed",)

Non-incremental update requests are answered with the whole desktop in Raw encoding;
incremental ones wait (nothing changes on this desktop by itself).
"""
import os
import socket
import struct
import threading
import time

# ---- DES (FIPS 46-3), encryption only ----

_IP = [58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
       62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
       57, 49, 41, 33, 25, 17, 9, 1, 59, 51, 43, 35, 27, 19, 11, 3,
       61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7]
_FP = [40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
       38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
       36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
       34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9, 49, 17, 57, 25]
_E = [32, 1, 2, 3, 4, 5, 4, 5, 6, 7, 8, 9, 8, 9, 10, 11, 12, 13, 12, 13, 14, 15, 16, 17,
      16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1]
_P = [16, 7, 20, 21, 29, 12, 28, 17, 1, 15, 23, 26, 5, 18, 31, 10,
      2, 8, 24, 14, 32, 27, 3, 9, 19, 13, 30, 6, 22, 11, 4, 25]
_PC1 = [57, 49, 41, 33, 25, 17, 9, 1, 58, 50, 42, 34, 26, 18, 10, 2, 59, 51, 43, 35, 27, 19, 11, 3,
        60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7, 62, 54, 46, 38, 30, 22, 14, 6,
        61, 53, 45, 37, 29, 21, 13, 5, 28, 20, 12, 4]
_PC2 = [14, 17, 11, 24, 1, 5, 3, 28, 15, 6, 21, 10, 23, 19, 12, 4, 26, 8, 16, 7, 27, 20, 13, 2,
        41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32]
_SHIFTS = [1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1]
_S = [
    "14 4 13 1 2 15 11 8 3 10 6 12 5 9 0 7 0 15 7 4 14 2 13 1 10 6 12 11 9 5 3 8 "
    "4 1 14 8 13 6 2 11 15 12 9 7 3 10 5 0 15 12 8 2 4 9 1 7 5 11 3 14 10 0 6 13",
    "15 1 8 14 6 11 3 4 9 7 2 13 12 0 5 10 3 13 4 7 15 2 8 14 12 0 1 10 6 9 11 5 "
    "0 14 7 11 10 4 13 1 5 8 12 6 9 3 2 15 13 8 10 1 3 15 4 2 11 6 7 12 0 5 14 9",
    "10 0 9 14 6 3 15 5 1 13 12 7 11 4 2 8 13 7 0 9 3 4 6 10 2 8 5 14 12 11 15 1 "
    "13 6 4 9 8 15 3 0 11 1 2 12 5 10 14 7 1 10 13 0 6 9 8 7 4 15 14 3 11 5 2 12",
    "7 13 14 3 0 6 9 10 1 2 8 5 11 12 4 15 13 8 11 5 6 15 0 3 4 7 2 12 1 10 14 9 "
    "10 6 9 0 12 11 7 13 15 1 3 14 5 2 8 4 3 15 0 6 10 1 13 8 9 4 5 11 12 7 2 14",
    "2 12 4 1 7 10 11 6 8 5 3 15 13 0 14 9 14 11 2 12 4 7 13 1 5 0 15 10 3 9 8 6 "
    "4 2 1 11 10 13 7 8 15 9 12 5 6 3 0 14 11 8 12 7 1 14 2 13 6 15 0 9 10 4 5 3",
    "12 1 10 15 9 2 6 8 0 13 3 4 14 7 5 11 10 15 4 2 7 12 9 5 6 1 13 14 0 11 3 8 "
    "9 14 15 5 2 8 12 3 7 0 4 10 1 13 11 6 4 3 2 12 9 5 15 10 11 14 1 7 6 0 8 13",
    "4 11 2 14 15 0 8 13 3 12 9 7 5 10 6 1 13 0 11 7 4 9 1 10 14 3 5 12 2 15 8 6 "
    "1 4 11 13 12 3 7 14 10 15 6 8 0 5 9 2 6 11 13 8 1 4 10 7 9 5 0 15 14 2 3 12",
    "13 2 8 4 6 15 11 1 10 9 3 14 5 0 12 7 1 15 13 8 10 3 7 4 12 5 6 11 0 14 9 2 "
    "7 11 4 1 9 12 14 2 0 6 10 13 15 3 5 8 2 1 14 7 4 10 8 13 15 12 9 0 3 5 6 11",
]
_S = [[int(v) for v in box.split()] for box in _S]


def _permute(value, table, width):
    """The bits of `value` (`width` bits, bit 1 the most significant) picked by `table`."""
    out = 0
    for position in table:
        out = (out << 1) | ((value >> (width - position)) & 1)
    return out


def des_encrypt(key, block):
    k = _permute(int.from_bytes(key, "big"), _PC1, 64)
    c, d = k >> 28, k & 0xFFFFFFF
    subkeys = []
    for shift in _SHIFTS:
        c = ((c << shift) | (c >> (28 - shift))) & 0xFFFFFFF
        d = ((d << shift) | (d >> (28 - shift))) & 0xFFFFFFF
        subkeys.append(_permute((c << 28) | d, _PC2, 56))
    b = _permute(int.from_bytes(block, "big"), _IP, 64)
    left, right = b >> 32, b & 0xFFFFFFFF
    for subkey in subkeys:
        x = _permute(right, _E, 32) ^ subkey
        s = 0
        for i in range(8):
            six = (x >> (42 - 6 * i)) & 0x3F
            s = (s << 4) | _S[i][(((six & 0x20) >> 4) | (six & 1)) * 16 + ((six >> 1) & 0xF)]
        left, right = right, left ^ _permute(s, _P, 32)
    return _permute((right << 32) | left, _FP, 64).to_bytes(8, "big")


assert des_encrypt(bytes.fromhex("133457799BBCDFF1"), bytes.fromhex("0123456789ABCDEF")) == \
    bytes.fromhex("85E813540F0AB405")


def vnc_response(password, challenge):
    """VNC authentication: the challenge's two blocks under the password's first 8 bytes, each
    byte's bits in reverse order."""
    key = bytes(int(f"{b:08b}"[::-1], 2) for b in password.encode("latin-1")[:8].ljust(8, b"\0"))
    return des_encrypt(key, challenge[:8]) + des_encrypt(key, challenge[8:])


# ---- the server ----

SECURITY_NONE = 1
SECURITY_VNC = 2
DESKTOP_SIZE = -223


class Closed(Exception):
    pass


class Session:
    """One viewer's connection: read on the server's thread, sends from any thread."""

    def __init__(self, server, conn):
        self.server = server
        self.conn = conn
        self.width, self.height = server.size
        self.records = []
        self.changed = threading.Condition()
        self.send_lock = threading.Lock()

    def record(self, *item):
        with self.changed:
            self.records.append(item)
            self.changed.notify_all()

    def wait(self, predicate, timeout=15):
        """Waits until predicate(records) is true; its last value (false after the timeout)."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while not (result := predicate(self.records)):
                left = deadline - time.monotonic()
                if left <= 0:
                    return result
                self.changed.wait(left)
            return result

    def snapshot(self):
        with self.changed:
            return list(self.records)

    def send(self, data):
        with self.send_lock:
            self.conn.sendall(data)

    def recv(self, n):
        data = b""
        while len(data) < n:
            chunk = self.conn.recv(n - len(data))
            if not chunk:
                raise Closed()
            data += chunk
        return data

    # What a test sends.
    def send_cut(self, latin1):
        self.send(struct.pack(">BxxxI", 3, len(latin1)) + latin1)

    def resize(self, width, height):
        """A FramebufferUpdate with only the DesktopSize pseudo-rectangle; the viewer is then
        expected to ask for the whole new desktop."""
        self.width, self.height = width, height
        self.send(struct.pack(">BxH", 0, 1) + struct.pack(">HHHHi", 0, 0, width, height, DESKTOP_SIZE))

    def send_desktop(self):
        pixel = bytes(self.server.colour) + b"\0"  # 0x00RRGGBB little-endian, as the viewer asks
        header = struct.pack(">BxH", 0, 1) + struct.pack(">HHHHi", 0, 0, self.width, self.height, 0)
        self.send(header + pixel * (self.width * self.height))

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
        self.send(b"RFB 003.008\n")
        self.record("version", self.recv(12).rstrip(b"\n"))
        kind = SECURITY_VNC if self.server.password is not None else SECURITY_NONE
        self.send(bytes([1, kind]))
        chosen = self.recv(1)[0]
        self.record("security", chosen)
        if chosen != kind:
            raise Closed()
        if kind == SECURITY_VNC:
            challenge = os.urandom(16)
            self.send(challenge)
            if self.recv(16) != vnc_response(self.server.password, challenge):
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
        else:
            self.record("unknown", kind)
            raise Closed()


class Server:
    """Listens on a loopback port; each connection becomes a Session in `sessions`."""

    def __init__(self, size=(320, 200), colour=(0x30, 0x60, 0xC0), password=None):
        self.size = size
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
        deadline = time.monotonic() + timeout
        with self.changed:
            while len(self.sessions) <= index:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)
            return self.sessions[index]
