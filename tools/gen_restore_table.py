#!/usr/bin/env python3
"""Turns the known-good dataset sources (data/restore/*.reg, descriptors.txt)
into the static table of RestoreRecord the cleaner is built with, and
optionally into the record listing of docs/dataset.md.

The sources are registry-editor export text, UTF-8, one file per edition
set. Above every key header a comment line names the record's flags:

    ; keepExisting=0 descriptor=D1 provenance=reconstructed
    [HKEY_LOCAL_MACHINE\\System\\CurrentControlset\\Services\\BITS]
    "Type"=dword:00000020

Value lines are kept exactly as written (string data is verbatim: a single
backslash stands for itself). A key split over several records appears as
consecutive headers of the same key, each with its own comment line.

The record comment's provenance is that of the record's first lines; a
comment line "; provenance=NAME" inside a record sets the provenance of the
lines below it, up to the next such line or the record's end:

    given          fixed byte for byte where the table was specified
    captured       taken unchanged from a genuine installation of the edition
    corroborated   taken unchanged from a genuine installation of the same
                   Windows build (another edition of it): a guess about this
                   edition, written only where the machine lacks the value
    reconstructed  from no genuine source: a guess, written only where the
                   machine lacks the value

Record comments may also say listed=N, the line count of the record in the
reference installation the record list was laid out from, shown beside the table's own count in the listing.

Usage:
    gen_restore_table.py --data DIR --out FILE.cpp [--doc FILE.md]
    gen_restore_table.py --data DIR --check

docs/dataset.md is made with --doc docs/dataset.md after the sources change.
"""

import argparse
import os
import re
import sys

HEADER = "Windows Registry Editor Version 5.00"
ROOTS = {"HKEY_LOCAL_MACHINE": "HKEY_LOCAL_MACHINE"}
KEY_PREFIX = "System\\CurrentControlset\\Services\\"
MAX_LIST_BYTES = 65535
MAX_NAME_CHARS = 255
EXPECTED_RECORDS = 253
PROVENANCES = ("given", "captured", "corroborated", "reconstructed")
# Lines of these provenances are guesses about the edition, with their flag
# byte in the table: 1 from no genuine source, 2 from a genuine installation
# of another edition of the same build.
GUESSED = {"reconstructed": 1, "corroborated": 2}
SET_NAMES = {
    0: "Windows XP",
    1: "Windows Vista",
    2: "Windows 7",
    3: "Windows Server 2003",
    4: "Windows Server 2008 R2",
}

RECORD_COMMENT = re.compile(
    r"^;\s*keepExisting=([01])\s+descriptor=D([0-9]+)(?:\s+listed=([0-9]+))?"
    r"\s+provenance=([a-z]+)\s*$")
LINE_PROVENANCE = re.compile(r"^;\s*provenance=([a-z]+)\s*$")
SET_COMMENT = re.compile(r"^;\s*set=([0-9]+)\b")
SET_FILE = re.compile(r"^set([0-9]+)-.*\.reg$")
DESCRIPTOR_LINE = re.compile(r"^D([0-9]+)\s+(\S+)\s*$")
TYPED_DATA = re.compile(r'^(".*"|dword:[0-9a-fA-F]{8}|hex(\([0-9a-fA-F]\))?:.*)$')


class SourceError(Exception):
    pass


class Record:
    def __init__(self, set_no, keep, descriptor, provenance, root, sub_key, where, listed=None):
        self.set = set_no
        self.keep = keep
        self.descriptor = descriptor
        # The provenance of the record's first lines (of the record when it
        # has none), and of each line.
        self.provenance = provenance
        self.current = provenance
        self.root = root
        self.sub_key = sub_key
        self.lines = []
        self.line_provenance = []
        self.where = where
        self.listed = listed

    def add(self, line, provenance=None):
        self.lines.append(line)
        self.line_provenance.append(provenance or self.current)

    def guessed(self):
        return [GUESSED.get(p, 0) for p in self.line_provenance]

    def list_bytes(self):
        return 2 * (sum(len(line) + 1 for line in self.lines) + 1)

    def label(self):
        return "set %d %s (%s)" % (self.set, self.sub_key, self.where)


def value_name(line):
    cut = line.find('"=')
    if not line.startswith('"') or cut < 1:
        return None
    return line[1:cut]


