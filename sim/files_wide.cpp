// Simulated kernel32 wide file calls: GetFileAttributesW, SetFileAttributesW,
// DeleteFileW, RemoveDirectoryW, CreateFileW (opening existing objects) and
// GetFileInformationByHandle.
//
// Paths of MAX_PATH characters or more need the "\\?\" prefix. A junction or
// link at the end of a path is acted on as itself by the attribute and
// delete calls; CreateFileW follows it unless FILE_FLAG_OPEN_REPARSE_POINT.
// Deleting needs DELETE on the object or FILE_DELETE_CHILD on its folder.
#include "security.h"
#include "sim.h"

using namespace sim;

namespace {

// Attributes that SetFileAttributes may change; the others stay.
const DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | 0x100 /* TEMPORARY */ | 0x1000 /* OFFLINE */ |
                                  0x2000 /* NOT_CONTENT_INDEXED */;

const DWORD kVolumeSerialNumber = 0x5A3C19E4;

DWORD SetError(DWORD error)
{
  M().lastError = error;
  return error;
}

// Resolves a wide path to an existing node; sets the platform's error when
// there is none.
FsNode *Existing(LPCWSTR path, std::string *full)
{
  DWORD error;
  if (!path) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!ResolvePath(Utf16ToUtf8(path), true, full, &error)) {
    SetError(error);
    return nullptr;
  }
  FsNode *n = Node(*full);
  if (!n) {
    FsNode *parent = Node(ParentOf(*full));
    SetError(parent && parent->isDir ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  }
  return n;
}

bool MayDelete(const std::string &full)
{
  return CheckFileAccess(full, DELETE) == ERROR_SUCCESS ||
         CheckFileAccess(ParentOf(full), FILE_DELETE_CHILD) == ERROR_SUCCESS;
}

// Another process or an open handle of ours that does not share delete access.
bool DeleteShareConflict(const std::string &full, const FsNode &n)
{
  if (n.heldShareMode >= 0 && !(n.heldShareMode & FILE_SHARE_DELETE))
    return true;
  for (const auto &hv : M().handles) {
    const Handle &h = hv.second;
    bool same = h.kind == HandleKind::NtFile ? h.fileIndex == n.fileIndex
                                             : (h.kind == HandleKind::File || h.kind == HandleKind::Stream) &&
                                                   Lower(h.path) == Lower(full);
    if (same && !(h.share & FILE_SHARE_DELETE))
      return true;
  }
  return false;
}

}  // namespace

