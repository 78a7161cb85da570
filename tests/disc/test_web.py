#!/usr/bin/env python3
"""The web page's Python in-process: zips as authors and attackers make them
unpacked only as far as the check reads, the check's words with this
browser's readings or without them, and the command that serves the page.
The page itself in Chromium: web_vs_cli.py."""
import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import zipfile
import zlib
from unittest import mock

from harness import TestCase, medium
from quenlo_disc import pagemends, slices, web
from test_cli import run

BIG = 3 << 20  # past web.SMALL: a file the check need not read


def stored(z, name, data):
    z.writestr(zipfile.ZipInfo(name, (2020, 1, 2, 3, 4, 6)), data, zipfile.ZIP_STORED)


# zip's members (name: bytes, deflated unless "stored:" leads the name; "claims:"
# gives it a zip64 size of 1 TiB, packed as well as unpacked; "crc:" a wrong checksum) ->
# the refusal's code, or {path: how the page reads it} of the medium
ZIPS = {
    "a zipped folder": ({"site/index.htm": b"<p>x", "site/stored:logo.png": b"PNG", "site/film.mp4": os.urandom(BIG),
                         "site/notes.css": b"p{}"},
                        {"index.htm": "unpacked", "logo.png": "slice", "film.mp4": "empty", "notes.css": "unpacked"}),
    "files at the top": ({"index.htm": b"<p>", "docs/a.htm": b"<p>"},
                         {"index.htm": "unpacked", "docs/a.htm": "unpacked"}),
    "backslashes": ({"site\\docs\\a.htm": b"<p>"}, {"docs/a.htm": "unpacked"}),
    "zipped by macOS": ({"site/a.htm": b"<p>", "__MACOSX/site/._a.htm": b"\0\5\26\7"}, {"a.htm": "unpacked"}),
    "climbs out": ({"site/../../etc/passwd": b"x"}, "zip-unsafe"),
    "absolute": ({"/etc/passwd": b"x"}, "zip-unsafe"),
    "drive": ({"C:/autoexec.bat": b"x"}, "zip-unsafe"),
    "a drive's own folder": ({"c:autoexec.bat": b"x"}, "zip-unsafe"),
    # A colon is a name's, which the check tells (name-forbidden), not a climb.
    "colons in names": ({"site/index.htm": b"<p>", "site/Part 1: the start.htm": b"<p>", "site/a:b/c.htm": b"<p>"},
                        {"index.htm": "unpacked", "Part 1: the start.htm": "unpacked", "a:b/c.htm": "unpacked"}),
    "a colon at the top": ({"notes:1.htm": b"<p>", "index.htm": b"<p>"},
                           {"notes:1.htm": "unpacked", "index.htm": "unpacked"}),
    "twice": ({"site/a.htm": b"1", "site/./a.htm": b"2"}, "zip-unsafe"),
    "bomb": ({"site/zeros.bin": bytes(32 << 20)}, "zip-unsafe"),
    # Pages past all the page unpacks (UNPACKED, made small here), each small and packed as a page is.
    "more than the page unpacks": ({"site/p%d.htm" % n: os.urandom(300 << 10) for n in range(4)}, "zip-unsafe"),
    "as much as the page unpacks": ({"site/p%d.htm" % n: os.urandom(300 << 10) for n in range(3)},
                                    {"p%d.htm" % n: "unpacked" for n in range(3)}),
    "folders alone": ({"site/": b""}, "zip-empty"),
    "a name of 65,000 letters": ({"site/index.htm": b"<p>", "site/" + "a" * 65000 + ".htm": b"<p>"}, "name-too-long"),
    "a stored 1 TiB": ({"site/index.htm": b"<p>", "site/stored:claims:film.mp4": b"x" * 100}, "zip-unreadable"),
    "a deflated 1 TiB": ({"site/index.htm": b"<p>", "site/claims:film.mp4": b"x" * 100}, "zip-unreadable"),
    "a wrong checksum": ({"site/crc:index.htm": b"<p>"}, "zip-unreadable"),
    # the command keeps an empty folder (a stray), and so must the page
    "an empty folder": ({"site/": b"", "site/a.htm": b"<p>", "site/empty/": b"", "site/docs/": b"",
                         "site/docs/b.htm": b"<p>"}, {"a.htm": "unpacked", "docs/b.htm": "unpacked", "empty/": "folder"}),
    "an empty folder at the top": ({"a.htm": b"<p>", "empty/": b""}, {"a.htm": "unpacked", "empty/": "folder"}),
    # Names as zip tools store them: UTF-8 without the zip's flag (zip on Linux, macOS), with Info-ZIP's
    # Unicode path beside a name of the DOS code page, and in that code page alone (437: 0x82 is é).
    "names in UTF-8 with no flag": ({"site/raw:Accueil \u00e9t\u00e9.htm": b"<p>",
                                     "site/raw:\u03b5\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac/a.htm": b"<p>"},
                                    {"Accueil \u00e9t\u00e9.htm": "unpacked",
                                     "\u03b5\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac/a.htm": "unpacked"}),
    "a Unicode path beside the name": ({"site/unicode:Accueil \u00e9t\u00e9.htm": b"<p>"},
                                       {"Accueil \u00e9t\u00e9.htm": "unpacked"}),
    "names of the DOS code page": ({"site/oem:Caf\u00e9.htm": b"<p>"}, {"Caf\u00e9.htm": "unpacked"}),
}
TOLD = ("stored:", "claims:", "crc:", "raw:", "unicode:", "oem:")  # how a member is written, not its name


