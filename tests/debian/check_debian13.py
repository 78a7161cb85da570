#!/usr/bin/env python3
"""The author tools on Debian 13 (trixie) as an author installs and uses
them there: a minimal system made with debootstrap from the same mirror
(kept in the cache between runs, its packages brought up to date), the built
packages installed in it with apt, and as an ordinary user a try of the
example disc with the 64-bit build and of a disc with the shipped 32-bit
exe, as the kernel runs it and under qemu made to run it (the path of a
kernel that runs no 32-bit programs, whatever this one does), each of whose
pictures must show the page. Nothing the packages do may register qemu, or
anything of theirs, with binfmt_misc.

The system is entered as the end-to-end cases' sandbox needs it: a user
namespace with the identity map and a PID namespace of its own, its root
made the root by pivot_root (a chroot may not make the user namespaces that
bubblewrap makes), and a binfmt_misc of its own (Linux 6.7 and later).

usage: check_debian13.py BUILD_DIR VERSION WIN64_EXE
"""
import ctypes
import json
import os
import shutil
import subprocess
import sys

SKIP = 77
CLONE_NEWNS, CLONE_NEWUSER = 0x00020000, 0x10000000
MIRROR = "http://deb.debian.org/debian"
RELEASE = "trixie"
CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Enters the system at $ROOT and runs "$@" there, as root of a user namespace
# with the identity map, in mount and PID namespaces of its own.
ENTER = r"""
set -e
mount --make-rprivate /
mount --rbind "$ROOT" "$ROOT"
mount --rbind /dev "$ROOT/dev"
mount --rbind /sys "$ROOT/sys"
mount -t proc proc "$ROOT/proc"
mount -t tmpfs tmpfs "$ROOT/tmp"
mount -t binfmt_misc binfmt_misc "$ROOT/proc/sys/fs/binfmt_misc" 2>/dev/null || true
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
cd "$ROOT"
mkdir -p .old
pivot_root . .old
umount -l /.old
cd /
exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
"""


def cache():
    home = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(home, "quenlo-tests")


def namespaced():
    """In the child of a fork: a user namespace with the identity map of
    65536 ids (which this side, as root, writes for it), and a mount
    namespace of its own."""
    libc = ctypes.CDLL(None, use_errno=True)
    told, ready = os.pipe(), os.pipe()
    parent = os.getpid()
    if os.fork() == 0:  # writes the maps, as root of this side, once the namespace is there
        os.read(told[0], 1)
        for name in ("uid_map", "gid_map"):
            with open("/proc/%d/%s" % (parent, name), "w") as f:
                f.write("0 0 65536")
        os.write(ready[1], b"x")
        os._exit(0)
    if libc.unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0:
        raise OSError(ctypes.get_errno(), "unshare")
    os.write(told[1], b"x")
    os.read(ready[0], 1)
    os.setresgid(0, 0, 0)
    os.setresuid(0, 0, 0)


def inside(root, command, check=True, timeout=1800):
    """command (a shell line) in the system at root, its output."""
    run = subprocess.run(["unshare", "--pid", "--fork", "sh", "-c", ENTER, "enter", "sh", "-c", command],
                         preexec_fn=namespaced,
                         env=dict(os.environ, ROOT=root), capture_output=True, text=True, timeout=timeout)
    if check and run.returncode != 0:
        raise RuntimeError("in Debian 13, %r ended with %d: %s" % (command[:200], run.returncode,
                                                                   (run.stdout + run.stderr)[-3000:]))
    return run.stdout


def system(say):
    """The minimal Debian 13 in the cache, made where there is none yet."""
    root = os.path.join(cache(), "debian13")
    if not os.path.isfile(os.path.join(root, "etc", "debian_version")):
        say("making a minimal Debian 13 with debootstrap, once: %s" % root)
        os.makedirs(cache(), exist_ok=True)
        making = root + ".part"
        shutil.rmtree(making, ignore_errors=True)
        subprocess.run(["debootstrap", "--variant=minbase", RELEASE, making, MIRROR], check=True,
                       stdout=subprocess.DEVNULL)
        os.rename(making, root)
    return root


