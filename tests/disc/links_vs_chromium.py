#!/usr/bin/env python3
"""The check's reading of links against a real browser's: a seeded generator
writes pages (in many encodings, with many link forms, attributes,
stylesheets and forwarding) and the files they link to or miss; headless
Chromium loads each page and its DevTools protocol names every file it
loaded or failed to load; the check of quenlo-disc follows the same links.
Every link must agree: what Chromium loads, the check finds on the disc, and
what it fails to load, the check refuses; what it asks of the web by itself,
the check tells; and each link to a place in a page (a fragment) leads where
Chromium scrolls to (its :target), or the check says the place is missing.
Chromium runs in the try's sandbox, with no network and its background
networking off.

  links_vs_chromium.py [--seed N] [--pages N] [--keep]
  links_vs_chromium.py --site FOLDER     a real site (a copy of it): its places and loads from the web
  links_vs_chromium.py --mends [FOLDER]  fix's media (and FOLDER's): each link a mend writes anew, opened
                                         from its mended page, reaches the file the mend meant
"""
import argparse
import json
import os
import random
import re
import shutil
import sys
import tempfile
import time
import urllib.parse

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "disc"))
from quenlo_disc import devtools, pages, walls  # noqa: E402

# (Python codec, how the page says so, or None for a page that says nothing;
# "<?xml" at the very start, and LATE after 1024 bytes of its <head>)
LATE = "<style>%s</style>" % "".join(".rule%d { margin: %dpx }\n" % (n, n) for n in range(60))
ENCODINGS = [("utf-8", '<meta charset="utf-8">'), ("utf-8", None), ("utf-8-sig", None), ("utf-16", None), ("cp1251", '<meta charset="windows-1251">'),
             ("cp1251", '<meta http-equiv="Content-Type" content="text/html; charset=windows-1251">'),
             ("cp932", '<meta http-equiv="Content-Type" content="text/html; charset=Shift_JIS">'),
             ("cp932", "<meta charset=x-sjis>"), ("gb18030", '<meta charset="gb2312">'), ("big5", "<meta charset=big5>"),
             ("cp949", '<META CHARSET="euc-kr">'), ("cp1252", '<meta charset="iso-8859-1">'), ("cp1252", None),
             ("cp1253", "<meta charset='windows-1253'>"),
             # What Chromium's detector reads: undeclared pages in the encodings of the matrix's PCs.
             ("cp1251", None), ("cp1253", None), ("iso8859_7", None), ("cp1250", None), ("koi8_r", None),
             ("cp932", None), ("gbk", None), ("big5", None), ("cp949", None),
             # Declarations past the prescan: an XML declaration, and a <meta> after a long <style>.
             ("big5", '<?xml version="1.0" encoding="big5"?>'), ("cp1251", "<?xml version='1.0' encoding='windows-1251'?>"),
             ("cp1253", LATE + '<meta http-equiv="Content-Type" content="text/html; charset=windows-1253">'),
             ("cp932", LATE + '<meta charset="shift_jis">')]
# Words of each page's language, as undeclared pages hold them for a detector to read.
TEXTS = {"cp1251": "Главная страница каталога продукции, описание товаров и услуг нашей компании.",
         "koi8_r": "Главная страница каталога продукции, описание товаров и услуг нашей компании.",
         "cp1253": "Η κεντρική σελίδα του καταλόγου με όλα τα εκθέματα του μουσείου και τις αίθουσες.",
         "iso8859_7": "Η κεντρική σελίδα του καταλόγου με όλα τα εκθέματα του μουσείου και τις αίθουσες.",
         "cp1250": "Główna strona katalogu produktów, gdzie znajdziesz opisy wszystkich towarów i usług.",
         "cp1252": "Déjà vu à la française: où est la bibliothèque? Ça va très bien, merci beaucoup.",
         "cp932": "製品カタログのメインページです。当社のすべての製品とサービスの説明があります。",
         "gbk": "这是我们网站的主页，您可以在这里找到所有产品和服务的说明。",
         "big5": "這是我們網站的主頁，您可以在這裡找到所有產品和服務的說明。",
         "cp949": "모든 제품과 서비스에 대한 설명이 있는 메인 페이지입니다."}
# Links a browser never fetches: words about the page.
METADATA = ['<link rel="canonical" href="%s">', '<link rel="alternate" hreflang="fr" href="%s">',
            '<link rel="next" href="%s">', '<link rel="preconnect" href="%s">', '<link rel="author" href="%s">']
