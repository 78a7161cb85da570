"""The links of an HTML page or an SVG document, as a browser's tokenizer
finds them: start tags and their attributes (the first of two of one name
counts, character references decoded), comments and the raw text of
<script>, <style> and the like skipped, except what a browser reads from
them (a <style>'s stylesheet). Written for speed: a site of tens of
thousands of pages is read in seconds.

Which attributes link, as a browser fetches or follows them: href and src
on the elements that load or follow them, and the few others below; <link> by its rel (a stylesheet,
an icon, a preload; never metadata such as rel="canonical"); <base href>;
forwarding by <meta http-equiv="refresh">; srcset's candidates; the
stylesheets of style attributes and <style>; and the document of an
<iframe srcdoc>, whose links are the page's own.
"""
import bisect
import html
import re
from dataclasses import dataclass

from .css import css_links

# The attributes that name another file, by the elements on which a browser
# fetches or follows them (HTML's, and SVG's within a page or an SVG
# document); on any other element, and on an element it does not know
# (<span href>, <div src>, gtk-doc's <GTKDOCLINK HREF>), a browser never
# does. srcset holds a list.
SVG_LINKING = {"a", "image", "use", "feimage", "script", "pattern", "lineargradient", "radialgradient", "textpath",
               "filter", "mpath", "cursor"}
LINKING = {"href": {"a", "area"} | SVG_LINKING, "xlink:href": SVG_LINKING,
           "src": {"img", "script", "iframe", "frame", "embed", "audio", "video", "source", "track", "input"},
           "poster": {"video"}, "data": {"object"}, "background": {"body", "table", "thead", "tbody", "tfoot", "tr",
                                                                     "td", "th"},
           "srcset": {"img", "source"}, "action": {"form"}, "formaction": {"button", "input"}}
# What a user follows (a click, a form sent), never fetched with the page as
# everything else of LINKING is: (attribute, element), None for any element.
FOLLOWED = {("href", "a"), ("href", "area"), ("xlink:href", "a"), ("action", None), ("formaction", None)}
# What a <link> makes a browser fetch; any other rel is a word about the
# page (canonical, alternate, author, next, preconnect, ...), never fetched.
FETCHED_RELS = {"stylesheet", "icon", "apple-touch-icon", "preload", "modulepreload", "prefetch", "manifest",
                "mask-icon"}
# Elements whose content is text to their end tag, not markup.
RAW = {"script", "style", "xmp", "iframe", "noembed", "noframes", "noscript", "textarea", "title", "plaintext"}
SPACE = "\t\n\x0c\r "
# From a "<", what the tokenizer makes of it: a comment (to "-->" or "--!>";
# "<!-->" and "<!--->" end at once, one never closed runs to the end), a
# doctype or bogus comment or end tag (to ">"), or a start tag and its
# attributes to its ">": a name up to a blank, "/", "=" or ">" (its first
# letter may be "="), then maybe "=" and a value, quoted or up to a blank or
# ">". Possessive, so that a tag that never ends costs one pass, not a
# search of every way to split it; the text ending in a tag drops it.
MARKUP = re.compile(r"<(?:a[\t\n\x0c\r ]++href=\"([^\"&]*+)\"[\t\n\x0c\r ]*+>|"  # the most common of all, at once
                    r"!--(?:>|->|(?s:.*?)(?:--!?>|\Z))|[!?/][^>]*+(?:>|\Z)|([A-Za-z][^\t\n\x0c\r />]*+)("
                    r"(?:[\t\n\x0c\r /]*+[^\t\n\x0c\r />][^\t\n\x0c\r /=>]*+(?:[\t\n\x0c\r ]*+=[\t\n\x0c\r ]*+"
                    r"(?:\"[^\"]*+\"|'[^']*+'|(?![\"'])[^\t\n\x0c\r >]*+))?+)*+)[\t\n\x0c\r /]*+(>|\Z))")
ATTRIBUTE = re.compile(r"[\t\n\x0c\r /]*+([^\t\n\x0c\r />][^\t\n\x0c\r /=>]*+)(?:[\t\n\x0c\r ]*+=[\t\n\x0c\r ]*+"
                       r"(?:\"([^\"]*+)\"|'([^']*+)'|(?![\"'])([^\t\n\x0c\r >]*+)))?+")
