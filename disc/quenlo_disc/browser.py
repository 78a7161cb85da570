"""The browser that a try's PC opens the page with, and what it reports.

Wine's browser bridge (winebrowser, the ".htm" handler of a new prefix)
hands pages to a script of ours: it renders the page as text with w3m, notes
what it got and how the rendering went, and shows the page in a graphical
browser on the virtual display.
"""
import json
import os
import shlex
import shutil
from dataclasses import dataclass

from . import Gone, chromium
from .devtools import FLAGS
from .tools import last_lines, wait_until
from .walls import PYTHON, entry


@dataclass(frozen=True)
class Browser:
    """A graphical browser: its X class, and its command before the page's
    address; watched: started through chromium.show(), which shows the disc
    as at a drive's root and says when the page has loaded."""
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
BROWSERS = [Browser("chromium", tuple(["chromium", "--user-data-dir=$0/profile", "--window-position=0,0",
                                       "--window-size=1024,768"] + FLAGS), True),
            Browser("Dillo", ("dillo",))]
# The file an address a browser was handed leads to: a file:// URL's path
# or a plain path, links followed, the fragment and query not counted;
# nothing for an address elsewhere.
RESOLVE = ("import os, sys, urllib.parse as u; a = sys.argv[1]; p = u.urlsplit(a); "
           "print(os.path.realpath(u.unquote(p.path)) if p.scheme == \"file\" else "
           "\"\" if \"://\" in a else os.path.realpath(a))")
# Chromium's own word against offering a translation, in its new profile.
CHROMIUM_PREFERENCES = '{"translate":{"enabled":false},"browser":{"has_seen_welcome_page":true}}'


def graphical():
    """The graphical browser there is, or None."""
    return next((b for b in BROWSERS if shutil.which(b.name)), None)