# Attributes a browser never follows: on elements it does not know, or that load nothing by them.
INERT = ['<span href="%s">x</span>', '<div src="%s">x</div>', '<GTKDOCLINK HREF="%s">x</GTKDOCLINK>',
         '<input type="text" src="%s">', '<p background="%s">x</p>', '<img href="%s">', '<a src="%s">x</a>']
NAMES = ["a.png", "b c.png", "\u043a\u0430\u0442.png", "\u88fd\u54c1.png", "\u00dcber.png", "x#y.png", "50% off.png",
         "sub/d.png", "sub/sub two/e.png", "caf\u00e9.png", "\u03b1.png", "\uc81c\ud488.png", "\u7522\u54c1.png"]
MISSING = ["missing.png", "\u043d\u0435\u0442.png", "sub/none.png", "\u7121.png"]
# Elements whose links a browser fetches by itself: (markup around %s).
FETCHED = ['<img src="%s">', "<img src='%s'>", '<img srcset="%s 1x">', '<iframe src="%s"></iframe>',
           '<script src="%s"></script>', '<input type="image" src="%s">', '<video poster="%s"></video>',
           '<object data="%s"></object>', '<embed src="%s">', '<svg><image href="%s"/></svg>',
           '<svg><image xlink:href="%s"/></svg>', '<div style="background: url(%s)">x</div>',
           '<div style="background-image: url(\'%s\')">x</div>', '<table background="%s"><tr><td>x</table>']
# Markup that HTML's tokenizer reads in its own way (not XHTML's): what it
# fetches and what it takes for text.
TOKENIZED = ['<!-- <img src="%s"> -->', '<img alt="a > b" src="%s">', '<img src="%s" src="missing.png">',
             '<textarea><img src="%s"></textarea>', "<script>var s = '<img src=\"%s\">';</script>",
             '<IMG\nSRC = "%s"\n>', '<title><img src="%s"></title>', '<img src="%s"/ alt=x>']


def spell(rng, target, codec):
    """One way an author writes a link to target (a path from the page's folder)."""
    form = rng.randrange(9)
    if form == 0:
        link = urllib.parse.quote(target, safe="/")
    elif form == 1:
        link = target.replace("/", "\\")
    elif form == 2:
        link = " %s  " % target
    elif form == 3:
        link = target + rng.choice(["#part", "?x=1", "#", "?"])
    elif form == 4:
        link = "./" + target if "/" not in target else target.replace("/", "/./", 1)
    elif form == 5:
        link = target.replace(" ", "%20")
    elif form == 6:
        link = "sub/../" + target
    else:
        link = target
    # What the page's encoding cannot hold, as character references.
    out = ""
    for c in link:
        try:
            c.encode(codec)
            out += {"&": "&amp;", '"': "&quot;", "'": "&#39;", "<": "&lt;"}.get(c, c)
        except UnicodeEncodeError:
            out += "&#%d;" % ord(c)
    return out


def css_url(rng, target):
    """target in a stylesheet's url(), quoted or not, with CSS escapes."""
    form = rng.randrange(4)
    if form == 0:
        return 'url("%s")' % target.replace('"', '\\"')
    if form == 1:
        return "url('%s')" % target
    escaped = "".join("\\" + c if c in " ()'\"\\" else c for c in target)
    if form == 2:
        return "url(%s)" % escaped
    return "url(%s)" % "".join("\\%x " % ord(c) if c == " " else c for c in escaped.replace("\\ ", " "))


