// The cleaner log: location by edition, header, line formats, text mode,
// sections appended by later runs, and the unshared open.
#include "security.h"
#include "test_support.h"

namespace {

class CleanerLogTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
  }
};

struct FolderCase {
  DWORD major, minor;
  BYTE productType;
  DWORD code;
  const char *desktop;
};

TEST_F(CleanerLogTest, FolderByEdition)
{
  const FolderCase cases[] = {
      {5, 1, VER_NT_WORKSTATION, 0x51, kXpDesktop},
      {5, 2, VER_NT_WORKSTATION, 0x52, kXpDesktop},
      // Server 2003 has no %PUBLIC%; it takes the all-users desktop like XP.
      {5, 2, VER_NT_SERVER, 0x80000052, kXpDesktop},
      {6, 0, VER_NT_WORKSTATION, 0x60, kVistaDesktop},
      {6, 1, VER_NT_WORKSTATION, 0x61, kWin7Desktop},
      {6, 1, VER_NT_SERVER, 0x80000061, kWin7Desktop},
  };
  for (const FolderCase &c : cases) {
    SCOPED_TRACE(c.code);
    FreshMachine();
    sim::InstallWindows(c.major, c.minor, c.productType, false);
    ASSERT_NE(0, OpenCleanerLog(c.code));
    LogLine("x");
    CloseCleanerLog();
    EXPECT_EQ(c.desktop, sim::M().currentDir);
    sim::FsNode *folder = sim::Node(std::string(c.desktop) + "\\DU Vizodav");
    ASSERT_NE(nullptr, folder);
    EXPECT_TRUE(folder->isDir);
    EXPECT_EQ(std::vector<std::string>({"x"}), LastSection(c.desktop));
  }
}

TEST_F(CleanerLogTest, HeaderIsUtcAndLinesEndInCrLf)
{
  sim::M().clock = SYSTEMTIME{2012, 10, 5, 12, 9, 8, 7, 0};
  ASSERT_NE(0, OpenCleanerLog(0x61));
  LogLine("first");
  LogLine("second");
  CloseCleanerLog();
  EXPECT_EQ(std::string(62, '-') + "\r\nLog started 2012.10.12 09:08:07\r\nfirst\r\nsecond\r\n",
            LogFileBytes(kWin7Desktop));
}

TEST_F(CleanerLogTest, HeaderIsNotFlushedOnItsOwn)
{
  ASSERT_NE(0, OpenCleanerLog(0x61));
  EXPECT_EQ("", LogFileBytes(kWin7Desktop));
  LogLine("now");
  EXPECT_NE(std::string::npos, LogFileBytes(kWin7Desktop).find("Log started"));
}

TEST_F(CleanerLogTest, LaterRunAppendsSection)
{
  sim::MakeFile(std::string(kWin7Desktop) + "\\DU Vizodav\\TarvoskFix.log", "earlier run\r\n");
  ASSERT_NE(0, OpenCleanerLog(0x61));
  LogLine("again");
  CloseCleanerLog();
  std::vector<std::string> lines = LogFileLines(kWin7Desktop);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("earlier run", lines[0]);
  EXPECT_EQ(std::string(62, '-'), lines[1]);
  EXPECT_EQ("Log started 2012.10.12 12:48:50", lines[2]);
  EXPECT_EQ("again", lines[3]);
}

struct RegistryPathCase {
  const char *message;
  HKEY root;
  const char *value;
  const char *line;
};

TEST_F(CleanerLogTest, RegistryPathLines)
{
  const RegistryPathCase cases[] = {
      {"Failed to open registry key", HKEY_CLASSES_ROOT, nullptr, "Failed to open registry key HKCR\\A\\B "},
      {"Current registry value ", HKEY_LOCAL_MACHINE, "v", "Current registry value  HKLM\\A\\B \"v\""},
      {"New registry value ", HKEY_CURRENT_USER, "", "New registry value  HKCU\\A\\B \"\""},
      {"", HKEY_LOCAL_MACHINE, "v", "HKLM\\A\\B \"v\""},
      {"m", HKEY_USERS, nullptr, "m "},
      {"", HKEY_USERS, "", "\"\""},
  };
  ASSERT_NE(0, OpenCleanerLog(0x61));
  for (const RegistryPathCase &c : cases)
    LogRegistryPath(c.message, c.root, "A\\B", c.value);
  CloseCleanerLog();
  std::vector<std::string> lines = LastSection(kWin7Desktop);
  ASSERT_EQ(sizeof(cases) / sizeof(cases[0]), lines.size());
  for (size_t i = 0; i < lines.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cases[i].line, lines[i]);
  }
}

TEST_F(CleanerLogTest, ExistingFolderIsReusedWithoutCreation)
{
  sim::MakeDir(std::string(kWin7Desktop) + "\\DU Vizodav");
  ASSERT_NE(0, OpenCleanerLog(0x61));
  EXPECT_EQ(0, sim::M().callCounts["CreateDirectoryA"]);
}

struct OpenFailureCase {
  const char *what;
  std::function<void()> arrange;
};

