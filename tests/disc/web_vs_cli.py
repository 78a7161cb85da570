#!/usr/bin/env python3
"""The check's web page against the command, as a person uses the page:
the built page served from 127.0.0.1, headless Chromium allowed to reach
nothing else, each medium given as a zip (?medium=media/NAME.zip, or handed
to the open page), the verdict read from the title and #result. Every medium
of the check's own tables that a zip can hold, the example medium, a broken
one and a real documentation tree must get the verdict, the counts and the
codes that `quenlo-disc check --json` gives the same folder; each real
maker's image of one folder (test_images' makers), given or picked, the
findings `check IMAGE` gives, as a disc and as a stick; bad input one
sentence, with the page still usable after it; hostile undeclared pages read
as Chromium reads them, with nothing of theirs run or reaching out.

  web_vs_cli.py [--keep] [--image IMAGE [--start PAGE]]   (that image alone, picked: its time and memory told)
"""
import argparse
import io
import json
import os
import re
import shutil
import socket
import sys
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "disc"))
sys.path.insert(0, HERE)
from quenlo_disc import cli, devtools, web  # noqa: E402
from quenlo_disc.report import counted  # noqa: E402
from harness import EXE, LINK, PIPE, medium  # noqa: E402
from test_check import ACCEPTED, REFUSALS  # noqa: E402
from test_web import MENDABLE, arguments, tree  # noqa: E402

# The options the page offers, by the command's names.
OFFERED = {"--start", "--label", "--code-page"}
ALLOWED = ["--proxy-server=127.0.0.1:9", "--proxy-bypass-list=127.0.0.1",
           "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"]
REAL = [("w3m's manual", "/usr/share/doc/w3m", ["--start", "MANUAL.html"])]
# Undeclared pages in the encodings of the matrix's PCs, which the page asks its browser to read.
UNDECLARED = {"cp1251": "Главная страница каталога продукции, описание товаров и услуг нашей компании.",
              "koi8_r": "Главная страница каталога продукции, описание товаров и услуг нашей компании.",
              "cp1253": "Η κεντρική σελίδα του καταλόγου με όλα τα εκθέματα του μουσείου και τις αίθουσες.",
              "cp1250": "Główna strona katalogu produktów, gdzie znajdziesz opisy wszystkich towarów i usług.",
              "cp1252": "Déjà vu à la française: où est la bibliothèque? Ça va très bien, merci beaucoup.",
              "cp932": "製品カタログのメインページです。当社のすべての製品とサービスの説明があります。",
              "gbk": "这是我们网站的主页，您可以在这里找到所有产品和服务的说明。",
              "big5": "這是我們網站的主頁，您可以在這裡找到所有產品和服務的說明。",
              "cp949": "모든 제품과 서비스에 대한 설명이 있는 메인 페이지입니다.",
              "utf-8": "Déjà vu à la française: où est la bibliothèque?"}
# Undeclared pages that try to run or reach something from the frame that asks how they are read (TCP and UDP
# are ports the test listens on): the reading must be the browser's own, and nothing heard.
RTC = ('const p = new RTCPeerConnection({iceServers: [{urls: "stun:127.0.0.1:UDP"}]}); p.createDataChannel("x"); '
       'p.createOffer().then(o => p.setLocalDescription(o));')
HOSTILE = {"a script of the old nonce": '<script nonce="quenlo-ask">parent.postMessage({quenlo: "forged"}, "*"); '
                                        + RTC + ' fetch("http://127.0.0.1:TCP/")</script>',
           "WebRTC from a script of the old nonce, the asking one swallowed":
               '<script nonce="quenlo-ask">' + RTC + '</script><textarea>',
           "a handler": '<img src=x onerror=\'parent.postMessage({quenlo: "forged"}, "*"); ' + RTC + '\'>',
           "loads": '<meta http-equiv=refresh content="0;url=http://127.0.0.1:TCP/"><link rel=preconnect '
                    'href="http://127.0.0.1:TCP"><link rel=prefetch href="http://127.0.0.1:TCP/p"><img '
                    'src="http://127.0.0.1:TCP/i"><iframe src="http://127.0.0.1:TCP/f"></iframe>',
           "our script swallowed": "<textarea><!--"}
