#!/usr/bin/env python3
"""talviewer.exe under Wine, worked as an operator would (xdotool on the Wine session's display,
xclip for the X clipboard that Wine bridges to the Windows one), against the recording RFB
server of tests/support/rfb_peer.py through view_relay.py: keys, pointer, focus loss,
clipboard, desktop resize, the remote screens, a flood of resizes, view only, the screenshot and the password
dialog, each checked against the server's records of what the viewer sent.

  tests/win32/viewer_input.py BUILD_WIN    (run by viewer_input.sh, inside a Wine session)
"""
import glob
import os
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from rfb_peer import Server, key_latency_under_flood, tap, update, wait_for, xdotool  # noqa: E402

BUILD = os.path.abspath(sys.argv[1])
WINE = os.environ["WINE"]
DRIVER = os.path.join(BUILD, "win32-tools", "driver.exe")
WORK = os.path.join(BUILD, "viewer-input")
WIDTH, HEIGHT = 320, 200
PASSWORD = "secret12"

failed = False
children = []


def check(name, want, got):
    global failed
    if want == got:
        print(f"PASS: {name}")
    else:
        print(f"FAIL: {name}\n  want {want!r}\n  got  {got!r}")
        failed = True
    return want == got


def driver(*steps):
    """The test driver's steps (tests/win32/driver.cpp) on the viewer's window; its output lines."""
    out = subprocess.run([WINE, DRIVER, *map(str, steps)], capture_output=True, timeout=120)
    return out.stdout.decode("utf-8", "replace").replace("\r", "").splitlines()


def start_viewer(name, relay_port, dialogs):
    env = dict(os.environ)
    env.pop("TALVIEWER_NO_DIALOGS", None)
    if not dialogs:
        env["TALVIEWER_NO_DIALOGS"] = "1"  # a failure prints its message instead of waiting
    viewer = subprocess.Popen([WINE, os.path.join(WORK, "talviewer.exe"), "TALVERO-VNC",
                               "127.0.0.1", str(relay_port), name], cwd=WORK, env=env)
    children.append(viewer)
    return viewer


def exit_status(viewer):
    try:
        return viewer.wait(timeout=30)
    except subprocess.TimeoutExpired:
        return "still running"


def x_window(title):
    """The X window of the Wine window with this exact title, once it is there."""
    pattern = "^" + title.replace("(", r"\(").replace(")", r"\)") + "$"
    wid = wait_for(lambda: xdotool("search", "--name", pattern).split()[:1], timeout=30)
    return wid[0] if wid else None


def focused(*wids):
    """Whether the X focus is (or comes within a bound) on one of these windows. Wine gives keys
    to the window that has the focus inside the program, whichever of its X windows has it."""
    return bool(wait_for(lambda: xdotool("getwindowfocus") in wids, timeout=10))


def wait_events(session, start, kinds, count):
    """The records of these kinds since `start`, once there are `count` (or after a timeout)."""
    def mine(records):
        return [r[1:] for r in records[start:] if r[0] in kinds]
    session.wait(lambda records: len(mine(records)) >= count)
    return mine(session.snapshot())


# ---- keys ----

SHIFT, CTRL, ALT = 0xFFE1, 0xFFE3, 0xFFE9

KEY_ROWS = [
    # xdotool's words, the KeyEvents (down, keysym) the server must see, in order
    ("key a", tap(ord("a"))),
    # xdotool lets Shift go before the letter: the release is of the 'A' that was pressed
    ("key shift+a", [(1, SHIFT), (1, ord("A")), (0, SHIFT), (0, ord("A"))]),
    # Wine reports a press of the right Shift as presses of both; the right one must arrive as
    # Shift_R (the message alone says Shift: only its scan code tells the keys apart)
    ("keydown Shift_R key b keyup Shift_R",
     [(1, SHIFT), (1, 0xFFE2)] + tap(ord("B")) + [(0, SHIFT), (0, 0xFFE2)]),
    # keys that type a control character must not also send it as text; extended keys; F keys
    ("key Return BackSpace Tab Escape Left Up Right Down F1 F5 F12",
     [e for k in (0xFF0D, 0xFF08, 0xFF09, 0xFF1B, 0xFF51, 0xFF52, 0xFF53, 0xFF54, 0xFFBE, 0xFFC2,
                  0xFFC9) for e in tap(k)]),
    ("key F10", tap(0xFFC7)),  # the menu key of Windows, the remote side's here
    ("key ctrl+c", [(1, CTRL), (1, ord("c")), (0, CTRL), (0, ord("c"))]),
    # Alt+letter is the remote side's too, and opens no menu of the window's
    ("key alt+x alt+s alt+v",
     [e for c in "xsv" for e in [(1, ALT), (1, ord(c)), (0, ALT), (0, ord(c))]]),
    # F8 opens the window's menu instead of going out; Escape closes it, and keys go out again
    ("key F8 Escape a", tap(ord("a"))),
    # its last item is Send keys, whose first is Ctrl+Alt+Del: pressed in order, released in reverse
    ("key F8 Up Right Return",
     [(1, CTRL), (1, ALT), (1, 0xFFFF), (0, 0xFFFF), (0, ALT), (0, CTRL)]),
    # View only: the keys held when it is turned on are released (in scan-code order: Ctrl, Shift,
    # Alt), then nothing goes out until it is turned off again
    ("key ctrl+alt+shift+v a ctrl+alt+shift+v b",
     [(1, CTRL), (1, ALT), (1, SHIFT), (0, CTRL), (0, SHIFT), (0, ALT)] + tap(ord("b"))),
    # a digit's shifted symbol, with Shift held across keys
    ("keydown shift key x 2 keyup shift",
     [(1, SHIFT)] + tap(ord("X")) + tap(ord("@")) + [(0, SHIFT)]),
]


