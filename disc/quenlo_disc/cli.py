"""The quenlo-disc command: check a medium, make its disc image, try the image.

    quenlo-disc check [options] SOURCE_DIR
    quenlo-disc fix   [options] [--write | --to DEST] SOURCE_DIR
    quenlo-disc make  [options] SOURCE_DIR OUTPUT.iso
    quenlo-disc try   [options] IMAGE.iso
    quenlo-disc web   [--port N]

A thin layer: options in, one call, exit status out; report.py says what was
found. Every refusal is one line on standard error and exit status 1.
"""
import argparse
import contextlib
import os
import shutil
import signal
import sys
import tempfile

from . import BUGS, VERSION, Refusal, Unavailable, codepages, report
from .check import check_against, check_medium
from .iso import sha256
from .mastering import master
from .medium import Options
from .report import Output


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
    parser.add_argument("--stick", action="store_true",
                        help="a USB stick rather than a CD or DVD: Windows runs no open line from a stick, so its user "
                             "opens the stick and double-clicks a page; judged by FAT's rules, made as a FAT32 image "
                             "to write onto a stick (a stick that presents itself as a CD-ROM takes the ISO image), "
                             "e.g. --stick")
    parser.add_argument("--keep-everything", action="store_true",
                        help="put version control folders and system and editor files (.git, .DS_Store, *~) on the "
                             "disc too, e.g. --keep-everything")
    parser.add_argument("--no-cache", action="store_true",
                        help="take every page apart afresh and keep nothing of them for the next check, as continuous "
                             "integration should (or QUENLO_DISC_NO_CACHE=1), e.g. --no-cache")
    said = parser.add_mutually_exclusive_group()
    said.add_argument("--json", action="store_true", help="print one JSON document of the findings on standard "
                                                          "output instead of the lines, e.g. --json")
    said.add_argument("--sarif", action="store_true", help="print the findings as one SARIF 2.1.0 document on "
                                                           "standard output instead of the lines, for continuous "
                                                           "integration, e.g. --sarif > findings.sarif")
    report_option(parser)
    parser.add_argument("source", metavar="SOURCE_DIR", help="the folder that holds the medium's pages (for check, "
                                                             "or an image of it), e.g. my-pages/")


def report_option(parser):
    parser.add_argument("--report", metavar="FILE.html", help="write one self-contained HTML page of the verdict, "
                                                               "the findings and the pictures, to send to anyone, "
                                                               "e.g. --report report.html")


