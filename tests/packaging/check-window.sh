#!/bin/sh
# Starts the real program on a virtual X server and checks its window through
# the server: the title, the fixed size 694 x 525 (geometry and size hints),
# the window class the desktop entry's StartupWMClass promises; then asks it to
# close as a window manager would and expects the program to exit with 0.
# Usage: check-window.sh <pellix> <x11close> <directory with the desktop entry>
# Exits 77 (skipped) when Xvfb or the X tools are not installed.
set -eu
[ $# -eq 3 ] || { echo "usage: check-window.sh <pellix> <x11close> <desktop entry dir>" >&2; exit 2; }
exe=$1 closer=$2 entrydir=$3
set -- "$entrydir"/*.desktop
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "FAIL: expected one desktop entry in $entrydir, found: $*" >&2
    exit 1
fi
desktop=$1

for tool in Xvfb:xvfb xdotool:xdotool xwininfo:x11-utils xprop:x11-utils; do
    if ! command -v "${tool%%:*}" >/dev/null 2>&1; then
        echo "SKIP: ${tool%%:*} is not installed (apt-get install ${tool#*:})"
        exit 77
    fi
done

. "$(dirname "$0")/../../scripts/xvfb.sh"
fail() {
    echo "FAIL: $*" >&2
    if [ -s "$tmp/pellix.log" ]; then
        echo "--- program output:" >&2
        cat "$tmp/pellix.log" >&2
    fi
    exit 1
}

start_xvfb

QT_QPA_PLATFORM=xcb "$exe" >"$tmp/pellix.log" 2>&1 &
app_pid=$!

ids=$(timeout 20 xdotool search --sync --onlyvisible --name '^Pellix$' 2>/dev/null) \
    || fail "no visible window named Pellix within 20 s (program $(kill -0 "$app_pid" 2>/dev/null && echo running || echo exited))"
[ "$(printf '%s\n' "$ids" | wc -l)" -eq 1 ] || fail "more than one window named Pellix: $ids"
id=$ids

title=$(xdotool getwindowname "$id")
[ "$title" = Pellix ] || fail "title is '$title', expected 'Pellix'"
net_name=$(xprop -id "$id" _NET_WM_NAME)
[ "$net_name" = '_NET_WM_NAME(UTF8_STRING) = "Pellix"' ] || fail "_NET_WM_NAME: $net_name"

info=$(xwininfo -id "$id")
width=$(printf '%s\n' "$info" | sed -n 's/^ *Width: *//p')
height=$(printf '%s\n' "$info" | sed -n 's/^ *Height: *//p')
[ "$width x $height" = "694 x 525" ] || fail "window is $width x $height, expected 694 x 525"

# A fixed window tells the window manager so: minimum = maximum = its size.
hints=$(xprop -id "$id" WM_NORMAL_HINTS)
printf '%s\n' "$hints" | grep -q 'program specified minimum size: 694 by 525' \
    || fail "size hints give no minimum of 694 by 525: $hints"
printf '%s\n' "$hints" | grep -q 'program specified maximum size: 694 by 525' \
    || fail "size hints give no maximum of 694 by 525: $hints"

# Desktop shells match the window to its entry through WM_CLASS.
wm_class=$(sed -n 's/^StartupWMClass=//p' "$desktop")
if [ -n "$wm_class" ]; then
    classes=$(xprop -id "$id" WM_CLASS)
    case $classes in
        *"\"$wm_class\""*) ;;
        *) fail "StartupWMClass=$wm_class in $(basename "$desktop") but the window has $classes" ;;
    esac
fi

"$closer" "$id" || fail "could not ask the window to close"
i=0
while kill -0 "$app_pid" 2>/dev/null; do
    i=$((i + 1))
    [ "$i" -le 100 ] || fail "program still running 10 s after the close request"
    sleep 0.1
done
status=0
wait "$app_pid" || status=$?
app_pid=
[ "$status" -eq 0 ] || fail "program exited with status $status after the close request"
echo "window $id: 'Pellix', 694 x 525, fixed size hints${wm_class:+, class $wm_class}; closed, exit status 0"
