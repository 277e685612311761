// What a run may change, and what it changed, found or left undone. Every
// step reaches each of its changes through ChangeAllowed, so a scan walks the
// very road of the run that acts and only the last call differs: the run
// makes the change, the scan writes the finding instead.
#include "../cleaner.h"

#define MESSAGE_BYTES 512

struct RunTally {
  int scan;
  DWORD changes[CHANGE_KINDS];
  DWORD findings;  // scan lines that are no change of their own (an infected services.exe)
  DWORD failures;  // failure lines: left undone by a run, not checked by a scan
};

static RunTally g_outcome;

// kind                      what the summary counts
// A scan counts a COM server value once under HKCR and once where the
// merged view takes it from; the run's first write changes both names.
static const char *const kKindNames[] = {
    "COM server paths", "registry values", "registry keys", "key descriptors", "files and folders", "services.exe replacements",
    "restore-run registrations",
};
static_assert(sizeof(kKindNames) / sizeof(kKindNames[0]) == CHANGE_KINDS, "one name per kind of change");

struct ExitMeaning {
  int code;
  const char *meaning;
};

// code  meaning, as the last line of a log section states it
static const ExitMeaning kExitMeanings[] = {
    {RUN_EXIT_NOTHING_FOUND, "nothing was found that needed changing"},
    {RUN_EXIT_SCAN_FOUND, "the scan found something to clean, or could not check everything (see the lines above)"},
    {RUN_EXIT_LEFT_UNDONE, "the cleaning left something undone (see the failure lines above)"},
    {ERROR_SUCCESS_REBOOT_REQUIRED, "cleaned, a reboot is still needed"},
    {ERROR_SUCCESS_REBOOT_INITIATED, "cleaned, the reboot was started"},
};

void BeginRunOutcome(int scan)
{
  memset(&g_outcome, 0, sizeof(g_outcome));
  g_outcome.scan = scan;
}

int IsScanRun(void) { return g_outcome.scan; }

int ChangeAllowed(int kind, int changes, const char *finding)
{
  if (changes) {
    g_outcome.changes[kind]++;
    if (g_outcome.scan && finding != NULL)
      LogLine(finding);
  }
  return !g_outcome.scan;
}

void NoteFinding(void)
{
  if (g_outcome.scan)
    g_outcome.findings++;
}

void NoteFailure(void) { g_outcome.failures++; }

static DWORD ChangeCount(void)
{
  DWORD total = 0;
  int i;

  for (i = 0; i < CHANGE_KINDS; i++)
    total += g_outcome.changes[i];
  return total;
}

int RunNeedsReboot(void) { return !g_outcome.scan && ChangeCount() != 0; }

int RunExitCode(int rebootStarted)
{
  if (g_outcome.scan)
    return ChangeCount() != 0 || g_outcome.findings != 0 || g_outcome.failures != 0 ? RUN_EXIT_SCAN_FOUND
                                                                                      : RUN_EXIT_NOTHING_FOUND;
  if (g_outcome.failures != 0)
    return RUN_EXIT_LEFT_UNDONE;
  // The deployment tool must know that the machine is going down.
  if (rebootStarted)
    return ERROR_SUCCESS_REBOOT_INITIATED;
  if (ChangeCount() != 0)
    return ERROR_SUCCESS_REBOOT_REQUIRED;
  return RUN_EXIT_NOTHING_FOUND;
}

// Two lines end the section: what the run changed or found, kind by kind,
// and the exit code with its meaning.
void LogRunOutcome(int exitCode)
{
  char message[MESSAGE_BYTES];
  int used;
  int i;
  const char *meaning = "";

  used = wsprintfA(message, g_outcome.scan ? "Scan findings:" : "Changes made:");
  for (i = 0; i < CHANGE_KINDS; i++)
    used += wsprintfA(message + used, "%s %lu %s", i == 0 ? "" : ",", (unsigned long)g_outcome.changes[i],
                      kKindNames[i]);
  wsprintfA(message + used, "; failure lines: %lu", (unsigned long)g_outcome.failures);
  LogLine(message);

  for (i = 0; i < (int)(sizeof(kExitMeanings) / sizeof(kExitMeanings[0])); i++)
    if (kExitMeanings[i].code == exitCode)
      meaning = kExitMeanings[i].meaning;
  wsprintfA(message, "Exit code %d: %s", exitCode, meaning);
  LogLine(message);
}
