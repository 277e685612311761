// Simulated ntdll file calls: NtCreateFile, NtOpenFile, NtQueryDirectoryFile,
// NtQueryInformationFile and NtSetInformationFile.
//
// What they model, as the platform documents it:
// - A handle is bound to the file it opened, not to the name: a rename or a
//   new file under the old name leaves it on the file it had.
// - OBJECT_ATTRIBUTES.RootDirectory makes the name relative to the folder
//   that handle holds, wherever that folder now is.
// - Junctions, mount points and directory links anywhere above the last
//   component are followed (the I/O manager reparses); FILE_OPEN_REPARSE_POINT
//   opens only the last component as itself. A junction may lead into the
//   object namespace, where a symbolic link is followed too.
// - Share access is checked against every open of the file, by any name.
// - A directory is listed in batches into the caller's buffer; the listing is
//   fetched whole at the first query (the more dangerous reading: every entry
//   may be stale by the time it is returned), "." and ".." first.
// - FileDispositionInformation marks a name for deletion; it stays, listed
//   and refusing opens with STATUS_DELETE_PENDING, until the last handle on
//   the file is closed. A folder must be empty, a file must not be read-only.
// An injected fault makes the call return the fault's error as its NTSTATUS.
#include "security.h"
#include "sim.h"

using namespace sim;

namespace {

const NTSTATUS kStatusAccessViolation = (NTSTATUS)0xC0000005L;
const NTSTATUS kStatusFileDeleted = (NTSTATUS)0xC0000123L;
const NTSTATUS kStatusMediaWriteProtected = (NTSTATUS)0xC00000A2L;
const ULONG kFileOpened = 1;
// FILE_ID_BOTH_DIR_INFORMATION: fixed part up to FileName, entries 8-aligned.
const ULONG kIdBothFixedBytes = 104;

std::string SystemRootDir()
{
  auto it = M().env.find("SYSTEMROOT");
  return it == M().env.end() ? std::string("C:\\Windows") : it->second;
}

void Put32(uint8_t *b, uint32_t v)
{
  for (int k = 0; k < 4; k++)
    b[k] = (uint8_t)(v >> (8 * k));
}
void Put64(uint8_t *b, uint64_t v)
{
  for (int k = 0; k < 8; k++)
    b[k] = (uint8_t)(v >> (8 * k));
}

NTSTATUS Missing(const std::string &full)
{
  FsNode *parent = Node(ParentOf(full));
  return parent && parent->isDir ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
}

// Object manager names: "\SystemRoot" (the Windows folder) and "\??\X:\..."
// (a drive path). Directory names are matched without regard to case.
bool AbsolutePath(const std::string &name, std::string *full, NTSTATUS *status)
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
    *status = STATUS_OBJECT_NAME_INVALID;
    return false;
  }
  return true;
}

// A name relative to a folder handle: components only, no "." or "..".
bool RelativePath(const Handle &root, const std::string &name, std::string *full, NTSTATUS *status)
{
  std::string base = PathOfHandle(root);
  FsNode *folder = base.empty() ? nullptr : Node(base);
  if (!folder) {
    *status = kStatusFileDeleted;
    return false;
  }
  if (name.empty()) {
    *full = base;
    return true;
  }
  if (name[0] == '\\') {
    *status = STATUS_OBJECT_NAME_INVALID;
    return false;
  }
  std::string part;
  for (size_t i = 0; i <= name.size(); i++) {
    if (i < name.size() && name[i] != '\\') {
      part += name[i];
      continue;
    }
    if (part.empty() || part == "." || part == "..") {
      *status = STATUS_OBJECT_NAME_INVALID;
      return false;
    }
    part.clear();
  }
  if (!folder->isDir) {
    *status = STATUS_OBJECT_PATH_NOT_FOUND;
    return false;
  }
  // The folder's own place, then whatever junction lies on the way below it.
  std::string joined = base;
  if (joined.back() != '\\')
    joined += '\\';
  DWORD error;
  if (!ResolvePath("\\\\?\\" + joined + name, false, full, &error)) {
    *status = STATUS_OBJECT_NAME_INVALID;
    return false;
  }
  return true;
}

