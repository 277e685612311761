#!/usr/bin/env python3
"""Replaces the value lines of one edition set of the known-good dataset
with those of `reg export` files taken on a clean installation of that
edition.

    reg_capture.py --set N [--data DIR] [--out FILE] [--replace-given] EXPORT.reg...

The exports are what `reg export` (or the registry editor) writes: UTF-16LE
with a byte-order mark (UTF-8 is accepted too), hex data wrapped over lines
ending in a backslash, strings with backslashes and double quotes escaped,
key paths in any letter case and below CurrentControlSet or a numbered
ControlSetNNN. The set's record list stays as it is: each record keeps its
key, keepExisting and descriptor, and a key split over several records
keeps every value in the record that held it, new values going where there
is room. Every record whose key is in the exports gets the exported values
in export order and is marked `captured`; records given in full are left
alone unless --replace-given is used; records whose key is in no export are
kept and listed. The set's source file is rewritten (or --out is written).
"""

import argparse
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_restore_table as gen  # noqa: E402

SERVICES = re.compile(r"^(?:HKEY_LOCAL_MACHINE|HKLM)\\system\\(?:currentcontrolset|controlset[0-9]{3})"
                      r"\\services\\(.+)$", re.IGNORECASE)
HEX_FORM = re.compile(r"^hex(\(([0-9a-fA-F]+)\))?:(.*)$", re.DOTALL)


class CaptureError(Exception):
    pass


def read_text(path):
    with open(path, "rb") as f:
        raw = f.read()
    if raw.startswith(b"\xff\xfe"):
        return raw[2:].decode("utf-16-le")
    if raw.startswith(b"\xef\xbb\xbf"):
        return raw[3:].decode("utf-8")
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        raise CaptureError("%s: neither UTF-16LE with a byte-order mark nor UTF-8" % path)


def logical_lines(text, path):
    """Physical lines joined where hex data is wrapped with a trailing
    backslash; yields (line number, text)."""
    pending = None
    start = 0
    for n, raw in enumerate(text.split("\n"), 1):
        line = raw.rstrip("\r")
        if pending is not None:
            pending += line.lstrip(" \t")
        else:
            pending, start = line, n
        # Only hex data is wrapped; no complete value line ends in a
        # backslash (string data ends with its closing quote).
        if pending.endswith("\\") and not pending.startswith("["):
            pending = pending[:-1]
            continue
        yield start, pending
        pending = None
    if pending is not None:
        raise CaptureError("%s:%d: wrapped line without its end" % (path, start))


def unquote(text, pos, where):
    """Reads an exported quoted string starting at text[pos] == '"';
    returns (unescaped text, position after the closing quote)."""
    out = []
    i = pos + 1
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text) and text[i + 1] in "\\\"":
            out.append(text[i + 1])
            i += 2
            continue
        if c == '"':
            return "".join(out), i + 1
        out.append(c)
        i += 1
    raise CaptureError("%s: quoted text without its closing quote" % where)


def value_line(line, where):
    """One exported value as a dataset value line, or None for a deletion."""
    if line.startswith("@="):
        name, rest = "", line[2:]
    elif line.startswith('"'):
        name, end = unquote(line, 0, where)
        if not line[end:].startswith("="):
            raise CaptureError("%s: value name not followed by '='" % where)
        rest = line[end + 1:]
    else:
        raise CaptureError("%s: not a value line" % where)
    if '"=' in name:
        raise CaptureError('%s: value name "%s" holds \'"=\', which the line format cannot carry'
                           % (where, name))
    if len(name) > gen.MAX_NAME_CHARS:
        raise CaptureError("%s: value name longer than %d characters" % (where, gen.MAX_NAME_CHARS))
    if rest == "-":
        return None
    if rest.startswith('"'):
        text, end = unquote(rest, 0, where)
        if rest[end:].strip():
            raise CaptureError("%s: text after the closing quote" % where)
        data = '"%s"' % text
    elif re.match(r"^dword:[0-9a-fA-F]{8}$", rest):
        data = rest.lower()
    else:
        m = HEX_FORM.match(rest)
        if not m:
            raise CaptureError("%s: data is none of \"text\", dword:, hex:, hex(N):" % where)
        items = [x.strip() for x in m.group(3).split(",")]
        if items and items[-1] == "":
            items.pop()
        for x in items:
            if not re.match(r"^[0-9a-fA-F]{2}$", x):
                raise CaptureError("%s: byte list item '%s' is not two hex digits" % (where, x))
        body = ",".join(x.lower() for x in items)
        if m.group(1) is None:
            data = "hex:" + body
        else:
            kind = int(m.group(2), 16)
            if kind > 0xF:
                raise CaptureError("%s: type hex(%s) has more than one digit" % (where, m.group(2)))
            data = "hex(%x):%s" % (kind, body)
    return '"%s"=%s' % (name, data)


