"""The check where authors work: a web page that runs these same modules in
the author's own browser (Pyodide, CPython in WebAssembly), and that page
served from this machine.

In the page, the browser hands over the medium: a folder's files, which it
reads only when the check does; a zip, which unzip() unpacks only as far
as the check reads; or a disc's or stick's image, which imaged() reads as
Windows does, with the readers the command runs in its sandbox (here the
browser's worker is the wall), and whose files the page then reads from
the image's own bytes, never the image whole. check() then gives what the command would say. The page
asks its own browser how it reads the pages that declare no encoding, as the
command asks Chromium: Edge, the browser most authors' users have, is one.
"""
import calendar
import io
import os
import posixpath
import re
import shutil
import struct
import tempfile
import zipfile
import zlib

from . import LIB, VERSION, Refusal, fat, installed, report
from .boxfiles import write_atomically
from .check import check_medium
from .codes import CODES
from .codepages import parse
from .medium import Options
from .mending import Changes, chosen
from .names import FAT_NAME
from .shipped import check_view
from .slices import Sliced, imaged
from .views import READ, SMALL
FIRST = 64 << 20  # bytes read of any one file: boxfiles.LARGEST_READ
UNPACKED = 1 << 30  # bytes a zip may unpack to in the page, all told
BOMB = 500  # a file's size against its packed size beyond which the zip is a bomb's
LOCAL = struct.Struct("<4sHHHHHIIIHH")  # a zip's local file header


class Unzipped:
    """A zip's medium as the page mounts it: its folder's name, and for each
    file (name, size, modified, where) with where ("slice", start, length)
    for a file stored as it is, to be read from the zip itself as needed;
    ("unpacked", path) for one unpacked here (its first FIRST bytes); or
    ("empty",) for one the check takes only the name and size of; folders:
    the empty folders, which the command keeps (as strays) and so must the page."""

    def __init__(self, name):
        self.name, self.files, self.folders = name, [], []


def unzip(path, into, name="medium", whole=False):
    """The Unzipped medium of the zip at path, whose files the check reads
    unpacked into the folder into (whole: every file, whole, for its mends
    to be made); a Refusal for a zip that is not one, or that no folder
    could come from."""
    try:
        archive = zipfile.ZipFile(path)
        # macOS's Finder adds each file's metadata under __MACOSX/, which its own unzipping hides.
        members = [i for i in archive.infolist() if not i.is_dir() and not i.filename.startswith("__MACOSX/")]
    except (zipfile.BadZipFile, OSError, ValueError, EOFError) as error:
        raise Refusal("%s is no zip (%s): give a .zip of the medium's folder, or pick the folder itself"
                      % (name, error), "zip-unreadable") from None
    names = [inside(named(i), name) for i in members]
    if not members:
        raise Refusal("%s holds no file: zip the folder with the medium's pages in it" % name, "zip-empty")
    top = {n.split("/")[0] for n in names}
    strip = len(top) == 1 and all("/" in n for n in names)  # a zipped folder: the medium is that folder
    unzipped = Unzipped(top.pop() if strip else posixpath.splitext(name)[0] or "medium")
    check_bomb(archive, members, path, name)
    check_claims(members, names, os.path.getsize(path), name)
    unzipped.folders = empty_folders(archive, names, strip, name)
    seen, unpacked = set(), 0
    with open(path, "rb") as raw:
        for number, (info, rel) in enumerate(zip(members, names)):
            rel = rel.split("/", 1)[1] if strip else rel
            if rel in seen:
                raise Refusal("%s holds %s twice: zip the folder afresh" % (name, rel), "zip-unsafe")
            seen.add(rel)
            modified = zip_time(info.date_time)
            if info.flag_bits & 1:
                raise Refusal("%s is encrypted in the zip: zip the folder without a password" % rel, "zip-unsafe")
            if info.compress_type == zipfile.ZIP_STORED and not whole:
                where = ("slice", data_start(raw, info, name), info.file_size)
            elif whole or info.file_size <= SMALL or rel.lower().endswith(READ):
                unpacked += min(info.file_size, FIRST)
                if unpacked > UNPACKED:
                    raise Refusal("%s holds more pages than a browser can unpack (over %d MiB): check the folder "
                                  "itself, or with quenlo-disc check" % (name, UNPACKED >> 20), "zip-unsafe")
                where = ("unpacked", os.path.join(into, str(number)))
                with archive.open(info) as member, open(where[1], "wb") as out:
                    try:
                        shutil.copyfileobj(member, out, 1 << 20) if whole else out.write(member.read(FIRST))
                    except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError) as error:
                        raise Refusal("%s is damaged at %s (%s): zip the folder afresh" % (name, rel, error),
                                      "zip-unreadable") from None
            else:
                where = ("empty",)
            unzipped.files.append((rel, info.file_size, modified, where))
    return unzipped


