"""A medium mastered as a USB stick's image: an MBR partition table and one
FAT32 partition (fat.py), written here byte by byte rather than by mkfs.fat
and mcopy, for two reasons: every name gets its long name (mcopy keeps a
name such as "résumé.htm" as a short name alone, which a PC of another OEM
code page reads otherwise, and every link to it breaks there), and the same
folder makes the same bytes in any time zone (FAT keeps local time).
fsck.fat and mdir are the tests' judges of what comes out.
"""
import hashlib
import struct

from .fat import FIRST, FOLDER, LABEL, SECTOR, dos_time, long_entries, short_names

RESERVED = 32  # sectors before the FATs, as Windows formats FAT32
SMALLEST = 65525 + 16  # clusters: with fewer, Windows takes the volume for FAT16
MARGIN = 1 << 20  # bytes of room beyond the files, at the least


class Node:
    """A file or folder of the stick: its name, its disc path, its size and
    time; a folder's children; the first cluster it is given."""

    def __init__(self, name, path, folder, size=0, moment=0):
        self.name, self.path, self.folder, self.size, self.moment = name, path, folder, size, moment
        self.children, self.first, self.count = [], 0, 0


def layout(files, moment, empty=()):
    """The root Node of a stick that holds files ({disc path: (path here,
    size, time)}) in their folders, and the folders empty."""
    root = Node("", "", True, moment=moment)
    folders = {"": root}
    for disc in sorted(list(files) + list(empty), key=lambda p: p.split("/")):
        parts = disc.split("/")
        for n in range(1, len(parts) + (disc in empty)):
            here = "/".join(parts[:n])
            if here not in folders:
                folders[here] = Node(parts[n - 1], here, True, moment=moment)
                folders["/".join(parts[:n - 1])].children.append(folders[here])
        if disc in files:
            _, size, when = files[disc]
            folders["/".join(parts[:-1])].children.append(Node(parts[-1], disc, False, size, min(when, moment)))
    return root


def entries_of(node, parent, label, shorts):
    """The 32-byte entries of a folder Node: "." and ".." (but in the root,
    its label), then each child's long name and short entry."""
    date, time = dos_time(node.moment)
    out = []
    if node is parent:
        out.append(entry(label_bytes(label), LABEL, 0, 0, date, time))
    else:
        out.append(entry(b".".ljust(11), FOLDER, node.first, 0, date, time))
        out.append(entry(b"..".ljust(11), FOLDER, 0 if parent.path == "" else parent.first, 0, date, time))
    for child in node.children:
        short, long_too = shorts[child.name]
        child_date, child_time = dos_time(child.moment)
        if long_too:
            out.append(long_entries(child.name, short))
        out.append(entry(short, FOLDER if child.folder else 0x20, child.first, 0 if child.folder else child.size,
                         child_date, child_time))
    return b"".join(out)


def entry(short, attributes, first, size, date, time):
    return struct.pack("<11sBBBHHHHHHHI", short, attributes, 0, 0, time, date, date, first >> 16, time, date,
                       first & 0xFFFF, size)


def label_bytes(label):
    """The volume label as FAT holds it: 11 ASCII capitals (others become "_")."""
    shown = "".join(c if c.isascii() and (c.isalnum() or c in " !#$%&'()-@^_`{}~") else "_" for c in label.upper())
    return (shown[:11] or "NO NAME").ljust(11).encode("ascii")


def plan(root, label):
    """Each folder's entries' bytes, and the clusters each Node needs, at a
    cluster size: ({folder path: bytes}, the total clusters)."""
    sizes = {}

    def visit(node, parent):
        shorts = short_names([c.name for c in node.children])
        sizes[node.path] = len(entries_of(node, parent, label, shorts))
        for child in node.children:
            if child.folder:
                visit(child, node)

    visit(root, root)
    return sizes


