"""The quenlo-disc command: check a medium, make its disc image, try the image.

    quenlo-disc check [options] SOURCE_DIR
    quenlo-disc make  [options] SOURCE_DIR OUTPUT.iso
    quenlo-disc try   [options] IMAGE.iso

A thin layer: options in, the modules' findings out. Every refusal is one
line on standard error and exit status 1.
"""
import argparse
import json
import os
import shutil
import signal
import sys
import tempfile

from . import VERSION, Finding, Refusal, codepages, driver, master, names, preflight, sandbox, wine

KEYS = ("label", "icon", "action")


class Parser(argparse.ArgumentParser):
    """argparse, but a usage error is one line like every other refusal, and
    each option's help is one line."""

    def __init__(self, **kwargs):
        kwargs.setdefault("formatter_class", lambda prog: argparse.HelpFormatter(prog, max_help_position=24, width=160))
        super().__init__(**kwargs)

    def error(self, message):
        self.exit(2, "%s: %s (see %s --help)\n" % (self.prog, message, self.prog))


def code_page_option(text):
    try:
        return codepages.parse(text)
    except Refusal as refusal:
        raise argparse.ArgumentTypeError(str(refusal)) from None


def medium_options(parser):
    parser.add_argument("--start", metavar="PAGE",
                        help='write autorun.inf with open=quenlo.exe PAGE, e.g. --start "docs\\read me.htm"')
    parser.add_argument("--label", help='the disc\'s name, which Windows shows from autorun.inf (its volume label '
                                         'holds 16 characters), e.g. --label "My product"')
    parser.add_argument("--icon", metavar="FILE.ico", help="the disc's icon, copied to its root, e.g. --icon art/disc.ico")
    parser.add_argument("--action", metavar="TEXT", help='write action=TEXT, the entry of AutoPlay on USB sticks '
                                                         '(not CDs), e.g. --action "Open the catalogue"')
    parser.add_argument("--exe", help="the quenlo.exe to put on the disc (default: the shipped one), "
                                      "e.g. --exe build/win64/quenlo.exe")
    parser.add_argument("--sign", metavar="CERT.pfx", help="sign the disc's quenlo.exe with this certificate; its "
                                                           "password in QUENLO_SIGN_PASSWORD, e.g. --sign me.pfx")
    parser.add_argument("--timestamp", metavar="URL", help="with --sign, have the time-stamping authority at URL "
                                                           "(RFC 3161) stamp the signature, e.g. --timestamp "
                                                           "http://timestamp.example.com")
    parser.add_argument("--code-page", metavar="CP", type=code_page_option,
                        help="the ANSI code page of the PCs the disc is for, so the page and label may use its "
                             "letters, e.g. --code-page 932 (Japanese)")
    parser.add_argument("--keep-everything", action="store_true",
                        help="put version control folders and system and editor files (.git, .DS_Store, *~) on the "
                             "disc too, e.g. --keep-everything")
    parser.add_argument("--json", action="store_true", help="print one JSON document of the findings on standard "
                                                            "output instead of the lines, e.g. --json")
    parser.add_argument("source", metavar="SOURCE_DIR", help="the folder that holds the medium's pages, e.g. my-pages/")


# What each exit status means, for --help and the manual alike.
EXIT_STATUS = [("0", "the medium is ready, the image was made, or the page was shown"),
               ("1", "the medium or the image was refused, or the page was not shown (each reason in one line)"),
               ("2", "wrong usage: an unknown command or option, or one missing")]


def epilog():
    return "exit status: " + "; ".join("%s %s" % pair for pair in EXIT_STATUS)


