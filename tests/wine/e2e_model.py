#!/usr/bin/env python3
"""Expectations of the Wine end-to-end tests (tests/wine/e2e.sh and
wow64_e2e.sh), worked out independently of the cleaner's code: the
editions and what each selects, the COM repair's known-good table, a model
of the registry under a restoration pass, and readers/writers of
registry-editor files.

The dataset comes from `restore_dump` (the table as compiled, as JSON).

Commands (all print nothing and exit 0 on success, or print what differs
and exit 1):
    e2e_model.py edition MAJOR MINOR PRODUCT_TYPE
        prints "CODE SET POSTVISTA FOLDER" or "refused"
    e2e_model.py hijack-reg OUT.reg
        the infected COM registrations of the prefix template
    e2e_model.py check-normal-log LOG CODE
        the log of a normal run answered with 'y'
    e2e_model.py check-infected-log LOG CODE INSTALLED_IMAGE CANDIDATE_PATH
        the log of a normal run answered no, services.exe patched
    e2e_model.py check-com-registry QUERY_OUTPUT CODE
        the COM keys after the repair, from `reg query` output
    e2e_model.py wow64-decoy-reg OUT.reg
        registrations of the 32-bit view, for the 32-bit registry editor
    e2e_model.py wow64-class-keys
        the 32-bit view's keys of the four classes, one a line
    e2e_model.py check-wow64-classes QUERY_OUTPUT
        those keys after the repair, from `reg query` output: as planted
    e2e_model.py prepare DUMP SET OUT.reg STATE.json
        the service keys of SET removed, a few keys made with matching,
        differing and type-swapped values; the model state to match
    e2e_model.py check-restore-log DUMP SET CODE STATE.json LOG NEXT_STATE.json [--second]
        one restore run's log against the model; writes the state after it
    e2e_model.py check-registry DUMP SET STATE.json EXPORT.reg
        the exported Services tree against the model state
    e2e_model.py reg-file DUMP SET OUT.reg
        the set's keys and values as a registry-editor import file
The three log checks take --wow64 for a 32-bit cleaner on 64-bit Windows,
whose detection line says "64 bit".
"""

import copy
import json
import re
import sys

HKLM = "HKEY_LOCAL_MACHINE"
REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD = 1, 2, 3, 4, 7, 11

HYPHENS = "-" * 62
HEADER = re.compile(r"^Log started \d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}$")

# ---------------------------------------------------------------- editions

# (major, minor, workstation?) -> code; every other combination is refused.
CODES = {
    (5, 1, True): 0x00000051,
    (5, 2, True): 0x00000052,
    (5, 2, False): 0x80000052,
    (6, 0, True): 0x00000060,
    (6, 1, True): 0x00000061,
    (6, 1, False): 0x80000061,
}
SETS = {0x60: 1, 0x61: 2, 0x80000052: 3, 0x80000061: 4}
SET_LINES = {
    0: "Processing Windows XP services restoration",
    1: "Processing Windows Vista services restoration",
    2: "Processing Windows 7 services restoration",
    3: "Processing Windows Server 2003 services restoration",
    4: "Processing Windows Server 2008 R2 services restoration",
}


def edition(major, minor, product_type):
    code = CODES.get((major, minor, product_type == 1))
    if code is None:
        return None
    post_vista = (code & 0xFF) >= 0x60
    # %PUBLIC%\Desktop on Windows 7 and 2008 R2; %AllUsersProfile%\Desktop,
    # which Wine points at C:\ProgramData, on the others.
    folder = "users/Public/Desktop" if code in (0x61, 0x80000061) else "ProgramData/Desktop"
    return code, SETS.get(code, 0), post_vista, folder


# ---------------------------------------------------------------- COM repair

