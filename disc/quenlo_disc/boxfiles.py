"""Files in a sandbox's reach, and a disc's files: hostile by nature.

Whatever a disc's program can write may be a link to the user's files, a
pipe that never ends or a device without end, and may change between a look
and a use. So nothing here follows a link or blocks: each path is opened one
component at a time relative to a folder held open, with O_NOFOLLOW, and only
a plain file is read, never beyond a limit.
"""
import contextlib
import errno
import os
import shutil
import stat
import tempfile

LARGEST_READ = 64 << 20
DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


class Hostile(OSError):
    """What was found in place of a plain file or folder."""


def open_beneath(top, rel, flags=os.O_RDONLY, mode=0o644):
    """A descriptor of rel beneath the folder top (a path the caller owns, or
    an open descriptor), no component of it a link, none of them "..".
    Raises OSError (Hostile for a link or a .. on the way)."""
    parts = [p for p in rel.split("/") if p not in ("", ".")]
    if not parts or ".." in parts:
        raise Hostile(errno.EPERM, "not a path beneath its folder", rel)
    here = os.open(top, DIRECTORY) if isinstance(top, str) else os.dup(top)
    try:
        for part in parts[:-1]:
            try:
                down = os.open(part, DIRECTORY, dir_fd=here)
            except OSError as error:
                if error.errno in (errno.ELOOP, errno.ENOTDIR):
                    raise Hostile(error.errno, "not a folder", rel) from None
                raise
            os.close(here)
            here = down
        try:
            return os.open(parts[-1], flags | os.O_NOFOLLOW | os.O_CLOEXEC, mode, dir_fd=here)
        except OSError as error:
            if error.errno == errno.ELOOP:
                raise Hostile(error.errno, "a link", rel) from None
            raise
    finally:
        os.close(here)


def read_fd(fd, limit=LARGEST_READ):
    """At most limit bytes of an open plain file; b"" for anything else."""
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        return b""
    chunks, left = [], limit
    while left > 0:
        chunk = os.read(fd, min(left, 1 << 20))
        if not chunk:
            break
        chunks.append(chunk)
        left -= len(chunk)
    return b"".join(chunks)


def read(path, encoding="latin-1", limit=LARGEST_READ, top=None, follow=False):
    """The text of a file (its bytes, with encoding None): empty for anything
    but a plain file, at most limit bytes. With top, path is taken beneath
    that folder, links on the way refused; without, only its last component
    must not be a link, unless follow (for a file the user named)."""
    try:
        if top is None:
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | (0 if follow else os.O_NOFOLLOW))
        else:
            fd = open_beneath(top, path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError:
        data = b""
    else:
        try:
            data = read_fd(fd, limit)
        finally:
            os.close(fd)
    return data if encoding is None else data.decode(encoding, errors="replace")


def create(path, data=b"", mode=0o644):
    """A new file, never one that something else put in its place (a link
    would lead the write anywhere)."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, mode)
    with os.fdopen(fd, "wb") as f:
        f.write(data.encode("utf-8") if isinstance(data, str) else data)


@contextlib.contextmanager
def replacing(path, mode=None, unwritable=None):
    """The path of a new file of the tools' own beside path, to be written
    in the block: it takes path's place once the block ends without error,
    with mode (else the modes the user's umask gives), and is gone where
    the block fails. unwritable(error): what to raise where no file can be
    made there."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, partial = tempfile.mkstemp(dir=folder, prefix=".%s." % os.path.basename(path), suffix=".part")
    except OSError as error:
        if unwritable:
            raise unwritable(error) from None
        raise
    os.close(fd)
    try:
        yield partial
        if mode is None:
            mask = os.umask(0)
            os.umask(mask)
            mode = 0o666 & ~mask  # a temporary file's 0600 is not for a finished one
        os.chmod(partial, mode)
        os.replace(partial, path)
    finally:
        if os.path.exists(partial):
            os.remove(partial)


def write_atomically(path, data, mode=None):
    """data as the file path, which takes the place of what was there only
    once complete (see replacing)."""
    with replacing(path, mode) as partial, open(partial, "wb") as f:
        f.write(data.encode("utf-8") if isinstance(data, str) else data)


def mirror(source, target, leave=None, copying=True):
    """target, a new tree of source's files, each a hard link where the file
    system allows it, else a copy (with copying False, OSError instead);
    links as links; leave: a folder of source's left out. What a sandbox is
    shown from there bears no name of the user's own folders, as the
    kernel tells every mount's source to whoever looks."""
    def link(src, dst):
        try:
            os.link(src, dst)
        except OSError:
            if not copying:
                raise
            shutil.copy2(src, dst)

    def left(folder, names):
        return [os.path.basename(leave)] if leave and folder == os.path.dirname(leave) else []

    shutil.copytree(source, target, symlinks=True, copy_function=link, ignore=left)
    return target


def remove_tree(path):
    """Removes the folder path and all below it, folders made read-only
    included, without following a link and without crossing into another
    file system (what lies on one is left, and its mount point too)."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return
    if not stat.S_ISDIR(info.st_mode):
        os.unlink(path)
        return
    parent, name = os.path.split(os.path.abspath(path))
    top = os.open(parent, DIRECTORY)
    try:
        _remove(top, name, info.st_dev)
    finally:
        os.close(top)


def _remove(parent, name, device):
    """Removes the entry name of the open folder parent; True when it went."""
    try:
        info = os.lstat(name, dir_fd=parent)
    except FileNotFoundError:
        return True
    if not stat.S_ISDIR(info.st_mode):
        os.unlink(name, dir_fd=parent)
        return True
    if info.st_dev != device:
        return False
    try:
        fd = os.open(name, DIRECTORY, dir_fd=parent)
    except PermissionError:
        # A folder that cannot be opened is made so through a handle on it
        # alone, which cannot be a link put in its place meanwhile.
        held = os.open(name, os.O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=parent)
        try:
            os.chmod("/proc/self/fd/%d" % held, 0o700)
        finally:
            os.close(held)
        fd = os.open(name, DIRECTORY, dir_fd=parent)
    try:
        if os.fstat(fd).st_dev != device:
            return False
        os.fchmod(fd, 0o700)  # a folder made read-only gives up its entries only so
        whole = all([_remove(fd, entry, device) for entry in os.listdir(fd)])
    finally:
        os.close(fd)
    if whole:
        os.rmdir(name, dir_fd=parent)
    return whole
