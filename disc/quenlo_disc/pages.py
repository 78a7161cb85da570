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
import concurrent.futures
import multiprocessing
import os
import re
import threading
import xml.parsers.expat
from dataclasses import dataclass, field

from . import BUGS, Refusal, charsets
from .addresses import (SIMPLE, Anchors, anchor, fragment, named_by_script, packed, places, resolve, same_page,
                        scrolls_to, told)
from .boxfiles import read as read_bytes
from .css import css_links
from .markup import Lines, Link, document
from .names import index as name_index, upper
from .scripts import BUILDING, MAKING, server_only

PAGES = (".htm", ".html", ".xhtml", ".xht", ".shtml")
XML_PAGES = (".xhtml", ".xht", ".svg")


def read_file(path):
    return read_bytes(path, None, follow=True)


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
    how: charsets.Source
    climbed: bool = False
    linked_by: str = None
    column: int = 1


@dataclass
class Site:
    """What reading the medium's pages found: every link (Followed); the
    pages whose encoding a browser guesses (encoding: [pages]); the XML
    documents that are not well-formed ([(disc path, line, why)]); the pages
    whose scripts build addresses; the paths in scripts' strings that
    name nothing on the disc ({script or page: [paths]}); the links to
    places in pages (Anchors); and what pages and stylesheets load from the
    web by themselves ([Followed])."""
    counts: dict = field(default_factory=lambda: {"file": 0, "web": 0, "mail": 0, "none": 0})
    broken: list = field(default_factory=list)
    undeclared: dict = field(default_factory=dict)
    malformed: list = field(default_factory=list)
    scripted: list = field(default_factory=list)
    script_paths: dict = field(default_factory=dict)
    server_only: dict = field(default_factory=dict)
    anchors: Anchors = field(default_factory=Anchors)
    loads: list = field(default_factory=list)


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


@dataclass
class Page:
    """What one page or SVG document holds, read: its encoding and how it
    was found, whether a browser guessed it, why it is not well-formed XML
    ((line, why) or None), its links (Links), whether its own scripts build
    addresses, the script files it runs, the paths its scripts name
    that lead nowhere, what they do that cannot work from a disc, its places
    (markup's Document.ids) and whether its own scripts could make more."""
    rel: str
    encoding: str
    how: charsets.Source
    guessed: bool
    malformed: tuple
    links: "Links"
    builds: bool
    runs: list
    missing: list
    server_only: list = field(default_factory=list)
    kept: tuple = None  # (key, document) to keep for the next check, where documents are kept
    ids: str = "\n"
    makes: bool = False


@dataclass
class Links:
    """What following a file's links found: how many of each kind lead
    somewhere, the broken ones, every one (where asked for), the
    stylesheets they link ([(disc path, encoding)]), and the folder the
    file's links are relative to in the end (<base href> moves it); its
    links to places in pages (anchor()'s lines), and what it loads from the
    web by itself ([Followed])."""
    counts: collections.Counter
    broken: list
    every: list
    sheets: list
    folder: str
    anchors: str = ""  # or bytes, as packed() keeps them
    loads: list = field(default_factory=list)


class Deferred(Exception):
    """A page whose encoding only Chromium can tell, left to the process that has it."""


def defer(path, data):
    raise Deferred()


