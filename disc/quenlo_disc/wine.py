"""A private Wine session in which a Quenlo exe runs as on a user's PC.

A Session owns all of it: a namespace sandbox (sandbox.py) with a prefix of
its own, copied from one prepared once per user and bitness, a virtual
display with a window manager, one persistent wineserver, qemu for a 32-bit
exe, a disc image's content presented read-only as the CD drive D:, a
browser behind Wine's browser bridge, and the driver (driver.cpp beside this
package), which runs one command line exactly as given and reads the
message boxes it shows. Used as a context manager, it undoes everything on
the way out; saved to a file, the end-to-end cases share one.

Whatever runs in the sandbox may write in the session's box and nowhere
else, so the tools treat what they find there as hostile: they read it
without following links and create files there only where nothing is yet.
Nothing here needs root once qemu's binfmt_misc entry exists.
"""
import json
import os
import shutil
import stat
import struct
import subprocess
import tempfile
import time

from . import LIB, sandbox
from .codepages import compiled, environment, locale_home

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
LARGEST_READ = 64 << 20


class Unavailable(Exception):
    """This machine cannot do it; the text says why."""


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def machine(exe):
    """"i686" or "x86_64" for a Windows exe, else None."""
    try:
        with open(exe, "rb") as f:
            head = f.read(4096)
        pe = struct.unpack_from("<I", head, 60)[0]
        if head[:2] != b"MZ" or head[pe:pe + 4] != b"PE\0\0":
            return None
        return {0x14C: "i686", 0x8664: "x86_64"}.get(struct.unpack_from("<H", head, pe + 4)[0])
    except (OSError, struct.error):
        return None


def read(path, encoding="latin-1", limit=LARGEST_READ):
    """The text of a file the sandbox may have written (its bytes, with
    encoding None): empty for anything but a plain file (a link, a pipe that
    would never end), at most limit bytes."""
    data = b""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        fd = None
    if fd is not None:
        with os.fdopen(fd, "rb") as f:
            if stat.S_ISREG(os.fstat(fd).st_mode):
                data = f.read(limit)
    return data if encoding is None else data.decode(encoding, errors="replace")


