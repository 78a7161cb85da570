#!/usr/bin/env python3
"""The command run in-process, as cli.main runs it for the shell: its exit
status, its lines on standard error and its JSON document, for usage errors,
refusals, a check against the image a folder made, and what a try decides
before any Wine runs."""
import io
import json
import os
import re
import struct
import subprocess
import tempfile
import time
import unittest
from unittest import mock

from harness import EXE, TestCase, medium
from quenlo_disc import cli, tools, trying

START = ["--start", "docs\\index.htm"]


def run(argv, **env):
    """(exit status, standard output, standard error) of the command argv."""
    out, err = io.StringIO(), io.StringIO()
    with mock.patch.dict(os.environ, env):
        status = cli.main(argv, out=out, err=err)
    return status, out.getvalue(), err.getvalue()


# argv (WORK: a new folder; SOURCE: a medium in it) -> exit status, what
# standard error says, the JSON document's verdict and first code (None:
# no document asked for)
USAGE = {
    "no command": ([], 2, "name a command: check, fix, make, try or web", None),
    "unknown command": (["frobnicate"], 2, "invalid choice", None),
    "make without output": (["make", "SOURCE"], 2, "required", None),
    "option without value": (["check", "--label"], 2, "expected one argument", None),
    "json and sarif": (["check", "--json", "--sarif", "SOURCE"], 2, "not allowed with argument", None),
    "try without image": (["try"], 2, "the following arguments are required: IMAGE.iso", None),
    "help": (["check", "--help"], 0, "", None),
    "no folder": (["check", "--json", "WORK/none"], 1, "", ("refused", "source-missing")),
    "no such page": (["check", "--json", "--exe", EXE, "--start", "docs\\gone.htm", "SOURCE"], 1, "",
                     ("refused", "page-missing")),
    "ready": (["check", "--json", "--exe", EXE] + START + ["SOURCE"], 0, "", ("ready", "label-missing")),
    "fix with nothing to mend": (["fix", "--json", "--exe", EXE] + START + ["SOURCE"], 0, "",
                                 ("ready", "label-missing")),
    "fix in place and in a copy": (["fix", "--write", "--to", "WORK/copy", "SOURCE"], 2, "not allowed with argument",
                                   None),
    "fix of an image": (["fix", "--json", "SOURCE/docs/index.htm"], 1, "", ("refused", "fix-image")),
    "fix into a folder that holds something": (["fix", "--json", "--exe", EXE, "--to", "SOURCE/docs"] + START +
                                               ["SOURCE"], 1, "", ("refused", "fix-to-taken")),
    "try of no image": (["try", "--json", "WORK/none.iso"], 1, "", ("refused", "image-missing")),
    "try of a folder": (["try", "WORK"], 1, "is neither an ISO 9660 or UDF image", None),
}


