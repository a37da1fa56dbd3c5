#!/bin/sh
# Builds the Debian package as `make package` does and runs Debian's package
# checker on it: any error or warning fails (info and pedantic tags do not).
# Usage: lintian.sh <CPackConfig.cmake> <output dir>
# Exits 77 (skipped) when lintian is not installed.
set -eu
[ $# -eq 2 ] || { echo "usage: lintian.sh <CPackConfig.cmake> <output dir>" >&2; exit 2; }
config=$1 out=$2
if ! command -v lintian >/dev/null 2>&1; then
    echo "SKIP: lintian is not installed (apt-get install lintian)"
    exit 77
fi

rm -rf "$out"
mkdir -p "$out"
cpack --config "$config" -G DEB -B "$out" >"$out/cpack.log" 2>&1 \
    || { cat "$out/cpack.log" >&2; echo "FAIL: cpack failed" >&2; exit 1; }
set -- "$out"/*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "FAIL: expected one .deb in $out, found: $*" >&2
    exit 1
fi
deb=$1

# The manual page is in the package.
dpkg-deb -c "$deb" >"$out/contents.txt"
grep -q ' \./usr/share/man/man1/pellix\.1\.gz$' "$out/contents.txt" \
    || { echo "FAIL: $deb holds no usr/share/man/man1/pellix.1.gz" >&2; exit 1; }

# lintian complains about running as root on stderr; the tags go to stdout.
status=0
lintian --display-info --pedantic "$deb" >"$out/lintian.txt" 2>"$out/lintian.err" || status=$?
cat "$out/lintian.txt"
if grep -q '^[EW]: ' "$out/lintian.txt"; then
    echo "FAIL: lintian reports errors or warnings on $(basename "$deb")" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    cat "$out/lintian.err" >&2
    echo "FAIL: lintian exited with status $status" >&2
    exit 1
fi
echo "lintian $(lintian --version | sed 's/^Lintian v//'): no error or warning on $(basename "$deb")"
