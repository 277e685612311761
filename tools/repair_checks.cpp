// Shared by tools/repair_driver.cpp (Windows) and tools/repair_verdicts.cpp
// (host): only the platform calls the simulated layer also offers.
#include "repair_checks.h"

#include "cleaner.h"

namespace {

const char *const kClasses[] = {
    "{5839FCA9-774D-42A1-ACDA-D6A79037F57F}",
    "{fbeb8a05-beee-4442-804e-409d6c4515e9}",
    "{F3130CDB-AA52-4C3A-AB32-85FFC23AF9C1}",
    "{42aedc87-2188-41fd-b9a3-0c966feabec1}",
};

// root + "\" + relative path, '/' taken as '\'.
bool FullPath(const char *root, const char *relative, char *out)
{
  if (lstrlenA(root) + 1 + lstrlenA(relative) >= MAX_PATH)
    return false;
  lstrcpyA(out, root);
  lstrcatA(out, "\\");
  lstrcatA(out, relative);
  for (char *p = out; *p; p++)
    if (*p == '/')
      *p = '\\';
  return true;
}

void PrintVersion(ULONGLONG v)
{
  printf("%u.%u.%u.%u", (unsigned)(v >> 48), (unsigned)(v >> 32) & 0xFFFF, (unsigned)(v >> 16) & 0xFFFF,
         (unsigned)v & 0xFFFF);
}

bool SetDefault(HKEY root, const char *path, DWORD type, const char *value)
{
  HKEY key = NULL;
  LONG rc = RegCreateKeyExA(root, path, 0, NULL, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, NULL, &key, NULL);
  if (rc != ERROR_SUCCESS)
    return false;
  rc = RegSetValueExA(key, NULL, 0, type, (const BYTE *)value, (DWORD)lstrlenA(value) + 1);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

void ComSetup(void)
{
  char path[MAX_PATH];
  char tooLong[301];
  bool ok = true;

  for (int i = 0; i < 300; i++)
    tooLong[i] = 'x';
  tooLong[300] = 0;
  lstrcpyA(path, "Software\\Classes\\CLSID\\");
  lstrcatA(path, kClasses[0]);
  lstrcatA(path, "\\InprocServer32");
  ok &= SetDefault(HKEY_LOCAL_MACHINE, path, REG_EXPAND_SZ, "C:\\ProgramData\\e30ab8a1\\n.dll");
  lstrcpyA(path, "Software\\Classes\\CLSID\\");
  lstrcatA(path, kClasses[1]);
  lstrcatA(path, "\\InprocServer32");
  ok &= SetDefault(HKEY_LOCAL_MACHINE, path, REG_EXPAND_SZ, "%systemroot%\\system32\\shell32.dll");
  lstrcpyA(path, "Software\\Classes\\CLSID\\");
  lstrcatA(path, kClasses[2]);
  lstrcatA(path, "\\InprocServer32");
  ok &= SetDefault(HKEY_LOCAL_MACHINE, path, REG_SZ, tooLong);
  printf("com-setup %s\n", ok ? "done" : "failed");
}

void ComRead(void)
{
  static const struct {
    HKEY root;
    const char *name;
    const char *base;
  } views[] = {{HKEY_LOCAL_MACHINE, "HKLM", "Software\\Classes\\CLSID\\"},
               {HKEY_CURRENT_USER, "HKCU", "Software\\Classes\\CLSID\\"}};
  for (const auto &view : views) {
    for (const char *clsid : kClasses) {
      char path[MAX_PATH];
      char data[1024];
      DWORD size = sizeof(data) - 1, type = 0;
      HKEY key = NULL;
      lstrcpyA(path, view.base);
      lstrcatA(path, clsid);
      lstrcatA(path, "\\InprocServer32");
      printf("value %s\\%s: ", view.name, path);
      if (RegOpenKeyExA(view.root, path, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        printf("no key\n");
        continue;
      }
      if (RegQueryValueExA(key, NULL, NULL, &type, (LPBYTE)data, &size) != ERROR_SUCCESS) {
        printf("no value\n");
      } else {
        data[size] = 0;
        printf("type %u, %u bytes, \"%s\"\n", (unsigned)type, (unsigned)size, data);
      }
      RegCloseKey(key);
    }
  }
}

}  // namespace

int RunRepairCheck(const char *root, int argc, char **argv, int at)
{
  const char *command = argv[at];
  char path[MAX_PATH];
  char windows[MAX_PATH];
  char candidate[MAX_PATH];
  int rootLength = lstrlenA(root);

  if (lstrcmpA(command, "infected") == 0 && at + 1 < argc) {
    if (!FullPath(root, argv[at + 1], path))
      return 0;
    printf("infected %s: %d\n", argv[at + 1], IsImageInfected(path));
    return 2;
  }
  if (lstrcmpA(command, "version") == 0 && at + 1 < argc) {
    if (!FullPath(root, argv[at + 1], path))
      return 0;
    printf("version %s: ", argv[at + 1]);
    PrintVersion(ReadFileVersion(path));
    printf("\n");
    return 2;
  }
  if (lstrcmpA(command, "search") == 0 && at + 2 < argc) {
    if (!FullPath(root, argv[at + 1], windows) || !FullPath(root, argv[at + 2], path))
      return 0;
    ULONGLONG version = ReadFileVersion(path);
    printf("search %s for ", argv[at + 1]);
    PrintVersion(version);
    if (FindCleanServicesExe(windows, version, candidate))
      printf(": %s\n", candidate + rootLength + 1);
    else
      printf(": none\n");
    return 3;
  }
  if (lstrcmpA(command, "com-setup") == 0) {
    ComSetup();
    return 1;
  }
  if (lstrcmpA(command, "com") == 0) {
    RepairComServers(0x61);
    printf("com done\n");
    return 1;
  }
  if (lstrcmpA(command, "com-read") == 0) {
    ComRead();
    return 1;
  }
  return 0;
}
