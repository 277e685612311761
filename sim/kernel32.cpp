// Simulated kernel32 and console runtime: process, modules, version, time,
// memory, strings, environment, directories, the console and the log stream.
#include <conio.h>
#include <share.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include "security.h"
#include "sim.h"

using namespace sim;

#define FAIL_IF_INJECTED(name, ret)     \
  do {                                  \
    DWORD injected_;                    \
    if (Enter(name, &injected_)) {      \
      M().lastError = injected_;        \
      return ret;                       \
    }                                   \
  } while (0)

static const uintptr_t kKernel32 = 0x7c800000, kNtdll = 0x7c900000;

// Redirection switches, reached only through GetProcAddress.
static BOOL SimIsWow64Process(HANDLE process, PBOOL wow64)
{
  FAIL_IF_INJECTED("IsWow64Process", FALSE);
  if (process != GetCurrentProcess() || !wow64) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  *wow64 = M().wow64 ? TRUE : FALSE;
  return TRUE;
}

static BOOL SimWow64DisableWow64FsRedirection(PVOID *oldValue)
{
  FAIL_IF_INJECTED("Wow64DisableWow64FsRedirection", FALSE);
  if (!M().wow64) {
    M().lastError = ERROR_INVALID_FUNCTION;
    return FALSE;
  }
  *oldValue = (PVOID)(uintptr_t)(M().redirectionOff ? 1 : 0);
  M().redirectionOff = true;
  M().redirectionDisables++;
  return TRUE;
}

static BOOL SimWow64RevertWow64FsRedirection(PVOID oldValue)
{
  FAIL_IF_INJECTED("Wow64RevertWow64FsRedirection", FALSE);
  if (!M().wow64) {
    M().lastError = ERROR_INVALID_FUNCTION;
    return FALSE;
  }
  M().redirectionOff = oldValue != nullptr;
  M().redirectionReverts++;
  return TRUE;
}

// System libraries that are loaded on demand, by the program or by the
// platform's own DLLs, and the first edition (major << 4 | minor) that has each.
struct SystemLibrary {
  const char *name;
  DWORD since;
  uintptr_t base;
};
// name           since  base
static const SystemLibrary kSystemLibraries[] = {
    {"rsaenh.dll", 0x51, 0x68000000},   // the default RSA CryptoAPI provider
    {"ntmarta.dll", 0x51, 0x77e00000},  // the access-control (MARTA) provider
    {"cryptsp.dll", 0x61, 0x6e000000},  // Windows 7's CryptoAPI dispatch
};

static const SystemLibrary *FindSystemLibrary(const std::string &module)
{
  DWORD version = (M().major << 4) | M().minor;
  for (const SystemLibrary &l : kSystemLibraries)
    if (module == l.name && version >= l.since)
      return &l;
  return nullptr;
}

static std::string SystemFolder()
{
  auto it = M().env.find("SYSTEMROOT");
  return (it == M().env.end() ? std::string("C:\\Windows") : it->second) + "\\system32";
}

// Loads a system library from folder (resolved; empty for a bare name, which
// the loader finds among the loaded modules or else in the system folder).
// A 32-bit process under WOW64 finds its libraries in SysWOW64 through
// redirection; with redirection off the system folder holds 64-bit images.
static DWORD LoadSystemLibrary(const SystemLibrary &library, const std::string &folder, bool byProcess)
{
  Machine &m = M();
  auto loaded = m.libraries.find(library.name);
  std::string at = folder;
  if (at.empty()) {
    if (loaded != m.libraries.end()) {
      (byProcess ? loaded->second.processRefs : loaded->second.platformRefs)++;
      return ERROR_SUCCESS;
    }
    DWORD error;
    if (!ResolvePath(SystemFolder(), true, &at, &error))
      return error;
  }
  std::string path = at + "\\" + library.name;
  if (loaded != m.libraries.end() && Lower(loaded->second.path) == Lower(path)) {
    (byProcess ? loaded->second.processRefs : loaded->second.platformRefs)++;
    return ERROR_SUCCESS;
  }
  std::string native = Lower(SystemFolder());
  std::string wow = Lower(SystemFolder().substr(0, SystemFolder().size() - 9) + "\\SysWOW64");
  if (Lower(at) == native && m.wow64)
    return ERROR_BAD_EXE_FORMAT;
  if (Lower(at) != native && !(m.wow64 && Lower(at) == wow))
    return ERROR_MOD_NOT_FOUND;
  // The simulation keeps one module per name.
  LoadedLibrary &l = m.libraries[library.name];
  if (l.path.empty())
    l.path = path;
  (byProcess ? l.processRefs : l.platformRefs)++;
  return ERROR_SUCCESS;
}