// Every open of the file, by whatever name, against this access and sharing;
// the process's current directory is held open without delete sharing.
bool ShareConflict(const std::string &full, const FsNode &n, DWORD access, DWORD share)
{
  const DWORD reading = FILE_READ_DATA | FILE_EXECUTE, writing = FILE_WRITE_DATA | FILE_APPEND_DATA;
  if (n.heldShareMode >= 0) {
    DWORD held = (DWORD)n.heldShareMode;
    if (((access & reading) && !(held & FILE_SHARE_READ)) || ((access & writing) && !(held & FILE_SHARE_WRITE)) ||
        ((access & DELETE) && !(held & FILE_SHARE_DELETE)) || !(share & FILE_SHARE_READ) ||
        !(share & FILE_SHARE_WRITE))
      return true;
  }
  if ((access & DELETE) && Lower(M().currentDir) == Lower(full))
    return true;
  for (const auto &hv : M().handles) {
    const Handle &h = hv.second;
    if (h.kind != HandleKind::File && h.kind != HandleKind::NtFile && h.kind != HandleKind::Stream)
      continue;
    if (h.fileIndex != n.fileIndex && Lower(h.path) != Lower(full))
      continue;
    DWORD held = h.kind == HandleKind::NtFile ? h.access : MapGenericFile(h.access);
    if (((access & reading) && !(h.share & FILE_SHARE_READ)) || ((access & writing) && !(h.share & FILE_SHARE_WRITE)) ||
        ((access & DELETE) && !(h.share & FILE_SHARE_DELETE)) || ((held & reading) && !(share & FILE_SHARE_READ)) ||
        ((held & writing) && !(share & FILE_SHARE_WRITE)) || ((held & DELETE) && !(share & FILE_SHARE_DELETE)))
      return true;
  }
  return false;
}

// DELETE is granted by the object's DACL or by FILE_DELETE_CHILD on its folder.
bool AccessGranted(const std::string &full, DWORD access)
{
  if (CheckFileAccess(full, access) == ERROR_SUCCESS)
    return true;
  return (access & DELETE) && CheckFileAccess(full, access & ~DELETE) == ERROR_SUCCESS &&
         CheckFileAccess(ParentOf(full), FILE_DELETE_CHILD) == ERROR_SUCCESS;
}

