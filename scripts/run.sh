#!/usr/bin/env bash
# Quenlo's main job, shown on Linux: build the product, lay the example medium
# out with the freshly built exe, and run Quenlo there exactly as Windows runs
# the open line of autorun.inf, under Wine in a private prefix.
#
# With a display, the page opens in the desktop's browser through Wine. Without
# one, a virtual display is used and the text browser w3m is the browser behind
# Wine's browser bridge; the first lines of the page as it rendered them are
# printed. Exits 0 when the page was opened, non-zero with a message otherwise.
#
#   run.sh [--broken-association]   the second shows what a user sees when no
#                                   browser is registered for ".htm"
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
broken=no
[ "${1:-}" = "--broken-association" ] && broken=yes

fail() { echo "run: $*" >&2; exit 1; }

bash scripts/setup.sh build wine w3m >/dev/null 2>&1 || fail "could not install what is needed"
for preset in win32 win64; do
  { cmake --preset "$preset" && cmake --build --preset "$preset"; } >/dev/null || fail "the $preset build failed"
done

work=$(mktemp -d /tmp/quenlo-run.XXXXXX)
xvfb=""
cleanup() {
  WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
wine64=/usr/lib/wine/wine64
winpath() { echo "Z:$(readlink -f "$1" | tr / '\\')"; }

medium="$work/medium"
cp -r examples/medium "$medium"
cp build/win64/quenlo.exe "$medium/quenlo.exe"
open_line=$(sed -n 's/^open=//p' "$medium/autorun.inf" | tr -d '\r')
[ -n "$open_line" ] || fail "autorun.inf has no open line"

mode=desktop
if [ -z "${DISPLAY:-}" ]; then
  mode=text
  for n in $(seq 80 120); do [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break; done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
fi
mkdir -p "$WINEPREFIX" && wineserver -p >/dev/null 2>&1
$wine64 wineboot -i >/dev/null 2>&1 || fail "could not create a Wine prefix"

if [ "$mode" = text ]; then
  # Wine's browser bridge (winebrowser, the ".htm" handler of a new prefix)
  # hands the page to the programs listed here.
  cat >"$work/browser.sh" <<SH
#!/bin/sh
w3m -dump -cols 78 "\$1" >"$work/rendered.txt" 2>&1
SH
  chmod +x "$work/browser.sh"
  $wine64 reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /d "$work/browser.sh" /f >/dev/null 2>&1
fi
if [ "$broken" = yes ]; then
  for key in 'HKCU\Software\Classes\.htm' 'HKLM\Software\Classes\.htm'; do
    $wine64 reg delete "$key" /f >/dev/null 2>&1
  done
fi

echo "Medium laid out in $medium"
echo "Running the open line of autorun.inf: $open_line"
# The driver starts the open line exactly as written, from the medium's root,
# and reads any message box Quenlo shows. Wine traces process creation, which
# tells what Quenlo (or the shell on its behalf) started.
(cd "$medium" && QUENLO_E2E_COMMAND="$open_line" QUENLO_E2E_DIR="$(winpath "$medium")" \
  QUENLO_E2E_OUT="$(winpath "$work")\\driver.txt" WINEDEBUG=+process \
  $wine64 "$(winpath "$root/build/win64/tests/e2e/e2e_driver.exe")" >/dev/null 2>"$work/trace.txt")

# Wine traces every process creation ("cmdline ...") and each success
# ("started process"). The driver's own start of Quenlo comes first; what
# succeeded from any other thread is what Quenlo, or the shell inside it, started.
started=$(awk -F'cmdline L"' '/trace:process:CreateProcessInternalW/ {
    split($0, t, ":"); tid = t[1]
    if (driver == "") driver = tid
    if (NF > 1) { pending[tid] = $2; next }
    if (index($0, "started process") && tid != driver) started = pending[tid] }
  END { sub(/"$/, "", started); print started }' "$work/trace.txt" | sed -E 's/\\"/"/g; s/\\\\/\\/g')
boxes=$(grep '^box' "$work/driver.txt" 2>/dev/null | cut -f2,4 | sed 's/\t/: /')
status=$(grep '^exit' "$work/driver.txt" 2>/dev/null | cut -f2)
argument=${open_line#* }
case "$started" in
  "") course="none: nothing was started" ;;
  *"  \"$argument\""|*"  $argument"|*" file:///"*) course="fallback (Quenlo started the \".htm\" handler itself)" ;;
  *) course="shell (the shell's \"open\" verb)" ;;
esac
echo "Quenlo exited with status ${status:-unknown}"
echo "Course: $course"
echo "Started: ${started:-nothing}"
[ -n "$boxes" ] && echo "Message box: $boxes"

if [ "$mode" = desktop ]; then
  [ -n "$started" ] && [ -z "$boxes" ] || fail "the page was not opened"
  echo "The page was handed to the desktop's browser."
  exit 0
fi
for _ in $(seq 100); do [ -s "$work/rendered.txt" ] && break; sleep 0.1; done
[ -s "$work/rendered.txt" ] || fail "the page was not opened${boxes:+: Quenlo said \"${boxes#*: }\"}"
echo "The page as the text browser rendered it (first lines):"
echo "----"
head -n 8 "$work/rendered.txt"
echo "----"
