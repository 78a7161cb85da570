"""A disc image run the way a user meets it, before it is burnt:
try_image() does all of a try and returns what it found, Tried, telling a
Listener as it goes; where it cannot go on, the Refusal it raises carries
the Tried as far as it got.

The image's own content, read-only, is the CD drive D: of a private Wine
session; its autorun.inf is read as Windows does, and the open line runs from
D:\\ with the disc's own quenlo.exe, on one kind of PC or on many
(onepc.py tries each).
"""
import os
import stat
import textwrap
from dataclasses import dataclass, field

from . import Refusal, Unavailable, autorun, driver_exe, installed, sandbox
from .autorun import double_clicked
from .boxfiles import read
from .browser import graphical
from .codepages import CODE_PAGES, WESTERN
from .fat import is_stick
from .host import Emulation, emulation_for, made_cache
from .iso import fitting, sha256, volume_label
from .names import pick
from .pages import read_site
from .onepc import PC, read_disc, try_disc
from .screen import contact_sheet
from .session import Session, present
from .views import udf_revision

# The kinds of PC a matrix tries: one for each of these code pages with a
# browser, and one without.
MATRIX = [1252, 1250, 1251, 1253, 932, 936, 949, 950]


# ---------------------------------------------------------------- the disc

def kind_of(image, kept=sandbox.Walled()):
    """{"arch": the bitness of the exe that the image's open line runs
    ("i686" or "x86_64"; of a stick's, none runs), "stick": whether it is a
    stick's image, "label": its volume label}, read from the image before
    a session is made for it: by the tools' reader, as the try's
    confinement (kept) reads an image, in a bounded sandbox of its own."""
    return kept.read_image(["--arch", os.path.realpath(image)], os.path.realpath(image), largest_file=1 << 20,
                           timeout=120)


def is_image(image):
    """Refuses what is no image Windows reads: an ISO 9660 image (with
    Joliet or without, as any maker writes it), a UDF one, or a stick's, in
    a file or on a drive."""
    if not os.path.exists(image):
        raise Refusal("no file at %s: name the disc image to try" % image, "image-missing")
    drive = stat.S_ISBLK(os.stat(image).st_mode)
    if not (os.path.isfile(image) or drive) or (volume_label(image) is None and not is_stick(image)
                                                 and not udf_revision(image)):
        raise Refusal("%s is neither an ISO 9660 or UDF image, the disc formats Windows reads, nor a stick's image "
                      "(a partition table and a FAT volume)" % image, "not-an-image")


def stick_start(folder):
    """The page a stick's user double-clicks (autorun.double_clicked), of
    the stick presented in folder; None where none leads to its page."""
    try:  # a stick's autorun.inf may well give only its label and icon
        page = read_disc(folder)[2] if pick(os.listdir(folder), "autorun.inf") else None
    except Refusal:
        page = None
    roots = sorted(n for n in os.listdir(folder) if n.lower().endswith((".htm", ".html"))
                   and os.path.isfile(os.path.join(folder, n)))
    links = []
    if page and "\\" in page:  # which root page leads there: what its links lead to
        paths = [os.path.relpath(os.path.join(top, n), folder).replace(os.sep, "/")
                 for top, dirs, files in os.walk(folder) for n in dirs + files]
        read_site(folder, paths, every=lambda f: links.append((f.rel, f.target)) if (
            "/" not in f.rel and f.kind == "file") else None)
    return double_clicked(page, roots, links)


def unreachable(code_page, reached):
    """Why a PC of code_page cannot reach the page, or None when it can."""
    if code_page in reached:
        return None
    if not reached:
        return "no PC can reach it: the open line's page is not on the disc"
    return "the disc's autorun.inf is %s" % ("in %d" % reached[0] if len(reached) == 1 else
                                             "for PCs using %s" % ", ".join(map(str, reached)))


def spellings(root, paths, read):
    """{spelling: disc path} for each link that names a file of the disc in
    other letters' case than the disc does (Windows finds it; Linux would not)."""
    every = []
    read_site(root, paths, read=read, every=every.append)
    return {f.spelled: f.target for f in every if f.kind == "file" and f.target and f.spelled != f.target}


