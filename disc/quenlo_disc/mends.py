"""Mends for what a check found: each a small value tied to one finding,
safe (it has one right answer) or unsafe (a guess the author should read),
made of changes to the medium's files that leave every other byte as it
was. mends_of decides them from a checked Medium whose every link was kept
(Options.mend); mending.py shows and applies them."""
import difflib
import os
import re
import urllib.parse
from dataclasses import dataclass

from . import BUGS
from .boxfiles import LARGEST_READ, read
from .charsets import sniff
from .codepages import UTF8_MARK, WESTERN
from .links import FOLDER_PAGES
from .names import DEVICES, FAT_NAME, FORBIDDEN, JOLIET_FORBIDDEN, JOLIET_NAME, device_name, disc_path, upper
from .rewrites import escape_html, off_medium_path, quoted, relinked, resolved_folder, split, with_last
from .texts import Unmendable, autorun_text_of, page_text_of

# The codes whose mend is a new name, the file or folder's, and every link to it rewritten.
RENAMED = ("name-forbidden", "name-trailing-dot", "name-device", "name-joliet", "name-too-long", "page-hash-percent")
PAGE_ENDINGS = (".htm", ".html", ".xhtml", ".xht", ".shtml")
START_PAGE = "START HERE.htm"  # as the README advises a stick's start page be named


# What fix does for each code it mends, and whether that has one right answer
# (safe: made by fix --write) or is a guess (made only with --unsafe): for
# the manual and the README.
MENDED = [
    ("link-folder", "safe", "the link leads to the folder's page, where it holds exactly one (index.html, index.htm, "
                            "default.html, default.htm)"),
    ("name-forbidden, name-trailing-dot, name-device, name-joliet, name-too-long, page-hash-percent", "safe",
     "the file or folder gets a name that Windows, Joliet, FAT and a browser's address all hold (each odd letter "
     "made _, no trailing dot, no device's name, cut to length), and every link to it is rewritten: pages, "
     "stylesheets, SVG, srcset, autorun.inf's keys"),
    ("link-leaves-medium", "safe", "a file:/// address, a drive's path or a localhost address whose end names "
                                   "exactly one file of the medium becomes a relative link to it"),
    ("link-missing", "safe, or unsafe", "where the file is there under another page ending, or the link reads a "
                                        "letter of its name (#, %, ?) as an address's syntax: the link to it; "
                                        "the nearest name by spelling only with --unsafe"),
    ("page-undeclared", "safe", '<meta charset="..."> first in the <head>, with the encoding a browser reads the '
                                "page in, so that nothing a reader sees changes"),
    ("autorun-no-section, page-quoted, page-absolute, autorun-utf8", "safe",
     "autorun.inf begins with [autorun]; the page loses its quotes, or its drive and leading \\; a UTF-8 file is "
     "saved in the PCs' code page where every letter has its form there, else with a byte-order mark"),
    ("stick-start-hidden", "safe", 'a page "START HERE.htm" at the stick\'s root that opens the page'),
]


@dataclass(frozen=True)
class Rename:
    path: str
    to: str

    def as_dict(self):
        return {"kind": "rename", "path": self.path, "to": self.to}


@dataclass(frozen=True)
class Create:
    path: str
    data: bytes

    def as_dict(self):
        return {"kind": "create", "path": self.path, "text": self.data.decode("utf-8")}


@dataclass(frozen=True)
class Mend:
    """What mends one finding: safe or not, what it does in words, its changes."""
    code: str
    safe: bool
    says: str
    changes: tuple

    def as_dict(self):
        return {"safety": "safe" if self.safe else "unsafe", "says": self.says,
                "changes": [c.as_dict() for c in self.changes]}


