// COM server path repair: the eight entries as spelled, the merged class
// view, the 64-bit registry view, the 259-byte read and the log lines.
#include "test_support.h"

namespace {

const char *const kFastprox = "{5839FCA9-774D-42A1-ACDA-D6A79037F57F}";
const char *const kShellFolder = "{fbeb8a05-beee-4442-804e-409d6c4515e9}";
const char *const kWbemess = "{F3130CDB-AA52-4C3A-AB32-85FFC23AF9C1}";
const char *const kPerUser = "{42aedc87-2188-41fd-b9a3-0c966feabec1}";
const char *const kMalware = "C:\\ProgramData\\e30ab8a1\\n.dll";

std::string MachineKey(const std::string &clsid)
{
  return "HKLM\\Software\\Classes\\CLSID\\" + clsid + "\\InprocServer32";
}
std::string UserKey(const std::string &clsid)
{
  return "HKCU\\Software\\Classes\\CLSID\\" + clsid + "\\InprocServer32";
}

class ComServersTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, true);
  }
  // The infection: the three system classes and the per-user registration of
  // the fourth point at the malware's module.
  void Infect()
  {
    for (const char *clsid : {kFastprox, kShellFolder, kWbemess, kPerUser})
      sim::SetString(MachineKey(clsid), "", "%SystemRoot%\\system32\\original.dll", REG_EXPAND_SZ);
    for (const char *clsid : {kFastprox, kShellFolder, kWbemess})
      sim::SetString(MachineKey(clsid), "", kMalware, REG_EXPAND_SZ);
    sim::SetString(UserKey(kPerUser), "", kMalware, REG_EXPAND_SZ);
  }
};

TEST_F(ComServersTest, InfectedMachineIsRepairedAndEveryEntryLogged)
{
  Infect();
  OpenTestLog(0x61);
  RepairComServers(0x61);
  const std::string fastprox = "\"%systemroot%\\system32\\wbem\\fastprox.dll\"";
  const std::string shell32 = "\"%systemroot%\\system32\\shell32.dll\"";
  const std::string wbemess = "\"%systemroot%\\system32\\wbem\\wbemess.dll\"";
  const std::string perUser = "\"%SystemRoot%\\system32\\shell32.dll\"";
  const std::string malware = std::string("\"") + kMalware + "\"";
  const std::string hkcr = "HKCR\\CLSID\\", hklm = "HKLM\\Software\\Classes\\CLSID\\",
                    hkcu = "HKCU\\Software\\Classes\\CLSID\\", tail = "\\InprocServer32 ";
  // The class-root entry rewrites the store below it, so the store's own
  // entry finds the value it has just written.
  const std::vector<std::string> expected = {
      "Current registry value  " + hkcr + kFastprox + tail + malware,
      "New registry value  " + hkcr + kFastprox + tail + fastprox,
      "Current registry value  " + hklm + kFastprox + tail + fastprox,
      "New registry value  " + hklm + kFastprox + tail + fastprox,
      "Current registry value  " + hkcr + kShellFolder + tail + malware,
      "New registry value  " + hkcr + kShellFolder + tail + shell32,
      "Current registry value  " + hklm + kShellFolder + tail + shell32,
      "New registry value  " + hklm + kShellFolder + tail + shell32,
      "Current registry value  " + hkcr + kWbemess + tail + malware,
      "New registry value  " + hkcr + kWbemess + tail + wbemess,
      "Current registry value  " + hklm + "{f3130cdb-aa52-4c3a-ab32-85ffc23af9c1}" + tail + wbemess,
      "New registry value  " + hklm + "{f3130cdb-aa52-4c3a-ab32-85ffc23af9c1}" + tail + wbemess,
      // The user's registration wins in the merged view.
      "Current registry value  " + hkcr + kPerUser + tail + malware,
      "New registry value  " + hkcr + kPerUser + tail + perUser,
      "Current registry value  " + hkcu + kPerUser + tail + perUser,
      "New registry value  " + hkcu + kPerUser + tail + perUser,
  };
  EXPECT_EQ(expected, LastSection(kWin7Desktop));

  struct {
    std::string key, value;
  } readBack[] = {
      {MachineKey(kFastprox), "%systemroot%\\system32\\wbem\\fastprox.dll"},
      {MachineKey(kShellFolder), "%systemroot%\\system32\\shell32.dll"},
      {MachineKey(kWbemess), "%systemroot%\\system32\\wbem\\wbemess.dll"},
      {UserKey(kPerUser), "%SystemRoot%\\system32\\shell32.dll"},
      // Reached by neither entry: the user's registration hides it.
      {MachineKey(kPerUser), "%SystemRoot%\\system32\\original.dll"},
  };
  for (const auto &r : readBack) {
    SCOPED_TRACE(r.key);
    const sim::RegValue *v = sim::Value(r.key, "");
    ASSERT_NE(nullptr, v);
    EXPECT_EQ((DWORD)REG_EXPAND_SZ, v->type);
    EXPECT_EQ(sim::Utf16Bytes(r.value), v->data) << "UTF-16 with one terminator";
  }
}

