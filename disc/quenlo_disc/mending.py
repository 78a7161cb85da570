"""The chosen mends of a medium, shown as a unified diff (renames as git
shows them) and made: in the folder itself, or in a copy of it. Every byte
outside a mend stays as it was; a file is written whole and atomically, and
only if it is still what the mends were made from; a rename never takes the
place of a file that is there."""
import difflib
import hashlib
import os
import shutil
import tempfile

from . import Refusal
from .boxfiles import LARGEST_READ, read
from .mends import Create, Rename
from .texts import Edit


def chosen(mends, unsafe=False):
    """The Mends to make, of mends_of's list: the safe ones, and with unsafe the others."""
    return [mend for _, mend, _ in mends if mend and (mend.safe or unsafe)]


class Changes:
    """What the chosen Mends make of the folder source: each file's new bytes
    (by its path before any rename), the renames, the new files."""

    def __init__(self, source, mends):
        self.source, self.edits, self.renames, self.created = source, {}, {}, {}
        for mend in mends:
            for change in mend.changes:
                if isinstance(change, Edit):
                    self.edits.setdefault(change.path, {})[(change.start, change.end, change.new_bytes)] = change
                elif isinstance(change, Rename):
                    self.renames[change.path] = change.to
                elif isinstance(change, Create):
                    self.created[change.path] = change.data
        self.before = {path: read(os.path.join(source, path), None, LARGEST_READ, follow=True) for path in self.edits}
        for path, edits in self.edits.items():  # the bytes the mends were placed in, or none of them is made
            if any(edit.digest != hashlib.sha256(self.before[path]).hexdigest() for edit in edits.values()):
                raise Refusal("%s changed while fix read it: run fix again" % os.path.join(source, path),
                              "fix-changed")

    def resaved(self, path):
        """The Edit that saves the file at path in another encoding, or None."""
        return next((edit for edit in self.edits[path].values() if edit.was), None)

    def after(self, path):
        """The new bytes of the file at path, its edits made from the last
        back, then saved in another encoding where a mend says so."""
        data, resave = self.before[path], self.resaved(path)
        last = len(data) + 1
        for (start, end, new), edit in sorted(self.edits[path].items(), key=lambda item: item[0], reverse=True):
            if edit is resave or end > last:  # two mends of one place: the first made stands
                continue
            data = data[:start] + new + data[end:]
            last = start
        if resave:
            text = data.decode(resave.was, "surrogateescape")
            try:
                data = text.encode(resave.encoding)
            except UnicodeEncodeError:  # a letter a mend brought that the code page has no form for
                data = text.encode("utf-8-sig", "surrogateescape")
        return data

    def moved(self, path):
        """path once every rename is made."""
        for old in sorted(self.renames, key=lambda p: -p.count("/")):
            if path == old or path.startswith(old + "/"):
                path = self.renames[old] + path[len(old):]
        return path

    def __bool__(self):
        return bool(self.edits or self.renames or self.created)

    def diff(self, exact=False):
        """The unified diff of the changes: each file's lines as read in its
        own encoding, as text to read; exact, its very bytes, as bytes for
        git apply or patch to make (a page in windows-1251 stays so)."""
        out, paths = [], sorted(set(self.edits) | set(self.renames) | set(self.created))
        for path in paths:
            new_path = self.moved(path) if path not in self.created else path
            if path in self.renames:
                out += [("diff --git a/%s b/%s" % (path, new_path)).encode("utf-8", "surrogateescape"),
                        ("rename from %s" % path).encode("utf-8", "surrogateescape"),
                        ("rename to %s" % new_path).encode("utf-8", "surrogateescape")]
            if path in self.edits:
                some = self.resaved(path) or next(iter(self.edits[path].values()))
                old, new = lines(self.before[path], some.was or some.encoding, exact), lines(
                    self.after(path), some.encoding, exact)
                out += ended(difflib.diff_bytes(difflib.unified_diff, old, new, ("a/" + path).encode(
                    "utf-8", "surrogateescape"), ("b/" + new_path).encode("utf-8", "surrogateescape"), n=2,
                    lineterm=b"\n"))
            elif path in self.created:
                made = lines(self.created[path], "utf-8", exact)
                out += [b"--- /dev/null", ("+++ b/" + path).encode("utf-8", "surrogateescape"),
                        b"@@ -0,0 +1,%d @@" % len(made)]
                out += ended(b"+" + line for line in made)
        done = b"\n".join(out) + (b"\n" if out else b"")
        return done if exact else done.decode("utf-8", "replace")

    def make(self, dest=None):
        """The changes made in the folder, or (dest) in a copy of it written there."""
        root = self.source
        if dest:
            copy(self.source, dest)
            root = dest
        for path, data in self.before.items():  # all checked before any is written
            if read(os.path.join(root, path), None, LARGEST_READ, follow=True) != data:
                raise Refusal("%s changed since it was read: run fix again" % os.path.join(root, path),
                              "fix-changed")
        for path in self.renames:
            to = os.path.join(root, os.path.dirname(path), self.renames[path].rsplit("/", 1)[-1])
            if os.path.lexists(to) and not same_file(os.path.join(root, path), to):
                raise Refusal("%s is there already, so %s is not renamed to it: rename one, and run fix again"
                              % (to, path), "fix-changed")
        for path in self.edits:
            written(os.path.join(root, path), self.after(path))
        for path in sorted(self.renames, key=lambda p: -p.count("/")):  # the deepest first: their folders keep names
            os.rename(os.path.join(root, path), os.path.join(root, os.path.dirname(path), self.renames[path]
                                                             .rsplit("/", 1)[-1]))
        for path, data in self.created.items():
            written(os.path.join(root, path), data, fresh=True)
        return root


def ended(diff):
    """A diff's lines without their ends, a line that has none marked as patch reads it."""
    out = []
    for line in diff:
        out.append(line[:-1] if line.endswith(b"\n") else line)
        if not line.endswith(b"\n"):
            out.append(b"\\ No newline at end of file")
    return out


def lines(data, codec, exact):
    """A file's lines, ends kept: its bytes, or (not exact) its letters as UTF-8."""
    if exact and not codec.startswith("utf-16"):
        return data.splitlines(keepends=True)
    return [line.encode("utf-8", "surrogateescape") for line in data.decode(codec, "replace").splitlines(keepends=True)]


def same_file(a, b):
    """Whether a and b are one file: the same name in another case, on a file system that ignores case."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def written(path, data, fresh=False):
    """data written to path at once: whole or not at all; fresh, where nothing may be there yet."""
    folder = os.path.dirname(path)
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".quenlo-fix-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        if fresh:
            os.link(temporary, path)  # fails where a file is there: never replaced
            os.unlink(temporary)
        else:
            shutil.copymode(path, temporary)
            os.replace(temporary, path)
    except BaseException:
        if os.path.lexists(temporary):
            os.unlink(temporary)
        raise


def copy(source, dest):
    """The folder source copied to dest, which must not hold anything yet."""
    if os.path.exists(dest) and (not os.path.isdir(dest) or os.listdir(dest)):
        raise Refusal("%s is there already and holds something: give --to a new folder" % dest, "fix-to-taken")
    if os.path.realpath(dest).startswith(os.path.realpath(source) + os.sep):
        raise Refusal("%s lies inside the medium's folder, which it would copy into itself: give --to a folder "
                      "outside it" % dest, "fix-to-taken")
    if os.path.isdir(dest):
        os.rmdir(dest)
    shutil.copytree(source, dest, symlinks=True)
