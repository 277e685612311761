// The PE fixtures and the simulated version.dll that reads them: header
// fields where the loader and the infection test look, and the version
// resource found through the resource directory.
#include "pe_support.h"
#include "test_support.h"

namespace {

uint32_t Le16(const std::vector<uint8_t> &b, size_t at) { return b[at] | b[at + 1] << 8; }
uint32_t Le32(const std::vector<uint8_t> &b, size_t at) { return Le16(b, at) | Le16(b, at + 2) << 16; }

class PeImageTest : public SimTest {};

struct LayoutCase {
  bool x64, dynamicBase;
  uint32_t machine, magic, optionalSize;
};

TEST_F(PeImageTest, HeadersOfBothKinds)
{
  const LayoutCase cases[] = {
      {true, true, 0x8664, 0x20B, 240},
      {true, false, 0x8664, 0x20B, 240},
      {false, true, 0x14C, 0x10B, 224},
      {false, false, 0x14C, 0x10B, 224},
  };
  for (const LayoutCase &c : cases) {
    SCOPED_TRACE(std::string(c.x64 ? "PE32+" : "PE32") + (c.dynamicBase ? " dynamic base" : " fixed base"));
    std::vector<uint8_t> b = PeImage(c.x64, c.dynamicBase);
    ASSERT_GT(b.size(), 4096u) << "larger than the block the infection test reads";
    EXPECT_EQ('M', b[0]);
    EXPECT_EQ('Z', b[1]);
    uint32_t pe = Le32(b, 0x3C);
    EXPECT_EQ(0x4550u, Le32(b, pe));
    EXPECT_EQ(c.machine, Le16(b, pe + 4));
    EXPECT_EQ(c.optionalSize, Le16(b, pe + 20));
    EXPECT_EQ(c.magic, Le16(b, pe + 24));
    EXPECT_EQ(c.dynamicBase ? 0x40u : 0u, Le16(b, pe + 94) & 0x40);
    EXPECT_EQ(0x100u, Le16(b, pe + 94) & 0x100) << "NX_COMPAT either way";
    // Sections at the file and section alignments, the resource directory inside .rsrc.
    uint32_t opt = pe + 24, table = opt + c.optionalSize, headers = Le32(b, opt + 60);
    uint32_t resourceDir = opt + (c.x64 ? 112 : 96) + 16;
    EXPECT_EQ(2u, Le16(b, pe + 6));
    EXPECT_EQ(0u, headers % 0x200);
    EXPECT_GE(headers, table + 80);
    uint32_t rsrcRva = Le32(b, table + 40 + 12), rsrcRaw = Le32(b, table + 40 + 20);
    EXPECT_EQ(0, memcmp(&b[table + 40], ".rsrc", 5));
    EXPECT_EQ(0u, rsrcRva % 0x1000);
    EXPECT_EQ(0u, rsrcRaw % 0x200);
    EXPECT_EQ(rsrcRva, Le32(b, resourceDir));
    EXPECT_EQ(16u, Le32(b, rsrcRaw + 16)) << "RT_VERSION";
    EXPECT_GE(Le32(b, opt + 56), rsrcRva + Le32(b, resourceDir + 4)) << "SizeOfImage covers .rsrc";
  }
}

TEST_F(PeImageTest, SizeCutsOrPads)
{
  sim::PeImageOptions options = PeOptions(true, false);
  std::vector<uint8_t> whole = sim::BuildPeImage(options);
  for (size_t size : {(size_t)4096, (size_t)4097, whole.size() + 100}) {
    SCOPED_TRACE(size);
    options.size = size;
    std::vector<uint8_t> b = sim::BuildPeImage(options);
    ASSERT_EQ(size, b.size());
    size_t common = size < whole.size() ? size : whole.size();
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + (long)common, whole.begin()));
  }
}

