#!/usr/bin/env bash
# test-kernel.sh BUILD_DIR
# `make test-kernel`: runs the real-tuner backend's device tests inside a VM with the kernel's
# virtual drivers (see run-vm.sh). Needs network access to Debian's archive on the first run;
# later runs use the cache.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
[ -d "$build" ] || { echo "kernel-test: no build folder '$build' (run 'make build' first)" >&2; exit 2; }
test="$build/platform/linuxtv/linuxtv_device_test"
[ -x "$test" ] || { echo "kernel-test: no $test (build it: cmake --build $build --target linuxtv_device_test)" >&2; exit 2; }
files=("$test")
# The analog card on vivid.
if [ -x "$build/platform/linuxtv/v4l2_device_test" ]; then files+=("$build/platform/linuxtv/v4l2_device_test"); fi
# KERNEL_TEST_BENCH=1: also the figures (tune to lock, dvr throughput), about 20 s more.
if [ "${KERNEL_TEST_BENCH:-0}" = 1 ] && [ -x "$build/platform/linuxtv/linuxtv_bench" ]; then
  files+=("$build/platform/linuxtv/linuxtv_bench")
fi
KERNEL_TEST_LOG=${KERNEL_TEST_LOG:-$build/kernel-test.log} exec "$here/run-vm.sh" "$here/guest-tests.sh" "${files[@]}"