TEST_F(ComServersTest, KnownGoodValueIsWrittenAgainAndLoggedTwice)
{
  sim::SetString(MachineKey(kFastprox), "", "%systemroot%\\system32\\wbem\\fastprox.dll", REG_EXPAND_SZ);
  OpenTestLog(0x61);
  RewriteComServerPath(HKEY_CLASSES_ROOT, "CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32",
                       "%systemroot%\\system32\\wbem\\fastprox.dll");
  CloseCleanerLog();
  EXPECT_EQ("Current registry value  HKCR\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32 "
            "\"%systemroot%\\system32\\wbem\\fastprox.dll\"\r\n"
            "New registry value  HKCR\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32 "
            "\"%systemroot%\\system32\\wbem\\fastprox.dll\"\r\n",
            LogFileBytes(kWin7Desktop).substr(LogFileBytes(kWin7Desktop).find("Current")));
  EXPECT_EQ(1, sim::M().callCounts["RegSetValueExA"]);
}

TEST_F(ComServersTest, UnregisteredClassesAreLoggedAndNotCreated)
{
  size_t keysBefore = sim::M().registry.size();
  OpenTestLog(0x61);
  RepairComServers(0x61);
  std::vector<std::string> log = LastSection(kWin7Desktop);
  const std::vector<std::string> expected = {
      "Failed to open registry key HKCR\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32 ",
      "Failed to open registry key HKLM\\Software\\Classes\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32 ",
      "Failed to open registry key HKCR\\CLSID\\{fbeb8a05-beee-4442-804e-409d6c4515e9}\\InprocServer32 ",
      "Failed to open registry key HKLM\\Software\\Classes\\CLSID\\{fbeb8a05-beee-4442-804e-409d6c4515e9}\\InprocServer32 ",
      "Failed to open registry key HKCR\\CLSID\\{F3130CDB-AA52-4C3A-AB32-85FFC23AF9C1}\\InprocServer32 ",
      "Failed to open registry key HKLM\\Software\\Classes\\CLSID\\{f3130cdb-aa52-4c3a-ab32-85ffc23af9c1}\\InprocServer32 ",
      "Failed to open registry key HKCR\\CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}\\InprocServer32 ",
      "Failed to open registry key HKCU\\Software\\Classes\\CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}\\InprocServer32 ",
  };
  EXPECT_EQ(expected, log);
  EXPECT_EQ(keysBefore, sim::M().registry.size()) << "no key created";
  EXPECT_EQ(0, sim::M().callCounts["RegSetValueExA"]);
}

struct EditionCase {
  DWORD code;
  const char *server;
};

