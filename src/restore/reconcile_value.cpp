// One value of a dataset record: compare what the key holds with the
// known-good data, rewrite it when it is missing or differs, and log one line.
#include "../cleaner.h"

#define MESSAGE_BYTES 512
#define WSPRINTF_BYTES 1025

// wsprintfA may produce up to 1024 characters; the message keeps what fits.
static void FormatValueMessage(char *message, const char *format, const WCHAR *name)
{
  char text[WSPRINTF_BYTES];

  wsprintfA(text, format, name);
  lstrcpynA(message, text, MESSAGE_BYTES);
}

// The suffix follows the last word directly ("...exist... success").
static void AppendOutcome(char *message, const char *suffix)
{
  int used = lstrlenA(message);

  if (used < MESSAGE_BYTES - 1)
    lstrcpynA(message + used, suffix, MESSAGE_BYTES - used);
}

static int SameBytes(const BYTE *a, const BYTE *b, DWORD size)
{
  DWORD i;

  for (i = 0; i < size; i++)
    if (a[i] != b[i])
      return 0;
  return 1;
}

void ReconcileValue(const WCHAR *line, HKEY key, DWORD keepExisting)
{
  ValueEntry entry;
  BYTE *current = NULL;
  DWORD currentSize = 0;
  int writeNeeded = 1;
  int missing = 1;
  char message[MESSAGE_BYTES];

  entry.data = NULL;
  if (!ParseValueEntry(line, &entry)) {
    entry.data = NULL;
    lstrcpynA(message, "Failed to parse value entry, skipping.", MESSAGE_BYTES);
    NoteFailure();
    writeNeeded = 0;
    goto out;
  }

  // Any failure to read the current value, access denied as much as not
  // found, counts as a missing value.
  if (RegQueryValueExW(key, entry.name, NULL, NULL, NULL, &currentSize) != ERROR_SUCCESS) {
    FormatValueMessage(message, "Writing value \"%S\", current doesn't exist", entry.name);
    goto write;
  }
  current = (BYTE *)HeapAlloc(GetProcessHeap(), 0, currentSize);
  // A value that grew since the size query fails here with ERROR_MORE_DATA.
  if (current == NULL ||
      RegQueryValueExW(key, entry.name, NULL, NULL, current, &currentSize) != ERROR_SUCCESS) {
    FormatValueMessage(message, "Writing value \"%S\", current doesn't exist", entry.name);
    goto write;
  }

  missing = 0;
  // The stored type is not compared: equal bytes under another type match.
  if (currentSize == entry.size && SameBytes(current, entry.data, entry.size)) {
    FormatValueMessage(message, "Value \"%S\" matches known good one, skipping update", entry.name);
    writeNeeded = 0;
  } else if (keepExisting != 0) {
    FormatValueMessage(message, "Value \"%S\" doesn't need updating", entry.name);
    writeNeeded = 0;
  } else {
    FormatValueMessage(message, "Updating value \"%S\", current value differs from known good one",
                       entry.name);
  }

write:
  if (writeNeeded && !ChangeAllowed(CHANGE_REGISTRY_VALUE, 1, NULL)) {
    // The scan's wording of the same decision.
    if (missing)
      FormatValueMessage(message, "Value \"%S\" is missing and would be written", entry.name);
    else
      FormatValueMessage(message, "Value \"%S\" differs from the known good one and would be rewritten", entry.name);
    goto out;
  }
  if (writeNeeded) {
    UndoValueChange(key, entry.name, entry.type, entry.data, entry.size);
    if (RegSetValueExW(key, entry.name, 0, entry.type, entry.data, entry.size) == ERROR_SUCCESS)
      AppendOutcome(message, "... success");
    else {
      AppendOutcome(message, "... failed");
      NoteFailure();
    }
  }

out:
  LogLine(message);
  if (current != NULL)
    HeapFree(GetProcessHeap(), 0, current);
  if (entry.data != NULL)
    HeapFree(GetProcessHeap(), 0, entry.data);
}
