// BOT ID derivation: the malware names its folders by an MD5 of the system
// volume's creation time, read through the native volume calls.
#include "../cleaner.h"
#include <winternl.h>
#include <wincrypt.h>

#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#endif
#ifndef STATUS_BUFFER_OVERFLOW
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#endif

// ntdll is not imported: the entry points are looked up on the loaded module.
// The information class is passed as the ULONG it is on the wire.
typedef NTSTATUS(NTAPI *NtOpenFileFn)(PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                                      POBJECT_ATTRIBUTES objectAttributes, PIO_STATUS_BLOCK ioStatusBlock,
                                      ULONG shareAccess, ULONG openOptions);
typedef NTSTATUS(NTAPI *NtQueryVolumeInformationFileFn)(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock,
                                                        PVOID fsInformation, ULONG length,
                                                        ULONG fsInformationClass);
typedef NTSTATUS(NTAPI *NtCloseFn)(HANDLE handle);

#if defined(_WIN32) && !defined(_WIN64)
// The records as the 32-bit platform lays them out; 64-bit builds take
// their own sizes through sizeof.
static_assert(sizeof(OBJECT_ATTRIBUTES) == 24, "OBJECT_ATTRIBUTES of the 32-bit platform");
static_assert(sizeof(UNICODE_STRING) == 8, "UNICODE_STRING of the 32-bit platform");
#endif

// Both volume flags the malware's NTFS test asks for.
#define BOT_ID_VOLUME_FLAGS (FILE_NAMED_STREAMS | FILE_SUPPORTS_REPARSE_POINTS)

// The fixed part of FILE_FS_ATTRIBUTE_INFORMATION and FILE_FS_VOLUME_INFORMATION
// with one name character: the file system's name and the volume's label do
// not fit, which the first query tolerates and the second does not.
#define ATTRIBUTE_INFO_BYTES 16
#define VOLUME_INFO_BYTES 24

// Reads the system volume's creation time (8 bytes as the platform returns
// them) into creationTime; 1 when both queries passed.
static int ReadVolumeCreationTime(BYTE *creationTime)
{
  NtOpenFileFn ntOpenFile = NULL;
  NtQueryVolumeInformationFileFn ntQueryVolumeInformationFile = NULL;
  NtCloseFn ntClose = NULL;
  HMODULE ntdll;
  WCHAR rootName[] = L"\\systemroot";
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK ioStatus;
  ULONG attributeInfo[ATTRIBUTE_INFO_BYTES / sizeof(ULONG)];
  ULONGLONG volumeInfo[VOLUME_INFO_BYTES / sizeof(ULONGLONG)];
  HANDLE root = NULL;
  NTSTATUS status;
  int result = 0;
  int i;

  ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == NULL)
    goto out;
  ntOpenFile = (NtOpenFileFn)(void *)GetProcAddress(ntdll, "NtOpenFile");
  ntQueryVolumeInformationFile =
      (NtQueryVolumeInformationFileFn)(void *)GetProcAddress(ntdll, "NtQueryVolumeInformationFile");
  ntClose = (NtCloseFn)(void *)GetProcAddress(ntdll, "NtClose");
  if (ntOpenFile == NULL || ntQueryVolumeInformationFile == NULL || ntClose == NULL)
    goto out;

  name.Length = (USHORT)(sizeof(rootName) - sizeof(WCHAR));
  name.MaximumLength = (USHORT)sizeof(rootName);
  name.Buffer = rootName;
  attributes.Length = sizeof(attributes);
  attributes.RootDirectory = NULL;
  attributes.ObjectName = &name;
  attributes.Attributes = 0;
  attributes.SecurityDescriptor = NULL;
  attributes.SecurityQualityOfService = NULL;

  // The status is not looked at: the handle tells whether the open worked.
  ntOpenFile(&root, FILE_GENERIC_READ, &attributes, &ioStatus, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
             FILE_SYNCHRONOUS_IO_NONALERT);
  if (root == NULL)
    goto out;

  status = ntQueryVolumeInformationFile(root, &ioStatus, attributeInfo, sizeof(attributeInfo),
                                        FileFsAttributeInformation);
  if (status != STATUS_SUCCESS && status != STATUS_BUFFER_OVERFLOW)
    goto out;
  if ((attributeInfo[0] & BOT_ID_VOLUME_FLAGS) != BOT_ID_VOLUME_FLAGS)
    goto out;

  for (i = 0; i < VOLUME_INFO_BYTES / (int)sizeof(ULONGLONG); i++)
    volumeInfo[i] = 0;
  status = ntQueryVolumeInformationFile(root, &ioStatus, volumeInfo, sizeof(volumeInfo), FileFsVolumeInformation);
  if (status != STATUS_SUCCESS)
    goto out;

  // VolumeCreationTime is the first member, in the platform's byte order.
  for (i = 0; i < 8; i++)
    creationTime[i] = ((const BYTE *)volumeInfo)[i];
  result = 1;

out:
  if (root != NULL)
    ntClose(root);
  return result;
}

int DeriveBotId(WCHAR *botId)
{
  BYTE creationTime[8];
  BYTE digest[16];
  DWORD digestLength = sizeof(digest);
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  int result = 0;

  if (!ReadVolumeCreationTime(creationTime))
    goto out;
  if (!CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
    provider = 0;
    goto out;
  }
  if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
    hash = 0;
    goto out;
  }
  if (!CryptHashData(hash, creationTime, sizeof(creationTime), 0))
    goto out;
  if (!CryptGetHashParam(hash, HP_HASHVAL, digest, &digestLength, 0) || digestLength != sizeof(digest))
    goto out;

  // The digest read as a GUID: the first three fields little-endian.
  wsprintfW(botId, L"$%08x%04x%04x%02x%02x%02x%02x%02x%02x%02x%02x",
            (DWORD)digest[0] | ((DWORD)digest[1] << 8) | ((DWORD)digest[2] << 16) | ((DWORD)digest[3] << 24),
            (DWORD)digest[4] | ((DWORD)digest[5] << 8), (DWORD)digest[6] | ((DWORD)digest[7] << 8),
            (DWORD)digest[8], (DWORD)digest[9], (DWORD)digest[10], (DWORD)digest[11], (DWORD)digest[12],
            (DWORD)digest[13], (DWORD)digest[14], (DWORD)digest[15]);
  result = 1;

out:
  if (hash != 0)
    CryptDestroyHash(hash);
  if (provider != 0)
    CryptReleaseContext(provider, 0);
  return result;
}
