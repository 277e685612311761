// Simulated ntdll: NtQueryVolumeInformationFile and NtClose here, the file
// calls in ntdll_files.cpp; all reached only through GetProcAddress on the
// module handle of "ntdll.dll".
//
// The machine has one volume, the system drive; its file system, attributes,
// creation time and label come from the machine (volume* fields). An
// injected fault makes the call return the fault's error as its NTSTATUS.
#include "sim.h"

using namespace sim;

namespace {

const NTSTATUS kStatusInvalidInfoClass = (NTSTATUS)0xC0000003L;
const NTSTATUS kStatusAccessViolation = (NTSTATUS)0xC0000005L;

// Sizes of the platform's records, fixed name or label character included.
const ULONG kFsVolumeInformationBytes = 24;     // FILE_FS_VOLUME_INFORMATION
const ULONG kFsAttributeInformationBytes = 16;  // FILE_FS_ATTRIBUTE_INFORMATION
const ULONG kVolumeLabelOffset = 18, kFileSystemNameOffset = 12;

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
  for (int k = 0; k < 4; k++)
    b[at + k] = (uint8_t)(v >> (8 * k));
}

// The fixed part of the record is always filled; a name that does not fit
// in the rest of the caller's buffer is cut and the status is
// STATUS_BUFFER_OVERFLOW, as NTFS and FAT return it.
NTSTATUS FillWithText(std::vector<uint8_t> record, size_t textOffset, const std::string &text, PVOID buffer,
                      ULONG length, PIO_STATUS_BLOCK io)
{
  std::vector<uint8_t> chars = Utf16Bytes(text, false);
  record.resize(textOffset);
  record.insert(record.end(), chars.begin(), chars.end());
  NTSTATUS status = STATUS_SUCCESS;
  size_t written = record.size();
  if (written > length) {
    status = STATUS_BUFFER_OVERFLOW;
    written = length;
  }
  memcpy(buffer, record.data(), written);
  io->Status = status;
  io->Information = written;
  return status;
}

NTSTATUS NTAPI SimNtQueryVolumeInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                               ULONG infoClass)
{
  DWORD injected;
  if (Enter("NtQueryVolumeInformationFile", &injected))
    return (NTSTATUS)injected;
  if (!FindHandle((uintptr_t)handle, HandleKind::NtFile))
    return STATUS_INVALID_HANDLE;
  if (!io || !buffer)
    return kStatusAccessViolation;
  const Machine &m = M();
  if (infoClass == FileFsVolumeInformation) {
    if (length < kFsVolumeInformationBytes)
      return STATUS_INFO_LENGTH_MISMATCH;
    std::vector<uint8_t> record(kVolumeLabelOffset, 0);
    for (int k = 0; k < 8; k++)
      record[k] = (uint8_t)(m.volumeCreationTime >> (8 * k));
    // A serial number made from the creation time, as format would stamp it.
    Put32(record, 8, (uint32_t)(m.volumeCreationTime ^ (m.volumeCreationTime >> 32)));
    Put32(record, 12, (uint32_t)Utf16Bytes(m.volumeLabel, false).size());
    record[16] = (m.volumeAttributes & 0x00010000) ? 1 : 0;  // FILE_SUPPORTS_OBJECT_IDS
    return FillWithText(record, kVolumeLabelOffset, m.volumeLabel, buffer, length, io);
  }
  if (infoClass == FileFsAttributeInformation) {
    if (length < kFsAttributeInformationBytes)
      return STATUS_INFO_LENGTH_MISMATCH;
    std::vector<uint8_t> record(kFileSystemNameOffset, 0);
    Put32(record, 0, m.volumeAttributes);
    Put32(record, 4, 255);  // MaximumComponentNameLength
    Put32(record, 8, (uint32_t)Utf16Bytes(m.volumeFileSystem, false).size());
    return FillWithText(record, kFileSystemNameOffset, m.volumeFileSystem, buffer, length, io);
  }
  return kStatusInvalidInfoClass;
}

NTSTATUS NTAPI SimNtClose(HANDLE handle)
{
  DWORD injected;
  if (Enter("NtClose", &injected))
    return (NTSTATUS)injected;
  return ReleaseHandle((uintptr_t)handle, HandleKind::NtFile) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

}  // namespace

extern "C" FARPROC SimNtdllFileProc(const char *name);

extern "C" FARPROC SimNtdllProc(const char *name)
{
  std::string n = name;
  if (n == "NtQueryVolumeInformationFile")
    return (FARPROC)(void *)SimNtQueryVolumeInformationFile;
  if (n == "NtClose")
    return (FARPROC)(void *)SimNtClose;
  return SimNtdllFileProc(name);
}