def check_keys(session):
    for words, want in KEY_ROWS:
        start = len(session.snapshot())
        xdotool(*words.split())
        check(f"keys: {words}", want, wait_events(session, start, {"key"}, len(want)))


def check_screenshot(session):
    """Ctrl+Alt+Shift+S saves the desktop (one colour) as NAME DATE TIME.png in Pictures, which
    the Wine prefix may link to the X user's own."""
    pattern = "pc-rec *.png"
    folders = glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", "*",
                                     "Pictures")) + [os.path.expanduser("~/Pictures")]
    start = len(session.snapshot())
    xdotool("key", "ctrl+alt+shift+s")
    files = wait_for(lambda: [f for d in folders for f in glob.glob(os.path.join(d, pattern))],
                     timeout=20)
    shot = None
    if files:
        time.sleep(0.5)  # written whole before it is read
        png = open(files[0], "rb").read()
        shot = struct.unpack(">II", png[16:24])
        for f in set(map(os.path.realpath, files)):
            os.remove(f)
    check("screenshot: a PNG of the desktop's size", (WIDTH, HEIGHT), shot)
    check("screenshot: no key goes out", [],
          [r for r in session.snapshot()[start:] if r[0] == "key" and r[2] == ord("s")])


# ---- pointer ----

def check_pointer(session, origin):
    def at(x, y):
        return origin[0] + x, origin[1] + y

    rows = [
        # xdotool's words (positions in the desktop), the PointerEvents (mask, x, y) in order
        ("left click", [("mousemove", *at(10, 20)), ("click", 1)],
         [(0, 10, 20), (1, 10, 20), (0, 10, 20)]),
        ("right click", [("mousemove", *at(319, 199)), ("click", 3)],
         [(0, 319, 199), (4, 319, 199), (0, 319, 199)]),
        ("middle click", [("mousemove", *at(0, 0)), ("click", 2)],
         [(0, 0, 0), (2, 0, 0), (0, 0, 0)]),
        ("drag", [("mousemove", *at(40, 50)), ("mousedown", 1), ("mousemove", *at(200, 150)),
                  ("mouseup", 1)],
         [(0, 40, 50), (1, 40, 50), (1, 200, 150), (0, 200, 150)]),
        ("wheel", [("mousemove", *at(100, 100)), ("click", 4), ("click", 5)],
         [(0, 100, 100), (8, 100, 100), (0, 100, 100), (16, 100, 100), (0, 100, 100)]),
    ]
    for name, steps, want in rows:
        start = len(session.snapshot())
        for step in steps:
            xdotool(*step)
        check(f"pointer: {name}", want, wait_events(session, start, {"pointer"}, len(want)))


def check_focus_loss(session, wid, origin):
    start = len(session.snapshot())
    x, y = 60, 70
    xdotool("keydown", "ctrl", "mousemove", origin[0] + x, origin[1] + y, "mousedown", 1)
    held = [("key", 1, CTRL), ("pointer", 0, x, y), ("pointer", 1, x, y)]
    session.wait(lambda records: len(records) >= start + 3)
    check("focus: Ctrl and the left button held", held, session.snapshot()[start:])
    # Another program takes the focus (here the root window): what is held is released.
    start = len(session.snapshot())
    xdotool("windowfocus", xdotool("search", "--maxdepth", "0", "--name", "").split()[0])
    session.wait(lambda records: len(records) >= start + 2)
    check("focus: lost, Ctrl and the button are released",
          [("key", 0, CTRL), ("pointer", 0, x, y)], session.snapshot()[start:])
    xdotool("keyup", "ctrl", "mouseup", 1)
    xdotool("windowfocus", wid)
    focused(wid)


# ---- clipboard ----