def plain(name):
    for told in TOLD:
        name = name.replace(told, "")
    return name


class Zips(TestCase):
    def unzip(self, members):
        folder = tempfile.mkdtemp(dir=self.work)
        path = os.path.join(folder, "given.zip")
        patched = []
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            for number, (name, data) in enumerate(members.items()):
                if "stored:" in name:
                    stored(z, plain(name), data)
                elif name.endswith("/"):
                    z.writestr(zipfile.ZipInfo(name), b"")
                elif "raw:" in name or "oem:" in name:  # its bytes put in after, where Python would flag them
                    written = plain(name).encode("utf-8" if "raw:" in name else "cp437")
                    patched.append((("m%d-" % number).ljust(len(written), "x").encode(), written))
                    z.writestr(patched[-1][0].decode(), data)
                elif "unicode:" in name:
                    info = zipfile.ZipInfo(plain(name).encode("ascii", "replace").decode(), (2020, 1, 2, 3, 4, 12))
                    unicode = plain(name).encode("utf-8")
                    info.extra = struct.pack("<HHBI", 0x7075, 5 + len(unicode), 1, zlib.crc32(
                        info.filename.encode())) + unicode
                    z.writestr(info, data, zipfile.ZIP_DEFLATED)
                else:
                    z.writestr(plain(name), data)
                if "claims:" in name:
                    z.filelist[-1].file_size = z.filelist[-1].compress_size = 1 << 40
                z.filelist[-1].CRC ^= "crc:" in name
        with open(path, "rb") as f:
            data = f.read()
        for placeholder, written in patched:
            data = data.replace(placeholder, written)
        with open(path, "wb") as f:
            f.write(data)
        into = os.path.join(folder, "unpacked")
        os.mkdir(into)
        return web.unzip(path, into, "given.zip"), path

    def test_zips(self):
        # The page unpacks into the browser's memory, beside Pyodide's, in 4 GiB of WebAssembly's at most.
        self.assertEqual(web.UNPACKED, 1 << 30)
        for name, (members, wanted) in ZIPS.items():
            with self.subTest(name), mock.patch.object(web, "UNPACKED", 1 << 20):
                if isinstance(wanted, str):
                    with self.assertRaises(web.Refusal) as refused:
                        self.unzip(members)
                    self.assertEqual(refused.exception.code, wanted)
                    continue
                got, path = self.unzip(members)
                self.assertEqual(dict({rel: where[0] for rel, _, _, where in got.files},
                                      **{f + "/": "folder" for f in got.folders}), wanted)
                for rel, size, modified, where in got.files:  # every byte the page reads is the member's own
                    original = next(d for n, d in members.items() if plain(n).replace("\\", "/").endswith(rel))
                    self.assertEqual(size, len(original))
                    if where[0] == "slice":
                        with open(path, "rb") as f:
                            f.seek(where[1])
                            self.assertEqual(f.read(where[2]), original)
                        self.assertEqual(modified, 1577934246)
                    elif where[0] == "unpacked":
                        with open(where[1], "rb") as f:
                            self.assertEqual(f.read(), original)

    def test_not_a_zip(self):
        folder = tempfile.mkdtemp(dir=self.work)
        path = os.path.join(folder, "page.zip")
        with open(path, "wb") as f:
            f.write(b"<html>a page</html>")
        with self.assertRaises(web.Refusal) as refused:
            web.unzip(path, folder, "page.zip")
        self.assertEqual(refused.exception.code, "zip-unreadable")
        self.assertIn("page.zip is no zip", str(refused.exception))
        # The page shows it as the command's document shows a refusal: a finding with its code, the name as given.
        result = web.given_zip(path, folder, "page.zip")
        doc = json.loads(result["json"])
        self.assertEqual(([f["code"] for f in doc["findings"]], doc["verdict"], doc["source"]),
                         (["zip-unreadable"], "refused", "page.zip"))
        self.assertIn("quenlo-disc check: page.zip is no zip", result["lines"])
        self.assertIn("page.zip is no zip", result["report"])
        self.assertEqual(result["codes"]["zip-unreadable"][0], web.CODES["zip-unreadable"].summary)


