"""What a try tells its author as it goes, line by line (report.py says
what it found once it is done)."""
from .report import SANDBOXED, UNSANDBOXED, thirty_two_bits
from .trying import Listener


class Progress(Listener):
    """A try's words as it goes: what it tries, each line of a single try;
    a matrix as a table, each row's kind of PC shown before it is tried."""

    def __init__(self, out):
        self.out, self.width = out, 0

    def disc(self, tried):
        self.out.line("Disc: %s" % tried.name)
        self.out.line(SANDBOXED if tried.sandboxed else UNSANDBOXED)
        if tried.memory:
            self.out.line("Memory: %s" % tried.memory)

    def stick(self, tried):
        self.out.line("A USB stick's image: attached as the removable drive E:, from which Windows runs no open "
                      "line; its user double-clicks a page")

    def emulation(self, tried):
        self.out.line(thirty_two_bits(tried.emulation, tried.entry))

    def say(self, line):
        self.out.line(line)

    def start(self, pcs):
        self.width = max(len(pc.kind()) for pc in pcs) + 2
        self.out.line("%-*s%s" % (self.width, "PC", "What a user meets"))

    def begin(self, pc):
        if not self.out.json:
            print("%-*s" % (self.width, pc.kind()), end="", flush=True, file=self.out.out)

    def done(self, row):
        self.out.line("%s%s" % (row.met(), "  <- missed" if row.missed else ""))

    def sheet(self, tried):
        self.out.line("Contact sheet: %s" % (tried.sheet or "none could be made"))

    def preparing(self, line):
        """The words of what is made once, which --json sends to standard error."""
        print(line, file=self.out.err) if self.out.json else self.out.line(line)
