#!/usr/bin/env bash
# run-fuzzers.sh BUILD_DIR [SECONDS]
# Runs every *_fuzz program of a fuzz build for SECONDS each (default 20), starting from its
# seeds in fuzz/seeds/<name>/ when there are any. The seeds are copied: a run never writes into
# the source tree. A fuzzer may also name captures of the corpus beside the checkout
# (../shared/corpus/ts) in fuzz/seeds/<name>.captures, one file name a line; those are added
# when the corpus is there. A crash, leak or time-out fails the run and keeps the crashing input.
# FUZZ_JOBS fuzzers (default: one per processor) run side by side, each on one processor for its
# whole time, so the run takes SECONDS times the number of fuzzers over FUZZ_JOBS.
set -euo pipefail
build=$1
seconds=${2:-20}
jobs=${FUZZ_JOBS:-$(nproc)}
root=$(cd "$(dirname "$0")/.." && pwd)
captures="$root/../shared/corpus/ts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One fuzzer; its report goes to $work/<name>.report, its verdict to $work/<name>.failed.
fuzz_one() {
  local fuzzer=$1 name corpus
  name=$(basename "$fuzzer")
  corpus="$work/$name"
  mkdir -p "$corpus"
  if [ -d "$root/fuzz/seeds/$name" ]; then cp -r "$root/fuzz/seeds/$name/." "$corpus/"; fi
  if [ -f "$root/fuzz/seeds/$name.captures" ] && [ -d "$captures" ]; then
    while IFS= read -r capture; do
      if [ -n "$capture" ] && [ -f "$captures/$capture" ]; then cp "$captures/$capture" "$corpus/"; fi
    done < "$root/fuzz/seeds/$name.captures"
  fi
  {
    echo "== $name (${seconds}s)"
    if ! "$fuzzer" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/$name-" "$corpus" 2>"$work/$name.log"; then
      tail -40 "$work/$name.log"
      echo "FAILED: $name (artifacts in $build/)"
      touch "$work/$name.failed"
    else
      grep -E "stat::number_of_executed_units|Done" "$work/$name.log" | tail -2 || true
    fi
  } > "$work/$name.report"
}

mapfile -t fuzzers < <(find "$build" -type f -name '*_fuzz' -perm -u+x | sort)
if [ ${#fuzzers[@]} -eq 0 ]; then echo "no fuzzers in $build"; exit 0; fi
running=0
for fuzzer in "${fuzzers[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$fuzzer" &
  running=$((running + 1))
done
wait || true
status=0
for fuzzer in "${fuzzers[@]}"; do
  name=$(basename "$fuzzer")
  if [ -f "$work/$name.report" ]; then cat "$work/$name.report"; else echo "FAILED: $name did not report"; status=1; fi
  if [ -f "$work/$name.failed" ]; then status=1; fi
done
exit $status
