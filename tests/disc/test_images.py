#!/usr/bin/env python3
"""Images from anyone, as the try copies them out: only the Joliet tree
(what Windows reads), only plain files and folders, and never one whose
records would make it outgrow its image. Each row an image crafted as an
attacker would (xorriso's own options, then records patched by hand)."""
import binascii
import contextlib
import errno
import io
import json
import os
import random
import shutil
import stat
import struct
import subprocess
import tempfile
import time
import unittest
from unittest import mock

from harness import EXE
from quenlo_disc import Refusal, fat, iso, mastering, sticks, trying, views
from test_cli import run

AUTORUN = "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\n"


def master(folder, files, *options):
    """An image of files (disc path: text, or ("link", target), or "fifo"),
    made by xorriso with Rock Ridge and Joliet and the options given."""
    source = os.path.join(folder, "source")
    for rel, what in files.items():
        path = os.path.join(source, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(what, tuple):
            os.symlink(what[1], path)
        elif what == "fifo":
            os.mkfifo(path)
        else:
            with open(path, "w") as f:
                f.write(what)
    image = os.path.join(folder, "crafted.iso")
    subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-J", "-R"] + [o.replace("SOURCE", source) for o in options]
                   + ["-o", image, source], check=True, capture_output=True)
    return image


def point(image, name, sector, size):
    """The Joliet root record of name made to say its file lies at sector, size bytes."""
    with open(image, "r+b") as f:
        place, descriptor = iso.joliet_descriptor(f)
        root = struct.unpack_from("<I", descriptor, 156 + 2)[0]
        f.seek(root * iso.SECTOR)
        data = f.read(iso.SECTOR)
        for at, record in iso.records(data):
            if record[33:33 + record[32]].decode("utf-16-be", "replace").split(";")[0] == name:
                f.seek(root * iso.SECTOR + at + 2)
                f.write(struct.pack("<I", sector) + struct.pack(">I", sector) + struct.pack("<I", size)
                        + struct.pack(">I", size))


def tagged(block, at=None):
    """block (a bytearray) with its descriptor tag's CRC and checksum made right again, at its location if given."""
    if at is not None:
        struct.pack_into("<I", block, 12, at)
    length = struct.unpack_from("<H", block, 10)[0]
    struct.pack_into("<H", block, 8, binascii.crc_hqx(bytes(block[16:16 + length]), 0))
    block[4] = (sum(block[:4]) + sum(block[5:16])) & 0xFF
    return block


