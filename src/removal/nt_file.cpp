// Native file calls of the removal, looked up at run time in ntdll.
#include "nt_file.h"
#include <stddef.h>

// The information classes as they travel (FILE_INFORMATION_CLASS).
#define FILE_BASIC_INFORMATION_CLASS 4
#define FILE_STANDARD_INFORMATION_CLASS 5
#define FILE_INTERNAL_INFORMATION_CLASS 6
#define FILE_DISPOSITION_INFORMATION_CLASS 13
#define FILE_ID_BOTH_DIRECTORY_INFORMATION_CLASS 37

typedef NTSTATUS(NTAPI *NtCreateFileFn)(PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                                        POBJECT_ATTRIBUTES objectAttributes, PIO_STATUS_BLOCK ioStatusBlock,
                                        PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG shareAccess,
                                        ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                                        ULONG eaLength);
typedef NTSTATUS(NTAPI *NtQueryDirectoryFileFn)(HANDLE fileHandle, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                                                PIO_STATUS_BLOCK ioStatusBlock, PVOID fileInformation, ULONG length,
                                                ULONG fileInformationClass, BOOLEAN returnSingleEntry,
                                                PUNICODE_STRING fileName, BOOLEAN restartScan);
typedef NTSTATUS(NTAPI *NtFileInformationFn)(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock,
                                             PVOID fileInformation, ULONG length, ULONG fileInformationClass);
typedef NTSTATUS(NTAPI *NtCloseFn)(HANDLE handle);

static NtCreateFileFn g_NtCreateFile;
static NtQueryDirectoryFileFn g_NtQueryDirectoryFile;
static NtFileInformationFn g_NtQueryInformationFile;
static NtFileInformationFn g_NtSetInformationFile;
static NtCloseFn g_NtClose;

// A status for a call that could not be made.
#define STATUS_PROCEDURE_NOT_FOUND ((NTSTATUS)0xC000007AL)

int LoadNtFileCalls(void)
{
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");

  g_NtCreateFile = NULL;
  g_NtQueryDirectoryFile = NULL;
  g_NtQueryInformationFile = NULL;
  g_NtSetInformationFile = NULL;
  g_NtClose = NULL;
  if (ntdll == NULL)
    return 0;
  g_NtCreateFile = (NtCreateFileFn)(void *)GetProcAddress(ntdll, "NtCreateFile");
  g_NtQueryDirectoryFile = (NtQueryDirectoryFileFn)(void *)GetProcAddress(ntdll, "NtQueryDirectoryFile");
  g_NtQueryInformationFile = (NtFileInformationFn)(void *)GetProcAddress(ntdll, "NtQueryInformationFile");
  g_NtSetInformationFile = (NtFileInformationFn)(void *)GetProcAddress(ntdll, "NtSetInformationFile");
  g_NtClose = (NtCloseFn)(void *)GetProcAddress(ntdll, "NtClose");
  return g_NtCreateFile != NULL && g_NtQueryDirectoryFile != NULL && g_NtQueryInformationFile != NULL &&
         g_NtSetInformationFile != NULL && g_NtClose != NULL;
}

