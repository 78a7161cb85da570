"""autorun.inf as Windows reads it, and what Quenlo needs of its open line.

Shared by the check and mastering of a medium (master.py) and by the disc
preflight (preflight.py), which reads the autorun.inf of a finished image. Every problem is a Refusal: one line that
names it and says how to mend it.
"""
import os

from . import PROGRAM, Refusal
from .names import find_name, upper


def decode(data):
    """An .inf is UTF-16 when it starts with a byte-order mark, else bytes in
    the PC's ANSI code page (Western: 1252)."""
    if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
        return data.decode("utf-16")
    if data[:3] == b"\xef\xbb\xbf":
        data = data[3:]
    return data.decode("cp1252", errors="replace")


def read_autorun(data):
    """The keys of the first [autorun] section, names in lower case, values as
    GetPrivateProfileString gives them: blanks around them and one pair of
    enclosing quotes dropped; the first of a repeated key counts."""
    keys, section, seen = {}, None, False
    for raw in decode(data).splitlines():
        line = raw.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith("["):
            name = line[1:line.index("]")] if "]" in line else line[1:]
            section = name.strip().lower()
            if section == "autorun" and seen:
                section = None  # only the first such section is read
            seen = seen or section == "autorun"
            continue
        if section != "autorun" or "=" not in line:
            continue
        key, value = (part.strip() for part in line.split("=", 1))
        if len(value) > 1 and value[0] == value[-1] and value[0] in "\"'":
            value = value[1:-1]
        keys.setdefault(key.lower(), value)
    if not seen:
        raise Refusal("autorun.inf has no [autorun] section: begin it with a line [autorun]")
    return keys


def split_open_line(line):
    """(program, page) as Quenlo takes them: the page is the rest of the line
    after the program name and the blanks behind it, quotes and all."""
    if line.startswith('"'):
        end = line.find('"', 1)
        if end < 0:
            return line[1:], ""
        return line[1:end], line[end + 1:].lstrip(" \t")
    program, _, page = line.partition(" ")
    return program, page.lstrip(" \t")


def open_line(keys):
    """(program, page) of the open line, once it is known to run Quenlo."""
    line = keys.get("open")
    if not line:
        raise Refusal("autorun.inf has no open line in its [autorun] section: add open=%s PAGE" % PROGRAM)
    program, page = split_open_line(line)
    if upper(program) not in (upper(PROGRAM), upper(PROGRAM[:-4])):
        raise Refusal('the open line runs "%s", not %s: write open=%s PAGE' % (program, PROGRAM, PROGRAM))
    return program, page


def check_page(page, root, where):
    """The page relative to root with the disc's own spelling, once it is
    known that Quenlo will find and open it. `where` names root in messages."""
    if not page:
        raise Refusal("the open line names no page, so Quenlo would only show its About box: "
                      "write open=%s PAGE, with PAGE from the disc's root" % PROGRAM)
    if '"' in page:
        raise Refusal('the page %s is in double quotes, and Quenlo keeps quotes as part of the name: '
                      'remove them (a name with spaces needs none)' % page)
    if page[0] in "\\/" or (len(page) > 1 and page[1] == ":"):
        raise Refusal('the page "%s" is an absolute path, but the disc\'s drive letter differs from PC to PC: '
                      'name it from the disc\'s root, as docs\\index.htm' % page)
    parts = [p for p in page.replace("/", "\\").split("\\") if p not in ("", ".")]
    if ".." in parts:
        raise Refusal('the page "%s" goes up with "..": name it from the disc\'s root, as docs\\index.htm' % page)
    odd = sorted({c for c in page if ord(c) > 126 or ord(c) < 32})
    if odd:
        raise Refusal('the page "%s" has characters beyond ASCII (%s), which reach Quenlo only where the PC\'s '
                      'code page has them: rename the page with ASCII letters' % (page, "".join(odd)))
    path, found = root, []
    for part in parts:
        name = find_name(path, part)
        if name is None:
            raise Refusal('the page "%s" is not among the files of %s (names match without regard to case): '
                          'correct the open line or add the page' % (page, where))
        path = os.path.join(path, name)
        found.append(name)
    if not parts or os.path.isdir(path):
        raise Refusal('the page "%s" is a folder: name the HTML page in it' % page)
    return "\\".join(found)


def check_open_line(keys, root, where):
    return check_page(open_line(keys)[1], root, where)
