// Simulated ntdll: NtOpenFile, NtQueryVolumeInformationFile and NtClose,
// reached only through GetProcAddress on the module handle of "ntdll.dll".
//
// The machine has one volume, the system drive; its file system, attributes,
// creation time and label come from the machine (volume* fields). An
// injected fault makes the call return the fault's error as its NTSTATUS.
#include "sim.h"

using namespace sim;

namespace {

const NTSTATUS kStatusInvalidInfoClass = (NTSTATUS)0xC0000003L;
const NTSTATUS kStatusAccessViolation = (NTSTATUS)0xC0000005L;
const NTSTATUS kStatusObjectNameInvalid = (NTSTATUS)0xC0000033L;
const NTSTATUS kStatusObjectPathNotFound = (NTSTATUS)0xC000003AL;
const ULONG kFileOpened = 1;

// Sizes of the platform's records, fixed name or label character included.
const ULONG kFsVolumeInformationBytes = 24;     // FILE_FS_VOLUME_INFORMATION
const ULONG kFsAttributeInformationBytes = 16;  // FILE_FS_ATTRIBUTE_INFORMATION
const ULONG kVolumeLabelOffset = 18, kFileSystemNameOffset = 12;

std::string SystemRootDir()
{
  auto it = M().env.find("SYSTEMROOT");
  return it == M().env.end() ? std::string("C:\\Windows") : it->second;
}

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
  for (int k = 0; k < 4; k++)
    b[at + k] = (uint8_t)(v >> (8 * k));
}

// Object manager names: "\SystemRoot" (the Windows folder) and "\??\X:\..."
// (a drive path). Directory names are matched without regard to case, as the
// object manager does by default.
bool ObjectPath(const std::string &name, std::string *full, NTSTATUS *status)
{
  std::string lower = Lower(name);
  std::string dosPath;
  if (lower == "\\systemroot" || lower.compare(0, 12, "\\systemroot\\") == 0)
    dosPath = SystemRootDir() + name.substr(11);
  else if (lower.compare(0, 4, "\\??\\") == 0)
    dosPath = name.substr(4);
  else {
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    return false;
  }
  DWORD error;
  if (!ResolvePath("\\\\?\\" + dosPath, false, full, &error)) {
    *status = kStatusObjectNameInvalid;
    return false;
  }
  if (!Node(*full)) {
    FsNode *parent = Node(ParentOf(*full));
    *status = parent && parent->isDir ? STATUS_OBJECT_NAME_NOT_FOUND : kStatusObjectPathNotFound;
    return false;
  }
  return true;
}

NTSTATUS NTAPI SimNtOpenFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             PIO_STATUS_BLOCK io, ULONG share, ULONG options)
{
  DWORD injected;
  if (Enter("NtOpenFile", &injected))
    return (NTSTATUS)injected;
  if (!handle || !attributes || !io)
    return kStatusAccessViolation;
  if (attributes->Length != sizeof(OBJECT_ATTRIBUTES) || attributes->RootDirectory)
    return STATUS_INVALID_PARAMETER;
  // Synchronous I/O needs the handle to be waitable.
  if ((options & FILE_SYNCHRONOUS_IO_NONALERT) && !(access & SYNCHRONIZE))
    return STATUS_INVALID_PARAMETER;
  const UNICODE_STRING *name = attributes->ObjectName;
  if (!name || !name->Buffer || name->Length % 2 || name->Length > name->MaximumLength)
    return kStatusObjectNameInvalid;
  std::string full;
  NTSTATUS status;
  if (!ObjectPath(Utf16ToUtf8(name->Buffer, name->Length / 2), &full, &status))
    return status;
  // A junction or link at the end of the name is followed.
  FsNode *n = Node(full);
  if (!n->reparseTarget.empty()) {
    full = n->reparseTarget;
    if (!Node(full))
      return kStatusObjectPathNotFound;
  }
  if (CheckFileAccess(full, access) != ERROR_SUCCESS)
    return STATUS_ACCESS_DENIED;
  Handle h;
  h.kind = HandleKind::NtFile;
  h.path = full;
  h.access = access;
  h.share = share;
  *handle = (HANDLE)NewHandle(h);
  io->Status = STATUS_SUCCESS;
  io->Information = kFileOpened;
  return STATUS_SUCCESS;
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

extern "C" FARPROC SimNtdllProc(const char *name)
{
  std::string n = name;
  if (n == "NtOpenFile")
    return (FARPROC)(void *)SimNtOpenFile;
  if (n == "NtQueryVolumeInformationFile")
    return (FARPROC)(void *)SimNtQueryVolumeInformationFile;
  if (n == "NtClose")
    return (FARPROC)(void *)SimNtClose;
  return nullptr;
}
