"""Pictures of a session's virtual screen, taken in its sandbox and brought
out as bytes, and the contact sheet of a matrix's pictures."""
import os

from .boxfiles import write_atomically

# What a browser window at the top left shows below its bars.
PAGE_AREA = "1024x640+0+128"
LARGEST_PICTURE = 16 << 20
PNG = b"\x89PNG\r\n\x1a\n"
STEP = 30  # seconds a picture may take; a display that takes longer has stopped


def bring_out(session, made, path):
    """The PNG the sandbox made at made, as path on this side; False when
    there is none (or anything else in its place)."""
    return kept(session.fetch(made, LARGEST_PICTURE), path)


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


def contact_sheet(session, cells, sheet):
    """A contact sheet at sheet of (label, picture or None) cells, three a
    row: made in the sandbox, which took the pictures."""
    folder = session.folder("sheet-")
    command = ["montage", "-background", "#e8e8e8", "-fill", "black", "-pointsize", "13"]
    try:
        for n, (label, shot) in enumerate(cells):
            copy = None
            if shot and os.path.exists(shot):
                copy = os.path.join(folder, "%d.png" % n)
                with open(shot, "rb") as f:
                    session.put(copy, f.read())
            command += ["-label", label, copy or "xc:white"]
    except OSError:  # something of the disc's in the way
        return False
    made = os.path.join(folder, "sheet.png")
    session.run(command + ["-tile", "3x", "-geometry", "320x240+6+6", made], timeout=120)
    return bring_out(session, made, sheet)