CLASSES = [
    # (class, HKCR path, class-store root, class-store path, known-good server)
    ("{5839FCA9-774D-42A1-ACDA-D6A79037F57F}", "CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32",
     "HKLM", "Software\\Classes\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32",
     "%systemroot%\\system32\\wbem\\fastprox.dll"),
    ("{fbeb8a05-beee-4442-804e-409d6c4515e9}", "CLSID\\{fbeb8a05-beee-4442-804e-409d6c4515e9}\\InprocServer32",
     "HKLM", "Software\\Classes\\CLSID\\{fbeb8a05-beee-4442-804e-409d6c4515e9}\\InprocServer32",
     "%systemroot%\\system32\\shell32.dll"),
    ("{F3130CDB-AA52-4C3A-AB32-85FFC23AF9C1}", "CLSID\\{F3130CDB-AA52-4C3A-AB32-85FFC23AF9C1}\\InprocServer32",
     "HKLM", "Software\\Classes\\CLSID\\{f3130cdb-aa52-4c3a-ab32-85ffc23af9c1}\\InprocServer32",
     "%systemroot%\\system32\\wbem\\wbemess.dll"),
    ("{42aedc87-2188-41fd-b9a3-0c966feabec1}", "CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}\\InprocServer32",
     "HKCU", "Software\\Classes\\CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}\\InprocServer32",
     None),
]
MISSING_CLASS = "{F3130CDB-AA52-4C3A-AB32-85FFC23AF9C1}"

# The infection as the prefix template holds it. Wine's HKEY_CLASSES_ROOT is
# the machine's class store alone (no per-user merge), so the HKCR entries
# read the HKLM\Software\Classes values; the per-user registration of the
# last class is hijacked separately.
HIJACK = [
    ("HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32",
     REG_SZ, "C:\\ProgramData\\Tarvosk\\fastprox.dll"),
    ("HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{fbeb8a05-beee-4442-804e-409d6c4515e9}\\InprocServer32",
     REG_EXPAND_SZ, "%ProgramData%\\Tarvosk\\shell32.dll"),
    ("HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}\\InprocServer32",
     REG_SZ, "C:\\ProgramData\\Tarvosk\\machine.dll"),
    ("HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}\\InprocServer32",
     REG_SZ, "C:\\Users\\Public\\Tarvosk\\user.dll"),
]


# The 32-bit view of the machine's class store, which a 32-bit process on
# 64-bit Windows reaches by default (HKLM\Software\Classes\Wow6432Node):
# the WOW64 test plants registrations of its own there for two classes and
# none for the others. The repair asks for the 64-bit view, so it must
# neither log these values nor change or add anything there.
WOW64_CLASSES = "HKEY_LOCAL_MACHINE\\Software\\Classes\\Wow6432Node\\"
WOW64_DECOYS = {
    "{5839FCA9-774D-42A1-ACDA-D6A79037F57F}": "C:\\ProgramData\\Tarvosk\\x86\\fastprox.dll",
    "{42aedc87-2188-41fd-b9a3-0c966feabec1}": "C:\\ProgramData\\Tarvosk\\x86\\machine.dll",
}


def hijacked(root, path):
    full = {"HKCR": "HKEY_LOCAL_MACHINE\\Software\\Classes\\" + path,
            "HKLM": "HKEY_LOCAL_MACHINE\\" + path,
            "HKCU": "HKEY_CURRENT_USER\\" + path}[root]
    for key, _, value in HIJACK:
        if key.lower() == full.lower():
            return value
    return None


def com_lines(code):
    """The repair's lines on the template, entry by entry in table order."""
    edition_server = ("%SystemRoot%\\system32\\shell32.dll" if (code & 0xFF) >= 0x60
                      else "%SystemRoot%\\system32\\shdocvw.dll")
    lines = []
    for clsid, merged, store_root, store, good in CLASSES:
        good = good or edition_server
        for root, path in (("HKCR", merged), (store_root, store)):
            prefix = "%s\\%s " % (root, path)
            if clsid == MISSING_CLASS:
                lines.append("Failed to open registry key " + prefix)
                continue
            current = hijacked(root, path)
            # The HKCR entry has already rewritten the machine's class store.
            if root == "HKLM":
                current = good
            lines.append('Current registry value  %s"%s"' % (prefix, current))
            lines.append('New registry value  %s"%s"' % (prefix, good))
    return lines