def empty_folders(archive, names, strip, zipped):
    """The folders of the zip that hold no file, beneath the medium."""
    holding = set()
    for n in names:
        while "/" in n:
            n = n.rsplit("/", 1)[0]
            holding.add(n)
    folders = (inside(named(i), zipped) for i in archive.infolist()
               if i.is_dir() and not i.filename.startswith("__MACOSX/"))
    return sorted(f.split("/", 1)[1] if strip else f for f in folders
                  if f not in holding and (not strip or "/" in f))


def named(info):
    """A zip member's name as the folder zipped had it: UTF-8 where the zip
    says so, by its flag or by the Unicode path Info-ZIP's zip adds (as 7-Zip
    and unzip read it); else its bytes, as UTF-8 where they are (as zip on
    Linux and macOS stores names), or in the DOS code page the zip standard
    names (437)."""
    if info.flag_bits & 0x800:
        return info.filename
    raw = info.orig_filename.encode("cp437")
    extra = info.extra
    while len(extra) >= 4:
        kind, size = struct.unpack("<HH", extra[:4])
        if kind == 0x7075 and size >= 5 and extra[4] == 1 and struct.unpack("<I", extra[5:9])[0] == zlib.crc32(raw):
            try:
                return extra[9:4 + size].decode("utf-8")
            except UnicodeDecodeError:
                break
        extra = extra[4 + size:]
    try:
        return raw.decode("utf-8") if not raw.isascii() else info.filename
    except UnicodeDecodeError:
        return info.filename


def inside(name, zipped):
    """A zip member's name as a path beneath the medium, or a Refusal where
    it leaves the folder it unzips to: absolute, climbing, or on a drive
    of its own (C:). A colon elsewhere is a name's, for the check to judge
    (Windows holds none, Linux and macOS do)."""
    parts = name.replace("\\", "/").split("/")
    if name.startswith(("/", "\\")) or ".." in parts or re.match(r"[A-Za-z]:", parts[0]):
        raise Refusal("%s holds %s, which climbs out of the folder it unzips to: zip the medium's folder afresh"
                      % (zipped, name), "zip-unsafe")
    return "/".join(p for p in parts if p not in ("", "."))


def check_bomb(archive, members, path, name):
    """A Refusal for a zip bomb: files that share their packed bytes, or that
    claim far more than they pack."""
    ends = sorted((i.header_offset, i.header_offset + 30 + len(i.orig_filename.encode("utf-8", "replace"))
                   + i.compress_size) for i in members)
    for (_, end), (start, _) in zip(ends, ends[1:]):
        if start < end - 64:  # a name's length may differ between its two headers; bytes shared by two are a bomb's
            break
    else:
        if not any(i.file_size > BOMB * max(i.compress_size, 1) and i.file_size > SMALL for i in members):
            return
    raise Refusal("%s unpacks to far more than it holds, as a zip bomb does: zip the medium's folder afresh, or "
                  "pick the folder itself" % name, "zip-unsafe")


def check_claims(members, names, size, name):
    """A Refusal for a member no medium can hold: a name longer than any disc
    or stick holds, or bytes the zip claims beyond its own end (a stored
    member's size is its packed size; no member's packed bytes lie past the
    zip's end)."""
    for info, rel in zip(members, names):
        longest = max(rel.split("/"), key=len)
        if len(longest) > FAT_NAME:
            raise Refusal("%s holds a name of %d letters (%s…), longer than the %d a disc or stick holds: shorten it "
                          "and zip the folder afresh" % (name, len(longest), longest[:40], FAT_NAME), "name-too-long")
        stored_lie = info.compress_type == zipfile.ZIP_STORED and info.file_size != info.compress_size
        if stored_lie or info.header_offset + LOCAL.size + info.compress_size > size:
            raise Refusal("%s is damaged at %s: it claims %d bytes, more than the zip's %d hold: zip the folder afresh"
                          % (name, rel[:80], info.file_size, size), "zip-unreadable")


def data_start(raw, info, name):
    """Where a stored file's bytes begin in the zip."""
    raw.seek(info.header_offset)
    header = raw.read(LOCAL.size)
    if len(header) < LOCAL.size or header[:4] != b"PK\x03\x04":
        raise Refusal("%s is damaged at %s: zip the folder afresh" % (name, info.filename), "zip-unreadable")
    fields = LOCAL.unpack(header)
    return info.header_offset + LOCAL.size + fields[-2] + fields[-1]


def zip_time(date_time):
    try:
        return calendar.timegm(tuple(date_time) + (0, 0, 0))
    except (ValueError, OverflowError):
        return 0


