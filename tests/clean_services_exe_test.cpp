// Clean services.exe restore: the version line, the component-store search,
// the backup beside the log and the delayed replacement; and the run
// sequence around it.
#include "pe_support.h"
#include "test_support.h"

namespace {

const char *const kInstalled = "C:\\Windows\\system32\\services.exe";
const char *const kWinSxs = "C:\\Windows\\winsxs\\";
const char *const kServices64 = "amd64_microsoft-windows-services_31bf3856ad364e35_6.1.7601.17514_none_2b2e3bff5a3d7d5f";
const char *const kServicesWow = "x86_microsoft-windows-services_31bf3856ad364e35_6.1.7601.17514_none_cf0fa07ba1e00c29";
const std::string kBackup = std::string(kWin7Desktop) + "\\DU Vizodav\\services.exe.infected";

std::string Candidate(const std::string &folder) { return kWinSxs + folder + "\\services.exe"; }

class CleanServicesExeTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    Install();
  }
  // Windows 7 x64 as the run sequence leaves it: redirection off, the log
  // open on the public desktop, the patched services.exe in system32.
  void Install()
  {
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, true);
    sim::M().redirectionOff = true;
    sim::MakeFile(kInstalled, PeImage(true, false));
  }
  void Fresh()
  {
    FreshMachine();
    Install();
  }
  void AddCandidate(const std::string &folder, const std::vector<uint8_t> &image)
  {
    sim::MakeFile(Candidate(folder), image);
  }
};

TEST_F(CleanServicesExeTest, ReadFileVersion)
{
  struct {
    const char *what;
    std::vector<uint8_t> bytes;
    ULONGLONG version;
  } cases[] = {
      {"PE32+", PeImage(true, false, "6.1.7601.17514"), 0x000600011DB1446Aull},
      {"PE32", PeImage(false, true, "6.0.6002.18005"), 0x0006000017724655ull},
      {"largest parts", PeImage(true, true, "65535.65535.65535.65535"), 0xFFFFFFFFFFFFFFFFull},
      {"no version resource", PeImage(true, true, ""), 0},
      {"not an image", std::vector<uint8_t>(5000, 'x'), 0},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    sim::MakeFile("C:\\x\\file.exe", c.bytes);
    EXPECT_EQ(c.version, ReadFileVersion("C:\\x\\file.exe"));
  }
  EXPECT_EQ(0u, ReadFileVersion("C:\\x\\missing.exe"));
  EXPECT_EQ(0u, sim::M().heapBlocks.size());
}