def com_values(code):
    """(registry path, expected default value or None for absent)."""
    edition_server = ("%SystemRoot%\\system32\\shell32.dll" if (code & 0xFF) >= 0x60
                      else "%SystemRoot%\\system32\\shdocvw.dll")
    out = []
    for clsid, merged, store_root, store, good in CLASSES:
        good = good or edition_server
        root = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER"}[store_root]
        out.append((root + "\\" + store, None if clsid == MISSING_CLASS else good))
    return out


# ---------------------------------------------------------------- value lines

def parse_line(line):
    """One dataset value line -> (name, type, data bytes)."""
    cut = line.index('"=')
    name, data = line[1:cut], line[cut + 2:]
    if data.startswith('"'):
        return name, REG_SZ, (data[1:-1] + "\0").encode("utf-16-le")
    if data.startswith("dword:"):
        return name, REG_DWORD, int(data[6:], 16).to_bytes(4, "little")
    m = re.match(r"hex(?:\(([0-9a-fA-F])\))?:(.*)$", data)
    if not m:
        raise ValueError("unparsable line: " + line)
    kind = int(m.group(1), 16) if m.group(1) else REG_BINARY
    items = [x for x in m.group(2).split(",") if x != ""]
    return name, kind, bytes(int(x, 16) for x in items)


def load_dump(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def set_records(records, set_no):
    return [r for r in records if r["set"] == set_no]


# ---------------------------------------------------------------- registry files

def reg_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def hex_list(data):
    return ",".join("%02x" % b for b in data)


def reg_value_line(name, kind, data):
    head = '"%s"=' % reg_escape(name) if name else "@="
    if kind == REG_DWORD and len(data) == 4:
        return head + "dword:%08x" % int.from_bytes(data, "little")
    if kind == REG_SZ and len(data) >= 2 and len(data) % 2 == 0:
        text = data.decode("utf-16-le", "replace")
        # Quoted only when the text reads back the same: one terminator,
        # nothing unprintable.
        if text.endswith("\0") and all(c >= " " for c in text[:-1]):
            return head + '"%s"' % reg_escape(text[:-1])
    if kind == REG_BINARY:
        return head + "hex:" + hex_list(data)
    return head + "hex(%x):" % kind + hex_list(data)


def write_reg(path, body_lines):
    text = "Windows Registry Editor Version 5.00\r\n\r\n" + "\r\n".join(body_lines) + "\r\n"
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))


def read_reg(path):
    """A registry-editor file (UTF-16 with BOM, or plain) -> {key lower: (key, {name lower: (name, type, bytes)})}."""
    raw = open(path, "rb").read()
    text = raw[2:].decode("utf-16-le") if raw.startswith(b"\xff\xfe") else raw.decode("utf-8")
    # Long hex lists continue on the next line after a backslash.
    text = re.sub(r"\\\r?\n\s*", "", text)
    keys = {}
    current = None
    for line in text.splitlines():
        if line.startswith("[") and line.endswith("]"):
            path_ = line[1:-1]
            current = keys.setdefault(path_.lower(), (path_, {}))[1]
            continue
        if current is None or not line or line.startswith(";"):
            continue
        if line.startswith("@="):
            name, rest = "", line[2:]
        else:
            m = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)$', line)
            if not m:
                raise ValueError("unreadable export line: " + line)
            name, rest = unescape(m.group(1)), m.group(2)
        if rest.startswith('"') and rest.endswith('"'):
            kind, data = REG_SZ, (unescape(rest[1:-1]) + "\0").encode("utf-16-le")
        elif rest.startswith("dword:"):
            kind, data = REG_DWORD, int(rest[6:], 16).to_bytes(4, "little")
        else:
            m = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", rest)
            if not m:
                raise ValueError("unreadable export data: " + line)
            kind = int(m.group(1), 16) if m.group(1) else REG_BINARY
            data = bytes(int(x, 16) for x in m.group(2).split(",") if x.strip())
        current[name.lower()] = (name, kind, data)
    return keys


def unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            out.append({"n": "\n", "r": "\r", "0": "\0"}.get(n, n))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)



# ---------------------------------------------------------------- key access

