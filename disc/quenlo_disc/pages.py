"""The links between a medium's pages, followed as a browser on Windows
follows them from the disc: every link and embedded resource of every page,
SVG document and stylesheet must lead to a file on the disc.

Each page is decoded as a browser decodes it (charsets.py) and read as its
tokenizer reads it (markup.py), and each link resolved by the URL standard
as Chromium resolves it against a file: page: backslashes are slashes,
blanks around it and tabs and line breaks in it are dropped, its path is
percent-encoded as UTF-8 and decoded again into a name, "#" and "?" end it,
and a link from the root, or one that climbs above it, stays on the disc's
drive. <base href> moves the links after it. Every file is read once, and
every stylesheet once for each encoding that links it: the work grows with
the medium, never faster.
"""
import collections
import os
import re
import urllib.parse
import xml.parsers.expat
from dataclasses import dataclass, field

from . import charsets
from .boxfiles import read as read_bytes
from .css import css_links
from .markup import Link, document
from .names import index as name_index, upper

PAGES = (".htm", ".html", ".xhtml", ".xht", ".shtml")
XML_PAGES = (".xhtml", ".xht", ".svg")
WEB = ("http", "https", "ftp", "ftps")
MAIL = ("mailto",)
CONTROL = "".join(map(chr, range(33)))
# What scripts name in their strings: paths to files of the kinds a disc holds.
SCRIPT_PATH = re.compile(r"""(['"])([^'"\\\n:#?*<>|]*\.(?:html?|xhtml|pdf|png|jpe?g|gif|svg|css|js|txt|docx?|"""
                         r"""xlsx?|pptx?|zip|mp[34]|webm|ogg|wav))\1""", re.I)
# What in a script builds an address or goes somewhere.
BUILDING = re.compile(r"\blocation\b|\.href\b|\.src\b|window\.open|document\.write|\bfetch\(|XMLHttpRequest|"
                      r"\.ajax\b|\$\.get\b|\.load\(", re.I)


def read_file(path):
    return read_bytes(path, None, follow=True)


def resolve(index, folder, address, memo=None):
    """What address, found in a file whose links are relative to folder (a
    disc path, "" for the root), leads to: ("web" | "mail" | "none", None,
    None, False), or ("file", the disc path it names or None when nothing on
    the disc has that name, the path as the link spells it, whether it
    climbed above the disc's root, where a browser stays). index maps each
    disc path, upper-cased as Windows compares names, to its own spelling.
    Raises ValueError with the reason for an address that leaves the medium."""
    key = (folder, address)
    if memo is not None and key in memo:
        return memo[key]
    address = re.sub("[\t\n\r]", "", address.strip(CONTROL)).replace("\\", "/")
    if re.match(r"[A-Za-z][:|]", address):
        raise ValueError("a drive letter, and the disc's differs from PC to PC")
    scheme = address.split(":", 1)[0].lower() if re.match(r"[A-Za-z][A-Za-z0-9+.-]*:", address) else ""
    if address.startswith("//"):
        raise ValueError("a UNC path, which names another computer")
    if scheme in WEB:
        return "web", None, None, False
    if scheme in MAIL:
        return "mail", None, None, False
    if scheme == "file":
        raise ValueError("a file:/// address, which names a drive of the PC, not the disc wherever it is")
    if scheme:
        return "none", None, None, False
    path = re.split("[#?]", address, 1)[0]
    if not path:
        return "none", None, None, False  # the page itself, or a place in it
    # A browser keeps the drive of a file:/// page for a link from the root,
    # and a link that climbs above it stays there.
    parts = ([] if path.startswith("/") else [p for p in folder.split("/") if p]) + path.split("/")
    on_disc, climbed = [], False
    for n, part in enumerate(parts):
        dots = part.lower().replace("%2e", ".") if "." in part or "%" in part else part
        if dots == "..":
            if on_disc:
                on_disc.pop()
            else:
                climbed = True
        elif dots != "." and (part or n == len(parts) - 1):
            on_disc.append(part)
    # Chromium encodes the path as UTF-8 and Windows reads the name it
    # decodes to; a segment loses its trailing dots and blanks there.
    spelled = "/".join(urllib.parse.unquote(p, errors="replace") if "%" in p else p for p in on_disc if p)
    if not spelled:
        found = ("file", "", "", climbed)
    else:
        windows = "/".join(p.rstrip(". ") for p in spelled.split("/"))
        found = ("file", index.get(upper(windows)), spelled, climbed)
    if memo is not None:
        memo[key] = found
    return found


