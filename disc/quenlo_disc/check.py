"""A medium checked as a user's PC will meet it: every problem and warning at
once. check_medium runs the steps in order; each reads what the steps before
it set in the Medium, sets what it learns there, and adds its findings
through the one collector, the Medium's Findings. A problem that makes the
later steps meaningless (no folder, no autorun.inf) ends the check as a
Refusal among the findings. Nothing is written but in the stage.
"""
import os
import re
import shutil
import tempfile

from . import PROGRAM, Refusal, product_exe
from .autorun import (autorun_text, check_open_line, check_page, double_clicked, is_unicode, key_lines, reaching,
                       read_autorun, split_open_line, with_keys)
from .boxfiles import LARGEST_READ, read
from .codepages import UTF8_MARK, WESTERN, check_text
from .documents import Documents
from .medium import DEFAULT_LABEL, Medium
from .names import check_label, disc_path, find_name, index, iso_label, joliet_label, name_problems, upper, walk
from .iso import STICKS
from .links import judge
from .mastering import against
from .pages import read_site
from .pe import icon_problem, is_icon, is_windows_program
from .signing import sign_exe
from .sticks import label_bytes

# Windows' CD file system reads no file of 4 GiB or more (ISO 9660 keeps such
# a file in several extents, which it does not join).
LARGEST_FILE = 4 << 30
LARGEST_FAT_FOLDER = 65536  # entries: FAT numbers a folder's in 16 bits
VERB = re.compile(r"shell\\([^\\]+)\\command")


def check_medium(source, options, stage, guess=None, progress=None, name=None):
    """The Medium of the folder source as options would master it. guess:
    how the browser at hand reads an undeclared page (guess(path, data), the
    encoding's name or None), where Chromium is not to be started for it;
    progress(pages read, of how many), told now and then; name: what the
    findings call the folder, where not source itself."""
    m = Medium(name=name or source, source=os.path.abspath(source), options=options)
    found = m.findings
    try:
        m.icon_name = check_options(options, found)
        m.icon_name = check_folder(m.name, m.source, m.icon_name, options, found)
        m.exe = check_exe(options, found)
        check_names(m, found)
        read_autorun_of(m, stage, found)
        check_keys(m, found)
        m.label = check_disc_label(m, found)
        m.shown_label, m.volume_label, m.iso_label = labels_of(m)
        check_medium_links(m, stage, found, guess, progress)
        if options.stick:
            check_stick(m, found)
        m.strays = look_for_strays(m.tree, found)
        m.signature = sign(m.exe, options, stage, found)
    except Refusal as refusal:
        found.problem(refusal)
    if options.mend:
        from .mends import mends_of  # for fix, and the documents that carry the mends
        m.mends = mends_of(m)
    return m


def check_options(o, found):
    """The icon's name at the disc's root where --icon gives a usable one."""
    if o.timestamp and not o.sign:
        found.problem(Refusal("--timestamp stamps a signature, and there is none: add --sign CERT.pfx, or drop "
                              "--timestamp", "timestamp-unsigned"))
    icon = found.attempt(check_icon, o.icon) if o.icon else None
    if o.action is not None:
        if not o.action.strip():
            found.problem(Refusal("--action is empty: give the text of the AutoPlay entry, or leave --action out",
                                  "action-empty"))
        else:
            found.attempt(check_text, "--action", o.action, o.code_page)
    return icon


def check_icon(icon):
    if not os.path.exists(icon):
        raise Refusal("no icon at %s: give --icon a Windows .ico file" % icon, "icon-missing")
    if not os.path.isfile(icon) or not is_icon(read(icon, None, follow=True)):
        raise Refusal("%s is not an icon file (no .ico header with its images): give --icon a Windows .ico"
                      % icon, "icon-not-ico")
    name = os.path.basename(icon)
    if not all(32 <= ord(c) < 127 for c in name):
        raise Refusal('the icon\'s name "%s" has characters beyond ASCII, which autorun.inf cannot give every '
                      'PC: rename the icon with ASCII letters' % name, "icon-name-beyond-ascii")
    return name