def geometry(sizes, files, cluster_bytes=None):
    """(sectors per cluster, clusters, sectors per FAT) of a volume that holds
    folders of sizes and files of files' sizes, with room to spare."""
    for per in ((cluster_bytes // SECTOR,) if cluster_bytes else (8, 4, 2, 1)):
        size = per * SECTOR
        needed = sum(-(-s // size) for s in sizes.values()) + sum(-(-s // size) for s in files)
        clusters = needed + max(needed // 10, MARGIN // size)
        if clusters >= SMALLEST or per == 1:
            clusters = max(clusters, SMALLEST)
            fat = -(-(clusters + 2) * 4 // SECTOR)
            return per, clusters, fat
    raise AssertionError("unreachable")


def write(path, files, label, moment, empty=()):
    """The stick image of files ({disc path: (path here, size, time)}) and
    the folders empty at path; its size. moment: the newest time any file or
    folder may have."""
    root = layout(files, moment, set(empty))
    sizes = plan(root, label)
    per, clusters, fat_sectors = geometry(sizes, [f[1] for f in files.values()])
    cluster = per * SECTOR
    fat = [0x0FFFFFF8, 0x0FFFFFFF]

    def allocate(node, length):
        count = max(1, -(-length // cluster)) if node.folder or length else 0
        node.first = len(fat) if count else 0
        fat.extend(range(len(fat) + 1, len(fat) + count))
        if count:
            fat.append(0x0FFFFFFF)

    order = []

    def visit(node):  # folders first, in the folder's order, then their files
        allocate(node, sizes[node.path])
        order.append(node)
        for child in node.children:
            if child.folder:
                visit(child)

    visit(root)
    stored = [node for folder in order for node in folder.children if not node.folder]
    for node in stored:
        allocate(node, node.size)
    volume = RESERVED + 2 * fat_sectors + clusters * per
    # The serial is of what the image holds: a file's time only as clamped,
    # so that touching a file newer than moment changes no byte.
    serial = struct.unpack("<I", hashlib.sha256(repr((label, moment, sorted(
        (p, f[1], min(f[2], moment)) for p, f in files.items()))).encode("utf-8", "surrogateescape")).digest()[:4])[0]
    with open(path, "r+b") as f:
        f.truncate((FIRST + volume) * SECTOR)
        f.seek(0)
        f.write(partition_table(volume, serial))
        start = FIRST * SECTOR
        boot = boot_sector(per, fat_sectors, volume, serial, label)
        info = fs_info(clusters - (len(fat) - 2), len(fat))
        for at, data in ((0, boot), (1, info), (6, boot), (7, info)):
            f.seek(start + at * SECTOR)
            f.write(data)
        table = struct.pack("<%dI" % len(fat), *fat)
        for n in range(2):
            f.seek(start + (RESERVED + n * fat_sectors) * SECTOR)
            f.write(table)
        data = start + (RESERVED + 2 * fat_sectors) * SECTOR
        parents = {root.path: root}
        for node in order:
            for child in node.children:
                parents[child.path] = node
        for node in order:
            shorts = short_names([c.name for c in node.children])
            f.seek(data + (node.first - 2) * cluster)
            f.write(entries_of(node, parents[node.path] if node is not root else root, label, shorts))
        for node in stored:
            if node.first:
                f.seek(data + (node.first - 2) * cluster)
                with open(files[node.path][0], "rb") as source:
                    while True:
                        chunk = source.read(1 << 20)
                        if not chunk:
                            break
                        f.write(chunk)
    return (FIRST + volume) * SECTOR


def partition_table(sectors, serial):
    """The MBR: one FAT32 (LBA) partition from FIRST, of sectors."""
    record = struct.pack("<B3sB3sII", 0x00, b"\xfe\xff\xff", 0x0C, b"\xfe\xff\xff", FIRST, sectors)
    return (b"\0" * 440 + struct.pack("<IH", serial, 0) + record + b"\0" * 48 + b"\x55\xaa")


def boot_sector(per, fat_sectors, sectors, serial, label):
    bpb = struct.pack("<3s8sHBHBHHBHHHIIIHHIHH12sBBBI11s8s", b"\xeb\x58\x90", b"MSWIN4.1", SECTOR, per, RESERVED, 2, 0,
                      0, 0xF8, 0, 63, 255, FIRST, sectors, fat_sectors, 0, 0, 2, 1, 6, b"", 0x80, 0, 0x29, serial,
                      label_bytes(label), b"FAT32   ")
    return bpb.ljust(510, b"\0") + b"\x55\xaa"


def fs_info(free, next_free):
    return (struct.pack("<I", 0x41615252) + b"\0" * 480 + struct.pack("<III", 0x61417272, free, next_free)
            + b"\0" * 12 + struct.pack("<I", 0xAA550000))