# The caller's token under Wine: an administrator (Wine's default token holds
# the Administrators and Users groups, Everyone, Interactive and
# Authenticated Users). The restoration asks for KEY_ALL_ACCESS (plus
# ACCESS_SYSTEM_SECURITY, which the enabled security privilege grants);
# once a record's descriptor is on its key, the next open of that key is
# checked against it. Wine keeps the descriptor only while its server runs.
TOKEN = {"S-1-5-32-544", "S-1-5-32-545", "S-1-1-0", "S-1-5-4", "S-1-5-11"}
ALIASES = {"BA": "S-1-5-32-544", "BU": "S-1-5-32-545", "WD": "S-1-1-0", "IU": "S-1-5-4", "AU": "S-1-5-11",
           "SY": "S-1-5-18", "LS": "S-1-5-19", "NS": "S-1-5-20", "PU": "S-1-5-32-547", "CO": "S-1-3-0",
           "CG": "S-1-3-1", "OW": "S-1-3-4", "NO": "S-1-5-32-556", "SO": "S-1-5-32-549", "BO": "S-1-5-32-551",
           "AO": "S-1-5-32-548", "NU": "S-1-5-2", "SU": "S-1-5-6", "RC": "S-1-5-12", "AN": "S-1-5-7",
           "PS": "S-1-5-10", "ER": "S-1-5-32-573", "LU": "S-1-5-32-559", "MU": "S-1-5-32-558"}
KEY_ALL_ACCESS, KEY_READ, KEY_CREATE_SUB_KEY = 0xF003F, 0x20019, 0x4
RIGHTS = {"GA": KEY_ALL_ACCESS, "GR": KEY_READ, "GW": 0x20006, "GX": KEY_READ, "SD": 0x10000, "RC": 0x20000,
          "WD": 0x40000, "WO": 0x80000, "RP": 0x10, "WP": 0x20, "CC": 0x1, "DC": 0x2, "LC": 0x4, "SW": 0x8,
          "LO": 0x80, "DT": 0x40, "CR": 0x100, "KA": KEY_ALL_ACCESS, "KR": KEY_READ, "KW": 0x20006,
          "KX": KEY_READ, "FA": 0x1F01FF, "FR": 0x120089, "FW": 0x120116, "FX": 0x1200A0}


def sddl_part(sddl, tag):
    """The text of one part ("O", "G", "D", "S") of an SDDL string."""
    depth, start, parts = 0, None, {}
    i = 0
    while i < len(sddl):
        c = sddl[i]
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
        elif depth == 0 and c in "OGDS" and i + 1 < len(sddl) and sddl[i + 1] == ":":
            start = c
            parts[start] = ""
            i += 2
            continue
        if start:
            parts[start] += c
        i += 1
    return parts.get(tag)


def sid(text):
    return ALIASES.get(text, text)


def rights(text):
    if text.lower().startswith("0x"):
        return int(text, 16)
    return sum(RIGHTS[text[i:i + 2]] for i in range(0, len(text), 2))


def granted(sddl, wanted):
    """Whether the token gets every right of `wanted` from the DACL."""
    dacl = sddl_part(sddl, "D")
    if dacl is None:
        return True  # no DACL: everyone gets everything
    owner = sid(sddl_part(sddl, "O") or "")
    have = 0x20000 | 0x40000 if owner in TOKEN else 0  # implicit owner rights
    for ace in re.findall(r"\(([^)]*)\)", dacl):
        kind, flags, mask, _, _, who = ace.split(";")[:6]
        if "IO" in [flags[i:i + 2] for i in range(0, len(flags), 2)] or sid(who) not in TOKEN:
            continue
        mask = rights(mask)
        if kind == "D" and mask & wanted & ~have:
            return False
        if kind == "A":
            have |= mask
    return have & wanted == wanted

# ---------------------------------------------------------------- restoration model

def ancestors(path):
    parts = path.split("\\")
    return ["\\".join(parts[:i]).lower() for i in range(1, len(parts) + 1)]


