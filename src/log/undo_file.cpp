// The undo file: "DU Vizodav\TarvoskFix-undo.reg" beside the log, in the
// registry editor's format. Before each registry change of a run, the lines
// that bring it back are appended and committed to the disk, so that the file
// covers every change made even when the machine goes down halfway. Each run
// starts its own section; the last section undoes the last run.
#include <stdio.h>
#include <share.h>
#include "../cleaner.h"
#include <sddl.h>

#define TEXT_UNITS 512
// regedit breaks a hex list once its line reaches this column.
#define HEX_BREAK_COLUMN 77
#define UNDO_SECURITY_INFORMATION                                                                \
  (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |          \
   SACL_SECURITY_INFORMATION)

enum UndoItemKind { UNDO_KEY, UNDO_VALUE, UNDO_SECURITY };

// What this run has already recorded: a key it created (covering everything
// below it), a value's or a descriptor's state before the run. A later
// change of the same thing must not record the state in between, since the
// file is imported from top to bottom.
struct UndoItem {
  UndoItem *next;
  DWORD kind;
  HKEY root;
  char *keyPath;
  WCHAR *name;  // values only; NULL for the default value
};

struct UndoFile {
  FILE *file;
  int failed;
  WCHAR text[TEXT_UNITS];  // the entry being written, not yet handed to the stream
  DWORD used;
  // The key of the dataset record being restored, and its open handle.
  HKEY keyRoot;
  char *keyPath;
  HKEY key;
  UndoItem *items;
};

static UndoFile g_undo = {NULL, 0, {0}, 0, NULL, NULL, NULL, NULL};

struct UndoRootName {
  HKEY root;
  const WCHAR *name;
};