TEST_F(CleanServicesExeTest, ReadFileVersionFailures)
{
  for (const char *call : {"GetFileVersionInfoSizeA", "HeapAlloc", "GetFileVersionInfoA", "VerQueryValueA"}) {
    SCOPED_TRACE(call);
    Fresh();
    sim::FailCall(call, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(0u, ReadFileVersion(kInstalled));
    EXPECT_EQ(0u, sim::M().heapBlocks.size()) << "buffer released";
    EXPECT_EQ(0u, sim::OpenHandles());
  }
}

TEST_F(CleanServicesExeTest, SameVersionCopyReplacesTheInstalledFileAtTheNextBoot)
{
  std::vector<uint8_t> infected = sim::Node(kInstalled)->data;
  std::vector<uint8_t> clean = PeImage(true, true);
  AddCandidate(kServices64, clean);
  OpenTestLog(0x61);
  EXPECT_EQ(1, RestoreCleanServicesExe());
  EXPECT_EQ(std::vector<std::string>({"Current infected services.exe version: 6.1.7601.17514",
                                      "Located clean services exe: " + Candidate(kServices64),
                                      "Making backup of current services.exe"}),
            LastSection(kWin7Desktop));
  // The backup beside the log; the installed file stays until the boot.
  ASSERT_TRUE(sim::Exists(kBackup));
  EXPECT_EQ(infected, sim::Node(kBackup)->data);
  EXPECT_EQ(infected, sim::Node(kInstalled)->data);
  ASSERT_EQ(1u, sim::M().pendingRenames.size());
  EXPECT_EQ("\\??\\" + Candidate(kServices64), sim::M().pendingRenames[0].from);
  EXPECT_EQ("!\\??\\C:\\Windows\\system32\\services.exe", sim::M().pendingRenames[0].to);

  CloseCleanerLog();
  sim::Reboot();
  EXPECT_EQ(clean, sim::Node(kInstalled)->data);
  EXPECT_EQ("services.exe", sim::Node(kInstalled)->name);
  EXPECT_FALSE(sim::Exists(Candidate(kServices64))) << "moved, not copied";
  EXPECT_EQ(infected, sim::Node(kBackup)->data);
}

TEST_F(CleanServicesExeTest, FirstCandidateOfTheSearchWins)
{
  AddCandidate(kServices64, PeImage(true, true));
  AddCandidate(kServicesWow, PeImage(false, true));
  OpenTestLog(0x61);
  EXPECT_EQ(1, RestoreCleanServicesExe());
  EXPECT_EQ("Located clean services exe: " + Candidate(kServices64), LastSection(kWin7Desktop)[1]);
  ASSERT_EQ(1u, sim::M().pendingRenames.size());
  EXPECT_EQ("\\??\\" + Candidate(kServices64), sim::M().pendingRenames[0].from);
  EXPECT_EQ(1, sim::M().callCounts["FindClose"]);
}

TEST_F(CleanServicesExeTest, EntriesThatAreNotASameVersionCleanCopyArePassedOver)
{
  // In the search's order; only the last is taken.
  sim::MakeFile(std::string(kWinSxs) + "amd64_microsoft-windows-s..-file_31bf3856ad364e35", "not a folder");
  sim::MakeDir(std::string(kWinSxs) + "amd64_microsoft-windows-scripting_31bf3856ad364e35_empty");
  sim::MakeDir(Candidate("amd64_microsoft-windows-security_31bf3856ad364e35_folder"));
  AddCandidate("amd64_microsoft-windows-serial_31bf3856ad364e35_6.1.7600.16385", PeImage(true, true, "6.1.7600.16385"));
  AddCandidate("amd64_microsoft-windows-server_31bf3856ad364e35_6.1.7601.21000", PeImage(true, true, "6.1.7601.21000"));
  // Patched like the installed file: not a clean copy.
  AddCandidate("amd64_microsoft-windows-services_31bf3856ad364e35_6.1.7601.17514_patched", PeImage(true, false));
  // Right version, outside the pattern.
  AddCandidate("amd64_microsoft-windows-tcpip_31bf3856ad364e35_6.1.7601.17514", PeImage(true, true));
  sim::MakeFile(std::string(kWinSxs) + "wow64_microsoft-windows-services.manifest", "");
  AddCandidate("x86_microsoft-windows-services_31bf3856ad364e35_6.1.7601.17514", PeImage(false, true));
  OpenTestLog(0x61);
  EXPECT_EQ(1, RestoreCleanServicesExe());
  std::vector<std::string> log = LastSection(kWin7Desktop);
  ASSERT_EQ(3u, log.size()) << "no line for a skipped entry";
  EXPECT_EQ("Located clean services exe: " + Candidate("x86_microsoft-windows-services_31bf3856ad364e35_6.1.7601.17514"),
            log[1]);
}

TEST_F(CleanServicesExeTest, OnlyAPatchedSameVersionCopy)
{
  AddCandidate(kServices64, PeImage(true, false));
  OpenTestLog(0x61);
  EXPECT_EQ(0, RestoreCleanServicesExe());
  EXPECT_EQ(std::vector<std::string>(
                {"Current infected services.exe version: 6.1.7601.17514", "Failed to locate clean services.exe"}),
            LastSection(kWin7Desktop));
  EXPECT_FALSE(sim::Exists(kBackup));
  EXPECT_TRUE(sim::M().pendingRenames.empty());
}

TEST_F(CleanServicesExeTest, UnreadableInstalledVersionMatchesOnlyAnUnreadableOne)
{
  for (bool unversionedCandidate : {false, true}) {
    SCOPED_TRACE(unversionedCandidate);
    Fresh();
    sim::MakeFile(kInstalled, PeImage(true, false, ""));
    AddCandidate(kServices64, PeImage(true, true));
    if (unversionedCandidate)
      AddCandidate(kServicesWow, PeImage(false, true, ""));
    OpenTestLog(0x61);
    EXPECT_EQ(unversionedCandidate ? 1 : 0, RestoreCleanServicesExe());
    std::vector<std::string> log = LastSection(kWin7Desktop);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ("Current infected services.exe version: 0.0.0.0", log[0]);
    EXPECT_EQ(unversionedCandidate ? "Located clean services exe: " + Candidate(kServicesWow)
                                   : "Failed to locate clean services.exe",
              log[1]);
  }
}

TEST_F(CleanServicesExeTest, BackupLeftByAnEarlierRunStays)
{
  sim::MakeFile(kBackup, "first run's backup");
  AddCandidate(kServices64, PeImage(true, true));
  OpenTestLog(0x61);
  EXPECT_EQ(1, RestoreCleanServicesExe());
  EXPECT_EQ(2u, LastSection(kWin7Desktop).size()) << "no backup line";
  EXPECT_EQ("first run's backup", sim::FileText(kBackup));
  EXPECT_EQ(0, sim::M().callCounts["CopyFileA"]);
  EXPECT_EQ(1u, sim::M().pendingRenames.size());
}

TEST_F(CleanServicesExeTest, BackupNameTakenByAFolder)
{
  sim::MakeDir(kBackup);
  AddCandidate(kServices64, PeImage(true, true));
  OpenTestLog(0x61);
  EXPECT_EQ(1, RestoreCleanServicesExe());
  EXPECT_EQ("Making backup of current services.exe", LastSection(kWin7Desktop).back());
  EXPECT_EQ(1, sim::M().callCounts["CopyFileA"]);
  EXPECT_TRUE(sim::Node(kBackup)->isDir) << "the copy failed";
  EXPECT_TRUE(sim::ChildrenOf(kBackup).empty());
  EXPECT_EQ(1u, sim::M().pendingRenames.size());
}

struct FailureCase {
  const char *what;
  std::function<void()> arrange;
  std::vector<std::string> log;
  int result;
  bool backup, pending;
};

TEST_F(CleanServicesExeTest, FailureRows)
{
  const std::string version = "Current infected services.exe version: 6.1.7601.17514";
  const std::string located = "Located clean services exe: " + Candidate(kServices64);
  const std::string backup = "Making backup of current services.exe";
  const FailureCase cases[] = {
      {"system folder", [] { sim::FailCall("GetSystemDirectoryA", 1, ERROR_ACCESS_DENIED); },
       {"Failed to get services.exe path"}, 0, false, false},
      {"windows folder", [] { sim::FailCall("GetWindowsDirectoryA", 1, ERROR_ACCESS_DENIED); },
       {"Failed to get windows path"}, 0, false, false},
      {"search cannot start", [] { sim::FailCall("FindFirstFileA", 1, ERROR_ACCESS_DENIED); },
       {version, "Failed to locate clean services.exe"}, 0, false, false},
      {"no component store", [] { sim::RemoveNode("C:\\Windows\\winsxs"); },
       {version, "Failed to locate clean services.exe"}, 0, false, false},
      {"search ends early",
       [] {
         sim::MakeDir(std::string(kWinSxs) + "amd64_microsoft-windows-s_first");
         sim::FailCall("FindNextFileA", 1, ERROR_NO_MORE_FILES);
       },
       {version, "Failed to locate clean services.exe"}, 0, false, false},
      {"backup copy fails", [] { sim::FailCall("CopyFileA", 1, ERROR_ACCESS_DENIED); },
       {version, located, backup}, 1, false, true},
      // A refused replacement is a failed restore, not a success.
      {"move request fails", [] { sim::FailCall("MoveFileExA", 1, ERROR_ACCESS_DENIED); },
       {version, located, backup, "Failed to schedule services.exe replacement"}, 0, true, false},
  };
  for (const FailureCase &c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    AddCandidate(kServices64, PeImage(true, true));
    c.arrange();
    OpenTestLog(0x61);
    EXPECT_EQ(c.result, RestoreCleanServicesExe());
    EXPECT_EQ(c.log, LastSection(kWin7Desktop));
    EXPECT_EQ(c.backup, sim::Exists(kBackup));
    EXPECT_EQ(c.pending, !sim::M().pendingRenames.empty());
    EXPECT_EQ(0u, sim::OpenHandles(sim::HandleKind::Find));
    EXPECT_EQ(0u, sim::M().heapBlocks.size());
  }
}

TEST_F(CleanServicesExeTest, PathsThatWouldNotFitAreSkippedNotCut)
{
  // A component folder whose candidate path is longer than the buffer.
  std::string longFolder = "amd64_microsoft-windows-services_" + std::string(200, 'l');
  AddCandidate(longFolder, PeImage(true, true));
  AddCandidate(kServicesWow, PeImage(false, true));
  OpenTestLog(0x61);
  EXPECT_EQ(1, RestoreCleanServicesExe());
  EXPECT_EQ("Located clean services exe: " + Candidate(kServicesWow), LastSection(kWin7Desktop)[1]);

  // A Windows folder that leaves room for services.exe but not for the pattern.
  Fresh();
  std::string windows = "C:\\" + std::string(232, 'w');
  sim::M().env["SYSTEMROOT"] = windows;
  sim::MakeFile(windows + "\\system32\\services.exe", PeImage(true, false));
  OpenTestLog(0x61);
  EXPECT_EQ(0, RestoreCleanServicesExe());
  EXPECT_EQ(std::vector<std::string>(
                {"Current infected services.exe version: 6.1.7601.17514", "Failed to locate clean services.exe"}),
            LastSection(kWin7Desktop));
  EXPECT_EQ(0, sim::M().callCounts["FindFirstFileA"]);
}

// ---- the run sequence around the restore ------------------------------------

class RepairRunTest : public CleanServicesExeTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, true);
    sim::MakeFile(kInstalled, PeImage(true, false));
    // The 32-bit copy a redirected process would see.
    sim::MakeFile("C:\\Windows\\SysWOW64\\services.exe", PeImage(false, true));
    sim::M().recordCalls = true;
  }
  // The log lines after the eight COM entries' lines.
  std::vector<std::string> AfterComRepair()
  {
    std::vector<std::string> log = LastSection(kWin7Desktop);
    EXPECT_GE(log.size(), 9u);
    EXPECT_EQ("Detected post-Vista 64 bit windows system", log[0]);
    return std::vector<std::string>(log.begin() + 9, log.end());
  }
  bool RemovalRan()
  {
    for (const sim::CallRecord &c : sim::M().calls)
      if (c.function == "FindFirstFileW" || c.function == "DeleteFileW" || c.function == "RemoveDirectoryW")
        return true;
    return false;
  }
};

