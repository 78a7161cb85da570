"""The ANSI code pages of the PCs a disc is for, and text in them.

Quenlo receives its page in the PC's ANSI code page, so the open line's page
and the label must have a form in it. Each code page's PCs have a locale
under which Wine gives a program that code page (host.py makes it ready).
"""
import codecs

from . import Refusal

# code page: (what its PCs are called, a locale whose Windows code page it is)
CODE_PAGES = {
    874: ("Thai", "th_TH"), 932: ("Japanese", "ja_JP"), 936: ("Chinese, simplified", "zh_CN"),
    949: ("Korean", "ko_KR"), 950: ("Chinese, traditional", "zh_TW"), 1250: ("Central European", "pl_PL"),
    1251: ("Cyrillic", "ru_RU"), 1252: ("Western", "en_US"), 1253: ("Greek", "el_GR"), 1254: ("Turkish", "tr_TR"),
    1255: ("Hebrew", "he_IL"), 1256: ("Arabic", "ar_EG"), 1257: ("Baltic", "lt_LT"), 1258: ("Vietnamese", "vi_VN"),
}
WESTERN = 1252
# The byte-order marks, Windows and browsers alike, with Python's codec of each.
MARKS = ((b"\xef\xbb\xbf", "utf-8"), (b"\xff\xfe", "utf-16-le"), (b"\xfe\xff", "utf-16-be"))
UTF8_MARK = MARKS[0][0]


def codec(code_page):
    return "gbk" if code_page == 936 else "cp%d" % code_page


def described(code_page):
    return "code page %d (%s)" % (code_page, CODE_PAGES[code_page][0])


def locale_name(code_page):
    return "%s.UTF-8" % CODE_PAGES[code_page][1]


def parse(text):
    """The code page an option names, or a Refusal."""
    try:
        code_page = int(text)
    except ValueError:
        code_page = None
    if code_page not in CODE_PAGES:
        raise Refusal("%s is not a code page of Windows PCs: give one of %s" % (text, ", ".join(map(str, CODE_PAGES))),
                      "code-page-unknown")
    return code_page


# ---------------------------------------------------------------- ANSI text

def _same_number(error):
    """The "ansi" error handler: the few bytes a code page leaves undefined
    stand for the characters of the same number, as Windows maps them."""
    if isinstance(error, UnicodeDecodeError):
        return chr(error.object[error.start]), error.start + 1
    wrong = error.object[error.start]
    if ord(wrong) > 255:
        raise error
    return bytes([ord(wrong)]), error.start + 1


codecs.register_error("ansi", _same_number)


def ansi(data, code_page="cp1252"):
    """Bytes in a PC's ANSI code page as Windows maps them."""
    return data.decode(code_page, errors="ansi")


def to_ansi(text, code_page="cp1252"):
    return text.encode(code_page, errors="ansi")


def missing(text, code_page):
    """The characters of text that have no form in code_page, in order."""
    out = []
    for c in text:
        try:
            c.encode(codec(code_page))
        except UnicodeEncodeError:
            if c not in out:
                out.append(c)
    return out


def check_control(what, text):
    if any(ord(c) < 32 for c in text):
        raise Refusal('%s "%s" has control characters: remove them' % (what, text), "text-control")


def check_text(what, text, code_page=None, meant=()):
    """Refuses text that does not reach Quenlo or Windows intact on the PCs
    the disc is for: beyond ASCII without code_page, or with no form in it.
    meant: the code pages the author's autorun.inf was written for, named
    as the mend where no code page was given."""
    check_control(what, text)
    if code_page is None:
        odd = [c for c in text if ord(c) > 126]
        if odd:
            mend = ("give --code-page CP for the PCs the disc is for" if not meant else
                    "autorun.inf is written for PCs using %s, so give --code-page %d"
                    % (" or ".join(described(cp) for cp in meant), meant[0]))
            raise Refusal('%s "%s" has characters beyond ASCII (%s), which reach Windows only on PCs whose code page '
                          'has them: %s, or use ASCII letters' % (what, text, "".join(dict.fromkeys(odd)), mend),
                          "text-beyond-ascii")
    elif missing(text, code_page):
        raise Refusal('%s "%s" has characters with no form in %s (%s), so those PCs cannot reach it: rename it, '
                      'or give the --code-page of the PCs it is for' % (what, text, described(code_page),
                                                                       "".join(missing(text, code_page))),
                      "text-no-form")
