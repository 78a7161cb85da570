"""The partitions of a UDF volume, where its logical blocks lie in the image:
a physical partition's own; UDF 2.50's metadata partition, whose blocks (the
file set, the file entries, the folders) are those of its metadata file in
the physical partition, read through the file's mirror where the file itself
is damaged, as Windows reads it; a disc written once in packets (CD-R, DVD-R,
BD-R), whose virtual blocks its allocation table, written last, maps; and a
rewritable one's, whose packets its sparing table may have moved. A
reference to a partition and a block in it becomes (byte in the image,
bytes) spans, each inside the image and inside its partition, or a ValueError.
"""
import binascii
import bisect
import struct

FILE_ENTRY, EXTENDED_ENTRY = 261, 266
METADATA_FILE, METADATA_MIRROR, TABLE = 250, 251, 248  # file types: the metadata file, its mirror, the virtual table
PHYSICAL, METADATA, VIRTUAL, SPARABLE = range(4)  # the kinds of partition a reference names
UNWRITTEN_TAIL = 1 << 16  # blocks of nothing after the last written one, looked through for the virtual table
LARGEST_TABLE = 1 << 24  # bytes of a virtual allocation table
LARGEST_EXTENTS = 4096  # of one file, its descriptors' blocks all counted
LARGEST_DESCRIPTOR_BLOCKS = 64  # continuations of a file's allocation descriptors followed


class NotYet(ValueError):
    """A partition of a kind this reader does not know."""


def tag(data):
    """A descriptor's kind, where its tag's checksum holds; else None."""
    if len(data) < 16 or sum(data[:4]) + sum(data[5:16]) & 0xFF != data[4]:
        return None
    return struct.unpack_from("<H", data, 0)[0]


def whole(data):
    """Whether a descriptor's bytes are those its tag's CRC was made of."""
    length = struct.unpack_from("<H", data, 10)[0]
    crc = struct.unpack_from("<H", data, 8)[0]
    return 16 + length <= len(data) and binascii.crc_hqx(data[16:16 + length], 0) == crc


def allocation(data, ref, more=None):
    """(file type, its bytes, its extents as [(partition reference, block,
    bytes)], or where in the entry its bytes are, embedded) of a file entry
    whose own block lies in partition ref; more(ref, block) reads a block of
    descriptors a file is continued in."""
    kind = tag(data)
    if kind not in (FILE_ENTRY, EXTENDED_ENTRY):
        raise ValueError("no file entry where a folder says")
    file_type, flags = data[27], struct.unpack_from("<H", data, 34)[0]
    at = 168 if kind == FILE_ENTRY else 208
    extra, length_of_area = struct.unpack_from("<II", data, at)
    length = struct.unpack_from("<Q", data, 56)[0]
    start = at + 8 + extra
    if start + length_of_area > len(data):
        raise ValueError("a file entry runs past its block")
    area, kind_of_ad = data[start:start + length_of_area], flags & 7
    if kind_of_ad == 3:
        if length > length_of_area:
            raise ValueError("a file held in its entry is larger than its room there")
        return file_type, length, start
    if kind_of_ad not in (0, 1):
        raise ValueError("extended allocation descriptors")
    step, extents, continued = 8 if kind_of_ad == 0 else 16, [], 0
    while True:
        follow = None
        for n in range(0, len(area) - step + 1, step):
            raw_length, where = struct.unpack_from("<II", area, n)
            there = ref if step == 8 else struct.unpack_from("<H", area, n + 8)[0]
            if raw_length >> 30 == 3:  # the rest lie in another block of descriptors
                follow = (there, where)
                break
            if raw_length & 0x3FFFFFFF and raw_length >> 30 == 0:
                extents.append((there, where, raw_length & 0x3FFFFFFF))
        if len(extents) > LARGEST_EXTENTS:
            raise ValueError("a file of more than %d extents" % LARGEST_EXTENTS)
        if follow is None:
            break
        continued += 1
        if more is None or continued > LARGEST_DESCRIPTOR_BLOCKS:
            raise ValueError("a file continued in too many extents of descriptors")
        area = more(*follow)
        area = area[24:24 + struct.unpack_from("<I", area, 20)[0]] if tag(area) == 258 else b""
    if sum(n for _, _, n in extents) < length:
        raise ValueError("a file's extents hold less than its size")
    kept, left = [], length
    for there, where, n in extents:  # the last block's rest is no part of the file
        if left > 0:
            kept.append((there, where, min(n, left)))
            left -= n
    return file_type, length, kept


