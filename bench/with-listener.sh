#!/bin/sh
# Runs a command while bench/atspi-listener.py listens to every AT-SPI text
# event, as a screen reader does; the command gets PELLIX_BENCH_SETTLE_MS so
# that the listener can read what a fill sent before the timed steps.
# Usage (inside scripts/with-atspi.sh): with-listener.sh COMMAND [ARG...]
set -eu
ready=$(mktemp -u)
/usr/bin/python3 "$(dirname "$0")/atspi-listener.py" "$ready" &
listener=$!
i=0
until [ -f "$ready" ]; do
    i=$((i + 1))
    if [ "$i" -gt 100 ] || ! kill -0 "$listener" 2>/dev/null; then
        echo "with-listener: the AT-SPI listener did not start" >&2
        kill "$listener" 2>/dev/null || true
        exit 1
    fi
    sleep 0.1
done
status=0
PELLIX_BENCH_SETTLE_MS=${PELLIX_BENCH_SETTLE_MS:-3000} "$@" || status=$?
kill -TERM "$listener"
wait "$listener" || true
rm -f "$ready"
exit "$status"
