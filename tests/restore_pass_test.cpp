// Restore mode's pass over a table of records: the set chosen by edition, the
// privileges, and each record's key, descriptor and values in order.
#include "security.h"
#include "test_support.h"

namespace {

#define TEST_KEYS "System\\CurrentControlset\\Services\\VankTest\\"
const char *const kBase = "HKLM\\System\\CurrentControlSet\\Services\\VankTest\\";
const char *const kOpen = "O:BAG:SYD:AI(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)";
const char *const kPrivilegesFailed = "Failed to acquire needed privileges.";

// One record per set, in the table's order of sets.
const RestoreRecord kOnePerSet[] = {
    {SET_XP, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "Xp", kOpen, L"\"V\"=dword:00000000\0", NULL},
    {SET_VISTA, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "Vista", kOpen, L"\"V\"=dword:00000001\0", NULL},
    {SET_WIN7, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "Win7", kOpen, L"\"V\"=dword:00000002\0", NULL},
    {SET_SERVER2003, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "Server2003", kOpen, L"\"V\"=dword:00000003\0", NULL},
    {SET_SERVER2008R2, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "Server2008R2", kOpen, L"\"V\"=dword:00000004\0", NULL},
};
const char *const kSetKeys[] = {"Xp", "Vista", "Win7", "Server2003", "Server2008R2"};

std::string Created(const std::string &key) { return "Creating HKLM\\" TEST_KEYS + key + " - created new"; }
std::string Opened(const std::string &key) { return "Creating HKLM\\" TEST_KEYS + key + " - opened existing"; }
std::string Failed(const std::string &key) { return "Creating HKLM\\" TEST_KEYS + key + " - failed"; }
const char *const kSecured = "Successfully set security information";

class RestorePassTest : public SimTest {
protected:
  // A Windows 7 machine whose token holds the privileges, not yet enabled.
  void SetUp() override
  {
    SimTest::SetUp();
    Prepare(0x61);
  }
  void Prepare(DWORD osCode)
  {
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    code = osCode;
    OpenTestLog(osCode);
  }
  std::vector<std::string> Log()
  {
    CloseCleanerLog();
    return LastSection(code == 0x61 || code == 0x80000061 ? kWin7Desktop : kVistaDesktop);
  }
  DWORD code = 0x61;
};

TEST_F(RestorePassTest, EditionChoosesItsSetAndLine)
{
  struct {
    DWORD osCode;
    int set;
    const char *line;
  } cases[] = {
      {0x51, 0, "Processing Windows XP services restoration"},
      {0x52, 0, "Processing Windows XP services restoration"},  // 64-bit XP
      {0x60, 1, "Processing Windows Vista services restoration"},
      {0x61, 2, "Processing Windows 7 services restoration"},
      {0x80000052, 3, "Processing Windows Server 2003 services restoration"},
      {0x80000061, 4, "Processing Windows Server 2008 R2 services restoration"},
      // The whole code is compared: any other is taken for XP.
      {0x80000051, 0, "Processing Windows XP services restoration"},
      {0x80000060, 0, "Processing Windows XP services restoration"},
      {0x62, 0, "Processing Windows XP services restoration"},
      {0x40000061, 0, "Processing Windows XP services restoration"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.line + std::string(" ") + std::to_string(c.osCode));
    Prepare(c.osCode);
    RestoreServicesFrom(c.osCode, kOnePerSet, 5);
    EXPECT_EQ(std::vector<std::string>({c.line, Created(kSetKeys[c.set]), kSecured,
                                        "Writing value \"V\", current doesn't exist... success"}),
              Log());
    // Nothing of the other sets: their keys are never created.
    for (int s = 0; s < 5; s++)
      EXPECT_EQ(s == c.set, sim::Key(kBase + std::string(kSetKeys[s])) != nullptr) << kSetKeys[s];
    const sim::RegValue *v = sim::Value(kBase + std::string(kSetKeys[c.set]), "V");
    ASSERT_NE(nullptr, v);
    EXPECT_EQ(std::vector<uint8_t>({(uint8_t)c.set, 0, 0, 0}), v->data);
    EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Key));
    EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Token));
  }
}

