"""The links between a medium's pages, followed as a browser on Windows
follows them from the disc: every link and embedded resource of every HTML
page and stylesheet must lead to a file on the disc.

Each page is decoded as a browser decodes it (charsets.py), and each link
resolved by the URL standard as Chromium resolves it against a file: page:
backslashes are slashes, blanks around it and tabs and line breaks in it
are dropped, its path is percent-encoded as UTF-8 and decoded again into a
name, and "#" and "?" end it. <base href> moves the links after it."""
import html.parser
import os
import re
import urllib.parse
from dataclasses import dataclass

from . import Refusal, charsets
from .names import index as name_index, upper

PAGES = (".htm", ".html", ".xhtml", ".shtml")
# The attributes that name another file, by element (None: any); srcset
# holds a list.
LINKING = {"href": None, "src": None, "poster": {"video"}, "data": {"object"}, "background": None,
           "srcset": {"img", "source"}, "longdesc": {"img", "frame", "iframe"}, "action": {"form"},
           "formaction": {"button", "input"}, "xlink:href": None}
WEB = ("http", "https", "ftp", "ftps")
MAIL = ("mailto",)
HEX = "0123456789abcdefABCDEF"


@dataclass
class Link:
    line: int
    address: str
    kind: str = ""  # "sheet" (a stylesheet), "base" (<base href>), or "" for any other


class Links(html.parser.HTMLParser):
    """The Links of an HTML page in the order they come: attributes,
    stylesheets inline and linked, <base href> and forwarding by <meta
    http-equiv="refresh">."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.found, self.in_style, self.based = [], False, False

    def handle_starttag(self, tag, attrs):
        line, given = self.getpos()[0], {}
        for name, value in attrs:  # the first of two attributes of one name counts
            given.setdefault(name, value)
        if tag == "base":
            if given.get("href") is not None and not self.based:
                self.based = True
                self.found.append(Link(line, given["href"], "base"))
            return
        if tag == "meta":
            if (given.get("http-equiv") or "").strip().lower() == "refresh" and given.get("content"):
                address = refresh(given["content"])
                if address is not None:
                    self.found.append(Link(line, address))
            return
        sheet = tag == "link" and "stylesheet" in (given.get("rel") or "").lower().split()
        for name, value in given.items():
            if value is None:
                continue
            if name in LINKING and (LINKING[name] is None or tag in LINKING[name]):
                if name == "srcset":
                    self.found += [Link(line, url) for url in srcset(value)]
                elif not (tag == "a" and name == "src"):
                    self.found.append(Link(line, value, "sheet" if sheet and name == "href" else ""))
            elif name == "style":
                self.found += [Link(line, url) for _, url, _ in css_links(value)]
        self.in_style = tag == "style"

    def handle_endtag(self, tag):
        self.in_style = False

    def handle_data(self, data):
        if self.in_style:
            first = self.getpos()[0]
            self.found += [Link(first + n - 1, url, "sheet" if imported else "")
                           for n, url, imported in css_links(data)]


def srcset(value):
    """The addresses of a srcset's candidates, as the HTML standard parses
    it: each up to a blank, then its descriptors (a width, a density or a
    height) up to a comma; a candidate whose descriptors are not such is
    dropped, as browsers do."""
    found, at = [], 0
    while True:
        at += len(re.match(r"[\t\n\x0c\r ,]*", value[at:]).group(0))
        if at >= len(value):
            return found
        url = re.match(r"[^\t\n\x0c\r ]*", value[at:]).group(0)
        at += len(url)
        descriptors = ""
        if url.endswith(","):
            url = url.rstrip(",")
        else:
            rest = re.match(r"[^,(]*(?:\([^)]*\)[^,(]*)*", value[at:]).group(0)
            descriptors, at = rest, at + len(rest)
        if all(re.fullmatch(r"\d+[wh]|[0-9.e+-]+x", d) for d in descriptors.split()):
            found.append(url)


def refresh(content):
    """The address a <meta http-equiv="refresh"> forwards to, by the HTML
    standard's reading of its content; None when it forwards nowhere else."""
    match = re.match(r"[\t\n\x0c\r ]*[0-9]*(\.[0-9.]*)?", content)
    if not match.group(0).strip("\t\n\x0c\r ") and not match.group(1):
        return None
    rest = content[match.end():].lstrip("\t\n\x0c\r ")
    if rest[:1] in (";", ","):
        rest = rest[1:].lstrip("\t\n\x0c\r ")
    if not rest:
        return None
    named = re.match(r"url[\t\n\x0c\r ]*=[\t\n\x0c\r ]*", rest, re.I)
    if named:
        rest = rest[named.end():]
    if rest[:1] in ("'", '"'):
        close = rest.find(rest[0], 1)
        rest = rest[1:close] if close > 0 else rest[1:]
    return rest