def twin_names(folder, image):
    """An image whose ISO 9660 names show a folder and a link beside it alike (BINUTILS), as genisoimage -R makes
    of a folder and a link to it."""
    os.makedirs(os.path.join(folder, "binutils-common"))
    with open(os.path.join(folder, "binutils-common", "a.htm"), "w") as f:
        f.write("<p>")
    os.symlink("binutils-common", os.path.join(folder, "binutils-x86"))
    subprocess.run(["genisoimage", "-quiet", "-R", "-o", image, folder], check=True)


class Images(TestCase):
    def test_given(self):
        """What the author gives is an image or a zip by its bytes, whatever its name; an image the command refuses,
        the page refuses with the command's words and code."""
        folder = tempfile.mkdtemp(dir=self.work)
        given = {"bytes.img": os.urandom(1 << 16), "page.zip": b"<html>a page</html>"}
        for name, data in given.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        with zipfile.ZipFile(os.path.join(folder, "zip.img"), "w") as z:
            z.writestr("site/index.htm", "<p>")
        subprocess.run(["genisoimage", "-quiet", "-J", "-o", os.path.join(folder, "disc.zip"),
                        os.path.join(folder, "zip.img")], check=True)
        twin_names(os.path.join(folder, "twins"), os.path.join(folder, "twins.iso"))
        for name, wanted in (("bytes.img", "not-an-image"), ("page.zip", "zip-unreadable"), ("zip.img", web.Unzipped),
                             ("disc.zip", slices.Imaged), ("twins.iso", "image-unsafe")):
            with self.subTest(name):
                path = os.path.join(folder, name)
                got = web.given(path, folder, name)
                if not isinstance(wanted, str):
                    self.assertIsInstance(got, wanted)
                    continue
                doc = json.loads(got["json"])
                command = json.loads(run(["check", "--json", path])[1]) if wanted != "zip-unreadable" else doc
                self.assertEqual([(f["code"], f["message"]) for f in doc["findings"]],
                                 [(f["code"], f["message"].replace(folder + "/", "")) for f in command["findings"]])
                self.assertEqual(([f["code"] for f in doc["findings"]], doc["verdict"]), ([wanted], "refused"))


GREEK = "<p>\u0386\u03b3\u03b1\u03bb\u03bc\u03b1 \u03b1\u03c0\u03cc \u03c4\u03b7 \u039d\u03ac\u03be\u03bf</p>".encode(
    "cp1253")


