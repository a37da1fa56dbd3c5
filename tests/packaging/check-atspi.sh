#!/bin/sh
# Reads the real program's transcript with a real accessibility client: Pellix
# on Xvfb inside its own D-Bus session with Qt's AT-SPI bridge on, and
# check-atspi.py reading it through python3-pyatspi, as Orca does.
# Usage: check-atspi.sh <pellix> <version>
# Exits 77 (skipped) when a package it needs is not installed.
set -eu
[ $# -eq 2 ] || { echo "usage: check-atspi.sh <pellix> <version>" >&2; exit 2; }
exe=$1 version=$2
here=$(dirname "$0")

# Debian's python3 and its packages, whatever python3 comes first on the PATH.
python=/usr/bin/python3
if [ ! -x "$python" ]; then
    echo "SKIP: no $python (apt-get install python3)"
    exit 77
fi
if ! "$python" -c 'import pyatspi' 2>/dev/null; then
    echo "SKIP: python3 cannot import pyatspi (apt-get install python3-pyatspi)"
    exit 77
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
sh "$here/../../scripts/with-atspi.sh" "$python" "$here/check-atspi.py" "$exe" "$version" "$log" \
    || status=$?
if [ "$status" -ne 0 ] && [ "$status" -ne 77 ] && [ -s "$log" ]; then
    echo "--- program output:" >&2
    cat "$log" >&2
fi
exit "$status"
