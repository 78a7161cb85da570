"""autorun.inf as Windows reads it, what Quenlo needs of its open line, and
autorun.inf as the tools write it.

Shared by the check and mastering of a medium and by the try, which reads
the autorun.inf of a finished image. Every problem is a Refusal: one line that
names it and says how to mend it.
"""
import os
import re

from . import PROGRAM, Refusal
from .codepages import CODE_PAGES, MARKS, WESTERN, ansi, check_text, codec, to_ansi
from .names import find_name, pick, upper


# What Windows' profile reader takes for blanks around lines, names and
# values: ASCII's, and ^Z (DOS's end of file, found on old CDs); no others.
BLANKS = " \t\n\v\f\r\x1a"


def decode(data, code_page=WESTERN):
    """The text of an .inf as Windows' profile reader takes it: UTF-8 after
    its byte-order mark, UTF-16 after one of its own (a last odd byte is
    dropped), everything else in the PC's ANSI code page (Western: 1252)."""
    for mark, name in MARKS:
        if data.startswith(mark):
            body = data[len(mark):]
            return (body if name == "utf-8" else body[:len(body) & ~1]).decode(name, errors="replace")
    return ansi(data, codec(code_page))


def same_name(a, b):
    """Profile names match without regard to case, character by character."""
    return len(a) == len(b) and upper(a) == upper(b)


def sections(data, code_page=WESTERN):
    """[(name, [(key, value or None)])] as GetPrivateProfileString parses the
    file: lines end at CR or LF; a line is a section header when it begins
    with "[" and has a "]", its name everything up to the last "]"; any other
    line is a key, with the value after its first "=" (none without one);
    blanks are trimmed around lines, names, keys and values; each text ends
    at a NUL. Keys before any header belong to a section with no name."""
    found = [("", [])]
    for line in re.split("[\r\n]", decode(data, code_page)):
        parsed = parse_line(line)
        if parsed and parsed[0] == "section":
            found.append((parsed[1], []))
        elif parsed:
            found[-1][1].append(parsed[1:])
    return found


def parse_line(line):
    """("section", name), ("key", key, value or None), or None for a blank line."""
    line = line.strip(BLANKS)
    if not line:
        return None
    if line[0] == "[" and "]" in line:
        return "section", line[1:line.rindex("]")].split("\0")[0].strip(BLANKS)
    key, equals, value = line.partition("=")
    return "key", key.rstrip(BLANKS).split("\0")[0], value.lstrip(BLANKS).split("\0")[0] if equals else None


def read_autorun(data, code_page=WESTERN):
    """The keys of the [autorun] section as Windows reads them, names in lower
    case: only the first section of that name counts, and in it only the
    first key of each name (one without "=" hides later ones); a value loses
    one pair of enclosing quotes."""
    section = next((keys for name, keys in sections(data, code_page) if name and same_name(name, "autorun")), None)
    if section is None:
        raise Refusal("autorun.inf has no [autorun] section: begin it with a line [autorun]", "autorun-no-section")
    keys = {}
    for key, value in section:
        if key and not any(same_name(key, k) for k in keys):
            keys[key.lower()] = value
    keys = {k: v for k, v in keys.items() if v is not None}
    for key, value in keys.items():
        if len(value) > 1 and value[0] == value[-1] and value[0] in "\"'":
            keys[key] = value[1:-1]
    return keys


def key_lines(data, code_page=WESTERN):
    """{key: its line (from 1)} of the keys of the [autorun] section that
    Windows reads (as read_autorun() takes them), as an editor counts lines."""
    found, inside, seen_section = {}, False, False
    for number, line in enumerate(re.findall(r"[^\r\n]*(?:\r\n|[\r\n]|$)", decode(data, code_page))[:-1], 1):
        parsed = parse_line(line.rstrip("\r\n"))
        if parsed and parsed[0] == "section":
            inside = not seen_section and same_name(parsed[1], "autorun")
            seen_section = seen_section or inside
        elif parsed and inside and parsed[1] and parsed[1].lower() not in found:
            found[parsed[1].lower()] = number
    return found


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
        raise Refusal("autorun.inf has no open line in its [autorun] section: add open=%s PAGE" % PROGRAM,
                      "open-missing")
    program, page = split_open_line(line)
    if upper(program) not in (upper(PROGRAM), upper(PROGRAM[:-4])):
        raise Refusal('the open line runs "%s", not %s: write open=%s PAGE' % (program, PROGRAM, PROGRAM),
                      "open-other-program")
    return program, page


def keys_and_exe(names, read_autorun_inf, code_page=WESTERN):
    """(keys of autorun.inf as a PC of code_page reads it, the name of the
    exe the open line runs, its page), from the names at the disc's root and
    a way to read one; a Refusal when the disc runs nothing of Quenlo's."""
    name = pick(names, "autorun.inf")
    if name is None:
        raise Refusal("the disc has no autorun.inf at its root, so Windows runs nothing from it: "
                      "make the image with quenlo-disc make --start PAGE", "autorun-missing")
    keys = read_autorun(read_autorun_inf(name), code_page)
    program, page = open_line(keys)
    exe = pick(names, program) or pick(names, program + ".exe")
    if exe is None:
        raise Refusal("the open line runs %s, which is not at the disc's root: make the image with quenlo-disc make"
                      % program, "exe-missing")
    return keys, exe, page


