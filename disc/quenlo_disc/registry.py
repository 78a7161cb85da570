"""What a session's PC has registered: Wine's registry, changed only by
importing .reg text with regedit inside the session, as an administrator of a
PC would."""
import os
import re

from . import Unavailable
from .boxfiles import read
from .host import WINE64, winpath
from .tools import said

# What a browser registers: the types of web pages, their classes, and the
# web's addresses.
NO_BROWSER = (".htm", ".html", ".shtml", ".xhtml", ".xht", ".mht", ".mhtml", ".svg", "htmlfile", "xhtmlfile",
              "mhtmlfile", "svgfile", "http", "https", "ftp", "file")


class Registry:
    def __init__(self, session):
        self.session = session

    def load(self, lines):
        """lines, as regedit reads a .reg file, imported into the PC's registry."""
        folder = self.session.folder("reg-")
        path, err = os.path.join(folder, "session.reg"), os.path.join(folder, "regedit.err")
        self.session.put(path, ("REGEDIT4\n\n" + "\n".join(lines) + "\n").encode("latin-1"))
        # Importing again is harmless, and a second try rides out a rare
        # failure of regedit under a loaded machine.
        for n in range(2):
            status = self.session.run([WINE64, "regedit", "/S", winpath(path)], env={"WINEDEBUG": "err+all"},
                              err=err + str(n))
            if status == 0:
                return
        raise Unavailable("Wine's regedit ended with %s on %s%s: check that Wine runs for you, as wine64 regedit"
                          % (status, path, said(self.session.fetch(err + "1"), 3)))

    def remove_browser(self):
        """A PC with no browser at all: nothing registered for any type of
        web page, nor for the web's addresses."""
        self.remove_associations(NO_BROWSER)

    def restore_browser(self):
        """The browser's keys as the prepared prefix has them (its system.reg
        holds them as Wine keeps HKEY_LOCAL_MACHINE, in .reg's own syntax)."""
        wanted = re.compile(r"\[Software\\\\Classes\\\\(%s)(\\\\[^\]]*)?\]" % "|".join(map(re.escape, NO_BROWSER)),
                            re.I)
        lines, keep = [], False
        for line in read(os.path.join(self.session.ready, "system.reg"), "utf-8").splitlines():
            if line.startswith("["):
                keep = bool(wanted.match(line))
                if keep:
                    lines += ["", "[HKEY_LOCAL_MACHINE\\%s]" % line[1:line.rindex("]")].replace("\\\\", "\\")]
            elif keep and line[:1] in ('"', "@") and "=str(" not in line:
                lines.append(line)
        self.load(lines + [""])

    def remove_associations(self, keys):
        self.load(["[-%s\\%s]\n" % (root, key) for key in keys for root in
                         ("HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER\\Software\\Classes",
                          "HKEY_LOCAL_MACHINE\\Software\\Classes")])