def parsers(prog):
    top = Parser(prog=prog, description="Quenlo's disc tools %s: check a medium, make its disc image, and try the "
                                        "image as a user's PC meets it." % VERSION, epilog=epilog())
    top.add_argument("--version", action="version", version="%(prog)s " + VERSION)
    sub = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    check = sub.add_parser("check", help="check a medium as a user's PC will meet it, writing nothing, "
                                         "e.g. quenlo-disc check my-pages/",
                           description="Check SOURCE_DIR as `make` would, without writing an image, and report "
                                       "every problem at once.", epilog=epilog())
    medium_options(check)
    check.add_argument("--against", metavar="IMAGE.iso", help="say whether the folder makes this very image, byte "
                                                              "for byte, e.g. --against my-product.iso")
    make = sub.add_parser("make", help="check a medium and master it as an ISO image, "
                                       "e.g. quenlo-disc make my-pages/ my-product.iso",
                          description="Master SOURCE_DIR as an ISO 9660 image with Joliet and Rock Ridge, with "
                                      "quenlo.exe and autorun.inf at its root, after checking it. The same folder, "
                                      "options and exe make the same image.", epilog=epilog())
    medium_options(make)
    make.add_argument("output", metavar="OUTPUT.iso", help="the image to write, e.g. my-product.iso")
    trying = sub.add_parser("try", help="run an image as a user's PC meets it, with a picture, "
                                        "e.g. quenlo-disc try my-product.iso",
                            description="Run IMAGE.iso as the CD drive D: of a private Wine prefix, its open line "
                                        "from D:\\, and save a picture of the screen beside it (IMAGE.try.png).",
                            epilog=epilog())
    trying.add_argument("image", metavar="IMAGE.iso", help="the disc image to try, e.g. my-product.iso")
    trying.add_argument("--broken-association", action="store_true",
                        help='a PC with no browser registered for ".htm", e.g. --broken-association')
    trying.add_argument("--code-page", metavar="CP", type=code_page_option, default=codepages.WESTERN,
                        help="a PC of that ANSI code page (default 1252, Western), e.g. --code-page 932")
    trying.add_argument("--matrix", action="store_true",
                        help="several kinds of PC in one run, with a table and a contact sheet IMAGE.matrix.png, "
                             "e.g. --matrix")
    trying.add_argument("--no-sandbox", action="store_true",
                        help="run the disc's programs without the sandbox that keeps them from your files and the "
                             "network, where none can be made, e.g. --no-sandbox")
    trying.add_argument("--json", action="store_true", help="print one JSON document of each PC's row on standard "
                                                            "output instead of the lines, e.g. --json")
    return top


def options(a):
    return master.Options(start=a.start, label=a.label, icon=a.icon, action=a.action, exe=a.exe, sign=a.sign,
                          timestamp=a.timestamp, keep_all=a.keep_everything, code_page=a.code_page)


def describe(m):
    """What Windows will make of the disc, and what went onto it how."""
    label, shown = m.label, m.keys.get("label")
    joliet, iso = names.joliet_label(label), names.iso_label(label)
    lines = ["For PCs using %s" % codepages.described(m.o.code_page) if m.o.code_page else
             "For PCs of every code page: its page and label are ASCII"]
    lines += ['Windows shows the disc as "%s"%s; its volume label reads "%s"%s%s'
              % (shown or joliet, " (autorun.inf's label)" if shown else "", joliet,
                 " (Joliet holds 16 characters)" if len(label) > 16 else "",
                 '; systems without Joliet read "%s"' % iso if iso != label else "")]
    if m.left_out:
        lines.append("Left out: %s (--keep-everything puts them on the disc)"
                     % ", ".join("%s%s (%s)" % (path, "/" if os.path.isdir(os.path.join(m.source, path)) else "",
                                                kind) for path, kind in m.left_out))
    for path in m.replaced:
        lines.append("Replaced: %s, by the quenlo.exe that the disc carries" % path)
    if m.updated:
        lines.append("autorun.inf: yours, with %s set by the options" % " and ".join(m.updated))
    links = m.links
    lines.append("Links: %d to files on the disc, all there; %d to the web and %d to mail addresses, not followed"
                 % (links["file"], links["web"], links["mail"]))
    return lines


def fits(size):
    medium = master.fitting(size)
    return "fits a %s" % medium if medium else "fits none of CD-R, DVD\u00b1R, DVD\u00b1R DL or BD-R: split the medium"


