// The simulated machine: state, fault injection, handles, text and paths.
#include "sim.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {

static Machine *g_machine = nullptr;

const bool kImageTsAware = SIM_IMAGE_TSAWARE;

Machine &M()
{
  if (!g_machine)
    g_machine = new Machine();
  return *g_machine;
}

void RestoreMachine(const Machine &copy) { M() = copy; }

void Reset()
{
  // Blocks and streams of an earlier machine are not ours to free here: a
  // test that leaks them fails on the counters before it resets.
  delete g_machine;
  g_machine = new Machine();
}

void FailCall(const std::string &function, int nth, DWORD error)
{
  M().faults.push_back(Fault{function, nth, error});
}

bool Enter(const char *function, DWORD *error)
{
  Machine &m = M();
  if (m.onEnter)
    m.onEnter(function);
  int n = ++m.callCounts[function];
  if (m.recordCalls)
    m.calls.push_back(CallRecord{function, m.redirectionOff, m.streamBytes});
  for (Fault &f : m.faults) {
    if (f.function == function && (f.nth == 0 || f.nth == n)) {
      f.fired++;
      if (error)
        *error = f.error;
      return true;
    }
  }
  return false;
}

// ---- handles ------------------------------------------------------------

uintptr_t NewHandle(const Handle &h)
{
  Machine &m = M();
  uintptr_t v = m.nextHandle;
  m.nextHandle += 4;
  m.handles[v] = h;
  return v;
}

Handle *FindHandle(uintptr_t value, HandleKind kind)
{
  auto it = M().handles.find(value);
  if (it == M().handles.end() || it->second.kind != kind)
    return nullptr;
  return &it->second;
}

static void FinishPendingDelete(uint64_t fileIndex);

bool ReleaseHandle(uintptr_t value, HandleKind kind)
{
  auto it = M().handles.find(value);
  if (it == M().handles.end() || it->second.kind != kind) {
    M().invalidReleases++;
    return false;
  }
  uint64_t fileIndex = it->second.fileIndex;
  bool file = kind == HandleKind::File || kind == HandleKind::NtFile || kind == HandleKind::Stream;
  M().handles.erase(it);
  if (file)
    FinishPendingDelete(fileIndex);
  return true;
}

size_t OpenHandles(HandleKind kind)
{
  size_t n = 0;
  for (auto &h : M().handles)
    if (h.second.kind == kind)
      n++;
  return n;
}

size_t OpenHandles() { return M().handles.size(); }

// ---- text -----------------------------------------------------------------

// Windows-1252 code points for bytes 0x80..0x9F; the rest of the code page is Latin-1.
static const char16_t kCp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

static void AppendUtf8(std::string &out, uint32_t cp)
{
  if (cp < 0x80) {
    out += (char)cp;
  } else if (cp < 0x800) {
    out += (char)(0xC0 | (cp >> 6));
    out += (char)(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += (char)(0xE0 | (cp >> 12));
    out += (char)(0x80 | ((cp >> 6) & 0x3F));
    out += (char)(0x80 | (cp & 0x3F));
  } else {
    out += (char)(0xF0 | (cp >> 18));
    out += (char)(0x80 | ((cp >> 12) & 0x3F));
    out += (char)(0x80 | ((cp >> 6) & 0x3F));
    out += (char)(0x80 | (cp & 0x3F));
  }
}

std::string Utf16ToUtf8(const WCHAR *s, size_t n)
{
  std::string out;
  if (!s)
    return out;
  for (size_t i = 0; i < n && s[i]; i++) {
    uint32_t c = (uint16_t)s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && (uint16_t)s[i + 1] >= 0xDC00 &&
        (uint16_t)s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + ((uint16_t)s[i + 1] - 0xDC00);
      i++;
    }
    AppendUtf8(out, c);
  }
  return out;
}

static std::vector<uint32_t> CodePoints(const std::string &s)
{
  std::vector<uint32_t> cps;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = (unsigned char)s[i];
    uint32_t cp;
    int extra;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      cps.push_back(0xFFFD);
      i++;
      continue;
    }
    i++;
    for (int k = 0; k < extra && i < s.size(); k++, i++)
      cp = (cp << 6) | ((unsigned char)s[i] & 0x3F);
    cps.push_back(cp);
  }
  return cps;
}

