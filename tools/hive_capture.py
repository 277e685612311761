#!/usr/bin/env python3
"""Writes the sources of the dataset's sets that come from a genuine
installation, straight from that installation's SYSTEM hive
(data/hives/*.xz), so that every captured byte can be traced.

    hive_capture.py --set N [--data DIR] [--hives DIR] [--out FILE]
    hive_capture.py --set N --check      (exit 1 when the source differs)

The set's record list (keys, keepExisting, descriptors, split keys, the
listed line counts) is read from its source file and kept; every record's
lines are derived again from the hive (ControlSet001) and from the values
fixed with the table's layout, by the rules below. Nothing else is read:
running it twice gives the same file.

Rules:
- Fixed values stay as they are given (GIVEN_*): the service start
  settings and the records and lines fixed in full. They
  take the place of the hive's value of the same name, or are added at the
  record's end where the hive lacks it.
- Both FirewallRules keys take the firewall's store of in-box defaults,
  Defaults\\FirewallPolicy\\FirewallRules, split in order over the key's
  records.
- What is not an in-box default or is one machine's state is left out
  (LEFT_OUT, KEYS_LEFT_OUT); docs/dataset.md lists each case with its reason.
- A set taken from an installation of another edition of the same build
  keeps only what both editions have (RECIPES[n]["keep"]).

Needs Debian's python3-hivex (libhivex0) and xz-utils.
"""

import argparse
import lzma
import os
import re
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_restore_table as gen  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONTROL_SET = "ControlSet001"
FIREWALL_RULES = ("SharedAccess\\Defaults\\FirewallPolicy\\FirewallRules",
                  "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules")
STATIC_SYSTEM = "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static\\System"
# The in-box defaults the firewall restores its rules from.
DEFAULT_RULES = "SharedAccess\\Defaults\\FirewallPolicy\\FirewallRules"
CORE_NETWORKING = "EmbedCtxt=@FirewallAPI.dll,-25000|"


class CaptureError(Exception):
    pass


def import_hivex():
    try:
        import hivex
    except ImportError:
        # Debian installs the bindings for its own interpreter only.
        sys.path.append("/usr/lib/python3/dist-packages")
        try:
            import hivex
        except ImportError:
            raise CaptureError("python3-hivex is not installed (apt-get install python3-hivex)")
    return hivex


# ---- what the table's layout fixes -------------------------------------------

# Service start settings: (set, service) -> values; None: the record holds no
# such value.
START_NAMES = ("Start", "Type", "ErrorControl", "ServiceSidType", "DelayedAutoStart")
GIVEN_START = {
    (0, "BITS"): (3, 32, 1, None, None),
    (0, "SharedAccess"): (2, 32, 1, None, None),
    (0, "wscsvc"): (2, 32, 1, None, None),
    (0, "wuauserv"): (2, 32, 1, None, None),
    (1, "BFE"): (2, 32, 1, 3, None),
    (1, "BITS"): (2, 32, 1, 1, 1),
    (1, "iphlpsvc"): (2, 32, 1, 1, None),
    (1, "MpsSvc"): (2, 32, 1, 3, None),
    (1, "SharedAccess"): (4, 32, 1, 1, None),
    (1, "WinDefend"): (2, 32, 1, 1, None),
    (1, "wscsvc"): (2, 32, 1, 1, 1),
    (1, "wuauserv"): (2, 32, 1, 1, 1),
    (2, "BFE"): (2, 32, 1, 3, None),
    (2, "BITS"): (3, 32, 1, 1, 1),
    (2, "iphlpsvc"): (2, 32, 1, 1, None),
    (2, "MpsSvc"): (2, 32, 1, 3, None),
    (2, "SharedAccess"): (4, 32, 1, 1, None),
    (2, "WinDefend"): (2, 32, 1, 1, 1),
    (2, "wscsvc"): (2, 32, 1, 1, 1),
    (2, "wuauserv"): (2, 32, 1, 1, 1),
    (3, "BITS"): (3, 32, 1, None, None),
    (3, "SharedAccess"): (4, 32, 1, None, None),
    (3, "wuauserv"): (2, 32, 1, None, None),
    (4, "BFE"): (2, 32, 1, 3, None),
    (4, "BITS"): (2, 32, 1, 1, 1),
    (4, "iphlpsvc"): (2, 32, 1, 1, None),
    (4, "MpsSvc"): (2, 32, 1, 3, None),
    (4, "SharedAccess"): (4, 32, 1, 1, None),
    (4, "wuauserv"): (2, 32, 1, 1, 1),
}

