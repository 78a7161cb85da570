"""Every code a finding or refusal of the tools can carry, stable from
release to release, with its severity, what it means in a line and how to
mend it: the one place a code is defined. The manual page's FINDINGS, the
SARIF rules and the report are made from it."""
from dataclasses import dataclass


@dataclass(frozen=True)
class Code:
    severity: str  # "error": the medium is refused (or the command could not do its work); "warning"
    summary: str
    mend: str


E, W = "error", "warning"
CODES = {
    # The folder and the options.
    "source-missing": Code(E, "There is no folder where the medium was named.",
                              "Give the folder that holds the pages."),
    "port-taken": Code(E, "quenlo-disc web cannot serve on the port given: another program has it.",
                       "Give another --port."),
    "zip-unreadable": Code(E, "The web page was given a file that is no zip, or a damaged one.",
                           "Give a .zip of the medium's folder, or pick the folder itself."),
    "zip-empty": Code(E, "The web page was given a zip, or a folder, with no file in it.",
                      "Give the folder that holds the pages."),
    "zip-unsafe": Code(E, "The zip the web page was given climbs out of its folder, repeats a name, is encrypted or "
                          "unpacks to far more than it holds.", "Zip the medium's folder afresh."),
    "source-not-folder": Code(E, "The medium was named as a file, not a folder.",
                                 "Give the folder that holds the pages."),
    "exe-missing": Code(E, "There is no quenlo.exe where one was named, or the disc's open line runs none.",
                        "Build it, or name the built exe with --exe."),
    "exe-not-windows": Code(E, "The exe to put on the disc is not a Windows program.",
                               "Give --exe the built quenlo.exe."),
    "icon-missing": Code(E, "There is no icon file where --icon names one.", "Give --icon a Windows .ico file."),
    "icon-not-ico": Code(E, "The file --icon names is not a Windows icon.", "Give --icon a Windows .ico file."),
    "icon-name-beyond-ascii": Code(E, "The icon's name has letters beyond ASCII, which not every PC reads.",
                                   "Rename the icon with ASCII letters."),
    "icon-name-taken": Code(E, "A file of the icon's name is already at the medium's root.",
                            "Rename the icon, or name that file with --icon."),
    "icon-unusable": Code(E, "autorun.inf's icon names a file Windows shows no icon from.",
                          "Give it a .ico file, or an exe or DLL with the icon's number."),
    "action-empty": Code(E, "--action gives an empty AutoPlay entry.", "Give the entry's text, or leave --action out."),
    "timestamp-unsigned": Code(E, "--timestamp was given without a signature to stamp.",
                                  "Add --sign CERT.pfx, or drop --timestamp."),
    "code-page-unknown": Code(E, "The code page named is none of Windows PCs'.",
                                 "Give one of the code pages --help lists."),
    "label-empty": Code(E, "The volume label is empty.", "Give --label a name, or leave it out."),
    "label-missing": Code(W, "The disc has no label, so Windows names it after the tools.",
                          "Name it with --label, or label= in autorun.inf."),
    # autorun.inf and its open line.
    "autorun-missing": Code(E, "The medium has no autorun.inf and no --start to write one.", "Give --start PAGE."),
    "autorun-twice": Code(E, "--start and the medium's own autorun.inf both give the open line.",
                          "Drop --start, or remove the file."),
    "autorun-no-section": Code(E, "autorun.inf has no [autorun] section, so Windows reads none of it.",
                               "Begin it with a line [autorun]."),
    "autorun-utf8": Code(E, "autorun.inf is UTF-8 with no byte-order mark: Windows reads it in the PC's code page.",
                         "Save it in the PCs' code page, or as Unicode."),
    "open-missing": Code(E, "autorun.inf has no open line.", "Add open=quenlo.exe PAGE."),
    "open-other-program": Code(E, "The open line runs another program than Quenlo.", "Write open=quenlo.exe PAGE."),
    "page-none": Code(E, "The open line names no page, so Quenlo shows only its About box.", "Give it a page."),
    "page-quoted": Code(E, "The open line's page is in quotes, which Quenlo keeps as part of the name.",
                           "Remove them."),
    "page-absolute": Code(E, "The open line's page is an absolute path, but the drive letter differs from PC to PC.",
                          "Name it from the disc's root."),
    "page-up": Code(E, "The open line's page goes up with \"..\".", "Name it from the disc's root."),
    "page-missing": Code(E, "The page a line of autorun.inf gives is not on the medium.",
                            "Correct the line, or add the page."),
    "page-folder": Code(E, "The open line names a folder, not a page.", "Name the HTML page in it."),
    "page-hash-percent": Code(W,
        "The open line's page has \"#\" or \"%\" in its name, which file:/// addresses misread.",
                              "Rename the page without them."),
    "key-names-nothing": Code(E, "A key of autorun.inf names a file that is not on the disc.",
                                 "Add the file, or correct the key."),
    "verb-program-elsewhere": Code(W, "A verb of the disc's menu runs a program that is not on the disc.",
                                   "Put the program on the disc, or know it runs only where the PC has it."),
    "text-control": Code(E, "A text for Windows has control characters.", "Remove them."),
    "text-beyond-ascii": Code(E,
        "A text for Windows has letters beyond ASCII: only PCs whose code page has them read it.",
                              "Give --code-page for the PCs the disc is for, or use ASCII."),
    "text-no-form": Code(E, "A text for Windows has letters with no form in the PCs' code page.",
                         "Rename it, or give the --code-page of the PCs it is for."),
    # Names on the disc.
    "name-forbidden": Code(E, "A name has characters Windows does not allow.", "Rename it."),
    "name-joliet": Code(E, "A name has characters the disc's Joliet names cannot hold.", "Rename it."),
    "name-not-utf8": Code(E, "A name is not valid UTF-8.", "Rename it."),
    "name-too-long": Code(E, "A name is longer than the disc's Joliet names hold.", "Shorten it."),
    "name-trailing-dot": Code(E, "A name ends with a dot or a blank, which Windows drops.", "Rename it."),
    "name-device": Code(E, "A name is one Windows keeps for a device (CON, NUL, COM1...).", "Rename it."),
    "name-case-twins": Code(E, "Two names differ only in case, and Windows sees one of them.", "Rename one."),
    "path-too-long": Code(E, "A path is longer than Windows' ANSI calls reach on the disc.",
                             "Shorten the names or the nesting."),
    "file-too-large": Code(E, "A file of 4 GiB or more, which Windows does not read from a disc, nor FAT hold on a stick.",
                              "Split it, or make it smaller."),
    "stick-folder-full": Code(E, "A stick's folder holds more names than FAT's 65,536 entries of a folder take.",
                                 "Share its files out among folders."),
    "stick-too-large": Code(E, "The medium is larger than the largest common stick.",
                               "Split it over several, or make a DVD or Blu-ray image."),
    # An image as another tool made it, read as Windows reads it.
    "image-iso9660-names": Code(W, "The image has no Joliet tree: Windows shows its ISO 9660 names, 8.3 capitals.",
                                   "Make it with Joliet: -J -joliet-long (genisoimage, xorriso), -joliet (hdiutil)."),
    "image-names-changed": Code(W, "Windows shows names of the image otherwise than its maker was given them.",
                                   "Make it with Joliet: -J -joliet-long (genisoimage, xorriso), -joliet (hdiutil)."),
    "image-names-cut": Code(W, "The image's Joliet names are cut at 64 letters, their extension with them.",
                               "Make it with -joliet-long (genisoimage, xorriso), or shorten the names."),
    "image-udf": Code(W, "A bridge disc whose UDF holds a partition of a kind the tools do not read; its Joliet or "
                         "ISO 9660 tree was checked.",
                      "Check the folder it was made from as well."),
    "udf-unread": Code(E, "A UDF image with a partition of a kind the tools do not read.",
                       "Check the folder it was made from."),
    "image-label-differs": Code(W, "The label Explorer shows, the file system's, differs from autorun.inf's label.",
                                   "Give the maker the same label (-V for genisoimage and xorriso)."),
    "stick-droppings": Code(W, "A stick's image holds what macOS leaves on a stick, which Windows shows.",
                               "Delete them (dot_clean, then the folders), or make it with make --stick."),
    "stick-code-page-names": Code(W, "Names of a stick kept as 8.3 names alone, beyond ASCII: PCs of another OEM "
                                     "code page read them otherwise.",
                                  "Copy with Explorer, or make it with make --stick."),
    "stick-start-hidden": Code(W, "On a stick nothing runs the open line, and no page at its root leads to the "
                                  "page to open.", "Add a page at the root, named to be opened, that links to it."),
    "link-outside": Code(E, "A link of the folder leads outside it, and nothing from outside goes onto a disc unasked.",
                         "Copy what the disc needs into the folder, or remove the link."),
    "link-dangling": Code(E, "A link of the folder leads to nothing.", "Remove the link, or restore its target."),
    "link-loop": Code(E, "A link of the folder leads back to itself.", "Remove the link."),
    "link-folder-twice": Code(E, "A link of the folder leads to a folder the disc holds by its own path already.",
                              "Remove the link, and link the pages to that folder."),
    "link-holder": Code(E, "A link to a folder that holds it, so the disc would never end.", "Remove the link."),
    "unreadable": Code(E, "A file or folder you cannot read.", "Give yourself read access to it, or move it out."),
    "not-a-file": Code(E, "A named pipe, socket or device, which a disc cannot hold.", "Move it out of the folder."),
    "strays": Code(W, "Copies, backups or empty folders that look left by mistake.",
                      "Remove them, or keep them if meant."),
    # Links between the pages.
    "link-missing": Code(E, "A link of a page or stylesheet leads to nothing on the disc.",
                            "Correct the link, or add the file."),
    "link-leaves-medium": Code(E, "A link leaves the medium (a drive letter, another computer, a file:/// address, "
                                  "the author's own server at localhost).",
                               "Link to the file on the disc relatively."),
    "link-folder": Code(E, "A link leads to a folder, which a browser shows from a disc as a list of its files.",
                        "Link the page in it instead."),
    "anchor-missing": Code(W, "A link leads to a place in a page that has no element of that id or <a name>: the "
                              "page opens at its top.", "Correct the link's part after \"#\", or add the id."),
    "anchor-scripted": Code(W, "Links lead to places in pages whose scripts could make them, which no check can see.",
                            "Open those links in a browser, or give the places ids in the markup."),
    "web-load": Code(W, "A page or stylesheet loads a file from the web by itself: it is missing on a PC without a "
                        "connection, and tells the site of every reader on one.", "Put the file on the disc and link "
                        "it relatively."),
    "xml-not-well-formed": Code(E,
        "An XHTML page or SVG document is not well-formed XML: a browser shows only its start.",
                                "Mend the markup."),
    "page-undeclared": Code(W, "A page declares no encoding, so a browser guesses it.",
                            "Declare the encoding it is saved in, as <meta charset>."),
    "guessed-unsandboxed": Code(W, "Chromium was not asked how it reads undeclared pages: no sandbox could run it.",
                                "Install bubblewrap and allow user namespaces."),
    "guessed-by-detector": Code(W, "The web page's browser is not Chromium, so it was not asked how it reads "
                                   "undeclared pages.", "Check the medium in Edge or Chrome, or declare the pages' "
                                   "encoding."),
    "script-path-missing": Code(W, "A script names a file in its strings that is not on the disc.",
                                "Add the file, or correct the script."),
    "script-needs-server": Code(W, "A script does what Chromium refuses to a page opened from a disc (workers, fetch).",
                                "Put the data in the page or a <script src> file, or leave the feature off the disc."),
    # Signing.
    "signing-tools-missing": Code(E, "Signing needs osslsigncode and openssl.", "Install them."),
    "certificate-missing": Code(E, "There is no certificate where --sign names one.", "Give --sign a PKCS#12 file."),
    "certificate-folder": Code(E, "--sign names a folder.", "Give --sign a PKCS#12 file."),
    "certificate-unreadable": Code(E, "The certificate cannot be read.", "Check QUENLO_SIGN_PASSWORD and the file."),
    "sign-failed": Code(E, "Signing the exe failed.",
                           "Check the certificate, and the time-stamping authority if given."),
    "signature-unverified": Code(E, "The signature made does not verify.", "Check the certificate's chain."),
    "signature-untrusted": Code(W, "Windows will call the exe's publisher unknown: its certificate is self-signed, or "
                                   "leads to no root that Windows trusts.",
                                "Sign with a code-signing certificate from a certificate authority."),
    # Making the image, and comparing it.
    "output-inside": Code(E, "The image would lie inside the medium, which would hold itself.", "Write it elsewhere."),
    "output-folder": Code(E, "The image's name is a folder.", "Name the image file to write."),
    "output-not-file": Code(E, "Something other than a file is where the image would be written.",
                               "Name another file."),
    "output-no-folder": Code(E, "The folder of the image does not exist.", "Create it first."),
    "output-unwritable": Code(E, "You cannot write where the image would go.", "Write it elsewhere."),
    "against-missing": Code(E, "There is no image where --against names one.", "Give the image that make wrote."),
    "against-differs": Code(E, "The folder does not make the image given, byte for byte.",
                            "Use the files, options, exe and SOURCE_DATE_EPOCH it was made with."),
    # Mending the medium.
    "fix-changed": Code(E, "A file changed after fix read it, or a new name is taken: nothing was written.",
                        "Run fix again."),
    "fix-to-taken": Code(E, "The folder fix --to names holds something, or lies inside the medium.",
                         "Give --to a new folder outside the medium."),
    "fix-image": Code(E, "fix was given an image, which is mended in the folder that made it.",
                      "Fix that folder, and make the image again."),
    "tool-failed": Code(E, "A tool the command runs (xorriso, openssl) failed.", "Read its last words in the message."),
    "reading-stalled": Code(E, "Reading a large medium's files in several processes stopped.",
                               "Check again, or report it."),
    # Trying an image.
    "image-missing": Code(E, "There is no image where one was named.", "Name the disc image to try."),
    "not-an-image": Code(E, "The file is neither an ISO 9660 or UDF image nor a stick's image.",
                         "Give the image a disc maker or make --stick wrote."),
    "image-both": Code(E, "The image is both a disc's (ISO 9660) and a stick's (FAT), so a CD drive and a USB port "
                          "show different files.", "Make it as one of them with quenlo-disc make, or make --stick."),
    "image-unsafe": Code(E, "The image's records cannot be trusted (overlapping, outside it, or too many).",
                         "Make it again with quenlo-disc make."),
    "try-missing": Code(E, "try needs the package quenlo-disc-try or the built driver.", "Install or build it."),
    "no-sandbox": Code(E, "No sandbox can be made here to keep a disc's programs from your files.",
                       "Install bubblewrap and allow user namespaces, or give --no-sandbox."),
    "unavailable": Code(E, "This machine cannot do the try; the message says what is missing.",
                           "Install or change what it names."),
    "display-stopped": Code(E, "The virtual display stopped answering during a try.",
                               "Look at what the disc's exe is."),
    "limit-reached": Code(E, "The disc's programs went past a limit of the try (processes, memory).",
                          "Look at what the disc's exe is before you ship it."),
    "sandbox-ended": Code(E, "The try's sandbox ended before the try did.", "Try again, or report it."),
    "not-shown": Code(E, "The page was not shown on a PC that should show it.",
                         "Read why in the try's lines and picture."),
    "not-pictured": Code(E, "The page was opened, but no picture of the screen shows what the browser drew of it "
                            "(its window stayed blank, or it went on to another page).",
                         "Read why in the try's lines and look at the picture."),
    # The command itself.
    "os-error": Code(E, "The machine refused something (a full disk, a file that went away).",
                        "Mend what the message names."),
    "interrupted": Code(E, "The command was interrupted.", "Run it again."),
    "fault": Code(E, "A fault of the tools' own.", "Report it with the command you gave."),
}


def code(name):
    """The Code of name; KeyError for one no release has defined."""
    return CODES[name]
