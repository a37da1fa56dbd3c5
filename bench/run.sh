#!/bin/sh
# Runs every benchmark; each one's Markdown goes to the terminal and to
# RESULTS_DIR/<benchmark>.md.
# Usage: run.sh BENCH_BIN_DIR PELLIX RESULTS_DIR
set -eu
bin=$1
pellix=$2
out=$3
mkdir -p "$out"

QT_QPA_PLATFORM=offscreen "$bin/bench_transcript" | tee "$out/bench_transcript.md"
QT_QPA_PLATFORM=offscreen "$bin/bench_transcript" timestamps | tee "$out/bench_transcript-timestamps.md"
QT_QPA_PLATFORM=offscreen "$bin/bench_session" | tee "$out/bench_session.md"
QT_QPA_PLATFORM=offscreen "$bin/bench_tls" | tee "$out/bench_tls.md"
if command -v microsocks >/dev/null && command -v tinyproxy >/dev/null && command -v ncat >/dev/null; then
    QT_QPA_PLATFORM=offscreen "$bin/bench_proxy" | tee "$out/bench_proxy.md"
else
    echo "the proxies beside ncat skipped: no microsocks, tinyproxy or ncat (make bench installs them)" >&2
fi
QT_QPA_PLATFORM=offscreen "$bin/bench_filesend" | tee "$out/bench_filesend.md"
if command -v socat >/dev/null; then
    QT_QPA_PLATFORM=offscreen "$bin/bench_relay" | tee "$out/bench_relay.md"
else
    echo "the relay beside socat skipped: no socat (make bench installs it)" >&2
fi
QT_QPA_PLATFORM=offscreen "$bin/bench_reconnect" | tee "$out/bench_reconnect.md"
"$bin/bench_find" | tee "$out/bench_find.md"
QT_QPA_PLATFORM=offscreen "$bin/bench_messages" | tee "$out/bench_messages.md"
QT_QPA_PLATFORM=offscreen "$bin/bench_rules" | tee "$out/bench_rules.md"
if ! command -v xvfb-run >/dev/null; then
    echo "the benchmarks on an X server skipped: no xvfb-run (make bench installs it)" >&2
    exit 0
fi
# The same window on a real X server (Xvfb), through Qt's xcb platform.
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$bin/bench_session" key arrival receive | tee "$out/bench_session-xcb.md"
# The transcript alone on the same X server: accessibility off; then on,
# through Qt's AT-SPI bridge in a D-Bus session of its own; then on with an
# AT-SPI client listening to every text event, as a screen reader does.
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$bin/bench_transcript" view | tee "$out/bench_transcript-xcb.md"
here=$(cd "$(dirname "$0")" && pwd)
if ! /usr/bin/python3 -c 'import pyatspi' 2>/dev/null; then
    echo "the accessibility benchmarks skipped: no python3-pyatspi (make bench installs it)" >&2
else
    sh "$here/../scripts/with-atspi.sh" "$bin/bench_transcript" view \
        | tee "$out/bench_transcript-a11y.md"
    sh "$here/../scripts/with-atspi.sh" sh "$here/with-listener.sh" "$bin/bench_transcript" view \
        | tee "$out/bench_transcript-a11y-listening.md"
fi
# The real program during the paced flood, beside xterm running nc.
if command -v xterm >/dev/null && command -v nc >/dev/null; then
    xvfb-run -a -s "-screen 0 1280x1024x24" sh "$here/flood-vs-xterm.sh" "$pellix" \
        | tee "$out/flood-vs-xterm.md"
else
    echo "the flood beside xterm skipped: no xterm or nc (make bench installs them)" >&2
fi
if [ -x "$bin/bench_startup" ]; then
    xvfb-run -a -s "-screen 0 1280x1024x24" "$bin/bench_startup" "$pellix" 10 60 \
        | tee "$out/bench_startup.md"
fi
