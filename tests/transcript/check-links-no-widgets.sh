#!/bin/sh
# Each executable named must need QtCore and neither QtGui nor QtWidgets:
# what links only the transcript's core must not pull in a window library.
set -eu
for exe in "$@"; do
    needed=$(readelf -d "$exe" | grep NEEDED) || { echo "$exe: no dynamic section" >&2; exit 1; }
    echo "$needed" | grep -q 'Qt6Core' || { echo "$exe: does not link QtCore" >&2; exit 1; }
    if echo "$needed" | grep -Eq 'Qt6(Gui|Widgets)'; then
        echo "$exe links a window library:" >&2
        echo "$needed" | grep -E 'Qt6(Gui|Widgets)' >&2
        exit 1
    fi
done
echo "$# executables link QtCore and no window library"
