// COM server path repair: the in-process server of four COM classes that the
// malware redirects to its own module is put back, in the merged class view
// and in the class store below it.
#include "../cleaner.h"

struct ComServerEntry {
  HKEY root;
  const char *keyPath;
  const char *serverPath;  // NULL: chosen by edition
};

// root               key path                                                                     server path
static const ComServerEntry g_ComServers[] = {
    {HKEY_CLASSES_ROOT, "CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32",
     "%systemroot%\\system32\\wbem\\fastprox.dll"},
    {HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID\\{5839FCA9-774D-42A1-ACDA-D6A79037F57F}\\InprocServer32",
     "%systemroot%\\system32\\wbem\\fastprox.dll"},
    {HKEY_CLASSES_ROOT, "CLSID\\{fbeb8a05-beee-4442-804e-409d6c4515e9}\\InprocServer32",
     "%systemroot%\\system32\\shell32.dll"},
    {HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID\\{fbeb8a05-beee-4442-804e-409d6c4515e9}\\InprocServer32",
     "%systemroot%\\system32\\shell32.dll"},
    {HKEY_CLASSES_ROOT, "CLSID\\{F3130CDB-AA52-4C3A-AB32-85FFC23AF9C1}\\InprocServer32",
     "%systemroot%\\system32\\wbem\\wbemess.dll"},
    {HKEY_LOCAL_MACHINE, "Software\\Classes\\CLSID\\{f3130cdb-aa52-4c3a-ab32-85ffc23af9c1}\\InprocServer32",
     "%systemroot%\\system32\\wbem\\wbemess.dll"},
    {HKEY_CLASSES_ROOT, "CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}\\InprocServer32", NULL},
    {HKEY_CURRENT_USER, "Software\\Classes\\CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}\\InprocServer32", NULL},
};
static_assert(sizeof(g_ComServers) / sizeof(g_ComServers[0]) == 8, "eight COM server entries");

#define MESSAGE_BYTES 512
#define WSPRINTF_BYTES 1025

// The log's prefix of a registry root.
static const char *RootPrefix(HKEY root)
{
  if (root == HKEY_CLASSES_ROOT)
    return "HKCR\\";
  if (root == HKEY_CURRENT_USER)
    return "HKCU\\";
  return "HKLM\\";
}

// Byte by byte: lstrcmpA compares by locale and weighs hyphens lightly.
static int SameBytes(const char *a, const char *b, DWORD size)
{
  DWORD i;

  for (i = 0; i < size; i++)
    if (a[i] != b[i])
      return 0;
  return 1;
}

// What a scan says of a server path that differs from the known-good one.
static void FormatFinding(char *finding, HKEY root, const char *keyPath, const char *current, const char *serverPath)
{
  char text[WSPRINTF_BYTES];

  wsprintfA(text, "COM server %s%s holds \"%s\", not the known-good \"%s\"", RootPrefix(root), keyPath, current,
            serverPath);
  lstrcpynA(finding, text, MESSAGE_BYTES);
}

void RewriteComServerPath(HKEY root, const char *keyPath, const char *serverPath)
{
  HKEY key = NULL;
  char current[MAX_PATH];
  DWORD size = MAX_PATH - 1;  // room for the terminator the value may lack
  DWORD type = REG_NONE;
  LONG status;
  int differs;
  char finding[MESSAGE_BYTES];

  // The 64-bit view: a 32-bit process on 64-bit Windows would otherwise
  // reach the Wow6432Node copies of the class registrations.
  status = RegOpenKeyExA(root, keyPath, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key);
  if (status != ERROR_SUCCESS) {
    key = NULL;
    LogRegistryPath("Failed to open registry key", root, keyPath, NULL);
    // A class that is not registered carries no hijack to undo.
    if (status != ERROR_FILE_NOT_FOUND)
      NoteFailure();
    goto out;
  }
  // The default value has a NULL name.
  if (RegQueryValueExA(key, NULL, NULL, &type, (LPBYTE)current, &size) != ERROR_SUCCESS) {
    LogRegistryPath("Failed to read registry key", root, keyPath, NULL);
    NoteFailure();
    goto out;
  }
  current[size < MAX_PATH - 1 ? size : MAX_PATH - 1] = '\0';

  // The path is written even where it is the known-good one already; only a
  // different type or text is a change.
  differs = type != REG_EXPAND_SZ || size != (DWORD)lstrlenA(serverPath) + 1 || !SameBytes(current, serverPath, size);
  FormatFinding(finding, root, keyPath, current, serverPath);
  if (!ChangeAllowed(CHANGE_COM_SERVER, differs, finding))
    goto out;
  UndoComServerValue(root, keyPath, key, serverPath);
  if (RegSetValueExA(key, NULL, 0, REG_EXPAND_SZ, (const BYTE *)serverPath, (DWORD)lstrlenA(serverPath) + 1) !=
      ERROR_SUCCESS) {
    LogRegistryPath("Failed to write new registry value", root, keyPath, NULL);
    NoteFailure();
    goto out;
  }
  LogRegistryPath("Current registry value ", root, keyPath, current);
  LogRegistryPath("New registry value ", root, keyPath, serverPath);

out:
  if (key != NULL)
    RegCloseKey(key);
}

void RepairComServers(DWORD osCode)
{
  // The class behind entries 7 and 8 is served by shell32 from Vista on, by
  // shdocvw before.
  const char *editionServer =
      OsIsPostVista(osCode) ? "%SystemRoot%\\system32\\shell32.dll" : "%SystemRoot%\\system32\\shdocvw.dll";
  DWORD i;

  for (i = 0; i < sizeof(g_ComServers) / sizeof(g_ComServers[0]); i++) {
    const ComServerEntry *entry = &g_ComServers[i];
    RewriteComServerPath(entry->root, entry->keyPath, entry->serverPath != NULL ? entry->serverPath : editionServer);
  }
}
