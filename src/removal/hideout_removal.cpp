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

// SetFileSecurityW opens its object without FILE_OPEN_REPARSE_POINT, so on a
// junction or symbolic link it would re-permission the target, which may lie
// outside the hideout. A link is given its DACL through a handle on itself.
static BOOL ApplyDacl(const WCHAR *path, PSECURITY_DESCRIPTOR sd)
{
  HANDLE link = INVALID_HANDLE_VALUE;
  DWORD attributes;
  BOOL applied = FALSE;

  // Without its attributes a link cannot be told from a folder, and
  // SetFileSecurityW would re-permission whatever it points to.
  attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    goto out;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    applied = SetFileSecurityW(path, DACL_SECURITY_INFORMATION, sd);
    goto out;
  }
  link = CreateFileW(path, WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (link == INVALID_HANDLE_VALUE)
    goto out;
  applied = SetKernelObjectSecurity(link, DACL_SECURITY_INFORMATION, sd);

out:
  if (link != INVALID_HANDLE_VALUE)
    CloseHandle(link);
  return applied;
}

void ChangeFilePermissions(const WCHAR *path)
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
  applied = ApplyDacl(path, sd);

out:
  if (applied)
    LogPathLine("Changing file permissions on file %S... success", path, NULL);
  else
    LogPathLine("Changing file permissions on file %S... failure", path, NULL);
  if (everyone != NULL)
    FreeSid(everyone);
  if (acl != NULL)
    LocalFree(acl);
  if (sd != NULL)
    LocalFree(sd);
}

// Joins folder and name into path (WALK_PATH_CHARS characters). PathAppendW
// holds only MAX_PATH characters and drops "." and ".." components, so the
// result is taken only when it is exactly folder, one backslash and name.
static BOOL JoinEntryPath(WCHAR *path, const WCHAR *folder, const WCHAR *name)
{
  int folderLength = lstrlenW(folder);
  int nameLength = lstrlenW(name);
  int at;
  int i;

  lstrcpynW(path, folder, WALK_PATH_CHARS);
  if (!PathAppendW(path, name))
    return FALSE;
  at = folderLength;
  if (folderLength == 0 || folder[folderLength - 1] != L'\\')
    at++;
  if (lstrlenW(path) != at + nameLength)
    return FALSE;
  for (i = 0; i < folderLength; i++)
    if (path[i] != folder[i])
      return FALSE;
  if (at > folderLength && path[folderLength] != L'\\')
    return FALSE;
  return lstrcmpW(path + at, name) == 0;
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
  if (!JoinEntryPath(pattern, folder, L"*.*")) {
    LogPathLine("Skipping entry with too long path in %S: %S", folder, L"*.*");
    goto out;
  }
  find = FindFirstFileW(pattern, &entry);
  if (find == INVALID_HANDLE_VALUE)
    goto out;
  do {
    if (IsDotEntry(entry.cFileName))
      continue;
    if (!JoinEntryPath(child, folder, entry.cFileName)) {
      LogPathLine("Skipping entry with too long path in %S: %S", folder, entry.cFileName);
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

void RemoveEntry(const WCHAR *path)
{
  if (PathIsDirectoryW(path)) {
    ChangeFilePermissions(path);
    LogPathLine(RemoveDirectoryW(path) ? "Removing directory %S... success" : "Removing directory %S... failed", path,
                NULL);
  } else {
    ChangeFilePermissions(path);
    // Read-only files refuse deletion.
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    LogPathLine(DeleteFileW(path) ? "Removing file %S... success" : "Removing file %S... failed", path, NULL);
  }
}

// Opens up and empties one hideout folder: root\account\botId.
static void EmptyHideout(const WCHAR *hideoutRoot, const WCHAR *account, const WCHAR *botId)
{
  WCHAR folder[MAX_PATH];

  lstrcpynW(folder, hideoutRoot, MAX_PATH);
  if (!PathAppendW(folder, account) || !PathAppendW(folder, botId))
    return;
  ChangeFilePermissions(folder);
  WalkTree(folder, RemoveEntry);
}

int RemoveMalwareFiles(void)
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
  if (GetCurrentUserSid(sidText))
    EmptyHideout(hideoutRoot, sidText, botId);
  EmptyHideout(hideoutRoot, L"S-1-5-18", botId);
  return 1;
}
