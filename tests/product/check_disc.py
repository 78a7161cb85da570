#!/usr/bin/env python3
"""The disc-image command: what it refuses, and one good, signed image.

  check_disc.py EXE    EXE: the built quenlo.exe to put on the discs
"""
import hashlib
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MAKE_DISC = os.path.join(TOP, "scripts", "make-disc.sh")
QUENLO_DISC = os.path.join(TOP, "disc", "quenlo-disc")
ICON = bytes([0, 0, 1, 0, 1, 0, 1, 1, 0, 0, 1, 0, 32, 0, 4, 0, 0, 0, 22, 0, 0, 0]) + b"\0\0\0\0"

# name: (autorun.inf or None, extra files, arguments, signing password, what the refusal says)
LINK, PIPE, SPARSE = "link:", "pipe:", "sparse:"
START = ["--start", "docs\\index.htm"]
DISC = ["SOURCE", "OUTPUT"]
REFUSALS = {
    "no section": ("open=quenlo.exe docs\\index.htm", {}, DISC, None, "no [autorun] section"),
    "no open line": ("[AutoRun]\r\nlabel=x", {}, DISC, None, "no open line"),
    "other program": ("[autorun]\r\nopen=setup.exe docs\\index.htm", {}, DISC, None, 'runs "setup.exe", not quenlo'),
    "quoted page": ('[autorun]\r\nopen=quenlo.exe "docs\\page two.htm"', {}, DISC, None, "in double quotes"),
    "absolute page": ("[autorun]\r\nopen=quenlo.exe C:\\docs\\index.htm", {}, DISC, None, "is an absolute path"),
    "rooted page": ("[autorun]\r\nopen=quenlo.exe \\docs\\index.htm", {}, DISC, None, "is an absolute path"),
    "page leaves": ("[autorun]\r\nopen=quenlo.exe docs\\..\\..\\index.htm", {}, DISC, None, 'goes up with ".."'),
    "missing page": ("[autorun]\r\nopen=quenlo.exe docs\\indx.htm", {}, DISC, None, "is not among the files"),
    "folder page": ("[autorun]\r\n open = quenlo.exe DOCS ", {}, DISC, None, "is a folder"),
    "bad name": (None, {"docs/a:b.htm": ""}, START + DISC, None, 'has ":", which Windows does not allow'),
    "long name": (None, {"docs/" + "n" * 100 + ".htm": ""}, START + DISC, None, "at most 103"),
    "case twins": (None, {"docs/Index.htm": ""}, START + DISC, None, "differ only in case"),
    "label control": (None, {}, START + ["--label", "L\x07L"] + DISC, None, "has control characters"),
    "not an icon": (None, {"../x.ico": "text"}, START + ["--icon", "WORK/x.ico"] + DISC, None, "not an icon file"),
    "both": ("[autorun]\r\nopen=quenlo.exe docs\\index.htm", {}, START + DISC, None, "--start and"),
    "no autorun": (None, {}, DISC, None, "has no autorun.inf"),
    "no source": (None, {}, START + ["/nonexistent", "OUTPUT"], None, "no folder at /nonexistent"),
    "no exe": (None, {}, ["--exe", "/nonexistent.exe"] + START + DISC, None, "no exe at"),
    "exe not windows": (None, {"../x.exe": "#!/bin/sh"}, ["--exe", "WORK/x.exe"] + START + DISC, None,
                        "is not a Windows program"),
    "no form in code page": (None, {"docs/\u65e5.htm": ""}, ["--code-page", "1251", "--start", "docs\\\u65e5.htm"]
                             + DISC, None, "no form in code page 1251"),
    "wrong password": (None, {}, START + ["--sign", "CERT"] + DISC, "wrong", "cannot read the certificate"),
    # Exactly the author's folder: links are taken only while they stay in it.
    "link out": (None, {"docs/home": LINK + "../.."}, START + DISC, None, "outside"),
    "file link out": (None, {"docs/x.htm": LINK + "../../../cert.pem"}, START + DISC, None, "outside"),
    "dangling link": (None, {"docs/gone.htm": LINK + "nowhere.htm"}, START + DISC, None, "which does not exist"),
    "link loop": (None, {"docs/loop": LINK + "loop"}, START + DISC, None, "is a link loop"),
    "link up": (None, {"docs/up": LINK + ".."}, START + DISC, None, "a folder that holds it"),
    "pipe": (None, {"docs/pipe": PIPE}, START + DISC, None, "is a named pipe"),
    "device name": (None, {"docs/aux.htm": ""}, START + DISC, None, "keeps for a device (AUX)"),
    "superscript port": (None, {"docs/com\u00b9": ""}, START + DISC, None, "keeps for a device"),
    "output folder": (None, {}, START + ["SOURCE", "WORK"], None, "is a folder: name the image file"),
    "output device": (None, {}, START + ["SOURCE", "/dev/null"], None, "exists and is not a file"),
    "certificate folder": (None, {}, START + ["--sign", "WORK"] + DISC, "p4ss", "is a folder: give --sign"),
    # The whole medium: its links, the files autorun.inf names, what Windows reads.
    "missing link": (None, {"docs/index.htm": '<p>\n<a href="Gone.htm#x">x</a>'}, START + DISC, None,
                     'docs/index.htm, line 2: the link "Gone.htm#x" leads to nothing on the disc'),
    "link off medium": (None, {"docs/index.htm": '<a href="file:///C:/docs/x.htm">x</a>'}, START + DISC, None,
                        "leaves the medium (a file:/// address"),
    "link above root": (None, {"docs/s.css": "p { background: url('../../x.png') }"}, START + DISC, None,
                        '".." above the disc\'s root'),
    "icon names nothing": ("[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nicon=disc.ico,0", {}, DISC, None,
                           'icon names "disc.ico", which is not on the disc'),
    "stamp unsigned": (None, {}, START + ["--timestamp", "http://127.0.0.1:9/"] + DISC, None,
                       "--timestamp stamps a signature, and there is none"),
    "huge file": (None, {"docs/film.mp4": SPARSE}, START + DISC, None, "Windows reads no file of 4 GiB or more"),
    "semicolon": (None, {"docs/a;b.htm": ""}, START + DISC, None, "Windows allows but the disc's Joliet names"),
    "empty label": (None, {}, START + ["--label", ""] + DISC, None, "the volume label is empty"),
    "missing icon": (None, {}, START + ["--icon", "/nonexistent.ico"] + DISC, None, "no icon at /nonexistent.ico"),
    # Pages and autorun.inf as a browser and Windows read them.
    "utf-16 page": (None, {"docs/index.htm": '\ufeff<p>\n<img src="gone.png">'.encode("utf-16-le")}, START + DISC,
                    None, 'line 2: the link "gone.png" leads to nothing'),
    "shift_jis page": (None, {"docs/index.htm": '<meta charset="shift_jis"><img src="\u88fd\u54c12.png">'.encode(
        "cp932")}, START + DISC, None, 'the link "\u88fd\u54c12.png" leads to nothing on the disc (names match '
                                      'without regard to case): read as Shift_JIS'),
    "forwarding": (None, {"docs/index.htm": '<meta http-equiv="refresh" content="0; url=menu.htm">'}, START + DISC,
                   None, 'the link "menu.htm" leads to nothing'),
    "form action": (None, {"docs/index.htm": '<form action="send.htm"></form>'}, START + DISC, None,
                    'the link "send.htm" leads to nothing'),
    "css escape": (None, {"docs/s.css": "p { background: url(missing\\ file.png) }"}, START + DISC, None,
                   'docs/s.css, line 1: the link "missing file.png" leads to nothing'),
    "hash in a name": (None, {"docs/index.htm": '<a href="C# and D++ notes.htm">n</a>', "docs/C# and D++ notes.htm": ""},
                       START + DISC, None, 'write "#" in its name as %23'),
    "verb page": ("[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nshell\\manual\\command=quenlo.exe manual\\Missing "
                  "Manual.htm", {}, DISC, None, "correct autorun.inf's shell\\manual\\command line or add the page"),
    "png as icon": ("[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nicon=art\\banner.png",
                    {"art/banner.png": "\x89PNG\r\n\x1a\n"}, DISC, None, "neither an icon (.ico) nor an exe or DLL"),
    "utf-8 autorun.inf": ("[autorun]\r\nopen=quenlo.exe docs\\\u0413\u043b\u0430\u0432\u043d\u0430\u044f.htm",
                          {"docs/\u0413\u043b\u0430\u0432\u043d\u0430\u044f.htm": ""}, ["--code-page", "1251"] + DISC,
                          None, "save it in code page 1251, or as Unicode"),
}

