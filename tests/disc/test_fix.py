#!/usr/bin/env python3
"""fix's mends, in-process: each medium's findings mended as the table
says (safe, unsafe, or not at all), the mended copy checked again with
none of what a safe mend covered, every byte outside a mend as it was, a
second fix with nothing left to make; and what fix refuses to write."""
import collections
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.parse
from unittest import mock

from harness import EXE, TestCase
from quenlo_disc import Refusal, cli, reportpage, sarif
from quenlo_disc.check import check_medium
from quenlo_disc.mending import Changes, chosen
from quenlo_disc.mends import MENDS as MENDERS, held_name
from quenlo_disc.rewrites import relinked
from quenlo_disc.report import medium_json
from test_cli import run
from test_findings import schema_errors

START, DISC = ["--start", "docs\\index.htm"], ["SOURCE", "OUTPUT"]
OWN = "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nlabel=Mended"
PAGE = '<meta charset="utf-8">\n'
CYRILLIC = "<html>\r\n<head><title>\u041a\u0430\u0442\u0430\u043b\u043e\u0433</title></head>\r\n<body>\u0426\u0435\u043d\u0430" \
           " \u0438 \u043f\u0440\u0430\u0439\u0441</body>\r\n</html>\r\n"
# name: (autorun.inf, files, options, [(code, "safe" / "unsafe" / None: no mend)], in the mended copy
# {path: text it holds, or None: no such file}).
MENDS = {
    "link to a folder": (OWN, {"docs/guide/index.htm": PAGE, "docs/a.htm": PAGE + '<a href="guide/#top">g</a> '
                               '<a href="guide">g</a>'}, [], [("link-folder", "safe")],
                         {"docs/a.htm": '<a href="guide/index.htm#top">g</a> <a href="guide/index.htm">g</a>'}),
    "bytes that are not the page's encoding before the link": (OWN, {"docs/guide/index.htm": PAGE, "docs/a.htm":
                                                                  b'<meta charset="utf-8">\xff\xfe<a href="guide/">'},
                                                                  [], [("link-folder", None)], {}),
    "folder of two pages": (OWN, {"docs/two/index.htm": PAGE, "docs/two/index.html": PAGE,
                                  "docs/a.htm": PAGE + '<a href="two/">t</a>'}, [], [("link-folder", None)], {}),
    "a name with a question mark, linked from a page, a stylesheet, srcset and autorun.inf":
        ("[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nlabel=Mended\r\nicon=art\\w?.ico", {
            "docs/what?.htm": PAGE + "<p>w", "docs/a.htm": PAGE + '<link rel=stylesheet href=s.css><a href="what%3F.htm'
            '#x">w</a><a href="./what?.htm">w</a><img srcset="../art/w%3F.png 2x, ../art/x.png 1x">',
            "docs/s.css": 'p { background: url("../art/w%3F.png") }', "art/w?.png": b"\x89PNG", "art/x.png": b"png",
            "art/w?.ico": b"\x00\x00\x01\x00"}, [],
        [("icon-unusable", None), ("link-missing", "safe"), ("name-forbidden", "safe"),
         ("name-forbidden", "safe"), ("name-forbidden", "safe")],
        {"docs/what_.htm": "<p>w", "docs/what?.htm": None, "art/w_.png": "PNG", "autorun.inf": "icon=art\\w_.ico",
         "docs/a.htm": '<a href="what_.htm#x">w</a><a href="./what_.htm">w</a><img srcset="../art/w_.png 2x',
         "docs/s.css": 'url("../art/w_.png")'}),
    "a folder's name Windows refuses": (OWN, {"docs/a:b/x.htm": PAGE + '<a href="../a.htm">a</a>',
                                              "docs/a.htm": PAGE + '<a href="./a:b/x.htm">x</a>'}, [],
                                        [("name-forbidden", "safe")],
                                        {"docs/a_b/x.htm": "../a.htm", "docs/a.htm": '"./a_b/x.htm"'}),
    "a device's name, a trailing dot": (OWN, {"docs/con.htm": PAGE, "docs/old./p.htm": PAGE,
                                              "docs/a.htm": PAGE + '<a href="con.htm">c</a>'}, [],
                                        [("name-device", "safe"), ("name-trailing-dot", "safe")],
                                        {"docs/con_.htm": "charset", "docs/old/p.htm": "charset",
                                         "docs/a.htm": '"con_.htm"'}),
    "names too long, alike once cut": (OWN, {"docs/%s%d.htm" % ("n" * 110, n): PAGE for n in (1, 2)}, [],
                                       [("name-too-long", "safe")] * 2, {"docs/%s.htm" % ("n" * 99): "charset",
                                                                         "docs/%s-2.htm" % ("n" * 97): "charset"}),
    "a link to the author's own disk": (OWN, {"docs/a.htm": PAGE + '<a href="file:///C:/Users/me/site/docs/page%20two'
                                              '.htm#end">p</a><a href="C:\\site\\docs\\a.htm">s</a><a href="file:/'
                                              '//C:/Users/me/site/docs/caf%C3%A9.htm">c</a><a href="file:///C:/x/gone'
                                              '.htm">g</a><a href="http://localhost:8000/docs/a.htm">l</a>'}, [],
                                        [("link-leaves-medium", "safe")] * 4 +
                                        [("link-leaves-medium", None)],
                                        {"docs/a.htm": '"page%20two.htm#end">p</a><a href="a.htm">s</a><a href="caf%C'
                                                       '3%A9.htm">c</a><a href="file:///C:/x/gone.htm">g</a><a href="a.htm">l'}),
    "a word processor's addresses of the author's disk": (OWN, {"docs/a.htm": PAGE + '<a href="/C:/Users/me/site/docs/'
                                                                'page%20two.htm">p</a><a href="/C:/Users/me/site/img/"'
                                                                '>i</a>', "img/index.html": PAGE}, [],
                                                          [("link-leaves-medium", "safe")] * 2,
                                                          {"docs/a.htm": '"page%20two.htm">p</a><a href="../img/index'
                                                                         '.html">'}),
    "a link missing its page's ending, or misspelt": (OWN, {"docs/a.htm": PAGE + '<a href="page two.html">p</a>\n'
                                                            '<a href="indx.htm">i</a><a href="nothing.htm">n</a><a href="v2-31.htm">v</a>', "docs/v2-30.htm": PAGE}, [],
                                                      [("link-missing", "safe"), ("link-missing", "unsafe"),
                                                       ("link-missing", None), ("link-missing", None)],
                                                      {"docs/a.htm": '<a href="page%20two.htm">p</a>\n<a href="indx'}),
    "a folder's address for the page of its name": (OWN, {"docs/guide.html": PAGE, "docs/a.htm": PAGE + '<a href="guide'
                                                     '/">g</a><a href="guide/#x">x</a><a href="/docs/guide/">r</a>'},
                                                     [], [("link-missing", "safe")], {"docs/a.htm": '<a href="guide.'
                                                     'html">g</a><a href="guide.html#x">x</a><a href="/docs/guide.html'
                                                     '">r</a>'}),
    "a page in windows-1251 that declares nothing": (OWN, {"docs/ru.htm": CYRILLIC.encode("cp1251")}, [],
                                                     [("page-undeclared", "safe")],
                                                     {"docs/ru.htm": '<head><meta charset="windows-1251"><title>'}),
    "autorun.inf without its section": ("open=quenlo.exe docs\\index.htm\r\nlabel=Mended", {}, [],
                                        [("autorun-no-section", "safe")], {"autorun.inf": "[autorun]\r\nopen="}),
    "autorun.inf's page quoted": ('[autorun]\r\nopen=quenlo.exe "docs\\page two.htm"\r\nlabel=Mended', {}, [],
                                  [("page-quoted", "safe")], {"autorun.inf": "open=quenlo.exe docs\\page two.htm\r\n"}),
    "autorun.inf's page absolute": ("[autorun]\r\nopen=quenlo.exe D:\\docs\\index.htm\r\nlabel=Mended", {}, [],
                                    [("page-absolute", "safe")], {"autorun.inf": "open=quenlo.exe docs\\index.htm\r"}),
    "autorun.inf in UTF-8 without its mark": ("[autorun]\r\nopen=quenlo.exe docs\\caf\u00e9.htm\r\nlabel=Caf\u00e9",
                                              {}, [], [("autorun-utf8", "safe")],
                                              {"autorun.inf": "\ufeff[autorun]\r\nopen=quenlo.exe docs\\caf\u00e9.htm"}),
    "autorun.inf in UTF-8, its page quoted": ('[autorun]\r\nopen=quenlo.exe "docs\\caf\u00e9.htm"\r\nlabel=Caf\u00e9',
                                             {}, ["--code-page", "1252"], [("autorun-utf8", "safe"),
                                                                            ("page-quoted", "safe")],
                                             {"autorun.inf": "open=quenlo.exe docs\\caf\ufffd.htm\r\nlabel=Caf\ufffd"}),
    "autorun.inf in UTF-8, for PCs of a code page": ("[autorun]\r\nopen=quenlo.exe docs\\caf\u00e9.htm\r\nlabel=Caf\u00e9",
                                                     {}, ["--code-page", "1252"], [("autorun-utf8", "safe")],
                                                     {"autorun.inf": "docs\\caf\ufffd.htm"}),
    "a stick whose page no root page leads to": (OWN, {}, ["--stick"], [("stick-start-hidden", "safe")],
                                                 {"START HERE.htm": 'url=docs/index.htm">'}),
    "a stick whose start page's name is taken": (OWN, {"START HERE.htm": PAGE + "<p>welcome"}, ["--stick"],
                                                 [("stick-start-hidden", "safe")],
                                                 {"START HERE (2).htm": 'url=docs/index.htm">',
                                                  "START HERE.htm": "<p>welcome"}),
    "given by --start": (None, {"docs/a.htm": PAGE + '<a href="guide/">g</a>', "docs/guide/index.htm": PAGE},
                         START + ["--label", "Mended"], [("link-folder", "safe")], {"docs/a.htm": "guide/index.htm"}),
}