def metadata_partition(image, revision, alone=False):
    """A UDF 1.02 image of genisoimage -udf made one of UDF 2.50 or 2.60 as
    Windows writes them (no free maker writes a metadata partition): its
    file set, file entries and folders moved into a metadata file appended
    to the image, in two extents out of order, with a mirror; the blocks
    they left zeroed; files' data left where it was, each file's entry
    pointing at it by long allocation descriptors. alone: no ISO 9660 tree
    beside it. Returns the bytes where the metadata was appended."""
    from quenlo_disc import udf
    block = 2048
    with open(image, "rb") as f:
        disc = bytearray(f.read())
        volume = udf.Volume(f, len(disc))
    (_, (start, _)), = volume.parts.maps
    sequence = struct.unpack_from("<II", disc, 256 * block + 16)
    descriptors = {udf.tag(disc[b * block:(b + 1) * block]): b for b in range(sequence[1], sequence[1] + 16)}
    file_set = struct.unpack_from("<I", disc, descriptors[udf.VOLUME] * block + 252)[0]
    entries, folders, data, pending = [], [], [], [volume.root]
    while pending:  # the tree's descriptors: each file entry, each folder's identifiers
        ref, at = pending.pop()
        entry = disc[(start + at) * block:(start + at + 1) * block]
        _, length, extents = udf.allocation(entry, 0)
        entries.append(at)
        if entry[27] != udf.DIRECTORY:
            data += [first for _, first, n in extents]
            continue
        (_, first, length), = extents
        folders.append((first, length))
        at = (start + first) * block
        pending += [icb for _, _, icb in udf.identifiers(disc[at:at + length])]
    blocks = {file_set, *entries} | {b for first, n in folders for b in range(first, first + -(-n // block))}
    used = max(blocks) + 1
    assert min(data, default=used) >= used, "no file's data among the descriptors"
    piece = disc[(start + file_set) * block:(start + file_set + 1) * block]
    struct.pack_into("<H", piece, 408, 1)  # the root: in the metadata partition (reference 1)
    disc[(start + file_set) * block:(start + file_set + 1) * block] = tagged(piece)
    for at in entries:  # a file's data stays in the physical partition, now named by reference 0
        piece = disc[(start + at) * block:(start + at + 1) * block]
        if piece[27] != udf.DIRECTORY:
            _, length, extents = udf.allocation(piece, 0)
            descriptors_at = 176 + struct.unpack_from("<I", piece, 168)[0]
            area = b"".join(struct.pack("<IIH6x", n, first, 0) for _, first, n in extents)
            piece[descriptors_at:] = area.ljust(block - descriptors_at, b"\0")
            struct.pack_into("<I", piece, 172, len(area))
            struct.pack_into("<H", piece, 34, struct.unpack_from("<H", piece, 34)[0] & ~7 | 1)
            struct.pack_into("<H", piece, 10, descriptors_at + len(area) - 16)
        disc[(start + at) * block:(start + at + 1) * block] = tagged(piece)
    for first, length in folders:  # each identifier's entry: in the metadata partition
        at = (start + first) * block
        while at + 38 <= (start + first) * block + length:
            struct.pack_into("<H", disc, at + 28, 1)
            size = 38 + struct.unpack_from("<H", disc, at + 36)[0] + disc[at + 19]
            disc[at:at + size] = tagged(disc[at:at + size])
            at += (size + 3) // 4 * 4
    half, end = used // 2, len(disc) // block - start  # appended: entry, mirror's, the second half, the first, mirror
    metadata = [disc[(start + b) * block:(start + b + 1) * block] for b in range(used)]
    for at in range(used):
        disc[(start + at) * block:(start + at + 1) * block] = bytes(block)
    for n, (kind, extents) in enumerate(((250, [(half, end + 2 + used - half), (used - half, end + 2)]),
                                         (251, [(used, end + 2 + used)]))):
        entry = bytearray(block)
        struct.pack_into("<HH", entry, 0, udf.FILE_ENTRY, 3)
        struct.pack_into("<HHH", entry, 20, 4, 0, 1)
        entry[27], entry[34] = kind, 0
        struct.pack_into("<QQ", entry, 56, used * block, used)
        area = b"".join(struct.pack("<II", n * block, at) for n, at in extents)
        struct.pack_into("<II", entry, 168, 0, len(area))
        entry[176:176 + len(area)] = area
        struct.pack_into("<H", entry, 10, 176 + len(area) - 16)
        disc += tagged(entry, end + n)
    disc += b"".join(metadata[half:]) + b"".join(metadata[:half]) + b"".join(metadata)
    suffix = struct.pack("<H", revision)
    partition, logical = descriptors[udf.PARTITION] * block, descriptors[udf.VOLUME] * block
    struct.pack_into("<I", disc, partition + 192, len(disc) // block - start)
    disc[partition:partition + block] = tagged(disc[partition:partition + block])
    table = struct.pack("<BBHH", 1, 6, 1, struct.unpack_from("<H", disc, partition + 22)[0]) + struct.pack(
        "<BBH", 2, 64, 0) + b"\0*UDF Metadata Partition".ljust(24, b"\0") + suffix.ljust(8, b"\0") + struct.pack(
        "<HHIIIIHB5x", 1, struct.unpack_from("<H", disc, partition + 22)[0], end, end + 1, 0xFFFFFFFF, 32, 1, 0)
    struct.pack_into("<H", disc, logical + 256, 1)  # the file set: in the metadata partition
    struct.pack_into("<II", disc, logical + 264, len(table), 2)
    disc[logical + 440:logical + 440 + len(table)] = table
    disc[logical + 216 + 24:logical + 216 + 26] = suffix  # the domain's revision
    struct.pack_into("<H", disc, logical + 10, 440 + len(table) - 16)
    disc[logical:logical + block] = tagged(disc[logical:logical + block])
    integrity = struct.unpack_from("<I", disc, logical + 436)[0] * block  # its revisions, to read and to write
    use = integrity + 80 + 8 * struct.unpack_from("<I", disc, integrity + 72)[0] + 40
    struct.pack_into("<HHH", disc, use, revision, revision, revision)
    disc[integrity:integrity + block] = tagged(disc[integrity:integrity + block])
    recognition = [s for s in range(16, 32) if disc[s * block + 1:s * block + 6] in (b"BEA01", b"NSR02", b"TEA01")]
    disc[recognition[1] * block + 1:recognition[1] * block + 6] = b"NSR03"
    if alone:
        kept = [disc[s * block:(s + 1) * block] for s in recognition]
        disc[16 * block:(recognition[-1] + 1) * block] = b"".join(kept).ljust((recognition[-1] - 15) * block, b"\0")
    with open(image, "wb") as f:
        f.write(disc)
    return (start + end) * block, len(disc) - (start + end) * block


def walked(folder):
    """{path: "folder", or a file's text} of what is in folder."""
    found = {}
    for top, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(top, name)
            kind = os.lstat(path).st_mode
            found[os.path.relpath(path, folder)] = "folder" if stat.S_ISDIR(kind) else "other"
            if stat.S_ISREG(kind):
                with open(path, errors="replace") as f:
                    found[os.path.relpath(path, folder)] = f.read()
    return found


class Images(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quenlo-images-")
        self.out = os.path.join(self.work, "out")
        os.mkdir(self.out)

    def tearDown(self):
        subprocess.run(["chmod", "-R", "u+w", self.work])
        shutil.rmtree(self.work)

    def extracted(self, image):
        iso.extract(image, self.out)
        return walked(self.out)

    def test_rock_ridge_never_comes_out(self):
        """A link to a private key, a pipe as autorun.inf, and a quenlo.exe
        that only Rock Ridge holds: none of them is what Windows reads."""
        key = os.path.join(self.work, "id_demo")
        with open(key, "w") as f:
            f.write("private")
        os.chmod(key, 0o600)
        image = master(self.work, {"docs/index.htm": "<p>x", "docs/key.htm": ("link", key), "autorun.inf": "fifo",
                                   "quenlo.exe": "rock ridge's", "QUENLO.EXE": "joliet's"},
                       "-hide-joliet", "SOURCE/quenlo.exe", "-hide", "SOURCE/QUENLO.EXE")
        self.assertEqual(self.extracted(image), {"docs": "folder", "docs/index.htm": "<p>x",
                                                 "QUENLO.EXE": "joliet's"})
        self.assertEqual(stat.S_IMODE(os.stat(key).st_mode), 0o600)

    def test_records_that_do_not_add_up(self):
        """Records that overlap another file's data, and many names for one
        file's data that would fill the disk: refused before anything is written."""
        image = master(self.work, dict({"big.htm": "x" * 300000, "a.htm": "a", "autorun.inf": AUTORUN},
                                       **{"n%02d.htm" % n: "" for n in range(20)}))
        big = next(e for e in iso.tree(image) if e.path == "big.htm").extents[0]
        overlapping = image + ".overlap"
        shutil.copy(image, overlapping)
        point(overlapping, "a.htm", big[0] + 1, 5000)
        for n in range(20):
            point(image, "n%02d.htm" % n, *big)
        for crafted in (overlapping, image):
            with self.subTest(crafted):
                with self.assertRaises(Refusal) as refused:
                    iso.extract(crafted, self.out)
                self.assertEqual(refused.exception.code, "image-unsafe")
                self.assertEqual(os.listdir(self.out), [])

    def test_folders_read_once(self):
        """A folder whose records are another's (or lie among them), and a
        tree deeper than any disc's: refused at once, before their records
        are read again and again."""
        image = master(self.work, {"a/x.htm": "x", "b/y.htm": "y", "autorun.inf": AUTORUN})
        a = next(e for e in iso.tree(image) if e.path == "a").extents[0]
        point(image, "b", *a)
        deep = master(os.path.join(self.work, "deep"), {"/".join(["d"] * (iso.DEEPEST + 1)) + "/p.htm": "p"})
        for crafted, says in ((image, "appears twice"), (deep, "deeper or longer")):
            with self.subTest(says):
                with self.assertRaises(Refusal) as refused:
                    iso.tree(crafted)
                self.assertEqual(refused.exception.code, "image-unsafe")
                self.assertIn(says, str(refused.exception))


    def test_iso9660_names(self):
        """An image without Joliet (genisoimage without -J), as Windows
        shows it: 8.3 capitals, without ";1" and without the dot of a name
        with no extension; a try takes it, and finds its exe by those names."""
        source = os.path.join(self.work, "plain")
        for rel, text in {"docs/read me.htm": "r", "README": "x", "autorun.inf": AUTORUN}.items():
            os.makedirs(os.path.dirname(os.path.join(source, rel)), exist_ok=True)
            with open(os.path.join(source, rel), "w") as f:
                f.write(text)
        shutil.copy(EXE, os.path.join(source, "quenlo.exe"))
        image = os.path.join(self.work, "plain.iso")
        subprocess.run(["genisoimage", "-quiet", "-R", "-o", image, source], check=True)
        trying.is_image(image)
        self.assertEqual({k: v for k, v in self.extracted(image).items() if k != "QUENLO.EXE"},
                         {"DOCS": "folder", "DOCS/READ_ME.HTM": "r", "README": "x",
                          "AUTORUN.INF": AUTORUN.replace("\r\n", "\n")})
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            views.main(["--arch", image])
        self.assertEqual(json.loads(out.getvalue())["arch"], "i686")


class UDF(unittest.TestCase):
    """UDF as mkudffs writes it, of each revision Windows reads, on a disc's
    blocks and a drive's, pressed (cd, hd), written once in packets (cdr,
    bdr: a virtual partition) or rewritten (cdrw: a sparable one): its label
    read; a partition of another kind refused in one line; random bytes
    changed in its descriptors and tables read or refused in one line."""

    def test_revisions(self):
        work = tempfile.mkdtemp(prefix="quenlo-udf-")
        self.addCleanup(shutil.rmtree, work)
        rng = random.Random(52)

        def read(image):
            said, out, started = io.StringIO(), tempfile.mkdtemp(dir=work), time.monotonic()
            with contextlib.redirect_stdout(said):
                views.main([image, out])
            self.assertLess(time.monotonic() - started, 2)
            return json.loads(said.getvalue())

        for revision in ("1.02", "1.50", "2.00", "2.01", "2.50", "2.60"):
            for media in ("cd", "hd") if revision == "1.02" else ("cd", "cdr", "cdrw", "hd:512", "hd:4096") if (
                    revision < "2.50") else ("cdr", "bdr"):
                with self.subTest(revision, media=media):
                    image = os.path.join(work, "%s-%s.udf" % (revision, media))
                    with open(image, "wb") as f:
                        f.truncate(4 << 20)
                    media, _, blocks = media.partition(":")  # a drive's sectors of other sizes
                    subprocess.run(["mkudffs", "--media-type=" + media, "--udfrev=" + revision, "--label=Katalog"]
                                   + ["--blocksize=" + blocks] * bool(blocks) + [image],
                                   check=True, capture_output=True)
                    found = read(image)
                    listed = int((revision, media) == ("1.50", "cdrw"))  # 1.50's file of the packets not to use
                    self.assertEqual((found.get("system"), found.get("label"), found.get("files")),
                                     ("UDF", "Katalog", listed), found)
                    with open(image, "rb") as f:
                        data = f.read()
                    written = len(data.rstrip(b"\0")) // 2048  # the virtual table is in the last block written
                    for n in range(8):
                        mutant = bytearray(data)
                        for _ in range(rng.randint(1, 6)):
                            start = rng.choice((32, 64, 96, 224, 256, 288, max(0, written - 1), written))
                            mutant[start * 2048 + rng.randrange(2048 if start < 256 else 1024)] = rng.randrange(256)
                        with open(image + ".mutant", "wb") as f:
                            f.write(mutant)
                        found = read(image + ".mutant")
                        self.assertTrue("files" in found or "\n" not in found["refusal"], found)
        with open(image, "r+b") as f:  # a partition of no kind Windows reads
            data = bytearray(f.read())
            at = data.index(b"*UDF Virtual Partition")
            data[at:at + 22] = b"*UDF Unknown Partition"
            logical = at - 440 - 6 - 5
            f.seek(logical)
            f.write(tagged(data[logical:logical + 2048]))
        found = read(image)
        self.assertEqual(found["code"], "udf-unread", found)
        self.assertNotIn("\n", found["refusal"])

    def test_packet_moved(self):
        """A rewritable disc whose root folder's packet went bad and was
        moved to a spare one, as its sparing tables say: read from there."""
        from quenlo_disc import udf
        work = tempfile.mkdtemp(prefix="quenlo-udf-")
        self.addCleanup(shutil.rmtree, work)
        image = os.path.join(work, "rw.udf")
        with open(image, "wb") as f:
            f.truncate(4 << 20)
        subprocess.run(["mkudffs", "--media-type=cdrw", "--udfrev=2.01", "--label=Katalog", image], check=True,
                       capture_output=True)
        with open(image, "r+b") as f:
            disc = bytearray(f.read())
            volume = udf.Volume(f, len(disc))
        (_, (partition, packet, _)), (_, root) = volume.parts.maps[0], volume.root
        first = partition[0] + root - root % packet
        at = disc.index(b"*UDF Sparable Partition") - 5
        for table in struct.unpack_from("<II", disc, at + 48)[:disc[at + 42]]:
            spare = struct.unpack_from("<I", disc, table * 2048 + 60)[0]
            struct.pack_into("<I", disc, table * 2048 + 56, root - root % packet)
            disc[table * 2048:table * 2048 + 2048] = tagged(disc[table * 2048:table * 2048 + 2048])
            disc[spare * 2048:(spare + packet) * 2048] = disc[first * 2048:(first + packet) * 2048]
        disc[first * 2048:(first + packet) * 2048] = bytes(packet * 2048)
        with open(image, "wb") as f:
            f.write(disc)
        self.assertEqual(udf.tree(image), ("Katalog", []))

    def test_metadata_partition(self):
        """A UDF 2.50 disc's tree read through its metadata file, the mirror
        where the file is damaged, a small file held in its entry as
        Windows writes one; what does not add up refused in one line."""
        from quenlo_disc import udf
        work = tempfile.mkdtemp(prefix="quenlo-udf-")
        self.addCleanup(shutil.rmtree, work)
        os.makedirs(os.path.join(work, "source", "docs"))
        for rel, text in {"docs/read me.htm": "<p>r", "docs/Caf\u00e9.htm": "<p>" + "c" * 5000}.items():
            with open(os.path.join(work, "source", rel), "w") as f:
                f.write(text)
        made = os.path.join(work, "made.iso")
        subprocess.run(["genisoimage", "-quiet", "-udf", "-V", "Katalog", "-o", made, os.path.join(work, "source")],
                       check=True)
        metadata, _ = metadata_partition(made, 0x250, alone=True)
        with open(made, "rb") as f:
            volume = udf.Volume(f, os.path.getsize(made))
            docs = next(udf.identifiers(volume.content(volume.entry(volume.root)[1], 1 << 20)))[2]
            files = {name: icb for name, _, icb in udf.identifiers(volume.content(volume.entry(docs)[1], 1 << 20))}
            entry = {name: volume.parts.where(*icb, 2048)[0][0] for name, icb in files.items()}
            free = volume.parts.maps[0][1][0] * 2048  # the physical partition's first block, left empty

        def continued(f, to=0):  # Café.htm's descriptor moved to a block of its own, the entry's ending there
            f.seek(entry["Caf\u00e9.htm"])
            block = bytearray(f.read(2048))
            descriptor = block[176:192]
            block[176:186] = struct.pack("<IIH", 3 << 30 | 2048, 0, 0)
            more = bytearray(2048)
            struct.pack_into("<HHI", more, 0, 258, 3, 0)
            struct.pack_into("<HIII", more, 10, 24, 0, 0, 16 if to == 0 else 32)
            more[24:40] = descriptor if to == 0 else struct.pack("<IIH6x", 3 << 30 | 2048, 0, 0)
            return [(entry["Caf\u00e9.htm"], tagged(block)), (free, tagged(more))]

        def embedded(f):  # read me.htm's bytes moved into its entry, as Windows keeps a small file
            f.seek(entry["read me.htm"])
            block = bytearray(f.read(2048))
            struct.pack_into("<H", block, 34, struct.unpack_from("<H", block, 34)[0] | 3)
            struct.pack_into("<I", block, 172, 4)
            block[176:180] = b"<p>r"
            struct.pack_into("<H", block, 10, 180 - 16)
            return entry["read me.htm"], tagged(block)

        both = {"docs": "folder", "docs/read me.htm": "<p>r", "docs/Caf\u00e9.htm": "<p>" + "c" * 5000}
        for name, craft, wanted in (
                ("as made", lambda f: (0, b""), both),
                ("a small file held in its entry", embedded, both),
                ("a file's descriptors continued in another block", continued, both),
                ("continued in a loop", lambda f: continued(f, to=1), "too many extents of descriptors"),
                ("the metadata file damaged: its mirror read", lambda f: (metadata, b"\0" * 16), both),
                ("its extents beyond the partition: its mirror read", lambda f: (metadata + 180, b"\xff" * 4), both),
                ("both damaged", lambda f: (metadata, b"\0" * 2064), "nor its mirror"),
                ("a file in a partition the volume has not", lambda f: (entry["Caf\u00e9.htm"] + 184, b"\7"),
                 "a partition the volume has not"),
                ("a file's data beyond its partition", lambda f: (entry["read me.htm"] + 180, b"\0\0\0\1"),
                 "beyond its partition")):
            with self.subTest(name):
                crafted, out = os.path.join(work, "crafted.iso"), tempfile.mkdtemp(dir=work)
                shutil.copy(made, crafted)
                with open(crafted, "r+b") as f:
                    writes = craft(f)
                    for at, data in writes if isinstance(writes, list) else [writes]:
                        f.seek(at)
                        f.write(data)
                if isinstance(wanted, str):
                    with self.assertRaises(Refusal) as refused:
                        udf.extract(crafted, out)
                    self.assertIn(wanted, str(refused.exception))
                    self.assertEqual(refused.exception.code, "image-unsafe")
                    continue
                self.assertEqual(udf.extract(crafted, out), (2, 5007))
                self.assertEqual(walked(out), wanted)


class Sticks(unittest.TestCase):
    """Stick images from anyone, read as the try copies them out: the FAT
    volume's numbers held to the image, every chain of clusters bounded."""
    FILES = {"START HERE.htm": "<p>start", "docs/r\u00e9sum\u00e9.htm": "<p>r", "docs/sub/a.css": "p {}",
             "docs/Long name one.htm": "<p>1", "docs/Long name two.htm": "<p>2"}  # one short name's basis

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quenlo-sticks-")

    def tearDown(self):
        subprocess.run(["chmod", "-R", "u+w", self.work])
        shutil.rmtree(self.work)

    def made(self):
        """A new stick image of FILES and an empty folder; (its path, its Volume)."""
        folder = tempfile.mkdtemp(dir=self.work)
        files, image = {}, os.path.join(folder, "stick.img")
        for rel, text in self.FILES.items():
            path = os.path.join(folder, "src", rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
            files[rel] = (path, os.path.getsize(path), 1700000000)
        open(image, "wb").close()
        sticks.write(image, files, "Stick", 1700000000, ["empty"])
        with open(image, "rb") as f:
            return image, fat.Volume(f, os.path.getsize(image))

    def out(self, image):
        out = os.path.join(os.path.dirname(image), "out")
        os.mkdir(out)
        return fat.extract(image, out), out

    @staticmethod
    def at(image, volume, short, field):
        """Where a field of the root's entry of that short name lies in the image."""
        with open(image, "rb") as f:
            f.seek(volume.data + (volume.root - 2) * volume.bytes)
            return volume.data + (volume.root - 2) * volume.bytes + f.read(volume.bytes).index(short) + field

    def test_read_back(self):
        """What was written comes out, in a volume fsck.fat finds clean."""
        image, volume = self.made()
        partition = image + ".partition"
        with open(image, "rb") as f, open(partition, "wb") as out:
            f.seek(volume.start)
            out.write(f.read())
        checked = subprocess.run(["fsck.fat", "-n", partition], capture_output=True, text=True)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        counted, out = self.out(image)
        self.assertEqual(counted, (len(self.FILES), sum(len(t.encode()) for t in self.FILES.values())))
        for rel, text in self.FILES.items():
            with open(os.path.join(out, rel)) as f:
                self.assertEqual(f.read(), text)
        self.assertTrue(os.path.isdir(os.path.join(out, "empty")))
        self.assertEqual(fat.tree(image)[0], "STICK")

    def test_crafted(self):
        at = self.at

        def fat_entry(volume, cluster, to):
            return volume.fat + cluster * 4, struct.pack("<I", to)

        for name, craft, says in (
                ("a chain in a loop", lambda i, v: fat_entry(v, v.root, v.root), "round in a loop"),
                ("a chain beyond the volume", lambda i, v: fat_entry(v, v.root, 0x0FFFFF00), "beyond the volume"),
                ("a file larger than its clusters", lambda i, v: (at(i, v, b"STARTH~1HTM", 28), struct.pack("<I", 5000)),
                 "hold less than its size"),
                ("a folder met twice", lambda i, v: (at(i, v, b"DOCS~1     ", 26), struct.pack("<H", v.root)),
                 "a folder met twice"),
                ("a partition past the end", lambda i, v: (446 + 12, struct.pack("<I", 1 << 30)),
                 "runs past the image's end"),
                ("no volume at all", lambda i, v: (0, b"\0" * 512), "no partition table or FAT volume")):
            with self.subTest(name):
                image, volume = self.made()
                where, data = craft(image, volume)
                with open(image, "r+b") as f:
                    f.seek(where)
                    f.write(data)
                with self.assertRaises(Refusal) as refused:
                    self.out(image)
                self.assertIn(says, str(refused.exception))
                self.assertEqual(refused.exception.code, "image-unsafe")

    def test_file_in_a_loop(self):
        """A file's chain that comes back to itself is followed no further
        than the file's size, not round the loop to the volume's end."""
        image, volume = self.made()
        with open(image, "r+b") as f:
            f.seek(self.at(image, volume, b"STARTH~1HTM", 26))
            first = struct.unpack("<H", f.read(2))[0]
            f.seek(volume.fat + first * 4)
            f.write(struct.pack("<I", first))
        reads = []

        def counted(path, mode="r", *args):
            f = open(path, mode, *args)
            if path == image:
                f.read = lambda *a, read=f.read: reads.append(1) or read(*a)
            return f

        with mock.patch.object(fat, "open", counted, create=True), self.assertRaises(Refusal) as refused:
            self.out(image)
        self.assertIn("round in a loop", str(refused.exception))
        self.assertLess(len(reads), 1000)

    def test_names_as_windows_reads_them(self):
        """A long name counts only where its run of entries is whole and carries its short name's checksum (else
        the short name, as mtools shows too); names Windows, looking them up without regard to case among long and
        short names, could take one for another are refused as the folder's check refuses them."""
        def part(image, volume, text, field, value):
            """Sets a field of the long-name entry that holds the start of text."""
            with open(image, "rb") as f:
                f.seek(volume.data + (volume.root - 2) * volume.bytes)
                at = volume.data + (volume.root - 2) * volume.bytes + f.read(volume.bytes).index(
                    text[:5].encode("utf-16-le")) - 1
            with open(image, "r+b") as f:
                f.seek(at + field)
                f.write(value)

        def renamed(image, volume, old, new):
            units = (new + "\0").encode("utf-16-le").ljust(26, b"\xff")
            for field, (start, end) in zip((1, 14, 28), ((0, 10), (10, 22), (22, 26))):
                part(image, volume, old if field == 1 else new, field, units[start:end])

        shown = {"STARTH~1.HTM", "docs", "empty", "docs/r\u00e9sum\u00e9.htm", "docs/sub", "docs/sub/a.css",
                 "docs/Long name one.htm", "docs/Long name two.htm"}
        for name, craft, wanted in (
                ("a long name of another checksum", lambda i, v: part(i, v, "START", 13, b"\0"), shown),
                ("a long name's parts out of order", lambda i, v: part(i, v, "START", 0, b"\3"), shown),
                ("case twins", lambda i, v: renamed(i, v, "empty", "Docs"), "name-case-twins"),
                ("the same name twice", lambda i, v: renamed(i, v, "empty", "docs"), "name-case-twins"),
                ("another's short name", lambda i, v: renamed(i, v, "empty", "docs~1"), "name-case-twins")):
            with self.subTest(name):
                image, volume = self.made()
                craft(image, volume)
                if isinstance(wanted, str):
                    with self.assertRaises(Refusal) as refused:
                        self.out(image)
                    self.assertEqual(refused.exception.code, wanted)
                    continue
                self.assertEqual({p for p, _, _, _ in fat.tree(image)[1]}, wanted)
                if shutil.which("mdir"):  # mtools (setup.sh installs it) reads it so too
                    listed = subprocess.run(["mdir", "-/", "-b", "-i", image + "@@1M", "::"], capture_output=True,
                                            text=True, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"), check=True)
                    self.assertEqual({n[3:].rstrip("/") for n in listed.stdout.splitlines()}, wanted)

    def test_both_disc_and_stick(self):
        """An image that is an ISO with Joliet and a stick at once (a partition table in the disc's system area, a
        FAT volume after it) is refused, not tried as a stick only; either alone is what it is."""
        disc = master(self.work, {"autorun.inf": AUTORUN, "docs/index.htm": "<p>x"})
        stick, _ = self.made()
        with open(disc, "rb") as f:
            both = bytearray(f.read())
        with open(stick, "rb") as f:
            table, volume = f.read(fat.SECTOR), (f.seek(fat.FIRST * fat.SECTOR), f.read())[1]
        both[:fat.SECTOR] = table
        struct.pack_into("<I", both, 446 + 8, len(both) // fat.SECTOR)  # the partition: after the disc's tree
        polyglot = os.path.join(self.work, "both.iso")
        with open(polyglot, "wb") as f:
            f.write(both + volume)
        self.assertEqual((iso.is_stick(disc), iso.is_stick(stick)), (False, True))
        with self.assertRaises(Refusal) as refused:
            iso.is_stick(polyglot)
        self.assertEqual(refused.exception.code, "image-both")
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            views.main(["--arch", polyglot])
        self.assertEqual(json.loads(out.getvalue())["code"], "image-both")


# One folder, as an author gives it to any maker: long names, a space, a
# letter beyond ASCII, links between them; its label in autorun.inf.
LONG = "a-page-whose-name-goes-on-well-beyond-the-sixty-four-letters-of-joliet.htm"
AUTHORS = {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nlabel=PRODUCT\r\n",
           "docs/index.htm": '<meta charset="utf-8"><a href="read%%20me.htm">r</a> <a href="Caf%%C3%%A9.htm">c</a> '
                             '<a href="%s">l</a>' % LONG,
           "docs/read me.htm": "<p>r", "docs/Caf\u00e9.htm": "<p>c", "docs/" + LONG: "<p>l",
           "docs/long.htm": "<p>%s<a href=index.htm>back</a>" % ("x" * 40000)}  # of many clusters
MAC = {".DS_Store": "", "._START.htm": "", ".fseventsd/fseventsd-uuid": "x"}
# maker -> (its command: SOURCE the folder, IMAGE the image; the file
# system Windows reads; the verdict; the codes of the check's findings).
# Those of UDF 2.50 and 2.60 are genisoimage's UDF 1.02 given a metadata
# partition by metadata_partition(): no free maker writes one.
BROKEN = {"link-missing"}
MAKERS = {
    "genisoimage": (["genisoimage", "-quiet", "-V", "PRODUCT", "-o", "IMAGE", "SOURCE"], "ISO 9660", "refused",
                    {"image-iso9660-names"} | BROKEN),
    "genisoimage -J": (["genisoimage", "-quiet", "-J", "-V", "PRODUCT", "-o", "IMAGE", "SOURCE"], "Joliet", "refused",
                       {"image-names-cut"} | BROKEN),
    "genisoimage -J -R": (["genisoimage", "-quiet", "-J", "-R", "-V", "PRODUCT", "-o", "IMAGE", "SOURCE"], "Joliet",
                          "refused", {"image-names-cut"} | BROKEN),
    "genisoimage -J -joliet-long -R": (["genisoimage", "-quiet", "-J", "-joliet-long", "-R", "-V", "OTHER", "-o",
                                        "IMAGE", "SOURCE"], "Joliet", "ready", {"image-label-differs"}),
    "xorriso without -J": (["xorriso", "-as", "mkisofs", "-quiet", "-V", "PRODUCT", "-o", "IMAGE", "SOURCE"],
                           "ISO 9660", "refused", {"image-iso9660-names", "image-names-changed"} | BROKEN),
    "mkfs.fat -F 12 + mcopy": (["sh", "-c", "mkfs.fat -C -F 12 -n PRODUCT IMAGE 4000 >/dev/null && "
                                "mcopy -s -i IMAGE SOURCE/* ::/"], "FAT12", "ready", {"stick-start-hidden"}),
    "mkfs.fat -F 16 + mcopy, from a Mac": (["sh", "-c", "mkfs.fat -C -F 16 -n PRODUCT IMAGE 20000 >/dev/null && "
                                            "mcopy -s -i IMAGE SOURCE/* SOURCE/.??* ::/ && mcopy -i IMAGE "
                                            "SOURCE/docs/Caf\u00e9.htm ::/r\u00e9sum\u00e9.htm"],
                                           "FAT16", "ready", {"stick-start-hidden", "stick-droppings",
                                                              "stick-code-page-names"}),
    "mkfs.fat -F 32 + mcopy": (["sh", "-c", "mkfs.fat -C -F 32 -n PRODUCT IMAGE 40000 >/dev/null && "
                                "mcopy -s -i IMAGE SOURCE/* ::/"], "FAT32", "ready", {"stick-start-hidden"}),
    "genisoimage -udf (a bridge disc)": (["genisoimage", "-quiet", "-J", "-joliet-long", "-udf", "-V", "PRODUCT",
                                          "-o", "IMAGE", "SOURCE"], "UDF", "ready", set()),
    "genisoimage -udf, made UDF 2.50 (a bridge disc)": (["genisoimage", "-quiet", "-J", "-joliet-long", "-udf", "-V",
                                                         "PRODUCT", "-o", "IMAGE", "SOURCE"], "UDF", "ready", set()),
    "genisoimage -udf, made UDF 2.60 alone": (["genisoimage", "-quiet", "-udf", "-V", "PRODUCT", "-o", "IMAGE",
                                               "SOURCE"], "UDF", "ready", set()),
    "quenlo-disc make": (["make", "SOURCE", "IMAGE"], "Joliet", "ready", set()),
    "quenlo-disc make --stick": (["make", "--stick", "SOURCE", "IMAGE"], "FAT32", "ready", {"stick-start-hidden"}),
}


# maker -> what check --against its image first says differs from the image
# the folder makes (None: nothing differs)
CUT = r"^docs/a-page-whose-name-goes-on-well-beyond-the-sixty-four-letters-of- \(only in"
OWN = r"^only the image's own data \(made 20"
AGAINST = {"genisoimage": r"^AUTORUN.INF \(only in", "genisoimage -J": CUT, "genisoimage -J -R": CUT,
           "genisoimage -J -joliet-long -R": OWN, "xorriso without -J": r"^AUTORUN.INF \(only in",
           "mkfs.fat -F 12 + mcopy": r"^autorun.inf \(its date", "mkfs.fat -F 32 + mcopy": r"^autorun.inf \(its date",
           "mkfs.fat -F 16 + mcopy, from a Mac": r"^\.DS_Store \(only in", "genisoimage -udf (a bridge disc)": OWN,
           "genisoimage -udf, made UDF 2.50 (a bridge disc)": OWN,
           "genisoimage -udf, made UDF 2.60 alone": r"^only the image's own data$", "quenlo-disc make": None,
           "quenlo-disc make --stick": None}


class Labels(unittest.TestCase):
    def test_spellings(self):
        """An ANSI autorun.inf's label, read in the first code page it may
        be meant for, is the file system's label in another: no difference
        told where no --code-page says which it is."""
        from quenlo_disc import shipped
        from quenlo_disc.medium import Medium, Options
        thai = "Mus\u0e49e 2027"  # as code page 874 reads the byte of 1252's \u00e9
        self.assertIn("Mus\u00e9e 2027", shipped.spellings(thai, Medium("x", "x", Options(), meant=(874, 1252))))
        self.assertEqual(shipped.spellings(thai, Medium("x", "x", Options(code_page=874), meant=(874, 1252))), {thai})


class Makers(unittest.TestCase):
    """Images of one folder by the real makers, checked as Windows reads
    them: the faults each maker's options make, and nothing else."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="quenlo-makers-")
        cls.source = os.path.join(cls.work, "source")
        for rel, text in dict(AUTHORS, **{"quenlo.exe": None}).items():
            path = os.path.join(cls.source, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if text is None:
                shutil.copy(EXE, path)
                continue
            with open(path, "w", newline="") as f:
                f.write(text)
        cls.mac = os.path.join(cls.work, "mac")
        shutil.copytree(cls.source, cls.mac)
        for rel, text in MAC.items():
            os.makedirs(os.path.dirname(os.path.join(cls.mac, rel)), exist_ok=True)
            with open(os.path.join(cls.mac, rel), "w") as f:
                f.write(text)
        for top, dirs, files in os.walk(cls.work):  # as SOURCE_DATE_EPOCH clamps them: only makers' faults differ
            for name in dirs + files:
                os.utime(os.path.join(top, name), (1700000000, 1700000000))
        cls.metadata = {}  # maker -> (byte, bytes) of the image where its UDF metadata partition lies
        cls.images = {name: cls.made(name, argv) for name, (argv, *_) in MAKERS.items()}

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["chmod", "-R", "u+w", cls.work])
        shutil.rmtree(cls.work)

    @classmethod
    def made(cls, name, argv):
        image = os.path.join(cls.work, name.replace(" ", "_") + ".img")
        source = cls.mac if "Mac" in name else cls.source
        argv = [a.replace("SOURCE", source).replace("IMAGE", image) for a in argv]
        if argv[0] == "make":
            status, _, err = run(argv[:1] + ["--exe", EXE] + argv[1:], SOURCE_DATE_EPOCH="1700000000")
            assert status == 0, err
        else:
            subprocess.run(argv, check=True, capture_output=True,  # in a zone of its own, whose dates must be read so
                           env=dict(os.environ, MTOOLS_SKIP_CHECK="1", TZ="Asia/Tokyo"))
        if "made UDF" in name:
            cls.metadata[name] = metadata_partition(image, 0x250 if "2.50" in name else 0x260, "alone" in name)
        return image

    def test_makers(self):
        for name, (argv, system, verdict, codes) in MAKERS.items():
            with self.subTest(name):
                image = self.images[name]
                status, out, err = run(["check", "--json", image])
                document = json.loads(out)
                self.assertEqual((document["image"]["system"], document["verdict"], status),
                                 (system, verdict, 0 if verdict == "ready" else 1), err)
                self.assertEqual({f["code"] for f in document["findings"]}, codes, out)
                if verdict == "ready":  # every link there, each file read whole
                    self.assertEqual(document["links"]["file"], 4)
                for finding in document["findings"]:  # the mend names the maker's option
                    if finding["code"] in ("image-iso9660-names", "image-names-changed", "image-names-cut"):
                        self.assertRegex(finding["message"], "with %s .*-joliet-long" % name.split()[0])

    def test_tried(self):
        """What a try reads first of each image, and the tree its PC is shown:
        the exe's bitness, the label, and whole files by the names Windows shows."""
        for name, image in self.images.items():
            with self.subTest(name):
                said, out = io.StringIO(), tempfile.mkdtemp(dir=self.work)
                with contextlib.redirect_stdout(said):
                    views.main(["--arch", image])
                    views.main([image, out, "cp437", "--whole"])
                kind, view = map(json.loads, said.getvalue().splitlines())
                stick = MAKERS[name][1].startswith("FAT")
                self.assertEqual((kind["arch"], kind["stick"]), ("x86_64" if stick else "i686", stick))
                self.assertEqual(kind["label"], "OTHER" if "OTHER" in MAKERS[name][0] else "PRODUCT")
                shown = "DOCS/LONG.HTM" if MAKERS[name][1] == "ISO 9660" else "docs/long.htm"
                self.assertEqual(os.path.getsize(os.path.join(out, shown)), len(AUTHORS["docs/long.htm"]))

    def test_one_name_twice(self):
        """Two entries Windows shows by one name (the copy out finds the name taken): the refusal names it and
        says what to do, not "File exists"; any other failure to copy says the system's words."""
        said = views.not_copied(FileExistsError(errno.EEXIST, "File exists", "docs/Pics"))
        self.assertIn("two files or folders that Windows shows by one name (Pics)", said)
        self.assertIn("make the image afresh", said)
        self.assertEqual(views.not_copied(OSError(errno.ENOSPC, "No space left on device")),
                         "the image could not be copied out: No space left on device")

    def test_named_as_given(self):
        """A folder a finding names is named within the image, never where the check copied it out."""
        source = os.path.join(self.work, "twins")
        for name in ("docs/A.htm", "docs/a.htm", "quenlo.exe"):
            os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
            shutil.copy(EXE, os.path.join(source, name))
        image = os.path.join(self.work, "twins.iso")
        subprocess.run(["genisoimage", "-quiet", "-J", "-o", image, source], check=True)
        said = json.loads(run(["check", "--json", "--start", "docs\\a.htm", image])[1])["findings"]
        twins = [f["message"] for f in said if f["code"] == "name-case-twins"]
        self.assertEqual(len(twins), 1, said)
        self.assertTrue(twins[0].startswith('"A.htm" and "a.htm" in %s/docs differ' % image), twins)

    def test_page(self):
        """The web page's reading of each image (its tree as slices of the
        image, laid out here as the page's worker mounts it), checked: the
        command's findings, word for word, with the image named as given,
        as a disc and as a stick."""
        from quenlo_disc import web
        for name, image in self.images.items():
            for args in ([], ["--stick"]):
                with self.subTest(name, args=args):
                    wanted = json.loads(run(["check", "--json"] + args + [image])[1])
                    mount, reads = tempfile.mkdtemp(dir=self.work), []

                    def read(start, length):  # as the browser's File gives it: Python's files there stop at 2 GiB
                        reads.append(length)
                        with open(image, "rb") as f:
                            f.seek(start)
                            return f.read(length)
                    imaged = web.given(image, mount, os.path.basename(image), read=read)
                    self.assertTrue(reads)  # the page reads the File, not the path
                    with open(image, "rb") as raw:
                        for rel, size, where in imaged.files:
                            path = os.path.join(mount, imaged.name, rel)
                            os.makedirs(os.path.dirname(path), exist_ok=True)
                            with open(path, "wb") as out:
                                for start, length in where or ():
                                    raw.seek(start)
                                    out.write(raw.read(length))
                                out.truncate(size)
                    for folder in imaged.folders:
                        os.makedirs(os.path.join(mount, imaged.name, folder), exist_ok=True)
                    was = os.getcwd()
                    os.chdir(mount)  # as the worker does: the medium named as given, not where it is mounted
                    try:
                        result = web.check(imaged.name, {"stick": bool(args)}, {}, image=imaged)
                    finally:
                        os.chdir(was)
                    got = json.loads(result["json"])
                    said = [f["message"].replace(os.path.dirname(image) + "/", "") for f in wanted["findings"]]
                    self.assertEqual([f["message"] for f in got["findings"]], said)
                    self.assertEqual((got["verdict"], got["image"]["system"], got["image"]["files"]),
                                     (wanted["verdict"], wanted["image"]["system"], wanted["image"]["files"]))

    def test_fuzzed(self):
        """Random bytes changed in each image's descriptors, boot sector,
        FAT and folders: the reader copies it out or refuses it in one line,
        at once, whatever it meets (the sandbox runs this same main)."""
        from quenlo_disc import slices
        rng = random.Random(52)
        for name, image in self.images.items():
            with open(image, "rb") as f:
                data = f.read()
            with open(image, "rb") as f:
                volume = fat.volume_start(f, len(data)) if fat.is_stick(image) else None
            # Where a maker keeps what the reader trusts: the first sectors, and the folders.
            spots = [(0, 512), (volume, 1 << 16)] if volume is not None else [
                (16 * iso.SECTOR, 4 * iso.SECTOR), (256 * iso.SECTOR, iso.SECTOR),
                (32 * iso.SECTOR, 300 * iso.SECTOR)] + ([self.metadata[name]] if name in self.metadata else [
                (e.extents[0][0] * iso.SECTOR, e.extents[0][1]) for e in iso.tree(image) if e.folder])
            for n in range(25):
                with self.subTest(name, n=n):
                    mutant = bytearray(data)
                    for _ in range(rng.randint(1, 8)):
                        start, length = rng.choice(spots)
                        mutant[min(start + rng.randrange(length), len(mutant) - 1)] = rng.randrange(256)
                    crafted, out = os.path.join(self.work, "mutant"), tempfile.mkdtemp(dir=self.work)
                    with open(crafted, "wb") as f:
                        f.write(mutant)
                    said, started = io.StringIO(), time.monotonic()
                    with contextlib.redirect_stdout(said):
                        views.main([crafted, out, "cp850"])
                    found = json.loads(said.getvalue())
                    self.assertTrue("files" in found or "\n" not in found["refusal"], found)
                    self.assertLess(time.monotonic() - started, 2)
                    # The web page's reader, which has no sandbox but its browser's worker: the same, at once.
                    started = time.monotonic()
                    try:
                        sliced = slices.imaged(crafted)
                        self.assertEqual(sliced.view["files"], found["files"])
                        self.assertTrue(all(s + n <= len(mutant) for _, _, w in sliced.files for s, n in w or ()))
                    except Refusal as refusal:
                        self.assertEqual((str(refusal), refusal.code), (found["refusal"], found["code"]))
                    self.assertLess(time.monotonic() - started, 2)

    def test_against(self):
        """check --against each maker's image: what differs, file by file as
        Windows reads each image, from the image the folder makes."""
        own = mastering.contents

        def ours_only(path):  # the tools' process reads the image it made, never the maker's
            self.assertNotIn(os.path.realpath(path), {os.path.realpath(p) for p in self.images.values()})
            return own(path)
        for name, said in AGAINST.items():
            with self.subTest(name), mock.patch.object(mastering, "contents", ours_only):
                stick = ["--stick"] if MAKERS[name][1].startswith("FAT") else []
                status, out, err = run(["check", "--json", "--exe", EXE] + stick + ["--against", self.images[name],
                                                                                   self.source],
                                       SOURCE_DATE_EPOCH="1700000000")
                against = json.loads(out)["against"]
                self.assertEqual((status, against["same"]), (int(bool(said)), not said), err)
                if said:
                    self.assertRegex(against["differs"][0], said)

    def test_unknown_partition(self):
        """A bridge disc whose UDF has a partition of a kind the tools do
        not read is checked by its Joliet tree, and says so; alone, refused."""
        for name, system, code, says in (
                ("genisoimage -udf, made UDF 2.50 (a bridge disc)", "Joliet", "image-udf", "read its Joliet names"),
                ("genisoimage -udf, made UDF 2.60 alone", None, "udf-unread", 'kind "*UDF Unheard-of Kind", which')):
            with self.subTest(name):
                with open(self.images[name], "rb") as f:
                    disc = bytearray(f.read())
                at = disc.index(b"*UDF Metadata Partition")
                disc[at:at + 23] = b"*UDF Unheard-of Kind   "
                logical = at - at % 2048
                disc[logical:logical + 2048] = tagged(disc[logical:logical + 2048])
                crafted = os.path.join(self.work, "unknown.iso")
                with open(crafted, "wb") as f:
                    f.write(disc)
                document = json.loads(run(["check", "--json", crafted])[1])
                self.assertEqual((document.get("image") or {}).get("system"), system)
                self.assertIn(says, next(f["message"] for f in document["findings"] if f["code"] == code))

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("losetup"), "a drive of one's own needs root")
    def test_drive(self):
        """A drive read as an image, as /dev/sdb would be: the same check as of its image file."""
        for name in ("genisoimage", "mkfs.fat -F 16 + mcopy, from a Mac"):
            with self.subTest(name):
                drive = subprocess.run(["losetup", "-r", "-f", "--show", self.images[name]], capture_output=True,
                                       text=True, check=True).stdout.strip()
                try:
                    got = json.loads(run(["check", "--json", drive])[1])
                finally:
                    subprocess.run(["losetup", "-d", drive], check=True)
                wanted = json.loads(run(["check", "--json", self.images[name]])[1])
                self.assertEqual([f["message"] for f in got["findings"]], [f["message"] for f in wanted["findings"]])
                self.assertEqual(got["image"]["files"], wanted["image"]["files"])

    def test_refused_in_one_line(self):
        """What is no image, and an image whose records cannot be trusted:
        one line each, at once, nothing copied out."""
        crafted = os.path.join(self.work, "crafted.iso")
        master(os.path.join(self.work, "craft"), {"a/x.htm": "x", "b/y.htm": "y", "autorun.inf": AUTORUN})
        shutil.copy(os.path.join(self.work, "craft", "crafted.iso"), crafted)
        point(crafted, "b", *next(e for e in iso.tree(crafted) if e.path == "a").extents[0])
        junk = os.path.join(self.work, "junk.img")
        with open(junk, "wb") as f:
            f.write(os.urandom(1 << 16))
        for image, code in ((crafted, "image-unsafe"), (junk, "not-an-image")):
            with self.subTest(code):
                started = time.monotonic()
                status, out, err = run(["check", image])
                self.assertEqual((status, err.count("\n")), (1, 1), err)
                self.assertTrue(err.startswith("quenlo-disc check: %s " % image), err)
                self.assertIn(code, run(["check", "--json", image])[1])
                self.assertLess(time.monotonic() - started, 5)


if __name__ == "__main__":
    unittest.main()
