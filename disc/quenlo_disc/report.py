"""What the command says: the lines an author reads, or one JSON document,
made from what a check, a mastering or a try found."""
import json
import os
import re
import sys

from . import VERSION, Refusal
from .check import VERB
from .codepages import described
from .findings import Finding
from .iso import fitting
from .links import there
from .tools import in_words, visible

# Keys of autorun.inf that Windows reads only from some kinds of drive, and
# what it does with them on the disc in hand (a CD or DVD).
IGNORED_ON_DISCS = {"action": "Windows ignores it on a CD or DVD; USB sticks show it"}
KEYS = ("label", "icon", "action")


class Output:
    """Where a command's words go (out and err, standard output and error
    unless given): the human lines, or with --json (or --sarif) nothing but
    one JSON (or SARIF) document on out at the end. doc: that document,
    as far as the command found anything (found() gives it); refusals:
    those that ended the command, among the document's findings."""

    def __init__(self, json_wanted=False, sarif_wanted=False, out=None, err=None):
        self.json, self.sarif = json_wanted or sarif_wanted, sarif_wanted
        self.out, self.err = out or sys.stdout, err or sys.stderr
        self.doc, self.refusals = None, []

    def found(self, doc):
        """What the command found, as its document says it."""
        self.doc = doc

    def line(self, text=""):
        if not self.json:
            print(shown(text), file=self.out)

    def raw(self, made):
        """What is meant for a program (a diff for git apply): made(True), its
        very bytes, where it goes to a file or a pipe; made(False), its text
        made visible, to a terminal."""
        if self.json:
            return
        if self.out.isatty():
            print(shown(made(False).rstrip("\n")), file=self.out)
        elif hasattr(self.out, "buffer"):
            self.out.flush()
            self.out.buffer.write(made(True))
            self.out.buffer.flush()
        else:
            self.out.write(made(True).decode("utf-8", "surrogateescape"))

    def stderr(self, text):
        if not self.json:
            print(shown(text), file=self.err)

    def refused(self, prog, refusal):
        """A refusal that ends the command: its one line; with --json, among
        the document's findings."""
        self.refusals.append(Finding.of(refusal))
        self.stderr("%s: %s" % (prog, refusal))

    def document(self, command):
        """The command's JSON document: what it found, and the refusal that ended it."""
        doc = dict(self.doc) if self.doc else {"command": command, "version": VERSION, "verdict": "refused",
                                               "findings": []}
        if self.refusals:
            doc["verdict"] = "refused"
            doc["findings"] = doc.get("findings", []) + [f.as_dict() for f in self.refusals]
        return doc

    def end(self, command):
        """Prints the document, where one was asked for; returns it."""
        doc = self.document(command)
        if self.sarif:
            from . import sarif
            print(as_json(sarif.document(doc)), file=self.out)
        elif self.json:
            print(as_json(doc), file=self.out)
        return doc


