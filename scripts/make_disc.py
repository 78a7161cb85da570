#!/usr/bin/env python3
"""make-disc: a Quenlo medium as an ISO 9660 image with Joliet and Rock Ridge.

    make-disc.sh [--label LABEL] [--start PAGE] [--icon FILE.ico] [--exe EXE]
                 [--sign CERT.pfx] SOURCE_DIR OUTPUT.iso

The disc holds SOURCE_DIR with quenlo.exe and autorun.inf at its root. Before
anything is written, the medium is checked as a user's PC will meet it; any
problem is one line on standard error, exit status 1, and no OUTPUT.iso (an
earlier one is replaced only by a complete new image). SOURCE_DIR is only read.
With --sign, the disc's copy of the exe carries an Authenticode signature
(SHA-256); a password for the certificate comes from QUENLO_SIGN_PASSWORD.
"""
import argparse
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

from autorun import PROGRAM, Refusal, check_label, check_names, check_open_line, find_name, read_autorun

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_EXE = os.path.join(ROOT, "build", "win32", "quenlo.exe")
DEFAULT_LABEL = "QUENLO"
CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def is_icon(path):
    """A Windows .ico: a header of type 1 and directory entries that lie
    inside the file."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 6:
        return False
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if reserved != 0 or kind != 1 or count == 0 or len(data) < 6 + 16 * count:
        return False
    for i in range(count):
        size, offset = struct.unpack_from("<II", data, 6 + 16 * i + 8)
        if size == 0 or offset + size > len(data):
            return False
    return True


def is_windows_program(path):
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ" or len(head) < 64:
        return False
    pe = struct.unpack_from("<I", head, 60)[0]
    return head[pe:pe + 4] == b"PE\0\0"


def run(command, what, env=None, stdin=None):
    result = subprocess.run(command, env=env, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        last = result.stdout.decode(errors="replace").strip().splitlines()
        raise Refusal("%s%s" % (what, ": " + last[-1] if last else ""))
    return result.stdout.decode(errors="replace")


def sign(exe, certificate, stage):
    """Signs a copy of exe in stage and verifies it against the certificate's
    own chain (and the system's roots). Returns the copy and the signer."""
    if not os.path.isfile(certificate):
        raise Refusal("no certificate at %s: give --sign a PKCS#12 (.pfx) file" % certificate)
    # Never on a command line, where any user's ps would show it.
    env = dict(os.environ, QUENLO_SIGN_PASSWORD=os.environ.get("QUENLO_SIGN_PASSWORD", ""))
    certs = os.path.join(stage, "certs.pem")
    unreadable = ("cannot read the certificate %s: wrong or missing QUENLO_SIGN_PASSWORD, or not a PKCS#12 file"
                  % certificate)
    for legacy in ([], ["-legacy"]):  # older tools encrypt with RC2, which OpenSSL 3 keeps apart
        try:
            run(["openssl", "pkcs12", "-in", certificate, "-passin", "env:QUENLO_SIGN_PASSWORD", "-nokeys",
                 "-out", certs] + legacy, unreadable, env=env)
            break
        except Refusal:
            if legacy:
                raise
    leaf = run(["openssl", "pkcs12", "-in", certificate, "-passin", "env:QUENLO_SIGN_PASSWORD", "-nokeys",
                "-clcerts"] + legacy, unreadable, env=env)
    signer = run(["openssl", "x509", "-noout", "-subject", "-nameopt", "sep_comma_plus_space,utf8,-esc_msb"],
                 unreadable, stdin=leaf.encode()).strip()
    signer = signer.split("=", 1)[1].strip() if signer.startswith("subject=") else signer

    password = os.path.join(stage, "password")
    fd = os.open(password, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(env["QUENLO_SIGN_PASSWORD"])
    signed = os.path.join(stage, PROGRAM)
    run(["osslsigncode", "sign", "-pkcs12", certificate, "-readpass", password, "-h", "sha256", "-n", "Quenlo",
         "-in", exe, "-out", signed], "signing with %s failed" % certificate)
    os.remove(password)

    trusted = os.path.join(stage, "trusted.pem")
    with open(trusted, "wb") as out:
        for part in [certs] + ([CA_BUNDLE] if os.path.exists(CA_BUNDLE) else []):
            with open(part, "rb") as f:
                out.write(f.read() + b"\n")
    run(["osslsigncode", "verify", "-CAfile", trusted, "-in", signed],
        "the signature made with %s does not verify" % certificate)
    return signed, signer


def autorun_text(page, label, icon):
    lines = ["[autorun]", "open=%s %s" % (PROGRAM, page)]
    if label:
        lines.append("label=" + label)
    if icon:
        lines.append("icon=" + icon)
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def count_files(root, left_out):
    total = 0
    for folder, _, files in os.walk(root, followlinks=True):
        total += sum(1 for f in files if os.path.join(folder, f) not in left_out)
    return total


def make(a, stage):
    source = os.path.abspath(a.source)
    output = os.path.abspath(a.output)
    if not os.path.isdir(source):
        raise Refusal("no folder at %s: give make-disc the folder that holds the medium's pages" % a.source)
    if output == source or output.startswith(source + os.sep):
        raise Refusal("%s lies inside %s, so the image would hold itself: write it elsewhere" % (a.output, a.source))
    if not os.path.isdir(os.path.dirname(output)):
        raise Refusal("no folder for %s: create it first" % a.output)
    exe = a.exe or DEFAULT_EXE
    if not os.path.isfile(exe):
        hint = ("build it with: cmake --preset win32 && cmake --build --preset win32" if not a.exe
                else "name the built exe")
        raise Refusal("no exe at %s: %s" % (exe, hint))
    if not is_windows_program(exe):
        raise Refusal("%s is not a Windows program: give --exe the built quenlo.exe" % exe)

    their_autorun = find_name(source, "autorun.inf")
    if a.start is not None and their_autorun:
        raise Refusal("--start and %s both give the open line: drop --start to use the file, or remove the file"
                      % os.path.join(a.source, their_autorun))
    if a.start is None and not their_autorun:
        raise Refusal("%s has no autorun.inf: give --start PAGE to write one" % a.source)
    icon = None
    if a.icon:
        if not os.path.isfile(a.icon) or not is_icon(a.icon):
            raise Refusal("%s is not an icon file: give --icon a Windows .ico" % a.icon)
        icon = os.path.basename(a.icon)
        if find_name(source, icon) or not all(32 < ord(c) < 127 for c in icon):
            raise Refusal('the icon\'s name "%s" is taken in %s or not plain ASCII: rename the icon'
                          % (icon, a.source))
    if a.label is not None:
        check_label(a.label)
    check_names(source)

    if a.start is not None:
        if any(ord(c) < 32 or ord(c) > 126 for c in a.start):
            raise Refusal('the page "%s" has characters beyond ASCII: rename the page with ASCII letters' % a.start)
        autorun = os.path.join(stage, "autorun.inf")
        with open(autorun, "wb") as f:
            f.write(autorun_text(a.start, a.label, icon))
    else:
        autorun = os.path.join(source, their_autorun)
    with open(autorun, "rb") as f:
        keys = read_autorun(f.read())
    check_open_line(keys, source, a.source)
    label = a.label if a.label is not None else keys.get("label") or DEFAULT_LABEL
    try:
        check_label(label)
    except Refusal as refusal:
        raise Refusal("%s (it comes from autorun.inf's label; --label sets another)" % refusal) from None

    signer = None
    if a.sign:
        exe, signer = sign(exe, a.sign, stage)

    # The disc's root gets the launcher and its autorun.inf whatever SOURCE_DIR
    # has under those names.
    left_out = [os.path.join(source, n) for n in (find_name(source, PROGRAM), their_autorun) if n]
    partial = tempfile.NamedTemporaryFile(dir=os.path.dirname(output), prefix=".%s." % os.path.basename(output),
                                          suffix=".part", delete=False).name
    try:
        grafts = ["/=" + source, "/%s=%s" % (PROGRAM, exe), "/autorun.inf=" + autorun]
        if icon:
            grafts.append("/%s=%s" % (icon, os.path.abspath(a.icon)))
        excluded = sum((["-x", p] for p in left_out), [])
        run(["xorriso", "-as", "mkisofs", "-quiet", "-iso-level", "3", "-J", "-joliet-long", "-r", "-f",
             "-input-charset", "utf-8", "-V", label, "-o", partial] + excluded + ["-graft-points"] + grafts,
            "xorriso could not master the image")
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(partial, 0o666 & ~mask)  # a temporary file's 0600 is not for a finished image
        os.replace(partial, output)
    finally:
        if os.path.exists(partial):
            os.remove(partial)

    files = count_files(source, left_out) + 2 + (1 if icon else 0)
    size = os.path.getsize(output)
    print("Disc image: %s" % a.output)
    # Joliet's volume label, the one Windows reads, holds 16 characters.
    print("Label: %s%s" % (label, ' (Windows reads its first 16 characters as the volume label: "%s")' % label[:16]
                           if len(label) > 16 else ""))
    print("Open line: %s" % keys["open"])
    print("Files: %d" % files)
    print("Image size: {:,} bytes ({:.1f} MiB)".format(size, size / 1048576))
    if signer:
        print("Signed by: %s (Authenticode, SHA-256)" % signer)


def main(argv):
    parser = argparse.ArgumentParser(prog="make-disc.sh", description="Master a Quenlo medium as an ISO image.")
    parser.add_argument("--label")
    parser.add_argument("--start", metavar="PAGE")
    parser.add_argument("--icon", metavar="FILE.ico")
    parser.add_argument("--exe")
    parser.add_argument("--sign", metavar="CERT.pfx")
    parser.add_argument("source", metavar="SOURCE_DIR")
    parser.add_argument("output", metavar="OUTPUT.iso")
    a = parser.parse_args(argv)
    # A signal ends the run through the clean-ups below, like any refusal.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    stage = tempfile.mkdtemp(prefix="quenlo-disc-")
    try:
        make(a, stage)
    except Refusal as refusal:
        print("make-disc: %s" % refusal, file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(stage, ignore_errors=True)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:  # everything was undone on the way out
        print("make-disc: interrupted", file=sys.stderr)
        sys.exit(130)
