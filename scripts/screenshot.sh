#!/bin/sh
# Takes a picture of Pellix in a real session on a virtual X server: a local
# web server (Python's http.server on 127.0.0.1) as the peer, Pellix started
# from the command line to connect to it, a request typed into the transcript,
# and the window captured once the reply has come and the server has closed.
# Usage: screenshot.sh <pellix executable> <output.png>
# Needs Xvfb (xvfb), xdotool, python3 and ImageMagick's import (imagemagick).
set -eu

fail() {
    echo "screenshot: $*" >&2
    for log in pellix.log server.log; do
        if [ -s "$tmp/$log" ]; then
            echo "--- $log:" >&2
            cat "$tmp/$log" >&2
        fi
    done
    exit 1
}
[ $# -eq 2 ] || { echo "usage: screenshot.sh <pellix executable> <output.png>" >&2; exit 2; }
exe=$1 out=$2
[ -x "$exe" ] || { echo "screenshot: no executable at $exe (build first: make)" >&2; exit 1; }
for tool in Xvfb:xvfb xdotool:xdotool python3:python3; do
    command -v "${tool%%:*}" >/dev/null 2>&1 \
        || { echo "screenshot: ${tool%%:*} is not installed (apt-get install ${tool#*:})" >&2; exit 1; }
done
# The real ImageMagick, not a stand-in that may come first on PATH.
import=/usr/bin/import
identify=/usr/bin/identify
if [ ! -x "$import" ] || [ ! -x "$identify" ]; then
    echo "screenshot: ImageMagick is not installed (apt-get install imagemagick)" >&2
    exit 1
fi

. "$(dirname "$0")/xvfb.sh"
server_pid=''
trap 'set +e; [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null; xvfb_cleanup' EXIT

# Waits up to $1 tenths of a second for the command that follows to succeed.
wait_for() {
    n=$1
    shift
    i=0
    until "$@"; do
        i=$((i + 1))
        [ "$i" -le "$n" ] || return 1
        sleep 0.1
    done
}

# The peer: a web server on a free loopback port serving one small page.
mkdir "$tmp/www"
cat >"$tmp/www/index.html" <<'HTML'
<html><body>
<h1>Hello from the loopback</h1>
<p>Served by Python's http.server to Pellix.</p>
</body></html>
HTML
python3 -u -m http.server --bind 127.0.0.1 --directory "$tmp/www" 0 >"$tmp/server.log" 2>&1 &
server_pid=$!
wait_for 100 grep -q 'port [0-9]' "$tmp/server.log" || fail "the web server did not start within 10 s"
port=$(sed -n 's/.* port \([0-9][0-9]*\).*/\1/p' "$tmp/server.log" | head -n 1)

start_xvfb

# Pellix connects once its window is shown; the log tells when the reply is in.
QT_QPA_PLATFORM=xcb "$exe" --output "$tmp/session.log" 127.0.0.1 "$port" >"$tmp/pellix.log" 2>&1 &
app_pid=$!
id=$(timeout 20 xdotool search --sync --onlyvisible --name '^Pellix$' 2>/dev/null | head -n 1) || true
[ -n "$id" ] || fail "no window named Pellix within 20 s"
wait_for 100 grep -q 'Connected to: 127.0.0.1' "$tmp/session.log" \
    || fail "Pellix did not connect to 127.0.0.1:$port within 10 s"

# Keys typed into the transcript go to the peer: a request, then the empty line
# that ends it. There is no window manager: focus the window directly.
xdotool windowfocus --sync "$id"
xdotool mousemove --window "$id" 340 240 click 1
xdotool type --delay 20 'GET / HTTP/1.0'
xdotool key Return Return
wait_for 100 grep -q 'Disconnected' "$tmp/session.log" \
    || fail "no reply and close from the web server within 10 s"
# The pointer off the window: no hover highlight in the picture.
xdotool mousemove 1000 700

# The next paint follows within a tick: retake until the picture shows more
# than a blank background (at most 5 s).
sleep 0.3
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
echo "screenshot: $out ($size, window $id, a session with http.server on 127.0.0.1:$port)"
