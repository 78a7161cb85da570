"""Names as Windows and the disc's Joliet tree take them: which a disc can
hold and Windows open, and how Windows matches one name with another."""
import errno
import fnmatch
import os
import re
import stat
import unicodedata
from dataclasses import dataclass, field

from . import Refusal
from .codepages import check_control, check_text

# What Windows does not allow in a name; and what the disc's Joliet names
# cannot hold though Windows would.
FORBIDDEN = set('\\/:*?"<>|')
JOLIET_FORBIDDEN = set(";")
# Joliet names hold 64 UCS-2 characters by the standard; -joliet-long, which
# Windows reads, 103, and the dot before an extension besides, as xorriso
# counts them (longer ones are cut short without a word). A path on
# the disc must leave room in MAX_PATH (260) for "D:" and the terminator, or
# Windows' ANSI calls, Quenlo's among them, cannot reach it.
JOLIET_NAME = 103
FAT_NAME = 255
DISC_PATH = 257
LABEL = 32
# What version control, editors and systems leave in a folder: not the
# medium's, so not on its disc unless asked for.
VERSION_CONTROL = {".git", ".svn", ".hg", ".bzr", "CVS", "_darcs"}
CLUTTER_FOLDERS = VERSION_CONTROL | {".Spotlight-V100", ".Trashes", ".fseventsd", ".TemporaryItems", "__MACOSX",
                                     ".idea", ".vscode"}
CLUTTER_FILES = {".ds_store", "thumbs.db", "ehthumbs.db", ".directory", ".gitignore", ".gitattributes",
                 ".gitmodules", ".hgignore"}
CLUTTER_PATTERNS = ["*~", "*.swp", "*.swo", ".*.sw?", "#*#", ".#*", "._*", "~$*", "*.tmp"]
# What an author may have left by mistake, but may also mean: kept, with a
# warning that lists them.
STRAY_PATTERNS = ["* - Copy.*", "* - Copy", "* - Copy (*)*", "*.bak", "*.orig"]
CLUTTER_NAME = re.compile("|".join(map(fnmatch.translate, CLUTTER_PATTERNS)))
STRAY_NAME = re.compile("|".join(map(fnmatch.translate, STRAY_PATTERNS)))
# Names Windows opens as devices whatever folder they are in, extension or
# not: the DOS devices, the consoles of Windows 8 and later, and COM and LPT
# with a superscript digit, which Windows reads as the digit.
DEVICES = ({"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}
           | {port + digit for port in ("COM", "LPT") for digit in "123456789\u00b9\u00b2\u00b3"})


def upper(text):
    """Windows compares names by upper-casing each character on its own,
    and keeps one whose upper case is more than one character (ß)."""
    up = text.upper()
    if len(up) == len(text):  # no character grew: the same as one by one
        return up
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in text)


def index(paths):
    """Each disc path, upper-cased as Windows compares names, to its own spelling."""
    return {upper(p): p for p in paths}


def pick(entries, name):
    """The one of entries (names) that Windows would take for name, or None."""
    if name in entries:
        return name
    wanted = upper(name)
    return next((e for e in sorted(entries) if upper(e) == wanted), None)


def find_name(folder, name):
    """The entry of folder whose name Windows would take for name, or None."""
    try:
        return pick(os.listdir(folder), name)
    except OSError:
        return None


def clutter(name, folder):
    """What kind of dropping the name is, or None for a name of the medium's own."""
    if folder and name in CLUTTER_FOLDERS:
        return "version control" if name in VERSION_CONTROL else "system or editor files"
    if not folder and (name.lower() in CLUTTER_FILES or CLUTTER_NAME.match(name)):
        return "system or editor files"
    return None


def stray(name):
    """True for a name that looks like a copy or backup left by mistake."""
    return bool(STRAY_NAME.match(name))


def disc_path(rel, name=None):
    """A path on the disc, with "/", from a path relative to the folder."""
    path = rel if name is None else name if rel == "." else os.path.join(rel, name)
    return path.replace(os.sep, "/")


