#!/usr/bin/env python3
"""Builds the author tools' Debian package and checks it: its control fields,
its files, lintian's verdict, that a second build gives the same bytes (the
zip too), and that, unpacked with dpkg -x anywhere, it checks and masters
the example medium as an ordinary user, with no checkout behind it, the same
image twice, and completes its options in bash.

usage: check_deb.py BUILD_DIR DEB_NAME EXE
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

LIB = "./usr/lib/quenlo-disc/"
EXPECTED = {"./usr/bin/quenlo-disc", LIB + "quenlo.exe", LIB + "drivers/driver-x86_64.exe",
            LIB + "register-i386", LIB + "quenlo_disc/cli.py", "./usr/lib/binfmt.d/quenlo-i386.conf",
            "./usr/share/doc/quenlo-disc/README.txt", "./usr/share/doc/quenlo-disc/copyright",
            "./usr/share/doc/quenlo-disc/examples/medium/autorun.inf", "./usr/share/doc/quenlo-disc/changelog.gz",
            "./usr/share/man/man1/quenlo-disc.1.gz", "./usr/share/bash-completion/completions/quenlo-disc"}
DEPENDS = {"bubblewrap", "xorriso", "osslsigncode", "wine64", "xvfb", "chromium", "w3m", "imagemagick", "locales", "qemu-user"}


def main():
    build, name, exe = sys.argv[1:4]
    deb = os.path.join(build, name)
    problems = []
    built = []
    for _ in range(2):  # a second later, from the same commit
        subprocess.run(["cpack", "-G", "DEB;ZIP"], cwd=build, check=True, stdout=subprocess.DEVNULL)
        built.append([open(path, "rb").read() for path in [deb] + [os.path.join(build, f) for f in os.listdir(build)
                                                                   if f.endswith("-win32.zip")]])
        time.sleep(1.1)
    if built[0] != built[1] or len(built[0]) != 2:
        problems.append("two builds of one commit differ: %d packages, %s" % (
            len(built[0]), [a == b for a, b in zip(*built)]))
    if shutil.which("lintian"):
        lint = subprocess.run(["lintian", deb], capture_output=True, text=True)
        said = [line for line in lint.stdout.splitlines() if line[:2] in ("E:", "W:")]
        if said or lint.returncode != 0:
            problems.append("lintian: %s" % (said or lint.stderr[-400:]))
    field = lambda f: subprocess.run(["dpkg-deb", "-f", deb, f], capture_output=True, text=True).stdout.strip()
    for f, wanted in [("Package", "quenlo-disc"), ("Version", "1.0.0.2"), ("Architecture", "all")]:
        if field(f) != wanted:
            problems.append("%s is %r, not %r" % (f, field(f), wanted))
    depends = {d.split()[0] for d in field("Depends").split(", ")}
    if not DEPENDS <= depends:
        problems.append("Depends lacks %s" % sorted(DEPENDS - depends))
    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
    files = {line.split()[-1] for line in listing.splitlines()}
    if not EXPECTED <= files or any("__pycache__" in f for f in files):
        problems.append("files: missing %s, or compiled Python in %s" % (sorted(EXPECTED - files), sorted(files)))

    scratch = tempfile.mkdtemp(prefix="quenlo-deb-")
    try:
        subprocess.run(["dpkg", "-x", deb, scratch], check=True)
        if open(os.path.join(scratch, LIB, "quenlo.exe"), "rb").read() != open(exe, "rb").read():
            problems.append("the package's quenlo.exe is not %s" % exe)
        os.chmod(scratch, 0o755)
        out = os.path.join(scratch, "out")
        os.mkdir(out)
        # An ordinary user, from a folder of its own, with nothing of the checkout.
        user = ["runuser", "-u", "nobody", "--"] if os.geteuid() == 0 else []
        if user:
            shutil.chown(out, "nobody")
        command = os.path.join(scratch, "usr/bin/quenlo-disc")
        example = os.path.join(scratch, "usr/share/doc/quenlo-disc/examples/medium")
        for args, wanted in [(["check", example], "open: quenlo.exe docs\\index.htm\n"),
                             (["make", example, "example.iso"], "Files: 5\n"), (["--version"], "1.0.0.2"),
                             (["make", example, "again.iso"], "SHA-256: ")]:
            time.sleep(1.1 if args[-1] == "again.iso" else 0)
            run = subprocess.run(user + ["env", "HOME=" + out, "PYTHONDONTWRITEBYTECODE=1", command] + args, cwd=out,
                                 capture_output=True, text=True)
            if run.returncode != 0 or wanted not in run.stdout:
                problems.append("quenlo-disc %s: exit %d, %r %r" % (args[0], run.returncode, run.stdout, run.stderr))
        images = [os.path.join(out, name) for name in ("example.iso", "again.iso")]
        if not all(map(os.path.isfile, images)) or open(images[0], "rb").read() != open(images[1], "rb").read():
            problems.append("the example medium made twice gave no image, or two that differ")
        completion = os.path.join(scratch, "usr/share/bash-completion/completions/quenlo-disc")
        if os.path.exists("/usr/share/bash-completion/bash_completion"):
            # As bash calls it at the end of each typed line.
            got = subprocess.run(["bash", "-c", 'source /usr/share/bash-completion/bash_completion; source "$0"; '
                                  'for COMP_LINE in "quenlo-disc try --code-page 9" "quenlo-disc ma"; do '
                                  'COMP_POINT=${#COMP_LINE}; COMP_WORDS=($COMP_LINE); '
                                  'COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _quenlo_disc; echo "${COMPREPLY[*]}"; done',
                                  completion], capture_output=True, text=True).stdout.splitlines()
            if got != ["932 936 949 950", "make"]:
                problems.append("bash completes %r" % got)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("%s: %d files" % (deb, len(files)))
    for p in problems:
        print("FAIL: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
