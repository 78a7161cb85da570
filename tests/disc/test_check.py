#!/usr/bin/env python3
"""The check's rules, each a medium that must be refused for one problem or
passed, run in-process through the check itself (what needs the real
command, its exit statuses, JSON, signing and an image's bytes, is in
tests/product/check_disc.py)."""
import array
import dataclasses
import marshal
import os
import tempfile
import threading
import time
import unittest
from unittest import mock

from harness import EXE, LINK, PIPE, SPARSE, TestCase, medium
from quenlo_disc import check, cli, devtools, documents, names, pages, walls
from quenlo_disc.medium import Options
from quenlo_disc.report import describe

# name: (autorun.inf or None, extra files, make's arguments, the code of the one problem, what it says[,
# the certificate's password])
START = ["--start", "docs\\index.htm"]
DISC = ["SOURCE", "OUTPUT"]
REFUSALS = {
    "no section": ("open=quenlo.exe docs\\index.htm", {}, DISC, "autorun-no-section", "no [autorun] section"),
    "no open line": ("[AutoRun]\r\nlabel=x", {}, DISC, "open-missing", "no open line"),
    "other program": ("[autorun]\r\nopen=setup.exe docs\\index.htm", {}, DISC, "open-other-program", 'runs "setup.exe", not quenlo'),
    "quoted page": ('[autorun]\r\nopen=quenlo.exe "docs\\page two.htm"', {}, DISC, "page-quoted", "in double quotes"),
    "absolute page": ("[autorun]\r\nopen=quenlo.exe C:\\docs\\index.htm", {}, DISC, "page-absolute", "is an absolute path"),
    "rooted page": ("[autorun]\r\nopen=quenlo.exe \\docs\\index.htm", {}, DISC, "page-absolute", "is an absolute path"),
    "page leaves": ("[autorun]\r\nopen=quenlo.exe docs\\..\\..\\index.htm", {}, DISC, "page-up", 'goes up with ".."'),
    "missing page": ("[autorun]\r\nopen=quenlo.exe docs\\indx.htm", {}, DISC, "page-missing", "is not among the files"),
    "folder page": ("[autorun]\r\n open = quenlo.exe DOCS ", {}, DISC, "page-folder", "is a folder"),
    "bad name": (None, {"docs/a:b.htm": ""}, START + DISC, "name-forbidden", 'has ":", which Windows does not allow'),
    "long name": (None, {"docs/" + "n" * 101 + ".htm": ""}, START + DISC, "name-too-long", "at most 103, and the dot of an extension besides"),
    "case twins": (None, {"docs/Index.htm": ""}, START + DISC, "name-case-twins", "differ only in case"),
    "label control": (None, {}, START + ["--label", "L\x07L"] + DISC, "text-control", "has control characters"),
    "not an icon": (None, {"../x.ico": "text"}, START + ["--icon", "WORK/x.ico"] + DISC, "icon-not-ico", "not an icon file"),
    "both": ("[autorun]\r\nopen=quenlo.exe docs\\index.htm", {}, START + DISC, "autorun-twice", "--start and"),
    "no autorun": (None, {}, DISC, "autorun-missing", "has no autorun.inf"),
    "no source": (None, {}, START + ["/nonexistent", "OUTPUT"], "source-missing", "no folder at /nonexistent"),
    "no exe": (None, {}, ["--exe", "/nonexistent.exe"] + START + DISC, "exe-missing", "no exe at"),
    "exe not windows": (None, {"../x.exe": "#!/bin/sh"}, ["--exe", "WORK/x.exe"] + START + DISC, "exe-not-windows",
                        "is not a Windows program"),
    "no form in code page": (None, {"docs/\u65e5.htm": ""}, ["--code-page", "1251", "--start", "docs\\\u65e5.htm"]
                             + DISC, "text-no-form", "no form in code page 1251"),
    "wrong password": (None, {}, START + ["--sign", "CERT"] + DISC, "certificate-unreadable", "cannot read the certificate", "wrong"),
    # Exactly the author's folder: links are taken only while they stay in it.
    "link out": (None, {"docs/home": LINK + "../.."}, START + DISC, "link-outside", "outside"),
    "file link out": (None, {"docs/x.htm": LINK + "../../../cert.pem"}, START + DISC, "link-outside", "outside"),
    "dangling link": (None, {"docs/gone.htm": LINK + "nowhere.htm"}, START + DISC, "link-dangling", "which does not exist"),
    "link loop": (None, {"docs/loop": LINK + "loop"}, START + DISC, "link-loop", "is a link loop"),
    "link up": (None, {"docs/up": LINK + ".."}, START + DISC, "link-holder", "a folder that holds it"),
    "folder twice": (None, {"docs/v2/a.htm": "", "docs/latest": LINK + "v2"}, START + DISC, "link-folder-twice",
                     "is a link to the folder docs/v2, which the disc holds by its own path already"),
    "pipe": (None, {"docs/pipe": PIPE}, START + DISC, "not-a-file", "is a named pipe"),
    "device name": (None, {"docs/aux.htm": ""}, START + DISC, "name-device", "keeps for a device (AUX)"),
    "superscript port": (None, {"docs/com\u00b9": ""}, START + DISC, "name-device", "keeps for a device"),
    "output folder": (None, {}, START + ["SOURCE", "WORK"], "output-folder", "is a folder: name the image file"),
    "output device": (None, {}, START + ["SOURCE", "/dev/null"], "output-not-file", "exists and is not a file"),
    "certificate folder": (None, {}, START + ["--sign", "WORK"] + DISC, "certificate-folder", "is a folder: give --sign", "p4ss"),
    # The whole medium: its links, the files autorun.inf names, what Windows reads.
    "missing link": (None, {"docs/index.htm": '<p>\n<a href="Gone.htm#x">x</a>'}, START + DISC, "link-missing",
                     'docs/index.htm, line 2: the link "Gone.htm#x" leads to nothing on the disc'),
    "stick: FAT's rules": (None, {"docs/a.htm": "", "docs/A.HTM": "", "docs/q?.htm": "", "docs/trailing.": "",
                                  "docs/con.htm": "", "docs/big.bin": SPARSE}, ["--stick"] + START + DISC,
                           ["name-case-twins", "name-device", "name-forbidden", "name-trailing-dot", "file-too-large"],
                           "FAT, a stick's file system, holds no file of 4 GiB or more"),
    "a word processor's drive": (None, {"docs/index.htm": '<a href="/C:/Users/me/x.htm">x</a>'}, START + DISC,
                                 "link-leaves-medium", "a drive letter"),
    "the author's own server": (None, {"docs/index.htm": '<img src="http://localhost:8000/docs/x.png">'}, START + DISC,
                                "link-leaves-medium", "(localhost)"),
    "link off medium": (None, {"docs/index.htm": '<a href="file:///C:/docs/x.htm">x</a>'}, START + DISC, "link-leaves-medium",
                        "leaves the medium (a file:/// address"),
    "link above root": (None, {"docs/s.css": "p { background: url('../../x.png') }"}, START + DISC, "link-missing",
                        "climbs above the disc's root, where a browser stays (D:\\x.png)"),
    "icon names nothing": ("[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nicon=disc.ico,0", {}, DISC, "key-names-nothing",
                           'icon names "disc.ico", which is not on the disc'),
    "stamp unsigned": (None, {}, START + ["--timestamp", "http://127.0.0.1:9/"] + DISC, "timestamp-unsigned",
                       "--timestamp stamps a signature, and there is none"),
    "huge file": (None, {"docs/film.mp4": SPARSE}, START + DISC, "file-too-large", "Windows reads no file of 4 GiB or more"),
    "semicolon": (None, {"docs/a;b.htm": ""}, START + DISC, "name-joliet", "Windows allows but the disc's Joliet names"),
    "empty label": (None, {}, START + ["--label", ""] + DISC, "label-empty", "the volume label is empty"),
    "missing icon": (None, {}, START + ["--icon", "/nonexistent.ico"] + DISC, "icon-missing", "no icon at /nonexistent.ico"),
    # Pages and autorun.inf as a browser and Windows read them.
    "utf-16 page": (None, {"docs/index.htm": '\ufeff<p>\n<img src="gone.png">'.encode("utf-16-le")}, START + DISC, "link-missing", 'line 2: the link "gone.png" leads to nothing'),
    "shift_jis page": (None, {"docs/index.htm": '<meta charset="shift_jis"><img src="\u88fd\u54c12.png">'.encode(
        "cp932")}, START + DISC, "link-missing", 'the link "\u88fd\u54c12.png" leads to nothing on the disc (names match '
                                      'without regard to case): read as Shift_JIS'),
    "forwarding": (None, {"docs/index.htm": '<meta http-equiv="refresh" content="0; url=menu.htm">'}, START + DISC, "link-missing", 'the link "menu.htm" leads to nothing'),
    "form action": (None, {"docs/index.htm": '<form action="send.htm"></form>'}, START + DISC, "link-missing",
                    'the link "send.htm" leads to nothing'),
    "css escape": (None, {"docs/s.css": "p { background: url(missing\\ file.png) }"}, START + DISC, "link-missing",
                   'docs/s.css, line 1: the link "missing file.png" leads to nothing'),
    "hash in a name": (None, {"docs/index.htm": '<a href="C# and D++ notes.htm">n</a>', "docs/C# and D++ notes.htm": ""},
                       START + DISC, "link-missing", 'write "#" in its name as %23'),
    "verb page": ("[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nshell\\manual\\command=quenlo.exe manual\\Missing "
                  "Manual.htm", {}, DISC, "page-missing", "correct autorun.inf's shell\\manual\\command line or add the page"),
    "png as icon": ("[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nicon=art\\banner.png",
                    {"art/banner.png": "\x89PNG\r\n\x1a\n"}, DISC, "icon-unusable", "neither an icon (.ico) nor an exe or DLL"),
    "xml declaration": (None, {"docs/index.htm": '<?xml version="1.0" encoding="big5"?><img src="\u7522\u54c12.png"/>'.encode(
        "big5")}, START + DISC, "link-missing", "read as Big5, as its XML declaration says"),
    "late meta": (None, {"docs/index.htm": ("<head><style>%s</style><meta charset=windows-1253></head><img src=\"\u0386.png\">"
                                            % (".x { }\n" * 200)).encode("cp1253")}, START + DISC, "link-missing",
                  "read as windows-1253, as the page's <meta> says"),
    "xhtml not well-formed": (None, {"docs/notes.xhtml": '<html xmlns="http://www.w3.org/1999/xhtml"><body><p>a<br></p></body></html>'},
                              START + DISC, "xml-not-well-formed", "docs/notes.xhtml, line 1: the page is not well-formed XML (mismatched tag)"),
    "svg document": (None, {"docs/graph.svg": '<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink">'
                            '<a xlink:href="gone.htm"><text>x</text></a></svg>', "docs/index.htm": '<object data="graph.svg"></object>'},
                     START + DISC, "link-missing", 'docs/graph.svg, line 1: the link "gone.htm" leads to nothing'),
    "srcdoc": (None, {"docs/index.htm": '<iframe srcdoc="&lt;img src=&quot;gone.png&quot;&gt;"></iframe>'}, START + DISC,
               "link-missing", 'the link "gone.png" leads to nothing'),
    "percent in a name": (None, {"docs/index.htm": '<a href="90%Debugging.pdf">d</a>', "docs/90%Debugging.pdf": ""}, START + DISC,
                          "link-missing", 'write "%" in its name as %25, as "90%25Debugging.pdf"'),
    "decomposed name": (None, {"docs/index.htm": '<meta charset="utf-8"><a href="r\u00e9sum\u00e9.htm">r</a>',
                               "docs/re\u0301sume\u0301.htm": ""}, START + DISC, "link-missing", "decomposed form (NFD"),
    "stylesheet inherits": (None, {"docs/index.htm": '<meta charset="windows-1253"><link rel="stylesheet" href="s.css">',
                                   "docs/s.css": ".a { background: url(\u03b1.png) }", "docs/\u03b1.png": ""}, START + DISC,
                            "link-missing", 'in that of docs/index.htm, which links it (windows-1253): begin the stylesheet with @charset'),
    "follow-on links": (None, {"docs/papers": LINK + "../..", "docs/index.htm": '<a href="papers/a.htm">a</a><a href="papers/b.htm">b</a>'},
                        START + DISC, ("link-outside", "link-missing"), '2 links lead into docs/papers, which is not on the disc'),
    "one file, many links": (None, {"docs/index.htm": '<a href="gone.htm#a">a</a><a href="GONE.htm#b">b</a>',
                                     "docs/page two.htm": '<a href="gone.htm">c</a>'}, START + DISC, "link-missing",
                             "2 more links lead to it too, in docs/index.htm, docs/page two.htm"),
    "compressed page": (None, {"docs/index.htm": '<a href="changes.htm">c</a>', "docs/changes.htm.gz": ""}, START + DISC,
                        "link-missing", '"docs/changes.htm.gz" is there compressed'),
    "code page of autorun.inf": ("[autorun]\r\nopen=quenlo.exe docs\\\u03b1.htm".encode("cp1253"), {"docs/\u03b1.htm": ""}, DISC, "text-beyond-ascii",
                                 "autorun.inf is written for PCs using code page 1253 (Greek), so give --code-page 1253"),
    # Links as Chromium follows them: a folder's address shows a list of its files, never its page.
    "folder link": (None, {"docs/index.htm": '<a href="guide/">g</a>\n<a href="Guide">h</a>', "docs/guide/index.htm": ""},
                    START + DISC, "link-folder", 'docs/index.htm, line 1: the link "guide/" leads to the folder '
                    'docs/guide/, and a browser shows a folder opened from a disc as a list of its files ("Index of"), '
                    'never its page: link its page "docs/guide/index.htm" instead; 1 more link leads to it too'),
    "root link": (None, {"docs/index.htm": '<a href="../">home</a>'}, START + DISC, "link-folder",
                  "leads to the folder at the disc's root"),
    "utf-8 autorun.inf": ("[autorun]\r\nopen=quenlo.exe docs\\\u0413\u043b\u0430\u0432\u043d\u0430\u044f.htm",
                          {"docs/\u0413\u043b\u0430\u0432\u043d\u0430\u044f.htm": ""}, ["--code-page", "1251"] + DISC, "autorun-utf8", "save it in code page 1251, or as Unicode"),
}