# ---------------------------------------------------------------- stylesheets

def css_links(text):
    """(line, address, True for @import) of every url() and @import of a
    stylesheet's text, its escapes undone, comments and strings skipped."""
    found, at, end = [], 0, len(text)
    while at < end:
        if text.startswith("/*", at):
            close = text.find("*/", at + 2)
            at = end if close < 0 else close + 2
        elif text[at] in "\"'":
            at = css_string(text, at)[1]
        elif text[at:at + 7].lower() == "@import":
            rest = at + 7
            while rest < end and text[rest] in " \t\r\n\x0c":
                rest += 1
            if rest < end and text[rest] in "\"'":
                value, after = css_string(text, rest)
                found.append((text.count("\n", 0, at) + 1, value, True))
                at = after
            elif text[rest:rest + 4].lower() == "url(":
                value, after = css_url(text, rest + 4)
                if value is not None:
                    found.append((text.count("\n", 0, at) + 1, value, True))
                at = after
            else:
                at = rest
        elif text[at:at + 4].lower() == "url(" and not (at and (text[at - 1].isalnum() or text[at - 1] in "-_\\")):
            value, after = css_url(text, at + 4)
            if value is not None:
                found.append((text.count("\n", 0, at) + 1, value, False))
            at = after
        else:
            at += 1
    return found


def css_escape(text, at):
    """(the character an escape at text[at] == "\\" stands for, where it ends)."""
    at += 1
    if at >= len(text):
        return "\ufffd", at
    digits = re.match(r"[0-9a-fA-F]{1,6}", text[at:at + 6])
    if digits:
        at += len(digits.group(0))
        if text[at:at + 2] == "\r\n":
            at += 2
        elif at < len(text) and text[at] in " \t\n\r\x0c":
            at += 1
        code = int(digits.group(0), 16)
        return (chr(code) if 0 < code <= 0x10FFFF and not 0xD800 <= code <= 0xDFFF else "\ufffd"), at
    return text[at], at + 1


def css_string(text, at):
    """(the value of the quoted string at text[at], where it ends)."""
    quote, at, value = text[at], at + 1, []
    while at < len(text) and text[at] != quote:
        if text[at] == "\n":
            return "".join(value), at  # a bad string ends at the line
        if text[at] == "\\":
            if text[at + 1:at + 2] == "\n":
                at += 2
                continue
            c, at = css_escape(text, at)
            value.append(c)
        else:
            value.append(text[at])
            at += 1
    return "".join(value), at + 1


def css_url(text, at):
    """(the address of the url( whose inside begins at at, or None for a bad
    one, where it ends)."""
    while at < len(text) and text[at] in " \t\r\n\x0c":
        at += 1
    if at < len(text) and text[at] in "\"'":
        value, at = css_string(text, at)
        close = text.find(")", at)
        return value, len(text) if close < 0 else close + 1
    value = []
    while at < len(text) and text[at] != ")":
        c = text[at]
        if c in " \t\r\n\x0c":
            rest = at
            while rest < len(text) and text[rest] in " \t\r\n\x0c":
                rest += 1
            if rest < len(text) and text[rest] != ")":
                close = text.find(")", rest)
                return None, len(text) if close < 0 else close + 1
            at = rest
            continue
        if c in "\"'(" or ord(c) < 0x20 and c not in "\t":
            close = text.find(")", at)
            return None, len(text) if close < 0 else close + 1
        if c == "\\":
            c, at = css_escape(text, at)
            value.append(c)
            continue
        value.append(c)
        at += 1
    return "".join(value), at + 1


