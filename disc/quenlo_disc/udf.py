"""UDF images as Windows reads them, alone or beside ISO 9660 on a bridge
disc (where Windows reads UDF in preference): the logical volume's label and
its tree, names in OSTA's compressed Unicode, from 1.02 to 2.60, pressed,
written in packets or rewritable (its partitions read by udfparts.py). Read
from anyone in the extraction sandbox, with iso.py's bounds: every extent
inside the image and its partition, a folder visited once, and the tree's
records, depth, letters and bytes held. A partition of another kind is
refused in one line.
"""
import collections
import hashlib
import os
import struct

from . import Refusal
from .fat import opened, size_of
from .iso import DEEPEST, LARGEST_TREE, LETTERS, LONGEST_PATH, Entry, copy_run, record_date
from .udfparts import FILE_ENTRY, NotYet, Partitions, allocation, tag

BLOCKS = (2048, 512, 1024, 4096)  # the block sizes an anchor is looked for at, the discs' first
ANCHOR, PARTITION, VOLUME, TERMINATOR = 2, 5, 6, 8
FILE_SET, IDENTIFIER = 256, 257
DIRECTORY, FILE = 4, 5
LARGEST_DESCRIPTORS = 64  # of a volume descriptor sequence


def compressed(raw):
    """A name in OSTA compressed Unicode (its first byte says 8 or 16 bits a letter)."""
    if not raw:
        return ""
    if raw[0] == 8:
        return raw[1:].decode("latin-1")
    if raw[0] == 16:
        return raw[1:len(raw) - (len(raw) - 1) % 2].decode("utf-16-be", "replace")
    raise ValueError("a name in no known form")


def dstring(raw):
    """A fixed field's name: its length is its last byte."""
    return compressed(raw[:raw[-1]]) if raw[-1] else ""


