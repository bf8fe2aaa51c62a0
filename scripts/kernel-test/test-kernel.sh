#!/usr/bin/env bash
# test-kernel.sh BUILD_DIR
# `make test-kernel`: runs the real-tuner backend's device tests, and the shipped module through
# the reference host end to end, inside a VM with the kernel's virtual drivers (see run-vm.sh).
# Needs network access to Debian's archive on the first run; later runs use the cache.
# A file the host's watch wrote in the VM comes back to BUILD_DIR/kernel-test-out and is checked
# here with ffprobe.
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

# The module and the host laid out as an installation (bin/, lib/skyvane/, share/skyvane/), with
# a message bus broker for the scan.
stage=$(mktemp -d "${TMPDIR:-/tmp}/skyvane-e2e.XXXXXX")
trap 'rm -rf "$stage"' EXIT
module="$build/plugin/libskyvane.so"
host="$build/tools/pelmo-streamer/pelmo-streamer"
for f in "$module" "$host"; do
  [ -e "$f" ] || { echo "kernel-test: no $f (build it: make build)" >&2; exit 2; }
done
command -v mosquitto >/dev/null || { echo "kernel-test: 'mosquitto' is missing (run scripts/install-deps.sh)" >&2; exit 2; }
e2e="$stage/e2e"
mkdir -p "$e2e/bin" "$e2e/lib/skyvane" "$e2e/share/skyvane"
cp "$host" "$(command -v mosquitto)" "$e2e/bin/"
cp "$module" "$e2e/lib/skyvane/"
# The installation's data without the demo broadcast: a real tuner needs no catalogue.
find "$build/data" -maxdepth 1 -type f -name '*.txt' -exec cp {} "$e2e/share/skyvane/" \;
[ -d "$build/data/bin" ] && cp -r "$build/data/bin" "$e2e/share/skyvane/"
# Country 44's frequency file cut to vidtv's frequency and one where nothing is on air, so that
# a scan sees both and stays short on an emulated CPU.
printf '474000/8/-1/-1/-1\n482000/8/-1/-1/-1\n' >"$e2e/share/skyvane/DVBTfrequencies_B8.txt"
# The ATSC file cut likewise: physical channel 14 (473 MHz, where vidtv also sends) and 15.
printf '14/-1/-1\n15/-1/-1\n' >"$e2e/share/skyvane/ATSCfrequencies.txt"
files+=("$e2e")

log=${KERNEL_TEST_LOG:-$build/kernel-test.log}
out=${KERNEL_TEST_OUT:-$build/kernel-test-out}
set +e
KERNEL_TEST_LOG=$log KERNEL_TEST_OUT=$out "$here/run-vm.sh" "$here/guest-tests.sh" "${files[@]}"
rc=$?
set -e
[ "$rc" -eq 0 ] || exit "$rc"

# The file the guest's watch wrote must play: its streams probe and it lasts about as asked.
watched="$out/watch.ts"
if [ ! -s "$watched" ]; then
  echo "kernel-test: the guest's watch left no file ($watched)" >&2
  exit 1
fi
if ! command -v ffprobe >/dev/null; then
  echo "kernel-test: ffprobe is missing: $watched was not checked" >&2
  exit 0
fi
probe=$(ffprobe -v error -show_entries stream=codec_type,codec_name:format=duration -of compact "$watched" 2>&1) || {
  echo "kernel-test: $watched does not play: $probe" >&2
  exit 1
}
echo "kernel-test: $watched: $(echo "$probe" | tr '\n' ' ')" >&2
# vivid's analog channel through the card's encoder: MPEG-2 pictures and MPEG audio, 3 s asked.
echo "$probe" | grep -q 'codec_name=mpeg2video|codec_type=video' || { echo "kernel-test: no MPEG-2 picture in $watched" >&2; exit 1; }
echo "$probe" | grep -q 'codec_name=mp2|codec_type=audio' || { echo "kernel-test: no MPEG audio in $watched" >&2; exit 1; }
duration=$(echo "$probe" | sed -n 's/.*duration=\([0-9.]*\).*/\1/p' | head -1)
awk -v d="${duration:-0}" 'BEGIN { exit !(d >= 2.5 && d <= 4.5) }' || {
  echo "kernel-test: $watched lasts ${duration:-?} s, not about 3" >&2
  exit 1
}
echo "kernel-test: passed" >&2
