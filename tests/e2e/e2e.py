#!/usr/bin/env python3
"""End-to-end cases for the built quenlo.exe under Wine, with a real registry,
real child processes and real message boxes on a virtual display.

  e2e.py setup    --state FILE      a Wine session (quenlo_disc.wine), a medium and its disc
  e2e.py case NAME --state FILE     one case (see CASES)
  e2e.py teardown --state FILE      stop and remove all of it
  e2e.py list                       the case names

Quenlo is started by the disc tools' driver with an exact command line (Wine would quote
arguments built from a Unix argv); the driver reads and dismisses its message
boxes. Handlers are recorder.exe, which leaves one record per start. The
helpers and the session match the bitness of the quenlo.exe under test.
"""
import argparse
import fcntl
import json
import os
import random
import re
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

from quenlo_disc import Refusal, Unavailable, autorun, codepages, host, limits, onepc, report, sandbox, trying, walls
from quenlo_disc.tools import wait_until
from quenlo_disc.browser import Browser
from quenlo_disc.driver import drive
from quenlo_disc.pe import machine
from quenlo_disc.host import winpath
from quenlo_disc.session import Session, present

JOB_LINE, MISSING, FAILED = onepc.JOB_LINE, onepc.MISSING, onepc.FAILED
HTML_CLASS = "Quenlo.E2E.Html"
JAPANESE = "\u65e5\u672c\u8a9e \u30da\u30fc\u30b8"  # "Japanese page", with a space
SHELL_CLASS = "Quenlo.E2E.Doc"
SKIP = 77
MAKE_DISC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "make-disc.sh")
QUENLO_DISC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "disc", "quenlo-disc")
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "medium")


def reg_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def default_value(key, value):
    return ["[HKEY_CLASSES_ROOT\\%s]" % key, '@="%s"' % reg_escape(value), ""]


# ---------------------------------------------------------------- fixture

class SharedSession(Session):
    """A session that every case of a run shares: its sandbox outlives the
    process that launched it, and it is saved to a file from which each
    case's process attaches to it. notes: what the cases keep with it (the
    helpers, the medium and its disc)."""

    def __init__(self, arch, driver, sandboxed=True, **kwargs):
        super().__init__(arch, driver, sandboxed, **kwargs)
        self.notes = {}

    def _outlives_me(self):
        return True

    def _adopt(self):
        pass  # what it leaves is ended by its own shutdown, from any process

    def _end_adopted(self):
        pass

    def save(self, path):
        with open(path, "w") as f:
            json.dump(dict(self.state(), notes=self.notes), f)

    @classmethod
    def attach(cls, path):
        """The session saved at path, by a process that did not launch it."""
        with open(path) as f:
            state = json.load(f)
        session = cls.restored(state)
        session.notes = state["notes"]
        return session

    def loader(self):
        """The Wine loader for the session's exes (of its own bitness)."""
        return host.WINE32 if self.arch == "i686" else host.WINE64

    def wine(self, args, env=None, timeout=120, program=host.WINE64):
        return self.run([program] + args, env, timeout)


KEYS = ("import ctypes, errno, sys\nlibc = ctypes.CDLL(None, use_errno=True)\n"
        "found = libc.syscall(250, 10, ctypes.c_int(-3), b'user', b'quenlo-planted', 0)\n"
        "said = [str(found), errno.errorcode.get(ctypes.get_errno(), '')]\n"
        "added = libc.syscall(248, b'user', b'quenlo-own', b'x', 1, ctypes.c_int(-3))\n"
        "said += [str(added), errno.errorcode.get(ctypes.get_errno(), '')]\n"
        "open(sys.argv[1], 'w').write(' '.join(said))\n")


def plant_key():
    """A key in this process's session keyring, as a user's may hold one."""
    import ctypes
    ctypes.CDLL(None).syscall(248, b"user", b"quenlo-planted", b"the user's own", 14, ctypes.c_int(-3))


def setup(state_path, tools):
    """One session for every case of a run, in its sandbox: its prefix and
    display, a medium in a plain folder, and the same medium as a read-only
    disc in drive D:."""
    with open(tools["quenlo"], "rb") as f:
        arch = machine(f.read(4096))
    state = SharedSession(arch, tools["driver"], tools=[path for path in tools.values() if os.path.exists(path)],
                          code_pages=trying.MATRIX + [1251])
    state.notes.update(tools)
    # A variable and a key of the user's, which no process of the sandbox may show.
    os.environ["QUENLO_PLANTED"] = "the user's own"
    plant_key()
    try:
        walls.require()
        state.launch()
    except (Unavailable, Refusal) as why:
        state.notes["skip"] = str(why)
        print("SKIP %s" % why)
        return SKIP
    finally:
        state.save(state_path)

    medium = os.path.join(state.discs, "medium")
    for rel in ["docs/index.htm", "docs/index.qnone", "docs/page one.qnone", "docs/page two.qnone",
                "my docs/page two.qnone", "docs/note.qdoc", "docs/%s.qnone" % JAPANESE, "docs/%s.qdoc" % JAPANESE]:
        os.makedirs(os.path.dirname(os.path.join(medium, rel)), exist_ok=True)
        with open(os.path.join(medium, rel), "w") as f:
            f.write("<html><body>%s</body></html>\n" % rel)
    # Documents of type ".qdoc" open through the shell, straight to the recorder.
    state.registry.load(default_value(".qdoc", SHELL_CLASS) + default_value(
        SHELL_CLASS + "\\shell\\open\\command", '"%s" --via-shell "%%1"' % winpath(state.notes["recorder"])))

    image = state.notes["disc_image"] = os.path.join(state.discs, "medium.iso")
    subprocess.run(["bash", MAKE_DISC, "--exe", state.notes["quenlo"], "--start", "docs\\index.htm", medium, image],
                   stdout=subprocess.DEVNULL, check=True)
    try:
        state.notes["disc_folder"] = present(state, image)
    except Unavailable as why:
        state.notes["no_disc"] = str(why)
    state.save(state_path)
    print("prefix %s on display %s, disc %s" % (state.prefix, state.display, image))
    return 0


def teardown(state_path):
    if os.path.exists(state_path):
        SharedSession.attach(state_path).shutdown()
        os.remove(state_path)
    return 0


# ---------------------------------------------------------------- one run

def records_in(state, folder):
    found = []
    for name in state.listdir(folder):
        if name.endswith(".rec"):
            lines = state.fetch(os.path.join(folder, name)).decode("latin-1").split("\n") + [""]
            found.append({"command": lines[0], "directory": lines[1]})
    return found


def launch(state, argument_line, cwd, handler_sleep=None, settle=1.5, expect_records=0, program=None,
           code_page=None):
    """Runs quenlo.exe with `argument_line` after its name, in `cwd` (a folder,
    or a Windows path), on a PC of code_page (Western by default). The run's
    report gains what the handlers recorded: `records`, and `records_at_exit`,
    those already there when Quenlo ended."""
    folder = state.folder("records-")
    env = dict(host.environment(code_page) if code_page else {}, QUENLO_RECORD_DIR=winpath(folder))
    if handler_sleep:
        env["QUENLO_RECORD_SLEEP"] = str(handler_sleep)
    command = (program or '"%s"' % winpath(state.notes["quenlo"])) + argument_line
    run = drive(state, command, cwd if ":" in cwd else winpath(cwd), env=env)
    run.records_at_exit = records_in(state, folder)
    # Handlers start asynchronously; give them time, then make sure no more come.
    deadline = time.time() + (60 if emulated(state) else 20)
    while len(records_in(state, folder)) < expect_records and time.time() < deadline:
        time.sleep(0.1)
    time.sleep(settle)
    run.records = records_in(state, folder)
    return run


# ---------------------------------------------------------------- cases

def set_html_handler(state, template):
    state.registry.load(default_value(".htm", HTML_CLASS) +
               default_value(HTML_CLASS + "\\shell\\open\\command", template))


def restore_html_association(state):
    state.registry.load(["[HKEY_CLASSES_ROOT\\.htm]", '@="htmlfile"', '"Content Type"="text/html"', "",
                       "[-HKEY_CLASSES_ROOT\\%s]" % HTML_CLASS, ""])


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def expect_boxes(run, wanted):
    """wanted: list of (caption, icon, text or None for 'contains the job line')."""
    check(not run.timed_out, "Quenlo did not run to its end: %r" % run.raw)
    check(run.status == 0, "exit status %r" % run.status)
    got = [(b["caption"], b["icon"], b["text"]) for b in run.boxes]
    check(len(got) == len(wanted), "boxes %r, expected %d" % (got, len(wanted)))
    for (caption, icon, text), w in zip(got, wanted):
        check((caption, icon) == w[:2], "box %r, expected %r" % ((caption, icon), w[:2]))
        if w[2] is None:
            check(("\n" + JOB_LINE + "\n") in text, "about text lacks the job line: %r" % text)
        else:
            check(text == w[2], "box text %r, expected %r" % (text, w[2]))