TEST_F(CleanerLogTest, OpenFailures)
{
  const std::string folder = std::string(kWin7Desktop) + "\\DU Vizodav";
  const OpenFailureCase cases[] = {
      {"folder name taken by a file", [&] { sim::MakeFile(folder, "x"); }},
      {"log held by another process",
       [&] { sim::MakeFile(folder + "\\TarvoskFix.log", "").heldShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE; }},
      {"folder cannot be created", [&] { sim::Node(kWin7Desktop)->readOnlyMedia = true; }},
      {"stream open refused", [&] { sim::FailCall("_fsopen", 1, ERROR_ACCESS_DENIED); }},
      // A folder or log another user prepared sends the run's writes elsewhere.
      {"folder is a junction",
       [&] {
         sim::FsNode &j = sim::MakeDir(folder);
         j.reparseTarget = "C:\\Target";
         j.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
       }},
      {"log is a symbolic link",
       [&] {
         sim::FsNode &l = sim::MakeFile(folder + "\\TarvoskFix.log", "");
         l.reparseTarget = "C:\\Target\\system.dat";
         l.symlink = true;
         l.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
       }},
      {"log is a hard link",
       [&] {
         sim::MakeDir(folder);
         sim::MakeHardLink("C:\\Target\\system.dat", folder + "\\TarvoskFix.log");
       }},
      {"log is a folder", [&] { sim::MakeDir(folder + "\\TarvoskFix.log"); }},
      {"descriptor not built",
       [&] { sim::FailCall("ConvertStringSecurityDescriptorToSecurityDescriptorA", 1, ERROR_NOT_ENOUGH_MEMORY); }},
      {"folder not held", [&] { sim::FailCall("CreateFileW", 1, ERROR_SHARING_VIOLATION); }},
      {"folder not read", [&] { sim::FailCall("GetFileInformationByHandle", 1, ERROR_ACCESS_DENIED); }},
      {"log not examined", [&] { sim::FailCall("CreateFileW", 2, ERROR_ACCESS_DENIED); }},
  };
  for (const OpenFailureCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::MakeFile("C:\\Target\\system.dat", "system");
    c.arrange();
    EXPECT_EQ(0, OpenCleanerLog(0x61));
    EXPECT_EQ("Failed to create log file. Terminating.\n", sim::M().console);
    EXPECT_EQ(std::vector<std::string>({"C:\\Target\\system.dat"}), sim::ChildrenOf("C:\\Target"));
    EXPECT_EQ("system", sim::FileText("C:\\Target\\system.dat"));
    EXPECT_EQ(0u, sim::OpenHandles());
    EXPECT_EQ(0u, sim::M().localBlocks.size());
  }
}

// The folder the run makes grants SYSTEM and Administrators full control and
// the running account read access, protected from the desktop's entries;
// nothing for Everyone or Users.
TEST_F(CleanerLogTest, CreatedFolderIsForAdministratorsAndTheRunningAccount)
{
  ASSERT_NE(0, OpenCleanerLog(0x61));
  CloseCleanerLog();
  sim::FsNode *folder = sim::Node(std::string(kWin7Desktop) + "\\DU Vizodav");
  ASSERT_NE(nullptr, folder);
  sim::SecurityDescriptor sd;
  ASSERT_TRUE(sim::ParseSecurityDescriptor(folder->securityDescriptor.data(), folder->securityDescriptor.size(), &sd));
  EXPECT_TRUE(sd.control & SE_DACL_PROTECTED);
  std::vector<std::string> granted;
  for (const sim::Ace &a : sd.dacl) {
    EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, a.type);
    granted.push_back(sim::SidToString(a.sid.data()) + (a.mask == FILE_ALL_ACCESS ? " full" : " read"));
    if (a.mask != FILE_ALL_ACCESS) {
      EXPECT_EQ((DWORD)FILE_GENERIC_READ, a.mask);
    }
  }
  EXPECT_EQ(std::vector<std::string>({"S-1-5-18 full", "S-1-5-32-544 full", sim::M().userSid + " read"}), granted);
}

// An undo file that is a link, or a name of a file with others, is not
// written; the log says so once.
TEST_F(CleanerLogTest, LinkedUndoFileIsNotWritten)
{
  const std::string folder = std::string(kWin7Desktop) + "\\DU Vizodav";
  sim::MakeFile("C:\\Target\\system.dat", "system");
  sim::MakeDir(folder);
  sim::MakeHardLink("C:\\Target\\system.dat", folder + "\\TarvoskFix-undo.reg");
  ASSERT_NE(0, OpenCleanerLog(0x61));
  CloseCleanerLog();
  EXPECT_EQ(std::vector<std::string>({"Failed to write undo information"}), LastSection(kWin7Desktop));
  EXPECT_EQ("system", sim::FileText("C:\\Target\\system.dat"));
}

TEST_F(CleanerLogTest, SecondOpenerIsRefusedWhileTheFirstHoldsTheLog)
{
  ASSERT_NE(0, OpenCleanerLog(0x61));
  // A second copy of the program opens the same file the same way.
  FILE *second = _fsopen("DU Vizodav\\TarvoskFix.log", "a+", _SH_DENYRW);
  EXPECT_EQ(nullptr, second);
  CloseCleanerLog();
  second = _fsopen("DU Vizodav\\TarvoskFix.log", "a+", _SH_DENYRW);
  ASSERT_NE(nullptr, second);
  fclose(second);
}

TEST_F(CleanerLogTest, FailedExpansionOrDirectoryChangeLeavesCurrentDirectory)
{
  struct {
    const char *what;
    std::function<void()> arrange;
  } cases[] = {
      {"variable missing", [] { sim::M().env.erase("PUBLIC"); }},
      {"expansion too long", [] { sim::M().env["PUBLIC"] = "C:\\" + std::string(300, 'p'); }},
      {"directory change refused", [] { sim::FailCall("SetCurrentDirectoryA", 1, ERROR_ACCESS_DENIED); }},
      {"expansion refused", [] { sim::FailCall("ExpandEnvironmentStringsA", 1, ERROR_NOT_ENOUGH_MEMORY); }},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    c.arrange();
    ASSERT_NE(0, OpenCleanerLog(0x61));
    LogLine("here");
    CloseCleanerLog();
    EXPECT_EQ("C:\\Tools", sim::M().currentDir);
    EXPECT_EQ(std::vector<std::string>({"here"}), LastSection("C:\\Tools"));
  }
}

}  // namespace
