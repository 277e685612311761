// Registration of the restore run after the next logon, and the reboot.
#include "test_support.h"

namespace {

const char *const kRunOnce = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const char *const kOk = "Successfully registered for start after reboot for services restoration";
const char *const kFailed = "Failed to register for start after reboot for services restoration";

class RegisterResumeTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    OpenTestLog(0x61);
  }
  std::vector<std::string> Log()
  {
    CloseCleanerLog();
    return LastSection(kWin7Desktop);
  }
};

TEST_F(RegisterResumeTest, StoresTheQuotedPathAndOption)
{
  struct {
    std::string path;
    std::string stored;
  } cases[] = {
      {"C:\\Tools\\vanktarvoskevcleaner.exe", "\"C:\\Tools\\vanktarvoskevcleaner.exe\" -r"},
      // Unquoted, this would let C:\Program.exe run in the cleaner's place.
      {"C:\\Program Files\\Vank\\vanktarvoskevcleaner.exe", "\"C:\\Program Files\\Vank\\vanktarvoskevcleaner.exe\" -r"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.path);
    sim::M().programPath = c.path;
    RegisterResume();
    const sim::RegValue *v = sim::Value(kRunOnce, "TarvoskEVCleaner");
    ASSERT_NE(nullptr, v);
    EXPECT_EQ((DWORD)REG_SZ, v->type);
    EXPECT_EQ(sim::Utf16Bytes(c.stored), v->data) << "text and its NUL";
  }
  EXPECT_EQ(std::vector<std::string>({kOk, kOk}), Log());
}

TEST_F(RegisterResumeTest, ReplacesAnEarlierEntry)
{
  sim::SetString(kRunOnce, "TarvoskEVCleaner", "old");
  RegisterResume();
  EXPECT_EQ("\"C:\\Tools\\vanktarvoskevcleaner.exe\" -r", sim::StringValue(kRunOnce, "TarvoskEVCleaner"));
  EXPECT_EQ(1u, sim::Key(kRunOnce)->values.size());
}

TEST_F(RegisterResumeTest, LongestPathThatFits)
{
  // Quote, path, quote, " -r" and the NUL in 260 bytes: 254 characters of path.
  std::string fits = "C:\\" + std::string(247, 'a') + ".exe";
  ASSERT_EQ(254u, fits.size());
  sim::M().programPath = fits;
  RegisterResume();
  std::string stored = sim::StringValue(kRunOnce, "TarvoskEVCleaner");
  EXPECT_EQ(259u, stored.size());
  EXPECT_EQ(std::vector<std::string>({kOk}), Log());
}

struct FailureCase {
  const char *what;
  std::function<void()> arrange;
};

TEST_F(RegisterResumeTest, FailuresWriteOneLineAndNothingElse)
{
  const FailureCase cases[] = {
      {"path one too long", [] { sim::M().programPath = "C:\\" + std::string(248, 'a') + ".exe"; }},
      {"path cut by the buffer", [] { sim::M().programPath = "C:\\" + std::string(400, 'a') + ".exe"; }},
      {"no module path", [] { sim::FailCall("GetModuleFileNameA", 1, ERROR_ACCESS_DENIED); }},
      {"key refused", [] { sim::FailCall("RegCreateKeyExA", 1, ERROR_ACCESS_DENIED); }},
      {"write refused", [] { sim::FailCall("RegSetValueExA", 1, ERROR_ACCESS_DENIED); }},
  };
  for (const FailureCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    OpenTestLog(0x61);
    c.arrange();
    RegisterResume();
    EXPECT_EQ(nullptr, sim::Value(kRunOnce, "TarvoskEVCleaner"));
    EXPECT_EQ(std::vector<std::string>({kFailed}), Log());
    EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Key));
  }
}

class RebootSystemTest : public SimTest {};

TEST_F(RebootSystemTest, EnablesShutdownPrivilegeAndRequestsReboot)
{
  RebootSystem();
  ASSERT_EQ(1u, sim::M().reboots.size());
  EXPECT_EQ((UINT)EWX_REBOOT, sim::M().reboots[0].flags) << "not forced";
  EXPECT_EQ(0x00050013u, sim::M().reboots[0].reason) << "not planned";
  EXPECT_TRUE(sim::M().reboots[0].succeeded);
  EXPECT_EQ(1u, sim::M().enabledPrivileges.count("SeShutdownPrivilege"));
  EXPECT_EQ("", sim::M().console);
}

TEST_F(RebootSystemTest, TokenOrPrivilegeFailuresStillRequestTheReboot)
{
  const FailureCase cases[] = {
      {"token not opened", [] { sim::FailCall("OpenProcessToken", 1, ERROR_ACCESS_DENIED); }},
      {"privilege unknown", [] { sim::FailCall("LookupPrivilegeValueW", 1, ERROR_NO_SUCH_PRIVILEGE); }},
      {"adjust refused", [] { sim::FailCall("AdjustTokenPrivileges", 1, ERROR_ACCESS_DENIED); }},
      {"privilege not held", [] { sim::M().heldPrivileges.erase("SeShutdownPrivilege"); }},
  };
  for (const FailureCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    c.arrange();
    RebootSystem();
    ASSERT_EQ(1u, sim::M().reboots.size()) << "the request is made whatever happened before";
    // Without the privilege the platform refuses the reboot; that is reported.
    EXPECT_FALSE(sim::M().reboots[0].succeeded);
    EXPECT_EQ("Failed to initiate system reboot. Restart your system manually.\n", sim::M().console);
    EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Token));
  }
}

TEST_F(RebootSystemTest, PrivilegeAlreadyEnabledSurvivesAFailedAdjustment)
{
  sim::M().enabledPrivileges.insert("SeShutdownPrivilege");
  sim::FailCall("AdjustTokenPrivileges", 1, ERROR_ACCESS_DENIED);
  RebootSystem();
  ASSERT_EQ(1u, sim::M().reboots.size());
  EXPECT_TRUE(sim::M().reboots[0].succeeded);
  EXPECT_EQ("", sim::M().console);
}

}  // namespace