def expect_started(run, commands, directory=None):
    got = [r["command"] for r in run.records]
    check(got == commands, "started %r, expected %r" % (got, commands))
    if directory:
        for r in run.records:
            check(r["directory"].rstrip("\\").lower() == directory.rstrip("\\").lower(),
                  "handler ran in %r, expected %r" % (r["directory"], directory))


def emulated(state):
    """True where the session's 32-bit programs run under qemu, which is slow to start one."""
    return state.emulation.emulated


def within(seconds, what, command, **kwargs):
    """A command of the case's that must end within seconds; a Failure that
    names the step where it does not."""
    try:
        return subprocess.run(command, capture_output=True, text=True, timeout=seconds, **kwargs)
    except subprocess.TimeoutExpired:
        raise Failure("the step %s ran out of its %d s" % (what, seconds)) from None


def pace(s):
    """Seconds a try of the good disc takes in the case's session now: the
    measure of the limits of a case's longer steps, generous where the
    machine is slow or loaded."""
    started = time.time()
    try_on(s, s.notes["disc_image"])
    return max(time.time() - started, 2.0)


def rec(state):
    return '"%s"' % winpath(state.notes["recorder"])


def medium(state):
    return os.path.join(state.discs, "medium")


def case_about_no_argument(s):
    expect_boxes(launch(s, "", medium(s)), [("About Quenlo", "information", None)])


def case_about_blanks_only(s):
    run = launch(s, "  \t ", medium(s))
    expect_boxes(run, [("About Quenlo", "information", None)])
    expect_started(run, [])


def case_missing_document(s):
    set_html_handler(s, rec(s) + ' "%1"')
    run = launch(s, r" docs\nothing.htm", medium(s))
    expect_boxes(run, [("Quenlo", "exclamation", MISSING)])
    expect_started(run, [])


def case_quoted_argument_is_part_of_the_name(s):
    set_html_handler(s, rec(s) + ' "%1"')
    run = launch(s, r' "docs\page one.qnone"', medium(s))
    expect_boxes(run, [("Quenlo", "exclamation", MISSING)])
    expect_started(run, [])


def case_shell_open(s):
    set_html_handler(s, rec(s) + ' --via-htm "%1"')
    run = launch(s, r" docs\note.qdoc", medium(s), expect_records=1)
    expect_boxes(run, [])
    check(len(run.records) == 1, "expected one start, got %r" % run.records)
    check("--via-shell" in run.records[0]["command"] and "note.qdoc" in run.records[0]["command"],
          "the shell's handler was not the one started: %r" % run.records)


def need_disc(s, on_disc=True):
    """Cases on the disc need FUSE; elsewhere they report skipped, saying why."""
    if on_disc and s.notes.get("no_disc"):
        raise Skipped(s.notes["no_disc"])
    if on_disc:
        s.map_drive("d:", s.notes["disc_folder"])


def in_code_page(text, code_page):
    """text as a program of that code page has it, in the records' reading."""
    return text.encode(codepages.codec(code_page)).decode("latin-1") if code_page else text


def disc_shell_case(name, code_page=None):
    def case(s):
        need_disc(s)
        run = launch(s, " docs\\" + name, "D:\\", expect_records=1, program="quenlo.exe", code_page=code_page)
        expect_boxes(run, [])
        expect_started(run, [in_code_page('"%s" --via-shell "D:\\docs\\%s"' % (winpath(s.notes["recorder"]), name),
                                          code_page)])
    return case


case_disc_shell_open = disc_shell_case("note.qdoc")
case_disc_shell_open_932 = disc_shell_case(JAPANESE + ".qdoc", 932)


def fallback_case(argument_line, template, expected_tail, cwd_rel="", on_disc=False, code_page=None):
    """On the disc, the open line's way: quenlo.exe by its bare name, from D:\\."""
    def case(s):
        need_disc(s, on_disc)
        set_html_handler(s, template.replace("REC", rec(s)))
        cwd = "D:\\" if on_disc else os.path.join(medium(s), cwd_rel)
        run = launch(s, argument_line, cwd, expect_records=1, program="quenlo.exe" if on_disc else None,
                     code_page=code_page)
        expect_boxes(run, [])
        root = "D:" if on_disc else winpath(medium(s))
        expect_started(run, [in_code_page(rec(s) + expected_tail.replace("MEDIUM", root), code_page)],
                       cwd if on_disc else winpath(cwd))
    return case


case_fallback_quoted_placeholder = fallback_case(
    r" docs\page one.qnone", 'REC --single-argument "%1" --new-window', r' --single-argument  "docs\page one.qnone"')
case_fallback_bare_placeholder = fallback_case(
    r" docs\page one.qnone", "REC %1", r"  docs\page one.qnone")
case_fallback_address_relative = fallback_case(
    r" docs\index.qnone", "REC -nohome", r" -nohome file:///MEDIUM\docs\index.qnone")
case_fallback_address_spaces = fallback_case(
    r" my docs\page two.qnone", "REC -nohome", r" -nohome file:///MEDIUM\my%20docs\page%20two.qnone")
case_fallback_address_from_subfolder = fallback_case(
    r" ..\my docs\page two.qnone", "REC", r" file:///MEDIUM\my%20docs\page%20two.qnone", cwd_rel="docs")
case_disc_fallback_address = fallback_case(
    r" docs\page two.qnone", "REC -nohome", r" -nohome file:///MEDIUM\docs\page%20two.qnone", on_disc=True)
case_disc_fallback_placeholder = fallback_case(
    r" docs\page two.qnone", 'REC "%1"', r'  "docs\page two.qnone"', on_disc=True)
# The same on a Japanese PC, with a page named in Japanese, spaces and all.
case_disc_fallback_address_932 = fallback_case(
    " docs\\%s.qnone" % JAPANESE, "REC -nohome", " -nohome file:///MEDIUM\\docs\\%s.qnone" % JAPANESE.replace(" ", "%20"),
    on_disc=True, code_page=932)
case_disc_fallback_placeholder_932 = fallback_case(
    " docs\\%s.qnone" % JAPANESE, 'REC "%1"', '  "docs\\%s.qnone"' % JAPANESE, on_disc=True, code_page=932)


def case_fallback_absolute_argument(s):
    set_html_handler(s, rec(s) + ' -osint -url "%1"')
    path = winpath(medium(s)) + r"\my docs\page two.qnone"
    run = launch(s, " " + path, medium(s), expect_records=1)
    expect_boxes(run, [])
    expect_started(run, [rec(s) + ' -osint -url  "%s"' % path])


def case_fallback_no_htm_association(s):
    s.registry.remove_associations((".htm",))
    try:
        run = launch(s, r" docs\page one.qnone", medium(s))
    finally:
        restore_html_association(s)
    expect_boxes(run, [("Quenlo", "exclamation", FAILED)])
    expect_started(run, [])


def case_fallback_missing_program(s):
    set_html_handler(s, r'"C:\nowhere\missing-browser.exe" "%1"')
    run = launch(s, r" docs\page one.qnone", medium(s))
    expect_boxes(run, [("Quenlo", "exclamation", FAILED)])
    expect_started(run, [])


def case_exits_before_slow_handler(s):
    # Longer than Quenlo's own run takes: under emulation that is 4 to 5 s.
    sleep = 10000 if emulated(s) else 4000
    set_html_handler(s, rec(s) + ' "%1"')
    run = launch(s, r" docs\page one.qnone", medium(s), handler_sleep=sleep, expect_records=1)
    expect_boxes(run, [])
    check(run.records_at_exit == [], "the handler finished before Quenlo exited")
    check(run.millis is not None and run.millis < sleep, "Quenlo took %r ms" % run.millis)
    check(len(run.records) == 1, "the slow handler never recorded: %r" % run.records)


def case_directory_passes_existence_check(s):
    set_html_handler(s, rec(s) + ' "%1"')
    run = launch(s, " docs", medium(s))
    check(run.status == 0, "exit status %r" % run.status)
    check(all(b["text"] != MISSING for b in run.boxes), "a directory was reported missing")


