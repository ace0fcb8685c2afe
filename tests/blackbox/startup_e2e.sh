#!/usr/bin/env bash
# The real launcher binary on a private X server: the settings file decides
# whether the dialog appears, the keyboard behaves as on Windows, and the
# exit status tells how it ended.
#   startup_e2e.sh BUILD_DIR
source "$(dirname "$0")/lib.sh"
start_xvfb

# A settings file that cannot be opened: the message box captioned with the
# executable's name, then exit status 1 once it is dismissed.
expect_settings_refused() {
    local what=$1
    (cd "$WORK/app" && exec ./launcher) &
    local pid=$!
    track $pid
    local box
    box=$(wait_window '^launcher$' 15) || fail "$what: no message box"
    [[ $what == missing ]] && screenshot "$ARTIFACTS/settings-missing.png" "$box"
    press "$box" Return
    wait_exit $pid 20 || fail "$what: still running after the message box"
    [[ $EXIT_STATUS == 1 ]] || fail "$what: exit status $EXIT_STATUS, expected 1"
    echo "ok - $what settings file: message box, exit status 1"
}

install_launcher
expect_settings_refused missing

install_launcher '<xml><title>Read only</title></xml>'
chmod 0444 "$WORK/app/set.xml"
expect_settings_refused read-only
chmod 0644 "$WORK/app/set.xml"

# -o: the lock stays with flock itself, so killing it frees the file.
flock -o "$WORK/app/set.xml" sleep 60 >/dev/null 2>&1 &
holder=$!
track $holder
wait_for 10 locked "$WORK/app/set.xml" || fail "flock did not take the lock"
expect_settings_refused locked
pkill -P $holder 2>/dev/null || true
kill $holder 2>/dev/null || true
wait $holder 2>/dev/null || true

# A valid file: the dialog appears captioned with the title; Return leaves it
# open, Escape ends the process with status 0.
install_launcher '<?xml version="1.0"?><xml><connect ip="" port=""/><title>Remote Support</title></xml>'
(cd "$WORK/app" && exec ./launcher) &
pid=$!
track $pid
win=$(wait_window '^Remote Support$' 15) || fail "the dialog did not appear with its title"
sleep 0.3
screenshot "$ARTIFACTS/launcher-dialog.png" "$win"
press "$win" Return
sleep 0.5
kill -0 $pid 2>/dev/null || fail "Return ended the launcher"
xdotool search --onlyvisible --name '^Remote Support$' >/dev/null || fail "Return closed the dialog"
echo "ok - Return leaves the dialog open"
press "$win" Escape
wait_exit $pid 20 || fail "Escape did not end the launcher"
[[ $EXIT_STATUS == 0 ]] || fail "exit status $EXIT_STATUS after Escape, expected 0"
echo "ok - Escape ends the launcher with status 0"
