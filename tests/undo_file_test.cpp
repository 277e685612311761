// The undo file: each entry form in the registry editor's format, written and
// committed before the change it undoes, its failures costing one log line and
// nothing else, one section per run; imported, it gives the registry back.
#include <algorithm>
#include <functional>
#include <map>

#include "reg_file.h"
#include "security.h"
#include "test_support.h"

namespace {

#define VANK_KEY "SYSTEM\\CurrentControlSet\\Services\\Vank"
const char *const kVank = "HKLM\\" VANK_KEY;
const char *const kVankLine = "[HKEY_LOCAL_MACHINE\\" VANK_KEY "]";
const char *const kOpen = "O:BAG:SYD:AI(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)";
const char *const kUndoFailed = "Failed to write undo information";

std::vector<uint8_t> Bytes(std::initializer_list<int> list)
{
  std::vector<uint8_t> out;
  for (int b : list)
    out.push_back((uint8_t)b);
  return out;
}

std::vector<std::string> Split(const std::string &text, const std::string &separator)
{
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      if (start < text.size())
        out.push_back(text.substr(start));
      return out;
    }
    out.push_back(text.substr(start, end - start));
    start = end + separator.size();
  }
}

// A Windows 7 record below HKEY_LOCAL_MACHINE, every value rewritten.
RestoreRecord Record(const char *subKey, const char *sddl, const WCHAR *valueLines)
{
  RestoreRecord r = {};
  r.set = SET_WIN7;
  r.keepExisting = 0;
  r.root = HKEY_LOCAL_MACHINE;
  r.subKey = subKey;
  r.sddl = sddl;
  r.valueLines = valueLines;
  return r;
}

class UndoFileTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
  }

  // The pass over these records, as restore mode makes it.
  void Restore(const std::vector<RestoreRecord> &records)
  {
    OpenTestLog(0x61);
    RestoreServicesFrom(0x61, records.data(), (DWORD)records.size());
    CloseCleanerLog();
  }

  // The file's sections; fails the test when the file is malformed.
  std::vector<std::string> Sections(bool flushedOnly = false)
  {
    UndoFileText file;
    std::string error;
    EXPECT_TRUE(ParseUndoFile(UndoFileBytes(kWin7Desktop, flushedOnly), &file, &error)) << error;
    return file.sections;
  }

  // The entries of the last section after its comment line: blocks of lines
  // that a blank line ends.
  std::vector<std::string> LastEntries()
  {
    std::vector<std::string> sections = Sections();
    if (sections.empty())
      return {};
    std::vector<std::string> blocks = Split(sections.back(), "\r\n\r\n");
    EXPECT_EQ(0u, blocks.front().find("; Log started "));
    return std::vector<std::string>(blocks.begin() + 1, blocks.end());
  }

  // Imports the last section onto the registry as it is now.
  void UndoLastRun()
  {
    std::vector<std::string> sections = Sections();
    ASSERT_FALSE(sections.empty());
    std::string error;
    ASSERT_TRUE(ImportRegLines(sections.back(), &error)) << error;
  }
};

struct ValueForm {
  const char *what;
  const char *name;      // UTF-8
  bool existed;
  DWORD type;            // of the value before the run
  std::vector<uint8_t> data;
  const char *expected;  // its line in the file
};

