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
- the first process of the sandbox, in inside.py.
"""
import base64
import ctypes
import json
import os
import signal
import socket
import subprocess
import threading
import time

from . import Gone, Unavailable, seccomp
from .limits import MEMORY, PROCESSES, MemoryLimit, ProcessLimit
from .tools import in_words

LARGEST_FETCH = 32 << 20
PR_SET_PDEATHSIG, PR_SET_DUMPABLE, PR_CAPBSET_DROP, PR_SET_CHILD_SUBREAPER = 1, 4, 24, 36
# The capabilities a sandbox's first process keeps to set up emulation, and then drops.
EMULATING = ("CAP_SYS_ADMIN", "CAP_SETPCAP")


def prctl(option, value):
    return ctypes.CDLL(None, use_errno=True).prctl(option, value, 0, 0, 0)


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

    def capture(self, argv, env, limit, timeout=60):
        """(the command's exit status, or None where it could not start or
        was ended; at most limit bytes of its standard output)."""
        answer = self.ask({"do": "capture", "argv": argv, "env": env, "limit": limit, "timeout": timeout},
                          timeout + 30)
        return answer.get("status"), base64.b64decode(answer.get("data", ""))

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

    def keep(self):
        """What runs in the sandbox now is the session's own."""
        self.ask({"do": "keep"}, 30)

    def sweep(self):
        """Ends every process of the sandbox but the session's own; how many."""
        return self.ask({"do": "sweep"}, 60).get("count", 0)

    def handoffs(self, since=0):
        """What Wine's browser bridge was handed, from the since'th on:
        ({"address", "by": the leader of the handing process's session}, ...),
        and how many there have been."""
        answer = self.ask({"do": "handoffs", "since": since}, 30)
        return answer.get("handoffs", []), answer.get("count", 0)

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


def end_below():
    """Ends every process below this one, orphans taken in included, and
    reaps what they leave."""
    for _ in range(50):
        pids = list(descendants(os.getpid()))
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        while True:
            try:
                if os.waitpid(-1, os.WNOHANG)[0] == 0:
                    break
            except ChildProcessError:
                break
        if not pids:
            return
        time.sleep(0.02)


def asks_to_stop(conn):
    """True when the request waiting on conn is the tools' word to stop: a
    short first line, read without taking it, that is that JSON request.
    Anything else is left for the sandbox's side to read whole."""
    head = b""
    while b"\n" not in head and len(head) < 64:
        more = conn.recv(64, socket.MSG_PEEK)
        if len(more) == len(head):
            break
        head = more
    if b"\n" not in head:
        return False
    try:
        request = json.loads(head.split(b"\n", 1)[0])
    except ValueError:
        return False
    return isinstance(request, dict) and request.get("do") == "stop"


def serve_agent(listener, command, sandboxed, detached, keep=(), memory=MEMORY):
    """The agent's loop, on an inherited listening socket: starts command
    (the sandbox and its first process, which gets one end of a channel as
    its last argument, and the descriptors keep) in a group of processes of
    its own where the kernel cannot bound their number otherwise, then hands
    it each connection, but for the tools' word to stop."""
    untouchable()
    seccomp.fresh_keyring()  # the sandbox is started in it: nothing of the user's keys within reach
    if not detached:
        prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if not sandboxed:
        prctl(PR_SET_CHILD_SUBREAPER, 1)  # what the disc's programs leave behind stays below
    sock = socket.socket(fileno=listener)
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    limit = ProcessLimit() if sandboxed else None
    held = MemoryLimit(memory) if sandboxed else None

    def enter():
        for group in (limit, held):
            if group:
                group.enter()

    first = subprocess.Popen(command + [str(theirs.fileno())], pass_fds=[theirs.fileno()] + list(keep),
                             stdin=subprocess.DEVNULL, preexec_fn=enter)
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
        end_below()

    def watch():
        most = 0
        many = "the disc's programs started more than %d processes" % (PROCESSES // 2)
        while not ended:
            found = descendants(first.pid)
            most = max(most, len(found))
            if most > PROCESSES // 2 or (limit and limit.reached()):
                end(many, True)
            elif sum(found.values()) > memory or (held and held.reached()):
                end("the disc's programs used more than %s of memory" % in_words(memory), True)
            elif first.poll() is not None:
                end("its first process ended")
            time.sleep(0.1)

    threading.Thread(target=watch, daemon=True).start()
    while True:
        conn, _ = sock.accept()
        try:
            conn.settimeout(30)
            if asks_to_stop(conn):
                end("the try asked it to stop")
                for group in (limit, held):
                    if group:
                        group.remove()
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
