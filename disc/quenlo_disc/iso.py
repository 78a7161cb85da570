"""ISO 9660 images as Windows reads them: the Joliet tree where there is one,
else the ISO 9660 names themselves (Rock Ridge never counts), the label, the media an image fits, and the tree's files
read straight from the image's bytes.

An image may come from anyone, so its directory records are taken as
hostile: every extent must lie inside the image, a folder is visited once,
no two records may overlap unless they are the very same extent, and what
the tree holds in all may not outgrow the image by more than EXPANSION.
"""
import bisect
import collections
import datetime
import hashlib
import os
import struct
from dataclasses import dataclass

from . import Refusal
from .fat import opened, size_of

SECTOR = 2048
JOLIET = (b"%/@", b"%/C", b"%/E")
# The common media an image is burnt on, smallest first, with the bytes each
# holds: an 80-minute CD-R, single- and dual-layer DVD+R, a single-layer BD-R.
MEDIA = [("CD-R (700 MB)", 360000 * SECTOR), ("DVD\u00b1R (4.7 GB)", 2295104 * SECTOR),
         ("DVD\u00b1R DL (8.5 GB)", 4173824 * SECTOR), ("BD-R (25 GB)", 12219392 * SECTOR)]
# What a tree may hold beyond its image's size: names that share one file's
# data (as a folder's links to one file make) are each a copy once extracted.
EXPANSION = 2
LARGEST_TREE = 1 << 20  # records
# How deep and long a path of the tree may be, and how many letters its
# paths may have in all: far beyond what Windows opens from a disc (260 in
# a path), near enough to keep a crafted tree's names in bounded memory.
DEEPEST, LONGEST_PATH, LETTERS = 64, 1024, 32 << 20


# Sticks as sold (in decimal bytes, of which a little less is there to use).
STICKS = [("USB stick of %s" % name, int(n * 1e9 * 0.93)) for name, n in
          (("64 MB", 0.064), ("128 MB", 0.128), ("256 MB", 0.256), ("512 MB", 0.512), ("1 GB", 1), ("2 GB", 2),
           ("4 GB", 4), ("8 GB", 8), ("16 GB", 16), ("32 GB", 32), ("64 GB", 64), ("128 GB", 128), ("256 GB", 256))]


def fitting(size, stick=False):
    """The smallest common medium (a stick's, with stick) an image of size
    bytes fits, or None."""
    return next((name for name, room in (STICKS if stick else MEDIA) if size <= room), None)


def sha256(path):
    digest = hashlib.sha256()
    with opened(path) as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


# ---------------------------------------------------------------- descriptors

def descriptors(f):
    """(sector, descriptor) of each volume descriptor up to the terminator;
    ValueError where the file is no ISO 9660 image."""
    for sector in range(16, 64):
        f.seek(sector * SECTOR)
        descriptor = f.read(SECTOR)
        if len(descriptor) < SECTOR or descriptor[1:6] != b"CD001":
            raise ValueError("no ISO 9660 volume descriptor")
        if descriptor[0] == 255:
            return
        yield sector, descriptor
    raise ValueError("no end to the volume descriptors")


def joliet_descriptor(f):
    """(sector, descriptor) of the Joliet volume descriptor, or None."""
    return next(((n, d) for n, d in descriptors(f) if d[0] == 2 and d[88:91] in JOLIET), None)


def shown_descriptor(f):
    """(sector, descriptor, whether it is Joliet's) of the tree Windows
    shows: Joliet's where there is one, else the primary volume's."""
    found = joliet_descriptor(f)
    if found:
        return found + (True,)
    primary = next(((n, d) for n, d in descriptors(f) if d[0] == 1), None)
    if primary is None:
        raise ValueError("no primary volume descriptor")
    return primary + (False,)


def volume_label(path):
    """The volume label Windows shows for an ISO 9660 image (Joliet's where
    there is Joliet), or None for any other file."""
    try:
        with opened(path) as f:
            _, descriptor, joliet = shown_descriptor(f)
    except (OSError, ValueError):
        return None
    return descriptor[40:72].decode("utf-16-be" if joliet else "latin-1", errors="replace").rstrip(" \0")