TEST_F(UndoFileTest, EachValueFormAndItsImport)
{
  const ValueForm cases[] = {
      {"dword overwritten", "Start", true, REG_DWORD, Bytes({4, 0, 0, 0}), "\"Start\"=dword:00000004"},
      {"created value", "Start", false, REG_NONE, {}, "\"Start\"=-"},
      {"name and string that need escapes", "a\"b\\c", true, REG_SZ, sim::Utf16Bytes("C:\\Program Files\\\"x\""),
       "\"a\\\"b\\\\c\"=\"C:\\\\Program Files\\\\\\\"x\\\"\""},
      {"string without its terminator", "S", true, REG_SZ, Bytes({'a', 0, 'b', 0}), "\"S\"=hex(1):61,00,62,00"},
      {"string of no bytes", "S", true, REG_SZ, {}, "\"S\"=hex(1):"},
      {"string of an odd length", "S", true, REG_SZ, Bytes({'a', 0, 0}), "\"S\"=hex(1):61,00,00"},
      {"string with a line feed", "S", true, REG_SZ, sim::Utf16Bytes("a\nb"), "\"S\"=hex(1):61,00,0a,00,62,00,00,00"},
      {"string with a terminator inside", "S", true, REG_SZ, Bytes({'a', 0, 0, 0, 'b', 0, 0, 0}),
       "\"S\"=hex(1):61,00,00,00,62,00,00,00"},
      {"string outside ASCII", "S", true, REG_SZ, sim::Utf16Bytes("\xc3\xa9t\xc3\xa9"), "\"S\"=\"\xc3\xa9t\xc3\xa9\""},
      {"expandable string", "S", true, REG_EXPAND_SZ, sim::Utf16Bytes("%a%"), "\"S\"=hex(2):25,00,61,00,25,00,00,00"},
      {"multi-string", "S", true, REG_MULTI_SZ, Bytes({'a', 0, 0, 0, 0, 0}), "\"S\"=hex(7):61,00,00,00,00,00"},
      {"binary", "B", true, REG_BINARY, Bytes({1, 0xab}), "\"B\"=hex:01,ab"},
      {"empty binary", "B", true, REG_BINARY, {}, "\"B\"=hex:"},
      {"dword of three bytes", "D", true, REG_DWORD, Bytes({1, 2, 3}), "\"D\"=hex(4):01,02,03"},
      {"qword", "Q", true, 11, Bytes({1, 2, 3, 4, 5, 6, 7, 8}), "\"Q\"=hex(b):01,02,03,04,05,06,07,08"},
      {"no type, no data", "N", true, REG_NONE, {}, "\"N\"=hex(0):"},
      {"type without a name", "T", true, 0x12345, Bytes({0xff}), "\"T\"=hex(12345):ff"},
      {"default value", "", true, REG_DWORD, Bytes({9, 0, 0, 0}), "@=dword:00000009"},
      {"default value created", "", false, REG_NONE, {}, "@=-"},
  };
  for (const ValueForm &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::MakeKey(kVank);
    if (c.existed)
      sim::SetValue(kVank, c.name, c.type, c.data);
    std::vector<std::string> before = RegistryContent();
    std::u16string line = sim::Utf8ToUtf16("\"" + std::string(c.name) + "\"=dword:00000007");
    line.push_back(0);
    line.push_back(0);
    Restore({Record(VANK_KEY, kOpen, (const WCHAR *)line.c_str())});
    ASSERT_EQ(7u, sim::Value(kVank, c.name)->data[0]) << "written";

    std::vector<std::string> entries = LastEntries();
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(0u, entries[0].find("; [HKEY_LOCAL_MACHINE\\" VANK_KEY "] O:")) << entries[0];
    EXPECT_EQ(std::string(kVankLine) + "\r\n" + c.expected, entries[1]);
    UndoLastRun();
    EXPECT_EQ(before, RegistryContent());
  }
}

