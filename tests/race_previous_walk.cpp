// The previous hideout removal, kept for the race sweep only: it opens up
// and empties the hideouts by path, with FILE_FLAG_OPEN_REPARSE_POINT on the
// last component alone, and the sweep shows a user's junction sending its
// opens, DACL changes and deletions out of the hideout.
#include "cleaner.h"
#include "race_sweep.h"
#include <aclapi.h>
#include <sddl.h>
#include <shlwapi.h>

#define WALK_PATH_CHARS 1024
#define LOG_TEXT_BYTES 512
// wsprintfA writes at most 1024 characters and the terminator.
#define FORMAT_TEXT_BYTES 1025

// Formats a line with one or two wide texts and logs it, cut to the log's
// 512-byte line buffer.
static void LogPathLine(const char *format, const WCHAR *first, const WCHAR *second)
{
  char formatted[FORMAT_TEXT_BYTES];
  char line[LOG_TEXT_BYTES];

  wsprintfA(formatted, format, first, second);
  lstrcpynA(line, formatted, sizeof(line));
  LogLine(line);
}

static int OldGetCurrentUserSid(WCHAR *sidText)
{
  HANDLE token = NULL;
  TOKEN_USER *user = NULL;
  DWORD size = 0;
  LPWSTR text = NULL;
  int result = 0;

  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    token = NULL;
    goto out;
  }
  GetTokenInformation(token, TokenUser, NULL, 0, &size);
  if (size == 0)
    goto out;
  user = (TOKEN_USER *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
  if (user == NULL)
    goto out;
  if (!GetTokenInformation(token, TokenUser, user, size, &size))
    goto out;
  if (!ConvertSidToStringSidW(user->User.Sid, &text))
    goto out;
  // A SID's text is at most 184 characters, so the copy is never cut.
  lstrcpynW(sidText, text, MAX_PATH);
  LocalFree(text);
  result = 1;

out:
  if (user != NULL)
    HeapFree(GetProcessHeap(), 0, user);
  if (token != NULL)
    CloseHandle(token);
  return result;
}

// The entry itself, a junction or symbolic link included, folders too; no
// data access, so no other process's share mode refuses the open.
#define ENTRY_ACCESS (FILE_READ_ATTRIBUTES | WRITE_DAC)
#define ENTRY_SHARE (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)
#define ENTRY_FLAGS (FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS)

// Gives the object behind the handle a DACL that grants Everyone full access.
static BOOL ApplyEveryoneDacl(HANDLE entry)
{
  SID_IDENTIFIER_AUTHORITY worldAuthority = {SECURITY_WORLD_SID_AUTHORITY};
  EXPLICIT_ACCESS_W access;
  PSID everyone = NULL;
  PACL acl = NULL;
  PSECURITY_DESCRIPTOR sd = NULL;
  BOOL applied = FALSE;

  if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
    everyone = NULL;
    goto out;
  }
  access.grfAccessPermissions = 0xFFFFFFFF;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = NO_INHERITANCE;
  access.Trustee.pMultipleTrustee = NULL;
  access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = (LPWSTR)everyone;
  if (SetEntriesInAclW(1, &access, NULL, &acl) != ERROR_SUCCESS) {
    acl = NULL;
    goto out;
  }
  sd = (PSECURITY_DESCRIPTOR)LocalAlloc(LMEM_ZEROINIT, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (sd == NULL)
    goto out;
  if (!InitializeSecurityDescriptor(sd, SECURITY_DESCRIPTOR_REVISION))
    goto out;
  if (!SetSecurityDescriptorDacl(sd, TRUE, acl, FALSE))
    goto out;
  applied = SetKernelObjectSecurity(entry, DACL_SECURITY_INFORMATION, sd);

out:
  if (everyone != NULL)
    FreeSid(everyone);
  if (acl != NULL)
    LocalFree(acl);
  if (sd != NULL)
    LocalFree(sd);
  return applied;
}

// Holding DELETE without sharing it pins the entry's name: while this handle
// is open nothing can rename, delete or replace it.
#define PIN_ACCESS (FILE_READ_ATTRIBUTES | DELETE)
#define PIN_SHARE (FILE_SHARE_READ | FILE_SHARE_WRITE)