@dataclass
class Followed:
    """A link of a file on the disc, as resolve() takes it: kind "off", with
    the reason as target, for one that leaves the medium. linked_by: for a
    stylesheet read in the encoding of what links it, the file that does."""
    rel: str
    line: int
    address: str
    kind: str
    target: str
    spelled: str
    encoding: str
    how: str
    climbed: bool = False
    linked_by: str = None


@dataclass
class Site:
    """What reading the medium's pages found: every link (Followed); the
    pages whose encoding a browser guesses (encoding: [pages]); the XML
    documents that are not well-formed ([(disc path, line, why)]); the pages
    whose scripts build addresses; and the paths in scripts' strings that
    name nothing on the disc ({script or page: [paths]})."""
    followed: list = field(default_factory=list)
    undeclared: dict = field(default_factory=dict)
    malformed: list = field(default_factory=list)
    scripted: list = field(default_factory=list)
    script_paths: dict = field(default_factory=dict)


def xml_problem(data, text, encoding):
    """Why a browser's XML parser stops in a document (its bytes, their
    text in encoding), (line, why), or None. Bytes that are not of their
    encoding stop it too: those of UTF-8 and UTF-16 it reads itself."""
    if encoding in ("UTF-8", "UTF-16LE", "UTF-16BE"):
        given = data
    else:  # the text again in UTF-8, less the declaration that named its own
        given = re.sub(r"^\s*<\?xml[^>]*\?>", "", text, count=1).encode("utf-8", "replace")
    try:
        xml.parsers.expat.ParserCreate(namespace_separator=" ").Parse(given, True)
    except xml.parsers.expat.ExpatError as error:
        return error.lineno, xml.parsers.expat.ErrorString(error.code)
    return None


