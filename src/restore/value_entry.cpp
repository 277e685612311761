// Value lines of the known-good dataset: "name"=data in the four forms of a
// registry export (string, dword:, hex:, hex(N):), turned into the name, type
// and bytes that RegSetValueExW takes.
#include "../cleaner.h"

#define NAME_UNITS 256

DWORD ParseHexNumber(const WCHAR *text)
{
  DWORD result = 0;
  DWORD c;
  DWORD digit;

  for (;;) {
    c = (WORD)*text;
    if (c >= 0x61)
      c -= 0x20;
    if (c >= '0' && c <= '9')
      digit = c - 0x30;
    else if (c >= 'A' && c <= 'F')
      digit = c - 0x37;
    else
      break;
    result = (result << 4) | digit;
    text++;
  }
  return result;
}

static int IsHexDigit(WCHAR c)
{
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Compares the keyword with the text at that position; the terminator of a
// short line stops the comparison before anything past it is read.
static int StartsWith(const WCHAR *text, const char *keyword)
{
  while (*keyword != '\0') {
    if (*text != (WCHAR)*keyword)
      return 0;
    text++;
    keyword++;
  }
  return 1;
}

static BYTE *AllocateData(DWORD size)
{
  if (size == 0)
    return NULL;
  return (BYTE *)HeapAlloc(GetProcessHeap(), 0, size);
}

// The string form: everything after the opening quote, with the line's last
// character (the closing quote) replaced by the terminator.
static int ParseStringData(const WCHAR *text, ValueEntry *entry)
{
  DWORD length = (DWORD)lstrlenW(text);
  DWORD i;
  WCHAR *chars;

  if (length == 0)
    return 0;
  chars = (WCHAR *)AllocateData(2 * length);
  if (chars == NULL)
    return 0;
  for (i = 0; i + 1 < length; i++)
    chars[i] = text[i];
  chars[length - 1] = 0;
  entry->type = REG_SZ;
  entry->data = (BYTE *)chars;
  entry->size = 2 * length;
  return 1;
}

static int ParseDwordData(const WCHAR *text, ValueEntry *entry)
{
  DWORD number = ParseHexNumber(text);
  BYTE *bytes = AllocateData(4);

  if (bytes == NULL)
    return 0;
  bytes[0] = (BYTE)number;
  bytes[1] = (BYTE)(number >> 8);
  bytes[2] = (BYTE)(number >> 16);
  bytes[3] = (BYTE)(number >> 24);
  entry->type = REG_DWORD;
  entry->data = bytes;
  entry->size = 4;
  return 1;
}

// Items are read at a fixed stride of three characters ("87,00,01"), so the
// count follows from the list's length alone and a trailing comma adds none.
static int ParseByteList(const WCHAR *list, DWORD type, ValueEntry *entry)
{
  DWORD size = ((DWORD)lstrlenW(list) + 1) / 3;
  DWORD i;
  BYTE *bytes = AllocateData(size);

  if (size != 0 && bytes == NULL)
    return 0;
  for (i = 0; i < size; i++)
    bytes[i] = (BYTE)ParseHexNumber(list + 3 * i);
  entry->type = type;
  entry->data = bytes;
  entry->size = size;
  return 1;
}

int ParseValueEntry(const WCHAR *line, ValueEntry *entry)
{
  DWORD quote = 0;
  DWORD i;
  const WCHAR *data;

  while (line[quote] != 0 && !(line[quote] == '"' && line[quote + 1] == '='))
    quote++;
  // No "=, one at the very start, or a name too long for the buffer.
  if (line[quote] == 0 || quote == 0 || quote - 1 >= NAME_UNITS)
    return 0;

  for (i = 1; i < quote; i++)
    entry->name[i - 1] = line[i];
  entry->name[quote - 1] = 0;

  data = line + quote + 2;
  if (data[0] == '"')
    return ParseStringData(data + 1, entry);
  if (StartsWith(data, "dword:"))
    return ParseDwordData(data + 6, entry);
  if (!StartsWith(data, "hex"))
    return 0;
  if (data[3] == ':')
    return ParseByteList(data + 4, REG_BINARY, entry);
  // hex(N): with N a single hex digit; the list follows the colon.
  if (data[3] == '(' && IsHexDigit(data[4]) && data[5] == ')' && data[6] == ':')
    return ParseByteList(data + 7, ParseHexNumber(data + 4), entry);
  return 0;
}
