# Front door: `make run` starts the simulated appliance, `make test` builds and runs every test.
PRESET ?= default
BUILD_DIR := build
# Seconds each libFuzzer target runs in `make fuzz`.
FUZZ_SECONDS ?= 60

.PHONY: all build deps run test test-asan test-unit test-tsan fuzz clean format

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

run: build
	@scripts/run-appliance

test: deps
	cmake --preset default
	cmake --build --preset default
	ctest --preset default
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

# The unit suites under ThreadSanitizer (the sandbox end-to-end suites, label e2e, excluded).
test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz
	tests/fuzz/run-fuzzers build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i
