"""Quenlo's tools for medium authors: check a medium, master it as a disc
image, and try the image as a user's PC meets it.

The package lives either in a checkout (disc/quenlo_disc, with the builds in
build/) or installed (/usr/lib/quenlo-disc/quenlo_disc, with the exe and the
drivers beside it); the files it ships are found from where it is.

What the modules are, foundations first; each imports only those before it
(tests/disc/test_layers.py holds them to it):
  tools, boxfiles, codes, seccomp, limits, walls, devtools
                             running host tools; files in a sandbox's reach; the
                             findings' codes; what a sandbox may ask and have;
                             the sandbox's walls; Chromium spoken to
  codepages, names, autorun, labels, charsets, scripts, css, markup, addresses,
  documents, pages, pe, fat, iso, clamping, udfparts, udf, views, slices
                             the formats, as Windows and browsers read them;
                             any maker's image as Windows shows it, and as
                             the web page reads it
  findings, links, medium, signing, sticks, mastering, texts, rewrites, mends,
  mending, check
                             checking a medium, mending it and mastering
                             its image
  agent, inside, sandbox, host, registry, chromium, session, driver, screen,
  browser, onepc, trying, shipped
                             trying an image as a user's PC meets it;
                             checking an image as shipped
  sarif, report, progress, reportpage, web, pagemends, cli, manual
                             what the command says and writes (a try's as it
                             goes), the check as a web page and its mends,
                             and the command
"""
import os

VERSION = "1.0.0.3"  # of the tools; the quenlo.exe they carry has its own
RELEASED = "2026-12-10"
PROGRAM = "quenlo.exe"
HOMEPAGE = "https://github.com/quenlo/quenlo"
BUGS = HOMEPAGE + "/issues"

LIB = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHECKOUT = os.path.dirname(LIB)


class Refusal(Exception):
    """One line: the problem and how to mend it. code names its kind for
    programs that read the findings (stable from release to release, each
    defined in codes.py); path, where there is one, is the disc path it
    concerns; where says where in that file (see findings.Place); tried,
    where a try could not go on, what it had found (trying.Tried)."""
    tried = None

    def __init__(self, message, code, path=None, **where):
        super().__init__(message)
        self.code, self.path, self.where = code, path, where


class Gone(Refusal):
    """A try's sandbox ended before the try did: beyond a limit the disc's
    programs reached, or for a reason of its own."""

    def __init__(self, why, limit=False):
        if limit:
            super().__init__("the try was ended: %s, more than any page needs: look at what the disc's quenlo.exe "
                             "is before you ship it" % why, "limit-reached")
        else:
            super().__init__("the try's sandbox ended before the try did (%s): try again, and if it happens again, "
                             "report it at %s" % (why, BUGS), "sandbox-ended")


class Unavailable(Refusal):
    """This machine cannot do it; the text says why, and what to change."""

    def __init__(self, message, code="unavailable"):
        super().__init__(message, code)


def installed():
    """True when this is the installed package rather than a checkout."""
    return os.path.exists(os.path.join(LIB, PROGRAM))


def product_exe():
    """The shipped 32-bit quenlo.exe: the package's own, or the checkout's build."""
    if installed():
        return os.path.join(LIB, PROGRAM)
    return os.path.join(CHECKOUT, "build", "win32", PROGRAM)


def driver_exe():
    """The driver program, in a folder without a quenlo.exe: Windows looks
    for the program of a command line in its starter's folder first. It is
    64-bit for 32- and 64-bit discs alike, as Explorer is on the PCs that
    start a disc's open line."""
    name = "driver-x86_64.exe"
    if installed():
        return os.path.join(LIB, "drivers", name)
    return os.path.join(CHECKOUT, "build", "win32", "disc", name)