// Gives a read-only file normal attributes, since read-only refuses deletion.
// There is no call on XP that sets attributes through a handle, so this goes
// by name, and only while a second handle pins that name to the very file
// that was tested (same volume, same file index).
static void UnlockEntry(const WCHAR *path, const BY_HANDLE_FILE_INFORMATION *tested)
{
  BY_HANDLE_FILE_INFORMATION pinned;
  HANDLE pin;

  pin = CreateFileW(path, PIN_ACCESS, PIN_SHARE, NULL, OPEN_EXISTING, ENTRY_FLAGS, NULL);
  if (pin == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(pin, &pinned))
    goto out;
  if (pinned.dwVolumeSerialNumber != tested->dwVolumeSerialNumber ||
      pinned.nFileIndexHigh != tested->nFileIndexHigh || pinned.nFileIndexLow != tested->nFileIndexLow)
    goto out;
  SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);

out:
  if (pin != INVALID_HANDLE_VALUE)
    CloseHandle(pin);
}

// Opens up one entry to Everyone through a handle on the entry itself: a link
// is changed as itself, never its target, and the entry whose attributes and
// link count were read is the one whose DACL changes. A file's descriptor is
// shared by all its hard links, some of which may lie outside the hideout, so
// a file of more than one name keeps it. With unlock, a read-only file of one
// name is given normal attributes.
// Returns the attributes read through the handle, INVALID_FILE_ATTRIBUTES
// when they could not be had.
static DWORD OpenUpEntry(const WCHAR *path, int unlock)
{
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE entry;
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  BOOL applied = FALSE;

  entry = CreateFileW(path, ENTRY_ACCESS, ENTRY_SHARE, NULL, OPEN_EXISTING, ENTRY_FLAGS, NULL);
  if (entry == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(entry, &info))
    goto out;
  attributes = info.dwFileAttributes;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && info.nNumberOfLinks > 1)
    goto out;
  applied = ApplyEveryoneDacl(entry);
  if (unlock && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == FILE_ATTRIBUTE_READONLY)
    UnlockEntry(path, &info);

out:
  LogPathLine(applied ? "Changing file permissions on file %S... success" : "Changing file permissions on file %S... failure",
              path, NULL);
  if (entry != INVALID_HANDLE_VALUE)
    CloseHandle(entry);
  return attributes;
}

static void OldChangeFilePermissions(const WCHAR *path) { OpenUpEntry(path, 0); }

enum JoinResult { JOINED, JOIN_TOO_LONG, JOIN_CHANGED };

// Joins folder and name into path (WALK_PATH_CHARS characters). PathAppendW
// holds only MAX_PATH characters and canonicalises what it joins (dot
// components among others), so the result is taken only when it is exactly
// folder, one backslash and name.
static enum JoinResult JoinEntryPath(WCHAR *path, const WCHAR *folder, const WCHAR *name)
{
  int folderLength = lstrlenW(folder);
  int nameLength = lstrlenW(name);
  int at = folderLength;
  int i;

  if (folderLength == 0 || folder[folderLength - 1] != L'\\')
    at++;
  if (at + nameLength >= MAX_PATH)
    return JOIN_TOO_LONG;
  lstrcpynW(path, folder, WALK_PATH_CHARS);
  if (!PathAppendW(path, name) || lstrlenW(path) != at + nameLength)
    return JOIN_CHANGED;
  for (i = 0; i < folderLength; i++)
    if (path[i] != folder[i])
      return JOIN_CHANGED;
  if (at > folderLength && path[folderLength] != L'\\')
    return JOIN_CHANGED;
  return lstrcmpW(path + at, name) == 0 ? JOINED : JOIN_CHANGED;
}