class Check(TestCase):
    def test_browser_asked_or_detector_said(self):
        """An undeclared page is asked of a Chromium browser, its reading used; in another the detector guesses, and
        the page says so."""
        source = os.path.join(tempfile.mkdtemp(dir=self.work), "medium")
        medium(source, "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nlabel=M", {"docs/greek.htm": GREEK})
        asked = web.check(source, {}, None, True)
        self.assertEqual(asked, {"ask": [os.path.join(source, "docs", "greek.htm")]})
        for answers, chromium, code, says in (({asked["ask"][0]: "windows-1251"}, True, "page-undeclared",
                                               "reads it as windows-1251"),
                                              (None, False, "guessed-by-detector", "this browser is not Chromium")):
            result = web.check(source, {"code-page": "1253"}, answers, chromium)
            doc = json.loads(result["json"])
            self.assertIn(code, [f["code"] for f in doc["findings"]])
            self.assertIn("page-undeclared", [f["code"] for f in doc["findings"]])  # named one by one, asked or not
            self.assertIn(says, result["lines"])
            self.assertEqual(doc["verdict"], "ready")
            self.assertIn("<html", result["report"].lower())

    def test_asked_as_met(self):
        """Where the browser can be asked while the check waits, the check runs once, asking each undeclared page
        once, and its reading is the one used."""
        source = os.path.join(tempfile.mkdtemp(dir=self.work), "medium")
        medium(source, "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nlabel=M",
               {"docs/greek.htm": GREEK, "docs/greek2.htm": GREEK})
        asked = []
        result = web.check(source, {}, None, True, ask=lambda path: asked.append(path) or "ISO-8859-7")
        self.assertEqual(sorted(asked), [os.path.join(source, "docs", n) for n in ("greek.htm", "greek2.htm")])
        self.assertIn("reads them as ISO-8859-7", result["lines"])

    def test_named_as_given(self):
        """The medium is named as the author gave it, never by where the page mounted it."""
        mount = tempfile.mkdtemp(dir=self.work)
        medium(os.path.join(mount, "site"), None, {"docs/a?b.htm": "<p>"})
        was = os.getcwd()
        os.chdir(mount)
        try:
            result = web.check("site", {"start": "docs\\index.htm"})
        finally:
            os.chdir(was)
        doc = json.loads(result["json"])
        self.assertEqual(doc["source"], "site")
        self.assertIn('"a?b.htm" in site/docs', result["lines"])
        for said in result.values():
            self.assertNotIn(mount, str(said))

    def test_progress(self):
        """A long check tells how far it got, for the page to show."""
        source = os.path.join(tempfile.mkdtemp(dir=self.work), "medium")
        medium(source, None, {"docs/p%d.htm" % n: "<p>%d" % n for n in range(200)})
        told = []
        web.check(source, {"start": "docs\\index.htm"}, progress=lambda *a: told.append(a))
        self.assertEqual(told, [(100, 203), (200, 203)])

    def test_wrong_choice(self):
        """An option the command would refuse as wrong usage is said of its field, and the medium is not checked."""
        with mock.patch.object(web, "check_medium") as checked:
            result = web.check(self.work, {"code-page": "latin"})
        self.assertEqual(list(result), ["usage"])
        self.assertIn("latin is not a code page", result["usage"]["code-page"])
        checked.assert_not_called()


# name -> (autorun.inf, extra files, the page's choices) of media whose findings fix mends safely; the page's
# mended zip must hold what fix --to writes, byte for byte (web_vs_cli.py runs them through the page too)
FRENCH = "<p>D\u00e9j\u00e0 vu \u00e0 la fran\u00e7aise: o\u00f9 est la biblioth\u00e8que? \u00c7a va tr\u00e8s bien.</p>"
MENDABLE = {
    "a link to a folder": (None, {"docs/index.htm": '<meta charset="utf-8"><a href="guide/">guide</a>',
                                  "docs/guide/index.htm": '<meta charset="utf-8"><p>guide', "docs/empty/": ""},
                           {"start": "docs\\index.htm"}),
    "a name with ?": (None, {"docs/index.htm": '<meta charset="utf-8"><a href="a%3Fb.htm">q</a>',
                             "docs/two.htm": '<meta charset="utf-8"><a href="a%3Fb.htm#x">q</a>',
                             "docs/a?b.htm": '<meta charset="utf-8"><p id="x">q'}, {"start": "docs\\index.htm"}),
    "a file:///C:/ link": (None, {"docs/index.htm": '<meta charset="utf-8"><a href="file:///C:/Users/ann/site/docs/'
                                                    'two.htm">two</a>', "docs/two.htm": '<meta charset="utf-8"><p>2'},
                           {"start": "docs\\index.htm"}),
    "an undeclared windows-1252 page": (None, {"docs/index.htm": ("<html><head><title>t</title></head><body>%s"
                                                                  % FRENCH).encode("cp1252")},
                                        {"start": "docs\\index.htm"}),
    "a quoted autorun.inf page": ('[autorun]\r\nopen=quenlo.exe "docs\\index.htm"\r\nlabel=M',
                                  {"film.mp4": os.urandom(BIG)}, {}),
}


