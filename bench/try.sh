#!/usr/bin/env bash
# Measures quenlo-disc try as an author meets it: cold (an empty cache, so the
# Wine prefix and the locales are made first) and warm (made already), for a
# disc with the 64-bit build and one with the shipped 32-bit exe (which runs
# natively where the kernel runs 32-bit programs), alone and on the matrix of
# nine PCs. Prints a markdown section and puts
# it into docs/benchmarks.md in place of the one there (bench/section.py).
#
#   bench/try.sh [RUNS]    RUNS warm runs of each (default 3; the median counts)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
runs=${1:-3}
bash scripts/setup.sh build wine i686 disc trydisc >/dev/null 2>&1
for preset in win32 win64; do
  { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)"; } >/dev/null
done

work=$(mktemp -d /tmp/quenlo-bench-try.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
tool=disc/quenlo-disc
$tool make --exe build/win64/quenlo.exe examples/medium "$work/example64.iso" >/dev/null
$tool make examples/medium "$work/product.iso" >/dev/null

# One timed run: its seconds, or the command's last words and failure.
timed() {
  local started=$EPOCHREALTIME
  if ! "$@" >"$work/out.txt" 2>&1; then
    echo "bench/try.sh: failed: $* ($(tail -n 1 "$work/out.txt"))" >&2
    exit 1
  fi
  python3 -c "print('%.1f' % ($EPOCHREALTIME - $started))"
}
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }

rows=()
measure() {
  local name=$1 goal=$2 cold warm=()
  shift 2
  export XDG_CACHE_HOME="$work/cache-$RANDOM"  # empty: the prefix and locales are made in this run
  cold=$(timed "$@")
  first=$(head -n 4 "$work/out.txt")
  for _ in $(seq "$runs"); do warm+=("$(timed "$@")"); done
  rows+=("| $name | $cold | $(median "${warm[@]}") | ${warm[*]} | $goal |")
  unset XDG_CACHE_HOME
}
measure "try, 64-bit build" "6" $tool try "$work/example64.iso"
first64=$first
measure "try, the shipped 32-bit exe" "4, and 1.2 times the 64-bit" $tool try "$work/product.iso"
first32=$first
measure "try --matrix, 64-bit build (9 PCs)" "30" $tool try --matrix "$work/example64.iso"
measure "try --matrix, the shipped 32-bit exe (9 PCs)" "25" $tool try --matrix "$work/product.iso"

section=$(mktemp)
{
  echo "## Trying a disc"
  echo
  echo "\`bench/try.sh $runs\` on $(date -u '+%Y-%m-%d'), $(nproc) cores: \`quenlo-disc try\` of the example"
  echo "medium, each in its sandbox. Cold: an empty \`~/.cache/quenlo-disc\`, so the run first makes"
  echo "the Wine prefix (and, for the matrix, the locales); warm: the median of $runs runs after it."
  echo
  echo "| run | cold (s) | warm, median (s) | warm runs (s) | goal, warm (s) |"
  echo "|---|---:|---:|---:|---:|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "The first lines of the cold 64-bit run, and of the shipped exe's:"
  echo
  echo '```'
  echo "$first64"
  echo '```'
  echo
  echo '```'
  echo "$first32"
  echo '```'
} >"$section"
python3 bench/section.py <"$section"
cat "$section"
rm -f "$section"
