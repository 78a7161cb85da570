#!/usr/bin/env python3
"""try-disc: a disc image run the way a user meets it, before it is burnt.

    try-disc.sh IMAGE.iso [--broken-association]

Mounts the image read-only as the CD drive D: of a private Wine prefix, reads
its autorun.inf as Windows does, and runs the open line from D:\\ with the
disc's own quenlo.exe (a 32-bit one under qemu emulation). Prints what a user
would meet and saves a picture of the screen at that moment beside the image
(IMAGE.try.png). Exits 0 when the page was opened; otherwise 1, with one line
that says why. --broken-association tries it on a PC with no browser
registered for ".htm".
"""
import argparse
import os
import shutil
import signal
import sys
import tempfile
import time

import winerun
from autorun import Refusal, check_page, find_name, open_line, read_autorun

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DRIVERS = {"i686": "build/win32/tests/e2e/e2e_driver.exe", "x86_64": "build/win64/tests/e2e/e2e_driver.exe"}
MISSING = "The specified file does not exist."
FAILED = "Failed to launch specified file."
MEANING = {
    MISSING: "nothing on the disc has the name that the open line gives",
    FAILED: "Windows could not open the page, and this PC has no usable browser registered for \".htm\"",
    "About Quenlo": "the open line gives Quenlo no page",
}


def read_disc(folder):
    """(keys of autorun.inf, the exe the open line runs, its page), or a Refusal
    when the disc runs nothing of Quenlo's."""
    name = find_name(folder, "autorun.inf")
    if name is None:
        raise Refusal("the disc has no autorun.inf at its root, so Windows runs nothing from it: "
                      "make the image with make-disc.sh --start PAGE")
    with open(os.path.join(folder, name), "rb") as f:
        keys = read_autorun(f.read())
    program, page = open_line(keys)
    exe = find_name(folder, program) or find_name(folder, program + ".exe")
    if exe is None:
        raise Refusal("the open line runs %s, which is not at the disc's root: make the image with make-disc.sh"
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


def try_disc(state, image, shot, broken=False, say=print):
    """Runs the disc in a started session. Returns None when the page opened,
    else why not, in the author's terms."""
    folder = winerun.mount(state, image)
    browser = tempfile.mkdtemp(dir=state["work"], prefix="browser-")
    try:
        keys, _, page = read_disc(folder)
        try:
            check_page(page, folder, "the disc")
            finding = None
        except Refusal as refusal:
            finding = str(refusal)
        label, shown = winerun.joliet_label(image), keys.get("label")
        say("Label: %s" % (label or "(none)"))
        if shown and shown != label:
            say('Explorer shows the disc as "%s" (the label of autorun.inf)' % shown)
        say("Open line: %s" % keys["open"])
        if finding:
            say("The check of make-disc.sh says: %s" % finding)
        winerun.map_cdrom(state, folder)
        winerun.use_browser(state, browser)
        if broken:
            winerun.remove_html_association(state)
        pictures = []
        trace = os.path.join(browser, "trace.txt")
        report = winerun.drive(state, keys["open"], "D:\\", trace=trace,
                               on_box=lambda box: pictures.append(winerun.picture(state, shot)))
        started = winerun.started_by(trace)
        opened = not report.boxes and wait_for(os.path.join(browser, "page.txt"),
                                               60 if state["arch"] == "i686" else 20)
        if opened and winerun.wait_for_window(state, "Dillo", 30):
            time.sleep(1.5)  # let it draw the page
        if not pictures:
            pictures.append(winerun.picture(state, shot))

        say("Quenlo exited with status %s" % ("unknown" if report.status is None else report.status))
        say("Course: %s" % course_of(started, page))
        say("Started: %s" % (started or "nothing"))
        for box in report.boxes:
            say("Message box: %s: %s" % (box["caption"], box["text"].split("\n")[0]))
        say("Picture: %s" % (shot if pictures[0] else "none could be taken"))
        if opened:
            say("The page as the text browser rendered it (first lines):\n----")
            say("\n".join(winerun.read(os.path.join(browser, "rendered.txt")).strip("\n").splitlines()[:8]))
            say("----")
            return None
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
        winerun.unmount(folder)
        state["mounts"].remove(folder)


def main(argv):
    parser = argparse.ArgumentParser(prog="try-disc.sh", description="Run a disc image as a user's PC would.")
    parser.add_argument("image", metavar="IMAGE.iso")
    parser.add_argument("--broken-association", action="store_true",
                        help='a PC with no browser registered for ".htm"')
    a = parser.parse_args(argv)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit(130))

    def refuse(why):
        print("try-disc: %s" % why, file=sys.stderr)
        return 1

    if not os.path.isfile(a.image) or winerun.joliet_label(a.image) is None:
        return refuse("%s is not an ISO 9660 image with Joliet names, the disc format Windows reads" % a.image)
    missing = winerun.fuse_missing()
    if missing:
        return refuse("cannot mount the image: %s" % missing)

    # Which exe the disc runs decides the session, so look before making one.
    peek = tempfile.mkdtemp(prefix="quenlo-peek-")
    state = {"work": peek, "mounts": []}
    try:
        _, exe, _ = read_disc(winerun.mount(state, a.image))
        arch = winerun.machine(exe)
    except (Refusal, winerun.Unavailable) as refusal:
        return refuse(str(refusal))
    finally:
        for folder in state["mounts"]:
            winerun.unmount(folder)
        shutil.rmtree(peek, ignore_errors=True)
    if arch is None:
        return refuse("the disc's %s is not a Windows program: make the image with make-disc.sh"
                      % os.path.basename(exe))

    shot = os.path.splitext(os.path.abspath(a.image))[0] + ".try.png"
    print("Disc: %s" % a.image)
    if arch == "i686":
        print("Its quenlo.exe is 32-bit, as shipped: it runs under emulation, which takes about a minute.")
    state = winerun.session(arch, os.path.join(ROOT, DRIVERS[arch]))
    try:
        winerun.start(state)
        why = try_disc(state, a.image, shot, a.broken_association)
    except winerun.Unavailable as unavailable:
        return refuse("this machine cannot run the disc's %s exe: %s" % (arch, unavailable))
    except Refusal as refusal:
        return refuse(str(refusal))
    finally:
        winerun.stop(state)
    if why:
        return refuse("the page was not opened: %s" % why)
    print("The page was opened.")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:  # everything was undone on the way out
        print("try-disc: interrupted", file=sys.stderr)
        sys.exit(130)
