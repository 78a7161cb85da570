"""Stylesheets as a browser reads their links: every url() and @import, CSS
escapes undone, strings and comments as CSS tokenizes them."""
import re


# Where a stylesheet's tokens that matter begin: a comment, a string, an
# @import, a url(.
NEXT = re.compile(r"/\*|[\"']|@import|url\(", re.I)


def css_links(text):
    """(where it begins in text, address, True for @import) of every url()
    and @import of a stylesheet's text, its escapes undone, comments and
    strings skipped."""
    found, at, end = [], 0, len(text)
    while True:
        match = NEXT.search(text, at)
        if match is None:
            return found
        at, token = match.start(), match.group(0).lower()
        start = at
        if token == "/*":
            close = text.find("*/", at + 2)
            at = end if close < 0 else close + 2
        elif token in "\"'":
            at = css_string(text, at)[1]
        elif token == "@import":
            rest = at + 7
            while rest < end and text[rest] in " \t\r\n\x0c":
                rest += 1
            if rest < end and text[rest] in "\"'":
                value, after = css_string(text, rest)
                found.append((start, value, True))
                at = after
            elif text[rest:rest + 4].lower() == "url(":
                value, after = css_url(text, rest + 4)
                if value is not None:
                    found.append((start, value, True))
                at = after
            else:
                at = rest
        elif not (at and (text[at - 1].isalnum() or text[at - 1] in "-_\\")):
            value, after = css_url(text, at + 4)
            if value is not None:
                found.append((start, value, False))
            at = after
        else:
            at += 4


def css_escape(text, at):
    """(the character an escape at text[at] == "\\" stands for, where it ends)."""
    at += 1
    if at >= len(text):
        return "\ufffd", at
    digits = re.match(r"[0-9a-fA-F]{1,6}", text[at:at + 6])
    if digits:
        at += len(digits.group(0))
        if text[at:at + 2] == "\r\n":
            at += 2
        elif at < len(text) and text[at] in " \t\n\r\x0c":
            at += 1
        code = int(digits.group(0), 16)
        return (chr(code) if 0 < code <= 0x10FFFF and not 0xD800 <= code <= 0xDFFF else "\ufffd"), at
    return text[at], at + 1


def css_string(text, at):
    """(the value of the quoted string at text[at], where it ends)."""
    quote, at, value = text[at], at + 1, []
    while at < len(text) and text[at] != quote:
        if text[at] == "\n":
            return "".join(value), at  # a bad string ends at the line
        if text[at] == "\\":
            if text[at + 1:at + 2] == "\n":
                at += 2
                continue
            c, at = css_escape(text, at)
            value.append(c)
        else:
            value.append(text[at])
            at += 1
    return "".join(value), at + 1


def css_url(text, at):
    """(the address of the url( whose inside begins at at, or None for a bad
    one, where it ends)."""
    while at < len(text) and text[at] in " \t\r\n\x0c":
        at += 1
    if at < len(text) and text[at] in "\"'":
        value, at = css_string(text, at)
        close = text.find(")", at)
        return value, len(text) if close < 0 else close + 1
    value = []
    while at < len(text) and text[at] != ")":
        c = text[at]
        if c in " \t\r\n\x0c":
            rest = at
            while rest < len(text) and text[rest] in " \t\r\n\x0c":
                rest += 1
            if rest < len(text) and text[rest] != ")":
                close = text.find(")", rest)
                return None, len(text) if close < 0 else close + 1
            at = rest
            continue
        if c in "\"'(" or ord(c) < 0x20 and c not in "\t":
            close = text.find(")", at)
            return None, len(text) if close < 0 else close + 1
        if c == "\\":
            c, at = css_escape(text, at)
            value.append(c)
            continue
        value.append(c)
        at += 1
    return "".join(value), at + 1