def check_folder(name, source, icon, o, found):
    """The icon's name, unless the folder has a file of that name already."""
    if os.path.exists(source) and not os.path.isdir(source):
        raise Refusal("%s is a file, not a folder: give the folder that holds the medium's pages" % name,
                      "source-not-folder")
    if not os.path.isdir(source):
        raise Refusal("no folder at %s: give the folder that holds the medium's pages" % name, "source-missing")
    if icon and find_name(source, icon):
        found.problem(Refusal('the icon\'s name "%s" is taken in %s: rename the icon, or name that file with '
                              '--icon' % (os.path.basename(o.icon), name), "icon-name-taken"))
        return None
    return icon


def check_exe(o, found):
    """The quenlo.exe the disc carries, where it is a Windows program."""
    exe = o.exe
    if exe is None:
        exe = product_exe()
        if not os.path.isfile(exe):
            raise Refusal("no exe at %s: build it with: cmake --preset win32 && cmake --build --preset win32"
                          % exe, "exe-missing")
    elif not os.path.isfile(exe):
        return found.problem(Refusal("no exe at %s: name the built exe" % exe, "exe-missing"))
    if not is_windows_program(read(exe, None, 4096, follow=True)):
        return found.problem(Refusal("%s is not a Windows program: give --exe the built quenlo.exe" % exe,
                                     "exe-not-windows"))
    return exe


def check_names(m, found):
    """The folder's names.Tree, the author's own quenlo.exe and autorun.inf
    (which the disc's replace), and every path of the disc."""
    source, icon = m.source, m.icon_name
    tree = m.tree = walk(source, found, m.options.keep_all)
    for refusal in name_problems(source, tree, m.options.stick):
        found.problem(refusal)
    for folder, rel, _, files in tree.folders:
        for f in files:
            size = tree.sizes[disc_path(rel, f)]
            if size >= LARGEST_FILE:
                found.problem(Refusal("%s is {:,} bytes; %s: split it, or make it smaller".format(size) % (
                    os.path.join(folder, f), "FAT, a stick's file system, holds no file of 4 GiB or more" if
                    m.options.stick else "Windows reads no file of 4 GiB or more from an ISO 9660 disc"),
                    "file-too-large", disc_path(rel, f)))
    m.theirs = [n for n in (find_name(source, PROGRAM), find_name(source, "autorun.inf")) if n]
    m.paths = (set(tree.paths()) - set(m.theirs)) | {PROGRAM, "autorun.inf"} | ({icon} if icon else set())
    m.index = index(m.paths)


