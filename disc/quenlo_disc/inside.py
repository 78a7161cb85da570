"""The first process of a try's sandbox (without one, a plain process that
takes in whatever its children leave behind), which the agent hands each
connection of the tools: it starts programs and tells how they end, and moves
files in and out of the box as bytes, each path taken beneath the box one
component at a time, no link followed, no file but a plain one read, never
beyond a limit. As process 1 of its PID namespace with no handler for any
signal, it cannot be stopped, killed or traced by what it starts.
"""
import base64
import ctypes
import hashlib
import json
import os
import resource
import signal
import socket
import struct
import subprocess
import threading
import time

from .agent import LARGEST_FETCH, PROCESSES, PR_CAPBSET_DROP, PR_SET_CHILD_SUBREAPER, descendants, prctl, untouchable
from . import seccomp
from .boxfiles import Hostile, open_beneath, read_fd

# The program that Wine's browser bridge runs with what it was handed: the
# session's leader of every process it starts, named so by Wine.
BRIDGE = "winebrowser.exe"
# What Wine's programs run as, whatever they name themselves: its loaders,
# or qemu running the 32-bit one.
LOADERS = ("wine", "wine64", "wine-preloader", "wine64-preloader", "qemu-i386", "qemu-i386-static")
LONGEST_ADDRESS = 1 << 16


def handoff_socket(box):
    """The abstract socket's name on which the first process of box's
    sandbox takes what Wine's browser bridge was handed: one of its own,
    even beside other sessions' outside a sandbox."""
    return "\0quenlo-handoff-" + hashlib.blake2b(box.encode(), digest_size=12).hexdigest()


def hand_over(box, address):
    """The bridge's script: address, handed over to the sandbox's first process."""
    with socket.socket(socket.AF_UNIX) as conn:
        conn.settimeout(30)
        conn.connect(handoff_socket(box))
        conn.sendall(address.encode("utf-8", "surrogateescape")[:LONGEST_ADDRESS] + b"\n")
        conn.recv(1)


def name_of(pid):
    """A process's name as the kernel keeps it, or ""."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            stat = f.read()
        return stat[stat.index(b"(") + 1:stat.rindex(b")")].decode("latin-1")
    except (OSError, ValueError):
        return ""


def session_leader(pid, reaped):
    """The name of the leader of pid's session: as it was when it was
    reaped, where it is gone; else as the kernel keeps it, where it runs a
    program of Wine's (a name is a process's own to give itself, the
    program it runs is not) or has just ended (Wine's bridge does not wait
    for what it starts, and what an ended process ran can no longer be
    read); or ""."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            session = int(f.read().rsplit(b")", 1)[1].split()[3])
    except (OSError, ValueError, IndexError):
        return ""
    if session in reaped:
        return reaped[session]
    try:
        wine = os.path.basename(os.readlink("/proc/%d/exe" % session)) in LOADERS
    except OSError:
        wine = True
    return name_of(session) if wine else ""


def emulate(entry):
    """In a sandbox given EMULATING: a binfmt_misc of the sandbox's own (its
    user namespace's, Linux 6.7 and later), where entry has qemu run i386
    programs; then every capability dropped for good, bounding set and all,
    so that nothing started from here has any."""
    libc = ctypes.CDLL(None, use_errno=True)
    where = b"/proc/sys/fs/binfmt_misc"
    if libc.mount(b"binfmt_misc", where, b"binfmt_misc", 0, None) != 0:
        raise OSError(ctypes.get_errno(), "binfmt_misc of the sandbox's own")
    with open(os.path.join(where.decode(), "register"), "w") as f:
        f.write(entry)
    for cap in range(64):
        libc.prctl(PR_CAPBSET_DROP, cap, 0, 0, 0)
    header, data = (ctypes.c_uint32 * 2)(0x20080522, 0), (ctypes.c_uint32 * 6)()
    if libc.capset(header, data) != 0:
        raise OSError(ctypes.get_errno(), "capabilities")


