// Restore mode: the known-good set of the running edition written back key by
// key, with the privileges that writing owners and SACLs needs.
#include "../cleaner.h"

struct EditionChoice {
  DWORD osCode;
  DWORD set;
  const char *line;
};

// whole OsCode  set               line logged
static const EditionChoice kEditions[] = {
    {0x00000060, SET_VISTA, "Processing Windows Vista services restoration"},
    {0x00000061, SET_WIN7, "Processing Windows 7 services restoration"},
    {0x80000052, SET_SERVER2003, "Processing Windows Server 2003 services restoration"},
    {0x80000061, SET_SERVER2008R2, "Processing Windows Server 2008 R2 services restoration"},
};
// Every other code, 64-bit XP (0x52 without the server bit) included.
static const char kXpLine[] = "Processing Windows XP services restoration";

// TOKEN_PRIVILEGES with room for three entries.
struct RestorePrivileges {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[3];
};
static_assert(sizeof(RestorePrivileges) == 40, "a count and three 12-byte entries");

// Writing a SACL needs the security privilege, and the platform lets a key's
// owner be set to an account other than the token's user or owner group
// (SYSTEM, LocalService) only while the restore privilege is enabled.
static const WCHAR *const kPrivilegeNames[] = {L"SeSecurityPrivilege", L"SeTakeOwnershipPrivilege",
                                               L"SeRestorePrivilege"};
static_assert(sizeof(kPrivilegeNames) / sizeof(kPrivilegeNames[0]) == 3, "one name per entry");

static DWORD ChooseSet(DWORD osCode)
{
  DWORD i;

  for (i = 0; i < sizeof(kEditions) / sizeof(kEditions[0]); i++) {
    if (kEditions[i].osCode == osCode) {
      LogLine(kEditions[i].line);
      return kEditions[i].set;
    }
  }
  LogLine(kXpLine);
  return SET_XP;
}

// Nothing is logged when the token simply lacks the privileges:
// AdjustTokenPrivileges succeeds then and the key requests fail instead.
static void EnablePrivileges(void)
{
  HANDLE token = NULL;
  RestorePrivileges privileges;
  DWORD i;

  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
    token = NULL;
    LogLine("Failed to acquire needed privileges.");
    NoteFailure();
    goto out;
  }
  privileges.PrivilegeCount = 3;
  for (i = 0; i < 3; i++) {
    privileges.Privileges[i].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(NULL, kPrivilegeNames[i], &privileges.Privileges[i].Luid)) {
      LogLine("Failed to acquire needed privileges.");
    NoteFailure();
      goto out;
    }
  }
  AdjustTokenPrivileges(token, FALSE, (PTOKEN_PRIVILEGES)&privileges, sizeof(privileges), NULL, NULL);

out:
  if (token != NULL)
    CloseHandle(token);
}

// One key: opened, given its descriptor, each value line reconciled, closed.
static void RestoreRecordKey(const RestoreRecord *record)
{
  HKEY key = NULL;
  const WCHAR *line;
  DWORD n;
  DWORD keepExisting;

  key = CreateRestoreKey(record->root, record->subKey);
  // A scan goes on past a key the run would create: its values would all be written.
  if (key == NULL && !IsScanRun())
    goto out;
  key = ApplyKeySecurity(key, record->sddl);
  // Lines follow one another, each with its NUL; an empty line ends the list.
  // A guessed line never overwrites what the machine holds.
  for (line = record->valueLines, n = 0; *line != 0; line += lstrlenW(line) + 1, n++) {
    keepExisting = record->keepExisting;
    if (record->guessedLines != NULL && record->guessedLines[n] != 0)
      keepExisting = 1;
    ReconcileValue(line, key, keepExisting);
  }

out:
  if (key != NULL)
    RegCloseKey(key);
}

void RestoreServicesFrom(DWORD osCode, const RestoreRecord *records, DWORD count)
{
  DWORD set;
  DWORD i;

  set = ChooseSet(osCode);
  EnablePrivileges();
  for (i = 0; i < count; i++)
    if (records[i].set == set)
      RestoreRecordKey(&records[i]);
}

void RestoreServices(DWORD osCode) { RestoreServicesFrom(osCode, g_RestoreRecords, g_RestoreRecordCount); }
