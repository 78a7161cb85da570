"""What a sandbox's processes may have in all, held by the kernel's control
groups: how many processes, and how much memory, every page they make
counted (a memfd's, a tmpfs's), not only what they hold resident.

A group is made below the caller's own, in the controller's hierarchy of
version 1, or of version 2 where the caller's group lets it (the
controller enabled for groups below it: root's, or one systemd delegates);
where none can be made, the limit falls back to what rlimits and the
agent's own watch of resident memory give, and says so."""
import os

from .tools import in_words, wait_until

# A try ends once half the processes are there; the kernel holds them to the
# rest meanwhile.
PROCESSES = 512
MEMORY = 4 << 30
TOP = "/sys/fs/cgroup"


def own_groups():
    """{controller or "": this process's group path} from /proc/self/cgroup."""
    found = {}
    try:
        with open("/proc/self/cgroup") as f:
            for line in f:
                _, controllers, path = line.rstrip("\n").split(":", 2)
                for controller in controllers.split(",") if controllers else [""]:
                    found[controller] = path
    except (OSError, ValueError):
        pass
    return found


def places(controller):
    """Where a group of the controller may be made for a sandbox: version 1's
    hierarchy below this process's group, then version 2's (at the top for
    root, else below this process's group), each where the controller is."""
    groups = own_groups()
    found = []
    if controller in groups:
        found.append((os.path.join(TOP, controller) + groups[controller].rstrip("/"), 1))
    if "" in groups:
        unified = TOP if os.path.exists(os.path.join(TOP, "cgroup.controllers")) else os.path.join(TOP, "unified")
        found += [(unified, 2)] if os.geteuid() == 0 else []
        found.append((unified + groups[""].rstrip("/"), 2))
    return found


class Group:
    """A control group of one controller for a sandbox to start in, with
    its settings ({file: value}, by version); path None where none could be
    made (why says why)."""
    controller = None

    def settings(self, version):
        return {}

    def __init__(self):
        self.path, self.version, self.why = None, None, "no control group of %s here" % self.controller
        for parent, version in places(self.controller):
            try:
                if version == 2:
                    with open(os.path.join(parent, "cgroup.subtree_control")) as f:
                        if self.controller not in f.read().split():
                            continue
                path = os.path.join(parent, "quenlo-try-%d-%s" % (os.getpid(), os.urandom(3).hex()))
                os.mkdir(path)
            except OSError as error:
                self.why = "no control group of %s could be made (%s)" % (self.controller, error.strerror)
                continue
            try:
                for name, value in self.settings(version).items():
                    if os.path.exists(os.path.join(path, name)):
                        with open(os.path.join(path, name), "w") as f:
                            f.write(str(value))
            except OSError as error:
                os.rmdir(path)
                self.why = "its control group could not be set (%s)" % error.strerror
                continue
            self.path, self.version, self.why = path, version, None
            return

    def enter(self):
        """In the child, before it runs the sandbox: into the group."""
        if self.path:
            with open(os.path.join(self.path, "cgroup.procs"), "w") as f:
                f.write(str(os.getpid()))

    def counted(self, name, keys):
        """The sum of the named counters of a file of the group's ("key value" lines)."""
        try:
            with open(os.path.join(self.path, name)) as f:
                return sum(int(line.split()[1]) for line in f if line.split()[:1] and line.split()[0] in keys)
        except (OSError, TypeError, ValueError, IndexError):
            return 0

    def remove(self):
        """The group goes once the sandbox's processes have."""
        def removed():
            try:
                os.rmdir(self.path)
            except FileNotFoundError:
                pass
            except OSError:
                return False
            self.path = None
            return True

        if self.path:
            wait_until(removed, 5, 0.01)


class ProcessLimit(Group):
    """At most PROCESSES, for root, whose processes the kernel's limit on a
    user's processes never bounds (for any other user, the sandbox's first
    process sets that limit)."""
    controller = "pids"

    def __init__(self):
        if os.geteuid() == 0:
            super().__init__()
        else:
            self.path, self.version, self.why = None, None, "the limit of the user's processes"

    def settings(self, version):
        return {"pids.max": PROCESSES}

    def reached(self):
        """True once the group refused a process."""
        return bool(self.path) and self.counted("pids.events", ("max",)) > 0


class MemoryLimit(Group):
    """At most most bytes in all, no swap; once the group has had to refuse
    memory (the kernel then ends a process of it), reached() says so."""
    controller = "memory"

    def __init__(self, most=MEMORY):
        self.most = most
        super().__init__()

    def settings(self, version):
        if version == 1:
            return {"memory.limit_in_bytes": self.most, "memory.memsw.limit_in_bytes": self.most}
        return {"memory.max": self.most, "memory.swap.max": 0}

    def reached(self):
        if not self.path:
            return False
        if self.version == 1:
            return self.counted("memory.oom_control", ("oom_kill",)) > 0
        return self.counted("memory.events", ("oom_kill", "max")) > 0

    def said(self):
        """How a try's memory is bounded, in words."""
        if self.path:
            return "at most %s in all, files in memory included (a control group)" % in_words(self.most)
        return ("at most %s resident, as the try watches it (%s: files it keeps in memory are bounded only by "
                "the sizes of the sandbox's file systems)" % (in_words(self.most), self.why))
