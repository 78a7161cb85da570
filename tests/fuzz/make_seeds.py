#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpus from the unit tests' cases.
Layout of a run input: see world_input.h."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
HTM, CMD, EXISTS, DIRECTORY, STARTS, FULL_FAILS, SECOND_FAILS = 1, 2, 4, 8, 16, 32, 64

ARGUMENT_LINES = [
    b"", b"prog.exe", b'"C:\\x\\prog.exe"', b"prog.exe  \t \t", b"prog.exe docs\\index.htm",
    b"prog.exe my page.htm", b'prog.exe "my page.htm"', b'"C:\\my dir\\prog.exe"index.htm',
    b'"C:\\my dir\\prog.exe index.htm', b"prog.exe\ta.htm", b" x a.htm", b"prog.exe a.htm \t ",
]

COMMANDS = [
    b'C:\\Viewer\\viewer.exe "%1" /new\0', b"C:\\Viewer\\viewer.exe %1\0", b"C:\\Viewer\\viewer.exe /open\0",
    b'viewer.exe %1 "%1"\0', b"viewer.exe %L\0", b"\0\0", b"viewer.exe", b'"%1"\0',
    b"%SystemRoot%\\viewer.exe %1\0",
]


def run_input(flags, shell, fail, line, htm, command, htm_type=1, cmd_type=1, cwd=0):
    out = struct.pack("<8B", flags, shell, fail, htm_type, cmd_type, cwd, 0, 0)
    for field in (line, htm, command):
        out += struct.pack("<H", len(field)) + field
    return out


def main():
    seeds = {}
    for i, line in enumerate(ARGUMENT_LINES):
        seeds["argument/%02d" % i] = line
    n = 0
    doc = b"quenlo.exe docs\\page one.htm"
    for command in COMMANDS:
        for flags in (HTM | CMD | EXISTS | STARTS, HTM | CMD | EXISTS, HTM | CMD | EXISTS | STARTS | FULL_FAILS):
            seeds["run/%02d" % n] = run_input(flags, 31, 0, doc, b"htmlfile\0", command)
            n += 1
    others = [
        run_input(EXISTS, 42, 0, doc, b"", b""),                          # shell opens
        run_input(0, 42, 0, doc, b"", b""),                               # missing
        run_input(EXISTS | DIRECTORY, 42, 0, b"quenlo.exe docs", b"", b""),
        run_input(0, 42, 0, b"quenlo.exe", b"", b""),                     # about
        run_input(HTM | CMD | EXISTS | STARTS, 31, 0, b"quenlo.exe " + b"x\\..\\" * 30 + b"a b.htm",
                  b"htmlfile\0", b"v.exe %1\0"),                          # argument longer than its path
        run_input(HTM | EXISTS | STARTS, 31, 0, doc, b"htmlfile", b""),   # class without terminator
        run_input(HTM | CMD | EXISTS | STARTS, 31, 0, doc, b"x", b"v.exe\0"),  # fits the probe
        run_input(HTM | CMD | EXISTS | STARTS, 31, 5, doc, b"htmlfile\0", b"v.exe /open\0", 2, 4, 2),
        run_input(HTM | CMD | EXISTS | STARTS | SECOND_FAILS, 31, 0, doc, b"htmlfile\0", b"v.exe\0", cwd=3),
    ]
    for other in others:
        seeds["run/%02d" % n] = other
        n += 1
    for name, data in seeds.items():
        path = os.path.join(HERE, "seeds", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    print("%d seeds" % len(seeds))


if __name__ == "__main__":
    main()
