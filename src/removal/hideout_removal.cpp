// Hideout removal: the malware's two folders in the system drive's recycle
// bin, named by the BOT ID, are opened up to Everyone and emptied bottom-up.
#include "../cleaner.h"
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

int GetCurrentUserSid(WCHAR *sidText)
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

void ChangeFilePermissions(const WCHAR *path) { OpenUpEntry(path, 0); }

// Entries a scan's walk of one hideout came across.
static DWORD g_scanEntries;

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

void WalkTree(const WCHAR *folder, EntryVisitor visitor)
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
      WalkTree(child, visitor);
    visitor(child);
  } while (FindNextFileW(find, &entry));

out:
  if (find != INVALID_HANDLE_VALUE)
    FindClose(find);
}

// Only a name is ever removed: a hard link's other names, and whatever a
// junction or link points to, stay.
void RemoveEntry(const WCHAR *path)
{
  DWORD attributes;
  BOOL isDirectory;
  BOOL removed;

  // A scan only counts what the run would remove.
  if (!ChangeAllowed(CHANGE_FILE, 1, NULL)) {
    g_scanEntries++;
    return;
  }
  attributes = OpenUpEntry(path, 1);

  if (attributes != INVALID_FILE_ATTRIBUTES)
    isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  else
    isDirectory = PathIsDirectoryW(path);
  if (isDirectory) {
    removed = RemoveDirectoryW(path);
    LogPathLine(removed ? "Removing directory %S... success" : "Removing directory %S... failed", path, NULL);
  } else {
    removed = DeleteFileW(path);
    LogPathLine(removed ? "Removing file %S... success" : "Removing file %S... failed", path, NULL);
  }
  if (!removed)
    NoteFailure();
}

// Opens up and empties one hideout folder: root\account\botId. A scan walks
// the same folders and logs, for each one present, how many entries the run
// would remove.
static void EmptyHideout(const WCHAR *hideoutRoot, const WCHAR *account, const WCHAR *botId)
{
  WCHAR folder[MAX_PATH];
  char formatted[FORMAT_TEXT_BYTES];
  char line[LOG_TEXT_BYTES];
  BOOL present;

  lstrcpynW(folder, hideoutRoot, MAX_PATH);
  if (!PathAppendW(folder, account) || !PathAppendW(folder, botId))
    return;
  present = GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES;
  g_scanEntries = 0;
  if (ChangeAllowed(CHANGE_FILE, present, NULL))
    ChangeFilePermissions(folder);
  else if (!present)
    return;
  WalkTree(folder, RemoveEntry);
  if (IsScanRun()) {
    wsprintfA(formatted, "Hideout folder %S is present; entries to remove: %u", folder, (unsigned)g_scanEntries);
    lstrcpynA(line, formatted, sizeof(line));
    LogLine(line);
  }
}

// Ordinal, code unit by code unit, so that the order is the same on every machine.
static int CompareNames(const WCHAR *a, const WCHAR *b)
{
  while (*a != 0 && *a == *b) {
    a++;
    b++;
  }
  return (int)*a - (int)*b;
}

// A recycle-bin folder of an account: "S-1-" and more, a real folder (a
// junction in its place would lead the removal elsewhere), neither of the
// two accounts done already.
static BOOL IsOtherAccountFolder(const WIN32_FIND_DATAW *entry, const WCHAR *userSid)
{
  const WCHAR *name = entry->cFileName;

  if ((entry->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY)
    return FALSE;
  if (name[0] != L'S' || name[1] != L'-' || name[2] != L'1' || name[3] != L'-')
    return FALSE;
  if (CompareNames(name, L"S-1-5-18") == 0 || (userSid != NULL && CompareNames(name, userSid) == 0))
    return FALSE;
  return TRUE;
}

// Finds the account folder whose name comes next after previous (all when
// previous is empty) in ordinal order; zero when there is none.
static int NextAccountFolder(const WCHAR *hideoutRoot, const WCHAR *userSid, const WCHAR *previous, WCHAR *next)
{
  WCHAR pattern[MAX_PATH];
  WIN32_FIND_DATAW entry;
  HANDLE find;
  int found = 0;

  lstrcpynW(pattern, hideoutRoot, MAX_PATH);
  if (!PathAppendW(pattern, L"S-1-*"))
    return 0;
  find = FindFirstFileW(pattern, &entry);
  if (find == INVALID_HANDLE_VALUE)
    return 0;
  do {
    if (!IsOtherAccountFolder(&entry, userSid))
      continue;
    if (previous[0] != 0 && CompareNames(entry.cFileName, previous) <= 0)
      continue;
    if (found && CompareNames(entry.cFileName, next) >= 0)
      continue;
    lstrcpynW(next, entry.cFileName, MAX_PATH);
    found = 1;
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return found;
}

// Every other account's folder, in ordinal order of the SID text: the
// infected user's when the run is made as LocalSystem or as another
// administrator. One listing per folder taken keeps the order without a
// list of names.
static void EmptyOtherHideouts(const WCHAR *hideoutRoot, const WCHAR *userSid, const WCHAR *botId)
{
  WCHAR previous[MAX_PATH];
  WCHAR next[MAX_PATH];

  previous[0] = 0;
  while (NextAccountFolder(hideoutRoot, userSid, previous, next)) {
    EmptyHideout(hideoutRoot, next, botId);
    lstrcpynW(previous, next, MAX_PATH);
  }
}

int RemoveMalwareFiles(void)
{
  WCHAR systemRoot[MAX_PATH];
  WCHAR hideoutRoot[MAX_PATH];
  WCHAR botId[MAX_PATH];
  WCHAR sidText[MAX_PATH];
  OSVERSIONINFOW version;
  DWORD length;
  int haveSid;

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
    NoteFailure();
    return 0;
  }
  PathAppendW(hideoutRoot, version.dwMajorVersion < 6 ? L"RECYCLER\\" : L"$Recycle.Bin\\");

  if (!DeriveBotId(botId)) {
    LogLine("Failed to generate BOT ID");
    NoteFailure();
    return 0;
  }
  haveSid = GetCurrentUserSid(sidText);
  if (haveSid)
    EmptyHideout(hideoutRoot, sidText, botId);
  EmptyHideout(hideoutRoot, L"S-1-5-18", botId);
  EmptyOtherHideouts(hideoutRoot, haveSid ? sidText : NULL, botId);
  return 1;
}