TEST_F(RepairRunTest, InfectedWithACleanCopy)
{
  AddCandidate(kServices64, PeImage(true, true));
  EXPECT_EQ(0, RunCleanerWith({}, "nk"));
  std::vector<std::string> log = AfterComRepair();
  const std::vector<std::string> expected = {"services.exe appears to be infected",
                                             "Current infected services.exe version: 6.1.7601.17514",
                                             "Located clean services exe: " + Candidate(kServices64),
                                             "Making backup of current services.exe",
                                             "Restored services.exe successfully"};
  ASSERT_GE(log.size(), expected.size() + 1);
  EXPECT_EQ(expected, std::vector<std::string>(log.begin(), log.begin() + (long)expected.size()));
  EXPECT_EQ("Cleaning finished", log.back());
  // The native file was tested, backed up and is the one to be replaced.
  EXPECT_EQ(sim::Node(kInstalled)->data, sim::Node(kBackup)->data);
  ASSERT_EQ(1u, sim::M().pendingRenames.size());
  EXPECT_EQ("!\\??\\C:\\Windows\\system32\\services.exe", sim::M().pendingRenames[0].to);
  for (const sim::CallRecord &c : sim::M().calls) {
    if (c.function == "CreateFileA" || c.function == "FindFirstFileA" || c.function == "MoveFileExA") {
      EXPECT_TRUE(c.redirectionOff) << c.function;
    }
  }
}

