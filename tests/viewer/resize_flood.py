#!/usr/bin/env python3
"""talviewer against a hostile desktop that floods 8192x8192 resizes for a second, on a private
X server: a key typed into the viewer during the flood, and one typed after it, must reach the
server within the flood's second plus a generous bound, and the viewer must still be running.
The recording RFB server (tests/support/rfb_peer.py) also plays the directory server's "ok".

  resize_flood.py TALVIEWER     (on DISPLAY, an Xvfb of its own: see CMakeLists.txt)
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from rfb_peer import Server, key_latency_under_flood, wait_for  # noqa: E402

BOUND = 10  # seconds beyond the flood's own; unserved input used to wait for over 90


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True,
                          timeout=30).stdout.strip()


def main():
    if not shutil.which("xdotool"):
        print("SKIP: xdotool is not installed")
        return 77
    work = tempfile.mkdtemp(prefix="talviewer-flood-")
    viewer = None
    try:
        shutil.copy(sys.argv[1], work)  # no ca.pem beside it, plain sessions allowed
        open(os.path.join(work, "allow-plain-sessions"), "w").close()
        server = Server(view_request=True)
        env = dict(os.environ, TALVIEWER_NO_DIALOGS="1", XDG_RUNTIME_DIR=work, XDG_CONFIG_HOME=work)
        env.pop("QT_QPA_PLATFORM", None)
        viewer = subprocess.Popen([os.path.join(work, "talviewer"), "TALVERO-VNC", "127.0.0.1",
                                   str(server.port), "pc-flood"], env=env)
        session = server.session(0)
        if not session or not session.wait(lambda r: ("request", 0, 0, 0, 320, 200) in r):
            print("FAIL: the session did not start")
            return 1
        wid = wait_for(lambda: xdotool("search", "--onlyvisible", "--name", "^pc-flood ").split()[:1])
        xdotool("windowfocus", "--sync", wid[0])

        during, after = key_latency_under_flood(session, lambda: xdotool("key", "x"), ord("x"),
                                                seconds=float(os.environ.get("FLOOD_SECONDS", "1")), bound=BOUND)
        print(f"keys arrived {during} s (typed during the flood) and {after} s (after it) later")
        ok = during is not None and after is not None and viewer.poll() is None
        print("ok" if ok else "FAIL: input was not served within the flood plus %d s" % BOUND)
        return 0 if ok else 1
    finally:
        if viewer:
            viewer.kill()
            viewer.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