class Bridge:
    """Wine's browser bridge, set for one try to hand pages to a script in a
    new folder of the session's box, which notes what it was handed and w3m's
    status (page.txt) and the graphical browser's pid, end and words
    (browser.pid, browser.status, browser.err)."""

    def __init__(self, session, browser, folder):
        self.session, self.browser, self.folder = session, browser, folder

    @classmethod
    def install(cls, session, browser, shown_from=None, letter="d:"):
        """Pages go to browser (None: text only), from shown_from where given
        (a folder that reads like D:, names as Windows matches them) instead
        of D: itself: in a sandbox, at its own drive, file:///D:/."""
        folder = session.folder("browser-")
        drive = os.path.join(session.prefix, "dosdevices", letter) + "/"
        base = "file://" + (shown_from or "")
        if shown_from and session.sandboxed:
            shown = chromium.DRIVES[letter == "e:"]
            session.link(shown_from, session.shown_at(shown))
            base = "file://" + shown
        script = ["#!/bin/sh",
                  # w3m reads no <meta charset>: the encoding a browser finds
                  # for the page, where the try put it in charset.
                  'charset=$(cat "%(d)s/charset" 2>/dev/null)',
                  'w3m -dump -cols 78 -O UTF-8 ${charset:+-I "$charset"} "$1" >"%(d)s/rendered.txt" 2>&1',
                  'status=$?',
                  # The file it leads to, as the sandbox sees it.
                  "resolved=$(%s -I -c '%s' \"$1\")" % (PYTHON, RESOLVE),
                  # What it was handed and how the rendering went, once it is done.
                  'printf "%%s\\n%%s\\n%%s\\n" "$1" "$status" "$resolved" >"%(d)s/page.part" && '
                  'mv "%(d)s/page.part" "%(d)s/page.txt"']
        if browser:
            script += ['page="$1"']
            if shown_from:
                script += ['case "$page" in *"%(drive)s"*) page="%(base)s/${page#*%(drive)s}" ;; esac']
            if browser.x_class == "chromium":
                session.run(["mkdir", "-p", os.path.join(folder, "profile", "Default")])
                session.put(os.path.join(folder, "profile", "Default", "Preferences"), CHROMIUM_PREFERENCES)
            command = " ".join(browser.command)
            if browser.watched:  # FOLDER COMMAND... URL
                shows = os.path.join(folder, "show.sh")
                session.put(shows, "#!/bin/sh\nexec %s \"$@\"\n" % shlex.join(
                    entry("chromium", "chromium.show(sys.argv[1], sys.argv[-1], sys.argv[2:-1])")), 0o755)
                command = '%s "$0" %s' % (shows, command)
            # A session of its own, so that its helpers go with it.
            script += ['(setsid sh -c \'echo $$ >"$0/browser.pid"; exec %s "$1"\' "%%(d)s" "$page" </dev/null '
                       '>/dev/null 2>"%%(d)s/browser.err"; echo $? >"%%(d)s/browser.status") &' % command]
        session.put(os.path.join(folder, "browser.sh"), "\n".join(script) % {"d": folder, "drive": drive,
                                                                            "base": base} + "\n", 0o755)
        session.registry.load(["[HKEY_CURRENT_USER\\Software\\Wine\\WineBrowser]",
                            '"Browsers"="%s"' % os.path.join(folder, "browser.sh"), ""])
        return cls(session, browser, folder)

    def said(self, name, encoding="latin-1", limit=1 << 20):
        """What the script wrote in its folder as name, as text."""
        return self.session.fetch(os.path.join(self.folder, name), limit).decode(encoding, errors="replace")

    def read_in(self, charset):
        """w3m reads the page in charset."""
        self.session.put(os.path.join(self.folder, "charset"), charset)

    def handed(self, seconds):
        """True once the page was handed over and rendered as text."""
        return wait_until(lambda: self.said("page.txt"), seconds, 0.1)

    def page(self):
        """(the address the browser was handed, w3m's status, the file it
        leads to in the sandbox, or "")."""
        return tuple((self.said("page.txt", "utf-8").splitlines() + ["", "", ""])[:3])

    def rendered(self):
        return self.said("rendered.txt", "utf-8").strip("\n")

    def loaded(self, seconds):
        """Chromium's word that the page has loaded ({"state", "title",
        "address", "encoding"}), once it comes; None where it did not come
        in that time. A browser that gives none is taken at its window."""
        if not (self.browser and self.browser.watched):
            return {}
        found = []
        wait_until(lambda: found.append(self.said("loaded.json", "utf-8")) or found[-1], seconds, 0.03)
        try:
            return json.loads(found[-1]) if found and found[-1] else None
        except ValueError:
            return None

    def window(self, seconds):
        """(True, "") once a window of the graphical browser is on the
        display; else (False, why not): it ended first (with the last thing
        it said), or none came in that time."""
        if not self.browser:
            return False, "no graphical browser is installed (install chromium)"
        ended = []

        def shown():
            if self.session.on_display(["xdotool", "search", "--onlyvisible", "--class", self.browser.x_class],
                                       10) == 0:
                return True
            status = self.said("browser.status", limit=64).strip()
            if status:
                words = last_lines(self.said("browser.err"))
                ended.append("the browser's window did not appear: %s ended with status %s%s" % (
                    self.browser.name, status, " (%s)" % words[:200] if words else ""))
            return bool(ended)

        if wait_until(shown, seconds, 0.05):
            return (False, ended[0]) if ended else (True, "")
        return False, "the browser's window did not appear within %d s" % seconds

    def stop(self):
        """Ends the browser that the script started, helpers and all (where
        the sandbox is still there to end them in)."""
        try:
            self.session.run(["sh", "-c", 'pid=$(cat "$0/browser.pid" 2>/dev/null) && kill -KILL -"$pid"; '
                                          'pkill -KILL -f "$0"; exit 0', self.folder], timeout=30)
        except Gone:
            pass
