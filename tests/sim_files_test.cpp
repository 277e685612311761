// The simulated file calls the repair relies on: share modes, read counts,
// copies that must not overwrite, delayed moves carried out at the boot.
#include "test_support.h"

namespace {

class SimFilesTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, true);
    sim::MakeFile("C:\\d\\a.bin", std::string(10, 'a'));
  }
};

TEST_F(SimFilesTest, OpenErrors)
{
  struct {
    const char *path;
    DWORD access, share, disposition, error;
  } cases[] = {
      {"C:\\d\\none", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {"C:\\none\\x", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {"C:\\d", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {"C:\\d\\a.bin", GENERIC_READ, FILE_SHARE_READ, CREATE_NEW, ERROR_FILE_EXISTS},
      {"C:\\d\\a.bin", GENERIC_READ, FILE_SHARE_READ, 0, ERROR_INVALID_PARAMETER},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.path);
    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(c.path, c.access, c.share, nullptr, c.disposition, 0, nullptr));
    EXPECT_EQ(c.error, GetLastError());
  }
}

TEST_F(SimFilesTest, ShareModesOfOpenHandles)
{
  HANDLE reader = CreateFileA("C:\\d\\a.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);
  HANDLE second = CreateFileA("C:\\d\\a.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, second);
  // The first opener does not share writing.
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileA("C:\\d\\a.bin", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                        nullptr));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_TRUE(CloseHandle(reader));
  EXPECT_FALSE(CloseHandle(reader));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(SimFilesTest, SizeAndReadCounts)
{
  HANDLE f = CreateFileA("C:\\d\\a.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, f);
  DWORD high = 0xdeadbeef;
  EXPECT_EQ(10u, GetFileSize(f, &high));
  EXPECT_EQ(0u, high);
  char buf[16];
  memset(buf, 'z', sizeof(buf));
  DWORD read = 0xdeadbeef;
  EXPECT_TRUE(ReadFile(f, buf, 8, &read, nullptr));
  EXPECT_EQ(8u, read);
  EXPECT_TRUE(ReadFile(f, buf + 8, 8, &read, nullptr));
  EXPECT_EQ(2u, read) << "short read at the end";
  EXPECT_EQ('z', buf[10]);
  read = 0xdeadbeef;
  EXPECT_TRUE(ReadFile(f, buf, 8, &read, nullptr));
  EXPECT_EQ(0u, read);
  sim::FailCall("ReadFile", 4, ERROR_ACCESS_DENIED);
  read = 0xdeadbeef;
  EXPECT_FALSE(ReadFile(f, buf, 8, &read, nullptr));
  EXPECT_EQ(0u, read) << "cleared before anything else";
  CloseHandle(f);
  EXPECT_EQ(INVALID_FILE_SIZE, GetFileSize(f, nullptr));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(SimFilesTest, CopyThatMustNotOverwrite)
{
  sim::MakeFile("C:\\d\\b.bin", "bb");
  sim::MakeDir("C:\\d\\folder");
  EXPECT_FALSE(CopyFileA("C:\\d\\a.bin", "C:\\d\\b.bin", TRUE));
  EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
  EXPECT_EQ("bb", sim::FileText("C:\\d\\b.bin"));
  EXPECT_FALSE(CopyFileA("C:\\d\\a.bin", "C:\\d\\folder", TRUE));
  EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
  EXPECT_FALSE(CopyFileA("C:\\d\\a.bin", "C:\\d\\folder", FALSE));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_FALSE(CopyFileA("C:\\d\\none", "C:\\d\\c.bin", TRUE));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_TRUE(CopyFileA("C:\\d\\a.bin", "C:\\d\\c.bin", TRUE));
  EXPECT_EQ(std::string(10, 'a'), sim::FileText("C:\\d\\c.bin"));
  EXPECT_TRUE(CopyFileA("C:\\d\\a.bin", "C:\\d\\b.bin", FALSE));
  EXPECT_EQ(std::string(10, 'a'), sim::FileText("C:\\d\\b.bin"));
}

TEST_F(SimFilesTest, DelayedMovesAreCarriedOutAtTheBoot)
{
  sim::MakeFile("C:\\d\\target.bin", "old");
  sim::MakeFile("C:\\d\\keep.bin", "keep");
  sim::MakeFile("C:\\d\\new.bin", "new");
  sim::M().currentDir = "C:\\d";
  ASSERT_TRUE(MoveFileExA("a.bin", "target.bin", MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT));
  ASSERT_TRUE(MoveFileExA("new.bin", "keep.bin", MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_FALSE(MoveFileExA("none.bin", "x.bin", MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_FALSE(MoveFileExA("new.bin", "x.bin", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  ASSERT_EQ(2u, sim::M().pendingRenames.size());
  EXPECT_EQ("\\??\\C:\\d\\a.bin", sim::M().pendingRenames[0].from);
  EXPECT_EQ("!\\??\\C:\\d\\target.bin", sim::M().pendingRenames[0].to);
  EXPECT_EQ("\\??\\C:\\d\\keep.bin", sim::M().pendingRenames[1].to);
  EXPECT_EQ("old", sim::FileText("C:\\d\\target.bin")) << "nothing moves before the boot";

  sim::Reboot();
  EXPECT_EQ(std::string(10, 'a'), sim::FileText("C:\\d\\target.bin"));
  EXPECT_FALSE(sim::Exists("C:\\d\\a.bin"));
  // Without MOVEFILE_REPLACE_EXISTING an existing target stays.
  EXPECT_EQ("keep", sim::FileText("C:\\d\\keep.bin"));
  EXPECT_TRUE(sim::Exists("C:\\d\\new.bin"));
  EXPECT_TRUE(sim::M().pendingRenames.empty());
}

TEST_F(SimFilesTest, SystemFoldersAndRedirection)
{
  char buf[MAX_PATH];
  memset(buf, 'z', sizeof(buf));
  EXPECT_EQ(19u, GetSystemDirectoryA(buf, sizeof(buf)));
  EXPECT_STREQ("C:\\Windows\\system32", buf);
  EXPECT_EQ(20u, GetSystemDirectoryA(buf, 19)) << "size needed, with the terminator";
  EXPECT_EQ(10u, GetWindowsDirectoryA(buf, sizeof(buf)));
  EXPECT_STREQ("C:\\Windows", buf);
  // A WOW64 process reaches SysWOW64 through the same name until it turns redirection off.
  sim::MakeFile("C:\\Windows\\SysWOW64\\x.bin", "32");
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\Windows\\system32\\x.bin"));
  sim::M().redirectionOff = true;
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\Windows\\system32\\x.bin"));
  sim::FailCall("GetWindowsDirectoryA", 2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(0u, GetWindowsDirectoryA(buf, sizeof(buf)));
}

}  // namespace