class Command(TestCase):
    def test_usage_and_refusals(self):
        for name, (argv, status, says, doc) in USAGE.items():
            with self.subTest(name):
                work = tempfile.mkdtemp(dir=self.work)
                medium(os.path.join(work, "medium"), None, {})
                argv = [a.replace("SOURCE", os.path.join(work, "medium")).replace("WORK", work) for a in argv]
                got, out, err = run(argv)
                self.assertEqual(got, status, err)
                self.assertIn(says, err)
                self.assertNotIn("Traceback", err)
                if doc:
                    document = json.loads(out)
                    self.assertEqual((document["verdict"], document["findings"][0]["code"]), doc)

    def test_document_holds_the_facts(self):
        """The check's document holds what a reader needs, so that no reader
        works it out again: the name Explorer shows, the file system's own
        label, the stick's start page, what was left out and whether it is
        a folder; the HTML report shows them from it."""
        for name, argv, autorun, facts in (
                ("disc, a long label", ["--label", "Mus\u00e9e du quai 2027", "--code-page", "1252"], None,
                 {"shown_label": "Mus\u00e9e du quai 2027", "volume_label": "Mus\u00e9e du quai 20",
                  "iso_label": "Musee du quai 2027", "start": None}),
                ("disc, autorun.inf's label", [], "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nlabel=Shown",
                 {"shown_label": "Shown", "volume_label": "Shown", "start": None}),
                ("stick", ["--stick", "--label", "Stick \u00e9t\u00e9", "--code-page", "1252"], None,
                 {"shown_label": "Stick \u00e9t\u00e9", "volume_label": "STICK _T_", "iso_label": None,
                  "start": "index.htm"})):
            with self.subTest(name):
                work = tempfile.mkdtemp(dir=self.work)
                source = os.path.join(work, "medium")
                medium(source, autorun, {".git/HEAD": "ref", "index.htm": '<a href="docs/index.htm">x</a>'})
                page = [] if autorun else START
                report = os.path.join(work, "report.html")
                status, out, err = run(["check", "--json", "--exe", EXE, "--report", report] + argv + page + [source])
                doc = json.loads(out)
                self.assertEqual(status, 0, [f["message"] for f in doc["findings"]])
                self.assertEqual({k: doc[k] for k in facts}, facts)
                self.assertIn({"path": ".git", "kind": "version control", "folder": True}, doc["left_out"])
                with open(report, encoding="utf-8") as f:
                    shown = f.read()
                self.assertIn("<td>%s</td>" % facts["shown_label"], shown)
                self.assertIn(".git/ (version control)", shown)

    def test_clear_cache(self):
        """--clear-cache alone removes the cache and says what it freed."""
        cache = os.path.join(tempfile.mkdtemp(dir=self.work), "cache")
        os.makedirs(os.path.join(cache, "quenlo-disc", "prefixes"))
        with open(os.path.join(cache, "quenlo-disc", "prefixes", "x"), "wb") as f:
            f.write(b"x" * 5000)
        status, out, _ = run(["try", "--json", "--clear-cache"], XDG_CACHE_HOME=cache)
        self.assertEqual(status, 0)
        self.assertGreaterEqual(json.loads(out)["freed"], 5000)
        self.assertFalse(os.path.exists(os.path.join(cache, "quenlo-disc")))
        status, _, err = run(["try", "--clear-cache"], XDG_CACHE_HOME=cache)
        self.assertEqual(status, 0)

    def test_against(self):
        """check --against, as a release pipeline asks it, of a disc's image
        and of a stick's: the folder that made the image makes it again; a
        page changed in its bytes alone, or in its date alone, is named; no
        image at all is one clear problem."""
        for kind in ([], ["--stick"]):
            work = tempfile.mkdtemp(dir=self.work)
            source, image = os.path.join(work, "medium"), os.path.join(work, "released.img")
            medium(source, None, {})
            page = os.path.join(source, "docs", "index.htm")
            when = os.stat(page).st_mtime - 60  # older than the newest file, whose time is the image's own
            os.utime(page, (when, when))
            status, _, err = run(["make", "--exe", EXE] + kind + START + [source, image])
            self.assertEqual(status, 0, err)
            with open(page) as f:
                original = f.read()

            def bytes_changed():
                with open(page, "a") as f:
                    f.write("<!-- changed -->")
                os.utime(page, (when, when))

            for name, change, status, code, said in (
                    ("the same folder", None, 0, None, None),
                    ("a page's bytes", bytes_changed, 1, "against-differs", "docs/index.htm (its bytes)"),
                    ("a page's date", lambda: os.utime(page, (when - 86400, when - 86400)), 1, "against-differs",
                     "docs/index.htm (its date: "),
                    ("no image", lambda: os.remove(image), 1, "against-missing", "no file at %s" % image)):
                with self.subTest(name, kind=kind):
                    if change:
                        change()
                    got, out, err = run(["check", "--json", "--exe", EXE] + kind + START + ["--against", image, source])
                    with open(page, "w") as f:  # as it was, for the next
                        f.write(original)
                    os.utime(page, (when, when))
                    document = json.loads(out)
                    problems = [f for f in document["findings"] if f["severity"] == "error"]
                    self.assertEqual(got, status, out)
                    self.assertEqual([f["code"] for f in problems], [code] if code else [])
                    if code:
                        self.assertIn(said, problems[0]["message"])
                    else:
                        self.assertTrue(document["against"]["same"])

    def test_stick(self):
        """make --stick: the same bytes however often, whenever and wherever
        it is made; an MBR with one FAT32 partition that fsck.fat finds
        clean; every name stored as a long name."""
        work = tempfile.mkdtemp(dir=self.work)
        source = os.path.join(work, "medium")
        names = {"r\u00e9sum\u00e9.htm": "<p>r", "\u00c4rger.htm": "<p>a", "style.css": "p {}",
                 "START HERE.htm": '<a href="r%C3%A9sum%C3%A9.htm">start</a>'}
        medium(source, "[autorun]\r\nopen=quenlo.exe START HERE.htm\r\nlabel=Stick", names)
        digests = []
        for n, zone in enumerate(("UTC", "UTC", "Asia/Tokyo")):
            image = os.path.join(work, "stick%d.img" % n)
            with mock.patch.dict(os.environ, {"TZ": zone}):
                time.tzset()
                status, out, err = run(["make", "--stick", "--json", "--exe", EXE, source, image])
            time.tzset()
            self.assertEqual(status, 0, err)
            digests.append(json.loads(out)["sha256"])
            time.sleep(2.1 if n == 0 else 0)  # FAT keeps times to two seconds
        self.assertEqual(len(set(digests)), 1, digests)
        clamped = []  # with SOURCE_DATE_EPOCH, as an ISO: a file touched between two makes changes nothing
        for n in range(2):
            os.utime(os.path.join(source, "style.css"), (1800000000 + n, 1800000000 + n))
            status, out, err = run(["make", "--stick", "--json", "--exe", EXE, source, image + ".clamped"],
                                   SOURCE_DATE_EPOCH="1700000000")
            self.assertEqual(status, 0, err)
            clamped.append(json.loads(out)["sha256"])
        self.assertEqual(clamped[0], clamped[1])
        with open(image, "rb") as f:
            table = f.read(512)
            kind, first, count = struct.unpack_from("<4xB3xII", table, 446)
            f.seek(first * 512)
            partition = os.path.join(work, "partition")
            with open(partition, "wb") as out:
                out.write(f.read(count * 512))
        self.assertEqual((kind, table[510:]), (0x0C, b"\x55\xaa"))
        checked = subprocess.run(["fsck.fat", "-n", partition], capture_output=True, text=True)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        listed = subprocess.run(["mdir", "-i", "%s@@%d" % (image, first * 512), "::/"], capture_output=True,
                                text=True, env=dict(os.environ, LC_ALL="C.UTF-8", MTOOLS_SKIP_CHECK="1"))
        long_names = re.findall(r"(?m)^\S.*\d{4}-\d\d-\d\d +\d?\d:\d\d  (.+)$", listed.stdout)
        self.assertEqual(sorted(long_names), sorted(list(names) + ["autorun.inf", "docs", "quenlo.exe"]),
                         listed.stdout)