// The hex forms wrapped as regedit exports them: ",\" at the end of a line
// once it reaches column 77, two spaces before each following line.
TEST_F(UndoFileTest, LongValuesWrapAsTheEditorExportsThem)
{
  struct {
    const char *what;
    DWORD type;
    size_t size;
    size_t firstLineBytes;
  } cases[] = {
      // "LongValue"=hex: is 16 columns; 21 items take it to 79.
      {"binary of 300 bytes", REG_BINARY, 300, 21},
      // "LongValue"=hex(2): is 19 columns; 20 items take it to 79.
      {"expandable string of 64 KiB", REG_EXPAND_SZ, 65536, 20},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    std::vector<uint8_t> data(c.size);
    for (size_t i = 0; i < data.size(); i++)
      data[i] = (uint8_t)(i * 7);
    sim::SetValue(kVank, "LongValue", c.type, data);
    std::vector<std::string> before = RegistryContent();
    Restore({Record(VANK_KEY, kOpen, L"\"LongValue\"=dword:00000001\0")});

    std::vector<std::string> entries = LastEntries();
    ASSERT_EQ(2u, entries.size());
    std::vector<std::string> lines = Split(entries[1], "\r\n");
    ASSERT_GT(lines.size(), 3u);
    EXPECT_EQ(kVankLine, lines[0]);
    size_t items = 0;
    for (size_t i = 1; i < lines.size(); i++) {
      const std::string &l = lines[i];
      bool last = i + 1 == lines.size();
      SCOPED_TRACE(l);
      EXPECT_LE(l.size(), 80u);
      if (i > 1) {
        EXPECT_EQ("  ", l.substr(0, 2));
      }
      if (!last) {
        EXPECT_EQ(",\\", l.substr(l.size() - 2));
        // Never a break before column 77, always right after it.
        EXPECT_GE(l.size() - 1, 77u);
        EXPECT_LE(l.size() - 1, 79u);
      }
      items += (size_t)std::count(l.begin(), l.end(), ',') + (last ? 1 : 0);
    }
    EXPECT_EQ(c.size, items);
    EXPECT_EQ((size_t)std::count(lines[1].begin(), lines[1].end(), ','), c.firstLineBytes);
    for (size_t i = 2; i + 1 < lines.size(); i++)
      EXPECT_EQ(25, std::count(lines[i].begin(), lines[i].end(), ',')) << "line " << i;
    UndoLastRun();
    EXPECT_EQ(before, RegistryContent());
  }
}

// A key made with missing keys above it is undone by the topmost of them;
// what lies below a key this run created needs no entry of its own.
TEST_F(UndoFileTest, CreatedKeysAreUndoneByTheTopmostOne)
{
  std::vector<std::string> before = RegistryContent();
  Restore({
      Record(VANK_KEY "\\Parameters\\Deep", kOpen, L"\"A\"=dword:00000001\0"),
      Record(VANK_KEY, kOpen, L"\"Start\"=dword:00000002\0\"Type\"=dword:00000010\0"),
      Record(VANK_KEY "\\Parameters", kOpen, L"\"B\"=\"x\"\0"),
      Record(VANK_KEY "\\Other", kOpen, L"\"C\"=dword:00000003\0"),
  });
  EXPECT_EQ(std::vector<std::string>({"[-HKEY_LOCAL_MACHINE\\" VANK_KEY "]"}), LastEntries());
  ASSERT_NE(nullptr, sim::Key(kVank + std::string("\\Other")));
  UndoLastRun();
  EXPECT_EQ(before, RegistryContent());
  EXPECT_EQ(nullptr, sim::Key(kVank));
}

TEST_F(UndoFileTest, ExistingKeysAreNotRecordedAndAValueOnlyOnce)
{
  sim::SetDword(kVank, "Start", 4);
  sim::SetDword(kVank + std::string("\\Parameters"), "A", 1);
  std::vector<std::string> before = RegistryContent();
  // The key split over two records: its value written twice, its
  // descriptor replaced twice; the file keeps the state before the first.
  Restore({
      Record(VANK_KEY, kOpen, L"\"Start\"=dword:00000002\0"),
      Record(VANK_KEY "\\Parameters", kOpen, L"\"A\"=dword:00000001\0"),
      Record(VANK_KEY, "O:SYG:SYD:P(A;;KA;;;SY)", L"\"Start\"=dword:00000003\0"),
  });
  std::vector<std::string> entries = LastEntries();
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ(0u, entries[0].find("; [HKEY_LOCAL_MACHINE\\" VANK_KEY "] O:BAG:S-1-5-21-"));
  EXPECT_EQ(std::string(kVankLine) + "\r\n\"Start\"=dword:00000004", entries[1]);
  EXPECT_EQ(0u, entries[2].find("; [HKEY_LOCAL_MACHINE\\" VANK_KEY "\\Parameters] O:"));
  EXPECT_EQ(3u, sim::Value(kVank, "Start")->data[0]);
  UndoLastRun();
  EXPECT_EQ(before, RegistryContent());
}