TEST_F(RestorePassTest, RecordsInArrayOrderLinesInListOrder)
{
  const RestoreRecord records[] = {
      {SET_WIN7, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "Svc", kOpen,
       L"\"Start\"=dword:00000002\0\"Type\"=dword:00000020\0\"DisplayName\"=\"Test\"\0", NULL},
      {SET_XP, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "Other", kOpen, L"\"V\"=dword:00000001\0", NULL},
      {SET_WIN7, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "Svc\\Empty", kOpen, L"", NULL},
      {SET_WIN7, 1, HKEY_LOCAL_MACHINE, TEST_KEYS "Svc\\Rules", kOpen, L"\"R1\"=\"a\"\0\"R2\"=\"b\"\0", NULL},
      // A key split over consecutive records: each is opened, secured and closed.
      {SET_WIN7, 1, HKEY_LOCAL_MACHINE, TEST_KEYS "Svc\\Rules", kOpen, L"\"R3\"=\"c\"\0", NULL},
  };
  sim::SetDword(kBase + std::string("Svc"), "Start", 4);
  sim::SetDword(kBase + std::string("Svc"), "Type", 0x20);
  sim::SetString(kBase + std::string("Svc\\Rules"), "R1", "changed");
  // One key handle at a time: only the record's own is open while it is worked on.
  size_t most = 0;
  sim::M().onQueryValue = [&most](const std::string &, const std::string &) {
    most = std::max(most, sim::OpenHandles(sim::HandleKind::Key));
  };
  RestoreServicesFrom(0x61, records, 5);
  EXPECT_EQ(std::vector<std::string>({
                "Processing Windows 7 services restoration",
                Opened("Svc"),
                kSecured,
                "Updating value \"Start\", current value differs from known good one... success",
                "Value \"Type\" matches known good one, skipping update",
                "Writing value \"DisplayName\", current doesn't exist... success",
                Created("Svc\\Empty"),
                kSecured,
                Opened("Svc\\Rules"),
                kSecured,
                "Value \"R1\" doesn't need updating",
                "Writing value \"R2\", current doesn't exist... success",
                Opened("Svc\\Rules"),
                kSecured,
                "Writing value \"R3\", current doesn't exist... success",
            }),
            Log());
  EXPECT_EQ(1u, most);
  EXPECT_EQ(4, sim::M().callCounts["RegSetKeySecurity"]) << "every record of the set got its descriptor";
  EXPECT_EQ("changed", sim::StringValue(kBase + std::string("Svc\\Rules"), "R1"));
  EXPECT_EQ("c", sim::StringValue(kBase + std::string("Svc\\Rules"), "R3"));
  EXPECT_EQ(nullptr, sim::Key(kBase + std::string("Other")));
  EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Key));
}

// A guessed line (data from no genuine installation) is written where the
// value is missing and never over a value the machine holds; the record's
// other lines follow its own flag.
TEST_F(RestorePassTest, GuessedLinesNeverOverwrite)
{
  static const BYTE guessed[] = {1, 0, 1, 1};
  static const BYTE noneGuessed[] = {0};
  const RestoreRecord records[] = {
      {SET_WIN7, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "Svc", kOpen,
       L"\"ImagePath\"=\"guess.exe\"\0\"Start\"=dword:00000002\0\"Group\"=\"Guessed\"\0\"Same\"=dword:00000007\0",
       guessed},
      // Flags of 0 behave as no flags: the record's own keepExisting decides.
      {SET_WIN7, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "Svc\\Parameters", kOpen, L"\"Dll\"=\"given.dll\"\0", noneGuessed},
      {SET_WIN7, 1, HKEY_LOCAL_MACHINE, TEST_KEYS "Svc\\Rules", kOpen, L"\"R1\"=\"a\"\0", noneGuessed},
  };
  sim::SetString(kBase + std::string("Svc"), "ImagePath", "machine.exe");
  sim::SetDword(kBase + std::string("Svc"), "Start", 4);
  sim::SetDword(kBase + std::string("Svc"), "Same", 7);
  sim::SetString(kBase + std::string("Svc\\Parameters"), "Dll", "other.dll");
  sim::SetString(kBase + std::string("Svc\\Rules"), "R1", "changed");
  RestoreServicesFrom(0x61, records, 3);
  EXPECT_EQ(std::vector<std::string>({
                "Processing Windows 7 services restoration",
                Opened("Svc"),
                kSecured,
                "Value \"ImagePath\" doesn't need updating",
                "Updating value \"Start\", current value differs from known good one... success",
                "Writing value \"Group\", current doesn't exist... success",
                "Value \"Same\" matches known good one, skipping update",
                Opened("Svc\\Parameters"),
                kSecured,
                "Updating value \"Dll\", current value differs from known good one... success",
                Opened("Svc\\Rules"),
                kSecured,
                "Value \"R1\" doesn't need updating",
            }),
            Log());
  EXPECT_EQ("machine.exe", sim::StringValue(kBase + std::string("Svc"), "ImagePath"));
  EXPECT_EQ(2u, sim::Value(kBase + std::string("Svc"), "Start")->data[0]);
  EXPECT_EQ("Guessed", sim::StringValue(kBase + std::string("Svc"), "Group"));
  EXPECT_EQ("given.dll", sim::StringValue(kBase + std::string("Svc\\Parameters"), "Dll"));
  EXPECT_EQ("changed", sim::StringValue(kBase + std::string("Svc\\Rules"), "R1"));
}

