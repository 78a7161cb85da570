"""What a check finds: each problem or warning a small value with a stable
code, gathered by one collector that the check's steps only append to."""
from dataclasses import dataclass, field

from . import Refusal
from .codes import CODES


@dataclass(frozen=True)
class Place:
    """Where a link or key is written: its file (a disc path, with "/"),
    line and column (from 1), the link as written and the disc path it
    leads to."""
    file: str
    line: int = None
    column: int = None
    link: str = None
    target: str = None

    def as_dict(self):
        return {"file": self.file, "line": self.line, "column": self.column, "link": self.link, "target": self.target}


@dataclass(frozen=True)
class Finding:
    """A problem (the medium is refused) or a warning, with a stable code
    (one of codes.CODES: no other is made), the disc path it concerns where
    there is one, and where in it: its first place, and every place of a
    finding shared by many links."""
    code: str
    message: str
    warning: bool = False
    path: str = None
    places: tuple = ()

    def __post_init__(self):
        if self.code not in CODES:
            raise ValueError("no code %r is defined in codes.py" % self.code)

    @classmethod
    def of(cls, refusal):
        return cls(refusal.code, str(refusal), False, refusal.path, places_of(refusal.path, refusal.where))

    @property
    def place(self):
        return self.places[0] if self.places else Place(self.path) if self.path else None

    def order(self):
        """Where it falls in the folder's order: what concerns no file, or
        the medium's autorun.inf, first, as found."""
        if self.path in (None, "autorun.inf"):
            return (False, (), 0)
        return (True, tuple(self.path.split("/")), (self.place and self.place.line) or 0)

    def as_dict(self):
        place = self.place
        found = {"code": self.code, "severity": "warning" if self.warning else "error", "message": self.message,
                 "path": self.path}
        found.update(place.as_dict() if place else Place(None).as_dict())
        found["places"] = [p.as_dict() for p in self.places]
        return found


def places_of(path, where):
    """The places of a refusal's where: its own (line, column, link,
    target), and those of the others that share it (places)."""
    others = tuple(where.get("places", ()))
    own = {k: v for k, v in where.items() if k != "places"}
    if path is None or not (own or others):
        return others
    return (Place(path, **own),) + others


@dataclass
class Findings:
    """The findings of one check, in the order they were found."""
    found: list = field(default_factory=list)

    def problem(self, refusal, at=None):
        """refusal among the problems; at: where it is ({"path", "line",
        ...}), for a refusal that does not know itself."""
        if at and refusal.path is None:
            refusal.path, refusal.where = at["path"], {k: v for k, v in at.items() if k != "path" and v is not None}
        self.found.append(Finding.of(refusal))

    def warn(self, code, message, path=None, **where):
        self.found.append(Finding(code, message, True, path, places_of(path, where)))

    def attempt(self, step, *args, at=None):
        """step(*args), or None with its Refusal among the problems (at
        where it is, as problem() takes it)."""
        try:
            return step(*args)
        except Refusal as refusal:
            self.problem(refusal, at)
            return None

    @property
    def problems(self):
        return [f for f in self.found if not f.warning]

    @property
    def warnings(self):
        return [f for f in self.found if f.warning]

    def sorted(self):
        return sorted(self.found, key=Finding.order)
