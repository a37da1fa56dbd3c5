#!/bin/sh
# Runs a command as a screen reader's user runs Pellix: on a virtual X server
# (Qt's xcb platform), inside a D-Bus session of its own, with Qt's AT-SPI
# bridge always on. The session bus starts the accessibility bus and its
# registry daemon (at-spi2-core) when the bridge or a client first asks.
# Usage: with-atspi.sh COMMAND [ARG...]
# Exits 77 (skipped) when Xvfb, dbus-run-session or at-spi2-core is missing.
set -eu
[ $# -ge 1 ] || { echo "usage: with-atspi.sh COMMAND [ARG...]" >&2; exit 2; }

for tool in Xvfb:xvfb dbus-run-session:dbus-daemon dbus-send:dbus-bin; do
    if ! command -v "${tool%%:*}" >/dev/null 2>&1; then
        echo "SKIP: ${tool%%:*} is not installed (apt-get install ${tool#*:})"
        exit 77
    fi
done
if [ ! -f /usr/share/dbus-1/services/org.a11y.Bus.service ]; then
    echo "SKIP: no AT-SPI bus service (apt-get install at-spi2-core)"
    exit 77
fi

. "$(dirname "$0")/xvfb.sh"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
start_xvfb

export QT_QPA_PLATFORM=xcb QT_ACCESSIBILITY=1 QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
# Scratch directories of the session's own, not the caller's.
export XDG_RUNTIME_DIR="$tmp/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS AT_SPI_BUS_ADDRESS
# Qt's bridge connects when the accessibility bus is there, but only watches
# for it; a screen reader starts it by asking for its address, and so does
# this script. The registry daemon starts on that bus when first asked.
status=0
dbus-run-session -- sh -c '
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress \
        >"$0/a11y-bus" 2>&1 || { cat "$0/a11y-bus" >&2; echo "FAIL: no accessibility bus" >&2; exit 1; }
    exec "$@"' "$tmp" "$@" || status=$?
exit "$status"
