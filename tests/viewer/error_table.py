#!/usr/bin/env python3
"""talviewer, the real program, headless, against the servers a deployment meets: what only the
program does (the command line, a closed port, X509Plain's user name and
password inside TLS, a TLS session the remote side ends, --help without a display) against a
scripted server, and its choice among the security types TigerVNC's Xvnc offers in each of its
modes (default, VncAuth, X509Vnc with certificates from talpki) against Xvnc itself. (Every reply,
failure class and deadline: session_driver_test.cpp; "not connected" from the real directory
server: tests/blackbox/viewer_e2e.sh.) A scripted row plays a directory server on loopback that
answers "view NAME" and, after "ok", an RFB server; an Xvnc row reaches Xvnc through a stand-in
for the directory server's relay (tests/win32/view_relay.py). The viewer runs from a folder with
ca.pem (a deployment), another deployment's ca.pem, or allow-plain-sessions, with
TALVIEWER_NO_DIALOGS=1, so its message goes to stderr. A session that works draws its first
frame (TALVIEWER_TIMING's "first-frame" line); one that must not ends with its exit status. The
Xvnc rows are skipped without Xvnc or vncpasswd.

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
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from rfb_peer import recv_exact  # noqa: E402
sys.path.insert(0, os.path.join(HERE, "..", "win32"))
from view_relay import serve, serve_forever  # noqa: E402

NAME = "pc-01"
PASSWORD = "secret12\n"
DESKTOP = "desktop"  # the outcome of a session that shows the remote desktop


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


def make_pki(talpki, pki):
    """A deployment CA at pki with agent certificates for NAME and other-pc, and another CA at
    pki/other with a certificate for NAME too."""
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    for ca, agents in ((pki, (NAME, "other-pc")), (os.path.join(pki, "other"), (NAME,))):
        subprocess.run([talpki, "ca", "--days", "2", ca], **quiet)
        for agent in agents:
            subprocess.run([talpki, "agent", "--days", "2", ca, agent], **quiet)


def viewer_folder(talviewer, folder, ca_dir=None):
    """talviewer copied into a new folder, as an operator's bundle has it: with ca_dir's ca.pem
    beside it, or without a CA with plain sessions allowed."""
    os.mkdir(folder)
    shutil.copy(talviewer, folder)
    if ca_dir:
        shutil.copy(os.path.join(ca_dir, "ca.pem"), folder)
    else:
        open(os.path.join(folder, "allow-plain-sessions"), "w").close()
    return folder


def x509(machine):
    """Xvnc's X509Vnc with a machine's key and certificate (one PEM file from talpki)."""
    pem = "{pki}/agents/%s.pem" % machine
    return ["-SecurityTypes", "X509Vnc", "-X509Cert", pem, "-X509Key", pem]


# (row, the viewer's folder: "ca", "other-ca" or "plain", arguments or None for the usual ones,
# the server: what the scripted one does after reading "view NAME\n" (given the certificates'
# folder), None for a closed port, or Xvnc's options (a list), stdin, the outcome: DESKTOP or the
# exit status, a phrase of the message). Without -SecurityTypes Xvnc offers TLSVnc (anonymous
# TLS) and VncAuth.
ROWS = [
    ("wrong marker", "plain", ["VNC", "127.0.0.1", "1", NAME], None, "", 2, "TALVERO-VNC"),
    ("bad port", "plain", ["TALVERO-VNC", "127.0.0.1", "99999", NAME], None, "", 2, "not a port"),
    ("control byte in name", "plain", ["TALVERO-VNC", "127.0.0.1", "1", "a\tb"], None, "", 2,
     "control byte 0x09"),
    ("server unreachable", "plain", None, None, "", 6, "could not be reached"),
    ("user name and password refused", "ca", None, x509_plain_refused, "operator\nwrong\n", 8,
     "did not accept the password"),
    ("TLS session ended by the remote side", "ca", None, tls_ended, "", 9, "has ended"),
    ("Xvnc default security, plain sessions allowed: VNC authentication", "plain", None, [],
     PASSWORD, DESKTOP, ""),
    ("Xvnc default security, a deployment CA", "ca", None, [], PASSWORD, 7, "not secure"),
    ("Xvnc VncAuth: the right password", "plain", None, ["-SecurityTypes", "VncAuth"], PASSWORD,
     DESKTOP, ""),
    ("Xvnc VncAuth: no password given", "plain", None, ["-SecurityTypes", "VncAuth"], "", 1, ""),
    ("Xvnc VncAuth: a wrong password", "plain", None, ["-SecurityTypes", "VncAuth"], "wrong123\n",
     8, "did not accept the password"),
    ("Xvnc X509Vnc: the deployment's CA", "ca", None, x509(NAME), PASSWORD, DESKTOP, ""),
    ("Xvnc X509Vnc: a certificate for another machine", "ca", None, x509("other-pc"), PASSWORD, 7,
     "TLS handshake"),
    ("Xvnc X509Vnc: another deployment's CA", "other-ca", None, x509(NAME), PASSWORD, 7,
     "TLS handshake"),
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


def start_xvnc(options, work):
    """Xvnc on a display it picks itself, listening for RFB on a free port; (process, port)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    xvnc = subprocess.Popen(
        ["Xvnc", "-displayfd", "1", "-geometry", "320x240", "-depth", "24", "-rfbport", str(port),
         "-localhost", "-nolisten", "tcp", "-PasswordFile", os.path.join(work, "passwd"),
         *options], stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "xvnc.log"), "ab"))
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return xvnc, port
        except OSError:
            if xvnc.poll() is not None:
                break
            time.sleep(0.05)
    xvnc.kill()
    return None, port


