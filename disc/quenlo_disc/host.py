"""What this machine prepares once for every try of this user: how 32-bit
programs run, the Wine prefixes, and the locales of PCs of other code pages,
all in the user's cache."""
import enum
import os
import struct
import subprocess
import tempfile

from . import Unavailable, sandbox
from .walls import QEMU
from .boxfiles import read, remove_tree, write_atomically
from .codepages import CODE_PAGES, described, locale_name
from .tools import cache, in_words, last_lines, said

WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
BINFMT = "/proc/sys/fs/binfmt_misc"
# Debian's Wine has no preloader, so under qemu its 32-bit side reserves
# everything the guest has above the shared user data page (0x7ffe0000)
# itself, 64 KiB per mmap call, each slow under emulation. Ending the guest's
# address space 16 MiB above that page leaves a few hundred calls: a run
# takes seconds, not 80 to 90 s (0xf7000000). Without a reserve the page
# cannot be mapped at all, and 0x80000000 is too small for Wine to start.
QEMU_RESERVED_VA = "0x81000000"


class Emulation(enum.Enum):
    """How a session runs 32-bit programs: it cannot (Wine's 32-bit side
    is missing, or nothing runs i386 programs here), natively, under qemu
    through an entry of this machine's binfmt_misc, or under qemu
    registered in the sandbox's own."""
    NONE = "none"
    NATIVE = "native"
    MACHINE = "machine-qemu"
    SANDBOX = "sandbox-qemu"

    @property
    def emulated(self):
        return self in (Emulation.MACHINE, Emulation.SANDBOX)


def i386_probe():
    """The smallest i386 program: an ELF header, one segment, and exit(0) by
    int 0x80."""
    code, base, header, segment = b"\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80", 0x08048000, 52, 32
    size = header + segment + len(code)
    return (b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + header + segment, header,
                                                         0, 0, header, segment, 1, 0, 0, 0)
            + struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000) + code)


def made_cache():
    """The cache, made where it is not yet: a user without a home of their
    own (a service's account) is told where else it may lie."""
    folder = cache()
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise Unavailable("cannot make the tools' cache at %s (%s): set XDG_CACHE_HOME to a folder you can write, "
                          'e.g. XDG_CACHE_HOME="$PWD/cache"' % (folder, error.strerror or error))
    return folder


# ---------------------------------------------------------------- locales

