"""What a check found of a medium: the disc as it would be mastered. Made by
check.check_medium, only read afterwards."""
import os
from dataclasses import dataclass, field

from . import PROGRAM
from .findings import Findings
from .names import Tree, upper

DEFAULT_LABEL = "QUENLO"


@dataclass
class Options:
    """What the author asked for: the options of check and make."""
    start: str = None
    label: str = None
    icon: str = None
    action: str = None
    exe: str = None
    sign: str = None
    timestamp: str = None
    keep_all: bool = False
    code_page: int = None
    stick: bool = False
    cache: bool = True  # the documents kept by an earlier check used, and this one's kept
    mend: bool = False  # every link kept, and the findings' mends made


@dataclass
class Medium:
    """name: the folder as the author gave it; source: its absolute path;
    autorun: the autorun.inf the disc gets, written in the check's stage;
    keys: its keys as Windows reads them; page: the open line's page with the
    disc's spelling; exe: the quenlo.exe it carries; icon_name: the icon's
    name at its root; tree: names.walk of the folder; paths: every path of
    the disc; index: each path upper-cased as Windows compares names, to its
    spelling; theirs: the author's own quenlo.exe and autorun.inf, which the
    disc's replace; updated: the keys the options set in the author's
    autorun.inf; meant: the code pages a code-page autorun.inf names its
    page on, where no --code-page was given; key_lines: the line of each
    key of autorun.inf; links: links by kind;
    scripted: the pages whose scripts build addresses; signature: what
    signing found; root_links: for a stick, or where mends are sought, every
    link its pages have (pages.Followed); undeclared: the pages a browser
    guesses the encoding of, by the encoding it reads ({name: [disc path]});
    read_in: the encoding the pages with links told of were read in;
    mends: each finding's mend, where sought (mends.mends_of); start: the page its user double-clicks at its
    root, where there is one; shown_label: the name Explorer shows the
    medium by; volume_label: its file system's own label (Joliet's, or
    FAT's); iso_label: the ISO 9660 label that systems without Joliet
    read (a disc's only); image: of an image checked as shipped, what
    views.py saw of it."""
    name: str
    source: str
    options: Options
    findings: Findings = field(default_factory=Findings)
    autorun: str = None
    keys: dict = field(default_factory=dict)
    page: str = None
    label: str = None
    exe: str = None
    icon_name: str = None
    tree: Tree = field(default_factory=Tree)
    paths: set = field(default_factory=set)
    index: dict = field(default_factory=dict)
    theirs: list = field(default_factory=list)
    updated: tuple = ()
    meant: tuple = ()
    key_lines: dict = field(default_factory=dict)
    links: dict = field(default_factory=lambda: {"file": 0, "web": 0, "mail": 0, "none": 0})
    strays: list = field(default_factory=list)
    scripted: list = field(default_factory=list)
    signature: dict = None
    root_links: list = field(default_factory=list)
    undeclared: dict = field(default_factory=dict)
    read_in: dict = field(default_factory=dict)
    mends: list = None
    start: str = None
    shown_label: str = None
    volume_label: str = None
    iso_label: str = None
    image: dict = None

    @property
    def problems(self):
        return self.findings.problems

    @property
    def left_out(self):
        return self.tree.left_out

    @property
    def replaced(self):
        return [os.path.join(self.name, n) for n in self.theirs if upper(n) == upper(PROGRAM)]

    def own(self):
        """The files the tools put at the disc's root themselves."""
        return (PROGRAM, "autorun.inf", self.icon_name)

    def disc_exe(self):
        return self.signature["exe"] if self.signature else self.exe

    def excluded(self):
        return [os.path.join(self.source, n) for n in self.theirs] + [os.path.join(self.source, p)
                                                                      for p, _ in self.left_out]

    def their_files(self):
        """The medium's own files as (disc path, path here)."""
        own = self.own()
        for p in self.paths:
            if p not in own and p in self.tree.sizes:
                yield p, os.path.join(self.source, p)

    def stick_files(self):
        """{disc path: (path here, size, time)} of every file of the medium
        as a stick holds it, and the disc paths of its folders."""
        files = {p: (path, self.tree.sizes[p], self.tree.times[p]) for p, path in self.their_files()}
        for p, path in ((PROGRAM, self.disc_exe()), ("autorun.inf", self.autorun),
                        (self.icon_name, self.options.icon and os.path.abspath(self.options.icon))):
            if p and path and p in self.paths:
                files[p] = (path, os.path.getsize(path), int(os.path.getmtime(path)))
        return files, sorted(p for p in self.paths if p not in files and p not in self.own())

    def files(self):
        return sum(1 for _ in self.their_files()) + sum(1 for p in self.own() if p in self.paths)

    def estimate(self):
        """The image's size, about: the medium's files in whole sectors, and
        room for the exe, autorun.inf, the icon and the file system."""
        own = self.own()
        files = 400 * 1024 + sum(-(-size // 2048) * 2048 for p, size in self.tree.sizes.items()
                                 if p not in own and p in self.paths)
        # A stick's FAT32 volume: room beyond the files, and no fewer than 65,541 clusters.
        return max(files + max(files // 10, 1 << 20), 35 << 20) if self.options.stick else files

    def on_disc(self, named):
        """Where the file that autorun.inf names lies here, or None when it is not on the disc."""
        found = self.index.get(upper(named.replace("\\", "/").lstrip("/")))
        if found is None:
            return None
        return os.path.abspath(self.options.icon) if found == self.icon_name else self.exe if found == PROGRAM else (
            os.path.join(self.source, found))

    def left_out_listed(self):
        """What was left out, each as {"path", "kind", "folder"}."""
        return [{"path": p, "kind": k, "folder": p in self.tree.left_folders} for p, k in self.left_out]