# Media that Windows reads well, which the check must pass: (autorun.inf,
# extra files, arguments of check, what it says)
ACCEPTED = {
    "cyrillic label": (None, {}, ["--code-page", "1251", "--label", "\u041a\u0430\u0442\u0430\u043b\u043e\u0433 "
                                  "\u043f\u0440\u043e\u0434\u0443\u043a\u0446\u0438\u0438"] + START,
                       'Windows shows the disc as "\u041a\u0430\u0442\u0430\u043b\u043e\u0433 \u043f\u0440\u043e'
                       '\u0434\u0443\u043a\u0446\u0438\u0438" (autorun.inf\'s label)'),
    "verb elsewhere": ("[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nlabel=x\r\nshell\\readme\\command=notepad.exe "
                       "README.TXT", {}, [], 'warning: autorun.inf\'s shell\\readme\\command runs "notepad.exe"'),
}


# Odd command lines and odd machines: each must end in one line on standard
# error and a failing status, never a traceback. (arguments, what the line says)
ODD = [
    ([], "name a command"),
    (["frobnicate"], "invalid choice"),
    (["make"], "required"),
    (["make", "SOURCE"], "required"),
    (["check", "--label"], "expected one argument"),
    (["check", "EXE"], "is a file, not a folder"),
    (["check", b"--start", b"docs\\\xff.htm", "SOURCE"], "beyond ASCII"),
    (["make", "--start", "docs\\index.htm", "SOURCE", "/proc/quenlo.iso"], "you cannot write in /proc"),
    (["make", "--start", "docs\\index.htm", "SOURCE", "/nonexistent/x.iso"], "no folder for"),
    (["make", "--start", "docs\\index.htm", "SOURCE", "FULL/x.iso"], "exceeds free space"),
    (["try"], "required"),
    (["try", "/nonexistent.iso"], "no file at"),
    (["try", "EXE"], "not an ISO 9660 image"),
    (["try", "WORK"], "not an ISO 9660 image"),
    (["check", "--start", "docs\\index.htm", "LOCKED"], "a file you cannot read"),
]