RAW_END = {name: re.compile(r"</%s[\t\n\x0c\r />]" % name, re.I) for name in RAW}
# The elements whose attributes the check reads (any other's only for a style
# attribute): most of a page's tags are of none of them, and their
# attributes are never taken apart.
READ = set().union(*LINKING.values()) | {"base", "meta", "link", "iframe"} | RAW
# What the tokenizer passes over without a word, in one go: text, comments,
# end tags and the like, and start tags of elements not READ that have no
# style attribute and no id (a place a link may lead to). Each match of TAG is such a stretch and the tag after it.
# The stretch is repeated greedily, never possessively: Python 3.11.2's
# (Debian 12's) possessive repeat of alternatives matches what it must not.
NOT_READ = r"(?!(?:[Ss][Tt][Yy][Ll][Ee]|[Ii][Dd])[\t\n\x0c\r /=>])"
PASSED = (r"(?:[^<]++|<(?![A-Za-z!?/])|<!--(?:>|->|(?s:.*?)(?:--!?>|\Z))|<[!?/][^>]*+(?:>|\Z)|"
          r"<(?!(?i:%s)[\t\n\x0c\r />])[A-Za-z][^\t\n\x0c\r />]*+"
          r"(?:[\t\n\x0c\r /]*+%s[^\t\n\x0c\r />][^\t\n\x0c\r /=>]*+(?:[\t\n\x0c\r ]*+=[\t\n\x0c\r ]*+"
          r"(?:\"[^\"]*+\"|'[^']*+'|(?![\"'])[^\t\n\x0c\r >]*+))?+)*+[\t\n\x0c\r /]*+>)*"
          % ("|".join(sorted(map(re.escape, READ), key=len, reverse=True)), NOT_READ))
TAG = re.compile(PASSED + "(" + MARKUP.pattern + "|\\Z)")


@dataclass
class Link:
    line: int
    address: str
    kind: str = ""  # "sheet" (a stylesheet), "base" (<base href>), "load" (fetched with the page), "" (followed)
    column: int = 1


def tags(text, ids):
    """(name, attributes, where it begins, the text of a raw text element up
    to its end tag or None, where it ends) of each start tag of text that
    has attributes the check reads (READ) or raw text, as a browser's
    tokenizer reads it; the id of any other, to ids."""
    at = 0
    while True:
        for match in TAG.finditer(text, at):
            href, name = match.group(2, 3)
            if href is not None:
                yield "a", {"href": href}, match.start(1), None, match.end()
                continue
            if name is None:
                continue
            if not match.group(5):
                return  # the text ends inside the tag, which a browser then drops
            name, attributes = name.lower(), {}
            if match.end(4) > match.start(4) and (name in READ or "style" in match.group(4).lower()
                                                  or "id" in match.group(4).lower()):
                for key, double, single, bare in ATTRIBUTE.findall(match.group(4)):
                    key = key.lower()
                    if key not in attributes:
                        value = double or single or bare
                        attributes[key] = html.unescape(value) if "&" in value else value
            if name not in READ and "style" not in attributes:
                if "id" in attributes:
                    ids.append(attributes["id"])
                continue
            if name in RAW:  # its text is no markup: read on after its end tag
                close = None if name == "plaintext" else RAW_END[name].search(text, match.end())
                at = close.start() if close else len(text)
                yield name, attributes, match.start(1), text[match.end():at], match.end()
                break
            if attributes:
                yield name, attributes, match.start(1), None, match.end()
        else:
            return


# Where an attribute's value begins in its tag: found only for the few that
# link, once a link is made of them.
VALUE_OF = {}


def value_at(text, key, start, end):
    """Where the value of the attribute key of the tag text[start:end] begins
    (the attribute's own place where it has none)."""
    pattern = VALUE_OF.get(key)
    if pattern is None:
        pattern = VALUE_OF[key] = re.compile(r"[\t\n\x0c\r /]%s(?:[\t\n\x0c\r ]*=[\t\n\x0c\r ]*[\"']?)?"
                                             % re.escape(key), re.I)
    found = pattern.search(text, start, end)
    return found.end() if found else start


def refresh(content):
    """The address a <meta http-equiv="refresh"> forwards to, by the HTML
    standard's reading of its content; None when it forwards nowhere else."""
    match = re.match(r"[\t\n\x0c\r ]*[0-9]*(\.[0-9.]*)?", content)
    if not match.group(0).strip(SPACE) and not match.group(1):
        return None
    rest = content[match.end():].lstrip(SPACE)
    if rest[:1] in (";", ","):
        rest = rest[1:].lstrip(SPACE)
    if not rest:
        return None
    named = re.match(r"url[\t\n\x0c\r ]*=[\t\n\x0c\r ]*", rest, re.I)
    if named:
        rest = rest[named.end():]
    if rest[:1] in ("'", '"'):
        close = rest.find(rest[0], 1)
        rest = rest[1:close] if close > 0 else rest[1:]
    return rest