extern "C" {

DWORD GetFileAttributesW(LPCWSTR path)
{
  DWORD error;
  if (Enter("GetFileAttributesW", &error)) {
    SetError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::string full;
  FsNode *n = Existing(path, &full);
  return n ? n->attributes : INVALID_FILE_ATTRIBUTES;
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes)
{
  DWORD error;
  if (Enter("SetFileAttributesW", &error)) {
    SetError(error);
    return FALSE;
  }
  std::string full;
  FsNode *n = Existing(path, &full);
  if (!n)
    return FALSE;
  if (CheckFileAccess(full, FILE_WRITE_ATTRIBUTES) != ERROR_SUCCESS) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (OnReadOnlyMedia(full)) {
    SetError(ERROR_WRITE_PROTECT);
    return FALSE;
  }
  DWORD kept = n->attributes & ~(kSettableAttributes | FILE_ATTRIBUTE_NORMAL);
  DWORD result = kept | (attributes & kSettableAttributes);
  // A file with no other attribute reports FILE_ATTRIBUTE_NORMAL.
  n->attributes = result ? result : FILE_ATTRIBUTE_NORMAL;
  SyncLinks(*n);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR path)
{
  DWORD error;
  if (Enter("DeleteFileW", &error)) {
    SetError(error);
    return FALSE;
  }
  std::string full;
  FsNode *n = Existing(path, &full);
  if (!n)
    return FALSE;
  if (n->isDir || !MayDelete(full)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (OnReadOnlyMedia(full)) {
    SetError(ERROR_WRITE_PROTECT);
    return FALSE;
  }
  if (DeleteShareConflict(full, *n)) {
    SetError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (n->attributes & FILE_ATTRIBUTE_READONLY) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // A file that others hold with FILE_SHARE_DELETE would linger until they
  // close it; the simulation removes it at once.
  RemoveNode(full);
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path)
{
  DWORD error;
  if (Enter("RemoveDirectoryW", &error)) {
    SetError(error);
    return FALSE;
  }
  std::string full;
  FsNode *n = Existing(path, &full);
  if (!n)
    return FALSE;
  if (!n->isDir) {
    SetError(ERROR_DIRECTORY);
    return FALSE;
  }
  if (!MayDelete(full)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (OnReadOnlyMedia(full)) {
    SetError(ERROR_WRITE_PROTECT);
    return FALSE;
  }
  // The process's current directory is held open without delete sharing.
  if (DeleteShareConflict(full, *n) || Lower(M().currentDir) == Lower(full)) {
    SetError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (n->attributes & FILE_ATTRIBUTE_READONLY) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // A junction or link is removed as itself; what it points to stays. Its
  // target's entries are not its own, so it always counts as empty.
  if (n->reparseTarget.empty() && !ChildrenOf(full).empty()) {
    SetError(ERROR_DIR_NOT_EMPTY);
    return FALSE;
  }
  RemoveNode(full);
  return TRUE;
}

// Only existing objects are opened (OPEN_EXISTING); creating files through
// the wide call is not modelled and fails with ERROR_NOT_SUPPORTED.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags,
                   HANDLE templ)
{
  (void)sa, (void)templ;
  DWORD error;
  if (Enter("CreateFileW", &error)) {
    SetError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition != OPEN_EXISTING) {
    SetError(disposition >= CREATE_NEW && disposition <= TRUNCATE_EXISTING ? ERROR_NOT_SUPPORTED
                                                                           : ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string full;
  FsNode *n = Existing(path, &full);
  if (!n)
    return INVALID_HANDLE_VALUE;
  if (!n->reparseTarget.empty() && !(flags & FILE_FLAG_OPEN_REPARSE_POINT)) {
    full = n->reparseTarget;
    n = Node(full);
    if (!n) {
      SetError(ERROR_PATH_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
  }
  // Folders open only with backup semantics.
  if (n->isDir && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  DWORD mapped = MapGenericFile(access);
  const DWORD writing = FILE_WRITE_DATA | FILE_APPEND_DATA;
  if (CheckFileAccess(full, mapped) != ERROR_SUCCESS ||
      (!n->isDir && (n->attributes & FILE_ATTRIBUTE_READONLY) && (mapped & writing))) {
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (FileShareConflict(full, access, share)) {
    SetError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  Handle h;
  h.kind = HandleKind::File;
  h.path = full;
  h.access = access | mapped;
  h.share = share;
  h.fileIndex = n->fileIndex;
  HANDLE opened = (HANDLE)NewHandle(h);
  if (M().onFileOpened)
    M().onFileOpened(full);
  return opened;
}

// The attributes need FILE_READ_ATTRIBUTES on the handle; the link count is
// that of the file the handle was opened on.
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info)
{
  DWORD error;
  if (Enter("GetFileInformationByHandle", &error)) {
    SetError(error);
    return FALSE;
  }
  Handle *h = FindHandle((uintptr_t)file, HandleKind::File);
  if (!h) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(h->access & FILE_READ_ATTRIBUTES)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  FsNode *n = NodeOfHandle(*h);
  if (!n) {
    SetError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  memset(info, 0, sizeof(*info));
  info->dwFileAttributes = n->attributes;
  info->dwVolumeSerialNumber = kVolumeSerialNumber;
  info->nFileSizeHigh = (DWORD)((uint64_t)n->data.size() >> 32);
  info->nFileSizeLow = (DWORD)n->data.size();
  info->nNumberOfLinks = LinkCount(*n);
  info->nFileIndexHigh = (DWORD)(n->fileIndex >> 32);
  info->nFileIndexLow = (DWORD)n->fileIndex;
  return TRUE;
}

}  // extern "C"