class Volume:
    """The UDF volume of an image open in f: its block size, its partitions,
    its label, its root folder's ICB as (partition reference, block)."""

    def __init__(self, f, size):
        self.f, self.size = f, size
        for block in BLOCKS:
            anchor = self.read_at(256 * block, 512)
            if len(anchor) == 512 and tag(anchor) == ANCHOR:
                self.block = block
                break
        else:
            raise ValueError("no UDF anchor")
        length, where = struct.unpack_from("<II", anchor, 16)
        partitions, volume = {}, None
        for n in range(min(length // self.block, LARGEST_DESCRIPTORS)):
            descriptor = self.read_at((where + n) * self.block, self.block)
            kind = tag(descriptor)
            if kind == PARTITION:
                number, start, count = struct.unpack_from("<H", descriptor, 22)[0], *struct.unpack_from(
                    "<II", descriptor, 188)
                partitions[number] = (start, count)
            elif kind == VOLUME:
                volume = descriptor
            elif kind == TERMINATOR:
                break
        if volume is None or not partitions:
            raise ValueError("no logical volume or partition")
        if struct.unpack_from("<I", volume, 212)[0] != self.block:
            raise ValueError("its logical blocks are not its sectors")
        self.label = dstring(volume[84:212])
        self.maker = volume[273:296].rstrip(b"\0").decode("latin-1")  # its implementation's identifier
        table = volume[440:440 + struct.unpack_from("<I", volume, 264)[0]]
        self.parts = Partitions(f, size, self.block, partitions, struct.unpack_from("<I", volume, 268)[0], table)
        block, ref = struct.unpack_from("<IH", volume, 252)
        file_set = self.logical(block, ref, self.block)
        if tag(file_set) != FILE_SET:
            raise ValueError("no file set where the volume says")
        self.root = struct.unpack_from("<H", file_set, 408)[0], struct.unpack_from("<I", file_set, 404)[0]

    def read_at(self, at, length):
        if at < 0 or at + length > self.size:
            raise ValueError("a descriptor lies beyond the image's end")
        self.f.seek(at)
        return self.f.read(length)

    def logical(self, block, ref, length):
        """length bytes from a logical block of partition reference ref."""
        return self.parts.read(self.parts.where(ref, block, length))

    def entry(self, icb):
        """(is a folder, [(byte in the image, bytes)] or the embedded bytes, date) of the entry at icb (ref, block)."""
        ref, block = icb
        spans = self.parts.where(ref, block, self.block)
        data = self.parts.read(spans)
        file_type, length, extents = allocation(data, ref, lambda there, where: self.logical(where, there, self.block))
        stamp = data[84:96] if tag(data) == FILE_ENTRY else data[92:104]  # when it was modified
        zone = struct.unpack_from("<H", stamp, 0)[0] & 0xFFF  # minutes from UTC, as 12 bits; -2047: not said
        zone = 0 if zone == 0x801 else (zone - 0x1000 if zone & 0x800 else zone) // 15
        when = record_date(bytes([max(0, struct.unpack_from("<H", stamp, 2)[0] - 1900) & 0xFF]) + stamp[4:9]
                           + struct.pack("<b", max(-128, min(127, zone))))
        if isinstance(extents, int):  # its bytes held in the entry itself
            extents = self.parts.within(spans, extents, length)
        else:
            extents = [span for there, where, n in extents for span in self.parts.where(there, where, n)]
        return file_type == DIRECTORY, extents, when

    def content(self, extents, limit):
        out = []
        for at, length in extents:
            out.append(self.read_at(at, min(length, limit - sum(map(len, out)))))
        return b"".join(out)


def identifiers(data):
    """(name, is a folder, its entry's (partition reference, block)) of each file identifier of a folder's bytes."""
    at = 0
    while at + 38 <= len(data):
        if tag(data[at:at + 16]) != IDENTIFIER:
            raise ValueError("a folder's identifiers do not follow one another")
        characteristics, name_length = data[at + 18], data[at + 19]
        block, ref = struct.unpack_from("<IH", data, at + 24)
        icb, use = (ref, block), struct.unpack_from("<H", data, at + 36)[0]
        end = at + 38 + use + name_length
        if end > len(data):
            raise ValueError("a folder's identifier runs past its end")
        if not characteristics & 0x0C:  # neither deleted nor the parent
            yield compressed(data[at + 38 + use:end]), bool(characteristics & 0x02), icb
        at = (end + 3) // 4 * 4


def tree(path):
    """(the volume's label, every Entry of its tree, folders first: a file's
    extents as (byte in the image, bytes)); a Refusal where it cannot be trusted."""
    size = size_of(path)
    try:
        with opened(path) as f:
            volume = Volume(f, size)
            found, seen, letters, held = [], {volume.root}, 0, 0
            pending = collections.deque([("", volume.root)])
            while pending:
                folder, icb = pending.popleft()
                is_folder, extents, _ = volume.entry(icb)
                data = volume.content(extents, 1 << 24)
                for name, child_folder, icb in identifiers(data):
                    if len(found) >= LARGEST_TREE:
                        raise ValueError("more than %d names" % LARGEST_TREE)
                    if not name or name in (".", "..") or "/" in name or "\0" in name or "\ufffd" in name:
                        raise ValueError("a name no file system can hold (%r)" % name)
                    here = folder + "/" + name if folder else name
                    letters += len(here)
                    if len(here) > LONGEST_PATH or here.count("/") >= DEEPEST or letters > LETTERS:
                        raise ValueError("its paths are deeper or longer than any disc's (%s...)" % here[:80])
                    is_folder, extents, when = volume.entry(icb)
                    if child_folder:
                        if icb in seen:
                            raise ValueError("%s is a folder met twice" % here)
                        seen.add(icb)
                        pending.append((here, icb))
                        found.append(Entry(here, True, [], when))
                        continue
                    held += sum(n for _, n in extents)
                    if held > 2 * max(size, 1 << 20):
                        raise ValueError("its names hold more than the image")
                    found.append(Entry(here, False, extents, when))
            return volume.label, found
    except NotYet as error:
        raise Refusal("%s is UDF with %s, which these tools do not read: check the folder it was made from" % (
                      path, error),
                      "udf-unread") from None
    except (ValueError, struct.error) as error:
        raise Refusal("%s is not a UDF image Windows can read safely (%s): make it again with Joliet names beside "
                      "UDF, or with quenlo-disc make" % (path, error), "image-unsafe") from None


def contents(path):
    """{path: (bytes' SHA-256, date)} of every file of the image's UDF tree."""
    found = {}
    with open(path, "rb") as f:
        for entry in tree(path)[1]:
            if entry.folder:
                continue
            digest = hashlib.sha256()
            for start, length in entry.extents:
                f.seek(start)
                while length > 0:
                    chunk = f.read(min(length, 1 << 20))
                    if not chunk:
                        break
                    digest.update(chunk)
                    length -= len(chunk)
            found[entry.path] = (digest.hexdigest(), entry.date)
    return found


def refuse_overlaps(entries):
    spans = sorted({e for entry in entries for e in entry.extents if e[1]})
    for (start, length), (other, _) in zip(spans, spans[1:]):
        if start + length > other:
            raise Refusal("the image's files overlap one another, which no mastering tool makes: it is not safe to "
                          "read", "image-unsafe")


def extract(image, folder, whole=None):
    """The UDF tree of image, checked, as plain files and folders in folder,
    all read-only; their number and bytes. whole(path, size): whether a
    file's bytes are copied (the rest are made empty, of their size)."""
    label, entries = tree(image)
    refuse_overlaps(entries)
    top = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    files = written = 0
    with opened(image) as f:
        for entry in entries:
            if entry.folder:
                os.mkdir(entry.path, 0o755, dir_fd=top)
                continue
            fd = os.open(entry.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644, dir_fd=top)
            with os.fdopen(fd, "wb") as out:
                if whole and not whole(entry.path, entry.size):
                    out.truncate(entry.size)
                else:
                    for start, length in entry.extents:
                        copy_run(f, out, start, length, entry.path)
                    written += entry.size
            files += 1
    for entry in reversed(entries):
        os.chmod(entry.path, 0o555 if entry.folder else 0o444, dir_fd=top)
    os.close(top)
    return files, written
