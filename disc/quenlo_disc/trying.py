"""A disc image run the way a user meets it, before it is burnt.

The image's own content, read-only, is the CD drive D: of a private Wine
session; its autorun.inf is read as Windows does, and the open line runs from
D:\\ with the disc's own quenlo.exe. What a user would meet on each kind of
PC is a Row: told line by line as it happens, with a picture of the screen
at that moment, which counts as the page's only when a browser's window was
seen to draw it.
"""
import os
import textwrap
import time
import urllib.parse
from dataclasses import dataclass, field

from . import Refusal, Unavailable, autorun, charsets, sandbox
from .autorun import check_page, keys_and_exe
from .boxfiles import read
from .browser import Bridge, installed
from .codepages import CODE_PAGES, WESTERN, described
from .driver import drive, started_by
from .host import environment
from .iso import volume_label
from .names import pick
from .pages import spellings
from .screen import contact_sheet, drawn, picture
from .session import present
from .tools import visible as v

MISSING = "The specified file does not exist."
FAILED = "Failed to launch specified file."
MEANING = {
    MISSING: "nothing on the disc has the name that the open line gives",
    FAILED: "Windows could not open the page, and this PC has no usable browser registered for \".htm\"",
    "About Quenlo": "the open line gives Quenlo no page",
}
# The kinds of PC a matrix tries: one for each of these code pages with a
# browser, and one without.
MATRIX = [1252, 1250, 1251, 1253, 932, 936, 949, 950]
TRACE = 16 << 20  # of Wine's process trace, as much as is read
# How a program ends when Wine could not load it: the machine's doing, never the disc's.
NOT_LOADED = {0xC0000135: "a DLL it needs was not found", 0xC0000018: "its memory could not be laid out",
              0xC000007B: "Wine cannot run programs of its kind here", 0xC0000142: "a DLL it needs could not start"}
LOADING = 30  # seconds a page on a disc may take to load
# Seconds the browser may take to be handed the page, and to show its window,
# once Quenlo has ended: waited for in full only where nothing comes, so
# generous enough for a machine busy with much else (twice, under emulation).
HANDING, SHOWING = 60, 60


@dataclass(frozen=True)
class PC:
    """A kind of PC: the ANSI code page it uses, and whether a browser is
    registered on it."""
    code_page: int = WESTERN
    browser: bool = True

    def kind(self):
        return "%s (%d)%s" % (CODE_PAGES[self.code_page][0], self.code_page, "" if self.browser else ", no browser")


class Quiet:
    """Progress that nobody hears: say(line) each line of a try as it
    happens; start(pcs) a matrix's kinds of PC, begin(pc) each row before it
    is tried, done(row) after."""

    def say(self, line):
        pass

    def start(self, pcs):
        pass

    def begin(self, pc):
        pass

    def done(self, row):
        pass


@dataclass
class Row:
    """What one kind of PC made of the disc. why: None when the page opened,
    else why not, in the author's terms. picture: the screen's picture, or
    None. not_pictured: None when the picture is of what the user meets,
    else what it shows instead. finding: why the open line's page is not
    reached on this PC, as the check says it. cannot: where the disc is not
    for this PC, why it cannot reach the page. missed: the page was not
    shown on a PC that should have shown it."""
    pc: PC
    reaches: bool = True
    why: str = None
    picture: str = None
    not_pictured: str = None
    boxes: list = field(default_factory=list)
    said: list = field(default_factory=list)
    finding: str = None
    cannot: str = None
    missed: bool = False

    def meets(self):
        """What a user meets, in a few words: the page, Quenlo's box, or why not."""
        if self.boxes:
            return 'Quenlo\'s box "%s"' % v(self.boxes[0]["text"].split("\n")[0])
        if self.why is None:
            return "the page shown" if self.not_pictured is None else "the page opened (%s)" % self.not_pictured
        return self.why

    def met(self):
        return self.meets() + ("; cannot reach it: %s" % self.cannot if self.cannot else "")

    def as_json(self):
        return {"pc": self.pc.kind(), "code_page": self.pc.code_page, "browser": self.pc.browser, "meets": self.met(),
                "shown": self.why is None, "reaches": self.reaches, "why": self.why, "picture": self.picture,
                "picture_shows_page": self.picture is not None and self.not_pictured is None and self.why is None
                and not self.boxes, "not_pictured": self.not_pictured, "boxes": [b["text"] for b in self.boxes],
                "missed": self.missed}


# ---------------------------------------------------------------- the disc

def read_disc(folder, code_page=WESTERN):
    """(keys, the exe the open line runs, its page) of a disc presented in folder."""
    keys, exe, page = keys_and_exe(os.listdir(folder), lambda name: read(os.path.join(folder, name), None, 1 << 20),
                                   code_page)
    return keys, os.path.join(folder, exe), page


def disc_arch(image, sandboxed=True):
    """The bitness of the exe that the image's open line runs ("i686" or
    "x86_64"), read from the image before a session is made for it: by the
    tools' reader, in a bounded sandbox of its own."""
    return sandbox.read_image(["--arch", os.path.realpath(image)], os.path.realpath(image), sandboxed,
                              largest_file=1 << 20, timeout=120)["arch"]


