// walk_probe: the removal's walk by held handles on a real Win32
// implementation, built for Windows and run under Wine (tests/wine/walk.sh).
// It builds a hideout in a folder of its own (nested folders, read-only and
// hidden files, an entry another handle holds without delete sharing, a
// folder beside it that must stay), empties it through EmptyHideoutFolder,
// prints the log lines, and checks the outcome. Exit code 0 when every check
// passed, 1 otherwise.
//   walk_probe ROOT   (ROOT: an existing folder, given as a drive path)
#include <stdio.h>

#include "cleaner.h"
#include "removal/nt_file.h"

static int g_failures = 0;

void LogLine(const char *message) { printf("log: %s\n", message); }

static void Check(int ok, const char *what)
{
  printf("%s: %s\n", ok ? "ok" : "FAIL", what);
  if (!ok)
    g_failures++;
}

static void Join(WCHAR *out, const WCHAR *folder, const WCHAR *name)
{
  lstrcpynW(out, folder, MAX_PATH);
  lstrcatW(out, L"\\");
  lstrcatW(out, name);
}

static int MakeFile(const WCHAR *folder, const WCHAR *name, DWORD attributes)
{
  WCHAR path[MAX_PATH];
  HANDLE f;
  DWORD written;

  Join(path, folder, name);
  f = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (f == INVALID_HANDLE_VALUE)
    return 0;
  WriteFile(f, "payload", 7, &written, NULL);
  CloseHandle(f);
  return attributes == 0 || SetFileAttributesW(path, attributes);
}

static int Exists(const WCHAR *folder, const WCHAR *name)
{
  WCHAR path[MAX_PATH];

  Join(path, folder, name);
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

int wmain(int argc, WCHAR **argv)
{
  WCHAR parent[MAX_PATH], hideout[MAX_PATH], sub[MAX_PATH], deep[MAX_PATH], outside[MAX_PATH];
  WCHAR ntName[MAX_PATH + 8], held[MAX_PATH];
  HANDLE parentHandle = NULL;
  HANDLE holder;
  WIN32_FIND_DATAW found;
  HANDLE find;
  int left = 0;

  if (argc != 2) {
    printf("usage: walk_probe ROOT\n");
    return 2;
  }
  Join(parent, argv[1], L"walk");
  Join(hideout, parent, L"$hideout");
  Join(sub, hideout, L"sub");
  Join(deep, sub, L"deep");
  Join(outside, parent, L"outside");
  CreateDirectoryW(parent, NULL);
  CreateDirectoryW(hideout, NULL);
  CreateDirectoryW(sub, NULL);
  CreateDirectoryW(deep, NULL);
  CreateDirectoryW(outside, NULL);
  Check(MakeFile(hideout, L"a.dll", 0) && MakeFile(hideout, L"ro.dll", FILE_ATTRIBUTE_READONLY) &&
            MakeFile(hideout, L"hidden.sys", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) &&
            MakeFile(sub, L"b.dat", FILE_ATTRIBUTE_READONLY) && MakeFile(deep, L"c.dat", FILE_ATTRIBUTE_HIDDEN) &&
            MakeFile(hideout, L"held.dll", 0) && MakeFile(outside, L"keep.txt", 0),
        "tree built");
  // Another process's open that does not share delete access.
  Join(held, hideout, L"held.dll");
  holder = CreateFileW(held, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  Check(holder != INVALID_HANDLE_VALUE, "entry held open");

  Check(LoadNtFileCalls(), "native calls found in ntdll");
  lstrcpyW(ntName, L"\\??\\");
  lstrcatW(ntName, parent);
  Check(NtOpenEntry(&parentHandle, NULL, ntName, lstrlenW(ntName), FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_DIRECTORY_FILE) == STATUS_SUCCESS,
        "parent opened by its native name");
  Check(EmptyHideoutFolder(parentHandle, hideout, L"$hideout"), "hideout opened");
  NtCloseEntry(parentHandle);
  CloseHandle(holder);

  Check(GetFileAttributesW(hideout) != INVALID_FILE_ATTRIBUTES, "hideout folder stays");
  Check(!Exists(hideout, L"a.dll") && !Exists(hideout, L"ro.dll") && !Exists(hideout, L"hidden.sys"),
        "plain, read-only and hidden files removed");
  Check(!Exists(hideout, L"sub"), "nested folders removed, contents first");
  Check(Exists(hideout, L"held.dll"), "held entry stays");
  Check(Exists(outside, L"keep.txt"), "folder beside the hideout untouched");
  Join(ntName, hideout, L"*");
  find = FindFirstFileW(ntName, &found);
  if (find != INVALID_HANDLE_VALUE) {
    do
      if (lstrcmpW(found.cFileName, L".") != 0 && lstrcmpW(found.cFileName, L"..") != 0)
        left++;
    while (FindNextFileW(find, &found));
    FindClose(find);
  }
  Check(left == 1, "only the held entry left");
  printf("%d failures\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