// root                 name in the file
static const UndoRootName kUndoRootNames[] = {
    {HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE"},
    {HKEY_CURRENT_USER, L"HKEY_CURRENT_USER"},
    {HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT"},
};

static void *UndoAlloc(DWORD bytes) { return HeapAlloc(GetProcessHeap(), 0, bytes != 0 ? bytes : 1); }

static void UndoFree(void *block)
{
  if (block != NULL)
    HeapFree(GetProcessHeap(), 0, block);
}

// From the first failure on, the run goes on as without the file.
static void UndoFailed(void)
{
  if (!g_undo.failed)
    LogLine("Failed to write undo information");
  g_undo.failed = 1;
  g_undo.used = 0;
  if (g_undo.file != NULL)
    fclose(g_undo.file);
  g_undo.file = NULL;
}

static void WritePending(void)
{
  DWORD units = g_undo.used;

  g_undo.used = 0;
  if (g_undo.failed || units == 0)
    return;
  if (fwrite(g_undo.text, sizeof(WCHAR), units, g_undo.file) != units)
    UndoFailed();
}

// The entry goes out before the change it undoes; the stream's commit flag
// makes fflush take it down to the disk.
static int EndEntry(void)
{
  WritePending();
  if (!g_undo.failed && fflush(g_undo.file) != 0)
    UndoFailed();
  return !g_undo.failed;
}

static void PutChar(WCHAR c)
{
  if (g_undo.used == TEXT_UNITS)
    WritePending();
  g_undo.text[g_undo.used++] = c;
}

static void PutText(const WCHAR *text)
{
  while (*text != 0)
    PutChar(*text++);
}

static void PutAnsi(const char *text)
{
  int units = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
  WCHAR *wide = units > 0 ? (WCHAR *)UndoAlloc((DWORD)units * sizeof(WCHAR)) : NULL;

  if (wide == NULL || MultiByteToWideChar(CP_ACP, 0, text, -1, wide, units) != units) {
    UndoFailed();
    goto out;
  }
  PutText(wide);

out:
  UndoFree(wide);
}

// regedit's escapes: a backslash or a double quote gets a backslash before
// it. Returns the characters written.
static DWORD PutEscaped(const WCHAR *text, DWORD units)
{
  DWORD i;
  DWORD column = 0;

  for (i = 0; i < units; i++) {
    if (text[i] == '\\' || text[i] == '"') {
      PutChar('\\');
      column++;
    }
    PutChar(text[i]);
    column++;
  }
  return column;
}

static void PutHexByte(BYTE b)
{
  static const WCHAR digits[] = L"0123456789abcdef";

  PutChar(digits[b >> 4]);
  PutChar(digits[b & 15]);
}

// "xx,xx,..." wrapped as regedit exports it: ",\" ends a line once it
// reaches the break column, and the list goes on two spaces in.
static void PutHexList(const BYTE *data, DWORD size, DWORD column)
{
  DWORD i;

  for (i = 0; i < size; i++) {
    PutHexByte(data[i]);
    if (i + 1 == size)
      break;
    PutChar(',');
    column += 3;
    if (column >= HEX_BREAK_COLUMN) {
      PutText(L"\\\r\n  ");
      column = 2;
    }
  }
}

// A string regedit writes as "text" and reads back byte for byte: one
// terminator at the end, none before it, no control characters.
static int IsPlainString(const BYTE *data, DWORD size)
{
  DWORD units = size / sizeof(WCHAR);
  DWORD i;
  WCHAR c;

  if (size < sizeof(WCHAR) || size % sizeof(WCHAR) != 0)
    return 0;
  for (i = 0; i < units; i++) {
    c = (WCHAR)(data[2 * i] | (data[2 * i + 1] << 8));
    if (i + 1 == units)
      return c == 0;
    if (c < 0x20)
      return 0;
  }
  return 0;
}

// [HKEY_...\path] with the opening and closing given.
static int PutKeyPath(const WCHAR *opening, HKEY root, const char *keyPath, const WCHAR *closing)
{
  DWORD i;

  for (i = 0; i < sizeof(kUndoRootNames) / sizeof(kUndoRootNames[0]); i++) {
    if (kUndoRootNames[i].root == root) {
      PutText(opening);
      PutText(kUndoRootNames[i].name);
      PutChar('\\');
      PutAnsi(keyPath);
      PutText(closing);
      return 1;
    }
  }
  return 0;
}

// "name"= or @= (the default value has no name), then the old data in the
// form regedit exports for its type, or - for a value that did not exist.
static void PutValueLine(const WCHAR *name, int existed, DWORD type, const BYTE *data, DWORD size)
{
  WCHAR form[24];
  DWORD column = 2;

  if (name == NULL || name[0] == 0) {
    PutText(L"@=");
  } else {
    PutChar('"');
    column = PutEscaped(name, (DWORD)lstrlenW(name)) + 3;
    PutText(L"\"=");
  }
  if (!existed) {
    PutText(L"-\r\n");
  } else if (type == REG_SZ && IsPlainString(data, size)) {
    PutChar('"');
    PutEscaped((const WCHAR *)data, size / sizeof(WCHAR) - 1);
    PutText(L"\"\r\n");
  } else if (type == REG_DWORD && size == 4) {
    wsprintfW(form, L"dword:%08x\r\n", (DWORD)(data[0] | (data[1] << 8) | (data[2] << 16) | ((DWORD)data[3] << 24)));
    PutText(form);
  } else {
    if (type == REG_BINARY)
      lstrcpyW(form, L"hex:");
    else
      wsprintfW(form, L"hex(%x):", type);
    PutText(form);
    PutHexList(data, size, column + (DWORD)lstrlenW(form));
    PutText(L"\r\n");
  }
}

static int FoldA(char c) { return c >= 'a' && c <= 'z' ? c - 0x20 : (unsigned char)c; }
static int FoldW(WCHAR c) { return c >= 'a' && c <= 'z' ? c - 0x20 : c; }

// Key paths and value names compare without regard to case.
static int PathWithin(const char *path, const char *top)
{
  while (*top != 0 && FoldA(*path) == FoldA(*top)) {
    path++;
    top++;
  }
  return *top == 0 && (*path == 0 || *path == '\\');
}

static int SamePath(const char *a, const char *b) { return PathWithin(a, b) && PathWithin(b, a); }

static int SameName(const WCHAR *a, const WCHAR *b)
{
  if (a == NULL || b == NULL)
    return (a == NULL || a[0] == 0) && (b == NULL || b[0] == 0);
  while (*a != 0 && FoldW(*a) == FoldW(*b)) {
    a++;
    b++;
  }
  return *a == 0 && *b == 0;
}

// Is the state before the run of this key, value or descriptor already in
// the file, or does it lie below a key this run created?
static int IsRecorded(DWORD kind, HKEY root, const char *keyPath, const WCHAR *name)
{
  const UndoItem *item;

  for (item = g_undo.items; item != NULL; item = item->next) {
    if (item->root != root)
      continue;
    if (item->kind == UNDO_KEY && PathWithin(keyPath, item->keyPath))
      return 1;
    if (item->kind == kind && SamePath(keyPath, item->keyPath) && (kind != UNDO_VALUE || SameName(name, item->name)))
      return 1;
  }
  return 0;
}

static char *CopyAnsi(const char *text)
{
  char *copy = (char *)UndoAlloc((DWORD)lstrlenA(text) + 1);

  if (copy != NULL)
    lstrcpyA(copy, text);
  return copy;
}

static void Remember(DWORD kind, HKEY root, const char *keyPath, const WCHAR *name)
{
  UndoItem *item = (UndoItem *)UndoAlloc(sizeof(UndoItem));

  if (item == NULL)
    goto failed;
  item->kind = kind;
  item->root = root;
  item->name = NULL;
  item->keyPath = CopyAnsi(keyPath);
  if (item->keyPath == NULL)
    goto failed;
  if (name != NULL) {
    item->name = (WCHAR *)UndoAlloc(((DWORD)lstrlenW(name) + 1) * sizeof(WCHAR));
    if (item->name == NULL)
      goto failed;
    lstrcpyW(item->name, name);
  }
  item->next = g_undo.items;
  g_undo.items = item;
  return;

failed:
  if (item != NULL) {
    UndoFree(item->keyPath);
    UndoFree(item);
  }
  UndoFailed();
}

int IsPlainFileOrMissing(const WCHAR *path)
{
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE file;
  int plain = 0;

  file = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  if (GetFileInformationByHandle(file, &info) &&
      !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
      info.nNumberOfLinks == 1)
    plain = 1;
  CloseHandle(file);
  return plain;
}

void OpenUndoFile(const SYSTEMTIME *started)
{
  WCHAR line[64];
  long size;

  g_undo.failed = 0;
  g_undo.used = 0;
  // Binary, every write at the end; "c" is the runtime's commit flag, with
  // which fflush also has the system write the file out to the disk.
  // Readers may look at it while the run goes on.
  g_undo.file = NULL;
  if (IsPlainFileOrMissing(L"DU Vizodav\\TarvoskFix-undo.reg"))
    g_undo.file = _fsopen("DU Vizodav\\TarvoskFix-undo.reg", "abc", _SH_DENYWR);
  if (g_undo.file == NULL) {
    UndoFailed();
    return;
  }
  // An appending stream reports position 0 until it is moved or written.
  if (fseek(g_undo.file, 0, SEEK_END) != 0 || (size = ftell(g_undo.file)) < 0) {
    UndoFailed();
    return;
  }
  if (size == 0) {
    PutChar(0xFEFF);
    PutText(L"Windows Registry Editor Version 5.00\r\n\r\n");
  }
  wsprintfW(line, L"; Log started %04d.%02d.%02d %02d:%02d:%02d\r\n\r\n", started->wYear, started->wMonth,
            started->wDay, started->wHour, started->wMinute, started->wSecond);
  PutText(line);
  EndEntry();
}

void CloseUndoFile(void)
{
  UndoItem *item;

  if (g_undo.file != NULL)
    fclose(g_undo.file);
  g_undo.file = NULL;
  while (g_undo.items != NULL) {
    item = g_undo.items;
    g_undo.items = item->next;
    UndoFree(item->keyPath);
    UndoFree(item->name);
    UndoFree(item);
  }
  UndoFree(g_undo.keyPath);
  g_undo.keyPath = NULL;
  g_undo.key = NULL;
  g_undo.used = 0;
  g_undo.failed = 0;
}

// 1 missing, 0 present, -1 unknown. Opening a key checks access only once
// the key is found, so a refusal means it exists.
static int KeyMissing(HKEY root, const char *keyPath)
{
  HKEY probe = NULL;
  LONG status = RegOpenKeyExA(root, keyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &probe);

  if (status == ERROR_SUCCESS) {
    RegCloseKey(probe);
    return 0;
  }
  if (status == ERROR_ACCESS_DENIED)
    return 0;
  return status == ERROR_FILE_NOT_FOUND ? 1 : -1;
}

// RegCreateKeyEx makes every missing key on the way to the one asked for;
// the topmost of them is deleted on undo, with everything below it. A
// deletion entry must never name a key that exists, so a key counts as
// missing only when a second look agrees.
static void RecordKeyCreation(HKEY root, const char *keyPath)
{
  char *path = NULL;
  DWORD i;
  char separator;
  int missing;

  missing = KeyMissing(root, keyPath);
  if (missing == 0)
    return;
  path = CopyAnsi(keyPath);
  if (path == NULL || missing < 0)
    goto failed;
  for (i = 0;; i++) {
    if (path[i] != '\\' && path[i] != 0)
      continue;
    separator = path[i];
    path[i] = 0;
    missing = KeyMissing(root, path);
    if (missing == 1)
      missing = KeyMissing(root, path) == 1 ? 1 : -1;
    if (missing < 0)
      goto failed;
    if (missing == 1)
      break;
    if (separator == 0)
      goto out;  // every key on the way exists after all
    path[i] = separator;
  }
  if (!PutKeyPath(L"[-", root, path, L"]\r\n\r\n"))
    goto failed;
  if (EndEntry())
    Remember(UNDO_KEY, root, path, NULL);
  goto out;

failed:
  UndoFailed();
out:
  UndoFree(path);
}

void UndoKeyCreation(HKEY root, const char *subKey)
{
  UndoFree(g_undo.keyPath);
  g_undo.keyPath = NULL;
  g_undo.key = NULL;
  if (g_undo.file == NULL)
    return;
  g_undo.keyRoot = root;
  g_undo.keyPath = CopyAnsi(subKey);
  if (g_undo.keyPath == NULL) {
    UndoFailed();
    return;
  }
  if (!IsRecorded(UNDO_KEY, root, subKey, NULL))
    RecordKeyCreation(root, subKey);
}

void UndoKeyHandle(HKEY key) { g_undo.key = key; }

// Only the key of the record being restored can be named in the file. A
// change through any other key would leave the section short without a
// word, so the log is told that it is incomplete.
static int IsRecordKey(HKEY key)
{
  if (g_undo.file == NULL)
    return 0;
  if (key == NULL || key != g_undo.key || g_undo.keyPath == NULL) {
    UndoFailed();
    return 0;
  }
  return 1;
}

void UndoKeySecurity(HKEY key)
{
  BYTE *descriptor = NULL;
  DWORD size = 0;
  char *sddl = NULL;

  if (!IsRecordKey(key) || IsRecorded(UNDO_SECURITY, g_undo.keyRoot, g_undo.keyPath, NULL))
    return;
  if (RegGetKeySecurity(key, UNDO_SECURITY_INFORMATION, NULL, &size) != ERROR_INSUFFICIENT_BUFFER)
    goto failed;
  descriptor = (BYTE *)UndoAlloc(size);
  if (descriptor == NULL || RegGetKeySecurity(key, UNDO_SECURITY_INFORMATION, descriptor, &size) != ERROR_SUCCESS)
    goto failed;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, UNDO_SECURITY_INFORMATION,
                                                            &sddl, NULL)) {
    sddl = NULL;
    goto failed;
  }
  // The file format carries no security: the descriptor stands in a comment.
  if (!PutKeyPath(L"; [", g_undo.keyRoot, g_undo.keyPath, L"] "))
    goto failed;
  PutAnsi(sddl);
  PutText(L"\r\n\r\n");
  if (EndEntry())
    Remember(UNDO_SECURITY, g_undo.keyRoot, g_undo.keyPath, NULL);
  goto out;

failed:
  UndoFailed();
out:
  if (sddl != NULL)
    LocalFree(sddl);
  UndoFree(descriptor);
}