class Asker:
    """The guess check_medium takes: the encoding the page's browser read each
    undeclared page in (answers, path: name), else ask(path)'s answer where
    the browser can be asked while the check waits, else None; asked: the
    pages that needed it."""

    def __init__(self, answers, ask=None):
        self.answers, self.ask, self.asked = answers or {}, ask, []

    def __call__(self, path, data=None):
        self.asked.append(path)
        if path not in self.answers and self.ask:
            self.answers[path] = self.ask(path)
        return self.answers.get(path)


def waiting(ask):
    """ask(path) made to wait for its answer: in the page, ask gives a
    JavaScript promise, which Python waits for only where the browser can
    suspend WebAssembly (JSPI); None where it cannot, and the check is then
    run once more with the answers."""
    try:
        from pyodide.ffi import can_run_sync, run_sync
    except ImportError:  # plain Python: ask answers at once
        return ask
    return (lambda path: run_sync(ask(path))) if can_run_sync() else None


def given(path, into, name="medium", code_page="", read=None):
    """The medium of the file the author gave (at path, named name): an
    image's Imaged, or a zip's Unzipped, judged by what it holds (the name
    only where it is neither); where it is refused, refused()'s result.
    read(start, length): its bytes, where the browser gives them (Sliced)."""
    try:
        code_page = parse(code_page) if code_page else None
    except Refusal:
        code_page = None  # check() says so beside its field
    here, image = os.getcwd(), os.path.basename(path)
    os.chdir(os.path.dirname(path))  # the readers name the image as the author did
    if read is not None:
        size = os.path.getsize(image)
        fat.GIVEN[image] = lambda: Sliced(read, size)
    try:
        try:
            return imaged(image, code_page)
        except Refusal as refusal:
            if refusal.code != "not-an-image" or not (zipfile.is_zipfile(path) or name.lower().endswith(".zip")):
                raise
        return unzip(path, into, name)
    except Refusal as refusal:
        return refused(refusal, name)
    finally:
        os.chdir(here)
        fat.GIVEN.pop(image, None)


def check(source, choices, answers=None, chromium=True, progress=None, ask=None, image=None):
    """What the page shows of the medium in the folder source (as the author
    named it), as a dict: "usage", {option: why the command would refuse it}
    where an option is wrong; "ask", the undeclared pages whose encoding the
    browser is to tell first (with answers None, in a browser that can, where
    ask cannot be waited for); else "json" (check --json's document), "lines"
    (check's words), "report" (the HTML report) and "codes" (each finding's
    code: its summary and mend), and mends()'s. choices: the author's, by the command's
    option names; progress(pages read, of how many), told now and then;
    ask(path): how the browser reads that undeclared page; image: the
    Imaged medium whose tree source is, checked as check IMAGE checks it."""
    try:
        code_page = parse(choices["code-page"]) if choices.get("code-page") else None
    except Refusal as refusal:
        return {"usage": {"code-page": str(refusal)}}
    words = io.StringIO()
    said = report.Output(out=words, err=words)
    options = Options(stick=bool(choices.get("stick")), start=choices.get("start") or None,
                      label=choices.get("label") or None, code_page=code_page, mend=True)
    answers = dict(answers) if answers else None  # JavaScript's null is no None
    asker = Asker(answers, waiting(ask) if chromium and ask is not None and answers is None else None)
    if image is not None:
        m = check_view(image.view, source, image.name, image.name, options, tempfile.mkdtemp(), asker, progress)
    else:
        m = check_medium(source, options, tempfile.mkdtemp(), guess=asker, progress=progress)
    if chromium and answers is None and asker.ask is None and asker.asked:
        return {"ask": sorted(set(asker.asked))}
    if not chromium and asker.asked:
        m.findings.warn("guessed-by-detector", "this browser is not Chromium, so it was not asked how Edge and Chrome "
                        "read the %s that declare no encoding: the check guessed with its own detector, which mostly "
                        "agrees; check in Edge or Chrome to be sure" % report.counted(len(set(asker.asked)), "page"))
    report.check_said(m, said, "quenlo-disc check")
    return dict(finish(said, words, source, m.source), **mends(m, source))


def refused(refusal, name):
    """What the page shows of a medium refused before its check (a zip that
    is none): the refusal as the document's finding, with its code."""
    words = io.StringIO()
    said = report.Output(out=words, err=words)
    said.refused("quenlo-disc check", refusal)
    return finish(said, words, name)


def given_zip(path, into, name="medium"):
    """unzip()'s medium, or where the zip is refused, refused()'s result."""
    try:
        return unzip(path, into, name)
    except Refusal as refusal:
        return refused(refusal, name)


