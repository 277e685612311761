// One value brought to its known-good state: the outcomes, their log lines,
// and the failures of the platform calls on the way.
#include <functional>

#include "test_support.h"

namespace {

const char *const kKey = "HKLM\\System\\CurrentControlSet\\Services\\wuauserv";

std::vector<uint8_t> Dword(DWORD v) { return {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)}; }

struct Outcome {
  const char *what;
  const char *line;
  DWORD keepExisting;
  std::function<void()> arrange;  // the value as found, faults
  const char *logged;
  bool written;                    // RegSetValueExW called
  DWORD typeAfter;                 // REG_NONE: absent afterwards
  std::vector<uint8_t> dataAfter;
  REGSAM access = KEY_ALL_ACCESS;  // of the handle handed in
};

class ReconcileValueTest : public SimTest {
protected:
  // Runs one call on a fresh Windows 7 machine and checks its one log line,
  // the value read back from the machine, and that both buffers were freed.
  void Check(const Outcome &c)
  {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::MakeKey(kKey);
    OpenOperationLog(0x61);
    c.arrange();
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey + 5, 0, c.access, &key));
    std::vector<WCHAR> line = Wide(c.line);
    ReconcileValue(line.data(), key, c.keepExisting);
    RegCloseKey(key);
    CloseCleanerLog();

    EXPECT_EQ(std::vector<std::string>({c.logged}), LastSection(kWin7Desktop));
    EXPECT_EQ(c.written ? 1 : 0, sim::M().callCounts["RegSetValueExW"]);
    const sim::RegValue *v = sim::Value(kKey, NameOf(c.line));
    if (c.typeAfter == REG_NONE) {
      EXPECT_EQ(nullptr, v);
    } else {
      ASSERT_NE(nullptr, v);
      EXPECT_EQ(c.typeAfter, v->type);
      EXPECT_EQ(c.dataAfter, v->data);
    }
    EXPECT_EQ(0u, sim::M().heapBlocks.size()) << "heap buffers left";
  }

  static std::string NameOf(const std::string &line)
  {
    size_t end = line.find("\"=");
    return end == std::string::npos || end == 0 ? "" : line.substr(1, end - 1);
  }
};

TEST_F(ReconcileValueTest, Outcomes)
{
  const std::vector<uint8_t> abc = sim::Utf16Bytes("abc");
  const Outcome cases[] = {
      {"absent", "\"Start\"=dword:00000002", 0, [] {},
       "Writing value \"Start\", current doesn't exist... success", true, REG_DWORD, Dword(2)},
      {"absent, existing values kept", "\"Start\"=dword:00000002", 1, [] {},
       "Writing value \"Start\", current doesn't exist... success", true, REG_DWORD, Dword(2)},
      {"equal", "\"Start\"=dword:00000002", 0, [] { sim::SetDword(kKey, "Start", 2); },
       "Value \"Start\" matches known good one, skipping update", false, REG_DWORD, Dword(2)},
      {"equal, existing values kept", "\"Start\"=dword:00000002", 1, [] { sim::SetDword(kKey, "Start", 2); },
       "Value \"Start\" matches known good one, skipping update", false, REG_DWORD, Dword(2)},
      {"equal bytes under another type keep their type", "\"N\"=\"abc\"", 0,
       [] { sim::SetString(kKey, "N", "abc", REG_EXPAND_SZ); },
       "Value \"N\" matches known good one, skipping update", false, REG_EXPAND_SZ, abc},
      {"differs, existing values kept", "\"Start\"=dword:00000002", 1, [] { sim::SetDword(kKey, "Start", 4); },
       "Value \"Start\" doesn't need updating", false, REG_DWORD, Dword(4)},
      {"differs", "\"Start\"=dword:00000002", 0, [] { sim::SetDword(kKey, "Start", 4); },
       "Updating value \"Start\", current value differs from known good one... success", true, REG_DWORD,
       Dword(2)},
      {"differs in type and bytes: the line's type is written", "\"ImagePath\"=hex(2):61,00,00,00", 0,
       [] { sim::SetString(kKey, "ImagePath", "b"); },
       "Updating value \"ImagePath\", current value differs from known good one... success", true,
       REG_EXPAND_SZ, sim::Utf16Bytes("a")},
      {"stored string without its NUL", "\"N\"=\"abc\"", 0,
       [] { sim::SetValue(kKey, "N", REG_SZ, sim::Utf16Bytes("abc", false)); },
       "Updating value \"N\", current value differs from known good one... success", true, REG_SZ, abc},
      {"stored value longer, same start", "\"B\"=hex:01,02", 0,
       [] { sim::SetValue(kKey, "B", REG_BINARY, {1, 2, 3}); },
       "Updating value \"B\", current value differs from known good one... success", true, REG_BINARY,
       {1, 2}},
      {"zero bytes match zero bytes", "\"B\"=hex:", 0, [] { sim::SetValue(kKey, "B", REG_BINARY, {}); },
       "Value \"B\" matches known good one, skipping update", false, REG_BINARY, {}},
      {"zero bytes stored, some known", "\"B\"=hex:00", 0, [] { sim::SetValue(kKey, "B", REG_BINARY, {}); },
       "Updating value \"B\", current value differs from known good one... success", true, REG_BINARY, {0}},
      {"zero bytes known, absent", "\"B\"=hex:", 0, [] {},
       "Writing value \"B\", current doesn't exist... success", true, REG_BINARY, {}},
      {"default value", "\"\"=\"x\"", 0, [] {}, "Writing value \"\", current doesn't exist... success", true,
       REG_SZ, sim::Utf16Bytes("x")},
      {"unparsable line", "\"Start\"=DWORD:00000002", 0, [] { sim::SetDword(kKey, "Start", 4); },
       "Failed to parse value entry, skipping.", false, REG_DWORD, Dword(4)},
  };
  for (const Outcome &c : cases)
    Check(c);
}

