"""Windows programs and icons as Windows reads them: a PE file's machine and
its icons (RT_GROUP_ICON resources), and .ico files. Each takes a file's
bytes (the first 4 KiB do for the machine)."""
import struct

MACHINES = {0x14C: "i686", 0x8664: "x86_64"}
RT_GROUP_ICON = 14


def headers(data):
    """(offset of the PE header, machine number) of a Windows program's
    bytes, or None for anything else."""
    try:
        if data[:2] != b"MZ" or len(data) < 64:
            return None
        pe = struct.unpack_from("<I", data, 60)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            return None
        return pe, struct.unpack_from("<H", data, pe + 4)[0]
    except struct.error:
        return None


def is_windows_program(data):
    return headers(data) is not None


def machine(data):
    """"i686" or "x86_64" for a Windows exe, else None."""
    found = headers(data)
    return MACHINES.get(found[1]) if found else None


def icon_groups(data):
    """The ids of the icons (RT_GROUP_ICON resources) of a Windows exe or DLL,
    in the order Windows counts them (named ones as None), or None for a file
    that is no such program."""
    found = headers(data)
    if found is None:
        return None
    pe = found[0]
    try:
        sections, optional = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
        magic = struct.unpack_from("<H", data, pe + 24)[0]
        directories = pe + 24 + (96 if magic == 0x10B else 112)
        rva, size = struct.unpack_from("<II", data, directories + 2 * 8)
        if not rva or not size:
            return []
        table = pe + 24 + optional
        for n in range(sections):
            start, length, raw = struct.unpack_from("<III", data, table + 40 * n + 12)
            length = max(length, struct.unpack_from("<I", data, table + 40 * n + 8)[0])
            if start <= rva < start + length:
                root = raw + rva - start
                break
        else:
            return []

        def entries(at):
            named, ids = struct.unpack_from("<HH", data, at + 12)
            return [struct.unpack_from("<II", data, at + 16 + 8 * i) for i in range(named + ids)]

        for name, offset in entries(root):
            if name == RT_GROUP_ICON and offset & 0x80000000:
                return [None if name & 0x80000000 else name for name, _ in entries(root + (offset & 0x7FFFFFFF))]
        return []
    except struct.error:
        return None


def is_icon(data):
    """A Windows .ico: a header of type 1 and directory entries that lie
    inside the file."""
    if len(data) < 6:
        return False
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if reserved != 0 or kind != 1 or count == 0 or len(data) < 6 + 16 * count:
        return False
    for i in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * i + 8)
        if size == 0 or offset + size > len(data):
            return False
    return True


def icon_problem(data, index):
    """Why Windows shows no icon for icon=FILE,index, or None: FILE must be
    an .ico, or an exe or DLL whose icons have that index (the nth from 0,
    or with a minus the resource id)."""
    if is_icon(data):
        return None
    groups = icon_groups(data)
    if groups is None:
        return "which is neither an icon (.ico) nor an exe or DLL with icons"
    if not groups:
        return "a program without icons"
    if (index >= len(groups)) if index >= 0 else (-index not in groups):
        return "a program whose icons have no %s %d (it has %d)" % ("number" if index >= 0 else "id", abs(index),
                                                                 len(groups))
    return None
