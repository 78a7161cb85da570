#!/usr/bin/env bash
# Installs what building and testing Quenlo needs on Debian 12, and nothing that
# is already there. Works as root or through sudo.
set -euo pipefail

packages=(
  cmake make g++ python3 libgtest-dev            # host build and unit tests
  g++-mingw-w64-i686 g++-mingw-w64-x86-64        # the Windows exes
  wine wine64 xvfb xdotool                       # running them, with real message boxes
)
i386_packages=()
while [ $# -gt 0 ]; do
  case "$1" in
    --i686) i386_packages=(wine32:i386) ; packages+=(qemu-user) ;;  # the 32-bit smoke test
    *) packages+=("$1") ;;
  esac
  shift
done

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for p in "${packages[@]}" "${i386_packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ ${#i386_packages[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
as_root apt-get update -q
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