def read_autorun_of(m, stage, found):
    """The disc's autorun.inf, written in stage; its keys as Windows reads
    them; the open line's page with the disc's spelling; the keys the options
    set in the author's own, the code pages it was written for, and the
    line each key is on."""
    name, source, icon, o = m.name, m.source, m.icon_name, m.options
    theirs = find_name(source, "autorun.inf")
    if o.start is not None and theirs:
        raise Refusal("--start and %s both give the open line: drop --start to use the file, or remove the file"
                      % os.path.join(name, theirs), "autorun-twice")
    if o.start is None and not theirs:
        raise Refusal("%s has no autorun.inf: give --start PAGE to write one" % name, "autorun-missing")
    ansi_page, meant = o.code_page or WESTERN, ()
    given = {k: v for k, v in (("label", o.label), ("icon", icon), ("action", o.action)) if v is not None}
    updated = ()
    if o.start is not None:
        try:
            check_text("the page", o.start, o.code_page)
        except Refusal as refusal:
            return found.problem(refusal)
        data = autorun_text(o.start, o.label, icon, o.action, o.code_page, errors="replace")
    else:
        data = read(os.path.join(source, theirs), None, LARGEST_READ, follow=True)
        if o.code_page is None and not data.isascii() and not is_unicode(data):
            # Read as the PCs it names its page on, so that what is said of it reads as written.
            meant = tuple(reaching(data, source))
            ansi_page = meant[0] if meant else ansi_page
        read_autorun(data, ansi_page)
        data = with_keys(data, given, ansi_page) if given else data
        updated = tuple(sorted(given))
    written = os.path.join(stage, "autorun.inf")
    with open(written, "wb") as f:
        f.write(data)
    keys = read_autorun(data, ansi_page)
    lines = key_lines(data, ansi_page)
    if o.start is None and unmarked_utf8(data, ansi_page, found, lines):
        # What the author meant, so that the rest is checked as it will be once saved right.
        keys = read_autorun(UTF8_MARK + data, ansi_page)
    page = found.attempt(check_open_line, keys, source, name, o.code_page, meant,
                         at=autorun_at(lines, "open")) or None
    if page and ("#" in page or "%" in page):
        odd = " and ".join('"%s"' % c for c in "#%" if c in page)
        found.warn("page-hash-percent", 'the page "%s" has %s in its name: a browser handed it as a file:/// '
                   'address (as Quenlo does when the shell cannot open it) reads "#" as the start of a fragment '
                   'and "%%xx" as an escape, and misses the page; a name without them is safer' % (page, odd))
    m.autorun, m.keys, m.page, m.updated, m.meant, m.key_lines = written, keys, page, updated, meant, lines


def autorun_at(lines, key):
    """Where the key is written in autorun.inf, for a finding of it."""
    return {"path": "autorun.inf", "line": lines.get(key) or 1}


def unmarked_utf8(data, code_page, found, lines):
    """True, with the problem told, for an autorun.inf in UTF-8 without a
    byte-order mark whose letters beyond ASCII Windows reads otherwise
    (in the PC's ANSI code page, as it reads any file without a mark)."""
    if data.isascii() or is_unicode(data):
        return False
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    meant, got = read_autorun(UTF8_MARK + data, code_page), read_autorun(data, code_page)
    if meant == got:
        return False
    key = next(k for k in meant if meant[k] != got.get(k))
    found.problem(Refusal('autorun.inf is saved as UTF-8 without a byte-order mark, and Windows reads such a '
                          'file in the PC\'s ANSI code page (%d), so its %s reads "%s" there, not "%s": save it in '
                          'code page %d, or as Unicode (UTF-16, or UTF-8 with a byte-order mark)'
                          % (code_page, "open line" if key == "open" else key + " line", got.get(key), meant[key],
                             code_page), "autorun-utf8"), autorun_at(lines, key))
    return True


def check_keys(m, found):
    """The keys of autorun.inf besides the open line, as Windows uses them:
    the icon it shows, and the programs and pages of the verbs of the disc's
    menu (shell\\VERB\\command, and shellexecute)."""
    for key, value in m.keys.items():
        if key == "icon":
            check_icon_key(m, value, found)
        elif key == "shellexecute" or VERB.fullmatch(key):
            check_verb(m, key, value, found)


def check_icon_key(m, value, found):
    named, number = value, 0
    match = re.fullmatch(r"(.*?)\s*,\s*(-?\d+)", value)
    if match:
        named, number = match.group(1), int(match.group(2))
    path = m.on_disc(named)
    if path is None:
        return found.problem(Refusal('autorun.inf\'s icon names "%s", which is not on the disc: add the file, or '
                                     'correct the icon line' % named, "key-names-nothing"),
                             autorun_at(m.key_lines, "icon"))
    why = icon_problem(read(path, None, follow=True), number) if os.path.isfile(path) else "a folder"
    if why:
        found.problem(Refusal('autorun.inf\'s icon names "%s", %s, so Windows shows no icon: give it a Windows '
                              '.ico file, or an exe or DLL with its icon\'s number' % (value, why), "icon-unusable"))


