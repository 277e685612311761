// Hideout removal: the two BOT ID folders in the recycle bin are emptied
// bottom-up by held handles, one log line per action, and what stays is left
// to SYSTEM and Administrators; the walk never leaves the hideout, never acts
// on a cut path, and never overflows a line.
#include <functional>

#include "security.h"
#include "test_support.h"

namespace {

// The worked example's volume: 2012-06-01 00:00:00 UTC.
const uint64_t kJune2012 = 0x01CD3F897CC58000ull;
const std::string kBotId = "$dd614f2ed03f70d242d5ededb36097d0";
const char *const kAttempting = "Attempting to remove malware files...";

std::string Permissions(const std::string &path, bool ok)
{
  return "Changing file permissions on file \\\\?\\" + path + (ok ? "... success" : "... failure");
}
std::string FileRemoval(const std::string &path, bool ok)
{
  return "Removing file \\\\?\\" + path + (ok ? "... success" : "... failed");
}
std::string FolderRemoval(const std::string &path, bool ok)
{
  return "Removing directory \\\\?\\" + path + (ok ? "... success" : "... failed");
}
std::string Skipping(const std::string &folder, const std::string &name)
{
  return "Skipping entry with too long path in \\\\?\\" + folder + ": " + name;
}
std::string SkippingFolder(const std::string &folder)
{
  return "Skipping folder whose search pattern is too long: \\\\?\\" + folder;
}

// The DACL that the removal gives every item: SYSTEM and Administrators full
// control, inherited by what is created below, protected from the folder
// above, and nothing else.
::testing::AssertionResult LeftToAdministrators(const std::string &path)
{
  sim::FsNode *n = sim::Node(path);
  if (!n)
    return ::testing::AssertionFailure() << path << " is gone";
  sim::SecurityDescriptor sd;
  if (!sim::ParseSecurityDescriptor(n->securityDescriptor.data(), n->securityDescriptor.size(), &sd))
    return ::testing::AssertionFailure() << path << " has no descriptor of its own";
  if (!sd.hasDacl || sd.dacl.size() != 2)
    return ::testing::AssertionFailure() << path << " has " << sd.dacl.size() << " ACEs";
  if (!(sd.control & SE_DACL_PROTECTED))
    return ::testing::AssertionFailure() << path << " inherits from its folder";
  const char *const trustees[] = {"S-1-5-18", "S-1-5-32-544"};
  for (int i = 0; i < 2; i++) {
    const sim::Ace &a = sd.dacl[i];
    if (a.type != ACCESS_ALLOWED_ACE_TYPE || a.flags != (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) ||
        a.mask != FILE_ALL_ACCESS || sim::SidToString(a.sid.data()) != trustees[i])
      return ::testing::AssertionFailure() << path << ": ACE type " << (int)a.type << " flags " << (int)a.flags
                                           << " mask " << a.mask << " for " << sim::SidToString(a.sid.data());
  }
  return ::testing::AssertionSuccess();
}

// A DACL that grants Everyone every right, and nothing else.
::testing::AssertionResult OpenToEveryone(const std::string &path)
{
  sim::FsNode *n = sim::Node(path);
  if (!n)
    return ::testing::AssertionFailure() << path << " is gone";
  sim::SecurityDescriptor sd;
  if (!sim::ParseSecurityDescriptor(n->securityDescriptor.data(), n->securityDescriptor.size(), &sd))
    return ::testing::AssertionFailure() << path << " has no descriptor of its own";
  if (!sd.hasDacl || sd.dacl.size() != 1)
    return ::testing::AssertionFailure() << path << " has " << sd.dacl.size() << " ACEs";
  const sim::Ace &a = sd.dacl[0];
  if (a.type != ACCESS_ALLOWED_ACE_TYPE || a.flags != 0 || a.mask != 0xFFFFFFFF ||
      sim::SidToString(a.sid.data()) != "S-1-1-0")
    return ::testing::AssertionFailure() << path << ": ACE type " << (int)a.type << " flags " << (int)a.flags
                                         << " mask " << a.mask << " for " << sim::SidToString(a.sid.data());
  return ::testing::AssertionSuccess();
}

// A descriptor owned by Administrators whose DACL grants Everyone only the
// given rights (or denies them, with deny set).
std::vector<uint8_t> Descriptor(DWORD mask, bool deny = false, const char *owner = "S-1-5-32-544")
{
  sim::SecurityDescriptor sd;
  std::vector<uint8_t> everyone;
  sim::SidFromString(owner, &sd.owner);
  sim::SidFromString("S-1-1-0", &everyone);
  sd.hasDacl = true;
  if (deny) {
    sd.dacl.push_back(sim::Ace{ACCESS_DENIED_ACE_TYPE, 0, mask, everyone});
    sd.dacl.push_back(sim::Ace{ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, everyone});
  } else {
    sd.dacl.push_back(sim::Ace{ACCESS_ALLOWED_ACE_TYPE, 0, mask, everyone});
  }
  return sim::BuildSelfRelative(sd);
}

class HideoutTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    Install(6, 1);
  }
  void Install(DWORD major, DWORD minor)
  {
    sim::InstallWindows(major, minor, VER_NT_WORKSTATION, false);
    sim::M().volumeCreationTime = kJune2012;
    desktop = major == 5 ? kXpDesktop : minor == 0 ? kVistaDesktop : kWin7Desktop;
    OpenTestLog(major == 5 ? 0x51 : (0x60 | minor));
  }
  std::string UserHideout() { return "C:\\$Recycle.Bin\\" + sim::M().userSid + "\\" + kBotId; }
  std::string SystemHideout() { return "C:\\$Recycle.Bin\\S-1-5-18\\" + kBotId; }
  std::vector<std::string> Log() { return LastSection(desktop); }
  std::string desktop;
};