# What each exit status means, for --help and the manual alike.
EXIT_STATUS = [("0", "the medium is ready, the image was made, the page was shown, or fix left no problem unmended"),
               ("1", "the medium or the image was refused, the page was not shown, or fix left a problem unmended "
                     "(each reason in one line)"),
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
                                       "every problem at once. SOURCE_DIR may be an image instead, of any maker "
                                       "(an ISO 9660 image, with Joliet or without; a stick's image, FAT12, 16 or "
                                       "32; or a drive, as /dev/sr0): it is read as Windows reads it and checked "
                                       "by the same rules, with what its maker did to the names and the label "
                                       "besides, e.g. quenlo-disc check my-product.iso", epilog=epilog())
    medium_options(check)
    check.add_argument("--against", metavar="IMAGE.iso", help="say whether the folder makes this very image, byte "
                                                              "for byte, e.g. --against my-product.iso")
    fix = sub.add_parser("fix", help="mend what a check finds that has one right answer, showing the changes first, "
                                     "e.g. quenlo-disc fix --write my-pages/",
                         description="Check SOURCE_DIR, and show as a unified diff what would mend its findings (a "
                                     "link to a folder, a name Windows cannot hold and every link to it, a link to "
                                     "the author's own disk, a page that declares no encoding, autorun.inf's "
                                     "faults), then each finding it cannot mend; change nothing, unless --write "
                                     "(in place) or --to (a mended copy). Exit status 0 when nothing that blocks "
                                     "the medium is left unmended, e.g. quenlo-disc fix my-pages/", epilog=epilog())
    medium_options(fix)
    written = fix.add_mutually_exclusive_group()
    written.add_argument("--write", action="store_true", help="make the mends in SOURCE_DIR itself, e.g. --write")
    written.add_argument("--to", metavar="DEST", help="write a mended copy of SOURCE_DIR to the new folder DEST, "
                                                      "leaving SOURCE_DIR as it is, e.g. --to mended/")
    fix.add_argument("--unsafe", action="store_true", help="make the unsafe mends too, which guess (a link to the "
                                                           "nearest name by spelling): read them first, e.g. --unsafe")
    make = sub.add_parser("make", help="check a medium and master it as an ISO image, "
                                       "e.g. quenlo-disc make my-pages/ my-product.iso",
                          description="Master SOURCE_DIR as an ISO 9660 image with Joliet and Rock Ridge, with "
                                      "quenlo.exe and autorun.inf at its root, after checking it. The same folder, "
                                      "options and exe make the same image.", epilog=epilog())
    medium_options(make)
    make.add_argument("output", metavar="OUTPUT.iso", help="the image to write (with --stick, a stick's image), "
                                                           "e.g. my-product.iso")
    trying = sub.add_parser("try", help="run an image as a user's PC meets it, with a picture, "
                                        "e.g. quenlo-disc try my-product.iso",
                            description="Run IMAGE.iso as the CD drive D: of a private Wine prefix, its open line "
                                        "from D:\\, and save a picture of the screen beside it (IMAGE.try.png; with "
                                        "--matrix, IMAGE.matrix/CODEPAGE.png for each PC and a contact sheet). A "
                                        "stick's image (make --stick) is the removable drive E: instead, from which "
                                        "no open line runs: its start page is opened as a double-click opens it.",
                            epilog=epilog())
    trying.add_argument("image", metavar="IMAGE.iso", nargs="?", help="the disc's (or stick's) image to try, e.g. "
                                                                      "my-product.iso")
    trying.add_argument("--broken-association", action="store_true",
                        help='a PC with no browser registered for ".htm", e.g. --broken-association')
    trying.add_argument("--code-page", metavar="CP", type=code_page_option, default=codepages.WESTERN,
                        help="a PC of that ANSI code page (default 1252, Western), e.g. --code-page 932")
    trying.add_argument("--matrix", action="store_true",
                        help="several kinds of PC in one run, with a table and a contact sheet IMAGE.matrix.png, "
                             "e.g. --matrix")
    trying.add_argument("--no-sandbox", action="store_true",
                        help="run the disc's programs without the sandbox that keeps them from your files and the "
                             "network, where none can be made: they run with your rights, can read and change your "
                             "files, and can end this command; what they leave running is ended with the try unless "
                             "they end it first, e.g. --no-sandbox")
    trying.add_argument("--json", action="store_true", help="print one JSON document of each PC's row on standard "
                                                            "output instead of the lines, e.g. --json")
    report_option(trying)
    trying.add_argument("--clear-cache", action="store_true",
                        help="remove what try keeps between runs (Wine prefixes, locales: over a gigabyte) and what "
                             "check keeps of pages, and say how much that freed, e.g. --clear-cache")
    served = sub.add_parser("web", help="serve the check's web page to this machine, for a browser to check media "
                                         "in, e.g. quenlo-disc web --port 8080",
                            description="Serve the check's web page on 127.0.0.1, where only this machine reaches it: "
                                        "it checks a medium in the browser, with nothing uploaded. The page is a "
                                        "folder of static files (%s) that any web server can serve as well."
                                        % "/usr/share/quenlo-disc/web", epilog=epilog())
    served.add_argument("--port", type=int, default=8000, help="the port to serve on (default 8000), e.g. --port 8080")
    return top


def options(a, mend=False):
    return Options(start=a.start, label=a.label, icon=a.icon, action=a.action, exe=a.exe, sign=a.sign,
                   timestamp=a.timestamp, keep_all=a.keep_everything, code_page=a.code_page, stick=a.stick,
                   cache=not a.no_cache, mend=mend)


def run_check(a, stage, prog, out):
    from .shipped import is_image_file
    if is_image_file(a.source):
        return run_check_image(a, stage, prog, out)
    m = check_medium(a.source, options(a, mend=bool(a.json or a.sarif or a.report)), stage)
    same = None
    if a.against and not m.problems:
        from .shipped import contents_of  # the sandbox's reader, for an image from anyone
        same = check_against(m, a.against, stage, contents_of)
    return report.check_said(m, out, prog, same, a.against)


def run_check_image(a, stage, prog, out):
    """check of an image, or a drive read as one, as Windows reads it."""
    from . import shipped  # the extraction sandbox's reader, for an image alone
    if a.against:
        raise Refusal("--against compares a folder with an image: give the folder that made %s" % a.source,
                      "source-not-folder")
    return report.check_said(shipped.check_image(a.source, options(a), stage), out, prog)


def run_fix(a, stage, prog, out):
    from . import mending  # the mends made, for fix alone
    from .shipped import is_image_file
    if is_image_file(a.source):
        raise Refusal("%s is an image, which is mended in the folder that made it: fix that folder, and make the "
                      "image again" % a.source, "fix-image")
    m = check_medium(a.source, options(a, mend=True), stage)
    changes = mending.Changes(m.source, mending.chosen(m.mends, a.unsafe))
    made = changes.make(a.to) if changes and (a.write or a.to) else None
    if a.to and not made:
        made = mending.Changes(m.source, []).make(a.to)
    return report.fix_said(m, changes, out, prog, a.unsafe, made)


