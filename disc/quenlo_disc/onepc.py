"""One row of a try: what one kind of PC makes of a disc presented in a
session. Told line by line as it happens, with a picture of the screen at
that moment, which counts as the page's only when a browser's window was
seen to draw it.
"""
import os
import time
import urllib.parse
from dataclasses import dataclass, field

from . import Refusal, Unavailable, charsets
from .autorun import check_page, keys_and_exe
from .boxfiles import read
from .browser import NOT_TAKEN, Bridge, graphical
from .codepages import CODE_PAGES, WESTERN, described
from .driver import drive, started_by
from .host import environment
from .screen import picture
from .tools import visible as v, wait_until

# The launcher's own words (launcher/messages.h), as its boxes show them.
CAPTION, ABOUT_CAPTION = "Quenlo", "About Quenlo"
JOB_LINE = "Launch HTML document automatically on removable media."
MISSING = "The specified file does not exist."
FAILED = "Failed to launch specified file."
MEANING = {
    MISSING: "nothing on the disc has the name that the open line gives",
    FAILED: "Windows could not open the page, and this PC has no usable browser registered for \".htm\"",
    ABOUT_CAPTION: "the open line gives Quenlo no page",
}
TRACE = 16 << 20  # of Wine's process trace, as much as is read
# How a program ends when Wine could not load it: the machine's doing, never the disc's.
NOT_LOADED = {0xC0000135: "a DLL it needs was not found", 0xC0000018: "its memory could not be laid out",
              0xC000007B: "Wine cannot run programs of its kind here", 0xC0000142: "a DLL it needs could not start"}
LOADING = 30  # seconds a page on a disc may take to load
# Seconds the browser may take to be handed the page, and to show its window,
# once Quenlo has ended: waited for in full only where nothing comes, so
# generous enough for a machine busy with much else (twice, under emulation).
HANDING, SHOWING = 60, 60
# Seconds what the open line started (a program further down that shows a
# box) is watched once the open line's own program has ended.
AFTER = 15


@dataclass(frozen=True)
class PC:
    """A kind of PC: the ANSI code page it uses, and whether a browser is
    registered on it."""
    code_page: int = WESTERN
    browser: bool = True

    def kind(self):
        return "%s (%d)%s" % (CODE_PAGES[self.code_page][0], self.code_page, "" if self.browser else ", no browser")


@dataclass
class Row:
    """What one kind of PC made of the disc. why: None when the page was
    shown (opened, and its picture shows what the browser drew), else why
    not, in the author's terms. picture: the screen's picture, or None.
    not_pictured: None when the picture is of what the user meets, else
    what it shows instead. finding: why the open line's page is not
    reached on this PC, as the check says it. cannot: where the disc is not
    for this PC, why it cannot reach the page. missed: the page was not
    shown on a PC that should have shown it. opened: the browser was
    handed the page and read it, whether or not a picture shows it."""
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
    opened: bool = False

    def meets(self):
        """What a user meets, in a few words: the page, Quenlo's box, or why not."""
        if self.boxes:
            return 'Quenlo\'s box "%s"' % v(self.boxes[0]["text"].split("\n")[0])
        if self.why is None:
            return "the page shown"
        return "the page opened (%s)" % self.not_pictured if self.opened and self.not_pictured else self.why

    def met(self):
        return self.meets() + ("; cannot reach it: %s" % self.cannot if self.cannot else "")

    def as_json(self):
        return {"pc": self.pc.kind(), "code_page": self.pc.code_page, "browser": self.pc.browser, "meets": self.met(),
                "shown": self.why is None, "reaches": self.reaches, "why": self.why, "picture": self.picture,
                "picture_shows_page": self.picture is not None and self.not_pictured is None and self.why is None
                and not self.boxes, "not_pictured": self.not_pictured, "boxes": [b["text"] for b in self.boxes],
                "opened": self.opened, "missed": self.missed}


# ---------------------------------------------------------------- one PC

def read_disc(folder, code_page=WESTERN, data=None):
    """(keys, the exe the open line runs, its page) of a disc presented in
    folder, as a PC of code_page reads them; data: its autorun.inf's bytes,
    where they were read already."""
    keys, exe, page = keys_and_exe(os.listdir(folder), lambda name: read(os.path.join(folder, name), None, 1 << 20)
                                   if data is None else data, code_page)
    return keys, os.path.join(folder, exe), page


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


@dataclass(frozen=True)
class Followed:
    """What the tools learnt themselves of the page Wine's bridge was handed:
    the address as handed, the disc's file it leads to ("" where none), w3m's
    status and text of that file, and what the picture of the browser's
    screen shows instead of the page (None: the page, as Chromium drew it)."""
    address: str
    resolved: str
    status: str
    text: str
    not_pictured: str = None


