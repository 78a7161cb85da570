#!/usr/bin/env python3
"""scripts/setup.sh against an apt that fails as real mirrors and machines
make it fail: stubs of apt-get, dpkg and id on a PATH of their own, one case
a row; each must end as a user needs (installed, or one line that says what
to do).

usage: check_setup.py
"""
import os
import subprocess
import sys
import tempfile

SETUP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "setup.sh")
TOOLS = ["bash", "sh", "grep", "sed", "paste", "tee", "mktemp", "rm", "head", "tail", "env", "cat", "sort"]
# The stub apt-get: "update" prints and exits as $UPDATE says; "install"
# fails with $INSTALL's words where the packages match $FAILS (a grep
# pattern of the whole command line), else succeeds. Each call is logged.
APT_GET = r'''#!/bin/sh
echo "apt-get $*" >>"$STUB_LOG"
case "$*" in
  *update*) printf '%b' "$UPDATE_SAYS"; exit "$UPDATE_STATUS" ;;
  -s*) echo "Inst x"; exit 0 ;;
esac
if echo "$*" | grep -qE "$FAILS"; then printf '%b' "$INSTALL_SAYS"; exit 100; fi
exit 0
'''
STALE = "Hit:1 http://deb.debian.org/debian bookworm InRelease\n" \
        "Err:6 http://deb.debian.org/debian-security bookworm-security/main i386 Packages\n" \
        "  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]\n" \
        "E: Some index files failed to download. They have been ignored, or old ones used instead.\n"
HELD = "E: Unable to correct problems, you have held broken packages.\n"
OFFLINE = "Err:1 http://deb.debian.org/debian bookworm InRelease\n  Temporary failure resolving 'deb.debian.org'\n"
# The stub chmod stands for the kernel's answer to the i386 probe: on a
# native kernel the probe it is asked to make executable runs (it is made a
# script that exits 0); on one without IA32 emulation it never runs.
CHMOD = {"native": '#!/bin/sh\nprintf "#!/bin/sh\\nexit 0\\n" >"$2" && exec /bin/chmod "$@"\n',
         "none": "#!/bin/sh\nexit 1\n"}
# (groups, uid, update's words and status, what fails to install, its words,
#  status, what setup.sh must say, what apt-get must have been asked last[, the kernel])
CASES = {
    "mirror mid-sync": (["i686"], 0, STALE, 100, r"^install -y -q -o [^ ]+ wine32", HELD, 0,
                        ["index of bookworm-security/main i386 Packages (File has unexpected size",
                         "preferring bookworm's own packages"], "install -y -q -o APT::Get::allow-downgrades=false "
                                                                "-t bookworm wine32:i386"),
    "32-bit side out of reach": (["i686", "w3m"], 0, STALE, 100, "wine32", HELD, 0,
                                 ["cannot install wine32:i386 from this mirror now", "installing the rest"],
                                 "install -y -q -o APT::Get::allow-downgrades=false w3m"),
    "no such package": (["frobnicate"], 0, "", 0, "frobnicate", "E: Unable to locate package frobnicate\n", 1,
                        ["setup: apt knows no package frobnicate"], None),
    "no network": (["w3m"], 0, OFFLINE, 100, "w3m", "E: Failed to fetch http://deb.debian.org/x.deb  Temporary "
                   "failure resolving 'deb.debian.org'\n", 1, ["apt could update none of its indexes",
                                                               "setup: cannot download w3m from the package mirror"],
                   None),
    "no root, no sudo": (["w3m"], 1000, "", 0, "^$", "", 1, ["needs root, and there is no sudo"], None),
    # The shipped exe on a kernel that runs no 32-bit programs: qemu comes too, saying why.
    "kernel without 32-bit programs": (["i686"], 0, "", 0, "^$", "", 0,
                                       ["running the 32-bit exe under emulation (this kernel runs no 32-bit programs)"],
                                       "install -y -q -o APT::Get::allow-downgrades=false wine32:i386 qemu-user",
                                       "none"),
    "native kernel": (["i686"], 0, "", 0, "^$", "", 0, ["for running the 32-bit exe (first run only): wine32:i386\n"],
                      "install -y -q -o APT::Get::allow-downgrades=false wine32:i386", "native"),
}


def main():
    failures = []
    for name, (groups, uid, update, updated, fails, says, status, wanted, last, *kernel) in CASES.items():
        with tempfile.TemporaryDirectory() as stubs:
            for tool in TOOLS:
                os.symlink(subprocess.run(["sh", "-c", "command -v " + tool], capture_output=True,
                                          text=True).stdout.strip(), os.path.join(stubs, tool))
            for stub, text in (("apt-get", APT_GET), ("id", "#!/bin/sh\necho %d\n" % uid),
                               ("dpkg-query", "#!/bin/sh\nexit 1\n"), ("chmod", CHMOD[(kernel or ["native"])[0]]),
                               ("dpkg", "#!/bin/sh\n[ \"$1\" = --print-foreign-architectures ] && echo i386\n")):
                with open(os.path.join(stubs, stub), "w") as f:
                    f.write(text)
                os.chmod(os.path.join(stubs, stub), 0o755)
            log = os.path.join(stubs, "calls")
            env = {"PATH": stubs, "STUB_LOG": log, "UPDATE_SAYS": update, "UPDATE_STATUS": str(updated),
                   "FAILS": fails, "INSTALL_SAYS": says}
            run = subprocess.run([os.path.join(stubs, "bash"), SETUP] + groups, env=env, capture_output=True,
                                 text=True)
            calls = open(log).read().splitlines() if os.path.exists(log) else []
            said = run.stdout + run.stderr
            lines = [line for line in said.splitlines() if line.startswith("setup: ")]
            if (run.returncode != status or any(w not in said for w in wanted) or (status and len(lines) != 1)
                    or (last and calls[-1:] != ["apt-get " + last])):
                failures.append("%s: exit %d, said %r, apt-get asked %r" % (name, run.returncode, said, calls))
    for failure in failures:
        print("FAIL " + failure)
    print("%d ways setup.sh meets apt, %d failures" % (len(CASES), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
