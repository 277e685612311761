// The run sequence: console texts, modes, exit codes, WOW64 redirection, the
// restoration question and the reboot at the end.
#include "scenario.h"
#include "test_support.h"

#include <algorithm>

#include "scenario.h"

namespace {

const char *const kHint = "If you need only services restoration run \"vanktarvoskevcleaner -r\"\n";
const char *const kQuestion =
    "It is recommended to restore some system services that might have been disabled by malware. Do you "
    "want to do that (y/n)?\n";
const char *const kRebootRestore =
    "System has to be rebooted for changes to come in effect. You should save all your work and press any "
    "key to reboot...\n";
const char *const kRebootContinue =
    "System has to be rebooted to continue cleaning. You should save all your work and press any key to "
    "reboot...\n";
const char *const kRebootFinish =
    "System has to be rebooted to finish cleaning. You should save all your work and press any key to "
    "reboot...\n";
const char *const kUnsupported =
    "Not supported OS. Cleaner supports Windows XP, Vista, 7, Windows server 2003 R2 and Windows server "
    "2008 R2.\n";

const char *const kRunOnce = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

class RunSequenceTest : public SimTest {};

// The console after the banner's two lines.
std::string AfterBanner(const std::string &console)
{
  size_t first = console.find('\n');
  size_t second = console.find('\n', first + 1);
  return console.substr(second + 1);
}

TEST_F(RunSequenceTest, BannerCarriesVersionAndBuildTime)
{
  sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
  RunCleanerWith({}, "nx");
  const std::string &console = sim::M().console;
  // Build date and time as the compiler gives them: "Oct 12 2012 14:48:50".
  const std::string prefix = "Vank Win32/Tarvosk.EV Cleaner v1.0.0.6 (";
  ASSERT_EQ(prefix, console.substr(0, prefix.size()));
  std::string stamp = console.substr(prefix.size(), 20);
  const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  EXPECT_EQ(0u, months.find(stamp.substr(0, 3)) % 3) << stamp;
  EXPECT_NE(std::string::npos, months.find(stamp.substr(0, 3))) << stamp;
  for (size_t i : {4u, 5u, 7u, 8u, 9u, 10u, 12u, 13u, 15u, 16u, 18u, 19u})
    EXPECT_TRUE((stamp[i] >= '0' && stamp[i] <= '9') || (i == 4 && stamp[i] == ' ')) << stamp;
  EXPECT_EQ(":", stamp.substr(14, 1));
  EXPECT_EQ(":", stamp.substr(17, 1));
  EXPECT_EQ(")\n", console.substr(prefix.size() + 20, 2)) << "the first line ends there";
  size_t second = console.find('\n', prefix.size() + 22);
  EXPECT_GT(second, prefix.size() + 22) << "a second banner line of its own";
  EXPECT_EQ(0u, AfterBanner(console).find(kHint));
}

struct ModeCase {
  const char *what;
  DWORD major, minor;
  BYTE productType;
  bool wow64;
  std::vector<std::string> args;
  std::string keys;
  const char *detection;
  bool restoreMode;
  const char *reboot;
  bool registered;
};

TEST_F(RunSequenceTest, ModesPathsAndAnswers)
{
  const ModeCase cases[] = {
      {"7 x64, yes", 6, 1, 1, true, {}, "yk", "Detected post-Vista 64 bit windows system", false, kRebootContinue, true},
      {"7 x86, upper-case yes", 6, 1, 1, false, {}, "Yk", "Detected post-Vista 32 bit windows system", false, kRebootContinue, true},
      {"Vista, no", 6, 0, 1, false, {}, "nk", "Detected post-Vista 32 bit windows system", false, kRebootFinish, false},
      {"XP, Enter", 5, 1, 1, false, {}, "\rk", "Detected pre-Vista 32 bit windows system", false, kRebootFinish, false},
      {"XP x64, other key", 5, 2, 1, true, {}, "qk", "Detected pre-Vista 64 bit windows system", false, kRebootFinish, false},
      {"2003, restore", 5, 2, 3, false, {"-r"}, "k", "Detected pre-Vista 32 bit windows system", true, kRebootRestore, false},
      {"2008 R2, restore", 6, 1, 3, true, {"-r"}, "k", "Detected post-Vista 64 bit windows system", true, kRebootRestore, false},
      {"-R is not the option", 6, 1, 1, false, {"-R"}, "nk", "Detected post-Vista 32 bit windows system", false, kRebootFinish, false},
      {"/r is not the option", 6, 1, 1, false, {"/r"}, "nk", "Detected post-Vista 32 bit windows system", false, kRebootFinish, false},
      {"-r with a space", 6, 1, 1, false, {"-r "}, "nk", "Detected post-Vista 32 bit windows system", false, kRebootFinish, false},
      {"-r and more", 6, 1, 1, false, {"-r", "x"}, "nk", "Detected post-Vista 32 bit windows system", false, kRebootFinish, false},
      {"-rr", 6, 1, 1, false, {"-rr"}, "nk", "Detected post-Vista 32 bit windows system", false, kRebootFinish, false},
  };
  for (const ModeCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(c.major, c.minor, c.productType, c.wow64);
    std::string desktop = c.major == 5 ? kXpDesktop : c.minor == 1 ? kWin7Desktop : kVistaDesktop;
    EXPECT_EQ(0, RunCleanerWith(c.args, c.keys));

    std::string expected = std::string(kHint);
    if (!c.restoreMode)
      expected += kQuestion;
    expected += "Cleaner finished, check " + desktop + "\\DU Vizodav directory for logs\n";
    expected += c.reboot;
    EXPECT_EQ(expected, AfterBanner(sim::M().console));

    std::vector<std::string> log = LastSection(desktop);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(c.detection, log.front());
    EXPECT_EQ(c.registered ? "Successfully registered for start after reboot for services restoration"
                           : "Cleaning finished",
              log.back());

    EXPECT_EQ(c.registered, sim::Value(kRunOnce, "TarvoskEVCleaner") != nullptr);
    EXPECT_EQ(0u, sim::M().keys.size()) << "every key read";
    ASSERT_EQ(1u, sim::M().reboots.size());
    EXPECT_EQ((UINT)EWX_REBOOT, sim::M().reboots[0].flags);
    EXPECT_EQ(0x00050013u, sim::M().reboots[0].reason);
    EXPECT_TRUE(sim::M().reboots[0].succeeded);
    EXPECT_EQ(c.wow64 ? 1 : 0, sim::M().redirectionDisables);
    EXPECT_EQ(c.wow64 ? 1 : 0, sim::M().redirectionReverts);
    EXPECT_FALSE(sim::M().redirectionOff);
  }
}

// An arrow or function key gives _getch two codes (0 or 0xE0, then the key):
// one press is one key at the question and at the reboot wait, so the
// reboot still waits for the key that follows.
TEST_F(RunSequenceTest, ExtendedKeyIsOneKeyPress)
{
  const struct {
    const char *what;
    std::vector<std::string> args;
    std::string keys;
    const char *reboot;
  } cases[] = {
      {"arrow up at the question", {}, std::string("\xE0Hk"), kRebootFinish},
      {"F1 at the question", {}, std::string("\0;k", 3), kRebootFinish},
      {"arrow down at the reboot wait", {}, std::string("y\xE0P"), kRebootContinue},
      {"F10 at the reboot wait", {}, std::string("n\0D", 3), kRebootFinish},
      {"arrow right at the restore run's reboot wait", {"-r"}, std::string("\xE0M"), kRebootRestore},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    EXPECT_EQ(0, RunCleanerWith(c.args, c.keys));
    EXPECT_EQ((int)c.keys.size(), sim::M().keysRead);
    EXPECT_EQ(0, sim::M().keysMissing) << "no wait found its key missing";
    std::string console = sim::M().console;
    ASSERT_GE(console.size(), strlen(c.reboot));
    EXPECT_EQ(c.reboot, console.substr(console.size() - strlen(c.reboot)));
    EXPECT_EQ(c.reboot == kRebootContinue, sim::Value(kRunOnce, "TarvoskEVCleaner") != nullptr);
    EXPECT_EQ(1u, sim::M().reboots.size());
  }
  // The arrow alone answers the question; the reboot then waits for a key
  // that does not come (without a console _getch returns at once).
  FreshMachine();
  sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
  EXPECT_EQ(0, RunCleanerWith({}, "\xE0H"));
  EXPECT_EQ(1, sim::M().keysMissing);
  EXPECT_EQ(nullptr, sim::Value(kRunOnce, "TarvoskEVCleaner"));
}

TEST_F(RunSequenceTest, RestoreModeRunsOnlyTheRestoration)
{
  // The infected XP machine, started with -r at once: its redirected COM
  // classes and full hideouts stay as they are; only the services' keys and
  // the log folder change.
  sim::Scenario scenario;
  std::string error;
  ASSERT_TRUE(sim::LoadScenario(ReadScenario("xp-infected.json"), &scenario, &error)) << error;
  sim::Snapshot before = sim::TakeSnapshot();
  EXPECT_EQ(0, RunCleanerWith({"-r"}, "k"));
  bool restored = false;
  for (const std::string &d : sim::Differences(before, sim::TakeSnapshot())) {
    bool services = d.find(" registry HKLM\\System\\CurrentControlSet\\Services\\") != std::string::npos;
    bool logFolder = d.find(" file C:\\Documents and Settings\\All Users\\Desktop\\DU Vizodav") != std::string::npos;
    EXPECT_TRUE(services || logFolder) << d;
    restored |= services;
  }
  EXPECT_TRUE(restored);
  std::vector<std::string> log = LastSection(kXpDesktop);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("Detected pre-Vista 32 bit windows system", log.front());
  EXPECT_EQ("Cleaning finished", log.back());
  for (const std::string &line : log) {
    EXPECT_NE(0u, line.find("Current registry value")) << line;
    EXPECT_NE("Attempting to remove malware files...", line);
  }
}

TEST_F(RunSequenceTest, RedirectionIsOffFromClassificationToTheLastCleaningStep)
{
  sim::InstallWindows(6, 1, VER_NT_WORKSTATION, true);
  sim::M().recordCalls = true;
  RunCleanerWith({}, "nk");
  bool sawLogOpen = false;
  for (const sim::CallRecord &c : sim::M().calls) {
    if (c.function == "GetVersionExW" || c.function == "_fsopen" || c.function == "ExpandEnvironmentStringsA") {
      EXPECT_TRUE(c.redirectionOff) << c.function;
      sawLogOpen |= c.function == "_fsopen";
    }
    if (c.function == "_getch" || c.function == "ExitWindowsEx" || c.function == "GetCurrentDirectoryA") {
      EXPECT_FALSE(c.redirectionOff) << c.function;
    }
  }
  EXPECT_TRUE(sawLogOpen);
}

struct WowCase {
  const char *what;
  bool hasIsWow64Process, hasRedirection;
  std::function<void()> arrange;
  const char *detection;
  int disables;
};

TEST_F(RunSequenceTest, MissingOrFailingWow64CallsArePassedOverInSilence)
{
  const WowCase cases[] = {
      {"no IsWow64Process", false, true, [] {}, "Detected post-Vista 32 bit windows system", 0},
      {"IsWow64Process fails", true, true, [] { sim::FailCall("IsWow64Process", 1, ERROR_ACCESS_DENIED); },
       "Detected post-Vista 32 bit windows system", 0},
      {"no redirection switches", true, false, [] {}, "Detected post-Vista 64 bit windows system", 0},
      {"kernel32 not loadable", true, true, [] { sim::FailCall("LoadLibraryA", 1, ERROR_MOD_NOT_FOUND); },
       "Detected post-Vista 32 bit windows system", 0},
      {"disable fails", true, true, [] { sim::FailCall("Wow64DisableWow64FsRedirection", 1, ERROR_ACCESS_DENIED); },
       "Detected post-Vista 64 bit windows system", 0},
  };
  for (const WowCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, true);
    sim::M().hasIsWow64Process = c.hasIsWow64Process;
    sim::M().hasWow64Redirection = c.hasRedirection;
    c.arrange();
    EXPECT_EQ(0, RunCleanerWith({}, "nk"));
    EXPECT_EQ(c.detection, LastSection(kWin7Desktop).front());
    EXPECT_EQ(c.disables, sim::M().redirectionDisables);
    EXPECT_EQ(std::string::npos, sim::M().console.find("WOW"));
  }
}

