#!/usr/bin/env python3
"""What a try decides in-process, with the machine's answers stubbed: how a
32-bit disc's exe runs here, and what Wine's trace and exit status say ran."""
import os
import unittest
from unittest import mock

from quenlo_disc import Unavailable, host, onepc
from quenlo_disc.driver import started_by
from quenlo_disc.host import Emulation

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


if __name__ == "__main__":
    unittest.main()