std::u16string Utf8ToUtf16(const std::string &s)
{
  std::u16string out;
  for (uint32_t cp : CodePoints(s)) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += (char16_t)(0xD800 + (cp >> 10));
      out += (char16_t)(0xDC00 + (cp & 0x3FF));
    } else {
      out += (char16_t)cp;
    }
  }
  return out;
}

std::string AnsiToUtf8(const char *s, size_t n)
{
  std::string out;
  if (!s)
    return out;
  for (size_t i = 0; i < n && s[i]; i++) {
    unsigned char c = (unsigned char)s[i];
    uint32_t cp = c;
    if (c >= 0x80 && c < 0xA0)
      cp = kCp1252High[c - 0x80];
    AppendUtf8(out, cp);
  }
  return out;
}

static char AnsiOf(uint32_t cp)
{
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
    return (char)cp;
  for (int i = 0; i < 32; i++)
    if (kCp1252High[i] == cp && cp != 0xFFFD)
      return (char)(0x80 + i);
  return '?';
}

std::string Utf8ToAnsi(const std::string &s)
{
  std::string out;
  for (uint32_t cp : CodePoints(s))
    out += AnsiOf(cp);
  return out;
}

std::string Lower(const std::string &s)
{
  std::string out = s;
  for (char &c : out)
    if (c >= 'A' && c <= 'Z')
      c = (char)(c - 'A' + 'a');
  return out;
}

bool SameName(const std::string &a, const std::string &b)
{
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); i++) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z')
      x = (char)(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z')
      y = (char)(y - 'A' + 'a');
    if (x != y)
      return false;
  }
  return true;
}

std::vector<uint8_t> Utf16Bytes(const std::string &utf8, bool terminator)
{
  std::u16string w = Utf8ToUtf16(utf8);
  if (terminator)
    w += u'\0';
  std::vector<uint8_t> out;
  for (char16_t c : w) {
    out.push_back((uint8_t)(c & 0xFF));
    out.push_back((uint8_t)(c >> 8));
  }
  return out;
}

// ---- files -------------------------------------------------------------------

static std::vector<std::string> Split(const std::string &path)
{
  std::vector<std::string> parts;
  std::string cur;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!cur.empty())
        parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty())
    parts.push_back(cur);
  return parts;
}

static std::string Join(const std::vector<std::string> &parts)
{
  std::string out;
  for (size_t i = 0; i < parts.size(); i++) {
    if (i)
      out += '\\';
    out += parts[i];
  }
  if (parts.size() == 1)
    out += '\\';  // "C:" alone is the root "C:\"
  return out;
}

static std::string SystemRootDir()
{
  auto it = M().env.find("SYSTEMROOT");
  return it == M().env.end() ? std::string("C:\\Windows") : it->second;
}

// 32-bit processes on 64-bit Windows see SysWOW64 in place of system32
// unless redirection is switched off.
static std::string Redirect(const std::string &full)
{
  Machine &m = M();
  if (!m.wow64 || m.redirectionOff)
    return full;
  std::string sys32 = Lower(SystemRootDir() + "\\system32");
  std::string lf = Lower(full);
  if (lf == sys32 || (lf.size() > sys32.size() && lf.compare(0, sys32.size() + 1, sys32 + "\\") == 0))
    return SystemRootDir() + "\\SysWOW64" + full.substr(sys32.size());
  return full;
}

// Junctions and directory links in the middle of a path are followed. The
// folders above the last component are looked up one prefix at a time (the
// map's keys are lower-cased, the root with its backslash).
static std::string FollowIntermediate(const std::string &full)
{
  std::vector<std::string> parts = Split(full);
  const auto &files = M().files;
  std::string prefix;
  for (size_t i = 0; i + 1 < parts.size(); i++) {
    prefix += Lower(parts[i]);
    auto it = files.find(i == 0 ? prefix + "\\" : prefix);
    prefix += '\\';
    if (it == files.end() || it->second.reparseTarget.empty())
      continue;
    std::string rest;
    for (size_t k = i + 1; k < parts.size(); k++)
      rest += "\\" + parts[k];
    std::string target = it->second.reparseTarget;
    if (!target.empty() && target.back() == '\\')
      target.pop_back();
    // A junction into the object namespace: the rest of the path is looked
    // up there, and a symbolic link found by that name is followed.
    if (!target.empty() && target[0] == '\\') {
      auto link = M().objectLinks.find(Lower(target + rest));
      if (link == M().objectLinks.end())
        return target + rest;
      return FollowIntermediate(link->second);
    }
    return FollowIntermediate(target + rest);
  }
  return Join(parts);
}

