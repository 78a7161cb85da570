"""What pages held when a check last read them (their links, scripts and places, as
markup.document finds them), kept between checks: make after a check, or a
check after a small change, reads every page's bytes again but takes apart
only those that changed, which is most of a large site's check.

Kept by the bytes themselves (a digest), with the encoding they were read in
and how; one file a medium, the few newest kept. A cache and no more:
whatever cannot be read or written there is read afresh, silently. A cache
may come from elsewhere (restored in continuous integration from another
build), so each file is sealed with a key of this user's kept outside it,
and each document checked on reading: anything unsealed or out of shape is
read afresh. QUENLO_DISC_NO_CACHE (or --no-cache) keeps none and reads none.
"""
import array
import hashlib
import hmac
import marshal
import os
import stat
import sys
import tempfile

from . import VERSION
from .boxfiles import replacing
from . import css, markup
from .markup import Document, Link, document
from .tools import cache, config

KEPT = 16  # media whose documents are kept
FORMAT = 3
SEAL = 32  # bytes of a file's HMAC-SHA256, before what it seals
KINDS = ("", "sheet", "base", "load")  # a Link's kinds (markup.Link)


def used():
    """Whether documents are kept and read at all: not in the web page,
    whose files last as long as it is open."""
    return os.environ.get("QUENLO_DISC_NO_CACHE", "") in ("", "0") and sys.platform != "emscripten"


def key():
    """This user's key to seal documents with, made once (mode 0600, in the
    tools' settings); None where there is none of this user's alone."""
    path = os.path.join(config(), "cache.key")
    for _ in range(2):
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
        except FileNotFoundError:
            made(path)
            continue
        except OSError:
            return None
        with os.fdopen(fd, "rb") as f:
            status, sealing = os.fstat(f.fileno()), f.read(65)
        mine = stat.S_ISREG(status.st_mode) and status.st_uid == os.geteuid() and not status.st_mode & 0o077
        return sealing if mine and len(sealing) == 32 else None
    return None


def made(path):
    """A new key at path, whole or not at all: the first made is every
    check's, though another check may make one at the same time."""
    try:
        os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
        fd, partial = tempfile.mkstemp(dir=os.path.dirname(path), prefix=".cache.key.")  # mode 0600
    except OSError:
        return
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(os.urandom(32))
        os.link(partial, path)
    except OSError:
        pass
    finally:
        os.remove(partial)


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

    def __init__(self, source, cached=True):
        name = hashlib.sha256(os.path.abspath(source).encode("utf-8", "surrogateescape")).hexdigest()[:32]
        self.path = os.path.join(cache(), "documents", name)
        self.made_by, self.key = reader(), key() if cached and used() else None
        self.known, self.taken = load(self.path, self.made_by, self.key) if self.key else {}, {}

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
        if not self.key or self.taken.keys() == self.known.keys():
            return
        try:
            os.makedirs(os.path.dirname(self.path), exist_ok=True)
            with replacing(self.path) as partial, open(partial, "wb") as f:
                f.write(sealed(self.key, marshal.dumps((self.made_by, self.taken))))
            kept = sorted((e.stat().st_mtime, e.path) for e in os.scandir(os.path.dirname(self.path))
                          if not e.name.startswith("."))  # another check's, still being written
            for _, old in kept[:-KEPT]:
                os.remove(old)
        except OSError:
            pass


def sealed(sealing, payload):
    return hmac.new(sealing, payload, hashlib.sha256).digest() + payload


def load(path, made_by, sealing):
    """The documents kept at path, where this user's key sealed them."""
    try:
        with open(path, "rb") as f:
            data = f.read()
        payload = data[SEAL:]
        if not hmac.compare_digest(sealed(sealing, payload)[:SEAL], data[:SEAL]):
            return {}
        by, known = marshal.loads(payload)
        return known if by == made_by and type(known) is dict else {}
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
    """The Document kept as frozen; a ValueError for anything frozen_of does not make."""
    if type(frozen) is not tuple or [type(f) for f in frozen] != [str, str, bytes, tuple, tuple, str]:
        raise ValueError("a kept document of another shape")
    addresses, kinds, packed, scripts, files, ids = frozen
    if not all(type(s) is tuple and [type(p) for p in s] == [int, str] for s in scripts) or \
            not all(type(f) is str for f in files) or not ids.endswith("\n"):
        raise ValueError("a kept document of another shape")
    numbers, links, at, kind_at = array.array("q"), [], 0, 0
    numbers.frombytes(packed)
    for n in range(0, len(numbers), 4):
        line, column, length, kind_length = numbers[n:n + 4]
        kind = kinds[kind_at:kind_at + kind_length]
        if min(line, column, length, kind_length) < 0 or kind not in KINDS:
            raise ValueError("a kept link out of shape")
        links.append(Link(line, addresses[at:at + length], kind, column))
        at, kind_at = at + length, kind_at + kind_length
    if at != len(addresses) or kind_at != len(kinds):
        raise ValueError("a kept document that does not add up")
    return Document(links, [tuple(s) for s in scripts], list(files), ids)