TEST_F(RestorePassTest, PrivilegesEnabledInOneAdjustment)
{
  RestoreServicesFrom(0x61, kOnePerSet, 5);
  EXPECT_EQ(std::set<std::string>({"SeSecurityPrivilege", "SeTakeOwnershipPrivilege", "SeRestorePrivilege"}),
            sim::M().enabledPrivileges);
  EXPECT_EQ(1, sim::M().callCounts["AdjustTokenPrivileges"]);
  EXPECT_EQ(1, sim::M().callCounts["CloseHandle"]);
  EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Token));
}

TEST_F(RestorePassTest, PrivilegeFailures)
{
  struct {
    const char *what;
    std::function<void()> arrange;
    std::vector<std::string> log;
    int lookups;
  } cases[] = {
      {"token not opened", [] { sim::FailCall("OpenProcessToken", 1, ERROR_ACCESS_DENIED); },
       {kPrivilegesFailed, Failed("Win7")}, 0},
      {"security privilege unknown", [] { sim::FailCall("LookupPrivilegeValueW", 1, ERROR_NO_SUCH_PRIVILEGE); },
       {kPrivilegesFailed, Failed("Win7")}, 1},
      {"take-ownership privilege unknown", [] { sim::FailCall("LookupPrivilegeValueW", 2, ERROR_NO_SUCH_PRIVILEGE); },
       {kPrivilegesFailed, Failed("Win7")}, 2},
      {"restore privilege unknown", [] { sim::FailCall("LookupPrivilegeValueW", 3, ERROR_NO_SUCH_PRIVILEGE); },
       {kPrivilegesFailed, Failed("Win7")}, 3},
      // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED; nothing is logged for it.
      {"token without the privileges", [] { sim::M().heldPrivileges = {"SeShutdownPrivilege"}; },
       {Failed("Win7")}, 3},
      {"adjustment refused", [] { sim::FailCall("AdjustTokenPrivileges", 1, ERROR_ACCESS_DENIED); },
       {Failed("Win7")}, 3},
      // Enabled already (by an earlier step): the keys open though the token failed.
      {"token not opened, privilege already on",
       [] {
         sim::FailCall("OpenProcessToken", 1, ERROR_ACCESS_DENIED);
         sim::M().enabledPrivileges = {"SeSecurityPrivilege"};
       },
       {kPrivilegesFailed, Created("Win7"), kSecured, "Writing value \"V\", current doesn't exist... success"}, 0},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    Prepare(0x61);
    c.arrange();
    RestoreServicesFrom(0x61, kOnePerSet, 5);
    std::vector<std::string> expected = {"Processing Windows 7 services restoration"};
    expected.insert(expected.end(), c.log.begin(), c.log.end());
    EXPECT_EQ(expected, Log());
    EXPECT_EQ(c.lookups, sim::M().callCounts["LookupPrivilegeValueW"]);
    EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Token)) << "token closed";
    EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Key));
  }
}