// The descriptor before the run, in SDDL, converts back to the same one.
TEST_F(UndoFileTest, ReplacedDescriptorStandsInAComment)
{
  const char *const sddl = "O:SYG:SYD:PAI(A;;KA;;;SY)(A;;KA;;;BA)(A;CIIO;GA;;;CO)(A;;0x20019;;;BU)S:(AU;FA;KA;;;WD)";
  std::vector<uint8_t> descriptor;
  ASSERT_TRUE(sim::SddlToSelfRelative(sddl, &descriptor));
  sim::MakeKey(kVank).securityDescriptor = descriptor;
  Restore({Record(VANK_KEY, kOpen, L"\0")});

  std::vector<std::string> entries = LastEntries();
  ASSERT_EQ(1u, entries.size());
  const std::string prefix = "; [HKEY_LOCAL_MACHINE\\" VANK_KEY "] ";
  ASSERT_EQ(0u, entries[0].find(prefix));
  std::string written = entries[0].substr(prefix.size());
  EXPECT_EQ("O:SYG:SYD:PAI(A;;KA;;;SY)(A;;KA;;;BA)(A;CIIO;GA;;;CO)(A;;KR;;;BU)S:(AU;FA;KA;;;WD)", written);
  std::vector<uint8_t> back;
  ASSERT_TRUE(sim::SddlToSelfRelative(written, &back));
  EXPECT_EQ(descriptor, back);
  EXPECT_NE(descriptor, sim::Key(kVank)->securityDescriptor) << "replaced";
}

// The COM repair's entries: the default value as it was, in its own type;
// a rewrite with the value already there changes nothing and records nothing.
TEST_F(UndoFileTest, ComServerDefaultValues)
{
  const std::string clsid = "{5839FCA9-774D-42A1-ACDA-D6A79037F57F}";
  const std::string machine = "HKLM\\Software\\Classes\\CLSID\\" + clsid + "\\InprocServer32";
  const std::string user = "HKCU\\Software\\Classes\\CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}\\InprocServer32";
  sim::SetString(machine, "", "C:\\Windows\\evil \"1\".dll");
  sim::SetString(machine, "ThreadingModel", "Both");
  sim::SetString(user, "", "%APPDATA%\\evil.dll", REG_EXPAND_SZ);
  sim::SetString("HKLM\\Software\\Classes\\CLSID\\{fbeb8a05-beee-4442-804e-409d6c4515e9}\\InprocServer32", "",
                 "%systemroot%\\system32\\shell32.dll", REG_EXPAND_SZ);
  std::vector<std::string> before = RegistryContent();
  OpenTestLog(0x61);
  RepairComServers(0x61);
  CloseCleanerLog();

  std::string expand;
  for (uint8_t b : sim::Utf16Bytes("%APPDATA%\\evil.dll")) {
    char hex[4];
    snprintf(hex, sizeof(hex), "%02x,", b);
    expand += hex;
  }
  expand.pop_back();
  // "@=hex(2):" is 9 columns: 23 items to a first line.
  std::string wrapped = expand.substr(0, 23 * 3) + "\\\r\n  " + expand.substr(23 * 3);
  EXPECT_EQ(std::vector<std::string>({
                "[HKEY_CLASSES_ROOT\\CLSID\\" + clsid + "\\InprocServer32]\r\n@=\"C:\\\\Windows\\\\evil \\\"1\\\".dll\"",
                "[HKEY_CLASSES_ROOT\\CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}\\InprocServer32]\r\n@=hex(2):" +
                    wrapped,
            }),
            LastEntries())
      << "the class store entries reach the same values as the merged view; shell32 was already there";
  UndoLastRun();
  EXPECT_EQ(before, RegistryContent());
}