def run_make(a, stage, prog, out):
    m = check_medium(a.source, options(a), stage)
    out.found(report.medium_json(m, "make"))
    if report.findings(m, prog, out, "no image was written: mend them and make it again"):
        return 1
    size = master(m, a.output)
    report.made(m, out, a.output, size, sha256(a.output))
    return 0


def run_try(a, stage, prog, out):
    from . import host, trying  # what a try needs, and a check never: imported for a try alone
    if a.clear_cache:
        report.cleared(out, host.cache(), os.path.isdir(host.cache()), host.clear_cache())
        if not a.image:
            return 0
    from .progress import Progress
    try:
        tried = trying.try_image(a.image, matrix=a.matrix, code_page=a.code_page, browser=not a.broken_association,
                                 sandboxed=not a.no_sandbox, progress=Progress(out))
    except BaseException as ended:  # its document says what the try found before
        if getattr(ended, "tried", None):
            out.found(report.try_json(ended.tried))
        raise
    out.found(report.try_json(tried))
    return 0 if report.verdict(tried, prog, out) else 1


def run_web(a, stage, prog, out):
    from . import web  # the page's server, for this command alone
    folder = web.bundle()
    if folder is None:
        raise Unavailable("the web page is not built here: build it (cmake --build --preset win32), or install the "
                          "quenlo-disc package")
    try:
        server = web.server(folder, a.port)
    except OSError as error:
        raise Refusal("cannot serve on 127.0.0.1:%d (%s): give another --port" % (a.port, error.strerror or error),
                      "port-taken") from None
    out.line("Serving the check at http://127.0.0.1:%d/ to this machine alone: open it in a browser; Ctrl-C stops it"
             % server.server_address[1])
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


COMMANDS = {"check": run_check, "fix": run_fix, "make": run_make, "try": run_try, "web": run_web}


def main(argv, prog="quenlo-disc", command=None, out=None, err=None):
    """The command line argv, or with command given (the scripts' own
    make-disc and try-disc), that subcommand's arguments alone; its words
    on out and err (standard output and error unless given)."""
    if out is None and err is None:
        # Names from the command line or a folder may be any bytes: show them,
        # escaped; line by line, so that a try's progress shows as it goes.
        for stream in (sys.stdout, sys.stderr):
            stream.reconfigure(errors="backslashreplace", line_buffering=True)
    out, err = out or sys.stdout, err or sys.stderr
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            a = parse(parsers(prog), argv, command)
    except SystemExit as done:  # --help, --version, or a usage error, said already
        return done.code
    if a is None:
        return fail(prog, "name a command: check, fix, make, try or web (see %s --help)" % prog, err, 2)
    prog = prog if command else "%s %s" % (prog, a.command)
    if a.command == "try" and not a.image and not a.clear_cache:
        return fail(prog, "the following arguments are required: IMAGE.iso (see %s --help)" % prog, err, 2)
    said = Output(getattr(a, "json", False), getattr(a, "sarif", False), out, err)
    # A signal ends the run through the clean-ups below, like any refusal.
    handlers = {number: signal.signal(number, lambda *_: sys.exit(130)) for number in (signal.SIGTERM, signal.SIGHUP)}
    try:
        status = run(a, prog, said)
    finally:
        for number, handler in handlers.items():
            signal.signal(number, handler)
    doc = said.end(a.command)
    if getattr(a, "report", None):
        try:
            from . import reportpage
            reportpage.write(doc, a.report)
        except OSError as error:
            return fail(prog, "cannot write the report %s (%s): name a file in a folder you can write"
                        % (a.report, error.strerror or error), err)
    return status


def parse(top, argv, command=None):
    """The arguments, or None where no command was named."""
    if command:
        sub = top._subparsers._group_actions[0].choices[command]
        sub.prog = top.prog
        a = sub.parse_args(argv)
        a.command = command
        return a
    a = top.parse_args(argv)
    return a if a.command else None


def run(a, prog, out):
    """Runs the command; its exit status, with any refusal said."""
    stage = tempfile.mkdtemp(prefix="quenlo-disc-")
    try:
        return COMMANDS[a.command](a, stage, prog, out)
    except Refusal as refusal:
        out.refused(prog, refusal)
        return 1
    except KeyboardInterrupt:  # everything was undone on the way out
        out.refused(prog, Refusal("interrupted", "interrupted"))
        return 130
    except OSError as error:  # the machine said no: a full disk, a file that went away
        where = " %s" % error.filename if error.filename else ""
        out.refused(prog, Refusal("cannot go on:%s: %s" % (where, error.strerror or error), "os-error"))
        return 1
    except Exception as error:  # still one line, never a traceback
        out.refused(prog, Refusal("stopped by a fault of its own (%s: %s): please report it at %s, with the command "
                                  "you gave" % (type(error).__name__, error, BUGS), "fault"))
        return 1
    finally:
        shutil.rmtree(stage, ignore_errors=True)


def fail(prog, why, err, status=1):
    print("%s: %s" % (prog, why), file=err)
    return status