def generate(root, rng, count):
    """count pages under root, and the files some of their links name: the
    pages, and those of them that forward to another."""
    for name in NAMES:
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        with open(os.path.join(root, name), "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n")
    made, forwarding, codecs = [], set(), {}
    # A tenth of the pages forward, each to one that does not (a chain would
    # outlast the visit of its first page), or to none at all.
    forwards = {n for n in range(count) if rng.random() < 0.1}
    for n in range(count):
        codec, says = rng.choice(ENCODINGS)
        folder = rng.choice(["", "", "sub/"])
        # A tenth are XHTML, read as XML: some of them not well-formed, which a browser reads only up to the fault.
        xhtml = codec in ("utf-8", "cp1251") and says and not says.startswith("<?") and rng.random() < 0.3
        rel = "%spage%03d.%s" % (folder, n, "xhtml" if xhtml else "htm")
        up = "../" if folder else ""
        body = []
        base = folder == "" and rng.random() < 0.1 and not xhtml
        if base:
            body.append('<base href="sub/">')
            up = "../"
        if says is None and codec in TEXTS:
            body.append("<p>%s</p>" % TEXTS[codec])
        for _ in range(rng.randrange(3, 8)):
            target = rng.choice(NAMES + MISSING)
            body.append(rng.choice([f for f in FETCHED if not xhtml or "<table" not in f] + ([] if xhtml else TOKENIZED))
                        % spell(rng, up + target, codec.replace("-sig", "")))
        for _ in range(rng.randrange(0, 3)):
            body.append(rng.choice(METADATA) % rng.choice(["file:///usr/share/doc/x.html", up + "missing.htm",
                                                           "https://example.com/"]))
        if not xhtml:
            body.append(rng.choice(INERT) % (up + rng.choice(NAMES + MISSING)).replace("&", "&amp;"))
        if rng.random() < 0.1:  # an SVG document, whose images a browser fetches
            svg = "%spicture%03d.svg" % (folder, n)
            with open(os.path.join(root, svg), "w", encoding="utf-8") as f:
                f.write('<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" '
                        'width="100" height="100">%s</svg>\n' % "".join(
                            '<image %s="%s" width="10" height="10"/>' % (rng.choice(["href", "xlink:href"]),
                                                                          (up + rng.choice(NAMES + MISSING)).replace(
                                                                              "&", "&amp;"))
                            for _ in range(rng.randrange(1, 3))))
            body.append(rng.choice(['<iframe src="%s"></iframe>', '<object data="%s"></object>'])
                        % os.path.basename(svg))
        # Not a forwarding page: Chromium would leave its error for the next page before anyone saw it.
        broken = xhtml and rng.random() < 0.4 and n not in forwards
        if rng.random() < 0.25:
            sheet = "%sstyle%03d.css" % (folder, n)
            targets = [up + rng.choice(NAMES + MISSING) for _ in range(rng.randrange(1, 4))]
            imported = "%simported%03d.css" % (folder, n)
            with open(os.path.join(root, sheet), "w", encoding="utf-8") as f:
                f.write('@import "%s";\n' % os.path.basename(imported)
                        + "".join(".c%d { background: %s }\n" % (i, css_url(rng, t)) for i, t in enumerate(targets)))
            with open(os.path.join(root, imported), "w", encoding="utf-8") as f:
                f.write(".imported { background: %s }\n" % css_url(rng, up + rng.choice(NAMES + MISSING)))
            # Elements for every rule: a browser fetches only the images of those it draws.
            body.append('<link rel="stylesheet" href="%s">' % spell(rng, os.path.basename(sheet), "ascii")
                        + "".join('<p class="c%d">x</p>' % i for i in range(len(targets)))
                        + '<p class="imported">x</p>')
            if rng.random() < 0.5:
                body.append("<style>h1 { background: %s }</style><h1>x</h1>" % css_url(rng, up + rng.choice(NAMES)))
        if n in forwards:
            to = rng.choice(["page%03d.htm" % rng.choice(sorted(set(range(count)) - forwards)), "gone.htm"])
            body.insert(0, '<meta http-equiv="refresh" content="0; url=%s">' % to)
            forwarding.add(rel)
        if xhtml:
            text = ('<!DOCTYPE html><html xmlns="http://www.w3.org/1999/xhtml"><head>%s</head><body>%s</body></html>\n'
                    % (says, "\n".join(body)))
            text = re.sub(r"<(img|input|embed|image|link|meta)\b([^>]*[^/])>", r"<\1\2/>", text)
            # SVG in XHTML is SVG by its namespace (xlink's, left undeclared, leaves the page not well-formed).
            text = text.replace("<svg>", '<svg xmlns="http://www.w3.org/2000/svg">')
            if broken:  # a line break as HTML writes it, which XML takes for an element left open
                at = rng.choice([m.end() for m in re.finditer("\n", text)])
                text = text[:at] + "<p>a line<br>and the next</p>\n" + text[at:]
        elif says and says.startswith("<?"):
            text = "%s<!DOCTYPE html><html><head></head><body>%s</body></html>\n" % (says, "\n".join(body))
        else:
            text = "<!DOCTYPE html><html><head>%s</head><body>%s</body></html>\n" % (says or "", "\n".join(body))
        with open(os.path.join(root, rel), "wb") as f:
            f.write(text.encode(codec, errors="xmlcharrefreplace"))
        made.append(rel)
        codecs[rel] = (codec, xhtml and not broken, xhtml and broken)
    return made, forwarding, codecs