def create(path, data=b"", mode=0o644):
    """A new file in the sandbox's reach, never one that something there put
    in its place (a link would lead the write anywhere)."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, mode)
    with os.fdopen(fd, "wb") as f:
        f.write(data.encode("utf-8") if isinstance(data, str) else data)


def copy_out(made, path):
    """The PNG that the sandbox made, copied to path outside it; False when
    there is none."""
    data = read(made, None)
    if not data.startswith(b"\x89PNG"):
        return False
    with open(path, "wb") as f:
        f.write(data)
    return True


def remove_tree(folder):
    """Removes a folder that was made read-only in part, links not followed."""
    subprocess.run(["chmod", "-R", "u+w", folder], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shutil.rmtree(folder, ignore_errors=True)


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
    return os.path.join(os.path.dirname(locale_home()), "prefixes")


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
            status, err = sandbox.run(command, writable=[making], env=env)
        else:
            result = subprocess.run(command, env=dict(sandbox.ENVIRONMENT, **env), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=900)
            status, err = result.returncode, result.stderr.decode(errors="replace")
        if status != 0 or not os.path.isfile(os.path.join(prefix, "system.reg")):
            raise RuntimeError("wineboot could not make a prefix: %s" % (err.strip().splitlines() or ["no word"])[-1])
        try:
            os.rename(prefix, ready)
        except OSError:  # another try made it meanwhile
            if not os.path.isfile(os.path.join(ready, "system.reg")):
                raise
    finally:
        remove_tree(making)
    return ready


# ---------------------------------------------------------------- session

# The graphical browser that shows the page on the virtual display: Chromium
# where it is installed, as it draws any script with whatever font has it
# (dillo draws Japanese as empty boxes), else dillo. Its X class, then its
# command before the page's address. Chromium keeps to itself: nothing in the
# background, no translation offered over the page, no use of /dev/shm (which
# older ones cannot do without where it is not writable).
BROWSERS = [("chromium", ["chromium", "--no-sandbox", "--test-type", "--user-data-dir=$0/profile", "--no-first-run",
                          "--disable-background-networking", "--disable-component-update", "--disable-sync",
                          "--disable-default-apps", "--disable-dev-shm-usage", "--disable-gpu", "--disable-breakpad",
                          "--disable-features=Translate,TranslateUI,MediaRouter,OptimizationHints",
                          "--no-default-browser-check", "--password-store=basic", "--window-position=0,0",
                          "--window-size=1024,768"]),
            ("Dillo", ["dillo"])]
# Chromium's own word against offering a translation, in its new profile.
CHROMIUM_PREFERENCES = '{"translate":{"enabled":false},"browser":{"has_seen_welcome_page":true}}'


def browser():
    """(X class, command) of the graphical browser there is, or None."""
    return next((b for b in BROWSERS if shutil.which(b[1][0])), None)


class Report:
    """What the driver saw: boxes (caption, icon, text), exit status, time."""

    def __init__(self, raw):
        self.raw, self.boxes, self.status, self.millis, self.timed_out = raw, [], None, None, False
        for line in raw.splitlines():
            parts = line.split("\t")
            if parts[0] == "box" and len(parts) >= 4:
                self.boxes.append({"caption": parts[1], "icon": parts[2], "text": parts[3].replace("\\n", "\n")})
            elif parts[0] == "exit" and len(parts) >= 3 and parts[1].isdigit() and parts[2].isdigit():
                self.status, self.millis = int(parts[1]), int(parts[2])
            elif parts[0] in ("timeout", "spawn-failed"):
                self.timed_out = True


class Session:
    """A private Wine session: start() makes it real, stop() (or the end of a
    with block) undoes whatever exists of it.

    root holds it all, readable by this user only: ctl (the agent's socket,
    out of the sandbox's sight), box (all the sandbox may write: the
    prefix's own files, its home, each run's files) and discs (the discs'
    content, read-only inside)."""

    FIELDS = ("root", "arch", "driver", "display", "qemu", "emulation", "sandboxed", "agent_pid", "tools",
              "notes")

    def __init__(self, sandboxed=True, detached=False, tools=()):
        self.root = tempfile.mkdtemp(prefix="quenlo-wine-")
        for folder in ("ctl", "box", "discs"):
            os.mkdir(os.path.join(self.root, folder))
        os.mkdir(self.home)
        self.sandboxed, self.detached, self.tools = sandboxed, detached, list(tools)
        self.arch = self.driver = None
        self.display, self.qemu, self.emulation, self.agent_pid = "", QEMU_NO_32BIT, False, None
        self.notes = {}  # what a caller keeps with the session (the end-to-end cases' medium and disc)
        self._agent = None

    box = property(lambda self: os.path.join(self.root, "box"))
    discs = property(lambda self: os.path.join(self.root, "discs"))
    prefix = property(lambda self: os.path.join(self.box, "prefix"))
    home = property(lambda self: os.path.join(self.box, "home"))

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()

    # -------------------------------------------------- kept between processes

    def save(self, path):
        with open(path, "w") as f:
            json.dump({k: getattr(self, k) for k in self.FIELDS}, f)

    @classmethod
    def attach(cls, path):
        """The session saved at path, by a process that did not start it."""
        with open(path) as f:
            fields = json.load(f)
        session = cls.__new__(cls)
        session.__dict__.update(fields, detached=True, _agent=None)
        return session

    @property
    def agent(self):
        if self._agent is None:
            self._agent = sandbox.Agent(os.path.join(self.root, "ctl", "agent.sock"), self.agent_pid)
        return self._agent

    # -------------------------------------------------- start and stop

    def start(self, arch, driver, code_pages=(), say=print):
        """Raises Unavailable where the session's arch cannot run here. The
        locales of code_pages are made ready for its runs."""
        self.arch, self.driver, self.qemu = arch, driver, qemu_reserve(arch)
        if arch == "i686":
            self.emulation = enable_i386_emulation()
        missing = [cp for cp in code_pages if not compiled(cp)]
        if missing:
            say("Compiling the locales of PCs using %s, once (about 2 s each): %s"
                % (", ".join(map(str, missing)), locale_home()))
        for code_page in code_pages:
            environment(code_page)
        ready = prepared(arch, self.sandboxed, say)
        # The prefix's own files are copied; its Windows folder, 0.7 GB of
        # DLLs, is shown read-only in the sandbox, where nothing can change
        # the prepared one. Without a sandbox there is nothing to show it
        # with, and it is copied too.
        shutil.copytree(ready, self.prefix, symlinks=True,
                        ignore=lambda folder, names: ["windows"] if self.sandboxed and folder == os.path.join(
                            ready, "drive_c") else [])
        writable, readable = [self.box], [self.discs, driver, locale_home()] + self.tools
        if self.sandboxed:
            windows = os.path.join(self.prefix, "drive_c", "windows")
            os.mkdir(windows)
            readable.append((os.path.join(ready, "drive_c", "windows"), windows))
        self._agent = sandbox.start(os.path.join(self.root, "ctl"), writable, readable, self.sandboxed,
                                    self.detached, log=os.path.join(self.root, "ctl", "sandbox.log"))
        self.agent_pid = self._agent.pid
        for n in range(90, 140):
            if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
                break
        self.display = ":%d" % n
        self.agent.spawn(["Xvfb", self.display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"], self.env())
        # Up once it answers.
        if self.run(["sh", "-c", "for i in $(seq 200); do xdotool getdisplaygeometry && exit 0; sleep 0.025; done; "
                                 "exit 1"], timeout=30) != 0:
            raise RuntimeError("the virtual display did not start")
        # A window manager gives windows their title bars, so a picture shows a
        # box's caption as a user sees it.
        twmrc = os.path.join(self.box, "twmrc")
        create(twmrc, 'RandomPlacement\nUsePPosition "on"\nNoGrabServer\n')
        self.agent.spawn(["twm", "-display", self.display, "-f", twmrc], self.env())
        # One server for the whole session: each Wine command then starts in a
        # fraction of a second.
        if self.run(["wineserver", "-p"]) != 0:
            raise RuntimeError("wineserver did not start")
        # Between runs Wine would end its services and desktop, and bring them
        # back for the next one at the cost of a 10 s wait for RpcSs inside
        # the shell's "open" of a page. A program that never ends keeps them:
        # cmd, reading a pipe that nobody writes.
        self.agent.spawn([WINE64, "cmd.exe"], self.env(), stdin="forever")
        self.import_reg(["[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]", '"d:"="cdrom"', ""])

    def stop(self):
        """Undoes all of a session, however far it got."""
        if os.path.exists(os.path.join(self.root, "ctl", "agent.sock")):
            if not self.sandboxed:  # a sandbox's end takes all this with it
                try:
                    self.run(["wineserver", "-k"], timeout=30)
                except (OSError, RuntimeError, ValueError):
                    pass
            self.agent.stop()
        if not self.sandboxed:
            # What left the sessions the agent knows of (Chromium's crash
            # handlers) names the session's folder.
            subprocess.run(["pkill", "-KILL", "-f", self.root], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.emulation:
            disable_i386_emulation()
            self.emulation = False
        remove_tree(self.root)

    # -------------------------------------------------- commands

    def env(self, extra=None):
        """The environment of a command in the session: nothing of the
        user's own, which may hold secrets."""
        env = dict(sandbox.ENVIRONMENT, HOME=self.home, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                   DISPLAY=self.display, QEMU_RESERVED_VA=self.qemu, XDG_CACHE_HOME=os.path.join(self.home, ".cache"))
        env.update(extra or {})
        return env

    def run(self, argv, env=None, timeout=120, out=None, err=None, cwd=None):
        return self.agent.run(argv, self.env(env), cwd=cwd, out=out, err=err, timeout=timeout)

    def loader(self):
        """The Wine loader for the session's exes (the 32-bit one runs under qemu)."""
        return WINE32 if self.arch == "i686" else WINE64

    def wine(self, args, env=None, timeout=120, program=WINE64):
        return self.run([program] + args, env, timeout)

    def folder(self, prefix, discs=False):
        """A new folder of the box, for one run's files; with discs, one that
        the sandbox can only read."""
        return tempfile.mkdtemp(dir=self.discs if discs else self.box, prefix=prefix)

    def import_reg(self, lines):
        folder = self.folder("reg-")
        path, err = os.path.join(folder, "session.reg"), os.path.join(folder, "regedit.err")
        create(path, ("REGEDIT4\n\n" + "\n".join(lines) + "\n").encode("latin-1"))
        # Importing again is harmless, and a second try rides out a rare
        # failure of regedit under a loaded machine.
        for _ in range(2):
            status = self.run([WINE64, "regedit", "/S", winpath(path)], env={"WINEDEBUG": "err+all"}, err=err)
            if status == 0:
                return
        said = read(err).strip().splitlines()
        raise RuntimeError("regedit ended with %s on %s%s" % (status, path, ": " + said[-1] if said else ""))

    # -------------------------------------------------- discs

    def present(self, image):
        """The image's Joliet tree (what Windows shows) in a new folder of
        the session, read-only; returns it. It is extracted by xorriso in a
        sandbox of its own, which reads nothing but the image."""
        if not shutil.which("xorriso"):
            raise Unavailable("xorriso is not installed, so the image cannot be read: install xorriso")
        image = os.path.realpath(image)
        folder = self.folder("disc-", discs=True)
        command = ["xorriso", "-abort_on", "FAILURE", "-osirrox", "on", "-rockridge", "off", "-joliet", "on",
                   "-indev", image, "-extract", "/", folder]
        if self.sandboxed:
            status, err = sandbox.run(command, writable=[folder], readable=[image])
        else:
            result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            status, err = result.returncode, result.stderr.decode(errors="replace")
        if status != 0:
            last = err.strip().splitlines()
            raise Unavailable("xorriso could not read %s%s" % (image, ": " + last[-1] if last else ""))
        for top, dirs, files in os.walk(folder):
            for name in files:
                os.chmod(os.path.join(top, name), 0o444)
            os.chmod(top, 0o555)
        return folder

    def map_cdrom(self, folder):
        """Drive D: is folder, with the type of a CD-ROM drive (the start
        gave it that type)."""
        link = os.path.join(self.prefix, "dosdevices", "d:")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(folder, link)

    def remove_html_association(self):
        """A PC on which no browser is registered for ".htm"."""
        self.import_reg(["[-HKEY_CLASSES_ROOT\\.htm]", "", "[-HKEY_CURRENT_USER\\Software\\Classes\\.htm]", "",
                         "[-HKEY_LOCAL_MACHINE\\Software\\Classes\\.htm]", ""])

    # -------------------------------------------------- the browser

    def use_browser(self, shown_from=None):
        """Wine's browser bridge (winebrowser, the ".htm" handler of a new
        prefix) hands pages to a script in a new folder, which it returns:
        the script renders the page as text with w3m, notes what it got and
        w3m's status (page.txt), and shows it in the graphical browser on the
        virtual display, from shown_from where given (a folder that reads
        like D:, names as Windows matches them) instead of D: itself. The
        browser's pid, its end and what it said go to browser.pid,
        browser.status and browser.err."""
        folder = self.folder("browser-")
        shown = browser()
        drive = os.path.join(self.prefix, "dosdevices", "d:") + "/"
        script = ["#!/bin/sh",
                  # w3m reads no <meta charset>: the encoding a browser finds
                  # for the page, where the caller put it in charset.
                  'charset=$(cat "%(d)s/charset" 2>/dev/null)',
                  'w3m -dump -cols 78 -O UTF-8 ${charset:+-I "$charset"} "$1" >"%(d)s/rendered.txt" 2>&1',
                  # What it was handed and how the rendering went, once it is done.
                  'printf "%%s\\n%%s\\n" "$1" "$?" >"%(d)s/page.part" && mv "%(d)s/page.part" "%(d)s/page.txt"']
        if shown:
            script += ['page="$1"']
            if shown_from:
                script += ['case "$page" in *"%(drive)s"*) page="file://%(from)s/${page#*%(drive)s}" ;; esac']
            if shown[0] == "chromium":
                os.makedirs(os.path.join(folder, "profile", "Default"))
                create(os.path.join(folder, "profile", "Default", "Preferences"), CHROMIUM_PREFERENCES)
            # A session of its own, so that its helpers go with it.
            script += ['(setsid sh -c \'echo $$ >"$0/browser.pid"; exec %s "$1"\' "%%(d)s" "$page" </dev/null '
                       '>/dev/null 2>"%%(d)s/browser.err"; echo $? >"%%(d)s/browser.status") &' % " ".join(shown[1])]
        create(os.path.join(folder, "browser.sh"), "\n".join(script) % {"d": folder, "drive": drive,
                                                                       "from": shown_from} + "\n", 0o755)
        self.import_reg(["[HKEY_CURRENT_USER\\Software\\Wine\\WineBrowser]",
                         '"Browsers"="%s"' % os.path.join(folder, "browser.sh"), ""])
        return folder

    def stop_browser(self, folder):
        """Ends the browser that the script in folder started, helpers and all."""
        self.run(["sh", "-c", 'pid=$(cat "$0/browser.pid" 2>/dev/null) && kill -KILL -"$pid"; '
                              'pkill -KILL -f "$0"; exit 0', folder], timeout=30)

    def browser_window(self, folder, seconds):
        """(True, "") once a window of the browser that the script in folder
        started is on the display; else (False, why not): it ended first
        (with the last thing it said), or none came in that time."""
        shown = browser()
        if not shown:
            return False, "no graphical browser is installed (install chromium)"
        deadline = time.time() + seconds
        while time.time() < deadline:
            if self.run(["xdotool", "search", "--onlyvisible", "--class", shown[0]], timeout=30) == 0:
                return True, ""
            status = read(os.path.join(folder, "browser.status")).strip()
            if status:
                said = [line for line in read(os.path.join(folder, "browser.err")).splitlines() if line.strip()]
                return False, "the browser's window did not appear: %s ended with status %s%s" % (
                    shown[1][0], status, " (%s)" % said[-1].strip()[:200] if said else "")
            time.sleep(0.1)
        return False, "the browser's window did not appear within %d s" % seconds

    # -------------------------------------------------- pictures

    def picture(self, path):
        """A PNG of the whole virtual screen at path (outside the session):
        taken in the sandbox, copied out. True when there is one."""
        taken = os.path.join(self.folder("shot-"), "screen.png")
        if self.run(["import", "-display", self.display, "-window", "root", taken], timeout=60) != 0:
            return False
        return copy_out(taken, path)

    def drawn(self, region="1024x640+0+128"):
        """True when that region of the screen (what a browser window at the
        top left shows below its bars) is not of one colour alone."""
        folder = self.folder("drawn-")
        self.run(["sh", "-c", 'import -display "$0" -window root -crop "$1" +repage -format "%k" info: >"$2"',
                  self.display, region, os.path.join(folder, "colours")], timeout=60)
        colours = read(os.path.join(folder, "colours")).strip()
        return colours.isdigit() and int(colours) > 1

    def contact_sheet(self, cells, sheet):
        """A contact sheet at sheet of (label, picture or None) cells, three a
        row: made in the sandbox, which took the pictures."""
        folder = self.folder("sheet-")
        command = ["montage", "-background", "#e8e8e8", "-fill", "black", "-pointsize", "13"]
        for n, (label, shot) in enumerate(cells):
            copy = None
            if shot and os.path.exists(shot):
                copy = os.path.join(folder, "%d.png" % n)
                with open(shot, "rb") as f:
                    create(copy, f.read())
            command += ["-label", label, copy or "xc:white"]
        made = os.path.join(folder, "sheet.png")
        self.run(command + ["-tile", "3x", "-geometry", "320x240+6+6", made], timeout=120)
        return copy_out(made, sheet)

    # -------------------------------------------------- one run

    def drive(self, command, directory, env=None, on_box=None, trace=None):
        """Runs `command` (a Windows command line) in `directory` (a Windows
        path) through the driver, and returns its Report. on_box(box) is
        called while each box is still on the screen. With trace, Wine's
        process trace goes to that file (in the box)."""
        timeout = 60000 if self.arch == "i686" else 20000  # emulation is slow to start a process
        folder = self.folder("run-")
        report, hold = os.path.join(folder, "driver.txt"), os.path.join(folder, "hold")
        env = dict(env or {}, QUENLO_E2E_COMMAND=command, QUENLO_E2E_DIR=directory, QUENLO_E2E_OUT=winpath(report),
                   QUENLO_E2E_TIMEOUT=str(timeout))
        if on_box:
            env["QUENLO_E2E_HOLD"] = winpath(hold)
        if trace:
            env["WINEDEBUG"] = "+process"
        pid = self.agent.spawn([WINE64, self.driver], self.env(env), err=trace)
        seen = 0
        deadline = time.time() + timeout / 1000 + 120
        while self.agent.alive(pid) and time.time() < deadline:
            boxes = Report(read(report)).boxes
            if on_box and len(boxes) > seen:
                on_box(boxes[seen])
                seen += 1
                try:
                    create(hold)
                except OSError:
                    pass
            time.sleep(0.05)
        # Only a driver that overran: what Quenlo started shares its process
        # group, and must go on after Quenlo's end as on a PC.
        if self.agent.alive(pid):
            self.agent.kill(pid)
        return Report(read(report) or "(no report)")


