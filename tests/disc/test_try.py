#!/usr/bin/env python3
"""What a try decides in-process, with the machine's answers stubbed: how a
32-bit disc's exe runs here, what Wine's trace and exit status say ran, the
verdict of a PC's row and of a matrix, and the agent's client speaking to
an agent that answers, fails or goes away."""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest
from unittest import mock

from quenlo_disc import CHECKOUT, Gone, Unavailable, agent, host, inside, onepc, sandbox, seccomp, trying
from quenlo_disc.browser import on_disc as leads_to, same_page, shown_address, unlike
from quenlo_disc.check import check_medium
from quenlo_disc.driver import Run, started_by
from quenlo_disc.host import Emulation
from quenlo_disc.medium import Options

# (Wine's 32-bit side there, qemu there, the kernel runs i386 programs, an
# entry of the machine's binfmt_misc, QUENLO_DISC_EMULATE, a sandbox, Linux
# 6.7 or later) -> the path taken, or what the one-line refusal names
THIRTY_TWO = {
    "native kernel": (True, True, True, None, None, True, True, Emulation.NATIVE),
    "native kernel, no qemu": (True, False, True, None, None, True, True, Emulation.NATIVE),
    "native kernel, emulation asked for": (True, True, True, None, "1", True, True, Emulation.SANDBOX),
    "no IA32 emulation": (True, True, False, None, None, True, True, Emulation.SANDBOX),
    "no IA32 emulation, no qemu": (True, False, False, None, None, True, True, "apt-get install qemu-user"),
    "emulation asked for, no qemu": (True, False, True, None, "1", True, True, "apt-get install qemu-user"),
    "no sandbox to register qemu in": (True, True, False, None, None, False, True, "(this try has none)"),
    "kernel too old for a binfmt_misc of its own": (True, True, False, None, None, True, False, "Linux 6.7 or later"),
    "the machine's own qemu entry": (True, False, True, "qemu-i386", None, True, True, Emulation.MACHINE),
    "no 32-bit Wine": (False, True, True, None, None, True, True, "apt-get install wine32:i386"),
}


# i386's int 0x80 from a 64-bit process: long call(number, a, b, c), the
# result as the kernel gives it (a negative errno where it fails).
INT80 = bytes.fromhex("53" "89f8" "89f3" "4887ca" "31f6" "31ff" "cd80" "4863c0" "5b" "c3")
NS = {"user": 0x10000000, "net": 0x40000000, "mount": 0x20000, "pid": 0x20000000, "ipc": 0x08000000,
      "uts": 0x04000000, "cgroup": 0x02000000}
SIGCHLD, PTRACE_PEEKDATA = 17, 2
# (ABI, call, number, arguments) -> what the filter answers: an errno's name, or "the kernel's" where it lets
# the call through (no pointer in any: the filter answers before the kernel reads one). Another process is the
# parent, never pid 1.
CALLS = {(abi, "clone into a new %s namespace" % ns, nr, (flag | SIGCHLD,)): "EPERM"
         for abi, nr in (("x86_64", 56), ("i386", 120)) for ns, flag in NS.items()}
for abi, numbers in (("x86_64", (56, 435, 425, 426, 427, 272, 101, 310, 311, 39)),
                     ("i386", (120, 435, 425, 426, 427, 310, 26, 347, 348, 20))):
    for nr, (call, args, said) in zip(numbers, (
            ("clone, a plain fork", (SIGCHLD,), "the kernel's"), ("clone3", (0, 0), "ENOSYS"),
            ("io_uring_setup", (1, 0), "EPERM"), ("io_uring_enter", (0, 1, 1), "EPERM"),
            ("io_uring_register", (0, 0, 0), "EPERM"), ("unshare", (NS["user"],), "EPERM"),
            ("ptrace", (PTRACE_PEEKDATA, "parent", 0), "EPERM"), ("process_vm_readv", ("parent", 0, 0), "EPERM"),
            ("process_vm_writev", ("parent", 0, 0), "EPERM"), ("getpid", (), "the kernel's"))):
        CALLS[abi, call, nr, args] = said


