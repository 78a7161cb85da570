"""The names browsers give encodings, and where a page names its own: the
Encoding standard's labels, and the HTML standard's prescan of a page's
first bytes for a <meta> that names one (charsets.py decodes with them)."""
import re

# The Encoding standard's encodings, by the labels that name them, as
# Python's codecs decode them. Its GBK is decoded as gb18030, its Big5 with
# HKSCS, its EUC-KR and Shift_JIS as Windows' code pages 949 and 932, and its
# single-byte windows-125x give the bytes a code page leaves undefined the
# code points of the same numbers.
ENCODINGS = {
    "UTF-8": ("utf-8", "unicode-1-1-utf-8 unicode11utf8 unicode20utf8 utf-8 utf8 x-unicode20utf8"),
    "IBM866": ("cp866", "866 cp866 csibm866 ibm866"),
    "ISO-8859-2": ("iso8859_2", "csisolatin2 iso-8859-2 iso-ir-101 iso8859-2 iso88592 iso_8859-2 iso_8859-2:1987 l2 "
                                "latin2"),
    "ISO-8859-3": ("iso8859_3", "csisolatin3 iso-8859-3 iso-ir-109 iso8859-3 iso88593 iso_8859-3 iso_8859-3:1988 l3 "
                                "latin3"),
    "ISO-8859-4": ("iso8859_4", "csisolatin4 iso-8859-4 iso-ir-110 iso8859-4 iso88594 iso_8859-4 iso_8859-4:1988 l4 "
                                "latin4"),
    "ISO-8859-5": ("iso8859_5", "csisolatincyrillic cyrillic iso-8859-5 iso-ir-144 iso8859-5 iso88595 iso_8859-5 "
                                "iso_8859-5:1988"),
    "ISO-8859-6": ("iso8859_6", "arabic asmo-708 csiso88596e csiso88596i csisolatinarabic ecma-114 iso-8859-6 "
                                "iso-8859-6-e iso-8859-6-i iso-ir-127 iso8859-6 iso88596 iso_8859-6 iso_8859-6:1987"),
    "ISO-8859-7": ("iso8859_7", "csisolatingreek ecma-118 elot_928 greek greek8 iso-8859-7 iso-ir-126 iso8859-7 "
                                "iso88597 iso_8859-7 iso_8859-7:1987 sun_eu_greek"),
    "ISO-8859-8": ("iso8859_8", "csiso88598e csisolatinhebrew hebrew iso-8859-8 iso-8859-8-e iso-ir-138 iso8859-8 "
                                "iso88598 iso_8859-8 iso_8859-8:1988 visual"),
    "ISO-8859-8-I": ("iso8859_8", "csiso88598i iso-8859-8-i logical"),
    "ISO-8859-10": ("iso8859_10", "csisolatin6 iso-8859-10 iso-ir-157 iso8859-10 iso885910 l6 latin6"),
    "ISO-8859-13": ("iso8859_13", "iso-8859-13 iso8859-13 iso885913"),
    "ISO-8859-14": ("iso8859_14", "iso-8859-14 iso8859-14 iso885914"),
    "ISO-8859-15": ("iso8859_15", "csisolatin9 iso-8859-15 iso8859-15 iso885915 iso_8859-15 l9"),
    "ISO-8859-16": ("iso8859_16", "iso-8859-16"),
    "KOI8-R": ("koi8_r", "cskoi8r koi koi8 koi8-r koi8_r"),
    "KOI8-U": ("koi8_u", "koi8-ru koi8-u"),
    "macintosh": ("mac_roman", "csmacintosh mac macintosh x-mac-roman"),
    "windows-874": ("cp874", "dos-874 iso-8859-11 iso8859-11 iso885911 tis-620 windows-874"),
    "windows-1250": ("cp1250", "cp1250 windows-1250 x-cp1250"),
    "windows-1251": ("cp1251", "cp1251 windows-1251 x-cp1251"),
    "windows-1252": ("cp1252", "ansi_x3.4-1968 ascii cp1252 cp819 csisolatin1 ibm819 iso-8859-1 iso-ir-100 iso8859-1 "
                               "iso88591 iso_8859-1 iso_8859-1:1987 l1 latin1 us-ascii windows-1252 x-cp1252"),
    "windows-1253": ("cp1253", "cp1253 windows-1253 x-cp1253"),
    "windows-1254": ("cp1254", "cp1254 csisolatin5 iso-8859-9 iso-ir-148 iso8859-9 iso88599 iso_8859-9 "
                               "iso_8859-9:1989 l5 latin5 windows-1254 x-cp1254"),
    "windows-1255": ("cp1255", "cp1255 windows-1255 x-cp1255"),
    "windows-1256": ("cp1256", "cp1256 windows-1256 x-cp1256"),
    "windows-1257": ("cp1257", "cp1257 windows-1257 x-cp1257"),
    "windows-1258": ("cp1258", "cp1258 windows-1258 x-cp1258"),
    "x-mac-cyrillic": ("mac_cyrillic", "x-mac-cyrillic x-mac-ukrainian"),
    "GBK": ("gb18030", "chinese csgb2312 csiso58gb231280 gb2312 gb_2312 gb_2312-80 gbk iso-ir-58 x-gbk"),
    "gb18030": ("gb18030", "gb18030"),
    "Big5": ("big5hkscs", "big5 big5-hkscs cn-big5 csbig5 x-x-big5"),
    "EUC-JP": ("euc_jp", "cseucpkdfmtjapanese euc-jp x-euc-jp"),
    "ISO-2022-JP": ("iso2022_jp", "csiso2022jp iso-2022-jp"),
    "Shift_JIS": ("cp932", "csshiftjis ms932 ms_kanji shift-jis shift_jis sjis windows-31j x-sjis"),
    "EUC-KR": ("cp949", "cseuckr csksc56011987 euc-kr iso-ir-149 korean ks_c_5601-1987 ks_c_5601-1989 ksc5601 "
                        "ksc_5601 windows-949"),
    "replacement": (None, "csiso2022kr hz-gb-2312 iso-2022-cn iso-2022-cn-ext iso-2022-kr replacement"),
    "UTF-16BE": ("utf-16-be", "unicodefffe utf-16be"),
    "UTF-16LE": ("utf-16-le", "csunicode iso-10646-ucs-2 ucs-2 unicode unicodefeff utf-16 utf-16le"),
    "x-user-defined": ("cp1252", "x-user-defined"),
}
LABELS = {label: name for name, (_, labels) in ENCODINGS.items() for label in labels.split()}
WHITESPACE = b"\t\n\x0c\r "


