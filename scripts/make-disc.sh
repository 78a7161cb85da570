#!/usr/bin/env bash
# Masters a Quenlo medium as an ISO image, after checking it as a user's PC
# will meet it. See scripts/make_disc.py for the options.
#
#   make-disc.sh [--label LABEL] [--start PAGE] [--icon FILE.ico] [--exe EXE]
#                [--sign CERT.pfx] SOURCE_DIR OUTPUT.iso
set -uo pipefail
here=$(dirname "$0")
bash "$here/setup.sh" disc >/dev/null 2>&1 || { echo "make-disc: could not install xorriso and osslsigncode" >&2; exit 1; }
exec python3 "$here/make_disc.py" "$@"
