// The link between the two runs of a cleaning (run once with -r after the
// next logon) and the reboot that ends every run.
#include "../cleaner.h"

#define RUN_ONCE_KEY "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"

void RegisterResume(void)
{
  char commandLine[MAX_PATH];
  DWORD pathLength;
  HKEY key = NULL;
  LONG status;

  // The path goes in quotes: an unquoted path with spaces in a run-once
  // command would let a planted "C:\Program.exe" run in its place.
  commandLine[0] = '"';
  pathLength = GetModuleFileNameA(NULL, commandLine + 1, sizeof(commandLine) - 1);
  // A path cut short by the buffer is reported with the full buffer length.
  if (pathLength == 0 || pathLength >= sizeof(commandLine) - 1)
    goto failed;
  if (1 + pathLength + lstrlenA("\" -r") + 1 > sizeof(commandLine))
    goto failed;
  lstrcpynA(commandLine + 1 + pathLength, "\" -r", sizeof(commandLine) - 1 - pathLength);

  if (!ChangeAllowed(CHANGE_RUN_ONCE, 1, "The restore run would be registered to start at the next logon"))
    return;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, RUN_ONCE_KEY, 0,
                      NULL, REG_OPTION_NON_VOLATILE, KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
    goto failed;

  status = RegSetValueExA(key, "TarvoskEVCleaner", 0, REG_SZ, (const BYTE *)commandLine,
                          lstrlenA(commandLine) + 1);
  if (status == ERROR_SUCCESS) {
    LogLine("Successfully registered for start after reboot for services restoration");
  } else {
    LogLine("Failed to register for start after reboot for services restoration");
    NoteFailure();
  }
  RegCloseKey(key);
  return;

failed:
  LogLine("Failed to register for start after reboot for services restoration");
  NoteFailure();
}

// The restore run a normal run registered is still pending when the restore
// was started another way (by hand, or by a deployment tool after the
// reboot); left there, it would restore and reboot the machine once more at
// the next logon.
void ClearPendingResume(void)
{
  HKEY key = NULL;
  LONG status;

  status = RegOpenKeyExA(HKEY_CURRENT_USER, RUN_ONCE_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) {
    key = NULL;
    // No run-once key, so nothing pending.
    if (status != ERROR_FILE_NOT_FOUND)
      goto failed;
    goto out;
  }
  status = RegQueryValueExA(key, "TarvoskEVCleaner", NULL, NULL, NULL, NULL);
  if (status == ERROR_FILE_NOT_FOUND)
    goto out;
  if (status != ERROR_SUCCESS)
    goto failed;
  if (!ChangeAllowed(CHANGE_RUN_ONCE, 1, "A restore run is still registered to start at the next logon (\"TarvoskEVCleaner\"); it would be removed"))
    goto out;
  if (RegDeleteValueA(key, "TarvoskEVCleaner") != ERROR_SUCCESS)
    goto failed;
  LogLine("Removed the restore run still registered for the next logon (\"TarvoskEVCleaner\")");
  goto out;

failed:
  LogLine("Failed to remove the restore run registered for the next logon (\"TarvoskEVCleaner\")");
  NoteFailure();
out:
  if (key != NULL)
    RegCloseKey(key);
}

int RebootSystem(void)
{
  HANDLE token = NULL;
  TOKEN_PRIVILEGES privileges;

  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(NULL, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid))
      AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), NULL, NULL);
    CloseHandle(token);
  }

  // Not forced: running applications are asked to close as usual.
  if (!ExitWindowsEx(EWX_REBOOT, SHTDN_REASON_MAJOR_SYSTEM | SHTDN_REASON_MINOR_SECURITY)) {
    printf("Failed to initiate system reboot. Restart your system manually.\n");
    return 0;
  }
  return 1;
}
