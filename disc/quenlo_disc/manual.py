"""The manual page quenlo-disc(1) and bash's completion of the command, both
made at build time from the option definitions that --help prints, so that
the three never differ.

    python3 -m quenlo_disc.manual man          the page, in roff
    python3 -m quenlo_disc.manual completion   the completion, for bash
"""
import argparse
import sys

from . import RELEASED, VERSION
from .cli import EXIT_STATUS, parsers
from .codepages import CODE_PAGES
from .codes import CODES
from .mends import MENDED

SUMMARY = "check, mend, make and try discs that open an HTML page on Windows with Quenlo"
EXAMPLES = [
    ("Check a folder of pages, writing nothing, and list every problem at once:",
     "quenlo-disc check my-pages/"),
    ("Read what fix would mend (a unified diff, then what it leaves to you), then make the mends, in place or "
     "in a copy:", "quenlo-disc fix my-pages/\nquenlo-disc fix --write my-pages/\nquenlo-disc fix --to mended/ "
                   "my-pages/"),
    ("Master it as a disc image that opens docs\\index.htm, labelled for the product:",
     'quenlo-disc make --start "docs\\\\index.htm" --label "Catalogue 2027" my-pages/ catalogue.iso'),
    ("Try the image as a Western PC meets it, then on PCs of many code pages:",
     "quenlo-disc try catalogue.iso\nquenlo-disc try --matrix catalogue.iso"),
    ("A disc for Japanese PCs, its page named in Japanese:",
     'quenlo-disc make --code-page 932 --start "docs\\\\\u306f\u3058\u3081\u306b.htm" pages/ catalogue.iso'),
    ("In continuous integration: the findings as JSON or SARIF, and whether a folder makes a released image:",
     "quenlo-disc check --json my-pages/ > findings.json\nquenlo-disc check --sarif my-pages/ > findings.sarif\n"
     "quenlo-disc check --against catalogue.iso my-pages/"),
    ("Which to make: a CD or DVD runs the open line by itself; a USB stick never does, so its user double-clicks a "
     "page at its root (a stick that presents itself as a CD-ROM takes the ISO image). A stick's image, judged by "
     "FAT's rules, to write onto the stick with dd, then tried as a removable drive E::",
     'quenlo-disc make --stick --start "START HERE.htm" my-pages/ catalogue.img\nquenlo-disc try catalogue.img'),
    ("A report to send to a client, with every PC's picture in it:",
     "quenlo-disc try --matrix --report catalogue.html catalogue.iso"),
]
ENVIRONMENT = [
    ("QUENLO_SIGN_PASSWORD", "the password of the certificate given to --sign"),
    ("SOURCE_DATE_EPOCH", "the time, in seconds since 1970, that make writes as the image's own dates; without it, "
                          "the time of the medium's newest file"),
    ("XDG_CACHE_HOME", "where the cache lies (default ~/.cache)"),
    ("QUENLO_DISC_EMULATE", "with 1, try runs a 32-bit disc's exe under qemu even where the kernel runs 32-bit "
                            "programs itself, as on a kernel that runs none (needs qemu-user)"),
    ("QUENLO_DISC_NO_CACHE", "with 1, check and make take every page apart afresh and keep nothing of them, as "
                             "--no-cache"),
    ("XDG_CONFIG_HOME", "where the key that seals the documents kept in the cache lies (default ~/.config)"),
    ("QUENLO_DISC_DETECT", "with guess, check guesses the encoding of an undeclared page with its own detector "
                           "instead of asking Chromium"),
]
FILES = [("~/.cache/quenlo-disc/prefixes", "the Wine prefix that try prepares once for the Wine installed (about 1.3 "
                                           "GB) and copies from for each try; one of a Wine no longer installed goes "
                                           "when the next is made"),
         ("~/.cache/quenlo-disc/locales", "the locales of the PCs of other code pages, compiled once"),
         ("~/.cache/quenlo-disc/documents", "what check and make took apart of each page, for the next check; "
                                            "sealed with ~/.config/quenlo-disc/cache.key"),
         ("~/.config/quenlo-disc/cache.key", "the key, this user's alone (mode 0600), that seals the documents kept "
                                             "in the cache: a cache another party wrote is not used"),
         ("~/.cache/quenlo-disc", "all that try keeps between runs: quenlo-disc try --clear-cache removes it and says "
                                  "how much that freed; removing the packages leaves it, as caches are left")]


