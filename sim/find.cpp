// Simulated directory searches: FindFirstFileA/W, FindNextFileA/W, FindClose.
//
// The pattern's last component is matched with the platform's wildcards
// ('*' any run, '?' one character, case-insensitive; "*.*" matches every
// name). A search lists the folder when it starts and yields "." and ".."
// first for any folder but a drive root; entries deleted while the search is
// open are passed over when their turn comes, as NTFS does.
#include "sim.h"

using namespace sim;

namespace {

bool WildMatch(const char *p, const char *s)
{
  for (; *p; p++, s++) {
    if (*p == '*') {
      while (p[1] == '*')
        p++;
      if (!p[1])
        return true;
      for (; *s; s++)
        if (WildMatch(p + 1, s))
          return true;
      return WildMatch(p + 1, s);
    }
    if (!*s)
      return false;
    if (*p != '?' && *p != *s)
      return false;
  }
  return !*s;
}

bool NameMatches(const std::string &pattern, const std::string &name)
{
  std::string p = Lower(pattern), n = Lower(name);
  if (p == "*.*" || p == "*")
    return true;
  // "x.*" also matches a name without a dot.
  if (p.size() > 2 && p.compare(p.size() - 2, 2, ".*") == 0 && n.find('.') == std::string::npos &&
      WildMatch(p.substr(0, p.size() - 2).c_str(), n.c_str()))
    return true;
  return WildMatch(p.c_str(), n.c_str());
}

struct Entry {
  std::string name;
  const FsNode *node;  // null for "." and ".."
  const FsNode *self;
};

// Starts a search; fills the entry names of the handle. Returns an error or 0.
DWORD StartSearch(const std::string &pattern, bool limited, Handle *h)
{
  std::string full;
  DWORD err;
  if (!ResolvePath(pattern, limited, &full, &err))
    return err;
  size_t cut = full.rfind('\\');
  std::string folder = full.substr(0, cut), mask = full.substr(cut + 1);
  if (folder.size() == 2)
    folder += '\\';
  FsNode *dir = Node(folder);
  if (!dir || !dir->isDir)
    return ERROR_PATH_NOT_FOUND;
  if (mask.empty())
    return ERROR_FILE_NOT_FOUND;
  // A junction or link lists its target's content.
  std::string listed = folder;
  if (!dir->reparseTarget.empty()) {
    listed = dir->reparseTarget;
    if (!Node(listed))
      return ERROR_PATH_NOT_FOUND;
  }
  DWORD access = CheckFileAccess(listed, FILE_LIST_DIRECTORY);
  if (access != ERROR_SUCCESS)
    return access;
  h->kind = HandleKind::Find;
  h->path = listed;
  h->entries.clear();
  bool root = listed.size() <= 3;
  if (!root && NameMatches(mask, "."))
    h->entries.push_back(".");
  if (!root && NameMatches(mask, ".."))
    h->entries.push_back("..");
  for (const std::string &child : ChildrenOf(listed)) {
    std::string name = child.substr(child.rfind('\\') + 1);
    if (NameMatches(mask, name))
      h->entries.push_back(name);
  }
  h->next = 0;
  return h->entries.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

// The next entry that still exists, or false at the end.
bool NextEntry(Handle *h, std::string *name, FsNode **node)
{
  while (h->next < h->entries.size()) {
    std::string n = h->entries[h->next++];
    if (n == "." || n == "..") {
      *name = n;
      *node = Node(h->path);
      return true;
    }
    std::string base = h->path;
    if (base.back() != '\\')
      base += '\\';
    FsNode *f = Node(base + n);
    if (f) {
      *name = f->name;
      *node = f;
      return true;
    }
  }
  return false;
}

template <typename Data> void FillCommon(Data *d, const FsNode *n)
{
  memset(d, 0, sizeof(*d));
  d->dwFileAttributes = n ? n->attributes : FILE_ATTRIBUTE_DIRECTORY;
  if (n && !n->isDir)
    d->nFileSizeLow = (DWORD)n->data.size();
  if (n && !n->reparseTarget.empty())
    d->dwReserved0 = n->symlink ? IO_REPARSE_TAG_SYMLINK : IO_REPARSE_TAG_MOUNT_POINT;
}

void Fill(WIN32_FIND_DATAA *d, const std::string &name, const FsNode *n)
{
  FillCommon(d, n);
  std::string a = Utf8ToAnsi(name);
  lstrcpynA(d->cFileName, a.c_str(), MAX_PATH);
}

void Fill(WIN32_FIND_DATAW *d, const std::string &name, const FsNode *n)
{
  FillCommon(d, n);
  std::u16string w = Utf8ToUtf16(name);
  size_t k = 0;
  for (; k < w.size() && k < MAX_PATH - 1; k++)
    d->cFileName[k] = (WCHAR)w[k];
  d->cFileName[k] = 0;
}

template <typename Data> HANDLE FindFirst(const char *fn, const std::string &pattern, bool limited, Data *data)
{
  DWORD err;
  if (Enter(fn, &err)) {
    M().lastError = err;
    return INVALID_HANDLE_VALUE;
  }
  Handle h;
  err = StartSearch(pattern, limited, &h);
  std::string name;
  FsNode *node;
  if (err == ERROR_SUCCESS && !NextEntry(&h, &name, &node))
    err = ERROR_FILE_NOT_FOUND;
  if (err != ERROR_SUCCESS) {
    M().lastError = err;
    return INVALID_HANDLE_VALUE;
  }
  Fill(data, name, node);
  return (HANDLE)NewHandle(h);
}

template <typename Data> BOOL FindNext(const char *fn, HANDLE find, Data *data)
{
  DWORD err;
  if (Enter(fn, &err)) {
    M().lastError = err;
    return FALSE;
  }
  Handle *h = FindHandle((uintptr_t)find, HandleKind::Find);
  if (!h) {
    M().lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  std::string name;
  FsNode *node;
  if (!NextEntry(h, &name, &node)) {
    M().lastError = ERROR_NO_MORE_FILES;
    return FALSE;
  }
  Fill(data, name, node);
  return TRUE;
}

}  // namespace

extern "C" {

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data)
{
  return FindFirst("FindFirstFileA", AnsiToUtf8(pattern), true, data);
}

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data)
{
  return FindFirst("FindFirstFileW", Utf16ToUtf8(pattern), true, data);
}

BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA data) { return FindNext("FindNextFileA", find, data); }

BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) { return FindNext("FindNextFileW", find, data); }

BOOL FindClose(HANDLE find)
{
  DWORD err;
  if (Enter("FindClose", &err)) {
    M().lastError = err;
    return FALSE;
  }
  if (!ReleaseHandle((uintptr_t)find, HandleKind::Find)) {
    M().lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
