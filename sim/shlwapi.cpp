// Simulated shlwapi path calls: PathAppendW, PathStripToRootW and
// PathIsDirectoryW. They work on buffers of MAX_PATH characters: a result of
// MAX_PATH characters or more is refused, and a failed PathAppendW leaves
// the buffer empty, as PathCombineW does.
#include "sim.h"

using namespace sim;

namespace {

std::u16string Text(LPCWSTR s)
{
  std::u16string out;
  for (size_t i = 0; s[i]; i++)
    out += (char16_t)s[i];
  return out;
}

void Store(LPWSTR dst, const std::u16string &s)
{
  for (size_t i = 0; i < s.size(); i++)
    dst[i] = (WCHAR)s[i];
  dst[s.size()] = 0;
}

bool IsDrive(const std::u16string &s, size_t at)
{
  return s.size() >= at + 2 && s[at + 1] == u':' &&
         ((s[at] >= u'A' && s[at] <= u'Z') || (s[at] >= u'a' && s[at] <= u'z'));
}

// Length of the root that ".." never climbs above: "\\?\X:\", "X:\",
// "\\server\share\" or "\".
size_t RootLength(const std::u16string &s)
{
  size_t at = 0;
  if (s.compare(0, 4, u"\\\\?\\") == 0)
    at = 4;
  if (IsDrive(s, at))
    return at + (s.size() > at + 2 && s[at + 2] == u'\\' ? 3 : 2);
  if (at == 0 && s.compare(0, 2, u"\\\\") == 0) {
    size_t server = s.find(u'\\', 2);
    size_t share = server == std::u16string::npos ? server : s.find(u'\\', server + 1);
    return share == std::u16string::npos ? s.size() : share + 1;
  }
  return !s.empty() && s[0] == u'\\' ? 1 : at;
}

// Drops "." components and resolves ".." ones, as PathCanonicalizeW does; a
// trailing backslash stays.
std::u16string Canonical(const std::u16string &s)
{
  size_t root = RootLength(s);
  std::vector<std::u16string> parts;
  std::u16string cur;
  for (size_t i = root; i <= s.size(); i++) {
    if (i < s.size() && s[i] != u'\\') {
      cur += s[i];
      continue;
    }
    if (cur == u"..") {
      if (!parts.empty())
        parts.pop_back();
    } else if (cur != u"." && !cur.empty()) {
      parts.push_back(cur);
    }
    cur.clear();
  }
  std::u16string out = s.substr(0, root);
  for (size_t i = 0; i < parts.size(); i++)
    out += (i ? u"\\" : u"") + parts[i];
  if (!parts.empty() && s.size() > root && s.back() == u'\\')
    out += u'\\';
  return out;
}

}  // namespace

extern "C" {

BOOL PathAppendW(LPWSTR path, LPCWSTR more)
{
  if (Enter("PathAppendW", nullptr) || !path || !more)
    return FALSE;
  std::u16string base = Text(path), add = Text(more);
  // Leading backslashes of the appended part are dropped, unless it is UNC.
  if (add.compare(0, 2, u"\\\\") != 0)
    while (!add.empty() && add[0] == u'\\')
      add.erase(0, 1);
  std::u16string joined;
  if (add.empty())
    joined = base;
  else if (base.empty() || IsDrive(add, 0) || add.compare(0, 2, u"\\\\") == 0)
    joined = add;
  else
    joined = base + (base.back() == u'\\' ? u"" : u"\\") + add;
  if (joined.size() >= MAX_PATH) {
    path[0] = 0;
    return FALSE;
  }
  Store(path, Canonical(joined));
  return TRUE;
}

BOOL PathStripToRootW(LPWSTR path)
{
  if (Enter("PathStripToRootW", nullptr) || !path)
    return FALSE;
  std::u16string s = Text(path);
  size_t root = RootLength(s);
  if (root == 0 || (s.compare(0, 4, u"\\\\?\\") == 0 && root == 4)) {
    // A relative path has no root: nothing is left of it.
    path[0] = 0;
    return FALSE;
  }
  std::u16string kept = s.substr(0, root);
  // "\\server\share" is kept without its last backslash.
  if (kept.size() > 2 && kept.compare(0, 2, u"\\\\") == 0 && kept.back() == u'\\' && !IsDrive(kept, 4))
    kept.pop_back();
  Store(path, kept);
  return TRUE;
}

// FILE_ATTRIBUTE_DIRECTORY for a folder (a junction or directory link
// included), FALSE for anything else or a path of MAX_PATH characters or more.
BOOL PathIsDirectoryW(LPCWSTR path)
{
  if (Enter("PathIsDirectoryW", nullptr) || !path)
    return FALSE;
  std::u16string s = Text(path);
  if (s.size() >= MAX_PATH)
    return FALSE;
  std::string full;
  DWORD error;
  if (!ResolvePath(Utf16ToUtf8(path), true, &full, &error))
    return FALSE;
  FsNode *n = Node(full);
  return n && (n->attributes & FILE_ATTRIBUTE_DIRECTORY) ? FILE_ATTRIBUTE_DIRECTORY : FALSE;
}

}  // extern "C"
