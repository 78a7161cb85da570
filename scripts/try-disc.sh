#!/usr/bin/env bash
# Runs a disc image the way a user meets it, before it is burnt: mounted as
# the CD drive D: of a private Wine prefix, its open line run from D:\, with a
# picture of the screen saved beside the image. See scripts/try_disc.py.
#
#   try-disc.sh IMAGE.iso [--broken-association]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/setup.sh" build wine i686 trydisc >/dev/null 2>&1 || { echo "try-disc: could not install what it needs" >&2; exit 1; }
# The driver that runs the open line and reads Quenlo's message boxes, for
# 32- and 64-bit discs alike.
for preset in win32 win64; do
  { (cd "$here/.." && cmake --preset "$preset" && cmake --build --preset "$preset" --target e2e_driver); } >/dev/null 2>&1 \
    || { echo "try-disc: could not build the $preset driver" >&2; exit 1; }
done
exec python3 "$here/try_disc.py" "$@"
