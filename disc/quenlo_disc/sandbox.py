"""The namespace sandbox, made with bubblewrap, for whatever a disc brings.

A disc's quenlo.exe may be any program, and Wine is no sandbox: its Z: drive
is the whole file system and a Windows program under it may make Unix calls
directly. So everything of a try runs in namespaces of its own: no network
(a loopback of its own only), no host name or machine id of the user's, the
system read-only with what only root may read left out, nothing of the
user's in sight but the folders named for it, no capabilities, an
environment of its own and no terminal to type into. What it may write, it
writes in file systems of its own, each of a fixed size: its box, /tmp,
/var/tmp and /dev/shm. The tools act in it only through its agent (agent.py).
"""
import json
import os
import shutil
import socket
import stat
import subprocess
import sys
import uuid

from . import LIB, Refusal, Unavailable, seccomp
from .agent import EMULATING, Agent
from .limits import MEMORY, MemoryLimit, ProcessLimit
from .tools import last_lines, wait_until

PYTHON = "/usr/bin/python3"  # the system's: a user's own Python may live in a folder the sandbox hides
# The system, read-only; on a merged /usr these are links into it.
SYSTEM = ("usr", "etc")
SYSTEM_LINKS = ("bin", "sbin", "lib", "lib32", "lib64", "libx32")
# What is left of /var: fontconfig's caches, so that browsers need not
# rebuild them.
SYSTEM_CACHES = ("/var/cache/fontconfig",)
# The sizes of what the sandbox may write: its box (the Wine prefix's own
# files, the browser's profile, the pictures), and the rest.
SIZES = {"box": 1 << 30, "/tmp": 256 << 20, "/var/tmp": 64 << 20, "/dev/shm": 64 << 20, "private": 16 << 10}
ENVIRONMENT = {"PATH": "/usr/local/bin:/usr/bin:/bin", "LANG": "C.UTF-8"}
QEMU = "/usr/bin/qemu-i386"
# qemu's entry for i386 programs, for a binfmt_misc of the sandbox's own.
QEMU_ENTRY = (":quenlo-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:"
              "\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:%s:F" % QEMU)
SAID = "Sandbox: no network, nothing of yours in reach; only the try's own files are written"
NOT_SAID = "Sandbox: none (--no-sandbox): the disc's programs run with your rights, not sandboxed"


def private(top="/etc"):
    """What of top this user may read but others may not (what only root
    may read, for root): each a (path, is a folder), to be left out."""
    found = []
    for folder, dirs, files in os.walk(top):
        for name in sorted(dirs + files):
            path = os.path.join(folder, name)
            try:
                info = os.lstat(path)
            except OSError:
                continue
            if stat.S_ISLNK(info.st_mode):
                continue
            folder_entry = stat.S_ISDIR(info.st_mode)
            if not info.st_mode & (stat.S_IROTH | (stat.S_IXOTH if folder_entry else 0)):
                found.append((path, folder_entry))
                if folder_entry:
                    dirs.remove(name)
    return found