// The platform accepts an owner other than the token's user or Administrators
// only while SeRestorePrivilege is enabled; the dataset names SYSTEM and
// LocalService as owners.
TEST_F(RestorePassTest, OwnersSystemAndLocalServiceNeedTheRestorePrivilege)
{
  const RestoreRecord records[] = {
      {SET_WIN7, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "System", "O:SYG:SYD:P(A;;KA;;;SY)(A;;KA;;;BA)",
       L"\"V\"=dword:00000001\0", NULL},
      {SET_WIN7, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "LocalService", "O:LSG:LSD:P(A;;KA;;;LS)(A;;KA;;;BA)", L"", NULL},
  };
  const struct {
    const char *owner;
    const char *key;
  } owners[] = {{"S-1-5-18", "System"}, {"S-1-5-19", "LocalService"}};
  for (bool held : {true, false}) {
    SCOPED_TRACE(held ? "token holds SeRestorePrivilege" : "token lacks SeRestorePrivilege");
    Prepare(0x61);
    if (!held)
      sim::M().heldPrivileges.erase("SeRestorePrivilege");
    RestoreServicesFrom(0x61, records, 2);
    const char *security = held ? kSecured : "Failed to set security information";
    EXPECT_EQ(std::vector<std::string>({"Processing Windows 7 services restoration", Created("System"), security,
                                        "Writing value \"V\", current doesn't exist... success",
                                        Created("LocalService"), security}),
              Log());
    EXPECT_EQ(held, sim::M().enabledPrivileges.count("SeRestorePrivilege") == 1);
    for (const auto &o : owners) {
      SCOPED_TRACE(o.key);
      const sim::RegKey *k = sim::Key(kBase + std::string(o.key));
      ASSERT_NE(nullptr, k);
      // Without the privilege the key keeps the descriptor it was created
      // with: none of its own below this test's parent.
      if (!held) {
        EXPECT_TRUE(k->securityDescriptor.empty());
        continue;
      }
      sim::SecurityDescriptor sd;
      ASSERT_TRUE(sim::ParseSecurityDescriptor(k->securityDescriptor.data(), k->securityDescriptor.size(), &sd));
      EXPECT_EQ(o.owner, sim::SidToString(sd.owner.data()));
      EXPECT_EQ(o.owner, sim::SidToString(sd.group.data()));
      EXPECT_TRUE(sd.control & SE_DACL_PROTECTED);
    }
    EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Key));
    EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Token));
  }
}

TEST_F(RestorePassTest, EveryKeyFailsWithoutTheSecurityPrivilege)
{
  const RestoreRecord records[] = {
      {SET_WIN7, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "A", kOpen, L"\"V\"=dword:00000001\0", NULL},
      {SET_WIN7, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "B", kOpen, L"", NULL},
  };
  sim::MakeKey(kBase + std::string("B"));
  sim::M().heldPrivileges.erase("SeSecurityPrivilege");
  sim::M().heldPrivileges.erase("SeTakeOwnershipPrivilege");
  RestoreServicesFrom(0x61, records, 2);
  EXPECT_EQ(std::vector<std::string>({"Processing Windows 7 services restoration", Failed("A"), Failed("B")}), Log());
  EXPECT_EQ(0, sim::M().callCounts["RegQueryValueExW"]);
}

TEST_F(RestorePassTest, FailuresStopOnlyTheirRecordOrStep)
{
  const RestoreRecord records[] = {
      {SET_WIN7, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "A", kOpen, L"\"V\"=dword:00000001\0", NULL},
      {SET_WIN7, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "B", "O:BAG:SYD:(A;;KA;;;ZZ)", L"\"V\"=dword:00000001\0", NULL},
      {SET_WIN7, 0, HKEY_LOCAL_MACHINE, TEST_KEYS "C", kOpen, L"\"V\"=qword:1\0\"W\"=dword:00000001\0", NULL},
  };
  sim::FailCall("RegCreateKeyExA", 1, ERROR_ACCESS_DENIED);
  RestoreServicesFrom(0x61, records, 3);
  EXPECT_EQ(std::vector<std::string>({
                "Processing Windows 7 services restoration",
                Failed("A"),
                Created("B"),
                "Failed to parse security descriptor",
                "Writing value \"V\", current doesn't exist... success",
                Created("C"),
                kSecured,
                "Failed to parse value entry, skipping.",
                "Writing value \"W\", current doesn't exist... success",
            }),
            Log());
  EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Key));
}

