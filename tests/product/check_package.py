#!/usr/bin/env python3
"""Builds the release zip with CPack and checks what is in it: the exe of this
very build, the example medium, README.txt and LICENSE.txt, and nothing else.

usage: check_package.py BUILD_DIR ZIP_NAME EXE
"""
import os
import subprocess
import sys
import zipfile

EXPECTED = {
    "quenlo.exe", "README.txt", "LICENSE.txt",
    "medium/autorun.inf", "medium/ABOUT-THIS-MEDIUM.txt", "medium/docs/index.htm", "medium/docs/page two.htm",
}


def main():
    build, name, exe = sys.argv[1:4]
    subprocess.run(["cpack", "-G", "ZIP"], cwd=build, check=True, stdout=subprocess.DEVNULL)
    path = os.path.join(build, name)
    problems = []
    with zipfile.ZipFile(path) as z:
        names = {n for n in z.namelist() if not n.endswith("/")}
        if names != EXPECTED:
            problems.append("contents %s, expected %s" % (sorted(names), sorted(EXPECTED)))
        if "quenlo.exe" in names and z.read("quenlo.exe") != open(exe, "rb").read():
            problems.append("the exe in the package is not %s" % exe)
        if "medium/autorun.inf" in names and b"open=quenlo.exe docs\\index.htm\r\n" not in z.read("medium/autorun.inf"):
            problems.append("autorun.inf lacks the open line")
        if "README.txt" in names and b"\r\n" not in z.read("README.txt"):
            problems.append("README.txt lacks Windows line ends")
    print("%s: %d entries" % (path, len(names)))
    for p in problems:
        print("FAIL: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