TEST_F(PeImageTest, VersionResourceReadThroughVersionDll)
{
  sim::MakeFile("C:\\x\\services.exe", PeImage(true, true, "6.1.7601.17514"));
  DWORD handle = 0xdeadbeef;
  DWORD size = GetFileVersionInfoSizeA("C:\\x\\services.exe", &handle);
  EXPECT_EQ(0u, handle);
  ASSERT_NE(0u, size);
  std::vector<uint8_t> block(size, 0xCC);
  ASSERT_TRUE(GetFileVersionInfoA("C:\\x\\services.exe", 0, size, block.data()));
  // The block starts with VS_VERSIONINFO: wLength, wValueLength 52, binary.
  EXPECT_EQ(size, Le16(block, 0) * 2 + 4);
  EXPECT_EQ(52u, Le16(block, 2));
  EXPECT_EQ(0u, Le16(block, 4));

  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0xdeadbeef;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", (LPVOID *)&fixed, &length));
  EXPECT_EQ(52u, length);
  EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
  EXPECT_EQ(0x00060001u, fixed->dwFileVersionMS);
  EXPECT_EQ(0x1DB1446Au, fixed->dwFileVersionLS);  // 7601.17514

  char *text = nullptr;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\FileVersion", (LPVOID *)&text, &length));
  EXPECT_STREQ("6.1.7601.17514", text);
  EXPECT_EQ(15u, length) << "characters with the terminator";
  BYTE *translation = nullptr;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", (LPVOID *)&translation, &length));
  EXPECT_EQ(4u, length);
  EXPECT_EQ(0x0409u, (uint32_t)(translation[0] | translation[1] << 8));
  EXPECT_EQ(0x04B0u, (uint32_t)(translation[2] | translation[3] << 8));
  EXPECT_FALSE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\Missing", (LPVOID *)&text, &length));
  EXPECT_EQ(0u, sim::OpenHandles());
}

TEST_F(PeImageTest, VersionAtTheLargestHeaderOffset)
{
  sim::PeImageOptions options = PeOptions(false, false, "6.0.6002.18005");
  options.peOffset = 3848;
  sim::MakeFile("C:\\x\\late.exe", sim::BuildPeImage(options));
  EXPECT_EQ(0x0006000017724655ull, ReadFileVersion("C:\\x\\late.exe"));
}

struct VersionErrorCase {
  const char *what;
  const char *path;
  DWORD error;
};

TEST_F(PeImageTest, VersionErrors)
{
  sim::MakeFile("C:\\x\\notes.txt", std::string(5000, 'n'));
  sim::MakeFile("C:\\x\\plain.exe", PeImage(true, true, ""));
  sim::PeImageOptions cut = PeOptions(true, false);
  cut.size = 4097;
  sim::MakeFile("C:\\x\\cut.exe", sim::BuildPeImage(cut));
  sim::MakeDir("C:\\x\\folder.exe");
  sim::MakeFile("C:\\x\\held.exe", PeImage(true, true)).heldShareMode = 0;
  const VersionErrorCase cases[] = {
      {"missing file", "C:\\x\\none.exe", ERROR_FILE_NOT_FOUND},
      {"missing folder", "C:\\y\\none.exe", ERROR_PATH_NOT_FOUND},
      {"not an image", "C:\\x\\notes.txt", ERROR_BAD_EXE_FORMAT},
      {"no resource section", "C:\\x\\plain.exe", ERROR_RESOURCE_DATA_NOT_FOUND},
      {"resources cut off", "C:\\x\\cut.exe", ERROR_RESOURCE_DATA_NOT_FOUND},
      {"a folder", "C:\\x\\folder.exe", ERROR_ACCESS_DENIED},
      {"held unshared", "C:\\x\\held.exe", ERROR_SHARING_VIOLATION},
  };
  for (const VersionErrorCase &c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0u, GetFileVersionInfoSizeA(c.path, nullptr));
    EXPECT_EQ(c.error, GetLastError());
  }
}

}  // namespace
