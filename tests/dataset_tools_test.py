#!/usr/bin/env python3
"""The dataset's build and capture tools: the generator that turns the
sources into the static table, and the capture of `reg export` files (the
fixtures were written by Wine's own `reg export`, see
tests/data/capture/make_fixture.sh)."""

import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))

import gen_restore_table as gen  # noqa: E402
import reg_capture  # noqa: E402

FIXTURES = os.path.join(HERE, "data", "capture")
KEY = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlset\\Services\\%s]"
DESCRIPTORS = "D1 O:BAG:SYD:(A;;KA;;;SY)\nD2 O:SYG:SYD:(A;;KA;;;BA)\n"


def record(path, lines, keep=0, descriptor=1, provenance="reconstructed"):
    out = ["; keepExisting=%d descriptor=D%d provenance=%s" % (keep, descriptor, provenance),
           KEY % path]
    return "\n".join(out + lines) + "\n"


class TempData(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, name, text, encoding="utf-8"):
        path = os.path.join(self.dir, name)
        with open(path, "w", encoding=encoding, newline="\n") as f:
            f.write(text)
        return path

    def source(self, set_no, *records):
        self.write("descriptors.txt", DESCRIPTORS)
        return self.write("set%d-test.reg" % set_no,
                          gen.HEADER + "\n\n; set=%d\n\n" % set_no + "\n".join(records))