TEST_F(HideoutTest, FileAndSubfolderInPostOrder)
{
  std::string h = UserHideout();
  sim::MakeFile(h + "\\a.txt", "x");
  sim::MakeFile(h + "\\sub\\b.txt", "y");
  sim::MakeDir(SystemHideout());
  RemoveMalwareFiles();
  EXPECT_EQ(std::vector<std::string>({kAttempting, Permissions(h, true), Permissions(h + "\\a.txt", true),
                                      FileRemoval(h + "\\a.txt", true), Permissions(h + "\\sub\\b.txt", true),
                                      FileRemoval(h + "\\sub\\b.txt", true), Permissions(h + "\\sub", true),
                                      FolderRemoval(h + "\\sub", true), Permissions(SystemHideout(), true)}),
            Log());
  // The hideout folders stay, empty, left to SYSTEM and Administrators.
  EXPECT_TRUE(sim::ChildrenOf(h).empty());
  EXPECT_TRUE(LeftToAdministrators(h));
  EXPECT_TRUE(LeftToAdministrators(SystemHideout()));
  EXPECT_TRUE(sim::Exists("C:\\$Recycle.Bin\\S-1-5-18"));
}

TEST_F(HideoutTest, MachineWithoutHideoutsLogsOneFailurePerFolder)
{
  RemoveMalwareFiles();
  EXPECT_EQ(std::vector<std::string>(
                {kAttempting, Permissions(UserHideout(), false), Permissions(SystemHideout(), false)}),
            Log());
  EXPECT_FALSE(sim::Exists(UserHideout()));
}

struct FailureCase {
  const char *what;
  std::function<void()> arrange;
  std::function<std::vector<std::string>(const std::string &user, const std::string &system)> lines;
  bool fileStays;
};

// Each row of the failure table, with one file in the user's hideout.
TEST_F(HideoutTest, FailureTable)
{
  const FailureCase cases[] = {
      {"version not obtained", [] { sim::FailCall("GetVersionExW", 1, ERROR_INVALID_PARAMETER); },
       [](const std::string &, const std::string &) {
         return std::vector<std::string>{kAttempting, "Failed to obtain OS version, aborting malware file removal"};
       },
       true},
      {"no BOT ID on a FAT volume",
       [] {
         sim::M().volumeAttributes = 0x6;
         sim::M().volumeFileSystem = "FAT32";
       },
       [](const std::string &, const std::string &) {
         return std::vector<std::string>{kAttempting, "Failed to generate BOT ID"};
       },
       true},
      // The user's folder is then taken among every other account's, after LocalSystem's.
      {"SID text not obtained", [] { sim::FailCall("ConvertSidToStringSidW", 1, ERROR_NOT_ENOUGH_MEMORY); },
       [](const std::string &u, const std::string &s) {
         return std::vector<std::string>{kAttempting, Permissions(s, false), Permissions(u, true),
                                         Permissions(u + "\\a.txt", true), FileRemoval(u + "\\a.txt", true)};
       },
       false},
      {"hideout cannot be listed", [] { sim::FailCall("NtQueryDirectoryFile", 1, STATUS_ACCESS_DENIED); },
       [](const std::string &u, const std::string &s) {
         return std::vector<std::string>{kAttempting, Permissions(u, true), Permissions(s, false)};
       },
       true},
      // The hideout's own new DACL lets its entries be deleted all the same.
      {"entry's DACL not replaced", [] { sim::FailCall("SetKernelObjectSecurity", 2, ERROR_ACCESS_DENIED); },
       [](const std::string &u, const std::string &s) {
         return std::vector<std::string>{kAttempting, Permissions(u, true), Permissions(u + "\\a.txt", false),
                                         FileRemoval(u + "\\a.txt", true), Permissions(s, false)};
       },
       false},
      {"entry not removed", [] { sim::FailCall("NtSetInformationFile", 1, STATUS_ACCESS_DENIED); },
       [](const std::string &u, const std::string &s) {
         return std::vector<std::string>{kAttempting, Permissions(u, true), Permissions(u + "\\a.txt", true),
                                         FileRemoval(u + "\\a.txt", false), Permissions(s, false)};
       },
       true},
  };
  for (const FailureCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    Install(6, 1);
    sim::MakeFile(UserHideout() + "\\a.txt", "x");
    c.arrange();
    RemoveMalwareFiles();
    EXPECT_EQ(c.lines(UserHideout(), SystemHideout()), Log());
    EXPECT_EQ(c.fileStays, sim::Exists(UserHideout() + "\\a.txt"));
    CloseCleanerLog();
    EXPECT_EQ(0u, sim::OpenHandles());
    EXPECT_EQ(0u, sim::M().heapBlocks.size());
    EXPECT_EQ(0u, sim::M().localBlocks.size());
  }
}

struct SidCase {
  const char *what;
  const char *function;
  int nth;
  DWORD error;
};