def arguments(writable=(), readable=(), box=None, detached=False, machine_id=None, links=(), filtered=None):
    """bwrap's command line, up to the program: the system read-only, the
    readable paths read-only and the writable ones read-write (each at its
    own path, or a readable one as a (path, where it is shown) pair); with
    box, a file system of its own there. machine_id: a descriptor that
    holds the sandbox's /etc/machine-id. detached: the sandbox outlives
    the process that made it (the end-to-end cases share one). links:
    (target, path) of each symbolic link at the sandbox's root. filtered: a
    descriptor bwrap reads the system call filter from (seccomp.py), where
    the sandbox's first process does not install it itself."""
    # A user namespace even for root, whose sandbox would otherwise share this
    # one's: the limit on processes holds only within a namespace of its own.
    args = [shutil.which("bwrap") or "bwrap", "--unshare-all", "--unshare-user", "--hostname", "quenlo",
            "--new-session", "--cap-drop", "ALL", "--clearenv"]
    if not detached:
        args.append("--die-with-parent")
    if filtered is not None:
        args += ["--seccomp", str(filtered)]
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
    for path, folder in private():
        # An empty folder in its place, of a fixed size and read-only: nothing to fill.
        args += (["--size", str(SIZES["private"]), "--tmpfs", path, "--remount-ro", path] if folder
                 else ["--ro-bind", "/dev/null", path])
    if machine_id is not None:
        args += ["--ro-bind-data", str(machine_id), "/etc/machine-id"]
    args += ["--dev", "/dev", "--size", str(SIZES["/dev/shm"]), "--tmpfs", "/dev/shm", "--remount-ro", "/dev",
             "--proc", "/proc"]
    for path in ("/tmp", "/var/tmp"):
        args += ["--size", str(SIZES[path]), "--tmpfs", path]
    if box:
        args += ["--size", str(SIZES["box"]), "--tmpfs", box]
    for path in writable:
        args += ["--bind", path, path]
    for path in readable:
        args += ["--ro-bind"] + (list(path) if isinstance(path, (tuple, list)) else [path, path])
    for target, path in links:
        args += ["--symlink", target, path]
    # The sandbox's own root, which holds the mount points, is read-only too:
    # nothing is written but where it is bound to be.
    return args + ["--remount-ro", "/", "--chdir", "/"]


def environment_args(env):
    return sum((["--setenv", k, v] for k, v in dict(ENVIRONMENT, **env).items()), [])


_usable = {}


def reader_prefix(profile, readable, stage):
    """What runs Chromium reading a medium (readable) for the check: a sandbox
    with no network, writing only profile, in a keyring of its own and with
    the system call filter, which a shell hands bwrap from a file of stage's."""
    program = os.path.join(stage, "seccomp.bpf")
    with open(program, "wb") as f:
        f.write(seccomp.program())
    return (["sh", "-c", 'exec "$@" 9<"$0"', program] + arguments([profile], readable, filtered=9)
            + environment_args({"HOME": profile}) + ["--"])


def usable():
    """None where a sandbox can be made here, else bwrap's reason."""
    if "why" not in _usable:
        try:
            result = subprocess.run(arguments() + ["true"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE, timeout=30, env={})
            _usable["why"] = None if result.returncode == 0 else (last_lines(result.stderr) or "it failed")
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


def entry(module, call, *args):
    """The command line that runs call (a line of Python that reads its
    arguments from sys.argv) with the tools' module imported, args after it:
    the system's Python, isolated from the user's own settings."""
    return [PYTHON, "-I", "-c", "import sys; sys.path.insert(0, %r); from quenlo_disc import %s; %s"
            % (LIB, module, call)] + list(args)


def emulating(command):
    """bwrap's options and the command, where qemu is to run the sandbox's
    i386 programs: the capabilities to set it up (dropped before command
    runs), as root of the sandbox's user namespace, which alone may mount a
    binfmt_misc of its own; and what sets it up."""
    options = ["--uid", "0", "--gid", "0"] + sum((["--cap-add", cap] for cap in EMULATING), [])
    return options, entry("inside", "inside.exec_emulated(sys.argv[1], sys.argv[2:])", QEMU_ENTRY) + command


def run(command, writable=(), readable=(), env=None, timeout=600, largest_file=None, emulate=False):
    """One command in a sandbox of its own, which writes nothing else: its
    (status, standard output, standard error). largest_file: no file it
    writes may grow beyond that many bytes; emulate: qemu runs its i386
    programs."""
    limit = ["prlimit", "--fsize=%d" % largest_file] if largest_file else []
    options, command = emulating(command) if emulate else ([], command)
    readable = tuple(readable) + ((LIB,) if emulate else ())
    # Emulation mounts a binfmt_misc first, which the filter refuses: its
    # first process installs the filter itself once that is done.
    filtered = None if emulate else seccomp.descriptor()
    argv = (arguments(writable, readable, filtered=filtered) + options + environment_args(env or {}) + ["--"] + limit
            + command)
    limits = (ProcessLimit(), MemoryLimit())

    def entered():
        for group in limits:
            group.enter()
        seccomp.fresh_keyring()

    try:
        result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                timeout=timeout, env={}, preexec_fn=entered,
                                pass_fds=() if filtered is None else (filtered,))
    except subprocess.TimeoutExpired:
        return None, "", "it ran out of its %d s" % timeout
    finally:
        for group in limits:
            group.remove()
        if filtered is not None:
            os.close(filtered)
    return result.returncode, result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")


