// The run sequence: the order of everything the cleaner does in one run.
#include <conio.h>
#include "../cleaner.h"

// Looked up at run time: XP before SP2 lacks them, and the product must load there.
typedef BOOL(WINAPI *IsWow64ProcessFn)(HANDLE process, PBOOL wow64);
typedef BOOL(WINAPI *Wow64DisableFn)(PVOID *oldValue);
typedef BOOL(WINAPI *Wow64RevertFn)(PVOID oldValue);


// Libraries that calls of the cleaning steps load on first use. Under WOW64
// the loader finds a system library only while file-system redirection is on
// (system32 holds the 64-bit images while it is off), so these are loaded
// before it goes off and released at the end. CryptAcquireContextW loads its
// provider's library, rsaenh.dll for the default RSA provider, through the
// CryptoAPI dispatch that Windows 7 moved to cryptsp.dll; SetEntriesInAclW
// loads the access-control provider, ntmarta.dll. The other calls live in the
// program's imports and what those import (kernel32, advapi32 with sechost
// and rpcrt4 behind it, user32, shlwapi, version, msvcrt); GetFileVersionInfoA
// maps its file as data, which redirection does not hinder.
static const char *const kOnDemandLibraries[] = {"rsaenh.dll", "cryptsp.dll", "ntmarta.dll"};
#define ON_DEMAND_LIBRARIES (sizeof(kOnDemandLibraries) / sizeof(kOnDemandLibraries[0]))

// By full path: a bare name is looked for in the program's own folder first.
// One that is missing (cryptsp.dll before Windows 7) is passed over.
static void LoadOnDemandLibraries(HMODULE *modules)
{
  char path[MAX_PATH];
  UINT length;
  DWORD i;

  length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    return;
  for (i = 0; i < ON_DEMAND_LIBRARIES; i++) {
    if (length + 1 + lstrlenA(kOnDemandLibraries[i]) >= MAX_PATH)
      continue;
    path[length] = '\\';
    lstrcpyA(path + length + 1, kOnDemandLibraries[i]);
    modules[i] = LoadLibraryA(path);
  }
}

static void FreeOnDemandLibraries(HMODULE *modules)
{
  DWORD i;

  for (i = 0; i < ON_DEMAND_LIBRARIES; i++)
    if (modules[i] != NULL)
      FreeLibrary(modules[i]);
}

// An arrow or function key reaches _getch as two codes, 0 or 0xE0 and then
// the key's own; the second is dropped so that one press stays one key.
static int ReadKey(void)
{
  int key = _getch();

  if (key == 0 || key == 0xE0)
    _getch();
  return key;
}

static int IsRestoreOption(int argc, WCHAR **argv)
{
  if (argc != 2)
    return 0;
  return argv[1][0] == L'-' && argv[1][1] == L'r' && argv[1][2] == 0;
}

#define OPTION_RESTORE 0x1
#define OPTION_QUIET 0x2
#define OPTION_NOREBOOT 0x4
#define OPTION_SCAN 0x8
// The words of unattended use; with any of them the argument list is checked
// word by word and the exit code tells the outcome.
#define OPTION_UNATTENDED_WORDS (OPTION_QUIET | OPTION_NOREBOOT | OPTION_SCAN)

struct OptionWord {
  const WCHAR *word;
  DWORD option;
};

// word          option
static const OptionWord kOptionWords[] = {
    {L"-r", OPTION_RESTORE},
    {L"-quiet", OPTION_QUIET},
    {L"-noreboot", OPTION_NOREBOOT},
    {L"-scan", OPTION_SCAN},
};

// Code unit by code unit: lstrcmpW compares by locale and weighs hyphens lightly.
static int SameWord(const WCHAR *a, const WCHAR *b)
{
  while (*a != 0 && *a == *b) {
    a++;
    b++;
  }
  return *a == *b;
}

static DWORD OptionOf(const WCHAR *argument)
{
  DWORD i;

  for (i = 0; i < sizeof(kOptionWords) / sizeof(kOptionWords[0]); i++)
    if (SameWord(argument, kOptionWords[i].word))
      return kOptionWords[i].option;
  return 0;
}

// Without the words of unattended use, exactly "-r" is restore mode and
// anything else normal mode. With one of them, every argument must be one of
// the four words, each at most once; otherwise zero: the list is refused.
static int ParseOptions(int argc, WCHAR **argv, DWORD *options)
{
  DWORD option;
  int unattended = 0;
  int i;

  *options = 0;
  for (i = 1; i < argc; i++)
    if (OptionOf(argv[i]) & OPTION_UNATTENDED_WORDS)
      unattended = 1;
  if (!unattended) {
    *options = IsRestoreOption(argc, argv) ? OPTION_RESTORE : 0;
    return 1;
  }
  for (i = 1; i < argc; i++) {
    option = OptionOf(argv[i]);
    if (option == 0 || (*options & option))
      return 0;
    *options |= option;
  }
  return 1;
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
  NoteFinding();
  if (RestoreCleanServicesExe()) {
    // A scan has logged what it would replace, and goes on to the removal as the run would.
    if (!IsScanRun())
      LogLine("Restored services.exe successfully");
    RemoveMalwareFiles();
  } else {
    // The malware's files stay until a run that could replace services.exe.
    LogLine(IsScanRun() ? "services.exe could not be replaced, so a run would leave the malware files for later"
                        : "Failed to restore services.exe");
    NoteFailure();
  }
}

