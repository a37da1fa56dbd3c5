# The two commands a newcomer needs: `make run` and `make test`.
# Both install what is missing from Debian's packages, then build.

BUILD     ?= build
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_DEPS = cmake g++ make qt6-base-dev libssl-dev libtomlplusplus-dev fonts-dejavu-core
# The tests also check the desktop files, the manual page, the package (with
# Debian's checker), the real window and what a screen reader reads of it
# (AT-SPI), and read the captures back with Wireshark's tshark and capinfos
# (install-deps.sh answers tshark's capture question with no). microsocks and
# tinyproxy are the SOCKS5 and HTTP proxies that connects go through.
TEST_DEPS  = $(BUILD_DEPS) openssl python3-aiosmtpd tshark curl microsocks tinyproxy libx11-dev desktop-file-utils appstream dpkg-dev file man-db lintian \
             xvfb xauth x11-utils xdotool python3 dbus-daemon dbus-bin at-spi2-core python3-pyatspi
FUZZ_DEPS  = $(BUILD_DEPS) clang libclang-rt-14-dev
# The screenshot's peer is Python's own web server.
SHOT_DEPS  = $(BUILD_DEPS) xvfb xauth x11-utils xdotool imagemagick python3
# The Windows build of the socket platform code, run under Wine (whose ROOT
# certificate store is filled from ca-certificates).
WIN_DEPS   = $(BUILD_DEPS) g++-mingw-w64-x86-64-posix wine wine64 file ca-certificates

.PHONY: all deps configure build run test test-sanitize test-windows fuzz bench package screenshot clean

all: build

deps:
	@scripts/install-deps.sh $(BUILD_DEPS)

configure:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: deps configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@if [ -z "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ] && [ "$${QT_QPA_PLATFORM:-}" != offscreen ]; then \
	    echo "make run: no display (DISPLAY and WAYLAND_DISPLAY are unset); try: xvfb-run make run" >&2; \
	    exit 1; \
	fi
	@$(BUILD)/app/pellix

test:
	@scripts/install-deps.sh $(TEST_DEPS)
	@$(MAKE) --no-print-directory configure
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer,
# leak checking on.
test-sanitize:
	@scripts/install-deps.sh $(TEST_DEPS)
	@cmake -S . -B build-sanitize -DPELLIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build build-sanitize -j $(JOBS)
	@cd build-sanitize && QT_QPA_PLATFORM=offscreen \
	    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitize/lsan.supp:print_suppressions=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --output-on-failure -j $(JOBS)

# The socket platform code and its tests built for Windows (MinGW-w64) and run
# under Wine over loopback; the resource file compiled with windres against
# the icon the native build draws.
test-windows:
	@scripts/install-deps.sh $(WIN_DEPS)
	@$(MAKE) --no-print-directory configure
	@cmake --build $(BUILD) -j $(JOBS) --target pellix_icon
	@scripts/test-windows.sh $(BUILD)

# Each libFuzzer target for a bounded time (FUZZ_SECONDS each).
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/install-deps.sh $(FUZZ_DEPS)
	@cmake -S . -B build-fuzz -DPELLIX_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzzers
	@tests/fuzz/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

# Every benchmark; the figures go to $(BUILD)/bench-results/ (see bench/RESULTS.md).
bench: build
	@scripts/install-deps.sh libx11-dev xvfb xauth dbus-daemon dbus-bin at-spi2-core python3-pyatspi \
	    openssl xterm netcat-openbsd python3 socat \
	    microsocks tinyproxy ncat
	@$(MAKE) --no-print-directory configure
	@cmake --build $(BUILD) -j $(JOBS) --target run_benchmarks

# A Debian package made with CPack.
package: build
	@scripts/install-deps.sh dpkg-dev file
	@cd $(BUILD) && cpack -G DEB

# A picture of the real window, under a virtual X server.
screenshot: build
	@scripts/install-deps.sh $(SHOT_DEPS)
	@scripts/screenshot.sh $(BUILD)/app/pellix docs/screenshot.png
	@scripts/screenshot-views.sh $(BUILD)/app/pellix docs/screenshot-utf8.png docs/screenshot-hex.png

clean:
	@rm -rf $(BUILD) build-sanitize build-fuzz
