"""What pages held when a check last read them (their links, scripts and places, as
markup.document finds them), kept between checks: make after a check, or a
check after a small change, reads every page's bytes again but takes apart
only those that changed, which is most of a large site's check.

Kept by the bytes themselves (a digest), with the encoding they were read in
and how; one file a medium, the few newest kept. A cache and no more:
whatever cannot be read or written there is read afresh, silently.
"""
import array
import hashlib
import marshal
import os

from . import VERSION
from .boxfiles import replacing
from . import css, markup
from .markup import Document, Link, document
from .tools import cache

KEPT = 16  # media whose documents are kept
FORMAT = 3


def reader():
    """What made the documents: this format, the tools' version, and the code
    that reads pages (which changes between versions while it is worked on)."""
    code = hashlib.sha256()
    for module in (markup, css):
        with open(module.__file__, "rb") as f:
            code.update(f.read())
    return FORMAT, VERSION, code.hexdigest()


class Documents:
    """The documents of one medium's pages: those kept from its last check
    (known), and those of this one (taken), to keep for the next."""

    def __init__(self, source):
        name = hashlib.sha256(os.path.abspath(source).encode("utf-8", "surrogateescape")).hexdigest()[:32]
        self.path = os.path.join(cache(), "documents", name)
        self.made_by = reader()
        self.known, self.taken = load(self.path, self.made_by), {}

    def document(self, data, encoding, text, xml=False):
        """(key, frozen or None where it was kept, the Document of text): as
        kept where it was, else read now."""
        key = hashlib.blake2b(data, digest_size=20).digest() + (b"x" if xml else b"h") + encoding.encode("ascii")
        frozen = self.known.get(key)
        if frozen is not None:
            try:
                return key, None, thawed(frozen)
            except (TypeError, ValueError):
                pass  # not what this version keeps: read afresh
        found = document(text, xml=xml)
        return key, frozen_of(found), found

    def take(self, key, frozen):
        """Keeps a page's document, frozen (None: the one kept before)."""
        self.taken[key] = self.known[key] if frozen is None else frozen

    def keep(self):
        """Keeps this check's documents for the next, where they differ from what was kept."""
        if self.taken.keys() == self.known.keys():
            return
        try:
            os.makedirs(os.path.dirname(self.path), exist_ok=True)
            with replacing(self.path) as partial, open(partial, "wb") as f:
                marshal.dump((self.made_by, self.taken), f)
            kept = sorted((e.stat().st_mtime, e.path) for e in os.scandir(os.path.dirname(self.path))
                          if not e.name.startswith("."))  # another check's, still being written
            for _, old in kept[:-KEPT]:
                os.remove(old)
        except OSError:
            pass


def load(path, made_by):
    try:
        with open(path, "rb") as f:
            by, known = marshal.load(f)
        return known if by == made_by and isinstance(known, dict) else {}
    except (OSError, EOFError, ValueError, TypeError):
        return {}


# A document kept as few objects as can hold it (loading a large site's
# documents costs as many objects as they are kept in): its links' addresses
# and kinds as one text each, their lines, columns and lengths as numbers.
def frozen_of(found):
    links = found.links
    numbers = array.array("q", [n for k in links for n in (k.line, k.column, len(k.address), len(k.kind))])
    return ("".join(k.address for k in links), "".join(k.kind for k in links), numbers.tobytes(),
            tuple(found.scripts), tuple(found.script_files), found.ids)


def thawed(frozen):
    addresses, kinds, packed, scripts, files, ids = frozen
    numbers, links, at, kind_at = array.array("q"), [], 0, 0
    numbers.frombytes(packed)
    for n in range(0, len(numbers), 4):
        line, column, length, kind_length = numbers[n:n + 4]
        links.append(Link(line, addresses[at:at + length], kinds[kind_at:kind_at + kind_length], column))
        at, kind_at = at + length, kind_at + kind_length
    if at != len(addresses) or kind_at != len(kinds):
        raise ValueError("a kept document that does not add up")
    return Document(links, [tuple(s) for s in scripts], list(files), ids)