class GeneratorTest(TempData):
    def test_lines_become_utf16_literals_each_ended_by_a_nul(self):
        self.source(0, record("A", ['"Path"="C:\\a\\b"', '"Q"="say \\"hi\\"?"',
                                    '"U"="caf\u00e9 1"']),
                    record("A\\Empty", []))
        descriptors, records = gen.load(self.dir)
        out = os.path.join(self.dir, "table.cpp")
        gen.emit_table(descriptors, records, out, 2)
        with open(out, encoding="ascii") as f:
            text = f.read()
        # Backslashes and quotes escaped, no trigraph, the é as an escape
        # closed before the digit that follows it.
        self.assertIn('L"\\"Path\\"=\\"C:\\\\a\\\\b\\"\\0"', text)
        self.assertIn('L"\\"Q\\"=\\"say \\\\\\"hi\\\\\\"\\?\\"\\0"', text)
        self.assertIn('L"\\"U\\"=\\"caf\\x00e9" L" 1\\"\\0";', text)
        self.assertIn('static const WCHAR kLines1[] = L"";', text)
        # Every line of a reconstructed record is a guess; a record without
        # guesses has no flags.
        self.assertIn("static const BYTE kGuessed0[] = {1, 1, 1};", text)
        self.assertIn('{0, 0, HKEY_LOCAL_MACHINE, "System\\\\CurrentControlset\\\\Services\\\\A", kD1, kLines0, '
                      'kGuessed0}', text)
        self.assertIn('"System\\\\CurrentControlset\\\\Services\\\\A\\\\Empty", kD1, kLines1, NULL}', text)
        self.assertIn("== 2,", text)

    def test_provenance_lines_set_the_lines_below_them(self):
        self.source(0, record("A", ['"Start"=dword:00000002', "; provenance=reconstructed",
                                    '"ImagePath"="x"', '"Group"="y"', "; provenance=captured",
                                    '"Z"=dword:00000001'], provenance="given"),
                    record("B", ['"V"=dword:00000001'], provenance="captured"))
        descriptors, records = gen.load(self.dir)
        self.assertEqual(["given", "reconstructed", "reconstructed", "captured"],
                         records[0].line_provenance)
        self.assertEqual([0, 1, 1, 0], records[0].guessed())
        self.assertEqual([0], records[1].guessed())
        out = os.path.join(self.dir, "table.cpp")
        gen.emit_table(descriptors, records, out, 2)
        with open(out, encoding="ascii") as f:
            text = f.read()
        self.assertIn("static const BYTE kGuessed0[] = {0, 1, 1, 0};", text)
        self.assertIn("kLines1, NULL}", text)
        # Written back, the source reads the same.
        again = self.write("set0-test.reg", gen.format_source([], records))
        self.assertEqual([r.line_provenance for r in records],
                         [r.line_provenance for r in gen.read_set(again, 0)])
        self.assertEqual("1 given, 2-3 reconstructed, 4 captured", gen.provenance_runs(records[0]))

    def test_lines_from_another_edition_of_the_build_are_guesses_of_their_own_kind(self):
        self.source(4, record("A", ['"Start"=dword:00000002', "; provenance=corroborated",
                                    '"ImagePath"="x"', "; provenance=reconstructed", '"Group"="y"'],
                              provenance="given"))
        descriptors, records = gen.load(self.dir)
        self.assertEqual([0, 2, 1], records[0].guessed())
        out = os.path.join(self.dir, "table.cpp")
        gen.emit_table(descriptors, records, out, 1)
        with open(out, encoding="ascii") as f:
            self.assertIn("static const BYTE kGuessed0[] = {0, 2, 1};", f.read())

    def test_faulty_sources_are_rejected_with_the_place(self):
        long_line = '"L"="%s"' % ("x" * 32760)
        cases = [
            ("list over 65,535 bytes", [record("A", [long_line])], "more than 65535"),
            ("unknown descriptor", [record("A", [], descriptor=9)], "D9 is not in descriptors.txt"),
            ("name in two records of a split key",
             [record("A", ['"N"=dword:00000001'], keep=1), record("A", ['"n"=dword:00000002'], keep=1)],
             'value "n" also in'),
            ("split records that differ", [record("A", [], keep=1), record("A", [], keep=0)],
             "differ in keepExisting"),
            ("data in no known form", [record("A", ['"N"=DWORD:00000001'])], "none of"),
            ("provenance of no kind", [record("A", ["; provenance=guessed", '"N"=dword:00000001'])],
             "provenance must be one of"),
            ("key outside the services key",
             ["; keepExisting=0 descriptor=D1 provenance=given\n[HKEY_LOCAL_MACHINE\\Software\\X]\n"],
             "must lie below"),
            ("header without its comment", [KEY % "A" + "\n"], "without a record comment"),
            ("unknown provenance", [record("A", [], provenance="guessed")], "provenance must be"),
        ]
        for what, records, message in cases:
            with self.subTest(what):
                self.source(0, *records)
                with self.assertRaises(gen.SourceError) as e:
                    gen.load(self.dir)
                self.assertIn(message, str(e.exception))

    def test_list_of_exactly_65535_bytes_is_accepted(self):
        # 2 * (len + 1 + 1) bytes for one line.
        line = '"L"="%s"' % ("x" * (65535 // 2 - 2 - 6))
        self.source(0, record("A", [line]))
        _, records = gen.load(self.dir)
        self.assertLessEqual(records[0].list_bytes(), 65535)
        self.assertGreater(records[0].list_bytes(), 65530)


class CaptureTest(TempData):
    def setUp(self):
        super().setUp()
        self.path = self.source(
            4,
            record("DsCapture", ['"Type"=dword:00000010']),
            record("DsCapture\\Security", ['"Security"=hex:01,00'], descriptor=2),
            record("DsCapture\\Rules", ['"R1"="old"', '"R2"="old"'], keep=1),
            record("DsCapture\\Rules", ['"R3"="old"'], keep=1),
            record("DsCapture\\Given", ['"G"="fixed"'], provenance="given"),
            record("DsOther", ['"Type"=dword:00000001']),
            record("DsMissing", ['"X"=dword:00000001']))
        self.messages = []

    def capture(self, *exports, **kw):
        return reg_capture.capture(4, self.dir, [os.path.join(FIXTURES, e) for e in exports],
                                   report=self.messages.append, **kw)

    def by_key(self, records):
        out = {}
        for r in records:
            out.setdefault(r.sub_key[len(gen.KEY_PREFIX):], []).append(r)
        return out

    def test_wine_export_replaces_the_lines_of_the_sets_records(self):
        self.capture("wine-export.reg", "wine-other.reg", "wine-unlisted.reg")
        # The rewritten source reads back as a table.
        _, records = gen.load(self.dir)
        keys = self.by_key(records)
        self.assertEqual([
            '""="default value"',
            '"1008"=hex(b):96,a0,7a,d1,5c,38,cd,01',
            '"DependOnService"=hex(7):52,00,70,00,63,00,53,00,73,00,00,00,45,00,76,00,65,00,'
            '6e,00,74,00,53,00,79,00,73,00,74,00,65,00,6d,00,00,00,00,00',
            # Escapes undone: the dataset keeps string data verbatim.
            '"DisplayName"="Capture "test" C:\\Windows\\"',
            '"FailureActions"=hex:80,51,01,00,00,00,00,00,00,00,00,00,03,00,00,00,14,00,00,00,01,00,'
            '00,00,60,ea,00,00,01,00,00,00,c0,d4,01,00,00,00,00,00,00,00,00,00',
            '"ImagePath"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,00,25,'
            '00,5c,00,53,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,73,00,76,00,63,00,68,00,'
            '6f,00,73,00,74,00,2e,00,65,00,78,00,65,00,20,00,2d,00,6b,00,20,00,6e,00,65,00,74,00,73,'
            '00,76,00,63,00,73,00,00,00',
            '"Start"=dword:00000002',
            '"Type"=dword:00000020',
        ], keys["DsCapture"][0].lines)
        # Keys matched whatever their letter case in the export.
        self.assertEqual(['"Security"=hex:01,00,04,80,14,00,00,00,20,00,00,00,00,00,00,00,00,00,00,00,'
                          '01,01,00,00,00,00,00,05,12,00,00,00,01,01,00,00,00,00,00,05,12,00,00,00'],
                         keys["DsCapture\\Security"][0].lines)
        self.assertEqual(['"Type"=dword:00000010'], keys["DsOther"][0].lines)
        for key in ("DsCapture", "DsCapture\\Security", "DsOther"):
            self.assertEqual("captured", keys[key][0].provenance, key)
            self.assertEqual(2 if key == "DsCapture\\Security" else 1, keys[key][0].descriptor, key)

    def test_split_key_keeps_each_name_in_its_record(self):
        self.capture("wine-export.reg")
        _, records = gen.load(self.dir)
        rules = self.by_key(records)["DsCapture\\Rules"]
        self.assertEqual(2, len(rules))
        first = [gen.value_name(l) for l in rules[0].lines]
        second = [gen.value_name(l) for l in rules[1].lines]
        self.assertIn("R1", first)
        self.assertIn("R3", second)
        self.assertNotIn("R2", first + second)  # gone from the clean machine
        self.assertEqual({"R1", "R3", "R4", "R5"}, set(first + second))
        self.assertEqual([1, 1], [r.keep for r in rules])
        self.assertEqual(["captured", "captured"], [r.provenance for r in rules])

    def test_given_and_unexported_records_are_kept_and_reported(self):
        self.capture("wine-export.reg", "wine-unlisted.reg")
        _, records = gen.load(self.dir)
        keys = self.by_key(records)
        self.assertEqual(['"G"="fixed"'], keys["DsCapture\\Given"][0].lines)
        self.assertEqual("given", keys["DsCapture\\Given"][0].provenance)
        self.assertEqual("reconstructed", keys["DsMissing"][0].provenance)
        text = "\n".join(self.messages)
        self.assertIn("given in full, kept although the export differs: "
                      "System\\CurrentControlset\\Services\\DsCapture\\Given", text)
        self.assertIn("not in the exports, kept: System\\CurrentControlset\\Services\\DsMissing", text)
        self.assertIn("exported key not in the table, left out: "
                      "System\\CurrentControlset\\Services\\dsunlisted", text)
        self.assertIn("set 4: 4 records captured, 3 kept", text)

    def test_given_records_replaced_on_request(self):
        self.capture("wine-export.reg", replace_given=True)
        _, records = gen.load(self.dir)
        given = self.by_key(records)["DsCapture\\Given"][0]
        self.assertEqual(['"G"="changed"'], given.lines)
        self.assertEqual("captured", given.provenance)

    def test_windows_export_through_a_numbered_control_set(self):
        # As the registry editor writes it: CR LF, UTF-16LE with its mark,
        # upper-case SYSTEM, ControlSet001, a deleted value, a wrapped list.
        text = ("Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\DsOther]\r\n"
                "\"Type\"=dword:00000020\r\n"
                "\"Gone\"=-\r\n"
                "\"Bin\"=hex:01,02,\\\r\n  03\r\n"
                "\"Multi\"=hex(7):00,00\r\n")
        path = os.path.join(self.dir, "win.reg")
        with open(path, "wb") as f:
            f.write(b"\xff\xfe" + text.encode("utf-16-le"))
        reg_capture.capture(4, self.dir, [path], report=self.messages.append)
        _, records = gen.load(self.dir)
        self.assertEqual(['"Type"=dword:00000020', '"Bin"=hex:01,02,03', '"Multi"=hex(7):00,00'],
                         self.by_key(records)["DsOther"][0].lines)

    def test_exports_the_line_format_cannot_carry_are_refused(self):
        cases = [
            ('"A"=hex(100000):00', "more than one digit"),
            ('"A"=hex:1,02', "not two hex digits"),
            ('"A"=dword:1', "none of"),
            ('"A"="open', "closing quote"),
            ('"N\\"=x"="v"', "cannot carry"),
        ]
        for line, message in cases:
            with self.subTest(line):
                path = self.write("bad.reg", "Windows Registry Editor Version 5.00\n\n"
                                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\DsOther]\n"
                                  + line + "\n")
                with self.assertRaises(reg_capture.CaptureError) as e:
                    reg_capture.capture(4, self.dir, [path], report=self.messages.append)
                self.assertIn(message, str(e.exception))

    def test_too_many_values_for_the_records_of_a_split_key(self):
        big = '"R%%d"="%s"' % ("x" * 20000)
        lines = "\n".join(big % i for i in range(4))
        path = self.write("big.reg", "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\DsCapture\\Rules]\n"
                          + lines + "\n")
        with self.assertRaises(reg_capture.CaptureError) as e:
            reg_capture.capture(4, self.dir, [path], report=self.messages.append)
        self.assertIn("need more than the 2 records", str(e.exception))


if __name__ == "__main__":
    unittest.main()
