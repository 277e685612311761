// The simulated native file calls the removal relies on, with the platform's
// documented semantics: handles bound to the file, opens relative to a held
// folder, junctions anywhere on the way, listings in batches, identity and
// link count through the handle, and deletion pending until the last close.
#include <sddl.h>

#include "security.h"
#include "test_support.h"

namespace {

typedef NTSTATUS(NTAPI *CreateFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
                                  ULONG, ULONG, ULONG, PVOID, ULONG);
typedef NTSTATUS(NTAPI *ListFn)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG, BOOLEAN,
                                PUNICODE_STRING, BOOLEAN);
typedef NTSTATUS(NTAPI *InfoFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
typedef NTSTATUS(NTAPI *CloseFn)(HANDLE);

const ULONG kAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class NativeFilesTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    create = (CreateFn)(void *)GetProcAddress(ntdll, "NtCreateFile");
    list = (ListFn)(void *)GetProcAddress(ntdll, "NtQueryDirectoryFile");
    query = (InfoFn)(void *)GetProcAddress(ntdll, "NtQueryInformationFile");
    set = (InfoFn)(void *)GetProcAddress(ntdll, "NtSetInformationFile");
    close = (CloseFn)(void *)GetProcAddress(ntdll, "NtClose");
    ASSERT_TRUE(create && list && query && set && close);
  }
  NTSTATUS Open(HANDLE *h, HANDLE root, const std::string &name, ACCESS_MASK access, ULONG share, ULONG options)
  {
    std::vector<WCHAR> w = Wide(name);
    UNICODE_STRING u = {(USHORT)((w.size() - 1) * 2), (USHORT)((w.size() - 1) * 2), w.data()};
    OBJECT_ATTRIBUTES oa = {sizeof(oa), root, &u, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
    IO_STATUS_BLOCK io;
    return create(h, access | SYNCHRONIZE, &oa, &io, nullptr, 0, share, FILE_OPEN,
                  options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  }
  ULONGLONG Id(HANDLE h)
  {
    FILE_INTERNAL_INFORMATION i;
    IO_STATUS_BLOCK io;
    EXPECT_EQ(STATUS_SUCCESS, query(h, &io, &i, sizeof(i), FileInternalInformation));
    return (ULONGLONG)i.IndexNumber.QuadPart;
  }
  DWORD Attributes(HANDLE h)
  {
    FILE_BASIC_INFORMATION b;
    IO_STATUS_BLOCK io;
    EXPECT_EQ(STATUS_SUCCESS, query(h, &io, &b, sizeof(b), FileBasicInformation));
    return b.FileAttributes;
  }
  NTSTATUS MarkDeleted(HANDLE h)
  {
    FILE_DISPOSITION_INFORMATION d = {TRUE};
    IO_STATUS_BLOCK io;
    return set(h, &io, &d, sizeof(d), FileDispositionInformation);
  }
  // Names of the entries one query returns.
  std::vector<std::string> Batch(HANDLE h, NTSTATUS *status)
  {
    std::vector<ULONGLONG> buffer(512);
    IO_STATUS_BLOCK io;
    std::vector<std::string> names;
    *status = list(h, nullptr, nullptr, nullptr, &io, buffer.data(), 4096, FileIdBothDirectoryInformation, FALSE,
                   nullptr, FALSE);
    if (*status != STATUS_SUCCESS)
      return names;
    const BYTE *at = (const BYTE *)buffer.data();
    for (;;) {
      const FILE_ID_BOTH_DIR_INFORMATION *e = (const FILE_ID_BOTH_DIR_INFORMATION *)at;
      names.push_back(sim::Utf16ToUtf8((const WCHAR *)e->FileName, e->FileNameLength / 2));
      if (!e->NextEntryOffset)
        break;
      at += e->NextEntryOffset;
    }
    return names;
  }
  CreateFn create;
  ListFn list;
  InfoFn query, set;
  CloseFn close;
};

// A folder held without delete sharing cannot be renamed; held with it, it
// can, and the handle follows the folder to its new name: opens relative to
// it reach the moved folder's entries, not what now bears the old name.
TEST_F(NativeFilesTest, HandlesAreBoundToTheFileNotTheName)
{
  sim::MakeFile("C:\\Box\\sub\\x.txt", "x");
  HANDLE held, shared, child;
  ASSERT_EQ(STATUS_SUCCESS, Open(&held, nullptr, "\\??\\C:\\Box\\sub", FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 FILE_DIRECTORY_FILE));
  EXPECT_FALSE(MoveFileExA("C:\\Box\\sub", "C:\\Box\\moved", 0));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
  close(held);
  ASSERT_EQ(STATUS_SUCCESS, Open(&shared, nullptr, "\\??\\C:\\Box\\sub", FILE_LIST_DIRECTORY, kAll, FILE_DIRECTORY_FILE));
  ULONGLONG id = Id(shared);
  ASSERT_TRUE(MoveFileExA("C:\\Box\\sub", "C:\\Box\\moved", 0));
  sim::MakeFile("C:\\Box\\sub\\x.txt", "planted");
  EXPECT_EQ(id, Id(shared));
  ASSERT_EQ(STATUS_SUCCESS, Open(&child, shared, "x.txt", FILE_READ_ATTRIBUTES, kAll, 0));
  EXPECT_EQ(sim::Node("C:\\Box\\moved\\x.txt")->fileIndex, Id(child));
  close(child);
  close(shared);
}

// A junction anywhere above the last component is followed; the last one is
// opened as itself only with FILE_OPEN_REPARSE_POINT. A junction into the
// object namespace reaches a symbolic link there.
TEST_F(NativeFilesTest, JunctionsOnTheWayAndAtTheEnd)
{
  sim::MakeFile("C:\\Target\\t.txt", "t");
  sim::FsNode &j = sim::MakeDir("C:\\Box\\j");
  j.reparseTarget = "C:\\Target";
  j.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  HANDLE box, h;
  ASSERT_EQ(STATUS_SUCCESS, Open(&box, nullptr, "\\??\\C:\\Box", FILE_LIST_DIRECTORY, kAll, FILE_DIRECTORY_FILE));
  ASSERT_EQ(STATUS_SUCCESS, Open(&h, box, "j\\t.txt", FILE_READ_ATTRIBUTES, kAll, FILE_OPEN_REPARSE_POINT));
  EXPECT_EQ(sim::Node("C:\\Target\\t.txt")->fileIndex, Id(h)) << "followed on the way";
  close(h);
  ASSERT_EQ(STATUS_SUCCESS, Open(&h, box, "j", FILE_READ_ATTRIBUTES, kAll, FILE_OPEN_REPARSE_POINT));
  EXPECT_TRUE(Attributes(h) & FILE_ATTRIBUTE_REPARSE_POINT) << "the junction itself";
  close(h);
  ASSERT_EQ(STATUS_SUCCESS, Open(&h, box, "j", FILE_READ_ATTRIBUTES, kAll, 0));
  EXPECT_EQ(sim::Node("C:\\Target")->fileIndex, Id(h)) << "followed at the end";
  close(h);
  EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, Open(&h, box, "..\\Target", FILE_READ_ATTRIBUTES, kAll, 0));
  EXPECT_EQ(STATUS_NOT_A_DIRECTORY, Open(&h, nullptr, "\\??\\C:\\Target\\t.txt", FILE_READ_ATTRIBUTES, kAll,
                                         FILE_DIRECTORY_FILE));
  sim::FsNode &o = sim::MakeDir("C:\\Box\\obj");
  o.reparseTarget = "\\RPC Control";
  o.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  sim::M().objectLinks["\\rpc control\\name"] = "C:\\Target";
  ASSERT_EQ(STATUS_SUCCESS, Open(&h, box, "obj\\name", FILE_READ_ATTRIBUTES, kAll, FILE_OPEN_REPARSE_POINT));
  EXPECT_EQ(sim::Node("C:\\Target")->fileIndex, Id(h)) << "through the object-manager link";
  close(h);
  close(box);
}

