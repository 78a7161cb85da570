"""The quenlo-disc command: check a medium, make its disc image, try the image.

    quenlo-disc check [options] SOURCE_DIR
    quenlo-disc make  [options] SOURCE_DIR OUTPUT.iso
    quenlo-disc try   [options] IMAGE.iso

A thin layer: options in, the modules' findings out. Every refusal is one
line on standard error and exit status 1.
"""
import argparse
import os
import shutil
import signal
import sys
import tempfile

from . import VERSION, Refusal, codepages, driver, master, preflight, sandbox, wine

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
    parser.add_argument("--label", help='the volume label (at most 32 ASCII characters), e.g. --label "My product"')
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
    parser.add_argument("source", metavar="SOURCE_DIR", help="the folder that holds the medium's pages, e.g. my-pages/")


def parsers(prog):
    top = Parser(prog=prog, description="Quenlo's disc tools %s: check a medium, make its disc image, and try the "
                                        "image as a user's PC meets it." % VERSION)
    sub = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    check = sub.add_parser("check", help="check a medium as a user's PC will meet it, writing nothing, "
                                         "e.g. quenlo-disc check my-pages/",
                           description="Check SOURCE_DIR as `make` would, without writing an image.")
    medium_options(check)
    make = sub.add_parser("make", help="check a medium and master it as an ISO image, "
                                       "e.g. quenlo-disc make my-pages/ my-product.iso",
                          description="Master SOURCE_DIR as an ISO 9660 image with Joliet and Rock Ridge, with "
                                      "quenlo.exe and autorun.inf at its root, after checking it.")
    medium_options(make)
    make.add_argument("output", metavar="OUTPUT.iso", help="the image to write, e.g. my-product.iso")
    trying = sub.add_parser("try", help="run an image as a user's PC meets it, with a picture, "
                                        "e.g. quenlo-disc try my-product.iso",
                            description="Run IMAGE.iso as the CD drive D: of a private Wine prefix, its open line "
                                        "from D:\\, and save a picture of the screen beside it (IMAGE.try.png).")
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
    return top


def plan(a, stage, prog, seen=None):
    if a.timestamp and not a.sign:
        raise Refusal("--timestamp stamps a signature, and there is none: add --sign CERT.pfx, or drop --timestamp")
    p = master.plan(a.source, stage, start=a.start, label=a.label, icon=a.icon, action=a.action, exe=a.exe,
                    sign=a.sign, timestamp=a.timestamp, keep_all=a.keep_everything, code_page=a.code_page,
                    seen=seen)
    for warning in p["warnings"]:
        print("%s: warning: %s" % (prog, warning), file=sys.stderr)
    return p


def describe(p):
    """What Windows will make of the disc, and what went onto it how."""
    label, shown = p["label"], p["keys"].get("label")
    joliet = label[:16]
    lines = ["For PCs using %s" % codepages.described(p["code_page"]) if p["code_page"] else
             "For PCs of every code page: its page and label are ASCII"]
    lines += ['Windows shows the disc as "%s"%s; its volume label reads "%s"%s'
             % (shown or joliet, " (autorun.inf's label)" if shown else "", joliet,
                " (Joliet holds 16 characters)" if len(label) > 16 else "")]
    if p["left_out"]:
        lines.append("Left out: %s (--keep-everything puts them on the disc)"
                     % ", ".join("%s%s (%s)" % (path.replace(os.sep, "/"), "/" if os.path.isdir(
                         os.path.join(p["source"], path)) else "", kind) for path, kind in p["left_out"]))
    for path in p["replaced"]:
        lines.append("Replaced: %s, by the quenlo.exe that the disc carries" % path)
    if p["updated"]:
        lines.append("autorun.inf: yours, with %s set by the options" % " and ".join(p["updated"]))
    links = p["links"]
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


def show_keys(keys):
    """How Windows reads autorun.inf: its open line, then the other keys it uses."""
    if "open" in keys:
        print("open: %s" % keys["open"])
    for key in KEYS:
        if key in keys:
            print("%s: %s" % (key, keys[key]))


