// Native file calls of the removal: opens relative to a held folder handle,
// directory listings through that handle, and attribute, identity and
// deletion through the handle of the entry itself. ntdll is not imported:
// the entry points are looked up at run time (all present since XP).
#ifndef NT_FILE_H
#define NT_FILE_H

#include <windows.h>
#include <winternl.h>

#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#endif
#ifndef STATUS_NO_MORE_FILES
#define STATUS_NO_MORE_FILES ((NTSTATUS)0x80000006L)
#endif
#ifndef STATUS_SHARING_VIOLATION
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#endif
#ifndef FILE_OPEN
#define FILE_OPEN 0x00000001
#endif
#ifndef FILE_DIRECTORY_FILE
#define FILE_DIRECTORY_FILE 0x00000001
#endif
#ifndef FILE_SYNCHRONOUS_IO_NONALERT
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#endif
#ifndef FILE_OPEN_REPARSE_POINT
#define FILE_OPEN_REPARSE_POINT 0x00200000
#endif
#ifndef OBJ_CASE_INSENSITIVE
#define OBJ_CASE_INSENSITIVE 0x00000040L
#endif

// What the handle of an open entry says about the file it holds.
struct NtEntryInfo {
  ULONGLONG fileId;
  DWORD attributes;
  DWORD links;
  BOOL isDirectory;
};

// One entry of a folder listing.
struct NtListedEntry {
  const WCHAR *name;  // not terminated; points into the listing buffer
  DWORD nameChars;
  ULONGLONG fileId;
  DWORD attributes;
};

// A folder listing in progress: the buffer of the current batch and where
// in it the next entry starts.
#define NT_LISTING_BYTES 4096
struct NtListing {
  HANDLE folder;
  ULONGLONG buffer[NT_LISTING_BYTES / sizeof(ULONGLONG)];
  DWORD next;    // offset of the next entry in the batch
  BOOL inBatch;  // a batch is loaded and not exhausted
  BOOL started;
};

// 1 when every native call the removal needs was found.
int LoadNtFileCalls(void);

// Opens name (nameChars characters, not terminated; none to reopen parent
// itself) relative to parent, or as an absolute object name when parent is
// NULL. The last component is never followed when it is a reparse point.
NTSTATUS NtOpenEntry(HANDLE *opened, HANDLE parent, const WCHAR *name, DWORD nameChars, ACCESS_MASK access,
                     ULONG share, ULONG options);
NTSTATUS NtReadEntryInfo(HANDLE entry, NtEntryInfo *info);
// Sets the file's attributes (FILE_ATTRIBUTE_NORMAL clears them).
NTSTATUS NtSetEntryAttributes(HANDLE entry, DWORD attributes);
// Marks the entry's name for deletion; it goes when its last handle closes.
NTSTATUS NtMarkEntryDeleted(HANDLE entry);
void NtCloseEntry(HANDLE entry);

// Listing: start with the folder's handle, then take entries one by one;
// STATUS_NO_MORE_FILES ends it.
void NtStartListing(NtListing *listing, HANDLE folder);
NTSTATUS NtNextListedEntry(NtListing *listing, NtListedEntry *entry);

#endif