@dataclass
class Tree:
    """A folder as the disc will hold it: folders, each (folder, rel, dirs,
    files), top down and sorted; what was left out, each (disc path, kind),
    and which of those are folders; the disc path of each entry that cannot
    go onto a disc; and each file's size and time of change (whole
    seconds), by disc path."""
    folders: list = field(default_factory=list)
    sizes: dict = field(default_factory=dict)
    times: dict = field(default_factory=dict)
    left_out: list = field(default_factory=list)
    left_folders: set = field(default_factory=set)
    refused: list = field(default_factory=list)

    def paths(self):
        """Every file and folder as a path on the disc, with "/"."""
        for _, rel, dirs, files in self.folders:
            for name in dirs + files:
                yield disc_path(rel, name)

    def strays(self):
        """The disc paths of copies and backups, and of empty folders."""
        found = []
        for _, rel, dirs, files in self.folders:
            found += [disc_path(rel, name) for name in dirs + files if stray(name)]
            if rel != "." and not dirs and not files:
                found.append(disc_path(rel) + "/")
        return sorted(found, key=lambda p: p.split("/"))


def link_refusal(path, top, root):
    """Why the link at path cannot go onto the disc as a copy of what it
    leads to, as (code, what); None where it leads inside root (whose real
    path is top)."""
    target = os.readlink(path)
    try:
        real = os.path.realpath(path, strict=True)
    except OSError as error:
        if error.errno == errno.ELOOP:
            return "link-loop", 'is a link loop (it leads to "%s" and back): remove the link' % target
        return "link-dangling", ('is a link to "%s", which does not exist: remove the link or restore its target'
                                 % target)
    if real != top and not real.startswith(top + os.sep):
        return "link-outside", ('is a link to %s, outside %s, and nothing from outside goes onto a disc unasked: copy '
                                'what the disc needs into the folder, or remove the link' % (real, root))
    return None


def folder_refusal(path, top, holders):
    """Why the folder at path (or a link to one) cannot go onto the disc,
    as (code, what); None where it can. holders: the real paths of the
    folders that hold it."""
    if os.path.realpath(path) in holders:
        return "link-holder", "is a link to a folder that holds it, so the disc would never end: remove the link"
    if stat.S_ISLNK(os.lstat(path).st_mode):
        return "link-folder-twice", ("is a link to the folder %s, which the disc holds by its own path already, so "
                                     "the disc would hold it twice (and every link in it as often): remove the link, "
                                     "and link the pages to that folder" % os.path.relpath(os.path.realpath(path), top))
    if not os.access(path, os.R_OK | os.X_OK):
        return "unreadable", "is a folder you cannot read: give yourself read access to it, or move it out"
    return None


