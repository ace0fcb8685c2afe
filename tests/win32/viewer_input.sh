#!/usr/bin/env bash
# talviewer.exe's input, clipboard, desktop resize and password dialog under Wine, driven with
# xdotool and xclip against a recording RFB server (tests/win32/viewer_input.py).
#   tests/win32/viewer_input.sh BUILD_WIN      (after scripts/build-windows)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "$1")
source "$here/wine_session.sh"
trap wine_session_stop EXIT
wine_session_start "$build" || exit 1
xset -r  # no auto-repeat: a key held across a slow step must not be typed twice
PYTHONDONTWRITEBYTECODE=1 timeout 900 python3 "$here/viewer_input.py" "$build"  # no __pycache__ in the tree
