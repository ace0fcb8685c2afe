#!/usr/bin/env python3
"""talviewer's input on a private X server against the recording RFB server: keys a menu bar or
the local desktop would take reach the server and open no menu; F8 opens the viewer's menu, and
its Send keys items send their keys as a keyboard makes them; View only stops every key until
turned off; Save screenshot writes the desktop as a PNG into the pictures folder. Last, the
desktop floods 8192x8192 resizes for a second: a key typed during the flood, and one typed after
it, must reach the server within the flood's second plus a generous bound (unserved input once
waited for over 90 s).
  qt_input.py TALVIEWER     (on DISPLAY, an Xvfb of its own: see CMakeLists.txt)
"""
import glob
import os
import shutil
import struct
import sys
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from rfb_peer import key_latency_under_flood, qt_viewer, tap, wait_for, xdotool  # noqa: E402

CTRL, ALT, SUPER, DELETE, TAB, F8, F10 = 0xFFE3, 0xFFE9, 0xFFEB, 0xFFFF, 0xFF09, 0xFFC5, 0xFFC7


# xdotool's words; the key events (down, keysym) the server must see, in order; whether a menu
# is open after them. F8's menu: View, Send keys (Ctrl+Alt+Del, Alt+Tab, Windows key, F8), Session.
ROWS = [
    # xdotool lets the modifier go before the key
    ("key alt+s alt+v alt+Tab",
     [e for k in (ord("s"), ord("v"), TAB) for e in [(1, ALT), (1, k), (0, ALT), (0, k)]], False),
    ("key alt", tap(ALT), False),  # a tap of Alt selects no menu bar: the next keys go out
    ("key super F10", tap(SUPER) + tap(F10), False),
    ("key F8", [], True),
    ("key Escape", [], False),  # closes the menu, goes nowhere
    ("key F8 Down Down Right Return",
     [(1, CTRL), (1, ALT), (1, DELETE), (0, DELETE), (0, ALT), (0, CTRL)], False),
    ("key F8 Down Down Right Up Return", tap(F8), False),
]


def view_only_and_screenshot(viewer, session):
    """The rows after the menu's: each check's name and whether it held."""
    def keys_of(words):
        start = len(session.snapshot())
        xdotool("key", words)
        time.sleep(0.5)
        return [r[1:] for r in session.snapshot()[start:] if r[0] == "key"]

    wid = xdotool("search", "--onlyvisible", "--pid", str(viewer.pid)).split()[0]
    results = []
    xdotool("key", "ctrl+alt+shift+v")
    titled = wait_for(lambda: "(view only)" in xdotool("getwindowname", wid), timeout=5)
    results.append(("view only: titled, and a key goes nowhere", titled and keys_of("a") == []))
    xdotool("key", "ctrl+alt+shift+v")
    results.append(("view only off: keys go out again", keys_of("a") == tap(ord("a"))))

    pictures = os.path.join(os.path.dirname(viewer.args[0]), "Pictures")
    xdotool("key", "ctrl+alt+shift+s")
    files = wait_for(lambda: glob.glob(os.path.join(pictures, "pc-keys *.png")), timeout=10)
    shot = ""
    if files:
        png = open(files[0], "rb").read()
        width, height = struct.unpack(">II", png[16:24])
        first_row = zlib.decompress(png[41:])[:4]  # IDAT's data: filter byte, then R, G, B
        shot = f"{width}x{height} {first_row[1:].hex()}"
    # The recording server's colour bytes (0x30, 0x60, 0xC0) are a little-endian 0x00RRGGBB.
    results.append((f"screenshot {shot or 'missing'}", shot == "320x200 c06030"))
    return results


def visible_windows(pid):
    return len(xdotool("search", "--onlyvisible", "--pid", str(pid)).split())


def main():
    if not shutil.which("xdotool"):
        print("SKIP: xdotool is not installed")
        return 77
    failed = False
    with qt_viewer(sys.argv[1], "pc-keys") as (viewer, session):
        windows = visible_windows(viewer.pid)
        for words, want, menu_open in ROWS:
            start = len(session.snapshot())
            xdotool(*words.split())

            def keys():
                return [r[1:] for r in session.snapshot()[start:] if r[0] == "key"]

            session.wait(lambda r: len(keys()) >= len(want), timeout=10)
            if menu_open:
                wait_for(lambda: visible_windows(viewer.pid) > windows, timeout=5)
            else:
                time.sleep(0.3)  # a menu opens as the key is handled, before its events go out
            opened = visible_windows(viewer.pid) > windows
            got = keys()
            ok = got == want and opened == menu_open and viewer.poll() is None
            print(f"{'PASS' if ok else 'FAIL'}: {words}: keys {got}, menu open {opened}")
            failed |= not ok
        results = view_only_and_screenshot(viewer, session)
        during, after = key_latency_under_flood(session, lambda: xdotool("key", "x"), ord("x"),
                                                bound=10)
        results.append((f"flood: keys arrived {during} s (typed during it), {after} s (after)",
                        during is not None and after is not None and viewer.poll() is None))
        for what, ok in results:
            print(f"{'PASS' if ok else 'FAIL'}: {what}")
            failed |= not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
