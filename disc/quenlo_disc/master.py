"""A Quenlo medium checked as a user's PC will meet it, and mastered as an ISO
9660 image with Joliet and Rock Ridge.

The disc holds SOURCE_DIR with quenlo.exe and autorun.inf at its root.
plan() checks everything and writes nothing; master() makes the image from a
plan. Any problem is a Refusal, and no image (an earlier one is replaced only
by a complete new one). SOURCE_DIR is only read. A signed disc's copy of the
exe carries an Authenticode signature (SHA-256); a password for the
certificate comes from QUENLO_SIGN_PASSWORD.
"""
import hashlib
import os
import re
import struct
import subprocess
import tempfile
from dataclasses import dataclass

from . import PROGRAM, Finding, Refusal, product_exe
from .codepages import WESTERN, check_text, codec
from .autorun import check_open_line, check_page, decode, parse_line, read_autorun, same_name, split_open_line, to_ansi
from .names import (check_label, disc_path, disc_paths, find_name, iso_label, joliet_label, name_problems, strays,
                    upper, walk)
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


def run(command, what, env=None, stdin=None, code="tool-failed"):
    result = subprocess.run(command, env=env, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        last = result.stdout.decode(errors="replace").strip().splitlines()
        raise Refusal("%s%s" % (what, ": " + last[-1] if last else ""), code)
    return result.stdout.decode(errors="replace")


def sign_exe(exe, certificate, stage, timestamp=None):
    """Signs a copy of exe in stage, with a time stamp from the authority at
    the URL timestamp if given, and verifies it against the certificate's own
    chain (and the system's roots). Returns the copy and what a user's
    Windows will make of the signature: a dict."""
    if os.path.isdir(certificate):
        raise Refusal("%s is a folder: give --sign the certificate's PKCS#12 (.pfx) file" % certificate,
                      "certificate-folder")
    if not os.path.isfile(certificate):
        raise Refusal("no certificate at %s: give --sign a PKCS#12 (.pfx) file" % certificate, "certificate-missing")
    # Never on a command line, where any user's ps would show it.
    env = dict(os.environ, QUENLO_SIGN_PASSWORD=os.environ.get("QUENLO_SIGN_PASSWORD", ""))
    certs, leaf = os.path.join(stage, "certs.pem"), os.path.join(stage, "leaf.pem")
    unreadable = ("cannot read the certificate %s: wrong or missing QUENLO_SIGN_PASSWORD, or not a PKCS#12 file"
                  % certificate)
    for legacy in ([], ["-legacy"]):  # older tools encrypt with RC2, which OpenSSL 3 keeps apart
        try:
            run(["openssl", "pkcs12", "-in", certificate, "-passin", "env:QUENLO_SIGN_PASSWORD", "-nokeys",
                 "-out", certs] + legacy, unreadable, env=env, code="certificate-unreadable")
            break
        except Refusal:
            if legacy:
                raise
    run(["openssl", "pkcs12", "-in", certificate, "-passin", "env:QUENLO_SIGN_PASSWORD", "-nokeys", "-clcerts",
         "-out", leaf] + legacy, unreadable, env=env, code="certificate-unreadable")
    names = run(["openssl", "x509", "-in", leaf, "-noout", "-subject", "-issuer", "-enddate", "-nameopt",
                 "sep_comma_plus_space,utf8,-esc_msb"], unreadable, code="certificate-unreadable").splitlines()
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
                                          if timestamp else ""), code="sign-failed")
    finally:
        os.remove(password)

    trusted = os.path.join(stage, "trusted.pem")
    roots = [CA_BUNDLE] if os.path.exists(CA_BUNDLE) else []
    with open(trusted, "wb") as out:
        for part in [certs] + roots:
            with open(part, "rb") as f:
                out.write(f.read() + b"\n")
    report = run(["osslsigncode", "verify", "-CAfile", trusted] + (["-TSA-CAfile", roots[0]] if roots else [])
                 + ["-in", signed], "the signature made with %s does not verify" % certificate,
                 code="signature-unverified")
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


