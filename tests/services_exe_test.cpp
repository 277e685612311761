// services.exe infection test: the header test on any image, read-only and
// releasing everything; the installed file through the native system32.
#include "pe_support.h"
#include "test_support.h"

namespace {

const char *const kImage = "C:\\images\\test.exe";

class ServicesExeTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, true);
    sim::M().redirectionOff = true;  // as the run sequence leaves it
  }
};

// An image whose header block would say infected unless the case changes it.
std::vector<uint8_t> Infected(size_t size = 0)
{
  sim::PeImageOptions options = PeOptions(true, false);
  options.size = size;
  return sim::BuildPeImage(options);
}

std::vector<uint8_t> AtOffset(uint32_t peOffset, bool x64)
{
  sim::PeImageOptions options = PeOptions(x64, false);
  options.peOffset = peOffset;
  return sim::BuildPeImage(options);
}

struct HeaderCase {
  const char *what;
  std::function<std::vector<uint8_t>()> bytes;
  int infected;
  bool read;  // the header block was read
};

TEST_F(ServicesExeTest, HeaderCases)
{
  const HeaderCase cases[] = {
      {"PE32+ with DYNAMIC_BASE", [] { return PeImage(true, true); }, 0, true},
      {"PE32+ without DYNAMIC_BASE", [] { return PeImage(true, false); }, 1, true},
      {"PE32 with DYNAMIC_BASE", [] { return PeImage(false, true); }, 0, true},
      {"PE32 without DYNAMIC_BASE", [] { return PeImage(false, false); }, 1, true},
      {"4096 bytes", [] { return Infected(4096); }, 0, false},
      {"4097 bytes", [] { return Infected(4097); }, 1, true},
      {"empty", [] { return std::vector<uint8_t>(); }, 0, false},
      {"e_lfanew 3848", [] { return AtOffset(3848, false); }, 1, true},
      {"e_lfanew 3848, PE32+", [] { return AtOffset(3848, true); }, 1, true},
      {"e_lfanew 3849", [] { return AtOffset(3849, false); }, 0, true},
      {"e_lfanew negative",
       [] {
         std::vector<uint8_t> b = Infected();
         PutLe32(b, 0x3C, 0x80000080);
         return b;
       },
       0, true},
      {"no PE signature",
       [] {
         std::vector<uint8_t> b = Infected();
         b[0x80 + 1] = 'X';
         return b;
       },
       0, true},
      {"no MZ",
       [] {
         std::vector<uint8_t> b = Infected();
         b[0] = 'Z';
         b[1] = 'M';
         return b;
       },
       0, true},
  };
  for (const HeaderCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    std::vector<uint8_t> bytes = c.bytes();
    sim::MakeFile(kImage, bytes);
    OpenTestLog(0x61);
    EXPECT_EQ(c.infected, IsImageInfected(kImage));
    EXPECT_EQ(c.read ? 1 : 0, sim::M().callCounts["ReadFile"]);
    EXPECT_TRUE(LastSection(kWin7Desktop).empty()) << "nothing logged";
    EXPECT_EQ(bytes, sim::Node(kImage)->data) << "read-only";
    EXPECT_EQ(1u, sim::OpenHandles(sim::HandleKind::File)) << "only the log folder, held for the run";
    EXPECT_EQ(0u, sim::M().heapBlocks.size());
  }
}

struct ExamineFailureCase {
  const char *what;
  std::function<void()> arrange;
  int infected;
};

TEST_F(ServicesExeTest, FilesThatCannotBeExaminedAreJudgedClean)
{
  const ExamineFailureCase cases[] = {
      {"missing file", [] { sim::RemoveNode(kImage); }, 0},
      {"a folder", [] { sim::RemoveNode(kImage), sim::MakeDir(kImage); }, 0},
      {"open denied", [] { sim::FailCall("CreateFileA", 1, ERROR_ACCESS_DENIED); }, 0},
      {"held open for writing", [] { sim::Node(kImage)->heldShareMode = FILE_SHARE_READ; }, 0},
      {"no heap", [] { sim::FailCall("HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY); }, 0},
      {"read fails", [] { sim::FailCall("ReadFile", 1, ERROR_ACCESS_DENIED); }, 0},
      // INVALID_FILE_SIZE is above 4096: the header is read all the same.
      {"size query fails", [] { sim::FailCall("GetFileSize", 1, ERROR_INVALID_HANDLE); }, 1},
      {"size query fails, short read",
       [] {
         sim::FailCall("GetFileSize", 1, ERROR_INVALID_HANDLE);
         sim::Node(kImage)->data.resize(4000);
       },
       0},
  };
  for (const ExamineFailureCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::MakeFile(kImage, Infected());
    c.arrange();
    OpenTestLog(0x61);
    EXPECT_EQ(c.infected, IsImageInfected(kImage));
    EXPECT_TRUE(LastSection(kWin7Desktop).empty());
    EXPECT_EQ(1u, sim::OpenHandles(sim::HandleKind::File)) << "only the log folder, held for the run";
    EXPECT_EQ(0u, sim::M().heapBlocks.size());
  }
}

TEST_F(ServicesExeTest, OpensForReadingSharedWithReadersOnly)
{
  sim::MakeFile(kImage, Infected());
  struct {
    DWORD access, share;
    int infected;
  } others[] = {
      {GENERIC_READ, FILE_SHARE_READ, 1},
      {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 1},
      {GENERIC_READ, FILE_SHARE_WRITE, 0},  // does not share reading
      {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0},  // a writer
  };
  for (auto &o : others) {
    SCOPED_TRACE(o.access | o.share);
    HANDLE other = CreateFileA(kImage, o.access, o.share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    EXPECT_EQ(o.infected, IsImageInfected(kImage));
    EXPECT_EQ(1u, sim::OpenHandles(sim::HandleKind::File)) << "only the other opener's";
    CloseHandle(other);
  }
}

TEST_F(ServicesExeTest, InstalledFileInTheNativeSystemFolder)
{
  sim::MakeFile("C:\\Windows\\system32\\services.exe", PeImage(true, false));
  sim::MakeFile("C:\\Windows\\SysWOW64\\services.exe", PeImage(false, true));
  EXPECT_EQ(1, IsServicesExeInfected());
  // With redirection on, system32 would be SysWOW64.
  sim::M().redirectionOff = false;
  EXPECT_EQ(0, IsServicesExeInfected());
}

TEST_F(ServicesExeTest, MissingServicesExeIsCleanWithoutALine)
{
  OpenTestLog(0x61);
  EXPECT_EQ(0, IsServicesExeInfected());
  EXPECT_TRUE(LastSection(kWin7Desktop).empty());
}

TEST_F(ServicesExeTest, SystemFolderFailures)
{
  struct {
    const char *what;
    std::function<void()> arrange;
  } cases[] = {
      {"query fails", [] { sim::FailCall("GetSystemDirectoryA", 1, ERROR_ACCESS_DENIED); }},
      // No room for "\services.exe" in the path buffer: never cut short.
      {"too long for the file name", [] { sim::M().env["SYSTEMROOT"] = "C:\\" + std::string(240, 'w'); }},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::MakeFile("C:\\Windows\\system32\\services.exe", PeImage(true, false));
    c.arrange();
    OpenTestLog(0x61);
    EXPECT_EQ(0, IsServicesExeInfected());
    EXPECT_EQ(std::vector<std::string>({"Failed to get services.exe path"}), LastSection(kWin7Desktop));
    EXPECT_EQ(0, sim::M().callCounts["CreateFileA"]);
  }
}

}  // namespace
