#!/usr/bin/env bash
# Runs every fuzz target for a long time (default 30 minutes each, side by
# side), from the kept seeds and findings, and prints executions and coverage.
# A crash leaves its input under build/fuzz/long/: keep it in
# tests/fuzz/findings/<target>/ once it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-1800}
bash scripts/setup.sh clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null
out=build/fuzz/long
mkdir -p "$out"
pids=()
for target in argument run; do
  mkdir -p "$out/corpus-$target"
  nice -n 10 "build/fuzz/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/crash-$target-" \
    "$out/corpus-$target" "tests/fuzz/seeds/$target" "tests/fuzz/findings/$target" >"$out/$target.log" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
for target in argument run; do
  echo "== fuzz_$target"
  grep -E '^#[0-9]+ +DONE|^Done [0-9]+ runs|stat::number_of_executed_units|stat::peak_rss_mb' "$out/$target.log" || true
  ls "$out"/crash-"$target"-* 2>/dev/null && status=1
done
exit $status