# Records given in full: (set, key) -> lines.
GIVEN_RECORDS = {
    (0, "wuauserv"): [
        '"Type"=dword:00000020',
        '"Start"=dword:00000002',
        '"ErrorControl"=dword:00000001',
        '"ImagePath"=hex(2):' + ",".join(
            "%02x,00" % ord(c) for c in "%systemroot%\\system32\\svchost.exe -k netsvcs") + ",00,00",
        '"DisplayName"="Automatic Updates"',
        '"ObjectName"="LocalSystem"',
        '"Description"="Enables the download and installation of Windows updates. If this service is '
        'disabled, this computer will not be able to use the Automatic Updates feature or the Windows '
        'Update Web site."',
    ],
    (0, "wuauserv\\Enum"): [
        '"0"="Root\\LEGACY_WUAUSERV\\0000"',
        '"Count"=dword:00000001',
        '"NextInstance"=dword:00000001',
    ],
}

# Single lines given in full: (set, key) -> [(line, first)]; first: the line
# opens the key's first record.
GIVEN_LINES = {
    (2, "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules"): [
        ('"RemoteAssistance-PnrpSvc-UDP-OUT-Active"="v2.10|Action=Allow|Active=TRUE|Dir=Out|'
         'Protocol=17|Profile=Domain|Profile=Private|App=%systemroot%\\system32\\svchost.exe|'
         'Svc=pnrpsvc|Name=@FirewallAPI.dll,-33037|Desc=@FirewallAPI.dll,-33038|'
         'EmbedCtxt=@FirewallAPI.dll,-33002|"', True),
    ],
    (2, "BITS\\Performance"): [('"1008"=hex(b):96,a0,7a,d1,5c,38,cd,01', False)],
}


# ---- what is left out, and why -----------------------------------------------

# (sets, key pattern, value-name pattern, reason); patterns match the whole
# key below the services key and the whole name, without regard to case.
LEFT_OUT = [
    ((2, 4), r"BFE\\Parameters\\Policy\\.*", r".*",
     "filter-engine objects: the filter engine builds its own; those of that machine "
     "(an antivirus's among them) are its runtime state"),
    ((2, 4), r"BITS\\Performance", r"First Counter|Last Counter|First Help|Last Help|Object List",
     "performance-counter indexes of that machine: another machine's counters break with them"),
    ((4,), r"BITS\\Performance", r"1008",
     "a time stamp of that machine's counters (set 2 keeps its given value)"),
    ((0, 2, 4), r"SharedAccess\\Epoch2?", r"Epoch", "epoch counter of that machine's firewall policy"),
    ((2, 4), r"SharedAccess\\Parameters",
     r"ScopeAddress|ScopeAddressBackup|SharedAutoDial|StandaloneDhcpAddress",
     "connection-sharing and hosted-network addresses that machine configured; without them the "
     "service uses its built-in defaults"),
    ((2, 4), r"SharedAccess\\Parameters\\FirewallPolicy\\\w+Profile\\Logging",
     r"LogDroppedPackets|LogSuccessfulConnections",
     "written when that machine's logging settings were saved; the in-box store "
     "(Defaults) holds neither, and without them nothing is logged, as in-box"),
    ((2, 4), re.escape(STATIC_SYSTEM), r"clr_optimization_v4\.0\.30319_32-[12]",
     ".NET Framework 4 setup's rules: that framework is not part of build 7601.17514"),
    ((4,), r"SharedAccess\\(Defaults|Parameters)\\FirewallPolicy\\\w+Profile", r"DisableNotifications",
     "server editions turn the firewall's notifications off by default, client editions on "
     "(Microsoft, unattended Windows setup reference, Networking-MPSSVC-Svc, "
     "PrivateProfile_DisableNotifications: https://learn.microsoft.com/windows-hardware/customize/"
     "desktop/unattend/networking-mpssvc-svc-privateprofile-disablenotifications); the Windows 7 "
     "hive's 0 is the client's"),
    ((4,), r"SharedAccess\\(Defaults|Parameters)\\FirewallPolicy\\\w+Profile", r"EnableFirewall",
     "a guess (the values of set 4 are guesses) that switches the firewall on: written where the "
     "value is missing it would filter a server whose exceptions the dataset does not hold"),
]