# Places in pages and the fragments that lead to them, as authors write
# them: ids and <a name>s beyond ASCII, with blanks and brackets; fragments as
# written, percent-encoded, in another case, or of no place; the top.
PLACES = ["intro", "part two", "<init>()", "caf\u00e9", "\u7ae0", "x%20y", "Top2", "a.b-c_d"]
NO_PLACES = ["nowhere", "Intro", "<init>", "caf%C3%A9s"]
TOPS = ["", "top", "TOP"]
# What a page loads from the web by itself (%d: a number of its own), and a
# link there that only a click follows.
WEB_LOADS = ['<img src="http://example.invalid/i%d.png"/>', '<script src="https://example.invalid/s%d.js"></script>',
             '<link rel="stylesheet" href="https://example.invalid/c%d.css"/>',
             '<p style="background: url(http://example.invalid/b%d.png)">x</p>',
             '<video poster="https://example.invalid/v%d.png"></video>']
WEB_LINK = '<a href="https://example.invalid/page%d">w</a>'


def attribute(text):
    return text.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace(">", "&gt;")


def add_places(root, rng, made, forwarding, codecs):
    """Into pages made (not forwarding, not broken XHTML): places, links to
    places in other pages and in themselves, a place its script makes, and
    loads from the web, also from their stylesheets."""
    pages = [rel for rel in made if rel not in forwarding and not codecs[rel][2]]
    places = {rel: rng.sample(PLACES, rng.randrange(0, 5)) for rel in pages}
    for n, rel in enumerate(pages):
        codec, xhtml, _ = codecs[rel]
        body = []
        for place in places[rel]:
            body.append(rng.choice(['<h2 id="%s">x</h2>', '<a name="%s"></a>', '<span id="%s">x</span>'])
                        % attribute(place))
        if not xhtml and rng.random() < 0.1:
            body.append("<script>document.write('<a name=\"scripted\"></a>')</script><a href=\"#scripted\">s</a>")
        for _ in range(rng.randrange(0, 6)):
            target = rng.choice(pages + [rel])
            part = rng.choice(places[target] + NO_PLACES + TOPS if places[target] else NO_PLACES + TOPS)
            part = rng.choice([part, urllib.parse.quote(part, safe="")])
            up = "../" * rel.count("/")
            href = ("" if target == rel and rng.random() < 0.5 else up + target) + "#" + part
            body.append('<a href="%s">p</a>' % attribute(href))
        for _ in range(rng.randrange(0, 3) if rng.random() < 0.3 else 0):
            body.append(rng.choice(WEB_LOADS + [WEB_LINK]) % rng.randrange(1000))
        sheet = os.path.join(root, os.path.dirname(rel), "style%s.css" % re.search(r"page(\d+)", rel).group(1))
        if os.path.exists(sheet) and rng.random() < 0.5:
            with open(sheet, "a", encoding="utf-8") as f:
                f.write(".web { background: url(https://example.invalid/w%d.png) }\n" % n)
            body.append('<p class="web">x</p>')
        with open(os.path.join(root, rel), "rb") as f:
            text = f.read().decode(codec)
        text = text.replace("</body>", "\n".join(body) + "</body>" if body else "</body>")
        with open(os.path.join(root, rel), "wb") as f:
            f.write(text.encode(codec, errors="xmlcharrefreplace"))
    return pages