class Reading:
    """The reading of one medium's files: what each page and stylesheet
    links, on its own, so that pages may be read by several processes."""

    def __init__(self, root, paths, code_page=None, read=read_file, every=False, folders=None, documents=None):
        self.root, self.index, self.code_page, self.read, self.every = root, name_index(paths), code_page, read, every
        self.documents, self.resolved = documents, (None, {})
        # The disc's folders (the root is ""): a link to one shows a list of its files.
        self.folders = set(folders if folders is not None else (p[:n] for p in paths for n, c in enumerate(p)
                                                                 if c == "/")) | {""}

    def follow(self, rel, encoding, how, links, linked_by=None, ids=None):
        """The Links of a file's links, read in encoding (found so); ids: a
        page's places, which its links to places in itself are followed to."""
        found = Links(collections.Counter(), [], [], [], rel.rsplit("/", 1)[0] if "/" in rel else "")
        based, anchors, here, counts = False, [], None, found.counts  # here: the file's own places, once needed
        if self.resolved[0] != found.folder:  # a site's navigation, resolved once a folder (pages come by folder)
            self.resolved = (found.folder, {})
        cache = self.resolved[1]
        for link in links:
            address, linked = link.address, link.kind
            resolved = cache.get(address)
            if resolved is None:
                if "#" in address:  # a place in a file leads where the file does: resolved once for all its places
                    address = address.partition("#")[0]
                    address = address if not address or SIMPLE.match(address) else link.address
                    resolved = cache.get(address)
                if resolved is None:
                    try:
                        resolved = resolve(self.index, found.folder, address)
                    except ValueError as error:
                        resolved = ("off", str(error), None, False)
                cache[address] = cache[link.address] = resolved
            kind, target, spelled, climbed = resolved
            if linked == "base":
                based = True
                if kind == "file" and spelled is not None:
                    found.folder = spelled if link.address.rstrip().endswith(("/", "\\")) or not spelled else (
                        spelled.rsplit("/", 1)[0] if "/" in spelled else "")
                    self.resolved = (found.folder, {})
                    cache = self.resolved[1]
                    continue
                if kind not in ("off", "web", "mail"):
                    continue
                kind, target = "off", "the page's <base href> names %s, so every link after it leaves the disc" % (
                    "the web" if kind == "web" else target)
            if kind == "file" and target in self.folders:
                kind = "folder"
            if not linked and "#" in link.address and (kind == "file" and target or kind == "none" and not based
                                                       and same_page(link.address)):
                if (target or rel) != rel or ids is None:
                    anchors.append(anchor(target or rel, link.line, link.column, link.address))
                else:
                    here = places(ids) if here is None else here
                    if not scrolls_to(fragment(link.address), here):
                        anchors.append(anchor(rel, link.line, link.column, link.address))
            elif not told(self.every, kind, target) and kind == "file" and target and not linked:
                counts["file"] += 1  # most links: to a file that is there, with nothing more to tell
                continue
            loads = kind == "web" and linked in ("load", "sheet")
            if kind == "file" and target and linked == "sheet":
                found.sheets.append((target, encoding))
            broken = kind in ("off", "folder") or (kind == "file" and target is None)
            every = told(self.every, kind, target)
            if every or broken or loads:
                f = Followed(rel, link.line, link.address, kind, target, spelled, encoding, how, climbed, linked_by,
                             link.column)
                if every:
                    found.every.append(f)
                if loads:
                    found.loads.append(f)
                if broken:
                    found.broken.append(f)
                    continue
            counts[kind] += 1
        found.anchors = packed(anchors) if anchors else ""
        return found

    def page(self, rel, guess=None):
        """The Page at rel. guess(path, data): the encoding of an undeclared page, as Chromium reads it."""
        data = self.read(os.path.join(self.root, rel))
        xml_page = rel.lower().endswith(XML_PAGES)
        if xml_page:  # read as XML, which knows no <meta charset>
            text, encoding, how = charsets.xml_text(data)
        else:
            text, encoding, how = charsets.sniff(data, self.code_page, guess and (
                lambda d: guess(os.path.join(self.root, rel), d)))
        key, frozen, found = (self.documents.document(data, encoding, text, xml_page) if self.documents else
                              (None, None, document(text, xml=xml_page)))
        problem = xml_problem(data, text, encoding) if xml_page else None
        if problem:  # a browser shows only what comes before, and fetches only its links
            found.links = [link for link in found.links if link.line < problem[0]]
        links = self.follow(rel, encoding, how, found.links, ids=found.ids)
        code = "\n".join(script for _, script in found.scripts)
        runs = []
        for address in found.script_files:
            try:
                kind, target, _, _ = resolve(self.index, links.folder, address)
            except ValueError:
                continue
            if kind == "file" and target:
                runs.append(target)
        return Page(rel, encoding, how, how.guessed and not data.isascii(), problem, links,
                    bool(BUILDING.search(code)), runs, named_by_script(self.index, code, [links.folder]),
                    [found for line, script in found.scripts for found in server_only(script, line)],
                    (key, frozen) if key else None, found.ids, bool(MAKING.search(code)))

    def sheet(self, rel, environment, linked_by):
        """The Links of a stylesheet read in the encoding of what links it."""
        text, name = charsets.sheet(self.read(os.path.join(self.root, rel)), environment)  # b"" for a folder
        lines = Lines(text)
        links = [Link(lines(at), url, "sheet" if imported else "load", lines.column(at)) for at, url, imported in
                 css_links(text)]
        return self.follow(rel, name, charsets.Source.SHEET if name != environment else charsets.Source.LINKER,
                           links, linked_by)

    def each(self, method, items, pool=None, guess=None):
        """The Page (method "page", items [rel]) or the Links (method
        "sheet", items [(rel, encoding, linked_by)]) of each, in order: read
        by the pool's processes where there is one, and here those that
        need Chromium's guess."""
        def here(item):
            return self.page(item, guess) if method == "page" else self.sheet(*item)
        if pool is None:
            yield from map(here, items)
            return
        chunks = [items[n:n + CHUNK] for n in range(0, len(items), CHUNK)]
        futures = [pool.submit(read_shared, (method, chunk, guess is not None)) for chunk in chunks]
        for done, (chunk, future) in enumerate(zip(chunks, futures)):
            try:
                found = future.result(WAIT)
            except (concurrent.futures.TimeoutError, concurrent.futures.process.BrokenProcessPool) as error:
                for other in futures:
                    other.cancel()
                raise Refusal("reading the medium's files in %d processes stopped (%s) with %d of %d read: check "
                              "again, and if it happens again, report it at %s"
                              % (pool._max_workers, "a process ended before its work did" if isinstance(
                                  error, concurrent.futures.process.BrokenProcessPool) else "none was read within %d s"
                                 % WAIT, done * CHUNK, len(items), BUGS), "reading-stalled") from None
            for item, result in zip(chunk, found):
                yield result if result is not None else here(item)

    def pool(self, files):
        """A pool of processes to read files (how many there are) by, for a
        medium of many where there is more than one processor; else None.
        Forked, at once and with this Reading in them, where this process
        runs no thread that a fork would leave holding its locks (the pool
        starts its own only once its processes are there); else started
        afresh and given this Reading once, for media of many more files."""
        workers = min(os.cpu_count() or 1, 8)
        forked = threading.active_count() == 1
        if files < (FORKED if forked else PARALLEL) or workers < 2:
            return None
        if forked:
            share(self)
            return concurrent.futures.ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("fork"))
        return concurrent.futures.ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("spawn"),
                                                      initializer=share, initargs=(self,))


