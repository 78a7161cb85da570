#!/usr/bin/env python3
"""Checks a built quenlo.exe from its bytes: PE format and subsystem, the exact
import list, and that the version record is its only resource.

usage: check_exe.py EXE {win32|win64} EXPECTED_IMPORTS
       check_exe.py --max-size BYTES EXE
"""
import struct
import sys

ALLOWED_DLLS = {"KERNEL32.DLL", "USER32.DLL", "SHELL32.DLL", "ADVAPI32.DLL"}
RT_VERSION = 16


class PE:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, nsections, _, _, _, optsize, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        dirs = opt + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(nsections):
            s = opt + optsize + 40 * i
            name = data[s:s + 8].rstrip(b"\0").decode()
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((name, va, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for _, va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA %#x outside every section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode()

    def imports(self):
        rva, _ = self.directories[1]
        width, flag = (4, 0x80000000) if self.magic == 0x10B else (8, 1 << 63)
        found = []
        while rva:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not name:
                break
            dll = self.cstring(name)
            entry = lookup or thunk
            while True:
                value = int.from_bytes(self.data[self.offset(entry):self.offset(entry) + width], "little")
                if not value:
                    break
                found.append("%s!%s" % (dll.upper(), "#%d" % (value & 0xFFFF) if value & flag
                                        else self.cstring(value + 2)))
                entry += width
            rva += 20
        return found

    def resources(self):
        """(type, name, language) of every resource."""
        root, _ = self.directories[2]
        if not root:
            return []
        base = self.offset(root)

        def entries(at):
            named, ids = struct.unpack_from("<HH", self.data, base + at + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
                yield ident, target

        found = []
        for rtype, t in entries(0):
            for name, n in entries(t & 0x7FFFFFFF):
                for lang, _ in entries(n & 0x7FFFFFFF):
                    found.append((rtype, name, lang))
        return found


def check_size(budget, path):
    size = len(open(path, "rb").read())
    print("%s: %d bytes, budget %d" % (path, size, budget))
    if size > budget:
        print("FAIL: %d bytes over the budget" % (size - budget))
        return 1
    return 0


def main():
    if sys.argv[1] == "--max-size":
        return check_size(int(sys.argv[2]), sys.argv[3])
    path, arch, expected_path = sys.argv[1:4]
    data = open(path, "rb").read()
    pe = PE(data)
    problems = []
    want_magic = 0x10B if arch == "win32" else 0x20B
    if pe.magic != want_magic:
        problems.append("optional header magic %#x, expected %#x" % (pe.magic, want_magic))
    if pe.subsystem != 2:
        problems.append("subsystem %d, expected 2 (Windows GUI)" % pe.subsystem)

    imports = pe.imports()
    for entry in imports:
        if entry.split("!")[0] not in ALLOWED_DLLS:
            problems.append("import from outside the four system DLLs: " + entry)
    expected = sorted(line.strip().upper() for line in open(expected_path) if line.strip())
    if sorted(i.upper() for i in imports) != expected:
        problems.append("imports differ from %s:\n  got:      %s\n  expected: %s"
                        % (expected_path, sorted(imports), expected))

    resources = pe.resources()
    if [(t, n) for t, n, _ in resources] != [(RT_VERSION, 1)]:
        problems.append("resources other than one version record: %s" % resources)

    print("%s: %d bytes, %d imports, resources %s" % (path, len(data), len(imports), resources))
    for p in problems:
        print("FAIL: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
