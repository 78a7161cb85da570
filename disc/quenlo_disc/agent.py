"""How the tools act inside a try's sandbox without ever touching by path
what the disc's programs can write.

Three parts, each in its own process:
- the client, Agent, in each process of the tools: one request a
  connection to a socket that lies outside the sandbox, a JSON line, and
  its answer;
- the agent, on this side of the sandbox's wall, out of the disc's sight (a
  PID namespace of its own below it) and not dumpable: it holds the listening
  socket, hands each connection to the sandbox's first process, watches how
  many processes the sandbox has and how much memory they use, and ends the
  sandbox when one grows beyond its limit or the tools ask;
- the first process of the sandbox (without one, a plain process that
  takes in whatever its children leave behind): it starts programs and tells
  how they end, and moves files in and out of the box as bytes, each path
  taken beneath the box one component at a time, no link followed, no file
  but a plain one read, never beyond a limit. As process 1 of its PID
  namespace with no handler for any signal, it cannot be stopped, killed or
  traced by what it starts.
"""
import base64
import ctypes
import json
import os
import resource
import signal
import socket
import subprocess
import threading
import time

from . import Gone, Unavailable
from .boxfiles import Hostile, open_beneath, read_fd

# What the disc's programs may have: processes, and memory in all (resident,
# as /proc counts it; the sandbox's file systems have sizes of their own).
# A try ends once half the processes are there; the kernel holds them to the
# rest meanwhile.
PROCESSES = 512
MEMORY = 4 << 30
LARGEST_FETCH = 32 << 20
PR_SET_PDEATHSIG, PR_SET_DUMPABLE, PR_CAPBSET_DROP, PR_SET_CHILD_SUBREAPER = 1, 4, 24, 36
# The capabilities a sandbox's first process keeps to set up emulation, and then drops.
EMULATING = ("CAP_SYS_ADMIN", "CAP_SETPCAP")


def prctl(option, value):
    return ctypes.CDLL(None, use_errno=True).prctl(option, value, 0, 0, 0)


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


class ProcessLimit:
    """For root, whose processes the kernel's limit on a user's processes
    never bounds: a control group of the pids controller (version 1's, or
    version 2's at the top) that holds at most PROCESSES, for a sandbox to
    start in. For any other user, and where none can be made, nothing
    (the sandbox's first process sets the limit for its user)."""

    def __init__(self):
        self.path = None
        if os.geteuid() != 0:
            return
        for top in ("/sys/fs/cgroup/pids", "/sys/fs/cgroup"):
            try:
                if top == "/sys/fs/cgroup":
                    with open(os.path.join(top, "cgroup.subtree_control")) as f:
                        if "pids" not in f.read().split():
                            continue
                path = os.path.join(top, "quenlo-try-%d-%s" % (os.getpid(), os.urandom(3).hex()))
                os.mkdir(path)
                with open(os.path.join(path, "pids.max"), "w") as f:
                    f.write(str(PROCESSES))
                self.path = path
                return
            except OSError:
                continue

    def enter(self):
        """In the child, before it runs the sandbox: into the group."""
        if self.path:
            with open(os.path.join(self.path, "cgroup.procs"), "w") as f:
                f.write(str(os.getpid()))

    def reached(self):
        """True once the group refused a process."""
        try:
            with open(os.path.join(self.path, "pids.events")) as f:
                return any(line.split()[1] != "0" for line in f if line.startswith("max "))
        except (OSError, TypeError, IndexError):
            return False

    def remove(self):
        """The group goes once the sandbox's processes have."""
        for _ in range(100):
            if not self.path:
                return
            try:
                os.rmdir(self.path)
                self.path = None
            except FileNotFoundError:
                self.path = None
            except OSError:
                time.sleep(0.05)


def untouchable():
    """This process: not to be traced or read by processes of its user, and
    SIGINT back to the default, which its PID namespace's first process
    does not get from within."""
    prctl(PR_SET_DUMPABLE, 0)
    signal.signal(signal.SIGINT, signal.SIG_DFL)


# ---------------------------------------------------------------- the client

