#!/usr/bin/env python3
"""Builds the author tools' Debian packages and checks them: their control
fields (quenlo-disc light, for check and make; quenlo-disc-try with all that
try needs), their files, lintian's verdict, that a second build gives the same
bytes (the zip too), and that, unpacked with dpkg -x anywhere, quenlo-disc
checks and masters the example medium as an ordinary user, with no checkout
behind it, the same image twice, and completes its options in bash.

usage: check_deb.py BUILD_DIR VERSION EXE
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

LIB = "./usr/lib/quenlo-disc/"
DOC = "./usr/share/doc/"
# package: (files it must hold, what it must depend on, all it may depend on[, what it must recommend])
PACKAGES = {
    "quenlo-disc": ({"./usr/bin/quenlo-disc", LIB + "quenlo.exe", LIB + "quenlo_disc/cli.py", DOC + "quenlo-disc/README.txt",
                     DOC + "quenlo-disc/copyright", DOC + "quenlo-disc/examples/medium/autorun.inf",
                     DOC + "quenlo-disc/changelog.gz", "./usr/share/man/man1/quenlo-disc.1.gz",
                     "./usr/share/bash-completion/completions/quenlo-disc", "./usr/share/quenlo-disc/web/index.html",
                     "./usr/share/quenlo-disc/web/pyodide.asm.wasm"}, {"python3", "xorriso"},
                    {"python3", "xorriso"}),
    "quenlo-disc-try": ({LIB + "drivers/driver-x86_64.exe", DOC + "quenlo-disc-try/copyright",
                         DOC + "quenlo-disc-try/changelog.gz"},
                        {"quenlo-disc", "bubblewrap", "wine64", "xvfb", "chromium", "w3m", "imagemagick", "locales"},
                        None, {"wine32", "qemu-user"}),
}
# What the maintainer scripts may touch: a fake binfmt_misc over the real
# one, with the entry 1.0.0.2 registered and another of the machine's, and
# stubs of every tool that registers with it, each noting that it was called.
STUBS = ("update-binfmts", "systemctl", "systemd-binfmt", "deb-systemd-invoke", "deb-systemd-helper")
MAINTAINER = r"""
set -e
mount --make-rprivate /
mount -t tmpfs tmpfs /proc/sys/fs/binfmt_misc
cd /proc/sys/fs/binfmt_misc
printf 'enabled\ninterpreter /usr/bin/qemu-i386\n' >quenlo-i386
printf 'enabled\ninterpreter /usr/bin/other\n' >theirs
: >register
for stub in %s; do printf '#!/bin/sh\necho "$0 $*" >>"$STUBS/calls"\n' >"$STUBS/$stub"; chmod +x "$STUBS/$stub"; done
for script in postinst prerm postrm; do
  [ -x "$CONTROL/$script" ] || continue
  for step in configure remove upgrade purge; do PATH="$STUBS:$PATH" "$CONTROL/$script" $step 1.0.0.2 >/dev/null 2>&1 || true; done
done
for f in *; do printf '%%s=%%s\n' "$f" "$(tr '\n' ' ' <"$f")"; done
cat "$STUBS/calls" 2>/dev/null || true
""" % " ".join(STUBS)


def serve(command, cwd):
    """The types the page and its runtime come with from quenlo-disc web."""
    import urllib.request
    server = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              start_new_session=True)
    try:
        said = server.stdout.readline()
        address = re.search(r"http://127\.0\.0\.1:\d+/", said)
        if not address:
            return [said]
        return [urllib.request.urlopen(address.group(0) + name, timeout=10).headers["Content-Type"]
                for name in ("index.html", "pyodide.asm.wasm")]
    finally:
        os.killpg(server.pid, signal.SIGINT)
        server.wait(10)


def maintainer_scripts(control, scratch):
    """What the package's maintainer scripts, run for each step of dpkg's
    with a fake binfmt_misc, leave there and call; None where no mount
    namespace of root's own can be had."""
    stubs = tempfile.mkdtemp(dir=scratch)
    run = subprocess.run(["unshare", "--mount", "sh", "-c", MAINTAINER], capture_output=True, text=True,
                         env=dict(os.environ, STUBS=stubs, CONTROL=control))
    return run.stdout.splitlines() if run.returncode == 0 else None


