#!/usr/bin/env python3
"""One session with the real x11vnc, seen from the directory server's side.

Plays the directory server: registers talagent on a control connection, orders
`connect ID 127.0.0.1:PORT`, and checks what x11vnc sends to that port: the 250-byte
NUL-padded `ID:<id>` block, then `RFB 003.008\n`. With --cert, the security types include
VeNCrypt (19) holding X509None (260) and no anonymous type, and the TLS handshake shows the
machine certificate, valid for pc-1 under the CA beside it; in plain mode, None (1).

  session_check.py TALAGENT WORKDIR [--cert PEM]     (DISPLAY names the X server)
"""
import os
import signal
import socket
import ssl
import subprocess
import sys
import time

SESSION_ID = b"1234567890"
VENCRYPT, NONE = 19, 1
X509_NONE = 260
ANONYMOUS = {257, 258, 259}  # TLSNone, TLSVnc, TLSPlain: anonymous Diffie-Hellman


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def listener():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(4)
    s.settimeout(30)
    return s


def read_exactly(conn, count):
    data = b""
    while len(data) < count:
        chunk = conn.recv(count - len(data))
        if not chunk:
            fail("connection closed after %r" % data[:80])
        data += chunk
    return data


def read_line(conn):
    line = b""
    while not line.endswith(b"\n"):
        line += read_exactly(conn, 1)
    return line


def check_tls(vnc, ca):
    """VeNCrypt 0.2 offers X509None (260) and no anonymous type; the TLS handshake that follows
    shows the machine's certificate, valid for the name pc-1 under the deployment's CA."""
    vnc.sendall(bytes([VENCRYPT]))
    if read_exactly(vnc, 2) != b"\0\2":
        fail("not VeNCrypt 0.2")
    vnc.sendall(b"\0\2")
    if read_exactly(vnc, 1) != b"\0":
        fail("VeNCrypt version not accepted")
    count = read_exactly(vnc, 1)[0]
    subtypes = [int.from_bytes(read_exactly(vnc, 4), "big") for _ in range(count)]
    if X509_NONE not in subtypes or set(subtypes) & ANONYMOUS:
        fail("VeNCrypt subtypes %r" % subtypes)
    vnc.sendall(X509_NONE.to_bytes(4, "big"))
    if read_exactly(vnc, 1) != b"\1":
        fail("X509None not accepted")
    context = ssl.create_default_context(cafile=ca)
    with context.wrap_socket(vnc, server_hostname="pc-1") as tls:
        print("ok: VeNCrypt subtypes %r, %s with a certificate for %s" %
              (subtypes, tls.version(), dict(x[0] for x in tls.getpeercert()["subject"])["commonName"]))


def main():
    talagent, workdir = sys.argv[1], sys.argv[2]
    cert = sys.argv[4] if len(sys.argv) > 4 and sys.argv[3] == "--cert" else None
    control, session = listener(), listener()
    args = [talagent, "--server", "127.0.0.1:%d" % control.getsockname()[1],
            "--name", "pc-1", "--display", os.environ["DISPLAY"],
            "--x11vnc-log", os.path.join(workdir, "x11vnc.log")]
    args += ["--cert", cert] if cert else ["--insecure"]
    log = open(os.path.join(workdir, "agent.log"), "ab")
    agent = subprocess.Popen(args, stderr=log)
    try:
        conn, _ = control.accept()
        conn.settimeout(30)
        if read_line(conn) != b"register pc-1\n":
            fail("no registration")
        port = session.getsockname()[1]
        conn.sendall(b"registered\nconnect %s 127.0.0.1:%d\n" % (SESSION_ID, port))
        vnc, _ = session.accept()
        vnc.settimeout(30)
        block = read_exactly(vnc, 250)
        expected = b"ID:" + SESSION_ID
        if block != expected + b"\0" * (250 - len(expected)):
            fail("ID block is %r" % block)
        version = read_exactly(vnc, 12)
        if version != b"RFB 003.008\n":
            fail("after the ID block came %r" % version)
        vnc.sendall(b"RFB 003.008\n")
        count = read_exactly(vnc, 1)[0]
        if count == 0:
            fail("x11vnc offers no security type")
        types = list(read_exactly(vnc, count))
        wanted = VENCRYPT if cert else NONE
        if wanted not in types:
            fail("security types %r lack %d" % (types, wanted))
        print("ok: ID block, %r, security types %r" % (version, types))
        if cert:
            check_tls(vnc, os.path.join(os.path.dirname(os.path.dirname(cert)), "ca.pem"))
        vnc.close()
        # The session is over: x11vnc (-once) exits and the agent reaps it.
        deadline = time.time() + 30
        while b"ended: x11vnc" not in open(os.path.join(workdir, "agent.log"), "rb").read():
            if time.time() > deadline:
                fail("the agent did not see x11vnc end")
            time.sleep(0.1)
        conn.sendall(b"ping\n")
        if read_line(conn) != b"pong\n":
            fail("no pong after the session")
    finally:
        agent.send_signal(signal.SIGTERM)
        try:
            status = agent.wait(10)
        except subprocess.TimeoutExpired:
            agent.kill()
            fail("the agent did not stop on SIGTERM")
    if status != 0:
        fail("the agent exited with status %d" % status)


if __name__ == "__main__":
    main()