TEST_F(HideoutTest, UserSidTextOrNothing)
{
  const SidCase cases[] = {
      {"token not opened", "OpenProcessToken", 1, ERROR_ACCESS_DENIED},
      {"size not learnt", "GetTokenInformation", 1, ERROR_ACCESS_DENIED},
      {"no heap", "HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY},
      {"user not read", "GetTokenInformation", 2, ERROR_ACCESS_DENIED},
      {"no text", "ConvertSidToStringSidW", 1, ERROR_NOT_ENOUGH_MEMORY},
  };
  WCHAR text[MAX_PATH];
  ASSERT_EQ(1, GetCurrentUserSid(text));
  EXPECT_EQ(sim::M().userSid, Narrow(text));
  for (const SidCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::FailCall(c.function, c.nth, c.error);
    text[0] = 0xBEEF;
    EXPECT_EQ(0, GetCurrentUserSid(text));
    EXPECT_EQ(0xBEEF, text[0]);
    EXPECT_EQ(0u, sim::OpenHandles());
    EXPECT_EQ(0u, sim::M().heapBlocks.size());
    EXPECT_EQ(0u, sim::M().localBlocks.size());
  }
}

struct PermissionCase {
  const char *what;
  const char *function;  // the call made to fail, or null
  int nth;
  DWORD error;
  bool removed;
};

// Only a DACL that was built and applied through the entry's own handle
// counts; a failed step leaves the old descriptor, frees only what was
// obtained and logs the failure. Without a handle that holds the listed
// entry, nothing is removed either.
TEST_F(HideoutTest, PermissionsChangeFailsCleanlyAtEveryStep)
{
  // The calls of the walk, in order: the drive's root, the recycle bin, the
  // account folder, the hideout, its listing handle, then the entry (the
  // sixth open; its three queries the tenth to twelfth).
  const PermissionCase cases[] = {
      {"applied", nullptr, 0, 0, true},
      {"no descriptor", "ConvertStringSecurityDescriptorToSecurityDescriptorA", 2, ERROR_NOT_ENOUGH_MEMORY, true},
      {"not opened", "NtCreateFile", 6, (DWORD)STATUS_ACCESS_DENIED, false},
      // Held by another process that denies delete sharing: opened without DELETE.
      {"not deletable", "NtCreateFile", 6, (DWORD)STATUS_SHARING_VIOLATION, false},
      {"identity not read", "NtQueryInformationFile", 10, (DWORD)STATUS_ACCESS_DENIED, false},
      {"link count not read", "NtQueryInformationFile", 11, (DWORD)STATUS_ACCESS_DENIED, false},
      {"attributes not read", "NtQueryInformationFile", 12, (DWORD)STATUS_ACCESS_DENIED, false},
      {"not applied", "SetKernelObjectSecurity", 2, ERROR_ACCESS_DENIED, true},
  };
  const std::vector<uint8_t> before = Descriptor(FILE_GENERIC_READ | WRITE_DAC);
  for (const PermissionCase &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    Install(6, 1);
    const std::string path = UserHideout() + "\\file.bin";
    sim::MakeFile(path, "z").securityDescriptor = before;
    sim::MakeDir(SystemHideout());
    if (c.function)
      sim::FailCall(c.function, c.nth, c.error);
    // Kept open with delete sharing, so that the file outlives its removal.
    sim::Node(path)->heldShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    RemoveMalwareFiles();
    bool applied = !c.function || c.error == (DWORD)STATUS_SHARING_VIOLATION;
    EXPECT_EQ(std::vector<std::string>({kAttempting, Permissions(UserHideout(), true), Permissions(path, applied),
                                        FileRemoval(path, c.removed), Permissions(SystemHideout(), true)}),
              Log());
    ASSERT_TRUE(sim::Exists(path));
    EXPECT_EQ(c.removed, sim::Node(path)->deletePending);
    if (!applied)
      EXPECT_EQ(before, sim::Node(path)->securityDescriptor);
    else
      EXPECT_TRUE(LeftToAdministrators(path));
    sim::SecurityDescriptor sd;
    ASSERT_TRUE(sim::ParseSecurityDescriptor(sim::Node(path)->securityDescriptor.data(),
                                             sim::Node(path)->securityDescriptor.size(), &sd));
    EXPECT_EQ("S-1-5-32-544", sim::SidToString(sd.owner.data())) << "the owner stays";
    CloseCleanerLog();
    EXPECT_EQ(0u, sim::OpenHandles());
    EXPECT_EQ(0u, sim::M().heapBlocks.size());
    EXPECT_EQ(0u, sim::M().localBlocks.size()) << "descriptor";
  }
}

TEST_F(HideoutTest, ReadOnlyAndHiddenFilesGoReadOnlyFolderKeepsItsAttributes)
{
  std::string h = SystemHideout();
  sim::MakeFile(h + "\\hidden.sys", "h").attributes |= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  sim::MakeFile(h + "\\readonly.dll", "r").attributes |= FILE_ATTRIBUTE_READONLY;
  sim::MakeDir(h + "\\stuck").attributes |= FILE_ATTRIBUTE_READONLY;
  RemoveMalwareFiles();
  EXPECT_EQ(std::vector<std::string>({kAttempting, Permissions(UserHideout(), false), Permissions(h, true),
                                      Permissions(h + "\\hidden.sys", true), FileRemoval(h + "\\hidden.sys", true),
                                      Permissions(h + "\\readonly.dll", true),
                                      FileRemoval(h + "\\readonly.dll", true), Permissions(h + "\\stuck", true),
                                      FolderRemoval(h + "\\stuck", false)}),
            Log());
  ASSERT_TRUE(sim::Exists(h + "\\stuck"));
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY), sim::Node(h + "\\stuck")->attributes);
}

TEST_F(HideoutTest, FileHeldOpenStaysAndSoDoesItsFolder)
{
  std::string h = UserHideout();
  sim::MakeFile(h + "\\run\\held.dll", "d").heldShareMode = FILE_SHARE_READ;
  sim::MakeFile(h + "\\run\\later.dat", "l");
  sim::MakeFile(h + "\\z.txt", "z");
  RemoveMalwareFiles();
  EXPECT_EQ(std::vector<std::string>({kAttempting, Permissions(h, true), Permissions(h + "\\run\\held.dll", true),
                                      FileRemoval(h + "\\run\\held.dll", false),
                                      Permissions(h + "\\run\\later.dat", true),
                                      FileRemoval(h + "\\run\\later.dat", true), Permissions(h + "\\run", true),
                                      FolderRemoval(h + "\\run", false), Permissions(h + "\\z.txt", true),
                                      FileRemoval(h + "\\z.txt", true), Permissions(SystemHideout(), false)}),
            Log());
  EXPECT_TRUE(sim::Exists(h + "\\run\\held.dll"));
  EXPECT_FALSE(sim::Exists(h + "\\run\\later.dat"));
}

