"""The browser that a try's PC opens the page with, and what it reports.

Wine's browser bridge (winebrowser, the ".htm" handler of a new prefix)
hands pages to a script of ours, which only hands what it got to the
sandbox's first process; that takes it only from a process that Wine's
bridge started. What the verdict rests on the tools then learn for
themselves, out of the disc's reach: which of the disc's files the address
leads to, how w3m renders that file (in a sandbox of its own), and, from a
graphical browser the tools start beside the session's sandbox, that the
page loaded and what it shows.
"""
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.parse
from dataclasses import dataclass

from . import chromium, sandbox
from .devtools import FLAGS, Closed
from .inside import BRIDGE
from .screen import LARGEST_PICTURE, PAGE_AREA, STEP, drawn, kept, picture
from .tools import last_lines, wait_until
from .walls import ENVIRONMENT, entry


@dataclass(frozen=True)
class Browser:
    """A graphical browser: its X class, and its command before the page's
    address; watched: Chromium, spoken to through its DevTools pipe
    (chromium.Shown), which shows the disc as at a drive's root and says
    when the page has loaded."""
    x_class: str
    command: tuple
    watched: bool = False

    @property
    def name(self):
        return self.command[0]


# Chromium where it is installed, as it draws any script with whatever font
# has it (dillo draws Japanese as empty boxes), else dillo. Chromium keeps to
# itself: nothing in the background, no translation offered over the page,
# no use of /dev/shm (which older ones cannot do without where it is not
# writable).
BROWSERS = [Browser("chromium", tuple(["chromium", "--window-position=0,0", "--window-size=1024,768"] + FLAGS), True),
            Browser("Dillo", ("dillo",))]
# Chromium's own word against offering a translation, in its new profile.
CHROMIUM_PREFERENCES = '{"translate":{"enabled":false},"browser":{"has_seen_welcome_page":true}}'
RENDERING = 60  # seconds w3m may take over a page
SETTLING = 3  # seconds a browser other than Chromium, still running, may take to show its window
# The graphical browser's own display, in its own sandbox: its screen's
# framebuffer is a file of the tools' (Xvfb's -fbdir), the pictures are
# taken from that, and nothing of the disc's reaches any of it.
OWN_DISPLAY = ":0"
DISPLAYED = ('Xvfb :0 -screen 0 1024x768x24 -nolisten tcp -br -fbdir "$0" >/dev/null 2>&1 & '
             'for i in $(seq 400); do [ -S /tmp/.X11-unix/X0 ] && exec "$@"; sleep 0.025; done; '
             'echo "its display did not start" >&2; exit 1')


def graphical():
    """The graphical browser there is, or None."""
    return next((b for b in BROWSERS if shutil.which(b.name)), None)


def on_disc(address, folder, drive):
    """The file of the disc in folder that a handed address (a file: URL or
    a path) leads to, where drive (the prefix's link for the disc's letter)
    or folder itself begins it, as a path beneath folder; else ""."""
    parts = urllib.parse.urlsplit(address)
    if parts.scheme == "file":
        path = urllib.parse.unquote(parts.path)
    elif "://" in address or not address.startswith("/"):
        return ""
    else:
        path = address
    top = os.path.realpath(folder)
    for base in (drive, folder, top):
        if path.startswith(base.rstrip("/") + "/"):
            found = os.path.realpath(os.path.join(top, path[len(base.rstrip("/")) + 1:]))
            return found if found.startswith(top + "/") else ""
    return ""


def shown_address(address, resolved, disc, shown):
    """The address the graphical browser loads for a handed one: the very
    file of the disc (in the folder disc) that the tools resolved it to,
    resolved, on the drive where the browser is shown the disc (shown),
    with the handed address's query and fragment; None where it leads to
    no file of the disc, which is then shown nowhere."""
    if not resolved:
        return None
    rel = os.path.relpath(resolved, os.path.realpath(disc)).replace(os.sep, "/")
    parts = urllib.parse.urlsplit(address) if address.startswith("file:") else None
    return urllib.parse.urlunsplit(("file", "", shown.rstrip("/") + "/" + urllib.parse.quote(rel),
                                    parts.query if parts else "", parts.fragment if parts else ""))


