#!/usr/bin/env bash
# Masters a Quenlo medium as an ISO image, after checking it as a user's PC
# will meet it: quenlo-disc make, from the checkout, installing what it needs.
#
#   make-disc.sh [--label LABEL] [--start PAGE] [--icon FILE.ico] [--exe EXE]
#                [--sign CERT.pfx] SOURCE_DIR OUTPUT.iso
set -uo pipefail
here=$(dirname "$0")
bash "$here/setup.sh" disc >&2 || { echo "make-disc: could not install xorriso and osslsigncode" >&2; exit 1; }
PYTHONPATH="$here/../disc" exec python3 -c 'import sys; from quenlo_disc.cli import main
sys.exit(main(sys.argv[1:], "make-disc", "make"))' "$@"
