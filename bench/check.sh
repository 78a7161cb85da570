#!/usr/bin/env bash
# Measures quenlo-disc check and make on generated sites as documentation
# sites are (bench/site.py): how the time grows with the pages, with one
# stylesheet and with one per page, and make beside xorriso alone on the same
# folder, its floor. Prints a markdown section and puts it into
# docs/benchmarks.md in place of the one there (bench/section.py).
#
#   bench/check.sh [PAGES]    the largest site (default 50000)
set -euo pipefail
cd "$(dirname "$0")/.."
pages=${1:-50000}
bash scripts/setup.sh build i686 disc >/dev/null 2>&1
{ cmake --preset win32 && cmake --build --preset win32 -j "$(nproc)"; } >/dev/null

work=$(mktemp -d /tmp/quenlo-bench-check.XXXXXX)
trap 'rm -rf "$work"' EXIT
tool=disc/quenlo-disc
# A cache of this run's own: each check below starts with none kept.
export XDG_CACHE_HOME="$work/cache"
# Seconds and peak memory (MB) of one command, which must succeed.
timed() {
  if ! /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >"$work/out.txt" 2>&1; then
    echo "bench/check.sh: failed: $* ($(tail -n 1 "$work/out.txt"))" >&2
    exit 1
  fi
  awk '{printf "%.1f %d", $1, $2 / 1024}' "$work/time.txt"
}

rows=()
for n in 2000 4000 8000 "$pages"; do
  for sheets in "" --sheets; do
    python3 bench/site.py "$work/site" "$n" $sheets
    rm -rf "$work/cache"
    read -r seconds mb <<<"$(timed $tool check "$work/site")"
    rows+=("| $n | $([ -n "$sheets" ] && echo "one a page" || echo one) | $seconds | $(python3 -c "print('%.2f' % ($seconds * 1000 / $n))") | $mb |")
    if [ "$n" = "$pages" ] && [ -z "$sheets" ]; then
      read -r xorriso _ <<<"$(timed xorriso -as mkisofs -quiet -iso-level 3 -J -joliet-long -r -f \
                                -input-charset utf-8 -V SITE -o "$work/floor.iso" -graft-points /="$work/site")"
      # As an author makes it: after its check, whose documents of the pages are kept.
      read -r make make_mb <<<"$(timed $tool make "$work/site" "$work/site.iso")"
      rm -rf "$work/cache" "$work/site.iso"
      read -r cold _ <<<"$(timed $tool make "$work/site" "$work/site.iso")"
      files=$(find "$work/site" -type f | wc -l)
    fi
    rm -rf "$work/site" "$work/floor.iso" "$work/site.iso"
  done
done

section=$(mktemp)
{
  echo "## Checking a medium"
  echo
  echo "\`bench/check.sh $pages\` on $(date -u '+%Y-%m-%d'), $(nproc) cores: \`quenlo-disc check\` of sites made by"
  echo "\`bench/site.py\` (pages in folders of a hundred, about 24 links and two images a page), with"
  echo "one stylesheet for all or one a page (which imports the shared one). Goal: $pages pages in at most"
  echo "10 s and 150 MB, growing no faster than the pages."
  echo
  echo "| pages | stylesheets | check (s) | ms a page | peak memory (MB) |"
  echo "|---:|---|---:|---:|---:|"
  printf '%s\n' "${rows[@]}"
  echo
  echo "Mastering the $pages-page site ($files files, one stylesheet): \`quenlo-disc make\` after its check took $make s"
  echo "($make_mb MB), xorriso alone on the same folder $xorriso s: $(python3 -c "print('%.1f' % ($make / $xorriso))") times its floor (goal: 4);"
  echo "with nothing kept of an earlier check, $cold s ($(python3 -c "print('%.1f' % ($cold / $xorriso))") times)."
} >"$section"
python3 bench/section.py <"$section"
cat "$section"
rm -f "$section"