// Every change, at the moment it is made, is already covered by what the
// disk holds: were the machine to go down right after it, importing the
// file would give back the registry as it was before the run.
TEST_F(UndoFileTest, CommittedBeforeEachChange)
{
  sim::SetString("HKLM\\Software\\Classes\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32", "",
                 "C:\\evil.dll");
  sim::SetDword(kVank, "Start", 4);
  sim::SetDword(kVank, "Type", 16);
  std::vector<std::string> before = RegistryContent();
  struct Moment {
    std::string function;
    std::string committed;
    std::map<std::string, sim::RegKey> registry;
  };
  std::vector<Moment> moments;
  sim::M().onEnter = [&](const std::string &function) {
    if (function == "RegSetValueExA" || function == "RegSetValueExW" || function == "RegCreateKeyExA" ||
        function == "RegSetKeySecurity")
      moments.push_back({function, UndoFileBytes(kWin7Desktop, true), sim::M().registry});
  };
  OpenTestLog(0x61);
  RepairComServers(0x61);
  const std::vector<RestoreRecord> records = {
      Record(VANK_KEY, kOpen, L"\"Start\"=dword:00000002\0\"New\"=\"x\"\0"),
      Record(VANK_KEY "\\Made\\Below", kOpen, L"\"A\"=dword:00000001\0"),
  };
  RestoreServicesFrom(0x61, records.data(), (DWORD)records.size());
  CloseCleanerLog();
  sim::M().onEnter = nullptr;
  ASSERT_EQ(9u, moments.size()) << "2 COM writes, 2 keys, 2 descriptors, 3 values";

  std::map<std::string, sim::RegKey> end = sim::M().registry;
  for (size_t i = 0; i < moments.size(); i++) {
    SCOPED_TRACE("at " + moments[i].function + " #" + std::to_string(i));
    // The registry right after change i: as change i+1 found it, or the end.
    sim::M().registry = i + 1 < moments.size() ? moments[i + 1].registry : end;
    std::string error;
    EXPECT_TRUE(UndoAllRuns(moments[i].committed, &error)) << error;
    EXPECT_EQ(before, RegistryContent());
  }
}

// A second run appends its own section after the first; the last section
// undoes the last run, and all of them, last first, every run.
TEST_F(UndoFileTest, EachRunAppendsItsSection)
{
  sim::SetString("HKLM\\Software\\Classes\\CLSID\\{F3130CDB-AA52-4C3A-AB32-85FFC23AF9C1}\\InprocServer32", "",
                 "C:\\evil.dll");
  std::vector<std::string> original = RegistryContent();
  EXPECT_EQ(0, RunCleanerWith({}, "yk"));
  std::vector<std::string> afterFirst = RegistryContent();
  std::string first = UndoFileBytes(kWin7Desktop);
  sim::Reboot();
  sim::M().clock.wHour = 13;
  EXPECT_EQ(0, RunCleanerWith({"-r"}, "k"));

  std::string bytes = UndoFileBytes(kWin7Desktop);
  ASSERT_EQ(first, bytes.substr(0, first.size())) << "appended, nothing before it changed";
  std::vector<std::string> sections = Sections();
  ASSERT_EQ(2u, sections.size());
  EXPECT_EQ(0u, sections[0].find("; Log started 2012.10.12 12:48:50\r\n\r\n"));
  EXPECT_EQ(0u, sections[1].find("; Log started 2012.10.12 13:48:50\r\n\r\n"));
  EXPECT_NE(std::string::npos, sections[0].find("[HKEY_CLASSES_ROOT\\CLSID\\{F3130CDB"));
  EXPECT_NE(std::string::npos, sections[1].find("[-HKEY_LOCAL_MACHINE\\"));
  std::vector<std::string> logHeaders;
  for (const std::string &l : LogFileLines(kWin7Desktop))
    if (l.compare(0, 12, "Log started ") == 0)
      logHeaders.push_back("; " + l);
  ASSERT_EQ(2u, logHeaders.size());
  EXPECT_EQ(0u, sections[1].find(logHeaders[1]));

  std::string error;
  ASSERT_TRUE(ImportRegLines(sections[1], &error)) << error;
  EXPECT_EQ(afterFirst, RegistryContent());
  ASSERT_TRUE(ImportRegLines(sections[0], &error)) << error;
  EXPECT_EQ(original, RegistryContent());
}