def check_page(page, root, where, code_page=None, line="the open line", meant=()):
    """The page relative to root with the disc's own spelling, once it is
    known that Quenlo will find and open it. `where` names root in messages,
    `line` the line of autorun.inf that gives the page to Quenlo. Quenlo
    gets the page in the PC's ANSI code page: ASCII reaches every PC; with
    code_page, whatever has a form there reaches the PCs that use it."""
    if not page:
        raise Refusal("%s names no page, so Quenlo would only show its About box: give it a page from the disc's "
                      "root, as open=%s PAGE" % (line, PROGRAM), "page-none")
    if '"' in page:
        raise Refusal('the page %s is in double quotes, and Quenlo keeps quotes as part of the name: '
                      'remove them (a name with spaces needs none)' % page, "page-quoted")
    if page[0] in "\\/" or (len(page) > 1 and page[1] == ":"):
        raise Refusal('the page "%s" is an absolute path, but the disc\'s drive letter differs from PC to PC: '
                      'name it from the disc\'s root, as docs\\index.htm' % page, "page-absolute")
    parts = [p for p in page.replace("/", "\\").split("\\") if p not in ("", ".")]
    if ".." in parts:
        raise Refusal('the page "%s" goes up with "..": name it from the disc\'s root, as docs\\index.htm' % page,
                      "page-up")
    check_text("the page", page, code_page, meant)
    path, found = root, []
    for part in parts:
        name = find_name(path, part)
        if name is None:
            raise Refusal('the page "%s" is not among the files of %s (names match without regard to case): '
                          'correct %s or add the page' % (page, where, line), "page-missing")
        path = os.path.join(path, name)
        found.append(name)
    if not parts or os.path.isdir(path):
        raise Refusal('the page "%s" is a folder: name the HTML page in it' % page, "page-folder")
    return "\\".join(found)


def check_open_line(keys, root, where, code_page=None, meant=()):
    return check_page(open_line(keys)[1], root, where, code_page, meant=meant)


def is_unicode(data):
    """Whether Windows reads the .inf as Unicode (it begins with a byte-order
    mark): then its label and icon reach Explorer as written, whatever the
    PC's code page; the open line still reaches Quenlo in that code page."""
    return data.startswith(tuple(mark for mark, _ in MARKS))


def reaching(data, root):
    """The code pages (of all Windows PCs) on which autorun.inf's bytes,
    read as such a PC reads them, name a page in root that Quenlo's ANSI
    calls reach there."""
    found = []
    for code_page in CODE_PAGES:
        try:
            check_open_line(read_autorun(data, code_page), root, "the disc", code_page)
            found.append(code_page)
        except Refusal:
            pass
    return found


# ---------------------------------------------------------------- writing

def autorun_text(page, label, icon, action, code_page=None, errors="strict"):
    """The autorun.inf the tools write for --start PAGE."""
    lines = ["[autorun]", "open=%s %s" % (PROGRAM, page)]
    for key, value in (("label", label), ("icon", icon), ("action", action)):
        if value:
            lines.append("%s=%s" % (key, value))
    return ("\r\n".join(lines) + "\r\n").encode(codec(code_page) if code_page else "ascii", errors)


def with_keys(data, given, code_page=WESTERN):
    """The author's autorun.inf with the keys given (name: value) set in its
    [autorun] section: each key's first line replaced where Windows reads one,
    added after the section's header where not; in the file's own encoding."""
    mark, unicode = next(((m, c) for m, c in MARKS if data.startswith(m)), (b"", None))
    text = decode(data, code_page)
    end = "\r\n" if "\r\n" in text else "\n"
    lines = [line for line in re.findall(r"[^\r\n]*(?:\r\n|[\r\n]|$)", text) if line]
    parsed = [parse_line(line) for line in lines]
    header = next(n for n, p in enumerate(parsed) if p and p[0] == "section" and same_name(p[1], "autorun"))
    done = set()
    for n in range(header + 1, len(lines)):
        if parsed[n] and parsed[n][0] == "section":
            break
        for wanted, value in given.items():
            if parsed[n] and same_name(parsed[n][1], wanted) and wanted not in done:
                lines[n] = "%s=%s%s" % (wanted, value, end)
                done.add(wanted)
    if not lines[header].endswith(("\n", "\r")):
        lines[header] += end
    lines[header + 1:header + 1] = ["%s=%s%s" % (k, v, end) for k, v in given.items() if k not in done]
    text = "".join(lines)
    return mark + text.encode(unicode) if unicode else to_ansi(text, codec(code_page))


def double_clicked(page, root_pages, links):
    """The page a stick's user double-clicks, since Windows runs no open
    line from a stick: the open line's page (page, as autorun.inf gives it,
    or None) where it is at the stick's root; else the first root page by
    name that links to it, as Windows compares names (links: the disc paths
    (of the linking page, of the file it leads to) of each link to a file);
    with no open line at all, the root's one page (root_pages: the pages at
    the root); else None: no page at the root leads to it."""
    if not page:
        return root_pages[0] if len(root_pages) == 1 else None
    page = page.replace("\\", "/")
    if "/" not in page:
        return page
    leading = sorted(rel for rel, target in links if "/" not in rel and target and upper(target) == upper(page))
    return leading[0] if leading else None