namespace sim {
bool LoadOnDemand(const std::string &name, DWORD *error)
{
  const SystemLibrary *library = FindSystemLibrary(Lower(name));
  *error = library ? LoadSystemLibrary(*library, "", false) : ERROR_MOD_NOT_FOUND;
  return *error == ERROR_SUCCESS;
}

void ReleaseOnDemand(const std::string &name)
{
  auto it = M().libraries.find(Lower(name));
  if (it == M().libraries.end() || it->second.platformRefs == 0)
    return;
  if (--it->second.platformRefs == 0 && it->second.processRefs == 0)
    M().libraries.erase(it);
}

int LibrariesHeld()
{
  int n = 0;
  for (const auto &l : M().libraries)
    n += l.second.processRefs;
  return n;
}
}  // namespace sim

// The native entry points are provided by the removal subsystem's layer.
extern "C" FARPROC SimNtdllProc(const char *name);

extern "C" {

DWORD GetLastError(void) { return M().lastError; }
void SetLastError(DWORD err) { M().lastError = err; }
HANDLE GetCurrentProcess(void) { return (HANDLE)(LONG_PTR)-1; }

HMODULE LoadLibraryA(LPCSTR name)
{
  FAIL_IF_INJECTED("LoadLibraryA", nullptr);
  if (!name) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  std::string path = AnsiToUtf8(name);
  size_t cut = path.rfind('\\');
  std::string module = Lower(cut == std::string::npos ? path : path.substr(cut + 1));
  // Loaded with the process: another reference changes nothing.
  if (module == "kernel32.dll")
    return (HMODULE)kKernel32;
  const SystemLibrary *library = FindSystemLibrary(module);
  if (!library) {
    M().lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  std::string folder;
  if (cut != std::string::npos) {
    DWORD error;
    if (!ResolvePath(path.substr(0, cut), true, &folder, &error)) {
      M().lastError = error;
      return nullptr;
    }
  }
  DWORD error = LoadSystemLibrary(*library, folder, true);
  if (error != ERROR_SUCCESS) {
    M().lastError = error;
    return nullptr;
  }
  return (HMODULE)library->base;
}

BOOL FreeLibrary(HMODULE module)
{
  FAIL_IF_INJECTED("FreeLibrary", FALSE);
  if ((uintptr_t)module == kKernel32)
    return TRUE;
  for (const SystemLibrary &l : kSystemLibraries) {
    auto it = M().libraries.find(l.name);
    if ((uintptr_t)module != l.base || it == M().libraries.end() || it->second.processRefs == 0)
      continue;
    if (--it->second.processRefs == 0 && it->second.platformRefs == 0)
      M().libraries.erase(it);
    return TRUE;
  }
  M().lastError = ERROR_MOD_NOT_FOUND;
  return FALSE;
}

HMODULE GetModuleHandleW(LPCWSTR name)
{
  FAIL_IF_INJECTED("GetModuleHandleW", nullptr);
  std::string n = Lower(Utf16ToUtf8(name));
  if (n == "kernel32.dll" || n == "kernel32")
    return (HMODULE)kKernel32;
  if (n == "ntdll.dll" || n == "ntdll")
    return (HMODULE)kNtdll;
  M().lastError = ERROR_MOD_NOT_FOUND;
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name)
{
  FAIL_IF_INJECTED("GetProcAddress", nullptr);
  std::string n = name ? name : "";
  FARPROC proc = nullptr;
  if ((uintptr_t)module == kKernel32) {
    if (n == "IsWow64Process" && M().hasIsWow64Process)
      proc = (FARPROC)(void *)SimIsWow64Process;
    else if (n == "Wow64DisableWow64FsRedirection" && M().hasWow64Redirection)
      proc = (FARPROC)(void *)SimWow64DisableWow64FsRedirection;
    else if (n == "Wow64RevertWow64FsRedirection" && M().hasWow64Redirection)
      proc = (FARPROC)(void *)SimWow64RevertWow64FsRedirection;
  } else if ((uintptr_t)module == kNtdll && M().hasNtEntryPoints) {
    proc = SimNtdllProc(n.c_str());
  }
  if (!proc)
    M().lastError = ERROR_PROC_NOT_FOUND;
  return proc;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size)
{
  FAIL_IF_INJECTED("GetModuleFileNameA", 0);
  if (module != nullptr) {
    M().lastError = ERROR_MOD_NOT_FOUND;
    return 0;
  }
  std::string path = Utf8ToAnsi(M().programPath);
  if (size == 0) {
    M().lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  if (path.size() >= size) {
    // Cut short: as many characters as fit, terminated, the buffer size returned.
    memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = 0;
    M().lastError = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  memcpy(buffer, path.c_str(), path.size() + 1);
  return (DWORD)path.size();
}

BOOL GetVersionExW(LPOSVERSIONINFOW info)
{
  FAIL_IF_INJECTED("GetVersionExW", FALSE);
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW) &&
      info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW)) {
    M().lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  info->dwMajorVersion = M().major;
  info->dwMinorVersion = M().minor;
  info->dwBuildNumber = M().build;
  info->dwPlatformId = 2;
  memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
  if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW)) {
    OSVERSIONINFOEXW *ex = (OSVERSIONINFOEXW *)info;
    ex->wServicePackMajor = 1;
    ex->wProductType = M().productType;
  }
  return TRUE;
}

