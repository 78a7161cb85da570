"""A medium's file as bytes and as the text a browser (or Windows, for
autorun.inf) reads in them, so that a mend is placed by line and column,
as the check tells where things are, and made in bytes: nothing outside it
changes, not a line ending, not a letter of a code page's."""
import bisect
import hashlib
import re
from dataclasses import dataclass

from .autorun import split_open_line
from .boxfiles import LARGEST_READ, read
from .charsets import ENCODINGS, bom, decode
from .codepages import WESTERN
from .names import upper

HEAD = re.compile(rb"<head(?:[\t\n\f\r /][^>]*)?>", re.I)
DOCUMENT = re.compile(rb"(?:\xef\xbb\xbf)?\s*(?:<!--.*?-->\s*)*<!doctype[^>]*>", re.I | re.S)
HTML = re.compile(rb"<html(?:[\t\n\f\r /][^>]*)?>", re.I)


@dataclass(frozen=True)
class Edit:
    """The text old of a file, from line and column (from 1, in letters) to
    end_line and end_column, made new; start and end are its bytes."""
    path: str
    start: int
    end: int
    new_bytes: bytes
    old: str
    new: str
    line: int
    column: int
    end_line: int
    end_column: int
    encoding: str = "utf-8"  # Python's codec the file is read in, and its new bytes'
    was: str = None  # the codec it was read in, where the mend saves it in another
    target: str = None  # the disc path a link written anew leads to
    digest: str = None  # SHA-256 of the file as the mend read it

    def as_dict(self):
        return {"kind": "edit", "path": self.path, "line": self.line, "column": self.column,
                "end_line": self.end_line, "end_column": self.end_column, "old": self.old, "new": self.new,
                **({"target": self.target} if self.target else {})}


class Unmendable(Exception):
    """Why a finding that has a mend gets none here."""


class Unplaced(Exception):
    """An edit whose letters are not where its bytes would be: text read
    with replacement characters before it, say."""


