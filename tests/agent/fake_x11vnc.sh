#!/bin/sh
# Stands in for x11vnc: records its arguments (NUL-separated) in $FAKE_DIR/x11vnc.PID. Serving
# a viewer on its stdin (-inetd), it speaks RFB 3.8 there up to the security type as x11vnc
# does: it offers VNC authentication with -passwdfile and None without, and answers the type
# chosen with a security result (None) or a 16-byte challenge (VNC authentication). Then it
# stays for $FAKE_X11VNC_SECONDS, as a session would.
printf '%s\0' "$@" >"$FAKE_DIR/.x11vnc.$$" && mv "$FAKE_DIR/.x11vnc.$$" "$FAKE_DIR/x11vnc.$$"
case " $* " in
*" -inetd "*)
    offered=1
    case " $* " in *" -passwdfile "*) offered=2 ;; esac
    printf 'RFB 003.008\n' >&0
    dd bs=12 count=1 status=none <&0 >/dev/null
    printf "\\001\\00$offered" >&0
    case $(dd bs=1 count=1 status=none <&0 | od -An -tu1 | tr -d ' ') in
    1) printf '\000\000\000\000' >&0 ;;
    2) printf 'challenge16bytes' >&0 ;;
    esac
    ;;
esac
exec sleep "${FAKE_X11VNC_SECONDS:-0}"