// An undo file that cannot be opened or written: one line in the log, and the
// run otherwise exactly as it would be without the file.
TEST_F(UndoFileTest, FailuresCostOneLogLineAndNothingElse)
{
  struct Outcome {
    std::vector<std::string> log;
    std::string console;
    std::vector<std::string> registry;
    int normalRunOpens;  // RegOpenKeyExA calls of the normal run
  };
  auto run = [](const std::function<void()> &arrange) {
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::SetString("HKLM\\Software\\Classes\\CLSID\\{F3130CDB-AA52-4C3A-AB32-85FFC23AF9C1}\\InprocServer32", "",
                   "C:\\evil.dll");
    sim::SetDword("HKLM\\SYSTEM\\CurrentControlSet\\Services\\MpsSvc", "Start", 4);
    arrange();
    Outcome o;
    EXPECT_EQ(0, RunCleanerWith({}, "nk"));
    o.normalRunOpens = sim::M().callCounts["RegOpenKeyExA"];
    o.log = LastSection(kWin7Desktop);
    sim::Reboot();
    EXPECT_EQ(0, RunCleanerWith({"-r"}, "k"));
    std::vector<std::string> second = LastSection(kWin7Desktop);
    o.log.insert(o.log.end(), second.begin(), second.end());
    o.console = sim::M().console;
    o.registry = RegistryContent();
    sim::M().faults.clear();
    return o;
  };
  const Outcome plain = run([] {});
  ASSERT_GT(plain.log.size(), 20u);
  const std::string undo = std::string(kWin7Desktop) + "\\DU Vizodav\\TarvoskFix-undo.reg";
  struct Case {
    const char *what;
    std::function<void()> arrange;
    int failedRuns;  // runs whose log says so
  };
  const Case cases[] = {
      {"the file is a folder", [&] { sim::MakeDir(undo); }, 2},
      {"the file is read-only",
       [&] {
         sim::MakeFile(undo, "");
         sim::Node(undo)->attributes |= FILE_ATTRIBUTE_READONLY;
       },
       2},
      {"another process holds it", [&] { sim::MakeFile(undo, "").heldShareMode = FILE_SHARE_READ; }, 2},
      {"the open fails", [] { sim::FailCall("_fsopen", 2, ERROR_ACCESS_DENIED); }, 1},
      {"the header's write fails", [] { sim::FailCall("WriteFile", 1, ERROR_DISK_FULL); }, 1},
      {"the header's commit fails", [] { sim::FailCall("FlushFileBuffers", 1, ERROR_DISK_FULL); }, 1},
      {"an entry's write fails", [] { sim::FailCall("WriteFile", 2, ERROR_DISK_FULL); }, 1},
      {"every write fails", [] { sim::FailCall("WriteFile", 0, ERROR_DISK_FULL); }, 2},
      {"an entry's commit fails", [] { sim::FailCall("FlushFileBuffers", 3, ERROR_DISK_FULL); }, 1},
      {"the old value cannot be read", [] { sim::FailCall("RegQueryValueExW", 1, ERROR_ACCESS_DENIED); }, 1},
      {"the old descriptor cannot be read", [] { sim::FailCall("RegGetKeySecurity", 2, ERROR_ACCESS_DENIED); }, 1},
      {"the old descriptor does not convert",
       [] { sim::FailCall("ConvertSecurityDescriptorToStringSecurityDescriptorA", 1, ERROR_NOT_ENOUGH_MEMORY); }, 1},
      // The restore run's first key open looks for a pending restore run, its
      // second is the look before its first key is made.
      {"a key's existence cannot be told",
       [&] { sim::FailCall("RegOpenKeyExA", plain.normalRunOpens + 2, ERROR_NOT_ENOUGH_MEMORY); }, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Outcome o = run(c.arrange);
    int failures = 0;
    std::vector<std::string> log;
    for (const std::string &l : o.log) {
      if (l == kUndoFailed)
        failures++;
      else
        log.push_back(l);
    }
    EXPECT_EQ(c.failedRuns, failures);
    EXPECT_EQ(plain.log, log);
    EXPECT_EQ(plain.console, o.console);
    EXPECT_EQ(plain.registry, o.registry);
  }
}

// A change through a key the file cannot name (any key but that of the
// record being restored) is told in the log: the section is incomplete.
TEST_F(UndoFileTest, ChangeThroughAKeyTheFileCannotNameIsLogged)
{
  const struct {
    const char *what;
    bool recordFirst;  // a record's key was made and closed before
    std::function<void(HKEY)> change;
  } cases[] = {
      {"a value, no record yet", false, [](HKEY key) { ReconcileValue(L"\"A\"=dword:00000001", key, 0); }},
      {"a value, after a record", true, [](HKEY key) { ReconcileValue(L"\"A\"=dword:00000001", key, 0); }},
      {"a descriptor, after a record", true,
       [](HKEY key) { RegCloseKey(ApplyKeySecurity(key, kOpen)); }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::SetDword(kVank, "A", 7);
    // The record's key is opened for its SACL too, as the pass does.
    sim::M().enabledPrivileges.insert("SeSecurityPrivilege");
    OpenTestLog(0x61);
    if (c.recordFirst) {
      HKEY record = CreateRestoreKey(HKEY_LOCAL_MACHINE, VANK_KEY "\\Record");
      ASSERT_NE(nullptr, record);
      RegCloseKey(record);
    }
    HKEY other = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, VANK_KEY, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &other));
    bool descriptor = std::string(c.what).find("descriptor") != std::string::npos;
    c.change(other);
    if (!descriptor)
      RegCloseKey(other);
    CloseCleanerLog();
    std::vector<std::string> log = LastSection(kWin7Desktop);
    EXPECT_EQ(1, std::count(log.begin(), log.end(), std::string(kUndoFailed)));
    if (!descriptor) {
      EXPECT_EQ(1u, sim::Value(kVank, "A")->data[0]) << "the change itself is made";
    }
    for (const std::string &e : LastEntries())
      EXPECT_EQ(std::string::npos, e.find(kVankLine)) << e;
  }
}

