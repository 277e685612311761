// Simulated kernel32 file calls: CreateFileA with share modes (folders with
// backup semantics, a link at the end followed unless opened as itself), GetFileSize,
// ReadFile, CopyFileA, MoveFileExA (delayed moves recorded as the session
// manager's pending rename operations) and the system folder queries.
#include "sim.h"

using namespace sim;

namespace {

DWORD Fail(DWORD error)
{
  M().lastError = error;
  return error;
}

std::string SystemRoot()
{
  auto it = M().env.find("SYSTEMROOT");
  return it == M().env.end() ? std::string("C:\\Windows") : it->second;
}

// Copies text into a caller's buffer as the folder queries do: the length
// without the terminator, or the size needed (with it) when it does not fit.
UINT CopyOut(const std::string &text, LPSTR buffer, UINT size)
{
  std::string a = Utf8ToAnsi(text);
  if (!buffer || a.size() + 1 > size)
    return (UINT)a.size() + 1;
  memcpy(buffer, a.c_str(), a.size() + 1);
  return (UINT)a.size();
}

// Error for a path whose node is missing: the file or a folder above it.
DWORD MissingError(const std::string &full)
{
  FsNode *parent = Node(ParentOf(full));
  return parent && parent->isDir ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

bool WantsWrite(DWORD access)
{
  return (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
}

bool WantsRead(DWORD access) { return (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0; }

std::string NtPath(const std::string &full) { return "\\??\\" + full; }

// Renames a node and everything below it.
void MoveTree(const std::string &from, const std::string &to)
{
  std::string lowFrom = Lower(from), lowTo = Lower(to);
  std::vector<std::pair<std::string, FsNode>> moved;
  auto &files = M().files;
  for (auto it = files.begin(); it != files.end();) {
    if (it->first == lowFrom || it->first.compare(0, lowFrom.size() + 1, lowFrom + "\\") == 0) {
      moved.emplace_back(lowTo + it->first.substr(lowFrom.size()), it->second);
      it = files.erase(it);
    } else {
      ++it;
    }
  }
  for (auto &m : moved)
    files[m.first] = m.second;
  FsNode *n = Node(to);
  if (n)
    n->name = to.substr(to.rfind('\\') + 1);
}

}  // namespace

extern "C" {

UINT GetSystemDirectoryA(LPSTR buffer, UINT size)
{
  DWORD err;
  if (Enter("GetSystemDirectoryA", &err)) {
    Fail(err);
    return 0;
  }
  // Always the native name: a WOW64 process reaches SysWOW64 through the
  // file-system redirection of this path, not through another name.
  return CopyOut(SystemRoot() + "\\system32", buffer, size);
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size)
{
  DWORD err;
  if (Enter("GetWindowsDirectoryA", &err)) {
    Fail(err);
    return 0;
  }
  const Machine &m = M();
  if (m.sessionHost && !m.imageTsAware) {
    auto profile = m.env.find("USERPROFILE");
    if (profile != m.env.end())
      return CopyOut(profile->second + "\\WINDOWS", buffer, size);
  }
  return CopyOut(SystemRoot(), buffer, size);
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                   DWORD flags, HANDLE templ)
{
  DWORD err;
  (void)sa, (void)templ;
  if (Enter("CreateFileA", &err)) {
    Fail(err);
    return INVALID_HANDLE_VALUE;
  }
  if (!path || disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
      (disposition == TRUNCATE_EXISTING && !WantsWrite(access))) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string full;
  if (!ResolvePath(AnsiToUtf8(path), true, &full, &err)) {
    Fail(err);
    return INVALID_HANDLE_VALUE;
  }
  FsNode *n = Node(full);
  DWORD lastError = ERROR_SUCCESS;
  // A junction or link at the end of the name is followed unless the open
  // asks for it as itself.
  if (n && !n->reparseTarget.empty() && !(flags & FILE_FLAG_OPEN_REPARSE_POINT)) {
    if (!ResolvePath("\\\\?\\" + n->reparseTarget, false, &full, &err)) {
      Fail(err);
      return INVALID_HANDLE_VALUE;
    }
    n = Node(full);
  }
  if (!n) {
    FsNode *parent = Node(ParentOf(full));
    if (!parent || !parent->isDir) {
      Fail(ERROR_PATH_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      Fail(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    if (OnReadOnlyMedia(full)) {
      Fail(ERROR_WRITE_PROTECT);
      return INVALID_HANDLE_VALUE;
    }
    if (CheckFileAccess(ParentOf(full), FILE_WRITE_DATA) != ERROR_SUCCESS) {
      Fail(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    FsNode &created = MakeFile(full, std::vector<uint8_t>());
    DWORD attributes = flags & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    created.attributes = FILE_ATTRIBUTE_ARCHIVE | attributes;
  } else {
    // A folder is opened only with FILE_FLAG_BACKUP_SEMANTICS.
    if (n->isDir && (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || WantsWrite(access) || disposition != OPEN_EXISTING)) {
      Fail(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_NEW) {
      Fail(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
    if ((WantsWrite(access) || disposition == CREATE_ALWAYS) && (n->attributes & FILE_ATTRIBUTE_READONLY)) {
      Fail(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if (CheckFileAccess(full, access) != ERROR_SUCCESS) {
      Fail(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if ((WantsWrite(access) || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) &&
        OnReadOnlyMedia(full)) {
      Fail(ERROR_WRITE_PROTECT);
      return INVALID_HANDLE_VALUE;
    }
    if (FileShareConflict(full, access, share)) {
      Fail(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
      n->data.clear();
      n->flushedBytes = 0;
      SyncLinks(*n);
    }
    if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
      lastError = ERROR_ALREADY_EXISTS;
  }
  Handle h;
  h.kind = HandleKind::File;
  h.path = full;
  h.access = access;
  h.share = share;
  h.fileIndex = Node(full)->fileIndex;
  M().lastError = lastError;
  return (HANDLE)NewHandle(h);
}

DWORD GetFileSize(HANDLE file, LPDWORD high)
{
  DWORD err;
  if (Enter("GetFileSize", &err)) {
    Fail(err);
    return INVALID_FILE_SIZE;
  }
  Handle *h = FindHandle((uintptr_t)file, HandleKind::File);
  FsNode *n = h ? Node(h->path) : nullptr;
  if (!n) {
    Fail(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  uint64_t size = n->data.size();
  if (high)
    *high = (DWORD)(size >> 32);
  // A size whose low part is INVALID_FILE_SIZE is told apart by the error.
  M().lastError = ERROR_SUCCESS;
  return (DWORD)size;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPVOID overlapped)
{
  DWORD err;
  // The count is cleared before any work or error checking.
  if (read)
    *read = 0;
  if (Enter("ReadFile", &err)) {
    Fail(err);
    return FALSE;
  }
  if (!read && !overlapped) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Handle *h = FindHandle((uintptr_t)file, HandleKind::File);
  FsNode *n = h ? Node(h->path) : nullptr;
  if (!n) {
    Fail(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!WantsRead(h->access)) {
    Fail(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  uint64_t avail = n->data.size() > h->position ? n->data.size() - h->position : 0;
  DWORD k = avail < toRead ? (DWORD)avail : toRead;
  if (k)
    memcpy(buffer, n->data.data() + h->position, k);
  h->position += k;
  if (read)
    *read = k;
  return TRUE;
}

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists)
{
  DWORD err;
  if (Enter("CopyFileA", &err)) {
    Fail(err);
    return FALSE;
  }
  std::string src, dst;
  if (!ResolvePath(AnsiToUtf8(from), true, &src, &err) || !ResolvePath(AnsiToUtf8(to), true, &dst, &err)) {
    Fail(err);
    return FALSE;
  }
  FsNode *s = Node(src);
  if (!s) {
    Fail(MissingError(src));
    return FALSE;
  }
  if (s->isDir || CheckFileAccess(src, GENERIC_READ) != ERROR_SUCCESS) {
    Fail(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (FileShareConflict(src, GENERIC_READ, FILE_SHARE_READ)) {
    Fail(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  FsNode *parent = Node(ParentOf(dst));
  if (!parent || !parent->isDir) {
    Fail(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  FsNode *d = Node(dst);
  if (d) {
    // The destination is created with FILE_CREATE when it must not exist
    // (a name collision, folder or not), overwritten otherwise.
    if (failIfExists) {
      Fail(ERROR_FILE_EXISTS);
      return FALSE;
    }
    if (d->isDir || (d->attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN)) ||
        CheckFileAccess(dst, GENERIC_WRITE) != ERROR_SUCCESS) {
      Fail(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (OnReadOnlyMedia(dst)) {
      Fail(ERROR_WRITE_PROTECT);
      return FALSE;
    }
    if (FileShareConflict(dst, GENERIC_WRITE, 0)) {
      Fail(ERROR_SHARING_VIOLATION);
      return FALSE;
    }
  } else {
    if (OnReadOnlyMedia(dst)) {
      Fail(ERROR_WRITE_PROTECT);
      return FALSE;
    }
    if (CheckFileAccess(ParentOf(dst), FILE_WRITE_DATA) != ERROR_SUCCESS) {
      Fail(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  std::vector<uint8_t> data = s->data;
  DWORD attributes = s->attributes | FILE_ATTRIBUTE_ARCHIVE;
  FsNode &copy = MakeFile(dst, data);
  copy.attributes = attributes;
  SyncLinks(copy);
  M().lastError = ERROR_SUCCESS;
  return TRUE;
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags)
{
  DWORD err;
  if (Enter("MoveFileExA", &err)) {
    Fail(err);
    return FALSE;
  }
  bool delay = (flags & MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
  if (!from || (delay && (flags & MOVEFILE_COPY_ALLOWED)) || (!to && !delay)) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string src, dst;
  if (!ResolvePath(AnsiToUtf8(from), true, &src, &err) || (to && !ResolvePath(AnsiToUtf8(to), true, &dst, &err))) {
    Fail(err);
    return FALSE;
  }
  FsNode *s = Node(src);
  if (!s) {
    Fail(MissingError(src));
    return FALSE;
  }
  if (delay) {
    // The session manager carries these out at the next boot, in order; a
    // target marked '!' is replaced, any other one must not exist by then.
    PendingRename r;
    r.from = NtPath(src);
    r.to = to ? std::string((flags & MOVEFILE_REPLACE_EXISTING) ? "!" : "") + NtPath(dst) : std::string();
    M().pendingRenames.push_back(r);
    M().lastError = ERROR_SUCCESS;
    return TRUE;
  }
  FsNode *parent = Node(ParentOf(dst));
  if (!parent || !parent->isDir) {
    Fail(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (OnReadOnlyMedia(dst) || OnReadOnlyMedia(src)) {
    Fail(ERROR_WRITE_PROTECT);
    return FALSE;
  }
  if (Lower(src) == Lower(dst)) {
    M().lastError = ERROR_SUCCESS;
    return TRUE;
  }
  // The source is opened for DELETE: an open that does not share it refuses the rename.
  if (FileShareConflict(src, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
    Fail(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (FsNode *d = Node(dst)) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
      Fail(ERROR_ALREADY_EXISTS);
      return FALSE;
    }
    if (d->isDir || s->isDir || (d->attributes & FILE_ATTRIBUTE_READONLY)) {
      Fail(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (FileShareConflict(dst, GENERIC_WRITE, 0)) {
      Fail(ERROR_SHARING_VIOLATION);
      return FALSE;
    }
    RemoveNode(dst);
  }
  MoveTree(src, dst);
  M().lastError = ERROR_SUCCESS;
  return TRUE;
}

}  // extern "C"