def odd_runs(work, exe, source):
    """The ODD table; a full disk where a small one can be mounted, a locked
    file where an ordinary user can be had."""
    failures = []
    full, locked = os.path.join(work, "full"), os.path.join(work, "locked")
    os.makedirs(full)
    has_full = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=96k", "tmpfs", full], capture_output=True).returncode == 0
    medium(locked, None, {"docs/secret.htm": "<p>mine</p>"})
    os.chmod(os.path.join(locked, "docs", "secret.htm"), 0o600)
    user = ["runuser", "-u", "nobody", "--"] if os.geteuid() == 0 and shutil.which("runuser") else []
    for folder in (work, os.path.dirname(work)):
        os.chmod(folder, 0o755)
    try:
        for args, message in ODD:
            if "FULL/x.iso" in args and not has_full or "LOCKED" in args and os.geteuid() == 0 and not user:
                continue
            places = {"SOURCE": source, "EXE": exe, "WORK": work, "FULL/x.iso": os.path.join(full, "x.iso"),
                      "LOCKED": locked}
            command = [QUENLO_DISC, "--exe", exe] if args[:1] in (["make"], ["check"]) else [QUENLO_DISC]
            command = command[:1] + args[:1] + command[1:] + [places.get(a, a) for a in args[1:]]
            run = subprocess.run((user if "LOCKED" in args else []) + command, capture_output=True)
            err = run.stderr.decode(errors="replace")
            if run.returncode == 0 or not refused_once(err, message):
                failures.append("odd %r: exit %d, %r" % (args, run.returncode, err[-600:]))
        if os.listdir(full) if has_full else False:
            failures.append("a full disk kept %r" % os.listdir(full))
    finally:
        if has_full:
            subprocess.run(["umount", full])
    return failures


# A careless author's medium: each of these in one run, in the folder's order,
# with the droppings of Office left out and copies, backups and an empty
# folder named in one warning.
CARELESS = {"autorun.inf": "[autorun]\r\nopen=quenlo.exe docs\\indx.htm\r\nlabel=L\x07L\r\n",
            "docs/Index.htm": "", "docs/home": LINK + "../..", "docs/web.htm": '<a href="file:///C:/x.htm">x</a>',
            "~$brochure.docx": "", "index.htm.bak": "", "docs/index - Copy.htm": ""}
CARELESS_SAY = [("page-missing", 'the page "docs\\indx.htm" is not among the files'),
                ("text-control", "has control characters"), ("link-outside", "docs/home is a link to"),
                ("name-case-twins", "differ only in case"), ("link-leaves-medium", "a file:/// address")]


