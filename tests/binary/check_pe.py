#!/usr/bin/env python3
"""Checks of the product binary that no host test can make: what it imports
(only functions that Windows XP SP3 has, from the system DLLs the cleaner uses,
and nothing from ntdll), no debug sections, its manifest and its version
resource, the terminal-server-aware flag, and no link time in the header.

usage: check_pe.py EXE ALLOWLIST [--machine i386|amd64] [--any-crt]

--any-crt: the x86_64 build, whose runtime imports differ from the i686
product's; its imports are not held against the XP SP3 list.
"""
import struct
import sys


def fail(msg):
    print("FAIL: " + msg)
    return 1


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ signature")
        (self.lfanew,) = struct.unpack_from("<i", data, 0x3C)
        if data[self.lfanew:self.lfanew + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        fh = self.lfanew + 4
        self.machine, nsections, self.timestamp, symtab, nsymbols, opt_size, _ = struct.unpack_from("<HHIIIHH", data, fh)
        opt = fh + 20
        (magic,) = struct.unpack_from("<H", data, opt)
        self.pe32plus = magic == 0x20B
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, opt + 68)
        dirs = opt + (112 if self.pe32plus else 96)
        self.dirs = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        self.sections = []
        self.section_names = []
        strings = symtab + 18 * nsymbols
        sec = opt + opt_size
        for i in range(nsections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, sec + 40 * i)
            self.sections.append((va, max(vsize, rawsize), rawptr))
            name = name.rstrip(b"\0")
            # A longer name ("/4") is an offset into the COFF string table.
            if name.startswith(b"/") and name[1:].isdigit() and symtab:
                at = strings + int(name[1:])
                name = data[at:data.index(b"\0", at)]
            self.section_names.append(name.decode("ascii", errors="replace"))

    def off(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA %#x outside the sections" % rva)

    def cstr(self, rva):
        o = self.off(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("ascii")

    def imports(self):
        rva, _ = self.dirs[1]
        out = {}
        o = self.off(rva)
        while True:
            ilt, _, _, name, iat = struct.unpack_from("<IIIII", self.data, o)
            if name == 0:
                break
            dll = self.cstr(name).lower()
            thunks = self.off(ilt or iat)
            fmt, size, flag = ("<Q", 8, 1 << 63) if self.pe32plus else ("<I", 4, 1 << 31)
            funcs = out.setdefault(dll, [])
            while True:
                (t,) = struct.unpack_from(fmt, self.data, thunks)
                if t == 0:
                    break
                funcs.append("#%d" % (t & 0xFFFF) if t & flag else self.cstr((t & 0x7FFFFFFF) + 2))
                thunks += size
            o += 20
        return out

    def resources(self):
        """{(type, name): data} for the first language of each resource."""
        rva, _ = self.dirs[2]
        out = {}
        if rva == 0:
            return out
        base = self.off(rva)

        def entries(o):
            _, _, _, _, named, ids = struct.unpack_from("<IIHHHH", self.data, o)
            for i in range(named + ids):
                yield struct.unpack_from("<II", self.data, o + 16 + 8 * i)

        for tid, toff in entries(base):
            for nid, noff in entries(base + (toff & 0x7FFFFFFF)):
                for _, loff in entries(base + (noff & 0x7FFFFFFF)):
                    drva, dsize, _, _ = struct.unpack_from("<IIII", self.data, base + loff)
                    o = self.off(drva)
                    out.setdefault((tid, nid), self.data[o:o + dsize])
        return out


def version_strings(block):
    """StringFileInfo values of a VS_VERSIONINFO block, and the fixed versions."""
    text = block.decode("utf-16-le", errors="replace")
    values = {}
    for key in ("CompanyName", "FileDescription", "FileVersion", "ProductVersion"):
        at = text.find(key + "\0")
        if at >= 0:
            start = at + len(key) + 1
            # Values are 32-bit aligned in the block.
            while (start * 2) % 4:
                start += 1
            values[key] = text[start:text.index("\0", start)]
    sig = block.find(struct.pack("<I", 0xFEEF04BD))
    fixed = struct.unpack_from("<IIIIII", block, sig)
    return values, fixed


def main(argv):
    exe, allowlist = argv[1], argv[2]
    machine = argv[argv.index("--machine") + 1] if "--machine" in argv else "i386"
    any_crt = "--any-crt" in argv
    try:
        data = open(exe, "rb").read()
    except OSError:
        print("%s missing: skipped" % exe)
        return 77
    pe = Pe(data)
    errors = 0
    want_machine = {"i386": 0x14C, "amd64": 0x8664}[machine]
    if pe.machine != want_machine:
        errors += fail("machine %#x, wanted %s" % (pe.machine, machine))
    if pe.subsystem != 3:
        errors += fail("subsystem %d, wanted the console (3)" % pe.subsystem)

    # Not marked so, a process on a Remote Desktop session host is given a
    # per-user Windows folder by GetWindowsDirectoryA.
    if not pe.dll_characteristics & 0x8000:
        errors += fail("not marked terminal-server aware (IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE)")
    # A link time in the header would make every build's bytes differ.
    if pe.timestamp != 0:
        errors += fail("header time stamp %#x; the product is linked without one" % pe.timestamp)

    allowed = {}
    for line in open(allowlist):
        line = line.split("#", 1)[0].strip()
        if line:
            dll, func = line.split()
            allowed.setdefault(dll.lower(), set()).add(func)
    imports = pe.imports()
    for dll, funcs in sorted(imports.items()):
        if dll == "ntdll.dll":
            errors += fail("imports from ntdll.dll: %s (must be looked up at run time)" % ", ".join(funcs))
            continue
        if any_crt:
            continue
        if dll not in allowed:
            errors += fail("imports from %s, which is not one of the allowed system DLLs" % dll)
            continue
        for f in funcs:
            if f not in allowed[dll]:
                errors += fail("%s!%s is not on the XP SP3 allow-list" % (dll, f))
    for f in ("IsWow64Process", "Wow64DisableWow64FsRedirection", "Wow64RevertWow64FsRedirection"):
        if f in imports.get("kernel32.dll", []):
            errors += fail("kernel32!%s imported; it must be looked up at run time" % f)

    debug = [n for n in pe.section_names if n.startswith(".debug")]
    if debug:
        errors += fail("debug sections in the shipped program: %s" % ", ".join(debug))

    res = pe.resources()
    manifest = res.get((24, 1))
    if manifest is None:
        errors += fail("no manifest resource (type 24, id 1)")
    else:
        m = manifest.decode("utf-8", errors="replace")
        if 'level="requireAdministrator"' not in m or 'uiAccess="false"' not in m:
            errors += fail("manifest does not request requireAdministrator with uiAccess false")
    version = res.get((16, 1))
    if version is None:
        errors += fail("no version resource")
    else:
        values, fixed = version_strings(version)
        expect = {"CompanyName": "Vank", "FileDescription": "Vank Win32/Tarvosk.EV Cleaner",
                  "FileVersion": "1.0.0.6", "ProductVersion": "1.0.0.6"}
        for k, v in expect.items():
            if values.get(k) != v:
                errors += fail("version resource %s is %r, wanted %r" % (k, values.get(k), v))
        _, _, fms, fls, pms, pls = fixed
        if (fms, fls, pms, pls) != (0x10000, 6, 0x10000, 6):
            errors += fail("fixed file/product version is not 1.0.0.6")
    nfuncs = sum(len(f) for f in imports.values())
    print("%s: %d imports from %d DLLs checked, %d problems" % (exe, nfuncs, len(imports), errors))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
