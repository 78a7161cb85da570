#!/usr/bin/env bash
# Quenlo's main job, on Linux: build the product and open a sample page with the
# 64-bit build under Wine, in a private Wine prefix that is removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done

work=$(mktemp -d)
trap 'WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
mkdir -p "$work/medium/docs"
printf '<html><body><h1>Quenlo sample page</h1></body></html>\n' >"$work/medium/docs/index.htm"
cp build/win64/quenlo.exe "$work/medium/"
cd "$work/medium"
/usr/lib/wine/wine64 quenlo.exe 'docs\index.htm' >/dev/null 2>&1
echo "quenlo.exe docs\\index.htm exited with status $?"
