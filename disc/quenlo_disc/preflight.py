"""A disc image run the way a user meets it, before it is burnt.

The image's own content, read-only, is the CD drive D: of a private Wine
session (wine.Session); its autorun.inf is read as Windows does, and the open
line runs from D:\\ with the disc's own quenlo.exe (a 32-bit one under qemu
emulation). What a user would meet is told line by line, and a picture of
the screen at that moment is saved: the page only when a browser's window
was seen to draw it.
"""
import os
import textwrap
import time
import urllib.parse
from dataclasses import dataclass, field

from . import Refusal, charsets, codepages
from .autorun import check_page, open_line, read_autorun
from .codepages import CODE_PAGES, WESTERN
from .names import find_name
from .pages import spellings
from .wine import browser, create, joliet_label, machine, started_by, read

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


@dataclass
class Outcome:
    """What one PC made of the disc. why: None when the page opened, else why
    not, in the author's terms. picture: the screen's picture, or None.
    not_pictured: None when the picture is of what the user meets, else what
    it shows instead."""
    why: str = None
    picture: str = None
    not_pictured: str = None
    boxes: list = field(default_factory=list)
    said: list = field(default_factory=list)
    code_page: int = WESTERN
    broken: bool = False
    reaches: bool = True

    def meets(self):
        """What a user meets, in a few words: the page, Quenlo's box, or why not."""
        if self.boxes:
            return 'Quenlo\'s box "%s"' % self.boxes[0]["text"].split("\n")[0]
        if self.why is None:
            return "the page shown" if self.not_pictured is None else "the page opened (%s)" % self.not_pictured
        return self.why


def read_disc(folder, code_page=WESTERN):
    """(keys of autorun.inf as a PC of code_page reads it, the exe the open
    line runs, its page), or a Refusal when the disc runs nothing of Quenlo's."""
    name = find_name(folder, "autorun.inf")
    if name is None:
        raise Refusal("the disc has no autorun.inf at its root, so Windows runs nothing from it: "
                      "make the image with quenlo-disc make --start PAGE", "autorun-missing")
    with open(os.path.join(folder, name), "rb") as f:
        keys = read_autorun(f.read(), code_page)
    program, page = open_line(keys)
    exe = find_name(folder, program) or find_name(folder, program + ".exe")
    if exe is None:
        raise Refusal("the open line runs %s, which is not at the disc's root: make the image with quenlo-disc make"
                      % program, "exe-missing")
    return keys, os.path.join(folder, exe), page


def reaching(folder):
    """The code pages (of all Windows PCs) on which the disc's autorun.inf,
    read as such a PC reads it, names a file of the disc that Quenlo's ANSI
    calls reach there."""
    found = []
    for code_page in CODE_PAGES:
        try:
            check_page(read_disc(folder, code_page)[2], folder, "the disc", code_page)
            found.append(code_page)
        except Refusal:
            pass
    return found


def unreachable(code_page, reached):
    """Why a PC of code_page cannot reach the page, or None when it can."""
    if code_page in reached:
        return None
    if not reached:
        return "no PC can reach it: the open line's page is not on the disc"
    return "the disc's autorun.inf is %s" % ("in %d" % reached[0] if len(reached) == 1 else
                                             "for PCs using %s" % ", ".join(map(str, reached)))


def disc_arch(folder):
    """The bitness of the exe that the disc's open line runs ("i686" or
    "x86_64"), looked at before a session is made for it."""
    _, exe, _ = read_disc(folder)
    arch = machine(exe)
    if arch is None:
        raise Refusal("the disc's %s is not a Windows program: make the image with quenlo-disc make"
                      % os.path.basename(exe), "exe-not-windows")
    return arch


def is_image(image):
    if not os.path.exists(image):
        raise Refusal("no file at %s: name the disc image to try" % image, "image-missing")
    if not os.path.isfile(image) or joliet_label(image) is None:
        raise Refusal("%s is not an ISO 9660 image with Joliet names, the disc format Windows reads" % image,
                      "not-an-image")


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
    for spelled, actual in sorted(spellings(folder, paths).items()):
        here, parts, real = view, spelled.split("/"), actual.split("/")
        for n, (part, own) in enumerate(zip(parts, real)):
            if part != own and not os.path.lexists(os.path.join(here, part)):
                os.symlink(own, os.path.join(here, part))
            here = os.path.join(here, own)
    return view


