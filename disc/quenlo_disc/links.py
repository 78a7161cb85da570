"""What the check says of a medium's links (pages.py follows them): each
that leads to nothing or off the medium a problem that says how to mend it,
problems of one cause told once with a count, and what no link check can
see (addresses built by scripts, encodings a browser guesses) as warnings."""
import os
import unicodedata
import urllib.parse

from . import Refusal
from .findings import Place
from .names import upper
from .pages import resolve

SHOWN = 5  # of many pages or paths, how many a line names
# The pages a folder's address shows on a web server, and a disc's does not.
FOLDER_PAGES = ("index.html", "index.htm", "default.html", "default.htm")


def some(names):
    """A few of names, and how many more there are."""
    names = list(names)
    return ", ".join(names[:SHOWN]) + (" and %d more" % (len(names) - SHOWN) if len(names) > SHOWN else "")


def place(f):
    """Where a Followed link is written, and the disc path it names."""
    return Place(f.rel, f.line, f.column, f.address, f.target if f.kind not in ("off", "file") or f.target else
                 f.spelled if f.kind == "file" else None)


def placed(links):
    """The where of a Refusal of one cause that links share: the first's own
    place, and every other's."""
    first = place(links[0])
    return dict(line=first.line, column=first.column, link=first.link, target=first.target,
                places=[place(f) for f in links[1:]])


def judge(site, index, found, refused=()):
    """The problems and warnings of a pages.Site's links, among found (a
    check's findings); its links by kind. refused: the disc paths refused
    already (a link out of the folder, say), into which links are told
    once, as one problem."""
    into = {}
    closed = [(upper(p), p) for p in refused]
    normal, missing, folders, off = {}, {}, {}, {}
    for f in site.broken:
        where = '%s, line %d: the link "%s"' % (f.rel, f.line, f.address)
        if f.kind == "folder":
            folders.setdefault(f.target, []).append((where, f))
            continue
        if f.kind == "off":  # one problem a cause: the same address, however many pages have it
            off.setdefault((f.address.strip(), f.target), []).append((where, f))
            continue
        cause = next((p for u, p in closed if upper(f.spelled) == u or upper(f.spelled).startswith(u + "/")), None)
        if cause:
            into.setdefault(cause, []).append(f)
            continue
        missing.setdefault(upper(f.spelled), []).append((where, f))
    for links in missing.values():
        where, f = links[0]
        if not normal:
            normal.update((upper(unicodedata.normalize("NFC", p)), p) for p in index.values())
        found.problem(Refusal("%s leads to nothing on the disc (names match without regard to case): %s%s"
                              % (where, mend(index, normal, f), more_links(links)), "link-missing", f.rel,
                              **placed([f for _, f in links])))
    for links in off.values():
        where, f = links[0]
        found.problem(Refusal("%s leaves the medium (%s): link to the file on the disc relatively, as page.htm or "
                              "../docs/page.htm%s" % (where, f.target, more_links(links)), "link-leaves-medium",
                              f.rel, **placed([f for _, f in links])))
    for folder, links in folders.items():
        where, f = links[0]
        page = next((index[upper(folder + "/" + name if folder else name)] for name in FOLDER_PAGES
                     if upper(folder + "/" + name if folder else name) in index), None)
        found.problem(Refusal(
            "%s leads to the folder %s, and a browser shows a folder opened from a disc as a list of its files "
            '("Index of"), never its page: %s%s' % (where, folder + "/" if folder else "at the disc's root",
                                                    'link its page "%s" instead' % page if page else
                                                    "link a page in it instead", more_links(links)),
            "link-folder", f.rel, **placed([f for _, f in links])))
    for cause, links in sorted(into.items()):
        first = links[0]
        found.problem(Refusal('%d link%s lead%s into %s, which is not on the disc (see its problem): the first, %s, '
                              'line %d: "%s"' % (len(links), "s" if len(links) > 1 else "", "" if len(links) > 1
                                                 else "s", cause, first.rel, first.line, first.address),
                              "link-missing", first.rel, **placed(links)))
    for rel, line, why in site.malformed:
        found.problem(Refusal("%s, line %d: the page is not well-formed XML (%s), and a browser reads an XHTML "
                              "page or SVG document as XML: it shows only what comes before, under an error: "
                              "mend the markup (close every element, as <br/>)" % (rel, line, why),
                              "xml-not-well-formed", rel, line=line))
    for name, rels in sorted(site.undeclared.items()):
        found.warn("page-undeclared", "%s declare%s no encoding, so a browser guesses it from the bytes and "
                   "reads %s as %s: declare the encoding %s saved in, as <meta charset=\"%s\"> first in the "
                   "<head>" % (some(rels), "s" if len(rels) == 1 else "", "it" if len(rels) == 1 else "them",
                               name, "it is" if len(rels) == 1 else "each is", name.lower()), rels[0],
                   line=1, places=[Place(rel, 1) for rel in rels[1:]])
    anchors(site, found)
    for rel, paths in sorted(site.script_paths.items()):
        found.warn("script-path-missing", "%s names %d file%s in its scripts' strings that %s not on the disc "
                   "(as the pages that run them resolve them): %s; a script that builds an address from them "
                   "leads to nothing" % (rel, len(paths), "s" if len(paths) > 1 else "",
                                         "are" if len(paths) > 1 else "is", some(paths)), rel, line=1)
    for rel, said in sorted(site.server_only.items()):
        line, what = said[0]
        others = ["line %d: %s" % pair for pair in said[1:SHOWN]] + (["%d more" % (len(said) - SHOWN)]
                                                                     if len(said) > SHOWN else [])
        found.warn("script-needs-server", "%s, line %d: its script %s%s, which Chromium refuses to a page opened "
                   "from a disc (its origin is \"null\"), so that part of the page does nothing there: put the "
                   "data in the page or in a <script src> file it runs, or leave the feature off the disc"
                   % (rel, line, what, " (and %s)" % "; ".join(others) if others else ""), rel,
                   line=line, places=[Place(rel, n) for n, _ in said[1:]])
    return site.counts