def signature_lines(sig):
    lines = ["Signed by: %s (Authenticode, SHA-256)" % sig["signer"]]
    if not sig["trusted"]:
        lines.append("Windows will call its publisher unknown: the certificate %s, so Windows cannot check who "
                     "signed: sign with a code-signing certificate from a certificate authority"
                     % ("is self-signed" if sig["self_signed"] else "does not lead to a root this machine trusts"))
    if sig["stamped"]:
        lines.append("Time-stamped: %s by %s, so the signature stays good after the certificate expires%s"
                     % (sig["stamped"], sig["authority"], "" if sig["authority_trusted"] else
                        " (if Windows trusts that authority, which this machine does not)"))
    else:
        lines.append("Not time-stamped: the signature stops verifying when the certificate expires (%s); "
                     "--timestamp URL has an authority stamp it" % sig["expires"])
    return lines


# Keys of autorun.inf that Windows reads only from some kinds of drive, and
# what it does with them on the disc in hand (a CD or DVD).
IGNORED_ON_DISCS = {"action": "Windows ignores it on a CD or DVD; USB sticks show it"}


def key_lines(keys):
    """How Windows reads autorun.inf: its open line, then the other keys it
    uses, and the verbs of the disc's menu in Explorer."""
    lines = ["open: %s" % keys["open"]] if "open" in keys else []
    for key in KEYS:
        if key in keys:
            lines.append("%s: %s%s" % (key, keys[key], " (%s)" % IGNORED_ON_DISCS[key] if key in IGNORED_ON_DISCS
                                       else ""))
    for key, value in keys.items():
        verb = master.VERB.fullmatch(key)
        if verb:
            text = keys.get("shell\\" + verb.group(1))
            lines.append("verb %s: %s%s" % (verb.group(1), value, ' (the menu shows "%s")' % text if text else ""))
        elif key == "shellexecute":
            lines.append("shellexecute: %s" % value)
    return lines


def counted(n, what):
    return "%d %s%s" % (n, what, "" if n == 1 else "s")


def report(m, prog, out):
    """The findings, warnings and problems alike, each in one line on
    standard error in the folder's order; with problems, a last line that
    counts them, and a Refusal (status 1) with nothing more to say."""
    for finding in m.sorted_findings():
        out.stderr("%s: %s%s" % (prog, "warning: " if finding.warning else "", finding.message))
    problems, warnings = len(m.problems), len(m.findings) - len(m.problems)
    if problems:
        out.stderr("%s: %s%s; %s" % (prog, counted(problems, "problem"), ", " + counted(warnings, "warning")
                                     if warnings else "", out.verdict))
        raise Refusal("", "reported")


def medium_json(m, command):
    size = m.estimate()
    return {"command": command, "version": VERSION, "source": m.source, "verdict": "refused" if m.problems else "ready",
            "keys": m.keys, "ignored": {k: v for k, v in IGNORED_ON_DISCS.items() if k in m.keys},
            "page": m.page, "label": m.label, "code_page": m.o.code_page,
            "findings": [f.as_dict() for f in m.sorted_findings()],
            "problems": len(m.problems), "warnings": len(m.findings) - len(m.problems), "links": m.links,
            "left_out": [{"path": p, "kind": k} for p, k in m.left_out], "strays": m.strays, "files": m.files(),
            "size": size, "medium": master.fitting(size),
            "signature": {k: v for k, v in m.signature.items() if k != "exe"} if m.signature else None}


class Output:
    """Where a command's words go: the human lines, or with --json nothing
    but one JSON document on standard output at the end."""

    def __init__(self, json_wanted, verdict=""):
        self.json, self.doc, self.verdict = json_wanted, None, verdict

    def line(self, text=""):
        if not self.json:
            print(text)

    def stderr(self, text):
        if not self.json:
            print(text, file=sys.stderr)


