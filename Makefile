# Front door: `make run` starts the simulated appliance, `make test` builds and runs every test.
PRESET ?= default
BUILD_DIR := build

.PHONY: all build deps run demo test test-asan test-unit clean format

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

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

clean:
	rm -rf build build-asan build-tsan build-release

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i