TEST_F(ComServersTest, PerUserClassServerByEdition)
{
  const EditionCase cases[] = {
      {0x51, "%SystemRoot%\\system32\\shdocvw.dll"},       {0x52, "%SystemRoot%\\system32\\shdocvw.dll"},
      {0x80000052, "%SystemRoot%\\system32\\shdocvw.dll"}, {0x60, "%SystemRoot%\\system32\\shell32.dll"},
      {0x61, "%SystemRoot%\\system32\\shell32.dll"},       {0x80000061, "%SystemRoot%\\system32\\shell32.dll"},
  };
  for (const EditionCase &c : cases) {
    SCOPED_TRACE(c.code);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    // Entry 7 reaches the user's registration through the class root, entry 8 directly.
    sim::SetString(MachineKey(kPerUser), "", kMalware, REG_EXPAND_SZ);
    sim::SetString(UserKey(kPerUser), "", kMalware, REG_SZ);
    RepairComServers(c.code);
    EXPECT_EQ(c.server, sim::StringValue(UserKey(kPerUser), ""));
    EXPECT_EQ((DWORD)REG_EXPAND_SZ, sim::Value(UserKey(kPerUser), "")->type);
    // The system classes do not depend on the edition.
    EXPECT_EQ(kMalware, sim::StringValue(MachineKey(kPerUser), ""));
  }
}

TEST_F(ComServersTest, MachineClassReachedThroughTheClassRootWithoutUserRegistration)
{
  sim::SetString(MachineKey(kPerUser), "", kMalware, REG_EXPAND_SZ);
  OpenTestLog(0x61);
  RepairComServers(0x51);
  EXPECT_EQ("%SystemRoot%\\system32\\shdocvw.dll", sim::StringValue(MachineKey(kPerUser), ""));
  std::vector<std::string> log = LastSection(kWin7Desktop);
  // Six unregistered system entries, two lines for entry 7, one for entry 8.
  ASSERT_EQ(9u, log.size());
  EXPECT_EQ("New registry value  HKCR\\CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}\\InprocServer32 "
            "\"%SystemRoot%\\system32\\shdocvw.dll\"",
            log[7]);
  EXPECT_EQ("Failed to open registry key HKCU\\Software\\Classes\\CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}"
            "\\InprocServer32 ",
            log[8]);
}

TEST_F(ComServersTest, SixtyFourBitViewUnderWow64)
{
  Infect();
  // The 32-bit view's copies, as a 32-bit process would see them by default.
  const std::string wow = "HKLM\\Software\\Classes\\Wow6432Node\\CLSID\\";
  // Windows 7 redirects the per-user class registrations as well.
  const std::string userWow = std::string("HKCU\\Software\\Classes\\Wow6432Node\\CLSID\\") + kPerUser +
                              "\\InprocServer32";
  for (const char *clsid : {kFastprox, kShellFolder, kWbemess})
    sim::SetString(wow + clsid + "\\InprocServer32", "", kMalware, REG_EXPAND_SZ);
  sim::SetString(userWow, "", kMalware, REG_EXPAND_SZ);
  RepairComServers(0x61);
  for (const char *clsid : {kFastprox, kShellFolder, kWbemess}) {
    SCOPED_TRACE(clsid);
    EXPECT_NE(kMalware, sim::StringValue(MachineKey(clsid), ""));
    EXPECT_EQ(kMalware, sim::StringValue(wow + clsid + "\\InprocServer32", ""));
  }
  EXPECT_EQ("%SystemRoot%\\system32\\shell32.dll", sim::StringValue(UserKey(kPerUser), ""));
  EXPECT_EQ(kMalware, sim::StringValue(userWow, ""));
}

struct ReadCase {
  const char *what;
  DWORD type;
  std::vector<uint8_t> data;  // raw stored bytes (strings as UTF-16)
  bool read;
  std::string logged;  // the quoted value of the "Current" line
};