def anchors(site, found):
    """The warnings of links to places that are not in their pages, and of
    what pages load from the web by themselves."""
    missing, scripted = site.anchors.end()
    by_place = {}
    for anchor in missing:
        by_place.setdefault(anchor[:2], []).append(anchor)
    for (page, part), links in by_place.items():
        _, _, rel, line, column, address = links[0]
        found.warn("anchor-missing", '%s, line %d: the link "%s" leads to %s, which has no place "%s" (no element '
                   'of that id, nor an <a name>), so a browser opens the page at its top: correct the part after '
                   '"#" or give the place that id%s' % (rel, line, address, "the page itself" if page == rel else page,
                                                        urllib.parse.unquote(part, errors="replace"),
                                                        more_links([(None, a[2]) for a in links])),
                   rel, line=line, column=column, link=address, target=page,
                   places=[Place(a[2], a[3], a[4], a[5], a[0]) for a in links[1:]])
    if scripted:
        rel, line, column, address = scripted[0][2:]
        pages = sorted({a[0] for a in scripted})
        found.warn("anchor-scripted", '%d link%s lead%s to places that %s lack%s, but %s scripts could make them as '
                   'the page loads, which no check can tell: the first, %s, line %d: "%s"; open them in a browser, '
                   'or give the places their ids in the markup' % (
                       len(scripted), "s" if len(scripted) > 1 else "", "" if len(scripted) > 1 else "s",
                       some(pages), "s" if len(pages) == 1 else "", "its" if len(pages) == 1 else "their", rel, line,
                       address), rel, line=line, column=column, link=address, target=scripted[0][0],
                   places=[Place(a[2], a[3], a[4], a[5], a[0]) for a in scripted[1:]])
    by_address = {}
    for f in site.loads:
        by_address.setdefault(f.address.strip(), []).append(('%s, line %d: "%s"' % (f.rel, f.line, f.address), f))
    for address, links in by_address.items():
        where, f = links[0]
        found.warn("web-load", "%s is loaded from the web by the %s itself: a PC without a connection misses it, "
                   "and one with a connection tells that site of every reader: put the file on the disc and link it "
                   "relatively%s" % (where, "stylesheet" if f.rel.lower().endswith(".css")
                                                          else "page", more_links(links)),
                   f.rel, **placed([f for _, f in links]))