void GetSystemTime(LPSYSTEMTIME time)
{
  Enter("GetSystemTime", nullptr);
  *time = M().clock;
}

// ---- memory ---------------------------------------------------------------

HANDLE GetProcessHeap(void) { return (HANDLE)0x500000; }

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
  FAIL_IF_INJECTED("HeapAlloc", nullptr);
  (void)heap;
  void *p = (flags & HEAP_ZERO_MEMORY) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
  M().heapBlocks[p] = bytes;
  return p;
}

BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID mem)
{
  (void)heap;
  (void)flags;
  Enter("HeapFree", nullptr);
  if (!mem)
    return TRUE;
  auto it = M().heapBlocks.find(mem);
  if (it == M().heapBlocks.end()) {
    fprintf(stderr, "sim: HeapFree of a block that is not on the heap\n");
    abort();
  }
  M().heapBlocks.erase(it);
  free(mem);
  return TRUE;
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
  FAIL_IF_INJECTED("LocalAlloc", nullptr);
  void *p = (flags & LMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
  M().localBlocks[p] = bytes;
  return p;
}

HLOCAL LocalFree(HLOCAL mem)
{
  Enter("LocalFree", nullptr);
  if (!mem)
    return nullptr;
  auto it = M().localBlocks.find(mem);
  if (it == M().localBlocks.end()) {
    fprintf(stderr, "sim: LocalFree of a block that LocalAlloc did not give\n");
    abort();
  }
  M().localBlocks.erase(it);
  free(mem);
  return nullptr;
}

// ---- strings ----------------------------------------------------------------

int lstrlenA(LPCSTR s) { return s ? (int)strlen(s) : 0; }

int lstrlenW(LPCWSTR s)
{
  int n = 0;
  if (s)
    while (s[n])
      n++;
  return n;
}

LPSTR lstrcpyA(LPSTR dst, LPCSTR src) { return strcpy(dst, src); }

LPWSTR lstrcpyW(LPWSTR dst, LPCWSTR src)
{
  int i = 0;
  do {
    dst[i] = src[i];
  } while (src[i++]);
  return dst;
}

LPSTR lstrcpynA(LPSTR dst, LPCSTR src, int max)
{
  if (max <= 0)
    return dst;
  int i = 0;
  for (; i < max - 1 && src[i]; i++)
    dst[i] = src[i];
  dst[i] = 0;
  return dst;
}

LPWSTR lstrcpynW(LPWSTR dst, LPCWSTR src, int max)
{
  if (max <= 0)
    return dst;
  int i = 0;
  for (; i < max - 1 && src[i]; i++)
    dst[i] = src[i];
  dst[i] = 0;
  return dst;
}

LPSTR lstrcatA(LPSTR dst, LPCSTR src) { return strcat(dst, src); }

LPWSTR lstrcatW(LPWSTR dst, LPCWSTR src)
{
  lstrcpyW(dst + lstrlenW(dst), src);
  return dst;
}

int lstrcmpA(LPCSTR a, LPCSTR b) { return strcmp(a, b); }

int lstrcmpW(LPCWSTR a, LPCWSTR b)
{
  while (*a && *a == *b)
    a++, b++;
  return (int)(uint16_t)*a - (int)(uint16_t)*b;
}

int lstrcmpiA(LPCSTR a, LPCSTR b) { return strcmp(Lower(a).c_str(), Lower(b).c_str()); }

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLen, LPSTR dst, int dstLen,
                        LPCSTR defaultChar, LPBOOL usedDefault)
{
  FAIL_IF_INJECTED("WideCharToMultiByte", 0);
  (void)codePage, (void)flags, (void)defaultChar, (void)usedDefault;
  std::string s = Utf8ToAnsi(Utf16ToUtf8(src, srcLen < 0 ? (size_t)-1 : (size_t)srcLen));
  int need = (int)s.size() + (srcLen < 0 ? 1 : 0);
  if (dstLen == 0)
    return need;
  if (need > dstLen) {
    M().lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  memcpy(dst, s.c_str(), need);
  return need;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLen, LPWSTR dst, int dstLen)
{
  FAIL_IF_INJECTED("MultiByteToWideChar", 0);
  (void)codePage, (void)flags;
  std::u16string w = Utf8ToUtf16(AnsiToUtf8(src, srcLen < 0 ? (size_t)-1 : (size_t)srcLen));
  int need = (int)w.size() + (srcLen < 0 ? 1 : 0);
  if (dstLen == 0)
    return need;
  if (need > dstLen) {
    M().lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  for (int i = 0; i < (int)w.size(); i++)
    dst[i] = (WCHAR)w[i];
  if (srcLen < 0)
    dst[w.size()] = 0;
  return need;
}

// ---- environment ------------------------------------------------------------------

// %NAME% is replaced when NAME is defined, left as it stands otherwise.
static std::string Expand(const std::string &src)
{
  std::string out;
  size_t i = 0;
  while (i < src.size()) {
    size_t end = src[i] == '%' ? src.find('%', i + 1) : std::string::npos;
    if (end != std::string::npos) {
      std::string name = src.substr(i + 1, end - i - 1);
      std::string upper = name;
      for (char &c : upper)
        c = (char)toupper((unsigned char)c);
      auto it = M().env.find(upper);
      if (it != M().env.end() && !name.empty()) {
        out += it->second;
        i = end + 1;
        continue;
      }
      out += src.substr(i, end - i);
      i = end;
      continue;
    }
    out += src[i++];
  }
  return out;
}

DWORD ExpandEnvironmentStringsA(LPCSTR src, LPSTR dst, DWORD size)
{
  FAIL_IF_INJECTED("ExpandEnvironmentStringsA", 0);
  std::string s = Utf8ToAnsi(Expand(AnsiToUtf8(src)));
  DWORD need = (DWORD)s.size() + 1;
  if (need <= size)
    memcpy(dst, s.c_str(), need);
  return need;
}

DWORD ExpandEnvironmentStringsW(LPCWSTR src, LPWSTR dst, DWORD size)
{
  FAIL_IF_INJECTED("ExpandEnvironmentStringsW", 0);
  std::u16string w = Utf8ToUtf16(Expand(Utf16ToUtf8(src)));
  DWORD need = (DWORD)w.size() + 1;
  if (need <= size) {
    for (size_t i = 0; i < w.size(); i++)
      dst[i] = (WCHAR)w[i];
    dst[w.size()] = 0;
  }
  return need;
}

// ---- directories ----------------------------------------------------------------------

DWORD GetFileAttributesA(LPCSTR path)
{
  FAIL_IF_INJECTED("GetFileAttributesA", INVALID_FILE_ATTRIBUTES);
  std::string full;
  DWORD err;
  if (!ResolvePath(AnsiToUtf8(path), true, &full, &err)) {
    M().lastError = err;
    return INVALID_FILE_ATTRIBUTES;
  }
  FsNode *n = Node(full);
  if (!n) {
    FsNode *parent = Node(ParentOf(full));
    M().lastError = parent && parent->isDir ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    return INVALID_FILE_ATTRIBUTES;
  }
  return n->attributes;
}

// The folder gets the descriptor of sa when one is given (self-relative or
// absolute), the simulated default otherwise.
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES sa)
{
  FAIL_IF_INJECTED("CreateDirectoryA", FALSE);
  SecurityDescriptor given;
  bool hasDescriptor = sa && sa->lpSecurityDescriptor;
  if (hasDescriptor) {
    const SECURITY_DESCRIPTOR *header = (const SECURITY_DESCRIPTOR *)sa->lpSecurityDescriptor;
    size_t bytes = (header->Control & SE_SELF_RELATIVE) ? SelfRelativeLength((const uint8_t *)header)
                                                        : sizeof(SECURITY_DESCRIPTOR);
    if (!ParseSecurityDescriptor(header, bytes, &given)) {
      M().lastError = ERROR_INVALID_SECURITY_DESCR;
      return FALSE;
    }
  }
  std::string full;
  DWORD err;
  if (!ResolvePath(AnsiToUtf8(path), true, &full, &err)) {
    M().lastError = err;
    return FALSE;
  }
  if (Node(full)) {
    M().lastError = ERROR_ALREADY_EXISTS;
    return FALSE;
  }
  FsNode *parent = Node(ParentOf(full));
  if (!parent || !parent->isDir) {
    M().lastError = ERROR_PATH_NOT_FOUND;
    return FALSE;
  }
  if (OnReadOnlyMedia(full)) {
    M().lastError = ERROR_WRITE_PROTECT;
    return FALSE;
  }
  FsNode &n = MakeDir(full);
  n.readOnlyMedia = false;
  if (hasDescriptor)
    n.securityDescriptor = BuildSelfRelative(given);
  return TRUE;
}

BOOL SetCurrentDirectoryA(LPCSTR path)
{
  FAIL_IF_INJECTED("SetCurrentDirectoryA", FALSE);
  std::string full;
  DWORD err;
  if (!ResolvePath(AnsiToUtf8(path), true, &full, &err)) {
    M().lastError = err;
    return FALSE;
  }
  FsNode *n = Node(full);
  if (!n) {
    M().lastError = ERROR_FILE_NOT_FOUND;
    return FALSE;
  }
  if (!n->isDir) {
    M().lastError = ERROR_DIRECTORY;
    return FALSE;
  }
  M().currentDir = full;
  return TRUE;
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer)
{
  FAIL_IF_INJECTED("GetCurrentDirectoryA", 0);
  std::string dir = Utf8ToAnsi(M().currentDir);
  if (dir.size() + 1 > size)
    return (DWORD)dir.size() + 1;
  memcpy(buffer, dir.c_str(), dir.size() + 1);
  return (DWORD)dir.size();
}

}  // extern "C"

