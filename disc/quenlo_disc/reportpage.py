"""The report to send: one self-contained HTML page made from a command's
JSON document, for a reader who is no developer. It opens offline in any
browser and prints: no script, nothing fetched from anywhere, the pictures
inside it as data: addresses. Everything in it that came from a medium or a
disc is escaped."""
import base64
import datetime
import html
import os

from . import VERSION
from .boxfiles import read, write_atomically
from .codes import CODES

EXCERPT = 160  # characters of a source line shown
LARGEST_PICTURE = 8 << 20
PNG = b"\x89PNG\r\n\x1a\n"
STYLE = """
body { font: 15px/1.45 sans-serif; color: #1c1c1c; max-width: 62em; margin: 2em auto; padding: 0 1em; }
h1 { font-size: 1.6em; margin-bottom: .2em; } h2 { margin-top: 1.6em; border-bottom: 1px solid #ccc; }
.verdict { font-size: 1.2em; padding: .6em .9em; border-radius: 4px; }
.good { background: #e3f4e3; border-left: 6px solid #2e8b2e; }
.bad { background: #fbe5e5; border-left: 6px solid #c0392b; }
table { border-collapse: collapse; } td, th { text-align: left; vertical-align: top; padding: .25em .8em .25em 0; }
.code { color: #666; font-family: monospace; font-size: .9em; } pre { background: #f4f4f4; padding: .3em .5em;
white-space: pre-wrap; word-break: break-all; margin: .2em 0 .6em; } li { margin-bottom: .5em; }
img { max-width: 100%; border: 1px solid #bbb; } .pcs img { max-width: 24em; } .small { color: #666; font-size: .9em; }
@media print { body { margin: 0; max-width: none; } .pcs img { max-width: 16em; } section { break-inside: avoid; } }
"""


def e(text):
    return html.escape(str(text), quote=True)


