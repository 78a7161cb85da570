"""The tools' side of driver.cpp, the Windows program that runs one command
line exactly as given (Wine would quote arguments built from a Unix argv),
reads the message boxes that its process shows and presses OK; and what
Wine's process trace says was started."""
import os

from .host import WINE64, winpath
from .tools import wait_until

MILLIS = 20000  # a run of Quenlo, at the most
EMULATED = 3  # times as long, under qemu


class Run:
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


def drive(session, command, directory, env=None, on_box=None, trace=None, after=0):
    """Runs `command` (a Windows command line) in `directory` (a Windows
    path) through the session's driver, and returns its Run. on_box(box)
    is called while each box is still on the screen. With trace, Wine's
    process trace goes to that file (in the box). after: seconds the boxes
    of what the command started are watched for once it has ended, while
    any of that runs."""
    timeout = MILLIS * (EMULATED if session.emulation.emulated else 1)
    folder = session.folder("run-")
    said, hold = os.path.join(folder, "driver.txt"), os.path.join(folder, "hold")
    env = dict(env or {}, QUENLO_E2E_COMMAND=command, QUENLO_E2E_DIR=directory, QUENLO_E2E_OUT=winpath(said),
               QUENLO_E2E_TIMEOUT=str(timeout), QUENLO_E2E_AFTER=str(int(after * 1000)))
    if on_box:
        env["QUENLO_E2E_HOLD"] = winpath(hold)
    if trace:
        env["WINEDEBUG"] = "+process"
    pid = session.spawn([WINE64, session.driver_at], env, err=trace)
    seen = []

    def ended():
        """True once the driver has; each new box on the way, held for on_box."""
        if not session.alive(pid):
            return True
        boxes = Run(text(session, said)).boxes if on_box else []
        if len(boxes) > len(seen):
            on_box(boxes[len(seen)])
            seen.append(boxes[len(seen)])
            try:
                session.put(hold, b"")
            except OSError:
                pass
        return False

    wait_until(ended, timeout / 1000 + after + 15)  # a driver that overruns its own time is stuck
    # Only a driver that overran: what Quenlo started shares its process
    # group, and must go on after Quenlo's end as on a PC.
    if session.alive(pid):
        session.kill(pid)
    return Run(text(session, said) or "(no report)")


def text(session, path, limit=1 << 20):
    """The driver's report, which it writes in UTF-8."""
    return session.fetch(path, limit).decode("utf-8", errors="replace")


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
    from the text of Wine's +process trace: what Quenlo, or the shell
    inside it, started."""
    first, pending, started = None, {}, ""
    for line in trace.splitlines():
        if "trace:process:CreateProcessInternalW" not in line:
            continue
        thread = line.split(":", 1)[0]
        first = first or thread
        if 'cmdline L"' in line:
            pending[thread] = line.split('cmdline L"', 1)[1]
        elif "started process" in line and thread != first:
            started = pending.get(thread, "")
    return wide(started.rsplit('"', 1)[0])
