#!/usr/bin/env python3
"""The undo file's Wine check (tests/wine/undo_e2e.sh): the machine it
starts from, and comparisons of what `reg export` and the cleaner wrote.

Commands (print nothing and exit 0 on success, or print what differs and
exit 1):
    undo_model.py prepare DUMP SET[,SET...] OUT.reg
        the sets' services partly deleted, partly altered: every other
        service removed; of the rest, one value of each key changed, one
        deleted, one string stored under the other string type (other data
        otherwise), one key below removed, and a value the dataset does not
        know added
    undo_model.py compare BEFORE_DIR AFTER_DIR
        the exports (one file per key, "absent" for a key reg could not
        export) hold the same keys and values
    undo_model.py same-as-export UNDO.reg EXPORT_DIR
        every old value in the undo file found in the exports is written
        there line for line as `reg export` writes it
    undo_model.py section UNDO.reg INDEX OUT.reg
        the header and one section (0 the first, -1 the last) as a file
    undo_model.py check-undo UNDO.reg LOG
        the undo file: byte-order mark and header, one section per log
        section headed by its time, lines of at most 80 columns, hex lists
        continued as the registry editor exports them
"""

import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_model import (HKLM, REG_DWORD, REG_EXPAND_SZ, REG_SZ, load_dump, parse_line, read_reg,  # noqa: E402
                       reg_value_line, set_records, write_reg)

SERVICES = "System\\CurrentControlSet\\Services\\"


def service_of(record):
    return record["subKey"].split("\\")[3]


def prepare(records, sets):
    recs = [r for s in sets for r in set_records(records, s)]
    services = []
    for r in recs:
        if service_of(r).lower() not in [s.lower() for s in services]:
            services.append(service_of(r))
    removed = services[::2]
    body = ["[-%s\\%s%s]" % (HKLM, SERVICES, s) for s in removed]
    body.append("")
    dropped_below = set()
    for r in recs:
        service = service_of(r)
        if service in removed or not r["lines"]:
            continue
        depth = len(r["subKey"].split("\\"))
        # One key below a kept service goes, with its subkeys.
        if depth > 4 and service not in dropped_below:
            dropped_below.add(service)
            body.append("[-%s\\%s]" % (HKLM, r["subKey"]))
            body.append("")
            continue
        body.append("[%s\\%s]" % (HKLM, r["subKey"]))
        for i, line in enumerate(r["lines"][:3]):
            name, kind, data = parse_line(line)
            if i == 0:
                body.append(reg_value_line(name, REG_DWORD, (0xDEADBEEF).to_bytes(4, "little")))
            elif i == 1:
                body.append('"%s"=-' % name.replace("\\", "\\\\").replace('"', '\\"'))
            elif kind in (REG_SZ, REG_EXPAND_SZ):
                swapped = REG_EXPAND_SZ if kind == REG_SZ else REG_SZ
                body.append(reg_value_line(name, swapped, data))
            elif kind == REG_DWORD:
                # A dword of another size Wine's export cannot show (it reads
                # four bytes whatever the size): another number instead.
                number = (int.from_bytes(data, "little") + 1) & 0xFFFFFFFF
                body.append(reg_value_line(name, kind, number.to_bytes(4, "little")))
            else:
                body.append(reg_value_line(name, kind, data[:-2]))
        body.append('"VankPlanted"="left alone"')
        body.append("")
    return body


def compare(before_dir, after_dir):
    problems = []
    names = sorted(set(os.listdir(before_dir)) | set(os.listdir(after_dir)))
    for name in names:
        a, b = os.path.join(before_dir, name), os.path.join(after_dir, name)
        if not os.path.exists(a) or not os.path.exists(b):
            problems.append("%s: exported only %s" % (name, "after" if os.path.exists(b) else "before"))
            continue
        absent_a, absent_b = os.path.getsize(a) == 0, os.path.getsize(b) == 0
        if absent_a or absent_b:
            if absent_a != absent_b:
                problems.append("%s: key %s" % (name, "left behind" if absent_a else "not given back"))
            continue
        ka, kb = read_reg(a), read_reg(b)
        for key in sorted(set(ka) | set(kb)):
            if key not in kb:
                problems.append("key not given back: " + ka[key][0])
            elif key not in ka:
                problems.append("key left behind: " + kb[key][0])
            else:
                va, vb = ka[key][1], kb[key][1]
                for v in sorted(set(va) | set(vb)):
                    if va.get(v) != vb.get(v):
                        problems.append("%s : \"%s\" was %r, is %r" % (ka[key][0], v, va.get(v), vb.get(v)))
    return problems


