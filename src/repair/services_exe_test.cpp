// services.exe infection test: the patched services.exe is told by its PE
// header, which lacks IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE.
#include "../cleaner.h"

#define HEADER_BYTES 4096
// Signature, file header and the 32-bit optional header.
#define NT_HEADERS32_BYTES 248
#define E_LFANEW_AT 0x3C
// Signature (4) + file header (20) + DllCharacteristics at 70 of the
// optional header, the same in PE32 and PE32+.
#define DLL_CHARACTERISTICS_AT 94
#define DYNAMIC_BASE_FLAG 0x0040

static DWORD ReadLe32(const BYTE *at)
{
  return (DWORD)at[0] | (DWORD)at[1] << 8 | (DWORD)at[2] << 16 | (DWORD)at[3] << 24;
}

int IsImageInfected(const char *path)
{
  HANDLE file = INVALID_HANDLE_VALUE;
  BYTE *header = NULL;
  DWORD read = 0;
  LONG peOffset;
  WORD dllCharacteristics;
  int infected = 0;

  file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE)
    goto out;
  // A file of exactly one header block is not looked into.
  if (GetFileSize(file, NULL) <= HEADER_BYTES)
    goto out;
  header = (BYTE *)HeapAlloc(GetProcessHeap(), 0, HEADER_BYTES);
  if (header == NULL)
    goto out;
  if (!ReadFile(file, header, HEADER_BYTES, &read, NULL) || read < HEADER_BYTES)
    goto out;
  CloseHandle(file);
  file = INVALID_HANDLE_VALUE;

  if (header[0] != 'M' || header[1] != 'Z')
    goto out;
  peOffset = (LONG)ReadLe32(header + E_LFANEW_AT);
  if (peOffset < 0 || peOffset > HEADER_BYTES - NT_HEADERS32_BYTES)
    goto out;
  if (ReadLe32(header + peOffset) != 0x00004550)  // "PE\0\0"
    goto out;
  dllCharacteristics =
      (WORD)(header[peOffset + DLL_CHARACTERISTICS_AT] | header[peOffset + DLL_CHARACTERISTICS_AT + 1] << 8);
  infected = (dllCharacteristics & DYNAMIC_BASE_FLAG) == 0;

out:
  if (header != NULL)
    HeapFree(GetProcessHeap(), 0, header);
  if (file != INVALID_HANDLE_VALUE)
    CloseHandle(file);
  return infected;
}

int IsServicesExeInfected(void)
{
  char path[MAX_PATH];
  UINT length;

  // Redirection is off under WOW64, so this is the native system32.
  length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length + sizeof("\\services.exe") > MAX_PATH) {
    LogLine("Failed to get services.exe path");
    return 0;
  }
  lstrcatA(path, "\\services.exe");
  return IsImageInfected(path);
}