// The walk cannot descend: the folder's DACL is only replaced when the
// visitor reaches it, after the attempt.
TEST_F(HideoutTest, FolderThatForbidsListingKeepsItsContent)
{
  std::string h = UserHideout();
  sim::MakeDir(h + "\\locked").securityDescriptor = Descriptor(FILE_LIST_DIRECTORY, true);
  sim::MakeFile(h + "\\locked\\inner.bin", "i");
  sim::MakeDir(SystemHideout());
  RemoveMalwareFiles();
  EXPECT_EQ(std::vector<std::string>({kAttempting, Permissions(h, true), Permissions(h + "\\locked", true),
                                      FolderRemoval(h + "\\locked", false), Permissions(SystemHideout(), true)}),
            Log());
  EXPECT_TRUE(sim::Exists(h + "\\locked\\inner.bin"));
  EXPECT_TRUE(LeftToAdministrators(h + "\\locked"));
}

TEST_F(HideoutTest, LocalSystemProcessesTheOneFolderTwice)
{
  sim::M().userSid = "S-1-5-18";
  std::string h = SystemHideout();
  sim::MakeFile(h + "\\a.txt", "a");
  RemoveMalwareFiles();
  EXPECT_EQ(std::vector<std::string>({kAttempting, Permissions(h, true), Permissions(h + "\\a.txt", true),
                                      FileRemoval(h + "\\a.txt", true), Permissions(h, true)}),
            Log());
}

TEST_F(HideoutTest, RecycleBinFolderByMajorVersion)
{
  const struct {
    DWORD major, minor;
    const char *bin;
  } cases[] = {{5, 1, "C:\\RECYCLER"}, {5, 2, "C:\\RECYCLER"}, {6, 0, "C:\\$Recycle.Bin"}, {6, 1, "C:\\$Recycle.Bin"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.bin);
    FreshMachine();
    Install(c.major, c.minor);
    std::string h = std::string(c.bin) + "\\S-1-5-18\\" + kBotId;
    sim::MakeFile(h + "\\m.exe", "m");
    RemoveMalwareFiles();
    EXPECT_EQ(std::vector<std::string>({kAttempting,
                                        Permissions(std::string(c.bin) + "\\" + sim::M().userSid + "\\" + kBotId, false),
                                        Permissions(h, true), Permissions(h + "\\m.exe", true),
                                        FileRemoval(h + "\\m.exe", true)}),
              Log());
    EXPECT_FALSE(sim::Exists(h + "\\m.exe"));
  }
}

// A junction or directory link is removed as itself: the walk does not enter
// it, and neither the content nor the descriptor of its target changes.
TEST_F(HideoutTest, LinksAreRemovedAsThemselvesAndTheirTargetsStay)
{
  std::string h = UserHideout();
  sim::MakeFile("C:\\Outside\\keep.txt", "k");
  sim::MakeFile("C:\\Outside\\inner\\deep.txt", "d");
  const std::vector<uint8_t> guarded = Descriptor(FILE_ALL_ACCESS);
  sim::Node("C:\\Outside")->securityDescriptor = guarded;
  sim::Node("C:\\Outside\\inner")->securityDescriptor = guarded;
  sim::FsNode &junction = sim::MakeDir(h + "\\junction");
  junction.reparseTarget = "C:\\Outside";
  junction.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  sim::FsNode &link = sim::MakeDir(h + "\\symlink");
  link.reparseTarget = "C:\\Outside\\inner";
  link.symlink = true;
  link.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  sim::MakeDir(SystemHideout());
  RemoveMalwareFiles();
  EXPECT_EQ(std::vector<std::string>({kAttempting, Permissions(h, true), Permissions(h + "\\junction", true),
                                      FolderRemoval(h + "\\junction", true), Permissions(h + "\\symlink", true),
                                      FolderRemoval(h + "\\symlink", true), Permissions(SystemHideout(), true)}),
            Log());
  EXPECT_TRUE(sim::ChildrenOf(h).empty());
  EXPECT_EQ("k", sim::FileText("C:\\Outside\\keep.txt"));
  EXPECT_EQ("d", sim::FileText("C:\\Outside\\inner\\deep.txt"));
  EXPECT_EQ(guarded, sim::Node("C:\\Outside")->securityDescriptor);
  EXPECT_EQ(guarded, sim::Node("C:\\Outside\\inner")->securityDescriptor);
  EXPECT_TRUE(sim::Node("C:\\Outside\\keep.txt")->securityDescriptor.empty());
}

// A file's descriptor, attributes and content belong to every name it has:
// a hideout name of a file elsewhere keeps its descriptor (its line reports
// the failure) and is removed as a name only, when the rights allow.
TEST_F(HideoutTest, HardLinkToAFileOutsideKeepsThatFileIntact)
{
  const struct {
    const char *what;
    DWORD attributes;
    bool removed;
  } cases[] = {
      {"plain file", FILE_ATTRIBUTE_ARCHIVE, true},
      // Only the attribute change would let the name go, and it would change the file.
      {"read-only system file", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM, false},
  };
  const std::string outside = "C:\\Windows\\system32\\config.dll";
  // Administrators may change this DACL: the removal could, and must not.
  const std::vector<uint8_t> guarded = Descriptor(FILE_ALL_ACCESS);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    Install(6, 1);
    std::string h = UserHideout();
    sim::FsNode &file = sim::MakeFile(outside, "system code");
    file.attributes = c.attributes;
    file.securityDescriptor = guarded;
    sim::MakeDir(h);
    sim::MakeHardLink(outside, h + "\\config.dll");
    sim::MakeDir(SystemHideout());
    RemoveMalwareFiles();
    EXPECT_EQ(std::vector<std::string>({kAttempting, Permissions(h, true), Permissions(h + "\\config.dll", false),
                                        FileRemoval(h + "\\config.dll", c.removed),
                                        Permissions(SystemHideout(), true)}),
              Log());
    EXPECT_EQ(!c.removed, sim::Exists(h + "\\config.dll"));
    sim::FsNode *kept = sim::Node(outside);
    ASSERT_NE(nullptr, kept);
    EXPECT_EQ("system code", sim::FileText(outside));
    EXPECT_EQ(guarded, kept->securityDescriptor);
    EXPECT_EQ(c.attributes, kept->attributes);
    EXPECT_EQ(c.removed ? 1u : 2u, sim::LinkCount(*kept));
    EXPECT_EQ(2, sim::M().callCounts["SetKernelObjectSecurity"]) << "the two hideout folders only";
  }
}