# Record keys with no counterpart in the hive: (sets, key pattern, reason).
KEYS_LEFT_OUT = [
    ((2, 4), r"iphlpsvc\\Parameters\\(Isatap|Teredo)\\\{[0-9A-F-]+\}",
     "interface-GUID data: the key's name is one machine's interface, whose values "
     "(InterfaceName, ReusableType) the hive holds under its own GUIDs"),
]


def core_networking_rule(name, line):
    return CORE_NETWORKING in line


# Server 2008 R2 is build 7601 with the same service binaries: it takes the
# Windows 7 hive's definitions of the services both editions run, and the
# rules both ship without doubt.
SET4_SERVICES = ("bfe", "bits", "iphlpsvc", "mpssvc", "sharedaccess", "wuauserv")


def set4_keep(key, name, line, context):
    if key in FIREWALL_RULES:
        return core_networking_rule(name, line)
    if key.lower() == STATIC_SYSTEM.lower():
        m = re.search(r"\|Svc=([^|]*)\|", line)
        return m is not None and m.group(1).lower() in context["services"]
    return True


# Keys Windows makes at every boot, never in a saved hive: (set, key) ->
# lines following the pattern of the quoted wuauserv\Enum record. They are
# guesses, written only where the machine lacks them.
def enum_lines(service):
    return ['"0"="Root\\LEGACY_%s\\0000"' % service.upper(), '"Count"=dword:00000001',
            '"NextInstance"=dword:00000001']


PATTERN_RECORDS = {
    (0, "BITS\\Enum"): enum_lines("BITS"),
    (0, "SharedAccess\\Enum"): enum_lines("SharedAccess"),
    (0, "wscsvc\\Enum"): enum_lines("wscsvc"),
}

RECIPES = {
    0: {"hive": "winxp-sp3-x86-SYSTEM.xz", "provenance": "captured", "keep": None,
        "edition": "Windows XP Professional SP3 32-bit, build 2600"},
    2: {"hive": "win7-sp1-x86-SYSTEM.xz", "provenance": "captured", "keep": None,
        "edition": "Windows 7 SP1 32-bit, build 7601.17514"},
    4: {"hive": "win7-sp1-x86-SYSTEM.xz", "provenance": "corroborated", "keep": set4_keep,
        "edition": "Windows 7 SP1 32-bit, build 7601.17514, the build of Server 2008 R2 SP1"},
}

KEEP_REASONS = {
    4: [
        "FirewallRules keys: the Core Networking group only (EmbedCtxt=@FirewallAPI.dll,-25000), "
        "which both editions ship; the other in-box groups differ between workstation and server",
        "RestrictedServices\\Static\\System: the service-hardening rules of the set's services and "
        "of the services the Core Networking rules name (%s)",
    ],
}


# ---- the hive ----------------------------------------------------------------

class Hive:
    def __init__(self, path):
        hivex = import_hivex()
        opener = lzma.open if path.endswith(".xz") else open
        with opener(path, "rb") as f:
            data = f.read()
        # hivex reads files only.
        fd, self.tmp = tempfile.mkstemp(suffix=".hive")
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        self.h = hivex.Hivex(self.tmp)
        cs = self.child(self.h.root(), CONTROL_SET)
        self.services = self.child(cs, "Services") if cs else None
        if self.services is None:
            raise CaptureError("%s: no %s\\Services" % (path, CONTROL_SET))

    def close(self):
        os.unlink(self.tmp)

    def child(self, node, name):
        for c in self.h.node_children(node):
            if self.h.node_name(c).lower() == name.lower():
                return c
        return None

    def key(self, path):
        node = self.services
        for part in path.split("\\"):
            node = self.child(node, part)
            if node is None:
                return None
        return node

    def values(self, path):
        """(name, type, bytes) in the order the hive holds them."""
        node = self.key(path)
        if node is None:
            return None
        out = []
        for v in self.h.node_values(node):
            t, data = self.h.value_value(v)
            out.append((self.h.value_key(v), t, data))
        return out


