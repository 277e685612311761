// A record's key: created or opened, its descriptor written, reopened under it.
#include "security.h"
#include "test_support.h"

namespace {

const char *const kServices = "System\\CurrentControlset\\Services";
const char *const kD1 =
    "O:BAG:SYD:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KR;;;PU)(A;CIIOID;GR;;;PU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)"
    "(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)";
// "BITS\Parameters": Administrators may not set values, so a reopen for full access is refused.
const char *const kD5 =
    "O:BAG:BAD:PAI(A;;KA;;;SY)(A;CIIO;GA;;;SY)(A;;CCSWRPWPRC;;;BA)(A;CIIO;GXGR;;;BA)(A;;CCSWRPWPRC;;;BU)"
    "(A;CIIO;GXGR;;;BU)S:AI(AU;SAFA;WDWO;;;BA)";
const char *const kD6 = "O:SYG:SYD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";

class KeySecurityTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::M().enabledPrivileges = {"SeSecurityPrivilege", "SeTakeOwnershipPrivilege"};
    OpenOperationLog(0x61);
  }
  std::vector<std::string> Log()
  {
    CloseCleanerLog();
    return LastSection(kWin7Desktop);
  }
  static std::string Path(const std::string &sub) { return std::string("HKLM\\") + kServices + "\\" + sub; }
  // A key handle as CreateRestoreKey gives it, or with other rights.
  static HKEY Open(const std::string &sub, REGSAM sam = KEY_ALL_ACCESS | KEY_WOW64_64KEY | ACCESS_SYSTEM_SECURITY)
  {
    sim::MakeKey(Path(sub));
    HKEY key = NULL;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kServices) + "\\" + sub).c_str(), 0, sam, &key));
    return key;
  }
  static sim::SecurityDescriptor DescriptorOf(const std::string &path)
  {
    sim::SecurityDescriptor sd;
    const sim::RegKey *k = sim::Key(path);
    EXPECT_TRUE(k && !k->securityDescriptor.empty()) << path << " has no descriptor of its own";
    if (k && !k->securityDescriptor.empty()) {
      EXPECT_TRUE(sim::ParseSecurityDescriptor(k->securityDescriptor.data(), k->securityDescriptor.size(), &sd));
    }
    return sd;
  }
};

TEST_F(KeySecurityTest, CreateLogsWhatHappened)
{
  sim::MakeKey(Path("wuauserv"));
  HKEY created = CreateRestoreKey(HKEY_LOCAL_MACHINE, "System\\CurrentControlset\\Services\\wuauserv\\Enum");
  HKEY opened = CreateRestoreKey(HKEY_LOCAL_MACHINE, "System\\CurrentControlset\\Services\\wuauserv");
  ASSERT_NE(nullptr, created);
  ASSERT_NE(nullptr, opened);
  EXPECT_NE(nullptr, sim::Key(Path("wuauserv\\Enum")));
  EXPECT_EQ("Enum", sim::Key(Path("wuauserv\\Enum"))->name) << "the name as given";
  EXPECT_EQ(sim::Lower(Path("wuauserv\\Enum")), sim::KeyPathOf(created));
  // Full access and the right to write the SACL, granted at the open.
  std::string path;
  EXPECT_EQ((DWORD)(KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY), sim::KeyHandleOf(opened, &path)->access);
  RegCloseKey(created);
  RegCloseKey(opened);
  EXPECT_EQ(std::vector<std::string>({
                "Creating HKLM\\System\\CurrentControlset\\Services\\wuauserv\\Enum - created new",
                "Creating HKLM\\System\\CurrentControlset\\Services\\wuauserv - opened existing",
            }),
            Log());
}

TEST_F(KeySecurityTest, CreateFailures)
{
  struct {
    const char *what;
    std::function<void()> arrange;
  } cases[] = {
      {"create refused", [] { sim::FailCall("RegCreateKeyExA", 0, ERROR_ACCESS_DENIED); }},
      // ACCESS_SYSTEM_SECURITY is granted only while the privilege is enabled.
      {"security privilege held but not enabled", [] { sim::M().enabledPrivileges.clear(); }},
      {"take-ownership alone", [] { sim::M().enabledPrivileges = {"SeTakeOwnershipPrivilege"}; }},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::M().enabledPrivileges = {"SeSecurityPrivilege", "SeTakeOwnershipPrivilege"};
    sim::MakeKey(Path("wuauserv"));
    OpenOperationLog(0x61);
    c.arrange();
    EXPECT_EQ(nullptr, CreateRestoreKey(HKEY_LOCAL_MACHINE, "System\\CurrentControlset\\Services\\wuauserv\\Enum"));
    EXPECT_EQ(nullptr, CreateRestoreKey(HKEY_LOCAL_MACHINE, "System\\CurrentControlset\\Services\\wuauserv"));
    EXPECT_EQ(nullptr, sim::Key(Path("wuauserv\\Enum")));
    EXPECT_EQ(std::vector<std::string>({
                  "Creating HKLM\\System\\CurrentControlset\\Services\\wuauserv\\Enum - failed",
                  "Creating HKLM\\System\\CurrentControlset\\Services\\wuauserv - failed",
              }),
              Log());
    EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Key));
  }
}

