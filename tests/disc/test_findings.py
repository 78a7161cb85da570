#!/usr/bin/env python3
"""Findings as values that say where they are, one registry of their codes,
and what is made of them: the JSON's places, the SARIF document (valid
against the standard's schema, as Debian's jsonschema reads it: OASIS's
sarif-schema-2.1.0.json, kept here with its prose left out but every
property it defines) and the report to send (nothing in it reaches
outside it)."""
import ast
import glob
import html.parser
import json
import os
import re
import subprocess
import tempfile
import unittest
import urllib.parse

from harness import TestCase
from quenlo_disc import LIB, Refusal, reportpage, sarif
from quenlo_disc.codes import CODES
from quenlo_disc.findings import Finding, Findings
from quenlo_disc.manual import man
from quenlo_disc.report import as_json, medium_json

SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sarif-schema-2.1.0.json")
START, DISC = ["--start", "docs\\index.htm"], ["SOURCE", "OUTPUT"]
# Two broken links on the page's line 3, one written as markup on another
# page (which the report must show as text), a stylesheet's missing url() on its line 2.
BROKEN = {"docs/index.htm": '<meta charset="utf-8">\n<link rel="stylesheet" href="s.css">\n'
                            '<a href="gone.htm">a</a> <img src="Pics/none.png">',
          "docs/odd.htm": "<a href='<img src=x.png>.htm'>x</a>",
          "docs/s.css": "body { color: red }\np { background: url(missing.png) }\n"}


class References(html.parser.HTMLParser):
    """Every address a page's markup and styles would have a browser load or follow."""

    def __init__(self):
        super().__init__()
        self.found, self.styling = [], False

    def handle_starttag(self, tag, attrs):
        self.styling = tag == "style"
        for key, value in attrs:
            if key in ("src", "href", "data", "poster", "srcset", "action", "background", "style"):
                self.found += re.findall(r"url\(\s*['\"]?([^'\")]*)", value) if key == "style" else [value]

    def handle_data(self, data):
        if self.styling:
            self.found += re.findall(r"(?:url\(|@import)\s*['\"]?([^'\")]*)", data)


def schema_errors(document):
    """What the SARIF schema finds wrong with document, as Debian's jsonschema says it; "" for nothing."""
    valid = subprocess.run(["/usr/bin/python3", "-c", "import json, sys, jsonschema; jsonschema.Draft4Validator("
                            "json.load(open(sys.argv[1]))).validate(json.load(sys.stdin))", SCHEMA],
                           input=json.dumps(document), capture_output=True, text=True)
    return valid.stderr[-2000:] if valid.returncode else ""


def raised_codes():
    """Every code the tools' source gives a Refusal, a warning or a tool's
    failure, read from the source's syntax."""
    found = set()
    for path in glob.glob(os.path.join(LIB, "quenlo_disc", "*.py")):
        with open(path) as f:
            tree = ast.parse(f.read())
        for node in ast.walk(tree):
            if not isinstance(node, ast.Call):
                continue
            name = node.func.id if isinstance(node.func, ast.Name) else getattr(node.func, "attr", "")
            given = [k.value for k in node.keywords if k.arg == "code"]
            if name in ("Refusal", "Unavailable", "__init__") and len(node.args) > 1:
                given.append(node.args[1])
            if name == "warn" and node.args:
                given.append(node.args[0])
            if name == "append" and node.args and isinstance(node.args[0], ast.Tuple) and node.args[0].elts:
                given.append(node.args[0].elts[0])
            found |= {g.value for g in given if isinstance(g, ast.Constant) and isinstance(g.value, str)
                      and re.fullmatch(r"[a-z0-9]+(-[a-z0-9]+)*", g.value)}
    return found


class Codes(unittest.TestCase):
    def test_registry(self):
        """Every code the tools can raise is defined once, and in the manual page."""
        raised = raised_codes()
        self.assertGreater(len(raised), 60)
        self.assertEqual(sorted(raised - set(CODES)), [], "codes raised but not defined in codes.py")
        page = man()
        self.assertEqual([c for c in CODES if "\\fB%s\\fR" % c.replace("-", "\\-") not in page], [])
        for made in (lambda: Finding("no-such-code", "anything"), lambda: Findings().warn("no-such-code", "anything"),
                     lambda: Findings().problem(Refusal("anything", "no-such-code"))):
            with self.assertRaises(ValueError):
                made()


