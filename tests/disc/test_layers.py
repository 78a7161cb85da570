#!/usr/bin/env python3
"""The tools' house, read from its source: every module in the package's
map, each importing only those before it (so the check never pulls in the
machinery of a try, and no format imports a check or a try); nobody but the
session reaching its agent or its private state; no module, class or
function grown past what a reader takes in at once."""
import ast
import glob
import os
import re
import unittest

from quenlo_disc import LIB

PACKAGE = os.path.join(LIB, "quenlo_disc")
E2E = os.path.join(LIB, "..", "tests", "e2e", "e2e.py")
# What the check must never import: the machinery of Wine sessions.
TRY_SIDE = {"sandbox", "agent", "inside", "host", "session", "registry", "browser", "chromium", "screen", "driver",
            "onepc", "trying"}
CHECK_SIDE = {"findings", "links", "medium", "signing", "mastering", "texts", "rewrites", "mends", "mending", "check"}
LONGEST = {"module": 430, "class": 160, "function": 76}


def the_map():
    """The modules in the order the package's docstring gives, in groups."""
    with open(os.path.join(PACKAGE, "__init__.py")) as f:
        doc = ast.get_docstring(ast.parse(f.read()))
    groups, current = [], []
    for line in doc[doc.index("What the modules are"):].splitlines()[2:]:
        names = re.fullmatch(r"  ([a-z_]+(?:, [a-z_]+)*),?", line)
        if names:
            current += names.group(1).split(", ")
        elif current:
            groups.append(current)
            current = []
    return groups


def parsed(path):
    with open(path) as f:
        return ast.parse(f.read())


def imports(tree):
    """The package's modules a module imports, wherever in it, with their lines."""
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and (node.level == 1 or node.module == "quenlo_disc"
                                                 or (node.module or "").startswith("quenlo_disc.")):
            module = (node.module or "").replace("quenlo_disc", "").lstrip(".")
            if module:
                found.append((module.split(".")[0], node.lineno))
            else:  # from . import a, b: modules, or names of the package's own
                found += [(alias.name, node.lineno) for alias in node.names
                          if os.path.exists(os.path.join(PACKAGE, alias.name + ".py"))]
    return found


def modules():
    return {os.path.basename(p)[:-3]: p for p in glob.glob(os.path.join(PACKAGE, "*.py"))
            if os.path.basename(p) not in ("__init__.py", "__main__.py")}


class Layers(unittest.TestCase):
    def test_map_complete(self):
        """Every module is in the map, once."""
        listed = [name for group in the_map() for name in group]
        self.assertEqual(sorted(listed), sorted(modules()))

    def test_no_upward_import(self):
        """Each module imports only those before it in the map; the check
        side none of the try side."""
        order = [name for group in the_map() for name in group]
        upward = []
        for name, path in modules().items():
            for imported, line in imports(parsed(path)):
                if imported in order and order.index(imported) >= order.index(name):
                    upward.append("%s.py:%d imports %s" % (name, line, imported))
                if name in CHECK_SIDE and imported in TRY_SIDE:
                    upward.append("%s.py:%d, of the check, imports %s" % (name, line, imported))
        self.assertEqual(upward, [])

    def test_the_rule_itself(self):
        """The reading of imports finds each way a module is imported."""
        tree = ast.parse("from . import sandbox, VERSION\nfrom .host import x\ndef f():\n    from .agent import y\n"
                         "from quenlo_disc.session import Session\nimport os\n")
        self.assertEqual(imports(tree), [("sandbox", 1), ("host", 2), ("session", 5), ("agent", 4)])

    def test_session_only_door(self):
        """Only the session speaks to its agent or touches its private state."""
        private = {node.name for node in ast.walk(parsed(os.path.join(PACKAGE, "session.py")))
                   if isinstance(node, ast.FunctionDef) and node.name.startswith("_")
                   and not node.name.startswith("__")} | {"_agent", "agent", "__dict__"}
        reached = []
        for path in list(modules().values()) + [E2E]:
            if os.path.basename(path) in ("session.py", "sandbox.py"):
                continue
            for node in ast.walk(parsed(path)):
                if isinstance(node, ast.Attribute) and node.attr in private:
                    reached.append("%s:%d: .%s" % (os.path.basename(path), node.lineno, node.attr))
        self.assertEqual(reached, [])

    def test_sizes(self):
        """No module, class or function longer than a reader takes in."""
        long = []
        for name, path in modules().items():
            tree = parsed(path)
            with open(path) as f:
                lines = len(f.read().splitlines())
            if lines > LONGEST["module"]:
                long.append("%s.py: %d lines" % (name, lines))
            for node in ast.walk(tree):
                kind = ("class" if isinstance(node, ast.ClassDef) else
                        "function" if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) else None)
                if kind and node.end_lineno - node.lineno + 1 > LONGEST[kind]:
                    long.append("%s.py:%d: %s %s, %d lines" % (name, node.lineno, kind, node.name,
                                                             node.end_lineno - node.lineno + 1))
        self.assertEqual(long, [])


if __name__ == "__main__":
    unittest.main()
