"""UDF images as Windows reads them, alone or beside ISO 9660 on a bridge
disc (where Windows reads UDF in preference): the logical volume's label and
its tree, names in OSTA's compressed Unicode. Read from anyone in the
extraction sandbox, with iso.py's bounds: every extent inside the image, a
folder visited once, and the tree's records, depth, letters and bytes held.
The metadata partition of UDF 2.50 and later is not read yet: such an image
is refused in one line.
"""
import collections
import os
import struct

from . import Refusal
from .fat import opened, size_of
from .iso import DEEPEST, LARGEST_TREE, LETTERS, LONGEST_PATH, Entry, record_date

BLOCKS = (2048, 512, 1024, 4096)  # the block sizes an anchor is looked for at, the discs' first
ANCHOR, PARTITION, VOLUME, TERMINATOR = 2, 5, 6, 8
FILE_SET, IDENTIFIER, FILE_ENTRY, EXTENDED_ENTRY = 256, 257, 261, 266
DIRECTORY, FILE = 4, 5
LARGEST_DESCRIPTORS = 64  # of a volume descriptor sequence


class NotYet(ValueError):
    """What Windows reads and this reader does not yet."""


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
    """The UDF volume of an image open in f: its block size, its one
    partition's start and length, its label, its root folder's ICB."""

    def __init__(self, f, size):
        self.f, self.size = f, size
        for block in BLOCKS:
            anchor = self.read_at(256 * block, 512)
            if len(anchor) == 512 and self.tag(anchor) == ANCHOR:
                self.block = block
                break
        else:
            raise ValueError("no UDF anchor")
        length, where = struct.unpack_from("<II", anchor, 16)
        partitions, volume = {}, None
        for n in range(min(length // self.block, LARGEST_DESCRIPTORS)):
            descriptor = self.read_at((where + n) * self.block, self.block)
            kind = self.tag(descriptor)
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
        maps = struct.unpack_from("<I", volume, 268)[0]
        table = volume[440:440 + struct.unpack_from("<I", volume, 264)[0]]
        if maps != 1 or table[:1] != b"\x01":
            raise NotYet("a metadata or virtual partition")
        self.start, self.count = partitions.get(struct.unpack_from("<H", table, 4)[0], (None, 0))
        if self.start is None or (self.start + self.count) * self.block > size:
            raise ValueError("its partition lies beyond the image's end")
        file_set = self.logical(*struct.unpack_from("<IIH", volume, 248)[1:2], self.block)
        if self.tag(file_set) != FILE_SET:
            raise ValueError("no file set where the volume says")
        self.root = struct.unpack_from("<I", file_set, 404)[0]

    def read_at(self, at, length):
        if at < 0 or at + length > self.size:
            raise ValueError("a descriptor lies beyond the image's end")
        self.f.seek(at)
        return self.f.read(length)

    def logical(self, block, length):
        """length bytes from a logical block of the partition."""
        if block >= self.count or length > (self.count - block) * self.block:
            raise ValueError("an extent lies beyond its partition")
        return self.read_at((self.start + block) * self.block, length)

    @staticmethod
    def tag(data):
        """A descriptor's kind, where its tag's checksum holds; else None."""
        if len(data) < 16 or sum(data[:4]) + sum(data[5:16]) & 0xFF != data[4]:
            return None
        return struct.unpack_from("<H", data, 0)[0]

    def entry(self, block):
        """(is a folder, [(logical block, bytes)] or the embedded bytes, date) of the entry at block."""
        data = self.logical(block, self.block)
        kind = self.tag(data)
        if kind not in (FILE_ENTRY, EXTENDED_ENTRY):
            raise ValueError("no file entry where a folder says")
        file_type, flags = data[27], struct.unpack_from("<H", data, 34)[0]
        at = 168 if kind == FILE_ENTRY else 208
        extra, descriptors = struct.unpack_from("<II", data, at)
        length = struct.unpack_from("<Q", data, 56)[0]
        start = at + 8 + extra
        if start + descriptors > len(data):
            raise ValueError("a file entry runs past its block")
        area, kind_of_ad = data[start:start + descriptors], flags & 7
        stamp = data[84:96] if kind == FILE_ENTRY else data[92:104]  # when it was modified
        when = record_date(bytes([max(0, struct.unpack_from("<H", stamp, 2)[0] - 1900) & 0xFF]) + stamp[4:9] + b"\0")
        if kind_of_ad == 3:
            return file_type == DIRECTORY, area[:length], when
        step = 8 if kind_of_ad == 0 else 16 if kind_of_ad == 1 else None
        if step is None:
            raise ValueError("extended allocation descriptors")
        extents = []
        for n in range(0, len(area) - step + 1, step):
            raw_length, where = struct.unpack_from("<II", area, n)
            if raw_length >> 30 == 3:
                raise ValueError("a file continued in another extent of descriptors")
            if raw_length & 0x3FFFFFFF and raw_length >> 30 == 0:
                extents.append((where, raw_length & 0x3FFFFFFF))
        if sum(n for _, n in extents) < length:
            raise ValueError("a file's extents hold less than its size")
        kept, left = [], length
        for where, n in extents:  # the last block's rest is no part of the file
            if left > 0:
                kept.append((where, min(n, left)))
                left -= n
        return file_type == DIRECTORY, kept, when

    def content(self, extents, limit):
        if isinstance(extents, bytes):
            return extents[:limit]
        out = []
        for block, length in extents:
            out.append(self.logical(block, min(length, limit - sum(map(len, out)))))
        return b"".join(out)


def identifiers(data):
    """(name, is a folder, its entry's block) of each file identifier of a folder's bytes."""
    at = 0
    while at + 38 <= len(data):
        if Volume.tag(data[at:at + 16]) != IDENTIFIER:
            raise ValueError("a folder's identifiers do not follow one another")
        characteristics, name_length = data[at + 18], data[at + 19]
        icb, use = struct.unpack_from("<I", data, at + 24)[0], struct.unpack_from("<H", data, at + 36)[0]
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
                folder, block = pending.popleft()
                is_folder, extents, _ = volume.entry(block)
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
                    if isinstance(extents, bytes):
                        raise ValueError("%s is held in its entry, which is not read yet" % here)
                    held += sum(n for _, n in extents)
                    if held > 2 * max(size, 1 << 20):
                        raise ValueError("its names hold more than the image")
                    found.append(Entry(here, False, [((volume.start + b) * volume.block, n) for b, n in extents], when))
            return volume.label, found
    except NotYet as error:
        raise Refusal("%s is UDF with %s (UDF 2.50 and later, or a disc written in packets), which Windows reads "
                      "and these tools do not read yet: check the folder it was made from" % (path, error),
                      "udf-unread") from None
    except (ValueError, struct.error) as error:
        raise Refusal("%s is not a UDF image Windows can read safely (%s): make it again with Joliet names beside "
                      "UDF, or with quenlo-disc make" % (path, error), "image-unsafe") from None


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
                        f.seek(start)
                        while length:
                            chunk = f.read(min(length, 1 << 20))
                            if not chunk:
                                raise Refusal("the image ends inside %s" % entry.path, "image-unsafe")
                            out.write(chunk)
                            length -= len(chunk)
                    written += entry.size
            files += 1
    for entry in reversed(entries):
        os.chmod(entry.path, 0o555 if entry.folder else 0o444, dir_fd=top)
    os.close(top)
    return files, written