// ---- console -------------------------------------------------------------------------

int SimConsolePrintf(const char *format, ...)
{
  char buf[4096];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(buf, sizeof(buf), format, ap);
  va_end(ap);
  M().console += buf;
  return n;
}

int _getch(void)
{
  Enter("_getch", nullptr);
  Machine &m = M();
  if (m.keys.empty()) {
    // Without a console the runtime returns at once.
    m.keysMissing++;
    return 0xFF;
  }
  int k = m.keys.front();
  m.keys.pop_front();
  m.keysRead++;
  return k;
}

// ---- the CRT streams ------------------------------------------------------------------
// "a+" is the log: text mode, each line feed stored as CR LF. "ab" is a
// binary append stream, and "abc" one whose fflush also commits the file to
// the disk (the runtime's commit flag); the runtime hands their bytes to
// WriteFile and, with the commit flag, to FlushFileBuffers.

struct StreamCookie {
  uintptr_t handle;
  std::string path;
  bool commit;
};

static ssize_t StreamWrite(void *cookie, const char *buf, size_t size)
{
  StreamCookie *c = (StreamCookie *)cookie;
  FsNode *n = Node(c->path);
  if (!n)
    return -1;
  // Text mode: each line feed is stored as CR LF; "a" mode: always at the end.
  for (size_t i = 0; i < size; i++) {
    if (buf[i] == '\n') {
      n->data.push_back('\r');
      M().streamBytes++;
    }
    n->data.push_back((uint8_t)buf[i]);
    M().streamBytes++;
  }
  SyncLinks(*n);
  return (ssize_t)size;
}