def encoding(label):
    """The encoding a label names, or None."""
    return LABELS.get(label.strip("\t\n\x0c\r ").lower())


def prescan(data):
    """The encoding the HTML standard's prescan finds in the first bytes of a
    page (its <meta charset> or http-equiv Content-Type), or None."""
    at, end = 0, len(data)
    while at < end:
        if data.startswith(b"<!--", at):
            close = data.find(b"-->", at + 2)
            if close < 0:
                return None
            at = close + 3
        elif data[at:at + 5].lower() == b"<meta" and at + 5 < end and data[at + 5] in WHITESPACE + b"/":
            at += 6
            found = meta(data, at)
            if found is None:
                return None
            name, at = found
            if name:
                return name
        elif data.startswith(b"<", at) and at + 1 < end and (data[at + 1:at + 2].isalpha() or (
                data[at + 1] == 0x2F and at + 2 < end and data[at + 2:at + 3].isalpha())):
            at += 1
            while at < end and data[at] not in WHITESPACE + b">":
                at += 1
            while True:
                found = attribute(data, at)
                if found is None:
                    break
                at = found[2]
                if found[0] is None:
                    break
        elif data[at:at + 2] in (b"<!", b"</", b"<?"):
            close = data.find(b">", at + 2)
            if close < 0:
                return None
            at = close + 1
        else:  # text: nothing the prescan reads begins before the next "<"
            at = data.find(b"<", at + 1)
            at = end if at < 0 else at
    return None


def meta(data, at):
    """(encoding or None, where the prescan goes on) for the attributes of a
    <meta> that begin at at; None where the data ends in it."""
    seen, got_pragma, need_pragma, charset = set(), False, None, None
    while True:
        found = attribute(data, at)
        if found is None:
            return None
        name, value, at = found
        if name is None:
            break
        if name in seen:
            continue
        seen.add(name)
        if name == "http-equiv" and value == "content-type":
            got_pragma = True
        elif name == "content" and charset is None:
            charset = from_content(value)
            if charset is not None:
                need_pragma = True
        elif name == "charset" and charset is None:
            charset, need_pragma = encoding(value) or "", False
    if need_pragma is None or (need_pragma and not got_pragma) or not charset:
        return None, at
    if charset in ("UTF-16BE", "UTF-16LE"):
        charset = "UTF-8"
    if charset == "x-user-defined":
        charset = "windows-1252"
    return charset, at


def attribute(data, at):
    """(name, value, where the prescan goes on) of the attribute at at, with
    name None where there is none before ">"; None where the data ends."""
    end = len(data)
    while at < end and data[at] in WHITESPACE + b"/":
        at += 1
    if at >= end:
        return None
    if data[at] == 0x3E:
        return None, "", at
    name = bytearray()
    while True:
        if at >= end:
            return None
        c = data[at]
        if c == 0x3D and name:
            at += 1
            break
        if c in WHITESPACE:
            while at < end and data[at] in WHITESPACE:
                at += 1
            if at >= end:
                return None
            if data[at] != 0x3D:
                return name.decode("latin-1"), "", at
            at += 1
            break
        if c in b"/>":
            return name.decode("latin-1"), "", at
        name.append(c + 32 if 0x41 <= c <= 0x5A else c)
        at += 1
    while at < end and data[at] in WHITESPACE:
        at += 1
    if at >= end:
        return None
    value = bytearray()
    if data[at] in b"\"'":
        quote = data[at]
        close = data.find(bytes([quote]), at + 1)
        if close < 0:
            return None
        value = data[at + 1:close].lower()
        return name.decode("latin-1"), value.decode("latin-1"), close + 1
    if data[at] == 0x3E:
        return name.decode("latin-1"), "", at
    while at < end and data[at] not in WHITESPACE + b">":
        c = data[at]
        value.append(c + 32 if 0x41 <= c <= 0x5A else c)
        at += 1
    if at >= end:
        return None
    return name.decode("latin-1"), value.decode("latin-1"), at


def from_content(value):
    """The encoding that a Content-Type's charset= names, or None."""
    at = 0
    while True:
        at = value.lower().find("charset", at)
        if at < 0:
            return None
        at += 7
        rest = value[at:].lstrip("\t\n\x0c\r ")
        if rest.startswith("="):
            rest = rest[1:].lstrip("\t\n\x0c\r ")
            break
    if rest[:1] in ("'", '"'):
        close = rest.find(rest[0], 1)
        return encoding(rest[1:close]) if close > 0 else None
    label = re.match(r"[^\t\n\x0c\r ;]*", rest).group(0)
    return encoding(label) if label else None