class Agent:
    """The tools' side: what the agent at path is asked, and its answers."""

    def __init__(self, path, pid=None):
        self.path, self.pid = path, pid

    def ask(self, request, timeout=None):
        with socket.socket(socket.AF_UNIX) as conn:
            conn.settimeout(timeout)
            try:
                conn.connect(self.path)
                conn.sendall(json.dumps(request).encode() + b"\n")
                with conn.makefile("rb") as f:
                    line = f.readline()
            except (ConnectionError, FileNotFoundError):
                line = b""
        if not line:
            # The sandbox went while it answered; the agent, where it is
            # still there, knows why.
            if request.get("do") != "ping":
                time.sleep(0.3)
                try:
                    self.ask({"do": "ping"}, 5)
                except Gone as gone:
                    raise gone from None
            raise Gone("its agent went away")
        answer = json.loads(line)
        if answer.get("ended"):
            raise Gone(answer["ended"], answer.get("limit", False))
        return answer

    def run(self, argv, env, cwd=None, out=None, err=None, timeout=120):
        """The command's exit status, or None when it could not start or ran
        out of time (then it is ended, with all it started)."""
        return self.ask({"do": "run", "argv": argv, "env": env, "cwd": cwd, "out": out, "err": err,
                         "timeout": timeout}, timeout + 30)["status"]

    def spawn(self, argv, env, cwd=None, out=None, err=None, stdin=None):
        """Starts a command in a session of its own; its pid."""
        answer = self.ask({"do": "spawn", "argv": argv, "env": env, "cwd": cwd, "out": out, "err": err,
                           "stdin": stdin}, 30)
        if "pid" not in answer:
            raise Unavailable("cannot start %s in the sandbox (%s): install it" % (argv[0], answer.get("error")))
        return answer["pid"]

    def alive(self, pid):
        return self.ask({"do": "alive", "pid": pid}, 30)["alive"]

    def kill(self, pid):
        self.ask({"do": "kill", "pid": pid}, 30)

    def fetch(self, path, limit=LARGEST_FETCH):
        """The bytes of a plain file in the box (b"" for anything else, or
        for what is not there), at most limit."""
        return base64.b64decode(self.ask({"do": "fetch", "path": path, "limit": limit}, 60).get("data", ""))

    def put(self, path, data, mode=0o644):
        """A new file in the box with data; OSError where something is in its way."""
        answer = self.ask({"do": "put", "path": path, "mode": mode,
                           "data": base64.b64encode(data.encode() if isinstance(data, str) else data).decode()}, 60)
        if "error" in answer:
            raise OSError(answer["error"])

    def mkdtemp(self, parent, prefix):
        """A new folder of the box, in parent."""
        return self.ask({"do": "mkdtemp", "parent": parent, "prefix": prefix}, 30)["path"]

    def link(self, target, path):
        """path, in the box, a link to target, in place of whatever was there."""
        self.ask({"do": "link", "target": target, "path": path}, 30)

    def listdir(self, path):
        return self.ask({"do": "list", "path": path}, 30).get("names", [])

    def stop(self):
        """Ends the sandbox and everything in it, and the agent."""
        try:
            self.ask({"do": "stop"}, 30)
        except (OSError, Gone, ValueError):
            pass
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass


# ---------------------------------------------------------------- the agent

def descendants(top, direct=False):
    """{pid: resident bytes} of every process below top (with direct, of its
    children alone), as this side's /proc sees them."""
    below, sizes = {}, {}
    page = os.sysconf("SC_PAGE_SIZE")
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name, "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
        except OSError:
            continue
        below.setdefault(int(fields[1]), []).append(int(name))
        sizes[int(name)] = int(fields[21]) * page
    found, pending = {}, [top]
    while pending:
        for child in below.get(pending.pop(), []):
            if child not in found:
                found[child] = sizes.get(child, 0)
                if not direct:
                    pending.append(child)
    return found


