"""One private Wine session in which a disc's quenlo.exe runs as on a user's
PC, from launch to shutdown.

A Session owns, once launched: its folders (root, readable by this user
only: ctl, the agent's socket and log, out of the sandbox's sight; discs,
the discs' content as the tools extracted it, read-only inside; box, where
the sandbox's own file system of all it may write is mounted: the prefix's
own files, its home, each run's files), the sandbox and its agent
(sandbox.py, agent.py), a virtual display with a window manager, one
persistent wineserver and a program that keeps Wine's services up between
runs. Its constructor does nothing; launch() makes it real and shutdown()
undoes whatever exists of it, each resource by name, after a failed launch
too.

Whatever runs in the sandbox may write in the box, so the tools never touch
the box by path: files go in and come out as bytes through the agent.
"""
import os
import shutil
import tempfile

from . import LIB, Refusal, Unavailable, sandbox, walls
from .agent import PR_SET_CHILD_SUBREAPER, end_below, prctl
from .boxfiles import mirror, remove_tree
from .registry import Registry
from .limits import MEMORY
from .host import QEMU_RESERVED_VA, WINE64, Emulation, emulation_for, locale_home, ready_for
from .tools import cache, said

TIMEOUT = 120  # a step of the session's own


class Door:
    """What the tools may do in a launched session's sandbox, every bit of it
    through its agent: the one door in, which nobody else opens. A subclass
    gives root (the session's folder, None until it is launched), agent_pid
    and env()."""
    root, agent_pid, _agent = None, None, None

    @property
    def agent(self):
        if self.root is None:
            raise Unavailable("the session is not running: launch it first")
        if self._agent is None:
            self._agent = sandbox.Agent(os.path.join(self.root, "ctl", "agent.sock"), self.agent_pid)
        return self._agent

    def run(self, argv, env=None, timeout=TIMEOUT, out=None, err=None, cwd=None):
        return self.agent.run(argv, self.env(env), cwd=cwd, out=out, err=err, timeout=timeout)

    def capture(self, argv, limit, timeout=TIMEOUT):
        """(status, standard output) of a command, its output handed back
        by the agent itself, never through the box."""
        return self.agent.capture(argv, self.env(), limit, timeout)

    def on_display(self, argv, timeout, limit=None):
        """A step on the virtual display: its status (with limit, and at
        most that many bytes of its standard output, as capture()); a
        Refusal that ends the try where the display stopped answering,
        which a user's screen never does (the disc's programs may have
        stopped it)."""
        done = self.capture(argv, limit, timeout) if limit else (self.run(argv, timeout=timeout), b"")
        if done[0] is None:
            raise Refusal("the try was ended: the virtual display stopped answering for %d s (the disc's programs "
                          "may have stopped it), so nothing shows what a user would meet" % timeout, "display-stopped")
        return done if limit else done[0]

    def spawn(self, argv, env=None, err=None, stdin=None):
        return self.agent.spawn(argv, self.env(env), err=err, stdin=stdin)

    def keep(self):
        """What runs in the session now is its own (its display, Wine's
        server and services); whatever comes later, a sweep ends."""
        self.agent.keep()

    def sweep(self):
        """Ends whatever a disc started, wherever it hid, and all it started:
        the session is as it was kept. How many processes that ended."""
        return self.agent.sweep()

    def alive(self, pid):
        return self.agent.alive(pid)

    def kill(self, pid):
        """Ends a process the session started, with its process group."""
        self.agent.kill(pid)

    def fetch(self, path, limit=None):
        """The bytes of a file in the box, as the sandbox left them."""
        return self.agent.fetch(path, limit) if limit else self.agent.fetch(path)

    def put(self, path, data, mode=0o644):
        self.agent.put(path, data, mode)

    def listdir(self, path):
        return self.agent.listdir(path)

    def link(self, target, path):
        """path, in the box, a link to target, in place of whatever was there."""
        self.agent.link(target, path)

    def handoffs(self, since=0):
        return self.agent.handoffs(since)

    def must(self, argv, what, timeout=TIMEOUT):
        """Runs a step that must succeed; Unavailable, with its last words, where it does not."""
        err = os.path.join(self.folder("step-"), "err")
        if self.run(argv, timeout=timeout, err=err) != 0:
            raise Unavailable("%s%s" % (what, said(self.fetch(err), 3)))

    def folder(self, prefix, discs=False):
        """A new folder of the box, for one run's files; with discs, one of
        the tools' own that the sandbox can only read."""
        if discs:
            folder = tempfile.mkdtemp(dir=self.discs, prefix=prefix)
            os.chmod(folder, 0o755)
            return folder
        return self.agent.mkdtemp(self.box, prefix)

    def map_drive(self, letter, folder):
        """Drive D: (or E:) is folder, with the type of a CD-ROM drive (of a
        removable one, a stick's), which the launch gave it."""
        self.link(folder, os.path.join(self.prefix, "dosdevices", letter))


