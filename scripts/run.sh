#!/usr/bin/env bash
# Quenlo's main job, shown on Linux: the example medium made into a disc image
# by make-disc.sh, and that disc tried by try-disc.sh as a user meets it:
# mounted read-only as the CD drive D: of a private Wine prefix, its own open
# line run from D:\ as Windows runs it. Prints the course Quenlo took, what it
# started, the page as a text browser rendered it and the path of a picture of
# the screen (the page in a graphical browser, or Quenlo's message box).
# Exits 0 when the page was opened, non-zero with a message otherwise.
#
#   run.sh [--broken-association] [--product]
#     --broken-association   a PC with no browser registered for ".htm"
#     --product              the shipped 32-bit exe instead of the 64-bit build of
#                            the same sources, under qemu emulation (slower)
set -uo pipefail
cd "$(dirname "$0")/.."
fail() { echo "run: $*" >&2; exit 1; }

preset=win64 try=()
for arg in "$@"; do
  case "$arg" in
    --broken-association) try+=("$arg") ;;
    --product) preset=win32 ;;
    *) fail "unknown option $arg (see the top of $0)" ;;
  esac
done
[ "$preset" = win32 ] && echo "The shipped 32-bit exe runs under emulation: this takes a minute or two."

bash scripts/setup.sh build wine i686 disc trydisc || fail "could not install what is needed"
[ -x build/win32/quenlo.exe ] && [ -x build/win64/quenlo.exe ] || echo "Building Quenlo, 32- and 64-bit (first run only, under a minute)"
for p in win32 win64; do
  { cmake --preset "$p" && cmake --build --preset "$p" -j "$(nproc)"; } >/dev/null || fail "the $p build failed"
done
image=build/$preset/example-disc.iso
bash scripts/make-disc.sh --exe "build/$preset/quenlo.exe" examples/medium "$image" || fail "the disc could not be made"
echo
exec bash scripts/try-disc.sh "$image" ${try[@]+"${try[@]}"}