def same_page(loaded, given):
    """True where the address a browser says it shows is the file of the
    address it was given (its fragment aside: a page's own scrolling)."""
    def page(url):
        parts = urllib.parse.urlsplit(url or "")
        return parts.scheme, urllib.parse.unquote(parts.path)
    return page(loaded) == page(given)


def render(session, path, charset):
    """(w3m's status, its text) of the disc's file at path, in a sandbox of its own."""
    command = ["w3m", "-dump", "-cols", "78", "-O", "UTF-8"] + (["-I", charset] if charset else []) + [path]
    kept = session.confinement
    status, out, err = kept.run(command, readable=[session.discs], env={"HOME": kept.scratch or session.home},
                                timeout=RENDERING)
    return ("" if status is None else str(status)), out + err


def stderr_of(stage):
    """The last of what the graphical browser said, kept in stage."""
    try:
        with open(os.path.join(stage, "browser.err"), "rb") as f:
            return last_lines(f.read(1 << 20).decode("utf-8", "replace"))
    except (OSError, TypeError):
        return ""


# How alike the screen's picture of the page's viewport must be to what
# Chromium itself draws there: both at an eighth of their size (a pixel or
# two of the window's frame or of the scrolling weighs little there), no
# more than a twentieth of their pixels more than 6 % apart. Scaled in a
# folder of the try's own ($6): without a sandbox, a file another user left
# in /tmp, or another try's, would be compared instead.
LIKENESS = ('convert "$1" -crop "$4" +repage -scale 12.5% "$6/screen.png" && for drawn in "$2" "$3"; do '
            'convert "$drawn" -crop "$5" +repage -scale 12.5% "$6/drawn.png" && compare -metric AE -fuzz 6% '
            '"$6/screen.png" "$6/drawn.png" null: 2>&1; echo; done')
SCREEN = (1024, 768)  # the virtual display's size
NOT_TAKEN = "no picture could be taken"


