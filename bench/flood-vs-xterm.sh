#!/bin/sh
# The real window on an X server (Xvfb) during the paced flood (8 KiB every
# 100 ms, 8 MB of 80-column lines), with timestamps off and on, beside xterm
# running nc fed the same stream, in turn, ROUNDS times each: the CPU time
# each client used (Pellix; xterm and nc together), read from /proc, during
# the flood and in all.
# Usage: flood-vs-xterm.sh PELLIX [COUNT [ROUNDS]]   (run inside xvfb-run)
set -eu
pellix=$1
count=${2:-1024}
rounds=${3:-3}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# CPU seconds (user + system) of the processes given, from /proc.
cpu() {
    total=0
    for pid in "$@"; do
        ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null || echo 0)
        total=$((total + ticks))
    done
    awk -v t="$total" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", t / hz }'
}

# Runs one client against a fresh feeder: CLIENT is a command taking the
# port. Appends "DURING TOTAL" (CPU seconds) to $tmp/NAME.
flood() {
    name=$1
    shift
    out=$(mktemp -p "$tmp")
    /usr/bin/python3 "$here/flood-feeder.py" "$count" > "$out" &
    feeder=$!
    while [ ! -s "$out" ]; do sleep 0.05; done
    port=$(head -n 1 "$out")
    "$@" "$port" &
    client=$!
    # Bounded: the flood's own length and a minute more, in steps of 0.1 s.
    limit=$(((count / 10 + 60) * 10))
    before=""
    while ! grep -q done "$out"; do
        sleep 0.1
        if [ -z "$before" ] && grep -q start "$out"; then
            sleep 0.2 # the flood begins 0.5 s after the connect
            # shellcheck disable=SC2046
            before=$(cpu $client $(pgrep -P "$client" || true))
        fi
        if ! kill -0 "$client" 2>/dev/null || [ "$limit" -le 0 ]; then
            echo "flood-vs-xterm: $name ended or hung before the flood did" >&2
            kill "$feeder" 2>/dev/null || true
            exit 1
        fi
        limit=$((limit - 1))
    done
    sleep 0.5 # the last chunk shown
    pids="$client $(pgrep -P "$client" || true)"
    # shellcheck disable=SC2086
    after=$(cpu $pids)
    kill $pids 2>/dev/null || true
    wait "$client" 2>/dev/null || true
    wait "$feeder" 2>/dev/null || true
    echo "$(awk -v a="$after" -v b="$before" 'BEGIN { printf "%.2f", a - b }') $after" >> "$tmp/$name"
}

# The median of the first (or second) numbers in a file.
median() {
    cut -d' ' -f"$2" "$1" | sort -n | awk '{ v[NR] = $1 } END { printf "%.2f", v[int((NR + 1) / 2)] }'
}

pellix_client() { QT_QPA_PLATFORM=xcb "$pellix" 127.0.0.1 "$1"; }
stamps_client() { QT_QPA_PLATFORM=xcb "$pellix" --timestamps 127.0.0.1 "$1"; }
# The same face and size as the transcript's, through Xft.
xterm_client() { xterm -fa "DejaVu Sans Mono" -fs 9 -geometry 97x30 -e nc 127.0.0.1 "$1"; }

i=0
while [ "$i" -lt "$rounds" ]; do
    flood pellix pellix_client
    flood stamps stamps_client
    flood xterm xterm_client
    i=$((i + 1))
done

echo "## The paced flood on X: Pellix beside xterm"
echo
echo "$count chunks of 8 KiB (80-column lines), one every 100 ms, from a loopback peer; the CPU"
echo "(user + system) each client used during the flood, and from its start to the flood's end;"
echo "median of $rounds runs each, in turn. Xvfb's own CPU is in neither."
echo
echo "| Client | CPU during the flood | CPU in all | Runs (during) |"
echo "|---|---:|---:|---|"
for name in pellix stamps xterm; do
    case $name in
    pellix) label="Pellix (xcb)" ;;
    stamps) label="Pellix (xcb), --timestamps" ;;
    *) label="xterm with nc" ;;
    esac
    echo "| $label | $(median "$tmp/$name" 1) s | $(median "$tmp/$name" 2) s | $(cut -d' ' -f1 "$tmp/$name" | tr '\n' ' ')|"
done
echo