bool ResolvePath(const std::string &path, bool limited, std::string *full, DWORD *error)
{
  Machine &m = M();
  std::string p = path;
  bool longPrefix = p.compare(0, 4, "\\\\?\\") == 0;
  if (longPrefix)
    p = p.substr(4);
  else if (limited && p.size() >= MAX_PATH) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  if (p.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  std::string abs;
  if (p.size() >= 2 && p[1] == ':')
    abs = p;
  else if (p[0] == '\\' || p[0] == '/')
    abs = m.currentDir.substr(0, 2) + p;
  else
    abs = m.currentDir + "\\" + p;

  std::vector<std::string> parts, out;
  parts = Split(abs);
  for (const std::string &c : parts) {
    if (!longPrefix && c == ".")
      continue;
    if (!longPrefix && c == "..") {
      if (out.size() > 1)
        out.pop_back();
      continue;
    }
    out.push_back(c);
  }
  if (out.empty() || out[0].size() != 2 || out[0][1] != ':') {
    *error = ERROR_INVALID_NAME;
    return false;
  }
  out[0][0] = (char)toupper((unsigned char)out[0][0]);
  *full = FollowIntermediate(Redirect(Join(out)));
  return true;
}

FsNode *Node(const std::string &fullPath)
{
  auto it = M().files.find(Lower(fullPath));
  return it == M().files.end() ? nullptr : &it->second;
}

bool Exists(const std::string &fullPath) { return Node(fullPath) != nullptr; }

bool OnReadOnlyMedia(const std::string &fullPath)
{
  std::vector<std::string> parts = Split(fullPath);
  const auto &files = M().files;
  std::string prefix;
  for (size_t i = 0; i + 1 < parts.size(); i++) {
    prefix += Lower(parts[i]);
    auto it = files.find(i == 0 ? prefix + "\\" : prefix);
    prefix += '\\';
    if (it != files.end() && it->second.readOnlyMedia)
      return true;
  }
  return false;
}

std::string ParentOf(const std::string &fullPath)
{
  std::vector<std::string> parts = Split(fullPath);
  if (parts.size() <= 1)
    return "";
  parts.pop_back();
  return Join(parts);
}

std::vector<std::string> ChildrenOf(const std::string &fullPath)
{
  std::vector<std::string> out;
  std::string prefix = Lower(fullPath);
  if (prefix.back() != '\\')
    prefix += '\\';
  std::string base = fullPath;
  if (base.back() != '\\')
    base += '\\';
  auto &files = M().files;
  for (auto it = files.lower_bound(prefix); it != files.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0)
      break;
    if (it->first.find('\\', prefix.size()) != std::string::npos)
      continue;
    out.push_back(base + it->second.name);
  }
  return out;
}

FsNode &MakeDir(const std::string &fullPath)
{
  std::vector<std::string> parts = Split(fullPath);
  std::vector<std::string> cur;
  FsNode *n = nullptr;
  for (const std::string &c : parts) {
    cur.push_back(c);
    std::string p = Join(cur);
    n = Node(p);
    if (!n) {
      FsNode node;
      node.name = cur.size() == 1 ? p : c;
      node.isDir = true;
      node.attributes = FILE_ATTRIBUTE_DIRECTORY;
      node.fileIndex = M().nextFileIndex++;
      n = &(M().files[Lower(p)] = node);
    }
  }
  return *n;
}

FsNode &MakeFile(const std::string &fullPath, const std::vector<uint8_t> &data)
{
  std::string parent = ParentOf(fullPath);
  if (!parent.empty() && !Node(parent))
    MakeDir(parent);
  FsNode &n = M().files[Lower(fullPath)];
  n.name = Split(fullPath).back();
  n.isDir = false;
  n.attributes = FILE_ATTRIBUTE_ARCHIVE;
  n.data = data;
  // What a machine or a test puts in place is on the disk already.
  n.flushedBytes = data.size();
  if (n.fileIndex == 0)
    n.fileIndex = M().nextFileIndex++;
  SyncLinks(n);
  return n;
}

FsNode &MakeHardLink(const std::string &existingPath, const std::string &newPath)
{
  FsNode *existing = Node(existingPath);
  if (!existing || existing->isDir || Node(newPath) || !Node(ParentOf(newPath))) {
    fprintf(stderr, "sim: MakeHardLink needs an existing file and a free name in an existing folder\n");
    abort();
  }
  existing->hardLinked = true;
  FsNode link = *existing;
  link.name = Split(newPath).back();
  return M().files[Lower(newPath)] = link;
}

