"""How a browser decodes a page or a stylesheet, as Chromium does: a
byte-order mark; an XML declaration at the very start; the <meta> that the
HTML standard's prescan finds in the first 1024 bytes, or one later in the
<head> (the standard's "change the encoding"); the Encoding standard's
labels; and for a page that says nothing, UTF-8 where its bytes are that,
else what Chromium's detector makes of its bytes (asked of Chromium itself
where the caller can, else guessed as below), and for bytes of ASCII alone
the encoding of the PC's locale."""
import enum
import re

from .codepages import MARKS, WESTERN, ansi
from .labels import ENCODINGS, encoding, meta, prescan

# The encoding a browser on a PC of each ANSI code page falls back to.
FOR_CODE_PAGE = {874: "windows-874", 932: "Shift_JIS", 936: "GBK", 949: "EUC-KR", 950: "Big5"}


def for_code_page(code_page):
    return FOR_CODE_PAGE.get(code_page) or "windows-%d" % (code_page or WESTERN)


def decode(data, name):
    """The bytes in encoding name, as a browser decodes them."""
    python = ENCODINGS[name][0]
    if python is None:
        return "\ufffd"
    if python.startswith("cp125") or python == "cp874":
        return ansi(data, python)
    return data.decode(python, errors="replace")


def bom(data):
    """(the encoding a byte-order mark names, as browsers name it, its length), or (None, 0)."""
    for mark, name in MARKS:
        if data.startswith(mark):
            return name.upper().replace("-LE", "LE").replace("-BE", "BE"), len(mark)
    return None, 0


class Source(enum.Enum):
    """Where the encoding a browser reads a file in comes from, as a finding says it."""
    BOM = "the byte-order mark"
    XML = "its XML declaration"
    XML_DEFAULT = "XML's own default"
    META = "the page's <meta>"
    UTF8 = "the bytes (UTF-8)"
    CHROMIUM = "no declaration (Chromium's reading of its bytes)"
    DETECTOR = "no declaration (what Chromium's detector most likely makes of its bytes)"
    DEFAULT = "no declaration (the PC's default)"
    SHEET = "the stylesheet's own word"
    LINKER = "what links it"

    @property
    def guessed(self):
        """True where nothing in the file says: the browser guessed."""
        return self in (Source.CHROMIUM, Source.DETECTOR, Source.DEFAULT)


def sniff(data, code_page=None, guess=None):
    """(text, encoding, its Source) of a page as a browser reads it: a
    byte-order mark, an XML declaration, a <meta>, bytes that are UTF-8, or
    a guess: Chromium's (guess(data)), else detect()'s, else the PC's
    default."""
    found = declared(data)
    if found:
        return found
    name = prescan(data[:1024]) or late_meta(data)
    if name:
        return decode(data, name), name, Source.META
    # Bytes of ASCII alone say nothing: the PC's default it is, which is
    # what stylesheets they link are then read in.
    if not data.isascii():
        name = encoding(guess(data) or "") if guess else None
        if name and ENCODINGS[name][0]:  # even for UTF-8's bytes: its detector may read a few as a code page
            return decode(data, name), name, Source.CHROMIUM
        try:
            return data.decode("utf-8"), "UTF-8", Source.UTF8
        except UnicodeDecodeError:
            pass
        name = detect(data)
        return decode(data, name), name, Source.DETECTOR
    name = for_code_page(code_page)
    return decode(data, name), name, Source.DEFAULT


def xml_declared(data):
    """The encoding an XML declaration at the very start of data names, or None."""
    match = re.match(rb"""<\?xml[\t\n\r ]+version[\t\n\r ]*=[\t\n\r ]*["'][^"']*["'][\t\n\r ]+encoding[\t\n\r ]*="""
                     rb"""[\t\n\r ]*["']([A-Za-z0-9._:-]+)["']""", data)
    return encoding(match.group(1).decode("ascii")) if match else None


def declared(data):
    """(text, encoding, how) of data by its byte-order mark or an XML
    declaration at its very start, which outrank all else; or None."""
    name, skip = bom(data)
    if name:
        return decode(data[skip:], name), name, Source.BOM
    name = xml_declared(data)
    if name:
        return decode(data, name), name, Source.XML
    return None


def xml_text(data):
    """(text, encoding, how) of an XML document (an SVG): its byte-order mark,
    its declaration, else UTF-8."""
    return declared(data) or (decode(data, "UTF-8"), "UTF-8", Source.XML_DEFAULT)


# Elements a <head> holds: Chromium looks for a <meta charset> among them
# past the first 1024 bytes, up to the first thing of the body.
HEAD = {"html", "head", "meta", "title", "style", "script", "link", "base", "noscript", "template"}


