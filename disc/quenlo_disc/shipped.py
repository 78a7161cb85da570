"""The medium as shipped: an image any tool made, or a drive read as one,
checked as Windows reads it. The tools' reader copies out the view Windows
shows (views.py) in the extraction sandbox, never in the tools' process;
every rule of a folder's check then runs on that copy with the same codes,
and what the maker did to the author's medium is told besides.
"""
import dataclasses
import os
import shutil
import stat
import tempfile

from . import PROGRAM, Refusal, Unavailable, sandbox, walls
from .check import check_medium
from .codepages import WESTERN, ansi, codec, to_ansi
from .fat import size_of
from .names import find_name
from .views import OEM, maker

SHOWN = 8  # names a finding lists before it counts the rest
MEMORY = "/dev/shm"
# Of the memory there is to spare, how much a copy of an image may take: a
# disk makes each of a large medium's files slowly (a DVD's 20,000 took 20 s
# here), memory at once.
SHARE = 4


def place_for(image, stage):
    """Where the image's view is copied out: in memory where it takes a small
    share of what is to spare, else in the stage."""
    try:
        with open("/proc/meminfo") as f:
            spare = next(int(line.split()[1]) << 10 for line in f if line.startswith("MemAvailable:"))
        room = os.statvfs(MEMORY)
        fits = size_of(image) * SHARE <= min(spare, room.f_bavail * room.f_frsize)
    except (OSError, StopIteration, ValueError):
        fits = False
    return tempfile.mkdtemp(dir=MEMORY if fits else stage, prefix="quenlo-disc-medium-")


def is_image_file(path):
    """True for what check takes as an image rather than a folder: a file, or a block device."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return stat.S_ISREG(mode) or stat.S_ISBLK(mode)


def view_of(image, folder, code_page):
    """What the reader saw of image (views.main), its view copied out into folder."""
    real = os.path.realpath(image)
    try:
        return sandbox.read_image([real, folder, OEM.get(code_page or WESTERN, "cp850")], real,
                                  walls.usable() is None, writable=[folder])
    except Unavailable as unavailable:
        raise Refusal("%s could not be read: %s" % (image, unavailable), "unavailable") from None


def contents_of(image):
    """What views.main --contents says of image (each file's digest and date,
    and when it was made), read in the sandbox as any image from anyone."""
    real = os.path.realpath(image)
    try:
        return sandbox.read_image(["--contents", real, "-"], real, walls.usable() is None)
    except Unavailable as unavailable:
        raise Refusal("%s could not be read: %s" % (image, unavailable), "unavailable") from None


def check_image(image, options, stage, guess=None, progress=None):
    """The Medium of an image as Windows reads it: the folder's check of
    its view, and the image's own findings; a Refusal where it is none."""
    folder = place_for(image, stage)
    try:
        return check_view(view_of(image, folder, options.code_page), folder, image, os.path.abspath(image), options,
                          stage, guess, progress)
    finally:
        for top, dirs, _ in os.walk(folder):  # the copy is read-only
            os.chmod(top, 0o755)
        shutil.rmtree(folder, ignore_errors=True)


def check_view(view, folder, image, path, options, stage, guess=None, progress=None):
    """check_image()'s Medium of the view of image, its tree in folder
    (copied out, or as the web page mounts it); path: the image as told."""
    exe = find_name(folder, PROGRAM)
    # An image is mended in the folder that made it: its copy here has no mends.
    ran = dataclasses.replace(options, exe=os.path.join(folder, exe) if exe else options.exe, keep_all=True,
                              stick=options.stick or view["stick"], mend=False)
    m = check_medium(folder, ran, stage, guess, progress, name=image)
    if folder != image:  # a folder named within the image, not the copy's
        m.findings.found[:] = [dataclasses.replace(f, message=f.message.replace(folder, image)) for f in m.findings.found]
    m.image = dict(view, path=path)
    if not exe and not m.options.stick:
        m.findings.problem(Refusal("the image has no %s at its root, which its open line runs: put the built "
                                   "exe there" % PROGRAM, "exe-missing"))
    image_findings(m, view)
    return m


def listed(items):
    shown = ", ".join(items[:SHOWN])
    return shown + (" and %d more" % (len(items) - SHOWN) if len(items) > SHOWN else "")


def made_by(view):
    """(who made it, in words; the option that gives Windows the names in full)."""
    tool, option = maker(view["preparer"], view["application"])
    if tool:
        return tool, "make it again with %s %s" % (tool, option)
    said = view["preparer"] or view["application"]
    return ("a tool that names itself \"%s\"" % said[:60] if said else "a tool that does not name itself",
            "make it again with Joliet names (-J -joliet-long for genisoimage and xorriso, -joliet for hdiutil "
            "makehybrid), or with quenlo-disc make")