def read_image(argv, image, sandboxed, writable=(), largest_file=None, timeout=600):
    """What the tools' own ISO reader (iso.main with argv) says of an image
    from anyone, as JSON: read in a bounded sandbox of its own (without one,
    in a process of its own all the same), never in the tools' process.
    Unavailable where it could not run."""
    command = entry("iso", "iso.main(sys.argv[1:])", *argv)
    if sandboxed:
        status, out, err = run(command, writable=writable, readable=[image, LIB], timeout=timeout,
                               largest_file=largest_file or max(os.path.getsize(image), 1 << 20))
    else:
        status, out, err = plain(command, timeout=timeout)
    try:
        found = json.loads(out or "{}")
    except ValueError:
        found = {}
    if "refusal" in found:
        raise Refusal(found["refusal"], found["code"])
    if status != 0 or not found:
        raise Unavailable("the image could not be read%s" % (": " + last_lines(err) if last_lines(err) else ""))
    return found


def plain(command, env=None, timeout=600):
    """One command without a sandbox, as run() gives it (in a keyring of its
    own all the same)."""
    try:
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                timeout=timeout, env=dict(ENVIRONMENT, **(env or {})), preexec_fn=seccomp.fresh_keyring)
    except subprocess.TimeoutExpired:
        return None, "", "it ran out of its %d s" % timeout
    return result.returncode, result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")


def start(folder, box, writable=(), readable=(), sandboxed=True, detached=False, emulate=False, links=(),
          memory=MEMORY):
    """The Agent of a new sandbox (without: a plain process, whose programs
    write box on this side) that may write only its box and writable and
    read only the system and readable, qemu running its i386 programs where
    emulate; its socket lies in folder, which the sandbox does not show, and
    its words go to folder/sandbox.log."""
    path, log = os.path.join(folder, "agent.sock"), os.path.join(folder, "sandbox.log")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(64)
    inside = entry("inside", "inside.serve_inside(int(sys.argv[4]), sys.argv[1], sys.argv[2] == 'sandboxed', "
                   "sys.argv[3] or None)", box, "sandboxed" if sandboxed else "plain", QEMU_ENTRY if emulate else "")
    fds = []
    if sandboxed:
        machine_id = os.pipe()
        os.write(machine_id[1], (uuid.uuid4().hex + "\n").encode())
        os.close(machine_id[1])
        fds.append(machine_id[0])
        options = emulating([])[0] if emulate else []
        inside = (arguments(writable, (LIB,) + tuple(readable), box, detached, machine_id[0], links)
                  + ["--as-pid-1"] + options + environment_args({}) + ["--"] + inside)
    agent = entry("agent", "import json; agent.serve_agent(%d, json.loads(sys.argv[1]), %r, %r, %r, %d)"
                  % (listener.fileno(), sandboxed, detached, fds, memory), json.dumps(inside))
    with open(log, "ab") as errors:
        process = subprocess.Popen(agent, pass_fds=[listener.fileno()] + fds, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=errors, start_new_session=True,
                                   env=dict(ENVIRONMENT))
    listener.close()
    for fd in fds:
        os.close(fd)
    agent = Agent(path, process.pid)

    def answered():
        try:
            agent.ask({"do": "ping"}, 5)
            return True
        except (OSError, ValueError, Refusal):
            return process.poll() is not None

    if wait_until(answered, 10, 0.01) and process.poll() is None:
        return agent
    agent.stop()
    raise Unavailable("the sandbox could not be made: %s" % (last_line(log) or "no word from it"))


def last_line(path):
    try:
        with open(path, errors="replace") as f:
            return last_lines(f.read())
    except OSError:
        return ""


if __name__ == "__main__":
    print(usable() or "a sandbox can be made here", file=sys.stderr)
