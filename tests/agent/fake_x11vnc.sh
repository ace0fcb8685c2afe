#!/bin/sh
# Stands in for x11vnc: records its arguments (NUL-separated) in $FAKE_DIR/x11vnc.PID, then
# stays for $FAKE_X11VNC_SECONDS, as a session would.
printf '%s\0' "$@" >"$FAKE_DIR/.x11vnc.$$" && mv "$FAKE_DIR/.x11vnc.$$" "$FAKE_DIR/x11vnc.$$"
exec sleep "${FAKE_X11VNC_SECONDS:-0}"