def walk(root, found, keep_all=False):
    """The Tree of root; each entry that cannot go onto a disc, a problem
    among found (a check's findings). A link to a file is followed while it stays inside
    root (Windows sees a copy); a link to a folder is refused, since the
    folder is on the disc by its own path already (each real folder is
    visited once, so that links cannot multiply the disc); whatever else is
    not a plain file or folder that this user can read is refused by name:
    nothing from outside root, and nothing that cannot be copied, goes onto
    a disc unasked. Droppings of version control, editors and systems stay
    off the disc unless keep_all."""
    top = os.path.realpath(root)
    tree = Tree()

    def refuse(path, rel, code, what):
        tree.refused += [disc_path(rel)] if rel != "." else []
        found.problem(Refusal("%s %s" % (path, what), code, disc_path(rel)))

    def entry(folder, rel, name, holders):
        """"dir", "file", or None for what cannot go onto the disc."""
        path, here = os.path.join(folder, name), disc_path(rel, name)
        info = os.lstat(path)
        kind = None if keep_all else clutter(name, stat.S_ISDIR(info.st_mode))
        if kind:
            tree.left_out.append((here, kind))
            if stat.S_ISDIR(info.st_mode):
                tree.left_folders.add(here)
            return None
        if stat.S_ISLNK(info.st_mode):
            why = link_refusal(path, top, root)
            if why:
                return refuse(path, here, *why)
            info = os.stat(path)
        if stat.S_ISDIR(info.st_mode):
            why = folder_refusal(path, top, holders)
            return refuse(path, here, *why) if why else "dir"
        if stat.S_ISREG(info.st_mode):
            if not os.access(path, os.R_OK):
                return refuse(path, here, "unreadable", "is a file you cannot read: give yourself read access to it, "
                              "or move it out")
            tree.sizes[here], tree.times[here] = info.st_size, int(info.st_mtime)
            return "file"
        kind = ("a named pipe" if stat.S_ISFIFO(info.st_mode) else "a socket" if stat.S_ISSOCK(info.st_mode)
                else "a device")
        return refuse(path, here, "not-a-file", "is %s, not a file a disc can hold: move it out of the folder" % kind)

    def visit(folder, rel, holders):
        try:
            names = sorted(os.listdir(folder))
        except OSError as error:
            return refuse(folder, rel, "unreadable", "cannot be read (%s): give yourself read access to it, or move "
                          "it out" % error.strerror)
        dirs, files = [], []
        for name in names:
            kind = entry(folder, rel, name, holders)
            if kind:
                (dirs if kind == "dir" else files).append(name)
        yield folder, rel, dirs, files
        for name in dirs:
            path = os.path.join(folder, name)
            yield from visit(path, name if rel == "." else os.path.join(rel, name), holders | {os.path.realpath(path)})

    tree.folders = list(visit(root, ".", {top}))
    return tree


def device_name(name):
    """True for a name that Windows takes for a device (NUL, COM1, ...), with
    any extension and blanks before it, on any Windows still in use."""
    return upper(name.split(".", 1)[0].rstrip(" ")) in DEVICES


def name_problems(root, tree, stick=False):
    """A Refusal for each name in tree (walk(root)) that does not survive as
    a Joliet name (with stick, a FAT long name) Windows can open, in the
    folder's order."""
    for folder, rel, dirs, files in tree.folders:
        where = "the top of %s" % root if rel == "." else os.path.join(root, rel)
        seen = {}
        for raw in sorted(dirs + files):
            name, here = os.fsdecode(raw), disc_path(rel, os.fsdecode(raw))
            problem = name_problem(name, where, rel, stick)
            other = seen.setdefault(upper(name), name)
            if problem is None and other != name:
                problem = Refusal('"%s" and "%s" in %s differ only in case, and Windows sees one of them: rename one'
                                  % (other, name, where), "name-case-twins")
            if problem:
                problem.path = here
                yield problem


def name_problem(name, where, rel, stick=False):
    """A Refusal for one name that the disc (or stick) cannot hold or Windows
    not open, or None."""
    if not PLAIN.match(name) or device_name(name):
        return odd_name_problem(name, where, rel, stick)
    if len(rel) + len(name) + 2 > DISC_PATH:
        length = len("\\" + os.path.normpath(os.path.join(rel, name)))
        if length > DISC_PATH:
            return Refusal('the path of "%s" in %s is %d characters long on the disc, more than %d: shorten the names '
                           'or the nesting' % (name, where, length, DISC_PATH), "path-too-long")
    return None


# A name that needs no more than its path's length checked: of the Basic
# Multilingual Plane, no character that Windows or Joliet refuses in it, not
# too long, not ending in a dot or blank.
PLAIN = re.compile(r"[^\\/:*?\"<>|;\x00-\x1f\ud800-\udfff\U00010000-\U0010ffff]{0,%d}"
                   r"[^\\/:*?\"<>|;\x00-\x1f\ud800-\udfff\U00010000-\U0010ffff. ]\Z" % (JOLIET_NAME - 1))