class Mender:
    """The mends of one checked Medium, finding by finding; texts read once."""

    def __init__(self, m):
        self.m, self.texts, self.renames, self.suffixes = m, {}, None, None
        # What each file was read in: its links' encoding, or a browser's guess.
        self.encodings = dict(m.read_in)
        self.encodings.update((rel, name) for name, rels in m.undeclared.items() for rel in rels)

    def text(self, path, encoding=None):
        if path not in self.texts:
            where = os.path.join(self.m.source, path)
            if path == "autorun.inf":
                self.texts[path] = autorun_text_of(where, path, self.m.options.code_page or (
                    self.m.meant[0] if self.m.meant else WESTERN))
            else:
                encoding = encoding or self.encodings.get(path) or sniff(read(
                    where, None, LARGEST_READ, follow=True), self.m.options.code_page)[1]
                self.texts[path] = page_text_of(where, path, encoding)
        return self.texts[path]

    def mend(self, finding):
        """finding's Mend, None where its code has none, or Unmendable."""
        how = MENDS.get(finding.code)
        return how(self, finding) if how else None

    def relinked(self, finding, new_address, says, safe=True):
        """A Mend that gives each place of finding the (address, the disc path
        it leads to) new_address(place) makes (None: no mend for it)."""
        edits = []
        for place in finding.places or (finding.place,):
            made = new_address(place)
            if made is None:
                raise Unmendable('the link "%s" has no single file to lead to' % place.link)
            edits.append(self.link_edit(place.file, place.line, place.column, place.link, *made))
        return Mend(finding.code, safe, says, tuple(edits))

    def link_edit(self, path, line, column, address, new, target, encoding=None):
        text = self.text(path, encoding)
        at = text.offset(line, column)
        if at is not None and text.text[at:at + len(address)] != address:
            # A stylesheet's place is its url( or @import, the address a few letters on.
            ahead = text.text.find(address, at, at + len(address) + 12)
            at = ahead if ahead >= 0 and "\n" not in text.text[at:ahead] else None
        if at is None:
            raise Unmendable("%s, line %s: the link is written in a way the mend cannot place (character references "
                             "or escapes)" % (path, line))
        return text.edit(at, at + len(address), new, target)

    def ends(self):
        """{the last names of a path, upper-cased: the files it may name}: what
        an address off the medium may end with, a file, or a folder that holds
        one page (which it then names)."""
        if self.suffixes is None:
            self.suffixes = {}
            ends = [(p, p) for p in self.m.tree.sizes]
            for _, rel, _, _ in self.m.tree.folders:
                rel = "" if rel == "." else disc_path(rel)
                pages = [self.m.index[upper(rel + "/" + n if rel else n)] for n in FOLDER_PAGES
                         if upper(rel + "/" + n if rel else n) in self.m.index]
                if rel and len(pages) == 1:
                    ends.append((rel, pages[0]))
            for end, target in ends:
                parts = tuple(upper(end).split("/"))
                for k in range(1, len(parts) + 1):
                    self.suffixes.setdefault(parts[-k:], set()).add(target)
        return self.suffixes

    def own_autorun(self):
        if self.m.options.start is not None:
            raise Unmendable("the tools write this autorun.inf from --start: correct the options given")
        return self.text("autorun.inf")

    def page_line(self, finding, change):
        text = self.own_autorun()
        line = finding.place.line if finding.place else None
        found = text.page_of_line(line)
        if found is None:
            raise Unmendable("the line's page is not where the mend can change it")
        start, end, page = found
        new = change(page)
        if new is None:
            raise Unmendable('no file of the medium is "%s" from its root' % page)
        return Mend(finding.code, True, 'the line names "%s"' % new, (text.edit(start, end, new),))

    def new_name(self, path):
        """The disc path path is given by a mend of its name, or path."""
        if self.renames is None:
            self.renames = new_names(self.m)
        return self.renames.get(path, path)

    def renamed(self, finding):
        self.new_name("")
        path = finding.path if finding.code != "page-hash-percent" else self.m.page.replace("\\", "/")
        if path not in self.renames:
            raise Unmendable("no name for it that every target holds")
        changes = [Rename(path, self.renames[path])]
        for f in self.m.root_links:
            if f.kind not in ("file", "folder") or not f.target:
                continue
            if not (upper(f.target) == upper(path) or upper(f.target).startswith(upper(path) + "/")):
                continue
            new = relinked(f.address, f.target, path, self.renames[path])
            if new is None:
                raise Unmendable('%s, line %d: the link "%s" cannot be rewritten' % (f.rel, f.line, f.address))
            if new != f.address:
                changes.append(self.link_edit(f.rel, f.line, f.column, f.address, new, self.renames[path] + f.target[
                    len(path):], f.encoding))
        if self.m.options.start is None:
            changes += self.own_autorun().renamed_pages(path, self.renames[path])
        return Mend(finding.code, True, 'named "%s", and every link to it rewritten'
                    % self.renames[path].rsplit("/", 1)[-1], tuple(changes))


def link_folder(mender, finding):
    def page_of(place):
        folder = place.target or ""
        pages = [mender.m.index[upper(folder + "/" + n if folder else n)] for n in FOLDER_PAGES
                 if upper(folder + "/" + n if folder else n) in mender.m.index]
        if len(pages) != 1:
            return None
        path, rest = split(place.link)
        sep = "" if not path or path.endswith(("/", "\\")) else "/"
        return path + sep + quoted(pages[0].rsplit("/", 1)[-1]) + rest, pages[0]
    mend = mender.relinked(finding, page_of, "each link to the folder leads to its page instead")
    return Mend(mend.code, True, "each link to the folder leads to %s instead" % mend.changes[0].new, mend.changes)