def read_site(root, paths, code_page=None, read=read_file, guess=None):
    """The Site of the pages, SVG documents and stylesheets among paths
    (every file and folder on the disc, as disc paths): page by page, then
    each stylesheet in each encoding of what links it (a browser reads one
    without a byte-order mark or @charset so). guess(path, data): the
    encoding of an undeclared page, as Chromium reads it."""
    index, memo, site = name_index(paths), {}, Site()
    sheets, queued = collections.deque(), {}  # (stylesheet, encoding): the file that first linked it so
    scripts_of = collections.defaultdict(list)  # script file: the folders of the pages that run it
    building = {}  # page: whether its own code builds addresses, and the script files it runs

    def follow(rel, encoding, how, links, linked_by=None):
        folder = rel.rsplit("/", 1)[0] if "/" in rel else ""
        for link in links:
            try:
                kind, target, spelled, climbed = resolve(index, folder, link.address, memo)
            except ValueError as error:
                kind, target, spelled, climbed = "off", str(error), None, False
            if link.kind == "base":
                if kind == "file" and spelled is not None:
                    folder = spelled if link.address.rstrip().endswith(("/", "\\")) or not spelled else (
                        spelled.rsplit("/", 1)[0] if "/" in spelled else "")
                    continue
                if kind not in ("off", "web", "mail"):
                    continue
                kind, target = "off", "the page's <base href> names %s, so every link after it leaves the disc" % (
                    "the web" if kind == "web" else target)
            if kind == "file" and target and link.kind == "sheet" and (target, encoding) not in queued:
                queued[(target, encoding)] = rel
                sheets.append((target, encoding))
            site.followed.append(Followed(rel, link.line, link.address, kind, target, spelled, encoding, how, climbed,
                                          linked_by))
        return folder

    for rel in sorted(paths):
        lower = rel.lower()
        if not lower.endswith(PAGES + (".svg",)):
            continue
        data = read(os.path.join(root, rel))
        if lower.endswith(XML_PAGES):  # read as XML, which knows no <meta charset>
            text, encoding, how = charsets.xml_text(data)
        else:
            text, encoding, how = charsets.sniff(data, code_page, (lambda d: guess(os.path.join(root, rel), d))
                                                 if guess else None)
            if how.startswith(charsets.GUESSED) and not data.isascii():
                site.undeclared.setdefault(encoding, []).append(rel)
        found = document(text)
        if lower.endswith(XML_PAGES):
            problem = xml_problem(data, text, encoding)
            if problem:  # a browser shows only what comes before, and fetches only its links
                site.malformed.append((rel, problem[0], problem[1]))
                found.links = [link for link in found.links if link.line < problem[0]]
        folder = follow(rel, encoding, how, found.links)
        code = "\n".join(script for _, script in found.scripts)
        runs = []
        for address in found.script_files:
            try:
                kind, target, _, _ = resolve(index, folder, address, memo)
            except ValueError:
                continue
            if kind == "file" and target:
                scripts_of[target].append(folder)
                runs.append(target)
        building[rel] = (bool(BUILDING.search(code)), runs)
        missing = named_by_script(index, memo, code, [folder])
        if missing:
            site.script_paths[rel] = missing
    builds = {}
    for script, folders in sorted(scripts_of.items()):
        code = read(os.path.join(root, script)).decode("utf-8", "replace")
        builds[script] = bool(BUILDING.search(code))
        missing = named_by_script(index, memo, code, sorted(set(folders)))
        if missing:
            site.script_paths[script] = missing
    site.scripted = [rel for rel, (own, runs) in building.items() if own or any(builds[s] for s in runs)]
    # Each stylesheet in the encoding of what links it; then each that
    # nothing links (nor what those link), as UTF-8.
    done = set()
    for unlinked in [None] + sorted(p for p in paths if p.lower().endswith(".css")):
        if unlinked is not None and (unlinked, "UTF-8") not in done and not any(
                (unlinked, encoding) in queued for encoding in charsets.ENCODINGS):
            sheets.append((unlinked, "UTF-8"))
        while sheets:
            rel, environment = sheets.popleft()
            if (rel, environment) in done:
                continue
            done.add((rel, environment))
            path = os.path.join(root, rel)
            if not os.path.isfile(path):
                continue
            text, name = charsets.sheet(read(path), environment)
            links = [Link(line, url, "sheet" if imported else "") for line, url, imported in css_links(text)]
            follow(rel, name, "the stylesheet's own word" if name != environment else "what links it", links,
                   queued.get((rel, environment)))
    return site


def named_by_script(index, memo, code, folders):
    """The paths that code names in its strings and that name nothing on the
    disc from any of folders (where the pages that run it lie)."""
    missing = []
    for match in SCRIPT_PATH.finditer(code):
        path = match.group(2)
        if path in missing:
            continue
        found = []
        for folder in folders:
            try:
                found.append(resolve(index, folder, path, memo)[1])
            except ValueError:
                found.append("elsewhere")
        if found and not any(found):
            missing.append(path)
    return missing


def followed(root, paths, code_page=None, read=read_file):
    """Every link of the pages, SVG documents and stylesheets among paths, as Followed."""
    return read_site(root, paths, code_page, read).followed


def spellings(root, paths, read=read_file):
    """{spelling: disc path} for each link that names a file of the disc in
    other letters' case than the disc does (Windows finds it; Linux would not)."""
    return {f.spelled: f.target for f in followed(root, paths, read=read)
            if f.kind == "file" and f.target and f.spelled != f.target}