static BOOL IsDotEntry(const WCHAR *name)
{
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

typedef void (*EntryVisitor)(const WCHAR *path);

static void OldWalkTree(const WCHAR *folder, EntryVisitor visitor)
{
  WCHAR pattern[WALK_PATH_CHARS];
  WCHAR child[WALK_PATH_CHARS];
  WIN32_FIND_DATAW entry;
  HANDLE find = INVALID_HANDLE_VALUE;
  DWORD attributes;
  enum JoinResult joined;
  int i;

  for (i = 0; i < WALK_PATH_CHARS; i++) {
    pattern[i] = 0;
    child[i] = 0;
  }
  // Listing through a junction or link would carry the walk out of the
  // hideout; a folder whose attributes cannot be read might be one.
  attributes = GetFileAttributesW(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    goto out;
  joined = JoinEntryPath(pattern, folder, L"*.*");
  if (joined != JOINED) {
    LogPathLine(joined == JOIN_TOO_LONG ? "Skipping folder whose search pattern is too long: %S"
                                        : "Skipping folder whose search pattern cannot be formed: %S",
                folder, NULL);
    goto out;
  }
  find = FindFirstFileW(pattern, &entry);
  if (find == INVALID_HANDLE_VALUE)
    goto out;
  do {
    if (IsDotEntry(entry.cFileName))
      continue;
    joined = JoinEntryPath(child, folder, entry.cFileName);
    if (joined == JOIN_TOO_LONG) {
      LogPathLine("Skipping entry with too long path in %S: %S", folder, entry.cFileName);
      continue;
    }
    if (joined == JOIN_CHANGED) {
      LogPathLine("Skipping entry whose name cannot be joined to its folder path in %S: %S", folder, entry.cFileName);
      continue;
    }
    // A junction or directory link is visited as itself, never entered.
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      OldWalkTree(child, visitor);
    visitor(child);
  } while (FindNextFileW(find, &entry));

out:
  if (find != INVALID_HANDLE_VALUE)
    FindClose(find);
}

// Only a name is ever removed: a hard link's other names, and whatever a
// junction or link points to, stay.
static void OldRemoveEntry(const WCHAR *path)
{
  DWORD attributes = OpenUpEntry(path, 1);
  BOOL isDirectory;

  if (attributes != INVALID_FILE_ATTRIBUTES)
    isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  else
    isDirectory = PathIsDirectoryW(path);
  if (isDirectory)
    LogPathLine(RemoveDirectoryW(path) ? "Removing directory %S... success" : "Removing directory %S... failed", path,
                NULL);
  else
    LogPathLine(DeleteFileW(path) ? "Removing file %S... success" : "Removing file %S... failed", path, NULL);
}

// Opens up and empties one hideout folder: root\account\botId.
static void EmptyHideout(const WCHAR *hideoutRoot, const WCHAR *account, const WCHAR *botId)
{
  WCHAR folder[MAX_PATH];

  lstrcpynW(folder, hideoutRoot, MAX_PATH);
  if (!PathAppendW(folder, account) || !PathAppendW(folder, botId))
    return;
  OldChangeFilePermissions(folder);
  OldWalkTree(folder, OldRemoveEntry);
}

int PreviousRemoveMalwareFiles(void)
{
  WCHAR systemRoot[MAX_PATH];
  WCHAR hideoutRoot[MAX_PATH];
  WCHAR botId[MAX_PATH];
  WCHAR sidText[MAX_PATH];
  OSVERSIONINFOW version;
  DWORD length;

  LogLine("Attempting to remove malware files...");

  length = ExpandEnvironmentStringsW(L"%SystemRoot%", systemRoot, MAX_PATH);
  if (length == 0 || length > MAX_PATH)
    systemRoot[0] = 0;
  PathStripToRootW(systemRoot);
  lstrcpyW(hideoutRoot, L"\\\\?\\");
  lstrcpynW(hideoutRoot + 4, systemRoot, MAX_PATH - 4);

  memset(&version, 0, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExW(&version)) {
    LogLine("Failed to obtain OS version, aborting malware file removal");
    return 0;
  }
  PathAppendW(hideoutRoot, version.dwMajorVersion < 6 ? L"RECYCLER\\" : L"$Recycle.Bin\\");

  if (!DeriveBotId(botId)) {
    LogLine("Failed to generate BOT ID");
    return 0;
  }
  if (OldGetCurrentUserSid(sidText))
    EmptyHideout(hideoutRoot, sidText, botId);
  EmptyHideout(hideoutRoot, L"S-1-5-18", botId);
  return 1;
}
