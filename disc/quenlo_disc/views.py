"""Any maker's image as Windows shows it: which file system Windows reads
and which tool made it, the label Explorer shows, and what the maker did to
the author's names on the way (ISO 9660's 8.3 capitals, Joliet's names cut
at 64 letters, FAT's 8.3 names in one OEM code page, other systems'
droppings). Runs where iso.py and fat.py run, in the extraction sandbox:
main() copies the view out and says what it saw, as JSON. The web page,
which has no sandbox but its browser's worker, reads the same view
(seen()) and takes each file where it lies in the image (spans()).
"""
import errno
import json
import os
import re
import struct
import sys

from . import Refusal, fat, iso, udf as udf_reader
from .pages import PAGES

# The OEM code page of a PC of each ANSI code page, in which Windows reads a
# FAT volume's short names.
OEM = {1250: "cp852", 1251: "cp866", 1252: "cp850", 1253: "cp737", 1254: "cp857", 1255: "cp862", 1256: "cp720",
       1257: "cp775", 874: "cp874", 932: "cp932", 936: "gbk", 949: "cp949", 950: "cp950"}
# What macOS leaves on a stick, which Windows shows as files and folders.
DROPPINGS = re.compile(r"(^|/)(\._[^/]*|\.DS_Store|\.Trashes|\.fseventsd|\.Spotlight-V100|\.TemporaryItems)$")
# What the check reads of a medium besides its names and sizes: its pages,
# stylesheets, scripts, SVG, autorun.inf, icon and exe; of anything else, only
# what is small enough to cost nothing (a stylesheet of another name).
READ = PAGES + (".svg", ".css", ".js", ".mjs", ".inf", ".ico", ".exe", ".xml")
SMALL = 1 << 20
JOLIET_CUT = 64  # letters: what makers keep of a Joliet name without -joliet-long
CUTS = (JOLIET_CUT, 103)  # the lengths of a name cut without it, and with it
# The makers a volume's preparer or application names, and how each is told to write Joliet names in full.
MAKERS = [("GENISOIMAGE", "genisoimage", "-J -joliet-long"), ("XORRISO", "xorriso", "-as mkisofs -J -joliet-long"),
          ("LIBISOFS", "xorriso", "-as mkisofs -J -joliet-long"), ("MKISOFS", "mkisofs", "-J -joliet-long"),
          ("HDIUTIL", "hdiutil makehybrid", "-joliet"), ("APPLE", "hdiutil makehybrid", "-joliet"),
          ("IMGBURN", "ImgBurn", "the ISO9660 + Joliet file system"),
          ("IMAPI", "Windows' disc burning", "the Mastered format")]


def is_read(path, size):
    """Whether the check reads the file's bytes, not its name and size alone."""
    return size <= SMALL or path.lower().endswith(READ)


def udf_revision(path):
    """"NSR02" or "NSR03" where the image holds UDF (alone, or beside ISO
    9660 on a bridge disc), which Windows reads in preference; else None."""
    try:
        with fat.opened(path) as f:
            for step in (iso.SECTOR, 4096):  # a descriptor a sector, of 2048 bytes at least
                for n in range(48):
                    f.seek(16 * iso.SECTOR + n * step)
                    kind = f.read(6)[1:6]
                    if kind in (b"NSR02", b"NSR03"):
                        return kind.decode()
                    if kind not in (b"CD001", b"BEA01", b"BOOT2", b"CDW02"):
                        break
    except OSError:
        return None
    return None


def maker(preparer, application):
    """(the tool that made the image, the option that gives Windows its
    names in full) from what the volume says, or (None, None)."""
    said = (preparer + " " + application).upper()
    return next(((tool, option) for word, tool, option in MAKERS if word in said), (None, None))


