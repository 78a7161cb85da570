#!/usr/bin/env bash
# Installs what Quenlo's scripts need on Debian 12 or 13, and nothing that is
# already there. Works as root or through sudo; safe to run again.
#
#   setup.sh [GROUP...]   build (default), wine, test, i686, disc, trydisc, bench, debian, web, or a package name
#
# A kernel that runs no 32-bit programs (no IA32 emulation) needs qemu-user to
# run the shipped 32-bit exe: i686 brings it there, and test brings it
# everywhere, since the suite tries that path on every kernel. Nothing is
# registered with binfmt_misc: the tools use qemu inside their own sandbox.
#
# A package mirror in the middle of a sync is met as users meet it: an index
# that fails to download is named and the rest used; an install that apt
# cannot resolve with its newest candidates is tried once more preferring the
# release's own suite; nothing installed is ever downgraded. Wine's 32-bit side
# is the one thing that may be left out (what needs it says so when run);
# every other failure ends in one line that names what and says what to do.
set -uo pipefail

packages=() purposes=()
# True when this machine's kernel runs an i386 program: the smallest one
# there is, which only exits (exit(0) by int 0x80).
runs_i386() {
  local probe status
  probe=$(mktemp) || return 1
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\061\333\315\200' >"$probe"
  chmod 700 "$probe" && (exec "$probe") 2>/dev/null
  status=$?
  rm -f "$probe"
  return $status
}
add_group() {
  local why group=()
  case "$1" in
    build) group=(cmake make g++ python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64) why="building Quenlo" ;;
    wine)  group=(wine wine64 xvfb) why="Wine" ;;
    test)  group=(libgtest-dev valgrind clang libclang-rt-14-dev lintian bash-completion qemu-user python3-jsonschema
                 dosfstools mtools genisoimage udftools)
           why="the tests" ;;
    i686)  group=(wine32:i386) why="running the 32-bit exe"
           if ! runs_i386; then
             for p in "${group[@]}"; do packages+=("$p") purposes+=("$why"); done
             group=(qemu-user) why="running the 32-bit exe under emulation (this kernel runs no 32-bit programs)"
           fi ;;
    disc)  group=(python3 xorriso osslsigncode openssl) why="making disc images" ;;
    trydisc) group=(python3 bubblewrap w3m chromium fonts-wqy-zenhei twm imagemagick xdotool locales)
             why="trying discs" ;;
    debian) group=(debootstrap) why="trying the package on Debian 13" ;;
    web)   # Any npm serves (Node.js's own, where it came with one, conflicts with Debian's).
           command -v npm >/dev/null || group=(npm)
           why="building the web page of the check" ;;
    bench) group=(hyperfine libbenchmark-dev valgrind) why="the measurements" ;;
    *)     group=("$1") why="$1" ;;
  esac
  for p in "${group[@]}"; do packages+=("$p") purposes+=("$why"); done
}
[ $# -gt 0 ] || set -- build
for group in "$@"; do add_group "$group"; done

fail() { echo "setup: $*" >&2; exit 1; }
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
if [ "$(id -u)" -eq 0 ]; then
  as_root() { "$@"; }
elif command -v sudo >/dev/null; then
  as_root() { sudo "$@"; }
else
  fail "installing ${missing[*]} (for ${why}) needs root, and there is no sudo: run this again as root, or have an administrator run: apt-get install ${missing[*]}"
fi
codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
log=$(mktemp)
trap 'rm -f "$log"' EXIT

echo "Installing what is missing for ${why} (first run only): ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture, for Wine's 32-bit side"
  as_root dpkg --add-architecture i386 || fail "dpkg cannot add the i386 architecture: run as root: dpkg --add-architecture i386"
fi

echo "Updating apt's package lists"
as_root apt-get update -q 2>&1 | tee "$log"
if [ "${PIPESTATUS[0]}" -ne 0 ]; then
  # "Err:6 http://host/debian-security bookworm-security/main i386 Packages", then its reason.
  failed=$(sed -nE 's/^Err:[0-9]+ [^ ]+ (.*)$/\1/p' "$log" | sed -E 's/ +\[[^]]*\]$//' | paste -sd ';' | sed 's/;/; /g')
  reason=$(grep -A1 -E '^Err:' "$log" | sed -n '2p' | sed -E 's/^ +//; s/ +\[IP:.*$//')
  if grep -qE '^Hit:|^Get:|^Ign:' "$log"; then
    echo "apt could not update its index of ${failed:-some packages} (${reason:-see above}): going on with what it has"
  else
    echo "apt could update none of its indexes (${reason:-see above}): going on with the lists it had"
  fi
fi

# -y never downgrades without --allow-downgrades; said here so that no
# configuration of the machine's changes that.
install() {
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o APT::Get::allow-downgrades=false "$@" 2>&1 \
    | tee "$log"
  return "${PIPESTATUS[0]}"
}
unknown() {
  sed -nE "s/^E: Unable to locate package ([^ ]+).*/\\1/p; s/^E: Package '([^']+)' has no installation candidate.*/\\1/p" "$log" \
    | head -n 1
}
unresolved() { grep -qE 'held broken packages|Unable to correct problems|but it is not (going to be installed|installable)' "$log"; }

try_install() {
  local total took
  total=$(apt-get -s install "$@" 2>/dev/null | grep -c '^Inst ')
  if [ "$total" -lt 150 ]; then took="under a minute"; else took="about $((total / 150 + 1)) minutes"; fi
  [ "$total" -gt 0 ] && echo "With what they need, that is ${total} packages (${took}); apt's progress follows"
  install "$@" && return 0
  if unresolved && [ -n "$codename" ]; then
    echo "apt cannot install these with its newest candidates (an index is missing, or the mirror is mid-sync): trying once more preferring ${codename}'s own packages, downgrading nothing"
    install -t "$codename" "$@" && return 0
  fi
  return 1
}

try_install "${missing[@]}" && exit 0

name=$(unknown)
[ -n "$name" ] && fail "apt knows no package ${name}: check that apt's sources name Debian's main archive for ${codename:-this release}, or install ${name} by hand"
if grep -qE 'Could not resolve|Failed to fetch|Temporary failure|Connection (failed|refused|timed out)|Unable to fetch' "$log"; then
  what=$(grep -m1 -E 'Could not resolve|Temporary failure|Connection|Unable to fetch' "$log" | sed -E 's/^E: //')
  fail "cannot download ${missing[*]} from the package mirror (${what:0:160}): check the network and apt's sources, then run this again"
fi

# Wine's 32-bit side is the part a mirror mid-sync can keep out of reach (its
# i386 libraries must match the amd64 ones installed). Everything else goes
# in; what needs the 32-bit side says so in one line when it is run.
rest=() held=()
for p in "${missing[@]}"; do
  case "$p" in *:i386) held+=("$p") ;; *) rest+=("$p") ;; esac
done
if [ ${#held[@]} -gt 0 ]; then
  echo "apt cannot install ${held[*]} from this mirror now without downgrading the machine's own libraries: installing the rest; what needs Wine's 32-bit side will be skipped, saying why"
  [ ${#rest[@]} -eq 0 ] && exit 0
  try_install "${rest[@]}" && exit 0
fi
last=$(grep -E '^E: ' "$log" | tail -n 1 | sed -E 's/^E: //')
fail "apt could not install ${rest[*]:-${missing[*]}} (${last:-see above}): mend what apt says, then run this again"