def roff(text):
    """Text as roff reads it literally."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\n".join("\\&" + line if line[:1] in ".'" else line for line in text.split("\n"))


def option_names(action):
    names = ", ".join("\\fB%s\\fR" % roff(s) for s in action.option_strings)
    if action.nargs != 0 and action.option_strings:
        names += " \\fI%s\\fR" % roff(action.metavar or action.dest.upper())
    return names


def commands(top):
    return top._subparsers._group_actions[0].choices


def synopsis(name, sub):
    options = [a for a in sub._actions if a.option_strings and not isinstance(a, argparse._HelpAction)]
    positional = [a for a in sub._actions if not a.option_strings]
    return ".B quenlo\\-disc %s\n[\\fIoptions\\fR] %s" % (name, " ".join("\\fI%s\\fR" % roff(a.metavar)
                                                                       for a in positional)) if options else ""


def man():
    top = parsers("quenlo-disc")
    out = ['.TH QUENLO\\-DISC 1 "%s" "quenlo\\-disc %s" "User Commands"' % (RELEASED, VERSION),
           ".SH NAME", "quenlo\\-disc \\- " + roff(SUMMARY), ".SH SYNOPSIS"]
    for name, sub in commands(top).items():
        out += [synopsis(name, sub), ".br"]
    out += [".B quenlo\\-disc", "\\fB\\-\\-version\\fR | \\fB\\-\\-help\\fR", ".SH DESCRIPTION", roff(top.description)]
    for name, sub in commands(top).items():
        out += [".SS %s" % name, roff(sub.description)]
        for action in sorted(sub._actions, key=lambda a: not a.option_strings):
            if isinstance(action, argparse._HelpAction):
                continue
            out += [".TP", option_names(action) if action.option_strings else "\\fI%s\\fR" % roff(action.metavar),
                    roff(action.help)]
    out += [".SH EXIT STATUS"]
    for status, meaning in EXIT_STATUS:
        out += [".TP", "\\fB%s\\fR" % status, roff(meaning)]
    out += [".SH FINDINGS", roff("Each problem (an error: the medium is refused, or the command could not do its "
                                 "work) and warning has a code, stable from release to release, in --json's "
                                 "findings, as --sarif's rule, and in the report:")]
    for name, code in CODES.items():
        out += [".TP", "\\fB%s\\fR (%s)" % (roff(name), code.severity), roff("%s %s" % (code.summary, code.mend))]
    out += [".SH MENDS", roff("What fix mends, by the findings' codes; every other finding is left to the author, "
                              "and fix says so. Safe mends have one right answer and are made by --write and "
                              "--to; unsafe ones guess, and are made only with --unsafe:")]
    for codes, safety, what in MENDED:
        out += [".TP", "\\fB%s\\fR (%s)" % (roff(codes), safety), roff(what)]
    out += [".SH ENVIRONMENT"]
    for name, meaning in ENVIRONMENT:
        out += [".TP", "\\fB%s\\fR" % roff(name), roff(meaning)]
    out += [".SH FILES"]
    for name, meaning in FILES:
        out += [".TP", "\\fI%s\\fR" % roff(name), roff(meaning)]
    out += [".SH EXAMPLES"]
    for what, command in EXAMPLES:
        out += [".PP", roff(what), ".PP", ".nf", ".RS 4", roff(command), ".RE", ".fi"]
    out += [".SH SEE ALSO", "\\fBxorriso\\fR(1), \\fBwine\\fR(1), \\fBbwrap\\fR(1)",
            "and /usr/share/doc/quenlo\\-disc/README.txt"]
    return "\n".join(out) + "\n"


def completion():
    """A bash function that completes the commands, their options, the code
    pages of --code-page and, elsewhere, folders or files as the option wants."""
    top = parsers("quenlo-disc")
    cases = []
    for name, sub in commands(top).items():
        options = sorted(s for a in sub._actions for s in a.option_strings)
        valued = sorted(s for a in sub._actions for s in a.option_strings if a.nargs != 0 and s != "--code-page")
        first = next((a.dest for a in sub._actions if not a.option_strings), None)
        cases.append('    %s) options="%s"; valued="%s"; what=%s ;;'
                     % (name, " ".join(options), " ".join(valued), {"source": "directory", "image": "iso",
                                                                    "output": "iso"}.get(first, "nothing")))
    return """# bash completion for quenlo-disc, made from its option definitions
_quenlo_disc() {
  local cur prev words cword
  _init_completion || return
  local command="" options="" valued="" what="" given=0 i
  for ((i = 1; i < cword; i++)); do
    case "${words[i]}" in -*) ;; *) command=${words[i]}; break ;; esac
  done
  if [[ -z $command ]]; then
    COMPREPLY=($(compgen -W "%(commands)s --help --version" -- "$cur"))
    return
  fi
  case "$command" in
%(cases)s
    *) return ;;
  esac
  for ((i++; i < cword; i++)); do
    [[ ${words[i]} != -* && " $valued --code-page " != *" ${words[i-1]} "* ]] && ((given++))
  done
  if [[ $prev == --code-page ]]; then
    COMPREPLY=($(compgen -W "%(code_pages)s" -- "$cur"))
  elif [[ $prev == --port ]]; then
    return
  elif [[ " $valued " == *" $prev "* ]]; then
    _filedir
  elif [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  elif [[ $what == directory && $given -eq 0 ]]; then
    _filedir -d
  elif [[ $what != nothing ]]; then
    _filedir iso
  fi
}
complete -F _quenlo_disc quenlo-disc
""" % {"commands": " ".join(commands(top)), "cases": "\n".join(cases),
       "code_pages": " ".join(map(str, sorted(CODE_PAGES)))}


if __name__ == "__main__":
    sys.stdout.buffer.write({"man": man, "completion": completion}[sys.argv[1]]().encode("utf-8"))