def rock_ridge_name(record, joliet_name_length):
    """The name Rock Ridge's NM entries give a record (what the author
    wrote, on a system that reads them), or None."""
    at = 33 + joliet_name_length + (1 - joliet_name_length % 2)
    name, continued = b"", False
    while at + 4 <= len(record):
        signature, length = record[at:at + 2], record[at + 2]
        if length < 4 or at + length > len(record):
            break
        if signature == b"NM" and length >= 5 and not record[at + 4] & 0x06:
            name, continued = name + record[at + 5:at + length], bool(record[at + 4] & 0x01)
            if not continued:
                break
        at += length
    return name.decode("utf-8", "replace") if name else None


def authors_names(f, primary, size):
    """{first sector: Rock Ridge name} of the primary tree's records that
    hold data, each sector's once (names that share one are left out),
    within the same bounds as the tree Windows shows."""
    root = primary[156:190]
    pending = [(struct.unpack_from("<I", root, 2)[0], struct.unpack_from("<I", root, 10)[0])]
    seen, names, shared, count = set(), {}, set(), 0
    while pending and len(seen) < iso.LARGEST_TREE:
        sector, length = pending.pop()
        if sector in seen or (sector * iso.SECTOR + length > size):
            continue
        seen.add(sector)
        f.seek(sector * iso.SECTOR)
        for n, (_, record) in enumerate(iso.records(f.read(min(length, 1 << 24)))):
            count += 1
            if n < 2 or count > iso.LARGEST_TREE:
                continue
            extent = struct.unpack_from("<I", record, 2)[0]
            name = rock_ridge_name(record, record[32])
            if record[25] & 0x02:
                pending.append((extent, struct.unpack_from("<I", record, 10)[0]))
            if name and struct.unpack_from("<I", record, 10)[0]:
                if extent in names:
                    shared.add(extent)
                names[extent] = name
    return {k: v for k, v in names.items() if k not in shared}


def iso_view(path):
    """What Windows reads of an ISO 9660 image, and what the maker did to the author's names."""
    size = fat.size_of(path)
    entries = iso.tree(path)
    with fat.opened(path) as f:
        _, shown, joliet = iso.shown_descriptor(f)
        primary = next(d for _, d in iso.descriptors(f) if d[0] == 1)
        try:
            written = authors_names(f, primary, size)
        except (ValueError, struct.error):
            written = {}
    preparer, application = (primary[a:a + 128].decode("latin-1").strip() for a in (446, 574))
    renamed, cut = [], []
    for entry in entries:
        name = entry.path.rpartition("/")[2]
        theirs = written.get(entry.extents[0][0]) if entry.size else None
        if joliet and (len(name) >= JOLIET_CUT and theirs and theirs != name or not theirs and len(name) in CUTS):
            cut.append([entry.path, theirs])
        elif theirs and theirs != name:
            renamed.append([entry.path, theirs])
    return {"system": "Joliet" if joliet else "ISO 9660", "label": iso.volume_label(path), "stick": False,
            "preparer": preparer, "application": application, "renamed": renamed, "cut": cut}, entries


def udf_view(path):
    """What Windows reads of a disc that holds UDF, which it reads in
    preference to ISO 9660; None for a bridge disc whose UDF is not read
    (a partition of an unknown kind), whose ISO 9660 tree is read instead."""
    try:
        label, _ = udf_reader.tree(path)
    except Refusal as refusal:
        if refusal.code == "udf-unread" and iso.volume_label(path) is not None:
            return None
        raise
    with fat.opened(path) as f:
        try:
            primary = next(d for _, d in iso.descriptors(f) if d[0] == 1)
            preparer, application = (primary[a:a + 128].decode("latin-1").strip() for a in (446, 574))
        except (ValueError, StopIteration):
            preparer, application = udf_reader.Volume(f, fat.size_of(path)).maker, ""
    return {"system": "UDF", "label": label, "stick": False, "preparer": preparer, "application": application,
            "renamed": [], "cut": [], "udf": udf_revision(path)}