def read_descriptors(path):
    table = {}
    with open(path, encoding="utf-8") as f:
        for n, raw in enumerate(f, 1):
            line = raw.rstrip("\r\n")
            if not line.strip() or line.startswith("#"):
                continue
            m = DESCRIPTOR_LINE.match(line)
            if not m:
                raise SourceError("%s:%d: expected 'Dn SDDL'" % (path, n))
            number = int(m.group(1))
            if number in table:
                raise SourceError("%s:%d: D%d given twice" % (path, n, number))
            if not m.group(2).isascii():
                raise SourceError("%s:%d: SDDL must be ASCII" % (path, n))
            table[number] = m.group(2)
    numbers = sorted(table)
    if numbers != list(range(1, len(numbers) + 1)):
        raise SourceError("%s: descriptors must be numbered D1..Dn without gaps" % path)
    return table


def read_set(path, set_no):
    records = []
    pending = None
    current = None
    seen_header = False
    with open(path, encoding="utf-8-sig") as f:
        for n, raw in enumerate(f, 1):
            line = raw.rstrip("\r\n")
            where = "%s:%d" % (os.path.basename(path), n)
            if not seen_header:
                if not line.strip():
                    continue
                if line != HEADER:
                    raise SourceError("%s: first line must be '%s'" % (where, HEADER))
                seen_header = True
                continue
            if not line.strip():
                continue
            if line.startswith(";"):
                m = SET_COMMENT.match(line)
                if m and int(m.group(1)) != set_no:
                    raise SourceError("%s: set comment says %s, file name says %d"
                                      % (where, m.group(1), set_no))
                m = RECORD_COMMENT.match(line)
                if m:
                    if pending is not None:
                        raise SourceError("%s: two record comments in a row" % where)
                    if m.group(4) not in PROVENANCES:
                        raise SourceError("%s: provenance must be one of %s"
                                          % (where, ", ".join(PROVENANCES)))
                    listed = int(m.group(3)) if m.group(3) is not None else None
                    pending = (int(m.group(1)), int(m.group(2)), m.group(4), listed)
                    continue
                m = LINE_PROVENANCE.match(line)
                if m:
                    if current is None or pending is not None:
                        raise SourceError("%s: provenance line outside a record" % where)
                    if m.group(1) not in PROVENANCES:
                        raise SourceError("%s: provenance must be one of %s"
                                          % (where, ", ".join(PROVENANCES)))
                    current.current = m.group(1)
                continue
            if line.startswith("["):
                if not line.endswith("]"):
                    raise SourceError("%s: key header without ']'" % where)
                if pending is None:
                    raise SourceError("%s: key header without a record comment above it" % where)
                path_text = line[1:-1]
                root, _, sub_key = path_text.partition("\\")
                if root not in ROOTS:
                    raise SourceError("%s: unknown root %s" % (where, root))
                if not sub_key.startswith(KEY_PREFIX) or sub_key.endswith("\\"):
                    raise SourceError("%s: key must lie below %s" % (where, KEY_PREFIX))
                if not sub_key.isascii():
                    raise SourceError("%s: key path must be ASCII" % where)
                current = Record(set_no, pending[0], pending[1], pending[2],
                                 ROOTS[root], sub_key, where, pending[3])
                records.append(current)
                pending = None
                continue
            if line.startswith('"'):
                if current is None:
                    raise SourceError("%s: value line before any key header" % where)
                name = value_name(line)
                if name is None:
                    raise SourceError("%s: value line without '\"='" % where)
                if len(name) > MAX_NAME_CHARS:
                    raise SourceError("%s: value name longer than %d characters"
                                      % (where, MAX_NAME_CHARS))
                data = line[len(name) + 3:]
                if not TYPED_DATA.match(data):
                    raise SourceError("%s: data is none of \"text\", dword:, hex:, hex(N):"
                                      % where)
                if "\0" in line:
                    raise SourceError("%s: NUL inside a value line" % where)
                for ch in line:
                    if ord(ch) > 0xFFFF:
                        raise SourceError("%s: character outside the 16-bit range" % where)
                current.add(line)
                continue
            raise SourceError("%s: not a comment, key header or value line" % where)
    if pending is not None:
        raise SourceError("%s: record comment at the end without a key header" % path)
    return records


