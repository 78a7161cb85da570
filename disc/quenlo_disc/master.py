"""A Quenlo medium checked as a user's PC will meet it, and mastered as an ISO
9660 image with Joliet and Rock Ridge.

The disc holds SOURCE_DIR with quenlo.exe and autorun.inf at its root.
plan() checks everything and writes nothing; master() makes the image from a
plan. Any problem is a Refusal, and no image (an earlier one is replaced only
by a complete new one). SOURCE_DIR is only read. A signed disc's copy of the
exe carries an Authenticode signature (SHA-256); a password for the
certificate comes from QUENLO_SIGN_PASSWORD.
"""
import os
import struct
import subprocess
import tempfile

from . import PROGRAM, Refusal, product_exe
from .autorun import check_open_line, read_autorun
from .names import check_label, check_names, count_files, find_name

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


def sign_exe(exe, certificate, stage):
    """Signs a copy of exe in stage and verifies it against the certificate's
    own chain (and the system's roots). Returns the copy and the signer."""
    if os.path.isdir(certificate):
        raise Refusal("%s is a folder: give --sign the certificate's PKCS#12 (.pfx) file" % certificate)
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


def plan(source, stage, start=None, label=None, icon=None, exe=None, sign=None):
    """Checks the medium in source as it would be mastered, writing only in
    stage. Returns what master() needs and what the disc will say: a dict."""
    name = source
    source = os.path.abspath(source)
    if not os.path.isdir(source):
        raise Refusal("no folder at %s: give the folder that holds the medium's pages" % name)
    if exe is None:
        exe = product_exe()
        if not os.path.isfile(exe):
            raise Refusal("no exe at %s: build it with: cmake --preset win32 && cmake --build --preset win32" % exe)
    elif not os.path.isfile(exe):
        raise Refusal("no exe at %s: name the built exe" % exe)
    if not is_windows_program(exe):
        raise Refusal("%s is not a Windows program: give --exe the built quenlo.exe" % exe)

    their_autorun = find_name(source, "autorun.inf")
    if start is not None and their_autorun:
        raise Refusal("--start and %s both give the open line: drop --start to use the file, or remove the file"
                      % os.path.join(name, their_autorun))
    if start is None and not their_autorun:
        raise Refusal("%s has no autorun.inf: give --start PAGE to write one" % name)
    icon_name = None
    if icon:
        if not os.path.isfile(icon) or not is_icon(icon):
            raise Refusal("%s is not an icon file: give --icon a Windows .ico" % icon)
        icon_name = os.path.basename(icon)
        if find_name(source, icon_name) or not all(32 < ord(c) < 127 for c in icon_name):
            raise Refusal('the icon\'s name "%s" is taken in %s or not plain ASCII: rename the icon'
                          % (icon_name, name))
    if label is not None:
        check_label(label)
    check_names(source)

    if start is not None:
        if any(ord(c) < 32 or ord(c) > 126 for c in start):
            raise Refusal('the page "%s" has characters beyond ASCII: rename the page with ASCII letters' % start)
        autorun = os.path.join(stage, "autorun.inf")
        with open(autorun, "wb") as f:
            f.write(autorun_text(start, label, icon_name))
    else:
        autorun = os.path.join(source, their_autorun)
    with open(autorun, "rb") as f:
        keys = read_autorun(f.read())
    page = check_open_line(keys, source, name)
    odd = " and ".join('"%s"' % c for c in "#%" if c in page)
    warnings = ['the page "%s" has %s in its name: a browser handed it as a file:/// address (as Quenlo does when '
                'the shell cannot open it) reads "#" as the start of a fragment and "%%xx" as an escape, and misses '
                'the page; a name without them is safer' % (page, odd)] if odd else []
    if label is None:
        label = keys.get("label") or DEFAULT_LABEL
        try:
            check_label(label)
        except Refusal as refusal:
            raise Refusal("%s (it comes from autorun.inf's label; --label sets another)" % refusal) from None

    signer = None
    if sign:
        exe, signer = sign_exe(exe, sign, stage)
    # The disc's root gets the launcher and its autorun.inf whatever SOURCE_DIR
    # has under those names.
    left_out = [os.path.join(source, n) for n in (find_name(source, PROGRAM), their_autorun) if n]
    return {"source": source, "exe": exe, "autorun": autorun, "keys": keys, "label": label,
            "icon": os.path.abspath(icon) if icon else None, "icon_name": icon_name, "signer": signer,
            "left_out": left_out, "files": count_files(source, left_out) + 2 + (1 if icon else 0),
            "warnings": warnings}


def master(p, output):
    """Masters plan p as the image output (replaced only once complete)."""
    output_name, output = output, os.path.abspath(output)
    if output == p["source"] or output.startswith(p["source"] + os.sep):
        raise Refusal("%s lies inside %s, so the image would hold itself: write it elsewhere"
                      % (output_name, p["source"]))
    folder = os.path.dirname(output)
    if os.path.isdir(output):
        raise Refusal("%s is a folder: name the image file to write, as %s" % (output_name,
                                                                               os.path.join(output_name, "disc.iso")))
    if os.path.lexists(output) and not os.path.isfile(output):
        raise Refusal("%s exists and is not a file, so no image replaces it: name another file" % output_name)
    if not os.path.isdir(folder):
        raise Refusal("no folder for %s: create it first" % output_name)
    if not os.access(folder, os.W_OK | os.X_OK):
        raise Refusal("you cannot write in %s: write the image elsewhere" % folder)
    try:
        partial = tempfile.NamedTemporaryFile(dir=folder, prefix=".%s." % os.path.basename(output), suffix=".part",
                                              delete=False).name
    except OSError as error:
        raise Refusal("you cannot write in %s (%s): write the image elsewhere" % (folder, error.strerror)) from None
    try:
        grafts = ["/=" + p["source"], "/%s=%s" % (PROGRAM, p["exe"]), "/autorun.inf=" + p["autorun"]]
        if p["icon"]:
            grafts.append("/%s=%s" % (p["icon_name"], p["icon"]))
        excluded = sum((["-x", path] for path in p["left_out"]), [])
        run(["xorriso", "-as", "mkisofs", "-quiet", "-iso-level", "3", "-J", "-joliet-long", "-r", "-f",
             "-input-charset", "utf-8", "-V", p["label"], "-o", partial] + excluded + ["-graft-points"] + grafts,
            "xorriso could not master the image")
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(partial, 0o666 & ~mask)  # a temporary file's 0600 is not for a finished image
        os.replace(partial, output)
    finally:
        if os.path.exists(partial):
            os.remove(partial)
    return os.path.getsize(output)