def run_check(a, stage, prog, out):
    out.verdict = "the medium is not ready: mend them and check again"
    m = master.Medium(a.source, stage, options(a)).check()
    same = against(m, a.against, stage) if a.against and not m.problems else None
    out.doc = dict(medium_json(m, "check"), **({"against": same} if same else {}))
    for line in key_lines(m.keys):
        out.line(line)
    if not m.problems:
        for line in describe(m) + ["Image: about {:.1f} MiB, which {}".format(m.estimate() / 1048576,
                                                                              fits(m.estimate()))]:
            out.line(line)
        if m.signature:
            out.line("\n".join(signature_lines(m.signature)))
    if same and same["same"]:
        out.line("Same image: %s is what this folder makes, byte for byte (SHA-256 %s)" % (a.against, same["made"]))
    report(m, prog, out)
    out.line("The medium is ready: make would master it with %d files, labelled %s%s."
             % (m.files(), m.label, " (%s)" % counted(len(m.findings), "warning") if m.findings else ""))


def against(m, image, stage):
    """Whether the folder makes the very image given, made again in stage
    and compared; a problem of m where it does not."""
    if not os.path.isfile(image):
        return m.problem(Refusal("no file at %s: give --against the image that make wrote" % image,
                                 "against-missing"))
    master.master(m, os.path.join(stage, "again.iso"))
    theirs, ours = master.sha256(image), master.sha256(os.path.join(stage, "again.iso"))
    if theirs != ours:
        m.problem(Refusal("%s is not what this folder makes (SHA-256 %s, not %s): its files, the options, the exe "
                          "or SOURCE_DATE_EPOCH differ from those it was made with" % (image, theirs, ours),
                          "against-differs"))
    return {"image": os.path.abspath(image), "sha256": theirs, "made": ours, "same": theirs == ours}


def run_make(a, stage, prog, out):
    out.verdict = "no image was written: mend them and make it again"
    m = master.Medium(a.source, stage, options(a)).check()
    out.doc = medium_json(m, "make")
    report(m, prog, out)
    size = master.master(m, a.output)
    digest = master.sha256(a.output)
    out.doc.update(image=os.path.abspath(a.output), size=size, medium=master.fitting(size), sha256=digest)
    label = m.label
    out.line("Disc image: %s" % a.output)
    # Joliet's volume label, the one Windows reads, holds 16 characters.
    out.line("Label: %s%s" % (label, ' (Windows reads its first 16 characters as the volume label: "%s")'
                              % label[:16] if len(label) > 16 else ""))
    out.line("Open line: %s" % m.keys["open"])
    for line in key_lines(m.keys)[1:]:
        if not line.startswith("label: "):
            out.line(line)
    out.line("\n".join(describe(m)))
    out.line("Files: %d" % m.files())
    out.line("Image size: {:,} bytes ({:.1f} MiB), which {}".format(size, size / 1048576, fits(size)))
    out.line("SHA-256: %s" % digest)
    if m.signature:
        out.line("\n".join(signature_lines(m.signature)))


def run_try(a, stage, prog, out):
    say = out.line
    out.doc = {"command": "try", "version": VERSION, "image": os.path.abspath(a.image), "sandboxed": not a.no_sandbox,
               "verdict": "refused", "rows": [], "findings": []}
    preflight.is_image(a.image)
    if not a.no_sandbox:
        sandbox.require()
    image = os.path.abspath(a.image)
    stem = os.path.splitext(image)[0]
    say("Disc: %s" % a.image)
    say(sandbox.NOT_SAID if a.no_sandbox else sandbox.SAID)
    with wine.Session(sandboxed=not a.no_sandbox) as session:
        arch = None
        try:
            folder = session.present(image)
            arch = preflight.disc_arch(folder)
            if arch == "i686":
                say("Its quenlo.exe is 32-bit, as shipped: it runs under emulation, which takes longer.")
            if not os.path.isfile(driver()):
                raise Refusal("no driver at %s: build it with: cmake --preset win32 && cmake --build --preset win32"
                              % driver(), "driver-missing")
            session.start(arch, driver(), preflight.MATRIX if a.matrix else [a.code_page],
                          say=lambda line: print(line, file=sys.stderr) if out.json else say(line))
            if a.matrix:
                rows, why = preflight.matrix(session, image, folder, stem + ".matrix.png", say=say,
                                             begin=None if out.json else lambda kind: print(kind, end="", flush=True))
                out.doc["contact_sheet"] = stem + ".matrix.png" if os.path.exists(stem + ".matrix.png") else None
            else:
                outcome = preflight.try_disc(session, image, folder, stem + ".try.png", a.broken_association,
                                             say=say, code_page=a.code_page)
                rows, why = [(preflight.kind_of(a.code_page, a.broken_association), outcome.meets(), outcome,
                              outcome.why is not None)], outcome.why
        except wine.Unavailable as unavailable:
            raise Refusal("this machine cannot run the disc's %s exe: %s" % (arch, unavailable) if arch else
                          "this machine cannot read the disc: %s" % unavailable, "unavailable") from None
    out.doc["rows"] = [row_json(kind, met, outcome, missed) for kind, met, outcome, missed in rows]
    out.doc["verdict"] = "not shown" if why else "shown"
    if why:
        raise Refusal(why if a.matrix else "the page was not opened: %s" % why, "not-shown")
    say("The page was shown on every kind of PC that can reach it." if a.matrix else "The page was opened.")