class Chromium(devtools.DevTools):
    """Headless Chromium in the sandbox, its Network and Page events on."""

    def __init__(self, root):
        home = tempfile.mkdtemp(dir=root + ".home")
        command = ["chromium", "--headless=new", "--user-data-dir=" + home] + devtools.FLAGS + [
            "--remote-debugging-pipe", "about:blank"]
        env = walls.environment_args({"HOME": home})
        super().__init__(walls.arguments([root, os.path.dirname(home)]) + env + ["--"] + command,
                         stderr=open(os.environ.get("QUENLO_CHROMIUM_LOG", os.devnull), "ab"))
        self.call("Network.enable", session=True)
        self.call("Page.enable", session=True)

    def visit(self, url, loads=1, longest=5):
        """The events of one page's visit, until it has loaded loads times
        (twice for a page that forwards) with no request open; and the
        encoding the page was read in."""
        self.events = []
        self.call("Page.navigate", {"url": url}, session=True)
        deadline, loaded, open_, events = time.time() + longest, 0, set(), []
        while time.time() < deadline and (loaded < loads or open_):
            event = self.next_event(0.05)
            if not event:
                continue
            events.append(event)
            method, params = event.get("method"), event.get("params", {})
            if method == "Page.loadEventFired":
                loaded += 1
            elif method == "Network.requestWillBeSent":
                open_.add(params["requestId"])
            elif method in ("Network.loadingFinished", "Network.loadingFailed"):
                open_.discard(params["requestId"])
        said = self.call("Runtime.evaluate", {"expression": "[document.characterSet, "
                                                            "!!document.querySelector('parsererror'), "
                                                            "Array.from(document.links, a => a.href), location.href]",
                                              "returnByValue": True}, session=True)
        return events, said.get("result", {}).get("value") or [None, False, [], None]

    def scrolls(self, url, fragments):
        """{fragment: whether Chromium scrolls to a place of that name} in
        the page at url, each followed from the page as loaded."""
        self.visit(url)
        found = {}
        for part in fragments:
            self.call("Page.navigate", {"url": url + "#" + part}, session=True)
            said = self.call("Runtime.evaluate", {"expression": "[location.hash, !!document.querySelector(':target')]",
                                                  "returnByValue": True}, session=True)
            hash_, target = said.get("result", {}).get("value") or [None, False]
            found[part] = target if hash_ == ("#" + part if part else "") else None
        return found


def chromium_links(browser, root, made, forwarding):
    """({(file, path): loaded} for every file: request of each page's visit,
    with the file that holds the link (the page, or a stylesheet); [(the
    files of a visit, {path: loaded})], for a link that a file of the visit
    holds but that Chromium had loaded for another already); the pages
    whose XML Chromium refused; the links whose every request was aborted,
    which it never decided on)."""
    found, visits, encodings, broken, aborted, undecided = {}, [], {}, set(), set(), set()
    web, fragments = set(), {}
    for rel in made:
        url = "file://" + urllib.parse.quote(os.path.join(root, rel))
        requests, failed, current = {}, set(), url
        events, (encodings[rel], error, hrefs, shown) = browser.visit(url, 2 if rel in forwarding else 1)
        if shown == url:  # not a page that forwarded (a site's may, by a script of its own)
            fragments[rel] = [h for h in hrefs if h.startswith("file://") and "#" in h]
        if error:
            broken.add(rel)
        for event in events:
            method, params = event.get("method"), event.get("params", {})
            if method == "Network.requestWillBeSent":
                request = params["request"]["url"]
                source = params.get("initiator", {}).get("url")
                if not source:  # the page itself, or one it forwards to, which the page it leaves links
                    if request == url:
                        continue
                    source, current = current, request
                requests[params["requestId"]] = (source, request)
            elif method == "Network.loadingFailed":
                failed.add(params["requestId"])
                if params.get("canceled") or params.get("errorText") == "net::ERR_ABORTED":
                    # Left when the page moved on (a forward that came first, on a
                    # busy machine): Chromium never decided on the file.
                    aborted.add(params["requestId"])
        visit = (set(), {})
        for request_id, (source, request) in requests.items():
            if request.startswith(("http://", "https://")):
                web.add((relative(root, source), request))
            if not request.startswith("file://"):
                continue
            link = key(relative(root, source), relative(root, request))
            if request_id in aborted:
                undecided.add(link)
                continue
            found[link] = found.get(link, True) and request_id not in failed
            visit[0].add(link[0])
            visit[1][link[1]] = visit[1].get(link[1], True) and request_id not in failed
        visits.append(visit)
    return found, visits, encodings, broken, undecided - set(found), web, fragments


def chromium_places(browser, root, fragments, pages):
    """{(page, the page it links, fragment): whether Chromium scrolls to a
    place there} of each link to a place in pages, as Chromium serializes
    its fragment."""
    wanted = {}
    for source, hrefs in fragments.items():
        for href in hrefs:
            address, _, part = href.partition("#")
            target = relative(root, urllib.parse.urlsplit(address)._replace(query="").geturl())
            if target in pages:
                wanted.setdefault(target, {}).setdefault(part, []).append(source)
    found = {}
    for target, parts in sorted(wanted.items()):
        url = "file://" + urllib.parse.quote(os.path.join(root, target))
        for part, scrolled in browser.scrolls(url, sorted(parts)).items():
            for source in parts[part]:
                found[(source, target, part)] = scrolled
    return found


