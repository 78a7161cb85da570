"""A private Wine session in which a Quenlo exe runs as on a user's PC.

A prefix of its own, a virtual display, one persistent wineserver, qemu for a
32-bit exe, a disc image's content presented read-only as the CD drive D:, a
browser behind Wine's browser bridge, and the driver (driver.cpp beside this
package), which runs one command line exactly as given and reads the message
boxes it shows. The state is a plain dict, so a test runner can keep it in a
file between cases. Used by the disc preflight and the end-to-end cases.
Nothing here needs root once qemu's binfmt_misc entry exists.
"""
import json
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import time

from . import LIB

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


# ---------------------------------------------------------------- session

def loader(state):
    """The Wine loader for the session's exes (the 32-bit one runs under qemu)."""
    return WINE32 if state["arch"] == "i686" else WINE64


def wine_env(state, env=None):
    """The environment of a Wine command in the session."""
    full = dict(os.environ, WINEPREFIX=state["prefix"], WINEDEBUG="-all", DISPLAY=state.get("display", ""),
                **state.get("env", {}))
    full.update(env or {})
    return full


def run_wine(state, args, env=None, timeout=120, program=WINE64):
    full = wine_env(state, env)
    # Never a pipe: Wine's services inherit it and would hold the reader.
    return subprocess.run([program] + args, env=full, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout).returncode


def import_reg(state, lines):
    path = os.path.join(state["work"], "session.reg")
    with open(path, "w", encoding="latin-1") as f:
        f.write("REGEDIT4\n\n" + "\n".join(lines) + "\n")
    if run_wine(state, ["regedit", "/S", winpath(path)]) != 0:
        raise RuntimeError("regedit failed on " + path)


def save(state, path):
    with open(path, "w") as f:
        json.dump(state, f)


def session(arch, driver, **extra):
    """The state of a session for exes of `arch`, run by `driver` (built for
    the same); start() makes it real, stop() undoes whatever exists of it."""
    work = tempfile.mkdtemp(prefix="quenlo-wine-")
    return dict(extra, work=work, prefix=os.path.join(work, "prefix"), arch=arch, driver=driver, xvfb=None,
                wm=None, display="", emulation=False, env={}, mounts=[])


