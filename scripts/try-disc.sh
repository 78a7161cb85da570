#!/usr/bin/env bash
# Runs a disc image the way a user meets it, before it is burnt: quenlo-disc
# try, from the checkout, installing what it needs and building its drivers.
#
#   try-disc.sh IMAGE.iso [--broken-association]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/setup.sh" build wine i686 trydisc >&2 || { echo "try-disc: could not install what it needs" >&2; exit 1; }
{ (cd "$here/.." && cmake --preset win32 && cmake --build --preset win32 --target disc_drivers); } >/dev/null 2>&1 \
  || { echo "try-disc: could not build the drivers" >&2; exit 1; }
PYTHONPATH="$here/../disc" exec python3 -c 'import sys; from quenlo_disc.cli import main
sys.exit(main(sys.argv[1:], "try-disc", "try"))' "$@"