def set_joliet_label(path, label):
    """Writes label into the image's Joliet volume descriptor, which xorriso
    fills from the ISO 9660 label (an ASCII form of it)."""
    with open(path, "r+b") as f:
        try:
            found = joliet_descriptor(f)
        except ValueError:
            found = None
        if found is None:
            raise Refusal("xorriso wrote no Joliet volume descriptor in %s" % path, "tool-failed")
        f.seek(found[0] * SECTOR + 40)
        f.write(label.ljust(16).encode("utf-16-be"))


def made_on(path):
    """When the image says it was made (its volume's creation date), as text."""
    with opened(path) as f:
        primary = next(d for _, d in descriptors(f) if d[0] == 1)
    digits = primary[813:827].decode("ascii", errors="replace")
    return "%s-%s-%s %s:%s:%s" % (digits[:4], digits[4:6], digits[6:8], digits[8:10], digits[10:12], digits[12:14])


# ---------------------------------------------------------------- the tree

@dataclass
class Entry:
    """A file or folder of the Joliet tree: its path with "/", its extents
    ((sector, bytes), more than one for a file of several), its date."""
    path: str
    folder: bool
    extents: list
    date: datetime.datetime

    @property
    def size(self):
        return sum(length for _, length in self.extents)


def record_date(raw):
    """A directory record's date (7 bytes: years since 1900 to second, and
    the offset from GMT in quarter hours), in UTC."""
    year, month, day, hour, minute, second, offset = struct.unpack("<6Bb", raw)
    try:
        local = datetime.datetime(1900 + year, month, day, hour, minute, second)
    except ValueError:
        return datetime.datetime(1900, 1, 1)
    return local - datetime.timedelta(minutes=15 * offset)