def prepare(records, set_no):
    """The registry before the first restore run: the set's services
    removed, then a few of its keys made again with chosen values.
    Returns (state, registry file lines)."""
    recs = set_records(records, set_no)
    services = []
    for r in recs:
        name = r["subKey"].split("\\")[3]
        if name.lower() not in [s.lower() for s in services]:
            services.append(name)
    state = {}
    body = ["[-%s\\System\\CurrentControlSet\\Services\\%s]" % (HKLM, s) for s in services]
    body.append("")

    def make(record, values):
        key = state.setdefault(record["subKey"].lower(), {"path": record["subKey"], "values": {}})
        for name, kind, data in values:
            key["values"][name.lower()] = [name, kind, data]

    # A key whose values are rewritten: the first equal in its bytes but
    # stored under another string type (it must be left alone, type and
    # all), the second different, the rest missing.
    plain = next((r for r in recs if not r["keepExisting"] and len(r["lines"]) >= 2), None)
    if plain:
        n0, t0, d0 = parse_line(plain["lines"][0])
        n1, t1, d1 = parse_line(plain["lines"][1])
        swapped = {REG_SZ: REG_EXPAND_SZ, REG_EXPAND_SZ: REG_SZ}.get(t0, t0)
        make(plain, [(n0, swapped, d0), (n1, REG_SZ, "tampered\0".encode("utf-16-le"))])
    # A key whose existing values are kept: its first value differs.
    kept = next((r for r in recs if r["keepExisting"] and len(r["lines"]) >= 1), None)
    if kept:
        n0, t0, d0 = parse_line(kept["lines"][0])
        make(kept, [(n0, REG_DWORD, (0xDEADBEEF).to_bytes(4, "little"))])
    # A guessed line never overwrites: the service key holding one (SharedAccess
    # where it does) keeps its own value of it, while its start type, given,
    # goes back from disabled.
    guessing = [r for r in recs if any(r.get("guessed", [])) and r is not plain]
    guessing.sort(key=lambda r: not r["subKey"].lower().endswith("\\sharedaccess"))
    if guessing:
        g = guessing[0]
        line = g["lines"][g["guessed"].index(True)]
        n0, t0, d0 = parse_line(line)
        values = [(n0, t0, "%SystemRoot%\\System32\\machine's own.exe\0".encode("utf-16-le"))]
        if any(parse_line(l)[0] == "Start" for l in g["lines"]):
            values.append(("Start", REG_DWORD, (4).to_bytes(4, "little")))
        make(g, values)
    for key in state.values():
        body.append("[%s\\%s]" % (HKLM, key["path"]))
        body.extend(reg_value_line(*v) for v in key["values"].values())
        body.append("")
    return state, body


def existing_paths(state):
    paths = set()
    for k in state:
        paths.update(ancestors(k))
    return paths


def restore_pass(records, set_no, state):
    """One restoration pass over the model: its log lines (after the
    detection line, up to "Cleaning finished") and the state after it."""
    state = copy.deepcopy(state)
    present = existing_paths(state)
    lines = [SET_LINES[set_no]]
    for r in set_records(records, set_no):
        path = r["subKey"]
        if path.lower() in present:
            # An existing key opens only if its descriptor, when one was
            # written earlier, still lets the administrator in.
            sddl = state.get(path.lower(), {}).get("sddl")
            disposition = "failed" if sddl and not granted(sddl, KEY_ALL_ACCESS) else "opened existing"
        else:
            parent = state.get(path.lower().rsplit("\\", 1)[0], {}).get("sddl")
            disposition = "failed" if parent and not granted(parent, KEY_CREATE_SUB_KEY) else "created new"
        lines.append("Creating HKLM\\%s - %s" % (path, disposition))
        if disposition == "failed":
            continue
        present.update(ancestors(path))
        lines.append("Successfully set security information")
        key = state.setdefault(path.lower(), {"path": path, "values": {}})
        key["sddl"] = r["sddl"]
        # The values go through the handle of the create, whatever the new
        # descriptor allows.
        for n, line in enumerate(r["lines"]):
            name, kind, data = parse_line(line)
            current = key["values"].get(name.lower())
            guessed = bool(r.get("guessed") and r["guessed"][n])
            if current is None:
                lines.append('Writing value "%s", current doesn\'t exist... success' % name)
                key["values"][name.lower()] = [name, kind, data]
            elif current[2] == data:
                lines.append('Value "%s" matches known good one, skipping update' % name)
            elif r["keepExisting"] or guessed:
                lines.append('Value "%s" doesn\'t need updating' % name)
            else:
                lines.append('Updating value "%s", current value differs from known good one... success' % name)
                key["values"][name.lower()] = [current[0], kind, data]
    return lines, state


