"""A USB stick as Windows reads it: one FAT32 partition behind an MBR
partition table (or a FAT volume from its first sector, as some sticks
come), its names long (UTF-16) and short (8.3), read here as plainly as
files can be. sticks.py writes such an image; this reads one from anyone,
in the extraction sandbox, with every number bounded by the image's size.
"""
import datetime
import os
import re
import struct

from . import Refusal
from .names import upper

SECTOR = 512
FIRST = 2048  # the partition's first sector: 1 MiB in, where partitioning tools align it
FAT_TYPES = {0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E}  # the MBR's kinds of FAT partition
END = 0x0FFFFFF8  # a cluster number from which a chain has ended
LONG, LABEL, FOLDER = 0x0F, 0x08, 0x10
# What an 8.3 name may hold besides letters and digits, as Windows makes them.
SHORT_ALLOWED = set("!#$%&'()-@^_`{}~")
LARGEST_ENTRIES = 65536  # of one folder: FAT numbers them in 16 bits
DEEPEST, LONGEST_PATH, LETTERS, LARGEST_TREE = 64, 4096, 1 << 22, 1 << 18
# The first sector of a stick image: a partition table, or a FAT volume of its own.
BOOT_SIGNATURE = b"\x55\xaa"


def dos_time(moment):
    """(date, time) of a moment as FAT stores it, to two seconds. FAT keeps
    local time; a stick's is written as of UTC, so that the same folder
    makes the same image in every time zone."""
    when = datetime.datetime.fromtimestamp(max(moment, 315532800), datetime.timezone.utc)
    when = min(when, datetime.datetime(2107, 12, 31, 23, 59, 58, tzinfo=datetime.timezone.utc))
    return ((when.year - 1980) << 9 | when.month << 5 | when.day,
            when.hour << 11 | when.minute << 5 | when.second // 2)


def dos_moment(stamp):
    """A FAT entry's time and date (4 bytes) as text."""
    time, date = struct.unpack("<HH", stamp)
    return "%04d-%02d-%02d %02d:%02d:%02d" % (1980 + (date >> 9), date >> 5 & 15, date & 31, time >> 11,
                                              time >> 5 & 63, (time & 31) * 2)


def short_basis(name):
    """The 8.3 name Windows would make of name, before a numeric tail:
    (base, extension), each in ASCII capitals, and whether it is the name
    itself (no long name needed)."""
    base, dot, ext = name.rpartition(".") if "." in name.lstrip(".") else (name, "", "")

    def squeeze(part, length):
        out = "".join(c if c.isascii() and (c.isalnum() or c in SHORT_ALLOWED) else "_"
                      for c in part.upper() if c not in " .")
        return out[:length]

    short_base, short_ext = squeeze(base, 8), squeeze(ext, 3)
    exact = (short_base == base and short_ext == ext and 0 < len(base) <= 8 and len(ext) <= 3
             and not name.startswith("."))
    return short_base or "_", short_ext, exact


def short_names(names):
    """{name: (its 11 bytes of 8.3 name, whether a long name goes with it)}
    of the names of one folder: each short name unique there, and ASCII, so
    that no PC's OEM code page reads one differently."""
    taken, found = set(), {}
    for name in sorted(names, key=lambda n: (not short_basis(n)[2], n)):
        base, ext, exact = short_basis(name)
        if exact and (base, ext) not in taken:
            taken.add((base, ext))
            found[name] = ((base.ljust(8) + ext.ljust(3)).encode("ascii"), False)
            continue
        n = 1
        while True:
            tail = "~%d" % n
            candidate = (base[:8 - len(tail)] + tail, ext)
            if candidate not in taken:
                break
            n += 1
        taken.add(candidate)
        found[name] = ((candidate[0].ljust(8) + candidate[1].ljust(3)).encode("ascii"), True)
    return found


def checksum(short):
    total = 0
    for byte in short:
        total = ((total >> 1) | ((total & 1) << 7)) + byte & 0xFF
    return total


def long_entries(name, short):
    """The long-name entries that go before a short name's, last part first."""
    units = name.encode("utf-16-le")
    units += b"\0\0" if len(units) % 26 else b""
    units += b"\xff" * (-len(units) % 26)
    parts = [units[n:n + 26] for n in range(0, len(units), 26)]
    out, check = [], checksum(short)
    for n, part in enumerate(parts, 1):
        order = n | (0x40 if n == len(parts) else 0)
        out.append(struct.pack("<B10sBBB12sH4s", order, part[:10], LONG, 0, check, part[10:22], 0, part[22:26]))
    return b"".join(reversed(out))


# ---------------------------------------------------------------- reading

def volume_start(f, size):
    """The byte at which the image's FAT volume begins; ValueError where it
    holds none."""
    first = f.read(SECTOR)
    if len(first) < SECTOR or first[510:512] != BOOT_SIGNATURE:
        raise ValueError("it has no partition table or FAT volume")
    if first[82:87] == b"FAT32" or first[54:59] in (b"FAT12", b"FAT16"):
        return 0
    for n in range(4):
        kind, start, count = struct.unpack_from("<4xB3xII", first, 446 + 16 * n)
        if kind in FAT_TYPES and count:
            if (start + count) * SECTOR > size:
                raise ValueError("its partition runs past the image's end")
            return start * SECTOR
    raise ValueError("its partition table holds no FAT partition")


# An image the web page reads from its browser's File: its path to what opens it.
GIVEN = {}


def opened(path):
    """The image at path, open to read: a file, or where the web page gives
    it, its browser's File (GIVEN)."""
    return GIVEN[path]() if path in GIVEN else open(path, "rb")


def size_of(path):
    """The bytes of an image file, or of a block device read as one."""
    with opened(path) as f:
        return f.seek(0, os.SEEK_END)


def is_stick(path):
    """True for an image that holds a FAT volume as a stick does."""
    try:
        with opened(path) as f:
            volume_start(f, size_of(path))
            return True
    except (OSError, ValueError, struct.error):
        return False


class Volume:
    """A FAT12, FAT16 or FAT32 volume of an image open in f, its numbers
    checked against the image's size. The root of FAT12 and FAT16 is a
    region of its own before the clusters, here cluster 0. oem: the codec
    of the PC's OEM code page, in which Windows reads short names."""

    def __init__(self, f, size, oem="cp437"):
        self.f, self.start, self.oem = f, volume_start(f, size), oem
        f.seek(self.start)
        boot = f.read(SECTOR)
        (sector, self.per_cluster, reserved, fats, roots, small, _, fat16, _, _, _, large, fat32, _, _,
         root) = struct.unpack_from("<HBHBHHBHHHIIIHHI", boot, 11)
        if sector != SECTOR or self.per_cluster not in (1, 2, 4, 8, 16, 32, 64, 128) or not fats:
            raise ValueError("it is not a FAT volume of 512-byte sectors")
        total, per_fat = small or large, fat16 or fat32
        self.fat = self.start + reserved * SECTOR
        self.root_region = (self.fat + fats * per_fat * SECTOR, roots * 32)
        self.data = self.root_region[0] + -(-roots * 32 // SECTOR) * SECTOR
        self.clusters = (self.start + total * SECTOR - self.data) // (self.per_cluster * SECTOR)
        # The kind is the count of clusters, whatever the boot sector's words say.
        self.bits = 12 if self.clusters < 4085 else 16 if self.clusters < 65525 else 32
        self.root = root if self.bits == 32 else 0
        if (self.start + total * SECTOR > size or self.clusters < 1 or not per_fat or (self.bits == 32) == bool(roots)
                or (self.clusters + 2) * self.bits > per_fat * SECTOR * 8):
            raise ValueError("its numbers do not add up to the image it is in")
        self.label = boot[71 if self.bits == 32 else 43:][:11].decode(oem, "replace").rstrip()
        self.bytes = self.per_cluster * SECTOR
        self.end = {12: 0xFF8, 16: 0xFFF8, 32: END}[self.bits]

    def next_cluster(self, cluster):
        """What the FAT says follows cluster."""
        if self.bits == 12:
            self.f.seek(self.fat + cluster * 3 // 2)
            pair = struct.unpack("<H", self.f.read(2))[0]
            return pair >> 4 if cluster & 1 else pair & 0xFFF
        self.f.seek(self.fat + cluster * self.bits // 8)
        if self.bits == 16:
            return struct.unpack("<H", self.f.read(2))[0]
        return struct.unpack("<I", self.f.read(4))[0] & 0x0FFFFFFF

    def chain(self, first, most):
        """The clusters of a chain from first, at most most of them; a loop,
        or a cluster beyond the volume, is refused."""
        out, cluster = [], first
        while 2 <= cluster < self.end:
            if cluster >= self.clusters + 2 or len(out) >= most:
                raise ValueError("a chain of clusters runs beyond the volume, or round in a loop")
            out.append(cluster)
            cluster = self.next_cluster(cluster)
        return out

    def read(self, first, size):
        """The bytes of a chain, size of them (all of it, for a folder: None)."""
        if first == 0 and size is None and self.bits != 32:
            self.f.seek(self.root_region[0])
            return self.f.read(self.root_region[1])
        most = self.clusters if size is None else -(-size // self.bytes)
        chunks = []
        for cluster in self.chain(first, most):
            self.f.seek(self.data + (cluster - 2) * self.bytes)
            chunks.append(self.f.read(self.bytes))
        data = b"".join(chunks)
        if size is not None and len(data) < size:
            raise ValueError("a file's clusters hold less than its size")
        return data if size is None else data[:size]

    def spans(self, first, size):
        """Where in the image the size bytes of a chain lie, as read() reads
        them: [(start, length)], each run of neighbouring clusters one."""
        runs = []
        for cluster in self.chain(first, -(-size // self.bytes)):
            start = self.data + (cluster - 2) * self.bytes
            if runs and sum(runs[-1]) == start:
                runs[-1] = (runs[-1][0], runs[-1][1] + self.bytes)
            else:
                runs.append((start, self.bytes))
        over = sum(length for _, length in runs) - size
        if over < 0:
            raise ValueError("a file's clusters hold less than its size")
        return runs[:-1] + [(runs[-1][0], runs[-1][1] - over)]

    def entries(self, first):
        """(name, is a folder, first cluster, size, time and date) of a folder's entries."""
        data, parts = self.read(first, None), []
        for at in range(0, len(data), 32):
            raw = data[at:at + 32]
            if raw[0] == 0:
                break
            if raw[0] == 0xE5:
                parts = []
                continue
            if raw[11] == LONG:
                parts.append(raw)
                continue
            long_name, parts = long_name_of(parts, raw), []
            if raw[11] & LABEL or raw[:2] in (b".\x20", b"..") and raw[11] & FOLDER:
                continue
            cluster = struct.unpack_from("<H", raw, 20)[0] << 16 | struct.unpack_from("<H", raw, 26)[0]
            short = short_name(raw, self.oem)
            yield (long_name or short, bool(raw[11] & FOLDER), cluster, struct.unpack_from("<I", raw, 28)[0],
                   raw[22:26], short)


def long_name_of(parts, raw):
    """The long name that the entries parts (as they lie) give the short
    entry raw after them, as Windows takes it: only a whole run, numbered
    down to 1 from its last part, each part carrying the short name's
    checksum; else None, and the short name is the file's (as where a
    program that knows no long names renamed the file)."""
    if not parts or not parts[0][0] & 0x40:
        return None
    count, check = parts[0][0] & 0x1F, checksum(raw[:11])
    if count != len(parts) or any(p[0] & 0x1F != count - n or p[13] != check for n, p in enumerate(parts)):
        return None
    units = b"".join(p[1:11] + p[14:26] + p[28:32] for p in reversed(parts))
    return units.decode("utf-16-le", "replace").split("\0")[0]


def short_name(raw, oem="cp437"):
    """An 8.3 entry's name as Windows shows it: in the PC's OEM code page."""
    raw = (b"\xe5" + raw[1:]) if raw[0] == 5 else raw  # 0x05 stands for a first byte 0xE5
    base, ext = raw[:8].decode(oem, "replace").rstrip(), raw[8:11].decode(oem, "replace").rstrip()
    if raw[12] & 0x08:
        base = base.lower()
    if raw[12] & 0x10:
        ext = ext.lower()
    return base + ("." + ext if ext else "")


def tree(path, oem="cp437"):
    """(the volume's label, [(path with "/", is a folder, first cluster,
    size)], folders before what they hold) of a stick image; a Refusal where
    it is none or could not be trusted."""
    size = size_of(path)
    try:
        with opened(path) as f:
            volume = Volume(f, size, oem)
            found, pending, seen, letters = [], [("", volume.root)], {volume.root}, 0
            while pending:
                folder, first = pending.pop(0)
                seen_here = {}
                for n, (name, folder_entry, cluster, length, _, short) in enumerate(volume.entries(first)):
                    if n >= LARGEST_ENTRIES or len(found) >= LARGEST_TREE:
                        raise ValueError("more names than a FAT volume holds")
                    twins(seen_here, n, name, short, folder or "the stick's root", path)
                    if not name or name in (".", "..") or re.search(r'[\0/\\]', name) or "\ufffd" in name:
                        raise ValueError("a name no file system can hold (%r)" % name)
                    here = folder + "/" + name if folder else name
                    letters += len(here)
                    if len(here) > LONGEST_PATH or here.count("/") >= DEEPEST or letters > LETTERS:
                        raise ValueError("its paths are deeper or longer than any stick's (%s...)" % here[:80])
                    if folder_entry:
                        if cluster in seen:
                            raise ValueError("%s is a folder met twice" % here)
                        seen.add(cluster)
                        pending.append((here, cluster))
                    found.append((here, folder_entry, cluster, length))
            return volume.label, found
    except (ValueError, struct.error, UnicodeDecodeError) as error:
        raise Refusal("%s is not a stick image Windows can read safely (%s): make it again with quenlo-disc make "
                      "--stick" % (path, error), "image-unsafe") from None


def twins(seen, n, name, short, where, image):
    """Refuses the nth name of a folder where Windows, which looks a name up
    without regard to case among the long and short names of a folder in
    the folder's order, might take it for another entry's (seen: the names
    before it, upper-cased, to their entry and spelling)."""
    for spelling in {upper(name), upper(short)}:
        first, other = seen.setdefault(spelling, (n, name))
        if first != n:
            raise Refusal('"%s" and "%s" in %s of %s differ only in case (or one is the other\'s short name), and '
                          'Windows sees one of them: make the stick again from a folder without them (quenlo-disc '
                          'make --stick)' % (other, name, where, image), "name-case-twins")


def refuse_expanding(entries, size):
    if sum(length for _, folder_entry, _, length in entries if not folder_entry) > 4 * max(size, SECTOR):
        raise Refusal("the image's names hold more bytes than it has: make it again with quenlo-disc make --stick",
                      "image-unsafe")


def extract(image, folder, oem="cp437", whole=None):
    """The stick image's files, checked, as plain files and folders in
    folder, all read-only; their number and bytes. whole(path, size):
    whether a file's bytes are copied (the rest are made empty, of their size)."""
    _, entries = tree(image, oem)
    size = size_of(image)
    refuse_expanding(entries, size)
    top = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    files = written = 0
    with opened(image) as f:
        volume = Volume(f, size, oem)
        for path, folder_entry, cluster, length in entries:
            if folder_entry:
                os.mkdir(path, 0o755, dir_fd=top)
                continue
            try:
                data = volume.read(cluster, length) if length and (not whole or whole(path, length)) else b""
            except (ValueError, struct.error) as error:
                raise Refusal("%s is not a stick image Windows can read safely (%s): make it again with quenlo-disc "
                              "make --stick" % (image, error), "image-unsafe") from None
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644, dir_fd=top)
            with os.fdopen(fd, "wb") as out:
                out.write(data)
                out.truncate(length)
            files, written = files + 1, written + length
    for path, folder_entry, _, _ in reversed(entries):
        os.chmod(path, 0o555 if folder_entry else 0o444, dir_fd=top)
    os.close(top)
    return files, written


def contents(path):
    """{path: (bytes' SHA-256, date and time as FAT keeps them)} of every
    file of a stick image, for telling what differs between two."""
    import hashlib
    tree(path)  # refused before anything is read, where it cannot be trusted
    found = {}
    with opened(path) as f:
        volume = Volume(f, size_of(path))
        pending = [("", volume.root)]
        while pending:
            folder, first = pending.pop(0)
            for name, folder_entry, cluster, size, stamp, _ in volume.entries(first):
                here = folder + "/" + name if folder else name
                if folder_entry:
                    pending.append((here, cluster))
                else:
                    data = volume.read(cluster, size) if size else b""
                    found[here] = (hashlib.sha256(data).hexdigest(), dos_moment(stamp))
    return found