// Entries come in batches, "." and ".." first; the listing is fetched at the
// first query, so a name deleted afterwards is still returned.
TEST_F(NativeFilesTest, ListingInBatches)
{
  for (const char *n : {"a", "b", "c"})
    sim::MakeFile(std::string("C:\\Box\\") + n, n);
  sim::M().directoryBatch = 2;
  HANDLE box;
  NTSTATUS status;
  ASSERT_EQ(STATUS_SUCCESS, Open(&box, nullptr, "\\??\\C:\\Box", FILE_LIST_DIRECTORY, kAll, FILE_DIRECTORY_FILE));
  EXPECT_EQ(std::vector<std::string>({".", ".."}), Batch(box, &status));
  sim::RemoveNode("C:\\Box\\b");
  EXPECT_EQ(std::vector<std::string>({"a", "b"}), Batch(box, &status));
  EXPECT_EQ(std::vector<std::string>({"c"}), Batch(box, &status));
  Batch(box, &status);
  EXPECT_EQ(STATUS_NO_MORE_FILES, status);
  close(box);
  HANDLE file;
  ASSERT_EQ(STATUS_SUCCESS, Open(&file, nullptr, "\\??\\C:\\Box\\a", FILE_READ_ATTRIBUTES, kAll, 0));
  Batch(file, &status);
  EXPECT_EQ(STATUS_ACCESS_DENIED, status) << "not opened for listing";
  close(file);
}