def check_undo(undo, log):
    problems = []
    raw = open(undo, "rb").read()
    if not raw.startswith(b"\xff\xfe"):
        return ["no UTF-16LE byte-order mark"]
    text = raw[2:].decode("utf-16-le")
    if not text.startswith("Windows Registry Editor Version 5.00\r\n\r\n"):
        problems.append("no registry editor header")
    if "\n" in text.replace("\r\n", ""):
        problems.append("a line feed without its carriage return")
    lines = text.split("\r\n")
    times = [l for l in open(log, encoding="latin-1").read().splitlines() if l.startswith("Log started ")]
    sections = [l for l in lines if l.startswith("; Log started ")]
    if sections != ["; " + t for t in times]:
        problems.append("section comments %r, log headers %r" % (sections, times))
    for i, line in enumerate(lines):
        # Only hex lists are wrapped; key lines, strings and comments are not.
        if len(line) > 80 and ("=hex" in line or line.startswith("  ")):
            problems.append("line %d has %d columns" % (i + 1, len(line)))
        if line.endswith("\\") and line.startswith(("\"", "@", "  ")):
            if not re.search(r",\\$", line) or len(line) < 78:
                problems.append("line %d breaks a hex list early: %s" % (i + 1, line))
            if not lines[i + 1].startswith("  "):
                problems.append("line %d continues without the indent" % (i + 2))
    return problems


def value_texts(path):
    """A registry-editor file -> {(key lower, name lower): the value's text,
    continuation lines and all}. The merged class view is stored in the
    machine's class store, as Wine keeps it."""
    raw = open(path, "rb").read()
    text = raw[2:].decode("utf-16-le") if raw.startswith(b"\xff\xfe") else raw.decode("utf-8")
    out, key, lines, i = {}, None, text.split("\r\n"), 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.startswith("[") and line.endswith("]"):
            key = line[1:-1].lower()
            if key.startswith("hkey_classes_root\\"):
                key = "hkey_local_machine\\software\\classes\\" + key[len("hkey_classes_root\\"):]
            continue
        if key is None or not line or line.startswith(";") or not line.startswith(("\"", "@")):
            continue
        m = re.match(r'^(@|"(?:[^"\\]|\\.)*")=', line)
        whole = [line]
        while whole[-1].endswith("\\") and i < len(lines):
            whole.append(lines[i])
            i += 1
        out[(key, m.group(1).lower())] = "\r\n".join(whole)
    return out


def same_as_export(undo, export_dir):
    """Each old value in the undo file is written as `reg export` writes the
    same value: same escapes, same forms, hex lists broken at the same places."""
    exported = {}
    for name in os.listdir(export_dir):
        path = os.path.join(export_dir, name)
        if os.path.getsize(path):
            exported.update(value_texts(path))
    problems, compared = [], 0
    for k, text in value_texts(undo).items():
        if text.endswith("=-") or k not in exported:
            continue
        compared += 1
        if exported[k] != text:
            problems.append("%s %s:\n  undo:   %r\n  export: %r" % (k[0], k[1], text, exported[k]))
    if compared < 3:
        problems.append("only %d values to compare with the export" % compared)
    return problems


def section_file(undo, index, out):
    raw = open(undo, "rb").read()
    text = raw[2:].decode("utf-16-le")
    head, _, rest = text.partition("; Log started ")
    sections = ["; Log started " + s for s in rest.split("; Log started ")]
    with open(out, "wb") as f:
        f.write(b"\xff\xfe" + (head + sections[index]).encode("utf-16-le"))


def report(problems):
    for p in problems:
        print(p)
    return 1 if problems else 0


def main(argv):
    cmd = argv[1]
    if cmd == "prepare":
        write_reg(argv[4], prepare(load_dump(argv[2]), [int(s) for s in argv[3].split(",")]))
        return 0
    if cmd == "compare":
        return report(compare(argv[2], argv[3]))
    if cmd == "check-undo":
        return report(check_undo(argv[2], argv[3]))
    if cmd == "same-as-export":
        return report(same_as_export(argv[2], argv[3]))
    if cmd == "section":
        section_file(argv[2], int(argv[3]), argv[4])
        return 0
    print("unknown command " + cmd)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