def winpath(path):
    """path as Wine's Z: drive, the whole of the file system it sees, names it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


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


# ---------------------------------------------------------------- 32-bit programs

def i386_entry():
    """The name of an enabled binfmt_misc entry of this machine's that hands
    every i386 program to qemu, or None."""
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


def runs_i386():
    """True when the kernel runs an i386 program (of its own, or through an
    entry of binfmt_misc)."""
    probe = os.path.join(cache(), "i386-probe")
    if not os.path.isfile(probe):
        os.makedirs(cache(), exist_ok=True)
        write_atomically(probe, i386_probe(), 0o755)
    try:
        return subprocess.run([probe], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=30).returncode == 0
    except OSError:
        return False


def kernel_at_least(major, minor):
    release = os.uname().release.split("-")[0].split(".")
    try:
        return (int(release[0]), int(release[1])) >= (major, minor)
    except (IndexError, ValueError):
        return False


def thirty_two_bits(sandboxed=True):
    """How this machine runs a 32-bit disc's programs: (Emulation.NATIVE,
    None); (Emulation.MACHINE, the binfmt_misc entry that has every i386
    program run so); or (Emulation.SANDBOX, None), registered in a
    binfmt_misc of the sandbox's own, which needs no root and changes
    nothing outside. QUENLO_DISC_EMULATE=1 has a kernel that runs them
    natively emulate them all the same (so that the tests try that path on
    every kernel). Unavailable, naming what is missing, where none of these
    can be."""
    if not os.path.exists(WINE32):
        raise Unavailable("Wine's 32-bit side (wine32:i386) is not installed: as root, run dpkg --add-architecture "
                          "i386 && apt-get update && apt-get install wine32:i386")
    entry = i386_entry()
    if entry:
        return Emulation.MACHINE, entry
    if os.environ.get("QUENLO_DISC_EMULATE") != "1" and runs_i386():
        return Emulation.NATIVE, None
    if not os.path.exists(QEMU):
        raise Unavailable("this machine's kernel runs no 32-bit programs, and qemu-i386 is not installed to "
                          "emulate them: as root, run apt-get install qemu-user")
    if not sandboxed or not kernel_at_least(6, 7):
        raise Unavailable("this machine's kernel runs no 32-bit programs, and only a sandbox on Linux 6.7 or later "
                          "can have qemu run them without root%s: try the disc's 64-bit build (make --exe), or on "
                          "a machine with a newer kernel" % ("" if sandboxed else " (this try has none)"))
    return Emulation.SANDBOX, None


# ---------------------------------------------------------------- prepared prefix

def wine_version():
    result = subprocess.run([WINE64, "--version"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return result.stdout.decode(errors="replace").strip() or "unknown"


def prefix_home():
    return os.path.join(cache(), "prefixes")


def size_of(folder):
    """The bytes the files below folder take on the disk, links not followed."""
    total = 0
    for top, dirs, files in os.walk(folder):
        for name in dirs + files:
            try:
                total += os.lstat(os.path.join(top, name)).st_blocks * 512
            except OSError:
                pass
    return total


def prefix_name(emulation):
    """The prepared prefix's name: the Wine it is of, and "-64" where no
    32-bit program could run as it was made, so that it lacks Wine's 32-bit
    half."""
    version = "".join(c if c.isalnum() or c in ".-" else "_" for c in wine_version())
    return version + ("-64" if emulation is Emulation.NONE else "")


def prepared(emulation=Emulation.NONE, sandboxed=True, say=print):
    """The prefix prepared for sessions with the Wine installed now, made
    where there is none yet, in a sandbox of its own: making it runs Wine's
    own programs, nothing of a disc's. Its name says what it was made with:
    one made while no 32-bit program could run lacks Wine's 32-bit half,
    and is never taken for one that has it. Sessions only read it.
    Prefixes of Wine versions no longer installed go when a new one is made."""
    name = prefix_name(emulation)
    ready = os.path.join(prefix_home(), name)
    if os.path.isfile(os.path.join(ready, "system.reg")):
        return ready
    say("Preparing a Wine prefix, once (about %s); later tries reuse it: %s"
        % ("a minute, under emulation" if emulation.emulated else "20 s", ready))
    os.makedirs(prefix_home(), exist_ok=True)
    making = tempfile.mkdtemp(dir=prefix_home(), prefix=".making-")
    try:
        prefix, home = os.path.join(making, "prefix"), os.path.join(making, "home")
        env = {"HOME": home, "WINEPREFIX": prefix, "WINEDEBUG": "-all"}
        if emulation.emulated:
            env["QEMU_RESERVED_VA"] = QEMU_RESERVED_VA
        # The server saves the registry as it ends, which -w waits for;
        # what wineboot said goes to a file (Wine's services would hold a pipe open).
        command = ["sh", "-c", 'mkdir -p "$HOME" && "$0" wineboot -i >/dev/null 2>"$1/wineboot.err"; made=$?; '
                               'wineserver -w; exit $made', WINE64, making]
        if sandboxed:
            status, _, err = sandbox.run(command, writable=[making], env=env, timeout=900,
                                         emulate=emulation is Emulation.SANDBOX)
        else:
            status, _, err = sandbox.plain(command, env=env, timeout=900)
        if status != 0 or not os.path.isfile(os.path.join(prefix, "system.reg")):
            words = said(read(os.path.join(making, "wineboot.err")) + err, 3)
            raise Unavailable("Wine could not make a prefix (wineboot ended with status %s%s): check that Wine runs for "
                              "you, as WINEPREFIX=$(mktemp -d) %s wineboot -i" % (status, words, WINE64))
        try:
            os.rename(prefix, ready)
        except OSError:  # another try made it meanwhile
            if not os.path.isfile(os.path.join(ready, "system.reg")):
                raise
    finally:
        remove_tree(making)
    for stale in sorted(os.listdir(prefix_home())):
        if stale not in (prefix_name(Emulation.NATIVE), prefix_name(Emulation.NONE)) and not stale.startswith("."):
            gone = size_of(os.path.join(prefix_home(), stale))
            remove_tree(os.path.join(prefix_home(), stale))
            say("Removed the prefix of a Wine no longer installed (%s): %s" % (in_words(gone), stale))
    say("The cache %s now holds %s; quenlo-disc try --clear-cache removes it" % (cache(), in_words(size_of(cache()))))
    return ready


def clear_cache():
    """Removes the cache (prefixes, locales, and the rest); what it freed."""
    freed = size_of(cache())
    remove_tree(cache())
    return freed


def emulation_for(arch, sandboxed=True):
    """How a session of arch runs 32-bit programs, and binfmt_misc's entry
    where the machine's qemu does: for a 64-bit disc, only where Wine's
    32-bit side is installed (else Emulation.NONE, and its prefix lacks that
    half); Unavailable where an i686 disc's exe cannot run here."""
    try:
        if arch == "i686" or os.path.exists(WINE32):
            return thirty_two_bits(sandboxed)
    except Unavailable:
        if arch == "i686":
            raise
    return Emulation.NONE, None


def ready_for(emulation, code_pages, sandboxed=True, say=print):
    """What a session that runs 32-bit programs so (emulation) on PCs of
    code_pages needs, made where it is not yet: its locales and its
    prepared prefix."""
    missing = [cp for cp in code_pages if not compiled(cp)]
    if missing:
        say("Compiling the locales of PCs using %s, once (about 2 s each): %s"
            % (", ".join(map(str, missing)), locale_home()))
    for code_page in code_pages:
        environment(code_page)
    return prepared(emulation, sandboxed, say)
