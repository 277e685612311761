// Vank Win32/Tarvosk.EV Cleaner: declarations shared by all subsystems,
// sectioned by the file that defines them.
#ifndef CLEANER_H
#define CLEANER_H

#include <stdio.h>
#include <windows.h>

// Edition code: low byte (major << 4 | minor), bit 31 for a server edition.
#define OS_UNSUPPORTED 0xFFFFFFFFu
#define OS_SERVER_BIT 0x80000000u
#define OsIsPostVista(code) (((code) & 0xFFu) >= 0x60u)

// src/app/classify_os.cpp
DWORD ClassifyOs(void);

// src/app/run_sequence.cpp
int RunCleaner(int argc, WCHAR **argv);

// src/app/reboot_resume.cpp
void RegisterResume(void);
// A restore run removes the run-once value a normal run left pending.
void ClearPendingResume(void);
// Non-zero when the reboot was started.
int RebootSystem(void);

// src/log/cleaner_log.cpp
int OpenCleanerLog(DWORD osCode);
void LogLine(const char *message);
void LogRegistryPath(const char *message, HKEY root, const char *keyPath, const char *value);
void CloseCleanerLog(void);

// src/log/run_outcome.cpp
// Kinds of change a run makes and a scan reports as findings.
enum ChangeKind {
  CHANGE_COM_SERVER,
  CHANGE_REGISTRY_VALUE,
  CHANGE_REGISTRY_KEY,
  CHANGE_DESCRIPTOR,
  CHANGE_FILE,
  CHANGE_SERVICES_EXE,
  CHANGE_RUN_ONCE,
  CHANGE_KINDS
};
// Exit codes of the runs given -quiet, -noreboot or -scan, besides 1 and
// ERROR_INVALID_PARAMETER (87), ERROR_SUCCESS_REBOOT_INITIATED (1641) and
// ERROR_SUCCESS_REBOOT_REQUIRED (3010).
#define RUN_EXIT_NOTHING_FOUND 0
#define RUN_EXIT_SCAN_FOUND 2
#define RUN_EXIT_LEFT_UNDONE 3
void BeginRunOutcome(int scan);
int IsScanRun(void);
// The one gate in front of every change. changes: whether the step's change
// alters the machine. A run gets 1 and makes the change; a scan logs the
// finding (when changes) and gets 0, and the step goes on as if made.
int ChangeAllowed(int kind, int changes, const char *finding);
// A scan's finding that is no change of its own.
void NoteFinding(void);
// A step's failure line: left undone by a run, not checked by a scan.
void NoteFailure(void);
int RunNeedsReboot(void);
int RunExitCode(int rebootStarted);
void LogRunOutcome(int exitCode);

// src/log/undo_file.cpp
// "DU Vizodav\TarvoskFix-undo.reg": what undoes each registry change, written
// before the change. Opened and closed with the log.
void OpenUndoFile(const SYSTEMTIME *started);
// 1 when the path names no file, or a plain file of one name: not a folder,
// junction or link, and no hard link to a file elsewhere.
int IsPlainFileOrMissing(const WCHAR *path);
void CloseUndoFile(void);
// Before the key of a dataset record is created or opened; the handle it
// gets, and the one that replaces it, are then told with UndoKeyHandle.
void UndoKeyCreation(HKEY root, const char *subKey);
void UndoKeyHandle(HKEY key);
// Before the record key's descriptor is replaced, or one of its values written.
void UndoKeySecurity(HKEY key);
void UndoValueChange(HKEY key, const WCHAR *name, DWORD type, const BYTE *data, DWORD size);
// Before the COM repair writes a server path as the key's default value.
void UndoComServerValue(HKEY root, const char *keyPath, HKEY key, const char *serverPath);

// src/repair/com_servers.cpp
void RewriteComServerPath(HKEY root, const char *keyPath, const char *serverPath);
void RepairComServers(DWORD osCode);

// src/repair/services_exe_test.cpp
int IsImageInfected(const char *path);
int IsServicesExeInfected(void);

// src/repair/clean_services_exe.cpp
ULONGLONG ReadFileVersion(const char *path);
// The first services.exe of this version below windowsDir\winsxs that is not
// itself patched; candidate receives its path (MAX_PATH bytes).
int FindCleanServicesExe(const char *windowsDir, ULONGLONG version, char *candidate);
int RestoreCleanServicesExe(void);

// src/removal/bot_id.cpp
#define BOT_ID_CHARS 33
int DeriveBotId(WCHAR *botId);

// src/removal/hideout_removal.cpp
int GetCurrentUserSid(WCHAR *sidText);
// Empties the hideout folder name below the held folder parent; folderPath
// names the hideout folder in the log. 1 when the folder could be opened.
int EmptyHideoutFolder(HANDLE parent, const WCHAR *folderPath, const WCHAR *name);
int RemoveMalwareFiles(void);

// src/restore/value_entry.cpp
struct ValueEntry {
  WCHAR name[256];
  DWORD type;
  BYTE *data;
  DWORD size;
};
DWORD ParseHexNumber(const WCHAR *text);
int ParseValueEntry(const WCHAR *line, ValueEntry *entry);

// src/restore/reconcile_value.cpp
void ReconcileValue(const WCHAR *line, HKEY key, DWORD keepExisting);

// src/restore/key_security.cpp
HKEY CreateRestoreKey(HKEY root, const char *subKey);
HKEY ApplyKeySecurity(HKEY key, const char *sddl);

// data/restore (generated table)
enum EditionSet { SET_XP = 0, SET_VISTA = 1, SET_WIN7 = 2, SET_SERVER2003 = 3, SET_SERVER2008R2 = 4 };
struct RestoreRecord {
  DWORD set;
  DWORD keepExisting;
  HKEY root;
  const char *subKey;
  const char *sddl;
  const WCHAR *valueLines;
  // One byte per value line, non-zero where the line is a guess about the
  // edition (1: from no genuine installation; 2: from a genuine installation
  // of another edition of the same build): such a line is written only where
  // the value is missing. NULL when the record has no such line.
  const BYTE *guessedLines;
};
extern const RestoreRecord g_RestoreRecords[];
extern const DWORD g_RestoreRecordCount;

// src/restore/restore_pass.cpp
void RestoreServices(DWORD osCode);
// The pass over any table of records, so that tests can walk tables of their own.
void RestoreServicesFrom(DWORD osCode, const RestoreRecord *records, DWORD count);

#endif