def unlike(session, stage, shot, before, after):
    """None where the screen's picture (shot) shows, where the page's
    viewport is, what Chromium drew there just before or just after it was
    taken (before, after: (PNG, [x, y, width, height])); else what it shows
    instead. The comparing is done in a sandbox of its own: the picture is
    of a screen the disc's programs draw on."""
    if not (before and after and len(before[1]) == 4):
        return "Chromium could not say what it drew"
    x, y, width, height = (max(0, int(n)) for n in before[1])
    width, height = min(width, SCREEN[0] - x), min(height, SCREEN[1] - y)
    drawn = []
    for name, (png, _) in (("before.png", before), ("after.png", after)):
        drawn.append(os.path.join(stage, name))
        with open(drawn[-1], "wb") as f:
            f.write(png)
    scaled = session.confinement.scratch or tempfile.mkdtemp(dir=stage)
    command = ["sh", "-c", LIKENESS, "sh", shot] + drawn + ["%dx%d+%d+%d" % (width, height, x, y),
                                                            "%dx%d+0+0" % (width, height), scaled]
    status, out, _ = session.confinement.run(command, readable=[shot, stage], timeout=60)
    apart = [int(n) for n in out.split() if n.isdigit()]
    if status == 0 and apart and min(apart) <= max(1, width * height // 64) // 20:
        return None
    return "something else is drawn over the browser's page"


def colours(framebuffer, region=None):
    """How many colours the browser's own screen shows (in region, where
    given), read from its framebuffer in a sandbox of its own; 0 where it
    cannot be read."""
    crop = ["-crop", region, "+repage"] if region else []
    status, out, _ = sandbox.run(["convert", "xwd:" + framebuffer] + crop + ["-format", "%k", "info:"],
                                 readable=[framebuffer], timeout=STEP)
    return int(out.strip()) if status == 0 and out.strip().isdigit() else 0


def screen_picture(framebuffer, stage, shot):
    """A PNG of the browser's own screen at shot; True when there is one."""
    made = os.path.join(stage, "screen.png")
    status, _, _ = sandbox.run(["convert", "xwd:" + framebuffer, made], writable=[stage], readable=[framebuffer],
                               timeout=STEP)
    try:
        with open(made, "rb") as f:
            return status == 0 and kept(f.read(LARGEST_PICTURE), shot)
    except OSError:
        return False


def beside(session, browser, stage, shown, letter):
    """(the command line that runs browser beside session, where the
    browser's sandbox shows the disc, Popen's keywords for it, the bounds
    it is started in, its screen's framebuffer) for the disc shown (a
    folder) at letter's drive; its profile, its own display's framebuffer
    and its words in stage. Without a sandbox, it is the session's display
    it shows the page on."""
    profile = os.path.join(stage, "profile")
    os.makedirs(os.path.join(profile, "Default"))
    command = list(browser.command)
    if browser.x_class == "chromium":
        with open(os.path.join(profile, "Default", "Preferences"), "w") as f:
            f.write(CHROMIUM_PREFERENCES)
        command.insert(1, "--user-data-dir=" + profile)
    if not session.confinement.own_display:
        return session.beside(command, stage, [profile], [], env=dict(session.env(), DISPLAY=session.display,
                                                                      HOME=profile)) + (None, None)
    drive, screen = chromium.DRIVES[letter == "e:"], os.path.join(stage, "screen")
    os.mkdir(screen)
    return session.beside(["sh", "-c", DISPLAYED, screen] + command, stage, [profile, screen], [session.discs],
                          links=[(shown, drive)], env=dict(ENVIRONMENT, DISPLAY=OWN_DISPLAY, HOME=profile)) + (
        drive, os.path.join(screen, "Xvfb_screen0"))


class Beside:
    """The graphical browser the tools start beside a session's sandbox to
    show a page of the disc in folder disc (or of view, a folder that reads
    like it), at letter's drive; what it says of the page, and the
    pictures of its screen. address: what it was given."""

    def __init__(self, session, browser, disc, view, letter):
        self.session, self.browser, self.disc, self.view, self.letter = session, browser, disc, view, letter
        self.shown, self.process, self.stage, self.limits, self.failed = None, None, None, (), None
        self.address = self.screen = None  # what it was given; its own screen's framebuffer
        self.started = None

    def start(self, address):
        """The graphical browser, at address: in a sandbox of its own beside
        the session's (its own processes, out of sight of the disc's), shown
        the disc, writing only its profile and its own screen's framebuffer,
        on a display of its own that nothing of the disc's can reach (to
        read it, draw on it or type into it)."""
        self.stage, self.started = tempfile.mkdtemp(dir=self.session.root, prefix="browser-"), time.time()
        command, popen, self.limits, drive, self.screen = beside(self.session, self.browser, self.stage,
                                                                 self.view or self.disc, self.letter)
        err = open(os.path.join(self.stage, "browser.err"), "wb")
        try:
            if self.browser.watched:
                try:
                    self.shown = chromium.Shown(command, address, drive, stderr=err, **popen)
                    self.process = self.shown.browser.process
                except (Closed, OSError) as gone:
                    self.failed = str(gone)
            else:
                self.process = subprocess.Popen(command + [address], stdin=subprocess.DEVNULL,
                                                stdout=subprocess.DEVNULL, stderr=err, start_new_session=True,
                                                **popen)
        finally:
            err.close()

    def ended(self):
        """Why the graphical browser is gone, where it is: its status and last words."""
        if self.failed is None and (self.process is None or self.process.poll() is None):
            return None
        status = self.process.poll() if self.process else None
        words = stderr_of(self.stage) or self.failed
        return "%s ended with status %s%s" % (self.browser.name, "unknown" if status is None else status,
                                              " (%s)" % words[:200] if words else "")

    def loaded(self, seconds):
        """Chromium's word that the page has loaded ({"state", "title",
        "address", "encoding"}), once it comes; None where
        it did not come in that time. A browser that gives none is taken at
        its window."""
        if not (self.browser and self.browser.watched):
            return {}
        if not self.shown:
            return None
        self.shown.came.wait(seconds)
        return self.shown.loaded

    def window(self, seconds):
        """(True, "") once the graphical browser's window is there: Chromium's
        own word on it, or for another, a window of its class on the display;
        else (False, why not): it ended first (with the last thing it said),
        or none came in that time."""
        if not self.browser:
            return False, "no graphical browser is installed (install chromium)"
        if not self.address:
            return False, "what it was handed is no file of the disc, so no browser shows it"
        ended = []

        def shown():
            gone = self.ended()
            if gone:
                ended.append("the browser's window did not appear: " + gone)
                return True
            if self.browser.watched:
                return bool(self.shown and self.shown.window and self.shown.window != "minimized")
            if self.screen:  # no other program on its display: what it shows is its, once it has drawn
                return colours(self.screen) > 1 or time.time() - self.started > SETTLING
            return self.session.on_display(["xdotool", "search", "--onlyvisible", "--class", self.browser.x_class],
                                           10) == 0

        if wait_until(shown, seconds, 0.05):
            return (False, ended[0]) if ended else (True, "")
        return False, "the browser's window did not appear within %d s" % seconds

    def drawn(self):
        """True once the page's area of the browser's screen is not of one colour alone."""
        return colours(self.screen, PAGE_AREA) > 1 if self.screen else drawn(self.session)

    def picture(self, shot):
        """A picture of the browser's screen at shot (its own, where it has
        one; else the session's); True when there is one."""
        return screen_picture(self.screen, self.stage, shot) if self.screen else picture(self.session, shot)

    def strayed(self):
        """Where the browser says it shows another page than the one it was
        given (a script's or a refresh's doing), that address; else None."""
        loaded = (self.shown.loaded or {}) if self.shown else {}
        address = loaded.get("address")
        return address if address and self.address and not same_page(address, self.address) else None

    def covered(self, shot):
        """Where Chromium shows the page: None when the picture it takes of
        the browser's screen at shot is of what Chromium drew, else what it
        shows instead (NOT_TAKEN: no picture). For another browser, nothing
        tells."""
        before = self.shown.captured_now() if self.shown else None
        if not self.picture(shot):
            return NOT_TAKEN
        if not self.shown:
            return None
        return unlike(self.session, self.stage, shot, before, self.shown.captured_now())

    def stop(self):
        """Ends the graphical browser, helpers and all, and its sandbox."""
        if self.shown:
            self.shown.stop()
        elif self.process is not None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            self.process.wait()
        for group in self.limits:
            group.remove()
        if self.stage:
            shutil.rmtree(self.stage, ignore_errors=True)


class Bridge(Beside):
    """Wine's browser bridge, set for one try: its script (in a new folder
    of the session's box) hands the page over to the sandbox's first
    process; the tools take only what Wine's bridge handed, read it
    themselves, and show it in the graphical browser (Beside)."""

    def __init__(self, session, browser, folder, disc, view, letter, since):
        super().__init__(session, browser, disc, view, letter)
        self.folder, self.since = folder, since
        self.charset, self.taken, self.resolved, self.status, self.text = None, None, "", "", ""

    @classmethod
    def install(cls, session, browser, disc, view=None, letter="d:"):
        """Pages go to browser (None: text only), from view where given (a
        folder that reads like the disc in disc, names as Windows matches
        them) instead of the disc itself: in a sandbox, at its own drive,
        file:///D:/."""
        folder = session.folder("browser-")
        hand = entry("inside", "inside.hand_over(sys.argv[1], sys.argv[2])", session.box, lib=session.lib)
        session.put(os.path.join(folder, "browser.sh"), "#!/bin/sh\nexec %s \"$1\"\n" % shlex.join(hand), 0o755)
        session.registry.load(["[HKEY_CURRENT_USER\\Software\\Wine\\WineBrowser]",
                               '"Browsers"="%s"' % os.path.join(folder, "browser.sh"), ""])
        return cls(session, browser, folder, disc, view, letter, session.handoffs()[1])

    def read_in(self, charset):
        """w3m reads the page in charset."""
        self.charset = charset

    def handed(self, seconds):
        """True once Wine's bridge has handed a page over: then it is read,
        and shown."""
        def came():
            handoffs, _ = self.session.handoffs(self.since)
            self.taken = next((h["address"] for h in handoffs if h.get("by") == BRIDGE), None)
            return self.taken is not None

        if not wait_until(came, seconds, 0.1):
            return False
        drive = os.path.join(self.session.prefix, "dosdevices", self.letter)
        self.resolved = on_disc(self.taken, self.disc, drive)
        self.status, self.text = render(self.session, self.resolved, self.charset) if self.resolved else ("", "")
        self.address = shown_address(self.taken, self.resolved, self.disc, chromium.DRIVES[self.letter == "e:"]
                                     if self.session.confinement.own_display else (self.view or self.disc))
        if self.browser and self.address:
            self.start(self.address)
        return True

    def page(self):
        """(the address the browser was handed, w3m's status, the disc's file it leads to, or "")."""
        return self.taken or "", self.status, self.resolved

    def rendered(self):
        return self.text.strip("\n")
