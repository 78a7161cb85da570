"""The links between a medium's pages, followed as a browser on Windows
follows them from the disc: every link and embedded resource of every HTML
page and stylesheet must lead to a file on the disc."""
import html.parser
import os
import re
import urllib.parse

from . import Refusal
from .names import upper

PAGES = (".htm", ".html", ".xhtml", ".shtml")
# The attributes that name another file, by element; srcset holds a list.
LINKING = {"href": None, "src": None, "poster": {"video"}, "data": {"object"}, "background": None,
           "srcset": {"img", "source"}, "longdesc": {"img", "frame", "iframe"}}
CSS_URL = re.compile(r"""url\(\s*(?:"([^"]*)"|'([^']*)'|([^)\s]*))\s*\)|@import\s+(?:"([^"]*)"|'([^']*)')""", re.I)
WEB = ("http", "https", "ftp", "ftps")
MAIL = ("mailto",)


class Links(html.parser.HTMLParser):
    """(line, address) of every link in an HTML page, stylesheets inline included."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.found, self.in_style = [], False

    def handle_starttag(self, tag, attrs):
        line = self.getpos()[0]
        if tag == "base":  # a page that moves its own base is for the web, not a disc
            return
        for name, value in attrs:
            if value is None:
                continue
            if name in LINKING and (LINKING[name] is None or tag in LINKING[name]):
                if name == "srcset":
                    self.found += [(line, part.split()[0]) for part in value.split(",") if part.split()]
                elif not (tag == "meta" or (tag == "a" and name == "src")):
                    self.found.append((line, value))
            elif name == "style":
                self.found += [(line, url) for url in css_urls(value)]
        self.in_style = tag == "style"

    def handle_endtag(self, tag):
        self.in_style = False

    def handle_data(self, data):
        if self.in_style:
            first = self.getpos()[0]
            for match in CSS_URL.finditer(data):
                self.found.append((first + data.count("\n", 0, match.start()), next(g for g in match.groups()
                                                                                    if g is not None)))


def css_urls(text):
    return [next(g for g in m.groups() if g is not None) for m in CSS_URL.finditer(text)]


def text_of(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("cp1252", errors="replace")


def links_of(path):
    with open(path, "rb") as f:
        text = text_of(f.read())
    if path.lower().endswith(".css"):
        return [(text.count("\n", 0, m.start()) + 1, next(g for g in m.groups() if g is not None))
                for m in CSS_URL.finditer(text)]
    parser = Links()
    parser.feed(text)
    parser.close()
    return parser.found


def resolve(index, rel, address):
    """What address, found in the file rel (a path on the disc), leads to: ("web"
    | "mail" | "none", None, None), or ("file", the disc path it names or None
    when nothing on the disc has that name, the path as the link spells it).
    index maps each disc path, upper-cased as Windows compares names, to its
    own spelling. Raises ValueError with the reason for an address that
    leaves the medium."""
    address = address.strip().replace("\\", "/")
    scheme = address.split(":", 1)[0].lower() if re.match(r"[A-Za-z][A-Za-z0-9+.-]+:", address) else ""
    if address.startswith("//"):
        raise ValueError("a UNC path, which names another computer")
    if scheme in WEB:
        return "web", None, None
    if scheme in MAIL:
        return "mail", None, None
    if scheme == "file":
        raise ValueError("a file:/// address, which names a drive of the PC, not the disc wherever it is")
    if re.match(r"[A-Za-z]:", address):
        raise ValueError("a drive letter, and the disc's differs from PC to PC")
    if scheme:
        return "none", None, None
    path = urllib.parse.unquote(address.split("#", 1)[0].split("?", 1)[0])
    if not path:
        return "none", None, None  # the page itself, or a place in it
    # A browser keeps the drive of a file:/// page for a link from the root.
    parts = ([] if path.startswith("/") else rel.split("/")[:-1]) + path.split("/")
    on_disc = []
    for part in parts:
        if part == "..":
            if not on_disc:
                raise ValueError('".." above the disc\'s root')
            on_disc.pop()
        elif part not in ("", "."):
            on_disc.append(part)
    spelled = "/".join(on_disc)
    return "file", index.get(upper(spelled)) if on_disc else "", spelled


def followed(root, paths):
    """(rel, line, address, kind, target, spelled) for every link of the
    pages and stylesheets among paths (every file and folder on the disc, as
    disc paths), as resolve() takes it; kind "off", with the reason as
    target, for one that leaves the medium."""
    index = {upper(p): p for p in paths}
    for rel in sorted(paths):
        if not rel.lower().endswith(PAGES + (".css",)) or not os.path.isfile(os.path.join(root, rel)):
            continue
        for line, address in links_of(os.path.join(root, rel)):
            try:
                kind, target, spelled = resolve(index, rel, address)
            except ValueError as error:
                kind, target, spelled = "off", str(error), None
            yield rel, line, address, kind, target, spelled


def spellings(root, paths):
    """{spelling: disc path} for each link that names a file of the disc in
    other letters' case than the disc does (Windows finds it; Linux would not)."""
    return {spelled: target for _, _, _, kind, target, spelled in followed(root, paths)
            if kind == "file" and target and spelled != target}


def check_links(root, paths):
    """(how many links of the pages and stylesheets among paths lead to
    files on the disc, to the web and to mail addresses; a Refusal for each
    that leads to nothing on the disc or off the medium)."""
    counts, problems = {"file": 0, "web": 0, "mail": 0, "none": 0}, []
    for rel, line, address, kind, target, _ in followed(root, paths):
        where = '%s, line %d: the link "%s"' % (rel, line, address)
        if kind == "off":
            problems.append(Refusal("%s leaves the medium (%s): link to the file on the disc relatively, as "
                                    "page.htm or ../docs/page.htm" % (where, target), "link-leaves-medium", rel))
        elif kind == "file" and target is None:
            problems.append(Refusal("%s leads to nothing on the disc (names match without regard to case): correct "
                                    "the link or add the file" % where, "link-missing", rel))
        else:
            counts[kind] += 1
    return counts, problems
