#!/usr/bin/env python3
"""The disc-image command as a program runs it: exit statuses, odd command
lines and machines, every problem of a careless medium at once, JSON, a good
image's bytes, and signing (the check's rules are test_check.py's).

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
sys.path.insert(0, os.path.join(TOP, "disc"))
from harness import LINK, medium  # noqa: E402
from quenlo_disc.iso import volume_label  # noqa: E402
MAKE_DISC = os.path.join(TOP, "scripts", "make-disc.sh")
QUENLO_DISC = os.path.join(TOP, "disc", "quenlo-disc")
ICON = bytes([0, 0, 1, 0, 1, 0, 1, 1, 0, 0, 1, 0, 32, 0, 4, 0, 0, 0, 22, 0, 0, 0]) + b"\0\0\0\0"

# Odd command lines and odd machines: each must end in one line on standard
# error and a failing status, never a traceback. (arguments, what the line says)
ODD = [
    ([], "name a command"),
    (["frobnicate"], "invalid choice"),
    (["make"], "required"),
    (["make", "SOURCE"], "required"),
    (["check", "--label"], "expected one argument"),
    (["check", "EXE"], "neither an ISO 9660 or UDF image nor a stick's image"),
    (["check", b"--start", b"docs\\\xff.htm", "SOURCE"], "beyond ASCII"),
    (["make", "--start", "docs\\index.htm", "SOURCE", "/proc/quenlo.iso"], "you cannot write in /proc"),
    (["make", "--start", "docs\\index.htm", "SOURCE", "/nonexistent/x.iso"], "no folder for"),
    (["make", "--start", "docs\\index.htm", "SOURCE", "FULL/x.iso"], "exceeds free space"),
    (["try"], "required"),
    (["try", "/nonexistent.iso"], "no file at"),
    (["try", "EXE"], "neither an ISO 9660 or UDF image"),
    (["try", "WORK"], "neither an ISO 9660 or UDF image"),
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
    left = {"path": "~$brochure.docx", "kind": "system or editor files", "folder": False}
    if (found["verdict"] != "refused" or [f["code"] for f in found["findings"] if f["severity"] == "error"]
            != [code for code, _ in CARELESS_SAY] or left not in found["left_out"]
            or found["keys"]["open"] != "quenlo.exe docs\\indx.htm"):
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


def large(folder, exe):
    """A medium past the size from which its pages are read by several
    processes, checked by the command as authors run it: each of those
    processes starts from the command too, and must not run it again."""
    from quenlo_disc import pages
    medium(folder, None, {"docs/p%04d.htm" % n: '<a href="p%04d.htm">next</a>' % ((n + 1) % (pages.PARALLEL + 10))
                          for n in range(pages.PARALLEL + 10)})
    try:
        run = subprocess.run([QUENLO_DISC, "check", "--exe", exe, "--start", "docs\\index.htm", folder],
                             capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        return ["a large medium's check ran out of 120 s"]
    if run.returncode != 0 or "The medium is ready" not in run.stdout:
        return ["a large medium's check: exit %d, %r" % (run.returncode, (run.stdout + run.stderr)[-800:])]
    return []


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

    # A refusal through the command: one line, status 1, and an earlier
    # image kept as it was, with no partial one beside it.
    source, output = os.path.join(work, "refused", "medium"), os.path.join(work, "out.iso")
    medium(source, "[autorun]\r\nopen=quenlo.exe docs\\indx.htm", {})
    with open(output, "w") as f:
        f.write("earlier")
    result = make_disc(["--exe", exe, source, output])
    left = [f for f in os.listdir(work) if f.startswith(".out")]
    if (result.returncode != 1 or not refused_once(result.stderr, "is not among the files") or left
            or open(output).read() != "earlier"):
        failures.append("refused: exit %d, %r, left %r" % (result.returncode, result.stderr, left))

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

    # A label in Cyrillic: Windows reads the Joliet volume label (its first 16
    # letters); systems without Joliet the ISO 9660 one, which is its ASCII form.
    cyrillic = os.path.join(work, "cyrillic.iso")
    made = make_disc(["--exe", exe, "--code-page", "1251", "--start", "docs\\index.htm", "--label",
                      "\u041a\u0430\u0442\u0430\u043b\u043e\u0433 \u043f\u0440\u043e\u0434\u0443\u043a\u0446\u0438\u0438", source,
                      cyrillic])
    labels = ("", "")
    if made.returncode == 0:
        with open(cyrillic, "rb") as f:
            f.seek(16 * 2048 + 40)
            labels = (f.read(32).decode("ascii", "replace").rstrip(), volume_label(cyrillic))
    if labels != ("Katalog produktsii", "\u041a\u0430\u0442\u0430\u043b\u043e\u0433 \u043f\u0440\u043e\u0434\u0443\u043a\u0446\u0438"):
        failures.append("the Cyrillic label: ISO 9660 %r, Joliet %r (%s)" % (labels[0], labels[1][-300:], made.stderr))

    # Two clones of one commit, their files dated when each was made: with
    # SOURCE_DATE_EPOCH, every later date is clamped to it, and both make one image.
    images = []
    for when in (1800000000, 1900000000):
        stage = os.path.join(work, "clone%d" % when)
        medium(stage, None, {})
        for top, dirs, files in os.walk(stage):
            for name in [top] + [os.path.join(top, n) for n in dirs + files]:
                os.utime(name, (when, when))
        made = subprocess.run([QUENLO_DISC, "make", "--exe", exe, "--start", "docs\\index.htm", stage, stage + ".iso"],
                              env=dict(os.environ, SOURCE_DATE_EPOCH="1700000000"), capture_output=True, text=True)
        images.append(open(stage + ".iso", "rb").read() if made.returncode == 0 else made.stderr)
    if images[0] != images[1]:
        failures.append("two clones made two images: %r" % [i[:200] if isinstance(i, str) else len(i) for i in images])

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
    for line, said in (("warning: Windows will call its publisher unknown: the certificate is self-signed",
                        result.stderr), ("Not time-stamped", result.stdout)):
        if line not in said:
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
    # The cache is the user's to clear, and clearing none is no error.
    cache = os.path.join(work, "cache")
    os.makedirs(os.path.join(cache, "quenlo-disc", "prefixes"))
    with open(os.path.join(cache, "quenlo-disc", "prefixes", "system.reg"), "wb") as f:
        f.write(bytes(3 << 20))
    said = [subprocess.run([QUENLO_DISC, "try", "--clear-cache"], capture_output=True, text=True,
                           env=dict(os.environ, XDG_CACHE_HOME=cache)) for _ in range(2)]
    if [r.returncode for r in said] != [0, 0] or "3 MiB freed" not in said[0].stdout or os.path.exists(
            os.path.join(cache, "quenlo-disc")) or "nothing to remove" not in said[1].stdout:
        failures.append("--clear-cache said %r" % [r.stdout + r.stderr for r in said])
    # A user with no home to hold a cache (nobody's is /nonexistent) is told what to set.
    run = subprocess.run([QUENLO_DISC, "try", image], capture_output=True, text=True,
                         env=dict(os.environ, XDG_CACHE_HOME=os.path.join(exe, "cache")))
    if run.returncode != 1 or not refused_once(run.stderr, "set XDG_CACHE_HOME to a folder you can write"):
        failures.append("a try with no cache to be had: exit %d, %r" % (run.returncode, run.stderr))
    failures += careless(os.path.join(work, "careless"), exe, source)
    failures += large(os.path.join(work, "large"), exe)

    subprocess.run(["chmod", "-R", "u+w", work])
    subprocess.run(["rm", "-rf", work])
    for failure in failures:
        print("FAIL " + failure)
    print("%d odd runs, a refusal and 5 good media made, %d failures" % (len(ODD), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
