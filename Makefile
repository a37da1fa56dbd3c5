# The two commands a newcomer needs: `make run` and `make test`.
# Both install what is missing from Debian's packages, then build.

BUILD     ?= build
JOBS      ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_DEPS = cmake g++ make qt6-base-dev fonts-dejavu-core
TEST_DEPS  = $(BUILD_DEPS)

.PHONY: all deps test-deps configure build run test bench clean

all: build

deps:
	@scripts/install-deps.sh $(BUILD_DEPS)

test-deps:
	@scripts/install-deps.sh $(TEST_DEPS)

configure:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: deps configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@if [ -z "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}$${QT_QPA_PLATFORM:-}" ]; then \
	    echo "make run: no display (DISPLAY and WAYLAND_DISPLAY are unset); try: xvfb-run make run" >&2; \
	    exit 1; \
	fi
	@$(BUILD)/app/pellix

test: test-deps configure
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

bench: build
	@cmake --build $(BUILD) --target run_benchmarks

clean:
	@rm -rf $(BUILD)