def dump_state(state, path):
    out = {k: dict(v, values={n: [x[0], x[1], bytes(x[2]).hex()] for n, x in v["values"].items()})
           for k, v in state.items()}
    with open(path, "w") as f:
        json.dump(out, f)


def load_state(path):
    with open(path) as f:
        state = json.load(f)
    for key in state.values():
        for v in key["values"].values():
            v[2] = bytes.fromhex(v[2])
    return state


# ---------------------------------------------------------------- log checks

def log_sections(path):
    with open(path, "rb") as f:
        raw = f.read()
    problems = []
    if b"\n" in raw.replace(b"\r\n", b""):
        problems.append("a line feed without carriage return in the log")
    lines = raw.decode("latin-1").replace("\r\n", "\n").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    sections, current = [], None
    for line in lines:
        if line == HYPHENS:
            current = []
            sections.append(current)
        elif current is None:
            problems.append("text before the first section: " + line)
        else:
            current.append(line)
    return sections, problems


def compare(expected, actual, what):
    """Line-by-line comparison; None means any line matches there."""
    problems = []
    for i in range(max(len(expected), len(actual))):
        e = expected[i] if i < len(expected) else "<no line>"
        a = actual[i] if i < len(actual) else "<no line>"
        ok = HEADER.match(a) if e is HEADER else (e is None or e == a)
        if not ok:
            problems.append("%s line %d: expected %r, got %r" % (what, i + 1, getattr(e, "pattern", e), a))
            if len(problems) >= 8:
                problems.append("...")
                break
    return problems


def detection(code, wow64):
    return "Detected %s-Vista %s bit windows system" % ("post" if (code & 0xFF) >= 0x60 else "pre",
                                                         "64" if wow64 else "32")


def check_normal_log(log, code, wow64):
    sections, problems = log_sections(log)
    if len(sections) != 1:
        return problems + ["%d log sections, expected 1" % len(sections)]
    actual = sections[0]
    expected = [HEADER, detection(code, wow64)] + com_lines(code)
    tail = ["Attempting to remove malware files...", "Failed to generate BOT ID"]
    at = len(expected)
    if (code & 0xFF) >= 0x60:
        # The verdict on the prefix's own services.exe; what follows must
        # agree with it.
        verdict = actual[at] if at < len(actual) else "<no line>"
        expected.append(verdict)
        if verdict == "services.exe appears to be clean":
            expected += tail
        elif verdict == "services.exe appears to be infected":
            rest = actual[at + 1:]
            if "Restored services.exe successfully" in rest:
                n = rest.index("Restored services.exe successfully")
                expected += [None] * n + ["Restored services.exe successfully"] + tail
            elif "Failed to restore services.exe" in rest:
                n = rest.index("Failed to restore services.exe")
                expected += [None] * n + ["Failed to restore services.exe"]
            else:
                problems.append("an infected verdict with no outcome line")
        else:
            problems.append("no services.exe verdict after the COM repair: %r" % verdict)
    else:
        expected += tail
    expected += ["Cleaning finished", "Successfully registered for start after reboot for services restoration"]
    return problems + compare(expected, actual, "normal run log")


def file_version(path):
    """The fixed file version of a PE image's version resource, as text."""
    data = open(path, "rb").read()
    at = data.find((0xFEEF04BD).to_bytes(4, "little"))
    if at < 0:
        return "0.0.0.0"
    ms, ls = int.from_bytes(data[at + 8:at + 12], "little"), int.from_bytes(data[at + 12:at + 16], "little")
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def check_infected_log(log, code, installed, candidate, wow64):
    """A normal run, answered no, on a prefix whose services.exe lacks the
    dynamic-base flag and whose component store holds a clean copy."""
    sections, problems = log_sections(log)
    if len(sections) != 1:
        return problems + ["%d log sections, expected 1" % len(sections)]
    expected = [HEADER, detection(code, wow64)] + com_lines(code) + [
        "services.exe appears to be infected",
        "Current infected services.exe version: " + file_version(installed),
        "Located clean services exe: " + candidate,
        "Making backup of current services.exe",
        "Restored services.exe successfully",
        "Attempting to remove malware files...",
        "Failed to generate BOT ID",
        "Cleaning finished",
    ]
    return problems + compare(expected, sections[0], "infected run log")


