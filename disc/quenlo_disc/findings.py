"""What a check finds: each problem or warning a small value with a stable
code, gathered by one collector that the check's steps only append to."""
from dataclasses import dataclass, field

from . import Refusal


@dataclass(frozen=True)
class Finding:
    """A problem (the medium is refused) or a warning, with a stable code and
    the disc path it concerns, where there is one."""
    code: str
    message: str
    warning: bool = False
    path: str = None

    @classmethod
    def of(cls, refusal):
        return cls(refusal.code, str(refusal), False, refusal.path)

    def order(self):
        """Where it falls in the folder's order: what concerns no file first."""
        return (self.path is not None, tuple((self.path or "").split("/")))

    def as_dict(self):
        return {"code": self.code, "severity": "warning" if self.warning else "error", "message": self.message,
                "path": self.path}


@dataclass
class Findings:
    """The findings of one check, in the order they were found."""
    found: list = field(default_factory=list)

    def problem(self, refusal):
        self.found.append(Finding.of(refusal))

    def warn(self, code, message, path=None):
        self.found.append(Finding(code, message, True, path))

    def attempt(self, step, *args):
        """step(*args), or None with its Refusal among the problems."""
        try:
            return step(*args)
        except Refusal as refusal:
            self.problem(refusal)
            return None

    @property
    def problems(self):
        return [f for f in self.found if not f.warning]

    @property
    def warnings(self):
        return [f for f in self.found if f.warning]

    def sorted(self):
        return sorted(self.found, key=Finding.order)
