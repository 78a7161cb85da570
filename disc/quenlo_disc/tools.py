"""Running the host's tools (xorriso, openssl, ...) and waiting for things:
what every other module would otherwise write again."""
import os
import subprocess
import time
import unicodedata

from . import Refusal

HIDDEN = ("Cc", "Zl", "Zp")


def last_lines(text, count=1):
    """The last count lines of what a tool said that are not blank, joined
    with " / "; "" when it said nothing."""
    if isinstance(text, bytes):
        text = text.decode(errors="replace")
    lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
    return " / ".join(lines[-count:])


def said(text, count=1):
    """": " and the last lines of what a tool said, or "" when it said nothing."""
    words = last_lines(text, count)
    return ": " + words if words else ""


def run(command, what, env=None, stdin=None, code="tool-failed"):
    """The output of a tool that must succeed; a Refusal that says what
    failed, with the tool's last word, where it does not."""
    result = subprocess.run(command, env=env, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        # xorriso ends every failure with a line that says only that it ended.
        words = b"\n".join(line for line in result.stdout.splitlines() if b"ABORT : Program done" not in line)
        raise Refusal(what + said(words), code)
    return result.stdout.decode(errors="replace")


def visible(text):
    """Text from a disc or its programs, as it is safe to show on a
    terminal: each control character (and each that turns or breaks a line)
    as an escape (\\x1b, \\n), never raw."""
    return "".join(c.encode("unicode_escape").decode("ascii") if unicodedata.category(c) in HIDDEN
                   or 0x202A <= ord(c) <= 0x202E or 0x2066 <= ord(c) <= 0x2069 else c for c in text)


def wait_until(holds, seconds, step=0.05):
    """True once holds() is true, checked every step seconds; False when
    seconds pass first."""
    deadline = time.monotonic() + seconds
    while True:
        if holds():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


def config():
    """The tools' settings of this user, which no cache holds: the key the
    documents kept in the cache are sealed with."""
    home = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(home, "quenlo-disc")


def cache():
    """The tools' cache: what try prepares once, and the documents of pages a check read."""
    home = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(home, "quenlo-disc")


def in_words(size):
    """A number of bytes in words, in the binary units that memory limits
    and disks are counted in: "300 MiB", "4 GiB", "1.3 GiB"."""
    if size < 1 << 30:
        return "%d MiB" % (size >> 20)
    return ("%.1f" % (size / (1 << 30))).replace(".0", "") + " GiB"
