// The cleaner log: "DU Vizodav\TarvoskFix.log" on the all-users desktop, one
// section per run. Every subsystem writes through LogLine or LogRegistryPath.
#include <stdio.h>
#include <share.h>
#include "../cleaner.h"

static FILE *g_log = NULL;

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
    CreateDirectoryA("DU Vizodav", NULL);

  // "a+" in text mode, unshared: a second run cannot open the log while this one holds it.
  g_log = _fsopen("DU Vizodav\\TarvoskFix.log", "a+", _SH_DENYRW);
  if (g_log == NULL) {
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
}
