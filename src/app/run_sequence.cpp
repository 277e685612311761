// The run sequence: the order of everything the cleaner does in one run.
#include <conio.h>
#include "../cleaner.h"

// Looked up at run time: XP before SP2 lacks them, and the product must load there.
typedef BOOL(WINAPI *IsWow64ProcessFn)(HANDLE process, PBOOL wow64);
typedef BOOL(WINAPI *Wow64DisableFn)(PVOID *oldValue);
typedef BOOL(WINAPI *Wow64RevertFn)(PVOID oldValue);


static int IsRestoreOption(int argc, WCHAR **argv)
{
  if (argc != 2)
    return 0;
  return argv[1][0] == L'-' && argv[1][1] == L'r' && argv[1][2] == 0;
}

static BOOL TestWow64(void)
{
  BOOL wow64 = FALSE;
  HMODULE kernel32 = LoadLibraryA("kernel32.dll");
  IsWow64ProcessFn isWow64Process;

  if (kernel32 == NULL)
    return FALSE;
  isWow64Process = (IsWow64ProcessFn)(void *)GetProcAddress(kernel32, "IsWow64Process");
  if (isWow64Process != NULL)
    isWow64Process(GetCurrentProcess(), &wow64);
  return wow64;
}

static void SetRedirection(int disable, PVOID *saved)
{
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");

  if (kernel32 == NULL)
    return;
  if (disable) {
    Wow64DisableFn disableRedirection =
        (Wow64DisableFn)(void *)GetProcAddress(kernel32, "Wow64DisableWow64FsRedirection");
    if (disableRedirection != NULL)
      disableRedirection(saved);
  } else {
    Wow64RevertFn revertRedirection =
        (Wow64RevertFn)(void *)GetProcAddress(kernel32, "Wow64RevertWow64FsRedirection");
    if (revertRedirection != NULL)
      revertRedirection(*saved);
  }
}

static void RunNormalMode(DWORD osCode)
{
  RepairComServers(osCode);
  if (!OsIsPostVista(osCode)) {
    RemoveMalwareFiles();
    return;
  }
  if (!IsServicesExeInfected()) {
    LogLine("services.exe appears to be clean");
    RemoveMalwareFiles();
    return;
  }
  LogLine("services.exe appears to be infected");
  if (RestoreCleanServicesExe()) {
    LogLine("Restored services.exe successfully");
    RemoveMalwareFiles();
  } else {
    // The malware's files stay until a run that could replace services.exe.
    LogLine("Failed to restore services.exe");
  }
}

int RunCleaner(int argc, WCHAR **argv)
{
  int restoreMode;
  BOOL wow64;
  PVOID savedRedirection = NULL;
  DWORD osCode;
  int answer = 0;
  char currentDirectory[MAX_PATH];
  DWORD length;

  printf("Vank Win32/Tarvosk.EV Cleaner v1.0.0.6 (" __DATE__ " " __TIME__ ")\n"
         "Removes the Win32/Tarvosk.EV infection; the machine reboots when it is done.\n");
  printf("If you need only services restoration run \"vanktarvoskevcleaner -r\"\n");

  wow64 = TestWow64();
  if (wow64)
    SetRedirection(1, &savedRedirection);

  restoreMode = IsRestoreOption(argc, argv);

  osCode = ClassifyOs();
  if (osCode == OS_UNSUPPORTED) {
    printf("Not supported OS. Cleaner supports Windows XP, Vista, 7, Windows server 2003 R2 and "
           "Windows server 2008 R2.\n");
    return 1;
  }
  if (!OpenCleanerLog(osCode))
    return 1;

  if (OsIsPostVista(osCode))
    LogLine(wow64 ? "Detected post-Vista 64 bit windows system" : "Detected post-Vista 32 bit windows system");
  else
    LogLine(wow64 ? "Detected pre-Vista 64 bit windows system" : "Detected pre-Vista 32 bit windows system");

  if (restoreMode)
    RestoreServices(osCode);
  else
    RunNormalMode(osCode);

  LogLine("Cleaning finished");
  if (wow64)
    SetRedirection(0, &savedRedirection);

  if (!restoreMode) {
    printf("It is recommended to restore some system services that might have been disabled by "
           "malware. Do you want to do that (y/n)?\n");
    int key = _getch();
    if (key == 'y' || key == 'Y') {
      answer = 'y';
      RegisterResume();
    }
  }

  length = GetCurrentDirectoryA(sizeof(currentDirectory), currentDirectory);
  if (length != 0 && length < sizeof(currentDirectory))
    printf("Cleaner finished, check %s\\DU Vizodav directory for logs\n", currentDirectory);
  else
    printf("Cleaner finished, check \"DU Vizodav\" directory for logs\n");

  CloseCleanerLog();

  if (restoreMode)
    printf("System has to be rebooted for changes to come in effect. You should save all your work "
           "and press any key to reboot...\n");
  else if (answer == 'y')
    printf("System has to be rebooted to continue cleaning. You should save all your work and press "
           "any key to reboot...\n");
  else
    printf("System has to be rebooted to finish cleaning. You should save all your work and press any "
           "key to reboot...\n");

  _getch();
  RebootSystem();
  return 0;
}