# Media that Windows reads well, which the check must pass: (autorun.inf,
# extra files, check's arguments, the warnings' codes, what it says of them)
ACCEPTED = {
    "cyrillic label": (None, {}, ["--code-page", "1251", "--label", "\u041a\u0430\u0442\u0430\u043b\u043e\u0433 "
                                  "\u043f\u0440\u043e\u0434\u0443\u043a\u0446\u0438\u0438"] + START, [],
                       'Windows shows the disc as "\u041a\u0430\u0442\u0430\u043b\u043e\u0433 \u043f\u0440\u043e'
                       '\u0434\u0443\u043a\u0446\u0438\u0438" (autorun.inf\'s label)'),
    "trailing dots and blanks": (None, {"docs/index.htm": '<a href="page%20two.htm.">2</a><a href="page%20two.htm%20">c</a>'
                                                          '<a href="../docs./caf%C3%A9.htm">c</a>'}, START, ["label-missing"],
                                 "Links: 5 to files on the disc, all there"),
    "metadata links": (None, {"docs/index.htm": '<link rel="canonical" href="file:///usr/share/doc/x.html"><link rel="alternate" '
                                                '"href="../fr/index.htm"><link rel="dns-prefetch" href="//example.com">'}, START,
                       ["label-missing"], "Links: 2 to files on the disc, all there"),
    "above the root": (None, {"docs/index.htm": '<a href="../../../docs/page%20two.htm">2</a>'}, START, ["label-missing"],
                       "Links: 3 to files on the disc, all there"),
    "undeclared page": (None, {"docs/index.htm": '<title>\u039c\u03bf\u03c5\u03c3\u03b5\u03af\u03bf</title><p>\u0386\u03b3\u03b1\u03bb\u03bc\u03b1 '
                               '\u03b1\u03c0\u03cc \u03c4\u03b7 \u039d\u03ac\u03be\u03bf</p><a href="\u03c3\u03b5\u03bb\u03af\u03b4\u03b1.htm">x</a>'.encode("cp1253"),
                               "docs/\u03c3\u03b5\u03bb\u03af\u03b4\u03b1.htm": ""}, START, ["label-missing", "page-undeclared"],
                        "docs/index.htm declares no encoding, so a browser guesses it from the bytes and reads it as windows-1253"),
    "unicode label": ("\ufeff[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nlabel=\u039c\u03bf\u03c5\u03c3\u03b5\u03af\u03bf", {}, [], [],
                      'Windows shows the disc as "\u039c\u03bf\u03c5\u03c3\u03b5\u03af\u03bf" (autorun.inf\'s label)'),
    "script-built links": (None, {"docs/index.htm": "<script>var rooms = ['rooms/hall.htm', 'rooms/gone.htm'], ending = '.htm';"
                                  "window.open(rooms[n])</script>", "docs/rooms/hall.htm": ""}, START, ["label-missing", "script-path-missing"],
                           "docs/index.htm names 1 file in its scripts' strings that is not on the disc"),
    "longest name": (None, {"docs/" + "n" * 100 + ".htm": ""}, START, ["label-missing"], "Links: 4 to files on the disc, all there"),
    # Attributes Chromium never follows (an unknown element's, one that does not load), and
    # strings of scripts that are no paths; a script that cannot work from a disc is told.
    "inert attributes": (None, {"docs/index.htm": '<GTKDOCLINK HREF="gresource">g</GTKDOCLINK><span src="nothing.png">'
                                '<div href="x.htm"></div><input type="text" src="none.png"><a href="guide/index.htm">i</a>'
                                '<img href="x.htm" src="guide/index.htm"><a src="none.png">n</a>'
                                '<script>\nthrow "Could not load worker.js"; var p = require("popper.js"), '
                                'u = root + "/index.html";\nvar w = new Worker("search/worker.js");</script>',
                                "docs/guide/index.htm": ""}, START, ["label-missing", "script-path-missing",
                                                                     "script-needs-server"],
                         "docs/index.htm names 1 file in its scripts' strings that is not on the disc (as the pages "
                         "that run them resolve them): search/worker.js;"),
    "fetch from the disc": (None, {"docs/index.htm": '<script>fetch("https://example.com/news.json");\n'
                                   'fetch("data/rooms.json").then(r => r.json())</script>'}, START,
                            ["label-missing", "script-needs-server"],
                            "docs/index.htm, line 2: its script fetches a file with fetch(), which Chromium refuses"),
    # Places in pages as Chromium scrolls to them: an id or <a name>, as written or percent-decoded; "#" and
    # "#top" are the top. A place a script could make is told once; what a page loads from the web, each.
    "anchors": (None, {"docs/api.htm": '<meta charset="utf-8"><h2 id="&lt;init&gt;()">i</h2><a name="two words"></a><p ID="Up">x</p>'
                                       '<p id="caf\u00e9"></p><a href="#%3Cinit%3E()">a</a><a href="#">t</a>',
                       "docs/guide.htm": '<meta charset="utf-8"><a href="api.htm#%3Cinit%3E()">a</a><a href="api.htm#two%20words">b</a>'
                                         '<a href="API.HTM#two words">b</a><a href="api.htm#TOP">t</a><a href="#top">t'
                                         '</a><a href="api.htm#Up">u</a><a href="api.htm#caf\u00e9">c</a><a href='
                                         '"api.htm#caf%C3%A9">c</a><a href="api.htm#up">u</a>\n<a href="#up">u</a><a '
                                         'name="up" href="api.htm#%3Cinit%3E">a</a><img src="pic.svg#view">'
                                         '<a href="pic.svg#nowhere">p</a>', "docs/pic.svg": '<svg xmlns="http://www.w3.'
                                         'org/2000/svg"><a href="#gone"><text>x</text></a></svg>'}, START,
                ["label-missing", "anchor-missing", "anchor-missing"], 'docs/guide.htm, line 1: the link "api.htm#up" '
                'leads to docs/api.htm, which has no place "up" (no element of that id, nor an <a name>), so a browser '
                'opens the page at its top: correct the part after "#" or give the place that id'),
    "anchors made by script": (None, {"docs/made.htm": '<script src="jquery.js"></script><a href="#one">1</a><script>'
                                                       'document.body.insertAdjacentHTML("beforeend", "<a name=one>")'
                                                       '</script>', "docs/jquery.js": 'e.setAttribute("id", n);',
                                      "docs/inline.htm": "<script>document.write('<p id=two>')</script><a href="
                                                         '"made.htm#three">3</a><a href="#two">2</a><a href="#four">'},
                               START, ["label-missing", "anchor-scripted"], '4 links lead to places that '
                               'docs/inline.htm, docs/made.htm lack, but their scripts could make them'),
    "web loads": (None, {"docs/web.htm": '<link rel="stylesheet" href="https://cdn.example.com/s.css"><link rel="icon" '
                                         'href="http://example.com/i.ico"><script src="HTTPS://example.com/a.js">'
                                         '</script><a href="https://example.com/">a</a><form action="https://example.'
                                         'com/f"><img srcset="local.png 1x, https://example.com/2.png 2x"><iframe src='
                                         '"https://example.com/"></iframe><p style="background: url(http://example.com'
                                         '/b.png)"><link rel="stylesheet" href="s.css"><a href="s.css#https://x">',
                         "docs/s.css": '@import url("https://fonts.example.com/css");\n@font-face { src: url(https:'
                                       '//fonts.example.com/f.woff2) }', "docs/local.png": ""}, START,
                  ["label-missing"] + ["web-load"] * 8, 'docs/s.css, line 2: "https://fonts.example.com/f.woff2" is '
                  'loaded from the web by the stylesheet itself'),
    # Strings of scripts that no script loads: a module a wrapper hands to define([...]), a name compared, a search
    # index's words and places; a file that a script does load stays told.
    "script strings no path": (None, {"docs/index.htm": '<a href="guide/index.htm">i</a><script src="wrap.js"></script>'
                                                        '<script src="searchindex.js"></script><script>if (el.src.substr'
                                                        '(-9) === "minus.png") el.src = "plus.png";</script>',
                                      "docs/wrap.js": '(function(t,e){"function"==typeof define&&define.amd?define(['
                                                      '"exports","jquery","popper.js"],e):e(t)})(this,function(){});'
                                                      'createElem(doc, "script", "module-search-index.js");',
                                      "docs/searchindex.js": 'Search.setIndex({docnames:["a"],terms:{"robots.txt":[1,'
                                                             '"cgitb.html"],"function":[2,"x.pdf"]}})',
                                      "docs/guide/index.htm": "", "docs/plus.png": ""}, START,
                               ["label-missing", "script-path-missing"], "docs/wrap.js names 1 file in its scripts' "
                               "strings that is not on the disc (as the pages that run them resolve them): "
                               "module-search-index.js;"),
    "stick started from the root": (None, {"START HERE.htm": '<a href="docs/Index.htm">start</a>'}, ["--stick"] + START,
                                    ["label-missing"], "double-clicks START HERE.htm, which leads to docs\\index.htm"),
    "stick started from nowhere": (None, {}, ["--stick"] + START, ["label-missing", "stick-start-hidden"],
                                   "and the page to open, docs\\index.htm, lies in a folder that no page at the root"),
    "stick names beyond Joliet": (None, {"docs/a;b.htm": "", "docs/" + "n" * 150 + ".htm": ""}, ["--stick"] + START,
                                  ["label-missing", "stick-start-hidden"], 'FAT volume label reads "QUENLO"'),
    "verb elsewhere": ("[autorun]\r\nopen=quenlo.exe docs\\index.htm\r\nlabel=x\r\nshell\\readme\\command=notepad.exe "
                       "README.TXT", {}, [], ["verb-program-elsewhere"],
                       'autorun.inf\'s shell\\readme\\command runs "notepad.exe"'),
}