DWORD LinkCount(const FsNode &node)
{
  if (!node.hardLinked)
    return 1;
  DWORD n = 0;
  for (const auto &f : M().files)
    n += f.second.fileIndex == node.fileIndex;
  return n;
}

void SyncLinks(const FsNode &changed)
{
  if (!changed.hardLinked)
    return;
  for (auto &f : M().files) {
    FsNode &other = f.second;
    if (&other == &changed || other.fileIndex != changed.fileIndex)
      continue;
    other.data = changed.data;
    other.attributes = changed.attributes;
    other.securityDescriptor = changed.securityDescriptor;
    other.heldShareMode = changed.heldShareMode;
  }
}

FsNode *NodeOfHandle(const Handle &h)
{
  FsNode *n = Node(h.path);
  if (n && (h.fileIndex == 0 || n->fileIndex == h.fileIndex))
    return n;
  for (auto &f : M().files)
    if (h.fileIndex != 0 && f.second.fileIndex == h.fileIndex)
      return &f.second;
  return nullptr;
}

std::string PathOfHandle(const Handle &h)
{
  FsNode *n = Node(h.path);
  if (n && (h.fileIndex == 0 || n->fileIndex == h.fileIndex))
    return h.path;
  for (auto &f : M().files)
    if (h.fileIndex != 0 && f.second.fileIndex == h.fileIndex)
      return f.first;
  return "";
}

bool FileHeldOpen(uint64_t fileIndex)
{
  for (const auto &hv : M().handles) {
    const Handle &h = hv.second;
    if ((h.kind == HandleKind::File || h.kind == HandleKind::NtFile || h.kind == HandleKind::Stream) &&
        h.fileIndex == fileIndex)
      return true;
  }
  return false;
}

// The last handle on a file closed: a name marked for deletion goes now,
// unless another process still holds the file. A folder that gained entries
// meanwhile stays (the platform refuses to create in a folder pending
// deletion; a test that plants one anyway sees it kept).
static void FinishPendingDelete(uint64_t fileIndex)
{
  if (fileIndex == 0 || FileHeldOpen(fileIndex))
    return;
  auto &files = M().files;
  for (auto it = files.begin(); it != files.end();) {
    const FsNode &n = it->second;
    if (n.fileIndex == fileIndex && n.deletePending && n.heldShareMode < 0 &&
        (n.reparseTarget.size() || !n.isDir || ChildrenOf(it->first).empty()))
      it = files.erase(it);
    else
      ++it;
  }
}

FsNode &MakeFile(const std::string &fullPath, const std::string &text)
{
  return MakeFile(fullPath, std::vector<uint8_t>(text.begin(), text.end()));
}

void RemoveNode(const std::string &fullPath) { M().files.erase(Lower(fullPath)); }

std::string FileText(const std::string &fullPath)
{
  FsNode *n = Node(fullPath);
  return n ? std::string(n->data.begin(), n->data.end()) : std::string();
}

// ---- registry ----------------------------------------------------------------

static std::string KeyMapPath(const std::string &path)
{
  std::string p = path;
  while (!p.empty() && p.back() == '\\')
    p.pop_back();
  return Lower(p);
}

RegKey &MakeKey(const std::string &path)
{
  std::vector<std::string> parts = Split(path);
  std::string cur;
  RegKey *k = nullptr;
  for (const std::string &c : parts) {
    cur = cur.empty() ? c : cur + "\\" + c;
    auto it = M().registry.find(Lower(cur));
    if (it == M().registry.end()) {
      RegKey key;
      key.name = c;
      it = M().registry.emplace(Lower(cur), key).first;
    }
    k = &it->second;
  }
  return *k;
}

RegKey *Key(const std::string &path)
{
  auto it = M().registry.find(KeyMapPath(path));
  return it == M().registry.end() ? nullptr : &it->second;
}

void SetValue(const std::string &keyPath, const std::string &name, DWORD type,
              const std::vector<uint8_t> &data)
{
  RegKey &k = MakeKey(keyPath);
  for (RegValue &v : k.values) {
    if (SameName(v.name, name)) {
      v.type = type;
      v.data = data;
      return;
    }
  }
  k.values.push_back(RegValue{name, type, data});
}

void SetString(const std::string &keyPath, const std::string &name, const std::string &text, DWORD type)
{
  SetValue(keyPath, name, type, Utf16Bytes(text));
}

