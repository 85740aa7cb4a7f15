# Front door: `make run` starts the simulated appliance, `make test` builds and runs every test.
PRESET ?= default
BUILD_DIR := build

.PHONY: all build deps run demo bench test test-asan test-unit clean format

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

# Benchmarks of the release build in the sandbox; BENCH_ARGS passes options (e.g. --runs 3,
# --endurance 200, --only res,stop; see build-release/bench/hdgrab-bench --help).
bench: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j2 --target hdgrab-bench
	@build-release/bench/hdgrab-bench $(BENCH_ARGS)

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
