#!/usr/bin/env python3
"""talviewer against TigerVNC's Xvnc in each of its security modes, headless: the viewer's rules
for choosing among the security types a real server offers, end to end. Each row starts Xvnc with
its options (a password file made by vncpasswd, certificates made by talpki), reaches it through a
stand-in for the directory server's relay (tests/win32/view_relay.py), and runs the real viewer
from a folder with ca.pem (a deployment) or allow-plain-sessions, the password on stdin. A session
that works draws its first frame (TALVIEWER_TIMING's "first-frame" line); one that must not ends
with its exit status. Exits 77 (skipped) without Xvnc or vncpasswd.

  xvnc_security.py TALVIEWER TALPKI
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "win32"))
from view_relay import serve, serve_forever  # noqa: E402
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from viewer_deployment import make_pki, viewer_folder  # noqa: E402

NAME = "pc-01"
PASSWORD = "secret12"
DESKTOP = "desktop"  # the outcome of a session that shows the remote desktop


def x509(machine):
    """X509Vnc with a machine's key and certificate (one PEM file from talpki)."""
    pem = "{pki}/agents/%s.pem" % machine
    return ["-SecurityTypes", "X509Vnc", "-X509Cert", pem, "-X509Key", pem]


# (row, Xvnc's security options, the viewer's folder, what stdin holds, the outcome: DESKTOP or
# the exit status). Without -SecurityTypes Xvnc offers TLSVnc (anonymous TLS) and VncAuth.
ROWS = [
    ("default security, plain sessions allowed: VNC authentication", [], "plain", PASSWORD,
     DESKTOP),
    ("default security, a deployment CA: not secure", [], "ca", PASSWORD, 7),
    ("VncAuth: the right password", ["-SecurityTypes", "VncAuth"], "plain", PASSWORD, DESKTOP),
    ("VncAuth: a wrong password", ["-SecurityTypes", "VncAuth"], "plain", "wrong123", 8),
    ("X509Vnc: the deployment's CA", x509(NAME), "ca", PASSWORD, DESKTOP),
    ("X509Vnc: a certificate for another machine", x509("other-pc"), "ca", PASSWORD, 7),
    ("X509Vnc: another deployment's CA", x509(NAME), "other-ca", PASSWORD, 7),
]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_xvnc(options, work):
    """Xvnc on a display it picks itself, listening for RFB on a free port; (process, port)."""
    port = free_port()
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


def run_viewer(folder, relay_port, stdin, env):
    """The viewer's outcome: DESKTOP once it has drawn a frame, else its exit status."""
    viewer = subprocess.Popen([os.path.join(folder, "talviewer"), "TALVERO-VNC", "127.0.0.1",
                               str(relay_port), NAME], stdin=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=env)
    viewer.stdin.write((stdin + "\n").encode())
    viewer.stdin.close()
    lines = []
    drawn = threading.Event()

    def read():
        for line in viewer.stderr:
            lines.append(line.decode(errors="replace").strip())
            if line.startswith(b"first-frame "):
                drawn.set()

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not drawn.is_set() and viewer.poll() is None:
        time.sleep(0.05)
    outcome = DESKTOP if drawn.is_set() else viewer.poll()
    if outcome is None:
        outcome = "timeout"
    viewer.kill()
    viewer.wait()
    reader.join(5)
    return outcome, [line for line in lines if line.startswith("talviewer: ")]


def deployment(talviewer, talpki, work):
    """The certificates, the password file and the viewer's three folders; the folders by kind."""
    pki = os.path.join(work, "pki")
    make_pki(talpki, pki, NAME)
    with open(os.path.join(work, "passwd"), "wb") as f:
        f.write(subprocess.run(["vncpasswd", "-f"], input=PASSWORD.encode(), capture_output=True,
                               check=True).stdout)
    os.chmod(os.path.join(work, "passwd"), 0o600)
    kinds = (("plain", None), ("ca", pki), ("other-ca", os.path.join(pki, "other")))
    folders = {kind: viewer_folder(talviewer, os.path.join(work, kind), ca) for kind, ca in kinds}
    return pki, folders


def main():
    talviewer, talpki = sys.argv[1], sys.argv[2]
    for program in ("Xvnc", "vncpasswd"):
        if not shutil.which(program):
            print(f"skipped: {program} missing (scripts/deps session)")
            return 77
    work = tempfile.mkdtemp(prefix="talviewer-xvnc-")
    try:
        pki, folders = deployment(talviewer, talpki, work)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", TALVIEWER_NO_DIALOGS="1",
                   TALVIEWER_TIMING="1", XDG_RUNTIME_DIR=work, XDG_CONFIG_HOME=work, HOME=work)
        routes = {}  # the relay's, NAME to each row's Xvnc
        relay = socket.create_server(("127.0.0.1", 0))
        threading.Thread(target=serve_forever, args=(relay, serve, routes, {}),
                         daemon=True).start()
        failures = 0
        for name, options, kind, stdin, want in ROWS:
            xvnc, port = start_xvnc([o.format(pki=pki) for o in options], work)
            if not xvnc:
                failures += 1
                print(f"FAIL - {name}: Xvnc did not start (see {work}/xvnc.log)")
                continue
            routes[NAME] = port
            try:
                got, message = run_viewer(folders[kind], relay.getsockname()[1], stdin, env)
            finally:
                xvnc.terminate()
                xvnc.wait(10)
            verdict = "ok" if got == want else "FAIL"
            failures += got != want
            print(f"{verdict} - {name}: {got} (want {want}) {' '.join(message)[:200]}")
        print(f"{failures} of {len(ROWS)} rows failed")
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
