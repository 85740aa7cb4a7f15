# Front door: `make run` starts the simulated appliance, `make test` builds and runs every test.
PRESET ?= default
BUILD_DIR := build

.PHONY: all build deps cross-deps run demo test cross-test test-asan test-unit clean format

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

cross-deps:
	@scripts/install-deps --cross

run: build
	@scripts/run-appliance

demo: build
	@scripts/demo

test: deps
	cmake --preset default
	cmake --build --preset default
	ctest --preset default
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

# Unit tests of the aarch64 build under qemu-aarch64 (end-to-end tests need the sandbox: left out).
cross-test: cross-deps
	cmake --preset cross-aarch64
	cmake --build --preset cross-aarch64 -j2
	ctest --preset cross-aarch64

clean:
	rm -rf build build-asan build-tsan build-release build-aarch64 build-armhf

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i