// Deletion through a handle: refused without DELETE, for a read-only file
// and a folder with entries; once marked, the name stays, listed and
// refusing opens, until the last handle on the file closes.
TEST_F(NativeFilesTest, DeletePendingUntilTheLastHandleCloses)
{
  sim::MakeFile("C:\\Box\\f.txt", "f");
  sim::MakeFile("C:\\Box\\ro.txt", "r").attributes |= FILE_ATTRIBUTE_READONLY;
  sim::MakeFile("C:\\Box\\full\\inner.txt", "i");
  HANDLE h, second, other;
  ASSERT_EQ(STATUS_SUCCESS, Open(&h, nullptr, "\\??\\C:\\Box\\f.txt", FILE_READ_ATTRIBUTES, kAll, 0));
  EXPECT_EQ(STATUS_ACCESS_DENIED, MarkDeleted(h));
  close(h);
  ASSERT_EQ(STATUS_SUCCESS, Open(&h, nullptr, "\\??\\C:\\Box\\ro.txt", DELETE, kAll, 0));
  EXPECT_EQ(STATUS_CANNOT_DELETE, MarkDeleted(h));
  close(h);
  ASSERT_EQ(STATUS_SUCCESS, Open(&h, nullptr, "\\??\\C:\\Box\\full", DELETE, kAll, FILE_DIRECTORY_FILE));
  EXPECT_EQ(STATUS_DIRECTORY_NOT_EMPTY, MarkDeleted(h));
  close(h);

  ASSERT_EQ(STATUS_SUCCESS, Open(&h, nullptr, "\\??\\C:\\Box\\f.txt", DELETE, kAll, 0));
  ASSERT_EQ(STATUS_SUCCESS, Open(&second, h, "", FILE_READ_ATTRIBUTES, kAll, 0)) << "reopened through the handle";
  EXPECT_EQ(STATUS_SUCCESS, MarkDeleted(h));
  close(h);
  EXPECT_TRUE(sim::Exists("C:\\Box\\f.txt")) << "a handle is still open";
  EXPECT_EQ(STATUS_DELETE_PENDING, Open(&other, nullptr, "\\??\\C:\\Box\\f.txt", FILE_READ_ATTRIBUTES, kAll, 0));
  FILE_STANDARD_INFORMATION st;
  IO_STATUS_BLOCK io;
  ASSERT_EQ(STATUS_SUCCESS, query(second, &io, &st, sizeof(st), FileStandardInformation));
  EXPECT_TRUE(st.DeletePending);
  close(second);
  EXPECT_FALSE(sim::Exists("C:\\Box\\f.txt"));
}

// Hard links are names of one file: one ID, a link count of two, and the
// descriptor set through a handle on one name shows through the other.
TEST_F(NativeFilesTest, IdentityLinkCountAndDescriptorThroughTheHandle)
{
  sim::MakeFile("C:\\A\\one.bin", "1");
  sim::MakeDir("C:\\B");
  sim::MakeHardLink("C:\\A\\one.bin", "C:\\B\\two.bin");
  HANDLE one, two;
  ASSERT_EQ(STATUS_SUCCESS, Open(&one, nullptr, "\\??\\C:\\A\\one.bin", FILE_READ_ATTRIBUTES | WRITE_DAC, kAll, 0));
  ASSERT_EQ(STATUS_SUCCESS, Open(&two, nullptr, "\\??\\C:\\B\\two.bin", FILE_READ_ATTRIBUTES, kAll, 0));
  EXPECT_EQ(Id(one), Id(two));
  FILE_STANDARD_INFORMATION st;
  IO_STATUS_BLOCK io;
  ASSERT_EQ(STATUS_SUCCESS, query(two, &io, &st, sizeof(st), FileStandardInformation));
  EXPECT_EQ(2u, st.NumberOfLinks);
  EXPECT_FALSE(st.Directory);
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;BA)", SDDL_REVISION_1, &sd, nullptr));
  EXPECT_TRUE(SetKernelObjectSecurity(one, DACL_SECURITY_INFORMATION, sd));
  EXPECT_FALSE(SetKernelObjectSecurity(two, DACL_SECURITY_INFORMATION, sd)) << "not opened for WRITE_DAC";
  LocalFree(sd);
  EXPECT_EQ(sim::Node("C:\\A\\one.bin")->securityDescriptor, sim::Node("C:\\B\\two.bin")->securityDescriptor);
  EXPECT_FALSE(sim::Node("C:\\B\\two.bin")->securityDescriptor.empty());
  close(one);
  close(two);
}

}  // namespace