class Blocks:
    """Bytes of an image open in f, by its blocks: each span inside the image and inside its partition."""

    def __init__(self, f, size, block, physical):
        self.f, self.size, self.block, self.physical = f, size, block, physical

    def partition(self, number):
        if number not in self.physical:
            raise ValueError("a partition map names no partition of the volume")
        start, count = self.physical[number]
        if (start + count) * self.block > self.size:
            raise ValueError("its partition lies beyond the image's end")
        return start, count

    def span(self, partition, block, length):
        """[(image byte, bytes)] of length bytes from block of a physical partition (start, count)."""
        start, count = partition
        if block >= count or length > (count - block) * self.block:
            raise ValueError("an extent lies beyond its partition")
        return [((start + block) * self.block, length)]

    @staticmethod
    def within(spans, at, length):
        """The spans of length bytes from byte at of those spans."""
        out = []
        for start, n in spans:
            if length > 0 and at < n:
                out.append((start + at, min(length, n - at)))
                length -= out[-1][1]
            at = max(0, at - n)
        return out

    def read(self, spans):
        out = []
        for at, length in spans:
            if at < 0 or at + length > self.size:
                raise ValueError("a descriptor lies beyond the image's end")
            self.f.seek(at)
            out.append(self.f.read(length))
        return b"".join(out)