def check_records(records, descriptors):
    for i, r in enumerate(records):
        if r.descriptor not in descriptors:
            raise SourceError("%s: descriptor D%d is not in descriptors.txt"
                              % (r.label(), r.descriptor))
        if r.list_bytes() > MAX_LIST_BYTES:
            raise SourceError("%s: value list is %d bytes, more than %d"
                              % (r.label(), r.list_bytes(), MAX_LIST_BYTES))
        # The records of a split key share everything but their lines, and
        # each value name stands in one of them only.
        if i and records[i - 1].sub_key == r.sub_key and records[i - 1].set == r.set:
            prev = records[i - 1]
            if (prev.keep, prev.descriptor) != (r.keep, r.descriptor):
                raise SourceError("%s: split key records differ in keepExisting or descriptor"
                                  % r.label())
    groups = {}
    for r in records:
        groups.setdefault((r.set, r.sub_key.lower()), []).append(r)
    for group in groups.values():
        names = {}
        for r in group:
            for line in r.lines:
                name = value_name(line).lower()
                if name in names:
                    raise SourceError("%s: value \"%s\" also in %s"
                                      % (r.label(), value_name(line), names[name]))
                names[name] = r.where
    order = [r.set for r in records]
    if order != sorted(order):
        raise SourceError("sets must follow each other in the order 0..4")


def load(data_dir):
    descriptors = read_descriptors(os.path.join(data_dir, "descriptors.txt"))
    files = []
    for name in os.listdir(data_dir):
        m = SET_FILE.match(name)
        if m:
            files.append((int(m.group(1)), name))
    files.sort()
    if [n for n, _ in files] != sorted(set(n for n, _ in files)):
        raise SourceError("%s: two source files for one set" % data_dir)
    records = []
    for set_no, name in files:
        records.extend(read_set(os.path.join(data_dir, name), set_no))
    check_records(records, descriptors)
    return descriptors, records


def set_source(data_dir, set_no):
    for name in sorted(os.listdir(data_dir)):
        m = SET_FILE.match(name)
        if m and int(m.group(1)) == set_no:
            return os.path.join(data_dir, name)
    raise SourceError("%s: no source file for set %d" % (data_dir, set_no))


def list_bytes_of(lines):
    return 2 * (sum(len(line) + 1 for line in lines) + 1)


def groups_of(records):
    """Consecutive records of one key (a split key has several)."""
    out = []
    for r in records:
        if out and out[-1][0].sub_key.lower() == r.sub_key.lower():
            out[-1].append(r)
        else:
            out.append([r])
    return out


def format_source(header_comments, records):
    """A set's source text: the header, then each record with its comment and
    a provenance line wherever the lines' provenance changes."""
    out = [HEADER, ""] + header_comments
    for r in records:
        out.append("")
        listed = " listed=%d" % r.listed if r.listed is not None else ""
        first = r.line_provenance[0] if r.line_provenance else r.provenance
        out.append("; keepExisting=%d descriptor=D%d%s provenance=%s"
                   % (r.keep, r.descriptor, listed, first))
        out.append("[%s\\%s]" % (r.root, r.sub_key))
        current = first
        for line, provenance in zip(r.lines, r.line_provenance):
            if provenance != current:
                out.append("; provenance=%s" % provenance)
                current = provenance
            out.append(line)
    out.append("")
    return "\n".join(out)


def c_bytes(text):
    """A narrow C string literal body; the sources are ASCII here."""
    return text.replace("\\", "\\\\").replace('"', '\\"')


def c_wide_pieces(line):
    """The body of L"..." pieces for one line; characters outside printable
    ASCII become \\x escapes, and a piece is closed after an escape so that a
    following hex digit cannot extend it."""
    pieces = []
    cur = []
    for ch in line:
        code = ord(ch)
        if ch == "\\":
            cur.append("\\\\")
        elif ch == '"':
            cur.append('\\"')
        elif ch == "?":
            cur.append("\\?")
        elif 0x20 <= code < 0x7F:
            cur.append(ch)
        else:
            cur.append("\\x%04x" % code)
            pieces.append("".join(cur))
            cur = []
    pieces.append("".join(cur))
    return [p for p in pieces if p] or [""]