NTSTATUS OpenFile(const char *function, PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                  PIO_STATUS_BLOCK io, ULONG share, ULONG disposition, ULONG options)
{
  DWORD injected;
  if (Enter(function, &injected))
    return (NTSTATUS)injected;
  if (!handle || !attributes || !io)
    return kStatusAccessViolation;
  if (attributes->Length != sizeof(OBJECT_ATTRIBUTES))
    return STATUS_INVALID_PARAMETER;
  // Synchronous I/O needs the handle to be waitable.
  if ((options & FILE_SYNCHRONOUS_IO_NONALERT) && !(access & SYNCHRONIZE))
    return STATUS_INVALID_PARAMETER;
  if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE))
    return STATUS_INVALID_PARAMETER;
  // Only existing objects are opened; creation is not modelled.
  if (disposition != FILE_OPEN)
    return STATUS_NOT_SUPPORTED;
  const UNICODE_STRING *name = attributes->ObjectName;
  if (!name || (name->Length && !name->Buffer) || name->Length % 2 || name->Length > name->MaximumLength)
    return STATUS_OBJECT_NAME_INVALID;
  std::string text = Utf16ToUtf8(name->Buffer, name->Length / 2);
  std::string full;
  NTSTATUS status;
  if (attributes->RootDirectory) {
    Handle *root = FindHandle((uintptr_t)attributes->RootDirectory, HandleKind::NtFile);
    if (!root)
      root = FindHandle((uintptr_t)attributes->RootDirectory, HandleKind::File);
    if (!root)
      return STATUS_INVALID_HANDLE;
    if (!RelativePath(*root, text, &full, &status))
      return status;
  } else if (!AbsolutePath(text, &full, &status)) {
    return status;
  }
  FsNode *n = Node(full);
  if (!n)
    return Missing(full);
  // A junction or link at the end of the name is followed unless the open
  // asks for the reparse point itself.
  for (int hops = 0; !n->reparseTarget.empty() && !(options & FILE_OPEN_REPARSE_POINT); hops++) {
    if (hops > 31)
      return STATUS_OBJECT_PATH_NOT_FOUND;
    DWORD error;
    std::string target = n->reparseTarget;
    if (target[0] == '\\') {
      auto link = M().objectLinks.find(Lower(target));
      if (link == M().objectLinks.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
      target = link->second;
    }
    if (!ResolvePath("\\\\?\\" + target, false, &full, &error))
      return STATUS_OBJECT_NAME_INVALID;
    n = Node(full);
    if (!n)
      return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  if (n->deletePending)
    return STATUS_DELETE_PENDING;
  if ((options & FILE_DIRECTORY_FILE) && !n->isDir)
    return STATUS_NOT_A_DIRECTORY;
  if ((options & FILE_NON_DIRECTORY_FILE) && n->isDir)
    return STATUS_FILE_IS_A_DIRECTORY;
  DWORD mapped = MapGenericFile(access);
  if (!AccessGranted(full, mapped))
    return STATUS_ACCESS_DENIED;
  if (!n->isDir && (n->attributes & FILE_ATTRIBUTE_READONLY) && (mapped & (FILE_WRITE_DATA | FILE_APPEND_DATA)))
    return STATUS_ACCESS_DENIED;
  if (ShareConflict(full, *n, mapped, share))
    return STATUS_SHARING_VIOLATION;
  Handle h;
  h.kind = HandleKind::NtFile;
  h.path = full;
  h.access = mapped;
  h.share = share;
  h.fileIndex = n->fileIndex;
  *handle = (HANDLE)NewHandle(h);
  io->Status = STATUS_SUCCESS;
  io->Information = kFileOpened;
  if (M().onFileOpened)
    M().onFileOpened(full);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SimNtOpenFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             PIO_STATUS_BLOCK io, ULONG share, ULONG options)
{
  return OpenFile("NtOpenFile", handle, access, attributes, io, share, FILE_OPEN, options);
}

NTSTATUS NTAPI SimNtCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                               PIO_STATUS_BLOCK io, PLARGE_INTEGER allocation, ULONG fileAttributes, ULONG share,
                               ULONG disposition, ULONG options, PVOID ea, ULONG eaLength)
{
  (void)allocation, (void)fileAttributes;
  if (ea || eaLength)
    return STATUS_NOT_SUPPORTED;
  return OpenFile("NtCreateFile", handle, access, attributes, io, share, disposition, options);
}

Handle *FileHandle(HANDLE handle) { return FindHandle((uintptr_t)handle, HandleKind::NtFile); }

// The name the handle was opened by, or the file's other name when that one
// has moved.
FsNode *NamedNode(const Handle &h, std::string *full)
{
  *full = PathOfHandle(h);
  return full->empty() ? nullptr : Node(*full);
}

void FillIdBoth(uint8_t *record, const std::string &name, const FsNode &n, ULONG nameBytes)
{
  memset(record, 0, kIdBothFixedBytes);
  Put64(record + 40, n.data.size());                      // EndOfFile
  Put64(record + 48, (n.data.size() + 4095) & ~4095ull);  // AllocationSize
  Put32(record + 56, n.attributes);
  Put32(record + 60, nameBytes);
  Put64(record + 96, n.fileIndex);  // FileId
  std::vector<uint8_t> chars = Utf16Bytes(name, false);
  memcpy(record + kIdBothFixedBytes, chars.data(), nameBytes);
}