class Located(TestCase):
    def test_places(self):
        """Each broken link with its file, line, column, the link as written
        and the disc path it leads to; in the JSON, the SARIF and the report."""
        m, _ = self.checked(None, BROKEN, START + DISC)
        doc = medium_json(m, "check")
        got = [(f["code"], f["file"], f["line"], f["column"], f["link"], f["target"]) for f in doc["findings"]]
        self.assertEqual(got, [("label-missing", None, None, None, None, None),
                               ("link-missing", "docs/index.htm", 3, 10, "gone.htm", "docs/gone.htm"),
                               ("link-missing", "docs/index.htm", 3, 36, "Pics/none.png", "docs/Pics/none.png"),
                               ("link-missing", "docs/odd.htm", 1, 10, "<img src=x.png>.htm", "docs/<img src=x.png>.htm"),
                               ("link-missing", "docs/s.css", 2, 17, "missing.png", "docs/missing.png")])
        document = sarif.document(doc)
        self.assertEqual(schema_errors(document), "")
        run = document["runs"][0]
        rules = [rule["id"] for rule in run["tool"]["driver"]["rules"]]
        told = []
        for result in run["results"]:
            located = result["locations"][0]["physicalLocation"]
            self.assertIn(result["ruleId"], rules)
            self.assertEqual(rules[result["ruleIndex"]], result["ruleId"])
            self.assertFalse(located["artifactLocation"]["uri"].startswith(("/", "file:")))
            told.append((result["ruleId"], result["level"], urllib.parse.unquote(located["artifactLocation"]["uri"]),
                         located["region"]["startLine"], located["region"].get("startColumn")))
        # Each at the JSON's place (a line of at least 1, which a finding of the whole medium has not), at its severity:
        # a warning that code scanning took for an error would fail the build.
        self.assertEqual(told, [(f["code"], f["severity"], p["file"] or "autorun.inf", p["line"] or 1, p["column"])
                                for f in doc["findings"] for p in f["places"] or [f]])
        self.assertEqual(told[0][:2], ("label-missing", "warning"))
        page = reportpage.page(doc)
        for finding in doc["findings"]:
            self.assertIn(reportpage.e(finding["message"]), page)
        self.assertIn("&lt;a href=&quot;gone.htm&quot;&gt;a&lt;/a&gt;", page)  # the line as written
        references = References()
        references.feed(page)
        self.assertEqual([r for r in references.found if not r.startswith("data:")], [])

    def test_shared(self):
        """A missing file many links lead to is one problem with every place."""
        pages = {"docs/p%d.htm" % n: "\n" * n + '<a href="gone.htm">x</a>' for n in range(4)}
        m, _ = self.checked(None, dict(pages, **{"docs/index.htm": '<a href="p0.htm"></a>'}), START + DISC)
        doc = medium_json(m, "check")
        shared = [f for f in doc["findings"] if f["code"] == "link-missing"]
        self.assertEqual(len(shared), 1)
        self.assertEqual([(p["file"], p["line"]) for p in shared[0]["places"]],
                         [("docs/p%d.htm" % n, n + 1) for n in range(4)])
        self.assertEqual(len(sarif.document(doc)["runs"][0]["results"]), 1 + 4)
        # An address that leaves the medium, on two pages: one problem, two places.
        left = {"docs/index.htm": '<a href="file:///C:/x.htm">x</a>', "docs/page two.htm": '<a href="file:///C:/x.htm">'}
        m, _ = self.checked(None, left, START + DISC)
        leaving = [f for f in medium_json(m, "check")["findings"] if f["code"] == "link-leaves-medium"]
        self.assertEqual([[p["file"] for p in f["places"]] for f in leaving], [["docs/index.htm", "docs/page two.htm"]])


class Report(unittest.TestCase):
    def test_json_escapes_controls(self):
        """Text from a disc in JSON: in its own letters, every control escaped."""
        text = "x\x9by\u2028z\x1b\u00e9\u202e"
        said = as_json({"text": text})
        self.assertEqual(json.loads(said)["text"], text)
        self.assertEqual([c for c in said if 0x7f <= ord(c) <= 0x9f or c in "\u2028\u202e\x1b"], [])
        self.assertIn("\u00e9", said)

    def test_pictures_inside(self):
        """A try's report holds every PC's picture itself."""
        folder = tempfile.mkdtemp()
        png = os.path.join(folder, "1252.png")
        subprocess.run(["convert", "-size", "8x8", "xc:red", png], check=True)
        doc = {"command": "try", "verdict": "shown", "image": "/x.iso", "findings": [],
               "rows": [{"pc": "Western (1252)", "meets": "the page shown", "picture": png},
                        {"pc": "Greek (1253)", "meets": "the page shown", "picture": os.path.join(folder, "none.png")}]}
        page = reportpage.page(doc)
        self.assertEqual(page.count("data:image/png;base64,"), 1)
        self.assertIn("(no picture)", page)


if __name__ == "__main__":
    unittest.main()