def value_line(name, vtype, data, where):
    if '"=' in name or "\0" in name or len(name) > gen.MAX_NAME_CHARS:
        raise CaptureError("%s: value name %r cannot stand in a value line" % (where, name))
    if vtype == 1 and len(data) % 2 == 0 and len(data) >= 2:
        text = data.decode("utf-16-le", errors="surrogatepass")
        body = text[:-1]
        # The quoted form stands for the text and one NUL, nothing else.
        if text.endswith("\0") and all(0x20 <= ord(c) and not 0xD800 <= ord(c) < 0xE000
                                       and c != "\x7f" for c in body):
            return '"%s"="%s"' % (name, body)
    if vtype == 4 and len(data) == 4:
        return '"%s"=dword:%08x' % (name, int.from_bytes(data, "little"))
    body = ",".join("%02x" % b for b in data)
    if vtype == 3:
        return '"%s"=hex:%s' % (name, body)
    if vtype > 0xF:
        raise CaptureError("%s: value %r has type %d, more than one hex digit" % (where, name, vtype))
    return '"%s"=hex(%x):%s' % (name, vtype, body)


def matches(pattern, text):
    return re.fullmatch(pattern, text, re.IGNORECASE) is not None


def left_out(set_no, key, name):
    for sets, kp, np, reason in LEFT_OUT:
        if set_no in sets and matches(kp, key) and matches(np, name):
            return reason
    return None


def key_left_out(set_no, key):
    for sets, kp, reason in KEYS_LEFT_OUT:
        if set_no in sets and matches(kp, key):
            return reason
    return None


def source_key(key):
    return DEFAULT_RULES if key in FIREWALL_RULES else key


# ---- deriving a set --------------------------------------------------------------

def split_evenly(lines, count, where):
    """Consecutive runs of the lines over count records, as even as the
    count allows; each within the list limit."""
    out = []
    start = 0
    for i in range(count):
        n = (len(lines) - start + (count - i) - 1) // (count - i)
        out.append(lines[start:start + n])
        start += n
    for part in out:
        if gen.list_bytes_of([l for l, _ in part]) > gen.MAX_LIST_BYTES:
            raise CaptureError("%s: a record's share is over %d bytes" % (where, gen.MAX_LIST_BYTES))
    return out


def derive_key(set_no, key, hive, recipe, context, report):
    """[(line, provenance)] of one key."""
    where = "set %d %s" % (set_no, key)
    if (set_no, key) in GIVEN_RECORDS:
        return [(l, "given") for l in GIVEN_RECORDS[(set_no, key)]]
    if (set_no, key) in PATTERN_RECORDS:
        return [(l, "reconstructed") for l in PATTERN_RECORDS[(set_no, key)]]
    reason = key_left_out(set_no, key)
    if reason:
        report("left out, key %s: %s" % (key, reason))
        return []
    values = hive.values(source_key(key))
    if values is None:
        # Keys the firewall makes empty on first use: the record still
        # creates the key, with no values.
        report("%s: not in the hive, no values" % where)
        values = []
    provenance = recipe["provenance"]
    out = []
    for name, vtype, data in values:
        if left_out(set_no, key, name) is not None:
            continue
        line = value_line(name, vtype, data, where)
        if recipe["keep"] and not recipe["keep"](key, name, line, context):
            continue
        out.append([name, line, provenance])

    # The start settings and the given lines replace the hive's, in place.
    given = []
    if (set_no, key) in GIVEN_START:
        for vname, v in zip(START_NAMES, GIVEN_START[(set_no, key)]):
            if v is None:
                if any(o[0].lower() == vname.lower() for o in out):
                    report("%s: %s dropped, the record holds none" % (where, vname))
                out = [o for o in out if o[0].lower() != vname.lower()]
            else:
                given.append(('"%s"=dword:%08x' % (vname, v), False))
    given += GIVEN_LINES.get((set_no, key), [])
    front = []
    for line, first in given:
        name = gen.value_name(line)
        at = [i for i, o in enumerate(out) if o[0].lower() == name.lower()]
        if at and out[at[0]][1] != line:
            report("%s: %s as given, the hive says %s" % (where, line, out[at[0]][1]))
        if first:
            out = [o for o in out if o[0].lower() != name.lower()]
            front.append([name, line, "given"])
        elif at:
            out[at[0]] = [name, line, "given"]
        else:
            out.append([name, line, "given"])
    return [(l, p) for _, l, p in front + out]


