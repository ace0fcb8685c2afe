#!/bin/sh
# Stands in for the Allow/Deny dialog: records its arguments (NUL-separated) in
# $FAKE_DIR/ask.PID, waits $FAKE_ASK_SECONDS and answers with exit status $FAKE_ASK_STATUS.
printf '%s\0' "$@" >"$FAKE_DIR/.ask.$$" && mv "$FAKE_DIR/.ask.$$" "$FAKE_DIR/ask.$$"
sleep "${FAKE_ASK_SECONDS:-0}"
exit "${FAKE_ASK_STATUS:-101}"
