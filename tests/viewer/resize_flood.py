#!/usr/bin/env python3
"""talviewer against a hostile desktop that floods 8192x8192 resizes for a second, on a private
X server: a key typed into the viewer during the flood, and one typed after it, must reach the
server within the flood's second plus a generous bound, and the viewer must still be running.
The recording RFB server (tests/support/rfb_peer.py) also plays the directory server's "ok".

  resize_flood.py TALVIEWER     (on DISPLAY, an Xvfb of its own: see CMakeLists.txt)
"""
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from rfb_peer import key_latency_under_flood, qt_viewer, xdotool  # noqa: E402

BOUND = 10  # seconds beyond the flood's own; unserved input used to wait for over 90


def main():
    if not shutil.which("xdotool"):
        print("SKIP: xdotool is not installed")
        return 77
    with qt_viewer(sys.argv[1], "pc-flood") as (viewer, session):
        during, after = key_latency_under_flood(session, lambda: xdotool("key", "x"), ord("x"),
                                                seconds=float(os.environ.get("FLOOD_SECONDS", "1")),
                                                bound=BOUND)
        print(f"keys arrived {during} s (typed during the flood) and {after} s (after it) later")
        ok = during is not None and after is not None and viewer.poll() is None
        print("ok" if ok else "FAIL: input was not served within the flood plus %d s" % BOUND)
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
