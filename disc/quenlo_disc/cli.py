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

from . import VERSION, Refusal, driver, master, preflight, wine

KEYS = ("label", "icon", "action")


class Parser(argparse.ArgumentParser):
    """argparse, but a usage error is one line like every other refusal, and
    each option's help is one line."""

    def __init__(self, **kwargs):
        kwargs.setdefault("formatter_class", lambda prog: argparse.HelpFormatter(prog, max_help_position=24, width=160))
        super().__init__(**kwargs)

    def error(self, message):
        self.exit(2, "%s: %s (see %s --help)\n" % (self.prog, message, self.prog))


def medium_options(parser):
    parser.add_argument("--start", metavar="PAGE",
                        help='write autorun.inf with open=quenlo.exe PAGE, e.g. --start "docs\\read me.htm"')
    parser.add_argument("--label", help='the volume label (at most 32 ASCII characters), e.g. --label "My product"')
    parser.add_argument("--icon", metavar="FILE.ico", help="the disc's icon, copied to its root, e.g. --icon art/disc.ico")
    parser.add_argument("--exe", help="the quenlo.exe to put on the disc (default: the shipped one), "
                                      "e.g. --exe build/win64/quenlo.exe")
    parser.add_argument("--sign", metavar="CERT.pfx", help="sign the disc's quenlo.exe with this certificate; its "
                                                           "password in QUENLO_SIGN_PASSWORD, e.g. --sign me.pfx")
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
    return top


def plan(a, stage, prog):
    p = master.plan(a.source, stage, start=a.start, label=a.label, icon=a.icon, exe=a.exe, sign=a.sign)
    for warning in p["warnings"]:
        print("%s: warning: %s" % (prog, warning), file=sys.stderr)
    return p


def run_check(a, stage, prog):
    p = plan(a, stage, prog)
    print("open: %s" % p["keys"]["open"])
    for key in KEYS:
        if key in p["keys"]:
            print("%s: %s" % (key, p["keys"][key]))
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
    print("Files: %d" % p["files"])
    print("Image size: {:,} bytes ({:.1f} MiB)".format(size, size / 1048576))
    if p["signer"]:
        print("Signed by: %s (Authenticode, SHA-256)" % p["signer"])


def run_try(a, stage, prog):
    arch = preflight.disc_arch(a.image)
    shot = os.path.splitext(os.path.abspath(a.image))[0] + ".try.png"
    print("Disc: %s" % a.image)
    if arch == "i686":
        print("Its quenlo.exe is 32-bit, as shipped: it runs under emulation, which takes about a minute.")
    if not os.path.isfile(driver(arch)):
        raise Refusal("no driver at %s: build it with: cmake --preset win32 && cmake --build --preset win32"
                      % driver(arch))
    state = wine.session(arch, driver(arch))
    try:
        wine.start(state)
        why = preflight.try_disc(state, a.image, shot, a.broken_association)
    except wine.Unavailable as unavailable:
        raise Refusal("this machine cannot run the disc's %s exe: %s" % (arch, unavailable)) from None
    finally:
        wine.stop(state)
    if why:
        raise Refusal("the page was not opened: %s" % why)
    print("The page was opened.")


COMMANDS = {"check": run_check, "make": run_make, "try": run_try}


def main(argv, prog="quenlo-disc", command=None):
    """The command line argv, or with command given (the scripts' own
    make-disc and try-disc), that subcommand's arguments alone."""
    # Names from the command line or a folder may be any bytes: show them, escaped.
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(errors="backslashreplace")
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
