#!/bin/sh
# The real program connects, from its command line, to a host that drops
# SYNs; while the connect waits (10 s), a real click on "?" goes through the X
# server. The click must be acted on only after the attempt has ended: in the
# log the help text comes after "Failed connection to: 127.0.0.1".
# Usage: check-input-waits.sh <pellix>
# Exits 77 (skipped) when Xvfb, xdotool or python3 is not installed.
set -eu
[ $# -eq 1 ] || { echo "usage: check-input-waits.sh <pellix>" >&2; exit 2; }
exe=$1
here=$(dirname "$0")

for tool in Xvfb:xvfb xdotool:xdotool python3:python3; do
    if ! command -v "${tool%%:*}" >/dev/null 2>&1; then
        echo "SKIP: ${tool%%:*} is not installed (apt-get install ${tool#*:})"
        exit 77
    fi
done

. "$here/../../scripts/xvfb.sh"
peer_pid=''
fail() {
    echo "FAIL: $*" >&2
    [ -s "$tmp/log" ] && { echo "--- transcript log:" >&2; cat -A "$tmp/log" >&2; }
    exit 1
}
trap 'xvfb_cleanup; [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null; true' EXIT

start_xvfb

python3 "$here/full-listener.py" >"$tmp/port" &
peer_pid=$!
i=0
until [ -s "$tmp/port" ]; do
    i=$((i + 1)); [ "$i" -le 100 ] || fail "the full listener did not start"; sleep 0.1
done
port=$(cat "$tmp/port")

QT_QPA_PLATFORM=xcb "$exe" -o "$tmp/log" 127.0.0.1 "$port" >"$tmp/pellix.out" 2>&1 &
app_pid=$!
wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Pellix$' 2>/dev/null | head -n 1) \
    || fail "no window appeared"
sleep 1 # the connect is under way
grep -q "connection to" "$tmp/log" && fail "the connect ended before the click"
xdotool mousemove --window "$wid" 618 14 click 1 # the "?" button

i=0
until grep -q "WARNING" "$tmp/log" && grep -q "^Failed connection to" "$tmp/log"; do
    i=$((i + 1)); [ "$i" -le 200 ] || fail "no failure line, or the click was never acted on"
    sleep 0.1
done
failed=$(grep -n "^Failed connection to: 127.0.0.1" "$tmp/log" | cut -d: -f1)
help=$(grep -n "^( https" "$tmp/log" | cut -d: -f1)
[ "$failed" -lt "$help" ] || fail "the click was acted on while the connect waited"
echo "PASS: the click during the wait was acted on after the failure line (lines $failed, $help)"
