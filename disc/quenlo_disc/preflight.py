"""A disc image run the way a user meets it, before it is burnt.

The image's own content, read-only, is the CD drive D: of a private Wine
prefix; its autorun.inf is read as Windows does, and the open line runs from
D:\\ with the disc's own quenlo.exe (a 32-bit one under qemu emulation).
What a user would meet is told line by line, and a picture of the screen at
that moment is saved.
"""
import os
import shutil
import subprocess
import tempfile
import time
import urllib.parse

from . import Refusal, codepages, wine as winerun
from .codepages import WESTERN
from .autorun import check_page, open_line, read_autorun
from .names import find_name

MISSING = "The specified file does not exist."
FAILED = "Failed to launch specified file."
MEANING = {
    MISSING: "nothing on the disc has the name that the open line gives",
    FAILED: "Windows could not open the page, and this PC has no usable browser registered for \".htm\"",
    "About Quenlo": "the open line gives Quenlo no page",
}


def read_disc(folder, code_page=WESTERN):
    """(keys of autorun.inf as a PC of code_page reads it, the exe the open
    line runs, its page), or a Refusal when the disc runs nothing of Quenlo's."""
    name = find_name(folder, "autorun.inf")
    if name is None:
        raise Refusal("the disc has no autorun.inf at its root, so Windows runs nothing from it: "
                      "make the image with quenlo-disc make --start PAGE")
    with open(os.path.join(folder, name), "rb") as f:
        keys = read_autorun(f.read(), code_page)
    program, page = open_line(keys)
    exe = find_name(folder, program) or find_name(folder, program + ".exe")
    if exe is None:
        raise Refusal("the open line runs %s, which is not at the disc's root: make the image with quenlo-disc make"
                      % program)
    return keys, os.path.join(folder, exe), page


def course_of(started, page):
    if not started:
        return "none: nothing was started"
    if started.endswith('  "%s"' % page) or started.endswith("  " + page) or " file:///" in started:
        return 'fallback (Quenlo started the ".htm" handler itself)'
    return 'shell (the shell\'s "open" verb)'


def wait_for(path, seconds):
    deadline = time.time() + seconds
    while not os.path.exists(path) and time.time() < deadline:
        time.sleep(0.1)
    return os.path.exists(path)


def try_disc(state, image, shot, broken=False, say=print, code_page=WESTERN, folder=None):
    """Runs the disc in a started session, on a PC of code_page. Returns None
    when the page opened, else why not, in the author's terms. folder: the
    disc's content already presented, else it is presented for this run."""
    presented = folder is None
    folder = winerun.present(state, image) if presented else folder
    browser = tempfile.mkdtemp(dir=state["work"], prefix="browser-")
    pc = codepages.environment(code_page)
    try:
        keys, _, page = read_disc(folder, code_page)
        try:
            on_disc = os.path.join(folder, *check_page(page, folder, "the disc", code_page).split("\\"))
            finding = None
        except Refusal as refusal:
            on_disc, finding = None, str(refusal)
        label, shown = winerun.joliet_label(image), keys.get("label")
        say("PC: one using %s%s" % (codepages.described(code_page), ", with no browser registered" if broken else ""))
        say("Label: %s" % (label or "(none)"))
        if shown and shown != label:
            say('Explorer shows the disc as "%s" (the label of autorun.inf)' % shown)
        say("Open line: %s" % keys["open"])
        if finding:
            say("The check of quenlo-disc says: %s" % finding)
        winerun.map_cdrom(state, folder)
        winerun.use_browser(state, browser)
        if broken:
            winerun.remove_html_association(state)
        pictures = []
        trace = os.path.join(browser, "trace.txt")
        report = winerun.drive(state, keys["open"], "D:\\", env=pc, trace=trace,
                               on_box=lambda box: pictures.append(winerun.picture(state, shot)))
        started = winerun.started_by(trace)
        handed = not report.boxes and wait_for(os.path.join(browser, "page.txt"),
                                               60 if state["arch"] == "i686" else 20)
        address, status = (winerun.read(os.path.join(browser, "page.txt")).splitlines() + ["", ""])[:2]
        rendered = winerun.read(os.path.join(browser, "rendered.txt"), "utf-8").strip("\n")
        shown = handed and shows(address, on_disc) and status == "0" and rendered
        if handed and winerun.browser() and winerun.wait_for_window(state, winerun.browser()[0], 30):
            time.sleep(1.5)  # let it draw the page
        if not pictures:
            pictures.append(winerun.picture(state, shot))

        say("Quenlo exited with status %s" % ("unknown" if report.status is None else report.status))
        say("Course: %s" % course_of(started, page))
        say("Started: %s" % (started or "nothing"))
        for box in report.boxes:
            say("Message box: %s: %s" % (box["caption"], box["text"].split("\n")[0]))
        if handed:
            say("The browser was handed: %s" % address)
        say("Picture: %s" % (shot if pictures[0] else "none could be taken"))
        if handed:
            say("The page as the text browser rendered it (first lines):\n----")
            say("\n".join(rendered.splitlines()[:8]))
            say("----")
        if shown:
            return None
        if handed and not shows(address, on_disc):
            what = ("the open line's page, %s, is not on the disc" % page if on_disc is None
                    else "not the disc's page D:\\%s" % page)
            return 'the browser was handed "%s", %s' % (address, what)
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
    finally:
        winerun.stop_browser(browser)
        if presented:
            winerun.withdraw(state, folder)


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


