"""The findings of a check or a mastering as one SARIF 2.1.0 document, which
continuous integration reads (GitHub's code scanning and the other code
hosts): the rules from codes.py, one result per place a finding has, each
located in the medium's folder as the code hosts want it (a relative path,
a line of at least 1)."""
import os
import urllib.parse

from . import HOMEPAGE, VERSION
from .codes import CODES

# Where the medium's folder is, for the results' relative paths.
BASE = "MEDIUM"
# GitHub's limits: results a run, locations a result.
MOST_RESULTS, MOST_LOCATIONS = 25000, 1000
# What a finding that concerns no file of the medium is told at: the
# medium's own declaration.
NO_FILE = "autorun.inf"


def rules():
    return [{"id": name, "name": "".join(part.capitalize() for part in name.split("-")),
             "shortDescription": {"text": code.summary}, "fullDescription": {"text": "%s %s" % (code.summary, code.mend)},
             "help": {"text": code.mend}, "defaultConfiguration": {"level": code.severity}}
            for name, code in CODES.items()]


def location(place):
    region = {"startLine": max(place.get("line") or 1, 1)}
    if place.get("column"):
        region["startColumn"] = max(place["column"], 1)
    return {"physicalLocation": {"artifactLocation": {"uri": urllib.parse.quote(place.get("file") or NO_FILE),
                                                      "uriBaseId": BASE},
                                 "region": region}}


def results(findings, index):
    """One result per place of each finding (as report.medium_json has
    them), the first place's with the finding's message."""
    found = []
    for finding in findings:
        places = finding.get("places") or [finding]
        for n, place in enumerate(places[:MOST_LOCATIONS]):
            text = finding["message"] if n == 0 else "%s (%s, the link \"%s\", is another place of it)" % (
                finding["message"], place.get("file"), place.get("link"))
            result = {"ruleId": finding["code"], "ruleIndex": index[finding["code"]],
                      "level": "warning" if finding["severity"] == "warning" else "error",
                      "message": {"text": text}, "locations": [location(place)]}
            mended = fix(finding["fix"]) if n == 0 and finding.get("fix") else None
            if mended:
                result["fixes"] = [mended]
            found.append(result)
    return found[:MOST_RESULTS]


def artifact(path):
    return {"uri": urllib.parse.quote(path), "uriBaseId": BASE}


def fix(mend):
    """A finding's mend (mends.Mend's dict) as SARIF's fix: its edits as
    replacements, by line and column; a new file as text put into it. What
    SARIF cannot say (a rename) is in the fix's description, which quenlo-disc
    fix makes whole; None for a mend that is a rename alone."""
    changes = {}
    for change in mend["changes"]:
        if change["kind"] == "edit":
            region = {"startLine": change["line"], "startColumn": change["column"], "endLine": change["end_line"],
                      "endColumn": change["end_column"]}
            changes.setdefault(change["path"], []).append({"deletedRegion": region,
                                                           "insertedContent": {"text": change["new"]}})
        elif change["kind"] == "create":
            changes.setdefault(change["path"], []).append({"deletedRegion": {"charOffset": 0, "charLength": 0},
                                                           "insertedContent": {"text": change["text"]}})
    renames = ["%s is renamed %s" % (c["path"], c["to"]) for c in mend["changes"] if c["kind"] == "rename"]
    if not changes:  # a rename alone, which SARIF has no change for
        return None
    return {"description": {"text": "%s (%s mend%s; quenlo-disc fix makes it)" % (
                mend["says"], mend["safety"], "; " + "; ".join(renames) if renames else "")},
            "artifactChanges": [{"artifactLocation": artifact(path), "replacements": replaced}
                                for path, replaced in changes.items()]}


def document(doc):
    """The SARIF document of a command's JSON document doc."""
    index = {name: n for n, name in enumerate(CODES)}
    source = doc.get("source") or os.getcwd()
    run = {"tool": {"driver": {"name": "quenlo-disc", "version": VERSION, "informationUri": HOMEPAGE,
                               "rules": rules()}},
           "originalUriBaseIds": {BASE: {"uri": "file://" + urllib.parse.quote(os.path.abspath(source).rstrip("/"))
                                         + "/"}},
           "columnKind": "unicodeCodePoints",  # as the findings count a line's letters
           "results": results(doc.get("findings", []), index)}
    return {"$schema": "https://json.schemastore.org/sarif-2.1.0.json", "version": "2.1.0", "runs": [run]}