def emit_table(descriptors, records, out_path, expected):
    used = sorted(set(r.descriptor for r in records))
    out = []
    out.append("// Generated by tools/gen_restore_table.py from data/restore; do not edit.")
    out.append("// The known-good service configuration, one record per key, in array order.")
    out.append('#include "cleaner.h"')
    out.append("")
    for number in used:
        out.append('static const char kD%d[] = "%s";' % (number, c_bytes(descriptors[number])))
    out.append("")
    for i, r in enumerate(records):
        out.append("// set %d: %s" % (r.set, r.sub_key))
        if not r.lines:
            out.append('static const WCHAR kLines%d[] = L"";' % i)
            continue
        # Every line ends with its NUL; the literal's own terminator is the
        # empty line that ends the list.
        out.append("static const WCHAR kLines%d[] =" % i)
        for j, line in enumerate(r.lines):
            pieces = c_wide_pieces(line)
            pieces[-1] += "\\0"
            text = " ".join('L"%s"' % p for p in pieces)
            out.append("    " + text + (";" if j + 1 == len(r.lines) else ""))
        # One byte per line: non-zero where the line is a guess (1: no genuine
        # source, 2: another edition of the same build).
        if any(r.guessed()):
            out.append("static const BYTE kGuessed%d[] = {%s};"
                       % (i, ", ".join(str(g) for g in r.guessed())))
    out.append("")
    out.append("const RestoreRecord g_RestoreRecords[] = {")
    for i, r in enumerate(records):
        guessed = ("kGuessed%d" % i) if any(r.guessed()) else "NULL"
        out.append('    {%d, %d, %s, "%s", kD%d, kLines%d, %s},'
                   % (r.set, r.keep, r.root, c_bytes(r.sub_key), r.descriptor, i, guessed))
    out.append("};")
    out.append("static_assert(sizeof(RestoreRecord) == 2 * sizeof(DWORD) + sizeof(HKEY) + 4 * sizeof(void *),")
    out.append('              "set, keepExisting, root and four pointers");')
    out.append("const DWORD g_RestoreRecordCount = sizeof(g_RestoreRecords) / sizeof(g_RestoreRecords[0]);")
    if expected:
        out.append("static_assert(sizeof(g_RestoreRecords) / sizeof(g_RestoreRecords[0]) == %d,"
                   % expected)
        out.append('              "the dataset holds %d records");' % expected)
    out.append("")
    text = "\n".join(out)
    os.makedirs(os.path.dirname(os.path.abspath(out_path)), exist_ok=True)
    tmp = out_path + ".tmp"
    with open(tmp, "w", encoding="ascii", newline="\n") as f:
        f.write(text)
    os.replace(tmp, out_path)


def data_form(line):
    data = line[len(value_name(line)) + 3:]
    if data.startswith('"'):
        return "string"
    if data.startswith("dword:"):
        return "dword"
    if data.startswith("hex:"):
        return "hex"
    return data[:data.index(":")]


# What the sets without a genuine source keep and leave out.
UNSOURCED_DECISIONS = [
    "Sets 1 and 3 (Vista, Server 2003) have no genuine source here: the XP hive is build 2600, "
    "Server 2003 is build 3790. Their service definitions stay reconstructed, and a restore run "
    "writes them only where the machine lacks the value; the start settings and the records "
    "quoted in full are given and always written.",
    "Set 0 is captured from the Windows XP SP3 hive: every record whose key the hive holds takes "
    "the hive's values (its firewall profiles hold none there, and their AuthorizedApplications "
    "lists the hive's two entries each). The `Enum` keys are made at every boot and are in no "
    "saved hive: `wuauserv\\Enum` is given, the other three follow its pattern and are guesses.",
    "No filter-engine object in any set: the records below `BFE\\Parameters\\Policy` keep their "
    "keys and descriptors and carry no values. The filter engine builds its objects itself.",
    "Rule lists of sets 1 and 3 hold only the rules fixed in full with the table: set 3's "
    "`RestrictedServices\\Static\\System` (six rules, given). The reconstructed rules of set 1 "
    "(its `FirewallRules` and `Static\\System` keys) are left out. A rule missing from the store leaves its traffic to the firewall's "
    "default policy, which blocks inbound; an invented or broader rule does not.",
    "`SharedAccess\\Epoch` (and `Epoch2`): the epoch counter is one machine's state, left out in "
    "every set.",
    "Set 1's `LogFilePath` values were already REG_EXPAND_SZ, as Windows 7 writes them; Vista is "
    "another build (6.0), so its other reconstructed values are not corrected from the Windows 7 "
    "hive and stay guesses.",
    "Set 4 no longer holds the reconstructed `NetTcpActivator` rule with its doubled backslashes: "
    "it is no Core Networking rule and the Windows 7 hive does not hold it.",
    "No guess switches on filtering or blocks traffic. Left out: `EnableFirewall`=1 of set 3's "
    "`DomainProfile` and `StandardProfile` (Server 2003 SP1 ships with the firewall off; written "
    "where the value is missing it would turn on the firewall of a server whose exceptions the "
    "dataset does not hold and could cut it off from remote administration), of set 1's six "
    "profile keys (`Defaults` and `Parameters`, `DomainProfile`, `PublicProfile`, "
    "`StandardProfile`), and of set 4's six (see above). Kept, as they filter nothing: "
    "`DisableStatefulFTP` and `DisableStatefulPPTP` 0 (the stateful handling lets the protocols' "
    "related connections through), `DisableNotifications`, the logging settings, "
    "`PresharedKeyEncoding`. Service-hardening rules (`Action=Block` for one service's own "
    "traffic) stand only where a genuine installation holds them: set 3's six are given, set 4's "
    "ten are those of build 7601 for the set's services. The validator fails on a guessed "
    "`EnableFirewall`, `DoNotAllowExceptions`, `DefaultInboundAction` or `DefaultOutboundAction` "
    "other than 0, and on any rule from no genuine source.",
    "No set holds per-machine performance-counter indexes (`First Counter`, `Last Counter`, "
    "`First Help`, `Last Help`, `Object List` of `BITS\\Performance`): another machine's indexes "
    "break its counters. Set 1's guessed ones are left out like those of the hives; the validator "
    "fails on any such line.",
]