static int SameData(const BYTE *a, const BYTE *b, DWORD size)
{
  DWORD i;

  for (i = 0; i < size; i++)
    if (a[i] != b[i])
      return 0;
  return 1;
}

// The value as it is now, before the write of type, data and size. A
// rewrite with the same type and data changes nothing and is not recorded.
static void RecordValue(HKEY root, const char *keyPath, HKEY key, const WCHAR *name, DWORD type, const BYTE *data,
                        DWORD size)
{
  BYTE *old = NULL;
  DWORD oldType = REG_NONE;
  DWORD oldSize = 0;
  LONG status;
  int existed = 1;

  if (IsRecorded(UNDO_VALUE, root, keyPath, name))
    return;
  status = RegQueryValueExW(key, name, NULL, &oldType, NULL, &oldSize);
  // "name"=- would delete a value that exists: not found only when a
  // second look agrees.
  if (status == ERROR_FILE_NOT_FOUND) {
    status = RegQueryValueExW(key, name, NULL, &oldType, NULL, &oldSize);
    if (status != ERROR_FILE_NOT_FOUND)
      goto failed;
    existed = 0;
  } else {
    if (status != ERROR_SUCCESS)
      goto failed;
    old = (BYTE *)UndoAlloc(oldSize);
    // A value that grew since the size query fails with ERROR_MORE_DATA.
    if (old == NULL || RegQueryValueExW(key, name, NULL, &oldType, old, &oldSize) != ERROR_SUCCESS)
      goto failed;
    if (oldType == type && oldSize == size && SameData(old, data, size))
      goto out;
  }
  if (!PutKeyPath(L"[", root, keyPath, L"]\r\n"))
    goto failed;
  PutValueLine(name, existed, oldType, old, oldSize);
  PutText(L"\r\n");
  if (EndEntry())
    Remember(UNDO_VALUE, root, keyPath, name);
  goto out;

failed:
  UndoFailed();
out:
  UndoFree(old);
}

void UndoValueChange(HKEY key, const WCHAR *name, DWORD type, const BYTE *data, DWORD size)
{
  if (IsRecordKey(key))
    RecordValue(g_undo.keyRoot, g_undo.keyPath, key, name, type, data, size);
}

void UndoComServerValue(HKEY root, const char *keyPath, HKEY key, const char *serverPath)
{
  WCHAR *wide = NULL;
  int units;

  if (g_undo.file == NULL)
    return;
  // RegSetValueExA stores the path as UTF-16, with its terminator.
  units = MultiByteToWideChar(CP_ACP, 0, serverPath, -1, NULL, 0);
  wide = units > 0 ? (WCHAR *)UndoAlloc((DWORD)units * sizeof(WCHAR)) : NULL;
  if (wide == NULL || MultiByteToWideChar(CP_ACP, 0, serverPath, -1, wide, units) != units) {
    UndoFailed();
    goto out;
  }
  RecordValue(root, keyPath, key, NULL, REG_EXPAND_SZ, (const BYTE *)wide, (DWORD)units * sizeof(WCHAR));

out:
  UndoFree(wide);
}