TEST_F(KeySecurityTest, ExistingKeyWhoseDaclRefusesFullAccess)
{
  sim::SddlToSelfRelative(kD5, &sim::MakeKey(Path("BITS\\Parameters")).securityDescriptor);
  EXPECT_EQ(nullptr, CreateRestoreKey(HKEY_LOCAL_MACHINE, "System\\CurrentControlset\\Services\\BITS\\Parameters"));
  EXPECT_EQ(std::vector<std::string>({"Creating HKLM\\System\\CurrentControlset\\Services\\BITS\\Parameters - failed"}),
            Log());
}

TEST_F(KeySecurityTest, RootPrefixes)
{
  // The undo file takes part here: a log of its own with the file.
  CloseCleanerLog();
  OpenTestLog(0x61);
  HKEY other = NULL;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &other, NULL));
  struct {
    HKEY root;
    const char *line;
  } cases[] = {
      {HKEY_LOCAL_MACHINE, "Creating HKLM\\Vank\\Test - created new"},
      {HKEY_CLASSES_ROOT, "Creating HKCR\\Vank\\Test - created new"},
      {HKEY_CURRENT_USER, "Creating HKCU\\Vank\\Test - created new"},
      {HKEY_USERS, "Creating Vank\\Test - created new"},
      {other, "Creating Vank\\Test - created new"},
  };
  std::vector<std::string> expected;
  for (auto &c : cases) {
    // The undo file names only the three roots the cleaner writes below;
    // a key made under any other cannot be undone, which the log says once.
    if (c.root == HKEY_USERS)
      expected.push_back("Failed to write undo information");
    HKEY key = CreateRestoreKey(c.root, "Vank\\Test");
    EXPECT_NE(nullptr, key) << c.line;
    RegCloseKey(key);
    expected.push_back(c.line);
  }
  RegCloseKey(other);
  EXPECT_EQ(expected, Log());
}

TEST_F(KeySecurityTest, LongPathIsCutToTheMessageBuffer)
{
  std::string sub = std::string(kServices);
  for (int i = 0; i < 3; i++)
    sub += "\\" + std::string(200, (char)('a' + i));
  HKEY key = CreateRestoreKey(HKEY_LOCAL_MACHINE, sub.c_str());
  ASSERT_NE(nullptr, key);
  RegCloseKey(key);
  std::vector<std::string> log = Log();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(511u, log[0].size());
  EXPECT_EQ("Creating HKLM\\" + sub.substr(0, 511 - 14), log[0]);
}

TEST_F(KeySecurityTest, CreateAddressesThe64BitView)
{
  FreshMachine();
  sim::InstallWindows(6, 1, VER_NT_WORKSTATION, true);
  sim::M().enabledPrivileges = {"SeSecurityPrivilege"};
  HKEY key = CreateRestoreKey(HKEY_LOCAL_MACHINE, "Software\\Vank");
  ASSERT_NE(nullptr, key);
  EXPECT_EQ("hklm\\software\\vank", sim::KeyPathOf(key));
  RegCloseKey(key);
  EXPECT_EQ(nullptr, sim::Key("HKLM\\Software\\Wow6432Node\\Vank"));
}

TEST_F(KeySecurityTest, DescriptorWrittenAndKeyReopened)
{
  HKEY key = Open("wuauserv");
  HKEY result = ApplyKeySecurity(key, kD1);
  ASSERT_NE(nullptr, result);
  EXPECT_NE(key, result) << "a new handle";
  EXPECT_EQ(nullptr, sim::FindHandle((uintptr_t)key, sim::HandleKind::Key)) << "the old one closed";
  EXPECT_EQ(1u, sim::OpenHandles(sim::HandleKind::Key)) << "exactly one handle, the one returned";
  EXPECT_EQ(sim::Lower(Path("wuauserv")), sim::KeyPathOf(result));
  std::string path;
  EXPECT_EQ((DWORD)KEY_ALL_ACCESS, sim::KeyHandleOf(result, &path)->access);

  sim::SecurityDescriptor sd = DescriptorOf(Path("wuauserv"));
  EXPECT_EQ("S-1-5-32-544", sim::SidToString(sd.owner.data()));
  EXPECT_EQ("S-1-5-18", sim::SidToString(sd.group.data()));
  EXPECT_TRUE(sd.hasDacl);
  EXPECT_EQ(9u, sd.dacl.size());
  // Written protected, though the string says only AI.
  EXPECT_EQ(SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, sd.control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED));
  RegCloseKey(result);
  EXPECT_EQ(std::vector<std::string>({"Successfully set security information"}), Log());
  EXPECT_EQ(1, sim::M().callCounts["LocalFree"]);
}

