#!/usr/bin/env python3
"""What the tools read of a box or a disc, and how they remove a session:
never through a link, never blocked by a pipe or a device, never beyond a
limit, never outside the folder removed."""
import os
import shutil
import stat
import tempfile
import time
import base64
import unittest
from unittest import mock

from quenlo_disc import boxfiles
from quenlo_disc.inside import Inside


class Box(unittest.TestCase):
    def setUp(self):
        self.box = tempfile.mkdtemp(prefix="quenlo-box-")
        self.outside = tempfile.mkdtemp(prefix="quenlo-outside-")
        self.secret = os.path.join(self.outside, "secret")
        with open(self.secret, "w") as f:
            f.write("the user's own")

    def tearDown(self):
        for folder in (self.box, self.outside):
            shutil.rmtree(folder, ignore_errors=True)

    def test_reads(self):
        """What a disc's program may put where the tools read: each read
        gives nothing, or no more than the limit, at once."""
        os.makedirs(os.path.join(self.box, "shot"))
        os.symlink(self.secret, os.path.join(self.box, "link.png"))
        os.symlink(self.outside, os.path.join(self.box, "folder"))
        os.symlink("/dev/zero", os.path.join(self.box, "zero.png"))
        os.mkfifo(os.path.join(self.box, "pipe.png"))
        writer = os.open(os.path.join(self.box, "pipe.png"), os.O_RDWR)  # a pipe with words in it
        os.write(writer, b"endless")
        with open(os.path.join(self.box, "shot", "big.png"), "wb") as f:
            f.truncate(1 << 20)
        for name, wanted in (("link.png", b""), ("folder/secret", b""), ("zero.png", b""), ("pipe.png", b""),
                             ("shot/big.png", b"\0" * 1000)):
            with self.subTest(name):
                started = time.monotonic()
                self.assertEqual(boxfiles.read(name, None, 1000, top=self.box), wanted)
                self.assertLess(time.monotonic() - started, 1)
        self.assertEqual(boxfiles.read(os.path.join(self.box, "link.png"), None), b"")
        os.close(writer)

    def test_inside(self):
        """What the sandbox's first process does with the box for the tools,
        with the disc's links in the way: nothing of the user's is read,
        written or made."""
        inside = Inside(self.box)
        os.symlink(self.secret, os.path.join(self.box, "screen.png"))
        os.symlink(self.outside, os.path.join(self.box, "shot-x"))
        box = lambda name: os.path.join(self.box, name)  # noqa: E731
        for request, wanted in (({"do": "fetch", "path": box("screen.png"), "limit": 100}, {}),
                                ({"do": "fetch", "path": box("shot-x/secret"), "limit": 100}, {}),
                                ({"do": "fetch", "path": "/etc/hostname", "limit": 100}, {})):
            with self.subTest(request):
                self.assertEqual(inside.act(request), wanted)
        data = base64.b64encode(b"the tools' own").decode()
        for request in ({"do": "put", "path": box("screen.png"), "data": data},
                        {"do": "put", "path": box("shot-x/new.png"), "data": data},
                        {"do": "mkdtemp", "parent": box("shot-x"), "prefix": "run-"},
                        {"do": "link", "target": "/", "path": box("shot-x/d:")}):
            with self.subTest(request):
                self.assertRaises(OSError, inside.act, request)
        self.assertEqual(os.listdir(self.outside), ["secret"])
        with open(self.secret) as f:
            self.assertEqual(f.read(), "the user's own")

    def test_removal(self):
        """A session's folders go, read-only ones too; what their links lead
        to, outside, stays as it was."""
        os.makedirs(os.path.join(self.box, "disc", "docs"))
        os.symlink(self.outside, os.path.join(self.box, "disc", "docs", "out"))
        os.symlink(self.secret, os.path.join(self.box, "secret"))
        for folder in (os.path.join(self.box, "disc", "docs"), os.path.join(self.box, "disc")):
            os.chmod(folder, 0o555)
        os.chmod(self.outside, 0o555)
        boxfiles.remove_tree(self.box)
        self.assertFalse(os.path.lexists(self.box))
        self.assertEqual(stat.S_IMODE(os.stat(self.outside).st_mode), 0o555)
        with open(self.secret) as f:
            self.assertEqual(f.read(), "the user's own")
        os.chmod(self.outside, 0o755)

    def test_mirror(self):
        """A tree shown to a sandbox from the session's own folder: the same
        files (hard links), its links as links, the folder to leave left
        out; where no link can be made, copies, or with copying off, no tree."""
        top = os.path.join(self.outside, "prefix")
        os.makedirs(os.path.join(top, "drive_c", "windows"))
        for rel in ("system.reg", "drive_c/windows/kernel32.dll"):
            with open(os.path.join(top, rel), "w") as f:
                f.write(rel)
        os.symlink("../drive_c", os.path.join(top, "c:"))
        shown = boxfiles.mirror(top, os.path.join(self.box, "shown"), leave=os.path.join(top, "drive_c", "windows"))
        self.assertEqual(os.stat(os.path.join(shown, "system.reg")).st_ino,
                         os.stat(os.path.join(top, "system.reg")).st_ino)
        self.assertEqual(os.readlink(os.path.join(shown, "c:")), "../drive_c")
        self.assertEqual(os.listdir(os.path.join(shown, "drive_c")), [])
        with mock.patch.object(boxfiles.os, "link", side_effect=OSError(18, "Invalid cross-device link")):
            copied = boxfiles.mirror(top, os.path.join(self.box, "copied"))
            with self.assertRaises(OSError):
                boxfiles.mirror(top, os.path.join(self.box, "linked"), copying=False)
        with open(os.path.join(copied, "drive_c", "windows", "kernel32.dll")) as f:
            self.assertEqual(f.read(), "drive_c/windows/kernel32.dll")
        self.assertNotEqual(os.stat(os.path.join(copied, "system.reg")).st_ino,
                            os.stat(os.path.join(top, "system.reg")).st_ino)


if __name__ == "__main__":
    unittest.main()