def link_missing(mender, finding):
    first = finding.place
    folder = first.file.rsplit("/", 1)[0] if "/" in first.file else ""
    path, rest = split(first.link)
    if not path or re.match(r"[a-zA-Z][a-zA-Z0-9+.-]*:", path):
        raise Unmendable("the link names no file of the medium")
    path = path.rstrip("/\\") or path  # a folder's address, for a page of that name
    last = urllib.parse.unquote(re.split(r"[/\\]", path)[-1])
    here = upper(resolved_folder(folder, path))
    siblings = {p.rsplit("/", 1)[-1]: p for p in mender.m.index.values()
                if upper(p.rsplit("/", 1)[0] if "/" in p else "") == here}
    for odd, escape in (("#", "%23"), ("%", "%25"), ("?", "%3F")):
        if odd in first.link:  # a name's own letter, which the address reads as its syntax
            name = urllib.parse.unquote(re.split(r"[/\\]", split(first.link.replace(odd, escape))[0])[-1])
            meant = next((n for n in siblings if upper(n) == upper(name)), None)
            if meant:
                final = mender.new_name(siblings[meant]).rsplit("/", 1)[-1]
                return mender.relinked(finding, lambda p: (with_last(p.link.replace(odd, escape), final),
                                                           mender.new_name(siblings[meant])),
                                     'the link leads to "%s", its "%s" written as %s' % (final, odd, escape)
                                     if final == meant else 'the link leads to "%s", as "%s" is renamed'
                                     % (final, meant))
    stem = last.rsplit(".", 1)[0] if "." in last else last
    others = [n for n in siblings if n.lower().endswith(PAGE_ENDINGS) and upper(n.rsplit(".", 1)[0]) == upper(stem)]
    if len(others) == 1:
        return mender.relinked(finding, lambda p: (with_last(p.link, others[0]), siblings[others[0]]),
                             'the link leads to "%s", the page of that name' % others[0])
    # Names that differ in their numbers are other things (a page of version 2.30, not 2.36), never typos.
    near = difflib.get_close_matches(last, [n for n in siblings if re.findall(r"\d+", n) == re.findall(r"\d+", last)],
                                     1, 0.75)
    if near:
        return mender.relinked(finding, lambda p: (with_last(p.link, near[0]), siblings[near[0]]),
                             'the link leads to "%s", the nearest name by spelling: read it first' % near[0],
                             safe=False)
    raise Unmendable("no file of the medium is named like it")


def link_leaves(mender, finding):
    ends = mender.ends()

    def relative(place):
        parts = [upper(p) for p in off_medium_path(place.link) or ()]
        for k in range(len(parts), 0, -1):
            found = ends.get(tuple(parts[-k:]))
            if found:
                if len(found) > 1:
                    return None
                target = next(iter(found))
                folder = place.file.rsplit("/", 1)[0] if "/" in place.file else ""
                rel = os.path.relpath(target, folder or ".")
                return "/".join(quoted(p) if p != ".." else p for p in rel.split("/")) + split(place.link)[1], target
        return None
    return mender.relinked(finding, relative, "each link leads to the medium's own file, relatively")


def undeclared(mender, finding):
    edits = []
    for name, rels in mender.m.undeclared.items():
        for rel in rels:
            if rel in {p.file for p in finding.places} | {finding.path}:
                edits.append(mender.text(rel, name).declare(name))
    return Mend(finding.code, True, "each page declares the encoding a browser reads it in, so that nothing "
                                    "a reader sees changes", tuple(edits))


def no_section(mender, finding):
    return Mend(finding.code, True, "autorun.inf begins with [autorun]", (mender.own_autorun().section(),))


def quoted_page(mender, finding):
    return mender.page_line(finding, lambda page: page.replace('"', ""))


def absolute_page(mender, finding):
    def relative(page):
        rest = re.sub(r"^(?:[A-Za-z]:)?[\\/]*", "", page)
        return rest if rest and mender.m.on_disc(rest) else None
    return mender.page_line(finding, relative)


def utf8(mender, finding):
    text = mender.own_autorun()
    code_page = mender.m.options.code_page  # the PCs' given; else every PC's: Unicode
    try:
        if not code_page:
            raise LookupError()
        saved = text.data.decode("utf-8").encode("cp%d" % code_page)
        says = "autorun.inf is saved in code page %d, which Windows reads it in" % code_page
    except (UnicodeEncodeError, LookupError):
        saved = UTF8_MARK + text.data
        says = "autorun.inf is saved as UTF-8 with a byte-order mark, which Windows reads as written"
    return Mend(finding.code, True, says, (text.whole(saved, "utf-8-sig" if saved.startswith(UTF8_MARK) else
                                                      "cp%d" % code_page, "utf-8"),))