def followed(bridge, seconds, shot, slow):
    """The handoff followed to its end, with the picture of the page at
    shot: Followed, or None where none came in that time."""
    if not bridge.handed(seconds):
        return None
    address, status, resolved = bridge.page()
    return Followed(address, resolved, status, bridge.rendered(), picture_of_page(bridge, shot, slow))


def opened(came, on_disc):
    """Whether the page handed over (came, a Followed) is the page to open, read as a page."""
    return bool(came and shows(came.resolved, on_disc) and came.status == "0" and came.text)


def picture_of_page(bridge, shot, slow):
    """Takes the picture of the page in the browser the bridge started; None
    when it is of the page, else what it shows instead."""
    seen, why = bridge.window(SHOWING * (2 if slow else 1))
    if seen and bridge.loaded(LOADING) is None:
        seen, why = False, "the page had not finished loading within %d s" % LOADING
    if seen:
        wait_until(bridge.drawn, 10, 0.2)
        time.sleep(0.3)  # the last of the drawing
        why = None if bridge.drawn() else "the browser's window stayed blank"
    if seen and not why and bridge.strayed():
        why = "the browser went on from the page to %s" % v(urllib.parse.unquote(bridge.strayed()))
    if why:
        return NOT_TAKEN if not bridge.picture(shot) else "no picture of the page: %s" % why
    why = bridge.covered(shot) or (bridge.strayed() and "the browser went on from the page to %s"
                                   % v(urllib.parse.unquote(bridge.strayed())))
    return "no picture of the page: %s" % why if why and why != NOT_TAKEN else why


def page_of(disc, pc):
    """(autorun.inf's keys, its page, where that page is in the disc's
    folder or None, why the check says the page is not reached on this PC
    or None) of the presented disc as pc reads it."""
    folder = disc.folder
    if disc.stick:  # what its user double-clicks, not the open line
        try:
            keys = read_disc(folder, pc.code_page, disc.autorun)[0]
        except Refusal:
            keys = {}
        if disc.start is None:
            return keys, None, None, "the stick has no page at its root to double-click: check it with make --stick"
        return keys, disc.start, os.path.join(folder, disc.start), None
    keys, _, page = read_disc(folder, pc.code_page, disc.autorun)
    try:
        on_disc, finding = os.path.join(folder, *check_page(page, folder, "the disc", pc.code_page).split("\\")), None
    except Refusal as refusal:
        on_disc, finding = None, str(refusal)
    return keys, page, on_disc, finding


def try_disc(session, disc, shot, pc=PC(), say=lambda line: None, browser=graphical):
    """Runs the presented disc on a kind of PC and returns its Row, saying
    each of its lines as it happens; browser() gives the graphical browser
    the PC shows pages in."""
    row = Row(pc, reaches=pc.code_page in disc.reached, said=[])

    def tell(line):
        row.said.append(line)
        say(line)

    bridge = Bridge.install(session, browser(), disc.folder, disc.view, "e:" if disc.stick else "d:")
    slow = session.emulation.emulated
    try:
        keys, page, on_disc, row.finding = page_of(disc, pc)
        if on_disc and os.path.isfile(on_disc):
            bridge.read_in(charsets.sniff(read(on_disc, None), pc.code_page)[1])
        finding = row.finding
        if finding and disc.reached and not disc.stick:
            finding = ("this PC uses %d; the disc's open line names its page on PCs using %s: try --code-page %d"
                       % (pc.code_page, ", ".join(map(str, disc.reached)), disc.reached[0]))
        label, shown = disc.label, keys.get("label")
        tell("PC: one using %s%s" % (described(pc.code_page), "" if pc.browser else ", with no browser registered"))
        tell("Label: %s" % (v(label) or "(none)"))
        if shown and shown != label:
            tell('Explorer shows the %s as "%s" (the label of autorun.inf)' % ("stick" if disc.stick else "disc",
                                                                             v(shown)))
        command, directory = opening(disc, keys, page, tell)
        if finding:
            tell("The check of quenlo-disc says: %s" % v(finding))
        session.map_drive("e:" if disc.stick else "d:", disc.folder)
        if not pc.browser:
            session.registry.remove_browser()
        trace = os.path.join(bridge.folder, "trace.txt")

        def on_box(box):
            row.picture = shot if picture(session, shot) else None

        run = drive(session, command, directory, env=environment(pc.code_page), trace=trace, on_box=on_box,
                    after=AFTER * (2 if slow else 1))
        row.boxes = run.boxes
        started = started_by(session.fetch(trace, TRACE).decode("latin-1"))
        failed = not_loaded(run.status) if not run.boxes and not started else None
        if failed:
            raise Unavailable(failed)
        # A PC with no browser has nothing to hand a page to: whatever appears
        # in the bridge's folder there is the disc's own doing.
        came = pc.browser and not run.boxes and followed(bridge, HANDING * (2 if slow else 1), shot, slow)
        if came:
            row.not_pictured = came.not_pictured
            row.picture = shot if os.path.exists(shot) else None
        elif not run.boxes:
            row.picture = shot if picture(session, shot) else None
            row.not_pictured = "no picture of the page: no browser was given it"
        told(tell, row, run, started, page, came, shot, disc.stick)
        row.opened = opened(came, on_disc)
        row.why = why_not(run, came, page, on_disc, finding, disc.stick, row.picture is not None)
        row.missed = row.why is not None
        return row
    finally:
        bridge.stop()
        if not pc.browser:
            session.registry.restore_browser()