static ssize_t BinaryStreamWrite(void *cookie, const char *buf, size_t size)
{
  StreamCookie *c = (StreamCookie *)cookie;
  DWORD injected;
  if (Enter("WriteFile", &injected)) {
    M().lastError = injected;
    errno = EIO;
    return -1;
  }
  Handle *h = FindHandle(c->handle, HandleKind::Stream);
  FsNode *n = Node(c->path);
  if (!h || !n)
    return -1;
  n->data.insert(n->data.end(), (const uint8_t *)buf, (const uint8_t *)buf + size);
  h->position = n->data.size();
  if (c->commit) {
    if (Enter("FlushFileBuffers", &injected)) {
      M().lastError = injected;
      errno = EIO;
      return -1;
    }
    n->flushedBytes = n->data.size();
  }
  return (ssize_t)size;
}

static int StreamSeek(void *cookie, off64_t *offset, int whence)
{
  StreamCookie *c = (StreamCookie *)cookie;
  Handle *h = FindHandle(c->handle, HandleKind::Stream);
  FsNode *n = Node(c->path);
  if (!h || !n)
    return -1;
  int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (int64_t)h->position : (int64_t)n->data.size();
  if (base + *offset < 0) {
    errno = EINVAL;
    return -1;
  }
  h->position = (uint64_t)(base + *offset);
  *offset = (off64_t)h->position;
  return 0;
}