def is_image(image):
    if not os.path.exists(image):
        raise Refusal("no file at %s: name the disc image to try" % image, "image-missing")
    if not os.path.isfile(image) or volume_label(image) is None:
        raise Refusal("%s is not an ISO 9660 image with Joliet names, the disc format Windows reads" % image,
                      "not-an-image")


def reaching(folder):
    """The code pages on which the disc presented in folder reaches its page."""
    name = pick(os.listdir(folder), "autorun.inf")
    return autorun.reaching(read(os.path.join(folder, name), None, 1 << 20), folder) if name else []


def unreachable(code_page, reached):
    """Why a PC of code_page cannot reach the page, or None when it can."""
    if code_page in reached:
        return None
    if not reached:
        return "no PC can reach it: the open line's page is not on the disc"
    return "the disc's autorun.inf is %s" % ("in %d" % reached[0] if len(reached) == 1 else
                                             "for PCs using %s" % ", ".join(map(str, reached)))


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
    on which its page is reached, and the view of it for the picture."""
    image: str
    folder: str
    reached: list
    view: str

    @classmethod
    def present(cls, session, image):
        folder = present(session, image)
        return cls(os.path.abspath(image), folder, reaching(folder), shown_as_windows_reads(session, folder))


# ---------------------------------------------------------------- one PC

def course_of(started, page):
    if not started:
        return "none: nothing was started"
    if started.endswith('  "%s"' % page) or started.endswith("  " + page) or " file:///" in started:
        return 'fallback (Quenlo started the ".htm" handler itself)'
    return 'shell (the shell\'s "open" verb)'


def shows(resolved, page):
    """True when the file that the browser's address leads to (resolved in
    the sandbox) is page."""
    return bool(page and resolved) and resolved == os.path.realpath(page)


def picture_of_page(session, bridge, shot, slow):
    """Takes the picture of the page in the browser the bridge started; None
    when it is of the page, else what it shows instead."""
    seen, why = bridge.window(SHOWING * (2 if slow else 1))
    if seen and bridge.loaded(LOADING) is None:
        seen, why = False, "the page had not finished loading within %d s" % LOADING
    if seen:
        deadline = time.time() + 10
        while not drawn(session) and time.time() < deadline:
            time.sleep(0.2)
        time.sleep(0.3)  # the last of the drawing
        why = None if drawn(session) else "the browser's window stayed blank"
    if not picture(session, shot):
        return "no picture could be taken"
    return "no picture of the page: %s" % why if why else None


def try_disc(session, disc, shot, pc=PC(), progress=Quiet(), browser=installed):
    """Runs the presented disc on a kind of PC and returns its Row; browser()
    gives the graphical browser the PC shows pages in."""
    row = Row(pc, reaches=pc.code_page in disc.reached, said=[])

    def tell(line):
        row.said.append(line)
        progress.say(line)

    bridge = Bridge.install(session, browser(), disc.view)
    env = environment(pc.code_page)
    slow = session.emulation.emulated
    folder = disc.folder
    try:
        keys, _, page = read_disc(folder, pc.code_page)
        try:
            on_disc = os.path.join(folder, *check_page(page, folder, "the disc", pc.code_page).split("\\"))
        except Refusal as refusal:
            on_disc, row.finding = None, str(refusal)
        if on_disc and os.path.isfile(on_disc):
            bridge.read_in(charsets.sniff(read(on_disc, None), pc.code_page)[1])
        finding = row.finding
        if finding and disc.reached:
            finding = ("this PC uses %d; the disc's open line names its page on PCs using %s: try --code-page %d"
                       % (pc.code_page, ", ".join(map(str, disc.reached)), disc.reached[0]))
        label, shown = volume_label(disc.image), keys.get("label")
        tell("PC: one using %s%s" % (described(pc.code_page), "" if pc.browser else ", with no browser registered"))
        tell("Label: %s" % (v(label) or "(none)"))
        if shown and shown != label:
            tell('Explorer shows the disc as "%s" (the label of autorun.inf)' % v(shown))
        tell("Open line: %s" % v(keys["open"]))
        if finding:
            tell("The check of quenlo-disc says: %s" % v(finding))
        session.map_cdrom(folder)
        if not pc.browser:
            session.registry.remove_browser()
        trace = os.path.join(bridge.folder, "trace.txt")

        def on_box(box):
            row.picture = shot if picture(session, shot) else None

        report = drive(session, keys["open"], "D:\\", env=env, trace=trace, on_box=on_box)
        row.boxes = report.boxes
        started = started_by(session.fetch(trace, TRACE).decode("latin-1"))
        failed = not_loaded(report.status) if not report.boxes and not started else None
        if failed:
            raise Unavailable(failed)
        # A PC with no browser has nothing to hand a page to: whatever appears
        # in the bridge's folder there is the disc's own doing.
        handed = pc.browser and not report.boxes and bridge.handed(HANDING * (2 if slow else 1))
        address, status, resolved = bridge.page()
        rendered = bridge.rendered()
        opened = handed and shows(resolved, on_disc) and status == "0" and rendered
        if handed:
            row.not_pictured = picture_of_page(session, bridge, shot, slow)
            row.picture = shot if os.path.exists(shot) else None
        elif not report.boxes:
            row.picture = shot if picture(session, shot) else None
            row.not_pictured = "no picture of the page: no browser was given it"

        tell("Quenlo exited with status %s" % ("unknown" if report.status is None else report.status))
        tell("Course: %s" % course_of(started, page))
        tell("Started: %s" % (v(started) or "nothing"))
        for box in report.boxes:
            tell("Message box: %s: %s" % (v(box["caption"]), v(box["text"].split("\n")[0])))
        if handed:
            tell("The browser was handed: %s" % v(urllib.parse.unquote(address)))
        tell("Picture: %s%s" % (shot if row.picture else "none could be taken",
                                " (%s)" % row.not_pictured if row.picture and row.not_pictured else ""))
        if handed:
            tell("The page as the text browser rendered it (first lines):\n----")
            tell("\n".join(v(line) for line in rendered.splitlines()[:8]))
            tell("----")
        row.why = None if opened else why_not(report, handed, address, resolved, rendered, page, on_disc, finding)
        if row.why is None and row.picture is None:
            row.why = "no picture of the screen could be taken, so nothing shows the page"
        row.missed = row.why is not None
        return row
    finally:
        bridge.stop()
        if not pc.browser:
            session.registry.restore_browser()


def not_loaded(status):
    """What a program's exit status says where Wine could not load it (a
    prefix without its 32-bit half, say), with the mend; None for any other."""
    if status is None or status < 0xC0000000:
        return None
    return ("Wine could not start the disc's quenlo.exe (status 0x%08X: %s), which is this machine's doing, not the "
            "disc's: run quenlo-disc try --clear-cache and try again; if it says so again, check that Wine runs "
            "32-bit programs for you (wine32:i386, and qemu-user where the kernel runs none)"
            % (status, NOT_LOADED.get(status, "an error of Wine's")))


def why_not(report, handed, address, resolved, rendered, page, on_disc, finding):
    if handed and not shows(resolved, on_disc):
        what = ("the open line's page, %s, is not on the disc" % v(page) if on_disc is None
                else "not the disc's page D:\\%s" % v(page))
        return 'the browser was handed "%s", %s' % (v(urllib.parse.unquote(address)), what)
    if handed:
        return 'the browser could not show the page: %s' % v((rendered.splitlines() or ["it rendered nothing"])[0])
    if report.timed_out or report.status is None:
        return "Quenlo did not run to its end: %s" % v(report.raw.strip())
    if report.boxes:
        box = report.boxes[0]
        text = box["caption"] if box["caption"] == "About Quenlo" else box["text"]
        why = 'Quenlo said "%s": %s' % (v(text), MEANING.get(text, "see the picture"))
    else:
        why = "Quenlo said nothing, but no browser was given the page"
    return why + ("; the check says: %s" % v(finding) if finding else "")


# ---------------------------------------------------------------- many PCs

def matrix_pcs(reached):
    """The kinds of PC a matrix tries: MATRIX's, the disc's own code page
    where it is none of those, and one without a browser in the disc's own."""
    own = next((cp for cp in MATRIX if cp in reached), reached[0] if reached else WESTERN)
    return [PC(cp) for cp in MATRIX] + ([PC(own)] if own not in MATRIX else []) + [PC(own, False)]


