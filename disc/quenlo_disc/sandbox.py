"""Running what a try puts in the sandbox (walls.py): a command once, the
image's reader, or the agent that the try's session acts through.
"""
import json
import os
import socket
import stat
import subprocess
import uuid

from . import LIB, Refusal, Unavailable, seccomp, walls
from .agent import EMULATING, Agent
from .fat import size_of
from .limits import MEMORY, MemoryLimit, ProcessLimit
from .tools import last_lines, wait_until
from .walls import ENVIRONMENT, QEMU, arguments, entry, environment_args, reader_prefix

# qemu's entry for i386 programs, for a binfmt_misc of the sandbox's own.
QEMU_ENTRY = (":quenlo-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:"
              "\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:%s:F" % QEMU)


def emulating(command):
    """bwrap's options and the command, where qemu is to run the sandbox's
    i386 programs: the capabilities to set it up (dropped before command
    runs), as root of the sandbox's user namespace, which alone may mount a
    binfmt_misc of its own; and what sets it up."""
    options = ["--uid", "0", "--gid", "0"] + sum((["--cap-add", cap] for cap in EMULATING), [])
    return options, entry("inside", "inside.exec_emulated(sys.argv[1], sys.argv[2:])", QEMU_ENTRY) + command


def bounded(memory=MEMORY):
    """(the control groups, what a process runs to enter them) for a
    sandbox's processes: how many there may be and how much memory they
    may have in all, in a kernel keyring of their own."""
    limits = (ProcessLimit(), MemoryLimit(memory))

    def entered():
        for group in limits:
            group.enter()
        seccomp.fresh_keyring()

    return limits, entered


def run(command, writable=(), readable=(), env=None, timeout=600, largest_file=None, emulate=False, fds=()):
    """One command in a sandbox of its own, which writes nothing else: its
    (status, standard output, standard error). largest_file: no file it
    writes may grow beyond that many bytes; emulate: qemu runs its i386
    programs; fds: descriptors it is handed."""
    limit = ["prlimit", "--fsize=%d" % largest_file] if largest_file else []
    options, command = emulating(command) if emulate else ([], command)
    readable = tuple(readable) + ((LIB,) if emulate else ())
    # Emulation mounts a binfmt_misc first, which the filter refuses: its
    # first process installs the filter itself once that is done.
    filtered = None if emulate else seccomp.descriptor()
    argv = (arguments(writable, readable, filtered=filtered) + options + environment_args(env or {}) + ["--"] + limit
            + command)
    limits, entered = bounded()

    try:
        result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                timeout=timeout, env={}, preexec_fn=entered,
                                pass_fds=tuple(fds) + (() if filtered is None else (filtered,)))
    except subprocess.TimeoutExpired:
        return None, "", "it ran out of its %d s" % timeout
    finally:
        for group in limits:
            group.remove()
        if filtered is not None:
            os.close(filtered)
    return result.returncode, result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")


def read_image(argv, image, sandboxed, writable=(), largest_file=None, timeout=600):
    """What the tools' own reader of images (views.main with argv, for the
    check and the try alike) says of an image from anyone, as JSON: read in a
    bounded sandbox of its own (without one, in a process of its own all
    the same), never in the tools' process. Unavailable where it could not run."""
    drive = None
    if sandboxed and stat.S_ISBLK(os.stat(image).st_mode):
        # The sandbox has no devices: a drive is read through a descriptor opened here, read-only.
        drive = os.open(image, os.O_RDONLY | os.O_CLOEXEC)
        argv = ["/proc/self/fd/%d" % drive if a == image else a for a in argv]
    command = entry("views", "views.main(sys.argv[1:])", *argv)
    if sandboxed:
        try:
            status, out, err = run(command, writable=writable, readable=[LIB] if drive else [image, LIB],
                                   timeout=timeout, largest_file=largest_file or max(size_of(image), 1 << 20),
                                   fds=(drive,) if drive else ())
        finally:
            if drive:
                os.close(drive)
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


def start(folder, box, writable=(), readable=(), sandboxed=True, detached=False, emulate=False, memory=MEMORY,
          lib=LIB):
    """The Agent of a new sandbox (without: a plain process, whose programs
    write box on this side) that may write only its box and writable and
    read only the system and readable, qemu running its i386 programs where
    emulate, the tools' package from lib; its socket lies in folder, which
    the sandbox does not show, and its words go to folder/sandbox.log."""
    path, log = os.path.join(folder, "agent.sock"), os.path.join(folder, "sandbox.log")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(64)
    inside = entry("inside", "inside.serve_inside(int(sys.argv[4]), sys.argv[1], sys.argv[2] == 'sandboxed', "
                   "sys.argv[3] or None)", box, "sandboxed" if sandboxed else "plain", QEMU_ENTRY if emulate else "",
                   lib=lib)
    fds = []
    if sandboxed:
        machine_id = os.pipe()
        os.write(machine_id[1], (uuid.uuid4().hex + "\n").encode())
        os.close(machine_id[1])
        fds.append(machine_id[0])
        options = emulating([])[0] if emulate else []
        inside = (arguments(writable, (lib,) + tuple(readable), box, detached, machine_id[0])
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



class Walled:
    """How a try keeps what it runs beyond its session, chosen once (the
    session owns it): here, each command in a sandbox of its own, bounded
    (run, read_image), and each program beside the session in one that
    holds a display of its own (beside). scratch: a home of the command's
    own, where it has one."""
    scratch = "/tmp"
    own_display = True

    def run(self, command, writable=(), readable=(), env=None, timeout=600, largest_file=None):
        return run(command, writable, readable, env, timeout, largest_file)

    def read_image(self, argv, image, **kwargs):
        return read_image(argv, image, True, **kwargs)

    def bounded(self, memory=MEMORY):
        return bounded(memory)

    def bounds(self):
        """How what it runs is bounded, in words; a refusal where no sandbox can be made."""
        walls.require()
        held = MemoryLimit()
        try:
            return held.said()
        finally:
            held.remove()

    def beside(self, command, stage, writable, readable, links=(), env=None):
        """The command line that runs command beside the session, writing
        only writable (the first its home), reading readable."""
        return reader_prefix(writable[0], readable, stage, links=links, env=env, writable=writable[1:]) + command


class Plain(Walled):
    """--no-sandbox: each command with the user's rights, in a keyring of its
    own; a program beside the session shows on the session's display."""
    scratch = None
    own_display = False

    def run(self, command, writable=(), readable=(), env=None, timeout=600, largest_file=None):
        return plain(command, env, timeout)

    def read_image(self, argv, image, **kwargs):
        return read_image(argv, image, False, **kwargs)

    def bounded(self, memory=MEMORY):
        return (), seccomp.fresh_keyring

    def bounds(self):
        return None

    def beside(self, command, stage, writable, readable, links=(), env=None):
        return command


def confinement(sandboxed):
    """The try's confinement: Walled, or Plain where it runs without a sandbox."""
    return Walled() if sandboxed else Plain()