def start(state):
    """Raises Unavailable where the session's arch cannot run here."""
    if state["arch"] == "i686":
        state["emulation"] = enable_i386_emulation()
        state["env"] = {"QEMU_RESERVED_VA": QEMU_RESERVED_VA}
    else:
        state["env"] = {"QEMU_RESERVED_VA": QEMU_NO_32BIT}
    for n in range(90, 140):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            break
    xvfb = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    state["xvfb"], state["display"] = xvfb.pid, ":%d" % n
    for _ in range(100):
        if os.path.exists("/tmp/.X11-unix/X%d" % n):
            break
        time.sleep(0.05)
    # A window manager gives windows their title bars, so a picture shows a
    # box's caption as a user sees it.
    twmrc = os.path.join(state["work"], "twmrc")
    with open(twmrc, "w") as f:
        f.write('RandomPlacement\nUsePPosition "on"\nNoGrabServer\n')
    if shutil.which("twm"):
        state["wm"] = subprocess.Popen(["twm", "-display", state["display"], "-f", twmrc], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, start_new_session=True).pid
    # One server for the whole session: each Wine command then starts in a
    # fraction of a second. It needs the prefix folder to exist already.
    os.makedirs(state["prefix"])
    subprocess.run(["wineserver", "-p"], env=wine_env(state),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    if run_wine(state, ["wineboot", "-i"], timeout=600) != 0:
        raise RuntimeError("wineboot failed")
    # Between runs Wine would end its services and desktop, and bring them back
    # for the next one at the cost of a 10 s wait for RpcSs inside the shell's
    # "open" of a page. A program that never ends keeps them: cmd, reading a
    # pipe that nobody writes.
    keep = os.path.join(state["work"], "keep")
    os.mkfifo(keep)
    reader = os.open(keep, os.O_RDWR)
    subprocess.Popen([WINE64, "cmd.exe"], stdin=reader, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                     env=wine_env(state), start_new_session=True)
    os.close(reader)


def kill(pid, group=False):
    try:
        (os.killpg if group else os.kill)(pid, signal.SIGTERM)
    except (ProcessLookupError, PermissionError):
        pass


def stop(state):
    """Undoes all of a session, however far it got."""
    subprocess.run(["wineserver", "-k"], env=wine_env(state), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for folder in state.get("browsers", []):
        stop_browser(folder)
    withdraw(state)
    for pid in (state.get("wm"), state.get("xvfb")):
        if pid:
            kill(pid, group=True)
    if state.get("emulation"):
        disable_i386_emulation()
    subprocess.run(["chmod", "-R", "u+w", state["work"]], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shutil.rmtree(state["work"], ignore_errors=True)


# ---------------------------------------------------------------- discs

def can_mount():
    """True where this user can mount an image read-only through FUSE."""
    return os.access("/dev/fuse", os.R_OK | os.W_OK) and bool(shutil.which("fuseiso") and shutil.which("fusermount"))


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


def present(state, image):
    """The image's own content, read-only, in a new folder of the session;
    returns it. Mounted through FUSE where this user may; elsewhere its Joliet
    tree, which is what Windows shows, is extracted and made read-only."""
    folder = tempfile.mkdtemp(dir=state["work"], prefix="disc-")
    # /dev/fuse may be open to this user while mounting still fails (no
    # setuid fusermount): a mount counts once its root can be read.
    if can_mount() and subprocess.run(["fuseiso", os.path.abspath(image), folder], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL).returncode == 0:
        try:
            os.listdir(folder)
            state["mounts"].append(folder)
            return folder
        except OSError:
            unmount(folder)
    if not shutil.which("xorriso"):
        raise Unavailable("xorriso is not installed, so the image cannot be read: install xorriso")
    result = subprocess.run(["xorriso", "-abort_on", "FAILURE", "-osirrox", "on", "-rockridge", "off", "-joliet",
                             "on", "-indev", os.path.abspath(image), "-extract", "/", folder],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    state.setdefault("extracted", []).append(folder)
    if result.returncode != 0:
        last = result.stderr.decode(errors="replace").strip().splitlines()
        raise Unavailable("xorriso could not read %s%s" % (image, ": " + last[-1] if last else ""))
    for top, dirs, files in os.walk(folder):
        for name in files:
            os.chmod(os.path.join(top, name), 0o444)
        os.chmod(top, 0o555)
    return folder


def withdraw(state, folder=None):
    """Takes away a disc that present() gave (all of them without folder)."""
    for f in list(state.get("mounts", [])):
        if folder in (None, f):
            unmount(f)
            state["mounts"].remove(f)
    for f in list(state.get("extracted", [])):
        if folder in (None, f):
            subprocess.run(["chmod", "-R", "u+w", f], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            shutil.rmtree(f, ignore_errors=True)
            state["extracted"].remove(f)


def unmount(folder):
    for flags in (["-u"], ["-uz"]):
        if subprocess.run(["fusermount"] + flags + [folder], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            return


def map_cdrom(state, folder):
    """Drive D: is folder, with the type of a CD-ROM drive."""
    link = os.path.join(state["prefix"], "dosdevices", "d:")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(folder, link)
    import_reg(state, ["[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]", '"d:"="cdrom"', ""])


# ---------------------------------------------------------------- browser

def remove_html_association(state):
    """A PC on which no browser is registered for ".htm"."""
    import_reg(state, ["[-HKEY_CLASSES_ROOT\\.htm]", "", "[-HKEY_CURRENT_USER\\Software\\Classes\\.htm]", "",
                       "[-HKEY_LOCAL_MACHINE\\Software\\Classes\\.htm]", ""])


# The graphical browser that shows the page on the virtual display: Chromium
# where it is installed, as it draws any script with whatever font has it
# (dillo draws Japanese as empty boxes), else dillo. Its X class, then its
# command after the page's address is added.
BROWSERS = [("chromium", ["chromium", "--no-sandbox", "--test-type", "--user-data-dir=$0/profile", "--no-first-run",
                          "--disable-background-networking", "--disable-component-update", "--disable-sync",
                          "--disable-gpu", "--disable-breakpad", "--disable-features=Translate", "--window-position=0,0",
                          "--window-size=1024,768"]),
            ("Dillo", ["dillo"])]


def browser():
    """(X class, command) of the graphical browser there is, or None."""
    return next((b for b in BROWSERS if shutil.which(b[1][0])), None)


def use_browser(state, folder):
    """Wine's browser bridge (winebrowser, the ".htm" handler of a new prefix)
    hands pages to this script: it renders the page as text with w3m, notes
    what it got and w3m's status (page.txt), and shows it in the graphical
    browser on the virtual display."""
    shown = browser()
    script = os.path.join(folder, "browser.sh")
    with open(script, "w") as f:
        f.write("#!/bin/sh\n"
                'w3m -dump -cols 78 "$1" >"%(d)s/rendered.txt" 2>&1\n'
                # What it was handed and how the rendering went, once it is done.
                'printf "%%s\\n%%s\\n" "$1" "$?" >"%(d)s/page.part" && mv "%(d)s/page.part" "%(d)s/page.txt"\n'
                % {"d": folder})
        if shown:
            # A session of its own, so that its helpers (dpid, zygotes) go with it.
            f.write('DISPLAY=%s HOME="%s" setsid sh -c \'echo $$ >>"$0/browser.pids"; exec %s "$1"\' \\\n'
                    '  "%s" "$1" >/dev/null 2>&1 </dev/null &\n' % (state["display"], folder, " ".join(shown[1]), folder))
    os.chmod(script, 0o755)
    state.setdefault("browsers", []).append(folder)
    import_reg(state, ["[HKEY_CURRENT_USER\\Software\\Wine\\WineBrowser]", '"Browsers"="%s"' % script, ""])


def stop_browser(folder):
    """Ends the browsers that the script in folder started, helpers and all."""
    try:
        with open(os.path.join(folder, "browser.pids")) as f:
            pids = [int(line) for line in f if line.strip().isdigit()]
    except OSError:
        pids = []
    for pid in pids:
        kill(pid, group=True)
    # Chromium's crash handlers leave its session; they name its folder.
    subprocess.run(["pkill", "-f", folder], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_for_window(state, klass, seconds):
    """True once a visible window of that X class is on the display."""
    result = subprocess.run(["timeout", str(seconds), "xdotool", "search", "--sync", "--onlyvisible", "--class",
                             klass], env=dict(os.environ, DISPLAY=state["display"]),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return result.returncode == 0


def picture(state, path):
    """A PNG of the whole virtual screen."""
    subprocess.run(["import", "-display", state["display"], "-window", "root", path],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    return os.path.exists(path) and os.path.getsize(path) > 0


# ---------------------------------------------------------------- one run

class Report:
    """What the driver saw: boxes (caption, icon, text), exit status, time."""

    def __init__(self, raw):
        self.raw, self.boxes, self.status, self.millis, self.timed_out = raw, [], None, None, False
        for line in raw.splitlines():
            parts = line.split("\t")
            if parts[0] == "box" and len(parts) >= 4:
                self.boxes.append({"caption": parts[1], "icon": parts[2], "text": parts[3].replace("\\n", "\n")})
            elif parts[0] == "exit":
                self.status, self.millis = int(parts[1]), int(parts[2])
            elif parts[0] in ("timeout", "spawn-failed"):
                self.timed_out = True


def read(path, encoding="latin-1"):
    try:
        with open(path, encoding=encoding, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def drive(state, command, directory, env=None, on_box=None, trace=None):
    """Runs `command` (a Windows command line) in `directory` (a Windows path)
    through the driver, and returns its Report. on_box(box) is called while
    each box is still on the screen. With trace, Wine's process trace goes to
    that file."""
    timeout = 60000 if state["arch"] == "i686" else 20000  # emulation is slow to start a process
    folder = tempfile.mkdtemp(dir=state["work"], prefix="run-")
    report, hold = os.path.join(folder, "driver.txt"), os.path.join(folder, "hold")
    env = dict(env or {}, QUENLO_E2E_COMMAND=command, QUENLO_E2E_DIR=directory, QUENLO_E2E_OUT=winpath(report),
               QUENLO_E2E_TIMEOUT=str(timeout))
    if on_box:
        env["QUENLO_E2E_HOLD"] = winpath(hold)
    if trace:
        env["WINEDEBUG"] = "+process"
    full = wine_env(state, env)
    err = open(trace, "w") if trace else subprocess.DEVNULL
    try:
        process = subprocess.Popen([loader(state), state["driver"]], env=full, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=err)
        seen = 0
        deadline = time.time() + timeout / 1000 + 120
        while process.poll() is None and time.time() < deadline:
            boxes = Report(read(report)).boxes
            if on_box and len(boxes) > seen:
                on_box(boxes[seen])
                seen += 1
                open(hold, "w").close()
            time.sleep(0.1)
        if process.poll() is None:
            process.kill()
    finally:
        if trace:
            err.close()
    return Report(read(report) or "(no report)")


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
    return started.rsplit('"', 1)[0].replace('\\"', '"').replace("\\\\", "\\")