def course_of(started, page):
    if not started:
        return "none: nothing was started"
    if started.endswith('  "%s"' % page) or started.endswith("  " + page) or " file:///" in started:
        return 'fallback (Quenlo started the ".htm" handler itself)'
    return 'shell (the shell\'s "open" verb)'


def wait_for(path, seconds):
    deadline = time.time() + seconds
    while not os.path.exists(path) and time.time() < deadline:
        time.sleep(0.05)
    return os.path.exists(path)


def shows(address, page):
    """True when a browser handed address opens the file page: a file:// URL
    or a plain path that leads to it, the fragment and query not counted."""
    if page is None:
        return False
    if "://" in address:
        parts = urllib.parse.urlsplit(address)
        if parts.scheme != "file":
            return False
        address = urllib.parse.unquote(parts.path)
    return os.path.realpath(address) == os.path.realpath(page)


def picture_of_page(session, browsed, shot, slow):
    """Takes the picture of the page in the browser the script in browsed
    started; None when it is of the page, else what it shows instead."""
    seen, why = session.browser_window(browsed, 60 if slow else 30)
    if seen:
        deadline = time.time() + 10
        while not session.drawn() and time.time() < deadline:
            time.sleep(0.2)
        time.sleep(0.3)  # the last of the drawing
        why = None if session.drawn() else "the browser's window stayed blank"
    if not session.picture(shot):
        return "no picture could be taken"
    return "no picture of the page: %s" % why if why else None


def try_disc(session, image, folder, shot, broken=False, say=print, code_page=WESTERN, reached=None, view=None):
    """Runs the disc image, whose content session presented in folder, on a
    PC of code_page, and returns its Outcome. reached and view, where known
    already: the code pages that reach the page (reaching(folder)) and the
    view of the disc for the picture (shown_as_windows_reads())."""
    reached = reaching(folder) if reached is None else reached
    outcome = Outcome(said=[], code_page=code_page, broken=broken, reaches=code_page in reached)

    def tell(line):
        outcome.said.append(line)
        say(line)

    browsed = session.use_browser(view or shown_as_windows_reads(session, folder))
    pc = codepages.environment(code_page)
    slow = session.arch == "i686"
    try:
        keys, _, page = read_disc(folder, code_page)
        try:
            on_disc = os.path.join(folder, *check_page(page, folder, "the disc", code_page).split("\\"))
            finding = None
        except Refusal as refusal:
            on_disc, finding = None, str(refusal)
        if on_disc and os.path.isfile(on_disc):
            with open(on_disc, "rb") as f:
                create(os.path.join(browsed, "charset"), charsets.sniff(f.read(), code_page)[1])
        if finding and reached:
            finding = ("this PC uses %d; the disc's open line names its page on PCs using %s: try --code-page %d"
                       % (code_page, ", ".join(map(str, reached)), reached[0]))
        label, shown = joliet_label(image), keys.get("label")
        tell("PC: one using %s%s" % (codepages.described(code_page), ", with no browser registered" if broken else ""))
        tell("Label: %s" % (label or "(none)"))
        if shown and shown != label:
            tell('Explorer shows the disc as "%s" (the label of autorun.inf)' % shown)
        tell("Open line: %s" % keys["open"])
        if finding:
            tell("The check of quenlo-disc says: %s" % finding)
        session.map_cdrom(folder)
        if broken:
            session.remove_html_association()
        trace = os.path.join(browsed, "trace.txt")

        def on_box(box):
            outcome.picture = shot if session.picture(shot) else None

        report = session.drive(keys["open"], "D:\\", env=pc, trace=trace, on_box=on_box)
        outcome.boxes = report.boxes
        started = started_by(trace)
        handed = not report.boxes and wait_for(os.path.join(browsed, "page.txt"), 60 if slow else 20)
        address, status = (read(os.path.join(browsed, "page.txt")).splitlines() + ["", ""])[:2]
        rendered = read(os.path.join(browsed, "rendered.txt"), "utf-8").strip("\n")
        opened = handed and shows(address, on_disc) and status == "0" and rendered
        if handed:
            outcome.not_pictured = picture_of_page(session, browsed, shot, slow)
            outcome.picture = shot if os.path.exists(shot) else None
        elif not report.boxes:
            outcome.picture = shot if session.picture(shot) else None
            outcome.not_pictured = "no picture of the page: no browser was given it"

        tell("Quenlo exited with status %s" % ("unknown" if report.status is None else report.status))
        tell("Course: %s" % course_of(started, page))
        tell("Started: %s" % (started or "nothing"))
        for box in report.boxes:
            tell("Message box: %s: %s" % (box["caption"], box["text"].split("\n")[0]))
        if handed:
            tell("The browser was handed: %s" % urllib.parse.unquote(address))
        tell("Picture: %s%s" % (shot if outcome.picture else "none could be taken",
                                " (%s)" % outcome.not_pictured if outcome.picture and outcome.not_pictured else ""))
        if handed:
            tell("The page as the text browser rendered it (first lines):\n----")
            tell("\n".join(rendered.splitlines()[:8]))
            tell("----")
        outcome.why = None if opened else why_not(report, handed, address, status, rendered, page, on_disc, finding)
        return outcome
    finally:
        session.stop_browser(browsed)