def check_verb(m, key, value, found):
    program, page = split_open_line(value)
    if not program:
        return
    if upper(program) in (upper(PROGRAM), upper(PROGRAM[:-4])):
        found.attempt(check_page, page, m.source, m.name, m.options.code_page, "autorun.inf's %s line" % key, m.meant,
                      at=autorun_at(m.key_lines, key))
    elif m.on_disc(program) is None:
        found.warn("verb-program-elsewhere", 'autorun.inf\'s %s runs "%s", which is not on the disc: Windows '
                   'looks for it on the PC, so it runs only where the PC has it' % (key, program), "autorun.inf",
                   line=m.key_lines.get(key, 1))


def check_disc_label(m, found):
    """The disc's label: --label's, else autorun.inf's, else the tools' own.
    Explorer shows a Unicode autorun.inf's label as written on every PC."""
    o, label = m.options, m.options.label
    if label is None:
        label = m.keys.get("label")
    if label is None:
        found.warn("label-missing", 'the disc has no label, so Windows will call it "%s" after this tool: '
                   'name it with --label "Your product", or label= in autorun.inf' % DEFAULT_LABEL)
        return DEFAULT_LABEL
    unicode = bool(m.autorun) and is_unicode(read(m.autorun, None, 4))
    try:
        check_label(label, o.code_page, m.meant, unicode)
    except Refusal as refusal:
        if o.label is None:
            refusal = Refusal("%s (it comes from autorun.inf's label; --label sets another)" % refusal, refusal.code)
        found.problem(refusal)
    return label


def labels_of(m):
    """(the name Explorer shows the medium by, its file system's own label,
    the ISO 9660 label systems without Joliet read, None on a stick)."""
    if m.options.stick:
        volume, iso9660 = label_bytes(m.label).decode("ascii").rstrip(), None
    else:
        volume, iso9660 = joliet_label(m.label), iso_label(m.label)
    return m.keys.get("label") or volume, volume, iso9660


def renamed_paths(m):
    from .mends import renamed  # for fix alone
    return renamed(m)


def check_medium_links(m, stage, found, given=None, progress=None):
    """The links by kind, and the pages whose scripts build addresses. An undeclared
    page's encoding is Chromium's own reading where Chromium is installed,
    always in a sandbox: the pages are the author's, never to be read by a
    browser with the author's rights."""
    source, paths, tree, o = m.source, m.paths, m.tree, m.options
    guess = None
    if given is None and shutil.which("chromium") and os.environ.get("QUENLO_DISC_DETECT") != "guess":
        guess = Guess(source, stage)
    try:
        site = read_site(source, paths, o.code_page, guess=guess or given, parallel=True,
                         every=m.root_links.append if o.stick or o.mend else None,
                         folders=[disc_path(rel) for _, rel, _, _ in tree.folders if rel != "."],
                         progress=progress, documents=Documents(m.name, o.cache),  # an image's, by its name
                         watched=renamed_paths(m) if o.mend and not o.stick else None)
    finally:
        if guess:
            guess.stop()
    m.links, m.scripted, m.undeclared = judge(site, m.index, found, tree.refused), site.scripted, site.undeclared
    m.read_in = {f.rel: f.encoding for f in site.broken + m.root_links}
    unsandboxed = guess.unsandboxed() if guess and site.undeclared else None
    if unsandboxed:
        found.warn("guessed-unsandboxed", "Chromium was not asked how it reads the pages that declare no encoding, "
                   "since no sandbox can be made here to run it in (%s): the check guessed with its own detector, "
                   "which mostly agrees; install bubblewrap and allow user namespaces to have Chromium asked"
                   % unsandboxed)