NTSTATUS NTAPI SimNtQueryDirectoryFile(HANDLE handle, HANDLE event, PIO_APC_ROUTINE apc, PVOID apcContext,
                                       PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, ULONG infoClass,
                                       BOOLEAN single, PUNICODE_STRING fileName, BOOLEAN restart)
{
  DWORD injected;
  if (Enter("NtQueryDirectoryFile", &injected))
    return (NTSTATUS)injected;
  Handle *h = FileHandle(handle);
  if (!h)
    return STATUS_INVALID_HANDLE;
  if (event || apc || apcContext || fileName)
    return STATUS_NOT_SUPPORTED;
  if (!io || !buffer)
    return kStatusAccessViolation;
  if (infoClass != FileIdBothDirectoryInformation)
    return STATUS_INVALID_INFO_CLASS;
  if (length < kIdBothFixedBytes)
    return STATUS_INFO_LENGTH_MISMATCH;
  if (!(h->access & FILE_LIST_DIRECTORY))
    return STATUS_ACCESS_DENIED;
  std::string full;
  FsNode *folder = NamedNode(*h, &full);
  if (!folder)
    return kStatusFileDeleted;
  if (!folder->isDir)
    return STATUS_INVALID_PARAMETER;
  bool first = !h->listingStarted;
  if (first || restart) {
    h->listing.clear();
    h->next = 0;
    h->listingStarted = true;
    FsNode dot = *folder;
    dot.data.clear();
    h->listing.emplace_back(".", dot);
    FsNode *parent = Node(ParentOf(full));
    h->listing.emplace_back("..", parent ? *parent : dot);
    h->listing.back().second.data.clear();
    for (const std::string &child : ChildrenOf(full)) {
      FsNode *c = Node(child);
      h->listing.emplace_back(c->name, *c);
      h->listing.back().second.data.resize(c->data.size());
    }
  }
  if (h->next >= h->listing.size())
    return first ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
  uint8_t *out = (uint8_t *)buffer;
  ULONG used = 0, previous = 0;
  int count = 0;
  NTSTATUS status = STATUS_SUCCESS;
  while (h->next < h->listing.size()) {
    const auto &entry = h->listing[h->next];
    ULONG nameBytes = (ULONG)Utf16Bytes(entry.first, false).size();
    ULONG at = (used + 7) & ~7u;
    if (count > 0 && at + kIdBothFixedBytes + nameBytes > length)
      break;
    if (count == 0 && kIdBothFixedBytes + nameBytes > length) {
      // Not even one entry fits: its fixed part and what fits of its name.
      std::vector<uint8_t> record(kIdBothFixedBytes + nameBytes);
      FillIdBoth(record.data(), entry.first, entry.second, nameBytes);
      memcpy(out, record.data(), length);
      status = STATUS_BUFFER_OVERFLOW;
      used = length;
      count++;
      break;
    }
    if (count > 0)
      Put32(out + previous, at - previous);
    FillIdBoth(out + at, entry.first, entry.second, nameBytes);
    previous = at;
    used = at + kIdBothFixedBytes + nameBytes;
    h->next++;
    count++;
    if (single || (M().directoryBatch > 0 && count >= M().directoryBatch))
      break;
  }
  io->Status = status;
  io->Information = used;
  return status;
}

NTSTATUS NTAPI SimNtQueryInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                         ULONG infoClass)
{
  DWORD injected;
  if (Enter("NtQueryInformationFile", &injected))
    return (NTSTATUS)injected;
  Handle *h = FileHandle(handle);
  if (!h)
    return STATUS_INVALID_HANDLE;
  if (!io || !buffer)
    return kStatusAccessViolation;
  std::string full;
  FsNode *n = NamedNode(*h, &full);
  if (!n)
    return kStatusFileDeleted;
  uint8_t *out = (uint8_t *)buffer;
  ULONG written;
  if (infoClass == FileBasicInformation) {
    if (length < sizeof(FILE_BASIC_INFORMATION))
      return STATUS_INFO_LENGTH_MISMATCH;
    if (!(h->access & FILE_READ_ATTRIBUTES))
      return STATUS_ACCESS_DENIED;
    written = sizeof(FILE_BASIC_INFORMATION);
    memset(out, 0, written);
    Put32(out + 32, n->attributes);
  } else if (infoClass == FileStandardInformation) {
    if (length < sizeof(FILE_STANDARD_INFORMATION))
      return STATUS_INFO_LENGTH_MISMATCH;
    written = sizeof(FILE_STANDARD_INFORMATION);
    memset(out, 0, written);
    Put64(out, (n->data.size() + 4095) & ~4095ull);
    Put64(out + 8, n->data.size());
    Put32(out + 16, LinkCount(*n));
    out[20] = n->deletePending ? 1 : 0;
    out[21] = n->isDir ? 1 : 0;
  } else if (infoClass == FileInternalInformation) {
    if (length < sizeof(FILE_INTERNAL_INFORMATION))
      return STATUS_INFO_LENGTH_MISMATCH;
    written = sizeof(FILE_INTERNAL_INFORMATION);
    Put64(out, n->fileIndex);
  } else {
    return STATUS_INVALID_INFO_CLASS;
  }
  io->Status = STATUS_SUCCESS;
  io->Information = written;
  return STATUS_SUCCESS;
}