def read_export(path, keys):
    """Adds the export's Services keys to keys: lower-case key below the
    services key -> [(name, line)] in export order."""
    text = read_text(path)
    current = None
    seen_header = False
    for n, line in logical_lines(text, path):
        where = "%s:%d" % (path, n)
        if not line.strip() or line.startswith(";"):
            continue
        if not seen_header:
            if line.strip() != gen.HEADER:
                raise CaptureError("%s: first line must be '%s'" % (where, gen.HEADER))
            seen_header = True
            continue
        if line.startswith("["):
            if not line.rstrip().endswith("]"):
                raise CaptureError("%s: key header without ']'" % where)
            path_text = line.strip()[1:-1]
            if path_text.startswith("-"):
                current = None
                continue
            m = SERVICES.match(path_text)
            current = keys.setdefault(m.group(1).lower(), []) if m else None
            continue
        if current is None:
            continue
        v = value_line(line, where)
        if v is not None:
            current.append((gen.value_name(v), v))
    return keys


def distribute(group, captured):
    """Captured lines over the records of one key: a name stays in the
    record that held it, a new one goes to the record with the most room."""
    owner = {}
    for i, r in enumerate(group):
        for line in r.lines:
            owner[gen.value_name(line).lower()] = i
    lines = [[] for _ in group]
    for name, line in captured:
        i = owner.get(name.lower())
        if i is None:
            i = min(range(len(group)), key=lambda k: gen.list_bytes_of(lines[k]))
        lines[i].append(line)
    # A record over the limit hands its last lines to the others.
    for i in range(len(group)):
        while gen.list_bytes_of(lines[i]) > gen.MAX_LIST_BYTES:
            line = lines[i].pop()
            room = [k for k in range(len(group))
                    if k != i and gen.list_bytes_of(lines[k] + [line]) <= gen.MAX_LIST_BYTES]
            if not room:
                raise CaptureError("%s: the exported values need more than the %d records of "
                                   "this key" % (group[0].sub_key, len(group)))
            lines[room[0]].append(line)
    return lines


def header_comments(path):
    out = []
    with open(path, encoding="utf-8-sig") as f:
        for raw in f:
            line = raw.rstrip("\r\n")
            if gen.RECORD_COMMENT.match(line):
                break
            if line.startswith(";") and not line.startswith("; captured from"):
                out.append(line)
    return out


def write_source(path, comments, sources, records):
    out = [gen.HEADER, ""] + comments
    out.append("; captured from %s" % ", ".join(os.path.basename(s) for s in sources))
    for r in records:
        out.append("")
        out.append("; keepExisting=%d descriptor=D%d provenance=%s" % (r.keep, r.descriptor, r.provenance))
        out.append("[%s\\%s]" % (r.root, r.sub_key))
        out.extend(r.lines)
    out.append("")
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(out))
    os.replace(tmp, path)


def capture(set_no, data_dir, exports, out_path=None, replace_given=False, report=print):
    source = None
    for name in sorted(os.listdir(data_dir)):
        m = gen.SET_FILE.match(name)
        if m and int(m.group(1)) == set_no:
            source = os.path.join(data_dir, name)
    if source is None:
        raise CaptureError("%s: no source file for set %d" % (data_dir, set_no))
    records = gen.read_set(source, set_no)
    keys = {}
    for e in exports:
        read_export(e, keys)
    used = set()
    captured = kept = 0
    for group in gen.groups_of(records):
        key = group[0].sub_key[len(gen.KEY_PREFIX):].lower()
        if key not in keys:
            kept += len(group)
            report("not in the exports, kept: %s" % group[0].sub_key)
            continue
        used.add(key)
        if any(r.provenance == "given" for r in group) and not replace_given:
            now = [line for r in group for line in r.lines]
            if now != [line for _, line in keys[key]]:
                report("given in full, kept although the export differs: %s" % group[0].sub_key)
            kept += len(group)
            continue
        for r, lines in zip(group, distribute(group, keys[key])):
            if len(lines) != len(r.lines):
                report("%s: %d value lines, were %d" % (r.sub_key, len(lines), len(r.lines)))
            r.lines = lines
            r.provenance = "captured"
            captured += 1
    for key in sorted(set(keys) - used):
        report("exported key not in the table, left out: %s%s" % (gen.KEY_PREFIX, key))
    # The sources must still make a table.
    descriptors = gen.read_descriptors(os.path.join(data_dir, "descriptors.txt"))
    gen.check_records(records, descriptors)
    write_source(out_path or source, header_comments(source), exports, records)
    report("set %d: %d records captured, %d kept" % (set_no, captured, kept))
    return records


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--set", type=int, required=True, choices=range(5), help="edition set 0..4")
    ap.add_argument("--data", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                   "..", "data", "restore"))
    ap.add_argument("--out", help="file to write instead of the set's source")
    ap.add_argument("--replace-given", action="store_true",
                    help="also replace the records given in full")
    ap.add_argument("exports", nargs="+", help="files written by reg export")
    args = ap.parse_args(argv)
    try:
        capture(args.set, args.data, args.exports, args.out, args.replace_given)
    except (CaptureError, gen.SourceError, OSError) as e:
        print("reg_capture: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