PARALLEL, CHUNK = 2000, 100  # files from which a medium's are shared out, and how many at a time
FORKED = 400  # files from which they are, where the pool's processes can be forked
KEEP_PAGES = 5000  # pages up to which a medium's documents are kept
WAIT = 300  # seconds a pool's process may take for a chunk: far more than any needs
shared = None  # in a pool's process, the Reading it reads for


def share(reading):
    global shared
    shared = reading


def read_shared(job):
    """In a pool's process: Reading.each's results for a chunk of items,
    None for a page that needs Chromium's guess."""
    method, items, guessing = job
    found = []
    for item in items:
        try:
            found.append(shared.page(item, defer if guessing else None) if method == "page" else shared.sheet(*item))
        except Deferred:
            found.append(None)
    return found


def read_site(root, paths, code_page=None, read=read_file, guess=None, every=None, parallel=False, folders=None,
              progress=None, documents=None, watched=None):
    """The Site of the pages, SVG documents and stylesheets among paths
    (every file and folder on the disc, as disc paths): page by page, then
    each stylesheet in each encoding of what links it (a browser reads one
    without a byte-order mark or @charset so). guess(path, data): the
    encoding of an undeclared page, as Chromium reads it; every(Followed):
    told of every link (or with watched, disc paths, every one into them);
    parallel: pages may be read by other processes; folders: the disc
    paths of its folders, where not every one holds something; progress(pages
    read, of how many): told now and then; documents: the Documents kept."""
    rels = sorted(p for p in paths if p.lower().endswith(PAGES + (".svg",)))
    documents = documents if len(rels) <= KEEP_PAGES else None  # a site's whole would cost more than it saves
    reading, site = Reading(root, paths, code_page, read, every is not None if watched is None else frozenset(
        map(upper, watched)), folders, documents), Site()
    sheets, queued = collections.deque(), {}  # (stylesheet, encoding): the file that first linked it so
    scripts_of = collections.defaultdict(list)  # script file: the folders of the pages that run it
    building = {}  # page: whether its own code builds addresses, and the script files it runs

    def take(rel, links):
        for kind, count in links.counts.items():
            site.counts[kind] += count
        site.broken += links.broken
        site.loads += links.loads
        if links.anchors and rel.lower().endswith(PAGES):  # not an SVG document's, whose fragments are its views
            site.anchors.links.append((rel, links.anchors))
        for f in links.every:
            every(f)
        for sheet in links.sheets:
            if sheet not in queued:
                queued[sheet] = rel
                sheets.append(sheet)

    pool = reading.pool(len(rels)) if parallel else None
    try:
        for done, page in enumerate(reading.each("page", rels, pool, guess), 1):
            if progress and done % 100 == 0:
                progress(done, len(rels))
            if page.kept:
                documents.take(*page.kept)
            if page.rel.lower().endswith(PAGES):
                site.anchors.page(page.rel, page.ids, page.makes)
            if page.guessed:
                site.undeclared.setdefault(page.encoding, []).append(page.rel)
            if page.malformed:
                site.malformed.append((page.rel,) + page.malformed)
            take(page.rel, page.links)
            for target in page.runs:
                scripts_of[target].append(page.links.folder)
            building[page.rel] = (page.builds, page.runs)
            if page.missing:
                site.script_paths[page.rel] = page.missing
            if page.server_only:
                site.server_only[page.rel] = page.server_only
        # Each stylesheet in the encoding of what links it, those that the
        # last ones link next; then each that nothing links (nor what those
        # link), as UTF-8.
        done = set()
        for unlinked in [None] + sorted(p for p in paths if p.lower().endswith(".css")):
            if unlinked is not None and (unlinked, "UTF-8") not in done and not any(
                    (unlinked, encoding) in queued for encoding in charsets.ENCODINGS):
                sheets.append((unlinked, "UTF-8"))
            while sheets:
                wave = [sheet for sheet in dict.fromkeys(sheets) if sheet not in done]
                sheets.clear()
                done.update(wave)
                for (rel, _), links in zip(wave, reading.each("sheet", [sheet + (queued.get(sheet),) for sheet in wave],
                                                               pool)):
                    take(rel, links)
    finally:
        if pool:
            pool.shutdown(wait=False, cancel_futures=True)
    if documents:
        documents.keep()
    read_scripts(site, reading, scripts_of, building)
    return site


def read_scripts(site, reading, scripts_of, building):
    """What the script files that pages run say, into the Site: given each
    (script: the folders of the pages that run it) and each page's
    (whether its own code builds addresses, the script files it runs)."""
    builds = {}
    for script, folders in sorted(scripts_of.items()):
        code = reading.read(os.path.join(reading.root, script)).decode("utf-8", "replace")
        builds[script] = bool(BUILDING.search(code))
        missing = named_by_script(reading.index, code, sorted(set(folders)))
        if missing:
            site.script_paths[script] = missing
        refused = server_only(code)
        if refused:
            site.server_only[script] = refused
    site.scripted = [rel for rel, (own, runs) in building.items() if own or any(builds[s] for s in runs)]