def relative(root, url):
    path = urllib.parse.unquote(urllib.parse.urlsplit(url).path, errors="replace")
    return os.path.relpath(path, root) if path.startswith(root + "/") else "(outside)"


def key(source, path):
    """Bytes that no decoder can read leave marks that differ from decoder
    to decoder; a name with one is no file's, whoever decoded it."""
    return source, "(undecodable)" if "\ufffd" in path else path


def check_links(root):
    """({(file, path): found} of every link to a file of the disc that a
    browser fetches, as the check follows it; {page: the encoding it read it
    in}; the pages not well-formed; {(file, address)} of what it loads from
    the web; and of the links to places, those whose places are missing and
    those a page's script could make, {(file, page, fragment)} each)."""
    paths = []
    for top, dirs, files in os.walk(root):
        paths += [os.path.relpath(os.path.join(top, n), root) for n in dirs + files]
    found, encodings = {}, {}
    reader = devtools.Reader(tempfile.mkdtemp(dir=root + ".home"),
                             walls.arguments([root + ".home"], [root]) + walls.environment_args({}) + ["--"])
    every = []
    try:
        site = pages.read_site(root, paths, guess=reader, every=every.append)
    finally:
        reader.stop()
    for f in every:
        encodings.setdefault(f.rel, f.encoding)
        if "#" in f.address and f.address.split("#")[0].strip().lower().endswith(pages.PAGES):
            continue  # a link to a place in a page, which a click follows
        if f.kind == "file" and f.spelled:
            link = key(f.rel, f.spelled)
            found[link] = found.get(link, True) and f.target is not None
    web = {(f.rel, f.address.strip()) for f in site.loads}
    places = tuple({(rel, page, part) for page, part, rel, _, _, _ in told} for told in site.anchors.end())
    return found, encodings, {rel for rel, _, _ in site.malformed}, web, places


# What a disagreement on a place is, by what Chromium did.
PLACE_SAYS = {True: "Chromium scrolled to it, the check says it is missing",
              False: "Chromium found no such place, the check passed it",
              None: "Chromium kept another fragment than the check's", "never": "Chromium has no such link"}


def places_differ(theirs, missing, scripted, pages):
    """The links to places in pages on which Chromium and the check
    disagree: where Chromium scrolls to the place (its :target, or the top
    for an empty fragment and "top") and the check says missing, or the
    reverse; those in pages whose own script could make places are the
    check's to leave, and it says so."""
    differ = []
    missing = {k for k in missing if k[0] in pages and k[1] in pages}
    for (source, page, part), scrolled in sorted(theirs.items(), key=str):
        if scrolled is not None and not scrolled and urllib.parse.unquote(part).lower() in ("", "top"):
            scrolled = "top"
        if (source, page, part) in scripted:
            continue
        if scrolled is None or bool(scrolled) == ((source, page, part) in missing):
            differ.append((source, "(place) %s#%s" % (page, part)))
    differ += [(source, "(place) %s#%s" % (page, part)) for source, page, part in sorted(missing - set(theirs))]
    return differ


def compare_site(root, started):
    """A real site's links to places and loads from the web, the check's
    against Chromium's, page by page."""
    made = sorted(os.path.relpath(os.path.join(top, n), root) for top, _, files in os.walk(root) for n in files
                  if n.lower().endswith(pages.PAGES))
    browser = Chromium(root)
    try:
        _, visits, _, their_broken, _, their_web, fragments = chromium_links(browser, root, made, set())
        _, _, our_broken, our_web, (missing, scripted) = check_links(root)
        broken = their_broken | our_broken
        their_places = chromium_places(browser, root, {k: v for k, v in fragments.items() if k not in broken},
                                       set(made) - broken)
    finally:
        browser.stop()
    loaded = set(made) | {file for files, _ in visits for file in files}
    our_web = {k for k in our_web if k[0] in loaded}
    differ = [(source, "(the web) " + url) for source, url in sorted(their_web ^ our_web)]
    differ += places_differ(their_places, missing, scripted, set(made) - broken)
    for source, what in differ[:int(os.environ.get("QUENLO_SHOW", "25"))]:
        if what.startswith("(place) "):
            print("DIFFER %s -> %s: %s" % (source, what[8:], PLACE_SAYS[their_places.get(
                (source,) + tuple(what[8:].split("#", 1)), "never")]))
        else:
            print("DIFFER %s -> %s: %s" % (source, what[10:], "Chromium asked the web for it, the check does not tell"
                                           if (source, what[10:]) in their_web else "the check tells, Chromium did not"))
    told = missing & set(their_places)
    print("%d pages, %d links to places (%d to %d places missing, as Chromium says too; %d in pages whose scripts "
          "could make them), %d loads from the web (%s), %d disagreements, %.0f s"
          % (len(made), len(their_places), len(told), len({k[1:] for k in told}), len(scripted & set(their_places)),
             len(their_web), ", ".join(sorted({url for _, url in their_web})[:5]), len(differ), time.time() - started))
    for source, page, part in sorted(told)[:int(os.environ.get("QUENLO_SHOW", "25"))]:
        print("  missing: %s -> %s#%s" % (source, page, part))
    return 1 if differ else 0


