#!/bin/sh
# Installs the built tree into a fresh prefix, as `cmake --install` does for a
# user or a package. Usage: install-tree.sh <cmake> <build dir> <prefix>
set -eu
[ $# -eq 3 ] || { echo "usage: install-tree.sh <cmake> <build dir> <prefix>" >&2; exit 2; }
cmake=$1 build=$2 prefix=$3

rm -rf "$prefix"
unset DESTDIR
"$cmake" --install "$build" --prefix "$prefix"
