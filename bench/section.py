#!/usr/bin/env python3
"""Puts the markdown section on standard input into docs/benchmarks.md in
place of the one with the same heading, or at the end: each benchmark script
owns its section and leaves the others' figures as they were measured.

  bench/section.py < SECTION.md
"""
import os
import sys

PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "benchmarks.md")


def sections(text):
    """The text before the first '## ' heading, and each section after it."""
    parts, current = [], []
    for line in text.splitlines(keepends=True):
        if line.startswith("## "):
            parts.append("".join(current))
            current = []
        current.append(line)
    parts.append("".join(current))
    return parts[0], parts[1:]


def main():
    section = sys.stdin.read().rstrip("\n") + "\n"
    heading = section.split("\n", 1)[0]
    try:
        with open(PATH, encoding="utf-8") as f:
            head, rest = sections(f.read())
    except FileNotFoundError:
        head, rest = "# Quenlo benchmarks\n\n", []
    headings = [s.split("\n", 1)[0] for s in rest]
    if heading in headings:
        rest[headings.index(heading)] = section
    else:
        rest.append(section)
    # A blank line between sections, however the last one ended.
    rest = [s.rstrip("\n") + "\n" for s in rest]
    with open(PATH, "w", encoding="utf-8") as f:
        f.write(head + "\n".join(rest))


if __name__ == "__main__":
    main()