// Two names of one file inside the hideout: the link count is read when each
// is reached, so the second, by then the file's only name, is opened up.
TEST_F(HideoutTest, SecondNameOfAFileIsOpenedUpOnceItIsTheOnlyOne)
{
  std::string h = UserHideout();
  sim::MakeFile(h + "\\b\\data.bin", "d").securityDescriptor = Descriptor(FILE_GENERIC_READ | WRITE_DAC);
  sim::MakeHardLink(h + "\\b\\data.bin", h + "\\a.bin");
  sim::MakeDir(SystemHideout());
  RemoveMalwareFiles();
  EXPECT_EQ(std::vector<std::string>({kAttempting, Permissions(h, true), Permissions(h + "\\a.bin", false),
                                      FileRemoval(h + "\\a.bin", true), Permissions(h + "\\b\\data.bin", true),
                                      FileRemoval(h + "\\b\\data.bin", true), Permissions(h + "\\b", true),
                                      FolderRemoval(h + "\\b", true), Permissions(SystemHideout(), true)}),
            Log());
  EXPECT_TRUE(sim::ChildrenOf(h).empty());
}

// Another process swaps the entry for a hard link to a system file between
// the listing and the open, or tries to rename it away while it is held:
// the swapped name is not the entry listed and is left alone; the held one
// cannot be renamed, and is removed through its handle.
TEST_F(HideoutTest, EntrySwappedOrRenamedIsNeverTheOneChanged)
{
  const struct {
    const char *what;
    bool beforeOpen;  // at the open of the entry, before it, or right after
    DWORD attributes;
    bool swapped, removed;
  } cases[] = {
      {"swapped between listing and open", true, FILE_ATTRIBUTE_ARCHIVE, true, false},
      {"read-only, swapped between listing and open", true, FILE_ATTRIBUTE_READONLY, true, false},
      {"rename tried while held", false, FILE_ATTRIBUTE_ARCHIVE, false, true},
      {"read-only, rename tried while held", false, FILE_ATTRIBUTE_READONLY, false, true},
  };
  const std::string outside = "C:\\Windows\\system32\\config.dll";
  const std::string moved = "C:\\Users\\Public\\moved.dll";
  const DWORD systemAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM;
  const std::vector<uint8_t> guarded = Descriptor(FILE_ALL_ACCESS);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    Install(6, 1);
    std::string h = UserHideout();
    std::string entry = h + "\\payload.dll";
    sim::FsNode &file = sim::MakeFile(outside, "system code");
    file.attributes = systemAttributes;
    file.securityDescriptor = guarded;
    sim::MakeFile(entry, "payload").attributes = c.attributes;
    sim::MakeDir(SystemHideout());
    BOOL renamed = FALSE;
    DWORD renameError = 0;
    bool acted = false;
    auto act = [&] {
      acted = true;
      renamed = MoveFileExA(entry.c_str(), moved.c_str(), 0);
      renameError = GetLastError();
      if (renamed)
        sim::MakeHardLink(outside, entry);
    };
    // The sixth native open is the entry's (root, bin, account, hideout, listing).
    int opens = 0;
    sim::M().onEnter = [&](const std::string &function) {
      if (c.beforeOpen && function == "NtCreateFile" && ++opens == 6)
        act();
    };
    sim::M().onFileOpened = [&](const std::string &full) {
      if (!c.beforeOpen && !acted && sim::Lower(full) == sim::Lower(entry))
        act();
    };
    RemoveMalwareFiles();
    sim::M().onEnter = nullptr;
    sim::M().onFileOpened = nullptr;
    ASSERT_TRUE(acted);
    EXPECT_EQ(c.swapped, renamed != FALSE);
    if (!c.swapped) {
      EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, renameError);
    }
    EXPECT_EQ(std::vector<std::string>({kAttempting, Permissions(h, true), Permissions(entry, !c.swapped),
                                        FileRemoval(entry, c.removed), Permissions(SystemHideout(), true)}),
              Log());
    EXPECT_EQ(systemAttributes, sim::Node(outside)->attributes);
    EXPECT_EQ(guarded, sim::Node(outside)->securityDescriptor);
    EXPECT_EQ("system code", sim::FileText(outside));
    EXPECT_EQ(c.swapped ? 2u : 1u, sim::LinkCount(*sim::Node(outside)));
    EXPECT_EQ(c.swapped, sim::Exists(moved));
    EXPECT_EQ(c.swapped, sim::Exists(entry));
  }
}

// A hideout folder, or a folder on the way to it, that is a junction is not
// opened through: the removal ends that hideout with a line of its own and
// touches nothing behind it.
TEST_F(HideoutTest, HideoutFolderThatIsALinkIsNotListed)
{
  sim::MakeFile("C:\\Outside\\keep.txt", "k");
  sim::FsNode &junction = sim::MakeDir(SystemHideout());
  junction.reparseTarget = "C:\\Outside";
  junction.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  sim::FsNode &account = sim::MakeDir("C:\\$Recycle.Bin\\" + sim::M().userSid);
  account.reparseTarget = "C:\\Outside";
  account.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  sim::MakeDir("C:\\Outside\\" + kBotId);
  sim::MakeFile("C:\\Outside\\" + kBotId + "\\inner.txt", "i");
  RemoveMalwareFiles();
  EXPECT_EQ(std::vector<std::string>(
                {kAttempting, "Skipping hideout folder that is a reparse point: \\\\?\\C:\\$Recycle.Bin\\" + sim::M().userSid,
                 "Skipping hideout folder that is a reparse point: \\\\?\\" + SystemHideout()}),
            Log());
  EXPECT_TRUE(sim::Exists("C:\\Outside\\keep.txt"));
  EXPECT_TRUE(sim::Exists("C:\\Outside\\" + kBotId + "\\inner.txt"));
  EXPECT_TRUE(sim::Node("C:\\Outside")->securityDescriptor.empty());
  EXPECT_TRUE(sim::Node("C:\\Outside\\" + kBotId)->securityDescriptor.empty());
  EXPECT_TRUE(sim::Node(SystemHideout())->securityDescriptor.empty()) << "nor the link itself";
}