def careless(folder, exe, good):
    """Every problem of the CARELESS medium at once, as lines and as JSON;
    and a good medium's check and image as JSON."""
    medium(folder, None, CARELESS)
    os.makedirs(os.path.join(folder, "downloads"))
    run = subprocess.run([QUENLO_DISC, "check", "--exe", exe, folder], capture_output=True, text=True)
    lines = run.stderr.strip().splitlines()
    problems = [line for line in lines if ": warning: " not in line]
    failures = []
    if (run.returncode != 1 or len(problems) != 6 or not lines[-1].endswith("5 problems, 1 warning; the medium is "
                                                                            "not ready: mend them and check again")
            or any(said not in line for (_, said), line in zip(CARELESS_SAY, problems))
            or "docs/index - Copy.htm, downloads/, index.htm.bak" not in run.stderr):
        failures.append("careless medium: exit %d, %s" % (run.returncode, run.stderr))
    found = json.loads(subprocess.run([QUENLO_DISC, "check", "--json", "--exe", exe, folder], capture_output=True,
                                      text=True).stdout)
    if (found["verdict"] != "refused" or [f["code"] for f in found["findings"] if f["severity"] == "error"]
            != [code for code, _ in CARELESS_SAY] or {"path": "~$brochure.docx", "kind": "system or editor files"}
            not in found["left_out"] or found["keys"]["open"] != "quenlo.exe docs\\indx.htm"):
        failures.append("careless medium as JSON: %r" % found)
    image = os.path.join(os.path.dirname(folder), "good.json.iso")
    made = subprocess.run([QUENLO_DISC, "make", "--json", "--exe", exe, "--start", "docs\\index.htm", good, image],
                          capture_output=True, text=True)
    made = json.loads(made.stdout) if made.returncode == 0 and not made.stderr else {}
    if (made.get("verdict") != "ready" or made.get("sha256") != hashlib.sha256(open(image, "rb").read()).hexdigest()
            or made.get("size") != os.path.getsize(image) or made.get("medium") != "CD-R (700 MB)"
            or made["links"]["file"] != 4 or made["files"] != 5):
        failures.append("a good medium's image as JSON: %r" % made)
    return failures


class TimeStamper:
    """An RFC 3161 time-stamping authority on 127.0.0.1: OpenSSL's ts answers
    each request that comes by HTTP POST."""

    def __init__(self, folder):
        os.makedirs(folder)
        self.cert = os.path.join(folder, "tsa.pem")
        key, config = os.path.join(folder, "tsa.key"), os.path.join(folder, "tsa.cnf")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", self.cert,
                        "-days", "2", "-subj", "/CN=Quenlo Test TSA", "-addext",
                        "extendedKeyUsage=critical,timeStamping"], check=True, capture_output=True)
        with open(config, "w") as f:
            f.write("[tsa]\ndefault_tsa = this\n[this]\nserial = %s/serial\nsigner_cert = %s\nsigner_key = %s\n"
                    "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256, sha1\n"
                    "ess_cert_id_alg = sha256\n" % (folder, self.cert, key))
        with open(os.path.join(folder, "serial"), "w") as f:
            f.write("01\n")

        class Answer(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = os.path.join(folder, "query")
                with open(query, "wb") as f:
                    f.write(self.rfile.read(int(self.headers["Content-Length"])))
                reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", query, "-out",
                                        "/dev/stdout"], capture_output=True).stdout
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *_):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Answer)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()


def refused_once(err, message):
    """True when err holds exactly one problem, which says message: its line
    alone, or with warnings and the last line that counts one problem."""
    lines = [line.split(": ", 1)[-1] for line in err.strip().splitlines()]
    problems = [line for line in lines if not line.startswith("warning: ")]
    if len(problems) == 2 and problems[1].startswith("1 problem"):
        problems.pop()
    return len(problems) == 1 and message in problems[0] and "Traceback" not in err


def make_disc(args, password=None):
    env = dict(os.environ)
    env.pop("QUENLO_SIGN_PASSWORD", None)
    if password is not None:
        env["QUENLO_SIGN_PASSWORD"] = password
    return subprocess.run(["bash", MAKE_DISC] + args, env=env, capture_output=True, text=True)