class Handed:
    """A launched session handed from the process that launched it to
    others, which act in it as if they had (a detached session's, as the
    end-to-end cases share one)."""
    # What a process needs to act in a session another launched.
    STATE = ("root", "arch", "driver", "sandboxed", "display", "emulation", "agent_pid", "ready", "tools", "lib",
             "driver_at", "shown")

    def state(self):
        """This launched session, for another process to act in (restored())."""
        return dict({k: getattr(self, k) for k in self.STATE}, emulation=self.emulation and self.emulation.value)

    @classmethod
    def restored(cls, state, **kwargs):
        """The session of state(), launched by another process."""
        session = cls(state["arch"], state["driver"], state["sandboxed"], tools=state["tools"], **kwargs)
        session.root, session.display, session.agent_pid, session.ready = (state["root"], state["display"],
                                                                            state["agent_pid"], state["ready"])
        session.lib, session.driver_at, session.shown = state["lib"], state["driver_at"], state["shown"]
        session.emulation = state["emulation"] and Emulation(state["emulation"])
        return session


class Session(Door, Handed):
    memory = MEMORY  # bytes the disc's programs may have in all

    def __init__(self, arch, driver, sandboxed=True, code_pages=(), tools=(), say=print, emulation=None):
        """emulation: how 32-bit programs run here, where the caller knows
        it already (host.emulation_for); else the launch asks."""
        self.arch, self.driver, self.sandboxed = arch, driver, sandboxed
        self.confinement = sandbox.confinement(sandboxed)  # what the try runs beyond the session, in what
        self.code_pages, self.tools, self.say = list(code_pages), list(tools), say
        self.display, self.emulation, self.ready = "", emulation, None
        self.lib, self.driver_at, self.shown = LIB, driver, None  # the tools, as the sandbox sees them
        self.registry = Registry(self)  # what the PC has registered

    box = property(lambda self: os.path.join(self.root, "box"))
    discs = property(lambda self: os.path.join(self.root, "discs"))
    prefix = property(lambda self: os.path.join(self.box, "prefix"))
    home = property(lambda self: os.path.join(self.box, "home"))

    def __enter__(self):
        self.launch()
        return self

    def __exit__(self, *_):
        self.shutdown()

    # -------------------------------------------------- launch and shutdown

    def launch(self):
        """Raises Unavailable where the session cannot run here."""
        try:
            self._launch()
        except BaseException:
            self.shutdown()
            raise

    def _launch(self):
        self._adopt()
        self.root = tempfile.mkdtemp(prefix="quenlo-wine-", dir=linkable_from(cache()) if self.sandboxed else None)
        for folder in ("ctl", "box", "discs"):
            os.mkdir(os.path.join(self.root, folder))
        os.chmod(self.discs, 0o755)
        if self.emulation is None:
            self.emulation = emulation_for(self.arch, self.sandboxed)[0]
        self.ready = ready_for(self.emulation, self.code_pages, self.sandboxed, self.say)
        ready = self.ready
        # The prefix's own files are copied in; its Windows folder, 0.7 GB
        # of DLLs, is shown read-only in the sandbox, where nothing can
        # change the prepared one. Without a sandbox there is nothing to show
        # it with, and it is copied too.
        readable, ready = shown_to(self, ready) if self.sandboxed else ([], ready)
        self._agent = sandbox.start(os.path.join(self.root, "ctl"), self.box, [], readable, self.sandboxed,
                                    self._outlives_me(), self.emulation is Emulation.SANDBOX, memory=self.memory,
                                    lib=self.lib)
        self.agent_pid = self._agent.pid
        self.must(["mkdir", "-p", self.home, self.prefix], "the box could not be made")
        copy = (["sh", "-c", 'cd "$0" && tar --exclude=./drive_c/windows -cf - . | tar -C "$1" -xf -', ready,
                 self.prefix] if self.sandboxed else ["cp", "-a", ready + "/.", self.prefix])
        self.must(copy, "the prepared prefix could not be copied", 600)
        # The drives' types, in the registry as the server reads it when it
        # starts: Wine's mount manager takes them once, as its services start,
        # for the drives there are then (a disc or stick is linked in later).
        for letter in ("d:", "e:"):
            self.link(self.discs, os.path.join(self.prefix, "dosdevices", letter))
        drives = os.path.join(self.box, "drives.reg")
        self.put(drives, '\n[Software\\\\Wine\\\\Drives] 0\n"d:"="cdrom"\n"e:"="floppy"\n')
        self.must(["sh", "-c", 'cat "$0" >>"$1"', drives, os.path.join(self.prefix, "system.reg")],
                  "the drives' types could not be set")
        self._start_display()
        # One server for the whole session: each Wine command then starts in a
        # fraction of a second.
        if self.run(["wineserver", "-p"]) != 0:
            raise Unavailable("Wine's server did not start: check that Wine runs for you, as wine64 wineboot")
        # Between runs Wine would end its services and desktop, and bring them
        # back for the next one at the cost of a 10 s wait for RpcSs inside
        # the shell's "open" of a page. A program that never ends keeps them:
        # cmd, reading a pipe that nobody writes.
        self.spawn([WINE64, "cmd.exe"], stdin="forever")
        self.keep()

    def _start_display(self):
        self.display = ":90"  # its own, in a sandbox; beside others' without one
        if not self.sandboxed:
            self.display = ":%d" % next(n for n in range(90, 140) if not os.path.exists("/tmp/.X11-unix/X%d" % n)
                                        and not os.path.exists("/tmp/.X%d-lock" % n))
        self.spawn(["Xvfb", self.display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"])
        # Up once it answers.
        if self.run(["sh", "-c", "for i in $(seq 200); do xdotool getdisplaygeometry && exit 0; sleep 0.025; done; "
                                 "exit 1"], timeout=30) != 0:
            raise Unavailable("the virtual display (Xvfb) did not start: install xvfb and xdotool")
        # A window manager gives windows their title bars, so a picture shows a
        # box's caption as a user sees it.
        twmrc = os.path.join(self.box, "twmrc")
        self.put(twmrc, 'RandomPlacement\nUsePPosition "on"\nNoGrabServer\n')
        self.spawn(["twm", "-display", self.display, "-f", twmrc])

    def shutdown(self):
        """Undoes all of a session, however far it got; again, nothing."""
        self._stop_agent()
        self._end_adopted()
        self._remove_folders()

    # Hooks of a session's life, which one shared by many processes (the
    # end-to-end cases') overrides: its sandbox outlives the process that
    # launched it, and ends only with a shutdown of its own.

    def _outlives_me(self):
        return False

    def _adopt(self):
        """Without a sandbox, whatever the disc's programs leave behind, even
        once they killed the agent above them, comes back here to be ended."""
        if not self.sandboxed:
            prctl(PR_SET_CHILD_SUBREAPER, 1)

    def _end_adopted(self):
        if not self.sandboxed:
            end_below()

    def _stop_agent(self):
        if self.root and os.path.exists(os.path.join(self.root, "ctl", "agent.sock")):
            self.agent.stop()
        self._agent = self.agent_pid = None

    def _remove_folders(self):
        if self.root:
            remove_tree(self.root)
            self.root = None

    # -------------------------------------------------- commands

    def env(self, extra=None):
        """The environment of a command in the session: nothing of the
        user's own, which may hold secrets."""
        env = dict(walls.ENVIRONMENT, HOME=self.home, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                   DISPLAY=self.display, XDG_CACHE_HOME=os.path.join(self.home, ".cache"))
        if self.emulation.emulated:
            env["QEMU_RESERVED_VA"] = QEMU_RESERVED_VA
        env.update(extra or {})
        if self.shown and "LOCPATH" in env:  # the locales as the sandbox is shown them, the newly made too
            locales = os.path.join(self.shown, "locales")
            for name in set(os.listdir(env["LOCPATH"])) - set(os.listdir(locales)):
                mirror(os.path.join(env["LOCPATH"], name), os.path.join(locales, name))
            env["LOCPATH"] = locales
        return env

    def beside(self, command, stage, writable, readable, links=(), env=None):
        """A program of the tools' beside the session's sandbox, kept as the
        session keeps what it runs (its confinement), writing only writable
        (the first its home), reading readable: (the command line that runs
        it so, what Popen takes to start it so, the bounds to remove once
        it has ended)."""
        limits, entered = self.confinement.bounded(self.memory)
        return (self.confinement.beside(command, stage, writable, readable, links, env),
                {"preexec_fn": entered, "env": env}, limits)


def linkable_from(folder):
    """Where a session's folder is made: the temporary folder, or /var/tmp
    where only that is on folder's file system (the cache's, from which the
    sandbox is shown its files by hard links); else the temporary folder."""
    for parent in (tempfile.gettempdir(), "/var/tmp"):
        try:
            if os.stat(parent).st_dev == os.stat(folder).st_dev:
                return parent
        except OSError:
            continue
    return None


def shown_to(session, ready):
    """(what the session's sandbox reads, where the prepared prefix is in
    it): the tools, the driver, the locales and the prepared prefix, each
    under the session's own folder, so that nothing the sandbox is shown
    names a folder of the user's. The prefix's Windows folder (0.7 GB of
    DLLs) is shown read-only where the prefix is copied; where it cannot be
    linked, from the cache itself."""
    session.shown = shown = os.path.join(session.root, "shown")
    session.lib = os.path.join(shown, "lib")
    mirror(os.path.join(LIB, "quenlo_disc"), os.path.join(session.lib, "quenlo_disc"))
    os.mkdir(os.path.join(shown, "driver"))
    session.driver_at = os.path.join(shown, "driver", os.path.basename(session.driver))
    shutil.copy2(session.driver, session.driver_at)
    os.makedirs(locale_home(), exist_ok=True)
    mirror(locale_home(), os.path.join(shown, "locales"))
    windows = os.path.join(ready, "drive_c", "windows")
    prepared = mirror(ready, os.path.join(shown, "prefix"), leave=windows)
    try:
        windows = mirror(windows, os.path.join(shown, "windows"), copying=False)
    except OSError:  # another file system: bound from where it is
        remove_tree(os.path.join(shown, "windows"))
    readable = [session.discs, session.driver_at, os.path.join(shown, "locales"), prepared]
    return readable + session.tools + [(windows, os.path.join(session.prefix, "drive_c", "windows"))], prepared


def present(session, image):
    """The image's tree as Windows shows it (Joliet's, else the ISO 9660
    names; Rock Ridge never; a stick's long names) in a
    new folder of the session, read-only; returns it. The tools' own
    reader copies it out in a sandbox of its own, which reads the image
    and writes that folder alone, no file beyond the image's size and
    no more in all than the tree may hold."""
    image = os.path.realpath(image)
    folder = session.folder("disc-", discs=True)
    try:
        session.confinement.read_image([image, folder, "cp437", "--whole"], image, writable=[folder])
    except Unavailable as unavailable:
        raise Unavailable("the image could not be copied out: %s" % unavailable) from None
    return folder
