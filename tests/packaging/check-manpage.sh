#!/bin/sh
# Renders the manual page as man does for a reader, with every groff warning
# turned on, and fails on any warning; then checks that it documents each
# long option that `pellix --help` lists.
# Usage: check-manpage.sh <pellix.1> <pellix>
# Exits 77 (skipped) when man is not installed.
set -eu
[ $# -eq 2 ] || { echo "usage: check-manpage.sh <pellix.1> <pellix>" >&2; exit 2; }
page=$1 exe=$2
if ! command -v man >/dev/null 2>&1; then
    echo "SKIP: man is not installed (apt-get install man-db)"
    exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$page" \
    >"$tmp/page.txt" 2>"$tmp/warnings.txt" || { cat "$tmp/warnings.txt" >&2; echo "FAIL: man failed" >&2; exit 1; }
if [ -s "$tmp/warnings.txt" ]; then
    echo "FAIL: $page renders with warnings:" >&2
    cat "$tmp/warnings.txt" >&2
    exit 1
fi
[ -s "$tmp/page.txt" ] || { echo "FAIL: $page renders to nothing" >&2; exit 1; }

# The options the program itself lists, each in the page.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$exe" --help >"$tmp/help.txt"
options=$(grep -o -e '--[a-z][a-z-]*' "$tmp/help.txt" | sort -u)
[ -n "$options" ] || { echo "FAIL: pellix --help lists no long option" >&2; exit 1; }
missing=0
for option in $options; do
    if ! grep -q -e "$option" "$tmp/page.txt"; then
        echo "FAIL: the manual page does not mention $option" >&2
        missing=1
    fi
done
[ "$missing" -eq 0 ] || exit 1
echo "$(basename "$page"): $(wc -l <"$tmp/page.txt") lines at 80 columns, no warnings; documents" $options