EXPECTED_VERSION = {
    "FixedFileVersion": "1.0.0.2", "FixedProductVersion": "1.0.0.2", "FileOS": "0x4", "FileType": "1",
    "FileFlags": "0x0", "Translation": "0x0409 0x04e4", "FileVersion": "1.0.0.2", "ProductName": "Quenlo",
    "ProductVersion": "1.0.0.2", "OriginalFilename": "quenlo.exe", "InternalName": "quenlo",
    "CompanyName": "The Quenlo developers", "FileDescription": "Quenlo document launcher",
    "LegalCopyright": "Copyright (C) 2026 The Quenlo developers",
    "Comments": "Opens an HTML page on removable media with the registered browser.",
}


def case_version_record(s):
    product = s.notes["product"]
    check(os.path.exists(product), "no product exe at %s: build the win32 preset first" % product)
    report = os.path.join(s.folder("version-"), "version.txt")
    s.wine([s.notes["verinfo"]], env={"QUENLO_E2E_FILE": winpath(product), "QUENLO_E2E_OUT": winpath(report)},
           program=s.loader())
    got = dict(line.split("\t", 1) for line in s.fetch(report).decode("latin-1").splitlines())
    for key, value in EXPECTED_VERSION.items():
        check(got.get(key) == value, "version record %s = %r, expected %r" % (key, got.get(key), value))


# Pieces of autorun.inf files, well-formed and not, for a reading that must
# match Windows' own on every one of them.
INI_HEADERS = ["[autorun]", "[AutoRun]", "[ autorun ]", "[autorun ]", "[autorun] ; note", "[autorun]x", "[autorun",
               "autorun]", "[autorun]]", "[[autorun]", "[auto\0run]", "[autorun\0]", "[autorunx]", "\t[autorun]\x1a",
               "[other]", "[]", "[auto]run]"]
INI_KEYS = ["open", "OPEN", " open ", "Open\t", "label", "LaBeL", "la\0bel", "open\0x", ";open", "o pen", "open\xa0",
            "\x1copen", "icon", ""]
INI_VALUES = ["quenlo.exe docs\\index.htm", ' quenlo.exe "docs\\page two.htm" ', '"quenlo.exe a.htm"', "'x'", '"', '""',
              "", "quenlo.exe caf\xe9.htm", "a\0b", "v  \0w", "x\x1a", "\xa0y\xa0", "= more", "q\x0bq", "\x1cz\x1c",
              "\u20acuro", "x\x81y", "'mixed\"", "\x85n\x85", "\xa0b\xa0"]
INI_ENDS = ["\r\n", "\n", "\r", "\n\r"]


def ini_line(rng):
    roll = rng.random()
    if roll < 0.3:
        return rng.choice(INI_HEADERS)
    if roll < 0.8:
        return "%s%s=%s%s" % (rng.choice(INI_KEYS), rng.choice(["", " ", "\t"]), rng.choice(["", " "]),
                              rng.choice(INI_VALUES))
    return rng.choice(INI_KEYS[:6] + [";comment=x", "", "  ", "=value", "[x"])


def ansi_bytes(text):
    """text in code page 1252, where the five bytes it leaves undefined stand
    for themselves and a character it lacks is "?"."""
    return b"".join(c.encode("cp1252", "ignore") or (bytes([ord(c)]) if c in "\x81\x8d\x8f\x90\x9d" else b"?")
                    for c in text)


def ini_file(rng):
    end = rng.choice(INI_ENDS)
    text = "".join(ini_line(rng) + (end if rng.random() < 0.9 else rng.choice(INI_ENDS))
                   for _ in range(rng.randint(1, 10)))
    form = rng.choice(["ansi"] * 5 + ["utf-8-bom", "utf-8-bom", "utf-16-le", "utf-16-le", "utf-16-be", "utf-8"])
    if form == "ansi":
        return ansi_bytes(text)
    if form == "utf-8-bom":
        return b"\xef\xbb\xbf" + text.encode("utf-8")
    if form == "utf-8":  # no mark: read as ANSI, so its é becomes two characters
        return text.encode("utf-8")
    data = (b"\xff\xfe" if form == "utf-16-le" else b"\xfe\xff") + text.encode(form)
    return data + (b"x" if rng.random() < 0.2 else b"")


def case_autorun_reader_matches_windows(s):
    """The tools' reading of a few hundred generated files against Windows'
    own GetPrivateProfileStringA, for the keys that decide a disc."""
    rng = random.Random(17)
    folder = s.folder("ini-", discs=True)
    files = []
    for n in range(400):
        files.append(os.path.join(folder, "%03d.inf" % n))
        with open(files[-1], "wb") as f:
            f.write(ini_file(rng))
    with open(os.path.join(folder, "list.txt"), "w") as f:
        f.write("".join(winpath(path) + "\n" for path in files))
    report = os.path.join(s.folder("ini-read-"), "read.txt")
    s.wine([s.notes["inireader"]], program=s.loader(),
           env={"QUENLO_E2E_LIST": winpath(os.path.join(folder, "list.txt")), "QUENLO_E2E_OUT": winpath(report),
                "LC_ALL": "en_US.UTF-8"})
    windows = [[bytes.fromhex(v) for v in line.split("\t")] for line in s.fetch(report).decode().splitlines()]
    check(len(windows) == len(files), "Windows read %d of %d files" % (len(windows), len(files)))
    differ = []
    for path, wanted in zip(files, windows):
        with open(path, "rb") as f:
            data = f.read()
        try:
            keys = autorun.read_autorun(data)
        except Refusal:
            keys = {}
        got = [ansi_bytes(keys.get(k, "")) for k in ("open", "label")]
        if got != wanted:
            differ.append("%s %r: Windows %r, tools %r" % (os.path.basename(path), data[:120], wanted, got))
    check(not differ, "%d of %d files read otherwise than Windows reads them; first: %s"
          % (len(differ), len(files), "\n".join(differ[:5])))


