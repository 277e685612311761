// The simulated calls the undo file relies on: reading a key's descriptor,
// a descriptor back to SDDL, and the runtime's binary stream with the commit
// flag.
#include <share.h>

#include "security.h"
#include "test_support.h"

namespace {

const char *const kKey = "HKLM\\System\\CurrentControlSet\\Services\\Vank";
const char *const kSddl = "O:SYG:BAD:PAI(A;;KA;;;SY)(A;;KA;;;BA)(A;CIIO;GA;;;CO)S:(AU;FA;KA;;;WD)";
const SECURITY_INFORMATION kAll =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

class SimUndoPlatformTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    ASSERT_TRUE(sim::SddlToSelfRelative(kSddl, &descriptor));
    sim::MakeKey(kKey).securityDescriptor = descriptor;
  }
  HKEY Open(REGSAM access)
  {
    HKEY key = NULL;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey + 5, 0, access, &key));
    return key;
  }
  // The parts asked for, as text, through both calls.
  std::string PartsOf(HKEY key, SECURITY_INFORMATION info)
  {
    DWORD size = 0;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, RegGetKeySecurity(key, info, NULL, &size));
    std::vector<uint8_t> sd(size + 8, 0xEE);
    DWORD given = size;
    EXPECT_EQ(ERROR_SUCCESS, RegGetKeySecurity(key, info, sd.data(), &given));
    EXPECT_EQ(size, given);
    EXPECT_EQ(std::vector<uint8_t>(8, 0xEE), std::vector<uint8_t>(sd.begin() + size, sd.end())) << "past the size";
    LPSTR text = (LPSTR)0xdeadbeef;
    ULONG length = 0;
    EXPECT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(sd.data(), SDDL_REVISION_1, info, &text, &length));
    std::string out = text;
    EXPECT_EQ(out.size() + 1, length);
    LocalFree(text);
    return out;
  }
  std::vector<uint8_t> descriptor;
};

TEST_F(SimUndoPlatformTest, KeyDescriptorReadBackByParts)
{
  // The SACL is read through a handle opened for it, which takes the
  // security privilege enabled, as restore mode enables it.
  sim::M().enabledPrivileges.insert("SeSecurityPrivilege");
  HKEY key = Open(KEY_READ | ACCESS_SYSTEM_SECURITY);
  ASSERT_NE(nullptr, key);
  struct {
    SECURITY_INFORMATION info;
    const char *text;
  } cases[] = {
      {kAll, kSddl},
      {OWNER_SECURITY_INFORMATION, "O:SY"},
      {GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, "G:BAD:PAI(A;;KA;;;SY)(A;;KA;;;BA)(A;CIIO;GA;;;CO)"},
      {SACL_SECURITY_INFORMATION, "S:(AU;FA;KA;;;WD)"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.text, PartsOf(key, c.info));
  }
  RegCloseKey(key);
}

TEST_F(SimUndoPlatformTest, KeyDescriptorNeedsTheRightsOfItsParts)
{
  HKEY query = Open(KEY_QUERY_VALUE);
  HKEY read = Open(KEY_READ);
  DWORD size = 0;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegGetKeySecurity(query, OWNER_SECURITY_INFORMATION, NULL, &size));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegGetKeySecurity(read, SACL_SECURITY_INFORMATION, NULL, &size));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegGetKeySecurity(read, OWNER_SECURITY_INFORMATION, NULL, NULL));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegGetKeySecurity((HKEY)0x4321, OWNER_SECURITY_INFORMATION, NULL, &size));
  sim::FailCall("RegGetKeySecurity", 0, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, RegGetKeySecurity(read, OWNER_SECURITY_INFORMATION, NULL, &size));
  sim::M().faults.clear();
  // A key left at the machine's default shows the token's owner and group
  // and no DACL, which grants everything as the default does.
  sim::Key(kKey)->securityDescriptor.clear();
  EXPECT_EQ("O:BAG:" + sim::TokenPrimaryGroup(), PartsOf(read, kAll & ~SACL_SECURITY_INFORMATION));
  RegCloseKey(query);
  RegCloseKey(read);
}