def check_restore_log(records, set_no, code, state, log, second, wow64):
    sections, problems = log_sections(log)
    lines, after = restore_pass(records, set_no, state)
    if not sections:
        return problems + ["no log section"], after
    actual = sections[-1]
    problems += compare([HEADER, detection(code, wow64)] + lines + ["Cleaning finished"], actual, "restore run log")
    # One line per key, descriptor and value of the set, in table order.
    body = actual[3:-1]
    at = 0
    for r in set_records(records, set_no):
        key_line = body[at] if at < len(body) else ""
        if not key_line.startswith("Creating HKLM\\%s - " % r["subKey"]):
            problems.append("no key line for %s where expected: %r" % (r["subKey"], key_line))
            break
        at += 1
        if key_line.endswith(" - failed"):
            continue
        at += 1  # the descriptor's line
        for line in r["lines"]:
            name = parse_line(line)[0]
            if at >= len(body) or '"%s"' % name not in body[at]:
                problems.append("no line for value %r of %s" % (name, r["subKey"]))
            at += 1
    if at != len(body):
        problems.append("%d lines for keys, descriptors and values, expected %d" % (len(body), at))
    if second:
        writes = [a for a in actual if a.endswith("... success") or a.endswith("... failed")]
        if writes:
            problems.append("the second run wrote %d values, first: %s" % (len(writes), writes[0]))
    return problems, after


