"""Pictures of a session's virtual screen, taken in its sandbox and brought
out as bytes, and the contact sheet of a matrix's pictures."""
import os
import shutil
import tempfile

from .boxfiles import write_atomically

# What a browser window at the top left shows below its bars.
PAGE_AREA = "1024x640+0+128"
LARGEST_PICTURE = 16 << 20
PNG = b"\x89PNG\r\n\x1a\n"
STEP = 30  # seconds a picture may take; a display that takes longer has stopped


def kept(data, path):
    """data at path, where it is a PNG; True when it is."""
    if not data.startswith(PNG):
        return False
    write_atomically(path, data)
    return True


def picture(session, path):
    """A PNG of the whole virtual screen at path (on this side). True when
    there is one. It comes straight from the sandbox's first process, never
    through a file the disc's programs could change first."""
    status, data = session.on_display(["import", "-display", session.display, "-window", "root", "png:-"], STEP,
                                      LARGEST_PICTURE)
    return status == 0 and kept(data, path)


def drawn(session, region=PAGE_AREA):
    """True when that region of the screen is not of one colour alone."""
    _, found = session.on_display(["import", "-display", session.display, "-window", "root", "-crop", region,
                                   "+repage", "-format", "%k", "info:"], STEP, 64)
    found = found.decode("ascii", errors="replace").strip()
    return found.isdigit() and int(found) > 1


def contact_sheet(cells, sheet, confinement):
    """A contact sheet at sheet of (label, picture or None) cells, three a
    row: made as the try's confinement runs a command (in a sandbox
    of its own: the pictures are of screens the disc's programs drew on),
    writing only a folder of its own, out of the session's reach."""
    folder = tempfile.mkdtemp(prefix="quenlo-sheet-")
    try:
        command = ["montage", "-background", "#e8e8e8", "-fill", "black", "-pointsize", "13"]
        pictures = [shot for _, shot in cells if shot and os.path.exists(shot)]
        for label, shot in cells:
            command += ["-label", label, shot if shot in pictures else "xc:white"]
        made = os.path.join(folder, "sheet.png")
        command += ["-tile", "3x", "-geometry", "320x240+6+6", made]
        status = confinement.run(command, writable=[folder], readable=pictures, timeout=120)[0]
        try:
            with open(made, "rb") as f:
                return status == 0 and kept(f.read(LARGEST_PICTURE), sheet)
        except OSError:
            return False
    finally:
        shutil.rmtree(folder, ignore_errors=True)