def derive(set_no, data_dir, hives_dir, report=lambda s: None):
    recipe = RECIPES.get(set_no)
    if recipe is None:
        raise CaptureError("set %d has no genuine source" % set_no)
    source = gen.set_source(data_dir, set_no)
    records = gen.read_set(source, set_no)
    hive = Hive(os.path.join(hives_dir, recipe["hive"]))
    try:
        context = {"services": set(SET4_SERVICES)}
        if set_no == 4:
            # The services the Core Networking rules name.
            for name, vtype, data in hive.values(DEFAULT_RULES):
                line = value_line(name, vtype, data, DEFAULT_RULES)
                m = re.search(r"\|Svc=([^|]*)\|", line)
                if core_networking_rule(name, line) and m:
                    context["services"].add(m.group(1).lower())
        for group in gen.groups_of(records):
            key = group[0].sub_key[len(gen.KEY_PREFIX):]
            lines = derive_key(set_no, key, hive, recipe, context, report)
            parts = split_evenly(lines, len(group), "set %d %s" % (set_no, key)) \
                if len(group) > 1 else [lines]
            for r, part in zip(group, parts):
                r.lines = [l for l, _ in part]
                r.line_provenance = [p for _, p in part]
                r.provenance = part[0][1] if part else recipe["provenance"]
    finally:
        hive.close()
    gen.check_records(records, gen.read_descriptors(os.path.join(data_dir, "descriptors.txt")))
    header = [
        "; set=%d %s" % (set_no, gen.SET_NAMES[set_no]),
        "; Written by tools/hive_capture.py from data/hives/%s (%s), ControlSet001;"
        % (recipe["hive"], recipe["edition"]),
        "; do not edit: CTest re-derives this file from the hive. docs/dataset.md lists what is",
        "; left out and why. String data is verbatim: a single backslash stands for itself.",
    ]
    return gen.format_source(header, records)


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--set", type=int, required=True, choices=sorted(RECIPES))
    ap.add_argument("--data", default=os.path.join(ROOT, "data", "restore"))
    ap.add_argument("--hives", default=os.path.join(ROOT, "data", "hives"))
    ap.add_argument("--out", help="file to write instead of the set's source")
    ap.add_argument("--check", action="store_true",
                    help="only compare the derivation with the source; exit 1 when they differ")
    ap.add_argument("--quiet", action="store_true")
    args = ap.parse_args(argv)
    report = (lambda s: None) if args.quiet else (lambda s: print(s, file=sys.stderr))
    try:
        text = derive(args.set, args.data, args.hives, report)
        source = gen.set_source(args.data, args.set)
        if args.check:
            with open(source, encoding="utf-8") as f:
                now = f.read()
            if now != text:
                import difflib
                diff = difflib.unified_diff(now.splitlines(), text.splitlines(), source,
                                            "derived from the hive", lineterm="", n=1)
                for n, line in enumerate(diff):
                    if n == 60:
                        print("...", file=sys.stderr)
                        break
                    print(line[:200], file=sys.stderr)
                print("hive_capture: %s differs from its derivation from the hive" % source,
                      file=sys.stderr)
                return 1
            print("set %d: %s matches its derivation from the hive" % (args.set, source))
            return 0
        out = args.out or source
        with open(out + ".tmp", "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        os.replace(out + ".tmp", out)
    except (CaptureError, gen.SourceError, OSError) as e:
        print("hive_capture: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
