"""A namespace sandbox, made with bubblewrap, for whatever a disc brings.

A disc's quenlo.exe may be any program, and Wine is no sandbox: its Z: drive
is the whole file system and a Windows program under it may make Unix calls
directly. So everything of a try runs in namespaces of its own: no network
(a loopback of its own only), the system read-only, nothing of the user's in
sight but the folders named for it, no capabilities, an environment of its
own and no terminal to type into.

Inside runs an agent that starts the programs it is asked to and tells how
they end. The sandbox hears it through a socket whose path lies outside the
sandbox, so that what runs in it can neither see nor replace it; each
process of the tools (the command, each end-to-end case) connects there.
Without the sandbox (--no-sandbox) the same agent runs as a plain process.
"""
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

from . import LIB, Gone, Refusal, Unavailable
from .tools import last_lines

BWRAP = "bwrap"
PYTHON = "/usr/bin/python3"  # the system's: a user's own Python may live in a folder the sandbox hides
# The system, read-only; on a merged /usr these are links into it.
SYSTEM = ("usr", "etc", "opt")
SYSTEM_LINKS = ("bin", "sbin", "lib", "lib32", "lib64", "libx32")
# What is left of /var: fontconfig's caches, so that browsers need not
# rebuild them.
SYSTEM_CACHES = ("/var/cache/fontconfig",)
# Readable by root only, and so by a sandbox of root's: kept out of it all the same.
SECRETS = ("/etc/shadow", "/etc/shadow-", "/etc/gshadow", "/etc/gshadow-", "/etc/ssh", "/etc/ssl/private",
           "/etc/sudoers", "/etc/sudoers.d")
ENVIRONMENT = {"PATH": "/usr/local/bin:/usr/bin:/bin", "LANG": "C.UTF-8", "TMPDIR": "/tmp"}
SAID = "Sandbox: no network, nothing of yours in reach; only the try's own files are written"
NOT_SAID = "Sandbox: none (--no-sandbox): the disc's programs run with your rights, not sandboxed"


def arguments(writable=(), readable=(), detached=False):
    """bwrap's command line, up to the program: the system read-only, a /tmp,
    /dev and /proc of its own, the readable paths read-only and the writable
    ones read-write. detached: the sandbox outlives
    the process that made it (the end-to-end cases share one)."""
    args = [BWRAP, "--unshare-all", "--new-session", "--cap-drop", "ALL", "--clearenv"]
    if not detached:
        args.append("--die-with-parent")
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
    for path in SECRETS:
        if os.path.isdir(path):
            args += ["--tmpfs", path]
        elif os.path.lexists(path):
            args += ["--ro-bind", "/dev/null", path]
    args += ["--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp", "--tmpfs", "/var/tmp"]
    # Each at its own path, or a (path, where it is shown) pair; a readable
    # one may lie in a writable one.
    for path in writable:
        args += ["--bind", path, path]
    for path in readable:
        args += ["--ro-bind"] + (list(path) if isinstance(path, (tuple, list)) else [path, path])
    # The sandbox's own root, which holds the mount points, is read-only too:
    # nothing is written but where it is bound to be.
    return args + ["--remount-ro", "/", "--chdir", "/"]


_usable = {}


def usable():
    """None where a sandbox can be made here, else bwrap's reason."""
    if "why" not in _usable:
        try:
            result = subprocess.run(arguments() + ["true"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE, timeout=30)
            lines = result.stderr.decode(errors="replace").strip().splitlines()
            _usable["why"] = None if result.returncode == 0 else (lines[-1] if lines else "it failed")
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


def run(command, writable=(), readable=(), env=None, timeout=600):
    """One command in a sandbox of its own; (status, its standard error)."""
    full = dict(ENVIRONMENT, **(env or {}))
    argv = arguments(writable, readable) + sum((["--setenv", k, v] for k, v in full.items()), []) + ["--"] + command
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            timeout=timeout)
    return result.returncode, result.stderr.decode(errors="replace")


# ---------------------------------------------------------------- the agent