# ---------------------------------------------------------------- what ran

def wide(text):
    """A wide string as Wine's traces write it (debugstr_w: \\\\, \\", \\n,
    \\r, \\t, and \\XXXX for every other code unit beyond printable ASCII),
    in letters again."""
    out, i = [], 0
    simple = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "t": "\t"}
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            if nxt in simple:
                out.append(simple[nxt])
                i += 2
                continue
            code = text[i + 1:i + 5]
            if len(code) == 4 and all(h in "0123456789abcdefABCDEF" for h in code):
                out.append(chr(int(code, 16)))
                i += 5
                continue
        out.append(c)
        i += 1
    # Pairs of UTF-16 code units into the letters they make.
    return "".join(out).encode("utf-16-le", "surrogatepass").decode("utf-16-le", "replace")


def started_by(trace):
    """The last command line that a process other than the driver started,
    from Wine's +process trace: what Quenlo, or the shell inside it, started."""
    driver, pending, started = None, {}, ""
    for line in read(trace).splitlines():
        if "trace:process:CreateProcessInternalW" not in line:
            continue
        thread = line.split(":", 1)[0]
        driver = driver or thread
        if 'cmdline L"' in line:
            pending[thread] = line.split('cmdline L"', 1)[1]
        elif "started process" in line and thread != driver:
            started = pending.get(thread, "")
    return wide(started.rsplit('"', 1)[0])


def joliet_label(path):
    """The volume label Windows shows for an ISO 9660 image with a Joliet
    tree ("" when it has none), or None for any other file."""
    try:
        with open(path, "rb") as f:
            for sector in range(16, 64):
                f.seek(sector * 2048)
                descriptor = f.read(2048)
                if len(descriptor) < 2048 or descriptor[1:6] != b"CD001" or descriptor[0] == 255:
                    return None
                if descriptor[0] == 2 and descriptor[88:91] in (b"%/@", b"%/C", b"%/E"):
                    return descriptor[40:72].decode("utf-16-be", errors="replace").rstrip(" \0")
    except OSError:
        pass
    return None