def start_page(mender, finding):
    page = (mender.m.page or "").replace("\\", "/")
    name, n = START_PAGE, 1
    while upper(name) in mender.m.index:  # a page of that name that does not lead there: another beside it
        n += 1
        name = "%s (%d).htm" % (START_PAGE[:-4], n)
    address = "/".join(quoted(p) for p in page.split("/"))
    data = ('<!DOCTYPE html>\r\n<meta charset="utf-8">\r\n<title>Start here</title>\r\n'
            '<meta http-equiv="refresh" content="0; url=%s">\r\n<p><a href="%s">Open %s</a></p>\r\n'
            % (address, address, escape_html(page.rsplit("/", 1)[-1]))).encode("utf-8")
    return Mend(finding.code, True, 'a page "%s" at the root opens %s' % (name, page), (Create(name, data),))


MENDS = {"link-folder": link_folder, "link-missing": link_missing,
         "link-leaves-medium": link_leaves, "page-undeclared": undeclared,
         "autorun-no-section": no_section, "page-quoted": quoted_page,
         "page-absolute": absolute_page, "autorun-utf8": utf8, "stick-start-hidden": start_page}
MENDS.update((code, Mender.renamed) for code in RENAMED)


def mends_of(m):
    """[(finding, its Mend or None, why it has none where its code has a
    mend)] of the checked Medium m, in the findings' order."""
    mender, found = Mender(m), []
    for finding in m.findings.sorted():
        try:
            found.append((finding, mender.mend(finding), None))
        except Unmendable as why:
            found.append((finding, None, str(why)))
        except (OSError, UnicodeError) as error:
            found.append((finding, None, "its file cannot be read as it was (%s)" % error))
        except Exception as error:  # a fault of the mends' own never costs the check its verdict
            found.append((finding, None, "fix stopped on it by a fault of its own (%s: %s): please report it at %s"
                          % (type(error).__name__, error, BUGS)))
    return found


def renamed(m):
    """The disc paths whose names a mend will change: every link to them is
    kept, to be rewritten."""
    return {f.path for f in m.findings.found if f.code in RENAMED and f.path} | (
        {m.page.replace("\\", "/")} if m.page and any(f.code == "page-hash-percent" for f in m.findings.found)
        else set())


def new_names(m):
    """{disc path: its new disc path} for each name a finding refuses, held
    by every target: Windows, Joliet, FAT; unique among its siblings."""
    refused = renamed(m)
    taken = {upper(p) for p in m.paths}
    renames = {}
    for path in sorted(refused, key=lambda p: p.count("/")):
        folder, _, name = path.rpartition("/")
        parent = folder
        for old, new in renames.items():  # a folder renamed above it
            if parent == old or parent.startswith(old + "/"):
                parent = new + parent[len(old):]
        fresh = held_name(name, m.options.stick)
        stem, dot, ending = fresh.rpartition(".") if "." in fresh else (fresh, "", "")
        candidate, n = fresh, 2
        while upper(parent + "/" + candidate if parent else candidate) in taken:
            number = "-%d" % n  # within the length the name was cut to
            candidate = held_name(stem[:len(fresh) - len(dot + ending) - len(number)] + number + dot + ending,
                                  m.options.stick)
            n += 1
        renames[path] = parent + "/" + candidate if parent else candidate
        taken.add(upper(renames[path]))
    return renames


def held_name(name, stick=False):
    """name as every target holds it: no character Windows, Joliet or a
    browser's address reads otherwise, no trailing dot or blank, no device's
    name, not too long."""
    odd = FORBIDDEN | set("#%") | (set() if stick else JOLIET_FORBIDDEN)
    name = "".join("_" if c in odd or ord(c) < 32 or (ord(c) > 0xFFFF and not stick) else c for c in name)
    name = name.rstrip(". ") or "_"
    if device_name(name) or upper(name.split(".", 1)[0].rstrip(" ")) in DEVICES:
        first, dot, rest = name.partition(".")
        name = first + "_" + dot + rest
    most = FAT_NAME if stick else JOLIET_NAME
    if len(name) > most:
        stem, dot, ending = name.rpartition(".")
        if not dot or len(ending) > 8:
            stem, dot, ending = name, "", ""
        name = stem[:most - len(dot + ending)].rstrip(". ") + dot + ending
    return name

