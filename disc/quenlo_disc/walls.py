"""The walls of the namespace sandbox, made with bubblewrap, for whatever a
disc brings (and for the pages the check has Chromium read): its command
line, and whether it can be made here.

A disc's quenlo.exe may be any program, and Wine is no sandbox: its Z: drive
is the whole file system and a Windows program under it may make Unix calls
directly. So everything of a try runs in namespaces of its own: no network
(a loopback of its own only), no host name or machine id of the user's, the
system read-only with what only root may read left out, nothing of the
user's in sight but the folders named for it, no capabilities, an
environment of its own and no terminal to type into. What it may write, it
writes in file systems of its own, each of a fixed size: its box, /tmp,
/var/tmp and /dev/shm. sandbox.py runs what is
put inside, and the tools act in it only through its agent (agent.py).
"""
import os
import shutil
import stat
import subprocess

from . import LIB, Refusal, seccomp
from .tools import last_lines

PYTHON = "/usr/bin/python3"  # the system's: a user's own Python may live in a folder the sandbox hides
# The system, read-only; on a merged /usr these are links into it.
SYSTEM = ("usr", "etc")
SYSTEM_LINKS = ("bin", "sbin", "lib", "lib32", "lib64", "libx32")
# What is left of /var: fontconfig's caches, so that browsers need not
# rebuild them.
SYSTEM_CACHES = ("/var/cache/fontconfig",)
# The sizes of what the sandbox may write: its box (the Wine prefix's own
# files, the browser's profile, the pictures), and the rest.
SIZES = {"box": 1 << 30, "/tmp": 256 << 20, "/var/tmp": 64 << 20, "/dev/shm": 64 << 20, "private": 16 << 10}
ENVIRONMENT = {"PATH": "/usr/local/bin:/usr/bin:/bin", "LANG": "C.UTF-8"}
QEMU = "/usr/bin/qemu-i386"


def private(top="/etc"):
    """What of top this user may read but others may not (what only root
    may read, for root): each a (path, is a folder), to be left out."""
    found = []
    for folder, dirs, files in os.walk(top):
        for name in sorted(dirs + files):
            path = os.path.join(folder, name)
            try:
                info = os.lstat(path)
            except OSError:
                continue
            if stat.S_ISLNK(info.st_mode):
                continue
            folder_entry = stat.S_ISDIR(info.st_mode)
            if not info.st_mode & (stat.S_IROTH | (stat.S_IXOTH if folder_entry else 0)):
                found.append((path, folder_entry))
                if folder_entry:
                    dirs.remove(name)
    return found


def arguments(writable=(), readable=(), box=None, detached=False, machine_id=None, links=(), filtered=None):
    """bwrap's command line, up to the program: the system read-only, the
    readable paths read-only and the writable ones read-write (each at its
    own path, or as a (path, where it is shown) pair); with
    box, a file system of its own there. machine_id: a descriptor that
    holds the sandbox's /etc/machine-id. detached: the sandbox outlives
    the process that made it (the end-to-end cases share one). links:
    (target, path) of each symbolic link at the sandbox's root. filtered: a
    descriptor bwrap reads the system call filter from (seccomp.py), where
    the sandbox's first process does not install it itself."""
    # A user namespace even for root, whose sandbox would otherwise share this
    # one's: the limit on processes holds only within a namespace of its own.
    args = [shutil.which("bwrap") or "bwrap", "--unshare-all", "--unshare-user", "--hostname", "quenlo",
            "--new-session", "--cap-drop", "ALL", "--clearenv"]
    if not detached:
        args.append("--die-with-parent")
    if filtered is not None:
        args += ["--seccomp", str(filtered)]
    for name in SYSTEM:
        if os.path.isdir("/" + name):
            args += ["--ro-bind", "/" + name, "/" + name]
    for name in SYSTEM_LINKS:
        path = "/" + name
        if os.path.islink(path):
            args += ["--symlink", os.readlink(path), path]
        elif os.path.isdir(path):
            args += ["--ro-bind", path, path]
    for path in SYSTEM_CACHES:
        args += ["--ro-bind-try", path, path]
    for path, folder in private():
        # An empty folder in its place, of a fixed size and read-only: nothing to fill.
        args += (["--size", str(SIZES["private"]), "--tmpfs", path, "--remount-ro", path] if folder
                 else ["--ro-bind", "/dev/null", path])
    if machine_id is not None:
        args += ["--ro-bind-data", str(machine_id), "/etc/machine-id"]
    args += ["--dev", "/dev", "--size", str(SIZES["/dev/shm"]), "--tmpfs", "/dev/shm", "--remount-ro", "/dev",
             "--proc", "/proc"]
    for path in ("/tmp", "/var/tmp"):
        args += ["--size", str(SIZES[path]), "--tmpfs", path]
    if box:
        args += ["--size", str(SIZES["box"]), "--tmpfs", box]
    for path in writable:
        args += ["--bind"] + (list(path) if isinstance(path, (tuple, list)) else [path, path])
    for path in readable:
        args += ["--ro-bind"] + (list(path) if isinstance(path, (tuple, list)) else [path, path])
    for target, path in links:
        args += ["--symlink", target, path]
    # The sandbox's own root, which holds the mount points, is read-only too:
    # nothing is written but where it is bound to be.
    return args + ["--remount-ro", "/", "--chdir", "/"]


def environment_args(env):
    return sum((["--setenv", k, v] for k, v in dict(ENVIRONMENT, **env).items()), [])


_usable = {}


def reader_prefix(profile, readable, stage, links=(), env=None, writable=()):
    """What runs Chromium reading a medium (readable) for the check, or
    showing a try's page: a sandbox with no network, writing only profile
    (and writable), in a keyring of its own and with the system call
    filter, which a shell hands bwrap from a file of stage's."""
    program = os.path.join(stage, "seccomp.bpf")
    with open(program, "wb") as f:
        f.write(seccomp.program())
    return (["sh", "-c", 'exec "$@" 9<"$0"', program] + arguments([profile] + list(writable), readable, links=links,
                                                                    filtered=9)
            + environment_args(dict({"HOME": profile}, **(env or {}))) + ["--"])


def usable():
    """None where a sandbox can be made here, else bwrap's reason."""
    if "why" not in _usable:
        try:
            result = subprocess.run(arguments() + ["true"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE, timeout=30, env={})
            _usable["why"] = None if result.returncode == 0 else (last_lines(result.stderr) or "it failed")
        except FileNotFoundError:
            _usable["why"] = "bwrap is not installed"
    return _usable["why"]


def require():
    """Refuses, saying what to change, where no sandbox can be made."""
    why = usable()
    if why:
        raise Refusal("cannot make the sandbox that keeps the disc's programs from your files and the network "
                      "(%s): install bubblewrap and allow user namespaces (sysctl kernel.unprivileged_userns_clone=1 "
                      "and user.max_user_namespaces above 0), or give --no-sandbox to try it unprotected" % why,
                      "no-sandbox")


def entry(module, call, *args, lib=LIB):
    """The command line that runs call (a line of Python that reads its
    arguments from sys.argv) with the tools' module imported (from lib,
    where the tools are shown elsewhere), args after it: the system's
    Python, isolated from the user's own settings."""
    return [PYTHON, "-I", "-c", "import sys; sys.path.insert(0, %r); from quenlo_disc import %s; %s"
            % (lib, module, call)] + list(args)


if __name__ == "__main__":  # whether a sandbox can be made here, for a script's skip
    import sys
    print(usable() or "a sandbox can be made here", file=sys.stderr)
