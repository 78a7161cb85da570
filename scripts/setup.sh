#!/usr/bin/env bash
# Installs what Quenlo's scripts need on Debian 12, and nothing that is already
# there. Works as root or through sudo; safe to run again.
#
#   setup.sh [GROUP...]   build (default), wine, test, i686, disc, trydisc, bench, or a package name
set -euo pipefail

packages=()
add_group() {
  case "$1" in
    build) packages+=(cmake make g++ python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64) ;;
    wine)  packages+=(wine wine64 xvfb) ;;
    test)  packages+=(libgtest-dev valgrind clang libclang-rt-14-dev) ;;
    i686)  packages+=(qemu-user wine32:i386) ;;  # the 32-bit exe under emulation
    disc)  packages+=(python3 xorriso osslsigncode openssl) ;;
    trydisc) packages+=(python3 fuseiso w3m dillo twm imagemagick xdotool) ;;  # a disc under Wine, pictured
    bench) packages+=(hyperfine libbenchmark-dev valgrind) ;;
    *)     packages+=("$1") ;;
  esac
}
[ $# -gt 0 ] || set -- build
for group in "$@"; do add_group "$group"; done

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi
as_root apt-get update -q
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
