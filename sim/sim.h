// The simulated Windows machine behind sim/include/windows.h.
//
// Tests and the scenario runner build a machine here, run the cleaner's real
// entry against it, and read back what changed. Paths are kept as UTF-8;
// keys into the file and registry maps are lower-cased full paths, since both
// name spaces are case-insensitive on Windows.
#ifndef SIM_SIM_H
#define SIM_SIM_H

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim {

// ---- files ---------------------------------------------------------------
struct FsNode {
  std::string name;  // last component as created
  bool isDir = false;
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  std::vector<uint8_t> data;
  // The length of data when FlushFileBuffers last committed it: what a
  // machine going down now would find on the disk.
  size_t flushedBytes = 0;
  // Self-relative security descriptor; empty means the default, which lets
  // the administrator do anything.
  std::vector<uint8_t> securityDescriptor;
  // Junction or directory symbolic link: absolute target path (UTF-8).
  std::string reparseTarget;
  bool symlink = false;
  // Held open by another process with the given share mode (-1: not held).
  int heldShareMode = -1;
  // Nothing may be created or written below this folder, at any depth
  // (read-only media).
  bool readOnlyMedia = false;
  // The file's identity on its volume (nFileIndex). Hard links are names of
  // one file: they share the index, and with it the content, attributes,
  // descriptor and share state, which SyncLinks copies to every name.
  uint64_t fileIndex = 0;
  bool hardLinked = false;
  // Marked for deletion through a handle (FileDispositionInformation): the
  // name stays, listed and unopenable, until the last handle on the file
  // closes.
  bool deletePending = false;
};

// ---- registry --------------------------------------------------------------
struct RegValue {
  std::string name;
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};
struct RegKey {
  std::string name;  // last component as created
  std::vector<RegValue> values;
  std::vector<uint8_t> securityDescriptor;  // self-relative; empty = default
};

// ---- handles -----------------------------------------------------------------
enum class HandleKind { Key, File, Find, Token, CryptProv, CryptHash, NtFile, Stream };
struct Handle {
  HandleKind kind;
  std::string path;  // key or file path (map key form)
  DWORD access = 0;
  DWORD share = 0;
  uint64_t position = 0;
  // Find handles: remaining entries; crypto: algorithm and data.
  std::vector<std::string> entries;
  size_t next = 0;
  std::vector<uint8_t> blob;
  uintptr_t parent = 0;
  // File handles: the file opened, whatever its name becomes.
  uint64_t fileIndex = 0;
  // Native directory handles: the listing as it was fetched, name and entry
  // as they stood then; a later change of the folder does not alter it.
  bool listingStarted = false;
  std::vector<std::pair<std::string, FsNode>> listing;
};

// A library the process has loaded: the references it took with LoadLibraryA
// and those the platform's own DLLs hold on it.
struct LoadedLibrary {
  std::string path;  // resolved full path it was loaded from
  int processRefs = 0, platformRefs = 0;
};

struct Fault {
  std::string function;
  int nth = 0;  // 1-based call number of that function; 0 = every call
  DWORD error = ERROR_ACCESS_DENIED;
  int fired = 0;  // calls it has failed
};

struct CallRecord {
  std::string function;
  bool redirectionOff;
  uint64_t streamBytes;  // bytes the log streams had stored when the call was made
};

struct PendingRename {
  std::string from;  // full paths as the platform records them ("\??\C:\...")
  std::string to;
};

struct RebootRequest {
  UINT flags;
  DWORD reason;
  bool succeeded;
};

// Whether the product is linked terminal-server aware: the build defines
// SIM_IMAGE_TSAWARE from the same setting that adds the linker flag.
extern const bool kImageTsAware;

struct Machine {
  // Edition as GetVersionExW reports it.
  DWORD major = 6, minor = 1, build = 7601;
  BYTE productType = VER_NT_WORKSTATION;
  bool wow64 = false;
  bool hasIsWow64Process = true;
  bool hasWow64Redirection = true;
  bool redirectionOff = false;
  int redirectionDisables = 0, redirectionReverts = 0;
  // Remote Desktop session host (application server mode): the process of an
  // image not marked terminal-server aware runs under the compatibility layer,
  // and GetWindowsDirectoryA gives it its user's own Windows folder
  // (%USERPROFILE%\WINDOWS) instead of the system's.
  bool sessionHost = false;
  // IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE of the running image: how
  // the product is linked (kImageTsAware, set by the build); a test may clear
  // it to run the program as an image without the flag.
  bool imageTsAware = kImageTsAware;

  std::map<std::string, std::string> env;  // upper-case name -> value
  std::string programPath = "C:\\Tools\\vanktarvoskevcleaner.exe";
  std::string currentDir = "C:\\Tools";
  SYSTEMTIME clock = {2012, 10, 5, 12, 12, 48, 50, 0};

  std::map<std::string, FsNode> files;
  uint64_t nextFileIndex = 1;
  // Object-manager symbolic links: lower-case object name (for instance
  // \rpc control\name) -> target drive path. A junction may point into the
  // object namespace (\RPC Control); a path through it reaches the link.
  std::map<std::string, std::string> objectLinks;
  // Entries one NtQueryDirectoryFile call returns at most (0: as many as fit).
  int directoryBatch = 0;
  // Libraries loaded on demand, by lower-case module name.
  std::map<std::string, LoadedLibrary> libraries;
  std::map<std::string, RegKey> registry;
  // Called by RegQueryValueExA/W on an existing key before the value is
  // looked up (key path in map form, value name): lets a test change the
  // value between two queries, as another process could.
  std::function<void(const std::string &keyPath, const std::string &valueName)> onQueryValue;
  // Called by every simulated function on entry, before its fault check:
  // lets a test look at the machine at the moment of a given call.
  std::function<void(const std::string &function)> onEnter;
  // Called by CreateFileW right after it opened a file (full path): lets a
  // test rename or replace the name while the handle is open, as another
  // process could.
  std::function<void(const std::string &fullPath)> onFileOpened;

  // Token
  std::string userSid = "S-1-5-21-1004336348-1177238915-682003330-1001";
  std::set<std::string> heldPrivileges = {"SeShutdownPrivilege", "SeSecurityPrivilege",
                                          "SeTakeOwnershipPrivilege", "SeBackupPrivilege",
                                          "SeRestorePrivilege"};
  std::set<std::string> enabledPrivileges;

  // Volume of the system drive
  // FileSystemAttributes as NTFS reports them on XP and later (named streams,
  // reparse points, ACLs, ...); a FAT volume lacks both the first two.
  DWORD volumeAttributes = 0x000700FF;
  uint64_t volumeCreationTime = 0;
  std::string volumeFileSystem = "NTFS";
  std::string volumeLabel;  // empty, as setup leaves the system volume
  bool hasNtEntryPoints = true;

  // Console
  std::string console;
  std::deque<int> keys;
  int keysRead = 0, keysMissing = 0;

  // Outcomes
  std::vector<PendingRename> pendingRenames;
  std::vector<RebootRequest> reboots;
  bool rebootFails = false;

  // Bookkeeping
  DWORD lastError = 0;
  std::map<uintptr_t, Handle> handles;
  // Closes and releases of a handle that is not open (never was, or already
  // closed): Windows fails them, and a product that makes one has lost track
  // of what it holds.
  size_t invalidReleases = 0;
  uintptr_t nextHandle = 0x1000;
  std::map<void *, size_t> heapBlocks, localBlocks;
  std::vector<Fault> faults;
  std::map<std::string, int> callCounts;
  bool recordCalls = false;
  uint64_t streamBytes = 0;  // bytes stored by all log streams so far
  std::vector<CallRecord> calls;
};

// The current machine. Reset() gives a fresh, empty one (no files, no keys).
Machine &M();
void Reset();
// A typical installation of the given edition: Windows folders, profiles,
// environment, desktop folders and the services' registry roots.
void InstallWindows(DWORD major, DWORD minor, BYTE productType, bool x64Wow64);

// Fault injection: make the nth call (1-based, 0 = every call) of a function fail.
void FailCall(const std::string &function, int nth, DWORD error);
// Called by every simulated function on entry: records the call and tells
// whether it is to fail, with which error.
bool Enter(const char *function, DWORD *error);

// Memory the platform allocates for the caller (freed with LocalFree); not
// counted as a call of the cleaner's.
void *AllocLocal(size_t bytes);

// Access checks against a key's or a file's descriptor (ERROR_SUCCESS when
// granted). Opening a key for ACCESS_SYSTEM_SECURITY also needs the security
// privilege enabled.
DWORD CheckKeyAccess(const std::string &keyPath, REGSAM sam);
DWORD CheckFileAccess(const std::string &fullPath, DWORD desired);

// Another open of the file conflicts with this access and share mode.
bool FileShareConflict(const std::string &fullPath, DWORD access, DWORD share);

// Handles
uintptr_t NewHandle(const Handle &h);
Handle *FindHandle(uintptr_t value, HandleKind kind);
bool ReleaseHandle(uintptr_t value, HandleKind kind);
size_t OpenHandles(HandleKind kind);
size_t OpenHandles();

// Text
std::string Utf16ToUtf8(const WCHAR *s, size_t n = (size_t)-1);
std::u16string Utf8ToUtf16(const std::string &s);
std::string AnsiToUtf8(const char *s, size_t n = (size_t)-1);
std::string Utf8ToAnsi(const std::string &s);  // system code page 1252, '?' for the rest
std::string Lower(const std::string &s);
// ASCII case-insensitive equality, as registry value names compare.
bool SameName(const std::string &a, const std::string &b);
std::vector<uint8_t> Utf16Bytes(const std::string &utf8, bool terminator = true);

// Files: full paths are UTF-8 "C:\dir\name".
// Resolve a path as the platform does (relative to the current directory,
// "\\?\" prefix, WOW64 file-system redirection, junctions in the middle of
// the path). Fails with ERROR_FILENAME_EXCED_RANGE for a path of MAX_PATH or
// more without the "\\?\" prefix when limited is true.
bool ResolvePath(const std::string &path, bool limited, std::string *full, DWORD *error);
FsNode *Node(const std::string &fullPath);
std::string ParentOf(const std::string &fullPath);
std::vector<std::string> ChildrenOf(const std::string &fullPath);  // full paths, sorted
FsNode &MakeDir(const std::string &fullPath);                       // with parents
FsNode &MakeFile(const std::string &fullPath, const std::vector<uint8_t> &data);
FsNode &MakeFile(const std::string &fullPath, const std::string &text);
bool Exists(const std::string &fullPath);
// A folder above the path lies on read-only media.
bool OnReadOnlyMedia(const std::string &fullPath);
void RemoveNode(const std::string &fullPath);
// Hard links: another name for an existing file (in an existing folder),
// the number of names a file has, and the copy of a changed name's content,
// attributes, descriptor and share state to its other names.
FsNode &MakeHardLink(const std::string &existingPath, const std::string &newPath);
DWORD LinkCount(const FsNode &node);
void SyncLinks(const FsNode &changed);
// The node a file handle refers to: its own name, or another name of the same
// file when the name it was opened by has moved (nullptr when none is left).
FsNode *NodeOfHandle(const Handle &h);
// The full path (map form) of the name a file handle refers to now; "" when
// the file has no name left.
std::string PathOfHandle(const Handle &h);
// Any open handle of the process on the file, native ones included.
bool FileHeldOpen(uint64_t fileIndex);

// Libraries: the platform's own load of a system library on first use (a
// CryptoAPI provider, the access-control provider), as the loader searches
// for a bare name. Under WOW64 with file-system redirection off the system
// folder holds the 64-bit images, so a library not yet loaded fails with
// ERROR_BAD_EXE_FORMAT.
bool LoadOnDemand(const std::string &name, DWORD *error);
void ReleaseOnDemand(const std::string &name);
// References the process took with LoadLibraryA and has not given back.
int LibrariesHeld();
std::string FileText(const std::string &fullPath);  // raw bytes as a string

// Registry: paths like "HKLM\Software\Classes\CLSID\{...}".
RegKey &MakeKey(const std::string &path);
RegKey *Key(const std::string &path);
void SetValue(const std::string &keyPath, const std::string &name, DWORD type,
              const std::vector<uint8_t> &data);
void SetString(const std::string &keyPath, const std::string &name, const std::string &text,
               DWORD type = REG_SZ);
void SetDword(const std::string &keyPath, const std::string &name, DWORD value);
const RegValue *Value(const std::string &keyPath, const std::string &name);
std::string StringValue(const std::string &keyPath, const std::string &name);  // UTF-16 data as UTF-8
// Full registry path of an open key handle ("" when it is none).
std::string KeyPathOf(HKEY key);
// The handle record of an open key or predefined root, with its path
// (nullptr when the handle is none).
Handle *KeyHandleOf(HKEY key, std::string *path);

// The machine as a whole can be kept and put back (handles, blocks and the
// log stream must all be closed at that moment).
void RestoreMachine(const Machine &copy);

// The simulated reboot: carries out pending renames as the session manager
// does at the next start. The run-once entry stays; the step that the shell
// starts from it at logon removes it (TakeRunOnce).
void Reboot();

}  // namespace sim

#endif