def main():
    build, version, win64 = sys.argv[1:4]
    if not shutil.which("debootstrap"):
        print("SKIP: debootstrap is not installed (apt-get install debootstrap)")
        return SKIP
    if subprocess.run(["unshare", "--user", "--map-root-user", "--pid", "--fork", "--mount-proc", "true"],
                      capture_output=True).returncode != 0:
        print("SKIP: this machine makes no user namespaces, so Debian 13 cannot be entered")
        return SKIP
    say = lambda line: print(line, flush=True)  # noqa: E731
    root = system(say)
    debs = [os.path.join(build, "%s_%s_all.deb" % (name, version)) for name in ("quenlo-disc", "quenlo-disc-try")]
    if not all(map(os.path.isfile, debs)):
        subprocess.run(["cpack", "-G", "DEB"], cwd=build, check=True, stdout=subprocess.DEVNULL)
    # What the author brings: the packages, and two discs made of the example medium.
    drop = os.path.join(root, "srv", "quenlo")
    shutil.rmtree(drop, ignore_errors=True)
    os.makedirs(drop)
    for deb in debs:
        shutil.copy(deb, drop)
    for exe, name in ((win64, "example64.iso"), (os.path.join(build, "quenlo.exe"), "product.iso")):
        subprocess.run([os.path.join(CHECKOUT, "disc", "quenlo-disc"), "make", "--exe", exe,
                        os.path.join(CHECKOUT, "examples", "medium"), os.path.join(drop, name)],
                       check=True, capture_output=True)
    os.chmod(drop, 0o755)
    # As the author installs them: apt, with what they need and recommend, and
    # Wine's 32-bit side; those of an earlier run go first, since apt keeps a
    # package of the same version as it is.
    inside(root, "dpkg --add-architecture i386 && apt-get update -q >/dev/null && "
                 "DEBIAN_FRONTEND=noninteractive apt-get purge -y -q quenlo-disc quenlo-disc-try >/dev/null 2>&1; "
                 "DEBIAN_FRONTEND=noninteractive apt-get install -y -q %s wine32:i386 >/dev/null && "
                 "(id author >/dev/null 2>&1 || useradd -m author)"
                 % " ".join("/srv/quenlo/" + os.path.basename(d) for d in debs))
    entries = inside(root, "cd /proc/sys/fs/binfmt_misc 2>/dev/null && for f in *; do echo \"$f $(grep "
                           "'^interpreter' $f 2>/dev/null)\"; done; true").splitlines()
    problems = []
    ours = [e for e in entries if "i386" in e or "quenlo" in e]
    if ours:
        problems.append("installing registered with binfmt_misc: %s" % ours)
    tries = 0
    for disc, emulate in (("example64.iso", False), ("product.iso", False), ("product.iso", True)):
        answer = inside(root, "cd /home/author && cp /srv/quenlo/%s . && chown author %s && "
                              "runuser -u author -- env %s quenlo-disc try --json %s"
                        % (disc, disc, "QUENLO_DISC_EMULATE=1" if emulate else "", disc), check=False)
        tries += 1
        try:
            doc = json.loads(answer)
            row = doc["rows"][0]
        except (ValueError, KeyError, IndexError):
            doc, row = {}, {}
        picture = os.path.join(root, "home", "author", disc.replace(".iso", ".try.png"))
        how = doc.get("emulation", "64-bit")
        if not (row.get("shown") and row.get("picture_shows_page") and os.path.isfile(picture)) or (
                emulate and how != "sandbox-qemu"):
            problems.append("try of %s%s on Debian 13: %s" % (disc, " under qemu" if emulate else "", answer[-2000:]))
        else:
            print("%s: shown (%s)" % (disc, how))
            shutil.copy(picture, os.path.join(build, "debian13-%s%s.png" % (disc[:-4], "-qemu" if emulate else "")))
    for problem in problems:
        print("FAIL " + problem)
    print("Debian 13: the packages installed with apt, %d of %d tries showed the page, as an ordinary user"
          % (tries - sum(p.startswith("try") for p in problems), tries))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