def records(data):
    """(where, record bytes) of each record of a directory's extent; a record
    never crosses a sector."""
    at = 0
    while at < len(data):
        length = data[at]
        if length == 0:
            at = (at // SECTOR + 1) * SECTOR
            continue
        if length < 34 or at + length > len(data) or (at % SECTOR) + length > SECTOR:
            raise ValueError("a directory record runs past its sector")
        yield at, bytes(data[at:at + length])
        at += length


def tree(path):
    """Every Entry of the tree Windows shows (Joliet's, else the ISO 9660
    names as Windows shows them), folders before what they hold; a Refusal
    (code "image-unsafe") where its records could not be trusted."""
    size = size_of(path)
    try:
        with opened(path) as f:
            _, descriptor, joliet = shown_descriptor(f)
            return list(_walk(f, descriptor, size, joliet))
    except ValueError as error:
        raise Refusal("%s is not an image Windows can read safely (%s): make it again with quenlo-disc make"
                      % (path, error), "image-unsafe") from None


def shown_name(raw, joliet, folder):
    """A record's name as Windows shows it: without the version number, and
    of an ISO 9660 name, without the dot of a name with no extension."""
    name = raw.decode("utf-16-be" if joliet else "latin-1", errors="replace")
    if not folder and ";" in name:
        name = name[:name.rindex(";")]
    return name if joliet or folder or not name.endswith(".") or name == "." else name[:-1]


def _walk(f, descriptor, size, joliet=True):
    """The entries, each folder's records read once: no two folders' records
    overlap, and all of them together are no more than the image holds."""
    block = struct.unpack_from("<H", descriptor, 128)[0]
    if block != SECTOR:
        raise ValueError("its blocks are %d bytes, not %d" % (block, SECTOR))
    root = descriptor[156:190]
    pending = collections.deque([("", struct.unpack_from("<I", root, 2)[0], struct.unpack_from("<I", root, 10)[0])])
    spans, count, read, letters = [], 0, 0, 0
    while pending:
        folder, sector, length = pending.popleft()
        start, end = sector * SECTOR, sector * SECTOR + max(length, 1)
        if end > size:
            raise ValueError("a folder lies beyond the image's end")
        at = bisect.bisect(spans, (start, end))
        if (at and spans[at - 1][1] > start) or (at < len(spans) and spans[at][0] < end):
            raise ValueError("a folder's records lie where another's are (it appears twice, or they overlap)")
        spans.insert(at, (start, end))
        read += length
        if read > size:
            raise ValueError("its folders' records hold more than the image")
        f.seek(sector * SECTOR)
        parts, continued = {}, None
        for n, (_, record) in enumerate(records(f.read(length))):
            count += 1
            if count > LARGEST_TREE:
                raise ValueError("more than %d names" % LARGEST_TREE)
            name_length = record[32]
            raw = record[33:33 + name_length]
            if n < 2 or raw in (b"\0", b"\1"):
                continue  # the folder itself and its parent
            flags = record[25]
            if flags & 0x04:
                continue  # an associated file, which Windows does not show
            if record[26] or record[27]:
                raise ValueError("an interleaved file")
            folder_entry = bool(flags & 0x02)
            name = shown_name(raw, joliet, folder_entry)
            if not name or name in (".", "..") or "/" in name or "\0" in name or "\ufffd" in name:
                raise ValueError("a name no file system can hold (%r)" % name)
            here = name if not folder else folder + "/" + name
            letters += len(here)
            if len(here) > LONGEST_PATH or here.count("/") >= DEEPEST or letters > LETTERS:
                raise ValueError("its paths are deeper or longer than any disc's (%s...)" % here[:80])
            extent = (struct.unpack_from("<I", record, 2)[0], struct.unpack_from("<I", record, 10)[0])
            if extent[1] and extent[0] * SECTOR + extent[1] > size:
                raise ValueError("%s lies beyond the image's end" % here)
            follows, continued = continued, here if flags & 0x80 else None
            if follows == here:  # a file in several extents: its records follow one another
                parts[here].extents.append(extent)
                continue
            if here in parts or follows:
                raise ValueError("%s appears twice" % (follows or here))
            entry = Entry(here, folder_entry, [extent], record_date(record[18:25]))
            if folder_entry:
                pending.append((here, extent[0], extent[1]))
            else:
                parts[here] = entry
            yield entry


def refuse_unsafe(entries, size):
    """Refuses a tree whose files overlap one another without being the very
    same data, or that holds more than EXPANSION times the image's size."""
    extents = sorted({e for entry in entries if not entry.folder for e in entry.extents if e[1]})
    for (start, length), (other, _) in zip(extents, extents[1:]):
        if start * SECTOR + length > other * SECTOR:
            raise Refusal("the image's files overlap one another, which no mastering tool makes: it is not safe to "
                          "try; make it again with quenlo-disc make", "image-unsafe")
    total = sum(entry.size for entry in entries)
    if total > EXPANSION * max(size, SECTOR):
        raise Refusal("the image's names hold {:,} bytes though it has {:,}: names that share data would fill the "
                      "disk when copied out; make it again with quenlo-disc make".format(total, size), "image-unsafe")


def copy_run(f, out, start, length, path):
    """length bytes of the image f from start onto out, a MiB at a time;
    a Refusal where the image ends first (path: the file they are of)."""
    f.seek(start)
    while length:
        chunk = f.read(min(length, 1 << 20))
        if not chunk:
            raise Refusal("the image ends inside %s" % path, "image-unsafe")
        out.write(chunk)
        length -= len(chunk)


def extract(image, folder, whole=None):
    """The tree Windows shows of image, checked, as plain files and folders
    in folder, all read-only; their number and bytes. Nothing but files and
    folders is made, and nothing outside folder. whole(path, size): whether
    a file's bytes are copied (the rest are made empty, of their size)."""
    entries = tree(image)
    refuse_unsafe(entries, size_of(image))
    top = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    files = written = 0
    with opened(image) as f:
        for entry in entries:
            parent, name = entry.path.rpartition("/")[::2]
            where = os.open(parent, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=top) if parent else top
            try:
                if entry.folder:
                    os.mkdir(name, 0o755, dir_fd=where)
                    continue
                fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644, dir_fd=where)
                with os.fdopen(fd, "wb") as out:
                    if whole and not whole(entry.path, entry.size):
                        out.truncate(entry.size)
                        files += 1
                        continue
                    for sector, length in entry.extents:
                        copy_run(f, out, sector * SECTOR, length, entry.path)
                    written += entry.size
                files += 1
            finally:
                if where != top:
                    os.close(where)
    for entry in reversed(entries):
        os.chmod(entry.path, 0o555 if entry.folder else 0o444, dir_fd=top, follow_symlinks=True)
    os.close(top)
    return files, written