TEST_F(SimUndoPlatformTest, DescriptorToSddlRoundTrips)
{
  const char *const cases[] = {
      "O:BAG:SYD:(A;;KR;;;BU)(A;OICI;KA;;;SY)(D;;SD;;;WD)",
      "O:S-1-5-21-1-2-3-500G:SYD:PARAI(A;CIIOID;GA;;;CO)(A;;0x30000;;;BA)",
      "O:SYG:SYD:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)",
      "O:SYG:SY",
      "O:SYG:SYD:S:P(AU;SAFA;KW;;;WD)",
  };
  for (const char *sddl : cases) {
    SCOPED_TRACE(sddl);
    std::vector<uint8_t> sd;
    ASSERT_TRUE(sim::SddlToSelfRelative(sddl, &sd));
    LPSTR text = NULL;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(sd.data(), SDDL_REVISION_1, kAll, &text, NULL));
    std::vector<uint8_t> back;
    EXPECT_TRUE(sim::SddlToSelfRelative(text, &back)) << text;
    EXPECT_EQ(sd, back) << text;
    LocalFree(text);
  }
  std::vector<uint8_t> sd;
  ASSERT_TRUE(sim::SddlToSelfRelative(kSddl, &sd));
  LPSTR text = NULL;
  SetLastError(0);
  EXPECT_FALSE(ConvertSecurityDescriptorToStringSecurityDescriptorA(sd.data(), 2, kAll, &text, NULL));
  EXPECT_EQ((DWORD)ERROR_UNKNOWN_REVISION, GetLastError());
  EXPECT_FALSE(ConvertSecurityDescriptorToStringSecurityDescriptorA(sd.data(), SDDL_REVISION_1, kAll, NULL, NULL));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  sim::FailCall("ConvertSecurityDescriptorToStringSecurityDescriptorA", 0, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(ConvertSecurityDescriptorToStringSecurityDescriptorA(sd.data(), SDDL_REVISION_1, kAll, &text, NULL));
  EXPECT_EQ((DWORD)ERROR_NOT_ENOUGH_MEMORY, GetLastError());
  EXPECT_EQ(nullptr, text);
}

// "ab" stores the bytes as written, always at the end; with "c" each flush
// also commits them to the disk. The runtime hands a flush to WriteFile and,
// with the commit flag, to FlushFileBuffers: their faults fail fflush.
TEST_F(SimUndoPlatformTest, BinaryCommitStream)
{
  const std::string path = "C:\\d\\u.bin";
  sim::MakeFile(path, "old\r\n");
  FILE *f = _fsopen(path.c_str(), "abc", _SH_DENYWR);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(0, fseek(f, 0, SEEK_END));
  EXPECT_EQ(5, ftell(f));
  // Others may read, not write, while it is open.
  EXPECT_EQ(nullptr, _fsopen(path.c_str(), "ab", _SH_DENYNO));
  HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, reader);
  CloseHandle(reader);

  EXPECT_EQ(3u, fwrite("a\nb", 1, 3, f));
  EXPECT_EQ(5u, sim::Node(path)->flushedBytes) << "buffered, nothing committed yet";
  EXPECT_EQ(0, fflush(f));
  EXPECT_EQ("old\r\na\nb", sim::FileText(path)) << "no line-end translation";
  EXPECT_EQ(8u, sim::Node(path)->flushedBytes);

  for (const char *call : {"WriteFile", "FlushFileBuffers"}) {
    SCOPED_TRACE(call);
    sim::M().faults.clear();
    sim::FailCall(call, sim::M().callCounts[call] + 1, ERROR_DISK_FULL);
    EXPECT_EQ(1u, fwrite("x", 1, 1, f));
    EXPECT_EQ(EOF, fflush(f));
    clearerr(f);
  }
  sim::M().faults.clear();
  EXPECT_EQ(0, fclose(f));
  EXPECT_EQ(0u, sim::OpenHandles());

  // Without the commit flag a flush writes but does not commit.
  sim::MakeFile(path, "");
  f = _fsopen(path.c_str(), "ab", _SH_DENYWR);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(1u, fwrite("z", 1, 1, f));
  EXPECT_EQ(0, fflush(f));
  EXPECT_EQ("z", sim::FileText(path));
  EXPECT_EQ(0u, sim::Node(path)->flushedBytes);
  fclose(f);
}

}  // namespace