def names_drive_path(line):
    data = line[len(value_name(line)) + 3:]
    if data.startswith("hex(2):"):
        text = bytes(int(x, 16) for x in data[7:].split(",") if x).decode("utf-16-le", "replace")
    elif data.startswith('"'):
        text = data
    else:
        return False
    return re.search(r"[A-Za-z]:\\", text) is not None


def provenance_runs(r):
    """'1-4 captured, 5-7 given' for the record's lines."""
    runs = []
    for n, p in enumerate(r.line_provenance, 1):
        if runs and runs[-1][2] == p:
            runs[-1][1] = n
        else:
            runs.append([n, n, p])
    return ", ".join(("%d %s" % (a, p)) if a == b else ("%d-%d %s" % (a, b, p))
                     for a, b, p in runs) or "-"


def set_words(sets):
    return ("set " if len(sets) == 1 else "sets ") + ", ".join(str(x) for x in sets)


def shown_pattern(pattern):
    """A key pattern as a reader sees it: single backslashes, any profile as '*'."""
    return (pattern.replace("\\\\", "\\").replace("\\w+", "*")
            .replace("\\{", "{").replace("\\}", "}"))


def emit_doc(records, out_path):
    import hive_capture as hc
    out = []
    w = out.append
    w("# The known-good dataset")
    w("")
    w("Generated by `tools/gen_restore_table.py --doc` from `data/restore`; do not edit.")
    w("")
    w("Each record is one registry key of one edition. Every value line has a provenance:")
    w("")
    w("- `given`: fixed byte for byte where the table was specified (the service start")
    w("  settings, the records and lines quoted in full);")
    w("- `captured`: taken unchanged by `tools/hive_capture.py` from the SYSTEM hive of a genuine")
    w("  installation of the edition (`data/hives`); CTest derives these sets again from the hive")
    w("  and fails on any difference;")
    w("- `corroborated`: taken unchanged from a genuine installation of the same Windows build,")
    w("  another edition of it (set 4 from the Windows 7 SP1 hive: build 7601, the same service")
    w("  binaries), limited to what both editions have; derived again by CTest as well. The same")
    w("  build is evidence, not proof, of the other edition's defaults, so these lines are guesses")
    w("  like the next kind;")
    w("- `reconstructed`: from no genuine source.")
    w("")
    w("A restore run writes a `corroborated` or `reconstructed` line (a guess) only where the")
    w("machine lacks the value; a value the machine holds is left as it is and logged as not")
    w("needing an update. `given` and `captured` lines are always written.")
    w("")
    w("The sources' format is described in data/restore/README.md. `Lines` is the table's count,")
    w("`Listed` the count of the installation the record list was specified from.")
    w("")
    w("| Set | Edition | Records | Without values | Listed lines | Lines | given | captured | corroborated | reconstructed |")
    w("|---|---|---|---|---|---|---|---|---|---|")
    sets = sorted(set(r.set for r in records))
    totals = [0] * 8
    for s in sets:
        rs = [r for r in records if r.set == s]
        row = [len(rs), sum(1 for r in rs if not r.lines), sum(r.listed or 0 for r in rs),
               sum(len(r.lines) for r in rs)]
        row += [sum(r.line_provenance.count(p) for r in rs) for p in PROVENANCES]
        totals = [a + b for a, b in zip(totals, row)]
        w("| %d | %s | %s |" % (s, SET_NAMES.get(s, "?"), " | ".join(str(x) for x in row)))
    w("| all | | %s |" % " | ".join(str(x) for x in totals))
    w("")
    w("Values naming a path on drive C: %d (the ServiceDll values of BITS and wuauserv in set 0,"
      % sum(1 for r in records for line in r.lines if names_drive_path(line)))
    w("as XP writes them, and of set 3; set 2's .NET Framework 2.0 service-hardening rules; set 3's")
    w("given .NET 4 rules). The earlier reconstructed table counted 27, values that no genuine")
    w("source holds; with the genuine data the figure changes.")
    w("")
    w("## What is left out, and why")
    w("")
    w("From the hives (`tools/hive_capture.py`, tables `LEFT_OUT`, `KEYS_LEFT_OUT`):")
    w("")
    for sets, kp, np, reason in hc.LEFT_OUT:
        w("- %s, key `%s`, values `%s`: %s." % (set_words(sets), shown_pattern(kp), np, reason))
    for sets, kp, reason in hc.KEYS_LEFT_OUT:
        w("- %s, keys `%s`: %s." % (set_words(sets), shown_pattern(kp), reason))
    w("- sets 2 and 4, both `FirewallRules` keys: the in-box store `Defaults\\FirewallPolicy\\"
      "FirewallRules` (297 rules), not that machine's `Parameters` store, which holds 26 rules "
      "added by software and users and in-box rules they changed.")
    w("- set 2, `WinDefend` `Start`: given as 2; the hive's 3 is that machine's antivirus turning "
      "the service to demand start. Set 4, `BITS` `Start`: given as 2 (the hive: 3).")
    w("- set 2, `BITS\\Performance` `1008`: the value given (the hive holds its own time stamp).")
    for s, reasons in sorted(hc.KEEP_REASONS.items()):
        for reason in reasons:
            if "%s" in reason:
                reason = reason % ", ".join(sorted(hc.SET4_SERVICES + ("dhcp", "dnscache")))
            w("- set %d, %s." % (s, reason))
    w("")
    w("Sets without a genuine source:")
    w("")
    for d in UNSOURCED_DECISIONS:
        w("- " + d)
    for s in sets:
        rs = [r for r in records if r.set == s]
        w("")
        w("## Set %d: %s" % (s, SET_NAMES.get(s, "?")))
        w("")
        w("| # | Key | keepExisting | Listed | Lines | Descriptor | Bytes | Provenance of the lines |")
        w("|---|---|---|---|---|---|---|---|")
        for i, r in enumerate(rs, 1):
            w("| %d | `%s` | %d | %s | %d | D%d | %d | %s |"
              % (i, r.sub_key[len(KEY_PREFIX):], r.keep,
                 "-" if r.listed is None else r.listed,
                 len(r.lines), r.descriptor, r.list_bytes(), provenance_runs(r)))
    w("")
    with open(out_path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(out))


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", required=True, help="the data/restore directory")
    ap.add_argument("--out", help="generated C++ source to write")
    ap.add_argument("--doc", help="markdown listing to write")
    ap.add_argument("--expect-records", type=int, default=EXPECTED_RECORDS,
                    help="record count to static_assert (0: none)")
    ap.add_argument("--check", action="store_true", help="only read and check the sources")
    args = ap.parse_args(argv)
    try:
        descriptors, records = load(args.data)
    except (SourceError, OSError, UnicodeDecodeError) as e:
        print("gen_restore_table: %s" % e, file=sys.stderr)
        return 1
    if args.out:
        emit_table(descriptors, records, args.out, args.expect_records)
    if args.doc:
        emit_doc(records, args.doc)
    if args.check or not (args.out or args.doc):
        forms = {}
        for r in records:
            for line in r.lines:
                forms[data_form(line)] = forms.get(data_form(line), 0) + 1
        print("%d records, %d lines, %s" % (len(records), sum(len(r.lines) for r in records),
                                            ", ".join("%s %d" % kv for kv in sorted(forms.items()))))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
