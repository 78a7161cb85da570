"""The web page's mended medium: the safe mends of the page's last check
(web.last) made as fix --to makes them, by the same code, in a copy of the
medium in the browser's memory, and that copy zipped for the author to
download. Nothing leaves the browser."""
import os
import shutil
import tempfile
import zipfile

from . import web
from .mending import Changes
from .views import READ

MENDED = 512 << 20  # bytes of a medium the page mends: copied, then zipped, in the browser's memory


def mended(into, given=None):
    """The last check's medium with its safe mends made, zipped at into as
    a folder of its name (its empty folders too): {"name": the zip's name},
    or {"refused": why not}. given: the zip the medium came from, unpacked
    whole first (the check unpacked only what it read)."""
    if web.last is None:  # a page whose check was cancelled has a worker of its own, which checked nothing
        return {"refused": "The medium is no longer loaded: check it again, then download its mended copy."}
    source, name, made = web.last
    work = tempfile.mkdtemp()
    try:
        size = (sum(i.file_size for i in zipfile.ZipFile(given).infolist()) if given else
                sum(os.path.getsize(os.path.join(here, f)) for here, _, files in os.walk(source) for f in files))
        if size > MENDED:
            return {"refused": "The medium holds %d MiB, more than this page mends in a browser's memory (%d MiB): "
                               "mend it with quenlo-disc fix --to" % (size >> 20, MENDED >> 20)}
        root = os.path.join(work, "mended", name)
        if given:  # the copy the mends are made in, as fix --to's is made of the folder
            unpacked = web.unzip(given, work, name, whole=True)
            for rel, _, modified, where in unpacked.files:
                os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
                os.rename(where[1], os.path.join(root, rel))
                os.utime(os.path.join(root, rel), (modified, modified))
            for folder in unpacked.folders:
                os.makedirs(os.path.join(root, folder), exist_ok=True)
        else:
            shutil.copytree(source, root, symlinks=True, copy_function=copied)
        Changes(root, made).make()
        zipped(root, into)
        return {"name": name + "-mended.zip"}
    finally:
        shutil.rmtree(work, ignore_errors=True)


def copied(source, dest):
    """source copied to dest with its dates, in runs of 8 MiB: in the page
    each read of a file the author picked is a call into the browser, and
    shutil's runs of 64 KiB made a film's copy take three times as long."""
    with open(source, "rb") as f, open(dest, "wb") as out:
        shutil.copyfileobj(f, out, 8 << 20)
    shutil.copystat(source, dest)


def zipped(root, into):
    """The folder root zipped at into as a folder of its name, as Windows'
    "Send to" zips it, its empty folders too; films and pictures, packed
    already, stored as they are, and the pages and texts deflated."""
    above = os.path.dirname(root)
    with zipfile.ZipFile(into, "w", strict_timestamps=False) as z:
        for here, folders, files in sorted(os.walk(root)):
            if here != root and not folders and not files:
                z.write(here, os.path.relpath(here, above) + "/")
            for f in sorted(files):
                z.write(os.path.join(here, f), os.path.relpath(os.path.join(here, f), above),
                        zipfile.ZIP_DEFLATED if f.lower().endswith(READ) else zipfile.ZIP_STORED)
