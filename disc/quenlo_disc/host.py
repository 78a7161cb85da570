"""What this machine prepares once for every try of this user: how 32-bit
programs run, the Wine prefixes, and the locales of PCs of other code pages,
all in the user's cache."""
import os
import subprocess
import tempfile

from . import LIB, Unavailable, sandbox
from .boxfiles import remove_tree
from .codepages import CODE_PAGES, described, locale_name
from .tools import last_lines, said

WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
BINFMT = "/proc/sys/fs/binfmt_misc"
# Debian's Wine has no preloader, so its 32-bit side reserves everything the
# guest has above the shared user data page (0x7ffe0000) itself, 64 KiB per
# mmap call, each slow under emulation. Ending the guest's address space 16 MiB
# above that page leaves a few hundred calls: a run takes seconds, not 80 to
# 90 s (0xf7000000). Without a reserve the page cannot be mapped at all, and
# 0x80000000 is too small for Wine to start.
QEMU_RESERVED_VA = "0x81000000"
# A 64-bit session needs nothing of Wine's 32-bit side. Where qemu is
# registered for i386 programs (as the package does for good), making a
# prefix would run that side under emulation too: a minute instead of
# seconds. A reserve too small for any program makes each such start fail at
# once, as on a machine without emulation.
QEMU_NO_32BIT = "0x1000"
# What making a prefix takes here, for the first run's word on it.
PREPARING = {"x86_64": "about 10 s", "i686": "about 30 s, under emulation"}


def cache():
    home = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(home, "quenlo-disc")


# ---------------------------------------------------------------- locales

def locale_home():
    return os.path.join(cache(), "locales")


def compiled(code_page):
    """True when the locale of code_page's PCs is ready for Wine."""
    return os.path.isdir(os.path.join(locale_home(), locale_name(code_page)))


def environment(code_page):
    """The environment under which Wine gives a program code_page, with its
    locale compiled first (glibc's LOCPATH: no root needed) where it is not
    yet; Unavailable where it cannot be."""
    name = locale_name(code_page)
    home = locale_home()
    if not compiled(code_page):
        os.makedirs(home, exist_ok=True)
        result = subprocess.run(["localedef", "-i", CODE_PAGES[code_page][1], "-f", "UTF-8", os.path.join(home, name)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if not os.path.isdir(os.path.join(home, name)):
            said = last_lines(result.stderr)
            raise Unavailable("cannot make the locale %s for a PC of %s%s: install Debian's package locales"
                              % (name, described(code_page), " (%s)" % said if said else ""))
    return {"LANG": name, "LC_ALL": name, "LOCPATH": home}


# ---------------------------------------------------------------- emulation

def register_command():
    """What root runs to let every user's Wine run 32-bit programs."""
    return "sh %s" % os.path.join(LIB, "register-i386")


def i386_entry():
    """The name of an enabled binfmt_misc entry that hands i386 programs to
    qemu, or None."""
    try:
        names = os.listdir(BINFMT)
    except OSError:
        return None
    for name in sorted(set(names) - {"register", "status"}):
        try:
            with open(os.path.join(BINFMT, name)) as f:
                lines = f.read().splitlines()
        except OSError:
            continue
        interpreter = next((line.split(None, 1)[1] for line in lines if line.startswith("interpreter ")), "")
        if lines[:1] == ["enabled"] and os.path.basename(interpreter).startswith("qemu-i386"):
            return name
    return None


def enable_i386_emulation():
    """Makes sure 32-bit Wine can run; True when this call registered qemu
    (only root can, and then removes it again at the end of the session)."""
    if not os.path.exists(WINE32) or not os.path.exists("/usr/bin/qemu-i386"):
        raise Unavailable("Wine's 32-bit side or qemu-i386 is not installed: as root, run dpkg --add-architecture "
                          "i386 && apt-get update && apt-get install wine32:i386 qemu-user")
    if i386_entry():
        return False
    if os.geteuid() != 0:
        raise Unavailable("no binfmt_misc entry hands 32-bit programs to qemu: as root, run %s" % register_command())
    if subprocess.run(["sh", os.path.join(LIB, "register-i386")], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL).returncode != 0 or not i386_entry():
        raise Unavailable("binfmt_misc cannot be set up here, so 32-bit Wine cannot run under qemu")
    return True


def disable_i386_emulation():
    subprocess.run(["sh", os.path.join(LIB, "register-i386"), "--remove"], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def qemu_reserve(arch):
    return QEMU_RESERVED_VA if arch == "i686" else QEMU_NO_32BIT


# ---------------------------------------------------------------- prepared prefix

def wine_version():
    result = subprocess.run([WINE64, "--version"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return result.stdout.decode(errors="replace").strip() or "unknown"


def prefix_home():
    return os.path.join(cache(), "prefixes")


def prepared(arch, sandboxed=True, say=print):
    """The prefix prepared for sessions of arch with the Wine installed now,
    made where there is none yet (in a sandbox of its own: making it runs
    Wine's own programs, nothing of a disc's). Sessions only read it."""
    name = "%s-%s" % (arch, "".join(c if c.isalnum() or c in ".-" else "_" for c in wine_version()))
    ready = os.path.join(prefix_home(), name)
    if os.path.isfile(os.path.join(ready, "system.reg")):
        return ready
    say("Preparing a Wine prefix for %s discs, once (%s); later tries reuse it: %s"
        % ("32-bit" if arch == "i686" else "64-bit", PREPARING[arch], ready))
    os.makedirs(prefix_home(), exist_ok=True)
    making = tempfile.mkdtemp(dir=prefix_home(), prefix=".making-")
    try:
        prefix, home = os.path.join(making, "prefix"), os.path.join(making, "home")
        os.makedirs(home)
        env = {"HOME": home, "WINEPREFIX": prefix, "WINEDEBUG": "-all", "QEMU_RESERVED_VA": qemu_reserve(arch)}
        # The server saves the registry as it ends, which -w waits for.
        command = ["sh", "-c", '"$0" wineboot -i >/dev/null 2>&1; wineserver -w', WINE64]
        if sandboxed:
            status, _, err = sandbox.run(command, writable=[making], env=env, timeout=900)
        else:
            result = subprocess.run(command, env=dict(sandbox.ENVIRONMENT, **env), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=900)
            status, err = result.returncode, result.stderr.decode(errors="replace")
        if status != 0 or not os.path.isfile(os.path.join(prefix, "system.reg")):
            raise Unavailable("Wine could not make a prefix (wineboot ended with status %s%s): check that Wine runs for "
                              "you, as WINEPREFIX=$(mktemp -d) %s wineboot -i" % (status, said(err, 3), WINE64))
        try:
            os.rename(prefix, ready)
        except OSError:  # another try made it meanwhile
            if not os.path.isfile(os.path.join(ready, "system.reg")):
                raise
    finally:
        remove_tree(making)
    return ready