def tree(folder):
    """{path: bytes, or None for an empty folder} beneath folder."""
    found = {}
    for here, folders, files in os.walk(folder):
        if not folders and not files and here != folder:
            found[os.path.relpath(here, folder)] = None
        for name in files:
            with open(os.path.join(here, name), "rb") as f:
                found[os.path.relpath(os.path.join(here, name), folder)] = f.read()
    return found


def arguments(choices):
    return [a for k, v in choices.items() for a in ("--" + k, v)]


class Mended(TestCase):
    def test_as_fix_makes_it(self):
        """The page's mended medium, from a folder or from a zip, holds what fix --to writes, and its .diff is fix's."""
        for name, (autorun, extra, choices) in MENDABLE.items():
            with self.subTest(name):
                work = tempfile.mkdtemp(dir=self.work)
                source = os.path.join(work, "site")
                medium(source, autorun, {k: v for k, v in extra.items() if not k.endswith("/")})
                for folder in (k for k in extra if k.endswith("/")):  # an empty one, which fix --to keeps
                    os.makedirs(os.path.join(source, folder))
                status, diff, err = run(["fix", "--to", os.path.join(work, "fixed")] + arguments(choices) + [source])
                self.assertEqual(status, 0, err)
                was = os.getcwd()
                os.chdir(work)  # the page names the medium as the author gave it
                try:
                    result = web.check("site", choices, None, False)  # the detector: Chromium is web_vs_cli.py's
                finally:
                    os.chdir(was)
                patch = diff.encode("utf-8", "surrogateescape")  # fix's very bytes, as it writes them to a file
                self.assertEqual((result["patch"], result["mends"] > 0), (patch, True))
                self.assertEqual(len(result["diff"].splitlines()), len(patch.splitlines()))
                shutil.make_archive(os.path.join(work, "given"), "zip", work, "site")
                for given in (None, os.path.join(work, "given.zip")):
                    into = os.path.join(work, "mended.zip")
                    self.assertEqual(pagemends.mended(into, given), {"name": "site-mended.zip"})
                    with zipfile.ZipFile(into) as z:
                        z.extractall(os.path.join(work, "unpacked"))
                    self.assertEqual(tree(os.path.join(work, "unpacked", "site")), tree(os.path.join(work, "fixed")))
                    self.assertNotEqual(tree(os.path.join(work, "fixed")), tree(source))
                    shutil.rmtree(os.path.join(work, "unpacked"))

    def test_nothing_to_mend(self):
        """A medium with no safe mend offers none; one past what the page holds is said so."""
        source = os.path.join(tempfile.mkdtemp(dir=self.work), "site")
        medium(source, None, {})
        result = web.check(source, {"start": "docs\\index.htm"})
        self.assertEqual((result["diff"], result["patch"], result["mends"], web.last), ("", b"", 0, None))
        autorun, extra, choices = MENDABLE["a quoted autorun.inf page"]
        medium(source, autorun, extra)
        web.check(source, choices)
        with mock.patch.object(pagemends, "MENDED", BIG):
            said = pagemends.mended(os.path.join(self.work, "m.zip"))
        self.assertIn("more than this page mends", said["refused"])
        self.assertIn("quenlo-disc fix --to", said["refused"])


class Serve(TestCase):
    def test_command(self):
        with mock.patch.object(web, "bundle", return_value=None):
            status, _, err = run(["web"])
        self.assertEqual((status, "the web page is not built here" in err), (1, True), err)
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        with mock.patch.object(web, "bundle", return_value=self.work):
            status, _, err = run(["web", "--port", str(taken.getsockname()[1])])
        taken.close()
        self.assertEqual((status, "give another --port" in err), (1, True), err)
