"""The links of an HTML page or an SVG document, as a browser's tokenizer
finds them: start tags and their attributes (the first of two of one name
counts, character references decoded), comments and the raw text of
<script>, <style> and the like skipped, except what a browser reads from
them (a <style>'s stylesheet). Written for speed: a site of tens of
thousands of pages is read in seconds.

Which attributes link, as a browser fetches or follows them: an element's
href and src, and the few others below; <link> by its rel (a stylesheet,
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

# The attributes that name another file, by element (None: any); srcset
# holds a list.
LINKING = {"href": None, "src": None, "poster": {"video"}, "data": {"object"}, "background": None,
           "srcset": {"img", "source"}, "longdesc": {"img", "frame", "iframe"}, "action": {"form"},
           "formaction": {"button", "input"}, "xlink:href": None}
# What a <link> makes a browser fetch; any other rel is a word about the
# page (canonical, alternate, author, next, preconnect, ...), never fetched.
FETCHED_RELS = {"stylesheet", "icon", "apple-touch-icon", "preload", "modulepreload", "prefetch", "manifest",
                "mask-icon"}
# Elements whose content is text to their end tag, not markup.
RAW = {"script", "style", "xmp", "iframe", "noembed", "noframes", "noscript", "textarea", "title", "plaintext"}
SPACE = "\t\n\x0c\r "
COMMENT_END = re.compile("--!?>")
TAG = re.compile(r"<(?:(!--)|(!)|(\?)|/([A-Za-z][^\t\n\x0c\r />]*)|/|([A-Za-z][^\t\n\x0c\r />]*))")
ATTRIBUTE = re.compile(r"[\t\n\x0c\r /]*(?:(>)|([^\t\n\x0c\r />][^\t\n\x0c\r /=>]*)"
                       r"(?:[\t\n\x0c\r ]*=[\t\n\x0c\r ]*(?:\"([^\"]*)\"|'([^']*)'|([^\t\n\x0c\r >]*)))?)")


@dataclass
class Link:
    line: int
    address: str
    kind: str = ""  # "sheet" (a stylesheet), "base" (<base href>), or "" for any other


@dataclass
class Tag:
    name: str
    attributes: dict
    at: int
    text: str = None  # of a raw text element: up to its end tag


def tags(text):
    """Each start tag of text, as a browser's tokenizer reads it."""
    at, end = 0, len(text)
    while True:
        at = text.find("<", at)
        if at < 0 or at + 1 >= end:
            return
        match = TAG.match(text, at)
        if not match:
            at += 1
            continue
        comment, bang, question, closing, opening = match.groups()
        if comment:  # to "-->" or "--!>"; "<!-->" and "<!--->" end at once
            start = match.end()
            if text.startswith(">", start) or text.startswith("->", start):
                at = text.find(">", start) + 1
            else:
                close = COMMENT_END.search(text, start)
                at = end if close is None else close.end()
            continue
        if bang or question or closing is not None or not opening:
            close = text.find(">", match.end())
            at = end if close < 0 else close + 1
            continue
        name, at, attributes = opening.lower(), match.end(), {}
        while True:
            found = ATTRIBUTE.match(text, at)
            if not found or found.end() == at and not found.group(1):
                return  # the text ends inside the tag, which a browser then drops
            at = found.end()
            if found.group(1):
                break
            key = found.group(2).lower()
            value = next((v for v in found.group(3, 4, 5) if v is not None), "")
            if key not in attributes:
                attributes[key] = html.unescape(value) if "&" in value else value
        tag = Tag(name, attributes, match.start())
        if name in RAW:
            if name == "plaintext":
                tag.text, at = text[at:], end
            else:
                close = re.compile(r"</%s[\t\n\x0c\r />]" % name, re.I).search(text, at)
                tag.text, at = text[at:close.start() if close else end], close.start() if close else end
        yield tag


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


class Lines:
    """Line numbers of places in a text."""

    def __init__(self, text):
        self.ends = [m.start() for m in re.finditer("\n", text)]

    def __call__(self, at):
        return bisect.bisect_left(self.ends, at) + 1


@dataclass
class Document:
    """What a page holds for the check: its links in the order they come,
    and its scripts' code (inline, and the addresses of those it loads)."""
    links: list
    scripts: list
    script_files: list


def document(text, line_of=None, offset=0):
    """The Document of an HTML page or SVG document's text (or, with
    line_of, of a part of one, such as an <iframe srcdoc>, at line offset)."""
    line_of = line_of or Lines(text)
    found, scripts, script_files, based = [], [], [], False
    for tag in tags(text):
        line, given = line_of(tag.at) + offset, tag.attributes
        if tag.name == "base":
            if given.get("href") is not None and not based:
                based = True
                found.append(Link(line, given["href"], "base"))
            continue
        if tag.name == "meta":
            if given.get("http-equiv", "").strip(SPACE).lower() == "refresh" and given.get("content"):
                address = refresh(given["content"])
                if address is not None:
                    found.append(Link(line, address))
            continue
        if tag.name == "link":
            rels = set(given.get("rel", "").lower().split())
            if given.get("href") is not None and rels & FETCHED_RELS:
                found.append(Link(line, given["href"], "sheet" if "stylesheet" in rels else ""))
            continue
        for name, value in given.items():
            if name in LINKING and (LINKING[name] is None or tag.name in LINKING[name]):
                if name == "srcset":
                    found += [Link(line, url) for url in srcset(value)]
                elif not (tag.name == "a" and name == "src"):
                    found.append(Link(line, value))
            elif name == "style":
                found += [Link(line, url) for _, url, _ in css_links(value)]
            elif name == "srcdoc" and tag.name == "iframe":
                inner = document(value, Lines(value), line - 1)
                found += inner.links
                scripts += inner.scripts
        if tag.name == "style" and tag.text:
            found += [Link(line + n - 1, url, "sheet" if imported else "") for n, url, imported in css_links(tag.text)]
        if tag.name == "script":
            if given.get("src"):
                script_files.append(given["src"])
            elif tag.text and tag.text.strip():
                scripts.append((line, tag.text))
    return Document(found, scripts, script_files)
