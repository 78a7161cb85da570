"""How a link is written anew by a mend: the same address in the page's
own spelling, but for the names that change (each escaped where a browser
would read it otherwise), or a link relative to the page for one that
named the author's own disk."""
import re
import unicodedata
import urllib.parse

from .names import upper


def split(address):
    """(the path of an address, its query and fragment)."""
    cut = min([n for n in (address.find("?"), address.find("#")) if n >= 0], default=len(address))
    return address[:cut], address[cut:]


def quoted(name):
    """A name as a link's path segment: escaped where a browser would read it otherwise."""
    return urllib.parse.quote(name, safe="!$&'()*+,;=@~")


def escape_html(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def with_last(address, name):
    """address leading to the file name in the same folder (for a folder's
    address, ending in "/", the file of that name beside the folder)."""
    path, rest = split(address)
    parts = re.split(r"([/\\])", path.rstrip("/\\") or path)
    return "".join(parts[:-1]) + quoted(name) + rest


def resolved_folder(folder, path):
    """The disc folder of a link's path written in folder ("/" and "\\" lead
    to the disc's root, where a page on a disc takes them)."""
    parts = folder.split("/") if folder and not path.startswith(("/", "\\")) else []
    for part in re.split(r"[/\\]", path)[:-1]:
        part = urllib.parse.unquote(part)
        if part == "..":
            parts = parts[:-1]
        elif part not in ("", "."):
            parts.append(part)
    return "/".join(parts)


def off_medium_path(address):
    """The folders and name a link off the medium ends with, where it names
    a file of this machine or of a local server (file:, C:\\…, localhost);
    else None."""
    text = address.strip()
    if re.match(r"[/\\]*[A-Za-z]:[\\/]|\\\\", text):
        path = text
    else:
        parsed = urllib.parse.urlsplit(text)
        if parsed.scheme.lower() == "file" or (parsed.scheme.lower() in ("http", "https") and (
                parsed.hostname or "") in ("localhost", "127.0.0.1", "[::1]", "::1")):
            path = urllib.parse.unquote(parsed.path)
        else:
            return None
    path = split(path)[0] if not re.match(r"[/\\]*[A-Za-z]:", path) else path.split("#")[0].split("?")[0]
    parts = [urllib.parse.unquote(p) for p in re.split(r"[/\\]", path) if p and not re.fullmatch(r"[A-Za-z]:", p)]
    return parts or None


def relinked(address, target, old, new):
    """address, which leads to target, leading there once old (a folder or
    file of target's path) is named new; None where its path's names do not
    line up with target's."""
    path, rest = split(address)
    pieces = re.split(r"([/\\])", path)
    names, wanted, renamed = pieces[0::2], target.split("/"), len(old.split("/")) - 1
    if names and names[-1] == "":  # a folder's link, ending in "/"
        names = names[:-1]
    at = len(wanted) - 1
    for n in range(len(names) - 1, -1, -1):
        name = urllib.parse.unquote(names[n])
        if name in (".", "..", "") or at < 0:
            break
        if upper(unicodedata.normalize("NFC", name)) != upper(unicodedata.normalize("NFC", wanted[at])):
            return None
        if at == renamed:
            pieces[2 * n] = quoted(new.rsplit("/", 1)[-1])
        at -= 1
    return "".join(pieces) + rest
