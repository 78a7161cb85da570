#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds every preset, runs every
# preset's tests, and ends with one line that sums them up. Exits non-zero when
# anything failed or when no test ran at all.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh build wine test i686 disc trydisc debian web || { echo "setup failed"; exit 1; }

# The product first: the end-to-end cases of win64 also check the win32 exe.
presets=(win32 win64 host host-asan fuzz)
for preset in "${presets[@]}"; do
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$(nproc)"; }; then
    echo "build of preset $preset failed"
    echo "quenlo: 0 passed, 1 failed"
    exit 1
  fi
done

# The two Windows presets run side by side: each end-to-end label has a
# sandbox, display and Wine session of its own, and the 32-bit one spends most
# of its time in one emulated process.
logs=$(mktemp -d)
ctest --preset win32 >"$logs/win32" 2>&1 &
ctest --preset win64 >"$logs/win64" 2>&1
wait $!
passed=0 failed=0 skipped=0 status=0
for preset in "${presets[@]}"; do
  echo "== ctest --preset $preset"
  log="$logs/$preset"
  if [ -f "$log" ]; then
    cat "$log"
  else
    ctest --preset "$preset" 2>&1 | tee "$log"
  fi
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$summary" ]; then
    echo "preset $preset ran no test"
    status=1
  else
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
    [ "$f" -eq 0 ] || status=1
    n=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
    s=$(grep -cE '\((Skipped|Not Run)\)' "$log")
    passed=$((passed + n - f - s)) failed=$((failed + f)) skipped=$((skipped + s))
  fi
done
rm -rf "$logs"

# A skip is never silent: each test that skips says why ("SKIP [name: ]why"),
# and the reasons are summed up here, one line each.
if [ "$skipped" -gt 0 ]; then
  for preset in "${presets[@]}"; do
    sed -nE 's/^SKIP( [a-z0-9_.-]+:)? (.*)$/\2/p; s/^SKIP: (.*)$/\1/p' "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null
  done | sort | uniq -c | sed -E 's/^ *([0-9]+) (.*)$/skipped (\1 reports): \2/'
fi
[ $((passed + failed)) -gt 0 ] || status=1
echo "quenlo: $passed passed, $failed failed, $skipped skipped"
exit $status
