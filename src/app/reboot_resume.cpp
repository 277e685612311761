// The link between the two runs of a cleaning (run once with -r after the
// next logon) and the reboot that ends every run.
#include "../cleaner.h"

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

  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0,
                      NULL, REG_OPTION_NON_VOLATILE, KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
    goto failed;

  status = RegSetValueExA(key, "TarvoskEVCleaner", 0, REG_SZ, (const BYTE *)commandLine,
                          lstrlenA(commandLine) + 1);
  if (status == ERROR_SUCCESS)
    LogLine("Successfully registered for start after reboot for services restoration");
  else
    LogLine("Failed to register for start after reboot for services restoration");
  RegCloseKey(key);
  return;

failed:
  LogLine("Failed to register for start after reboot for services restoration");
}

void RebootSystem(void)
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
  if (!ExitWindowsEx(EWX_REBOOT, SHTDN_REASON_MAJOR_SYSTEM | SHTDN_REASON_MINOR_SECURITY))
    printf("Failed to initiate system reboot. Restart your system manually.\n");
}
