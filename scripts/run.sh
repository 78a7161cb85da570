#!/usr/bin/env bash
# Quenlo's main job, shown on Linux: the example medium made into a disc image
# by make-disc.sh, and that disc tried by try-disc.sh as users meet it: on a
# matrix of PCs (Western, Central European, Cyrillic, Greek, Japanese, both
# Chinese, Korean, and a Western one with no browser), each time as the CD
# drive D: of a private Wine prefix, its own open line run from D:\ as Windows
# runs it. Prints what a user meets on each kind of PC and the path of a
# contact sheet with a picture of each screen. Exits 0 when the page was shown
# on every PC with a browser, non-zero with a message otherwise.
#
#   run.sh [--broken-association] [--product]
#     --broken-association   one PC only, with no browser registered for ".htm"
#     --product              the shipped 32-bit exe instead of the 64-bit build of
#                            the same sources (under qemu, and slower, where this
#                            machine's kernel runs no 32-bit programs; try says so)
set -uo pipefail
cd "$(dirname "$0")/.."
fail() { echo "run: $*" >&2; exit 1; }

preset=win64 try=(--matrix)
for arg in "$@"; do
  case "$arg" in
    --broken-association) try=("$arg") ;;
    --product) preset=win32 ;;
    *) fail "unknown option $arg (see the top of $0)" ;;
  esac
done

bash scripts/setup.sh build wine i686 disc trydisc web || fail "could not install what is needed"
[ -x build/win32/quenlo.exe ] && [ -x build/win64/quenlo.exe ] || echo "Building Quenlo, 32- and 64-bit (first run only, under a minute)"
for p in win32 win64; do
  { cmake --preset "$p" && cmake --build --preset "$p" -j "$(nproc)"; } >/dev/null || fail "the $p build failed"
done
image=build/$preset/example-disc.iso
# The same image from any clone of this commit: every date after the
# commit's is clamped to it.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null)}
export SOURCE_DATE_EPOCH
bash scripts/make-disc.sh --exe "build/$preset/quenlo.exe" examples/medium "$image" || fail "the disc could not be made"
echo
exec bash scripts/try-disc.sh "${try[@]}" "$image"