class Box:
    """Files moved in and out of the box for the tools, each reached only
    beneath the box, never by a path the disc's programs could turn aside."""

    def __init__(self, box):
        self.box = box
        self.top = os.open(box, os.O_RDONLY | os.O_DIRECTORY)

    def beneath(self, path):
        rel = os.path.relpath(path, self.box)
        if rel.startswith("..") or os.path.isabs(rel):
            raise Hostile(1, "not in the box", path)
        return rel

    def open(self, path, flags, mode=0o644):
        rel = self.beneath(path)
        return os.dup(self.top) if rel == "." else open_beneath(self.top, rel, flags, mode)

    def do_fetch(self, request):
        try:
            fd = self.open(request["path"], os.O_RDONLY | os.O_NONBLOCK)
        except OSError:
            return {}
        try:
            return {"data": base64.b64encode(read_fd(fd, min(request["limit"], LARGEST_FETCH))).decode()}
        finally:
            os.close(fd)

    def do_put(self, request):
        fd = self.open(request["path"], os.O_WRONLY | os.O_CREAT | os.O_EXCL, request.get("mode", 0o644))
        with os.fdopen(fd, "wb") as f:
            f.write(base64.b64decode(request["data"]))
        return {}

    def do_mkdtemp(self, request):
        parent = request["parent"]
        fd = self.open(parent, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for _ in range(100):
                name = request["prefix"] + base64.b32encode(os.urandom(5)).decode().lower()
                try:
                    os.mkdir(name, 0o755, dir_fd=fd)
                    return {"path": os.path.join(parent, name)}
                except FileExistsError:
                    continue
        finally:
            os.close(fd)
        return {"error": "no new folder could be made in %s" % parent}

    def do_link(self, request):
        path = request["path"]
        folder = self.open(os.path.dirname(path), os.O_RDONLY | os.O_DIRECTORY)
        try:
            try:
                os.unlink(os.path.basename(path), dir_fd=folder)
            except FileNotFoundError:
                pass
            os.symlink(request["target"], os.path.basename(path), dir_fd=folder)
        finally:
            os.close(folder)
        return {}

    def do_list(self, request):
        fd = self.open(request["path"], os.O_RDONLY | os.O_DIRECTORY)
        try:
            return {"names": sorted(os.listdir(fd))}
        finally:
            os.close(fd)


class Programs(Box):
    """Programs the sandbox's first process starts for the tools, and how
    they end (children: pid to Popen)."""

    def __init__(self, box):
        super().__init__(box)
        self.children, self.lock = {}, threading.Lock()
        self.forever = os.pipe()  # never written: a program that reads it waits for good (Wine's keeper)

    def stream(self, path):
        if not path:
            return subprocess.DEVNULL
        return os.fdopen(self.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_APPEND), "ab")

    def start(self, request):
        out = err = subprocess.DEVNULL
        try:
            out, err = self.stream(request.get("out")), self.stream(request.get("err"))
            stdin = self.forever[0] if request.get("stdin") == "forever" else subprocess.DEVNULL
            with self.lock:
                child = subprocess.Popen(request["argv"], env=request["env"], cwd=request.get("cwd") or "/",
                                         stdin=stdin, stdout=out, stderr=err, start_new_session=True)
                self.children[child.pid] = child
        finally:
            for f in (out, err):
                if f is not subprocess.DEVNULL:
                    f.close()
        return child

    @staticmethod
    def end(pid):
        try:
            os.killpg(pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def do_run(self, request):
        try:
            child = self.start(request)
        except (OSError, ValueError) as error:
            return {"status": None, "error": str(error)}
        try:
            return {"status": child.wait(timeout=request.get("timeout"))}
        except subprocess.TimeoutExpired:
            self.end(child.pid)
            child.wait()
            return {"status": None, "error": "timed out"}

    def do_capture(self, request):
        """A command's status and what it wrote on its standard output (at
        most limit bytes), handed straight back: what it makes is never a
        file that others in the box could change before it is read."""
        try:
            with self.lock:
                child = subprocess.Popen(request["argv"], env=request["env"], cwd="/", stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
                self.children[child.pid] = child
        except (OSError, ValueError) as error:
            return {"status": None, "error": str(error)}
        late = []
        timer = threading.Timer(request.get("timeout", 60), lambda: late.append(self.end(child.pid)))
        timer.start()
        chunks, left = [], min(request["limit"], LARGEST_FETCH)
        try:
            while left > 0:
                chunks.append(os.read(child.stdout.fileno(), min(left, 1 << 20)))
                if not chunks[-1]:
                    break
                left -= len(chunks[-1])
            child.stdout.close()  # what it would write beyond the limit ends it
            status = child.wait()
        finally:
            timer.cancel()
        return {"status": None if late else status, "data": base64.b64encode(b"".join(chunks)).decode()}

    def do_spawn(self, request):
        try:
            child = self.start(request)
        except (OSError, ValueError) as error:
            return {"status": None, "error": str(error)}
        threading.Thread(target=child.wait, daemon=True).start()
        return {"pid": child.pid}

    def do_alive(self, request):
        child = self.children.get(request["pid"])
        return {"alive": child is not None and child.poll() is None}

    def do_kill(self, request):
        self.end(request["pid"])
        return {}


class Inside(Programs):
    """What the sandbox's first process does for the tools: starts programs
    and tells how they end, takes in orphans, ends what the disc started,
    takes what Wine's bridge hands over, and moves files in and out of its
    box."""

    def __init__(self, box):
        super().__init__(box)
        self.kept = set()
        self.handoffs, self.reaped = [], {}  # what the bridge was handed; the names of orphans reaped, by pid

    def reap(self):
        """Takes in what others left: the first process inherits orphans
        (what it started itself, Popen takes in)."""
        while True:
            try:
                info = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)
            except ChildProcessError:
                info = None
            with self.lock:
                orphan = info is not None and info.si_pid not in self.children
                if orphan:
                    self.reaped[info.si_pid] = name_of(info.si_pid)
                    if len(self.reaped) > 4096:
                        self.reaped.pop(next(iter(self.reaped)))
                    try:
                        os.waitpid(info.si_pid, 0)
                    except ChildProcessError:
                        pass
            if not orphan:
                time.sleep(0.2)

    def act(self, request):
        """The answer to one request."""
        return getattr(self, "do_" + request["do"], self.unknown)(request)

    def unknown(self, request):
        return {"error": "unknown request %r" % request["do"]}

    def do_ping(self, _):
        return {}

    def do_handoffs(self, request):
        """What the bridge was handed from the request's count on, each with who handed it."""
        with self.lock:
            return {"handoffs": self.handoffs[request.get("since", 0):], "count": len(self.handoffs)}

    def do_keep(self, _):
        """What runs now is the session's own (its display, Wine's server and
        services): a sweep leaves it. Wine starts its services in the
        background, later the busier the machine: what runs is taken once it
        has stayed the same a while."""
        seen, same = None, 0
        deadline = time.monotonic() + 30
        while same < 5 and time.monotonic() < deadline:
            now = set(below())
            same = same + 1 if now == seen else 0
            seen = now
            time.sleep(0.1)
        self.kept = seen
        return {"kept": len(self.kept)}

    def do_sweep(self, _):
        """Ends every process that came since the session's own were kept:
        whatever a disc started, however it hid (a session or group of its
        own, an orphan's parent), and what that starts meanwhile."""
        ended = set()
        for pid, _start in self.kept:
            try:
                os.kill(pid, signal.SIGCONT)  # one the disc stopped (its display, say) goes on
            except (ProcessLookupError, PermissionError):
                pass
        for _ in range(50):
            left = [p for p in below() if p not in self.kept]
            if not left:
                break
            for pid, _start in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except (ProcessLookupError, PermissionError):
                    pass
                ended.add(pid)
            time.sleep(0.02)
        return {"count": len(ended)}

    def handle(self, fd):
        with socket.socket(fileno=fd) as conn, conn.makefile("rwb") as f:
            conn.setblocking(True)
            try:
                answer = self.act(json.loads(f.readline()))
            except (OSError, ValueError, KeyError) as error:
                answer = {"error": str(error)}
            f.write(json.dumps(answer).encode() + b"\n")
            f.flush()


def take_handoffs(inside, name):
    """What inside is handed over on the abstract socket name, each noted
    with the leader of the handing process's session: Wine starts each
    program in a session of its own, and a process joins a session only by
    being started in it, so what the disc's programs hand over themselves
    is told from what Wine's bridge does (the first thousand are kept)."""
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(name)
    listener.listen(16)
    while True:
        conn, _ = listener.accept()
        with conn:
            conn.settimeout(5)
            try:
                pid = struct.unpack("3i", conn.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12))[0]
                with conn.makefile("rb") as f:
                    address = f.readline(LONGEST_ADDRESS + 1).rstrip(b"\n")
                with inside.lock:
                    by = session_leader(pid, inside.reaped)
                    if len(inside.handoffs) < 1000:
                        inside.handoffs.append({"address": address.decode("utf-8", "replace"), "by": by})
                conn.sendall(b".")
            except OSError:
                continue