std::vector<uint8_t> Bytes(const std::string &s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST_F(ComServersTest, ValueReadUpTo259BytesAndItsFirstNul)
{
  const std::string key = MachineKey(kFastprox);
  const std::string path = "Software\\Classes\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32";
  const ReadCase cases[] = {
      {"empty string", REG_SZ, sim::Utf16Bytes(""), true, "\"\""},
      {"258 characters and NUL", REG_SZ, sim::Utf16Bytes(std::string(258, 'a')), true,
       "\"" + std::string(258, 'a') + "\""},
      {"259 characters and NUL", REG_SZ, sim::Utf16Bytes(std::string(259, 'a')), false, ""},
      {"259 bytes without NUL", REG_BINARY, Bytes(std::string(259, 'b')), true, "\"" + std::string(259, 'b') + "\""},
      {"260 bytes without NUL", REG_BINARY, Bytes(std::string(260, 'b')), false, ""},
      {"up to the first NUL", REG_BINARY, Bytes(std::string("abc\0def", 7)), true, "\"abc\""},
      {"a DWORD", REG_DWORD, {'x', 'y', 0, 0}, true, "\"xy\""},
      {"REG_MULTI_SZ", REG_MULTI_SZ, sim::Utf16Bytes(std::string("one\0two\0", 8)), true, "\"one\""},
  };
  for (const ReadCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::SetValue(key, "", c.type, c.data);
    OpenTestLog(0x61);
    RewriteComServerPath(HKEY_LOCAL_MACHINE, path.c_str(), "%systemroot%\\system32\\wbem\\fastprox.dll");
    std::vector<std::string> log = LastSection(kWin7Desktop);
    ASSERT_EQ(c.read ? 2u : 1u, log.size());
    if (c.read) {
      EXPECT_EQ("Current registry value  HKLM\\" + path + " " + c.logged, log[0]);
      EXPECT_EQ(sim::Utf16Bytes("%systemroot%\\system32\\wbem\\fastprox.dll"), sim::Value(key, "")->data);
    } else {
      // Too long for the buffer: not rewritten.
      EXPECT_EQ("Failed to read registry key HKLM\\" + path + " ", log[0]);
      EXPECT_EQ(c.data, sim::Value(key, "")->data);
    }
  }
}

struct FailureCase {
  const char *what;
  std::function<void()> arrange;
  const char *line;
};

TEST_F(ComServersTest, FailuresAreLoggedAndLeaveTheValue)
{
  const std::string key = MachineKey(kFastprox);
  const std::string path = "Software\\Classes\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32";
  const FailureCase cases[] = {
      {"open denied", [] { sim::FailCall("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED); }, "Failed to open registry key"},
      {"key missing", [&] { sim::M().registry.erase(sim::Lower(key)); }, "Failed to open registry key"},
      {"no default value", [&] { sim::Key(key)->values.clear(); }, "Failed to read registry key"},
      {"read fails", [] { sim::FailCall("RegQueryValueExA", 1, ERROR_ACCESS_DENIED); }, "Failed to read registry key"},
      {"write fails", [] { sim::FailCall("RegSetValueExA", 1, ERROR_ACCESS_DENIED); },
       "Failed to write new registry value"},
  };
  for (const FailureCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::SetString(key, "", kMalware, REG_EXPAND_SZ);
    sim::SetString(key, "ThreadingModel", "Both");
    c.arrange();
    OpenTestLog(0x61);
    RewriteComServerPath(HKEY_LOCAL_MACHINE, path.c_str(), "%systemroot%\\system32\\wbem\\fastprox.dll");
    EXPECT_EQ(std::vector<std::string>({std::string(c.line) + " HKLM\\" + path + " "}), LastSection(kWin7Desktop));
    if (sim::Value(key, "")) {
      EXPECT_EQ(kMalware, sim::StringValue(key, ""));
    }
    EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Key)) << "key closed";
  }
}

}  // namespace