def image_findings(m, view):
    """What the maker did to the medium, as Windows will show it."""
    found, (tool, mend) = m.findings, made_by(view)
    if view["system"] == "ISO 9660":
        found.warn("image-iso9660-names", "the image, made by %s, has no Joliet tree, so Windows shows its ISO 9660 "
                   "names: 8.3 names in capitals (%s); every link to a longer name, or one with spaces or letters "
                   "beyond ASCII, breaks there: %s" % (tool, listed(sorted(m.tree.sizes)), mend))
    if view.get("udf") and view["system"] != "UDF":
        found.warn("image-udf", "the image holds UDF (%s) beside ISO 9660, and Windows reads its UDF tree, of a "
                   "partition of a kind these tools do not read: the check read its %s names instead, which name "
                   "the same files unless the maker cut them; check the folder it was made from as well" % (
                       view["udf"], view["system"]))
    for shown, given in view["renamed"]:
        if shown.rpartition("/")[2].upper() != given.upper():
            found.warn("image-names-changed", 'Windows shows "%s" as %s, the name it was given cut to what ISO 9660 '
                       'holds: %s' % (given, shown.replace("/", "\\"), mend), shown)
    for shown, given in view["cut"]:
        found.warn("image-names-cut", 'Windows shows %s, a Joliet name cut at %d letters%s: %s' % (
            shown.replace("/", "\\"), len(shown.rpartition("/")[2]), ' ("%s" as given)' % given if given else "",
            mend.replace("-J -joliet-long", "-joliet-long") if "-joliet-long" in mend else
            "make it with -joliet-long, or shorten the names"), shown)
    label, theirs = view["label"], m.keys.get("label")
    if label and theirs is not None and label not in spellings(theirs, m):
        found.warn("image-label-differs", "the image's file system is labelled \"%s\", and its autorun.inf's label= "
                   "says \"%s\": Explorer shows autorun.inf's, and the command prompt, other systems and burning "
                   "programs the file system's; give the maker the same label (%s)"
                   % (label, theirs, 'mkfs.fat -n "%s", or Explorer\'s Rename' % theirs[:11].upper() if view["stick"]
                      else '-V "%s" for genisoimage and xorriso' % theirs[:16]), "autorun.inf",
                   line=m.key_lines.get("label", 1))
    m.theirs = []  # the image's exe and autorun.inf are its own, replacing none
    if label:  # the volume's own label, whatever autorun.inf's says
        m.label = label
        found.found[:] = [f for f in found.found if f.code != "label-missing"]
    if view.get("droppings"):
        found.warn("stick-droppings", "the stick's image holds what macOS leaves on a stick, which Windows shows "
                   "its user: %s; delete them (dot_clean on macOS, then the folders), or make the image with "
                   "quenlo-disc make --stick" % listed(view["droppings"]))
    for name in view.get("code_page_names", ()):
        found.warn("stick-code-page-names", "%s is kept as an 8.3 name alone, with letters beyond ASCII, which a "
                   "PC of another OEM code page reads otherwise (and the links to it break there): copy the files "
                   "with Explorer, or make the image with quenlo-disc make --stick" % name.replace("/", "\\"), name)


def ready_line(m):
    warnings = len(m.findings.warnings)
    return "The image is ready: Windows reads its %d files, labelled %s%s." % (
        m.image["files"], m.label, " (%d warning%s)" % (warnings, "s" * (warnings > 1)) if warnings else "")


def spellings(label, m):
    """The spellings of autorun.inf's label on the PCs it may be meant for:
    where no --code-page says which, an ANSI autorun.inf reads alike on
    several code pages, and the file system's label may be in any of them."""
    if m.options.code_page or len(m.meant) < 2:
        return {label}
    try:
        data = to_ansi(label, codec(m.meant[0]))
    except (UnicodeError, LookupError):
        return {label}
    found = {label}
    for code_page in m.meant:
        try:
            found.add(ansi(data, codec(code_page)))
        except (UnicodeError, LookupError):
            continue
    return found


def image_lines(m):
    """What check says of an image before its findings."""
    view = m.image
    return ["Image: %s, read as Windows reads it: %s%s, labelled \"%s\"; %d files" % (
        view["path"], view["system"], "" if view["stick"] else ", made by %s" % made_by(view)[0], view["label"],
        view["files"])]