def check_registry(records, set_no, state, export):
    """The export of the Services tree against the model. A key whose
    descriptor (or an ancestor's) keeps the administrator from reading it
    must be missing from the export: that shows the descriptor is on."""
    keys = read_reg(export)
    problems = []
    names = {1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD", 7: "REG_MULTI_SZ", 11: "REG_QWORD"}
    for r in set_records(records, set_no):
        path = "%s\\%s" % (HKLM, r["subKey"])
        found = keys.get(path.lower())
        readable = all(granted(state[a]["sddl"], KEY_READ) for a in ancestors(r["subKey"])
                       if a in state and "sddl" in state[a])
        if not readable:
            if found is not None:
                problems.append("%s can be read although its descriptor forbids it" % path)
            continue
        if found is None:
            problems.append("missing key " + path)
            continue
        model = state[r["subKey"].lower()]["values"]
        got = found[1]
        for name, (shown, kind, data) in model.items():
            if name not in got:
                problems.append("%s: value %r missing" % (path, shown))
            elif got[name][1] != kind or got[name][2] != bytes(data):
                problems.append("%s: value %r is %s %s, expected %s %s" % (
                    path, shown, names.get(got[name][1], got[name][1]), got[name][2].hex()[:48],
                    names.get(kind, kind), bytes(data).hex()[:48]))
        for name in got:
            if name not in model:
                problems.append("%s: unexpected value %r" % (path, got[name][0]))
        if len(problems) > 12:
            problems.append("...")
            break
    return problems


def query_blocks(query_output):
    """`reg query KEY /ve` output, one block per key, separated by lines
    "==== KEY" -> {KEY: lines}."""
    blocks = {}
    current = None
    for line in open(query_output, encoding="utf-8", errors="replace").read().replace("\r", "").split("\n"):
        if line.startswith("==== "):
            current = line[5:].strip()
            blocks[current] = []
        elif current is not None:
            blocks[current].append(line)
    return blocks


def check_com_registry(query_output, code):
    """The 64-bit view's COM keys (com_values order) after the repair."""
    blocks = query_blocks(query_output)
    problems = []
    for key, good in com_values(code):
        text = "\n".join(blocks.get(key, []))
        m = re.search(r"\(Default\)\s+(REG_\w+)\s+(.*)", text)
        if good is None:
            if m:
                problems.append("%s exists after the run: %s" % (key, m.group(0)))
        elif not m or m.group(1) != "REG_EXPAND_SZ" or m.group(2).strip() != good:
            problems.append("%s: expected REG_EXPAND_SZ %s, got %s" % (key, good, m.group(0) if m else "nothing"))
    return problems


def wow64_class_keys():
    return [WOW64_CLASSES + merged for _, merged, _, _, _ in CLASSES]


def check_wow64_classes(query_output):
    """The 32-bit view's COM keys (wow64_class_keys order) as planted."""
    blocks = query_blocks(query_output)
    problems = []
    for (clsid, _, _, _, _), key in zip(CLASSES, wow64_class_keys()):
        text = "\n".join(blocks.get(key, []))
        m = re.search(r"\(Default\)\s+(REG_\w+)\s+(.*)", text)
        decoy = WOW64_DECOYS.get(clsid)
        got = "%s %s" % (m.group(1), m.group(2).strip()) if m else "nothing"
        if decoy is None and (m or "HKEY_" in text):
            problems.append("%s exists after the run: %s" % (key, got))
        elif decoy is not None and got != "REG_SZ " + decoy:
            problems.append("%s: expected REG_SZ %s, got %s" % (key, decoy, got))
    return problems


# ---------------------------------------------------------------- entry

def report(problems):
    for p in problems:
        print(p)
    return 1 if problems else 0


def main(argv):
    # A 32-bit cleaner on 64-bit Windows logs "64 bit" in its detection line.
    wow64 = "--wow64" in argv
    argv = [a for a in argv if a != "--wow64"]
    cmd = argv[1]
    if cmd == "edition":
        e = edition(int(argv[2]), int(argv[3]), int(argv[4]))
        print("refused" if e is None else "0x%08x %d %d %s" % (e[0], e[1], int(e[2]), e[3]))
        return 0
    if cmd == "hijack-reg":
        body = []
        for key, kind, value in HIJACK:
            body += ["[%s]" % key, reg_value_line("", kind, (value + "\0").encode("utf-16-le")), ""]
        write_reg(argv[2], body)
        return 0
    if cmd == "wow64-decoy-reg":
        # For the 32-bit registry editor, whose view puts them under Wow6432Node.
        body = []
        for clsid, merged, _, _, _ in CLASSES:
            if clsid in WOW64_DECOYS:
                body += ["[HKEY_LOCAL_MACHINE\\Software\\Classes\\%s]" % merged,
                         reg_value_line("", REG_SZ, (WOW64_DECOYS[clsid] + "\0").encode("utf-16-le")), ""]
        write_reg(argv[2], body)
        return 0
    if cmd == "wow64-class-keys":
        print("\n".join(wow64_class_keys()))
        return 0
    if cmd == "check-wow64-classes":
        return report(check_wow64_classes(argv[2]))
    if cmd == "check-normal-log":
        return report(check_normal_log(argv[2], int(argv[3], 16), wow64))
    if cmd == "check-infected-log":
        return report(check_infected_log(argv[2], int(argv[3], 16), argv[4], argv[5], wow64))
    if cmd == "check-com-registry":
        return report(check_com_registry(argv[2], int(argv[3], 16)))
    if cmd == "prepare":
        state, body = prepare(load_dump(argv[2]), int(argv[3]))
        write_reg(argv[4], body)
        dump_state(state, argv[5])
        return 0
    if cmd == "check-restore-log":
        records, set_no = load_dump(argv[2]), int(argv[3])
        problems, after = check_restore_log(records, set_no, int(argv[4], 16), load_state(argv[5]), argv[6],
                                            "--second" in argv, wow64)
        dump_state(after, argv[7])
        return report(problems)
    if cmd == "check-registry":
        return report(check_registry(load_dump(argv[2]), int(argv[3]), load_state(argv[4]), argv[5]))
    if cmd == "reg-file":
        records, set_no = load_dump(argv[2]), int(argv[3])
        body = []
        for r in set_records(records, set_no):
            body.append("[%s\\%s]" % (HKLM, r["subKey"]))
            body += [reg_value_line(*parse_line(line)) for line in r["lines"]]
            body.append("")
        write_reg(argv[4], body)
        return 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