BROKEN = {"docs/index.htm": '<a href="gone.htm">gone</a> <a href="guide/">guide</a>', "docs/guide/index.htm": "",
          "docs/a?b.htm": ""}
# A medium with problems, two pages that declare no encoding and an empty folder: what only a browser shows of it.
GREEK = "<p>%s</p>" % UNDECLARED["cp1253"]
PROBLEMS = dict(BROKEN, **{"docs/greek.htm": GREEK.encode("cp1253"), "docs/greek2.htm": GREEK.encode("cp1253")})
AXE = os.path.join("npm", "node_modules", "axe-core", "axe.min.js")  # beside the built page: the build's npm installs it


def table_media():
    """(name, autorun, extra files, the page's options) of every row the page can take: a zip holds no
    symbolic link nor pipe; a file of 4 GiB it holds, but the page is given such a medium's folder."""
    for table in (REFUSALS, ACCEPTED):
        for name, (autorun, extra, args, *_) in table.items():
            args = [a for a in args if a not in ("SOURCE", "OUTPUT")]
            flags = [a for a in args if a.startswith("--")]
            # The page's fields cannot tell an empty option from none, nor reach the test's own folder.
            if any(f not in OFFERED | {"--stick"} for f in flags) or any(a.startswith("/") or "WORK" in a or a == ""
                                                                          for a in args):
                continue
            if any(k.startswith("../") or (isinstance(v, str) and v.startswith((LINK, PIPE))) for k, v in extra.items()):
                continue
            yield name, autorun, extra, args


def zipped(folder, into):
    """folder zipped as a folder of the same name, as Windows' "Send to" zips it, its empty folders too."""
    with zipfile.ZipFile(into, "w", zipfile.ZIP_DEFLATED) as z:
        for here, dirs, files in os.walk(folder):
            dirs.sort()
            if not dirs and not files:
                z.write(here, os.path.join(os.path.basename(folder), os.path.relpath(here, folder)) + "/")
            for name in sorted(files):
                path = os.path.join(here, name)
                z.write(path, os.path.join(os.path.basename(folder), os.path.relpath(path, folder)))


class Ears:
    """A TCP and a UDP port of 127.0.0.1, and what reached them."""

    def __init__(self):
        self.tcp, self.udp, self.heard = socket.socket(), socket.socket(socket.AF_INET, socket.SOCK_DGRAM), []
        self.tcp.bind(("127.0.0.1", 0))
        self.tcp.listen(16)
        self.udp.bind(("127.0.0.1", 0))
        for way in (self.tcp, self.udp):
            threading.Thread(target=self.listen, args=(way,), daemon=True).start()

    def listen(self, way):
        while True:
            try:
                self.heard.append("TCP from %s" % (way.accept()[1],) if way is self.tcp else "UDP %r" % way.recv(64))
            except OSError:
                return

    def page(self, markup):
        return markup.replace("TCP", str(self.tcp.getsockname()[1])).replace("UDP", str(self.udp.getsockname()[1]))

    def close(self):
        self.tcp.close()
        self.udp.close()


def hostile_readings(page, reader, work):
    """What is wrong of the readings of HOSTILE pages through the page: each read as the command's Chromium reads
    it, and nothing of theirs run or reaching out."""
    ears, failures = Ears(), []
    try:
        for name, markup in HOSTILE.items():
            data = ("<html><head><title>t</title>%s</head><body><p>%s</p></body></html>" % (
                ears.page(markup), UNDECLARED["cp1252"])).encode("cp1252")
            path = os.path.join(work, "hostile.htm")
            with open(path, "wb") as f:
                f.write(data)
            theirs = reader(path)  # the command's Chromium (here without its sandbox) may preconnect: not heard
            time.sleep(1)
            del ears.heard[:]
            ours = page.js("read(new Uint8Array(%s))" % list(data))
            time.sleep(2)  # for what it started to arrive
            if theirs != ours or ears.heard:
                failures.append("an undeclared page with %s: the page's browser reads it as %r, the command's "
                                "Chromium as %r; heard: %s" % (name, ours, theirs, ears.heard))
            del ears.heard[:]
    finally:
        ears.close()
    return failures