class Tools(unittest.TestCase):
    def test_last_word(self):
        """A tool's failure says its last real word, not xorriso's sign-off."""
        with self.assertRaises(cli.Refusal) as refused:
            tools.run(["sh", "-c", "echo 'xorriso : FAILURE : Cannot determine attributes of source file'; "
                                   "echo 'xorriso : ABORT : Program done. Even if you do not see a shell prompt.'; "
                                   "exit 5"], "xorriso could not master the image")
        self.assertEqual(str(refused.exception), "xorriso could not master the image: xorriso : FAILURE : Cannot "
                                                 "determine attributes of source file")


class Tried(unittest.TestCase):
    def test_document(self):
        """A try's document says what it found as far as it got: a refusal
        on the way ends it refused; a page not shown is its own verdict,
        with the reason among the findings, and status 1."""
        tried = trying.Tried("/x/d.iso", "d.iso", memory="at most 4 GiB", keys={"open": "quenlo.exe a.htm"})
        for name, why, refusal, verdict, codes, status in (
                ("shown", None, None, "shown", [], 0),
                ("not shown", "Quenlo said nothing", None, "not shown", ["not-shown"], 1),
                ("refused on the way", None, cli.Refusal("no", "unavailable"), "refused", ["unavailable"], 1)):
            with self.subTest(name):
                tried.why = why

                def try_image(*_, progress, **__):
                    progress.disc(tried)
                    if refusal:
                        refusal.tried = tried  # as the try's own refusals carry it
                        raise refusal
                    return tried

                with mock.patch.object(trying, "try_image", try_image):
                    got, out, _ = run(["try", "--json", "d.iso"])
                document = json.loads(out)
                self.assertEqual((got, document["verdict"], [f["code"] for f in document["findings"]]),
                                 (status, verdict, codes))
                self.assertEqual((document["memory"], document["keys"]), (tried.memory, tried.keys))
        tried.why, tried.stick = None, True  # a stick's image says so in the document
        with mock.patch.object(trying, "try_image", lambda *_, progress, **__: progress.disc(tried) or tried):
            got, out, _ = run(["try", "--json", "d.img"])
        self.assertEqual((got, json.loads(out).get("stick")), (0, True))


if __name__ == "__main__":
    unittest.main()