NTSTATUS NtOpenEntry(HANDLE *opened, HANDLE parent, const WCHAR *name, DWORD nameChars, ACCESS_MASK access,
                     ULONG share, ULONG options)
{
  UNICODE_STRING objectName;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK ioStatus;
  NTSTATUS status;

  *opened = NULL;
  if (g_NtCreateFile == NULL)
    return STATUS_PROCEDURE_NOT_FOUND;
  // A component is at most 255 characters; a name of more cannot be one.
  if (nameChars > 32767)
    return STATUS_INVALID_PARAMETER;
  objectName.Length = (USHORT)(nameChars * sizeof(WCHAR));
  objectName.MaximumLength = objectName.Length;
  objectName.Buffer = (PWSTR)name;
  attributes.Length = sizeof(attributes);
  attributes.RootDirectory = parent;
  attributes.ObjectName = &objectName;
  attributes.Attributes = OBJ_CASE_INSENSITIVE;
  attributes.SecurityDescriptor = NULL;
  attributes.SecurityQualityOfService = NULL;
  status = g_NtCreateFile(opened, access | SYNCHRONIZE, &attributes, &ioStatus, NULL, 0, share, FILE_OPEN,
                          options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
  if (status != STATUS_SUCCESS)
    *opened = NULL;
  return status;
}

NTSTATUS NtReadEntryInfo(HANDLE entry, NtEntryInfo *info)
{
  FILE_INTERNAL_INFORMATION internal;
  FILE_STANDARD_INFORMATION standard;
  FILE_BASIC_INFORMATION basic;
  IO_STATUS_BLOCK ioStatus;
  NTSTATUS status;

  if (g_NtQueryInformationFile == NULL)
    return STATUS_PROCEDURE_NOT_FOUND;
  status = g_NtQueryInformationFile(entry, &ioStatus, &internal, sizeof(internal), FILE_INTERNAL_INFORMATION_CLASS);
  if (status != STATUS_SUCCESS)
    return status;
  status = g_NtQueryInformationFile(entry, &ioStatus, &standard, sizeof(standard), FILE_STANDARD_INFORMATION_CLASS);
  if (status != STATUS_SUCCESS)
    return status;
  status = g_NtQueryInformationFile(entry, &ioStatus, &basic, sizeof(basic), FILE_BASIC_INFORMATION_CLASS);
  if (status != STATUS_SUCCESS)
    return status;
  info->fileId = (ULONGLONG)internal.IndexNumber.QuadPart;
  info->attributes = basic.FileAttributes;
  info->links = standard.NumberOfLinks;
  info->isDirectory = standard.Directory != 0;
  return STATUS_SUCCESS;
}

NTSTATUS NtSetEntryAttributes(HANDLE entry, DWORD attributes)
{
  FILE_BASIC_INFORMATION basic;
  IO_STATUS_BLOCK ioStatus;

  if (g_NtSetInformationFile == NULL)
    return STATUS_PROCEDURE_NOT_FOUND;
  // Times of zero are left as they are.
  basic.CreationTime.QuadPart = 0;
  basic.LastAccessTime.QuadPart = 0;
  basic.LastWriteTime.QuadPart = 0;
  basic.ChangeTime.QuadPart = 0;
  basic.FileAttributes = attributes;
  return g_NtSetInformationFile(entry, &ioStatus, &basic, sizeof(basic), FILE_BASIC_INFORMATION_CLASS);
}

NTSTATUS NtMarkEntryDeleted(HANDLE entry)
{
  FILE_DISPOSITION_INFORMATION disposition;
  IO_STATUS_BLOCK ioStatus;

  if (g_NtSetInformationFile == NULL)
    return STATUS_PROCEDURE_NOT_FOUND;
  disposition.DoDeleteFile = TRUE;
  return g_NtSetInformationFile(entry, &ioStatus, &disposition, sizeof(disposition),
                                FILE_DISPOSITION_INFORMATION_CLASS);
}

void NtCloseEntry(HANDLE entry)
{
  if (entry != NULL && g_NtClose != NULL)
    g_NtClose(entry);
}

void NtStartListing(NtListing *listing, HANDLE folder)
{
  listing->folder = folder;
  listing->next = 0;
  listing->inBatch = FALSE;
  listing->started = FALSE;
}

// Offsets in FILE_ID_BOTH_DIR_INFORMATION, the same in 32- and 64-bit builds.
#define ID_BOTH_NAME_OFFSET 104

NTSTATUS NtNextListedEntry(NtListing *listing, NtListedEntry *entry)
{
  const BYTE *batch = (const BYTE *)listing->buffer;
  const FILE_ID_BOTH_DIR_INFORMATION *record;
  IO_STATUS_BLOCK ioStatus;
  NTSTATUS status;

  if (!listing->inBatch) {
    if (g_NtQueryDirectoryFile == NULL)
      return STATUS_PROCEDURE_NOT_FOUND;
    ioStatus.Information = 0;
    status = g_NtQueryDirectoryFile(listing->folder, NULL, NULL, NULL, &ioStatus, listing->buffer,
                                    sizeof(listing->buffer), FILE_ID_BOTH_DIRECTORY_INFORMATION_CLASS, FALSE, NULL,
                                    listing->started ? FALSE : TRUE);
    listing->started = TRUE;
    // A name too long for the whole buffer cannot be listed; nor can the
    // rest of the folder.
    if (status != STATUS_SUCCESS)
      return status;
    if (ioStatus.Information < ID_BOTH_NAME_OFFSET)
      return STATUS_NO_MORE_FILES;
    listing->next = 0;
    listing->inBatch = TRUE;
  }
  record = (const FILE_ID_BOTH_DIR_INFORMATION *)(batch + listing->next);
  if (listing->next + ID_BOTH_NAME_OFFSET + record->FileNameLength > sizeof(listing->buffer))
    return STATUS_NO_MORE_FILES;
  entry->name = record->FileName;
  entry->nameChars = record->FileNameLength / sizeof(WCHAR);
  entry->fileId = (ULONGLONG)record->FileId.QuadPart;
  entry->attributes = record->FileAttributes;
  if (record->NextEntryOffset == 0 || listing->next + record->NextEntryOffset >= sizeof(listing->buffer))
    listing->inBatch = FALSE;
  else
    listing->next += record->NextEntryOffset;
  return STATUS_SUCCESS;
}

static_assert(offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName) == ID_BOTH_NAME_OFFSET,
              "FILE_ID_BOTH_DIR_INFORMATION as the platform lays it out");
static_assert(sizeof(FILE_BASIC_INFORMATION) == 40, "FILE_BASIC_INFORMATION as the platform lays it out");
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24, "FILE_STANDARD_INFORMATION as the platform lays it out");
