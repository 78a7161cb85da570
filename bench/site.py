#!/usr/bin/env python3
"""A generated site for measuring the check: PAGES pages in folders of a
hundred, each with about 24 links to other pages and two images, and one
stylesheet for all (or, with --sheets, one per page), as real documentation
sites are.

  bench/site.py FOLDER PAGES [--sheets]
"""
import argparse
import os
import random

BODY = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Page %(n)d</title>
<link rel="stylesheet" href="%(sheet)s"><link rel="canonical" href="https://example.com/p%(n)d.html">
</head><body><div class="nav"><a href="../index.html">Contents</a> | <a href="%(prev)s">Previous</a> |
<a href="%(next)s">Next</a></div><h1>Section %(n)d</h1>
<p>Some text about the topic of this page, with <em>emphasis</em> and <code>code</code>.</p>
<img src="../images/figure%(a)d.png" alt="figure"><img src="../images/figure%(b)d.png" alt="figure">
<ul>%(links)s</ul><p>See also <a href="https://example.com/">the web site</a>.</p></body></html>
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("pages", type=int)
    parser.add_argument("--sheets", action="store_true")
    a = parser.parse_args()
    rng = random.Random(5)
    os.makedirs(os.path.join(a.folder, "images"), exist_ok=True)
    for n in range(20):
        with open(os.path.join(a.folder, "images", "figure%d.png" % n), "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + bytes(200))
    with open(os.path.join(a.folder, "site.css"), "w") as f:
        f.write("body { background: url(images/figure0.png) } h1 { color: #222 }\n")
    with open(os.path.join(a.folder, "index.html"), "w") as f:
        f.write("<!DOCTYPE html><title>Contents</title>" + "".join(
            '<a href="part%d/page%d.html">%d</a>\n' % (n // 100, n, n) for n in range(a.pages)))
    with open(os.path.join(a.folder, "autorun.inf"), "w", newline="") as f:
        f.write("[autorun]\r\nopen=quenlo.exe index.html\r\nlabel=Generated site\r\n")

    def page(n):
        return "../part%d/page%d.html" % (n // 100, n)

    for n in range(a.pages):
        folder = os.path.join(a.folder, "part%d" % (n // 100))
        os.makedirs(folder, exist_ok=True)
        sheet = "../site.css"
        if a.sheets:
            sheet = "page%d.css" % n
            with open(os.path.join(folder, sheet), "w") as f:
                f.write("@import url(../site.css);\nh1 { background: url(../images/figure%d.png) }\n" % (n % 20))
        links = "".join('<li><a href="%s">Topic %d</a></li>' % (page(m), m)
                        for m in (rng.randrange(a.pages) for _ in range(20)))
        with open(os.path.join(folder, "page%d.html" % n), "w") as f:
            f.write(BODY % {"n": n, "sheet": sheet, "prev": page(max(n - 1, 0)), "next": page(min(n + 1, a.pages - 1)),
                            "a": n % 20, "b": (n + 7) % 20, "links": links})


if __name__ == "__main__":
    main()