def read_entry(f, entry, limit):
    """At most limit bytes of the file entry of the image open in f."""
    chunks, left = [], limit
    for sector, length in entry.extents:
        if left <= 0:
            break
        f.seek(sector * SECTOR)
        chunks.append(f.read(min(length, left)))
        left -= length
    return b"".join(chunks)


def read_files(path, wanted, limit=1 << 20):
    """{path on the disc: at most limit bytes} of the files of the image's
    Joliet tree that wanted(entries) picks from all of them."""
    entries = tree(path)
    with opened(path) as f:
        return {entry.path: read_entry(f, entry, limit) for entry in wanted(entries)}


def contents(path):
    """{path: (bytes' SHA-256, date)} of every file of the image's Joliet tree."""
    found = {}
    with opened(path) as f:
        for entry in tree(path):
            if entry.folder:
                continue
            digest = hashlib.sha256()
            for sector, length in entry.extents:
                f.seek(sector * SECTOR)
                digest.update(f.read(length))
            found[entry.path] = (digest.hexdigest(), entry.date)
    return found


def differences(theirs, ours, read=None, told=None):
    """What differs between two images' files, in words: each path whose
    bytes or date differ, or that only one of them holds. read: what reads
    an image's contents (of a stick's image, fat.contents); told: theirs,
    where read elsewhere ({path: (digest, date as text)})."""
    read = read or contents
    a, b = told if told is not None else read(theirs), read(ours)
    said = []
    for path in sorted(set(a) | set(b)):
        if path not in b:
            said.append("%s (only in %s)" % (path, os.path.basename(theirs)))
        elif path not in a:
            said.append("%s (not in %s)" % (path, os.path.basename(theirs)))
        elif a[path][0] != b[path][0]:
            said.append("%s (its bytes)" % path)
        elif str(a[path][1]) != str(b[path][1]):
            said.append("%s (its date: %s there, %s here)" % (path, a[path][1], b[path][1]))
    return said


def arch(image):
    """The bitness of the exe the image's open line runs ("i686" or "x86_64")."""
    from .autorun import keys_and_exe
    from .pe import machine
    entries = {e.path: e for e in tree(image) if "/" not in e.path and not e.folder}
    files = read_files(image, lambda _: entries.values(), 1 << 20)
    _, exe, _ = keys_and_exe(list(entries), files.get)
    found = machine(files[exe][:4096])
    if found is None:
        raise Refusal("the disc's %s is not a Windows program: make the image with quenlo-disc make" % exe,
                      "exe-not-windows")
    return found


def is_stick(image):
    """Whether the image is a stick's rather than a disc's; a Refusal for one
    that is both: Windows would read one medium's files from a CD drive and
    the other's from a USB port, and which the author meant is not known."""
    from . import fat
    stick = fat.is_stick(image)
    if stick and volume_label(image) is not None:
        raise Refusal("%s is both a disc image (ISO 9660) and a stick's (a partition table or a FAT volume), whose "
                      "files Windows reads apart from a CD drive and from a USB port: make it as one of them with "
                      "quenlo-disc make, or make --stick" % image, "image-both")
    return stick
