// BOT ID derivation: the system volume's creation time through the native
// volume calls, MD5 through CryptoAPI, the digest printed as a GUID.
#include <openssl/evp.h>

#include <functional>

#include "test_support.h"

namespace {

// 2012-06-01 00:00:00 UTC: bytes 00 80 C5 7C 89 3F CD 01.
const uint64_t kJune2012 = 0x01CD3F897CC58000ull;
const char *const kJune2012BotId = "$dd614f2ed03f70d242d5ededb36097d0";
const WCHAR kSentinel = 0xBEEF;

std::vector<uint8_t> Md5OfTime(uint64_t time)
{
  uint8_t bytes[8];
  for (int k = 0; k < 8; k++)
    bytes[k] = (uint8_t)(time >> (8 * k));
  std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  EVP_Digest(bytes, sizeof(bytes), digest.data(), &n, EVP_md5(), nullptr);
  digest.resize(n);
  return digest;
}

// The GUID reading of a digest, formatted independently of the product.
std::string GuidText(const std::vector<uint8_t> &d)
{
  char text[40];
  snprintf(text, sizeof(text), "$%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x", d[3], d[2], d[1],
           d[0], d[5], d[4], d[7], d[6], d[8], d[9], d[10], d[11], d[12], d[13], d[14], d[15]);
  return text;
}

class BotIdTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::M().volumeCreationTime = kJune2012;
    std::fill(std::begin(botId), std::end(botId), kSentinel);
  }
  WCHAR botId[MAX_PATH];
};

TEST_F(BotIdTest, WorkedExample)
{
  ASSERT_EQ(1, DeriveBotId(botId));
  EXPECT_EQ(kJune2012BotId, Narrow(botId));
  EXPECT_EQ(kSentinel, botId[BOT_ID_CHARS + 1]) << "nothing written past the terminator";
  EXPECT_EQ(kJune2012BotId, GuidText(Md5OfTime(kJune2012)));
  // The volume and the crypto objects are released, each once.
  EXPECT_EQ(0u, sim::OpenHandles());
  EXPECT_EQ(0u, sim::M().invalidReleases);
  EXPECT_EQ(0, sim::LibrariesHeld());
}