def answers(calls, filtered=True):
    """{(ABI, call): an errno's name, "the kernel's", or "no int 0x80" where this kernel runs no i386 call} of
    calls made by a child process, under the filter where filtered."""
    import ctypes
    import errno
    import mmap
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        said = {}
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            code = mmap.mmap(-1, mmap.PAGESIZE, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
            code.write(INT80)
            int80 = ctypes.CFUNCTYPE(ctypes.c_long, ctypes.c_long, ctypes.c_long, ctypes.c_long, ctypes.c_long)(
                ctypes.addressof(ctypes.c_char.from_buffer(code)))
            i386 = ints_run()
            if filtered:
                seccomp.install()
            for abi, call, nr, args in calls:
                args = [os.getppid() if a == "parent" else a for a in args]
                if abi == "i386" and not i386:
                    said[abi, call] = "no int 0x80"
                    continue
                if abi == "i386":
                    got = int80(nr, *(args + [0] * (3 - len(args))))
                else:
                    got = libc.syscall(ctypes.c_long(nr), *[ctypes.c_long(a) for a in args + [0] * (5 - len(args))])
                    got = -ctypes.get_errno() if got == -1 else got
                if got == 0 and "clone" in call:
                    os._exit(0)  # the child a clone let through
                said[abi, call] = errno.errorcode.get(-got, str(got)) if got < 0 and -got in (
                    errno.EPERM, errno.ENOSYS) else "the kernel's"
        finally:
            os.write(write, json.dumps([[k, v] for k, v in said.items()]).encode())
            os._exit(0)
    os.close(write)
    with os.fdopen(read) as f:
        got = f.read()
    os.waitpid(pid, 0)
    while True:  # any fork of the child's that was let through and came back to this process, never one of others
        try:
            if os.waitpid(-1, os.WNOHANG)[0] == 0:
                break
        except ChildProcessError:
            break
    return {tuple(k): v for k, v in json.loads(got)}


def ints_run():
    """Whether this kernel runs int 0x80 (i386 calls): asked of a child of the child, which a kernel without it
    ends with a signal."""
    pid = os.fork()
    if pid == 0:
        import ctypes
        import mmap
        code = mmap.mmap(-1, mmap.PAGESIZE, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
        code.write(INT80)
        call = ctypes.CFUNCTYPE(ctypes.c_long, ctypes.c_long, ctypes.c_long, ctypes.c_long, ctypes.c_long)(
            ctypes.addressof(ctypes.c_char.from_buffer(code)))
        os._exit(0 if call(20, 0, 0, 0) == os.getpid() else 1)
    return os.waitpid(pid, 0)[1] == 0


class Filter(unittest.TestCase):
    def test_refused(self):
        """The sandbox's filter, installed in a process of this machine's kernel, refuses what a disc used to
        reach another namespace, io_uring and other processes' memory with (64-bit calls and int 0x80 alike),
        answers clone3 ENOSYS, and lets a plain fork through."""
        got = answers(list(CALLS))
        for (abi, call, _, _), wanted in CALLS.items():
            with self.subTest(abi=abi, call=call):
                self.assertIn(got[abi, call], (wanted, "no int 0x80") if abi == "i386" else (wanted,))
        unfiltered = answers(list(CALLS), filtered=False)  # what the kernel itself would have said
        self.assertEqual(unfiltered["x86_64", "clone3"], "the kernel's")


class ThirtyTwoBits(unittest.TestCase):
    def test_choice(self):
        for name, (wine32, qemu, kernel, entry, emulate, sandboxed, recent, wanted) in THIRTY_TWO.items():
            there = {host.WINE32: wine32, host.QEMU: qemu}
            with self.subTest(name), mock.patch.object(host, "runs_i386", return_value=kernel), \
                    mock.patch.object(host, "i386_entry", return_value=entry), \
                    mock.patch.object(host, "kernel_at_least", return_value=recent), \
                    mock.patch.object(host.os.path, "exists", side_effect=lambda p: there.get(p, os.path.lexists(p))), \
                    mock.patch.dict(os.environ, {"QUENLO_DISC_EMULATE": emulate} if emulate else {}, clear=False):
                if not emulate:
                    os.environ.pop("QUENLO_DISC_EMULATE", None)
                if isinstance(wanted, Emulation):
                    self.assertIs(host.thirty_two_bits(sandboxed)[0], wanted)
                else:
                    with self.assertRaises(Unavailable) as refused:
                        host.thirty_two_bits(sandboxed)
                    self.assertIn(wanted, str(refused.exception))
                    self.assertNotIn("\n", str(refused.exception))

    def test_prefix_says_what_it_was_made_with(self):
        """A prefix made while no 32-bit program could run is never the one
        a try that runs them takes."""
        with mock.patch.object(host, "wine_version", return_value="wine-8.0"):
            names = {how: host.prefix_name(how) for how in Emulation}
        self.assertEqual(names[Emulation.NONE], "wine-8.0-64")
        self.assertEqual({names[how] for how in (Emulation.NATIVE, Emulation.MACHINE, Emulation.SANDBOX)},
                         {"wine-8.0"})


# Lines of Wine's +process trace as a run of the driver leaves them: the
# driver starting Quenlo, then Quenlo (or the shell in it) starting the browser.
DRIVER = ('0024:trace:process:CreateProcessInternalW app (null) cmdline L"quenlo.exe docs\\\\index.htm"',
          "0024:trace:process:CreateProcessInternalW started process pid 0038 tid 003c")
TRACES = {
    "nothing started": (DRIVER, "", "none: nothing was started"),
    "the shell's open": (DRIVER + (
        '0040:trace:process:CreateProcessInternalW app (null) cmdline L"C:\\\\windows\\\\system32\\\\winebrowser.exe '
        '\\"D:\\\\docs\\\\index.htm\\""', "0040:trace:process:CreateProcessInternalW started process pid 0044"),
        'C:\\windows\\system32\\winebrowser.exe "D:\\docs\\index.htm"', "shell (the shell's \"open\" verb)"),
    "the fallback's address": (DRIVER + (
        '0040:trace:process:CreateProcessInternalW app (null) cmdline L"viewer.exe -nohome file:///D:\\\\docs\\\\a%20b.htm"',
        "0040:trace:process:CreateProcessInternalW started process pid 0044"),
        "viewer.exe -nohome file:///D:\\docs\\a%20b.htm", "fallback (Quenlo started the \".htm\" handler itself)"),
    "a name beyond ASCII": (DRIVER + (
        '0040:trace:process:CreateProcessInternalW app (null) cmdline L"viewer.exe  docs\\\\\\65e5\\672c.htm"',
        "0040:trace:process:CreateProcessInternalW started process pid 0044"),
        "viewer.exe  docs\\\u65e5\u672c.htm", "fallback (Quenlo started the \".htm\" handler itself)"),
    "a start that failed": (DRIVER + (
        '0040:trace:process:CreateProcessInternalW app (null) cmdline L"C:\\\\nowhere\\\\x.exe  docs\\\\index.htm"',),
        "", "none: nothing was started"),
}


class Traces(unittest.TestCase):
    def test_started_and_course(self):
        for name, (lines, started, course) in TRACES.items():
            with self.subTest(name):
                got = started_by("\n".join(lines))
                self.assertEqual(got, started)
                page = "docs\\\u65e5\u672c.htm" if "ASCII" in name else "docs\\index.htm"
                self.assertEqual(onepc.course_of(got, page), course)

    def test_not_loaded(self):
        """An exit status of Wine's own failing to load the exe is the
        machine's doing, told with the mend; Quenlo's own 0 is not."""
        for status, says in ((0xC0000135, "a DLL it needs was not found"), (0xC0000018, "memory"),
                             (0xC0000005, "an error of Wine's"), (0, None), (None, None), (3, None)):
            with self.subTest(status):
                found = onepc.not_loaded(status)
                if says is None:
                    self.assertIsNone(found)
                else:
                    self.assertIn(says, found)
                    self.assertIn("--clear-cache", found)


class Verdict(unittest.TestCase):
    # (the driver's report, handed, the address, where it leads, rendered,
    # the page found on the disc) -> why the page was not shown
    WHY = {
        "shown elsewhere": ("exit\t0\t10", True, "file:///D:/b.htm", "/D:/b.htm", "B", "/D:/a.htm",
                            'the browser was handed "file:///D:/b.htm", not the disc\'s page D:\\docs\\a.htm'),
        "page not on the disc": ("exit\t0\t10", True, "file:///D:/a.htm", "/D:/a.htm", "", None,
                                 "the open line's page, docs\\a.htm, is not on the disc"),
        "browser could not": ("exit\t0\t10", True, "file:///D:/a.htm", "/D:/a.htm", "w3m: Can't load", "/D:/a.htm",
                              "the browser could not show the page: w3m: Can't load"),
        "driver overran": ("timeout", False, "", "", "", "/D:/a.htm", "Quenlo did not run to its end: timeout"),
        "missing box": ("box\tQuenlo\texclamation\t%s\nexit\t2\t10" % onepc.MISSING, False, "", "", "", "/D:/a.htm",
                        'Quenlo said "%s": nothing on the disc has the name' % onepc.MISSING),
        "about box": ("box\tAbout Quenlo\tinformation\tQuenlo 1\nexit\t0\t10", False, "", "", "", "/D:/a.htm",
                      'Quenlo said "About Quenlo": the open line gives Quenlo no page'),
        "said nothing": ("exit\t0\t10", False, "", "", "", "/D:/a.htm",
                         "Quenlo said nothing, but no browser was given the page"),
        # The page opened: the picture decides.
        "shown": ("exit\t0\t10", True, "file:///D:/a.htm", "/D:/a.htm", "A", "/D:/a.htm", None),
        "not pictured": ("exit\t0\t10", True, "file:///D:/a.htm", "/D:/a.htm", "A", "/D:/a.htm",
                         "the page opened, but no picture of the page: it stayed blank"),
        "no picture": ("exit\t0\t10", True, "file:///D:/a.htm", "/D:/a.htm", "A", "/D:/a.htm",
                       "no picture of the screen could be taken"),
    }

    def test_why_not(self):
        for name, (raw, handed, address, resolved, rendered, on_disc, says) in self.WHY.items():
            came = onepc.Followed(address, resolved, "1" if name == "browser could not" else "0", rendered,
                                  "no picture of the page: it stayed blank" if name == "not pictured" else None
                                  ) if handed else None
            with self.subTest(name), mock.patch.object(onepc.os.path, "realpath", side_effect=lambda p: p):
                why = onepc.why_not(Run(raw), came, "docs\\a.htm", on_disc, None, pictured=name != "no picture")
                self.assertIsNone(why) if says is None else self.assertIn(says, why)

    def test_unreachable(self):
        for code_page, reached, says in ((1252, [1252, 932], None), (932, [], "no PC can reach it"),
                                         (1251, [932], "is in 932"), (1251, [1250, 1252], "for PCs using 1250, 1252")):
            with self.subTest(code_page=code_page, reached=reached):
                why = trying.unreachable(code_page, reached)
                self.assertIsNone(why) if says is None else self.assertIn(says, why)

    def test_matrix_missed(self):
        """A matrix misses only where a PC that reaches the page did not
        show it; a PC that cannot reach it, or has no browser, is no miss."""
        shown = {932: "not shown", 1251: "not shown"}  # of the PCs the disc is for: 1252 and 932
        for reached, missed in (([1252, 932], ["Japanese (932)"]), ([1252], [])):
            disc = trying.Disc("/x.iso", "/f", reached, "/v")
            def row(session, disc, shot, pc, browser):
                return onepc.Row(pc, why=shown.get(pc.code_page) if pc.browser else "no browser")

            session = mock.Mock()
            with self.subTest(reached=reached), mock.patch.object(trying, "try_disc", row), \
                    mock.patch.object(trying, "contact_sheet", return_value=True):
                got, made, why = trying.matrix_of(session, disc, "/s.png", "/p")
                self.assertEqual([row.pc.kind() for row in got if row.missed], missed)
                self.assertEqual(why is None, not missed)
                self.assertEqual(session.sweep.call_count, len(got))

    def test_stick_start(self):
        """The page a stick's user double-clicks, as the try opens it and as
        the check judges it, alike: the open line's at the root, else a root
        page that leads to it, else none (the check warns); with no open
        line, the root's one page."""
        for name, files, start in (
                ("open line at the root", {"autorun.inf": "[autorun]\r\nopen=quenlo.exe start.htm",
                                           "start.htm": "", "other.htm": ""}, "start.htm"),
                ("a root page leads to it", {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\in dex.htm",
                                             "a.htm": "", "b.htm": '<a href="DOCS/in%20dex.htm">x</a>',
                                             "docs/in dex.htm": ""}, "b.htm"),
                ("nothing leads to it", {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\index.htm",
                                         "a.htm": "", "docs/index.htm": ""}, None),
                ("the root's one page leads elsewhere", {
                    "autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\index.htm", "readme.htm":
                    '<a href="docs/other.htm">x</a>', "docs/index.htm": "", "docs/other.htm": ""}, None),
                ("two root pages lead to it", {"autorun.inf": "[autorun]\r\nopen=quenlo.exe d\\p.htm",
                                               "z.htm": '<a href="d/p.htm">', "m.html": '<a href="D/P.HTM">',
                                               "d/p.htm": ""}, "m.html"),
                ("no autorun.inf, one page", {"only.html": ""}, "only.html"),
                ("autorun.inf with a label alone", {"autorun.inf": "[autorun]\r\nlabel=Stick", "only.htm": ""},
                 "only.htm"),
                ("no autorun.inf, two pages", {"a.htm": "", "b.htm": ""}, None)):
            with self.subTest(name):
                folder = tempfile.mkdtemp()
                for rel, text in dict(files, **{"quenlo.exe": "MZ"}).items():
                    os.makedirs(os.path.dirname(os.path.join(folder, rel)), exist_ok=True)
                    with open(os.path.join(folder, rel), "w") as f:
                        f.write(text)
                # Without autorun.inf the check refuses the stick before it looks for a page.
                judged = start if "autorun.inf" in files else None
                self.assertEqual((trying.stick_start(folder), check_medium(folder, Options(stick=True),
                                                                            tempfile.mkdtemp()).start),
                                 (start, judged))

    def test_launcher_texts(self):
        """The texts a try recognises in Quenlo's boxes are the launcher's own."""
        with open(os.path.join(CHECKOUT, "launcher", "messages.h")) as f:
            defined = dict(re.findall(r'#define QUENLO_(\w+) "([^"]*)"', f.read()))
        self.assertEqual((onepc.CAPTION, onepc.ABOUT_CAPTION, onepc.JOB_LINE, onepc.MISSING, onepc.FAILED),
                         (defined["CAPTION"], defined["ABOUT_CAPTION"], defined["JOB_LINE"], defined["MISSING_TEXT"],
                          defined["FAILED_TEXT"]))


class Door(unittest.TestCase):
    def test_listener_hears_all(self):
        """Every call a try makes of what hears it is one a Listener has, so
        try_image(image) runs with the default listener."""
        import ast
        with open(trying.__file__) as f:
            heard = {node.attr for node in ast.walk(ast.parse(f.read())) if isinstance(node, ast.Attribute)
                     and isinstance(node.value, ast.Name) and node.value.id == "progress"}
        self.assertGreaterEqual(len(heard), 8)
        self.assertEqual(sorted(name for name in heard if not callable(getattr(trying.Listener(), name, None))), [])

    def test_refusal_carries_the_try(self):
        """A try that cannot go on raises a refusal that carries what it found."""
        with self.assertRaises(trying.Refusal) as refused:
            trying.try_image("/nowhere/none.iso")
        self.assertEqual((refused.exception.code, refused.exception.tried.image, refused.exception.tried.rows),
                         ("image-missing", "/nowhere/none.iso", []))


class Sheet(unittest.TestCase):
    def test_contact_sheet(self):
        """A matrix's contact sheet, made as either confinement runs it, from
        the pictures on this side: three a row, a blank cell for a PC with
        none."""
        from quenlo_disc.screen import PNG, contact_sheet
        work = tempfile.mkdtemp()
        shot = os.path.join(work, "shot.png")
        subprocess.run(["convert", "-size", "200x150", "xc:blue", shot], check=True)
        for kept in (sandbox.Walled(), sandbox.Plain()):
            with self.subTest(type(kept).__name__):
                sheet = os.path.join(work, type(kept).__name__ + ".png")
                self.assertTrue(contact_sheet([("Western (1252)\\nthe page shown", shot), ("none", None)] * 2, sheet,
                                              kept))
                with open(sheet, "rb") as f:
                    self.assertTrue(f.read(8).startswith(PNG))
                size = subprocess.run(["identify", "-format", "%w %h", sheet], capture_output=True, text=True).stdout
                width, height = map(int, size.split())
                self.assertEqual(width, 3 * (320 + 12))
                self.assertGreater(height, 2 * 240)


class Handed(unittest.TestCase):
    DRIVE = "/s/box/prefix/dosdevices/d:"
    # an address Wine's bridge is handed -> the disc's file it leads to (in
    # the disc's folder), the address the browser loads (None: none)
    ADDRESSES = {
        "file:///s/box/prefix/dosdevices/d:/docs/a.htm": ("docs/a.htm", "file:///D:/docs/a.htm"),
        "file:///s/box/prefix/dosdevices/d:/docs/two%20words.htm#top": ("docs/two words.htm",
                                                                        "file:///D:/docs/two%20words.htm#top"),
        "/s/box/prefix/dosdevices/d:/docs/a.htm": ("docs/a.htm", "file:///D:/docs/a.htm"),
        # A second drive marker in the fragment names no other file.
        "file:///s/box/prefix/dosdevices/d:/docs/a.htm#/s/box/prefix/dosdevices/d:/docs/evil.htm": (
            "docs/a.htm", "file:///D:/docs/a.htm#/s/box/prefix/dosdevices/d:/docs/evil.htm"),
        "file:///s/box/prefix/dosdevices/d:/docs/a.htm?/s/box/prefix/dosdevices/d:/evil.htm": (
            "docs/a.htm", "file:///D:/docs/a.htm?/s/box/prefix/dosdevices/d:/evil.htm"),
        "file:///s/box/prefix/dosdevices/d:/../../../etc/passwd": ("", None),
        "file:///s/box/prefix/dosdevices/c:/win.ini": ("", None),
        "file:///s/box/prefix/dosdevices/c:/x/s/box/prefix/dosdevices/d:/docs/a.htm": ("", None),
        "http://quenlo-test.invalid/": ("", None),
        "docs\\a.htm": ("", None),
    }

    def test_addresses(self):
        """One resolution of a handed address for all: the file the tools
        judge is the file the browser loads, whatever else the address
        holds; and a browser that says it shows another page is caught."""
        disc = tempfile.mkdtemp()
        os.makedirs(os.path.join(disc, "docs"))
        for name in ("a.htm", "two words.htm"):
            open(os.path.join(disc, "docs", name), "w").close()
        top = os.path.realpath(disc)
        for address, (file, shown) in self.ADDRESSES.items():
            with self.subTest(address):
                resolved = leads_to(address, disc, self.DRIVE)
                self.assertEqual(resolved, os.path.join(top, file) if file else "")
                self.assertEqual(shown_address(address, resolved, disc, "/D:"), shown)
        self.assertEqual(leads_to("file://%s/docs/a.htm" % disc, disc, self.DRIVE),
                         os.path.join(top, "docs", "a.htm"))
        for loaded, same in (("file:///D:/docs/two%20words.htm#end", True), ("file:///D:/docs/two words.htm", True),
                             ("file:///D:/docs/evil.htm#/D:/docs/two%20words.htm", False),
                             ("http://quenlo-test.invalid/D:/docs/two%20words.htm", False)):
            with self.subTest(loaded):
                self.assertEqual(same_page(loaded, "file:///D:/docs/two%20words.htm#top"), same)

    def test_told_by_its_session(self):
        """A handoff counts as the bridge's only from a process of a session
        whose leader is Wine's bridge: one made by another program, even one
        that runs the bridge's script, is told apart; and so is one whose
        leader names itself so but is no program of Wine's."""
        box = tempfile.mkdtemp()
        taker = inside.Inside(box)
        threading.Thread(target=inside.take_handoffs, args=(taker, inside.handoff_socket(box)), daemon=True).start()
        handing = "import sys; sys.path.insert(0, %r); from quenlo_disc import inside; inside.hand_over(%r, %r)" % (
            os.path.join(CHECKOUT, "disc"), box, "file:///D:/a.htm")
        bridge = ("import ctypes, os, subprocess, sys; os.setsid(); ctypes.CDLL(None).prctl(15, b'winebrowser.exe');"
                  "subprocess.run([sys.executable, '-c', sys.argv[1]])")
        python = os.path.basename(os.path.realpath(sys.executable))
        for name, argv, loaders, by in (
                ("another program", [sys.executable, "-c", handing], (), ""),
                ("a leader named as the bridge", [sys.executable, "-c", bridge, handing], (), ""),
                ("the bridge", [sys.executable, "-c", bridge, handing], (python,), inside.BRIDGE)):
            with self.subTest(name), mock.patch.object(inside, "LOADERS", loaders):
                subprocess.run(argv, check=True, timeout=30)
                self.assertEqual(taker.do_handoffs({"since": 0})["handoffs"][-1], {"address": "file:///D:/a.htm",
                                                                                   "by": by})
        self.assertEqual(taker.do_handoffs({"since": 1})["count"], 3)


class Likeness(unittest.TestCase):
    """The screen's picture against what Chromium drew in the page's viewport,
    on made-up pictures: (the part of the viewport covered by something else,
    from its top; what Chromium drew just before and just after) -> alike."""
    ROWS = {
        "the page as drawn": (0, "page", "page", True),
        "a fiftieth covered": (0.02, "page", "page", True),
        "a tenth covered": (0.1, "page", "page", False),
        "half covered": (0.5, "page", "page", False),
        "drawn anew just after": (0, "other", "page", True),
    }

    def test_rows(self):
        stage = tempfile.mkdtemp(prefix="quenlo-likeness-")
        self.addCleanup(shutil.rmtree, stage)
        at = os.path.join(stage, "%s.png").__mod__
        # The pages Chromium drew, and a screen of each row: the page in its viewport, 128 pixels down, covered so far.
        command = ["convert", "-size", "1024x640", "gradient:yellow-green", "-write", at("other"), "+delete",
                   "gradient:white-navy", "-fill", "darkred", "-draw", "rectangle 100,100 600,200", "-write", at("page")]
        for n, (covered, _, _, _) in enumerate(self.ROWS.values()):
            command += ["(", "-size", "1024x768", "xc:gray90", at("page"), "-geometry", "+0+128", "-composite", "-fill",
                        "black", "-draw", "rectangle 0,128 1023,%d" % (127 + 640 * covered), "-write", at(n), "+delete",
                        ")"]
        subprocess.run(command + ["null:"], check=True)
        # Without a sandbox, the comparing writes only in its stage: in /tmp, another's file would be in the way.
        once = "/tmp/screen.png"
        was = os.path.exists(once) and os.stat(once).st_mtime_ns
        drawn = {}
        for name in ("page", "other"):
            with open(at(name), "rb") as f:
                drawn[name] = (f.read(), [0, 128, 1024, 640])
        for n, (name, (_, before, after, alike)) in enumerate(self.ROWS.items()):
            with self.subTest(name):
                said = unlike(type("Session", (), {"confinement": sandbox.Plain()}), stage, at(n), drawn[before],
                              drawn[after])
                self.assertEqual(said, None if alike else "something else is drawn over the browser's page")
        self.assertEqual(os.path.exists(once) and os.stat(once).st_mtime_ns, was)


class AgentClient(unittest.TestCase):
    """The tools' side of the agent, against a listener that answers as told."""

    def serve(self, answers):
        """An agent's socket answering each request with the next of
        answers (None: closing without a word); the requests it got."""
        folder = tempfile.mkdtemp()
        path, got = os.path.join(folder, "agent.sock"), []
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(path)
        listener.listen()

        def answer():
            for said in answers:
                conn, _ = listener.accept()
                with conn, conn.makefile("rwb") as f:
                    got.append(json.loads(f.readline()))
                    if said is not None:
                        f.write(json.dumps(said).encode() + b"\n")
            listener.close()

        threading.Thread(target=answer, daemon=True).start()
        return agent.Agent(path), got

    def test_answers(self):
        client, got = self.serve([{"status": 3}, {"pid": 42}, {"error": "no such program"}])
        self.assertEqual(client.run(["true"], {}), 3)
        self.assertEqual(client.spawn(["x"], {}), 42)
        with self.assertRaises(Unavailable):
            client.spawn(["none"], {})
        self.assertEqual([r["do"] for r in got], ["run", "spawn", "spawn"])

    def test_gone(self):
        """A sandbox that ended says why; one that went without a word is gone."""
        client, _ = self.serve([{"ended": "the disc's programs used more than 4 GiB", "limit": True}])
        with self.assertRaises(Gone) as ended:
            client.alive(1)
        self.assertIn("the try was ended: the disc's programs used more than 4 GiB", str(ended.exception))
        client, _ = self.serve([None, None])
        with self.assertRaises(Gone) as went:
            client.keep()
        self.assertIn("its agent went away", str(went.exception))

    def test_stop_is_read_not_guessed(self):
        """The agent stops for the request to stop, and for nothing that
        merely begins like it."""
        for sent, stops in ((b'{"do": "stop"}\n', True), (b'{"do":"stop"}\n', True),
                            (b'{"do": "stopped", "x": 1}\n', False), (b'{"do": "stop"', False),
                            (b'["do", "stop"]\n', False), (b'{"do": "run", "argv": ["stop"]}\n', False)):
            with self.subTest(sent):
                ours, theirs = socket.socketpair()
                with ours, theirs:
                    theirs.sendall(sent)
                    self.assertEqual(agent.asks_to_stop(ours), stops)
                    self.assertEqual(ours.recv(100), sent)  # left for the sandbox's side to read whole


if __name__ == "__main__":
    unittest.main()