TEST_F(ReconcileValueTest, UnparsableLineTouchesNoValue)
{
  sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
  sim::MakeKey(kKey);
  HKEY key = NULL;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey + 5, 0, KEY_ALL_ACCESS, &key));
  std::vector<WCHAR> line = Wide("\"Start\"=qword:2");
  ReconcileValue(line.data(), key, 0);
  RegCloseKey(key);
  EXPECT_EQ(0, sim::M().callCounts["RegQueryValueExW"]);
  EXPECT_EQ(0, sim::M().callCounts["RegSetValueExW"]);
}

TEST_F(ReconcileValueTest, FailuresOnTheWay)
{
  const char *const line = "\"Start\"=dword:00000002";
  const char *const missingOk = "Writing value \"Start\", current doesn't exist... success";
  const Outcome cases[] = {
      {"size query refused", line, 1,
       [] {
         sim::SetDword(kKey, "Start", 2);
         sim::FailCall("RegQueryValueExW", 1, ERROR_ACCESS_DENIED);
       },
       missingOk, true, REG_DWORD, Dword(2)},
      {"data query refused", line, 1,
       [] {
         sim::SetDword(kKey, "Start", 4);
         sim::FailCall("RegQueryValueExW", 2, ERROR_ACCESS_DENIED);
       },
       missingOk, true, REG_DWORD, Dword(2)},
      {"value grown between the queries", line, 1,
       [] {
         sim::SetDword(kKey, "Start", 4);
         // Another writer makes it eight bytes just before the data query.
         sim::M().onQueryValue = [](const std::string &, const std::string &name) {
           if (name == "Start" && sim::M().callCounts["RegQueryValueExW"] == 2)
             sim::SetValue(kKey, "Start", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
         };
       },
       missingOk, true, REG_DWORD, Dword(2)},
      {"no memory for the current data", line, 1,
       [] {
         sim::SetDword(kKey, "Start", 2);
         sim::FailCall("HeapAlloc", 2, ERROR_NOT_ENOUGH_MEMORY);  // the first is the parser's
       },
       missingOk, true, REG_DWORD, Dword(2)},
      {"handle without query right", line, 0, [] { sim::SetDword(kKey, "Start", 2); }, missingOk, true, REG_DWORD,
       Dword(2), KEY_SET_VALUE},
      {"write of a missing value refused", line, 0, [] { sim::FailCall("RegSetValueExW", 1, ERROR_ACCESS_DENIED); },
       "Writing value \"Start\", current doesn't exist... failed", true, REG_NONE, {}},
      {"write of a differing value refused", line, 0,
       [] {
         sim::SetDword(kKey, "Start", 4);
         sim::FailCall("RegSetValueExW", 1, ERROR_ACCESS_DENIED);
       },
       "Updating value \"Start\", current value differs from known good one... failed", true, REG_DWORD,
       Dword(4)},
      {"handle without set right", line, 0, [] { sim::SetDword(kKey, "Start", 4); },
       "Updating value \"Start\", current value differs from known good one... failed", true, REG_DWORD,
       Dword(4), KEY_QUERY_VALUE},
      {"no memory for the parsed data", line, 0, [] { sim::FailCall("HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY); },
       "Failed to parse value entry, skipping.", false, REG_NONE, {}},
  };
  for (const Outcome &c : cases)
    Check(c);
}

TEST_F(ReconcileValueTest, NamesEnterTheLineInTheAnsiCodePage)
{
  const std::string longest(255, 'n');
  // The longest name gives the longest line, 326 bytes with its terminator.
  struct {
    std::string name;
    std::string logged;  // as the log holds it, in code page 1252
  } names[] = {
      {longest, longest},
      {"caf\xC3\xA9", "caf\xE9"},
      {"\xE2\x82\xAC", "\x80"},   // the euro sign has a code in 1252
      {"\xE4\xB8\xAD", "?"},      // this one has none
  };
  for (auto &n : names) {
    SCOPED_TRACE(n.name);
    std::string expected = "Updating value \"" + n.logged + "\", current value differs from known good one... success";
    Outcome c{"name", nullptr, 0, [&n] { sim::SetDword(kKey, n.name, 2); }, expected.c_str(), true, REG_DWORD, Dword(1)};
    std::string text = "\"" + n.name + "\"=dword:1";
    c.line = text.c_str();
    Check(c);
  }
}

}  // namespace