// PathAppendW holds MAX_PATH characters: an entry whose path would not fit
// is left with one line naming its folder and name, and the walk goes on.
TEST_F(HideoutTest, EntriesWithTooLongPathsAreSkippedNeverShortened)
{
  std::string h = UserHideout();
  std::string longPrefix = "\\\\?\\" + h;
  // A folder of 240 characters with the "\\?\" prefix: "ok.txt" fits below
  // it, a 30-character name does not.
  std::string deep = h + "\\" + std::string(240 - longPrefix.size() - 1, 'd');
  std::string tooLong(30, 'y');
  sim::MakeFile(deep + "\\" + tooLong, "y");
  sim::MakeFile(deep + "\\ok.txt", "o");
  // A folder of 257 characters fits, but its search pattern does not.
  std::string edge = h + "\\" + std::string(257 - longPrefix.size() - 1, 'e');
  sim::MakeFile(edge + "\\f", "f");
  sim::MakeDir(SystemHideout());
  RemoveMalwareFiles();
  EXPECT_EQ(std::vector<std::string>({kAttempting, Permissions(h, true), Permissions(deep + "\\ok.txt", true),
                                      FileRemoval(deep + "\\ok.txt", true), Skipping(deep, tooLong),
                                      Permissions(deep, true), FolderRemoval(deep, false), SkippingFolder(edge),
                                      Permissions(edge, true), FolderRemoval(edge, false),
                                      Permissions(SystemHideout(), true)}),
            Log());
  EXPECT_TRUE(sim::Exists(deep + "\\" + tooLong));
  EXPECT_TRUE(sim::Exists(edge + "\\f"));
  EXPECT_FALSE(sim::Exists(deep + "\\ok.txt"));
}

