#!/usr/bin/env bash
# test-kernel.sh BUILD_DIR
# `make test-kernel`: runs the real-tuner backend's device tests inside a VM with the kernel's
# virtual drivers (see run-vm.sh). Needs network access to Debian's archive on the first run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
[ -d "$build" ] || { echo "kernel-test: no build folder '$build' (run 'make build' first)" >&2; exit 2; }
files=()
for t in "$build"/platform/linuxtv/linuxtv_device_test; do
  [ -x "$t" ] && files+=("$t")
done
KERNEL_TEST_LOG=${KERNEL_TEST_LOG:-$build/kernel-test.log} exec "$here/run-vm.sh" "$here/guest-tests.sh" "${files[@]}"
