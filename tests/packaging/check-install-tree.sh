#!/bin/sh
# Checks what `cmake --install` put under a prefix: the program, its desktop
# entry, its icon at 16, 32 and 48 pixels (the very files the window's icon is
# made from), its AppStream metadata, its manual page and changelog, and that
# they name one another.
# Usage: check-install-tree.sh <prefix> <version> <icon build dir>
set -eu
[ $# -eq 3 ] || { echo "usage: check-install-tree.sh <prefix> <version> <icon build dir>" >&2; exit 2; }
prefix=$1 version=$2 icondir=$3

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Prints "<width> <height>" of a PNG file from its IHDR chunk; fails for
# anything that is not a PNG.
png_size() {
    # shellcheck disable=SC2046
    set -- $(od -An -v -tu1 -N24 "$1")
    [ $# -eq 24 ] || return 1
    [ "$1 $2 $3 $4 $5 $6 $7 $8" = "137 80 78 71 13 10 26 10" ] || return 1
    [ "${13} ${14} ${15} ${16}" = "73 72 68 82" ] || return 1
    shift 16
    echo "$(( ($1 << 24) | ($2 << 16) | ($3 << 8) | $4 )) $(( ($5 << 24) | ($6 << 16) | ($7 << 8) | $8 ))"
}

# The value of <key> in the [Desktop Entry] group of a desktop file.
desktop_value() {
    sed -n '/^\[Desktop Entry\]/,/^\[/{s/^'"$2"'=//p}' "$1" | head -n 1
}

[ -d "$prefix" ] || { echo "FAIL: no install tree at $prefix" >&2; exit 1; }

# The program.
exe=$prefix/bin/pellix
if [ ! -f "$exe" ] || [ ! -x "$exe" ]; then
    fail "bin/pellix is missing or not executable"
elif [ "$(od -An -c -N4 "$exe" | tr -d ' ')" != '177ELF' ]; then
    fail "bin/pellix is not an ELF executable"
fi

# One desktop entry; its file name gives the application id.
set -- "$prefix"/share/applications/*.desktop
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "FAIL: expected exactly one desktop entry in share/applications, found: $*" >&2
    exit 1
fi
desktop=$1
id=$(basename "$desktop" .desktop)
case $id in
    *.*.*) ;;
    *) fail "desktop entry id '$id' is not a reverse-DNS name" ;;
esac
grep -n '@[A-Za-z_]*@' "$desktop" >&2 && fail "$desktop has an unreplaced @VARIABLE@"

check_key() {
    actual=$(desktop_value "$desktop" "$1")
    [ "$actual" = "$2" ] || fail "desktop entry: $1 is '$actual', expected '$2'"
}
check_key Type Application
check_key Name Pellix
check_key Exec pellix
check_key Terminal false
check_key Categories 'Network;Utility;'
[ -n "$(desktop_value "$desktop" Comment)" ] || fail "desktop entry has no Comment"
[ -x "$prefix/bin/$(desktop_value "$desktop" Exec | cut -d' ' -f1)" ] \
    || fail "desktop entry's Exec does not name the installed program"

# The icon the entry names, at each size the build draws.
icon=$(desktop_value "$desktop" Icon)
case $icon in
    ''|*/*|*.png|*.svg|*.xpm) fail "desktop entry: Icon '$icon' is not a theme icon name" ;;
esac
for n in 16 32 48; do
    png=$prefix/share/icons/hicolor/${n}x${n}/apps/$icon.png
    if [ ! -f "$png" ]; then
        fail "icon missing: share/icons/hicolor/${n}x${n}/apps/$icon.png"
        continue
    fi
    size=$(png_size "$png") || { fail "$png is not a PNG image"; continue; }
    [ "$size" = "$n $n" ] || fail "$png is $size pixels, expected $n $n"
    cmp -s "$png" "$icondir/pellix-$n.png" \
        || fail "$png differs from the window icon's $icondir/pellix-$n.png"
done

# The AppStream metadata for the same id.
meta=$prefix/share/metainfo/$id.metainfo.xml
if [ ! -f "$meta" ]; then
    fail "metadata missing: share/metainfo/$id.metainfo.xml"
else
    grep -n '@[A-Za-z_]*@' "$meta" >&2 && fail "$meta has an unreplaced @VARIABLE@"
    grep -q "<id>$id</id>" "$meta" || fail "metadata: <id> is not $id"
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$meta" \
        || fail "metadata: launchable does not name $id.desktop"
    grep -q '<binary>pellix</binary>' "$meta" || fail "metadata: does not provide the binary pellix"
    grep -q "<release version=\"$version\"" "$meta" || fail "metadata: no release $version"
    grep -q '<content_rating type="oars-1.1"' "$meta" || fail "metadata: no OARS 1.1 content rating"
fi

# The manual page and the changelog, compressed (lintian checks how).
for doc in share/man/man1/pellix.1.gz share/doc/pellix/changelog.gz; do
    if [ ! -f "$prefix/$doc" ]; then
        fail "$doc is missing"
    elif ! gzip -t "$prefix/$doc" 2>/dev/null; then
        fail "$doc is not gzip data"
    fi
done
gzip -dc "$prefix/share/man/man1/pellix.1.gz" 2>/dev/null | grep -q "^\.TH PELLIX 1 .*\"Pellix $version\"" \
    || fail "share/man/man1/pellix.1.gz is not the manual page of Pellix $version"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed in $prefix" >&2
    exit 1
fi
echo "install tree under $prefix: program, $id.desktop, icon $icon at 16/32/48 px, $id.metainfo.xml (release $version), pellix.1.gz, changelog.gz"
