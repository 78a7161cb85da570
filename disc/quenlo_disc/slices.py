"""An image the web page is given, read where the browser holds it: the
command's own readers (views.py) on the browser's File, and the tree
Windows shows of it as the runs of the image that hold each file, which the
page's worker mounts as slices of that File, never the image whole. There
is no sandbox in a browser: its worker is the wall, and the readers keep
their own bounds there as in the command's sandbox.
"""
import json
import os

from . import Refusal
from .codepages import WESTERN
from .views import OEM, not_copied, seen, spans


class Imaged:
    """An image's medium as the page mounts it: its name, the view Windows
    reads (views.seen, as the command's sandbox says it), and its tree:
    files, (path, size, where) with where the (start, length) runs of the
    image that hold a file the check reads, else None (its size alone);
    folders, every folder."""

    def __init__(self, name, view, tree):
        self.name, self.view = name, view
        self.files = [(p, size, where) for p, folder, size, where in tree if not folder]
        self.folders = [p for p, folder, _, _ in tree if folder]
        view["files"], view["bytes"] = len(self.files), sum(size for _, size, where in self.files if where)

    def listed(self):
        """[files, folders] as JSON, which the page's JavaScript takes at
        once (a DVD's 20,000 files as Python's objects took it 12 s)."""
        return json.dumps([self.files, self.folders])


class Sliced:
    """An image the browser holds, as the readers read a file: read(start,
    length) gives its bytes from the browser's File. Python's own files in
    the page seek no further than 2 GiB (its offsets are 32-bit there),
    and a DVD's image is more. What was read last is kept a block at a
    time, as the readers read a few bytes at a time (a FAT's entries); a
    small block, as they read a disc's folders a few sectors each, far apart."""
    BLOCK = 1 << 13

    def __init__(self, read, size):
        self.read_at, self.size, self.at, self.kept = read, size, 0, (0, b"")

    def seek(self, offset, whence=os.SEEK_SET):
        self.at = max(0, offset + (0, self.at, self.size)[whence])
        return self.at

    def tell(self):
        return self.at

    def read(self, n=-1):
        n = max(0, min(self.size - self.at if n is None or n < 0 else n, self.size - self.at))
        start, kept = self.kept
        if not start <= self.at <= self.at + n <= start + len(kept):
            start = self.at - self.at % self.BLOCK
            got = self.read_at(start, max(self.at + n - start, self.BLOCK))
            self.kept = start, kept = start, got.to_bytes() if hasattr(got, "to_bytes") else bytes(got)
        data = kept[self.at - start:self.at - start + n]
        self.at += len(data)
        return data

    def close(self):
        self.kept = (0, b"")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def imaged(image, code_page=None):
    """The Imaged medium of the image at image, read as the command reads
    it; a Refusal where the command refuses it."""
    oem = OEM.get(code_page or WESTERN, "cp850")
    try:
        view, reader, entries = seen(image, oem)
        return Imaged(image, view, spans(image, oem, reader, entries))
    except OSError as error:
        raise Refusal(not_copied(error), "image-unsafe") from None
