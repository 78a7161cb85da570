"""One private Wine session in which a disc's quenlo.exe runs as on a user's
PC, from launch to shutdown.

A Session owns, once launched: its folders (root, readable by this user
only: ctl, the agent's socket, out of the sandbox's sight; box, all the
sandbox may write: the prefix's own files, its home, each run's files; discs,
the discs' content, read-only inside), the namespace sandbox and the agent in
it (sandbox.py), 32-bit emulation where this call set it up, a virtual
display with a window manager, one persistent wineserver and a program that
keeps Wine's services up between runs. Its constructor does nothing;
launch() makes it real and shutdown() undoes whatever exists of it, each
resource by name, after a failed launch too.
"""
import os
import shutil
import subprocess
import tempfile

from . import Refusal, Unavailable, sandbox
from .boxfiles import create, read, remove_tree
from .host import (WINE32, WINE64, disable_i386_emulation, enable_i386_emulation, environment, locale_home, prepared,
                   qemu_reserve, compiled)
from .tools import said


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Session:
    detached = False  # the sandbox outlives the process that made it (see the end-to-end cases)

    def __init__(self, arch, driver, sandboxed=True, code_pages=(), tools=(), say=print):
        self.arch, self.driver, self.sandboxed = arch, driver, sandboxed
        self.code_pages, self.tools, self.say = list(code_pages), list(tools), say
        self.root, self.display, self.qemu, self.emulation, self.agent_pid = None, "", qemu_reserve(arch), False, None
        self._agent = None

    box = property(lambda self: os.path.join(self.root, "box"))
    discs = property(lambda self: os.path.join(self.root, "discs"))
    prefix = property(lambda self: os.path.join(self.box, "prefix"))
    home = property(lambda self: os.path.join(self.box, "home"))

    def __enter__(self):
        self.launch()
        return self

    def __exit__(self, *_):
        self.shutdown()

    @property
    def agent(self):
        if self._agent is None:
            self._agent = sandbox.Agent(os.path.join(self.root, "ctl", "agent.sock"), self.agent_pid)
        return self._agent

    # -------------------------------------------------- launch and shutdown

    def launch(self):
        """Raises Unavailable where the session's arch cannot run here."""
        try:
            self._launch()
        except BaseException:
            self.shutdown()
            raise

    def _launch(self):
        self.root = tempfile.mkdtemp(prefix="quenlo-wine-")
        for folder in ("ctl", "box", "discs", "box/home"):
            os.mkdir(os.path.join(self.root, folder))
        if self.arch == "i686":
            self.emulation = enable_i386_emulation()
        missing = [cp for cp in self.code_pages if not compiled(cp)]
        if missing:
            self.say("Compiling the locales of PCs using %s, once (about 2 s each): %s"
                     % (", ".join(map(str, missing)), locale_home()))
        for code_page in self.code_pages:
            environment(code_page)
        ready = prepared(self.arch, self.sandboxed, self.say)
        # The prefix's own files are copied; its Windows folder, 0.7 GB of
        # DLLs, is shown read-only in the sandbox, where nothing can change
        # the prepared one. Without a sandbox there is nothing to show it
        # with, and it is copied too.
        shutil.copytree(ready, self.prefix, symlinks=True,
                        ignore=lambda folder, names: ["windows"] if self.sandboxed and folder == os.path.join(
                            ready, "drive_c") else [])
        writable, readable = [self.box], [self.discs, self.driver, locale_home()] + self.tools
        if self.sandboxed:
            windows = os.path.join(self.prefix, "drive_c", "windows")
            os.mkdir(windows)
            readable.append((os.path.join(ready, "drive_c", "windows"), windows))
        self._agent = sandbox.start(os.path.join(self.root, "ctl"), writable, readable, self.sandboxed,
                                    self.detached, log=os.path.join(self.root, "ctl", "sandbox.log"))
        self.agent_pid = self._agent.pid
        self._start_display()
        # One server for the whole session: each Wine command then starts in a
        # fraction of a second.
        if self.run(["wineserver", "-p"]) != 0:
            raise Unavailable("Wine's server did not start: check that Wine runs for you, as wine64 wineboot")
        # Between runs Wine would end its services and desktop, and bring them
        # back for the next one at the cost of a 10 s wait for RpcSs inside
        # the shell's "open" of a page. A program that never ends keeps them:
        # cmd, reading a pipe that nobody writes.
        self.agent.spawn([WINE64, "cmd.exe"], self.env(), stdin="forever")
        self.import_reg(["[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]", '"d:"="cdrom"', ""])

    def _start_display(self):
        for n in range(90, 140):
            if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
                break
        self.display = ":%d" % n
        self.agent.spawn(["Xvfb", self.display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"], self.env())
        # Up once it answers.
        if self.run(["sh", "-c", "for i in $(seq 200); do xdotool getdisplaygeometry && exit 0; sleep 0.025; done; "
                                 "exit 1"], timeout=30) != 0:
            raise Unavailable("the virtual display (Xvfb) did not start: install xvfb and xdotool")
        # A window manager gives windows their title bars, so a picture shows a
        # box's caption as a user sees it.
        twmrc = os.path.join(self.box, "twmrc")
        create(twmrc, 'RandomPlacement\nUsePPosition "on"\nNoGrabServer\n')
        self.agent.spawn(["twm", "-display", self.display, "-f", twmrc], self.env())

    def shutdown(self):
        """Undoes all of a session, however far it got; again, nothing."""
        self._stop_agent()
        self._end_emulation()
        self._remove_folders()

    def _stop_agent(self):
        if self.root and os.path.exists(os.path.join(self.root, "ctl", "agent.sock")):
            if not self.sandboxed:  # a sandbox's end takes all this with it
                try:
                    self.run(["wineserver", "-k"], timeout=30)
                except (OSError, Refusal, ValueError):
                    pass
            self.agent.stop()
        if self.root and not self.sandboxed:
            # What left the sessions the agent knows of (Chromium's crash
            # handlers) names the session's folder.
            subprocess.run(["pkill", "-KILL", "-f", self.root], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._agent = self.agent_pid = None

    def _end_emulation(self):
        if self.emulation:
            disable_i386_emulation()
            self.emulation = False

    def _remove_folders(self):
        if self.root:
            remove_tree(self.root)
            self.root = None

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

    def spawn(self, argv, env=None, err=None):
        return self.agent.spawn(argv, self.env(env), err=err)

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
        raise Unavailable("Wine's regedit ended with %s on %s%s: check that Wine runs for you, as wine64 regedit"
                          % (status, path, said(read(err), 3)))

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
            raise Unavailable("xorriso could not read %s%s" % (image, said(err)))
        for top, dirs, files in os.walk(folder):
            for name in files:
                os.chmod(os.path.join(top, name), 0o444)
            os.chmod(top, 0o555)
        return folder

    def map_cdrom(self, folder):
        """Drive D: is folder, with the type of a CD-ROM drive (the launch
        gave it that type)."""
        link = os.path.join(self.prefix, "dosdevices", "d:")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(folder, link)

    def remove_html_association(self):
        """A PC on which no browser is registered for ".htm"."""
        self.import_reg(["[-HKEY_CLASSES_ROOT\\.htm]", "", "[-HKEY_CURRENT_USER\\Software\\Classes\\.htm]", "",
                         "[-HKEY_LOCAL_MACHINE\\Software\\Classes\\.htm]", ""])