def medium(folder, autorun, extra):
    # Links as authors write them: other letter case, escapes, fragments, queries.
    files = {"docs/index.htm": '<p><a href="PAGE%20TWO.HTM#end">two</a> <a href="caf%C3%A9.htm?x=1">caf\u00e9</a>'
                               ' <a href="https://example.com/">web</a> <a href="#top">top</a>',
             "docs/page two.htm": '<p><a href="Index.htm">back</a><img src="../docs/caf%c3%a9.htm">',
             "docs/caf\u00e9.htm": "<p>caf\u00e9</p>"}
    files.update(extra)
    for rel, text in files.items():
        path = os.path.join(folder, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(text, bytes):
            with open(path, "wb") as f:
                f.write(text)
        elif text.startswith(LINK):
            os.symlink(text[len(LINK):], path)
        elif text == PIPE:
            os.mkfifo(path)
        elif text == SPARSE:
            with open(path, "wb") as f:
                f.truncate(4 << 30)
        else:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
    if autorun is not None:
        with open(os.path.join(folder, "autorun.inf"), "w", newline="", encoding="utf-8") as f:
            f.write(autorun + "\r\n")


def joliet(image, *command):
    return subprocess.run(["xorriso", "-rockridge", "off", "-joliet", "on", "-indev", image] + list(command),
                          capture_output=True, text=True, check=True).stdout


def main(exe):
    failures = []
    work = tempfile.mkdtemp(prefix="quenlo-disc-test-")
    cert = os.path.join(work, "cert")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", cert + ".key", "-out",
                    cert + ".pem", "-days", "2", "-subj", "/CN=Quenlo Test Publisher", "-addext",
                    "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-out", cert + ".pfx", "-inkey", cert + ".key", "-in",
                    cert + ".pem", "-passout", "pass:p4ss"], check=True)
    with open(exe, "rb") as f:
        exe_bytes = f.read()

    for n, (name, (autorun, extra, args, password, message)) in enumerate(REFUSALS.items()):
        source, output = os.path.join(work, "m%d" % n, "medium"), os.path.join(work, "out%d.iso" % n)
        medium(source, autorun, extra)
        places = {"SOURCE": source, "OUTPUT": output, "WORK": os.path.dirname(source), "CERT": cert + ".pfx"}
        args = [places.get(a, a).replace("WORK", places["WORK"]) for a in args]
        if n == 0:  # an earlier image survives a refusal
            with open(output, "w") as f:
                f.write("earlier")
        result = make_disc(args if "--exe" in args else ["--exe", exe] + args, password)
        left = [f for f in os.listdir(work) if f.startswith(".out%d" % n)]
        kept = open(output).read() == "earlier" if n == 0 else not os.path.exists(output)
        if result.returncode == 0 or not refused_once(result.stderr, message) or left or not kept:
            failures.append("%s: exit %d, %r, left %r, output as before %s" % (name, result.returncode,
                                                                               result.stderr, left, kept))

    for n, (name, (autorun, extra, args, says)) in enumerate(ACCEPTED.items()):
        source = os.path.join(work, "a%d" % n)
        medium(source, autorun, extra)
        result = subprocess.run([QUENLO_DISC, "check", "--exe", exe] + args + [source], capture_output=True,
                                text=True)
        if result.returncode != 0 or says not in result.stdout + result.stderr:
            failures.append("%s: exit %d, %r %r" % (name, result.returncode, result.stdout, result.stderr))

    # A good disc: Joliet names with spaces and beyond ASCII, the root's two
    # files, the exe unchanged; then the same signed, the build's exe not.
    source = os.path.join(work, "good")
    medium(source, None, {".git/HEAD": "ref", "docs/.DS_Store": "", "docs/index.htm~": ""})
    with open(os.path.join(work, "disc.ico"), "wb") as f:
        f.write(ICON)
    image = os.path.join(work, "good.iso")
    result = make_disc(["--exe", exe, "--start", "docs\\page two.htm", "--label", "Test disc", "--icon",
                        os.path.join(work, "disc.ico"), source, image])
    listing = joliet(image, "-find", "/", "-type", "f") if result.returncode == 0 else ""
    for path in ["'/quenlo.exe'", "'/autorun.inf'", "'/disc.ico'", "'/docs/page two.htm'", "'/docs/caf\u00e9.htm'"]:
        if path not in listing.splitlines():
            failures.append("good disc: %s not in %r (%s)" % (path, listing, result.stderr))
    for line in ["Left out: .git/ (version control), docs/.DS_Store (system or editor files), docs/index.htm~ "
                 "(system or editor files)", "Links: 4 to files on the disc, all there; 1 to the web",
                 "which fits a CD-R (700 MB)"]:
        if line not in result.stdout or ".git" in listing or "~" in listing:
            failures.append("good disc: no line %r in %r, or a dropping on it: %r" % (line, result.stdout, listing))
    got = os.path.join(work, "got")
    if result.returncode == 0:
        joliet(image, "-osirrox", "on", "-extract", "/", got)
        with open(os.path.join(got, "quenlo.exe"), "rb") as f:
            if f.read() != exe_bytes:
                failures.append("good disc: the exe on it differs from %s" % exe)
        with open(os.path.join(got, "autorun.inf"), "rb") as f:
            wanted = b"[autorun]\r\nopen=quenlo.exe docs\\page two.htm\r\nlabel=Test disc\r\nicon=disc.ico\r\n"
            if f.read() != wanted:
                failures.append("good disc: autorun.inf is not %r" % wanted)

    # The author's own autorun.inf, brought in line with the options.
    with open(os.path.join(source, "autorun.inf"), "w", newline="") as f:
        f.write("[AutoRun]\r\nLabel=Old label\r\nopen=quenlo.exe docs\\index.htm\r\n")
    result = subprocess.run([QUENLO_DISC, "make", "--exe", exe, "--label", "New label", "--action", "Open it",
                             source, image], capture_output=True, text=True)
    joliet(image, "-osirrox", "on", "-extract", "/autorun.inf", os.path.join(work, "theirs.inf"))
    with open(os.path.join(work, "theirs.inf"), "rb") as f:
        theirs = f.read()
    if (theirs != b"[AutoRun]\r\naction=Open it\r\nlabel=New label\r\nopen=quenlo.exe docs\\index.htm\r\n"
            or "autorun.inf: yours, with action and label set by the options" not in result.stdout):
        failures.append("updated autorun.inf: %r, %r %r" % (theirs, result.stdout, result.stderr))
    os.remove(os.path.join(source, "autorun.inf"))

    # Signed: what Windows will make of it, unstamped, and stamped by a
    # time-stamping authority of the test's own on 127.0.0.1.
    env = dict(os.environ, QUENLO_SIGN_PASSWORD="p4ss")
    result = subprocess.run([QUENLO_DISC, "check", "--exe", exe, "--start", "docs\\index.htm", "--sign",
                             cert + ".pfx", source], capture_output=True, text=True, env=env)
    for line in ["Windows will call its publisher unknown: the certificate is self-signed", "Not time-stamped"]:
        if line not in result.stdout:
            failures.append("unstamped signature: no %r in %r %r" % (line, result.stdout, result.stderr))
    signed = os.path.join(work, "signed.iso")
    tsa = TimeStamper(os.path.join(work, "tsa"))
    try:
        result = make_disc(["--exe", exe, "--start", "docs\\index.htm", "--sign", cert + ".pfx", "--timestamp",
                            tsa.url, source, signed], "p4ss")
    finally:
        tsa.stop()
    if "Signed by: CN=Quenlo Test Publisher" not in result.stdout or "Time-stamped: " not in result.stdout:
        failures.append("signed disc: %r %r" % (result.stdout, result.stderr))
    else:
        joliet(signed, "-osirrox", "on", "-extract", "/quenlo.exe", os.path.join(work, "signed.exe"))
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", cert + ".pem", "-TSA-CAfile", tsa.cert, "-in",
                                 os.path.join(work, "signed.exe")], capture_output=True, text=True)
        if verify.returncode != 0 or "Timestamp Server Signature verification: ok" not in verify.stdout:
            failures.append("signed disc: its exe or its stamp does not verify: %r" % verify.stdout[-600:])
    with open(exe, "rb") as f:
        if hashlib.sha256(f.read()).digest() != hashlib.sha256(exe_bytes).digest():
            failures.append("signing changed the build's own exe")

    failures += odd_runs(os.path.join(work, "odd"), exe, source)
    failures += careless(os.path.join(work, "careless"), exe, source)

    subprocess.run(["chmod", "-R", "u+w", work])
    subprocess.run(["rm", "-rf", work])
    for failure in failures:
        print("FAIL " + failure)
    print("%d refusals, %d odd runs and %d good media checked, %d failures" % (len(REFUSALS), len(ODD),
                                                                             len(ACCEPTED) + 4, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