static ssize_t StreamRead(void *cookie, char *buf, size_t size)
{
  StreamCookie *c = (StreamCookie *)cookie;
  Handle *h = FindHandle(c->handle, HandleKind::Stream);
  FsNode *n = Node(c->path);
  if (!h || !n)
    return -1;
  size_t avail = n->data.size() > h->position ? n->data.size() - h->position : 0;
  size_t k = size < avail ? size : avail;
  memcpy(buf, n->data.data() + h->position, k);
  h->position += k;
  return (ssize_t)k;
}

static int StreamClose(void *cookie)
{
  StreamCookie *c = (StreamCookie *)cookie;
  ReleaseHandle(c->handle, HandleKind::Stream);
  delete c;
  return 0;
}

// Share conflicts: another open of the same file whose access or share mode
// does not allow this one. DELETE counts as data access: an open that holds
// it without sharing it keeps the name from being renamed or deleted.
static bool ShareConflict(const std::string &key, DWORD access, DWORD share)
{
  FsNode *n = Node(key);
  if (n && n->heldShareMode >= 0) {
    DWORD held = (DWORD)n->heldShareMode;
    if ((access & GENERIC_READ) && !(held & FILE_SHARE_READ))
      return true;
    if ((access & GENERIC_WRITE) && !(held & FILE_SHARE_WRITE))
      return true;
    if ((access & DELETE) && !(held & FILE_SHARE_DELETE))
      return true;
    if (!(share & FILE_SHARE_READ) || !(share & FILE_SHARE_WRITE))
      return true;
  }
  for (auto &hv : M().handles) {
    const Handle &h = hv.second;
    // A native handle is bound to its file, whatever name it now has.
    if (h.kind == HandleKind::NtFile) {
      if (!n || h.fileIndex != n->fileIndex)
        continue;
    } else if ((h.kind != HandleKind::File && h.kind != HandleKind::Stream) || Lower(h.path) != Lower(key)) {
      continue;
    }
    if ((access & GENERIC_READ) && !(h.share & FILE_SHARE_READ))
      return true;
    if ((access & GENERIC_WRITE) && !(h.share & FILE_SHARE_WRITE))
      return true;
    if ((h.access & GENERIC_READ) && !(share & FILE_SHARE_READ))
      return true;
    if ((h.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE))
      return true;
    if ((access & DELETE) && !(h.share & FILE_SHARE_DELETE))
      return true;
    if ((h.access & DELETE) && !(share & FILE_SHARE_DELETE))
      return true;
  }
  return false;
}