def shown_as_windows_reads(session, folder):
    """A view of the disc for the picture's browser, which reads it on Linux:
    the disc's files, and beside them each spelling by which its pages link
    to one in other letters' case, as Windows would find it."""
    view = session.folder("shown-", discs=True)
    paths = []
    for top, dirs, files in os.walk(folder):
        rel = os.path.relpath(top, folder)
        for name in dirs:
            os.mkdir(os.path.join(view, rel, name))
        for name in dirs + files:
            paths.append(os.path.normpath(os.path.join(rel, name)).replace(os.sep, "/"))
        for name in files:
            os.symlink(os.path.join(top, name), os.path.join(view, rel, name))
    for spelled, actual in sorted(spellings(folder, paths, read=lambda path: read(path, None)).items()):
        here, parts, real = view, spelled.split("/"), actual.split("/")
        for part, own in zip(parts, real):
            if part != own and not os.path.lexists(os.path.join(here, part)):
                os.symlink(own, os.path.join(here, part))
            here = os.path.join(here, own)
    return view


@dataclass
class Disc:
    """An image presented in a session: its content in folder, the code pages
    on which its page is reached, and the view of it for the picture; for
    a stick's, its label and the page its user double-clicks; autorun: the
    bytes of its autorun.inf (None: it has none), read once for every PC."""
    image: str
    folder: str
    reached: list
    view: str
    stick: bool = False
    label: str = None
    start: str = None
    autorun: bytes = None

    @classmethod
    def present(cls, session, image, kind=None):
        """The image presented in session; kind: kind_of(image), where the
        caller has it already."""
        kind = kind or kind_of(image, session.confinement)
        folder = present(session, image)
        view = shown_as_windows_reads(session, folder)
        name = pick(os.listdir(folder), "autorun.inf")
        data = read(os.path.join(folder, name), None, 1 << 20) if name else None
        if kind["stick"]:  # long names: a double-click reaches the page on every PC
            return cls(os.path.abspath(image), folder, list(CODE_PAGES), view, True, kind["label"],
                       stick_start(folder), data)
        return cls(os.path.abspath(image), folder, autorun.reaching(data, folder) if name else [], view,
                   label=kind["label"], autorun=data)


# ---------------------------------------------------------------- many PCs

def matrix_pcs(reached):
    """The kinds of PC a matrix tries: MATRIX's, the disc's own code page
    where it is none of those, and one without a browser in the disc's own."""
    own = next((cp for cp in MATRIX if cp in reached), reached[0] if reached else WESTERN)
    return [PC(cp) for cp in MATRIX] + ([PC(own)] if own not in MATRIX else []) + [PC(own, False)]


class Listener:
    """What hears a try as it goes, method by method; each does nothing
    here, so a caller overrides those it cares for (report.Progress tells
    the author). disc(tried): the try begins, as far as it is known;
    stick(tried): the image is a stick's; emulation(tried): how a 32-bit
    exe runs here; preparing(line): what is made once for every try (the
    prefix, the locales); start(pcs): a matrix's kinds of PC; begin(pc):
    a row, before it is tried; say(line): each line of a row as it
    happens; done(row): a row, once tried; sheet(tried): the matrix's
    contact sheet, once made."""

    def disc(self, tried):
        pass

    def stick(self, tried):
        pass

    def emulation(self, tried):
        pass

    def preparing(self, line):
        pass

    def start(self, pcs):
        pass

    def begin(self, pc):
        pass

    def say(self, line):
        pass

    def done(self, row):
        pass

    def sheet(self, tried):
        pass


def matrix_of(session, disc, sheet, pictures, progress=Listener(), browser=graphical):
    """Tries the presented disc on each kind of PC of matrix_pcs(), with a
    picture of each in the folder pictures, and makes a contact sheet of
    them at sheet. Returns (rows, whether the sheet was made, None when
    every PC that can reach the page showed it, else which did not)."""
    rows, pcs = [], matrix_pcs(disc.reached)
    progress.start(pcs)
    for pc in pcs:
        progress.begin(pc)
        shot = os.path.join(pictures, "%d%s.png" % (pc.code_page, "" if pc.browser else "-no-browser"))
        row = try_disc(session, disc, shot, pc, browser=browser)  # a table's row: its lines unsaid
        session.sweep()  # nothing the disc started in one PC's row speaks in the next
        row.cannot = unreachable(pc.code_page, disc.reached) if pc.browser else None
        row.missed = pc.browser and not row.cannot and row.why is not None
        rows.append(row)
        progress.done(row)
    # Captions in full, a thumbnail wide a line (montage reads \n in a label).
    made = contact_sheet([("\\n".join([row.pc.kind()] + textwrap.wrap(row.met(), 50)), row.picture)
                          for row in rows], sheet, session.confinement)
    if not disc.reached:
        return rows, made, "no kind of PC can reach the page: %s" % (rows[0].finding or "see the table")
    missed = [row.pc.kind() for row in rows if row.missed]
    if missed:
        return rows, made, "the page was not shown on %s, though those PCs reach it" % ", ".join(missed)
    return rows, made, None


