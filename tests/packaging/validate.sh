#!/bin/sh
# Runs a validator on the installed desktop entry or AppStream metadata.
# Usage: validate.sh desktop|appstream <prefix>
# Exits 77 (skipped) when the validator is not installed.
set -eu
[ $# -eq 2 ] || { echo "usage: validate.sh desktop|appstream <prefix>" >&2; exit 2; }
kind=$1 prefix=$2

case $kind in
    desktop)
        tool=desktop-file-validate package=desktop-file-utils
        set -- "$prefix"/share/applications/*.desktop ;;
    appstream)
        tool=appstreamcli package=appstream
        set -- "$prefix"/share/metainfo/*.metainfo.xml ;;
    *) echo "validate.sh: unknown kind $kind" >&2; exit 2 ;;
esac
if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (apt-get install $package)"
    exit 77
fi
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "FAIL: no single file to validate: $*" >&2
    exit 1
fi

status=0
case $kind in
    desktop)
        out=$("$tool" "$1" 2>&1) || status=$?
        printf '%s\n' "$out"
        # Errors fail the tool; warnings (deprecated or wrong keys) fail here too.
        if printf '%s\n' "$out" | grep -q -E ': (error|warning): '; then status=1; fi ;;
    appstream)
        # --no-net: the screenshot and homepage addresses are not fetched.
        "$tool" validate --no-net "$1" || status=$? ;;
esac
[ "$status" -eq 0 ] && echo "$tool: $(basename "$1") is valid"
exit "$status"