namespace sim {
void *AllocLocal(size_t bytes)
{
  void *p = calloc(1, bytes ? bytes : 1);
  M().localBlocks[p] = bytes;
  return p;
}

bool FileShareConflict(const std::string &fullPath, DWORD access, DWORD share)
{
  return ShareConflict(fullPath, access, share);
}
}  // namespace sim

FILE *_fsopen(const char *path, const char *mode, int shflag)
{
  DWORD injected;
  if (Enter("_fsopen", &injected)) {
    errno = EACCES;
    return nullptr;
  }
  bool binary = strcmp(mode, "ab") == 0 || strcmp(mode, "abc") == 0;
  if (strcmp(mode, "a+") != 0 && !binary) {
    errno = EINVAL;
    return nullptr;
  }
  std::string full;
  DWORD err;
  if (!ResolvePath(AnsiToUtf8(path), true, &full, &err)) {
    errno = ENOENT;
    return nullptr;
  }
  FsNode *parent = Node(ParentOf(full));
  if (!parent || !parent->isDir) {
    errno = ENOENT;
    return nullptr;
  }
  FsNode *n = Node(full);
  // A link at the end of the name is followed.
  if (n && !n->reparseTarget.empty()) {
    if (!ResolvePath("\\\\?\\" + n->reparseTarget, false, &full, &err)) {
      errno = ENOENT;
      return nullptr;
    }
    n = Node(full);
  }
  if (n && n->isDir) {
    errno = EACCES;
    return nullptr;
  }
  DWORD share = shflag == _SH_DENYRW ? 0 : shflag == _SH_DENYWR ? FILE_SHARE_READ
                : shflag == _SH_DENYRD ? FILE_SHARE_WRITE : FILE_SHARE_READ | FILE_SHARE_WRITE;
  DWORD access = binary ? GENERIC_WRITE : GENERIC_READ | GENERIC_WRITE;
  if (ShareConflict(full, access, share)) {
    errno = EACCES;
    return nullptr;
  }
  if (!n) {
    if (OnReadOnlyMedia(full)) {
      errno = EROFS;
      return nullptr;
    }
    MakeFile(full, std::vector<uint8_t>());
  } else if (OnReadOnlyMedia(full)) {
    errno = EROFS;
    return nullptr;
  } else if (n->attributes & FILE_ATTRIBUTE_READONLY) {
    errno = EACCES;
    return nullptr;
  }
  Handle h;
  h.kind = HandleKind::Stream;
  h.path = full;
  h.access = access;
  h.share = share;
  StreamCookie *c = new StreamCookie{NewHandle(h), full, strcmp(mode, "abc") == 0};
  cookie_io_functions_t io = {StreamRead, StreamWrite, nullptr, StreamClose};
  if (binary)
    io = {nullptr, BinaryStreamWrite, StreamSeek, StreamClose};
  FILE *f = fopencookie(c, binary ? "a" : "a+", io);
  if (!f) {
    ReleaseHandle(c->handle, HandleKind::Stream);
    delete c;
  }
  return f;
}