# A site whose every page has a mend, for the time the page takes.
MANY = {"1,000 pages, each with a link to a folder": (None, dict({"docs/guide/index.htm": '<meta charset="utf-8">'}, **{
    "docs/p%d.htm" % n: '<meta charset="utf-8"><a href="guide/">guide</a> <a href="p%d.htm">next</a>' % (n + 1)
    for n in range(1000)}), {"start": "docs\\p0.htm"})}


def mended_media(page, served, folders, bundle):
    """Each medium of MENDABLE, zipped and picked as a folder, mended by the page: the zip the browser downloads
    holds what quenlo-disc fix --to writes, byte for byte, and the .diff it downloads is the one fix writes; axe-core's
    rules kept with the mends shown. The failures."""
    failures, downloads = [], os.path.join(folders, "downloads")
    page.browser.call("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
    for number, (name, (autorun, extra, choices)) in enumerate(dict(MENDABLE, **MANY).items()):
        source = os.path.join(folders, "mend%d" % number, "site")
        medium(source, autorun, {k: v for k, v in extra.items() if not k.endswith("/")})
        for folder in (k for k in extra if k.endswith("/")):
            os.makedirs(os.path.join(source, folder))
        fixed = os.path.join(folders, "mend%d" % number, "fixed")
        out, err = io.StringIO(), io.StringIO()
        cli.main(["fix", "--to", fixed] + arguments(choices) + [source], out=out, err=err)
        zipped(source, os.path.join(served, "media", "mend%d.zip" % number))
        for given in ("zip", "folder"):
            title, doc, status = (page.give("media/mend%d.zip" % number, choices) if given == "zip" else
                                  page.pick(source, choices))
            shutil.rmtree(downloads, ignore_errors=True)
            began = time.time()
            page.js("document.getElementById('mend').click(); document.getElementById('diff-file').click()")
            try:
                page.wait(lambda: all(os.path.isfile(os.path.join(downloads, "site-mended." + e)) for e in ("zip",
                                                                                                          "diff")), 60)
            except TimeoutError:
                failures.append("%s (%s): no site-mended.zip and .diff downloaded; the page said %r" % (
                    name, given, page.js("document.getElementById('mend-said').textContent")))
                continue
            seconds = page.js("parseFloat(document.getElementById('mend-said').textContent.split('Made in ')[1])")
            with zipfile.ZipFile(os.path.join(downloads, "site-mended.zip")) as z:
                z.extractall(os.path.join(downloads, "unpacked"))
            got, want = tree(os.path.join(downloads, "unpacked", "site")), tree(fixed)
            if given == "folder":  # a folder's button gives its files alone, not its empty folders (a drop does)
                want = {k: v for k, v in want.items() if v is not None}
            with open(os.path.join(downloads, "site-mended.diff"), "rb") as f:
                patch = f.read()
            if got != want or patch != out.getvalue().encode("utf-8", "surrogateescape"):
                differ = sorted(k for k in set(got) | set(want) if got.get(k, 0) != want.get(k, 0))
                failures.append("%s (%s): the page's mended medium and fix --to's differ at %s; its .diff %r, fix's "
                                "%r" % (name, given, differ, patch, out.getvalue()))
            print("%s (%s): mended in the page in %.1f s (%.1f s from the click to the download)"
                  % (name, given, seconds, time.time() - began))
    with open(os.path.join(os.path.dirname(bundle), AXE)) as f:
        page.js(f.read())
    page.js("for (const d of document.querySelectorAll('#mending details')) d.open = true")
    violations = page.js("axe.run(document).then(r => r.violations.map(v => v.id + ': ' + v.nodes.length))")
    if violations:
        failures.append("axe-core finds, with the mends shown, %s" % violations)
    return failures


def cli_doc(folder, args):
    out, err = io.StringIO(), io.StringIO()
    cli.main(["check", "--json", "--exe", EXE] + args + [folder], out=out, err=err)
    return json.loads(out.getvalue())


def query(args):
    """The page's URL parameters for the command's options."""
    params, given = {}, list(args)
    while given:
        flag = given.pop(0)
        params[flag[2:]] = "1" if flag == "--stick" else given.pop(0)
    return params


class Page:
    """The page in headless Chromium, which reaches 127.0.0.1 alone."""

    def __init__(self, url, profile):
        self.browser = devtools.DevTools(["chromium", "--headless=new", "--user-data-dir=" + profile] + ALLOWED
                                         + devtools.FLAGS + ["--remote-debugging-pipe", "about:blank"],
                                         stderr=open(os.devnull, "w"))
        self.url = url

    def js(self, expression):
        return self.browser.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                      "awaitPromise": True}, session=True)["result"].get("value")

    def open(self, params, address=None):
        import urllib.parse
        began = time.time()
        self.browser.call("Page.navigate", {"url": (address or self.url) + "?" + urllib.parse.urlencode(params)},
                          session=True)
        self.wait(lambda: self.js("document.getElementById('status').textContent.startsWith('Ready')"
                                  " || document.title.startsWith('Quenlo check:')"
                                  " || document.getElementById('status').className == 'refused'"), 60)
        return time.time() - began

    def status(self):
        return self.js("document.getElementById('status').textContent")

    def choose(self, params):
        """The page's fields set to the options params, as an author fills them."""
        self.js("document.querySelector('input[value=%s]').checked = true;" % ("stick" if params.get("stick") else "cd")
                + "".join("document.getElementById(%s).value = %s;" % (json.dumps(k), json.dumps(params.get(k, "")))
                          for k in ("start", "label", "code-page")) + "document.title = 'Quenlo check'")

    def give(self, address, params):
        """The medium at address handed to the open page, with the options params."""
        self.choose(params)
        self.js("fetched(%s)" % json.dumps(address))
        return self.outcome()

    def pick(self, folder, params, button="folder", limit=60):
        """folder picked with the page's folder button (or a file with its other), as an author picks it."""
        self.choose(params)
        field = self.browser.call("Runtime.evaluate", {"expression": "document.getElementById('%s')" % button},
                                  session=True)["result"]["objectId"]
        self.browser.call("DOM.setFileInputFiles", {"files": [folder], "objectId": field}, session=True)
        return self.outcome(limit)

    def outcome(self, limit=60):
        """(title, #result's document or None, the status line) once the check is done or refused."""
        self.wait(lambda: self.js("document.title.startsWith('Quenlo check:')"
                                  " || document.getElementById('status').className == 'refused'"), limit)
        result = self.js("document.getElementById('result').textContent")
        return self.js("document.title"), json.loads(result) if result and self.js(
            "!document.getElementById('verdict').hidden") else None, self.js("document.getElementById('status')"
                                                                           ".textContent")

    def wait(self, done, limit):
        deadline = time.time() + limit
        while not done():
            if time.time() > deadline:
                raise TimeoutError("the page did not finish within %d s: %s" % (limit, self.js(
                    "document.getElementById('status').textContent")))
            time.sleep(0.1)

    def stop(self):
        self.browser.stop()