static void PrintUsage(void)
{
  printf("Usage: vanktarvoskevcleaner [-r] [-quiet] [-noreboot] [-scan]\n"
         "  -r         restore the services' registry configuration (the second run)\n"
         "  -quiet     ask nothing and wait for no key; the restoration question counts as yes\n"
         "  -noreboot  do not reboot; the exit code tells whether a reboot is still needed\n"
         "  -scan      change nothing; log what a run with the same words would change\n"
         "Each word at most once, nothing else beside them.\n");
}

// The end of a run given -quiet, -noreboot or -scan: no key is awaited under
// -quiet, no reboot is asked for under -noreboot or -scan, and the log's last
// line, written after the reboot request, states the exit code.
static int FinishUnattendedRun(DWORD options, int answer)
{
  int rebootStarted = 0;
  int exitCode;

  if (options & OPTION_SCAN) {
    printf("Scan finished: nothing was changed; the log lists what a run would change.\n");
  } else if (options & OPTION_NOREBOOT) {
    if (RunNeedsReboot())
      printf("The reboot is left out (-noreboot), but it is still needed: restart the system to finish cleaning.\n");
    else
      printf("No reboot is needed.\n");
  } else {
    // Left with -quiet alone: no key is awaited before the reboot.
    printf("%s\n", options & OPTION_RESTORE ? "System is rebooted now for changes to come in effect."
                    : answer == 'y'         ? "System is rebooted now to continue cleaning."
                                            : "System is rebooted now to finish cleaning.");
    rebootStarted = RebootSystem();
  }
  exitCode = RunExitCode(rebootStarted);
  LogRunOutcome(exitCode);
  CloseCleanerLog();
  return exitCode;
}

int RunCleaner(int argc, WCHAR **argv)
{
  DWORD options;
  int restoreMode;
  int unattended;
  BOOL wow64;
  PVOID savedRedirection = NULL;
  DWORD osCode;
  int answer = 0;
  char currentDirectory[MAX_PATH];
  DWORD length;
  HMODULE libraries[ON_DEMAND_LIBRARIES] = {NULL, NULL, NULL};
  int exitCode = 1;

  printf("Vank Win32/Tarvosk.EV Cleaner v1.0.0.6 (" __DATE__ " " __TIME__ ")\n"
         "Removes the Win32/Tarvosk.EV infection; the machine reboots when it is done.\n");
  printf("If you need only services restoration run \"vanktarvoskevcleaner -r\"\n");

  // A refused list writes nothing: no log, no undo file, no change, no reboot.
  if (!ParseOptions(argc, argv, &options)) {
    PrintUsage();
    return ERROR_INVALID_PARAMETER;
  }
  restoreMode = (options & OPTION_RESTORE) != 0;
  unattended = (options & OPTION_UNATTENDED_WORDS) != 0;
  BeginRunOutcome((options & OPTION_SCAN) != 0);

  wow64 = TestWow64();
  if (wow64) {
    LoadOnDemandLibraries(libraries);
    SetRedirection(1, &savedRedirection);
  }

  osCode = ClassifyOs();
  if (osCode == OS_UNSUPPORTED) {
    printf("Not supported OS. Cleaner supports Windows XP, Vista, 7, Windows server 2003 R2 and "
           "Windows server 2008 R2.\n");
    goto out;
  }
  if (!OpenCleanerLog(osCode))
    goto out;

  if (OsIsPostVista(osCode))
    LogLine(wow64 ? "Detected post-Vista 64 bit windows system" : "Detected post-Vista 32 bit windows system");
  else
    LogLine(wow64 ? "Detected pre-Vista 64 bit windows system" : "Detected pre-Vista 32 bit windows system");

  if (restoreMode) {
    ClearPendingResume();
    RestoreServices(osCode);
  } else {
    RunNormalMode(osCode);
  }

  LogLine(IsScanRun() ? "Scan finished" : "Cleaning finished");
  if (wow64)
    SetRedirection(0, &savedRedirection);

  // A scan asks nothing: it registers no restore run.
  if (!restoreMode && !(options & OPTION_SCAN)) {
    printf("It is recommended to restore some system services that might have been disabled by "
           "malware. Do you want to do that (y/n)?\n");
    int key = 'y';
    if (options & OPTION_QUIET)
      printf("y (-quiet)\n");
    else
      key = ReadKey();
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

  if (unattended) {
    exitCode = FinishUnattendedRun(options, answer);
    goto out;
  }

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

  ReadKey();
  RebootSystem();
  exitCode = 0;

out:
  FreeOnDemandLibraries(libraries);
  return exitCode;
}