// Attributes that may be set; the others stay.
const DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | 0x100 /* TEMPORARY */ | 0x1000 /* OFFLINE */ |
                                  0x2000 /* NOT_CONTENT_INDEXED */;

NTSTATUS NTAPI SimNtSetInformationFile(HANDLE handle, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                                       ULONG infoClass)
{
  DWORD injected;
  if (Enter("NtSetInformationFile", &injected))
    return (NTSTATUS)injected;
  Handle *h = FileHandle(handle);
  if (!h)
    return STATUS_INVALID_HANDLE;
  if (!io || !buffer)
    return kStatusAccessViolation;
  std::string full;
  FsNode *n = NamedNode(*h, &full);
  if (!n)
    return kStatusFileDeleted;
  if (infoClass == FileBasicInformation) {
    if (length < sizeof(FILE_BASIC_INFORMATION))
      return STATUS_INFO_LENGTH_MISMATCH;
    if (!(h->access & FILE_WRITE_ATTRIBUTES))
      return STATUS_ACCESS_DENIED;
    if (OnReadOnlyMedia(full))
      return kStatusMediaWriteProtected;
    DWORD attributes = ((const FILE_BASIC_INFORMATION *)buffer)->FileAttributes;
    // Zero leaves the attributes as they are; FILE_ATTRIBUTE_NORMAL clears them.
    if (attributes != 0) {
      DWORD kept = n->attributes & ~(kSettableAttributes | FILE_ATTRIBUTE_NORMAL);
      DWORD result = kept | (attributes & kSettableAttributes);
      n->attributes = result ? result : FILE_ATTRIBUTE_NORMAL;
      SyncLinks(*n);
    }
  } else if (infoClass == FileDispositionInformation) {
    if (length < sizeof(FILE_DISPOSITION_INFORMATION))
      return STATUS_INFO_LENGTH_MISMATCH;
    if (!(h->access & DELETE))
      return STATUS_ACCESS_DENIED;
    bool remove = ((const FILE_DISPOSITION_INFORMATION *)buffer)->DoDeleteFile != 0;
    if (remove) {
      if (OnReadOnlyMedia(full))
        return kStatusMediaWriteProtected;
      if (n->attributes & FILE_ATTRIBUTE_READONLY)
        return STATUS_CANNOT_DELETE;
      // A junction or link is removed as itself: its target's entries are
      // not its own.
      if (n->isDir && n->reparseTarget.empty() && !ChildrenOf(full).empty())
        return STATUS_DIRECTORY_NOT_EMPTY;
    }
    n->deletePending = remove;
  } else {
    return STATUS_INVALID_INFO_CLASS;
  }
  io->Status = STATUS_SUCCESS;
  io->Information = 0;
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" FARPROC SimNtdllFileProc(const char *name)
{
  std::string n = name;
  if (n == "NtOpenFile")
    return (FARPROC)(void *)SimNtOpenFile;
  if (n == "NtCreateFile")
    return (FARPROC)(void *)SimNtCreateFile;
  if (n == "NtQueryDirectoryFile")
    return (FARPROC)(void *)SimNtQueryDirectoryFile;
  if (n == "NtQueryInformationFile")
    return (FARPROC)(void *)SimNtQueryInformationFile;
  if (n == "NtSetInformationFile")
    return (FARPROC)(void *)SimNtSetInformationFile;
  return nullptr;
}