def serving(folder, port=0):
    server = web.server(folder, port)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def summary(doc):
    codes = sorted(f["code"] for f in doc["findings"])
    return doc["verdict"], doc["problems"], doc["warnings"], codes


def bad_zips(media):
    """(name, the code of the finding the page must show, what its message must say) of input the page must refuse;
    None for the one refused before any check (no zip to load), said in the status line alone."""
    with open(os.path.join(media, "not-a-zip.zip"), "wb") as f:
        f.write(b"<html>this is a page, not a zip</html>")
    with zipfile.ZipFile(os.path.join(media, "climbs.zip"), "w") as z:
        z.writestr("medium/docs/index.htm", "<p>x")
        z.writestr("../../outside.htm", "<p>x")
    with zipfile.ZipFile(os.path.join(media, "empty.zip"), "w") as z:
        z.writestr(zipfile.ZipInfo("medium/"), "")
    with zipfile.ZipFile(os.path.join(media, "bomb.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("medium/zeros.bin", bytes(64 << 20))
    return [("not-a-zip", "zip-unreadable", "not-a-zip.zip is no zip"),
            ("climbs", "zip-unsafe", "climbs out of the folder"), ("empty", "zip-empty", "empty.zip holds no file"),
            ("bomb", "zip-unsafe", "as a zip bomb does"), ("missing", None, "Could not load")]


def browser_only(page, served, folders, bundle):
    """What only a browser shows, on a medium with problems: its verdict in the live region and focus on it, each
    undeclared page asked once as the check meets it, a drop outside the drop zone taken, axe-core's rules kept, a
    wrong code page said beside its field with the medium's verdict kept, a choice made during a check checked
    after it, a long check cancelled, a runtime that does not load said so, a browser not asked still naming each
    undeclared page. The failures."""
    failures = []
    folder = os.path.join(folders, "problems", "site")
    medium(folder, None, PROBLEMS)
    os.mkdir(os.path.join(folder, "empty"))
    zipped(folder, os.path.join(served, "media", "problems.zip"))
    want = cli_doc(folder, ["--start", "docs\\index.htm"])
    page.js("window.told = []; ((was) => { worker.onmessage = e => { told.push(e.data.text || e.data.kind); "
            "was(e); }; })(worker.onmessage)")
    title, doc, status = page.give("media/problems.zip", {"start": "docs\\index.htm"})
    told = page.js("told")
    shown = page.js("document.body.textContent")  # the JSON document too; the report is tested in-process
    if "/medium" in shown or "site/docs" not in shown:
        failures.append("the medium is not named as the author gave it: %s" % re.findall(".{40}/medium.{40}", shown))
    if doc is None or summary(doc) != summary(want) or doc["strays"] != want["strays"] or doc["source"] != "site":
        failures.append("a medium with problems: the page says %s, the command %s" % (doc, want))
    if told.count("ask") != 2 or any("with this browser's readings" in t for t in told):
        failures.append("two undeclared pages: the page asked %d times, and checked %s" % (told.count("ask"), told))
    if (page.js("document.activeElement.id"), "not ready, %d problems" % want["problems"] in status) != ("headline",
                                                                                                         True):
        failures.append("the verdict is not announced, or has not the focus: %r, focus on #%s"
                        % (status, page.js("document.activeElement.id")))
    with open(os.path.join(os.path.dirname(bundle), AXE)) as f:
        page.js(f.read())
    violations = page.js("axe.run(document).then(r => r.violations.map(v => v.id + ': ' + v.nodes.length))")
    print("axe-core %s on the page with problems shown: %s" % (page.js("axe.version"), violations or "no violation"))
    if violations:
        failures.append("axe-core finds %s" % violations)
    # A drop on the page outside its drop zone: the medium's, not the browser's to open in the page's place.
    taken = page.js("fetch('media/problems.zip').then(a => a.blob()).then(b => { const t = new DataTransfer(); "
                    "t.items.add(new File([b], 'problems.zip')); document.title = 'Quenlo check'; return ["
                    "document.body.dispatchEvent(new DragEvent('dragover', {dataTransfer: t, bubbles: true, "
                    "cancelable: true})), document.body.dispatchEvent(new DragEvent('drop', {dataTransfer: t, "
                    "bubbles: true, cancelable: true}))]; })")
    title, doc, status = page.outcome() if taken == [False, False] else (None, None, None)  # else nothing comes
    if doc is None or summary(doc) != summary(want):
        failures.append("a drop outside the drop zone: taken by the page %s, then %r" % (taken, title))
    page.js("document.getElementById('code-page').value = 'latin'; document.getElementById('code-page')"
            ".dispatchEvent(new Event('change'))")
    page.wait(lambda: page.js("!document.getElementById('code-page-wrong').hidden"), 30)
    said, kept = page.js("document.getElementById('code-page-wrong').textContent"), page.js("document.title")
    if ("latin is not a code page" not in said or kept != title or page.js("document.activeElement.id") != "code-page"
            or page.js("document.getElementById('verdict').hidden")):
        failures.append("the code page latin: beside its field %r, the verdict %r (was %r)" % (said, kept, title))
    return failures + long_checks(page, served, folders)


PAGES = 2000  # of the medium whose check is long enough to cancel


def long_checks(page, served, folders):
    """A choice made during a check, checked after it; a check cancelled; a runtime that does not load."""
    failures = []
    folder = os.path.join(folders, "long", "many")
    medium(folder, None, {"docs/p%d.htm" % n: '<meta charset="utf-8"><a href="p%d.htm">next</a>' % (n + 1)
                          for n in range(PAGES)})
    zipped(folder, os.path.join(served, "media", "many.zip"))
    page.choose({"start": "docs\\p0.htm"})
    page.js("fetched('media/many.zip')")
    page.wait(lambda: page.status().startswith("Checking"), 30)
    began = time.time()
    page.js("document.getElementById('label').value = 'Later'; document.getElementById('label')"
            ".dispatchEvent(new Event('change'))")
    queued = page.status()
    try:
        page.wait(lambda: '"label": "Later"' in page.js("document.getElementById('result').textContent"), 120)
    except TimeoutError:
        failures.append("a label given during a check: %r, then the page showed %r" % (queued, page.js(
            "document.getElementById('headline').textContent")))
    print("a label given during a check of %d pages: checked with it %.1f s later" % (PAGES, time.time() - began))
    if "when it ends" not in queued:
        failures.append("a label given during a check: the page said %r" % queued)
    page.js("document.title = 'Quenlo check'; fetched('media/many.zip')")
    page.wait(lambda: page.status().startswith("Checking"), 30)
    began = time.time()
    page.js("document.getElementById('cancel').click(); window.told.length = 0")  # told: the first worker's
    cancelled = page.status()
    page.wait(lambda: page.status().startswith("Ready"), 60)
    print("a check cancelled: the page ready again %.1f s later" % (time.time() - began))
    title, doc, status = page.give("media/problems.zip", {"start": "docs\\index.htm"})
    if not cancelled.startswith("Cancelled") or doc is None or page.js("told"):
        failures.append("a check cancelled: %r, then %r; the cancelled worker said %s afterwards"
                        % (cancelled, title, page.js("told")))
    lacking = os.path.join(folders, "lacking")
    shutil.copytree(served, lacking, copy_function=os.link, ignore=shutil.ignore_patterns("pyodide.asm.wasm"))
    server = serving(lacking)
    try:
        try:
            page.open({}, "http://127.0.0.1:%d/index.html" % server.server_address[1])
        except TimeoutError:
            pass  # said below
        said = page.status()
        if "pyodide.asm.wasm did not load" not in said or "reload" not in said:
            failures.append("a runtime that does not load: the page said %r" % said)
    finally:
        server.shutdown()
        server.server_close()
    return failures


def images(media):
    """(name, the image beside the page, the command's options) of each maker's image of test_images' one folder,
    as a disc and as a stick, and of bytes that are no image, named as a stick's image is."""
    from test_images import MAKERS, Makers
    Makers.setUpClass()
    try:
        made = []
        for number, name in enumerate(MAKERS):
            served = os.path.join(media, "image%d%s" % (number, os.path.splitext(Makers.images[name])[1]))
            shutil.copy(Makers.images[name], served)
            made += [(name, served, []), (name + ", --stick", served, ["--stick"])]
    finally:
        Makers.tearDownClass()
    with open(os.path.join(media, "garbage.img"), "wb") as f:
        f.write(os.urandom(1 << 20))
    # The refusal among what is handed over, not before a pick: a pick does not clear the refusal said before it.
    return made[:1] + [("bytes that are no image", os.path.join(media, "garbage.img"), [])] + made[1:]


def same_image(page, name, image, args, picked=False, limit=60):
    """What is wrong of the page's check of image against the command's, as the author gives it."""
    want = json.loads(run_check(args + [image]))
    title, doc, status = (page.pick(image, query(args), "zip", limit) if picked else
                          page.give("media/" + os.path.basename(image), query(args)))
    said = [(f["code"], f["message"].replace(os.path.dirname(image) + "/", "")) for f in want["findings"]]
    got = doc and [(f["code"], f["message"]) for f in doc["findings"]]
    if got != said or (doc["verdict"], doc.get("image", {}).get("system")) != (want["verdict"], want.get(
            "image", {}).get("system")):
        return ["the image of %s: the page says %r %s, the command %s (%s)" % (name, title, got, said, status)]
    return [] if doc.get("image") or not picked else ["%s: no image in the page's document" % name]


def run_check(argv):
    out = io.StringIO()
    cli.main(["check", "--json"] + argv, out=out, err=io.StringIO())
    return out.getvalue()


def descendants(pid):
    """The processes pid started, and theirs."""
    parents = {}
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
    found, pending = [], [pid]
    while pending:
        here = pending.pop()
        children = [p for p, parent in parents.items() if parent == here]
        found += children
        pending += children
    return found


def measured(page, image, args):
    """The page's time and its renderer's memory at most, on image picked, beside the command's time."""
    peak, done = [0], threading.Event()
    renderers = [pid for pid in descendants(page.browser.process.pid)
                 if b"--type=renderer" in open("/proc/%d/cmdline" % pid, "rb").read()]

    def sample():
        while not done.is_set():
            for pid in renderers:
                try:
                    with open("/proc/%s/status" % pid) as f:
                        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
                    peak[0] = max(peak[0], rss)
                except (OSError, StopIteration):
                    pass
            time.sleep(0.05)
    threading.Thread(target=sample, daemon=True).start()
    began = time.time()
    failures = same_image(page, os.path.basename(image), image, args, picked=True, limit=1800)
    seconds = time.time() - began
    done.set()
    began = time.time()
    run_check(args + [image])
    print("%s (%.0f MB) picked: the page's verdict in %.1f s, its renderer's memory %d MB at most; the command's "
          "in %.1f s" % (image, os.path.getsize(image) / 1e6, seconds, peak[0] >> 10, time.time() - began))
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--keep", action="store_true", help="keep the served folder and the media")
    parser.add_argument("--image", help="an image to pick in the page alone, its time and memory told")
    parser.add_argument("--start", help="with --image: the page to open, as check's --start")
    a = parser.parse_args()
    bundle = web.bundle()
    if bundle is None:
        print("FAIL: the web page is not built (cmake --build --preset win32)")
        return 1
    work = tempfile.mkdtemp(prefix="quenlo-web-")
    served, folders = os.path.join(work, "served"), os.path.join(work, "f")
    media = os.path.join(served, "media")
    shutil.copytree(bundle, served)
    os.makedirs(media)
    cases = []  # (name, folder, args)
    for number, (name, autorun, extra, args) in enumerate(table_media()):
        folder = os.path.join(folders, "table%d" % number, "medium")
        medium(folder, autorun, extra)
        cases.append((name, folder, args))
    example = os.path.join(folders, "example")
    shutil.copytree(os.path.join(TOP, "examples", "medium"), example)
    broken = os.path.join(folders, "broken", "medium")
    medium(broken, None, BROKEN)
    cases += [("example", example, []), ("broken", broken, ["--start", "docs\\index.htm", "--stick"])]
    cases += [(n, f, args) for n, f, args in REAL if os.path.isdir(f)]
    huge = set()  # media with a file of 4 GiB: picked as a folder, not zipped
    for number, (name, folder, args) in enumerate(cases):
        if any(os.path.getsize(os.path.join(here, f)) >= 4 << 30 for here, _, files in os.walk(folder) for f in files):
            huge.add(name)
        else:
            zipped(folder, os.path.join(media, "%d.zip" % number))
    refusals = bad_zips(media)
    if a.image:
        server = serving(served)
        page = Page("http://127.0.0.1:%d/index.html" % server.server_address[1], os.path.join(work, "profile"))
        try:
            page.open({})
            failures = measured(page, os.path.abspath(a.image), ["--start", a.start] if a.start else [])
        finally:
            page.stop()
            server.shutdown()
            shutil.rmtree(work, ignore_errors=True)
        print("\n".join("FAIL " + f for f in failures))
        return 1 if failures else 0
    made = images(media)

    server = serving(served)
    url = "http://127.0.0.1:%d/index.html" % server.server_address[1]
    page = Page(url, os.path.join(work, "profile"))
    failures = []
    try:
        cold = page.open({})
        warm = page.open({})
        print("page ready: %.1f s with an empty cache, %.1f s with a warm one" % (cold, warm))
        # The page's browser reads each undeclared page as the command's Chromium reads it from a disc.
        reader = devtools.Reader(os.path.join(work, "reader"))
        for codec, text in UNDECLARED.items():
            data = ("<html><head><title>t</title></head><body><p>%s</p></body></html>" % text).encode(codec)
            path = os.path.join(work, "undeclared-%s.htm" % codec)
            with open(path, "wb") as f:
                f.write(data)
            theirs, ours = reader(path), page.js("read(new Uint8Array(%s))" % list(data))
            if theirs != ours:
                failures.append("an undeclared page in %s: the page's browser reads it as %r, the command's Chromium "
                                "as %r" % (codec, ours, theirs))
        failures += hostile_readings(page, reader, work)
        reader.stop()
        for number, (name, folder, args) in enumerate(cases):
            want = cli_doc(folder, args)
            params = query(args)
            if name in ("example", "broken") or folder.startswith("/usr/"):  # as a person links to the page
                began = time.time()
                page.open(dict(params, medium="media/%d.zip" % number))
                title, doc, status = page.outcome()
                if name == "example":
                    print("example medium: the verdict %.1f s after the page was opened" % (time.time() - began))
            elif name in huge:
                title, doc, status = page.pick(folder, params)
            else:
                title, doc, status = page.give("media/%d.zip" % number, params)
            expected = "Quenlo check: %s, %s, %s" % (want["verdict"], counted(want["problems"], "problem"),
                                                     counted(want["warnings"], "warning"))
            if title != expected or doc is None or summary(doc) != summary(want):
                failures.append("%s: the page says %r %s, the command %r %s (%s)" % (
                    name, title, doc and summary(doc)[3], expected, summary(want)[3], status))
        for number, (name, image, args) in enumerate(made):  # the first picked, as an author picks it
            failures += same_image(page, name, image, args, picked=number == 0)
        # A DVD's folder, picked with no server left to ask: the loaded page works offline, and its film's 3.9 GB
        # are never read.
        server.shutdown()
        server.server_close()
        dvd = os.path.join(folders, "dvd")
        shutil.copytree(os.path.join(TOP, "examples", "medium"), dvd)
        with open(os.path.join(dvd, "film.mp4"), "wb") as f:
            f.truncate(3900 << 20)
        began = time.time()
        title, doc, status = page.pick(dvd, {})
        want = cli_doc(dvd, [])
        print("a DVD's folder of %.1f GB picked: the verdict in %.1f s" % ((3900 << 20) / 1e9, time.time() - began))
        if doc is None or summary(doc) != summary(want) or doc["medium"] != want["medium"]:
            failures.append("a DVD's folder picked: the page says %r (%s), the command %s"
                            % (title, doc and [f["message"] for f in doc["findings"]], summary(want)))
        server = serving(served, server.server_address[1])
        for name, code, says in refusals:
            title, doc, status = page.give("media/%s.zip" % name, {})
            found = doc and [(f["code"], says in f["message"]) for f in doc["findings"]]
            shown = page.js("document.getElementById('findings').textContent")
            if (found != [(code, True)] or says not in shown or doc["source"] != name + ".zip") if code else (
                    says not in status):
                failures.append("%s: the page said %r (%s), not a refusal %s that says %r"
                                % (name, status, found, code, says))
        title, doc, status = page.give("media/%d.zip" % [c[0] for c in cases].index("example"), {})
        if not title.startswith("Quenlo check: ready") or not page.js("document.getElementById('mending').hidden"):
            failures.append("after the refusals the page no longer checks, or offers mends of a medium that has "
                            "none: %r (%s)" % (title, status))
        began = time.time()
        failures += browser_only(page, served, folders, bundle)
        print("what only a browser shows: %.1f s" % (time.time() - began))
        page.open({})
        began = time.time()
        failures += mended_media(page, served, folders, bundle)
        print("the mended media: %.1f s" % (time.time() - began))
        empty = os.path.join(folders, "empty")
        os.mkdir(empty)
        title, doc, status = page.pick(empty, {})
        if "holds no file" not in status:
            failures.append("an empty folder picked: the page said %r" % status)
        # Browsers that cannot pick a folder, or run no WebAssembly, are told which browsers serve.
        page.browser.call("Page.enable", session=True)
        for missing, element, says in (("HTMLInputElement.prototype.webkitdirectory", "limits", "Firefox 50"),
                                       ("window.WebAssembly", "status", "Edge, Chrome, Firefox or Safari")):
            page.browser.call("Page.addScriptToEvaluateOnNewDocument", {"source": "delete " + missing}, session=True)
            page.open({})
            told = page.js("document.getElementById('%s').textContent" % element)
            if says not in told:
                failures.append("a browser without %s: the page said %r" % (missing, told))
    finally:
        page.stop()
        server.shutdown()
        if not a.keep:
            shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAIL " + failure)
    print("%d media, %d images, %d undeclared pages and %d refusals through the page, %d disagreements"
          % (len(cases), len(made), len(UNDECLARED), len(refusals), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