TEST_F(RunSequenceTest, UnsupportedEditionEndsBeforeTheLog)
{
  struct {
    const char *what;
    DWORD major, minor;
    BYTE productType;
    bool queryFails;
  } cases[] = {{"Server 2008", 6, 0, VER_NT_SERVER, false},
               {"Windows 8", 6, 2, VER_NT_WORKSTATION, false},
               {"failed query", 6, 1, VER_NT_WORKSTATION, true}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(c.major, c.minor, c.productType, true);
    if (c.queryFails)
      sim::FailCall("GetVersionExW", 0, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(1, RunCleanerWith({}, "yk"));
    EXPECT_EQ(std::string(kHint) + kUnsupported, AfterBanner(sim::M().console));
    EXPECT_FALSE(sim::Exists(std::string(kWin7Desktop) + "\\DU Vizodav"));
    EXPECT_EQ(2u, sim::M().keys.size()) << "no key awaited";
    EXPECT_TRUE(sim::M().reboots.empty());
    // Redirection stays off: the process ends right here.
    EXPECT_EQ(0, sim::M().redirectionReverts);
  }
}

TEST_F(RunSequenceTest, LogThatCannotBeOpenedEndsTheRun)
{
  sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
  sim::MakeFile(std::string(kWin7Desktop) + "\\DU Vizodav", "a file in the way");
  EXPECT_EQ(1, RunCleanerWith({}, "yk"));
  EXPECT_EQ(std::string(kHint) + "Failed to create log file. Terminating.\n", AfterBanner(sim::M().console));
  EXPECT_EQ(2u, sim::M().keys.size());
  EXPECT_TRUE(sim::M().reboots.empty());
}

TEST_F(RunSequenceTest, ClosingMessageFallsBackWithoutCurrentDirectory)
{
  struct {
    const char *what;
    std::function<void()> arrange;
  } cases[] = {
      {"query fails", [] { sim::FailCall("GetCurrentDirectoryA", 1, ERROR_ACCESS_DENIED); }},
      {"does not fit", [] {
         // Started from a folder deeper than the buffer; the desktop is unknown.
         std::string deep = "C:\\" + std::string(130, 'a') + "\\" + std::string(130, 'b');
         sim::MakeDir(deep);
         sim::M().currentDir = deep;
         sim::M().env.erase("PUBLIC");
       }},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    c.arrange();
    EXPECT_EQ(0, RunCleanerWith({}, "nk"));
    EXPECT_NE(std::string::npos,
              sim::M().console.find("Cleaner finished, check \"DU Vizodav\" directory for logs\n"));
  }
}

TEST_F(RunSequenceTest, FailedRebootIsReportedAndTheRunStillEndsWithZero)
{
  sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
  sim::M().rebootFails = true;
  EXPECT_EQ(0, RunCleanerWith({"-r"}, "k"));
  std::string console = sim::M().console;
  std::string tail = std::string(kRebootRestore) + "Failed to initiate system reboot. Restart your system manually.\n";
  ASSERT_GE(console.size(), tail.size());
  EXPECT_EQ(tail, console.substr(console.size() - tail.size()));
}

TEST_F(RunSequenceTest, NothingIsLoggedAfterTheLogIsClosed)
{
  sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
  sim::M().rebootFails = true;
  sim::FailCall("RegCreateKeyExA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(0, RunCleanerWith({}, "Yk"));
  std::vector<std::string> log = LastSection(kWin7Desktop);
  EXPECT_EQ("Failed to register for start after reboot for services restoration", log.back());
  // The reboot message follows the key, not the registration's outcome.
  EXPECT_NE(std::string::npos, sim::M().console.find(kRebootContinue));
}

}  // namespace

// On a Remote Desktop session host a process whose image is not marked
// terminal-server aware is given its user's own Windows folder, which holds
// no component store: the product, linked with the flag, replaces services.exe
// and reaches the file removal; the same program without the flag would not.
TEST_F(RunSequenceTest, SessionHostReachesTheRemovalOnlyAsATerminalServerAwareImage)
{
  EXPECT_TRUE(sim::kImageTsAware) << "the product is linked terminal-server aware";
  const std::string hideoutFile =
      "C:\\$Recycle.Bin\\S-1-5-21-1004336348-1177238915-682003330-1001\\$dd614f2ed03f70d242d5ededb36097d0\\n.dll";
  const struct {
    bool tsAware;
    const char *outcome;
    bool removed;
  } cases[] = {
      {true, "Restored services.exe successfully", true},
      {false, "Failed to restore services.exe", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.tsAware ? "terminal-server aware" : "not terminal-server aware");
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::LoadScenario(ReadScenario("server2008r2-session-host.json"), &scenario, &error)) << error;
    ASSERT_TRUE(sim::M().sessionHost);
    sim::M().imageTsAware = c.tsAware;
    ASSERT_TRUE(sim::Exists(hideoutFile));
    EXPECT_EQ(0, RunCleanerWith({}, "nk"));
    std::vector<std::string> log = LastSection(kWin7Desktop);
    auto has = [&](const std::string &line) { return std::find(log.begin(), log.end(), line) != log.end(); };
    EXPECT_TRUE(has(c.outcome));
    EXPECT_EQ(c.tsAware, has("Located clean services exe: C:\\Windows\\winsxs\\"
                             "amd64_microsoft-windows-services_31bf3856ad364e35_6.1.7601.17514_none_"
                             "2b2e3bff5a3d7d5f\\services.exe"));
    EXPECT_EQ(!c.tsAware, has("Failed to locate clean services.exe"));
    EXPECT_EQ(c.removed, !sim::Exists(hideoutFile));
    EXPECT_EQ(c.removed ? 1u : 0u, sim::M().pendingRenames.size());
  }
}
