#!/usr/bin/env python3
"""Images from anyone, as the try copies them out: only the Joliet tree
(what Windows reads), only plain files and folders, and never one whose
records would make it outgrow its image. Each row an image crafted as an
attacker would (xorriso's own options, then records patched by hand)."""
import contextlib
import io
import json
import os
import shutil
import stat
import struct
import subprocess
import tempfile
import unittest
from unittest import mock

from quenlo_disc import Refusal, fat, iso, sticks

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
        found = {}
        for top, dirs, files in os.walk(self.out):
            for name in dirs + files:
                path = os.path.join(top, name)
                kind = os.lstat(path).st_mode
                found[os.path.relpath(path, self.out)] = "folder" if stat.S_ISDIR(kind) else "other"
                if stat.S_ISREG(kind):
                    with open(path) as f:
                        found[os.path.relpath(path, self.out)] = f.read()
        return found

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
            iso.main(["--arch", polyglot])
        self.assertEqual(json.loads(out.getvalue())["code"], "image-both")


if __name__ == "__main__":
    unittest.main()