def mended_links(root, sources):
    """(the mended copies of sources [(folder, the check's options)], [(copy,
    page, the address written, the disc path meant)] of every link a mend
    wrote, safe or not)."""
    from quenlo_disc import cli
    from quenlo_disc.check import check_medium
    from quenlo_disc.mending import Changes, chosen
    written = []
    for n, (source, args) in enumerate(sources):
        copy = os.path.join(root, "mended%d" % n)
        parsed = cli.parsers("quenlo-disc").parse_args(["check"] + args + [source])
        m = check_medium(source, cli.options(parsed, True), tempfile.mkdtemp(dir=root + ".home"))
        changes = Changes(m.source, chosen(m.mends, unsafe=True))
        changes.make(copy)
        written += [(copy, changes.moved(edit.path), edit.new, edit.target) for _, mend, _ in m.mends if mend
                    for edit in mend.changes if getattr(edit, "target", None) and edit.path != "autorun.inf"]
    return written


def compare_mends(root, started, site=None):
    """Chromium's reading of each link fix wrote, against what the mend meant."""
    from harness import medium
    from test_fix import MENDS
    sources = []
    for n, (autorun, extra, args, _, _) in enumerate(MENDS.values()):
        folder = os.path.join(root + ".home", "medium%d" % n)
        medium(folder, autorun, extra)
        sources.append((folder, args + (["--label", "Mended"] if "--label" not in args else [])))
    if site:
        pages = sorted(os.path.relpath(os.path.join(top, n), site) for top, _, names in os.walk(site) for n in names
                       if n.lower().endswith((".htm", ".html")))
        start = "index.html" if "index.html" in pages else pages[0].replace("/", "\\")
        sources.append((site, ["--start", start, "--label", "Site"]))
    written = mended_links(root, sources)
    browser = Chromium(root)
    differ = []
    by_page = {}
    for copy, page, address, meant in written:
        by_page.setdefault((copy, page), []).append((address, meant))
    try:
        for (copy, page), links in sorted(by_page.items()):
            url = "file://" + urllib.parse.quote(os.path.join(copy, page))
            browser.visit(url)
            said = browser.call("Runtime.evaluate", {"expression": "%s.map(a => new URL(a, %s).href)" % (
                json.dumps([address for address, _ in links]), "document.baseURI" if not page.endswith(".css") else
                json.dumps(url)), "returnByValue": True}, session=True)
            for (address, meant), href in zip(links, said.get("result", {}).get("value") or [""] * len(links)):
                # From a disc, "/" is its root (D:\\); here, the file system's.
                reached = relative(copy, href) if not address.startswith(("/", "\\")) else urllib.parse.unquote(
                    urllib.parse.urlsplit(href).path).lstrip("/")
                if reached != meant or not os.path.isfile(os.path.join(copy, meant)):
                    differ.append("DIFFER %s: %s, the link \"%s\": Chromium reaches %s, the mend meant %s" % (
                        os.path.basename(copy), page, address, reached, meant))
    finally:
        browser.stop()
    for line in differ[:int(os.environ.get("QUENLO_SHOW", "25"))]:
        print(line)
    print("%d media mended, %d links written anew, each opened by Chromium from its mended page: %d reach another "
          "file than the mend meant, %.0f s" % (len(sources), len(written), len(differ), time.time() - started))
    return 1 if differ or not written else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=23)
    parser.add_argument("--pages", type=int, default=300)
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--site")
    parser.add_argument("--mends", nargs="?", const="", default=None)
    a = parser.parse_args()
    if not shutil.which("chromium") or walls.usable():
        print("SKIP: Chromium or the sandbox is not here (%s)" % (walls.usable() or "no chromium"))
        return 77
    started = time.time()
    work = tempfile.mkdtemp(prefix="quenlo-links-")
    root = os.path.join(work, "disc")
    os.makedirs(root + ".home")
    browser = None
    try:
        if a.site:
            shutil.copytree(a.site, root, symlinks=True)
            return compare_site(root, started)
        if a.mends is not None:
            os.makedirs(root)
            return compare_mends(root, started, a.mends or None)
        os.makedirs(root)
        made, forwarding, codecs = generate(root, random.Random(a.seed), a.pages)
        with_places = add_places(root, random.Random(a.seed + 1), made, forwarding, codecs)
        browser = Chromium(root)
        theirs, visits, their_encodings, their_broken, undecided, their_web, fragments = chromium_links(
            browser, root, made, forwarding)
        ours, our_encodings, our_broken, our_web, (missing, scripted) = check_links(root)
        broken = their_broken | our_broken
        their_places = chromium_places(browser, root, {k: v for k, v in fragments.items() if k not in broken},
                                       set(with_places) - broken)
        # A page that is not well-formed XML is refused as such; what a
        # browser fetches before it shows its error is no matter.
        theirs = {k: v for k, v in theirs.items() if k[0] not in their_broken | our_broken}
        ours = {k: v for k, v in ours.items() if k[0] not in their_broken | our_broken}
        for source, path in set(ours) - set(theirs):
            for files, loaded in visits:
                if source in files and path in loaded:
                    theirs[(source, path)] = loaded[path]
        # Links of a stylesheet count where a browser loaded it: the check
        # reads those that no page links too.
        loaded = set(made) | {source for source, _ in theirs}
        ours = {k: v for k, v in ours.items() if k[0] in loaded}
        differ = sorted(k for k in set(theirs) | set(ours) if theirs.get(k) != ours.get(k) and k not in undecided)
        differ += [(page, "(its XML)") for page in sorted(their_broken ^ our_broken)]
        their_web = {k for k in their_web if k[0] in loaded and k[0] not in broken}
        our_web = {k for k in our_web if k[0] in loaded and k[0] not in broken}
        differ += [(source, "(the web) " + url) for source, url in sorted(their_web ^ our_web)]
        differ += places_differ(their_places, missing, scripted, set(with_places) - broken)
        for source, path in differ[:int(os.environ.get("QUENLO_SHOW", "25"))]:
            if path.startswith("(the web) "):
                print("DIFFER %s -> %s: Chromium %s, the check %s" % (
                    source, path[10:], "asked the web for it" if (source, path[10:]) in their_web else "did not",
                    "tells it loads it" if (source, path[10:]) in our_web else "does not"))
                continue
            if path.startswith("(place) "):
                print("DIFFER %s -> %s: %s" % (source, path[8:], PLACE_SAYS[their_places.get(
                    (source,) + tuple(path[8:].split("#", 1)), "never")]))
                continue
            if path == "(its XML)":
                print("DIFFER %s: Chromium %s, the check %s" % (
                    source, "showed an XML error" if source in their_broken else "showed it",
                    "refused it as not well-formed" if source in our_broken else "passed it"))
                continue
            print("DIFFER %s -> %s: Chromium %s, the check %s (read as %s and %s)" % (
                source, path, {None: "never asked", True: "loaded it", False: "failed"}[theirs.get((source, path))],
                {None: "saw no such link", True: "found it", False: "refused it"}[ours.get((source, path))],
                their_encodings.get(source), our_encodings.get(source)))
        print("%d pages (%d not well-formed XML, as Chromium says too), %d links (%d loaded by Chromium, %d failed), "
              "%d loads from the web, %d links to places (%d missing, as Chromium says too; %d a script makes), "
              "%d disagreements, %.0f s" % (len(made), len(our_broken & their_broken), len(set(theirs) | set(ours)),
                                            sum(theirs.values()), len(theirs) - sum(theirs.values()), len(their_web),
                                            len(their_places), len(missing & set(their_places)),
                                            len(scripted & set(their_places)), len(differ), time.time() - started))
        return 1 if differ else 0
    finally:
        if browser:
            browser.stop()
        if a.keep:
            print("kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
