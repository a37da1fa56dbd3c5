#!/bin/sh
# Pictures of the transcript's other views on a virtual X server: a loopback
# peer sends a sample of UTF-8 text, control bytes and bytes that are no
# valid UTF-8; Pellix reads it once with --encoding utf-8 and once with --hex.
# Usage: screenshot-views.sh <pellix executable> <utf8.png> <hex.png>
# Needs Xvfb (xvfb), xdotool, python3 and ImageMagick's import (imagemagick).
set -eu

fail() {
    echo "screenshot-views: $*" >&2
    exit 1
}
[ $# -eq 3 ] || { echo "usage: screenshot-views.sh <pellix> <utf8.png> <hex.png>" >&2; exit 2; }
exe=$1
[ -x "$exe" ] || fail "no executable at $exe (build first: make)"
. "$(dirname "$0")/xvfb.sh"
start_xvfb

# One picture: the peer sends the sample and stays; Pellix shows it with the
# options given, and a line typed into the transcript comes back as the echo.
shoot() {
    out=$1
    shift
    /usr/bin/python3 -u - >"$tmp/peer.out" <<'PY' &
import socket, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(1)
print(s.getsockname()[1], flush=True)
c, _ = s.accept()
c.sendall("café naïve é 日本語 😀 Ω\r\n".encode()
          + b"ctl: \x00\x01\x1b[0m\x7f tab\there\r\n"
          + b"bad: \xc0\xaf \xed\xa0\x80 \x80 \xff \xe2\x82\r\n")
time.sleep(30)
PY
    peer=$!
    i=0
    until [ -s "$tmp/peer.out" ]; do
        i=$((i + 1)); [ "$i" -le 100 ] || fail "the peer did not start"; sleep 0.1
    done
    QT_QPA_PLATFORM=xcb "$exe" "$@" 127.0.0.1 "$(head -n 1 "$tmp/peer.out")" >/dev/null 2>&1 &
    app_pid=$!
    id=$(timeout 20 xdotool search --sync --onlyvisible --name '^Pellix$' | head -n 1) || true
    [ -n "$id" ] || fail "no window named Pellix within 20 s"
    sleep 1
    xdotool windowfocus --sync "$id"
    xdotool mousemove --window "$id" 340 300 click 1
    xdotool type --delay 20 'sent: ok'
    xdotool key Return
    xdotool mousemove 1000 700
    sleep 0.5
    /usr/bin/import -window "$id" "$out"
    kill "$app_pid" "$peer" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=
    rm -f "$tmp/peer.out"
    echo "screenshot-views: $out"
}

shoot "$2" --encoding utf-8
shoot "$3" --hex