# ---------------------------------------------------------------- reading

def links_of(path, code_page=None, environment=None):
    """(encoding, how it was found, [Link]) of a page, or of a stylesheet
    when environment, the encoding of what links it, is given."""
    with open(path, "rb") as f:
        data = f.read()
    if environment:
        text, name = charsets.sheet(data, environment)
        return name, "the stylesheet's own word" if name != environment else "what links it", [
            Link(line, url, "sheet" if imported else "") for line, url, imported in css_links(text)]
    text, name, how = charsets.sniff(data, code_page)
    parser = Links()
    parser.feed(text)
    parser.close()
    return name, how, parser.found


def resolve(index, folder, address):
    """What address, found in a file whose links are relative to folder (a
    disc path, "" for the root), leads to: ("web" | "mail" | "none", None,
    None), or ("file", the disc path it names or None when nothing on the disc
    has that name, the path as the link spells it). index maps each disc
    path, upper-cased as Windows compares names, to its own spelling. Raises
    ValueError with the reason for an address that leaves the medium."""
    address = re.sub("[\t\n\r]", "", address.strip("".join(map(chr, range(33))))).replace("\\", "/")
    if re.match(r"[A-Za-z][:|]", address):
        raise ValueError("a drive letter, and the disc's differs from PC to PC")
    scheme = address.split(":", 1)[0].lower() if re.match(r"[A-Za-z][A-Za-z0-9+.-]*:", address) else ""
    if address.startswith("//"):
        raise ValueError("a UNC path, which names another computer")
    if scheme in WEB:
        return "web", None, None
    if scheme in MAIL:
        return "mail", None, None
    if scheme == "file":
        raise ValueError("a file:/// address, which names a drive of the PC, not the disc wherever it is")
    if scheme:
        return "none", None, None
    path = re.split("[#?]", address, 1)[0]
    if not path:
        return "none", None, None  # the page itself, or a place in it
    # A browser keeps the drive of a file:/// page for a link from the root.
    parts = ([] if path.startswith("/") else [p for p in folder.split("/") if p]) + path.split("/")
    on_disc = []
    for n, part in enumerate(parts):
        dots = part.lower().replace("%2e", ".")
        if dots == "..":
            if not on_disc:
                raise ValueError('".." above the disc\'s root')
            on_disc.pop()
        elif dots != "." and (part or n == len(parts) - 1):
            on_disc.append(part)
    # Chromium encodes the path as UTF-8 and Windows reads the name it
    # decodes to; a segment loses its trailing dots and blanks there.
    spelled = "/".join(urllib.parse.unquote(p, errors="replace") for p in on_disc if p)
    if not spelled:
        return "file", "", ""
    windows = "/".join(p.rstrip(". ") for p in spelled.split("/"))
    return "file", index.get(upper(windows)), spelled


@dataclass
class Followed:
    """A link of a file on the disc, as resolve() takes it: kind "off", with
    the reason as target, for one that leaves the medium."""
    rel: str
    line: int
    address: str
    kind: str
    target: str
    spelled: str
    encoding: str
    how: str