# Discs made with xorriso alone, which the check would refuse: an open line
# whose page is not there, and one whose page is an Internet shortcut, so
# that the browser is handed an address elsewhere instead of the page.
BAD_DISCS = {
    "missing": {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\missing.htm\r\n", "docs/index.htm": "<p>here</p>"},
    "elsewhere": {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\site.url\r\n",
                  "docs/site.url": "[InternetShortcut]\r\nURL=http://quenlo-test.invalid/\r\n"},
}


def disc_of(s, files, exe=None, code_page=None):
    """An image made with xorriso alone from files (disc path: text, or
    bytes), with exe (default: the quenlo.exe under test) as its quenlo.exe."""
    folder = s.folder("disc-src-", discs=True)
    for rel, text in files.items():
        os.makedirs(os.path.dirname(os.path.join(folder, rel)), exist_ok=True)
        with open(os.path.join(folder, rel), "wb") as f:
            f.write(text if isinstance(text, bytes) else
                    text.encode(codepages.codec(code_page) if code_page else "utf-8"))
    shutil.copy(exe or s.notes["quenlo"], os.path.join(folder, "quenlo.exe"))
    image = folder + ".iso"
    subprocess.run(["xorriso", "-as", "mkisofs", "-quiet", "-J", "-R", "-o", image, folder],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return image


class Said(trying.Listener):
    """A try's progress kept: its lines, and a matrix as the command's table."""

    def __init__(self):
        self.lines = []

    def say(self, line):
        self.lines.append(line)

    def begin(self, pc):
        self.kind = pc.kind()

    def done(self, row):
        self.lines.append("%s  %s%s" % (self.kind, row.met(), "  <- missed" if row.missed else ""))





class Lent:
    """The run's session lent to a try, as try_image makes one: launched
    already, and kept once the try is done, with all the disc started
    there ended."""

    def __init__(self, session):
        self.session = session

    def __call__(self, *_, **__):
        return self

    def launch(self):
        pass

    def shutdown(self):
        self.session.sweep()

    def __getattr__(self, name):
        return getattr(self.session, name)


def try_on(s, image, code_page=1252, browser=None):
    """A try of image through the library's own door, in the run's session:
    (its Row, all it said)."""
    said = Said()
    tried = trying.try_image(image, code_page=code_page, sandboxed=s.sandboxed, progress=said, session=Lent(s),
                             **({"graphical": browser} if browser else {}))
    return tried.rows[0], "\n".join(said.lines)


def try_case(bad):
    """The disc preflight on a good disc made by make-disc.sh, or on one of
    BAD_DISCS, which it must not report as opened."""
    def case(s):
        need_disc(s)
        image = disc_of(s, BAD_DISCS[bad]) if bad else s.notes["disc_image"]
        outcome, said = try_on(s, image)
        check(outcome.picture and open(outcome.picture, "rb").read(8) == b"\x89PNG\r\n\x1a\n",
              "no picture: %s" % said)
        why = outcome.why
        if bad == "missing":
            check(why and MISSING in why, "the preflight said %r, then %r" % (said, why))
            check("Message box: Quenlo: " + MISSING in said, "the box was not reported: %r" % said)
        elif bad == "elsewhere":
            check(why and 'handed "http://quenlo-test.invalid/", not the disc\'s page D:\\docs\\site.url' in why,
                  "the preflight said %r, then %r" % (said, why))
        else:
            check(why is None, "the page was not opened: %r" % why)
            check("docs/index.htm" in said, "the page was not rendered: %r" % said)
            check(outcome.not_pictured is None and outcome.meets() == "the page shown",
                  "the picture is not of the page: %s" % outcome.not_pictured)
    return case


case_try_good_disc = try_case(None)
case_try_missing_page = try_case("missing")
case_try_browser_handed_elsewhere = try_case("elsewhere")


def case_try_json(s):
    """The command itself, as a pipeline reads it: one JSON document with the
    PC's row, whose picture shows the page."""
    need_disc(s)
    run = within(60 + 20 * pace(s), "quenlo-disc try --json", [QUENLO_DISC, "try", "--json", s.notes["disc_image"]])
    try:
        doc = json.loads(run.stdout)
    except ValueError:
        doc = {}
    row = (doc.get("rows") or [{}])[0]
    check(run.returncode == 0 and doc.get("verdict") == "shown" and doc.get("sandboxed") is True
          and row.get("pc") == "Western (1252)" and row.get("meets") == "the page shown" and row.get("shown")
          and row.get("picture_shows_page") and os.path.isfile(row.get("picture") or ""),
          "try --json: exit %d, %r %r" % (run.returncode, run.stdout[-1500:], run.stderr[-500:]))


def case_try_library_call(s):
    """The library's door as a library user calls it, every default taken:
    a session of its own, sandboxed, and a Tried back whose row shows the
    page; where the try cannot go on, what it raises carries the Tried."""
    need_disc(s)
    tried = trying.try_image(s.notes["disc_image"])
    check(isinstance(tried, trying.Tried) and tried.why is None and len(tried.rows) == 1
          and tried.rows[0].meets() == "the page shown" and tried.sandboxed and tried.keys.get("open"),
          "try_image(image) gave %r" % (tried,))
    missing = os.path.join(s.folder("missing-", discs=True), "none.iso")
    try:
        trying.try_image(missing)
        check(False, "a missing image was tried")
    except Refusal as refusal:
        check(refusal.code == "image-missing" and refusal.tried.image == missing and not refusal.tried.rows,
              "a missing image ended as %r, carrying %r" % (str(refusal), getattr(refusal, "tried", None)))


def case_try_japanese_disc(s):
    """A disc for Japanese PCs, its page named in Japanese: shown on one, and
    on a Western PC, whose code page has no form for the name, not found."""
    need_disc(s)
    folder = s.folder("japanese-", discs=True)
    os.makedirs(os.path.join(folder, "docs"))
    with open(os.path.join(folder, "docs", JAPANESE + ".htm"), "w", encoding="utf-8") as f:
        f.write('<meta charset="utf-8"><h1>\u3088\u3046\u3053\u305d</h1>')
    image = folder + ".iso"
    made = subprocess.run(["bash", MAKE_DISC, "--exe", s.notes["quenlo"], "--code-page", "932", "--start",
                           "docs\\%s.htm" % JAPANESE, folder, image], capture_output=True, text=True)
    check(made.returncode == 0 and "For PCs using code page 932 (Japanese)" in made.stdout,
          "the disc was not made: %r %r" % (made.stdout, made.stderr))
    for code_page, shown in ((932, True), (1252, False)):
        outcome, said = try_on(s, image, code_page=code_page)
        check(outcome.picture, "no picture: %s" % said)
        if shown:
            check(outcome.why is None and "\u3088\u3046\u3053\u305d" in said,
                  "not shown on a Japanese PC: %r, %r" % (said, outcome.why))
            started = next((line for line in said.splitlines() if line.startswith("Started: ")), "")
            check(JAPANESE in started, "the started command is not in letters: %s" % started)
        else:
            check(outcome.why and MISSING in outcome.why and "Message box: Quenlo: " + MISSING in said,
                  "a Western PC reached the page: %r, %r" % (said, outcome.why))
            check("this PC uses 1252; the disc's open line names its page on PCs using 932" in said,
                  "no word of the PC's code page: %s" % said)


def case_try_stick(s):
    """A stick's image, made by make --stick: attached as the removable drive
    E: (as Windows itself says of it), no open line run, and its start page
    opened as a double-click opens it, with a picture."""
    need_disc(s)
    folder = s.folder("stick-", discs=True)
    for rel, text in {"START HERE.htm": '<meta charset="utf-8"><h1>Start</h1><a href="docs/r%C3%A9sum%C3%A9.htm">'
                                        'r\u00e9sum\u00e9</a>',
                      "docs/r\u00e9sum\u00e9.htm": '<meta charset="utf-8"><p>r\u00e9sum\u00e9'}.items():
        os.makedirs(os.path.dirname(os.path.join(folder, rel)), exist_ok=True)
        with open(os.path.join(folder, rel), "w", encoding="utf-8") as f:
            f.write(text)
    image = folder + ".img"
    made = subprocess.run([QUENLO_DISC, "make", "--stick", "--exe", s.notes["quenlo"], "--label", "Stick", "--start",
                           "docs\\r\u00e9sum\u00e9.htm", "--code-page", "1252", folder, image],
                          capture_output=True, text=True)
    check(made.returncode == 0 and "double-clicks START HERE.htm, which leads to" in made.stdout,
          "the stick was not made: %r %r" % (made.stdout, made.stderr))
    kind = trying.kind_of(image)
    check(kind == {"arch": "x86_64", "stick": True, "label": "STICK"}, "not read as a stick: %r" % kind)
    row, lines = try_on(s, image)
    check(row.why is None and row.picture and "Double-clicked: E:\\START HERE.htm" in lines
          and "Open line: none runs from a stick" in lines and "Quenlo exited" not in lines,
          "the stick's page was not opened as a double-click opens it: %s / %r" % (lines, row.why))
    s.map_drive("d:", s.notes["disc_folder"])
    types = os.path.join(s.folder("drives-"), "drives.txt")
    s.wine([s.notes["drivetype"]], env={"QUENLO_E2E_OUT": winpath(types)})
    got = dict(line.split("\t") for line in s.fetch(types).decode("latin-1").splitlines() if "\t" in line)
    check(got == {"D:\\": "5", "E:\\": "2"}, "Windows does not see a CD drive D: and a removable E:: %r" % got)


def matrix_of(s, image):
    """A matrix of image through the library's own door, in the run's
    session: (its rows, why not, the table it said)."""
    said = Said()
    tried = trying.try_image(image, matrix=True, sandboxed=s.sandboxed, progress=said, session=Lent(s))
    return tried.rows, tried.why, "\n".join(said.lines)


def coloured(picture, channel):
    """How many pixels of the page's area of a picture are of the pure colour of that channel (0 red, 2 blue)."""
    raw = subprocess.run(["convert", picture, "-crop", "1024x640+0+128", "+repage", "rgb:-"], capture_output=True).stdout
    return sum(1 for n in range(0, len(raw) - 2, 3) if all((raw[n + c] > 200) == (c == channel) for c in range(3)))


def red(picture):
    return coloured(picture, 0)


def blue(picture):
    return coloured(picture, 2)


def case_try_matrix(s):
    """A disc whose page is .html, with a stylesheet linked from the disc's
    root and an image linked in other letters' case, on every kind of PC of
    the matrix, through the command as authors run it: each PC with a
    browser shows the page in the stylesheet's red and the image's blue, as
    at D:\\; the PC with no browser at all has none for .html either, and
    shows Quenlo's box; each PC's picture is kept beside the sheet."""
    need_disc(s)
    folder = s.folder("matrix-", discs=True)
    medium = os.path.join(folder, "medium")
    for rel, text in (("docs/index.html", '<link rel="stylesheet" href="/style/site.css"><h1>RED HEADING</h1>'
                                          '<img src="../Images/Logo.PNG">'),
                      ("style/site.css", "h1 { color: #ff0000; font-size: 60px }")):
        os.makedirs(os.path.dirname(os.path.join(medium, rel)), exist_ok=True)
        with open(os.path.join(medium, rel), "w") as f:
            f.write(text)
    # Linked in other letters' case than the disc has it, as Windows finds it.
    os.makedirs(os.path.join(medium, "images"))
    subprocess.run(["convert", "-size", "120x120", "xc:#0000ff", os.path.join(medium, "images", "logo.png")],
                   check=True)
    image = os.path.join(folder, "root.iso")
    subprocess.run(["bash", MAKE_DISC, "--exe", s.notes["quenlo"], "--start", "docs\\index.html", medium, image],
                   stdout=subprocess.DEVNULL, check=True)
    report = os.path.join(folder, "matrix.html")
    run = within(120 + 9 * 20 * pace(s), "quenlo-disc try --matrix --json", [QUENLO_DISC, "try", "--matrix",
                                                                             "--json", "--report", report, image])
    try:
        rows = json.loads(run.stdout)["rows"]
    except (ValueError, KeyError):
        rows = []
    check(len(rows) == 9 and run.returncode == 0, "try --matrix: exit %d, %s" % (
        run.returncode, "; ".join("%s: %s (%s)" % (row["pc"], row["meets"], row["why"]) for row in rows)
        or run.stdout[-2000:] + run.stderr[-1000:]))
    for row in rows:
        picture = row["picture"] or ""
        check(os.path.dirname(picture) == os.path.splitext(image)[0] + ".matrix" and os.path.isfile(picture),
              "%s's picture is %r" % (row["pc"], picture))
        if row["browser"]:
            check(row["meets"] == "the page shown" and red(picture) > 1000 and blue(picture) > 10000,
                  "%s: %s, %d red and %d blue pixels" % (row["pc"], row["meets"], red(picture), blue(picture)))
        else:
            check(row["meets"] == "Quenlo's box \"%s\"" % FAILED and row["code_page"] == 1252,
                  "the PC with no browser met %r" % row["meets"])
    size = subprocess.run(["identify", "-format", "%w %h", os.path.splitext(image)[0] + ".matrix.png"],
                          capture_output=True, text=True).stdout.split()
    check(len(size) == 2 and int(size[0]) > 3 * 320 and int(size[1]) > 3 * 240,
          "the contact sheet is %r, not three rows of three thumbnails" % size)
    with open(report) as f:
        sent = f.read()
    check(sent.count("data:image/png;base64,") == 9 + 1 and "The page was shown" in sent,
          "the report does not hold the nine PCs' pictures and the sheet: %d pictures"
          % sent.count("data:image/png;base64,"))


def case_try_shipped_exe_emulated(s):
    """The shipped 32-bit exe's disc, tried with qemu made to run it as on a
    kernel that runs no 32-bit programs, whatever this machine's kernel
    does: the page is shown, and the try says it emulated."""
    need_disc(s)
    image = os.path.join(s.folder("shipped-", discs=True), "shipped.iso")
    made = within(120, "make-disc.sh of the shipped exe", ["bash", MAKE_DISC, "--exe", s.notes["product"], EXAMPLE,
                                                           image])
    check(made.returncode == 0, "the disc was not made: %r" % made.stderr[-600:])
    run = within(120 + 40 * pace(s), "quenlo-disc try of the shipped exe under qemu", [QUENLO_DISC, "try", "--json",
                                                                                     image],
                 env=dict(os.environ, QUENLO_DISC_EMULATE="1"))
    try:
        doc = json.loads(run.stdout)
    except ValueError:
        doc = {}
    row = (doc.get("rows") or [{}])[0]
    check(run.returncode == 0 and doc.get("emulation") == "sandbox-qemu" and row.get("shown")
          and row.get("picture_shows_page"), "the shipped exe under qemu: exit %d, %r %r"
          % (run.returncode, run.stdout[-1500:], run.stderr[-500:]))


CYRILLIC = "\u0413\u043b\u0430\u0432\u043d\u0430\u044f"  # "Main"


def case_try_matrix_cyrillic(s):
    """A disc for 1251 on every kind of PC: shown on Cyrillic ones, the
    others cannot reach it, and that is no fault of the disc."""
    need_disc(s)
    image = disc_of(s, {"autorun.inf": "[autorun]\r\nopen=quenlo.exe %s.htm\r\n" % CYRILLIC,
                                "%s.htm" % CYRILLIC: '<meta charset="windows-1251"><h1>%s</h1>' % CYRILLIC},
                            code_page=1251)
    rows, why, table = matrix_of(s, image)
    check(why is None, "the matrix said %r:\n%s" % (why, table))
    check(re.search(r"\(1251\) +the page shown", table), "not shown on a Cyrillic PC:\n" + table)
    check(re.search(r"\(1251\), no browser +Quenlo's box \"%s\"" % FAILED, table),
          "the PC without a browser is not a Cyrillic one:\n" + table)
    check(re.search(r"\(932\) .*cannot reach it: the disc's autorun.inf is in 1251", table),
          "a Japanese PC is not said to be out of reach:\n" + table)


# What the hostile disc's shell line looks for in its sandbox: the user's
# planted variable in any process's environment, the agent that serves the
# tools, and whether its first process stops when told to.
LOOK_AROUND = ("cd $WINEPREFIX/drive_c; cat /proc/[0-9]*/environ | tr '\\0' '\\n' | grep -c QUENLO_PLANTED "
               ">planted.txt; ps -eo args >ps.txt; kill -STOP 1; sleep 0.5; grep State /proc/1/status >first.txt")


def case_try_hostile_disc(s):
    """A disc whose quenlo.exe is another program: it reads a file of the
    user's and the environment of the sandbox's first process, writes
    outside its session and connects to a port of this machine, through Z:
    and \\\\?\\unix\\; it looks for the user's environment and the tools' agent
    in the sandbox and tries to stop its first process. The sandbox lets none
    of it through, and the try still tells what a user meets. Then the same
    program opens another page of the disc than the open line's: not the
    page shown; its label, with escape sequences, shows them escaped."""
    need_disc(s)
    private = tempfile.mkdtemp(prefix="quenlo-private-", dir=os.getcwd())  # a folder of the user's
    secret, escape = os.path.join(private, "secret.txt"), os.path.join(private, "escaped.txt")
    with open(secret, "w") as f:
        f.write("the user's own\n")
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    drive_c = os.path.join(s.prefix, "drive_c")
    try:
        for page in (None, "docs\\other.htm"):
            # Also the sandbox's own root, which is no folder of the user's but must not be written either.
            targets = "read %s\nread /proc/1/environ\nwrite %s\nwrite /escaped.txt\nconnect %d\nunix %s\n" % (
                secret, escape, listener.getsockname()[1], LOOK_AROUND)
            image = disc_of(s, {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\n"
                                                       "label=\x1b]0;owned\x07Red\x1b[31m\r\n",
                                        "docs/index.htm": "<h1>index</h1>", "docs/other.htm": "<h1>other</h1>",
                                        "targets.txt": targets + ("page %s\n" % page if page else "")},
                                    exe=s.notes["intruder"])
            outcome, said = try_on(s, image)
            report = s.fetch(os.path.join(drive_c, "intruder.txt")).decode("latin-1")
            attempts = [line for line in report.splitlines() if not line.startswith("unix")]
            check(len(attempts) == 9 and all(a.endswith(" no") for a in attempts) and "unix started" in report,
                  "the disc's program got out:\n%s" % report)
            check(not os.path.exists(escape), "the disc's program wrote %s" % escape)
            listener.settimeout(0.1)
            try:
                listener.accept()
                check(False, "the disc's program reached a port of this machine")
            except socket.timeout:
                pass
            time.sleep(1)  # its look around
            seen = {name: s.fetch(os.path.join(drive_c, name)).decode("latin-1") for name in
                    ("planted.txt", "ps.txt", "first.txt")}
            check(seen["planted.txt"].strip() == "0" and "serve_agent" not in seen["ps.txt"] and "ps -eo" in
                  seen["ps.txt"] and "(stopped)" not in seen["first.txt"] and "State" in seen["first.txt"],
                  "the sandbox showed the disc more than its own: %r" % seen)
            check("\x1b" not in said and "\\x1b]0;owned\\x07Red\\x1b[31m" in said,
                  "the disc's label reached the terminal raw: %r" % said)
            if page:
                check(outcome.why and "not the disc's page D:\\docs\\index.htm" in outcome.why,
                      "another page passed for the open line's: %r\n%s" % (outcome.why, said))
            else:
                check(outcome.why is None, "the try did not tell what a user meets: %r\n%s" % (outcome.why, said))
    finally:
        listener.close()
        shutil.rmtree(private)


def case_try_hostile_matrix(s):
    """A disc whose program, on every PC of a matrix, puts links to a file of
    the user's wherever the tools' pictures come to be in the box: the tools
    write and read nothing through them, the file stays as it was, and the
    try ends in its time. Then it stops the virtual display and opens
    nothing: the try ends, and says so, not "shown". (A page it opens is
    shown all the same: the browser has a display of its own.)"""
    need_disc(s)
    private = tempfile.mkdtemp(prefix="quenlo-private-", dir=os.getcwd())
    witness = os.path.join(private, "bashrc")
    with open(witness, "w") as f:
        f.write("the user's own\n")
    os.chmod(witness, 0o600)
    plant = ("box=$(dirname $WINEPREFIX); for i in $(seq 300); do for f in $(find $box -name \\*.png); do "
             "ln -sf %s $f; done; sleep 0.05; done &" % witness)
    files = {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\n", "docs/index.htm": "<h1>i</h1>",
             "targets.txt": "unix %s\n" % plant}
    limit = max(240, 9 * 12 * pace(s))
    try:
        image = disc_of(s, files, exe=s.notes["intruder"])
        started = time.time()
        rows, why, table = matrix_of(s, image)
        took = time.time() - started
        with open(witness) as f:
            kept = f.read()
        pictures = [open(row.picture, "rb").read() for row in rows if row.picture]
        check(kept == "the user's own\n" and stat.S_IMODE(os.stat(witness).st_mode) == 0o600,
              "the tools wrote through a link of the disc's: %r" % kept)
        check(all(p.startswith(b"\x89PNG") and b"the user's own" not in p for p in pictures) and took < limit,
              "a picture is not the tools' own, or the matrix took %.0f s, more than %.0f:\n%s" % (took, limit, table))
        image = disc_of(s, dict(files, **{"targets.txt": "unix kill -STOP $(pidof Xvfb)\npage -\n"}),
                        exe=s.notes["intruder"])
        started, handing, onepc.HANDING = time.time(), onepc.HANDING, 5  # nothing comes: waited for in full
        try:
            outcome, said = try_on(s, image)
            check(False, "a try on a stopped display ended as %r:\n%s" % (outcome.meets(), said))
        except Refusal as refusal:
            check(refusal.code == "display-stopped" and time.time() - started < limit / 3,
                  "the stopped display was told as %r after %.0f s" % (str(refusal), time.time() - started))
        finally:
            onepc.HANDING = handing
    finally:
        s.sweep()  # the planted loops, and the display stopped, go on no further
        shutil.rmtree(private)


# A disc's program that opens nothing, but forges what a try's verdict once
# rested on: it shows a page of its own in a window of Chromium's class,
# writes what the bridge's script wrote into every folder of the bridge in
# the box, and runs that script itself with the open line's page, again and
# again, left running for the PCs to come.
FORGER = ("box=$(dirname $WINEPREFIX); u=file://$WINEPREFIX/dosdevices/d:/docs/index.htm; "
          "echo '<title>forged</title><h1>forged</h1>' >/tmp/forged.htm; chromium --no-sandbox "
          "--user-data-dir=/tmp/fp --window-position=0,0 --window-size=1024,768 file:///tmp/forged.htm "
          ">/dev/null 2>&1 & for i in $(seq 300); do for d in $box/browser-*; do printf '%s\\n0\\n%s\\n' $u $u "
          ">$d/page.txt; echo forged >$d/rendered.txt; echo '{}' >$d/loaded.json; sh $d/browser.sh $u; done; "
          "sleep 0.1; done &")


def case_try_forged_verdict(s):
    """A disc whose program opens nothing but forges the signs of a page
    shown: no PC's row says the page was opened or shown, neither the first
    nor the next, which the forger's programs, left running, go on into
    (a matrix even ends them between rows); and a page that Wine's bridge
    was handed beside the forger's still counts."""
    need_disc(s)
    files = {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\n", "docs/index.htm": "<h1>i</h1>",
             "targets.txt": "unix %s\npage -\n" % FORGER}
    handing = onepc.HANDING
    onepc.HANDING = 4 * pace(s)  # waited in full on each forged row: nothing real comes
    try:
        image = disc_of(s, files, exe=s.notes["intruder"])
        for code_page in (1252, 1251):
            outcome, said = try_on(s, image, code_page)
            check(outcome.why is not None and not outcome.meets().startswith("the page")
                  and "The browser was handed" not in said,
                  "the forger's row on %d says %r:\n%s" % (code_page, outcome.meets(), said))
        s.sweep()
        image = disc_of(s, dict(files, **{"targets.txt": "unix %s\n" % FORGER}), exe=s.notes["intruder"])
        outcome, said = try_on(s, image)
        check(outcome.why is None,
              "the page the bridge was handed, beside the forger's, is not opened: %r\n%s" % (outcome.why, said))
    finally:
        onepc.HANDING = handing
        s.sweep()


# A disc's program that goes for the tools' browser every way it can: the
# display's socket swapped for a link to a socket of this machine's (TRAP),
# every picture in the box replaced by its own, the browser's window looked
# for on its display and typed into, and a window of its own kept over it.
REACHING = """box=$(dirname "$WINEPREFIX")
mv /tmp/.X11-unix/X90 /tmp/.X11-unix/X90.kept && ln -s TRAP /tmp/.X11-unix/X90
convert -size 1024x768 xc:red /tmp/forged.png; convert -size 1024x700 xc:green /tmp/g.png
display -geometry +0+60 /tmp/g.png &
for i in $(seq 600); do
  for f in "$box"/*/*.png; do [ -e "$f" ] && cp /tmp/forged.png "$f"; done
  for w in $(xdotool search --onlyvisible --class chromium 2>/dev/null); do
    xdotool windowactivate $w key ctrl+l type 'file:///D:/docs/other.htm'; xdotool key Return
  done
  xdotool search --class Display windowraise %@ 2>/dev/null; sleep 0.1
done
"""


def case_try_disc_cannot_reach_the_browser(s):
    """A disc whose program opens the page, then goes for the tools' browser
    (REACHING): the browser is on a display of its own, which the disc can
    neither reach through a link, draw on nor type into, and its picture
    never passes through the box; the page is shown, as Chromium drew it."""
    need_disc(s)
    trap_folder = tempfile.mkdtemp(prefix="quenlo-trap-")
    trap, reached = socket.socket(socket.AF_UNIX), []
    trap.bind(os.path.join(trap_folder, "X377"))
    trap.listen(8)
    threading.Thread(target=lambda: reached.append(trap.accept()), daemon=True).start()
    image = disc_of(s, {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\n",
                        "docs/index.htm": "<h1>index</h1>", "docs/other.htm": "<h1>other</h1>",
                        "reach.sh": REACHING.replace("TRAP", os.path.join(trap_folder, "X377")),
                        "targets.txt": "unix sh $WINEPREFIX/dosdevices/d:/reach.sh\n"}, exe=s.notes["intruder"])
    try:
        outcome, said = try_on(s, image)
    finally:
        s.sweep()
        s.run(["sh", "-c", "[ -S /tmp/.X11-unix/X90.kept ] && rm -f /tmp/.X11-unix/X90 && "
                           "mv /tmp/.X11-unix/X90.kept /tmp/.X11-unix/X90"])
        trap.close()
        shutil.rmtree(trap_folder, ignore_errors=True)
    check(not reached, "the tools connected to the socket the disc's link led to")
    check(outcome.why is None and outcome.meets() == "the page shown" and outcome.picture,
          "the page was not shown as Chromium drew it: %r\n%s" % (outcome.meets(), said))
    check(red(outcome.picture) == 0 and coloured(outcome.picture, 1) == 0,
          "the picture shows what the disc drew: %d red, %d green pixels" % (red(outcome.picture),
                                                                            coloured(outcome.picture, 1)))


# What the sandbox's writable file systems are, read inside it: each mount
# that may be written, its size and what is free on it.
MOUNTS = ("import json, os, sys\nfound = {}\nfor line in open('/proc/self/mounts'):\n"
          "    where, kind, options = line.split()[1:4]\n"
          "    writable = 'rw' in options.split(',') and kind not in ('proc', 'devpts', 'mqueue', 'binfmt_misc')\n"
          "    if writable and os.path.isdir(where):  # a device bound in (/dev/null) holds nothing\n"
          "        s = os.statvfs(where)\n"
          "        found[where] = [s.f_blocks * s.f_frsize, s.f_bavail * s.f_frsize]\n"
          "open(sys.argv[1], 'w').write(json.dumps(found))\n")


def case_try_sandbox_sizes(s):
    """Every file system the sandbox may write has its size, the box's,
    /tmp's, /var/tmp's and /dev/shm's those the tools set; and a disc's
    program that writes past the box's size is stopped there, while its try
    still reaches its verdict."""
    need_disc(s)
    report = os.path.join(s.folder("mounts-"), "mounts.json")
    s.run([walls.PYTHON, "-I", "-c", MOUNTS, report])
    mounts = json.loads(s.fetch(report) or b"{}")
    wanted = {s.box: walls.SIZES["box"], "/tmp": walls.SIZES["/tmp"], "/var/tmp": walls.SIZES["/var/tmp"],
              "/dev/shm": walls.SIZES["/dev/shm"]}
    check({where: size for where, (size, _) in mounts.items()} == wanted,
          "the sandbox's writable file systems are %r, not %r" % (mounts, wanted))
    fill = "head -c %d /dev/zero >$(dirname $WINEPREFIX)/fill; echo $? >/tmp/filled" % (walls.SIZES["box"] + (64 << 20))
    image = disc_of(s, {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\n",
                                "docs/index.htm": "<h1>i</h1>", "targets.txt": "unix %s\n" % fill},
                            exe=s.notes["intruder"])
    try:
        outcome, said = try_on(s, image)
    finally:  # what it wrote, measured, then gone: the box is full until then
        filled = os.path.join(s.box, "filled-%d.txt" % os.getpid())
        s.run(["sh", "-c", 'for i in $(seq 600); do [ -s /tmp/filled ] && break; sleep 0.1; done; '
                           'f=$(dirname "$WINEPREFIX")/fill; n=$(stat -c %s "$f"); rm -f "$f"; '
                           'echo "$n $(cat /tmp/filled)" >"$0"; rm -f /tmp/filled', filled])
    size, status = (s.fetch(filled).decode().split() + ["", ""])[:2]
    check(size.isdigit() and walls.SIZES["box"] - (256 << 20) < int(size) <= walls.SIZES["box"] and status != "0",
          "the disc's program was not stopped at the box's size: it wrote %r bytes, status %r" % (size, status))
    check("Quenlo exited with status 0" in said and "Course: " in said,
          "the try did not run to its verdict:\n%s" % said)


# All a process in the sandbox can read of where things come from: the
# mounts (their sources too), and every process's command line and environment.
WHERE_FROM = ("import glob, sys\nsaid = [open('/proc/self/mountinfo', 'rb').read()]\n"
              "for path in glob.glob('/proc/[0-9]*/cmdline') + glob.glob('/proc/[0-9]*/environ'):\n"
              "    try:\n        said.append(open(path, 'rb').read())\n    except OSError:\n        pass\n"
              "open(sys.argv[1], 'wb').write(b'\\n'.join(said))\n")


def case_try_no_path_of_the_user(s):
    """Nothing in the sandbox names a folder of the user's: neither the
    tools' own (here, in the checkout) nor the cache, where the prepared
    prefix and the locales are, shows in its mounts or in its processes'
    command lines and environments (but the prefix's Windows folder, where
    the cache is on another file system than the session's folder; the
    cases' own helpers are shown from the build)."""
    report = os.path.join(s.folder("where-"), "where.txt")
    s.run([walls.PYTHON, "-I", "-c", WHERE_FROM, report])
    said = s.fetch(report).decode("utf-8", "replace")
    cache = os.path.realpath(host.cache())
    if os.stat(cache).st_dev != os.stat(s.root).st_dev:  # the Windows folder is not linked, but shown from there
        said = "\n".join(line for line in said.splitlines() if "/drive_c/windows " + s.prefix not in line)
    for folder in (os.path.realpath(os.path.dirname(QUENLO_DISC)), cache):
        check("quenlo-wine-" in said and folder not in said,
              "the sandbox shows %s:\n%s" % (folder, "\n".join(l for l in said.splitlines() if folder in l)[:2000]))


def case_try_box_further_down(s):
    """Quenlo started two levels below the disc's own program (which starts
    cmd, which starts Quenlo and ends at once): its box is seen, and said."""
    need_disc(s)
    with open(s.notes["quenlo"], "rb") as f:
        quenlo = f.read()
    image = disc_of(s, {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\n",
                        "docs/index.htm": "<h1>i</h1>", "q.exe": quenlo,
                        "targets.txt": "run cmd.exe /c start q.exe docs\\gone.htm\npage -\n"}, exe=s.notes["intruder"])
    outcome, said = try_on(s, image)
    check(outcome.boxes and outcome.boxes[0]["text"].startswith(MISSING) and outcome.why and MISSING in outcome.why,
          "the box of a Quenlo further down was not seen: %r, %r\n%s" % (outcome.boxes, outcome.why, said))


def case_try_box_text_in_letters(s):
    """A box whose text has a letter that code page 1252 keeps at a byte of
    the C1 controls (0x9B, "\u203a"): told in that letter, on the lines
    and in JSON, never as the terminal's control it would be in Latin-1."""
    need_disc(s)
    image = disc_of(s, {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\n",
                                "docs/index.htm": "<h1>i</h1>", "targets.txt": "box Next \u203a page\n"},
                            exe=s.notes["intruder"], code_page=1252)
    outcome, said = try_on(s, image)
    shown = report.as_json(outcome.as_json())
    check(outcome.boxes and outcome.boxes[0]["text"] == "Next \u203a page" and "Next \u203a page" in said
          and "\x9b" not in shown + said, "the box's text came out as %r:\n%s" % (outcome.boxes, said))


def case_system_calls_refused(s):
    """A Windows program of the disc makes Linux system calls straight to the
    kernel: clone into new user, network, mount and pid namespaces, clone3,
    io_uring, ptrace and process_vm_* on its parent, natively (the 32-bit
    build under qemu too, where the kernel runs no i386 program), and from
    the 64-bit build through int 0x80 with i386 numbers where the kernel
    takes them. The filter refuses each (clone3 with ENOSYS, as the C
    library then falls back to clone; qemu refuses some before the kernel
    sees them), and a plain fork still works."""
    folder = s.folder("calls-", discs=True)
    shutil.copy(s.notes["intruder"], os.path.join(folder, "intruder.exe"))
    ways = ["own"] + (["int80"] if s.arch == "x86_64" and host.runs_i386() and not host.i386_entry() else [])
    with open(os.path.join(folder, "targets.txt"), "w") as f:
        f.write("".join("calls %s\n" % way for way in ways) + "page -\n")
    drive(s, '"%s"' % winpath(os.path.join(folder, "intruder.exe")), winpath(folder))
    report = s.fetch(os.path.join(s.prefix, "drive_c", "intruder.txt")).decode("latin-1")
    calls = [line.split()[1:] for line in report.splitlines() if line.startswith("call ")]
    check(len(calls) == 10 * len(ways), "the disc's program made %d calls of %d:\n%s" % (len(calls), 10 * len(ways),
                                                                                         report))
    refusals = (-1, -38, -22) if emulated(s) else (-1,)  # EPERM; qemu's own ENOSYS and EINVAL
    for name, got in calls:
        wanted = "> 0" if name == "fork" else "-38" if name == "clone3" else " or ".join(map(str, refusals))
        check(int(got) > 0 if name == "fork" else int(got) == -38 if name == "clone3" else int(got) in refusals,
              "%s gave %s, not %s (%s):\n%s" % (name, got, wanted, ", ".join(ways), report))


def case_try_keyring_out_of_reach(s):
    """A key of the user's session keyring (planted as the session was made)
    cannot be found from the sandbox, and the keyring calls are refused;
    the same for a sandbox of the extraction's kind."""
    report = os.path.join(s.folder("keys-"), "keys.txt")
    s.run([walls.PYTHON, "-I", "-c", KEYS, report])
    said = s.fetch(report).decode()
    check(said.split() == ["-1", "EPERM", "-1", "EPERM"], "the session's sandbox reached the keyring: %r" % said)
    folder = tempfile.mkdtemp(prefix="quenlo-keys-")
    try:
        plant_key()
        status, _, err = sandbox.run([walls.PYTHON, "-I", "-c", KEYS, os.path.join(folder, "keys.txt")],
                                     writable=[folder])
        with open(os.path.join(folder, "keys.txt")) as f:
            said = f.read()
        check(said.split() == ["-1", "EPERM", "-1", "EPERM"], "a sandbox of its own reached the keyring: %r" % said)
    finally:
        shutil.rmtree(folder)


# Memory that resident sizes miss: a memfd's pages, and a file in the box's tmpfs.
HOG = ("import os, time\nfd = os.memfd_create('hog')\nfor _ in range(200): os.write(fd, bytes(1 << 20))\n"
       "with open(os.environ['WINEPREFIX'] + '/../hog', 'wb') as f:\n"
       "    for _ in range(200): f.write(bytes(1 << 20))\ntime.sleep(60)\n")


class Small(Session):
    memory = 256 << 20


def case_try_bounded(s):
    """A disc's programs cannot grow without end: a fork bomb ends its try
    within seconds, saying why, and so does memory past the limit that no
    process holds resident (a memfd's, a tmpfs's), where a control group can
    be had; without a sandbox, what they leave running ends with the try
    all the same."""
    if limits.MemoryLimit().path:
        with Small(s.arch, s.driver, say=lambda line: None) as own:
            own.spawn([walls.PYTHON, "-I", "-c", HOG])
            try:
                check(not wait_until(lambda: own.run(["true"]) is None, 60, 0.5), "")
                check(False, "400 MiB in a memfd and a tmpfs went on past a limit of 256 MiB for 60 s")
            except Refusal as refusal:
                check(refusal.code == "limit-reached" and "memory" in str(refusal),
                      "memory past the limit ended as %r" % str(refusal))
    for sandboxed in (True, False):
        with Session(s.arch, s.driver, sandboxed=sandboxed, say=lambda line: None) as own:
            if sandboxed:
                own.spawn(["sh", "-c", "bomb() { bomb & bomb & }; bomb"])
                started = time.time()
                try:
                    while time.time() - started < 30:
                        own.run(["true"])
                        time.sleep(0.2)
                    check(False, "a fork bomb went on for 30 s")
                except Refusal as refusal:
                    check(refusal.code == "limit-reached" and "processes" in str(refusal),
                          "a fork bomb ended as %r" % str(refusal))
            else:  # what it leaves, once it has killed the agent above it
                own.spawn(["sh", "-c", "setsid sh -c 'sleep 4321' </dev/null >/dev/null 2>&1 & sleep 0.3; "
                                       "kill -KILL %d" % own.agent_pid])
                time.sleep(1)
        left = subprocess.run(["pgrep", "-f", "sleep 4321|bomb"], capture_output=True, text=True).stdout.split()
        check(not left, "processes of the disc outlived its try (%s): %s" % (
            "sandboxed" if sandboxed else "--no-sandbox", left))


def case_try_blank_window(s):
    """A picture's browser whose window shows one colour and nothing else:
    the picture is not taken for the page's."""
    need_disc(s)
    folder = s.folder("blank-browser-", discs=True)
    blank, fake = os.path.join(folder, "white.png"), os.path.join(folder, "browser")
    subprocess.run(["convert", "-size", "400x60", "xc:white", blank], check=True)
    with open(fake, "w") as f:  # the screen white around its window too: all below the browser's bars one colour
        f.write("#!/bin/sh\ndisplay -window root %s\nexec display -geometry +0+0 %s\n" % (blank, blank))
    os.chmod(fake, 0o755)
    outcome, said = try_on(s, s.notes["disc_image"],
                           browser=lambda: Browser("Display", (fake,)))
    check(outcome.not_pictured and "stayed blank" in outcome.not_pictured and "the page shown" not in outcome.meets()
          and outcome.opened and outcome.why, "a window of one colour passed for the page: %r, %r\n%s"
          % (outcome.not_pictured, outcome.why, said))


def case_try_browser_cannot_start(s):
    """A picture's browser that ends at once: the try says so within seconds,
    and no picture passes for the page's: the page opened, but is not shown."""
    need_disc(s)
    fake = os.path.join(s.folder("fake-browser-", discs=True), "chromium")
    with open(fake, "w") as f:
        f.write("#!/bin/sh\necho 'cannot start: a missing library' >&2\nexit 127\n")
    os.chmod(fake, 0o755)
    limit = 15 + 3 * pace(s)
    started = time.time()
    outcome, said = try_on(s, s.notes["disc_image"],
                           browser=lambda: Browser("chromium", (fake,)))
    took = time.time() - started
    check(outcome.opened and outcome.why and "the browser's window did not appear" in outcome.why,
          "a page no picture shows was %r" % outcome.why)
    check(outcome.not_pictured and "the browser's window did not appear" in outcome.not_pictured
          and "a missing library" in outcome.not_pictured and "the page shown" not in outcome.meets(),
          "a picture without the browser passed: %r\n%s" % (outcome.not_pictured, said))
    check(took < limit, "the failed browser was known only after %.0f s, more than %.0f" % (took, limit))


CASES = {name[5:]: fn for name, fn in sorted(globals().items()) if name.startswith("case_")}
# Cases of the disc tools rather than of the exe: the 64-bit session serves
# them, and the run under emulation stays short.
TOOLS_ONLY = {"autorun_reader_matches_windows", "try_library_call", "try_browser_handed_elsewhere",
              "try_japanese_disc", "try_matrix", "try_matrix_cyrillic", "try_hostile_disc", "try_hostile_matrix", "try_bounded", "try_browser_cannot_start",
              "try_blank_window", "try_json", "try_shipped_exe_emulated", "try_sandbox_sizes",
              "try_box_text_in_letters", "try_keyring_out_of_reach", "try_stick",
              "try_forged_verdict", "try_no_path_of_the_user",
              "try_disc_cannot_reach_the_browser"}


class Skipped(Exception):
    pass


def guarded(state, state_path):
    """The shared session as the disc of no earlier case left it (what that
    case's disc started is ended), and a watcher that ends what this case's
    started once the case ends, however it ends: killed by its time limit
    too. The watcher holds a lock the next case waits on, so that it never
    ends what the next case starts."""
    lock = os.open(state_path + ".lock", os.O_RDWR | os.O_CREAT, 0o600)
    fcntl.flock(lock, fcntl.LOCK_EX)
    state.sweep()
    fcntl.flock(lock, fcntl.LOCK_UN)
    watching, ready = os.pipe(), os.pipe()
    if os.fork() == 0:
        os.close(watching[1])
        if os.fork() == 0:
            os.setsid()  # outside the case's process group and tree, which its limit ends
            fcntl.flock(lock, fcntl.LOCK_EX)
            os.write(ready[1], b"x")
            os.read(watching[0], 1)  # nothing comes: this returns once the case's process is gone
            try:
                state.sweep()
            finally:
                os._exit(0)
        os._exit(0)
    os.wait()
    os.close(watching[0])
    os.read(ready[0], 1)
    os.close(lock)
    return watching[1]


def run_case(state_path, name):
    state = SharedSession.attach(state_path)
    if state.notes.get("skip"):
        print("SKIP %s: %s" % (name, state.notes["skip"]))
        return SKIP
    guarded(state, state_path)
    try:
        CASES[name](state)
    except Skipped as why:
        print("SKIP %s: %s" % (name, why))
        return SKIP
    except Failure as failure:
        print("FAIL %s: %s" % (name, failure))
        return 1
    finally:
        restore_html_association(state)
    print("ok %s" % name)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=["setup", "case", "teardown", "list"])
    parser.add_argument("name", nargs="?")
    parser.add_argument("--state")
    parser.add_argument("--quenlo")
    parser.add_argument("--recorder")
    parser.add_argument("--driver")
    parser.add_argument("--verinfo")
    parser.add_argument("--inireader")
    parser.add_argument("--intruder")
    parser.add_argument("--drivetype")
    parser.add_argument("--product")
    a = parser.parse_args()
    if a.action == "list":
        print(";".join(n for n in CASES if a.name != "i686" or n not in TOOLS_ONLY))
        return 0
    if a.action == "setup":
        return setup(a.state, {k: getattr(a, k) for k in ("quenlo", "recorder", "driver", "verinfo", "inireader",
                                                                "intruder", "drivetype", "product")})
    if a.action == "teardown":
        return teardown(a.state)
    return run_case(a.state, a.name)


if __name__ == "__main__":
    sys.exit(main())