def srcset(value):
    """The addresses of a srcset's candidates, as the HTML standard parses
    it: each up to a blank, then its descriptors (a width, a density or a
    height) up to a comma; a candidate whose descriptors are not such is
    dropped, as browsers do."""
    found, at = [], 0
    while True:
        at += len(re.match(r"[\t\n\x0c\r ,]*", value[at:]).group(0))
        if at >= len(value):
            return found
        url = re.match(r"[^\t\n\x0c\r ]*", value[at:]).group(0)
        at += len(url)
        descriptors = ""
        if url.endswith(","):
            url = url.rstrip(",")
        else:
            rest = re.match(r"[^,(]*(?:\([^)]*\)[^,(]*)*", value[at:]).group(0)
            descriptors, at = rest, at + len(rest)
        if all(re.fullmatch(r"\d+[wh]|[0-9.e+-]+x", d) for d in descriptors.split()):
            found.append(url)


class Places:
    """Where each attribute's value of one tag begins, found when asked."""

    def __init__(self, text, start, end):
        self.text, self.start, self.end = text, start, end

    def __getitem__(self, key):
        return value_at(self.text, key, self.start, self.end)


class Lines:
    """Line numbers (and columns, from 1) of places in a text."""

    def __init__(self, text):
        self.ends = [m.start() for m in re.finditer("\n", text)]

    def __call__(self, at):
        return bisect.bisect_left(self.ends, at) + 1

    def column(self, at):
        line = bisect.bisect_left(self.ends, at)
        return at - (self.ends[line - 1] + 1 if line else 0) + 1


@dataclass
class Document:
    """What a page holds for the check: its links in the order they come,
    its scripts' code (inline, and the addresses of those it loads), and
    the places a link may lead to in it (every id, and each <a name>), one
    a line, between line breaks."""
    links: list
    scripts: list
    script_files: list
    ids: str = "\n"


def document(text, line_of=None, offset=0, xml=False):
    """The Document of an HTML page or SVG document's text (or, with
    line_of, of a part of one, such as an <iframe srcdoc>, at line offset).
    xml: the text is read as XML (XHTML, SVG), where a <style>'s text is
    markup too: its character references and CDATA sections are read."""
    line_of = line_of or Lines(text)
    found, scripts, script_files, based, ids = [], [], [], False, [""]

    def link(at, address, kind=""):
        return Link(line_of(at) + offset, address, kind, line_of.column(at))

    for name, given, at, raw, end in tags(text, ids):
        if "id" in given:
            ids.append(given["id"])
        if name == "a" and "name" in given:
            ids.append(given["name"])
        places = Places(text, at, end)
        if name == "base":
            if given.get("href") is not None and not based:
                based = True
                found.append(link(places["href"], given["href"], "base"))
            continue
        if name == "meta":
            if given.get("http-equiv", "").strip(SPACE).lower() == "refresh" and given.get("content"):
                address = refresh(given["content"])
                if address is not None:
                    found.append(link(places["content"], address))
            continue
        if name == "link":
            rels = set(given.get("rel", "").lower().split())
            if given.get("href") is not None and rels & FETCHED_RELS:
                found.append(link(places["href"], given["href"], "sheet" if "stylesheet" in rels else "load"))
            continue
        for key, value in given.items():
            if key in LINKING and name in LINKING[key] and not (key == "src" and name == "input" and
                                                                  given.get("type", "").lower() != "image"):
                loads = "" if (key, name) in FOLLOWED or (key, None) in FOLLOWED else "load"
                if key == "srcset":
                    found += [link(places[key], url, loads) for url in srcset(value)]
                else:
                    found.append(link(places[key], value, loads))
            elif key == "style":
                # Where in the value, as far as its text is as written (no references in it).
                found += [link(places[key] + (where if "&" not in value else 0), url, "load") for where, url, _ in
                          css_links(value)]
            elif key == "srcdoc" and name == "iframe":
                inner = document(value, Lines(value), line_of(places[key]) + offset - 1)
                found += inner.links
                scripts += inner.scripts
        if name == "style" and raw:
            start = text.index(">", at) + 1
            if xml:
                raw = "".join(html.unescape(part) if n % 2 == 0 else part for n, part in
                              enumerate(re.split(r"<!\[CDATA\[(.*?)\]\]>", raw, flags=re.S)))
            found += [link(start + where, url, "sheet" if imported else "load") for where, url, imported in
                      css_links(raw)]
        if name == "script":
            if given.get("src"):
                script_files.append(given["src"])
            elif raw and raw.strip():
                scripts.append((line_of(at) + offset, raw))
    return Document(found, scripts, script_files, "\n".join(i.replace("\n", " ") for i in ids) + "\n")