def contents(path):
    """{path: (bytes' SHA-256, date)} of the files Windows reads of an image
    (for telling what differs between two): a stick's FAT, a disc's UDF
    where it holds one, else its Joliet or ISO 9660 tree."""
    if iso.is_stick(path):
        return fat.contents(path)
    if udf_revision(path) and udf_view(path):
        return udf_reader.contents(path)
    return iso.contents(path)


def made(path):
    """When a disc image says it was made, where it does."""
    try:
        return iso.made_on(path)
    except (ValueError, StopIteration, OSError):
        return None


def fat_label(path, oem):
    """The label Explorer shows for a FAT volume: its root's label entry,
    else the boot sector's (none for "NO NAME")."""
    with fat.opened(path) as f:
        volume = fat.Volume(f, fat.size_of(path), oem)
        data = volume.read(volume.root, None)
    for at in range(0, min(len(data), fat.LARGEST_ENTRIES * 32), 32):
        raw = data[at:at + 32]
        if not raw or raw[0] == 0:
            break
        if raw[0] != 0xE5 and raw[11] & 0x3F == fat.LABEL:
            return raw[:11].decode(oem, "replace").rstrip()
    return "" if volume.label.upper() == "NO NAME" else volume.label


def fat_view(path, oem):
    """What Windows reads of a stick's image, with the names read
    otherwise on a PC of another OEM code page, and other systems' droppings."""
    _, entries = fat.tree(path, oem)
    other = fat.tree(path, "cp866" if oem != "cp866" else "cp437")[1]
    local = [p for (p, *_), (q, *_) in zip(entries, other) if p != q]
    with fat.opened(path) as f:
        bits = fat.Volume(f, fat.size_of(path), oem).bits
    return {"system": "FAT%d" % bits, "label": fat_label(path, oem), "stick": True, "preparer": "",
            "application": "", "renamed": [], "cut": [], "code_page_names": local,
            "droppings": [p for p, *_ in entries if DROPPINGS.search(p)]}


def udf_arch(image):
    """The bitness of the exe a UDF disc's open line runs."""
    from .autorun import keys_and_exe
    from .pe import machine
    root = {e.path: e for e in udf_reader.tree(image)[1] if "/" not in e.path and not e.folder}
    with fat.opened(image) as f:
        def read(name):
            data = b""
            for start, length in root[name].extents if name in root else ():
                f.seek(start)
                data += f.read(min(length, (1 << 20) - len(data)))
            return data if name in root else None

        exe = keys_and_exe(list(root), read)[1]
        found = machine((read(exe) or b"")[:4096])
    if found is None:
        raise Refusal("the disc's %s is not a Windows program" % exe, "exe-not-windows")
    return found


def kind(image):
    """For a try: the bitness of the exe its open line runs, whether it is
    a stick's, and its label, as Windows reads it."""
    if iso.is_stick(image):  # nothing of a stick runs by itself, of whatever bitness
        return {"arch": "x86_64", "stick": True, "label": fat.tree(image)[0]}
    if udf_revision(image) and udf_view(image):
        return {"arch": udf_arch(image), "stick": False, "label": udf_reader.tree(image)[0]}
    return {"arch": iso.arch(image), "stick": False, "label": iso.volume_label(image)}


def seen(image, oem):
    """(what Windows reads of image, which of fat, udf and iso reads its
    files, the ISO 9660 tree read on the way or None): a stick's FAT, else
    a disc's UDF where it holds one Windows reads, else its ISO 9660 tree;
    a Refusal for an image of none."""
    if iso.is_stick(image):  # refused where it is a disc's too
        return fat_view(image, oem), "fat", None
    view = udf_revision(image) and udf_view(image)  # Windows reads UDF where a disc holds it
    if view:
        return view, "udf", None
    if iso.volume_label(image) is None:
        raise Refusal("%s is neither an ISO 9660 or UDF image nor a stick's image (a partition table and a FAT "
                      "volume): give the image a disc maker or make --stick wrote" % image, "not-an-image")
    view, entries = iso_view(image)
    view["udf"] = udf_revision(image)
    return view, "iso", entries