void SetDword(const std::string &keyPath, const std::string &name, DWORD value)
{
  SetValue(keyPath, name, REG_DWORD,
           {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)});
}

const RegValue *Value(const std::string &keyPath, const std::string &name)
{
  RegKey *k = Key(keyPath);
  if (!k)
    return nullptr;
  for (const RegValue &v : k->values)
    if (SameName(v.name, name))
      return &v;
  return nullptr;
}

std::string StringValue(const std::string &keyPath, const std::string &name)
{
  const RegValue *v = Value(keyPath, name);
  if (!v)
    return "";
  std::u16string w;
  for (size_t i = 0; i + 1 < v->data.size(); i += 2)
    w += (char16_t)(v->data[i] | (v->data[i + 1] << 8));
  std::string out;
  std::vector<WCHAR> tmp(w.begin(), w.end());
  tmp.push_back(0);
  return Utf16ToUtf8(tmp.data());
}

// ---- machines ------------------------------------------------------------------

void InstallWindows(DWORD major, DWORD minor, BYTE productType, bool x64Wow64)
{
  Machine &m = M();
  m.major = major;
  m.minor = minor;
  m.productType = productType;
  m.build = major == 5 ? (minor == 1 ? 2600 : 3790) : (minor == 0 ? 6002 : 7601);
  m.wow64 = x64Wow64;
  bool xpStyle = major < 6;
  std::string windir = "C:\\Windows";
  if (xpStyle)
    windir = "C:\\WINDOWS";
  m.env["SYSTEMROOT"] = windir;
  m.env["WINDIR"] = windir;
  m.env["SYSTEMDRIVE"] = "C:";
  m.env["COMPUTERNAME"] = "WORKSTATION";
  MakeDir(windir + "\\system32\\drivers");
  MakeDir(windir + "\\system32\\wbem");
  if (x64Wow64)
    MakeDir(windir + "\\SysWOW64");
  if (!xpStyle)
    MakeDir(windir + "\\winsxs");
  MakeDir("C:\\Tools");
  if (xpStyle) {
    m.env["ALLUSERSPROFILE"] = "C:\\Documents and Settings\\All Users";
    m.env["USERPROFILE"] = "C:\\Documents and Settings\\Administrator";
    MakeDir("C:\\Documents and Settings\\All Users\\Desktop");
    MakeDir("C:\\Documents and Settings\\Administrator\\Desktop");
    MakeDir("C:\\RECYCLER");
  } else {
    m.env["ALLUSERSPROFILE"] = "C:\\ProgramData";
    m.env["PUBLIC"] = "C:\\Users\\Public";
    m.env["USERPROFILE"] = "C:\\Users\\Administrator";
    MakeDir("C:\\ProgramData");
    MakeDir("C:\\Users\\Public\\Desktop");
    MakeDir("C:\\Users\\Administrator\\Desktop");
    MakeDir("C:\\$Recycle.Bin");
    // Vista keeps the all-users desktop under ProgramData.
    MakeDir("C:\\ProgramData\\Desktop");
  }
  MakeKey("HKLM\\System\\CurrentControlSet\\Services");
  MakeKey("HKLM\\Software\\Classes\\CLSID");
  MakeKey("HKCU\\Software\\Classes\\CLSID");
  MakeKey("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
}

// ---- reboot ----------------------------------------------------------------------

static std::string StripNtPrefix(const std::string &p)
{
  return p.compare(0, 4, "\\??\\") == 0 ? p.substr(4) : p;
}

void Reboot()
{
  Machine &m = M();
  for (const PendingRename &r : m.pendingRenames) {
    std::string from = StripNtPrefix(r.from);
    FsNode *src = Node(from);
    if (!src)
      continue;
    if (r.to.empty()) {
      RemoveNode(from);
      continue;
    }
    // '!' before the target: MOVEFILE_REPLACE_EXISTING; without it an
    // existing target keeps the rename from happening.
    bool replace = r.to[0] == '!';
    std::string to = StripNtPrefix(replace ? r.to.substr(1) : r.to);
    if (Node(to) && !replace)
      continue;
    FsNode copy = *src;
    copy.name = Split(to).back();
    RemoveNode(from);
    M().files[Lower(to)] = copy;
  }
  m.pendingRenames.clear();
  m.enabledPrivileges.clear();
  m.redirectionOff = false;
}

}  // namespace sim
