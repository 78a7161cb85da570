"""The disc tools' rules tested in-process, as pyflakes tests its checker:
a medium's files and the command's options in, the findings' codes out.

    class Rules(harness.TestCase):
        def test_missing_page(self):
            self.refused({"autorun.inf": "[autorun]\\r\\nopen=quenlo.exe docs\\\\indx.htm"}, [], "page-missing",
                         "is not among the files")
"""
import os
import shutil
import subprocess
import tempfile
import unittest

from quenlo_disc import Refusal, cli
from quenlo_disc.check import check_medium
from quenlo_disc.mastering import master

EXE = os.environ.get("QUENLO_TEST_EXE") or os.path.join(os.path.dirname(__file__), "..", "..", "build", "win32",
                                                         "quenlo.exe")
LINK, PIPE, SPARSE = "link:", "pipe:", "sparse:"
# Links as authors write them: other letter case, escapes, fragments, queries.
PAGES = {"docs/index.htm": '<meta charset="utf-8"><p><a href="PAGE%20TWO.HTM#end">two</a> <a href="caf%C3%A9.htm?x=1">caf\u00e9</a>'
                           ' <a href="https://example.com/">web</a> <a href="#top">top</a>',
         "docs/page two.htm": '<p><a href="Index.htm">back</a><img src="../docs/caf%c3%a9.htm"><p id="end">',
         "docs/caf\u00e9.htm": '<meta charset="utf-8"><p>caf\u00e9</p>'}


def medium(folder, autorun, extra):
    """A medium in folder: three pages that link one another, extra files
    (disc path: text or bytes, or a link, a pipe or a sparse 4 GiB file by
    the prefixes above), and autorun.inf where it is given."""
    files = dict(PAGES, **extra)
    for rel, text in files.items():
        path = os.path.join(folder, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(text, bytes):
            with open(path, "wb") as f:
                f.write(text)
        elif text.startswith(LINK):
            os.symlink(text[len(LINK):], path)
        elif text == PIPE:
            os.mkfifo(path)
        elif text == SPARSE:
            with open(path, "wb") as f:
                f.truncate(4 << 30)
        else:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
    if autorun is not None:
        with open(os.path.join(folder, "autorun.inf"), "wb") as f:
            f.write(autorun if isinstance(autorun, bytes) else (autorun + "\r\n").encode("utf-8"))


class TestCase(unittest.TestCase):
    """Each test in a folder of its own (WORK in arguments), with a signing
    certificate (CERT, password p4ss) made once for all."""
    work = None

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="quenlo-rules-")
        cert = os.path.join(cls.work, "cert")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", cert + ".key", "-out",
                        cert + ".pem", "-days", "2", "-subj", "/CN=Quenlo Test Publisher", "-addext",
                        "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-out", cert + ".pfx", "-inkey", cert + ".key", "-in",
                        cert + ".pem", "-passout", "pass:p4ss"], check=True)
        cls.cert = cert + ".pfx"

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["chmod", "-R", "u+w", cls.work])
        shutil.rmtree(cls.work, ignore_errors=True)

    def checked(self, autorun, extra, args, password=None, mend=False):
        """(the Medium that make's arguments args find, the output they name)
        of a medium of autorun and extra; SOURCE and OUTPUT in args stand for
        the medium and an image beside it; mend: with each finding's mend."""
        folder = tempfile.mkdtemp(dir=self.work)
        source = os.path.join(folder, "medium")
        medium(source, autorun, extra)
        places = {"SOURCE": source, "OUTPUT": os.path.join(folder, "out.iso"), "CERT": self.cert}
        args = [places.get(a, a).replace("WORK", folder) for a in args]
        parsed = cli.parsers("quenlo-disc").parse_args(["make"] + (["--exe", EXE] if "--exe" not in args else [])
                                                       + args)
        kept = os.environ.pop("QUENLO_SIGN_PASSWORD", None)
        if password is not None:
            os.environ["QUENLO_SIGN_PASSWORD"] = password
        try:
            return (check_medium(parsed.source, cli.options(parsed, mend), tempfile.mkdtemp(dir=folder)),
                    parsed.output)
        finally:
            os.environ.pop("QUENLO_SIGN_PASSWORD", None)
            if kept is not None:
                os.environ["QUENLO_SIGN_PASSWORD"] = kept

    def refused(self, autorun, extra, args, code, says, password=None):
        """The medium is refused for one problem of that code (or problems of
        those codes), one of which says says; by make, where the check
        itself passes it."""
        m, output = self.checked(autorun, extra, args, password)
        problems = [(f.code, f.message) for f in m.problems]
        if not problems:
            try:
                master(m, output)
            except Refusal as refusal:
                problems = [(refusal.code, str(refusal))]
        self.assertEqual([c for c, _ in problems], [code] if isinstance(code, str) else list(code), problems)
        self.assertIn(says, "\n".join(m for _, m in problems))

    def accepted(self, autorun, extra, args, warnings=()):
        """The medium passes, with warnings of these codes alone; its Medium."""
        m, _ = self.checked(autorun, extra, args + ["SOURCE", "OUTPUT"])
        self.assertEqual([f.code for f in m.findings.found], list(warnings), m.findings.found)
        return m