// Not undone: the run-once value, which the reboot clears, and the
// services.exe replacement, whose backup lies beside the file.
TEST_F(UndoFileTest, RunOnceValueIsNotRecorded)
{
  EXPECT_EQ(0, RunCleanerWith({}, "yk"));
  ASSERT_NE(nullptr, sim::Value("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "TarvoskEVCleaner"));
  EXPECT_TRUE(LastEntries().empty());
}

}  // namespace

namespace {

// Under WOW64 the file names the keys of the 64-bit view the run wrote, and
// whether a key exists is asked of that view: a 32-bit copy under
// Wow6432Node does not make the key the run creates an existing one.
TEST_F(UndoFileTest, SixtyFourBitViewUnderWow64)
{
  FreshMachine();
  sim::InstallWindows(6, 1, VER_NT_WORKSTATION, true);
  sim::SetDword("HKLM\\Software\\Wow6432Node\\Vank\\Test", "A", 5);
  sim::SetString("HKLM\\Software\\Classes\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32", "",
                 "C:\\evil64.dll");
  sim::SetString("HKLM\\Software\\Classes\\Wow6432Node\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32",
                 "", "C:\\evil32.dll");
  std::vector<std::string> before = RegistryContent();
  OpenTestLog(0x61);
  RepairComServers(0x61);
  const std::vector<RestoreRecord> records = {
      Record("Software\\Vank\\Test", kOpen, L"\"A\"=dword:00000001\0")};
  RestoreServicesFrom(0x61, records.data(), (DWORD)records.size());
  CloseCleanerLog();

  EXPECT_EQ(std::vector<std::string>({
                "[HKEY_CLASSES_ROOT\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32]\r\n"
                "@=\"C:\\\\evil64.dll\"",
                "[-HKEY_LOCAL_MACHINE\\Software\\Vank]",
            }),
            LastEntries());
  EXPECT_EQ("C:\\evil32.dll", sim::StringValue("HKLM\\Software\\Classes\\Wow6432Node\\CLSID\\"
                                                "{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32",
                                                ""));
  UndoLastRun();
  EXPECT_EQ(before, RegistryContent());
}

}  // namespace