def serve(listener):
    """The agent's loop, on an inherited listening socket: one request a
    connection, as a JSON line, and its answer."""
    sock = socket.socket(fileno=listener)
    children, lock = {}, threading.Lock()
    # Never written: a program that reads it waits for good (Wine's keeper).
    forever = os.pipe()

    def reap(child):
        child.wait()

    def handle(conn):
        with conn, conn.makefile("rwb") as f:
            request = json.loads(f.readline())
            answer = act(request)
            f.write(json.dumps(answer).encode() + b"\n")
            f.flush()
            if request["do"] == "stop":
                os._exit(0)

    def act(request):
        do = request["do"]
        if do == "ping":
            return {}
        if do in ("run", "spawn"):
            out = open(request["out"], "ab") if request.get("out") else subprocess.DEVNULL
            err = open(request["err"], "ab") if request.get("err") else subprocess.DEVNULL
            stdin = forever[0] if request.get("stdin") == "forever" else subprocess.DEVNULL
            try:
                child = subprocess.Popen(request["argv"], env=request["env"], cwd=request.get("cwd") or "/",
                                         stdin=stdin, stdout=out, stderr=err, start_new_session=True)
            except OSError as error:
                return {"status": None, "error": str(error)}
            finally:
                for stream in (out, err):
                    if stream is not subprocess.DEVNULL:
                        stream.close()
            with lock:
                children[child.pid] = child
            if do == "spawn":
                threading.Thread(target=reap, args=(child,), daemon=True).start()
                return {"pid": child.pid}
            try:
                return {"status": child.wait(timeout=request.get("timeout"))}
            except subprocess.TimeoutExpired:
                end(child.pid)
                child.wait()
                return {"status": None, "error": "timed out"}
        if do == "alive":
            child = children.get(request["pid"])
            return {"alive": child is not None and child.poll() is None,
                    "status": None if child is None else child.poll()}
        if do == "kill":
            end(request["pid"])
            return {}
        if do == "stop":
            # Where there is no sandbox to take everything with it.
            for pid in list(children):
                end(pid)
            return {}
        return {"error": "unknown request %r" % do}

    def end(pid):
        try:
            os.killpg(pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    while True:
        conn, _ = sock.accept()
        threading.Thread(target=handle, args=(conn,), daemon=True).start()


class Agent:
    """The tools' side of an agent: what it is asked, and the answers."""

    def __init__(self, path, pid=None):
        self.path, self.pid = path, pid

    def ask(self, request, timeout=None):
        with socket.socket(socket.AF_UNIX) as conn:
            conn.settimeout(timeout)
            conn.connect(self.path)
            conn.sendall(json.dumps(request).encode() + b"\n")
            with conn.makefile("rb") as f:
                line = f.readline()
        if not line:
            raise Gone("its agent went away")
        return json.loads(line)

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

    def stop(self):
        """Ends the agent and everything it started; in a sandbox, the sandbox
        with it."""
        try:
            self.ask({"do": "stop"}, 10)
        except (OSError, Gone, ValueError):
            pass
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass


def start(folder, writable=(), readable=(), sandboxed=True, detached=False, log=os.devnull):
    """An agent, in a new sandbox that may write only `writable` and read
    only the system and `readable` (without: as a plain process); its
    socket lies in folder, which the sandbox does not show."""
    path = os.path.join(folder, "agent.sock")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(64)
    code = "import sys; sys.path.insert(0, %r); from quenlo_disc import sandbox; sandbox.serve(%d)" % (
        LIB, listener.fileno())
    command = [PYTHON, "-I", "-c", code]
    info = None
    if sandboxed:
        info = os.pipe()
        env = sum((["--setenv", k, v] for k, v in ENVIRONMENT.items()), [])
        command = (arguments(writable, (LIB,) + tuple(readable), detached) + env
                   + ["--info-fd", str(info[1]), "--"] + command)
    with open(log, "ab") as errors:
        process = subprocess.Popen(command, pass_fds=[listener.fileno()] + ([info[1]] if info else []),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors,
                                   start_new_session=True, env=None if sandboxed else dict(ENVIRONMENT))
    listener.close()
    pid = process.pid
    if info:
        # The sandbox's first process, whose end takes all of it along.
        os.close(info[1])
        with os.fdopen(info[0], "rb") as f:
            data = f.read()
        try:
            pid = json.loads(data)["child-pid"]
        except (ValueError, KeyError):
            process.wait()
            raise Unavailable("the sandbox could not be made: %s" % last_line(log))
    agent = Agent(path, pid)
    for _ in range(100):
        try:
            agent.ask({"do": "ping"}, 5)
            return agent
        except (OSError, ValueError, Gone):
            if process.poll() is not None:
                break
            time.sleep(0.05)
    agent.stop()
    raise Unavailable("the sandbox's agent did not start: %s" % last_line(log))


def last_line(path):
    try:
        with open(path, errors="replace") as f:
            return last_lines(f.read()) or "no word from it"
    except OSError:
        return "no word from it"


if __name__ == "__main__":
    serve(int(sys.argv[1]))
