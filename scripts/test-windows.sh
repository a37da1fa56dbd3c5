#!/bin/sh
# The Windows side, as far as a Debian machine reaches: the Qt-free socket
# platform code and its test program built with MinGW-w64 into a static
# Windows executable and run under Wine over loopback, and the executable's
# resource file compiled with MinGW's windres against the icon that the native
# build has drawn. Usage: test-windows.sh BUILD_DIR (the native build).
set -eu

build=${1:?usage: test-windows.sh BUILD_DIR}
src=$(cd "$(dirname "$0")/.." && pwd)
out=$build/windows
mkdir -p "$out"
out=$(cd "$out" && pwd)

cxx=x86_64-w64-mingw32-g++-posix
windres=x86_64-w64-mingw32-windres

echo "test-windows: $cxx: socket/sockplatform_win32.cpp socket/sockaddress.cpp socket/sockplatform_common.cpp tests/socket/tst_sockplatform.cpp"
$cxx -std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror -static \
    -I"$src/socket" \
    "$src/socket/sockplatform_win32.cpp" "$src/socket/sockaddress.cpp" "$src/socket/sockplatform_common.cpp" \
    "$src/tests/socket/tst_sockplatform.cpp" \
    -o "$out/tst_sockplatform.exe" -lws2_32
file "$out/tst_sockplatform.exe" 2>/dev/null || true

echo "test-windows: $cxx: socket/systemroots_win32.cpp tests/socket/tst_systemroots.cpp"
$cxx -std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror -static -I"$src/socket" \
    "$src/socket/systemroots_win32.cpp" "$src/tests/socket/tst_systemroots.cpp" \
    -o "$out/tst_systemroots.exe" -lcrypt32

# Debian has no Qt for Windows, so the Qt-facing code cannot be linked for
# Windows here. Debian's own Qt headers stand in for a syntax check: it catches
# what the program's code itself names that Windows lacks (a POSIX header or
# call above socket/), not what Qt for Windows would differ in.
qt=/usr/include/$(gcc -print-multiarch)/qt6
# toml++ is header-only as well as a library: its headers alone (copied, so
# that no other Linux header is on the path) serve the messages file's check.
toml=$out/toml-include
rm -rf "$toml" && mkdir -p "$toml" && cp -r /usr/include/toml++ "$toml/"
echo "test-windows: $cxx -fsyntax-only, against $qt: socket/mwinsock2.cpp connection/ transcript/ messages/ ui/ app/"
for f in "$src"/socket/mwinsock2.cpp "$src"/connection/*.cpp "$src"/transcript/*.cpp "$src"/messages/*.cpp "$src"/ui/*.cpp "$src"/app/*.cpp; do
    $cxx -std=c++20 -fsyntax-only -Wall -Wextra \
        -DPELLIX_VERSION='"0"' -DPELLIX_HOMEPAGE='""' \
        -I"$src/socket" -I"$src/connection" -I"$src/transcript" -I"$src/transcript/origin" \
        -I"$src/messages" -I"$src/ui" -isystem "$toml" \
        -isystem "$qt" -isystem "$qt/QtCore" -isystem "$qt/QtGui" -isystem "$qt/QtWidgets" "$f"
done

# TLS on Windows is the same OpenSSL code, built against OpenSSL for Windows
# (Qt's installer and vcpkg ship it), with the system's ROOT store read in
# when no --ca-file is given. Debian has no OpenSSL for MinGW, so its own
# headers stand in for a syntax check, the platform-specific part
# (configuration.h) and the Windows-only branches included.
ssl=$out/openssl-include
rm -rf "$ssl" && mkdir -p "$ssl/openssl"
cp /usr/include/openssl/*.h /usr/include/"$(gcc -print-multiarch)"/openssl/*.h "$ssl/openssl/"
echo "test-windows: $cxx -fsyntax-only, against Debian's OpenSSL headers: socket/tlssession_openssl.cpp"
$cxx -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -I"$src/socket" -isystem "$ssl" \
    "$src/socket/tlssession_openssl.cpp"

echo "test-windows: $windres: app/pellix.rc with $build/ui/icon/pellix.ico"
test -s "$build/ui/icon/pellix.ico"
$windres -I"$build/ui/icon" -O coff "$src/app/pellix.rc" -o "$out/pellix.res"
# The compiled resource must hold the icon itself, not only its name.
ico_size=$(wc -c < "$build/ui/icon/pellix.ico")
res_size=$(wc -c < "$out/pellix.res")
if [ "$res_size" -lt "$ico_size" ]; then
    echo "test-windows: pellix.res ($res_size bytes) is smaller than the icon ($ico_size bytes)" >&2
    exit 1
fi

# A prefix of our own inside the build tree; the first run creates it.
export WINEPREFIX="$out/wineprefix"
export WINEDEBUG=-all
for test in tst_sockplatform tst_systemroots; do
    echo "test-windows: wine $out/$test.exe"
    status=0
    timeout 300 wine "$out/$test.exe" > "$out/$test.log" || status=$?
    cat "$out/$test.log"
    # Wine can end a program that never ran (a missing DLL, a prefix that
    # failed) in ways that do not show in the exit status: the closing line
    # must be there (its line end may be Windows' own).
    if [ "$status" -ne 0 ] || ! tail -n 1 "$out/$test.log" | tr -d '\r' | grep -Eq '^[0-9]+ passed, 0 failed$'; then
        echo "test-windows: $test FAILED (exit status $status)" >&2
        exit 1
    fi
done