class Mends(TestCase):
    def fixed(self, autorun, extra, args, unsafe=False):
        """(the Medium with its mends, the Changes made, the mended copy's folder)."""
        m, _ = self.checked(autorun, extra, args + DISC, mend=True)
        changes = Changes(m.source, chosen(m.mends, unsafe))
        copy = os.path.join(tempfile.mkdtemp(dir=self.work), "mended")
        changes.make(copy)
        return m, changes, copy

    def again(self, folder, args):
        parsed = cli.parsers("quenlo-disc").parse_args(["check", "--exe", EXE] + args + [folder])
        return check_medium(folder, cli.options(parsed, True), tempfile.mkdtemp(dir=self.work))

    def test_mends(self):
        for name, (autorun, extra, args, want, holds) in MENDS.items():
            with self.subTest(name):
                m, changes, copy = self.fixed(autorun, extra, args)
                got = sorted(((f.code, ("safe" if mend.safe else "unsafe") if mend else None)
                              for f, mend, why in m.mends if f.code in {c for c, _ in want}), key=str)
                self.assertEqual(got, sorted(want, key=str), [(f.message, why) for f, _, why in m.mends])
                for path, text in holds.items():
                    there = os.path.join(copy, path)
                    if text is None:
                        self.assertFalse(os.path.lexists(there), path)
                        continue
                    with open(there, "rb") as f:
                        data = f.read()
                    self.assertIn(text, data.decode("utf-8", "replace") if b"\xd0" not in data else
                                  data.decode("cp1251"), path)
                outside_mends(self, m.source, copy, changes)
                checked = self.again(copy, args)
                # What a safe mend covered is not found again; what none did may be.
                for code in {f.code for f, mend, _ in m.mends if mend and mend.safe}:
                    left = [f.message for f in checked.findings.found if f.code == code]
                    self.assertLessEqual(len(left), sum(1 for f, mend, _ in m.mends if f.code == code and not (
                        mend and mend.safe)), left)
                self.assertFalse(Changes(copy, chosen(checked.mends)), "a second fix changes nothing")

    def test_check_tables(self):
        """Every medium of the check's tables: fix never stops on it, the mended copy is
        found with nothing a safe mend covered, and a second fix has nothing to make."""
        import test_check
        tally = collections.Counter()
        mended = set(MENDERS)  # the rows whose findings fix has a mend for
        rows = [(name, autorun, extra, args) for name, (autorun, extra, args, code, *_) in test_check.REFUSALS.items()
                if mended & ({code} if isinstance(code, str) else set(code)) and "CERT" not in args]
        rows += [(name, autorun, extra, args + DISC) for name, (autorun, extra, args, warnings, _) in
                 test_check.ACCEPTED.items() if mended & set(warnings)]
        rows = [row for row in rows if not any(isinstance(v, str) and v.startswith(("sparse:", "pipe:"))
                                               for v in row[2].values())]  # no 4 GiB file copied
        self.assertGreater(len(rows), 12)
        for name, autorun, extra, args in rows:
            with self.subTest(name):
                m, _ = self.checked(autorun, extra, args, mend=True)
                copy = os.path.join(tempfile.mkdtemp(dir=self.work), "mended")
                changes = Changes(m.source, chosen(m.mends))
                changes.make(copy)
                tally.update((f.code, ("safe" if mend.safe else "unsafe") if mend else "none" if why else "-")
                             for f, mend, why in m.mends)
                outside_mends(self, m.source, copy, changes)
                checked = self.again(copy, [a for a in args if a not in ("SOURCE", "OUTPUT")])
                for code in {f.code for f, mend, _ in m.mends if mend and mend.safe}:
                    left = [f.message for f in checked.findings.found if f.code == code]
                    self.assertLessEqual(len(left), sum(1 for f, mend, _ in m.mends if f.code == code and not (
                        mend and mend.safe)), left)
                self.assertFalse(Changes(copy, chosen(checked.mends)), "a second fix changes nothing")
        if os.environ.get("QUENLO_SHOW_MENDS"):
            for safety in ("safe", "unsafe", "none", "-"):
                print(safety, sum(n for (_, s), n in tally.items() if s == safety),
                      sorted((c, n) for (c, s), n in tally.items() if s == safety))

    def test_documents(self):
        """--json gives each finding its mend, --sarif as SARIF's fixes (valid), each replacement where its edit is."""
        name = "a name with a question mark, linked from a page, a stylesheet, srcset and autorun.inf"
        autorun, extra, args, _, _ = MENDS[name]
        m, _, _ = self.fixed(autorun, extra, args)
        doc = medium_json(m, "fix")
        fixes = [f["fix"] for f in doc["findings"] if f.get("fix")]
        self.assertEqual(len(fixes), 4)
        self.assertIn({"kind": "rename", "path": "docs/what?.htm", "to": "docs/what_.htm"},
                      [c for fix in fixes for c in fix["changes"]])
        self.assertTrue(all("fix" in f for f in doc["findings"]))
        self.assertEqual(reportpage.page(doc).count("<code>quenlo-disc fix</code> mends this"), 4)
        document = sarif.document(doc)
        self.assertEqual(schema_errors(document), "")
        results = [r for r in document["runs"][0]["results"] if r.get("fixes")]
        edits = {(c["path"], c["line"], c["column"], c["new"]) for fix in fixes for c in fix["changes"]
                 if c["kind"] == "edit"}
        told = {(urllib.parse.unquote(change["artifactLocation"]["uri"]), r["deletedRegion"]["startLine"],
                 r["deletedRegion"]["startColumn"], r["insertedContent"]["text"])
                for result in results for fix in result["fixes"] for change in fix["artifactChanges"]
                for r in change["replacements"]}
        self.assertEqual(told, edits)
        with open(os.path.join(m.source, "docs", "a.htm"), encoding="utf-8") as f:
            lines = f.read().split("\n")
        for path, line, column, new in edits:
            if path == "docs/a.htm":
                self.assertRegex(lines[line - 1][column - 1:], r"^(\./)?(what|\.\./art/w)")

    def test_command(self):
        """fix shows a diff that git applies to a copy of the folder as --write
        mends the folder itself, and changes nothing; --write exits 0 with
        nothing left; a second fix says there is nothing to mend."""
        m, _ = self.checked(OWN, {"docs/guide/index.htm": PAGE, "docs/a.htm": PAGE + '<a href="guide/">g</a>\r\n',
                                  "docs/w?.htm": PAGE, "docs/b.htm": PAGE + '<a href="w%3F.htm">w</a>',
                                  "docs/ru.htm": CYRILLIC.encode("cp1251")}, DISC)
        before = snapshot(m.source)
        applied = os.path.join(tempfile.mkdtemp(dir=self.work), "applied")
        shutil.copytree(m.source, applied)
        for argv, said, changed in (([], '+<a href="guide/index.htm">g</a>\r\n', False),
                                    (["--write"], "rename from docs/w?.htm", True), ([], "", True)):
            with self.subTest(argv):
                got, out, err = run(["fix", "--exe", EXE] + argv + [m.source])
                self.assertEqual(got, 0, err)
                self.assertIn(said, out)
                self.assertEqual(snapshot(m.source) != before, changed)
                if not argv and not changed:
                    patched = subprocess.run(["git", "apply", "-"], cwd=applied, input=out.encode(
                        "utf-8", "surrogateescape"), capture_output=True)
                    self.assertEqual(patched.returncode, 0, patched.stderr)
        self.assertIn("0 findings to mend", err)
        self.assertEqual(snapshot(applied), snapshot(m.source))

    def test_as_a_library(self):
        """The mends as a library user calls them, in a fresh python3, with their defaults only."""
        m, _ = self.checked(OWN, {"docs/guide/index.htm": PAGE, "docs/a.htm": PAGE + '<a href="guide/">g</a>'}, DISC)
        copy = os.path.join(tempfile.mkdtemp(dir=self.work), "mended")
        code = ("import sys, tempfile\n"
                "from quenlo_disc.check import check_medium\n"
                "from quenlo_disc.medium import Options\n"
                "from quenlo_disc.mending import Changes, chosen\n"
                "m = check_medium(sys.argv[1], Options(exe=sys.argv[3], mend=True), tempfile.mkdtemp())\n"
                "changes = Changes(m.source, chosen(m.mends))\n"
                "print(changes.diff(), end='')\n"
                "changes.make(sys.argv[2])\n")
        ran = subprocess.run([sys.executable, "-c", code, m.source, copy, EXE], capture_output=True, text=True,
                             env=dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(cli.__file__))))
        self.assertEqual(ran.returncode, 0, ran.stderr)
        self.assertIn('+<a href="guide/index.htm">g</a>', ran.stdout)
        with open(os.path.join(copy, "docs", "a.htm")) as f:
            self.assertIn('href="guide/index.htm"', f.read())

    def test_written_only_as_read(self):
        """--write: a file changed after fix read it is not written, nor is anything
        else; a new name that is taken stops it; --to refuses a folder that holds something."""
        m, _ = self.checked(OWN, {"docs/a.htm": PAGE + '<a href="guide/">g</a><a href="w%3F.htm">w</a>',
                                  "docs/guide/index.htm": PAGE, "docs/w?.htm": PAGE}, DISC, mend=True)
        page = os.path.join(m.source, "docs", "a.htm")
        with open(page, "a") as f:  # between the mends' reading and fix's
            f.write(" ")
        with self.assertRaises(Refusal) as refused:
            Changes(m.source, chosen(m.mends))
        self.assertEqual(refused.exception.code, "fix-changed")
        m, _ = self.checked(OWN, {"docs/a.htm": PAGE + '<a href="guide/">g</a><a href="w%3F.htm">w</a>',
                                  "docs/guide/index.htm": PAGE, "docs/w?.htm": PAGE}, DISC, mend=True)
        changes = Changes(m.source, chosen(m.mends))
        page = os.path.join(m.source, "docs", "a.htm")
        with open(page, "a") as f:
            f.write("<p>added meanwhile")
        with self.assertRaises(Refusal) as refused:
            changes.make()
        self.assertEqual(refused.exception.code, "fix-changed")
        self.assertTrue(os.path.exists(os.path.join(m.source, "docs", "w?.htm")), "nothing renamed either")
        m, _ = self.checked(OWN, {"docs/w?.htm": PAGE, "docs/a.htm": PAGE + '<a href="w%3F.htm">w</a>'}, DISC,
                            mend=True)
        changes = Changes(m.source, chosen(m.mends))
        with open(os.path.join(m.source, "docs", "w_.htm"), "w") as f:
            f.write("another")
        with self.assertRaises(Refusal) as refused:
            changes.make()
        self.assertEqual(refused.exception.code, "fix-changed")
        with open(os.path.join(m.source, "docs", "w_.htm")) as f:
            self.assertEqual(f.read(), "another")
        with self.assertRaises(Refusal) as refused:
            changes.make(os.path.join(m.source, "docs"))
        self.assertEqual(refused.exception.code, "fix-to-taken")
        before = snapshot(m.source)
        os.unlink(os.path.join(m.source, "docs", "w_.htm"))
        del before["docs/w_.htm"]
        m2 = self.again(m.source, [])
        Changes(m2.source, chosen(m2.mends)).make()
        after = snapshot(m.source)
        self.assertIn("docs/w_.htm", after)
        self.assertNotIn("docs/w?.htm", after)
        self.assertEqual(sorted(p for p in after if not p.startswith(".quenlo")), sorted(
            [p for p in before if p != "docs/w?.htm"] + ["docs/w_.htm"]))

    def test_fault_of_a_mend(self):
        """A mend that fails by a fault of its own leaves its finding unmended, said so, and the check whole."""
        autorun, extra, args, _, _ = MENDS["link to a folder"]
        with mock.patch.dict(MENDERS, {"link-folder": lambda mender, finding: {}["no such key"]}):
            m, _ = self.checked(autorun, extra, args + DISC, mend=True)
        said = [why for f, mend, why in m.mends if f.code == "link-folder"]
        self.assertEqual(len(said), 1)
        self.assertIn("fault of its own (KeyError", said[0])
        self.assertEqual([f.code for f in m.problems], ["link-folder"])

    def test_names(self):
        for name, stick, want in [("a?b.htm", False, "a_b.htm"), ("x.", False, "x"), ("CON.htm", False, "CON_.htm"),
                                  ("nul", False, "nul_"), ("a;b.htm", False, "a_b.htm"), ("a;b.htm", True, "a;b.htm"),
                                  ("100%#.htm", False, "100__.htm"), ("n" * 120 + ".htm", False, "n" * 99 + ".htm")]:
            with self.subTest(name):
                self.assertEqual(held_name(name, stick), want)

    def test_relinked(self):
        for address, target, old, new, want in [
                ("w%3F.htm#x", "docs/w?.htm", "docs/w?.htm", "docs/w_.htm", "w_.htm#x"),
                ("../A%3AB/x.htm", "docs/a:b/x.htm", "docs/a:b", "docs/a_b", "../a_b/x.htm"),
                ("x.htm", "docs/a:b/x.htm", "docs/a:b", "docs/a_b", "x.htm"),
                ("sub\\w%3F.htm", "docs/sub/w?.htm", "docs/sub/w?.htm", "docs/sub/w_.htm", "sub\\w_.htm"),
                ("other.htm", "docs/w?.htm", "docs/w?.htm", "docs/w_.htm", None)]:
            with self.subTest(address):
                self.assertEqual(relinked(address, target, old, new), want)