# Names no Linux folder can hold (255 bytes of UTF-8 at most), but a zip
# given to the web page can: (the name, for a stick) -> the refusal's code,
# or None. A FAT long name holds 255 UTF-16 units; a letter beyond the Basic
# Multilingual Plane takes two.
NAMES = {
    "255 units of letters": (("n" * 251 + ".htm", True), None),
    "254 units beyond the plane": (("\U0001d11e" * 125 + ".htm", True), None),
    "256 units beyond the plane": (("\U0001d11e" * 126 + ".htm", True), "name-too-long"),
    "beyond the plane on a disc": (("\U0001d11e.htm", False), "name-joliet"),
}


class Rules(TestCase):
    def test_refused(self):
        for name, (autorun, extra, args, code, says, *password) in REFUSALS.items():
            with self.subTest(name):
                self.refused(autorun, extra, args, code, says, *password)

    def test_accepted(self):
        for name, (autorun, extra, args, warnings, says) in ACCEPTED.items():
            with self.subTest(name):
                m = self.accepted(autorun, extra, args, warnings)
                self.assertIn(says, "\n".join(describe(m) + [f.message for f in m.findings.found]))

    def test_names(self):
        for label, ((name, stick), code) in NAMES.items():
            with self.subTest(label):
                problem = names.name_problem(name, "the top of M", ".", stick)
                self.assertEqual(problem and problem.code, code, problem)

    def test_stick_too_large(self):
        """A medium larger than the largest stick, refused before any image is written."""
        with mock.patch.object(check, "STICKS", [("USB stick of 1 MB", 1 << 20)]):
            self.refused(None, {}, ["--stick"] + START + DISC, ["stick-too-large"],
                         "more than the largest common stick holds (USB stick of 1 MB)")

    def test_stick_folder_full(self):
        """A folder whose long names take more entries than FAT numbers."""
        with mock.patch.object(check, "LARGEST_FAT_FOLDER", 12):
            self.refused(None, {"docs/a long name %d.htm" % n: "" for n in range(3)}, ["--stick"] + START + DISC,
                         ["stick-folder-full"], "holds 6 names, which take 17 entries of FAT's 12 in one folder")

    def test_chromium_only_in_a_sandbox(self):
        """Where no sandbox can be made, Chromium never reads the author's
        pages: the check guesses with its own detector, and says so once."""
        autorun, extra, args, warnings, _ = ACCEPTED["undeclared page"]
        with mock.patch.object(walls, "usable", return_value="user namespaces are off"), \
                mock.patch.object(devtools, "Reader", side_effect=AssertionError("Chromium started unsandboxed")), \
                mock.patch.object(check.shutil, "which", return_value="/usr/bin/chromium"):
            m = self.accepted(autorun, extra, args, warnings + ["guessed-unsandboxed"])
        self.assertIn("(user namespaces are off)", m.findings.found[-1].message)

    def test_links_cannot_multiply(self):
        """Folders each with two links to the next (2 ** 60 paths, were they
        followed): each real folder is read once, each link told once."""
        fan = {"d%02d/x" % n: LINK + "../d%02d" % (n + 1) for n in range(60)}
        fan.update({"d%02d/y" % n: LINK + "../d%02d" % (n + 1) for n in range(60)})
        fan["d60/page.htm"] = ""
        started = time.monotonic()
        m, _ = self.checked(None, fan, START + DISC)
        self.assertLess(time.monotonic() - started, 20)
        self.assertEqual([f.code for f in m.problems], ["link-folder-twice"] * 120)
        self.assertEqual(m.files(), 3 + 1 + 2)  # the three pages, d60's, quenlo.exe and autorun.inf

    def test_parallel_reading(self):
        """A medium past the size from which its pages are read by several
        processes (forked where no thread runs, started afresh where one
        does): read so several times in a row, each within its time and with
        what reading them one by one finds."""
        site = {"docs/p%04d.htm" % n: '<link rel="stylesheet" href="s%d.css"><a href="p%04d.htm">next</a>'
                % (n % 7, n + 1) for n in range(pages.PARALLEL + 100)}
        site.update({"docs/s%d.css" % n: "p { background: url(bg%d.png) }" % n for n in range(7)})
        site.update({"docs/bg%d.png" % n: "" for n in range(6)})
        found, pools = [], []
        original = pages.Reading.pool
        for how in ("forked", "started", "forked", "one by one"):
            running = threading.Event()
            if how == "started":  # a thread that runs, as a fork would copy it holding its locks
                threading.Thread(target=running.wait, daemon=True).start()
            with mock.patch.object(pages, "PARALLEL", 1 << 30 if how == "one by one" else pages.PARALLEL), \
                    mock.patch.object(pages, "FORKED", 1 << 30 if how == "one by one" else pages.FORKED), \
                    mock.patch.object(pages.Reading, "pool", lambda reading, files: pools.append(
                        original(reading, files)) or pools[-1]):
                started = time.monotonic()
                m, _ = self.checked(None, site, START + DISC)
                took = time.monotonic() - started
            running.set()
            found.append(sorted((f.code, f.message) for f in m.findings.found))
            self.assertLess(took, 120, "a check of %d pages took %.0f s" % (len(site), took))
        self.assertEqual([code for code, _ in found[0]], ["label-missing", "link-missing", "link-missing"], found[0])
        self.assertEqual(found[:3], found[1:])
        methods = [pool and pool._mp_context.get_start_method() for pool in pools]
        self.assertEqual(methods, ["fork", "spawn", "fork", None])

    def test_documents_kept(self):
        """Pages are taken apart once: a check again (or make after a check) takes their links from what was kept,
        and reads afresh only a page whose bytes changed, and all where what was kept cannot be read."""
        work = tempfile.mkdtemp(dir=self.work)
        source = os.path.join(work, "medium")
        # Each page's place the one before links: kept too, or the next check would miss them.
        medium(source, None, {"docs/p%d.htm" % n: '<a href="p%d.htm#s%d">on</a> <a href="gone%d.htm">x</a><h2 id="s%d">'
                              % (n + 1, n + 1, n, n) for n in range(5)})
        options = Options(start="docs\\index.htm", exe=EXE)
        parsed = []
        original = documents.document

        def checked(given=options):
            del parsed[:]
            with mock.patch.object(documents, "document", lambda *a, **k: parsed.append(1) or original(*a, **k)):
                m = check.check_medium(source, given, tempfile.mkdtemp(dir=work))
            return sorted((f.code, f.message) for f in m.findings.sorted()), len(parsed)

        with mock.patch.dict(os.environ, XDG_CACHE_HOME=os.path.join(work, "cache"),
                             XDG_CONFIG_HOME=os.path.join(work, "config")):
            first, read = checked()
            self.assertEqual((len(first), read), (7, 8))  # 8 pages; a missing one each of 5, p5 and no label
            self.assertEqual(checked(), (first, 0))
            with open(os.path.join(source, "docs", "p0.htm"), "a") as f:
                f.write('<a href="gone.htm">')
            changed, read = checked()
            self.assertEqual((len(changed), read), (8, 1))
            kept, key = documents.Documents(source).path, documents.key()
            self.assertEqual(os.stat(os.path.join(work, "config", "quenlo-disc", "cache.key")).st_mode & 0o777, 0o600)
            with open(kept, "rb") as f:
                made_by, known = marshal.loads(f.read()[documents.SEAL:])
            self.check_kept_refused(checked, changed, kept, key, made_by, known)
            for environment, arguments in (({"QUENLO_DISC_NO_CACHE": "1"}, []), ({}, ["--no-cache"])):
                before = os.stat(kept).st_mtime_ns  # as in CI: nothing read, nothing kept
                with mock.patch.dict(os.environ, environment):
                    given = cli.options(cli.parsers("q").parse_args(["check", "--exe", EXE] + arguments + [source]))
                    self.assertEqual(checked(dataclasses.replace(options, cache=given.cache)), (changed, 8))
                self.assertEqual(os.stat(kept).st_mtime_ns, before)
            sealing = os.path.join(work, "config", "quenlo-disc", "cache.key")
            checked()
            os.chmod(sealing, 0o640)  # a key others can read seals nothing
            self.assertEqual(checked(), (changed, 8))
            os.chmod(sealing, 0o600)
            with mock.patch.object(pages, "KEEP_PAGES", 7):  # a medium of more pages: nothing kept, nothing held
                os.remove(kept)
                self.assertEqual(checked(), (changed, 0))  # read as if no documents were ever kept
                self.assertFalse(os.path.exists(kept))
            with mock.patch.object(documents, "KEPT", 1):
                medium(os.path.join(work, "other"), None, {})
                check.check_medium(os.path.join(work, "other"), options, tempfile.mkdtemp(dir=work))
            self.assertEqual(os.listdir(os.path.dirname(kept)), [os.path.basename(documents.Documents(
                os.path.join(work, "other")).path)])

    def test_documents_by_encoding(self):
        """The same bytes read in another encoding (as another browser reads an undeclared page) are taken apart
        again, not taken from what was kept of them in the first."""
        work = tempfile.mkdtemp(dir=self.work)
        source = os.path.join(work, "medium")
        medium(source, None, {"docs/greek.htm": '<p>\u0391\u03b8\u03ae\u03bd\u03b1 <a href="\u03b1.htm">a</a>'.encode(
            "cp1253"), "docs/\u03b1.htm": ""})
        with mock.patch.dict(os.environ, XDG_CACHE_HOME=os.path.join(work, "cache")):
            missing = [[f.message for f in check.check_medium(source, Options(start="docs\\index.htm", exe=EXE),
                                                               tempfile.mkdtemp(dir=work), guess=lambda path, data:
                                                               read_in).problems] for read_in in (
                "windows-1253", "windows-1251", "windows-1253")]
        self.assertEqual([len(m) for m in missing], [0, 1, 0], missing)
        self.assertIn('the link "\u0431.htm" leads to nothing', missing[1][0])

    def check_kept_refused(self, checked, changed, kept, key, made_by, known):
        """Kept documents that are damaged, of another version of the code that reads pages (as while it is worked
        on), not sealed with this user's key (a cache restored from another build), or sealed but out of shape, are
        read afresh: every page, or the page whose entry is in doubt; the findings are the same."""
        one = next(k for k, v in known.items() if v[2])  # a page with links
        addresses, kinds, packed, scripts, files, ids = known[one]
        evil = array.array("q", packed)
        evil[3] += 4  # the first link's kind

        def but(*entry):
            return made_by, {**known, one: entry}

        for how, damaged, read in (
                ("garbage", b"garbage", 8), ("empty", b"", 8),
                ("another reader", (made_by[:2] + ("another reader",), known), 8),
                ("no links, sealed by another",
                 (os.urandom(32), (made_by, {k: ("", "", b"", (), (), "\n") for k in known})), 8),
                ("a script as text", but(addresses, kinds, packed, "alert(1)", files, ids), 1),
                ("scripts of text", but(addresses, kinds, packed, ("x",), files, ids), 1),
                ("a file as a number", but(addresses, kinds, packed, scripts, (1,), ids), 1),
                ("a kind of its own", but(addresses, "evil" + kinds, evil.tobytes(), scripts, files, ids), 1),
                ("a length short", but(addresses, kinds, packed[:-8], scripts, files, ids), 1),
                ("places not ended", but(addresses, kinds, packed, scripts, files, ids.rstrip("\n") + "x"), 1),
                ("a list", (made_by, {**known, one: list(known[one])}), 1)):
            with self.subTest(how):
                if isinstance(damaged, tuple):
                    sealing, damaged = damaged if isinstance(damaged[0], bytes) else (key, damaged)
                    damaged = documents.sealed(sealing, marshal.dumps(damaged))
                with open(kept, "wb") as f:
                    f.write(damaged)
                self.assertEqual(checked(), (changed, read))


if __name__ == "__main__":
    unittest.main()
