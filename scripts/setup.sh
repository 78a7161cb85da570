#!/usr/bin/env bash
# Installs what Quenlo's scripts need on Debian 12, and nothing that is already
# there. Works as root or through sudo; safe to run again.
#
#   setup.sh [GROUP...]   build (default), wine, test, i686, disc, trydisc, bench, or a package name
set -euo pipefail

packages=() purposes=()
add_group() {
  local why group=()
  case "$1" in
    build) group=(cmake make g++ python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64) why="building Quenlo" ;;
    wine)  group=(wine wine64 xvfb) why="Wine" ;;
    test)  group=(libgtest-dev valgrind clang libclang-rt-14-dev lintian bash-completion) why="the tests" ;;
    i686)  group=(qemu-user wine32:i386) why="the 32-bit exe under emulation" ;;
    disc)  group=(python3 xorriso osslsigncode openssl) why="making disc images" ;;
    trydisc) group=(python3 bubblewrap w3m chromium fonts-wqy-zenhei dillo twm imagemagick xdotool locales)
             why="trying discs" ;;
    bench) group=(hyperfine libbenchmark-dev valgrind) why="the measurements" ;;
    *)     group=("$1") why="$1" ;;
  esac
  for p in "${group[@]}"; do packages+=("$p") purposes+=("$why"); done
}
[ $# -gt 0 ] || set -- build
for group in "$@"; do add_group "$group"; done

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=() why=""
for i in "${!packages[@]}"; do
  installed "${packages[$i]}" && continue
  missing+=("${packages[$i]}")
  case ", $why, " in *", ${purposes[$i]}, "*) ;; *) why="${why:+$why, }${purposes[$i]}" ;; esac
done
[ ${#missing[@]} -eq 0 ] && exit 0

# Everything goes to standard error, so that a command's own output stays as it is.
exec >&2
echo "Installing what is missing for ${why} (first run only): ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture, for Wine's 32-bit side"
  as_root dpkg --add-architecture i386
fi
echo "Updating apt's package lists"
as_root apt-get update -q
total=$(apt-get -s install "${missing[@]}" 2>/dev/null | grep -c '^Inst ' || true)
if [ "$total" -lt 150 ]; then took="under a minute"; else took="about $((total / 150 + 1)) minutes"; fi
echo "With what they need, that is ${total} packages (${took}); apt's progress follows"
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