def snapshot(folder):
    found = {}
    for top, _, files in os.walk(folder):
        for name in files:
            with open(os.path.join(top, name), "rb") as f:
                found[os.path.relpath(os.path.join(top, name), folder)] = f.read()
    return found


def outside_mends(test, source, copy, changes):
    """Every byte of the copy is the source's, but where a mend changed it."""
    before, after = snapshot(source), snapshot(copy)
    for path, data in before.items():
        moved = changes.moved(path)
        test.assertIn(moved, after, path)
        if path not in changes.edits:
            test.assertEqual(after[moved], data, path)
            continue
        if changes.resaved(path):  # saved in another encoding: every byte may change, every letter is kept
            was, now = changes.resaved(path).was, changes.resaved(path).encoding
            test.assertEqual(after[moved].decode(now), changes.after(path).decode(now), path)
            test.assertTrue(set(data.decode(was)) - set(after[moved].decode(now)) <= set('"'), path)
            continue
        # Between the mends' spans, the very bytes, in order.
        spans, at = sorted((start, end) for start, end, _ in changes.edits[path]), 0
        for start, end in spans:
            kept = data[at:start]
            found = after[moved].find(kept, 0)
            test.assertGreaterEqual(found, 0, "%s: bytes %d-%d changed outside every mend" % (path, at, start))
            at = end
        test.assertTrue(after[moved].endswith(data[at:]), "%s: its end changed" % path)
        test.assertTrue(after[moved].startswith(data[:spans[0][0]]), "%s: its start changed" % path)
    test.assertEqual(sorted(set(after) - {changes.moved(p) for p in before}), sorted(changes.created))


if __name__ == "__main__":
    import unittest
    unittest.main()
