#!/usr/bin/env bash
# Installs what Quenlo's scripts need on Debian 12, and nothing that is already
# there. Works as root or through sudo; safe to run again.
#
#   setup.sh [GROUP...]   build (default), wine, test, i686, disc, trydisc, bench, or a package name
set -euo pipefail

packages=() purposes=()
add_group() {
  case "$1" in
    build) packages+=(cmake make g++ python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64) purposes+=("building Quenlo") ;;
    wine)  packages+=(wine wine64 xvfb) purposes+=("Wine") ;;
    test)  packages+=(libgtest-dev valgrind clang libclang-rt-14-dev) purposes+=("the tests") ;;
    i686)  packages+=(qemu-user wine32:i386) purposes+=("the 32-bit exe under emulation") ;;
    disc)  packages+=(python3 xorriso osslsigncode openssl) purposes+=("making disc images") ;;
    trydisc) packages+=(python3 fuseiso w3m dillo twm imagemagick xdotool) purposes+=("trying discs") ;;
    bench) packages+=(hyperfine libbenchmark-dev valgrind) purposes+=("the measurements") ;;
    *)     packages+=("$1") purposes+=("$1") ;;
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

# Everything goes to standard error, so that a command's own output stays as it is.
exec >&2
why=$(printf '%s, ' "${purposes[@]}" | sed 's/, $//')
echo "Installing what is missing for ${why} (first run only): ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture, for Wine's 32-bit side"
  as_root dpkg --add-architecture i386
fi
echo "Updating apt's package lists"
as_root apt-get update -q
total=$(apt-get -s install "${missing[@]}" 2>/dev/null | grep -c '^Inst ' || true)
echo "With what they need, that is ${total} packages: about $((total / 150 + 1)) minute(s); apt's progress follows"
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