def excerpt(source, place):
    """The line a place is on, as written in the medium's file (a part of a
    long one), or None."""
    if not (source and place.get("file") and place.get("line")):
        return None
    path = os.path.join(source, *place["file"].split("/"))
    lines = read(path, "utf-8", 4 << 20, top=None, follow=True).splitlines()
    if not 0 < place["line"] <= len(lines):
        return None
    line, column = lines[place["line"] - 1], max((place.get("column") or 1) - 1, 0)
    start = max(0, min(column - EXCERPT // 3, len(line) - EXCERPT))
    return (("..." if start else "") + line[start:start + EXCERPT].strip()
            + ("..." if start + EXCERPT < len(line) else ""))


def where(place):
    at = place.get("file") or "the medium as a whole"
    if place.get("line"):
        at += ", line %d" % place["line"]
        if place.get("column"):
            at += ", column %d" % place["column"]
    return at


def findings_part(doc, severity, title, intro):
    found = [f for f in doc.get("findings", []) if f["severity"] == severity]
    if not found:
        return []
    out = ["<h2>%s (%d)</h2>" % (e(title), len(found)), "<p>%s</p>" % e(intro)]
    groups = {}
    for finding in found:
        groups.setdefault(finding["code"], []).append(finding)
    source = doc.get("source")
    for code, members in groups.items():
        known = CODES.get(code)
        out.append("<section><h3>%s <span class=\"code\">(%s)</span></h3>"
                   % (e(known.summary if known else code), e(code)))
        if known:
            out.append("<p><b>What to do:</b> %s</p>" % e(known.mend))
        out.append("<ul>")
        for finding in members:
            places = finding.get("places") or [finding]
            item = ["<li><b>%s</b>" % e(where(finding))]
            if finding.get("link"):
                item.append(" &mdash; the link <code>%s</code>" % e(finding["link"]))
            item.append("<br>%s" % e(finding["message"]))
            shown = excerpt(source, finding)
            if shown:
                item.append("<pre>%s</pre>" % e(shown))
            if finding.get("fix"):
                fix = finding["fix"]
                item.append("<div class=\"small\"><code>quenlo-disc fix%s</code> mends this: %s</div>" % (
                    "" if fix["safety"] == "safe" else " --unsafe", e(fix["says"])))
            if len(places) > 1:
                item.append("<div class=\"small\">Also at: %s%s</div>" % (
                    "; ".join(e(where(p)) for p in places[1:21]), " and %d more" % (len(places) - 21)
                    if len(places) > 21 else ""))
            out.append("".join(item) + "</li>")
        out.append("</ul></section>")
    return out


def picture(path, alt):
    """An <img> holding the PNG at path, or words where there is none."""
    data = read(path, None, LARGEST_PICTURE, follow=False) if path else b""
    if not data.startswith(PNG):
        return "<span class=\"small\">(no picture)</span>"
    return "<img alt=\"%s\" src=\"data:image/png;base64,%s\">" % (e(alt), base64.b64encode(data).decode("ascii"))


def verdict(doc):
    """(the verdict in a sentence, whether it is good)."""
    command, said = doc.get("command"), doc.get("verdict")
    problems = doc.get("problems", len([f for f in doc.get("findings", []) if f["severity"] == "error"]))
    if command == "try":
        if said == "shown":
            return "The page was shown: a user's PC opens it from this disc.", True
        if said == "not shown":
            return "The page was not shown on every kind of PC that should show it: see each PC below.", False
        return "The disc could not be tried: see the problem below.", False
    if said == "ready":
        return ("The disc image was made, and the medium is ready." if command == "make" else
                "The medium is ready to be made into a disc."), True
    return ("The medium is not ready: %d problem%s must be mended before it is made into a disc."
            % (problems, "" if problems == 1 else "s")), False


def facts(doc):
    """The medium's facts, as the document gives them."""
    rows = []
    keys, medium = doc.get("keys") or {}, "stick" if doc.get("stick") else "disc"
    signature = doc.get("signature") or {}
    left = ", ".join("%s%s (%s)" % (x["path"], "/" if x.get("folder") else "", x["kind"])
                     for x in doc.get("left_out") or [])
    for label, value in (("Folder", doc.get("source")), ("Disc image", doc.get("image")),
                         ("Windows shows the %s as" % medium, doc.get("shown_label") or keys.get("label")
                          or doc.get("label")),
                         ("Its volume label", doc.get("volume_label")),
                         ("Open line", keys.get("open")),
                         ("Its user double-clicks", doc.get("start") and doc["start"].replace("/", "\\")),
                         ("Signed by", signature.get("signer")),
                         ("Left out", left),
                         ("Size", "%s bytes%s" % ("{:,}".format(doc["size"]), ", which fits a %s" % doc["medium"]
                                                  if doc.get("medium") else "") if doc.get("size") else None),
                         ("Files", doc.get("files")), ("SHA-256 of the image", doc.get("sha256"))):
        if value:
            rows.append("<tr><th>%s</th><td>%s</td></tr>" % (e(label), e(value)))
    return ["<table>"] + rows + ["</table>"] if rows else []


def pcs(doc):
    rows = doc.get("rows") or []
    if not rows:
        return []
    out = ["<h2>What a user meets on each kind of PC</h2>", "<table class=\"pcs\">",
           "<tr><th>PC</th><th>What a user meets</th><th>Picture of the screen</th></tr>"]
    for row in rows:
        out.append("<tr><td>%s</td><td>%s%s</td><td>%s</td></tr>" % (
            e(row.get("pc")), e(row.get("meets")), "<br><b>Not shown, though this PC should show it</b>"
            if row.get("missed") else "", picture(row.get("picture"), "the screen of a PC using %s" % row.get("pc"))))
    out.append("</table>")
    if doc.get("contact_sheet"):
        out += ["<h2>All the screens at once</h2>", picture(doc["contact_sheet"], "the contact sheet")]
    return out


def page(doc):
    """The report's HTML, from a command's JSON document."""
    sentence, good = verdict(doc)
    title = "Quenlo %s: %s" % (doc.get("command", "check"), sentence)
    out = ["<!DOCTYPE html>", "<html lang=\"en\"><head><meta charset=\"utf-8\">",
           "<meta name=\"viewport\" content=\"width=device-width\">", "<title>%s</title>" % e(title),
           "<style>%s</style></head><body>" % STYLE,
           "<h1>Report on a medium for Quenlo</h1>",
           "<p class=\"verdict %s\">%s</p>" % ("good" if good else "bad", e(sentence))]
    out += facts(doc)
    out += findings_part(doc, "error", "Problems", "Each of these keeps a user's PC from showing the medium as "
                         "meant; the medium is not made into a disc until they are mended.")
    out += findings_part(doc, "warning", "Warnings", "These do not stop the disc, but are worth a look.")
    out += pcs(doc)
    out.append("<p class=\"small\">Made by quenlo-disc %s on %s. The codes in brackets are for those who read the "
               "findings by program; they stay the same from release to release.</p></body></html>"
               % (e(VERSION), e(datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"))))
    return "\n".join(out) + "\n"


def write(doc, path):
    write_atomically(path, page(doc).encode("utf-8"))
