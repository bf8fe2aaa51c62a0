# Top-level entry points. `make test` does everything on a fresh Debian machine.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test test-kernel test-asan test-tsan fuzz fuzz-run bench demo clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@bash scripts/run-tests.sh $(BUILD)

# The real-tuner backend against the kernel's virtual DVB (vidtv) and video (vivid) drivers, in
# a QEMU virtual machine; the kernel pieces are cached in ~/.cache/skyvane-kernel.
test-kernel: build
	@bash scripts/kernel-test/test-kernel.sh $(BUILD)

# Sanitizer runs: every test under ASan+UBSan; the threaded ones under TSan.
test-asan: deps
	@cmake -S . -B build-asan -G Ninja -DSKYVANE_SANITIZE=address -DSKYVANE_BENCH=OFF >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@bash scripts/run-tests.sh build-asan

# Only the threaded tests' programs and what they need are built (a test that runs another test's
# program under its own name, such as plugin_live_noair_test, has no target of its own).
test-tsan: deps
	@cmake -S . -B build-tsan -G Ninja -DSKYVANE_SANITIZE=thread -DSKYVANE_BENCH=OFF >/dev/null
	@tests=$$(cd build-tsan && ctest -N -L threaded | sed -n 's/^ *Test *#[0-9]*: *//p'); \
	 targets=$$(ninja -C build-tsan -t targets all | sed -n 's/^\([^:/]*\): .*/\1/p'); \
	 cmake --build build-tsan -j $(JOBS) --target $$(for t in $$tests; do echo "$$targets" | grep -qx "$$t" && echo "$$t"; done)
	@bash scripts/run-tests.sh build-tsan -L threaded

# Fuzzers are built with clang (libFuzzer); only they and what they link are built.
FUZZ_SECONDS ?= 20
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DSKYVANE_FUZZ=ON -DSKYVANE_TESTS=OFF -DSKYVANE_BENCH=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target fuzzers

fuzz-run: fuzz
	@bash scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

# Benchmarks: every program under $(BUILD)/bench runs; one table gives each figure beside its
# peer's. BENCH=name runs only the programs whose name contains it.
bench: build
	@python3 bench/run-benchmarks.py $(BUILD) $(BENCH)

# The main job: packages, build, then scan, watch, zap and snapshot on the demo broadcast.
demo:
	@JOBS=$(JOBS) bash scripts/demo.sh $(BUILD)

clean:
	rm -rf build build-asan build-tsan build-fuzz