TEST_F(KeySecurityTest, SaclLessStringRemovesTheSacl)
{
  // All four parts are written: a string without S: leaves the key with no SACL.
  sim::SddlToSelfRelative("O:BAG:SYD:(A;;KA;;;BA)S:(AU;SAFA;KA;;;WD)", &sim::MakeKey(Path("BITS")).securityDescriptor);
  HKEY key = ApplyKeySecurity(Open("BITS"), kD1);
  RegCloseKey(key);
  sim::SecurityDescriptor sd = DescriptorOf(Path("BITS"));
  EXPECT_FALSE(sd.hasSacl);
  EXPECT_TRUE(sd.hasDacl);
}

TEST_F(KeySecurityTest, SaclWritten)
{
  HKEY key = ApplyKeySecurity(Open("BITS\\Parameters"), kD5);
  RegCloseKey(key);
  sim::SecurityDescriptor sd = DescriptorOf(Path("BITS\\Parameters"));
  ASSERT_TRUE(sd.hasSacl);
  ASSERT_EQ(1u, sd.sacl.size());
  EXPECT_EQ(SYSTEM_AUDIT_ACE_TYPE, sd.sacl[0].type);
  EXPECT_EQ(SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG, sd.sacl[0].flags);
  EXPECT_EQ((DWORD)(WRITE_DAC | WRITE_OWNER), sd.sacl[0].mask);
}

TEST_F(KeySecurityTest, ReopenRefusedByTheNewDacl)
{
  HKEY key = Open("BITS\\Parameters");
  HKEY result = ApplyKeySecurity(key, kD5);
  EXPECT_EQ(key, result) << "the handle passed in";
  EXPECT_EQ(1u, sim::OpenHandles(sim::HandleKind::Key));
  EXPECT_EQ(2, sim::M().callCounts["RegOpenKeyExA"]) << "the test's open and the reopen";
  // The old handle keeps the rights it was opened with.
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(result, "X", 0, REG_DWORD, (const BYTE *)"\1\0\0\0", 4));
  RegCloseKey(result);
  HKEY again = NULL;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlset\\Services\\BITS\\Parameters",
                                               0, KEY_ALL_ACCESS, &again));
  EXPECT_EQ(std::vector<std::string>({"Successfully set security information"}), Log());
}

TEST_F(KeySecurityTest, FailuresReturnTheHandlePassedIn)
{
  struct {
    const char *what;
    const char *sddl;
    std::function<void()> arrange;
    REGSAM access;
    std::vector<std::string> log;
    bool written;  // the key carries the new descriptor afterwards
  } cases[] = {
      {"conversion refused", kD1, [] { sim::FailCall("ConvertStringSecurityDescriptorToSecurityDescriptorA", 1, ERROR_INVALID_PARAMETER); },
       KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY, {"Failed to parse security descriptor"}, false},
      {"unknown alias", "O:BAG:SYD:(A;;KA;;;XX)", [] {}, KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY,
       {"Failed to parse security descriptor"}, false},
      {"unbalanced parenthesis", "O:BAG:SYD:(A;;KA;;;BA", [] {}, KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY,
       {"Failed to parse security descriptor"}, false},
      {"write refused", kD1, [] { sim::FailCall("RegSetKeySecurity", 1, ERROR_ACCESS_DENIED); },
       KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY, {"Failed to set security information"}, false},
      // The SACL part needs ACCESS_SYSTEM_SECURITY on the handle.
      {"handle without SACL access", kD1, [] {}, KEY_ALL_ACCESS, {"Failed to set security information"}, false},
      {"handle without WRITE_DAC", kD1, [] {}, KEY_READ | WRITE_OWNER | ACCESS_SYSTEM_SECURITY,
       {"Failed to set security information"}, false},
      // SYSTEM as owner needs SeRestorePrivilege, not enabled here.
      {"owner the token may not assign", kD6, [] {}, KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY,
       {"Failed to set security information"}, false},
      {"reopen refused", kD1, [] { sim::FailCall("RegOpenKeyExA", 2, ERROR_ACCESS_DENIED); },
       KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY, {"Successfully set security information"}, true},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::M().enabledPrivileges = {"SeSecurityPrivilege", "SeTakeOwnershipPrivilege"};
    OpenOperationLog(0x61);
    c.arrange();
    HKEY key = Open("wuauserv", c.access);
    EXPECT_EQ(key, ApplyKeySecurity(key, c.sddl));
    EXPECT_EQ(1u, sim::OpenHandles(sim::HandleKind::Key));
    RegCloseKey(key);
    EXPECT_EQ(c.log, Log());
    EXPECT_EQ(c.written, !sim::Key(Path("wuauserv"))->securityDescriptor.empty());
    EXPECT_EQ(0u, sim::M().localBlocks.size()) << "descriptor released";
  }
}

TEST_F(KeySecurityTest, OwnerSystemIsAcceptedWithTheRestorePrivilege)
{
  sim::M().enabledPrivileges.insert("SeRestorePrivilege");
  HKEY key = ApplyKeySecurity(Open("wuauserv\\Security"), kD6);
  RegCloseKey(key);
  EXPECT_EQ("S-1-5-18", sim::SidToString(DescriptorOf(Path("wuauserv\\Security")).owner.data()));
  EXPECT_EQ(std::vector<std::string>({"Successfully set security information"}), Log());
}

}  // namespace
