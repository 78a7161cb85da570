"""Pictures of a session's virtual screen, taken in its sandbox and copied
out, and the contact sheet of a matrix's pictures."""
import os

from .boxfiles import create, read

# What a browser window at the top left shows below its bars.
PAGE_AREA = "1024x640+0+128"


def copy_out(made, path):
    """The PNG that the sandbox made, copied to path outside it; False when
    there is none."""
    data = read(made, None)
    if not data.startswith(b"\x89PNG"):
        return False
    with open(path, "wb") as f:
        f.write(data)
    return True


def picture(session, path):
    """A PNG of the whole virtual screen at path (outside the session). True
    when there is one."""
    taken = os.path.join(session.folder("shot-"), "screen.png")
    if session.run(["import", "-display", session.display, "-window", "root", taken], timeout=60) != 0:
        return False
    return copy_out(taken, path)


def drawn(session, region=PAGE_AREA):
    """True when that region of the screen is not of one colour alone."""
    folder = session.folder("drawn-")
    session.run(["sh", "-c", 'import -display "$0" -window root -crop "$1" +repage -format "%k" info: >"$2"',
                 session.display, region, os.path.join(folder, "colours")], timeout=60)
    colours = read(os.path.join(folder, "colours")).strip()
    return colours.isdigit() and int(colours) > 1


def contact_sheet(session, cells, sheet):
    """A contact sheet at sheet of (label, picture or None) cells, three a
    row: made in the sandbox, which took the pictures."""
    folder = session.folder("sheet-")
    command = ["montage", "-background", "#e8e8e8", "-fill", "black", "-pointsize", "13"]
    for n, (label, shot) in enumerate(cells):
        copy = None
        if shot and os.path.exists(shot):
            copy = os.path.join(folder, "%d.png" % n)
            with open(shot, "rb") as f:
                create(copy, f.read())
        command += ["-label", label, copy or "xc:white"]
    made = os.path.join(folder, "sheet.png")
    session.run(command + ["-tile", "3x", "-geometry", "320x240+6+6", made], timeout=120)
    return copy_out(made, sheet)
