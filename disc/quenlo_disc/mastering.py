"""A checked medium mastered as an ISO 9660 image with Joliet and Rock Ridge,
quenlo.exe and autorun.inf at its root: the same folder, options and exe
make the same image, byte for byte, whenever and wherever it is made. With
SOURCE_DATE_EPOCH, every date after it is clamped to it (the convention of
reproducible builds, as tar --clamp-mtime does), so that two clones of one
commit, made at different times, make one image."""
import os

from . import PROGRAM, Refusal
from .clamping import clamp
from .iso import differences, made_on, set_joliet_label, sha256
from .names import iso_label, joliet_label
from .boxfiles import replacing
from .tools import run
from .views import contents, made as made_when


def epoch(medium):
    """The moment the image's own dates are set to: SOURCE_DATE_EPOCH where
    it is set, else the newest file of the medium."""
    given = os.environ.get("SOURCE_DATE_EPOCH", "").strip()
    if given.isdigit():
        return int(given)
    own = [medium.exe] + ([medium.options.icon] if medium.icon_name else [])
    return max([int(os.path.getmtime(f)) for f in own] + [t for p, t in medium.tree.times.items() if p in medium.paths])


def writable_output(output_name, source, medium_name):
    """The absolute path of the image to write, once it is known that it can
    be; a Refusal that says why not."""
    output = os.path.abspath(output_name)
    if output == source or output.startswith(source + os.sep):
        raise Refusal("%s lies inside %s, so the image would hold itself: write it elsewhere"
                      % (output_name, medium_name), "output-inside")
    if os.path.isdir(output):
        raise Refusal("%s is a folder: name the image file to write, as %s"
                      % (output_name, os.path.join(output_name, "disc.iso")), "output-folder")
    if os.path.lexists(output) and not os.path.isfile(output):
        raise Refusal("%s exists and is not a file, so no image replaces it: name another file" % output_name,
                      "output-not-file")
    folder = os.path.dirname(output)
    if not os.path.isdir(folder):
        raise Refusal("no folder for %s: create it first" % output_name, "output-no-folder")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise Refusal("you cannot write in %s: write the image elsewhere" % folder, "output-unwritable")
    return output


def master(medium, output_name):
    """Masters a medium without problems as the image output_name (replaced
    only once complete); its size. The image's own dates and those of the
    files the tools make (autorun.inf, a signed exe) are epoch(medium); the
    medium's files keep their own, up to that moment; nothing of this
    machine goes in."""
    output = writable_output(output_name, medium.source, medium.name)
    folder = os.path.dirname(output)

    def unwritable(error):
        return Refusal("you cannot write in %s (%s): write the image elsewhere" % (folder, error.strerror),
                       "output-unwritable")

    with replacing(output, unwritable=unwritable) as partial:
        moment = epoch(medium)
        exe = medium.disc_exe()
        for made in (medium.autorun, exe if medium.signature else None):
            if made:
                os.utime(made, (moment, moment))
        if medium.options.stick:
            from . import sticks
            files, folders = medium.stick_files()
            sticks.write(partial, files, medium.label, moment, folders)
            return os.path.getsize(partial)
        grafts = ["/=" + medium.source, "/%s=%s" % (PROGRAM, exe), "/autorun.inf=" + medium.autorun]
        if medium.icon_name:
            grafts.append("/%s=%s" % (medium.icon_name, os.path.abspath(medium.options.icon)))
        excluded = sum((["-x", path] for path in medium.excluded()), [])
        # xorriso takes the volume's dates, its UUID and the dates of the
        # nodes it makes itself from SOURCE_DATE_EPOCH; -r gives every file
        # owner 0 and the same modes, whoever made the folder.
        env = dict(os.environ, SOURCE_DATE_EPOCH=str(moment))
        run(["xorriso", "-as", "mkisofs", "-quiet", "-iso-level", "3", "-J", "-joliet-long", "-r", "-f",
             "-input-charset", "utf-8", "-V", iso_label(medium.label), "-o", partial] + excluded + ["-graft-points"]
            + grafts, "xorriso could not master the image", env=env)
        set_joliet_label(partial, joliet_label(medium.label))
        clamp(partial, moment)
    return os.path.getsize(output)


def against(medium, image, stage, read=None):
    """Whether the folder makes the very image given, made again in stage:
    {"image", "sha256", "made", "same"}, and where it is not the same, what
    "differs"; a Refusal where there is no image to compare. read(image):
    what views.main --contents says of it, read where an image from anyone
    may be (the tools' process reads only the image it made itself)."""
    if not os.path.isfile(image):
        raise Refusal("no file at %s: give --against the image that make wrote" % image, "against-missing")
    again = os.path.join(stage, "again.iso")
    master(medium, again)
    theirs, ours = sha256(image), sha256(again)
    compared = {"image": os.path.abspath(image), "sha256": theirs, "made": ours, "same": theirs == ours}
    if theirs != ours:  # each read as Windows reads it, whichever maker made it
        told = {}
        try:
            told = read(image) if read else {"contents": contents(image), "made": made_when(image)}
            compared["differs"] = differences(image, again, contents, told["contents"])
        except (Refusal, ValueError, StopIteration, OSError):
            compared["differs"] = ["it is not an image Windows reads"]
        if not compared["differs"] and medium.options.stick:
            compared["differs"] = ["only the volume's own data"]
        elif not compared["differs"]:
            try:
                compared["differs"] = ["only the image's own data (made %s, not %s)" % (told["made"], made_on(again))
                                       if told.get("made") else "only the image's own data"]
            except (ValueError, StopIteration, OSError):
                compared["differs"] = ["only the image's own data"]
    return compared
