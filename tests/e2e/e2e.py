#!/usr/bin/env python3
"""End-to-end cases for the built quenlo.exe under Wine, with a real registry,
real child processes and real message boxes on a virtual display.

  e2e.py setup    --state FILE      private prefix, Xvfb, persistent wineserver
  e2e.py case NAME --state FILE     one case (see CASES)
  e2e.py teardown --state FILE      stop and remove all of it
  e2e.py list                       the case names

Quenlo is started by driver.exe with an exact command line (Wine would quote
arguments built from a Unix argv); the driver reads and dismisses its message
boxes. Handlers are recorder.exe, which leaves one record per start.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

WINE = "/usr/lib/wine/wine64"
JOB_LINE = "Launch HTML document automatically on removable media."
MISSING = "The specified file does not exist."
FAILED = "Failed to launch specified file."
HTML_CLASS = "Quenlo.E2E.Html"
SHELL_CLASS = "Quenlo.E2E.Doc"


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_wine(state, args, env=None, timeout=120):
    full = dict(os.environ, WINEPREFIX=state["prefix"], WINEDEBUG="-all", DISPLAY=state["display"])
    full.update(env or {})
    # Never a pipe: Wine's services inherit it and would hold the reader.
    return subprocess.run([WINE] + args, env=full, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout).returncode


def reg_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def import_reg(state, lines):
    path = os.path.join(state["work"], "case.reg")
    with open(path, "w", encoding="latin-1") as f:
        f.write("REGEDIT4\n\n" + "\n".join(lines) + "\n")
    if run_wine(state, ["regedit", "/S", winpath(path)]) != 0:
        raise RuntimeError("regedit failed on " + path)


def default_value(key, value):
    return ["[HKEY_CLASSES_ROOT\\%s]" % key, '@="%s"' % reg_escape(value), ""]


# ---------------------------------------------------------------- fixture

def start_persistent_wineserver(prefix):
    """One server for the whole run: each Wine command then starts in a fraction
    of a second. It needs the prefix folder to exist already."""
    os.makedirs(prefix, exist_ok=True)
    subprocess.run(["wineserver", "-p"], env=dict(os.environ, WINEPREFIX=prefix), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)


def setup(state_path, tools):
    work = tempfile.mkdtemp(prefix="quenlo-e2e-")
    state = dict(tools, work=work, prefix=os.path.join(work, "prefix"), xvfb=None,
                 display=os.environ.get("DISPLAY", ""))
    with open(state_path, "w") as f:
        json.dump(state, f)
    if not state["display"]:
        for n in range(90, 140):
            if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
                break
        xvfb = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        for _ in range(100):
            if os.path.exists("/tmp/.X11-unix/X%d" % n):
                break
            time.sleep(0.05)
        state["xvfb"], state["display"] = xvfb.pid, ":%d" % n
    with open(state_path, "w") as f:
        json.dump(state, f)

    start_persistent_wineserver(state["prefix"])
    if run_wine(state, ["wineboot", "-i"], timeout=300) != 0:
        raise RuntimeError("wineboot failed")

    medium = os.path.join(work, "medium")
    for rel in ["docs/index.htm", "docs/index.qnone", "docs/page one.qnone", "my docs/page two.qnone",
                "docs/note.qdoc"]:
        os.makedirs(os.path.dirname(os.path.join(medium, rel)), exist_ok=True)
        with open(os.path.join(medium, rel), "w") as f:
            f.write("<html><body>%s</body></html>\n" % rel)
    # Documents of type ".qdoc" open through the shell, straight to the recorder.
    import_reg(state, default_value(".qdoc", SHELL_CLASS) +
               default_value(SHELL_CLASS + "\\shell\\open\\command", '"%s" --via-shell "%%1"' % winpath(state["recorder"])))
    print("prefix %s on display %s" % (state["prefix"], state["display"]))
    return 0


def teardown(state_path):
    if not os.path.exists(state_path):
        return 0
    with open(state_path) as f:
        state = json.load(f)
    env = dict(os.environ, WINEPREFIX=state["prefix"], WINEDEBUG="-all")
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if state.get("xvfb"):
        try:
            os.killpg(state["xvfb"], signal.SIGTERM)
        except ProcessLookupError:
            pass
    shutil.rmtree(state["work"], ignore_errors=True)
    os.remove(state_path)
    return 0


# ---------------------------------------------------------------- one run

class Run:
    """What one run showed (boxes), returned (status, millis) and started (records)."""

    def __init__(self, boxes, status, millis, records, timed_out, records_at_exit=(), report=""):
        self.boxes, self.status, self.millis, self.records = boxes, status, millis, records
        self.timed_out, self.records_at_exit, self.report = timed_out, list(records_at_exit), report


def records_in(folder):
    found = []
    for name in sorted(os.listdir(folder)):
        if name.endswith(".rec"):
            with open(os.path.join(folder, name), encoding="latin-1") as f:
                lines = f.read().split("\n")
            found.append({"command": lines[0], "directory": lines[1]})
    return found


def launch(state, argument_line, cwd, handler_sleep=None, settle=1.5, expect_records=0):
    """Runs quenlo.exe with `argument_line` after its name, in `cwd`."""
    folder = tempfile.mkdtemp(dir=state["work"], prefix="records-")
    report = os.path.join(folder, "driver.txt")
    command = '"%s"%s' % (winpath(state["quenlo"]), argument_line)
    env = {"QUENLO_E2E_COMMAND": command, "QUENLO_E2E_DIR": winpath(cwd), "QUENLO_E2E_OUT": winpath(report),
           "QUENLO_RECORD_DIR": winpath(folder), "QUENLO_E2E_TIMEOUT": "20000"}
    if handler_sleep:
        env["QUENLO_RECORD_SLEEP"] = str(handler_sleep)
    run_wine(state, [state["driver"]], env=env, timeout=80)
    boxes, status, millis, timed_out = [], None, None, False
    raw = "(no report)"
    if os.path.exists(report):
        with open(report, encoding="latin-1") as f:
            raw = f.read()
    for line in raw.splitlines():
        parts = line.split("\t")
        if parts[0] == "box":
            boxes.append({"caption": parts[1], "icon": parts[2], "text": parts[3].replace("\\n", "\n")})
        elif parts[0] == "exit":
            status, millis = int(parts[1]), int(parts[2])
        elif parts[0] in ("timeout", "spawn-failed"):
            timed_out = True
    exited_with = records_in(folder)
    # Handlers start asynchronously; give them time, then make sure no more come.
    deadline = time.time() + 10
    while len(records_in(folder)) < expect_records and time.time() < deadline:
        time.sleep(0.1)
    time.sleep(settle)
    return Run(boxes, status, millis, records_in(folder), timed_out, exited_with, raw)


# ---------------------------------------------------------------- cases

def set_html_handler(state, template):
    import_reg(state, default_value(".htm", HTML_CLASS) +
               default_value(HTML_CLASS + "\\shell\\open\\command", template))


def remove_html_association(state):
    import_reg(state, ["[-HKEY_CLASSES_ROOT\\.htm]", "", "[-HKEY_CURRENT_USER\\Software\\Classes\\.htm]", "",
                       "[-HKEY_LOCAL_MACHINE\\Software\\Classes\\.htm]", ""])


def restore_html_association(state):
    import_reg(state, ["[HKEY_CLASSES_ROOT\\.htm]", '@="htmlfile"', '"Content Type"="text/html"', "",
                       "[-HKEY_CLASSES_ROOT\\%s]" % HTML_CLASS, ""])


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def expect_boxes(run, wanted):
    """wanted: list of (caption, icon, text or None for 'contains the job line')."""
    check(not run.timed_out, "Quenlo did not run to its end: %r" % run.report)
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


def rec(state):
    return '"%s"' % winpath(state["recorder"])


def medium(state):
    return os.path.join(state["work"], "medium")


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


def fallback_case(argument_line, template, expected_tail, cwd_rel=""):
    def case(s):
        set_html_handler(s, template.replace("REC", rec(s)))
        cwd = os.path.join(medium(s), cwd_rel)
        run = launch(s, argument_line, cwd, expect_records=1)
        expect_boxes(run, [])
        expect_started(run, [rec(s) + expected_tail.replace("MEDIUM", winpath(medium(s)))], winpath(cwd))
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


def case_fallback_absolute_argument(s):
    set_html_handler(s, rec(s) + ' -osint -url "%1"')
    path = winpath(medium(s)) + r"\my docs\page two.qnone"
    run = launch(s, " " + path, medium(s), expect_records=1)
    expect_boxes(run, [])
    expect_started(run, [rec(s) + ' -osint -url  "%s"' % path])


def case_fallback_no_htm_association(s):
    remove_html_association(s)
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
    set_html_handler(s, rec(s) + ' "%1"')
    run = launch(s, r" docs\page one.qnone", medium(s), handler_sleep=4000, expect_records=1)
    expect_boxes(run, [])
    check(run.records_at_exit == [], "the handler finished before Quenlo exited")
    check(run.millis is not None and run.millis < 4000, "Quenlo took %r ms" % run.millis)
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
    check(os.path.exists(s["product"]), "no product exe at %s: build the win32 preset first" % s["product"])
    report = os.path.join(s["work"], "version.txt")
    run_wine(s, [s["verinfo"]], env={"QUENLO_E2E_FILE": winpath(s["product"]), "QUENLO_E2E_OUT": winpath(report)})
    with open(report, encoding="latin-1") as f:
        got = dict(line.split("\t", 1) for line in f.read().splitlines())
    for key, value in EXPECTED_VERSION.items():
        check(got.get(key) == value, "version record %s = %r, expected %r" % (key, got.get(key), value))


BINFMT = "/proc/sys/fs/binfmt_misc"
QEMU_ENTRY = (r":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
              r":\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
              ":/usr/bin/qemu-i386:F")
SKIP = 77


def enable_i386_emulation():
    """Registers qemu for i386 ELF programs. Returns (ok, registered_here, why)."""
    if not os.path.exists("/usr/lib/wine/wine") or not os.path.exists("/usr/bin/qemu-i386"):
        return False, False, "Wine's 32-bit side or qemu-i386 is not installed"
    if not os.path.exists(BINFMT + "/register"):
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not os.path.exists(BINFMT + "/register"):
        return False, False, "binfmt_misc cannot be mounted here"
    if os.path.exists(BINFMT + "/qemu-i386"):
        return True, False, ""
    try:
        with open(BINFMT + "/register", "w") as f:
            f.write(QEMU_ENTRY)
    except OSError as error:
        return False, False, "cannot register qemu-i386: %s" % error
    return True, True, ""


def disable_i386_emulation():
    try:
        with open(BINFMT + "/qemu-i386", "w") as f:
            f.write("-1")
    except OSError:
        pass


def smoke_i686(quenlo32, recorder):
    """The 32-bit product itself, under emulation, through one fallback start.
    Slow (minutes), so it has a prefix of its own and emulation only meanwhile."""
    if not os.path.exists(quenlo32):
        print("FAIL no 32-bit exe at %s" % quenlo32)
        return 1
    ok, registered, why = enable_i386_emulation()
    if not ok:
        print("SKIP %s" % why)
        return SKIP
    # qemu's default guest address space leaves no room for the shared user
    # data page Wine maps at 0x7ffe0000; a smaller reserve does.
    os.environ["QEMU_RESERVED_VA"] = "0xf7000000"
    work = tempfile.mkdtemp(prefix="quenlo-i686-")
    state = {"work": work, "prefix": os.path.join(work, "prefix"), "display": "", "quenlo": quenlo32,
             "recorder": recorder}
    env = dict(os.environ, WINEPREFIX=state["prefix"], WINEDEBUG="-all")
    try:
        started = time.time()
        start_persistent_wineserver(state["prefix"])
        if run_wine(state, ["wineboot", "-i"], timeout=900) != 0:
            print("FAIL wineboot under emulation")
            return 1
        print("prefix ready in %.0f s" % (time.time() - started))
        os.makedirs(os.path.join(work, "medium", "docs"))
        with open(os.path.join(work, "medium", "docs", "index.qnone"), "w") as f:
            f.write("<html></html>\n")
        set_html_handler(state, rec(state) + ' --single-argument "%1"')
        # Started by the plain 32-bit loader, as a user's double-click would;
        # an argument without blanks reaches it unquoted. No display: Quenlo
        # shows nothing on this course, and a box would return at once.
        folder = tempfile.mkdtemp(dir=work, prefix="records-")
        env32 = dict(env, QUENLO_RECORD_DIR=winpath(folder))
        env32.pop("DISPLAY", None)
        started = time.time()
        status = subprocess.run(["wine", winpath(quenlo32), r"docs\index.qnone"], env=env32, cwd=medium(state),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                timeout=900).returncode
        print("32-bit run took %.0f s" % (time.time() - started))
        deadline = time.time() + 60
        while not records_in(folder) and time.time() < deadline:
            time.sleep(0.5)
        check(status == 0, "exit status %r" % status)
        run = Run([], status, None, records_in(folder), False)
        expect_started(run, [rec(state) + r' --single-argument  "docs\index.qnone"'], winpath(medium(state)))
    except Failure as failure:
        print("FAIL i686 smoke: %s" % failure)
        return 1
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if registered:
            disable_i386_emulation()
        shutil.rmtree(work, ignore_errors=True)
    print("ok i686 smoke")
    return 0


CASES = {name[5:]: fn for name, fn in sorted(globals().items()) if name.startswith("case_")}


def run_case(state_path, name):
    with open(state_path) as f:
        state = json.load(f)
    try:
        CASES[name](state)
    except Failure as failure:
        print("FAIL %s: %s" % (name, failure))
        return 1
    finally:
        restore_html_association(state)
    print("ok %s" % name)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=["setup", "case", "teardown", "list", "smoke-i686"])
    parser.add_argument("name", nargs="?")
    parser.add_argument("--state")
    parser.add_argument("--quenlo")
    parser.add_argument("--recorder")
    parser.add_argument("--driver")
    parser.add_argument("--verinfo")
    parser.add_argument("--product")
    a = parser.parse_args()
    if a.action == "list":
        print(";".join(CASES))
        return 0
    if a.action == "setup":
        return setup(a.state, {k: getattr(a, k) for k in ("quenlo", "recorder", "driver", "verinfo", "product")})
    if a.action == "smoke-i686":
        return smoke_i686(a.product, a.recorder)
    if a.action == "teardown":
        return teardown(a.state)
    return run_case(a.state, a.name)


if __name__ == "__main__":
    sys.exit(main())
