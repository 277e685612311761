// The key of a dataset record: created or opened with the rights to rewrite
// its descriptor, given that descriptor, and reopened under it.
#include "../cleaner.h"
#include <sddl.h>

#define MESSAGE_BYTES 512
#define WSPRINTF_BYTES 1025

// ACCESS_SYSTEM_SECURITY lets the SACL be written; the platform grants it
// only while SeSecurityPrivilege is enabled in the token.
#define RESTORE_CREATE_ACCESS (KEY_ALL_ACCESS | KEY_WOW64_64KEY | ACCESS_SYSTEM_SECURITY)
#define RESTORE_REOPEN_ACCESS (KEY_ALL_ACCESS | KEY_WOW64_64KEY)
// Owner, group, DACL and SACL, with the DACL protected from inheritance,
// whatever parts the SDDL string spells out.
#define RESTORE_SECURITY_INFORMATION                                                             \
  (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |          \
   SACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION)

struct RootPrefix {
  HKEY root;
  const char *prefix;
};

// root                 prefix in the log
static const RootPrefix kRootPrefixes[] = {
    {HKEY_LOCAL_MACHINE, "HKLM\\"},
    {HKEY_CLASSES_ROOT, "HKCR\\"},
    {HKEY_CURRENT_USER, "HKCU\\"},
};

static const char *PrefixOf(HKEY root)
{
  DWORD i;

  for (i = 0; i < sizeof(kRootPrefixes) / sizeof(kRootPrefixes[0]); i++)
    if (kRootPrefixes[i].root == root)
      return kRootPrefixes[i].prefix;
  return "";
}

static void LogKeyLine(const char *format, HKEY root, const char *subKey)
{
  char text[WSPRINTF_BYTES];
  char message[MESSAGE_BYTES];

  wsprintfA(text, format, PrefixOf(root), subKey);
  lstrcpynA(message, text, MESSAGE_BYTES);
  LogLine(message);
}

// A scan's look at the key the run would create or open: an existing one is
// opened to be read, a missing one is a finding and no handle.
static HKEY ScanRestoreKey(HKEY root, const char *subKey)
{
  HKEY key = NULL;
  LONG status;

  status = RegOpenKeyExA(root, subKey, 0, KEY_READ | KEY_WOW64_64KEY, &key);
  if (status == ERROR_SUCCESS) {
    LogKeyLine("Key %s%s exists", root, subKey);
    return key;
  }
  if (status == ERROR_FILE_NOT_FOUND) {
    LogKeyLine("Key %s%s is missing and would be created", root, subKey);
    ChangeAllowed(CHANGE_REGISTRY_KEY, 1, NULL);
  } else {
    LogKeyLine("Key %s%s could not be opened to be checked", root, subKey);
    NoteFailure();
  }
  return NULL;
}

HKEY CreateRestoreKey(HKEY root, const char *subKey)
{
  HKEY key = NULL;
  DWORD disposition = 0;

  if (IsScanRun())
    return ScanRestoreKey(root, subKey);
  UndoKeyCreation(root, subKey);
  if (RegCreateKeyExA(root, subKey, 0, NULL, REG_OPTION_NON_VOLATILE, RESTORE_CREATE_ACCESS, NULL, &key,
                      &disposition) != ERROR_SUCCESS) {
    key = NULL;
    LogKeyLine("Creating %s%s - failed", root, subKey);
    NoteFailure();
    goto out;
  }
  UndoKeyHandle(key);
  ChangeAllowed(CHANGE_REGISTRY_KEY, disposition == REG_CREATED_NEW_KEY, NULL);
  if (disposition == REG_CREATED_NEW_KEY)
    LogKeyLine("Creating %s%s - created new", root, subKey);
  else
    LogKeyLine("Creating %s%s - opened existing", root, subKey);

out:
  return key;
}

HKEY ApplyKeySecurity(HKEY key, const char *sddl)
{
  PSECURITY_DESCRIPTOR descriptor = NULL;
  HKEY reopened = NULL;
  HKEY result = key;

  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, NULL)) {
    descriptor = NULL;
    LogLine("Failed to parse security descriptor");
    NoteFailure();
    goto out;
  }
  // Every record key is given its descriptor, whatever it holds now.
  if (!ChangeAllowed(CHANGE_DESCRIPTOR, 1, "Its security descriptor would be written"))
    goto out;
  UndoKeySecurity(key);
  if (RegSetKeySecurity(key, RESTORE_SECURITY_INFORMATION, descriptor) != ERROR_SUCCESS) {
    LogLine("Failed to set security information");
    NoteFailure();
    goto out;
  }
  LogLine("Successfully set security information");

  // A handle on the key itself, opened under the descriptor just written.
  if (RegOpenKeyExA(key, "", 0, RESTORE_REOPEN_ACCESS, &reopened) == ERROR_SUCCESS) {
    RegCloseKey(key);
    result = reopened;
    UndoKeyHandle(reopened);
  }

out:
  if (descriptor != NULL)
    LocalFree(descriptor);
  return result;
}