def late_meta(data):
    """The encoding a <meta> in the <head> past the first 1024 bytes names."""
    if len(data) <= 1024:
        return None
    at = 0
    while True:
        at = data.find(b"<", at)
        if at < 0:
            return None
        if data.startswith(b"<!--", at):
            close = data.find(b"-->", at + 4)
            at = len(data) if close < 0 else close + 3
            continue
        match = re.match(rb"<(/?)([A-Za-z][^\t\n\x0c\r />]*)", data[at:at + 64])
        if not match:
            at += 1
            continue
        name = match.group(2).lower().decode("ascii", "replace")
        if name not in HEAD:
            return None
        if name == "meta" and not match.group(1):
            found = meta(data, at + match.end())
            if found and found[0]:
                return found[0]
        if name in ("style", "script", "title") and not match.group(1):
            close = re.compile(rb"</%s[\t\n\x0c\r />]" % name.encode(), re.I).search(data, at)
            at = len(data) if close is None else close.start()
            continue
        at += match.end()


# What Chromium's detector makes of undeclared bytes, guessed where Chromium
# itself is not at hand: each encoding's text scored by the letters of its
# script it holds, against what no text holds (controls, symbols, letters of
# the wrong case in a row); ties go in this order.
DETECTED = ["windows-1252", "windows-1250", "windows-1251", "KOI8-R", "ISO-8859-7", "windows-1253", "Shift_JIS",
            "EUC-JP", "GBK", "Big5", "EUC-KR"]


def detect(data):
    """The encoding a browser's detector most likely takes undeclared data
    (not UTF-8, not ASCII) to be in."""
    best, score = "windows-1252", None
    high = bytes(b for b in data if b > 127)
    for name in DETECTED:
        try:
            text = data.decode(ENCODINGS[name][0])
        except UnicodeDecodeError:
            continue
        letters = sum(1 for c in text if ord(c) > 127 and c.isalpha())
        odd = sum(1 for c in text if 0x80 <= ord(c) < 0xA0 or (ord(c) > 127 and not c.isalpha()
                                                               and not c.isspace() and c not in "\u00a0\u2019\u2018"
                                                               "\u201c\u201d\u2013\u2014\u00ab\u00bb\u3001\u3002"))
        cased = [c for c in text if ord(c) > 127 and c.isalpha() and c.lower() != c.upper()]
        lower = sum(1 for c in cased if c.islower())
        wide = len(text) < len(data) - len(high) // 2 + 1  # two bytes a letter: East Asian
        kana = sum(1 for c in text if "\u3041" <= c <= "\u30ff")
        hangul = sum(1 for c in text if "\uac00" <= c <= "\ud7a3")
        if text.count(" ") < hangul // 8:  # Korean is written with spaces between words; Chinese is not
            hangul = -hangul
        rare = sum(1 for c in text if "\ue000" <= c <= "\uf8ff" or "\u3400" <= c <= "\u4dbf" or "\uf900" <= c)
        common = sum(1 for c in text if ord(c) > 0x2fff and frequent(c, name))
        # A word of Latin letters with a Greek or Cyrillic one in it is no
        # word of any language; nor is one of accented letters alone.
        foreign = sum(1 for word in re.findall(r"[^\W\d_]{3,}", text) if all("\u00c0" <= c <= "\u024f" for c in word))
        mixed = sum(1 for word in re.findall(r"[^\W\d_]+", text) if re.search("[A-Za-z]", word)
                    and re.search("[\u0370-\u052f\u3040-\u30ff\u3400-\u9fff\uac00-\ud7a3]", word))
        value = (letters - 3 * odd - 4 * mixed - 4 * foreign + (lower - (len(cased) - lower)) // 2
                 + (letters if wide else 0)
                 + 2 * (kana if name in ("Shift_JIS", "EUC-JP") else hangul if name == "EUC-KR" else 0) - 3 * rare
                 + 2 * common)
        if score is None or value > score:
            best, score = name, value
    return best


# Where each East Asian encoding keeps the characters its texts are mostly
# made of (its own first level, and kana and hangul): the lead bytes of the
# encoded character. Bytes read in the wrong one of them give characters
# from all over its table instead.
FREQUENT = {"GBK": ("gb2312", 0xB0, 0xD7), "Big5": ("big5", 0xA4, 0xC6), "Shift_JIS": ("euc_jp", 0xA4, 0xCF),
            "EUC-JP": ("euc_jp", 0xA4, 0xCF), "EUC-KR": ("euc_kr", 0xB0, 0xC8)}


def frequent(c, name):
    if name not in FREQUENT:
        return False
    codec, low, high = FREQUENT[name]
    try:
        lead = c.encode(codec)[0]
    except UnicodeEncodeError:
        return False
    return low <= lead <= high and not (0xA6 <= lead <= 0xAF)


def sheet(data, environment="UTF-8"):
    """(text, encoding) of a stylesheet: its byte-order mark, its @charset,
    else the encoding of what links it."""
    name, skip = bom(data)
    if name:
        return decode(data[skip:], name), name
    match = re.match(rb'@charset "([\x00-\x21\x23-\x7f]*)";', data)
    if match:
        name = encoding(match.group(1).decode("ascii"))
        if name in ("UTF-16BE", "UTF-16LE"):
            name = "UTF-8"
        if name:
            return decode(data, name), name
    return decode(data, environment), environment