def spans(image, oem, reader, entries=None, read=is_read):
    """The view's tree as where its files lie in image, for a reader that
    reads them from there (the web page's): [(path, is a folder, size,
    [(start, length)] of a file read(path, size) picks, else None)],
    refused as extract() refuses what it copies out. entries: the ISO 9660
    tree where seen() read it already."""
    size = fat.size_of(image)
    if reader == "fat":
        _, tree = fat.tree(image, oem)
        fat.refuse_expanding(tree, size)
        with fat.opened(image) as f:
            volume = fat.Volume(f, size, oem)
            try:
                return [(p, folder, length, volume.spans(first, length) if length and read(p, length) else None)
                        for p, folder, first, length in tree]
            except (ValueError, struct.error) as error:
                raise Refusal("%s is not a stick image Windows can read safely (%s): make it again with quenlo-disc "
                              "make --stick" % (image, error), "image-unsafe") from None
    if reader == "udf":
        entries = udf_reader.tree(image)[1]
        udf_reader.refuse_overlaps(entries)
        at = [(e, e.extents) for e in entries]
    else:
        entries = entries or iso.tree(image)
        iso.refuse_unsafe(entries, size)
        at = [(e, [(sector * iso.SECTOR, length) for sector, length in e.extents]) for e in entries]
    found = []
    for entry, extents in at:
        picked = not entry.folder and read(entry.path, entry.size)
        if picked and any(start + length > size for start, length in extents):
            raise Refusal("the image ends inside %s" % entry.path, "image-unsafe")
        found.append((entry.path, entry.folder, entry.size, [e for e in extents if e[1]] if picked else None))
    seen = set()
    for path, *_ in found:  # two names Windows shows alike: extract() cannot make both, and stops at the second
        if path in seen:
            raise OSError(errno.EEXIST, os.strerror(errno.EEXIST), path)
        seen.add(path)
    return found


def not_copied(error):
    """What a refusal says of an image whose view could not be copied out (an OSError)."""
    if error.errno == errno.EEXIST:
        return ("the image holds two files or folders that Windows shows by one name (%s), which one of them hides: "
                "make the image afresh, with names that differ" % os.path.basename(error.filename or "") if
                error.filename else "the image holds two files or folders that Windows shows by one name: make the "
                "image afresh, with names that differ")
    return "the image could not be copied out: %s" % (error.strerror or error)


def main(argv):
    """In a sandbox: IMAGE FOLDER [OEM codec] [--whole], the tree Windows
    shows copied out into folder (without --whole, of the files the check
    only names and measures, just their size); --arch IMAGE, what a try
    needs to know first (kind()); --contents IMAGE, each file's digest and
    date and when the image was made, to compare it with another; on
    standard output what it is, as JSON."""
    image, folder = argv[-1 if argv[0] == "--arch" else 0], argv[1]
    oem = argv[2] if len(argv) > 2 else "cp850"
    whole = None if "--whole" in argv else is_read
    try:
        if argv[0] == "--arch":
            view = kind(image)
        elif argv[0] == "--contents":
            view = {"contents": {p: [digest, str(date)] for p, (digest, date) in contents(argv[1]).items()},
                    "made": made(argv[1])}
        else:
            view, reader, _ = seen(image, oem)
            view["files"], view["bytes"] = (fat.extract(image, folder, oem, whole) if reader == "fat" else
                                            udf_reader.extract(image, folder, whole) if reader == "udf" else
                                            iso.extract(image, folder, whole))
        print(json.dumps(view))
    except Refusal as refusal:
        print(json.dumps({"refusal": str(refusal), "code": refusal.code}))
    except OSError as error:
        print(json.dumps({"refusal": not_copied(error), "code": "image-unsafe"}))


if __name__ == "__main__":
    main(sys.argv[1:])