# What JSON leaves raw in its strings that a terminal or an editor takes for
# an order: C1 controls (U+009B is a terminal's CSI), and the characters that
# break or turn lines.
RAW = re.compile("[\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def as_json(doc):
    """doc as JSON in its own letters, every control character escaped."""
    return RAW.sub(lambda found: "\\u%04x" % ord(found.group(0)), json.dumps(doc, indent=2, ensure_ascii=False))


def shown(text):
    """Lines for a terminal: whatever came from a disc is made visible there
    already; this is the wall's last stone, for every control character
    but the lines' own ends."""
    return "\n".join(visible(line) for line in text.split("\n"))


def counted(n, what):
    return "%d %s%s" % (n, what, "" if n == 1 else "s")


# ---------------------------------------------------------------- a medium

def key_lines(keys):
    """How Windows reads autorun.inf: its open line, then the other keys it
    uses, and the verbs of the disc's menu in Explorer."""
    lines = ["open: %s" % keys["open"]] if "open" in keys else []
    for key in KEYS:
        if key in keys:
            lines.append("%s: %s%s" % (key, keys[key], " (%s)" % IGNORED_ON_DISCS[key] if key in IGNORED_ON_DISCS
                                       else ""))
    for key, value in keys.items():
        verb = VERB.fullmatch(key)
        if verb:
            text = keys.get("shell\\" + verb.group(1))
            lines.append("verb %s: %s%s" % (verb.group(1), value, ' (the menu shows "%s")' % text if text else ""))
        elif key == "shellexecute":
            lines.append("shellexecute: %s" % value)
    return lines


def fits(size, stick=False):
    medium = fitting(size, stick)
    if stick:
        return ("fits a %s: write it onto the stick whole, with dd or an image-writing tool (on a bigger stick the "
                "rest stays free until its partition is grown)" % medium if medium else
                "fits no common stick: split the medium")
    return "fits a %s" % medium if medium else "fits none of CD-R, DVD\u00b1R, DVD\u00b1R DL or BD-R: split the medium"


def describe(m):
    """What Windows will make of the disc, and what went onto it how."""
    label, shown, volume = m.label, m.keys.get("label"), m.volume_label
    code_page = m.options.code_page
    lines = stick_lines(m) if m.options.stick else []
    lines += ["For PCs using %s" % described(code_page) if code_page else
             "For PCs of every code page: its page and label are ASCII" if label.isascii() else
             "For PCs of every code page: its page is ASCII, its label in a Unicode autorun.inf"]
    if m.options.stick:
        lines += ['Windows shows the stick as "%s"%s; its FAT volume label reads "%s" (it holds 11 ASCII capitals)'
                  % (m.shown_label, " (autorun.inf's label)" if shown else "", volume)]
    else:
        lines += ['Windows shows the disc as "%s"%s; its volume label reads "%s"%s%s'
                  % (m.shown_label, " (autorun.inf's label)" if shown else "", volume,
                     " (Joliet holds 16 characters)" if len(label) > 16 else "",
                     '; systems without Joliet read "%s"' % m.iso_label if m.iso_label != label else "")]
    if m.left_out:
        lines.append("Left out: %s (--keep-everything puts them on the disc)"
                     % ", ".join("%s%s (%s)" % (left["path"], "/" if left["folder"] else "", left["kind"])
                                 for left in m.left_out_listed()))
    for path in m.replaced:
        lines.append("Replaced: %s, by the quenlo.exe that the disc carries" % path)
    if m.updated:
        lines.append("autorun.inf: yours, with %s set by the options" % " and ".join(m.updated))
    links = m.links
    lines.append("Links: %d to files on the disc, %s; %d to the web and %d to mail addresses, not followed"
                 % (links["file"], there(m.scripted), links["web"], links["mail"]))
    return lines


def stick_lines(m):
    """What a stick's user meets, which is not what a CD's does."""
    start = m.start or "a page at its root"
    return ["A USB stick (FAT32): Windows runs nothing from it by itself (not the open line); its user opens it and "
            "double-clicks %s%s" % (start.replace("/", "\\"), "" if m.start == (m.page or "").replace("\\", "/") else
                                    ", which leads to %s" % m.page),
            "A stick that presents itself as a CD-ROM drive does run the open line: make the ISO image (without "
            "--stick) for one"]


def signature_lines(sig):
    lines = ["Signed by: %s (Authenticode, SHA-256)%s" % (sig["signer"], "" if sig["trusted"] else
                                                           " (see its warning: Windows cannot check who signed)")]
    if sig["stamped"]:
        lines.append("Time-stamped: %s by %s, so the signature stays good after the certificate expires%s"
                     % (sig["stamped"], sig["authority"], "" if sig["authority_trusted"] else
                        " (if Windows trusts that authority, which this machine does not)"))
    else:
        lines.append("Not time-stamped: the signature stops verifying when the certificate expires (%s); "
                     "--timestamp URL has an authority stamp it" % sig["expires"])
    return lines


def findings(m, prog, out, verdict):
    """The findings, warnings and problems alike, each in one line on
    standard error in the folder's order; with problems, a last line that
    counts them. True when there were problems."""
    for finding in m.findings.sorted():
        out.stderr("%s: %s%s" % (prog, "warning: " if finding.warning else "", finding.message))
    problems, warnings = len(m.problems), len(m.findings.warnings)
    if problems:
        out.stderr("%s: %s%s; %s" % (prog, counted(problems, "problem"), ", " + counted(warnings, "warning")
                                     if warnings else "", verdict))
    return bool(problems)


def medium_json(m, command):
    size = m.estimate()
    mends = {id(f): (mend, why) for f, mend, why in m.mends} if m.mends is not None else None
    return {"command": command, "version": VERSION, "source": m.source, "verdict": "refused" if m.problems else "ready",
            "keys": m.keys, "ignored": {k: v for k, v in IGNORED_ON_DISCS.items() if k in m.keys},
            "page": m.page, "label": m.label, "shown_label": m.shown_label, "volume_label": m.volume_label,
            "iso_label": m.iso_label, "start": m.start, "code_page": m.options.code_page,
            "findings": [mended(f, mends) for f in m.findings.sorted()] if mends else
            [f.as_dict() for f in m.findings.sorted()],
            "problems": len(m.problems), "warnings": len(m.findings.warnings), "links": m.links,
            "left_out": m.left_out_listed(), "strays": m.strays, "files": m.files(),
            "size": size, "medium": fitting(size, m.options.stick), "stick": m.options.stick,
            "signature": {k: v for k, v in m.signature.items() if k != "exe"} if m.signature else None}


def mended(finding, mends):
    """A finding's dict with its mend (fix), or why it has none where its kind has one (unmended)."""
    mend, why = mends.get(id(finding), (None, None))
    return dict(finding.as_dict(), fix=mend.as_dict() if mend else None, **({"unmended": why} if why else {}))


def fix_said(m, changes, out, prog, unsafe, made):
    """All fix says: the diff of the mends chosen, each finding left as it
    is, and what was written. 0 where no problem is left unmended."""
    out.found(dict(medium_json(m, "fix"), written=made))
    if changes:
        out.raw(changes.diff)
    left = 0
    for finding, mend, why in m.mends:
        if mend and (mend.safe or unsafe):
            continue
        left += not finding.warning
        reason = ("an unsafe mend (%s) is made with --unsafe" % mend.says if mend else why or "fix has no mend for "
                  "it: mend it by hand")
        out.stderr("%s: %s%s (not mended: %s)" % (prog, "warning: " if finding.warning else "", finding.message,
                                                  reason))
    done = len(m.mends) - sum(1 for _, mend, _ in m.mends if not (mend and (mend.safe or unsafe)))
    if made:
        out.stderr("%s mended in %s: check it again with quenlo-disc check" % (counted(done, "finding"), made))
    else:
        out.stderr("%s to mend%s" % (counted(done, "finding"), ": --write makes the changes above in the folder, "
                                   "--to DEST in a copy of it" if done else ""))
    return 1 if left else 0


def check_said(m, out, prog, same=None, given=None):
    """All a check says of the medium m, the command's and the web page's
    alike: its document, what Windows will make of it, each finding, and
    the verdict (same: whether it makes the image given, where asked); of
    an image checked as shipped, what it is besides. Returns the exit status."""
    doc = dict(medium_json(m, "check"), **({"against": same} if same else {}))
    shipped = None
    if m.image:
        from . import shipped  # an image's reader: for an image alone
        doc.update(source=m.image["path"], image=m.image)
    out.found(doc)
    for line in shipped.image_lines(m) if shipped else ():
        out.line(line)
    checked(m, out, same, given)
    if findings(m, prog, out, "the medium is not ready: mend them and check again"):
        return 1
    out.line(shipped.ready_line(m)) if shipped else ready(m, out)
    return 0


def checked(m, out, same, given=None):
    """What check says of a medium before its findings."""
    for line in key_lines(m.keys):
        out.line(line)
    if not m.problems:
        for line in describe(m) + ["Image: about {:.1f} MiB, which {}".format(m.estimate() / 1048576,
                                                                              fits(m.estimate(), m.options.stick))]:
            out.line(line)
        if m.signature:
            out.line("\n".join(signature_lines(m.signature)))
    if same and same["same"]:
        out.line("Same image: %s is what this folder makes, byte for byte (SHA-256 %s)" % (given, same["made"]))


def ready(m, out):
    out.line("The medium is ready: make would master it with %d files, labelled %s%s."
             % (m.files(), m.label, " (%s)" % counted(len(m.findings.found), "warning") if m.findings.found else ""))


def made(m, out, output, size, digest):
    """What make says of the image it wrote."""
    out.doc.update(image=os.path.abspath(output), size=size, medium=fitting(size, m.options.stick), sha256=digest)
    label = m.label
    out.line("%s image: %s" % ("Stick" if m.options.stick else "Disc", output))
    # Joliet's volume label, the one Windows reads, holds 16 characters.
    out.line("Label: %s%s" % (label, "" if m.options.stick or len(label) <= 16 else
                              ' (Windows reads its first 16 characters as the volume label: "%s")' % label[:16]))
    out.line("Open line: %s" % m.keys["open"])
    for line in key_lines(m.keys)[1:]:
        if not line.startswith("label: "):
            out.line(line)
    out.line("\n".join(describe(m)))
    out.line("Files: %d" % m.files())
    out.line("Image size: {:,} bytes ({:.1f} MiB), which {}".format(size, size / 1048576, fits(size, m.options.stick)))
    out.line("SHA-256: %s" % digest)
    if m.signature:
        out.line("\n".join(signature_lines(m.signature)))


# ---------------------------------------------------------------- a try

SANDBOXED = "Sandbox: no network, nothing of yours in reach; only the try's own files are written"
UNSANDBOXED = "Sandbox: none (--no-sandbox): the disc's programs run with your rights, not sandboxed"


def thirty_two_bits(how, entry=None):
    """What a try of a 32-bit disc says of how its exe runs here."""
    from .host import Emulation  # of a try's: imported for a try alone
    if how is Emulation.NATIVE:
        return "Its quenlo.exe is 32-bit, as shipped: it runs natively."
    if how is Emulation.MACHINE:
        return ("Its quenlo.exe is 32-bit, as shipped: it runs under this machine's qemu (binfmt_misc's entry %s has "
                "every i386 program of this machine run so), which takes longer." % entry)
    return "Its quenlo.exe is 32-bit, as shipped: it runs under qemu in the sandbox, which takes longer."


def try_json(tried):
    """The try's document: the disc, how it ran, each PC's row and the verdict."""
    doc = {"command": "try", "version": VERSION, "image": tried.image, "sandboxed": tried.sandboxed,
           "verdict": "not shown" if tried.why else "shown", "rows": [row.as_json() for row in tried.rows],
           "findings": [Finding.of(not_shown(tried)).as_dict()] if tried.why else []}
    known = {"memory": tried.memory, "emulation": tried.emulation and tried.emulation.value, "keys": tried.keys}
    doc.update((k, v) for k, v in known.items() if v is not None)
    if tried.size is not None:
        doc.update(size=tried.size, medium=tried.medium, sha256=tried.sha256, label=tried.label)
    if tried.stick:
        doc["stick"] = True
    if tried.matrix and tried.rows:
        doc["contact_sheet"] = tried.sheet
    return doc


def not_shown(tried):
    """The try's verdict where the page was not shown: where each PC that
    missed it opened it, only no picture shows it, a code of its own."""
    missed = [row for row in tried.rows if row.why]
    pictured = "not-pictured" if missed and all(row.opened for row in missed) else "not-shown"
    return Refusal(tried.why if tried.matrix else "the page was not %s: %s" % (
        "shown" if pictured == "not-pictured" else "opened", tried.why), pictured)


def verdict(tried, prog, out):
    """The try's last line; True when the page was shown."""
    if tried.why:
        out.stderr("%s: %s" % (prog, not_shown(tried)))
        return False
    out.line("The page was shown on every kind of PC that can reach it." if tried.matrix else "The page was opened.")
    return True


def cleared(out, cache, there, freed):
    """What try --clear-cache says of the cache it removed."""
    out.found({"command": "try", "version": VERSION, "cache": cache, "freed": freed})
    out.line("Removed the cache %s: %s freed" % (cache, in_words(freed)) if there
             else "There is no cache at %s: nothing to remove" % cache)