TEST_F(RepairRunTest, InfectedWithoutACleanCopyLeavesTheRemovalOut)
{
  EXPECT_EQ(0, RunCleanerWith({}, "nk"));
  EXPECT_EQ(std::vector<std::string>({"services.exe appears to be infected",
                                      "Current infected services.exe version: 6.1.7601.17514",
                                      "Failed to locate clean services.exe", "Failed to restore services.exe",
                                      "Cleaning finished"}),
            AfterComRepair());
  EXPECT_FALSE(RemovalRan());
  // The question, the closing messages and the reboot follow as usual.
  EXPECT_NE(std::string::npos, sim::M().console.find("Do you want to do that (y/n)?"));
  EXPECT_EQ(1u, sim::M().reboots.size());
}

TEST_F(RepairRunTest, RefusedReplacementIsAFailedRestore)
{
  AddCandidate(kServices64, PeImage(true, true));
  sim::FailCall("MoveFileExA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(0, RunCleanerWith({}, "nk"));
  std::vector<std::string> log = AfterComRepair();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(std::vector<std::string>({"Failed to schedule services.exe replacement", "Failed to restore services.exe",
                                      "Cleaning finished"}),
            std::vector<std::string>(log.end() - 3, log.end()));
  EXPECT_FALSE(RemovalRan());
}

TEST_F(RepairRunTest, CleanServicesExe)
{
  sim::MakeFile(kInstalled, PeImage(true, true));
  EXPECT_EQ(0, RunCleanerWith({}, "nk"));
  std::vector<std::string> log = AfterComRepair();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ("services.exe appears to be clean", log[0]);
  EXPECT_EQ(0, sim::M().callCounts["FindFirstFileA"]);
  EXPECT_TRUE(sim::M().pendingRenames.empty());
}

TEST_F(RepairRunTest, NoServicesExeTestBeforeVista)
{
  FreshMachine();
  sim::InstallWindows(5, 2, VER_NT_WORKSTATION, true);
  sim::MakeFile("C:\\WINDOWS\\system32\\services.exe", PeImage(true, false));
  sim::M().recordCalls = true;
  EXPECT_EQ(0, RunCleanerWith({}, "nk"));
  // The system folder is asked for only to load libraries before
  // redirection goes off, never by a cleaning step.
  for (const sim::CallRecord &c : sim::M().calls)
    EXPECT_FALSE(c.function == "GetSystemDirectoryA" && c.redirectionOff);
  EXPECT_EQ(0, sim::M().callCounts["CreateFileA"]);
  std::vector<std::string> log = LastSection(kXpDesktop);
  for (const std::string &line : log)
    EXPECT_EQ(std::string::npos, line.find("services.exe")) << line;
}

}  // namespace
