# Front door: `make run` starts the simulated appliance, `make test` builds and runs every test.
# `make test-asan` and `make test-tsan` run the suites under the sanitizers.
PRESET ?= default
BUILD_DIR := build
# Seconds each libFuzzer target runs in `make fuzz`.
FUZZ_SECONDS ?= 60
# What `make run` starts: the service, the substitute SDK (linked by the service), the dummy
# sensor library it opens, the simulated bridge driver and its control tool. No tests.
RUN_TARGETS := hdgrab sns_dummy lt6911-sim hdmi
# The demo's tour also uses the watch client and the frame viewer.
DEMO_TARGETS := $(RUN_TARGETS) hdgrab-watch yuyv2png

.PHONY: all build configure deps cross-deps run demo bench soak test cross-test test-asan test-tsan faults fuzz clean format

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET)

cross-deps:
	@scripts/install-deps --cross

run: configure
	@cmake --build --preset $(PRESET) --target $(RUN_TARGETS)
	@scripts/run-appliance

demo: configure
	@cmake --build --preset $(PRESET) --target $(DEMO_TARGETS)
	@scripts/demo

# Benchmarks of the release build in the sandbox; BENCH_ARGS passes options (e.g. --runs 3,
# --endurance 200, --only res,stop; see build-release/bench/hdgrab-bench --help).
bench: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j2 --target hdgrab-bench
	@build-release/bench/hdgrab-bench $(BENCH_ARGS)

# Soak and churn runs of the service in the sandbox: five scenarios at full counts by default, each
# bounded in time (build/tests/soak/hdgrab-soak --help; figures in docs/reliability.md);
# SOAK_ARGS passes options, e.g. SOAK_ARGS=--quick (the CI run) or "--seed 42 --only signals".
soak: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET) -j2 --target hdgrab-soak
	@$(BUILD_DIR)/tests/soak/hdgrab-soak $(SOAK_ARGS)

# One build (the default preset) and the whole suite, tests in parallel (CMakePresets.json).
test: deps
	cmake --preset default
	cmake --build --preset default
	ctest --preset default

# The whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer (CI runs it).
test-asan: deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

# Unit tests of the aarch64 build under qemu-aarch64 (end-to-end tests need the sandbox: left out).
cross-test: cross-deps
	cmake --preset cross-aarch64
	cmake --build --preset cross-aarch64 -j2
	ctest --preset cross-aarch64

# The unit suites under ThreadSanitizer. Excluded (CMakePresets.json): the sandbox end-to-end
# suites (label e2e), and the crash-trace tests (death tests, the sandboxed crash, crashtrace), whose SIGSEGV handler walks the stack with
# libunwind (which allocates) in the dying process: ThreadSanitizer rightly reports that as a
# signal-unsafe call and exits with its own status instead of 255; and the test of an exception
# thrown out of std::call_once, which ThreadSanitizer's pthread_once cannot recover from (the
# second call_once waits forever).
test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

# The fault matrix: every SDK call fails once in each place it is made (start-up, resolution
# change, stop, exit, dump road), each in its own sandbox run; prints the table it writes to
# build/faults-table.md (its time and results: docs/reliability.md). Not run under the sanitizers.
faults: deps
	cmake --preset default
	cmake --build --preset default
	ctest --preset faults
	@cat build/faults-table.md

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz
	tests/fuzz/run-fuzzers build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz build-aarch64 build-armhf

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i
