#!/bin/sh
# Takes a picture of Pellix's window on a virtual X server.
# Usage: screenshot.sh <pellix executable> <output.png>
# Needs Xvfb (xvfb), xdotool, and ImageMagick's import (imagemagick).
set -eu

fail() { echo "screenshot: $*" >&2; exit 1; }
[ $# -eq 2 ] || { echo "usage: screenshot.sh <pellix executable> <output.png>" >&2; exit 2; }
exe=$1 out=$2
[ -x "$exe" ] || fail "no executable at $exe (build first: make)"
command -v Xvfb >/dev/null 2>&1 || fail "Xvfb is not installed (apt-get install xvfb)"
command -v xdotool >/dev/null 2>&1 || fail "xdotool is not installed (apt-get install xdotool)"
# The real ImageMagick, not a stand-in that may come first on PATH.
import=/usr/bin/import
identify=/usr/bin/identify
if [ ! -x "$import" ] || [ ! -x "$identify" ]; then
    fail "ImageMagick is not installed (apt-get install imagemagick)"
fi

. "$(dirname "$0")/xvfb.sh"

start_xvfb

QT_QPA_PLATFORM=xcb "$exe" >"$tmp/pellix.log" 2>&1 &
app_pid=$!
id=$(timeout 20 xdotool search --sync --onlyvisible --name '^Pellix$' 2>/dev/null | head -n 1) || true
[ -n "$id" ] || fail "no window named Pellix within 20 s; program output: $(cat "$tmp/pellix.log")"

# The first paint follows the mapping: retake until the picture is more than
# a blank background (at most 5 s).
i=0
while :; do
    "$import" -window "$id" "$tmp/shot.png" 2>"$tmp/import.log" \
        || fail "import failed: $(cat "$tmp/import.log")"
    colors=$("$identify" -format '%k' "$tmp/shot.png")
    [ "$colors" -gt 16 ] && break
    i=$((i + 1))
    [ "$i" -le 10 ] || fail "the window stayed blank for 5 s ($colors colours)"
    sleep 0.5
done
size=$("$identify" -format '%wx%h' "$tmp/shot.png")

kill -TERM "$app_pid" 2>/dev/null || true
wait "$app_pid" 2>/dev/null || true
app_pid=

mkdir -p "$(dirname "$out")"
mv "$tmp/shot.png" "$out"
echo "screenshot: $out ($size, window $id)"