def below():
    """(pid, start time) of every process below this one: its PID namespace's
    every other process, in a sandbox; its descendants, orphans it took in
    included, without one."""
    found = []
    for pid in descendants(os.getpid()):
        try:
            with open("/proc/%d/stat" % pid, "rb") as f:
                found.append((pid, int(f.read().rsplit(b")", 1)[1].split()[19])))
        except (OSError, IndexError, ValueError):
            continue
    return found


def serve_inside(channel, box, sandboxed, entry=None):
    """The loop of the sandbox's first process: each connection the agent
    hands over, one request and its answer; with entry, qemu registered first."""
    if entry:
        emulate(entry)
    seccomp.install()  # for all it starts: the disc's programs and the tools' alike
    untouchable()
    channel = socket.socket(fileno=channel)
    if sandboxed:
        resource.setrlimit(resource.RLIMIT_NPROC, (PROCESSES, PROCESSES))
    else:
        prctl(PR_SET_CHILD_SUBREAPER, 1)
    inside = Inside(box)
    threading.Thread(target=inside.reap, daemon=True).start()
    threading.Thread(target=take_handoffs, args=(inside, handoff_socket(box)), daemon=True).start()
    while True:
        data, fds, _, _ = socket.recv_fds(channel, 16, 4)
        if not data:
            os._exit(0)  # the agent went away, and the sandbox goes with it
        for fd in fds:
            try:
                threading.Thread(target=inside.handle, args=(fd,), daemon=True).start()
            except RuntimeError:  # no thread to be had: its programs took them all
                inside.handle(fd)


def exec_emulated(entry, argv):
    """In a sandbox given EMULATING: argv, with qemu registered for it first,
    then the system call filter."""
    emulate(entry)
    seccomp.install()
    os.execvp(argv[0], argv)