def odd_name_problem(name, where, rel, stick=False):
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return Refusal('a name in %s is not valid UTF-8 (%r): rename it' % (where, name), "name-not-utf8")
    bad = sorted({c for c in name if c in FORBIDDEN or ord(c) < 32})
    if bad:
        return Refusal('the name "%s" in %s has %s, which Windows does not allow in names: rename it'
                       % (name, where, " ".join('"%s"' % c if ord(c) >= 32 else "control characters" for c in bad)),
                       "name-forbidden")
    bad = sorted({c for c in name if c in JOLIET_FORBIDDEN and not stick})
    if bad:
        return Refusal('the name "%s" in %s has %s, which Windows allows but the disc\'s Joliet names cannot hold: '
                       'rename it' % (name, where, " ".join('"%s"' % c for c in bad)), "name-joliet")
    if any(ord(c) > 0xFFFF for c in name) and not stick:
        return Refusal('the name "%s" in %s has characters Joliet (UCS-2) cannot hold: rename it' % (name, where),
                       "name-joliet")
    if stick and len(name.encode("utf-16-le")) > 2 * FAT_NAME:
        return Refusal('the name "%s" in %s is longer than the %d UTF-16 units a FAT long name holds: shorten it'
                       % (name, where, FAT_NAME), "name-too-long")
    if len(name) > JOLIET_NAME + ("." in name) and not stick:
        return Refusal('the name "%s" in %s has %d characters; the disc\'s Joliet names hold at most %d, and the dot '
                       'of an extension besides: shorten it' % (name, where, len(name), JOLIET_NAME), "name-too-long")
    if name[-1] in ". ":
        return Refusal('the name "%s" in %s ends with a dot or a space, which Windows drops: rename it'
                       % (name, where), "name-trailing-dot")
    if device_name(name):
        return Refusal('the name "%s" in %s is one Windows keeps for a device (%s), so the file cannot be opened: '
                       'rename it' % (name, where, upper(name.split(".", 1)[0].rstrip(" "))), "name-device")
    length = len("\\" + os.path.normpath(os.path.join(rel, name)))
    if length > DISC_PATH:
        return Refusal('the path of "%s" in %s is %d characters long on the disc, more than %d: shorten the names or '
                       'the nesting' % (name, where, length, DISC_PATH), "path-too-long")
    return None


def check_label(label, code_page=None, meant=(), unicode=False):
    """The label, refused only where Windows cannot show it: empty, or beyond
    the PCs' code page (ASCII without code_page) unless autorun.inf is
    Unicode. Windows shows autorun.inf's label in full, and otherwise the
    Joliet volume label (joliet_label()); other systems read the ISO 9660
    one (iso_label())."""
    if not label.strip():
        raise Refusal("the volume label is empty: give --label a name, or leave --label out", "label-empty")
    if unicode:
        check_control("the volume label", label)
    else:
        check_text("the volume label", label, code_page, meant)


JOLIET_LABEL = 16
# Letters of other scripts as ASCII writes them, for the ISO 9660 label.
LATIN = dict(zip("абвгдеёжзийклмнопрстуфхцчшщъыьэюя"
                 "αβγδεζηθικλμνξοπρσςτυφχψω",
                 "a b v g d e e zh z i i k l m n o p r s t u f kh ts ch sh shch - y - e yu ya "
                 "a v g d e z i th i k l m n x o p r s s t y f ch ps o".split()))


def joliet_label(label):
    """The Joliet volume label, which Windows shows without autorun.inf's."""
    return label[:JOLIET_LABEL]


def iso_label(label):
    """An ASCII form of the label for the ISO 9660 volume descriptor (at
    most 32 characters), which systems without Joliet read."""
    out = []
    for c in unicodedata.normalize("NFKD", label):
        latin = LATIN.get(c.lower(), c)
        out.append("" if latin == "-" else latin.capitalize() if c != c.lower() else latin)
    text = re.sub(" +", " ", "".join(c for c in out if len(c) > 1 or 32 <= ord(c) < 127)).strip()
    return text[:LABEL].rstrip() or "DISC"