// PathAppendW can fail or canonicalise what it joins: the folder or entry is
// then named in a line of its own, and never listed or visited.
TEST_F(HideoutTest, SearchPatternOrNameThatCannotBeJoined)
{
  const struct {
    const char *what;
    int nth;  // the PathAppendW call that fails: the recycle bin, account and
              // BOT ID come first
    std::function<std::vector<std::string>(const std::string &folder)> lines;
    bool aStays, bStays;
  } cases[] = {
      {"search pattern", 4,
       [](const std::string &f) {
         return std::vector<std::string>{Permissions(f, true),
                                         "Skipping folder whose search pattern cannot be formed: \\\\?\\" + f};
       },
       true, true},
      {"entry name", 5,
       [](const std::string &f) {
         return std::vector<std::string>{
             Permissions(f, true),
             "Skipping entry whose name cannot be joined to its folder path in \\\\?\\" + f + ": a.txt",
             Permissions(f + "\\b.txt", true), FileRemoval(f + "\\b.txt", true)};
       },
       true, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    Install(6, 1);
    const std::string folder = UserHideout();
    sim::MakeFile(folder + "\\a.txt", "a");
    sim::MakeFile(folder + "\\b.txt", "b");
    sim::FailCall("PathAppendW", c.nth, ERROR_INVALID_PARAMETER);
    RemoveMalwareFiles();
    std::vector<std::string> expected = {kAttempting};
    for (const std::string &line : c.lines(folder))
      expected.push_back(line);
    expected.push_back(Permissions(SystemHideout(), false));
    EXPECT_EQ(expected, Log());
    EXPECT_EQ(c.aStays, sim::Exists(folder + "\\a.txt"));
    EXPECT_EQ(c.bStays, sim::Exists(folder + "\\b.txt"));
  }
}

TEST_F(HideoutTest, LinesLongerThanTheBufferAreCut)
{
  std::string h = UserHideout();
  std::string longPrefix = "\\\\?\\" + h;
  std::string deep = h + "\\" + std::string(240 - longPrefix.size() - 1, 'd');
  std::string name(255, 'n');
  sim::MakeFile(deep + "\\" + name, "n");
  sim::MakeDir(SystemHideout());
  RemoveMalwareFiles();
  std::string full = Skipping(deep, name);
  ASSERT_GT(full.size(), 511u);
  std::vector<std::string> log = Log();
  ASSERT_EQ(6u, log.size());
  EXPECT_EQ(full.substr(0, 511), log[2]);
  EXPECT_EQ(FolderRemoval(deep, false), log[4]);
}

TEST_F(HideoutTest, NormalRunEmptiesBothHideoutsBeforeCleaningFinished)
{
  CloseCleanerLog();
  sim::Reset();
  sim::InstallWindows(5, 1, VER_NT_WORKSTATION, false);
  sim::M().volumeCreationTime = kJune2012;
  std::string user = "C:\\RECYCLER\\" + sim::M().userSid + "\\" + kBotId;
  std::string system = "C:\\RECYCLER\\S-1-5-18\\" + kBotId;
  sim::MakeFile(user + "\\u.exe", "u");
  sim::MakeFile(system + "\\s.exe", "s");
  EXPECT_EQ(0, RunCleanerWith({"-r"}, "k"));
  EXPECT_TRUE(sim::Exists(user + "\\u.exe")) << "restore mode removes nothing";
  EXPECT_EQ(0, RunCleanerWith({}, "nk"));
  std::vector<std::string> log;
  // The COM repair comes first; these classes are not registered on this machine.
  for (const std::string &line : LastSection(kXpDesktop))
    if (line.compare(0, 27, "Failed to open registry key") != 0)
      log.push_back(line);
  std::vector<std::string> expected = {"Detected pre-Vista 32 bit windows system",
                                       kAttempting,
                                       Permissions(user, true),
                                       Permissions(user + "\\u.exe", true),
                                       FileRemoval(user + "\\u.exe", true),
                                       Permissions(system, true),
                                       Permissions(system + "\\s.exe", true),
                                       FileRemoval(system + "\\s.exe", true),
                                       "Cleaning finished"};
  EXPECT_EQ(expected, log);
  EXPECT_TRUE(sim::ChildrenOf(user).empty());
  EXPECT_TRUE(sim::ChildrenOf(system).empty());
}

// The simulated platform calls the removal relies on, with the platform's
// error codes.
class RemovalPlatformTest : public SimTest {
protected:
  void SetUp() override
  {
    SimTest::SetUp();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
  }
};

TEST_F(RemovalPlatformTest, PathAppendHoldsMaxPathCharacters)
{
  WCHAR path[MAX_PATH + 8];
  std::vector<WCHAR> base = Wide("C:\\" + std::string(250, 'b'));  // 253 characters
  lstrcpyW(path, base.data());
  ASSERT_TRUE(PathAppendW(path, Wide("\\12345").data()));
  EXPECT_EQ(259, lstrlenW(path)) << "one backslash between, leading ones dropped";
  lstrcpyW(path, base.data());
  EXPECT_FALSE(PathAppendW(path, Wide("123456").data()));
  EXPECT_EQ(0, path[0]) << "a failed append leaves the buffer empty";
  lstrcpyW(path, Wide("\\\\?\\C:\\a\\").data());
  ASSERT_TRUE(PathAppendW(path, Wide("b\\..\\c").data()));
  EXPECT_EQ("\\\\?\\C:\\a\\c", Narrow(path));
  lstrcpyW(path, Wide("C:\\Windows\\system32").data());
  ASSERT_TRUE(PathStripToRootW(path));
  EXPECT_EQ("C:\\", Narrow(path));
}

TEST_F(RemovalPlatformTest, DeleteAndRemoveDirectoryErrors)
{
  sim::MakeFile("C:\\T\\ro", "r").attributes |= FILE_ATTRIBUTE_READONLY;
  sim::MakeFile("C:\\T\\held", "h").heldShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;
  sim::MakeFile("C:\\T\\shared", "s").heldShareMode = FILE_SHARE_READ | FILE_SHARE_DELETE;
  sim::MakeFile("C:\\T\\guarded", "g").securityDescriptor = Descriptor(FILE_GENERIC_READ);
  sim::MakeDir("C:\\U").securityDescriptor = Descriptor(FILE_LIST_DIRECTORY | FILE_TRAVERSE);
  sim::MakeFile("C:\\U\\guarded", "g").securityDescriptor = Descriptor(FILE_GENERIC_READ);
  sim::MakeFile("C:\\U\\deletable", "d").securityDescriptor = Descriptor(DELETE);
  sim::MakeFile("C:\\T\\full\\x", "x");
  sim::MakeFile("C:\\Target\\x", "x");
  sim::FsNode &j = sim::MakeDir("C:\\T\\junction");
  j.reparseTarget = "C:\\Target";
  j.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  const struct {
    const char *call, *path;
    BOOL ok;
    DWORD error;
  } cases[] = {
      {"DeleteFileW", "C:\\T\\ro", FALSE, ERROR_ACCESS_DENIED},
      {"DeleteFileW", "C:\\T\\held", FALSE, ERROR_SHARING_VIOLATION},
      {"DeleteFileW", "C:\\T\\shared", TRUE, 0},
      // FILE_DELETE_CHILD on the folder (default descriptor) is enough.
      {"DeleteFileW", "C:\\T\\guarded", TRUE, 0},
      {"DeleteFileW", "C:\\U\\guarded", FALSE, ERROR_ACCESS_DENIED},
      {"DeleteFileW", "C:\\U\\deletable", TRUE, 0},
      {"DeleteFileW", "C:\\T\\full", FALSE, ERROR_ACCESS_DENIED},
      {"DeleteFileW", "C:\\T\\none", FALSE, ERROR_FILE_NOT_FOUND},
      {"DeleteFileW", "C:\\T\\none\\x", FALSE, ERROR_PATH_NOT_FOUND},
      {"RemoveDirectoryW", "C:\\T\\full", FALSE, ERROR_DIR_NOT_EMPTY},
      {"RemoveDirectoryW", "C:\\T\\ro", FALSE, ERROR_DIRECTORY},
      {"RemoveDirectoryW", "C:\\T\\junction", TRUE, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + c.path);
    std::vector<WCHAR> path = Wide(std::string("\\\\?\\") + c.path);
    SetLastError(0xdeadbeef);
    BOOL ok = std::string(c.call) == "DeleteFileW" ? DeleteFileW(path.data()) : RemoveDirectoryW(path.data());
    EXPECT_EQ(c.ok, ok);
    if (!c.ok) {
      EXPECT_EQ(c.error, GetLastError());
    }
    if (c.error != ERROR_FILE_NOT_FOUND && c.error != ERROR_PATH_NOT_FOUND) {
      EXPECT_EQ(!c.ok, sim::Exists(c.path));
    }
  }
  EXPECT_EQ("x", sim::FileText("C:\\Target\\x")) << "a junction's target stays";
}

// Hard links: one file under several names, its index, link count, content,
// attributes and descriptor shared, read through a handle on any name.
TEST_F(RemovalPlatformTest, HardLinksShareOneFile)
{
  sim::MakeFile("C:\\A\\one.bin", "shared");
  sim::MakeDir("C:\\B");
  sim::MakeHardLink("C:\\A\\one.bin", "C:\\B\\two.bin");
  sim::MakeFile("C:\\A\\single.bin", "s");
  auto info = [](const std::string &path, DWORD access, BY_HANDLE_FILE_INFORMATION *out) -> DWORD {
    HANDLE h = CreateFileW(Wide(path).data(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
      return GetLastError();
    memset(out, 0xEE, sizeof(*out));
    SetLastError(0xdeadbeef);
    DWORD error = GetFileInformationByHandle(h, out) ? ERROR_SUCCESS : GetLastError();
    CloseHandle(h);
    return error;
  };
  BY_HANDLE_FILE_INFORMATION one, two, single;
  ASSERT_EQ((DWORD)ERROR_SUCCESS, info("C:\\A\\one.bin", FILE_READ_ATTRIBUTES, &one));
  ASSERT_EQ((DWORD)ERROR_SUCCESS, info("C:\\B\\two.bin", FILE_READ_ATTRIBUTES, &two));
  ASSERT_EQ((DWORD)ERROR_SUCCESS, info("C:\\A\\single.bin", FILE_READ_ATTRIBUTES, &single));
  EXPECT_EQ(2u, one.nNumberOfLinks);
  EXPECT_EQ(1u, single.nNumberOfLinks);
  EXPECT_EQ(one.nFileIndexLow, two.nFileIndexLow);
  EXPECT_EQ(one.nFileIndexHigh, two.nFileIndexHigh);
  EXPECT_NE(one.nFileIndexLow, single.nFileIndexLow);
  EXPECT_EQ(6u, one.nFileSizeLow);
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, one.dwFileAttributes);
  BY_HANDLE_FILE_INFORMATION denied;
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, info("C:\\A\\one.bin", WRITE_DAC, &denied)) << "needs FILE_READ_ATTRIBUTES";

  // A change through one name shows through the other.
  EXPECT_TRUE(SetFileAttributesW(Wide("C:\\B\\two.bin").data(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_READONLY, sim::Node("C:\\A\\one.bin")->attributes);
  std::vector<uint8_t> everyone;
  sim::SidFromString("S-1-1-0", &everyone);
  std::vector<uint8_t> acl = sim::BuildAcl({sim::Ace{ACCESS_ALLOWED_ACE_TYPE, 0, 0xFFFFFFFF, everyone}});
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, (PACL)acl.data(), FALSE));
  EXPECT_TRUE(SetFileSecurityW(Wide("C:\\A\\one.bin").data(), DACL_SECURITY_INFORMATION, &sd));
  EXPECT_TRUE(OpenToEveryone("C:\\B\\two.bin"));

  // Removing a name leaves the other, with one link.
  EXPECT_TRUE(SetFileAttributesW(Wide("C:\\A\\one.bin").data(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(DeleteFileW(Wide("C:\\A\\one.bin").data()));
  EXPECT_EQ("shared", sim::FileText("C:\\B\\two.bin"));
  ASSERT_EQ((DWORD)ERROR_SUCCESS, info("C:\\B\\two.bin", FILE_READ_ATTRIBUTES, &two));
  EXPECT_EQ(1u, two.nNumberOfLinks);
}

// DELETE is shared like data access: an open holding it without sharing it
// keeps others from deleting or renaming the name, and the reverse.
TEST_F(RemovalPlatformTest, DeleteAccessAndItsSharing)
{
  const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const struct {
    const char *what;
    DWORD access, share;  // the first open, on C:\D\f.bin
    BOOL deleteOpen, rename;
  } cases[] = {
      {"attributes only, all shared", FILE_READ_ATTRIBUTES, all, TRUE, TRUE},
      {"DELETE held, not shared", FILE_READ_ATTRIBUTES | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, FALSE, FALSE},
      {"DELETE held and shared", FILE_READ_ATTRIBUTES | DELETE, all, TRUE, TRUE},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    sim::MakeFile("C:\\D\\f.bin", "f");
    HANDLE first = CreateFileW(Wide("C:\\D\\f.bin").data(), c.access, c.share, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    SetLastError(0xdeadbeef);
    HANDLE second = CreateFileW(Wide("C:\\D\\f.bin").data(), DELETE, all, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(c.deleteOpen, second != INVALID_HANDLE_VALUE);
    if (second != INVALID_HANDLE_VALUE) {
      CloseHandle(second);
    } else {
      EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(c.rename, MoveFileExA("C:\\D\\f.bin", "C:\\D\\g.bin", 0));
    if (!c.rename) {
      EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    }
    EXPECT_EQ(!c.rename, sim::Exists("C:\\D\\f.bin"));
    CloseHandle(first);
  }
  // A file another process holds without delete sharing refuses DELETE.
  FreshMachine();
  sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
  sim::MakeFile("C:\\D\\held.bin", "h").heldShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW(Wide("C:\\D\\held.bin").data(), DELETE, all, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
}

TEST_F(RemovalPlatformTest, FileSecurityNeedsWriteDacAndFollowsLinks)
{
  // Owned by someone else, granting only reading: WRITE_DAC is refused.
  sim::MakeFile("C:\\S\\foreign", "f").securityDescriptor = Descriptor(FILE_GENERIC_READ, false, "S-1-5-18");
  // The same DACL under an owner in the token: the owner may change it.
  sim::MakeFile("C:\\S\\owned", "o").securityDescriptor = Descriptor(FILE_GENERIC_READ);
  sim::MakeDir("C:\\Target");
  sim::FsNode &j = sim::MakeDir("C:\\S\\junction");
  j.reparseTarget = "C:\\Target";
  j.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;

  std::vector<uint8_t> everyone;
  sim::SidFromString("S-1-1-0", &everyone);
  std::vector<uint8_t> acl = sim::BuildAcl({sim::Ace{ACCESS_ALLOWED_ACE_TYPE, 0, 0xFFFFFFFF, everyone}});
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, (PACL)acl.data(), FALSE));

  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetFileSecurityW(Wide("C:\\S\\foreign").data(), DACL_SECURITY_INFORMATION, &sd));
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
  EXPECT_TRUE(SetFileSecurityW(Wide("C:\\S\\owned").data(), DACL_SECURITY_INFORMATION, &sd));
  EXPECT_TRUE(OpenToEveryone("C:\\S\\owned"));
  EXPECT_TRUE(SetFileSecurityW(Wide("C:\\S\\junction").data(), DACL_SECURITY_INFORMATION, &sd));
  EXPECT_TRUE(OpenToEveryone("C:\\Target")) << "the link passes it on to its target";
  EXPECT_TRUE(sim::Node("C:\\S\\junction")->securityDescriptor.empty());
}

}  // namespace