def finish(said, words, source, mounted=None):
    """The page's result; the medium named as the author gave it (source),
    not where the page mounted it."""
    from . import reportpage
    doc = said.document("check")
    doc["source"] = source
    for finding in doc["findings"] if mounted and mounted != source else ():
        finding["message"] = finding["message"].replace(mounted, source)
    codes = {f["code"]: [CODES[f["code"]].summary, CODES[f["code"]].mend] for f in doc["findings"]
             if f["code"] in CODES}
    lines = words.getvalue().replace(mounted, source) if mounted else words.getvalue()
    return {"json": report.as_json(doc), "lines": lines, "report": reportpage.page(doc), "codes": codes}


# ---------------------------------------------------------------- the medium mended

last = None  # (the mounted folder, its name, the safe Mends) of the page's last check, for pagemends


def mends(m, name):
    """The page's words of the checked Medium m's safe mends: "diff", as
    fix shows them on a terminal ("" where there are none: an image is
    mended in its folder), "patch", the bytes it writes for git apply, and
    "mends", how many findings they mend; kept for pagemends.mended()."""
    global last
    made = [] if m.image else chosen(m.mends or ())
    last = (m.source, name, made) if made else None
    changes = Changes(m.source, made)
    return {"diff": changes.diff() if made else "", "patch": changes.diff(exact=True) if made else b"",
            "mends": len(made)}


# ---------------------------------------------------------------- the page served

def bundle():
    """The folder of the page's files: the package's own (share/quenlo-disc/web
    beside lib/quenlo-disc), or the checkout's build; None where neither is."""
    if installed():
        folder = os.path.join(os.path.dirname(os.path.dirname(LIB)), "share", "quenlo-disc", "web")
    else:
        folder = os.path.join(os.path.dirname(LIB), "build", "win32", "disc", "web")
    return folder if os.path.isfile(os.path.join(folder, "index.html")) else None


# The types a browser needs to be told: it runs no module script and no
# WebAssembly of another.
TYPES = {".wasm": "application/wasm", ".mjs": "text/javascript", ".js": "text/javascript", ".json": "application/json",
         ".zip": "application/zip", ".html": "text/html; charset=utf-8", ".css": "text/css"}


def server(folder, port=0):
    """An HTTP server of folder on 127.0.0.1 (not yet serving)."""
    import functools
    import http.server

    class Files(http.server.SimpleHTTPRequestHandler):
        extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map, **TYPES)

        def log_message(self, *args):
            pass

    return http.server.ThreadingHTTPServer(("127.0.0.1", port), functools.partial(Files, directory=folder))


# ---------------------------------------------------------------- the page built

RUNTIME = ("pyodide.js", "pyodide.asm.js", "pyodide.asm.wasm", "python_stdlib.zip", "pyodide-lock.json")
PAGE = ("index.html", "page.js", "page.css", "worker.js")
STAMP = (1980, 1, 1, 0, 0, 0)  # every file's date in the zips: two builds, the same bytes


def build(out, runtime, exe, pages=None):
    """The page's folder out: its own files (from pages), Pyodide's runtime
    (from the folder runtime), and quenlo.zip, this package with exe beside
    it; and a release zip of it all beside out, to unpack on any web host."""
    pages = pages or os.path.join(LIB, "web")
    os.makedirs(out, exist_ok=True)
    for folder, names in ((pages, PAGE), (runtime, RUNTIME)):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                write_atomically(os.path.join(out, name), f.read())
    package = io.BytesIO()
    here = os.path.dirname(os.path.abspath(__file__))
    with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as z:
        for name in sorted(n for n in os.listdir(here) if n.endswith(".py")):
            with open(os.path.join(here, name), "rb") as f:
                z.writestr(zipfile.ZipInfo("quenlo_disc/" + name, STAMP), f.read())
        with open(exe, "rb") as f:
            z.writestr(zipfile.ZipInfo("quenlo.exe", STAMP), f.read())
    write_atomically(os.path.join(out, "quenlo.zip"), package.getvalue())
    release = io.BytesIO()
    with zipfile.ZipFile(release, "w", zipfile.ZIP_DEFLATED) as z:
        for name in sorted(os.listdir(out)):
            with open(os.path.join(out, name), "rb") as f:
                z.writestr(zipfile.ZipInfo("quenlo-check/" + name, STAMP), f.read(), zipfile.ZIP_DEFLATED)
    write_atomically(os.path.join(os.path.dirname(os.path.abspath(out)), "quenlo-disc-web-%s.zip" % VERSION), release.getvalue())



if __name__ == "__main__":  # the build's: python3 -m quenlo_disc.web OUT RUNTIME EXE
    import sys
    build(*sys.argv[1:4])