class Guess:
    """Chromium's reading of an undeclared page's encoding, made on the
    first page that needs it (most media have none): in a sandbox with no
    network and nothing but the medium to read; where none can be made,
    None, and the check's own detector guesses."""

    def __init__(self, source, stage):
        self.source, self.stage, self.reader, self.why = source, stage, None, False

    def unsandboxed(self):
        """None where a sandbox can be made, else why not."""
        from . import walls  # the sandbox's machinery, for the few media that need it
        if self.why is False:
            self.why = walls.usable()
        return self.why

    def __call__(self, path, data=None):
        if self.reader is None and self.unsandboxed() is None:
            from . import seccomp, walls
            from .devtools import Reader
            profile = tempfile.mkdtemp(dir=self.stage, prefix="chromium-")
            self.reader = Reader(profile, walls.reader_prefix(profile, [self.source], self.stage),
                                 preexec_fn=seccomp.fresh_keyring)
        return self.reader(path, data) if self.reader else None

    def stop(self):
        if self.reader:
            self.reader.stop()


def look_for_strays(tree, found):
    strays = tree.strays()
    if strays:
        found.warn("strays", "these look like copies, backups or empty folders left by mistake, and go onto the "
                   "disc as they are: %s; remove them, or keep them if they are meant" % ", ".join(strays))
    return strays


def sign(exe, o, stage, found):
    """What signing the exe found, where --sign asks for it; a signature
    Windows cannot check is a warning of its own."""
    if not (o.sign and exe):
        return None
    signature = found.attempt(sign_exe, exe, o.sign, stage, o.timestamp)
    if signature and not signature["trusted"]:
        found.warn("signature-untrusted", "Windows will call its publisher unknown: the certificate %s, so Windows "
                   "cannot check who signed: sign with a code-signing certificate from a certificate authority"
                   % ("is self-signed" if signature["self_signed"] else "does not lead to a root this machine trusts"))
    return signature


def check_against(m, image, stage, read=None):
    """Whether the checked folder makes the very image given (mastering.against,
    with read), with a problem of the medium's where it does not, or where there is none."""
    compared = m.findings.attempt(against, m, image, stage, read)
    if compared and not compared["same"]:
        differ = compared["differs"]
        shown = differ[:8] + (["%d more" % (len(differ) - 8)] if len(differ) > 8 else [])
        m.findings.problem(Refusal(
            "%s is not what this folder makes (SHA-256 %s, not %s); what differs: %s: its files, the options, the "
            "exe or SOURCE_DATE_EPOCH differ from those it was made with" % (image, compared["sha256"],
                                                                             compared["made"], ", ".join(shown)),
            "against-differs"))
    return compared


def check_stick(m, found):
    """What FAT and a stick's user add to the check: a folder holds at most
    65,536 entries (a long name takes one for each 13 of its letters, and
    one more); nothing runs the open line, so the page to open must be at
    the stick's root, or a page there must lead to it."""
    for folder, rel, dirs, files in m.tree.folders:
        used = 2 + sum(1 + -(-len(name.encode("utf-16-le", "surrogatepass")) // 26) for name in dirs + files)
        if used > LARGEST_FAT_FOLDER:
            found.problem(Refusal("%s holds %d names, which take %d entries of FAT's %d in one folder: share them out "
                                  "among folders" % (folder, len(dirs) + len(files), used, LARGEST_FAT_FOLDER),
                                  "stick-folder-full", disc_path(rel) if rel != "." else None))
    largest = STICKS[-1]
    if m.estimate() > largest[1]:
        found.problem(Refusal("the medium needs about {:,} MB, more than the largest common stick holds ({}): split "
                              "it over several, or make a DVD or Blu-ray image".format(m.estimate() // 1000000,
                                                                                      largest[0]),
                              "stick-too-large"))
    at_root = next((files for _, rel, _, files in m.tree.folders if rel == "."), [])
    roots = sorted(name for name in at_root if name.lower().endswith((".htm", ".html")))
    m.start = double_clicked(m.page, roots, [(f.rel, f.target) for f in m.root_links if f.kind == "file"])
    if m.page and m.start is None:
        found.warn("stick-start-hidden", 'on a stick nothing runs the open line: its user opens the stick and '
                   'double-clicks a page at its root, and the page to open, %s, lies in a folder that no page at '
                   'the root leads to: add a page at the root that says by its name it is the one to open (e.g. '
                   '"START HERE.htm") and links to it' % m.page.replace("/", "\\"))