def opening(disc, keys, page, tell):
    """(the command line that opens the page, the folder it runs in) as a
    user opens it: a disc's open line, from D:\\; on a stick, where Windows
    runs none, the shell's "open" of its page, as a double-click in
    Explorer, from E:\\."""
    if not disc.stick:
        tell("Open line: %s" % v(keys["open"]))
        return keys["open"], "D:\\"
    tell("Open line: none runs from a stick (Windows ignores autorun.inf's open= on a removable drive E:)")
    tell("Double-clicked: %s" % ("E:\\" + v(page) if page else "nothing: no page at the stick's root says to open it"))
    return ('start.exe "E:\\%s"' % page if page else "cmd.exe /c exit 0"), "E:\\"


def told(tell, row, run, started, page, came, shot, stick=False):
    """What a row says once Quenlo (on a stick, the double-click) has run;
    came: what the browser was handed (Followed), or None."""
    tell("%s exited with status %s" % ("The double-click's start.exe" if stick else "Quenlo",
                                       "unknown" if run.status is None else run.status))
    tell("Course: %s" % course_of(started, page))
    tell("Started: %s" % (v(started) or "nothing"))
    for box in run.boxes:
        tell("Message box: %s: %s" % (v(box["caption"]), v(box["text"].split("\n")[0])))
    if came:
        tell("The browser was handed: %s" % v(urllib.parse.unquote(came.address)))
    tell("Picture: %s%s" % (shot if row.picture else "none could be taken",
                            " (%s)" % row.not_pictured if row.picture and row.not_pictured else ""))
    if came:
        tell("The page as the text browser rendered it (first lines):\n----")
        tell("\n".join(v(line) for line in came.text.strip("\n").splitlines()[:8]))
        tell("----")


def not_loaded(status):
    """What a program's exit status says where Wine could not load it (a
    prefix without its 32-bit half, say), with the mend; None for any other."""
    if status is None or status < 0xC0000000:
        return None
    return ("Wine could not start the disc's quenlo.exe (status 0x%08X: %s), which is this machine's doing, not the "
            "disc's: run quenlo-disc try --clear-cache and try again; if it says so again, check that Wine runs "
            "32-bit programs for you (wine32:i386, and qemu-user where the kernel runs none)"
            % (status, NOT_LOADED.get(status, "an error of Wine's")))


def why_not(run, came, page, on_disc, finding, stick=False, pictured=True):
    """Why a row's page was not shown, from all it found (came: Followed, or
    None; pictured: a picture of the screen was taken); None where it was:
    opened, and its picture shows what the browser drew of it."""
    if came and not shows(came.resolved, on_disc):
        what = ("the open line's page, %s, is not on the disc" % v(page) if on_disc is None
                else "not the disc's page D:\\%s" % v(page))
        return 'the browser was handed "%s", %s' % (v(urllib.parse.unquote(came.address)), what)
    if came and not opened(came, on_disc):
        text = came.text.strip("\n")
        return 'the browser could not show the page: %s' % v((text.splitlines() or ["it rendered nothing"])[0])
    if came:  # what the picture shows decides, not the page's opening alone
        if not pictured:
            return "no picture of the screen could be taken, so nothing shows the page"
        return "the page opened, but %s" % came.not_pictured if came.not_pictured else None
    if run.timed_out or run.status is None:
        return "Quenlo did not run to its end: %s" % v(run.raw.strip())
    if run.boxes:
        box = run.boxes[0]
        text = box["caption"] if box["caption"] == "About Quenlo" else box["text"]
        why = 'Quenlo said "%s": %s' % (v(text), MEANING.get(text, "see the picture"))
    else:
        why = ("the double-click opened nothing: no browser was given the page" if stick else
               "Quenlo said nothing, but no browser was given the page")
    return why + ("; the check says: %s" % v(finding) if finding else "")