def run_viewer(argv, stdin, env):
    """The viewer's outcome: DESKTOP once it has drawn a frame, else its exit status; and its
    message, from "talviewer: " on (Qt may warn before it)."""
    viewer = subprocess.Popen(argv, stdin=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    viewer.stdin.write(stdin.encode())
    viewer.stdin.close()
    lines = []
    drawn = threading.Event()

    def read():
        for line in viewer.stderr:
            lines.append(line.decode(errors="replace").rstrip("\n"))
            if line.startswith(b"first-frame "):
                drawn.set()

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not drawn.is_set() and viewer.poll() is None:
        time.sleep(0.05)
    outcome = DESKTOP if drawn.is_set() else viewer.poll()
    viewer.kill()
    viewer.wait()
    reader.join(5)
    text = "\n".join(lines)
    at = text.find("talviewer: ")
    return "timeout" if outcome is None else outcome, text[at:].strip() if at >= 0 else ""


def help_without_display(viewer):
    """--help prints the usage and exits 0 with neither a display nor a Qt platform."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "QT_QPA_PLATFORM",
                                                            "WAYLAND_DISPLAY")}
    run = subprocess.run([viewer, "--help"], capture_output=True, env=env, timeout=30)
    ok = run.returncode == 0 and run.stdout.startswith(b"usage: talviewer ")
    print("%s - --help without a display: exit %s, %r" % ("ok" if ok else "FAIL", run.returncode,
                                                         run.stdout[:40]))
    return ok


def play_row(row, pki, folders, work, relay, routes, env):
    """One row's outcome and message, and what its server reported; None if skipped."""
    name, kind, args, server, stdin, want, phrase = row
    errors, thread, listener = [], None, socket.socket()
    listener.bind(("127.0.0.1", 0))
    port, xvnc = listener.getsockname()[1], None
    if isinstance(server, list):
        listener.close()
        if not (shutil.which("Xvnc") and shutil.which("vncpasswd")):
            return None
        xvnc, routes[NAME] = start_xvnc([o.format(pki=pki) for o in server], work)
        if not xvnc:
            return "no Xvnc", "", ["Xvnc did not start (see xvnc.log)"]
        port = relay
    elif server is None:
        listener.close()  # nothing listens: connection refused
    else:
        listener.listen(1)
        thread = threading.Thread(target=serve_once, args=(listener, server, pki, errors))
        thread.start()
    argv = [os.path.join(folders[kind], "talviewer")]
    argv += args if args is not None else ["TALVERO-VNC", "127.0.0.1", str(port), NAME]
    try:
        got, message = run_viewer(argv, stdin, env)
    finally:
        if xvnc:
            xvnc.terminate()
            xvnc.wait(10)
    if thread:
        listener.close()
        thread.join(30)
    return got, message, errors


def main():
    viewer, talpki = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="talviewer-errors-")
    try:
        pki = os.path.join(work, "pki")
        make_pki(talpki, pki)
        if shutil.which("vncpasswd"):
            with open(os.path.join(work, "passwd"), "wb") as f:
                f.write(subprocess.run(["vncpasswd", "-f"], input=PASSWORD.strip().encode(),
                                       capture_output=True, check=True).stdout)
            os.chmod(os.path.join(work, "passwd"), 0o600)
        kinds = (("plain", None), ("ca", pki), ("other-ca", os.path.join(pki, "other")))
        folders = {kind: viewer_folder(viewer, os.path.join(work, kind), ca) for kind, ca in kinds}
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", TALVIEWER_NO_DIALOGS="1",
                   TALVIEWER_TIMING="1", XDG_RUNTIME_DIR=work, XDG_CONFIG_HOME=work, HOME=work)
        routes = {}  # the relay's, NAME to each Xvnc row's Xvnc
        relay = socket.create_server(("127.0.0.1", 0))
        threading.Thread(target=serve_forever, args=(relay, serve, routes, {}),
                         daemon=True).start()
        failures = 0
        for row in ROWS:
            name, want, phrase = row[0], row[5], row[6]
            played = play_row(row, pki, folders, work, relay.getsockname()[1], routes, env)
            if played is None:
                print(f"skipped - {name}: no Xvnc or vncpasswd (scripts/deps session)")
                continue
            got, message, errors = played
            ok = got == want and phrase in message
            failures += not ok
            print(f"{'ok' if ok else 'FAIL'} - {name}: {got} (want {want}), "
                  f"{message.replace(chr(10), ' ')[:160] or '(no message)'} {'; '.join(errors)}")
        print(f"{failures} of {len(ROWS)} rows failed")
        return 1 if failures or not help_without_display(viewer) else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