def followed(root, paths, code_page=None):
    """Every link of the pages and stylesheets among paths (every file and
    folder on the disc, as disc paths): Followed, page by page, then each
    stylesheet in the encoding of what links it (a browser reads one without
    a byte-order mark or @charset so)."""
    index = name_index(paths)
    sheets = {}  # stylesheet: the encodings of what links it

    def follow(rel, encoding, how, links):
        folder = rel.rsplit("/", 1)[0] if "/" in rel else ""
        for link in links:
            try:
                kind, target, spelled = resolve(index, folder, link.address)
            except ValueError as error:
                kind, target, spelled = "off", str(error), None
            if link.kind == "base":
                if kind == "file" and spelled is not None:
                    folder = spelled if link.address.rstrip().endswith(("/", "\\")) or not spelled else (
                        spelled.rsplit("/", 1)[0] if "/" in spelled else "")
                    continue
                if kind not in ("off", "web", "mail"):
                    continue
                kind, target = "off", "the page's <base href> names %s, so every link after it leaves the disc" % (
                    "the web" if kind == "web" else target)
            if kind == "file" and target and link.kind == "sheet":
                sheets.setdefault(target, [])
                if encoding not in sheets[target]:
                    sheets[target].append(encoding)
            yield Followed(rel, link.line, link.address, kind, target, spelled, encoding, how)

    for rel in sorted(paths):
        if rel.lower().endswith(PAGES) and os.path.isfile(os.path.join(root, rel)):
            yield from follow(rel, *links_of(os.path.join(root, rel), code_page))
    done, seen = set(), set()
    while True:
        waiting = sorted((rel, enc) for rel, encodings in sheets.items() for enc in encodings
                         if (rel, enc) not in done)
        unlinked = sorted((p, "UTF-8") for p in paths if p.lower().endswith(".css") and p not in sheets
                          and (p, "UTF-8") not in done)
        if not waiting and not unlinked:
            break
        rel, environment = (waiting or unlinked)[0]
        done.add((rel, environment))
        if not os.path.isfile(os.path.join(root, rel)):
            continue
        for link in follow(rel, *links_of(os.path.join(root, rel), environment=environment)):
            key = (link.rel, link.line, link.address, link.kind, link.target)
            if key not in seen:
                seen.add(key)
                yield link


def spellings(root, paths):
    """{spelling: disc path} for each link that names a file of the disc in
    other letters' case than the disc does (Windows finds it; Linux would not)."""
    return {f.spelled: f.target for f in followed(root, paths)
            if f.kind == "file" and f.target and f.spelled != f.target}


def check_links(root, paths, code_page=None):
    """(how many links of the pages and stylesheets among paths lead to
    files on the disc, to the web and to mail addresses; a Refusal for each
    that leads to nothing on the disc or off the medium)."""
    counts, problems = {"file": 0, "web": 0, "mail": 0, "none": 0}, []
    index = name_index(paths)
    for f in followed(root, paths, code_page):
        where = '%s, line %d: the link "%s"' % (f.rel, f.line, f.address)
        if f.kind == "off":
            problems.append(Refusal("%s leaves the medium (%s): link to the file on the disc relatively, as "
                                    "page.htm or ../docs/page.htm" % (where, f.target), "link-leaves-medium", f.rel))
        elif f.kind == "file" and f.target is None:
            problems.append(Refusal("%s leads to nothing on the disc (names match without regard to case): %s"
                                    % (where, mend(index, f)), "link-missing", f.rel))
        else:
            counts[f.kind] += 1
    return counts, problems


def mend(index, f):
    """How to mend a link that leads to nothing: most often, correct it."""
    folder = f.rel.rsplit("/", 1)[0] if "/" in f.rel else ""
    if "#" in f.address:
        try:
            kind, target, _ = resolve(index, folder, f.address.replace("#", "%23"))
        except ValueError:
            kind, target = None, None
        if kind == "file" and target:
            return ('"#" begins a fragment in an address, so the link stops before it; the file "%s" is there: '
                    'write "#" in its name as %%23, as "%s"' % (target.rsplit("/", 1)[-1],
                                                                f.address.replace("#", "%23")))
    if any(ord(c) > 127 for c in f.address) and f.encoding != "UTF-8":
        if f.how.startswith("no declaration"):
            return ("the page declares no encoding, so a browser reads it as %s: declare the encoding it is saved "
                    "in, as <meta charset=\"utf-8\">, or correct the link" % f.encoding)
        return "read as %s, as %s says: correct the link or add the file" % (f.encoding, f.how)
    return "correct the link or add the file"