# ---------------------------------------------------------------- a try

@dataclass
class Tried:
    """What a try found, as far as it got. image: its path; name: as the
    user gave it; memory: how the sandbox bounds memory, in words (None
    without one); emulation: how the disc's 32-bit exe runs here (None for a
    64-bit disc), entry: binfmt_misc's entry where the machine's qemu runs
    it; stick: the image is a stick's; keys, size, medium, sha256, label:
    of the disc, once it is read;
    rows: each kind of PC's Row; sheet: the matrix's contact sheet where it
    was made; why: None when every PC that reaches the page showed it, else
    why not."""
    image: str
    name: str
    sandboxed: bool = True
    matrix: bool = False
    stick: bool = False
    memory: str = None
    emulation: Emulation = None
    entry: str = None
    keys: dict = None
    size: int = None
    medium: str = None
    sha256: str = None
    label: str = None
    rows: list = field(default_factory=list)
    sheet: str = None
    why: str = None

    @property
    def stem(self):
        return os.path.splitext(self.image)[0]


def try_image(image, *, matrix=False, code_page=WESTERN, browser=True, sandboxed=True, progress=Listener(),
              graphical=graphical, session=Session):
    """Tries the image on a PC of code_page (browser: with a browser
    registered for ".htm"), or with matrix on every kind of PC, each with a
    picture beside the image; progress, a Listener, hears it as it goes.
    session makes the Session to try it in, as Session(arch, driver,
    sandboxed, code_pages, say=, emulation=), which is launched and shut
    down with the try. Returns Tried; raises a Refusal where the image is
    none, Unavailable where this machine cannot try it; whatever ends it
    early (an interruption or a fault too) carries the Tried as far as it
    got, as its tried."""
    tried = Tried(os.path.abspath(image), image, sandboxed, matrix)
    try:
        return tried_in(tried, code_page, browser, progress, graphical, session)
    except BaseException as ended:
        ended.tried = tried
        raise


def tried_in(tried, code_page, browser, progress, graphical, made):
    image, sandboxed, matrix = tried.image, tried.sandboxed, tried.matrix
    is_image(tried.name)
    if not os.path.isfile(driver_exe()):
        raise Unavailable("try needs the package quenlo-disc-try, which is not installed: as root, run apt-get install "
                          "quenlo-disc-try" if installed() else "no driver at %s: build it with: cmake --preset win32 "
                          "&& cmake --build --preset win32" % driver_exe(), "try-missing")
    kept = sandbox.confinement(sandboxed)  # chosen here, once; the session makes its own of the same
    tried.memory = kept.bounds()
    progress.disc(tried)
    made_cache()
    kind = kind_of(image, kept)
    arch, tried.stick = kind["arch"], kind["stick"]
    if tried.stick:
        progress.stick(tried)
    emulation, tried.entry = emulation_for(arch, sandboxed)
    if arch == "i686":
        tried.emulation = emulation
        progress.emulation(tried)
    session = made(arch, driver_exe(), sandboxed, MATRIX if matrix else [code_page], say=progress.preparing,
                   emulation=emulation)
    try:
        session.launch()
    except Unavailable as unavailable:
        raise Unavailable("this machine cannot run the disc's %s exe: %s" % (arch, unavailable)) from None
    try:
        try:
            disc = Disc.present(session, image, kind)
        except Unavailable as unavailable:
            raise Refusal("this machine cannot read the disc: %s" % unavailable, "unavailable") from None
        try:  # what the report says of the disc
            tried.keys = read_disc(disc.folder, data=disc.autorun)[0]
        except Refusal:
            pass
        tried.size = os.path.getsize(image)
        tried.medium, tried.sha256, tried.label = fitting(tried.size, tried.stick), sha256(image), disc.label
        if matrix:
            # Each PC's picture at full size, beside the sheet of them all.
            os.makedirs(tried.stem + ".matrix", exist_ok=True)
            sheet = tried.stem + ".matrix.png"
            tried.rows, made_sheet, tried.why = matrix_of(session, disc, sheet, tried.stem + ".matrix", progress,
                                                          graphical)
            tried.sheet = sheet if made_sheet and os.path.exists(sheet) else None
            progress.sheet(tried)
        else:
            row = try_disc(session, disc, tried.stem + ".try.png", PC(code_page, browser), progress.say, graphical)
            tried.rows, tried.why = [row], row.why
    finally:
        session.shutdown()
    return tried