def check_clipboard(session):
    # X to server: Latin-1 as RFB has it; the dash and the euro sign are not in it, and
    # Windows' CRLF becomes LF. xclip serves the selection until the viewer takes it.
    start = len(session.snapshot())
    xclip = subprocess.Popen(["xclip", "-quiet", "-selection", "clipboard", "-i"],
                             stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    children.append(xclip)
    xclip.stdin.write("Gr\u00fc\u00dfe, caf\u00e9 \u2013 5 \u20ac\nzweite Zeile".encode())
    xclip.stdin.close()
    check("clipboard: X to server", [(b"Gr\xfc\xdfe, caf\xe9 ? 5 ?\nzweite Zeile",)],
          wait_events(session, start, {"cut"}, 1))

    sent = b"D\xe9j\xe0 vu\nzweite Zeile"
    start = len(session.snapshot())
    session.send_cut(sent)

    def pasted():
        # The owner may not answer a request made while the selection changes hands (Wine
        # taking it from the xclip above): such a request is given up and asked again.
        try:
            out = subprocess.run(["xclip", "-o", "-selection", "clipboard"],
                                 capture_output=True, timeout=2).stdout
        except subprocess.TimeoutExpired:
            return None
        return out if out == sent.decode("latin-1").encode() else None

    got = wait_for(pasted, timeout=15, step=0.2)
    check("clipboard: server to X", "Déjà vu\nzweite Zeile", got.decode() if got else None)
    return start, sent


# ---- resize ----

def check_resize(session, title, origin):
    start = len(session.snapshot())
    session.resize(400, 240)
    first = wait_events(session, start, {"request"}, 1)[:1]
    check("resize: the viewer asks for the whole new desktop", [(0, 0, 0, 400, 240)], first)
    client = driver("window", title, "client", 400, 240)
    check("resize: the client area follows", ["client %d %d 400 240" % origin], client)
    start = len(session.snapshot())
    xdotool("mousemove", origin[0] + 390, origin[1] + 230, "click", 1)
    check("resize: a click in the new part", [(0, 390, 230), (1, 390, 230), (0, 390, 230)],
          wait_events(session, start, {"pointer"}, 3))


# ---- screens ----

EXTENDED_DESKTOP_SIZE = -308


def describe_screens(session, *screens):
    """An ExtendedDesktopSize rectangle (the server's own change) describing these (x, y, w, h)."""
    session.send(update(session.width, session.height, EXTENDED_DESKTOP_SIZE) +
                 bytes([len(screens), 0, 0, 0]) +
                 b"".join(struct.pack(">IHHHHI", i + 1, *s, 0) for i, s in enumerate(screens)))


def check_screens(session, title, origin):
    """On a 400x240 desktop described as two screens side by side, the F8 menu's Screen item
    shows the right one alone: the window fits it, it is painted from the right part of the
    framebuffer, and a click lands there. Described as one screen again, the whole desktop is
    back, and "Resize remote desktop to window" asks for the window's size."""
    describe_screens(session, (0, 0, 200, 240), (200, 0, 200, 240))
    # The second screen in a colour of its own (0x00RRGGBB little-endian: blue, green, red).
    session.send(struct.pack(">BxHHHHHi", 0, 1, 200, 0, 200, 240, 0) +
                 bytes([0x20, 0xA0, 0x40, 0]) * (200 * 240))
    time.sleep(1)
    # Up from the top: Send keys, Quality, Save screenshot, Screen; in it: All screens, 1, 2.
    xdotool("key", "F8", "Up", "Up", "Up", "Up", "Right", "Down", "Down", "Return")
    got = driver("window", title, "client", 200, 240, "color", 5, 5, "40a020")
    check("screens: the second screen alone, in its colour",
          ["client %d %d 200 240" % origin, "color ok"], got)
    start = len(session.snapshot())
    xdotool("mousemove", origin[0] + 10, origin[1] + 20, "click", 1)
    check("screens: a click lands on the second screen", [(0, 210, 20), (1, 210, 20), (0, 210, 20)],
          wait_events(session, start, {"pointer"}, 3))
    # One screen: the choice goes, and the remote desktop may follow the 200x240 window.
    describe_screens(session, (0, 0, 400, 240))
    time.sleep(1)
    start = len(session.snapshot())
    xdotool("key", "F8", "Up", "Up", "Up", "Up", "Up", "Return")
    check("screens: the remote desktop asked to fit the window",
          [(200, 240, ((0, 0, 200, 240),))], wait_events(session, start, {"setdesktopsize"}, 1))
    xdotool("key", "F8", "Up", "Up", "Up", "Up", "Up", "Return")  # off again


def check_flood(session):
    """A desktop that floods 8192x8192 resizes for a second: a key typed during the flood and
    one typed after it reach the server within the flood's second plus a generous bound."""
    during, after = key_latency_under_flood(session, lambda: xdotool("key", "x"), ord("x"))
    for when, seconds in (("during", during), ("after", after)):
        check(f"flood: a key typed {when} it arrives in time ({seconds} s)", True,
              seconds is not None and seconds < 11)


def plain_session(relay_port, server):
    title = "pc-rec (not encrypted)"
    viewer = start_viewer("pc-rec", relay_port, dialogs=False)
    session = server.session(0)
    if not session or not session.wait(lambda r: ("request", 0, 0, 0, WIDTH, HEIGHT) in r):
        check("plain: the session starts", "a full update request",
              session.snapshot() if session else "no connection")
        return
    wid = x_window(title)
    if not check("plain: the window is there and has the focus", True, bool(wid) and focused(wid)):
        return
    client = driver("window", title, "client", WIDTH, HEIGHT)
    fields = client[0].split() if client else []
    if not check("plain: the client area is the desktop's size", ["client", str(WIDTH), str(HEIGHT)],
                 fields[:1] + fields[3:]):
        return
    origin = int(fields[1]), int(fields[2])

    check_keys(session)
    check_screenshot(session)
    check_pointer(session, origin)
    check_focus_loss(session, wid, origin)
    cut_start, sent = check_clipboard(session)
    check_resize(session, title, origin)
    check_screens(session, title, origin)
    check_flood(session)

    driver("window", title, "close")
    check("plain: closed by the operator, status 0", 0, exit_status(viewer))
    session.wait(lambda r: ("closed",) in r)
    records = session.snapshot()
    held = set()
    for record in records:
        if record[0] == "key":
            (held.add if record[1] else held.discard)(record[2])
    check("keys: none left down at the end", set(), held)
    check("clipboard: the server's text is not sent back", [],
          [r for r in records[cut_start:] if r == ("cut", sent)])


# ---- password ----

PASSWORD_ROWS = [
    # name, typed, the key that ends the dialog, the recorder's verdict, message, exit status
    ("right", PASSWORD, "Return", ("auth", "ok"), None, 0),
    ("wrong", "wrong123", "Return", ("auth", "bad"), "pc-auth did not accept the password.", 8),
    ("cancel", PASSWORD, "Escape", None, None, 1),
]


def password_sessions(relay_port, server):
    for index, (name, typed, key, verdict, message, status) in enumerate(PASSWORD_ROWS):
        viewer = start_viewer("pc-auth", relay_port, dialogs=True)
        session = server.session(index)
        dialog = x_window("Password")
        if not check(f"password {name}: the dialog is there, the viewer has the focus", True,
                     bool(dialog) and focused(dialog, x_window("pc-auth")) and
                     session is not None):
            viewer.kill()
            continue
        xdotool("type", "--delay", 20, typed)
        xdotool("key", key)
        session.wait(lambda r: ("closed",) in r or ("request", 0, 0, 0, WIDTH, HEIGHT) in r)
        got = [r for r in session.snapshot() if r[0] == "auth"]
        check(f"password {name}: the server's verdict", [verdict] if verdict else [], got)
        if verdict == ("auth", "ok"):
            check(f"password {name}: the session runs", True,
                  bool(session.wait(lambda r: ("request", 0, 0, 0, WIDTH, HEIGHT) in r)) and
                  bool(x_window("pc-auth (not encrypted)")))
            driver("window", "pc-auth (not encrypted)", "close")
        if message:
            box = driver("message", "pc-auth \u2014 talviewer")
            check(f"password {name}: the message", True, bool(box) and message in box[0])
        check(f"password {name}: exit status", status, exit_status(viewer))


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    shutil.copy(os.path.join(BUILD, "win32-tools", "talviewer.exe"), WORK)
    open(os.path.join(WORK, "allow-plain-sessions"), "w").close()  # no ca.pem: plain
    plain = Server(size=(WIDTH, HEIGHT))
    auth = Server(size=(WIDTH, HEIGHT), password=PASSWORD)
    port_file = os.path.join(WORK, "relay-port")
    children.append(subprocess.Popen([sys.executable, os.path.join(HERE, "view_relay.py"),
                                      "--port-file", port_file, "--route", f"pc-rec={plain.port}",
                                      "--route", f"pc-auth={auth.port}"]))
    if not wait_for(lambda: os.path.exists(port_file), timeout=10):
        check("the relay starts", True, False)
        return
    with open(port_file) as f:
        relay_port = int(f.read())
    try:
        plain_session(relay_port, plain)
        password_sessions(relay_port, auth)
    finally:
        for child in children:
            if child.poll() is None:
                child.kill()
                child.wait()


if __name__ == "__main__":
    main()
    sys.exit(1 if failed else 0)