def more_links(links):
    """What a problem of one cause says of the links beyond its first: a
    site's every page may link to one missing file or one folder. links:
    [(where, the Followed link or the file it is in)]."""
    if len(links) < 2:
        return ""
    return "; %d more link%s lead%s to it too, in %s" % (len(links) - 1, "s" if len(links) > 2 else "",
                                                        "" if len(links) > 2 else "s",
                                                        some(dict.fromkeys(getattr(other, "rel", other) for _, other in links[1:])))


def mend(index, normal, f):
    """How to mend a link that leads to nothing: most often, correct it."""
    folder = f.rel.rsplit("/", 1)[0] if "/" in f.rel else ""
    for odd, escape in (("#", "%23"), ("%", "%25")):
        if odd in f.address:
            try:
                kind, target, _, _ = resolve(index, folder, f.address.replace(odd, escape))
            except ValueError:
                kind, target = None, None
            if kind == "file" and target:
                return ('"%s" %s in an address, so the link misses the file "%s", which is there: write "%s" in its '
                        'name as %s, as "%s"' % (odd, "begins a fragment" if odd == "#" else "begins an escape",
                                                 target.rsplit("/", 1)[-1], odd, escape,
                                                 f.address.replace(odd, escape)))
    composed = normal.get(upper(unicodedata.normalize("NFC", "/".join(p.rstrip(". ") for p in f.spelled.split("/")))))
    if composed:
        return ('the file "%s" is there, its name in decomposed form (NFD, as macOS saves names), which Windows takes '
                'for another name than the link\'s: save the name in composed form (NFC), as most systems do'
                % composed)
    packed = next((index[upper(f.spelled) + ending] for ending in (".GZ", ".BZ2", ".XZ", ".ZST")
                   if upper(f.spelled) + ending in index), None)
    if packed:
        # As Debian ships documentation: a browser offers such a file for download, never shows it.
        return ('"%s" is there compressed, which a browser does not open as a page: uncompress it (as gunzip does)'
                % packed)
    if f.climbed:
        return ("it climbs above the disc's root, where a browser stays (D:\\%s), and nothing there has that name: "
                "correct the link or add the file" % f.spelled.replace("/", "\\"))
    if any(ord(c) > 127 for c in f.address) and f.encoding != "UTF-8":
        if f.linked_by:
            return ("the stylesheet says nothing of its encoding, so a browser reads it in that of %s, which links "
                    "it (%s): begin the stylesheet with @charset \"utf-8\"; (or the encoding it is saved in), or "
                    "correct the link" % (f.linked_by, f.encoding))
        if f.how.guessed:
            return ("the page declares no encoding, so a browser reads it as %s: declare the encoding it is saved "
                    "in, as <meta charset=\"utf-8\">, or correct the link" % f.encoding)
        return "read as %s, as %s says: correct the link or add the file" % (f.encoding, f.how.value)
    return "correct the link or add the file"


def there(pages):
    """What the summary says of the links on the disc, given the pages whose
    scripts build addresses: never "all there" when some do."""
    if not pages:
        return "all there"
    return ("all there of those the check can follow, though scripts of %d page%s build more, which no check can "
            "follow (%s)" % (len(pages), "" if len(pages) == 1 else "s", some(os.path.normpath(p) for p in pages)))