TEST_F(RestorePassTest, WalkIsBoundedByTheCount)
{
  RestoreServicesFrom(0x61, kOnePerSet, 2);
  EXPECT_EQ(std::vector<std::string>({"Processing Windows 7 services restoration"}), Log());
  EXPECT_EQ(nullptr, sim::Key(kBase + std::string("Win7")));
}

// The built-in table: the records whose data is fixed restore as given.
TEST_F(RestorePassTest, BuiltInTableRestoresAutomaticUpdatesOnXp)
{
  const std::string wuauserv = "HKLM\\System\\CurrentControlSet\\Services\\wuauserv";
  Prepare(0x51);
  sim::SetDword(wuauserv, "Start", 4);
  sim::SetString(wuauserv, "ImagePath", "%systemroot%\\system32\\svchost.exe -k other", REG_EXPAND_SZ);
  RestoreServices(0x51);
  std::vector<std::string> log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("Processing Windows XP services restoration", log[0]);
  auto has = [&log](const std::string &line) { return std::find(log.begin(), log.end(), line) != log.end(); };
  EXPECT_TRUE(has("Updating value \"Start\", current value differs from known good one... success"));
  EXPECT_TRUE(has("Updating value \"ImagePath\", current value differs from known good one... success"));
  EXPECT_TRUE(has("Creating HKLM\\System\\CurrentControlset\\Services\\wuauserv\\Enum - created new"));
  const sim::RegValue *start = sim::Value(wuauserv, "Start");
  ASSERT_NE(nullptr, start);
  EXPECT_EQ(std::vector<uint8_t>({2, 0, 0, 0}), start->data);
  const sim::RegValue *image = sim::Value(wuauserv, "ImagePath");
  ASSERT_NE(nullptr, image);
  EXPECT_EQ((DWORD)REG_EXPAND_SZ, image->type);
  EXPECT_EQ("%systemroot%\\system32\\svchost.exe -k netsvcs", sim::StringValue(wuauserv, "ImagePath"));
  EXPECT_EQ("Automatic Updates", sim::StringValue(wuauserv, "DisplayName"));
  EXPECT_EQ("Root\\LEGACY_WUAUSERV\\0000", sim::StringValue(wuauserv + "\\Enum", "0"));
  EXPECT_EQ(std::vector<uint8_t>({1, 0, 0, 0}), sim::Value(wuauserv + "\\Enum", "Count")->data);
  EXPECT_EQ(std::vector<uint8_t>({1, 0, 0, 0}), sim::Value(wuauserv + "\\Enum", "NextInstance")->data);
}

TEST_F(RestorePassTest, BuiltInTableKeepsExistingFirewallRules)
{
  const std::string system =
      "HKLM\\System\\CurrentControlSet\\Services\\SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static\\System";
  Prepare(0x80000052);
  sim::SetString(system, "SearchIndexer-1", "changed by the user");
  RestoreServices(0x80000052);
  EXPECT_EQ("changed by the user", sim::StringValue(system, "SearchIndexer-1"));
  EXPECT_EQ("V4.0|Action=Block|Dir=Out|App=C:\\WINDOWS\\Microsoft.NET\\Framework\\v4.0.30319\\mscorsvw.exe|"
            "Svc=clr_optimization_v4.0.30319_32|Name=Block traffic for clr_optimization_v4.0.30319_32|",
            sim::StringValue(system, "clr_optimization_v4.0.30319_32-2"));
  std::vector<std::string> log = Log();
  EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "Value \"SearchIndexer-1\" doesn't need updating"));
}

TEST_F(RestorePassTest, BuiltInTableWritesTheQwordOnWindows7)
{
  RestoreServices(0x61);
  const sim::RegValue *v = sim::Value("HKLM\\System\\CurrentControlSet\\Services\\BITS\\Performance", "1008");
  ASSERT_NE(nullptr, v);
  EXPECT_EQ((DWORD)REG_QWORD, v->type);
  EXPECT_EQ(std::vector<uint8_t>({0x96, 0xa0, 0x7a, 0xd1, 0x5c, 0x38, 0xcd, 0x01}), v->data);
  EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Key));
}

}  // namespace