def why_not(report, handed, address, status, rendered, page, on_disc, finding):
    if handed and not shows(address, on_disc):
        what = ("the open line's page, %s, is not on the disc" % page if on_disc is None
                else "not the disc's page D:\\%s" % page)
        return 'the browser was handed "%s", %s' % (urllib.parse.unquote(address), what)
    if handed:
        return 'the browser could not show the page: %s' % (rendered.splitlines() or ["it rendered nothing"])[0]
    if report.timed_out or report.status is None:
        return "Quenlo did not run to its end: %s" % report.raw.strip()
    if report.boxes:
        box = report.boxes[0]
        text = box["caption"] if box["caption"] == "About Quenlo" else box["text"]
        why = 'Quenlo said "%s": %s' % (text, MEANING.get(text, "see the picture"))
    else:
        why = "Quenlo said nothing, but no browser was given the page"
    return why + ("; the check says: %s" % finding if finding else "")


def matrix(session, image, folder, sheet, say=print, begin=None):
    """Tries the disc image that session presented in folder on each kind of PC of
    MATRIX, and one without a browser using the disc's own code page; says
    what a user meets on each as it goes, in a table, and makes a contact
    sheet of the screens at sheet. With begin, each row's kind of PC goes
    to begin before it is tried, and say gets the rest of the row. Returns
    (rows, None when every PC that can reach the page showed it, else which
    did not)."""
    reached, view = reaching(folder), shown_as_windows_reads(session, folder)
    own = next((cp for cp in MATRIX if cp in reached), reached[0] if reached else WESTERN)
    kinds = [(cp, False) for cp in MATRIX] + ([(own, False)] if own not in MATRIX else []) + [(own, True)]
    width = max(len(kind_of(cp, broken)) for cp, broken in kinds) + 2
    say("%-*s%s" % (width, "PC", "What a user meets"))
    rows = []
    for code_page, broken in kinds:
        kind = "%-*s" % (width, kind_of(code_page, broken))
        if begin:
            begin(kind)
        shot = os.path.join(session.folder("matrix-"), "screen.png")
        outcome = try_disc(session, image, folder, shot, broken, lambda line: None, code_page, reached, view)
        cannot = unreachable(code_page, reached)
        met = outcome.meets() + ("; cannot reach it: %s" % cannot if cannot and not broken else "")
        missed = not broken and not cannot and outcome.why is not None
        rows.append((kind_of(code_page, broken), met, outcome, missed))
        say("%s%s%s" % ("" if begin else kind, met, "  <- missed" if missed else ""))
    # Captions in full, a thumbnail wide a line (montage reads \n in a label).
    made = session.contact_sheet([("\\n".join([kind] + textwrap.wrap(met, 50)), outcome.picture)
                                  for kind, met, outcome, _ in rows], sheet)
    say("Contact sheet: %s" % (sheet if made else "none could be made"))
    missed = [kind for kind, _, _, miss in rows if miss]
    if not reached:
        return rows, "no kind of PC can reach the page: %s" % next(
            (line.split(": ", 1)[1] for line in rows[0][2].said if line.startswith("The check of")), "see the table")
    if missed:
        return rows, "the page was not shown on %s, though those PCs reach it" % ", ".join(missed)
    return rows, None


def kind_of(code_page, broken):
    return "%s (%d)%s" % (CODE_PAGES[code_page][0], code_page, ", no browser" if broken else "")