def autorun_text(page, label, icon, action, code_page=None, errors="strict"):
    lines = ["[autorun]", "open=%s %s" % (PROGRAM, page)]
    for key, value in (("label", label), ("icon", icon), ("action", action)):
        if value:
            lines.append("%s=%s" % (key, value))
    return ("\r\n".join(lines) + "\r\n").encode(codec(code_page) if code_page else "ascii", errors)


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


def icon_groups(path):
    """The ids of the icons (RT_GROUP_ICON resources) of a Windows exe or DLL,
    in the order Windows counts them (named ones as None), or None for a file
    that is no such program."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        if data[:2] != b"MZ":
            return None
        pe = struct.unpack_from("<I", data, 60)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            return None
        sections, optional = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
        magic = struct.unpack_from("<H", data, pe + 24)[0]
        directories = pe + 24 + (96 if magic == 0x10B else 112)
        rva, size = struct.unpack_from("<II", data, directories + 2 * 8)
        if not rva or not size:
            return []
        table = pe + 24 + optional
        for n in range(sections):
            start, length, raw = struct.unpack_from("<III", data, table + 40 * n + 12)
            length = max(length, struct.unpack_from("<I", data, table + 40 * n + 8)[0])
            if start <= rva < start + length:
                root = raw + rva - start
                break
        else:
            return []

        def entries(at):
            named, ids = struct.unpack_from("<HH", data, at + 12)
            return [struct.unpack_from("<II", data, at + 16 + 8 * i) for i in range(named + ids)]

        for name, offset in entries(root):
            if name == 14 and offset & 0x80000000:  # RT_GROUP_ICON
                return [None if name & 0x80000000 else name for name, _ in entries(root + (offset & 0x7FFFFFFF))]
        return []
    except struct.error:
        return None


def icon_problem(path, index):
    """Why Windows shows no icon for icon=FILE,index, or None: FILE must be
    an .ico, or an exe or DLL whose icons have that index (the nth from 0,
    or with a minus the resource id)."""
    if is_icon(path):
        return None
    groups = icon_groups(path)
    if groups is None:
        return "which is neither an icon (.ico) nor an exe or DLL with icons"
    if not groups:
        return "a program without icons"
    if (index >= len(groups)) if index >= 0 else (-index not in groups):
        return "a program whose icons have no %s %d (it has %d)" % ("number" if index >= 0 else "id", abs(index),
                                                                 len(groups))
    return None


VERB = re.compile(r"shell\\([^\\]+)\\command")


def fitting(size):
    """The smallest common medium an image of size bytes fits, or None."""
    return next((name for name, room in MEDIA if size <= room), None)


@dataclass
class Options:
    """What the author asked for: the options of check and make."""
    start: str = None
    label: str = None
    icon: str = None
    action: str = None
    exe: str = None
    sign: str = None
    timestamp: str = None
    keep_all: bool = False
    code_page: int = None


class Medium:
    """One medium's check, as it would be mastered: check() runs its steps,
    each of which adds to what is known of the disc and to its findings
    (every problem and warning, in the folder's order). A problem that makes
    the later steps meaningless (no folder, no autorun.inf) ends the check
    as a Refusal, which is a finding too. Writes only in stage; master()
    makes the image of a medium without problems."""

    def __init__(self, source, stage, options):
        self.name, self.source, self.stage, self.o = source, os.path.abspath(source), stage, options
        self.findings = []
        self.keys = {}
        self.exe = self.icon_name = self.signature = self.label = None
        self.tree, self.paths, self.theirs, self.left_out, self.replaced, self.strays = [], set(), [], [], [], []
        self.links = {"file": 0, "web": 0, "mail": 0, "none": 0}
        self.index = {}  # each disc path, upper-cased as Windows compares names, to its own spelling
        self.updated, self.page = (), None
        self.autorun = os.path.join(stage, "autorun.inf")

    # -------------------------------------------------- findings

    def problem(self, refusal):
        self.findings.append(Finding.of(refusal))

    def warn(self, code, message, path=None):
        self.findings.append(Finding(code, message, True, path))

    def attempt(self, step, *args):
        """step(*args), or False with its Refusal among the problems."""
        try:
            return step(*args)
        except Refusal as refusal:
            self.problem(refusal)
            return False

    @property
    def problems(self):
        return [f for f in self.findings if not f.warning]

    def sorted_findings(self):
        return sorted(self.findings, key=Finding.order)

    # -------------------------------------------------- the check

    def check(self):
        """Runs every step; a Refusal that ends the check is among the
        findings when it returns."""
        try:
            for step in (self.check_options, self.check_folder, self.check_exe, self.walk, self.read_autorun,
                         self.check_keys, self.check_label, self.check_links, self.look_for_strays, self.sign):
                step()
        except Refusal as refusal:
            self.problem(refusal)
        return self

    def check_options(self):
        o = self.o
        if o.timestamp and not o.sign:
            self.problem(Refusal("--timestamp stamps a signature, and there is none: add --sign CERT.pfx, or drop "
                                 "--timestamp", "timestamp-unsigned"))
        if o.icon:
            self.attempt(self.check_icon)
        if o.action is not None:
            if not o.action.strip():
                self.problem(Refusal("--action is empty: give the text of the AutoPlay entry, or leave --action out",
                                     "action-empty"))
            else:
                self.attempt(check_text, "--action", o.action, o.code_page)
        if o.label is not None:
            self.attempt(check_label, o.label, o.code_page)

    def check_icon(self):
        icon = self.o.icon
        if not os.path.exists(icon):
            raise Refusal("no icon at %s: give --icon a Windows .ico file" % icon, "icon-missing")
        if not os.path.isfile(icon) or not is_icon(icon):
            raise Refusal("%s is not an icon file (no .ico header with its images): give --icon a Windows .ico"
                          % icon, "icon-not-ico")
        name = os.path.basename(icon)
        if not all(32 <= ord(c) < 127 for c in name):
            raise Refusal('the icon\'s name "%s" has characters beyond ASCII, which autorun.inf cannot give every '
                          'PC: rename the icon with ASCII letters' % name, "icon-name-beyond-ascii")
        self.icon_name = name

    def check_folder(self):
        if os.path.exists(self.source) and not os.path.isdir(self.source):
            raise Refusal("%s is a file, not a folder: give the folder that holds the medium's pages" % self.name,
                          "source-not-folder")
        if not os.path.isdir(self.source):
            raise Refusal("no folder at %s: give the folder that holds the medium's pages" % self.name,
                          "source-missing")
        if self.icon_name and find_name(self.source, self.icon_name):
            self.icon_name = None
            self.problem(Refusal('the icon\'s name "%s" is taken in %s: rename the icon, or name that file with '
                                 '--icon' % (os.path.basename(self.o.icon), self.name), "icon-name-taken"))

    def check_exe(self):
        exe = self.o.exe
        if exe is None:
            exe = product_exe()
            if not os.path.isfile(exe):
                raise Refusal("no exe at %s: build it with: cmake --preset win32 && cmake --build --preset win32"
                              % exe, "exe-missing")
        elif not os.path.isfile(exe):
            return self.problem(Refusal("no exe at %s: name the built exe" % exe, "exe-missing"))
        if not is_windows_program(exe):
            return self.problem(Refusal("%s is not a Windows program: give --exe the built quenlo.exe" % exe,
                                        "exe-not-windows"))
        self.exe = exe

    def walk(self):
        problems = []
        self.left_out = None if self.o.keep_all else []
        self.tree = list(walk(self.source, self.left_out, problems))
        self.left_out = self.left_out or []
        for refusal in problems + list(name_problems(self.source, self.tree)):
            self.problem(refusal)
        for folder, rel, _, files in self.tree:
            for f in files:
                size = os.path.getsize(os.path.join(folder, f))
                if size >= LARGEST_FILE:
                    self.problem(Refusal("%s is {:,} bytes; Windows reads no file of 4 GiB or more from an ISO 9660 "
                                         "disc: split it, or make it smaller".format(size) % os.path.join(folder, f),
                                         "file-too-large", disc_path(rel, f)))
        their_exe, their_autorun = find_name(self.source, PROGRAM), find_name(self.source, "autorun.inf")
        self.theirs = [n for n in (their_exe, their_autorun) if n]
        self.replaced = [os.path.join(self.name, their_exe)] if their_exe else []
        self.paths = ((set(disc_paths(self.tree)) - set(self.theirs)) | {PROGRAM, "autorun.inf"}
                      | ({self.icon_name} if self.icon_name else set()))
        self.index = {upper(p): p for p in self.paths}

    def read_autorun(self):
        o, theirs = self.o, find_name(self.source, "autorun.inf")
        if o.start is not None and theirs:
            raise Refusal("--start and %s both give the open line: drop --start to use the file, or remove the file"
                          % os.path.join(self.name, theirs), "autorun-twice")
        if o.start is None and not theirs:
            raise Refusal("%s has no autorun.inf: give --start PAGE to write one" % self.name, "autorun-missing")
        ansi_page = o.code_page or WESTERN
        given = {k: v for k, v in (("label", o.label), ("icon", self.icon_name), ("action", o.action))
                 if v is not None}
        if o.start is not None:
            if self.attempt(check_text, "the page", o.start, o.code_page) is False:
                return
            data = autorun_text(o.start, o.label, self.icon_name, o.action, o.code_page, errors="replace")
        else:
            with open(os.path.join(self.source, theirs), "rb") as f:
                data = f.read()
            read_autorun(data, ansi_page)
            data = with_keys(data, given, ansi_page) if given else data
            self.updated = sorted(given)
        with open(self.autorun, "wb") as f:
            f.write(data)
        self.keys = read_autorun(data, ansi_page)
        if o.start is None and self.unmarked_utf8(data, ansi_page):
            # What the author meant, so that the rest is checked as it will be once saved right.
            self.keys = read_autorun(b"\xef\xbb\xbf" + data, ansi_page)
        self.page = self.attempt(check_open_line, self.keys, self.source, self.name, o.code_page) or None
        if self.page and ("#" in self.page or "%" in self.page):
            odd = " and ".join('"%s"' % c for c in "#%" if c in self.page)
            self.warn("page-hash-percent", 'the page "%s" has %s in its name: a browser handed it as a file:/// '
                      'address (as Quenlo does when the shell cannot open it) reads "#" as the start of a fragment '
                      'and "%%xx" as an escape, and misses the page; a name without them is safer' % (self.page, odd))

    def unmarked_utf8(self, data, code_page):
        """True, with the problem told, for an autorun.inf in UTF-8 without a
        byte-order mark whose letters beyond ASCII Windows reads otherwise
        (in the PC's ANSI code page, as it reads any file without a mark)."""
        if data.isascii() or data.startswith((b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")):
            return False
        try:
            data.decode("utf-8")
        except UnicodeDecodeError:
            return False
        meant, read = read_autorun(b"\xef\xbb\xbf" + data, code_page), read_autorun(data, code_page)
        if meant == read:
            return False
        key = next(k for k in meant if meant[k] != read.get(k))
        self.problem(Refusal('autorun.inf is saved as UTF-8 without a byte-order mark, and Windows reads such a '
                             'file in the PC\'s ANSI code page (%d), so its %s reads "%s" there, not "%s": save it in '
                             'code page %d, or as Unicode (UTF-16, or UTF-8 with a byte-order mark)'
                             % (code_page, "open line" if key == "open" else key + " line", read.get(key), meant[key],
                                code_page), "autorun-utf8"))
        return True

    def on_disc(self, named):
        """Where the file that autorun.inf names lies here, or None when it is not on the disc."""
        found = self.index.get(upper(named.replace("\\", "/").lstrip("/")))
        if found is None:
            return None
        return os.path.abspath(self.o.icon) if found == self.icon_name else self.exe if found == PROGRAM else (
            os.path.join(self.source, found))

    def check_keys(self):
        """The keys of autorun.inf besides the open line, as Windows uses them:
        the icon it shows, and the programs and pages of the verbs of the
        disc's menu (shell\\VERB\\command, and shellexecute)."""
        for key, value in self.keys.items():
            if key == "icon":
                self.check_icon_key(value)
            elif key == "shellexecute" or VERB.fullmatch(key):
                self.check_verb(key, value)

    def check_icon_key(self, value):
        named, index = value, 0
        match = re.fullmatch(r"(.*?)\s*,\s*(-?\d+)", value)
        if match:
            named, index = match.group(1), int(match.group(2))
        path = self.on_disc(named)
        if path is None:
            return self.problem(Refusal('autorun.inf\'s icon names "%s", which is not on the disc: add the file, or '
                                        'correct the icon line' % named, "key-names-nothing"))
        why = icon_problem(path, index) if os.path.isfile(path) else "a folder"
        if why:
            self.problem(Refusal('autorun.inf\'s icon names "%s", %s, so Windows shows no icon: give it a Windows '
                                 '.ico file, or an exe or DLL with its icon\'s number' % (value, why), "icon-unusable"))

    def check_verb(self, key, value):
        program, page = split_open_line(value)
        if not program:
            return
        if upper(program) in (upper(PROGRAM), upper(PROGRAM[:-4])):
            where = "autorun.inf's %s line" % key
            self.attempt(lambda: check_page(page, self.source, self.name, self.o.code_page, where))
        elif self.on_disc(program) is None:
            self.warn("verb-program-elsewhere", 'autorun.inf\'s %s runs "%s", which is not on the disc: Windows '
                      'looks for it on the PC, so it runs only where the PC has it' % (key, program))

    def check_label(self):
        self.label = self.o.label
        if self.label is None:
            self.label = self.keys.get("label")
            if self.label is None:
                self.label = DEFAULT_LABEL
                self.warn("label-missing", 'the disc has no label, so Windows will call it "%s" after this tool: '
                          'name it with --label "Your product", or label= in autorun.inf' % DEFAULT_LABEL)
                return
            try:
                check_label(self.label, self.o.code_page)
            except Refusal as refusal:
                self.problem(Refusal("%s (it comes from autorun.inf's label; --label sets another)" % refusal,
                                     refusal.code))

    def check_links(self):
        self.links, problems = check_links(self.source, self.paths, self.o.code_page)
        for refusal in problems:
            self.problem(refusal)

    def look_for_strays(self):
        self.strays = strays(self.tree)
        if self.strays:
            self.warn("strays", "these look like copies, backups or empty folders left by mistake, and go onto the "
                      "disc as they are: %s; remove them, or keep them if they are meant" % ", ".join(self.strays))

    def sign(self):
        if self.o.sign and self.exe:
            self.signature = self.attempt(sign_exe, self.exe, self.o.sign, self.stage, self.o.timestamp) or None

    # -------------------------------------------------- what it comes to

    def disc_exe(self):
        return self.signature["exe"] if self.signature else self.exe

    def excluded(self):
        return [os.path.join(self.source, n) for n in self.theirs] + [os.path.join(self.source, p)
                                                                      for p, _ in self.left_out]

    def files(self):
        own = (PROGRAM, "autorun.inf", self.icon_name)
        return sum(1 for p in self.paths if p in own or os.path.isfile(os.path.join(self.source, p)))

    def estimate(self):
        """The image's size, about: the medium's files in whole sectors, and
        room for the exe, autorun.inf, the icon and the file system."""
        own = (PROGRAM, "autorun.inf", self.icon_name)
        return 400 * 1024 + sum(-(-os.path.getsize(os.path.join(self.source, p)) // 2048) * 2048 for p in self.paths
                                if p not in own and os.path.isfile(os.path.join(self.source, p)))

    def epoch(self):
        """The moment the image's own dates are set to: SOURCE_DATE_EPOCH where
        it is set, else the newest file of the medium, so that the same folder
        makes the same image whenever and wherever it is made."""
        given = os.environ.get("SOURCE_DATE_EPOCH", "").strip()
        if given.isdigit():
            return int(given)
        files = [os.path.join(self.source, p) for p in self.paths if os.path.isfile(os.path.join(self.source, p))]
        files += [self.exe] + ([self.o.icon] if self.icon_name else [])
        return max(int(os.path.getmtime(f)) for f in files)


def set_joliet_label(image, label):
    """Writes label into the image's Joliet volume descriptor, which xorriso
    fills from the ISO 9660 label (here an ASCII form of it)."""
    with open(image, "r+b") as f:
        for sector in range(16, 64):
            f.seek(sector * 2048)
            descriptor = f.read(2048)
            if len(descriptor) < 2048 or descriptor[1:6] != b"CD001" or descriptor[0] == 255:
                raise Refusal("xorriso wrote no Joliet volume descriptor in %s" % image, "tool-failed")
            if descriptor[0] == 2 and descriptor[88:91] in (b"%/@", b"%/C", b"%/E"):
                f.seek(sector * 2048 + 40)
                f.write(label.ljust(16).encode("utf-16-be"))
                return


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def master(medium, output):
    """Masters a medium without problems as the image output (replaced only
    once complete); its size. The image's own dates and those of the files
    the tools make (autorun.inf, a signed exe) are medium.epoch(); the
    medium's files keep their own; nothing of this machine goes in."""
    output_name, output, source = output, os.path.abspath(output), medium.source
    if output == source or output.startswith(source + os.sep):
        raise Refusal("%s lies inside %s, so the image would hold itself: write it elsewhere"
                      % (output_name, medium.name), "output-inside")
    folder = os.path.dirname(output)
    if os.path.isdir(output):
        raise Refusal("%s is a folder: name the image file to write, as %s"
                      % (output_name, os.path.join(output_name, "disc.iso")), "output-folder")
    if os.path.lexists(output) and not os.path.isfile(output):
        raise Refusal("%s exists and is not a file, so no image replaces it: name another file" % output_name,
                      "output-not-file")
    if not os.path.isdir(folder):
        raise Refusal("no folder for %s: create it first" % output_name, "output-no-folder")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise Refusal("you cannot write in %s: write the image elsewhere" % folder, "output-unwritable")
    try:
        partial = tempfile.NamedTemporaryFile(dir=folder, prefix=".%s." % os.path.basename(output), suffix=".part",
                                              delete=False).name
    except OSError as error:
        raise Refusal("you cannot write in %s (%s): write the image elsewhere" % (folder, error.strerror),
                      "output-unwritable") from None
    try:
        epoch = medium.epoch()
        exe = medium.disc_exe()
        for made in (medium.autorun, exe if medium.signature else None):
            if made:
                os.utime(made, (epoch, epoch))
        grafts = ["/=" + source, "/%s=%s" % (PROGRAM, exe), "/autorun.inf=" + medium.autorun]
        if medium.icon_name:
            grafts.append("/%s=%s" % (medium.icon_name, os.path.abspath(medium.o.icon)))
        excluded = sum((["-x", path] for path in medium.excluded()), [])
        # xorriso takes the volume's dates, its UUID and the dates of the
        # nodes it makes itself from SOURCE_DATE_EPOCH; -r gives every file
        # owner 0 and the same modes, whoever made the folder.
        env = dict(os.environ, SOURCE_DATE_EPOCH=str(epoch))
        run(["xorriso", "-as", "mkisofs", "-quiet", "-iso-level", "3", "-J", "-joliet-long", "-r", "-f",
             "-input-charset", "utf-8", "-V", iso_label(medium.label), "-o", partial] + excluded + ["-graft-points"]
            + grafts, "xorriso could not master the image", env=env)
        set_joliet_label(partial, joliet_label(medium.label))
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(partial, 0o666 & ~mask)  # a temporary file's 0600 is not for a finished image
        os.replace(partial, output)
    finally:
        if os.path.exists(partial):
            os.remove(partial)
    return os.path.getsize(output)