class Tables(Blocks):
    """The tables by which a partition of another kind says where its blocks are."""

    def metadata(self, partition, *files):
        """The metadata partition's blocks, as ([file byte where each of its
        extents starts], [(image byte, bytes)]), read from its metadata file,
        else its mirror."""
        for file_block, wanted in zip(files, (METADATA_FILE, METADATA_MIRROR)):
            starts, spans, at = [], [], 0
            try:
                data = self.read(self.span(partition, file_block, self.block))
                file_type, length, extents = allocation(data, 0)
                if file_type != wanted or not isinstance(extents, list) or not whole(data):
                    continue
                for _, where, n in extents:
                    spans += self.span(partition, where, n)
                    starts.append(at)
                    at += n
            except (ValueError, struct.error):
                continue
            return starts, spans
        raise ValueError("neither the metadata file nor its mirror can be read")

    def virtual(self, partition):
        """The virtual partition's table (4 bytes a block: where it lies in
        the physical one), from the entry in the last block written."""
        last = self.last_written(partition)
        spans = self.span(partition, last, self.block) if last is not None else []
        file_type, length, extents = allocation(self.read(spans), 0) if spans else (None, 0, [])
        if file_type not in (0, TABLE) or length > LARGEST_TABLE:
            raise ValueError("no virtual allocation table in the last block written")
        if isinstance(extents, int):
            table = self.read(self.within(spans, extents, length))
        else:
            table = self.read([s for _, where, n in extents for s in self.span(partition, where, n)])
        if file_type == TABLE:  # UDF 2.00 and later: a header, then the table
            table = table[struct.unpack_from("<H", table, 0)[0]:]
        elif table[-35:-12].rstrip(b"\0") == b"*UDF Virtual Alloc Tbl":  # UDF 1.50's: its identifier ends it
            table = table[:-36]
        else:
            raise ValueError("no virtual allocation table in the last block written")
        return table[:len(table) // 4 * 4]

    def last_written(self, partition):
        """The partition's last block that holds anything, looked for
        through no more than UNWRITTEN_TAIL blocks of nothing; or None."""
        start, count = partition
        end = min(count, self.size // self.block - start)
        for top in range(end, max(0, end - UNWRITTEN_TAIL), -64):
            chunk = self.read(self.span(partition, max(0, top - 64), (top - max(0, top - 64)) * self.block))
            if chunk.strip(b"\0"):
                return max(0, top - 64) + (len(chunk.rstrip(b"\0")) - 1) // self.block
        return None

    def sparing(self, entry):
        """(packet's blocks, {a packet's first block: the block it was moved to}) of a sparable partition's map."""
        packet, tables, length = struct.unpack_from("<HBxI", entry, 40)
        for n in range(min(tables, 4)):
            where = struct.unpack_from("<I", entry, 48 + 4 * n)[0]
            if not 0 < where < self.size // self.block:
                continue
            data = self.read([(where * self.block, min(self.block * 16, self.size - where * self.block))])
            if tag(data) == 0 and data[17:35] == b"*UDF Sparing Table" and packet:
                moved = struct.unpack_from("<H", data, 48)[0]
                pairs = [struct.unpack_from("<II", data, 56 + 8 * k) for k in range(min(moved, (len(data) - 56) // 8))]
                return packet, {first: to for first, to in pairs if first < 0xFFFFFFF0}
        raise ValueError("no sparing table where its map says")


class Partitions(Tables):
    """The partition maps of a logical volume (its descriptor's table), each
    a reference: what it reads, and where."""

    def __init__(self, f, size, block, physical, maps, table):
        super().__init__(f, size, block, physical)
        self.maps, at = [], 0
        for _ in range(min(maps, 64)):
            kind, length = table[at:at + 2] if len(table) >= at + 2 else (0, 0)
            if kind == 1 and length == 6:
                self.maps.append((PHYSICAL, self.partition(struct.unpack_from("<H", table, at + 4)[0])))
            elif kind == 2 and length == 64:
                name = table[at + 5:at + 28].rstrip(b"\0")
                number = self.partition(struct.unpack_from("<H", table, at + 38)[0])
                if name == b"*UDF Metadata Partition":
                    self.maps.append((METADATA, self.metadata(number, *struct.unpack_from("<II", table, at + 40))))
                elif name == b"*UDF Virtual Partition":
                    self.maps.append((VIRTUAL, (number, self.virtual(number))))
                elif name == b"*UDF Sparable Partition":
                    self.maps.append((SPARABLE, (number, *self.sparing(table[at:at + 64]))))
                else:
                    raise NotYet('a partition of the kind "%s"' % name.decode("latin-1").strip())
            else:
                raise ValueError("a partition map of no known kind")
            at += length
        if not self.maps:
            raise ValueError("no partition map")

    def where(self, ref, block, length):
        """[(image byte, bytes)] of length bytes from a block of partition reference ref."""
        if ref >= len(self.maps):
            raise ValueError("an extent in a partition the volume has not")
        if length > self.size:
            raise ValueError("an extent larger than the image")
        kind, what = self.maps[ref]
        if kind == PHYSICAL or kind == SPARABLE and not what[2]:
            return self.span(what if kind == PHYSICAL else what[0], block, length)
        if kind in (VIRTUAL, SPARABLE):
            return self.blocks(kind, what, block, length)
        starts, spans = what
        at, out = block * self.block, []
        n = bisect.bisect_right(starts, at) - 1
        while length > 0:
            if n < 0 or n >= len(starts) or at - starts[n] >= spans[n][1]:
                raise ValueError("an extent lies beyond the metadata file")
            taken = min(length, spans[n][1] - (at - starts[n]))
            out.append((spans[n][0] + at - starts[n], taken))
            at, length, n = at + taken, length - taken, n + 1
        return out

    def blocks(self, kind, what, block, length):
        """The spans of a virtual partition's blocks, each where its table
        says; or of a sparable one's, each of a moved packet where it was moved."""
        out = []
        for n in range(-(-length // self.block)):
            taken = min(self.block, length - n * self.block)
            if kind == VIRTUAL:
                if 4 * (block + n) + 4 > len(what[1]):
                    raise ValueError("a block beyond the virtual partition's table")
                at = self.span(what[0], struct.unpack_from("<I", what[1], 4 * (block + n))[0], taken)[0]
            else:
                packet, moved = what[1], what[2]
                first = (block + n) - (block + n) % packet
                at = (((moved[first] + (block + n) % packet) * self.block, taken) if first in moved
                      else self.span(what[0], block + n, taken)[0])
            if out and out[-1][0] + out[-1][1] == at[0]:
                out[-1] = (out[-1][0], out[-1][1] + taken)
            else:
                out.append(at)
        return out
