// Clean services.exe restore: a component-store copy of the installed
// version replaces the patched file at the next boot; the patched file is
// kept beside the log.
#include "../cleaner.h"

#define BACKUP_PATH "DU Vizodav\\services.exe.infected"

// out = a + b + c, or 0 when that would not fit a MAX_PATH buffer.
static int JoinPath(char *out, const char *a, const char *b, const char *c)
{
  if (lstrlenA(a) + lstrlenA(b) + lstrlenA(c) >= MAX_PATH)
    return 0;
  lstrcpyA(out, a);
  lstrcatA(out, b);
  lstrcatA(out, c);
  return 1;
}

ULONGLONG ReadFileVersion(const char *path)
{
  DWORD size;
  DWORD unused = 0;
  void *info = NULL;
  VS_FIXEDFILEINFO *fixed = NULL;
  UINT length = 0;
  ULONGLONG version = 0;

  // Before Vista the handle out-parameter is not documented as optional; its value is unused.
  size = GetFileVersionInfoSizeA(path, &unused);
  if (size == 0)
    goto out;
  info = HeapAlloc(GetProcessHeap(), 0, size);
  if (info == NULL)
    goto out;
  if (!GetFileVersionInfoA(path, 0, size, info))
    goto out;
  // The root block holds VS_FIXEDFILEINFO.
  if (!VerQueryValueA(info, "\\", (LPVOID *)&fixed, &length))
    goto out;
  // VerQueryValueA trusts the block's own lengths and types: in a malformed
  // resource the structure may lie past the buffer (an address below it
  // wraps to a large offset), or off its DWORD boundary where the root
  // claims to hold text.
  if (size < sizeof(VS_FIXEDFILEINFO) || (ULONG_PTR)fixed - (ULONG_PTR)info > size - sizeof(VS_FIXEDFILEINFO) ||
      ((ULONG_PTR)fixed & 3) != 0)
    goto out;
  version = (ULONGLONG)fixed->dwFileVersionMS << 32 | fixed->dwFileVersionLS;

out:
  if (info != NULL)
    HeapFree(GetProcessHeap(), 0, info);
  return version;
}

int FindCleanServicesExe(const char *windowsDir, ULONGLONG version, char *candidate)
{
  char pattern[MAX_PATH];
  char base[MAX_PATH];
  WIN32_FIND_DATAA entry;
  HANDLE search = INVALID_HANDLE_VALUE;
  DWORD attributes;
  int found = 0;

  if (!JoinPath(pattern, windowsDir, "\\winsxs\\*microsoft-windows-s*", "") ||
      !JoinPath(base, windowsDir, "\\winsxs\\", ""))
    goto out;
  search = FindFirstFileA(pattern, &entry);
  if (search == INVALID_HANDLE_VALUE)
    goto out;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      continue;
    if (!JoinPath(candidate, base, entry.cFileName, "\\services.exe"))
      continue;
    attributes = GetFileAttributesA(candidate);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
      continue;
    if (ReadFileVersion(candidate) != version)
      continue;
    // A patched copy of the same version would only replace one patched file by another.
    if (IsImageInfected(candidate))
      continue;
    found = 1;
  } while (!found && FindNextFileA(search, &entry));

out:
  if (search != INVALID_HANDLE_VALUE)
    FindClose(search);
  if (!found)
    candidate[0] = '\0';
  return found;
}

int RestoreCleanServicesExe(void)
{
  char systemDir[MAX_PATH];
  char windowsDir[MAX_PATH];
  char installed[MAX_PATH];
  char candidate[MAX_PATH];
  char message[MAX_PATH + 64];
  ULONGLONG version;
  DWORD versionMs, versionLs;
  DWORD attributes;
  UINT length;

  length = GetSystemDirectoryA(systemDir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || !JoinPath(installed, systemDir, "\\services.exe", "")) {
    LogLine("Failed to get services.exe path");
    return 0;
  }
  length = GetWindowsDirectoryA(windowsDir, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    LogLine("Failed to get windows path");
    return 0;
  }

  version = ReadFileVersion(installed);
  versionMs = (DWORD)(version >> 32);
  versionLs = (DWORD)version;
  wsprintfA(message, "Current infected services.exe version: %d.%d.%d.%d", (int)HIWORD(versionMs),
            (int)LOWORD(versionMs), (int)HIWORD(versionLs), (int)LOWORD(versionLs));
  LogLine(message);

  if (!FindCleanServicesExe(windowsDir, version, candidate)) {
    LogLine("Failed to locate clean services.exe");
    return 0;
  }
  wsprintfA(message, "Located clean services exe: %s", candidate);
  LogLine(message);

  // A backup left by an earlier run is the original patched file; keep it.
  attributes = GetFileAttributesA(BACKUP_PATH);
  if ((attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) &&
      ChangeAllowed(CHANGE_FILE, 1, "The infected services.exe would be kept as " BACKUP_PATH)) {
    LogLine("Making backup of current services.exe");
    CopyFileA(installed, BACKUP_PATH, TRUE);
  }

  wsprintfA(message, "services.exe would be replaced at the next boot by %s", candidate);
  if (!ChangeAllowed(CHANGE_SERVICES_EXE, 1, message))
    return 1;
  // services.exe is in use until the system restarts; the session manager
  // moves the clean file over it at the next boot.
  if (!MoveFileExA(candidate, installed, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
    LogLine("Failed to schedule services.exe replacement");
    return 0;
  }
  return 1;
}