class Text:
    """rel: the disc path; data: its bytes; skip: the bytes of a byte-order
    mark the text leaves out; read: how bytes are read as letters; codec:
    Python's, to write letters with; single: one byte a letter, as a code
    page has it."""

    def __init__(self, rel, data, skip, read, codec, single=False):
        self.rel, self.data, self.skip, self.read, self.codec, self.single = rel, data, skip, read, codec, single
        self.text, self.digest = read(data[skip:]), hashlib.sha256(data).hexdigest()
        self.starts = [0] + [m.end() for m in re.finditer("\n", self.text)]
        self.known = []  # (letter, byte) where a letter is known to begin

    def offset(self, line, column):
        """The letter at line and column (from 1), or None where there is none."""
        if not line or line > len(self.starts):
            return None
        at = self.starts[line - 1] + (column or 1) - 1
        return at if at <= len(self.text) else None

    def where(self, at):
        line = bisect.bisect_right(self.starts, at)
        return line, at - self.starts[line - 1] + 1

    def byte(self, at):
        """The byte where letter at begins, reckoned from the nearest place
        known to begin a letter (each found is known then), and checked: the
        bytes between read as the letters between."""
        if self.single:
            return self.skip + at
        n = bisect.bisect_right(self.known, (at, float("inf"))) - 1
        letter, byte = self.known[n] if n >= 0 else (0, self.skip)
        try:
            found = byte + len(self.text[letter:at].encode(self.codec, "surrogateescape"))
        except UnicodeEncodeError:
            raise Unplaced() from None
        if self.read(self.data[byte:found]) != self.text[letter:at]:
            raise Unplaced()
        bisect.insort(self.known, (at, found))
        return found

    def edit(self, start, end, new, target=None):
        """The Edit making the letters start:end new (a link to target)."""
        try:
            first, last = self.byte(start), self.byte(end)
            written = new.encode(self.codec, "surrogateescape")
        except (Unplaced, UnicodeEncodeError):
            raise Unmendable("%s: its text is not where its bytes are, so the mend is not made" % self.rel) from None
        line, column = self.where(start)
        end_line, end_column = self.where(end)
        return Edit(self.rel, first, last, written, self.text[start:end], new, line, column, end_line, end_column,
                    self.codec, None, target, self.digest)

    def whole(self, data, codec, was):
        """The Edit that saves the whole file, whose bytes are in the codec
        was, in codec instead (data: as it is now): made after the file's
        other edits, on what they made."""
        line, column = self.where(len(self.text))
        return Edit(self.rel, 0, len(self.data), data, self.text, data.decode(codec, "replace"), 1, 1, line, column,
                    codec, was, None, self.digest)

    def declare(self, name):
        """The Edit that declares the encoding name first in the page's head."""
        found = HEAD.search(self.data[:4096]) or HTML.search(self.data[:4096]) or DOCUMENT.match(self.data)
        return self.inserted(found.end() if found else self.skip, '<meta charset="%s">' % name.lower())

    def inserted(self, byte, new):
        text_at = len(self.read(self.data[self.skip:byte]))
        line, column = self.where(text_at)
        return Edit(self.rel, byte, byte, new.encode(self.codec, "surrogateescape"), "", new, line, column, line,
                    column, self.codec, None, None, self.digest)

    # autorun.inf's lines.
    def ending(self):
        return "\r\n" if "\r\n" in self.text or "\n" not in self.text else "\n"

    def section(self):
        return self.edit(0, 0, "[autorun]" + self.ending())

    def page_of_line(self, line):
        """(start, end, page) of the page a key's line gives Quenlo, or None."""
        at = self.offset(line, 1)
        if at is None:
            return None
        end = self.text.find("\n", at)
        whole = self.text[at:end if end >= 0 else len(self.text)].rstrip("\r")
        equals = whole.find("=")
        if equals < 0:
            return None
        value = whole[equals + 1:].strip(" \t")
        begins = at + equals + 1 + (len(whole[equals + 1:]) - len(whole[equals + 1:].lstrip(" \t")))
        program, page = split_open_line(value)
        if not page or not value.endswith(page):
            return None
        start = begins + len(value) - len(page)
        return start, start + len(page), page

    def renamed_pages(self, old, new):
        """The Edits of the keys' pages and icon that name old, to name new."""
        edits = []
        for n in range(1, len(self.starts) + 1):
            found = self.page_of_line(n)
            line = self.text[self.starts[n - 1]:].split("\n", 1)[0]
            key = line.split("=", 1)[0].strip(" \t").lower()
            if key == "icon":
                value = line.split("=", 1)[1].strip(" \t\r") if "=" in line else ""
                start = self.starts[n - 1] + line.find(value) if value else None
                found = (start, start + len(value.split(",")[0].rstrip(" \t")), value.split(",")[0].rstrip(" \t")) \
                    if value else None
            if not found:
                continue
            start, end, page = found
            parts = page.replace("/", "\\").split("\\")
            wanted = old.split("/")
            if [upper(p) for p in parts[:len(wanted)]] == [upper(p) for p in wanted]:
                written = "\\".join(new.split("/") + parts[len(wanted):])
                edits.append(self.edit(start, end, written))
        return edits


def page_text_of(path, rel, encoding):
    """The Text of a page or stylesheet read in encoding (a browser's name), as the check read it."""
    data = read(path, None, LARGEST_READ, follow=True)
    python = ENCODINGS[encoding][0]
    return Text(rel, data, bom(data)[1], lambda d: decode(d, encoding), python,
                python.startswith("cp125") or python == "cp874")


def autorun_text_of(path, rel, code_page=None):
    """The Text of autorun.inf as Windows reads it: by its byte-order mark, else in the PCs' ANSI code page."""
    data = read(path, None, LARGEST_READ, follow=True)
    mark, skip = bom(data)
    codec = {"UTF-8": "utf-8", "UTF-16LE": "utf-16-le", "UTF-16BE": "utf-16-be"}.get(mark, "cp%d" % (
        code_page or WESTERN))
    return Text(rel, data, skip, lambda d: d.decode(codec, "surrogateescape"), codec)