def main():
    build, version, exe = sys.argv[1:4]
    debs = {name: os.path.join(build, "%s_%s_all.deb" % (name, version)) for name in PACKAGES}
    problems = []
    built = []
    for _ in range(2):  # a second later, from the same commit
        subprocess.run(["cpack", "-G", "DEB;ZIP"], cwd=build, check=True, stdout=subprocess.DEVNULL)
        built.append([open(path, "rb").read() for path in list(debs.values()) + [
            os.path.join(build, f) for f in os.listdir(build) if f.endswith("-win32.zip")]])
        time.sleep(1.1)
    if built[0] != built[1] or len(built[0]) != 3:
        problems.append("two builds of one commit differ: %d packages, %s" % (
            len(built[0]), [a == b for a, b in zip(*built)]))
    files = {}
    for name, deb in debs.items():
        wanted, needs, allowed, *recommends = PACKAGES[name]
        if shutil.which("lintian"):
            lint = subprocess.run(["lintian", deb], capture_output=True, text=True)
            said = [line for line in lint.stdout.splitlines() if line[:2] in ("E:", "W:")]
            if said or lint.returncode != 0:
                problems.append("lintian on %s: %s" % (name, said or lint.stderr[-400:]))
        field = lambda f: subprocess.run(["dpkg-deb", "-f", deb, f], capture_output=True, text=True).stdout.strip()
        for f, value in [("Package", name), ("Version", version), ("Architecture", "all")]:
            if field(f) != value:
                problems.append("%s: %s is %r, not %r" % (name, f, field(f), value))
        depends = {d.split()[0] for d in field("Depends").split(", ")}
        if not needs <= depends or (allowed is not None and not depends <= allowed):
            problems.append("%s depends on %s" % (name, sorted(depends)))
        recommended = {d.split()[0] for d in field("Recommends").split(", ") if d}
        if recommends and not recommends[0] <= recommended:
            problems.append("%s recommends %s, not %s" % (name, sorted(recommended), sorted(recommends[0])))
        listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
        files[name] = {line.split()[-1] for line in listing.splitlines()}
        if not wanted <= files[name] or any("__pycache__" in f or "binfmt" in f for f in files[name]):
            problems.append("%s: missing %s, or compiled Python or binfmt_misc in %s"
                            % (name, sorted(wanted - files[name]), sorted(files[name])))
        control = os.path.join(build, "control-" + name)
        shutil.rmtree(control, ignore_errors=True)
        subprocess.run(["dpkg-deb", "-e", deb, control], check=True)
        if os.geteuid() == 0:
            # Nothing registered anywhere; the only write, the removal of 1.0.0.2's machine-wide entry.
            left = maintainer_scripts(control, build)
            ours = "-1 " if name == "quenlo-disc" else "enabled interpreter /usr/bin/qemu-i386 "
            if left is not None and left != ["quenlo-i386=" + ours, "register=", "theirs=enabled interpreter /usr/bin/other "]:
                problems.append("%s's maintainer scripts, with a fake binfmt_misc, left or called: %r" % (name, left))
    deb = debs["quenlo-disc"]

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
                             (["make", example, "example.iso"], "Files: 5\n"), (["--version"], version),
                             (["make", example, "again.iso"], "SHA-256: ")]:
            time.sleep(1.1 if args[-1] == "again.iso" else 0)
            run = subprocess.run(user + ["env", "HOME=" + out, "PYTHONDONTWRITEBYTECODE=1", command] + args, cwd=out,
                                 capture_output=True, text=True)
            if run.returncode != 0 or wanted not in run.stdout:
                problems.append("quenlo-disc %s: exit %d, %r %r" % (args[0], run.returncode, run.stdout, run.stderr))
        served = serve(user + ["env", "HOME=" + out, command, "web", "--port", "0"], out)
        if served != ["text/html; charset=utf-8", "application/wasm"]:
            problems.append("quenlo-disc web served its page and runtime as %r" % served)
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
    print("%s: %d files" % (", ".join(debs.values()), sum(map(len, files.values()))))
    for p in problems:
        print("FAIL: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
