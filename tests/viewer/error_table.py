#!/usr/bin/env python3
"""talviewer's error table in the real program, headless, for what only the program does and
no other script shows: the command line, a closed port, the password on stdin, X509Plain's user
name and password inside TLS, a TLS session the remote side ends, --help without a display.
(Every reply, failure class and deadline: session_driver_test.cpp; a certificate for another
machine or from another CA, plain or VNC authentication where a CA is present, a wrong
password: xvnc_security.py against a real server; "not connected" from the real directory
server: tests/blackbox/viewer_e2e.sh.) Each row plays a scripted directory server on loopback
that answers "view NAME" and, after "ok", an RFB server; the viewer runs offscreen with
TALVIEWER_NO_DIALOGS=1, so its message goes to stderr.

  error_table.py TALVIEWER TALPKI
"""
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from rfb_peer import recv_exact  # noqa: E402
from viewer_deployment import make_pki, viewer_folder  # noqa: E402

NAME = "pc-01"


def server_init(conn, name=b"scripted"):
    recv_exact(conn, 1)  # ClientInit
    pixel_format = bytes([32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0])
    conn.sendall(struct.pack(">HH", 64, 48) + pixel_format + struct.pack(">I", len(name)) + name)


def rfb_greeting(conn, types):
    conn.sendall(b"RFB 003.008\n")
    recv_exact(conn, 12)
    conn.sendall(bytes([len(types)] + types))
    return recv_exact(conn, 1)[0]


def vencrypt(conn, certfile, subtypes=(260,), expect=260):
    """VeNCrypt 0.2 up to the TLS handshake, the viewer choosing `expect`; returns the TLS
    socket."""
    assert rfb_greeting(conn, [19]) == 19
    conn.sendall(bytes([0, 2]))
    recv_exact(conn, 2)
    conn.sendall(bytes([0, len(subtypes)]) + b"".join(struct.pack(">I", s) for s in subtypes))
    assert struct.unpack(">I", recv_exact(conn, 4))[0] == expect
    conn.sendall(bytes([1]))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certfile)
    return context.wrap_socket(conn, server_side=True)


# What the scripted server does after reading "view NAME\n". `pki` holds the certificates.
def vnc_auth_refused(conn, pki):
    conn.sendall(b"ok\n")
    assert rfb_greeting(conn, [2]) == 2
    conn.sendall(bytes(16))
    recv_exact(conn, 16)
    reason = b"password check failed"
    conn.sendall(struct.pack(">II", 1, len(reason)) + reason)


def x509_plain_refused(conn, pki):
    """X509Plain offered beside X509None: the viewer must take it and send the user name and
    password read from stdin, inside TLS."""
    conn.sendall(b"ok\n")
    tls = vencrypt(conn, os.path.join(pki, "agents/pc-01.pem"), (260, 262), 262)
    user_length, password_length = struct.unpack(">II", recv_exact(tls, 8))
    sent = (recv_exact(tls, user_length), recv_exact(tls, password_length))
    assert sent == (b"operator", b"wrong"), sent
    reason = b"user name or password not accepted"
    tls.sendall(struct.pack(">II", 1, len(reason)) + reason)


def tls_ended(conn, pki):
    """A VeNCrypt session with pc-01's certificate, ended by this side after ServerInit."""
    conn.sendall(b"ok\n")
    tls = vencrypt(conn, os.path.join(pki, "agents/pc-01.pem"))
    tls.sendall(struct.pack(">I", 0))
    server_init(tls)
    recv_exact(tls, 20)
    tls.close()


# (row name, viewer directory: "ca" (ca.pem beside it) or "plain" (allow-plain-sessions), arguments or None for the
# usual ones, the server's part or None for a closed port, stdin, exit status, phrase)
ROWS = [
    ("wrong marker", "plain", ["VNC", "127.0.0.1", "1", NAME], None, "", 2, "TALVERO-VNC"),
    ("bad port", "plain", ["TALVERO-VNC", "127.0.0.1", "99999", NAME], None, "", 2, "not a port"),
    ("control byte in name", "plain", ["TALVERO-VNC", "127.0.0.1", "1", "a\tb"], None, "", 2,
     "control byte 0x09"),
    ("server unreachable", "plain", None, None, "", 6, "could not be reached"),
    ("password not given", "plain", None, vnc_auth_refused, "", 1, ""),
    ("user name and password refused", "ca", None, x509_plain_refused, "operator\nwrong\n", 8,
     "did not accept the password"),
    ("TLS session ended by the remote side", "ca", None, tls_ended, "", 9, "has ended"),
]


def serve_once(listener, play, pki, errors):
    try:
        conn, _ = listener.accept()
        with conn:
            conn.settimeout(20)
            line = b""
            while not line.endswith(b"\n"):
                line += recv_exact(conn, 1)
            if line != b"view " + NAME.encode() + b"\n":
                errors.append("request was %r" % line)
                return
            play(conn, pki)
            # Wait for the viewer to close its side, so its reading of our last bytes decides.
            try:
                while conn.recv(4096):
                    pass
            except OSError:
                pass
    except Exception as e:  # reported with the row
        errors.append("server: %r" % e)


def help_without_display(viewer):
    """--help prints the usage and exits 0 with neither a display nor a Qt platform; 1 if not."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "QT_QPA_PLATFORM",
                                                            "WAYLAND_DISPLAY")}
    run = subprocess.run([viewer, "--help"], capture_output=True, env=env, timeout=30)
    if run.returncode == 0 and run.stdout.startswith(b"usage: talviewer "):
        print("ok - --help without a display")
        return 0
    print("FAIL - --help without a display: exit %s, %r" % (run.returncode, run.stdout[:80]))
    return 1


def main():
    viewer, talpki = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="talviewer-errors-")
    try:
        pki = os.path.join(work, "pki")
        make_pki(talpki, pki, NAME)
        dirs = {"ca": viewer_folder(viewer, os.path.join(work, "ca"), pki),
                "plain": viewer_folder(viewer, os.path.join(work, "plain"))}

        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", TALVIEWER_NO_DIALOGS="1",
                   XDG_RUNTIME_DIR=work, XDG_CONFIG_HOME=work)
        failures = 0
        for name, kind, args, play, stdin, status, phrase in ROWS:
            errors = []
            listener = socket.socket()
            listener.bind(("127.0.0.1", 0))
            port = listener.getsockname()[1]
            thread = None
            if play is None:
                listener.close()  # nothing listens: connection refused
            else:
                listener.listen(1)
                thread = threading.Thread(target=serve_once, args=(listener, play, pki, errors))
                thread.start()
            argv = [os.path.join(dirs[kind], "talviewer")]
            argv += args if args is not None else ["TALVERO-VNC", "127.0.0.1", str(port), NAME]
            try:
                run = subprocess.run(argv, input=stdin.encode(), capture_output=True, env=env,
                                     timeout=60)
                # The message: from "talviewer: " on (Qt may warn before it).
                err = run.stderr.decode(errors="replace")
                at = err.find("talviewer: ")
                got, message = run.returncode, err[at:].strip() if at >= 0 else ""
            except subprocess.TimeoutExpired:
                got, message = "timeout", ""
            if thread:
                listener.close()
                thread.join(30)
            if got != status or phrase not in message:
                failures += 1
                print("FAIL - %s: exit %s (want %s), message: %s %s" %
                      (name, got, status, message or "(none)", "; ".join(errors)))
            else:
                print("ok - %s: exit %s, %s" % (name, got, message.replace("\n", " ")[:160]))
        print("%d of %d rows failed" % (failures, len(ROWS)))
        return 1 if failures + help_without_display(viewer) else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
