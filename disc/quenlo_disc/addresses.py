"""Where an address found in a file on a disc leads, as Chromium resolves it
against a file: page: to a file on the disc, off it, or to the web; and to
which place in a page its fragment leads, as Chromium scrolls to it.
"""
import re
import urllib.parse
import zlib

from .names import upper
from .scripts import paths_named

WEB = ("http", "https", "ftp", "ftps")
MAIL = ("mailto",)
CONTROL = "".join(map(chr, range(33)))
# A relative link of ASCII names, which only ".." moves up: a browser takes
# it as it is written, and Windows upper-cases it as ASCII does.
SIMPLE = re.compile(r"(?:(?:\.\.|[\w-](?:[\w.-]*[\w-])?)/)*[\w-](?:[\w.-]*[\w-])?\Z", re.ASCII)


def resolve(index, folder, address):
    """What address, found in a file whose links are relative to folder (a
    disc path, "" for the root), leads to: ("web" | "mail" | "none", None,
    None, False), or ("file", the disc path it names or None when nothing on
    the disc has that name, the path as the link spells it, whether it
    climbed above the disc's root, where a browser stays). index maps each
    disc path, upper-cased as Windows compares names, to its own spelling.
    Raises ValueError with the reason for an address that leaves the medium."""
    if SIMPLE.match(address) and folder.isascii():  # most links, read at once: ASCII names, ".." at most
        parts, climbed = folder.split("/") if folder else [], False
        for part in address.split("/"):
            if part != "..":
                parts.append(part)
            elif parts:
                parts.pop()
            else:
                climbed = True
        spelled = "/".join(parts)
        return "file", index.get(spelled.upper()), spelled, climbed
    address = re.sub("[\t\n\r]", "", address.strip(CONTROL)).replace("\\", "/")
    # "/C:/…" too, as a word processor writes a file's address: Chromium takes it for that drive, not the disc's.
    if re.match(r"[A-Za-z][:|]|/[A-Za-z]:(?:[/?#]|$)", address):
        raise ValueError("a drive letter, and the disc's differs from PC to PC")
    scheme = address.split(":", 1)[0].lower() if re.match(r"[A-Za-z][A-Za-z0-9+.-]*:", address) else ""
    if address.startswith("//"):
        raise ValueError("a UNC path, which names another computer")
    if scheme in WEB:
        if re.match(r"[a-z+.-]+://(?:[^/?#@]*@)?(?:localhost|127(?:\.\d+){3}|\[::1\])(?:[:/?#]|$)", address.lower()):
            raise ValueError("an address of the author's own computer (localhost), which no user's PC serves")
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
        return "file", "", "", climbed
    windows = "/".join(p.rstrip(". ") for p in spelled.split("/"))
    return "file", index.get(upper(windows)), spelled, climbed




# What the URL standard percent-encodes in a fragment, besides all beyond
# ASCII; and a fragment that needs none of it, nor blanks taken out.
FRAGMENT_ENCODED = frozenset(map(chr, range(32))) | frozenset(' "<>`\x7f')
PLAIN = re.compile(r"[!#-;=?-_a-~]*\Z")


def same_page(address):
    """Whether address leads to a place in the page it is in (as "#part")."""
    return address.startswith("#") or re.sub("[\t\n\r]", "", address.strip(CONTROL)).startswith("#")


def fragment(address):
    """The fragment of an address as the URL standard keeps it (what follows
    its first "#", percent-encoded as UTF-8), or None where it has none."""
    if "#" not in address:
        return None
    raw = address.partition("#")[2]
    if PLAIN.match(raw):
        return raw
    raw = re.sub("[\t\n\r]", "", address.strip(CONTROL)).split("#", 1)[1]
    return "".join(urllib.parse.quote("\ufffd" if "\ud800" <= c <= "\udfff" else c, safe="")
                   if c in FRAGMENT_ENCODED or not c.isascii() else c for c in raw)


def places(ids):
    """The set of a page's places, of its ids as markup's Document holds them."""
    return frozenset(ids.split("\n"))


def scrolls_to(fragment, places):
    """Whether Chromium finds where fragment (as fragment() gives it) leads in
    a page of places (as places() gives them): an id or <a name> as written,
    else as it reads percent-decoded; or the top of the page, for an empty
    fragment and "top"."""
    if not fragment or fragment in places:
        return True
    decoded = urllib.parse.unquote(fragment, errors="replace") if "%" in fragment else fragment
    return decoded in places or decoded.isascii() and decoded.lower() == "top"


def anchor(page, line, column, address):
    """A link to a place, as a file's links to places are kept: one line
    each, of the page it leads to and where and how it is written."""
    return "%s\0%d\0%d\0%s\n" % (page, line, column, address if "\n" not in address and "\0" not in address else
                                  address.replace("\n", " ").replace("\0", " "))


def packed(lines):
    """A file's anchor() lines, kept as they take least memory: a site's
    hundred thousand are mostly the same few pages and addresses."""
    text = "".join(lines)
    return zlib.compress(text.encode("utf-8", "surrogatepass"), 1) if len(text) > PACKED else text


PACKED = 2000  # characters of lines from which they are packed


class Anchors:
    """The links to places in pages, followed once every page is read: each
    page's places (markup's Document.ids), and each file's links to places
    (as packed() keeps them)."""

    def __init__(self):
        self.ids, self.links, self.scripted = {}, [], set()

    def page(self, rel, ids, scripted=False):
        """rel is read: its places are ids; scripted: its own scripts could make more."""
        self.ids[rel] = ids
        if scripted:
            self.scripted.add(rel)

    def end(self):
        """The links whose places are not there, as (the page, the fragment,
        the file that links it, line, column, the address as written), where
        the pages whose own scripts could make them are set apart: ([anchor],
        [anchor]). Links into files that are no pages (a PDF's "#page=2") are
        no matter."""
        missing, sets, found = ([], []), {}, {}
        for rel, lines in self.links:
            if isinstance(lines, bytes):
                lines = zlib.decompress(lines).decode("utf-8", "surrogatepass")
            for line in lines.splitlines():
                page, number, column, address = line.split("\0")
                part = found.get((page, address))  # a site links the same places over and over
                if part is None:
                    part, ids = fragment(address), sets.get(page)
                    if ids is None and page in self.ids:
                        ids = sets[page] = places(self.ids[page])
                    part = found[page, address] = (part, ids is not None and not scrolls_to(part, ids))
                if part[1]:
                    missing[page in self.scripted].append((page, part[0], rel, int(number), int(column), address))
        self.links = []
        return missing


def named_by_script(index, code, folders):
    """The paths that code names in its strings and that name nothing on the
    disc from any of folders (where the pages that run it lie)."""
    missing = []
    for path in paths_named(code):
        if path in missing:
            continue
        found = []
        for folder in folders:
            try:
                found.append(resolve(index, folder, path)[1])
            except ValueError:
                found.append("elsewhere")
        if found and not any(found):
            missing.append(path)
    return missing


def told(every, kind, target):
    """Whether a link is among every link a Reading tells of: all are
    (every True), none, or (every a set of upper-cased disc paths) those
    that lead to one of them or into one."""
    if every is True or not every:
        return bool(every)
    parts = upper(target).split("/") if target and kind in ("file", "folder") else ()
    return any("/".join(parts[:n]) in every for n in range(1, len(parts) + 1))