def row_json(kind, met, outcome, missed):
    return {"pc": kind.strip(), "code_page": outcome.code_page, "browser": not outcome.broken, "meets": met,
            "shown": outcome.why is None, "reaches": outcome.reaches, "why": outcome.why,
            "picture": outcome.picture, "picture_shows_page": outcome.picture is not None and
            outcome.not_pictured is None and outcome.why is None and not outcome.boxes,
            "not_pictured": outcome.not_pictured, "boxes": [b["text"] for b in outcome.boxes], "missed": missed}


COMMANDS = {"check": run_check, "make": run_make, "try": run_try}


def main(argv, prog="quenlo-disc", command=None):
    """The command line argv, or with command given (the scripts' own
    make-disc and try-disc), that subcommand's arguments alone."""
    # Names from the command line or a folder may be any bytes: show them,
    # escaped; line by line, so that a try's progress shows as it goes.
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(errors="backslashreplace", line_buffering=True)
    top = parsers(prog)
    if command:
        sub = top._subparsers._group_actions[0].choices[command]
        sub.prog = prog
        a = sub.parse_args(argv)
        a.command = command
    else:
        a = top.parse_args(argv)
        if not a.command:
            return fail(prog, "name a command: check, make or try (see %s --help)" % prog, 2)
        prog = "%s %s" % (prog, a.command)
    # A signal ends the run through the clean-ups below, like any refusal.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda *_: sys.exit(130))
    stage = tempfile.mkdtemp(prefix="quenlo-disc-")
    out = Output(a.json)
    status = 0
    try:
        COMMANDS[a.command](a, stage, prog, out)
    except Refusal as refusal:
        status = refused(prog, out, refusal)
    except KeyboardInterrupt:  # everything was undone on the way out
        status = refused(prog, out, Refusal("interrupted", "interrupted"), 130)
    except OSError as error:  # the machine said no: a full disk, a file that went away
        where = " %s" % error.filename if error.filename else ""
        status = refused(prog, out, Refusal("cannot go on:%s: %s" % (where, error.strerror or error), "os-error"))
    except Exception as error:  # still one line, never a traceback
        status = refused(prog, out, Refusal("stopped by a fault of its own (%s: %s): please report it"
                                            % (type(error).__name__, error), "fault"))
    finally:
        shutil.rmtree(stage, ignore_errors=True)
    if out.json:
        print(json.dumps(out.doc or {"command": a.command, "verdict": "refused", "findings": []}, indent=2,
                         ensure_ascii=False))
    return status


def refused(prog, out, refusal, status=1):
    """A refusal that ends the command: its one line, unless the findings
    were reported already; with --json, among the document's findings."""
    if refusal.code != "reported":
        if out.doc is None:
            out.doc = {"command": prog.split()[-1], "version": VERSION, "verdict": "refused", "findings": []}
        out.doc["verdict"] = out.doc.get("verdict") if out.doc.get("verdict") == "not shown" else "refused"
        out.doc.setdefault("findings", []).append(Finding.of(refusal).as_dict())
        out.stderr("%s: %s" % (prog, refusal))
    return status


def fail(prog, why, status=1):
    print("%s: %s" % (prog, why), file=sys.stderr)
    return status
