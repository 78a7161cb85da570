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
import re
import struct
import subprocess
import tempfile

from . import PROGRAM, Refusal, product_exe
from .codepages import WESTERN, check_text, codec
from .autorun import check_open_line, decode, parse_line, read_autorun, same_name, split_open_line, to_ansi
from .names import check_label, check_names, disc_paths, find_name, upper, walk
from .pages import check_links

DEFAULT_LABEL = "QUENLO"
# The common media an image is burnt on, smallest first, with the bytes each
# holds: an 80-minute CD-R, single- and dual-layer DVD+R, a single-layer BD-R.
MEDIA = [("CD-R (700 MB)", 360000 * 2048), ("DVD\u00b1R (4.7 GB)", 2295104 * 2048),
         ("DVD\u00b1R DL (8.5 GB)", 4173824 * 2048), ("BD-R (25 GB)", 12219392 * 2048)]
# Windows' CD file system reads no file of 4 GiB or more (ISO 9660 keeps such
# a file in several extents, which it does not join).
LARGEST_FILE = 4 << 30
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


def sign_exe(exe, certificate, stage, timestamp=None):
    """Signs a copy of exe in stage, with a time stamp from the authority at
    the URL timestamp if given, and verifies it against the certificate's own
    chain (and the system's roots). Returns the copy and what a user's
    Windows will make of the signature: a dict."""
    if os.path.isdir(certificate):
        raise Refusal("%s is a folder: give --sign the certificate's PKCS#12 (.pfx) file" % certificate)
    if not os.path.isfile(certificate):
        raise Refusal("no certificate at %s: give --sign a PKCS#12 (.pfx) file" % certificate)
    # Never on a command line, where any user's ps would show it.
    env = dict(os.environ, QUENLO_SIGN_PASSWORD=os.environ.get("QUENLO_SIGN_PASSWORD", ""))
    certs, leaf = os.path.join(stage, "certs.pem"), os.path.join(stage, "leaf.pem")
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
    run(["openssl", "pkcs12", "-in", certificate, "-passin", "env:QUENLO_SIGN_PASSWORD", "-nokeys", "-clcerts",
         "-out", leaf] + legacy, unreadable, env=env)
    names = run(["openssl", "x509", "-in", leaf, "-noout", "-subject", "-issuer", "-enddate", "-nameopt",
                 "sep_comma_plus_space,utf8,-esc_msb"], unreadable).splitlines()
    field = {line.split("=", 1)[0]: line.split("=", 1)[1].strip() for line in names if "=" in line}

    password = os.path.join(stage, "password")
    fd = os.open(password, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(env["QUENLO_SIGN_PASSWORD"])
    signed = os.path.join(stage, PROGRAM)
    stamp = ["-ts", timestamp] if timestamp else []
    try:
        run(["osslsigncode", "sign", "-pkcs12", certificate, "-readpass", password, "-h", "sha256", "-n", "Quenlo"]
            + stamp + ["-in", exe, "-out", signed],
            "signing with %s failed%s" % (certificate, " (is the time-stamping authority %s reachable?)" % timestamp
                                          if timestamp else ""))
    finally:
        os.remove(password)

    trusted = os.path.join(stage, "trusted.pem")
    roots = [CA_BUNDLE] if os.path.exists(CA_BUNDLE) else []
    with open(trusted, "wb") as out:
        for part in [certs] + roots:
            with open(part, "rb") as f:
                out.write(f.read() + b"\n")
    report = run(["osslsigncode", "verify", "-CAfile", trusted] + (["-TSA-CAfile", roots[0]] if roots else [])
                 + ["-in", signed], "the signature made with %s does not verify" % certificate)
    countersigned = report.split("Countersignatures:", 1)[1] if "Countersignatures:" in report else ""
    stamped = re.search(r"Timestamp time: (.*)", countersigned)
    authority = re.search(r"Issuer: (.*)", countersigned)
    known = bool(roots) and subprocess.run(["openssl", "verify", "-CAfile", roots[0], "-untrusted", certs, leaf],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    return {"exe": signed, "signer": field.get("subject", ""), "self_signed": field.get("subject") == field.get("issuer"),
            "trusted": known, "expires": field.get("notAfter", ""),
            "stamped": stamped.group(1).strip() if stamped else None,
            "authority": authority.group(1).strip().lstrip("/").replace("/", ", ") if authority else None,
            "authority_trusted": "Timestamp Server Signature verification: ok" in report}


def autorun_text(page, label, icon, action, code_page=None):
    lines = ["[autorun]", "open=%s %s" % (PROGRAM, page)]
    for key, value in (("label", label), ("icon", icon), ("action", action)):
        if value:
            lines.append("%s=%s" % (key, value))
    return ("\r\n".join(lines) + "\r\n").encode(codec(code_page) if code_page else "ascii")


def with_keys(data, given, code_page=WESTERN):
    """The author's autorun.inf with the keys given (name: value) set in its
    [autorun] section: each key's first line replaced where Windows reads one,
    added after the section's header where not; in the file's own encoding."""
    mark, unicode = next((m, c) for m, c in ((b"\xef\xbb\xbf", "utf-8"), (b"\xff\xfe", "utf-16-le"),
                                           (b"\xfe\xff", "utf-16-be"), (b"", None)) if data.startswith(m))
    text = decode(data, code_page)
    end = "\r\n" if "\r\n" in text else "\n"
    lines = [line for line in re.findall(r"[^\r\n]*(?:\r\n|[\r\n]|$)", text) if line]
    parsed = [parse_line(line) for line in lines]
    header = next(n for n, p in enumerate(parsed) if p and p[0] == "section" and same_name(p[1], "autorun"))
    done = set()
    for n in range(header + 1, len(lines)):
        if parsed[n] and parsed[n][0] == "section":
            break
        for wanted, value in given.items():
            if parsed[n] and same_name(parsed[n][1], wanted) and wanted not in done:
                lines[n] = "%s=%s%s" % (wanted, value, end)
                done.add(wanted)
    if not lines[header].endswith(("\n", "\r")):
        lines[header] += end
    lines[header + 1:header + 1] = ["%s=%s%s" % (k, v, end) for k, v in given.items() if k not in done]
    text = "".join(lines)
    return mark + text.encode(unicode) if unicode else to_ansi(text, codec(code_page))


def files_named(keys):
    """(key, disc path) for each file that the keys of autorun.inf name, apart
    from the open line's page: the icon (less its index) and the programs of
    shellexecute and of the shell verbs."""
    for key, value in keys.items():
        if key == "icon":
            yield key, value.rsplit(",", 1)[0].strip() if re.search(r",\s*-?\d+$", value) else value
        elif key == "shellexecute" or re.fullmatch(r"shell\\[^\\]+\\command", key):
            program, _ = split_open_line(value)
            if program:
                yield key, program


def fitting(size):
    """The smallest common medium an image of size bytes fits, or None."""
    return next((name for name, room in MEDIA if size <= room), None)


def plan(source, stage, start=None, label=None, icon=None, action=None, exe=None, sign=None, timestamp=None,
         keep_all=False, code_page=None, seen=None):
    """Checks the medium in source as it would be mastered, writing only in
    stage. Returns what master() needs and what the disc will say: a dict.
    seen, a dict, gets the keys of autorun.inf as soon as they are read, so
    that a refusal after it can still be told with them."""
    name = source
    source = os.path.abspath(source)
    if os.path.exists(source) and not os.path.isdir(source):
        raise Refusal("%s is a file, not a folder: give the folder that holds the medium's pages" % name)
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
        if not os.path.exists(icon):
            raise Refusal("no icon at %s: give --icon a Windows .ico file" % icon)
        if not os.path.isfile(icon) or not is_icon(icon):
            raise Refusal("%s is not an icon file (no .ico header with its images): give --icon a Windows .ico" % icon)
        icon_name = os.path.basename(icon)
        if find_name(source, icon_name):
            raise Refusal('the icon\'s name "%s" is taken in %s: rename the icon, or name that file with --icon'
                          % (icon_name, name))
        if not all(32 <= ord(c) < 127 for c in icon_name):
            raise Refusal('the icon\'s name "%s" has characters beyond ASCII, which autorun.inf cannot give every '
                          'PC: rename the icon with ASCII letters' % icon_name)
    if action is not None:
        check_text("--action", action, code_page)
    if label is not None:
        check_label(label, code_page)
    if action is not None and not action.strip():
        raise Refusal("--action is empty: give the text of the AutoPlay entry, or leave --action out")

    left_out = None if keep_all else []
    tree = list(walk(source, left_out))
    check_names(source, tree)
    for folder, rel, _, files in tree:
        for f in files:
            size = os.path.getsize(os.path.join(folder, f))
            if size >= LARGEST_FILE:
                raise Refusal("%s is {:,} bytes; Windows reads no file of 4 GiB or more from an ISO 9660 disc: "
                              "split it, or make it smaller".format(size) % os.path.join(folder, f))
    their_exe = find_name(source, PROGRAM)
    theirs = [n for n in (their_exe, their_autorun) if n]
    paths = (set(disc_paths(tree)) - set(theirs)) | {PROGRAM, "autorun.inf"} | ({icon_name} if icon else set())

    ansi_page = code_page or WESTERN
    given = {k: v for k, v in (("label", label), ("icon", icon_name), ("action", action)) if v is not None}
    autorun = os.path.join(stage, "autorun.inf")
    if start is not None:
        check_text("the page", start, code_page)
        with open(autorun, "wb") as f:
            f.write(autorun_text(start, label, icon_name, action, code_page))
    else:
        with open(os.path.join(source, their_autorun), "rb") as f:
            data = f.read()
        read_autorun(data, ansi_page)
        with open(autorun, "wb") as f:
            f.write(with_keys(data, given, ansi_page) if given else data)
    with open(autorun, "rb") as f:
        keys = read_autorun(f.read(), ansi_page)
    if seen is not None:
        seen["keys"] = keys
    page = check_open_line(keys, source, name, code_page)
    index = {upper(p): p for p in paths}
    for key, named in files_named(keys):
        if upper(named.replace("\\", "/").lstrip("/")) not in index:
            raise Refusal('autorun.inf\'s %s names "%s", which is not on the disc: add the file, or correct the %s '
                          'line' % (key, named, key))
    if label is None:
        label = keys.get("label") or DEFAULT_LABEL
        try:
            check_label(label, code_page)
        except Refusal as refusal:
            raise Refusal("%s (it comes from autorun.inf's label; --label sets another)" % refusal) from None
    links = check_links(source, paths)

    odd = " and ".join('"%s"' % c for c in "#%" if c in page)
    warnings = ['the page "%s" has %s in its name: a browser handed it as a file:/// address (as Quenlo does when '
                'the shell cannot open it) reads "#" as the start of a fragment and "%%xx" as an escape, and misses '
                'the page; a name without them is safer' % (page, odd)] if odd else []
    replaced = [os.path.join(name, their_exe)] if their_exe else []
    signature = sign_exe(exe, sign, stage, timestamp) if sign else None
    estimate = sum(-(-os.path.getsize(os.path.join(source, p)) // 2048) * 2048 for p in paths
                   if p not in (PROGRAM, "autorun.inf", icon_name) and os.path.isfile(os.path.join(source, p)))
    return {"source": source, "exe": signature["exe"] if signature else exe, "autorun": autorun, "keys": keys,
            "label": label, "icon": os.path.abspath(icon) if icon else None, "icon_name": icon_name,
            "signature": signature, "excluded": [os.path.join(source, n) for n in theirs]
            + [os.path.join(source, p) for p, _ in left_out or []], "left_out": left_out or [],
            "replaced": replaced, "updated": sorted(given) if start is None else [], "links": links,
            "files": sum(1 for p in paths if p in (PROGRAM, "autorun.inf", icon_name)
                         or os.path.isfile(os.path.join(source, p))),
            "estimate": estimate + 400 * 1024, "warnings": warnings, "code_page": code_page}


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
        excluded = sum((["-x", path] for path in p["excluded"]), [])
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
