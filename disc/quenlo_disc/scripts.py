"""What the check reads in a page's scripts, which no link check can follow:
the paths their strings name, whether they build addresses, and what they
do that Chromium refuses to a page opened from a disc."""
import re

# What scripts name in their strings: paths to files of the kinds a disc holds.
SCRIPT_PATH = re.compile(r"""(['"])([^'"\\\n:#?*<>|]*\.(?:html?|xhtml|pdf|png|jpe?g|gif|svg|css|js|txt|docx?|"""
                         r"""xlsx?|pptx?|zip|mp[34]|webm|ogg|wav))\1""", re.I)
# What comes before a string that names a module, not a file (require("x.js"),
# import ... from "x.js", define(["x.js"], ...), as a library's wrapper loads
# one), joins it to something else to build an address, or compares it
# (src.substr(-9) === "minus.png").
NOT_A_PATH_BEFORE = re.compile(r"(?:\brequire\s*\(|\bfrom|\bimport\s*\(?|\+|[=!]==?|\bdefine\s*\(\s*\[[^\]]*)\s*\Z")
# A script that is data and no code (a search index: one literal, assigned
# or handed to a function, and at most calls with nothing to hand): its
# strings are words and places in pages. Read with its strings emptied.
DATA = re.compile(r"\A\s*(?:(?:var|let|const)\s+)?[\w.$]+\s*(?:=|\(\s*)\s*[\[{]")
CODE = re.compile(r"\bfunction\b|=>|\((?!\s*\))")
STRING = re.compile(r""""(?:[^"\\\n]|\\.)*"|'(?:[^'\\\n]|\\.)*'""")
NOT_A_PATH_AFTER = re.compile(r"\s*\+")
# What a script does that Chromium refuses to a page opened from a file (its
# origin is "null"), and what it is in words.
LOCAL = r"""\s*['"`](?![A-Za-z][A-Za-z0-9+.-]*:|//)"""  # a string that names no other scheme or host
SERVER_ONLY = [(re.compile(r"\bnew\s+(?:Shared)?Worker\s*\("), "starts a Web Worker"),
               (re.compile(r"\bserviceWorker\s*\.\s*register\s*\("), "registers a Service Worker"),
               (re.compile(r"\bfetch\s*\(" + LOCAL), "fetches a file with fetch()"),
               (re.compile(r"""\.open\s*\(\s*['"][A-Za-z]+['"]\s*,""" + LOCAL), "reads a file with XMLHttpRequest"),
               (re.compile(r"\bimport\s*\(" + LOCAL), "loads a module with import()")]
# What in a script builds an address or goes somewhere.
BUILDING = re.compile(r"\blocation\b|\.href\b|\.src\b|window\.open|document\.write|\bfetch\(|XMLHttpRequest|"
                      r"\.ajax\b|\$\.get\b|\.load\(", re.I)

# What in a page's own script could make a place a link leads to (an element
# with an id, or an <a name>) while the page loads, where Chromium would scroll
# to it. Only the page's own: the libraries a site's pages run all can (jQuery
# sets ids), and on real sites none makes the places their links lead to.
MAKING = re.compile(r"""document\.write|\.innerHTML\s*\+?=(?!=)|insertAdjacentHTML|\.(?:id|name)\s*=(?!=)|"""
                    r"""setAttribute\(\s*['"](?:id|name)['"]""")


def server_only(code, first=1):
    """(line, what) of each thing code (that begins at line first of its
    file) does that Chromium refuses to a page opened from a file."""
    found = []
    for pattern, what in SERVER_ONLY:
        for match in pattern.finditer(code):
            found.append((first + code.count("\n", 0, match.start()), what))
    return sorted(found)


def paths_named(code):
    """The strings of code that look like paths a script loads: a relative
    or absolute address with an extension of a file's kind; not words (a
    message), not a module's name, not a piece joined to something else,
    and none of a script that is data alone."""
    data = STRING.sub('""', code) if DATA.match(code) else ""
    if data and not CODE.search(data, DATA.match(data).end()):
        return
    for match in SCRIPT_PATH.finditer(code):
        path = match.group(2)
        if path.rsplit("/", 1)[-1].startswith("."):  # an extension alone, as ".html"
            continue
        if (NOT_A_PATH_BEFORE.search(code, max(0, match.start() - 80), match.start())
                or NOT_A_PATH_AFTER.match(code, match.end())):
            continue  # a module's name, or a piece of an address built from others
        if re.search(r"\s", path) and ("/" not in path or len(path.split()) > 2):
            continue  # words, as a message says them ("Could not load worker.js")
        yield path