def disc_arch(image):
    """The bitness of the exe that the image's open line runs ("i686" or
    "x86_64"), looked at before a session is made for it."""
    if not os.path.exists(image):
        raise Refusal("no file at %s: name the disc image to try" % image)
    if not os.path.isfile(image) or winerun.joliet_label(image) is None:
        raise Refusal("%s is not an ISO 9660 image with Joliet names, the disc format Windows reads" % image)
    peek = tempfile.mkdtemp(prefix="quenlo-peek-")
    state = {"work": peek, "mounts": []}
    try:
        _, exe, _ = read_disc(winerun.present(state, image))
        arch = winerun.machine(exe)
    except winerun.Unavailable as why:
        raise Refusal(str(why)) from None
    finally:
        winerun.withdraw(state)
        shutil.rmtree(peek, ignore_errors=True)
    if arch is None:
        raise Refusal("the disc's %s is not a Windows program: make the image with quenlo-disc make"
                      % os.path.basename(exe))
    return arch


# The kinds of PC a matrix tries: one for each of these code pages with a
# browser, and a Western one without.
MATRIX = [1252, 1250, 1251, 1253, 932, 936, 949, 950]


def meets(why, said):
    """What a user meets, in a few words: the page, Quenlo's box, or why not."""
    if why is None:
        return "the page shown"
    box = next((line.split(": ", 2)[2] for line in said if line.startswith("Message box: ")), None)
    return 'Quenlo\'s box "%s"' % box if box else why


def page_name(folder):
    """The open line's page as it is named on the disc, read in the first code
    page of MATRIX in which it leads to a file, or None."""
    for code_page in MATRIX:
        try:
            return check_page(read_disc(folder, code_page)[2], folder, "the disc", code_page)
        except Refusal:
            continue
    return None


def matrix(state, image, sheet, say=print):
    """Tries the disc on each kind of PC of MATRIX in the started session, says
    what a user meets on each in a table, and makes a contact sheet of the
    screens at sheet. Returns None when the page was shown on every code page
    in which its name has a form, else which PCs missed it."""
    folder = winerun.present(state, image)
    try:
        name = page_name(folder)
        rows = []
        for code_page, broken in [(cp, False) for cp in MATRIX] + [(WESTERN, True)]:
            shot = os.path.join(state["work"], "matrix-%d%s.png" % (code_page, "-none" if broken else ""))
            said = []
            why = try_disc(state, image, shot, broken, said.append, code_page, folder)
            kind = "%s (%d)%s" % (codepages.CODE_PAGES[code_page][0], code_page, ", no browser" if broken else "")
            must = not broken and name is not None and codepages.has_form(name, code_page)
            rows.append((kind, meets(why, said), shot, must and why is not None))
    finally:
        winerun.withdraw(state, folder)
    width = max(len(row[0]) for row in rows) + 2
    say("%-*s%s" % (width, "PC", "What a user meets"))
    for kind, met, _, missed in rows:
        say("%-*s%s%s" % (width, kind, met, "  <- missed" if missed else ""))
    command = ["montage", "-background", "#e8e8e8", "-fill", "black", "-pointsize", "13"]
    for kind, met, shot, _ in rows:
        command += ["-label", "%s\\n%s" % (kind, met[:52]), shot if os.path.exists(shot) else "xc:white"]
    subprocess.run(command + ["-tile", "3x", "-geometry", "320x240+6+6", sheet], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)
    say("Contact sheet: %s" % (sheet if os.path.exists(sheet) else "none could be made"))
    missed = [kind for kind, _, _, miss in rows if miss]
    return ("the page was not shown on %s, though its name has a form there: a disc reaches the PCs of one "
            "code page (make it with --code-page for them), or of every one with an ASCII name"
            % ", ".join(missed)) if missed else None
