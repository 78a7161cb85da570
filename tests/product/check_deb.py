#!/usr/bin/env python3
"""Builds the author tools' Debian package and checks it: its control fields,
its files, and that, unpacked with dpkg -x anywhere, it checks and masters the
example medium as an ordinary user, with no checkout behind it.

usage: check_deb.py BUILD_DIR DEB_NAME EXE
"""
import os
import shutil
import subprocess
import sys
import tempfile

LIB = "./usr/lib/quenlo-disc/"
EXPECTED = {"./usr/bin/quenlo-disc", LIB + "quenlo.exe", LIB + "drivers/driver-x86_64.exe",
            LIB + "register-i386", LIB + "quenlo_disc/cli.py", "./usr/lib/binfmt.d/quenlo-i386.conf",
            "./usr/share/doc/quenlo-disc/README.txt", "./usr/share/doc/quenlo-disc/copyright",
            "./usr/share/doc/quenlo-disc/examples/medium/autorun.inf"}
DEPENDS = {"bubblewrap", "xorriso", "osslsigncode", "wine64", "xvfb", "chromium", "w3m", "imagemagick", "locales", "qemu-user"}


def main():
    build, name, exe = sys.argv[1:4]
    subprocess.run(["cpack", "-G", "DEB"], cwd=build, check=True, stdout=subprocess.DEVNULL)
    deb = os.path.join(build, name)
    problems = []
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
                             (["make", example, "example.iso"], "Files: 5\n")]:
            run = subprocess.run(user + ["env", "HOME=" + out, "PYTHONDONTWRITEBYTECODE=1", command] + args, cwd=out,
                                 capture_output=True, text=True)
            if run.returncode != 0 or wanted not in run.stdout:
                problems.append("quenlo-disc %s: exit %d, %r %r" % (args[0], run.returncode, run.stdout, run.stderr))
        if not os.path.isfile(os.path.join(out, "example.iso")):
            problems.append("no image was made")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("%s: %d files" % (deb, len(files)))
    for p in problems:
        print("FAIL: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