def serve_agent(listener, command, sandboxed, detached, keep=()):
    """The agent's loop, on an inherited listening socket: starts command
    (the sandbox and its first process, which gets one end of a channel as
    its last argument, and the descriptors keep) in a group of processes of
    its own where the kernel cannot bound their number otherwise, then hands
    it each connection, but for the tools' word to stop."""
    untouchable()
    if not detached:
        prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if not sandboxed:
        prctl(PR_SET_CHILD_SUBREAPER, 1)  # what the disc's programs leave behind stays below
    sock = socket.socket(fileno=listener)
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    limit = ProcessLimit() if sandboxed else None
    first = subprocess.Popen(command + [str(theirs.fileno())], pass_fds=[theirs.fileno()] + list(keep),
                             stdin=subprocess.DEVNULL, preexec_fn=limit.enter if limit else None)
    theirs.close()
    for fd in keep:
        os.close(fd)
    ended = []

    def end(why, limit=False):
        """Ends the sandbox and all in it (its first process first, whose end
        takes the rest of its PID namespace along at once); without one,
        everything below."""
        ended.append({"ended": why, "limit": limit})
        for pid in descendants(first.pid, direct=True):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for _ in range(50):
            pids = list(descendants(os.getpid()))
            if not pids:
                break
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.02)
            while True:  # the agent reaps whatever it inherited
                try:
                    if os.waitpid(-1, os.WNOHANG)[0] == 0:
                        break
                except ChildProcessError:
                    break

    def watch():
        most = 0
        many = "the disc's programs started more than %d processes" % (PROCESSES // 2)
        while not ended:
            found = descendants(first.pid)
            most = max(most, len(found))
            if most > PROCESSES // 2 or (limit and limit.reached()):
                end(many, True)
            elif sum(found.values()) > MEMORY:
                end("the disc's programs used more than %d GiB of memory" % (MEMORY >> 30), True)
            elif first.poll() is not None:
                end("its first process ended")
            time.sleep(0.1)

    threading.Thread(target=watch, daemon=True).start()
    while True:
        conn, _ = sock.accept()
        try:
            conn.settimeout(30)
            head = b""
            while b"\n" not in head and len(head) < 64:
                more = conn.recv(64, socket.MSG_PEEK)
                if len(more) == len(head):
                    break
                head = more
            if head.startswith(b'{"do": "stop"'):
                end("the try asked it to stop")
                if limit:
                    limit.remove()
                conn.sendall(b"{}\n")
                os._exit(0)
            if ended:
                conn.sendall(json.dumps(ended[0]).encode() + b"\n")
            else:
                conn.settimeout(None)  # the description it shares is blocking again
                socket.send_fds(ours, [b"c"], [conn.fileno()])
        except OSError:
            pass
        finally:
            conn.close()


# ---------------------------------------------------------------- the sandbox's first process

class Inside:
    """What the sandbox's first process does for the tools: starts programs
    and tells how they end (children: pid to Popen), and moves files in and
    out of box."""

    def __init__(self, box):
        self.box, self.children, self.lock = box, {}, threading.Lock()
        self.top = os.open(box, os.O_RDONLY | os.O_DIRECTORY)
        self.forever = os.pipe()  # never written: a program that reads it waits for good (Wine's keeper)

    def beneath(self, path):
        rel = os.path.relpath(path, self.box)
        if rel.startswith("..") or os.path.isabs(rel):
            raise Hostile(1, "not in the box", path)
        return rel

    def open(self, path, flags, mode=0o644):
        rel = self.beneath(path)
        return os.dup(self.top) if rel == "." else open_beneath(self.top, rel, flags, mode)

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
                    try:
                        os.waitpid(info.si_pid, 0)
                    except ChildProcessError:
                        pass
            if not orphan:
                time.sleep(0.2)

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

    def act(self, request):
        """The answer to one request."""
        return getattr(self, "do_" + request["do"], self.unknown)(request)

    def unknown(self, request):
        return {"error": "unknown request %r" % request["do"]}

    def do_ping(self, _):
        return {}

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

    def handle(self, fd):
        with socket.socket(fileno=fd) as conn, conn.makefile("rwb") as f:
            conn.setblocking(True)
            try:
                answer = self.act(json.loads(f.readline()))
            except (OSError, ValueError, KeyError) as error:
                answer = {"error": str(error)}
            f.write(json.dumps(answer).encode() + b"\n")
            f.flush()


def serve_inside(channel, box, sandboxed, entry=None):
    """The loop of the sandbox's first process: each connection the agent
    hands over, one request and its answer; with entry, qemu registered first."""
    if entry:
        emulate(entry)
    untouchable()
    channel = socket.socket(fileno=channel)
    if sandboxed:
        resource.setrlimit(resource.RLIMIT_NPROC, (PROCESSES, PROCESSES))
    else:
        prctl(PR_SET_CHILD_SUBREAPER, 1)
    inside = Inside(box)
    threading.Thread(target=inside.reap, daemon=True).start()
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
    """In a sandbox given EMULATING: argv, with qemu registered for it first."""
    emulate(entry)
    os.execvp(argv[0], argv)
