"""Names as Windows and the disc's Joliet tree take them: which a disc can
hold and Windows open, and how Windows matches one name with another."""
import os

from . import Refusal

# What Windows does not allow in a name, and what Joliet cannot hold (";").
FORBIDDEN = set('\\/:*?"<>|;')
# Joliet names hold 64 UCS-2 characters by the standard; -joliet-long, which
# Windows reads, 103 (longer ones are cut short without a word). A path on
# the disc must leave room in MAX_PATH (260) for "D:" and the terminator, or
# Windows' ANSI calls, Quenlo's among them, cannot reach it.
JOLIET_NAME = 103
DISC_PATH = 257
LABEL = 32


def upper(text):
    """Windows compares names by upper-casing each character on its own."""
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in text)


def find_name(folder, name):
    """The entry of folder whose name Windows would take for name, or None."""
    try:
        entries = os.listdir(folder)
    except OSError:
        return None
    if name in entries:
        return name
    wanted = upper(name)
    return next((e for e in sorted(entries) if upper(e) == wanted), None)


def check_names(root):
    """Every name under root must survive as a Joliet name Windows can open."""
    for folder, dirs, files in os.walk(root, followlinks=True):
        dirs.sort()
        rel = os.path.relpath(folder, root)
        where = "the top of %s" % root if rel == "." else os.path.join(root, rel)
        seen = {}
        for raw in dirs + sorted(files):
            name = os.fsdecode(raw)
            try:
                name.encode("utf-8")
            except UnicodeEncodeError:
                raise Refusal('a name in %s is not valid UTF-8 (%r): rename it' % (where, name)) from None
            bad = sorted({c for c in name if c in FORBIDDEN or ord(c) < 32})
            if bad:
                raise Refusal('the name "%s" in %s has %s, which Windows does not allow in names: rename it'
                              % (name, where, " ".join('"%s"' % c if ord(c) >= 32 else "control characters"
                                                       for c in bad)))
            if any(ord(c) > 0xFFFF for c in name):
                raise Refusal('the name "%s" in %s has characters Joliet (UCS-2) cannot hold: rename it'
                              % (name, where))
            if len(name) > JOLIET_NAME:
                raise Refusal('the name "%s" in %s has %d characters; the disc\'s Joliet names hold at most %d: '
                              'shorten it' % (name, where, len(name), JOLIET_NAME))
            if name[-1] in ". ":
                raise Refusal('the name "%s" in %s ends with a dot or a space, which Windows drops: rename it'
                              % (name, where))
            other = seen.setdefault(upper(name), name)
            if other != name:
                raise Refusal('"%s" and "%s" in %s differ only in case, and Windows sees one of them: rename one'
                              % (other, name, where))
            disc_path = len("\\" + os.path.normpath(os.path.join(rel, name)))
            if disc_path > DISC_PATH:
                raise Refusal('the path of "%s" in %s is %d characters long on the disc, more than %d: '
                              'shorten the names or the nesting' % (name, where, disc_path, DISC_PATH))


def check_label(label):
    if len(label) > LABEL:
        raise Refusal('the volume label "%s" has %d characters; ISO 9660 holds at most %d: shorten it'
                      % (label, len(label), LABEL))
    odd = sorted({c for c in label if not (32 <= ord(c) <= 126)})
    if odd or not label.strip():
        raise Refusal('the volume label "%s" has characters ISO 9660 cannot hold%s: use ASCII letters, '
                      'digits and spaces' % (label, " (%s)" % "".join(odd) if odd else ""))