def matrix(session, disc, sheet, pictures, progress=Quiet(), browser=installed):
    """Tries the presented disc on each kind of PC of matrix_pcs(), with a
    picture of each in the folder pictures, and makes a contact sheet of
    them at sheet. Returns (rows, whether the sheet was made, None when
    every PC that can reach the page showed it, else which did not)."""
    rows, pcs = [], matrix_pcs(disc.reached)
    progress.start(pcs)
    for pc in pcs:
        progress.begin(pc)
        shot = os.path.join(pictures, "%d%s.png" % (pc.code_page, "" if pc.browser else "-no-browser"))
        row = try_disc(session, disc, shot, pc, browser=browser)
        session.sweep()  # nothing the disc started in one PC's row speaks in the next
        row.cannot = unreachable(pc.code_page, disc.reached) if pc.browser else None
        row.missed = pc.browser and not row.cannot and row.why is not None
        rows.append(row)
        progress.done(row)
    # Captions in full, a thumbnail wide a line (montage reads \n in a label).
    made = contact_sheet(session, [("\\n".join([row.pc.kind()] + textwrap.wrap(row.met(), 50)), row.picture)
                                   for row in rows], sheet)
    if not disc.reached:
        return rows, made, "no kind of PC can reach the page: %s" % (rows[0].finding or "see the table")
    missed = [row.pc.kind() for row in rows if row.missed]
    if missed:
        return rows, made, "the page was not shown on %s, though those PCs reach it" % ", ".join(missed)
    return rows, made, None
