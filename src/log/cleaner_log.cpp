// The cleaner log: "DU Vizodav\TarvoskFix.log" on the all-users desktop, one
// section per run. Every subsystem writes through LogLine or LogRegistryPath.
#include <stdio.h>
#include <share.h>
#include "../cleaner.h"
#include <sddl.h>

static FILE *g_log = NULL;
// "DU Vizodav", held for the run without delete sharing: nothing can
// rename it, delete it or put another folder or a link in its place while
// its files are written.
static HANDLE g_folder = INVALID_HANDLE_VALUE;

#define SDDL_TEXT_BYTES 512

// Creates "DU Vizodav" for SYSTEM and Administrators, with read access for
// the account that runs the cleaner (so that its own Explorer opens the log
// without elevation) and nothing for anyone else: whoever could write there
// could hold the log open and stop every later run, or plant its files.
static void CreateLogFolder(void)
{
  WCHAR sidText[MAX_PATH];
  char sddl[SDDL_TEXT_BYTES];
  PSECURITY_DESCRIPTOR sd = NULL;
  SECURITY_ATTRIBUTES security;

  if (GetCurrentUserSid(sidText))
    wsprintfA(sddl, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;%S)", sidText);
  else
    lstrcpyA(sddl, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
  // Without its descriptor the folder is not made: the log then cannot open.
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, NULL)) {
    sd = NULL;
    goto out;
  }
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = sd;
  security.bInheritHandle = FALSE;
  CreateDirectoryA("DU Vizodav", &security);

out:
  if (sd != NULL)
    LocalFree(sd);
}

// Opens "DU Vizodav" as itself and keeps it only when it is a folder and not
// a junction, mount point or link.
static int HoldLogFolder(void)
{
  BY_HANDLE_FILE_INFORMATION info;

  g_folder = CreateFileW(L"DU Vizodav", FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
  if (g_folder == INVALID_HANDLE_VALUE)
    return 0;
  if (GetFileInformationByHandle(g_folder, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return 1;
  CloseHandle(g_folder);
  g_folder = INVALID_HANDLE_VALUE;
  return 0;
}


// The all-users desktop by edition; Server 2003 is matched on the low byte
// like XP, since it has no %PUBLIC% variable.
static const char *LogFolderFor(DWORD osCode)
{
  if (osCode == 0x00000061 || osCode == 0x80000061)
    return "%PUBLIC%\\Desktop";
  return "%AllUsersProfile%\\Desktop";
}

int OpenCleanerLog(DWORD osCode)
{
  char desktop[MAX_PATH];
  DWORD attributes;
  DWORD length;
  SYSTEMTIME now;

  length = ExpandEnvironmentStringsA(LogFolderFor(osCode), desktop, sizeof(desktop));
  if (length != 0 && length <= sizeof(desktop))
    SetCurrentDirectoryA(desktop);

  attributes = GetFileAttributesA("DU Vizodav");
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    CreateLogFolder();

  // "a+" in text mode, unshared: a second run cannot open the log while this
  // one holds it. A log that is a link, or a name of a file that has others,
  // would have the run write where it was sent.
  if (HoldLogFolder() && IsPlainFileOrMissing(L"DU Vizodav\\TarvoskFix.log"))
    g_log = _fsopen("DU Vizodav\\TarvoskFix.log", "a+", _SH_DENYRW);
  if (g_log == NULL) {
    if (g_folder != INVALID_HANDLE_VALUE)
      CloseHandle(g_folder);
    g_folder = INVALID_HANDLE_VALUE;
    printf("Failed to create log file. Terminating.\n");
    return 0;
  }

  GetSystemTime(&now);
  fprintf(g_log, "--------------------------------------------------------------\n");
  fprintf(g_log, "Log started %04d.%02d.%02d %02d:%02d:%02d\n", now.wYear, now.wMonth, now.wDay,
          now.wHour, now.wMinute, now.wSecond);
  // A scan changes nothing, so it has nothing to undo.
  if (!IsScanRun())
    OpenUndoFile(&now);
  return 1;
}

void LogLine(const char *message)
{
  if (g_log == NULL)
    return;
  fprintf(g_log, "%s\n", message);
  fflush(g_log);
}

void LogRegistryPath(const char *message, HKEY root, const char *keyPath, const char *value)
{
  if (g_log == NULL)
    return;
  if (message[0] != '\0')
    fprintf(g_log, "%s ", message);

  if (root == HKEY_CLASSES_ROOT)
    fprintf(g_log, "HKCR\\%s ", keyPath);
  else if (root == HKEY_CURRENT_USER)
    fprintf(g_log, "HKCU\\%s ", keyPath);
  else if (root == HKEY_LOCAL_MACHINE)
    fprintf(g_log, "HKLM\\%s ", keyPath);

  if (value == NULL)
    fprintf(g_log, "\n");
  else if (value[0] != '\0')
    fprintf(g_log, "\"%s\"\n", value);
  else
    fprintf(g_log, "\"\"\n");
  fflush(g_log);
}

void CloseCleanerLog(void)
{
  if (g_log == NULL)
    return;
  CloseUndoFile();
  fclose(g_log);
  g_log = NULL;
  CloseHandle(g_folder);
  g_folder = INVALID_HANDLE_VALUE;
}