def run_check(a, stage, prog):
    seen = {}
    try:
        p = plan(a, stage, prog, seen)
    except Refusal:
        show_keys(seen.get("keys", {}))  # what was read before the refusal
        raise
    show_keys(p["keys"])
    for line in describe(p) + ["Image: about {:.1f} MiB, which {}".format(p["estimate"] / 1048576, fits(p["estimate"]))]:
        print(line)
    if p["signature"]:
        print("\n".join(signature_lines(p["signature"])))
    print("The medium is ready: make would master it with %d files, labelled %s." % (p["files"], p["label"]))


def run_make(a, stage, prog):
    p = plan(a, stage, prog)
    size = master.master(p, a.output)
    label = p["label"]
    print("Disc image: %s" % a.output)
    # Joliet's volume label, the one Windows reads, holds 16 characters.
    print("Label: %s%s" % (label, ' (Windows reads its first 16 characters as the volume label: "%s")' % label[:16]
                           if len(label) > 16 else ""))
    print("Open line: %s" % p["keys"]["open"])
    print("\n".join(describe(p)))
    print("Files: %d" % p["files"])
    print("Image size: {:,} bytes ({:.1f} MiB), which {}".format(size, size / 1048576, fits(size)))
    if p["signature"]:
        print("\n".join(signature_lines(p["signature"])))


def run_try(a, stage, prog):
    preflight.is_image(a.image)
    if not a.no_sandbox:
        sandbox.require()
    image = os.path.abspath(a.image)
    stem = os.path.splitext(image)[0]
    print("Disc: %s" % a.image)
    print(sandbox.NOT_SAID if a.no_sandbox else sandbox.SAID)
    with wine.Session(sandboxed=not a.no_sandbox) as session:
        arch = None
        try:
            folder = session.present(image)
            arch = preflight.disc_arch(folder)
            if arch == "i686":
                print("Its quenlo.exe is 32-bit, as shipped: it runs under emulation, which takes longer.")
            if not os.path.isfile(driver()):
                raise Refusal("no driver at %s: build it with: cmake --preset win32 && cmake --build --preset win32"
                              % driver())
            session.start(arch, driver(), preflight.MATRIX if a.matrix else [a.code_page])
            if a.matrix:
                _, why = preflight.matrix(session, image, folder, stem + ".matrix.png",
                                          begin=lambda kind: print(kind, end="", flush=True))
            else:
                why = preflight.try_disc(session, image, folder, stem + ".try.png", a.broken_association,
                                         code_page=a.code_page).why
        except wine.Unavailable as unavailable:
            raise Refusal("this machine cannot run the disc's %s exe: %s" % (arch, unavailable) if arch else
                          "this machine cannot read the disc: %s" % unavailable) from None
    if why:
        raise Refusal(why if a.matrix else "the page was not opened: %s" % why)
    print("The page was shown on every kind of PC that can reach it." if a.matrix else "The page was opened.")


COMMANDS = {"check": run_check, "make": run_make, "try": run_try}


def main(argv, prog="quenlo-disc", command=None):
    """The command line argv, or with command given (the scripts' own
    make-disc and try-disc), that subcommand's arguments alone."""
    # Names from the command line or a folder may be any bytes: show them, escaped.
    # Line by line, so that a try's progress shows as it goes, piped or not.
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
    try:
        COMMANDS[a.command](a, stage, prog)
    except Refusal as refusal:
        return fail(prog, refusal)
    except KeyboardInterrupt:  # everything was undone on the way out
        return fail(prog, "interrupted", 130)
    except OSError as error:  # the machine said no: a full disk, a file that went away
        where = " %s" % error.filename if error.filename else ""
        return fail(prog, "cannot go on:%s: %s" % (where, error.strerror or error))
    except Exception as error:  # still one line, never a traceback
        return fail(prog, "stopped by a fault of its own (%s: %s): please report it" % (type(error).__name__, error))
    finally:
        shutil.rmtree(stage, ignore_errors=True)
    return 0


def fail(prog, why, status=1):
    print("%s: %s" % (prog, why), file=sys.stderr)
    return status