TEST_F(BotIdTest, LeadingZerosAreKeptInEveryField)
{
  // A creation time whose digest has d3 = 0x00 and d5 below 0x10, so the
  // first field starts with "00" and the second with "0".
  uint64_t time = kJune2012;
  std::vector<uint8_t> d = Md5OfTime(time);
  while (d[3] != 0 || d[5] >= 0x10)
    d = Md5OfTime(++time);
  sim::M().volumeCreationTime = time;
  ASSERT_EQ(1, DeriveBotId(botId));
  std::string text = Narrow(botId);
  EXPECT_EQ(GuidText(d), text);
  EXPECT_EQ(0u, text.find("$00"));
  ASSERT_EQ((size_t)BOT_ID_CHARS, text.size());
  for (size_t i = 1; i < text.size(); i++)
    EXPECT_TRUE((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f')) << text;
}

TEST_F(BotIdTest, EveryRunOnTheVolumeGivesTheSameId)
{
  WCHAR again[MAX_PATH];
  ASSERT_EQ(1, DeriveBotId(botId));
  ASSERT_EQ(1, DeriveBotId(again));
  EXPECT_EQ(Narrow(botId), Narrow(again));
  sim::M().volumeCreationTime = kJune2012 + 1;
  ASSERT_EQ(1, DeriveBotId(again));
  EXPECT_NE(Narrow(botId), Narrow(again));
}

struct OutcomeCase {
  const char *what;
  std::function<void()> arrange;
  int result;
};

TEST_F(BotIdTest, EveryOutcomeReleasesWhatItObtained)
{
  const NTSTATUS kDenied = STATUS_ACCESS_DENIED;
  const OutcomeCase cases[] = {
      {"first query overflows (NTFS name cut) with both flags", [] {}, 1},
      {"first query succeeds (short name fits)", [] { sim::M().volumeFileSystem = "FS"; }, 1},
      {"ntdll handle not given", [] { sim::FailCall("GetModuleHandleW", 1, ERROR_MOD_NOT_FOUND); }, 0},
      {"no native entry points", [] { sim::M().hasNtEntryPoints = false; }, 0},
      {"NtOpenFile missing", [] { sim::FailCall("GetProcAddress", 1, ERROR_PROC_NOT_FOUND); }, 0},
      {"NtQueryVolumeInformationFile missing", [] { sim::FailCall("GetProcAddress", 2, ERROR_PROC_NOT_FOUND); }, 0},
      {"NtClose missing", [] { sim::FailCall("GetProcAddress", 3, ERROR_PROC_NOT_FOUND); }, 0},
      {"open fails, handle stays NULL, no close", [=] { sim::FailCall("NtOpenFile", 1, (DWORD)kDenied); }, 0},
      {"first query fails", [=] { sim::FailCall("NtQueryVolumeInformationFile", 1, (DWORD)STATUS_INVALID_HANDLE); }, 0},
      {"named streams only", [] { sim::M().volumeAttributes = FILE_NAMED_STREAMS; }, 0},
      {"reparse points only", [] { sim::M().volumeAttributes = FILE_SUPPORTS_REPARSE_POINTS; }, 0},
      {"FAT32 volume",
       [] {
         sim::M().volumeFileSystem = "FAT32";
         sim::M().volumeAttributes = 0x00000006;
       }, 0},
      {"second query overflows (volume label cut)", [] { sim::M().volumeLabel = "System"; }, 0},
      {"second query overflow injected",
       [] { sim::FailCall("NtQueryVolumeInformationFile", 2, (DWORD)STATUS_BUFFER_OVERFLOW); }, 0},
      {"second query fails", [] { sim::FailCall("NtQueryVolumeInformationFile", 2, (DWORD)STATUS_INVALID_PARAMETER); }, 0},
      {"no crypto context", [] { sim::FailCall("CryptAcquireContextW", 1, NTE_BAD_KEYSET_PARAM); }, 0},
      {"no hash object", [] { sim::FailCall("CryptCreateHash", 1, NTE_BAD_ALGID); }, 0},
      {"hashing fails", [] { sim::FailCall("CryptHashData", 1, NTE_BAD_HASH); }, 0},
      {"hash value not read", [] { sim::FailCall("CryptGetHashParam", 1, ERROR_MORE_DATA); }, 0},
  };
  for (const OutcomeCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::M().volumeCreationTime = kJune2012;
    c.arrange();
    std::fill(std::begin(botId), std::end(botId), kSentinel);
    EXPECT_EQ(c.result, DeriveBotId(botId));
    if (c.result)
      EXPECT_EQ(kJune2012BotId, Narrow(botId));
    else
      EXPECT_EQ(kSentinel, botId[0]) << "the buffer is not written on failure";
    // Whatever was obtained is released, and nothing is released twice or
    // without having been obtained (a failed open leaves no handle to close).
    EXPECT_EQ(0u, sim::OpenHandles()) << "handles left open";
    EXPECT_EQ(0u, sim::M().invalidReleases) << "a handle released that was not open";
    EXPECT_EQ(0, sim::LibrariesHeld()) << "provider library left loaded";
  }
}

// The simulated native calls answer as the platform does for the records
// the derivation passes, which the outcomes above rely on.
TEST_F(BotIdTest, NativeVolumeQueriesAnswerAsThePlatform)
{
  typedef NTSTATUS (*OpenFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG, ULONG);
  typedef NTSTATUS (*QueryFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
  typedef NTSTATUS (*CloseFn)(HANDLE);
  HMODULE ntdll = GetModuleHandleW(Wide("ntdll.dll").data());
  OpenFn open = (OpenFn)(void *)GetProcAddress(ntdll, "NtOpenFile");
  QueryFn query = (QueryFn)(void *)GetProcAddress(ntdll, "NtQueryVolumeInformationFile");
  CloseFn close = (CloseFn)(void *)GetProcAddress(ntdll, "NtClose");
  ASSERT_TRUE(open && query && close);

  std::vector<WCHAR> name = Wide("\\SystemRoot");
  UNICODE_STRING us = {22, 24, name.data()};
  OBJECT_ATTRIBUTES oa = {sizeof(oa), nullptr, &us, 0, nullptr, nullptr};
  IO_STATUS_BLOCK io;
  HANDLE root = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, open(&root, FILE_GENERIC_READ, &oa, &io, 7, FILE_SYNCHRONOUS_IO_NONALERT));
  ASSERT_NE(nullptr, root);

  uint8_t buffer[32];
  memset(buffer, 0xCC, sizeof(buffer));
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, query(root, &io, buffer, 16, FileFsAttributeInformation));
  EXPECT_EQ(16u, io.Information);
  EXPECT_EQ(0x000700FFu, *(uint32_t *)buffer);
  EXPECT_EQ(8u, *(uint32_t *)(buffer + 8)) << "the whole name's length";
  EXPECT_EQ(0xCC, buffer[16]) << "nothing past the given length";
  EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH, query(root, &io, buffer, 15, FileFsAttributeInformation));

  memset(buffer, 0xCC, sizeof(buffer));
  EXPECT_EQ(STATUS_SUCCESS, query(root, &io, buffer, 24, FileFsVolumeInformation));
  EXPECT_EQ(18u, io.Information);
  EXPECT_EQ(kJune2012, *(uint64_t *)buffer);
  EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH, query(root, &io, buffer, 23, FileFsVolumeInformation));

  EXPECT_EQ(STATUS_SUCCESS, close(root));
  EXPECT_EQ(STATUS_INVALID_HANDLE, close(root));
  oa.Length = 24 + 1;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, open(&root, FILE_GENERIC_READ, &oa, &io, 7, FILE_SYNCHRONOUS_IO_NONALERT));
}

}  // namespace
