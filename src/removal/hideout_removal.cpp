// Hideout removal: the malware's two folders in the system drive's recycle
// bin, named by the BOT ID, are emptied bottom-up by held handles, and what
// stays is left to SYSTEM and Administrators alone.
#include "../cleaner.h"
#include "nt_file.h"
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

static void LogCountLine(const char *format, const WCHAR *path, DWORD count)
{
  char formatted[FORMAT_TEXT_BYTES];
  char line[LOG_TEXT_BYTES];

  wsprintfA(formatted, format, path, (unsigned)count);
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

// Every handle of the walk is opened relative to the folder above it, the
// last component as itself (FILE_OPEN_REPARSE_POINT), so that no junction,
// mount point or link put anywhere in the path carries an open elsewhere.
// Held handles share no delete access: while one is open, nothing can
// rename, delete or replace the folder or entry it holds.
#define HOLD_SHARE (FILE_SHARE_READ | FILE_SHARE_WRITE)
// A second handle on something already held (which denies delete sharing to
// everyone else through the first).
#define REOPEN_SHARE (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)
#define CHAIN_ACCESS (FILE_TRAVERSE | FILE_READ_ATTRIBUTES)
#define LIST_ACCESS (FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES)
// The entry itself, folders too; no data access, so no other process's share
// mode refuses the open but one that denies delete sharing, which is then met
// by an open without DELETE: such an entry cannot be removed, but it can
// still have its DACL replaced.
#define ENTRY_ACCESS (FILE_READ_ATTRIBUTES | WRITE_DAC | DELETE)
#define UNDELETABLE_ENTRY_ACCESS (FILE_READ_ATTRIBUTES | WRITE_DAC)

// What is left of the malware's folders, and anything that fails to go,
// grants SYSTEM and Administrators full control and nobody else.
static const char g_ProtectedSddl[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Gives the object behind the handle the protected DACL.
static BOOL ApplyProtectedDacl(HANDLE entry)
{
  PSECURITY_DESCRIPTOR sd = NULL;
  BOOL applied = FALSE;

  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(g_ProtectedSddl, SDDL_REVISION_1, &sd, NULL)) {
    sd = NULL;
    goto out;
  }
  applied = SetKernelObjectSecurity(entry, DACL_SECURITY_INFORMATION, sd);

out:
  if (sd != NULL)
    LocalFree(sd);
  return applied;
}

static void LogPermissions(const WCHAR *path, BOOL applied)
{
  LogPathLine(applied ? "Changing file permissions on file %S... success" : "Changing file permissions on file %S... failure",
              path, NULL);
}

// Gives a read-only file normal attributes, since read-only refuses
// deletion: through a second handle on the very file held.
static void UnlockEntry(HANDLE entry)
{
  HANDLE writer = NULL;

  if (NtOpenEntry(&writer, entry, NULL, 0, FILE_WRITE_ATTRIBUTES, REOPEN_SHARE, 0) != STATUS_SUCCESS)
    goto out;
  NtSetEntryAttributes(writer, FILE_ATTRIBUTE_NORMAL);

out:
  NtCloseEntry(writer);
}

static void WalkHeldFolder(HANDLE folder, const WCHAR *folderPath);

// Entries a scan's walk of one hideout came across.
static DWORD g_scanEntries;

// One listed entry of a held folder: opened relative to it and taken only
// when its handle holds the file that was listed (a name swapped since for a
// link, a folder or another file is left alone). A real folder is emptied
// first; then its DACL is replaced, a read-only file of one name unlocked,
// and the name deleted, all through the handle. A file's descriptor and
// attributes are shared by all its hard links, some of which may lie outside
// the hideout, so a file of more than one name keeps them. A junction or
// link is removed as itself, never entered.
static void RemoveListedEntry(HANDLE folder, const WCHAR *path, const WCHAR *name, const NtListedEntry *listed)
{
  HANDLE entry = NULL;
  HANDLE listing = NULL;
  NtEntryInfo info;
  BOOL same = FALSE;
  BOOL isDirectory = (listed->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  BOOL applied = FALSE;
  BOOL removed = FALSE;
  BOOL deletable = TRUE;
  NTSTATUS status;

  status = NtOpenEntry(&entry, folder, name, lstrlenW(name), ENTRY_ACCESS, HOLD_SHARE, 0);
  if (status == STATUS_SHARING_VIOLATION) {
    deletable = FALSE;
    status = NtOpenEntry(&entry, folder, name, lstrlenW(name), UNDELETABLE_ENTRY_ACCESS, HOLD_SHARE, 0);
  }
  if (status == STATUS_SUCCESS && NtReadEntryInfo(entry, &info) == STATUS_SUCCESS && info.fileId == listed->fileId)
    same = TRUE;
  if (same) {
    isDirectory = info.isDirectory;
    if (isDirectory && !(info.attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        NtOpenEntry(&listing, entry, NULL, 0, LIST_ACCESS, REOPEN_SHARE, FILE_DIRECTORY_FILE) == STATUS_SUCCESS)
      WalkHeldFolder(listing, path);
    NtCloseEntry(listing);
  }
  // A scan walks the same way and only counts what the run would remove.
  if (!ChangeAllowed(CHANGE_FILE, 1, NULL)) {
    g_scanEntries++;
    NtCloseEntry(entry);
    return;
  }
  if (same) {
    if (isDirectory || info.links == 1)
      applied = ApplyProtectedDacl(entry);
    if (!isDirectory && info.links == 1 && (info.attributes & FILE_ATTRIBUTE_READONLY))
      UnlockEntry(entry);
  }
  LogPermissions(path, applied);
  if (same && deletable)
    removed = NtMarkEntryDeleted(entry) == STATUS_SUCCESS;
  // The name goes when the last handle on it closes: this one.
  NtCloseEntry(entry);
  if (isDirectory)
    LogPathLine(removed ? "Removing directory %S... success" : "Removing directory %S... failed", path, NULL);
  else
    LogPathLine(removed ? "Removing file %S... success" : "Removing file %S... failed", path, NULL);
  if (!removed)
    NoteFailure();
}

// Removes every entry below the held folder, depth first, contents before
// their folder. folderPath names the folder in the log lines.
static void WalkHeldFolder(HANDLE folder, const WCHAR *folderPath)
{
  WCHAR pattern[WALK_PATH_CHARS];
  WCHAR child[WALK_PATH_CHARS];
  WCHAR name[MAX_PATH];
  NtListing listing;
  NtListedEntry listed;
  enum JoinResult joined;
  int i;

  for (i = 0; i < WALK_PATH_CHARS; i++) {
    pattern[i] = 0;
    child[i] = 0;
  }
  // The folder's entries are named by joining to its path; a path that
  // cannot take even the search pattern cannot name them.
  joined = JoinEntryPath(pattern, folderPath, L"*.*");
  if (joined != JOINED) {
    LogPathLine(joined == JOIN_TOO_LONG ? "Skipping folder whose search pattern is too long: %S"
                                        : "Skipping folder whose search pattern cannot be formed: %S",
                folderPath, NULL);
    return;
  }
  NtStartListing(&listing, folder);
  while (NtNextListedEntry(&listing, &listed) == STATUS_SUCCESS) {
    // A component holds at most 255 characters.
    if (listed.nameChars == 0 || listed.nameChars >= MAX_PATH)
      continue;
    for (i = 0; i < (int)listed.nameChars; i++)
      name[i] = listed.name[i];
    name[listed.nameChars] = 0;
    if (IsDotEntry(name))
      continue;
    joined = JoinEntryPath(child, folderPath, name);
    if (joined == JOIN_TOO_LONG) {
      LogPathLine("Skipping entry with too long path in %S: %S", folderPath, name);
      continue;
    }
    if (joined == JOIN_CHANGED) {
      LogPathLine("Skipping entry whose name cannot be joined to its folder path in %S: %S", folderPath, name);
      continue;
    }
    RemoveListedEntry(folder, child, name, &listed);
  }
}

// Opens one component below a held folder as a folder, never through a
// reparse point. Returns 1 with the handle, 0 when it cannot be opened, -1
// (and no handle) when it is a reparse point.
static int OpenChainFolder(HANDLE *opened, HANDLE parent, const WCHAR *name, ACCESS_MASK access)
{
  NtEntryInfo info;

  if (NtOpenEntry(opened, parent, name, lstrlenW(name), access, HOLD_SHARE, FILE_DIRECTORY_FILE) != STATUS_SUCCESS)
    return 0;
  if (NtReadEntryInfo(*opened, &info) != STATUS_SUCCESS || !info.isDirectory) {
    NtCloseEntry(*opened);
    *opened = NULL;
    return 0;
  }
  if (info.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    NtCloseEntry(*opened);
    *opened = NULL;
    return -1;
  }
  return 1;
}

// A scan walks the same folders and logs, for each one present, how many
// entries the run would remove.
int EmptyHideoutFolder(HANDLE parent, const WCHAR *folderPath, const WCHAR *name)
{
  HANDLE hideout = NULL;
  HANDLE listing = NULL;
  BOOL applied = FALSE;
  int opened;

  opened = OpenChainFolder(&hideout, parent, name, FILE_READ_ATTRIBUTES | WRITE_DAC);
  if (opened < 0) {
    LogPathLine("Skipping hideout folder that is a reparse point: %S", folderPath, NULL);
    return 0;
  }
  g_scanEntries = 0;
  if (ChangeAllowed(CHANGE_FILE, opened > 0, NULL)) {
    if (opened > 0)
      applied = ApplyProtectedDacl(hideout);
    LogPermissions(folderPath, applied);
  } else if (opened == 0)
    return 0;
  if (opened > 0 &&
      NtOpenEntry(&listing, hideout, NULL, 0, LIST_ACCESS, REOPEN_SHARE, FILE_DIRECTORY_FILE) == STATUS_SUCCESS)
    WalkHeldFolder(listing, folderPath);
  NtCloseEntry(listing);
  NtCloseEntry(hideout);
  if (IsScanRun())
    LogCountLine("Hideout folder %S is present; entries to remove: %u", folderPath, g_scanEntries);
  return opened > 0;
}

// Opens up and empties one hideout folder: recycleBin\account\botId, where
// recycleBin is held open and named by recycleBinPath in the log.
static void EmptyHideout(HANDLE recycleBin, const WCHAR *recycleBinPath, const WCHAR *account, const WCHAR *botId)
{
  WCHAR accountPath[MAX_PATH];
  WCHAR folder[MAX_PATH];
  HANDLE accountFolder = NULL;
  int opened = 0;

  lstrcpynW(accountPath, recycleBinPath, MAX_PATH);
  if (!PathAppendW(accountPath, account))
    return;
  lstrcpynW(folder, accountPath, MAX_PATH);
  if (!PathAppendW(folder, botId))
    return;
  if (recycleBin != NULL)
    opened = OpenChainFolder(&accountFolder, recycleBin, account, CHAIN_ACCESS);
  if (opened < 0)
    LogPathLine("Skipping hideout folder that is a reparse point: %S", accountPath, NULL);
  else if (opened == 0) {
    // No account folder: a scan has nothing to report.
    if (ChangeAllowed(CHANGE_FILE, 0, NULL))
      LogPermissions(folder, FALSE);
  } else
    EmptyHideoutFolder(accountFolder, folder, botId);
  NtCloseEntry(accountFolder);
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
static BOOL IsOtherAccountFolder(const NtListedEntry *listed, const WCHAR *name, const WCHAR *userSid)
{
  if ((listed->attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY)
    return FALSE;
  if (name[0] != L'S' || name[1] != L'-' || name[2] != L'1' || name[3] != L'-')
    return FALSE;
  if (CompareNames(name, L"S-1-5-18") == 0 || (userSid != NULL && CompareNames(name, userSid) == 0))
    return FALSE;
  return TRUE;
}

// Finds, in a listing of the held recycle bin, the account folder whose name
// comes next after previous (all when previous is empty) in ordinal order;
// zero when there is none.
static int NextAccountFolder(HANDLE recycleBin, const WCHAR *userSid, const WCHAR *previous, WCHAR *next)
{
  HANDLE folder = NULL;
  NtListing listing;
  NtListedEntry listed;
  WCHAR name[MAX_PATH];
  int found = 0;
  DWORD i;

  if (NtOpenEntry(&folder, recycleBin, NULL, 0, LIST_ACCESS, REOPEN_SHARE, FILE_DIRECTORY_FILE) != STATUS_SUCCESS)
    return 0;
  NtStartListing(&listing, folder);
  while (NtNextListedEntry(&listing, &listed) == STATUS_SUCCESS) {
    if (listed.nameChars == 0 || listed.nameChars >= MAX_PATH)
      continue;
    for (i = 0; i < listed.nameChars; i++)
      name[i] = listed.name[i];
    name[listed.nameChars] = 0;
    if (!IsOtherAccountFolder(&listed, name, userSid))
      continue;
    if (previous[0] != 0 && CompareNames(name, previous) <= 0)
      continue;
    if (found && CompareNames(name, next) >= 0)
      continue;
    lstrcpynW(next, name, MAX_PATH);
    found = 1;
  }
  NtCloseEntry(folder);
  return found;
}

// Every other account's folder, in ordinal order of the SID text: the
// infected user's when the run is made as LocalSystem or as another
// administrator. One listing per folder taken keeps the order without a
// list of names.
static void EmptyOtherHideouts(HANDLE recycleBin, const WCHAR *recycleBinPath, const WCHAR *userSid,
                               const WCHAR *botId)
{
  WCHAR previous[MAX_PATH];
  WCHAR next[MAX_PATH];

  if (recycleBin == NULL)
    return;
  previous[0] = 0;
  while (NextAccountFolder(recycleBin, userSid, previous, next)) {
    EmptyHideout(recycleBin, recycleBinPath, next, botId);
    lstrcpynW(previous, next, MAX_PATH);
  }
}

// Opens the system drive's recycle bin, component by component from the
// drive's root, each relative to the one before. Returns the handle, NULL
// when a component cannot be opened or is a reparse point (reparse set).
static HANDLE OpenRecycleBin(const WCHAR *driveRoot, const WCHAR *recycleBin, int *reparse)
{
  WCHAR rootName[MAX_PATH];
  HANDLE root = NULL;
  HANDLE bin = NULL;
  int opened;

  *reparse = 0;
  lstrcpyW(rootName, L"\\??\\");
  lstrcpynW(rootName + 4, driveRoot, MAX_PATH - 4);
  if (NtOpenEntry(&root, NULL, rootName, lstrlenW(rootName), CHAIN_ACCESS, HOLD_SHARE, FILE_DIRECTORY_FILE) !=
      STATUS_SUCCESS)
    goto out;
  opened = OpenChainFolder(&bin, root, recycleBin, CHAIN_ACCESS);
  if (opened < 0)
    *reparse = 1;

out:
  NtCloseEntry(root);
  return bin;
}

int RemoveMalwareFiles(void)
{
  WCHAR systemRoot[MAX_PATH];
  WCHAR hideoutRoot[MAX_PATH];
  WCHAR botId[MAX_PATH];
  WCHAR sidText[MAX_PATH];
  OSVERSIONINFOW version;
  const WCHAR *recycleBinName;
  HANDLE recycleBin;
  int reparse = 0;
  int haveSid;
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
    NoteFailure();
    return 0;
  }
  recycleBinName = version.dwMajorVersion < 6 ? L"RECYCLER" : L"$Recycle.Bin";
  PathAppendW(hideoutRoot, version.dwMajorVersion < 6 ? L"RECYCLER\\" : L"$Recycle.Bin\\");

  if (!DeriveBotId(botId)) {
    LogLine("Failed to generate BOT ID");
    NoteFailure();
    return 0;
  }
  recycleBin = NULL;
  if (LoadNtFileCalls())
    recycleBin = OpenRecycleBin(systemRoot, recycleBinName, &reparse);
  if (reparse)
    LogPathLine("Skipping hideout folder that is a reparse point: %S", hideoutRoot, NULL);
  else {
    haveSid = GetCurrentUserSid(sidText);
    if (haveSid)
      EmptyHideout(recycleBin, hideoutRoot, sidText, botId);
    EmptyHideout(recycleBin, hideoutRoot, L"S-1-5-18", botId);
    EmptyOtherHideouts(recycleBin, hideoutRoot, haveSid ? sidText : NULL, botId);
  }
  NtCloseEntry(recycleBin);
  return 1;
}
