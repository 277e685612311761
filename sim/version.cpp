// Simulated version.dll: the version resource is read out of the file's own
// bytes, as the platform does: PE headers, section table, resource
// directory (RT_VERSION, id VS_VERSION_INFO, first language), then the
// VS_VERSIONINFO tree that VerQueryValueA walks.
#include <cstdio>

#include "sim.h"

using namespace sim;

namespace {

const uint32_t kRtVersion = 16, kVsVersionInfo = 1;

uint32_t Get16(const std::vector<uint8_t> &b, size_t at) { return b[at] | b[at + 1] << 8; }

uint32_t Get32(const std::vector<uint8_t> &b, size_t at)
{
  return (uint32_t)b[at] | (uint32_t)b[at + 1] << 8 | (uint32_t)b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}

bool Fits(const std::vector<uint8_t> &b, uint64_t at, uint64_t n) { return at <= b.size() && n <= b.size() - at; }

struct Section {
  uint32_t rva, virtualSize, raw, rawSize;
};

// File offset of an RVA that lies in a section's raw data (n bytes from it).
bool RvaToOffset(const std::vector<Section> &sections, uint32_t rva, uint32_t n, uint32_t *offset)
{
  for (const Section &s : sections) {
    uint32_t span = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
    if (rva >= s.rva && rva - s.rva < span) {
      uint64_t inSection = rva - s.rva;
      if (inSection + n > s.rawSize)
        return false;
      *offset = (uint32_t)(s.raw + inSection);
      return true;
    }
  }
  return false;
}

// Entry of a resource directory at dir (section-relative) with this id, or
// the first entry when id is 0; returns its OffsetToData.
bool DirectoryEntry(const std::vector<uint8_t> &b, uint32_t base, uint32_t dir, uint32_t id, uint32_t *target)
{
  if (!Fits(b, (uint64_t)base + dir, 16))
    return false;
  uint32_t named = Get16(b, base + dir + 12), ids = Get16(b, base + dir + 14);
  for (uint32_t i = 0; i < named + ids; i++) {
    uint64_t e = (uint64_t)base + dir + 16 + 8 * i;
    if (!Fits(b, e, 8))
      return false;
    uint32_t name = Get32(b, (size_t)e);
    if (id == 0 || (!(name & 0x80000000) && name == id)) {
      *target = Get32(b, (size_t)e + 4);
      return true;
    }
  }
  return false;
}

// The version resource inside an image's bytes. Errors as the platform
// reports them.
DWORD VersionResourceOf(const std::vector<uint8_t> &b, std::vector<uint8_t> *resource)
{
  if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z')
    return ERROR_BAD_EXE_FORMAT;
  uint32_t pe = Get32(b, 0x3C);
  if (!Fits(b, pe, 24) || Get32(b, pe) != 0x00004550)
    return ERROR_BAD_EXE_FORMAT;
  uint32_t sectionCount = Get16(b, pe + 6), optionalSize = Get16(b, pe + 20);
  uint32_t opt = pe + 24;
  if (!Fits(b, opt, optionalSize) || optionalSize < 2)
    return ERROR_BAD_EXE_FORMAT;
  uint32_t magic = Get16(b, opt), dirCountAt, dirs;
  if (magic == 0x10B) {
    dirCountAt = 92;
    dirs = 96;
  } else if (magic == 0x20B) {
    dirCountAt = 108;
    dirs = 112;
  } else {
    return ERROR_BAD_EXE_FORMAT;
  }
  if (optionalSize < dirs || Get32(b, opt + dirCountAt) <= 2 || optionalSize < dirs + 3 * 8)
    return ERROR_RESOURCE_DATA_NOT_FOUND;
  uint32_t rsrcRva = Get32(b, opt + dirs + 16), rsrcSize = Get32(b, opt + dirs + 20);
  if (rsrcRva == 0 || rsrcSize == 0)
    return ERROR_RESOURCE_DATA_NOT_FOUND;

  std::vector<Section> sections;
  uint64_t table = (uint64_t)opt + optionalSize;
  for (uint32_t i = 0; i < sectionCount; i++) {
    uint64_t h = table + 40ull * i;
    if (!Fits(b, h, 40))
      return ERROR_BAD_EXE_FORMAT;
    sections.push_back(Section{Get32(b, (size_t)h + 12), Get32(b, (size_t)h + 8), Get32(b, (size_t)h + 20),
                               Get32(b, (size_t)h + 16)});
  }
  uint32_t base;
  if (!RvaToOffset(sections, rsrcRva, 16, &base) || !Fits(b, base, 16))
    return ERROR_RESOURCE_DATA_NOT_FOUND;

  uint32_t typeDir, nameDir, dataEntry;
  if (!DirectoryEntry(b, base, 0, kRtVersion, &typeDir) || !(typeDir & 0x80000000))
    return ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (!DirectoryEntry(b, base, typeDir & 0x7FFFFFFF, kVsVersionInfo, &nameDir) || !(nameDir & 0x80000000))
    return ERROR_RESOURCE_NAME_NOT_FOUND;
  // The thread's language is not matched: the first language there is.
  if (!DirectoryEntry(b, base, nameDir & 0x7FFFFFFF, 0, &dataEntry) || (dataEntry & 0x80000000) ||
      !Fits(b, (uint64_t)base + dataEntry, 16))
    return ERROR_RESOURCE_LANG_NOT_FOUND;
  uint32_t dataRva = Get32(b, base + dataEntry), dataSize = Get32(b, base + dataEntry + 4), data;
  if (dataSize < 6 || !RvaToOffset(sections, dataRva, dataSize, &data) || !Fits(b, data, dataSize))
    return ERROR_RESOURCE_DATA_NOT_FOUND;
  resource->assign(b.begin() + data, b.begin() + data + dataSize);
  return ERROR_SUCCESS;
}

// The version resource of a file.
DWORD FindVersionResource(const char *path, std::vector<uint8_t> *resource)
{
  std::string full;
  DWORD err;
  if (!ResolvePath(AnsiToUtf8(path), true, &full, &err))
    return err;
  FsNode *n = Node(full);
  if (!n) {
    FsNode *parent = Node(ParentOf(full));
    return parent && parent->isDir ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
  if (n->isDir)
    return ERROR_ACCESS_DENIED;
  // The module is mapped as a data file: read access, shared with readers.
  if (CheckFileAccess(full, GENERIC_READ) != ERROR_SUCCESS)
    return ERROR_ACCESS_DENIED;
  if (FileShareConflict(full, GENERIC_READ, FILE_SHARE_READ))
    return ERROR_SHARING_VIOLATION;

  return VersionResourceOf(n->data, resource);
}

// A node of the VS_VERSIONINFO tree inside [begin, end).
struct VersionNode {
  const uint8_t *at;
  uint32_t length, valueLength, type;
  std::string key;
  const uint8_t *value;
  const uint8_t *children;
};

uint32_t Read16(const uint8_t *p) { return p[0] | p[1] << 8; }

// The node at at, inside [.., end); nothing is read at or past readable
// (the end of the caller's buffer, which a malformed length may overrun).
bool ReadNode(const uint8_t *at, const uint8_t *end, const uint8_t *readable, VersionNode *node)
{
  if (end - at < 6 || readable - at < 6)
    return false;
  node->at = at;
  node->length = Read16(at);
  node->valueLength = Read16(at + 2);
  node->type = Read16(at + 4);
  if (node->length < 6 || node->length > (size_t)(end - at))
    return false;
  const uint8_t *limit = at + node->length < readable ? at + node->length : readable;
  const uint8_t *p = at + 6;
  std::vector<WCHAR> key;
  for (;; p += 2) {
    if (limit - p < 2)
      return false;
    WCHAR c = (WCHAR)Read16(p);
    key.push_back(c);
    if (!c)
      break;
  }
  p += 2;
  node->key = Utf16ToUtf8(key.data());
  size_t keyEnd = (size_t)(p - at);
  keyEnd = (keyEnd + 3) & ~(size_t)3;
  // The value starts at the next DWORD boundary after the key, as the
  // platform computes it, even when the node's length says it has none.
  node->value = at + keyEnd;
  size_t valueBytes = node->type == 1 ? node->valueLength * 2u : node->valueLength;
  size_t childStart = (keyEnd + valueBytes + 3) & ~(size_t)3;
  node->children = at + (childStart < node->length ? childStart : node->length);
  return true;
}

}  // namespace

extern "C" {

DWORD GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle)
{
  DWORD err;
  if (handle)
    *handle = 0;
  if (Enter("GetFileVersionInfoSizeA", &err)) {
    M().lastError = err;
    return 0;
  }
  std::vector<uint8_t> resource;
  err = FindVersionResource(path, &resource);
  if (err != ERROR_SUCCESS) {
    M().lastError = err;
    return 0;
  }
  // Twice the resource and a signature: room for the ANSI copies of the
  // text values that VerQueryValueA hands out.
  M().lastError = ERROR_SUCCESS;
  return (DWORD)resource.size() * 2 + 4;
}

BOOL GetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID data)
{
  DWORD err;
  (void)handle;
  if (Enter("GetFileVersionInfoA", &err)) {
    M().lastError = err;
    return FALSE;
  }
  if (!data) {
    M().lastError = ERROR_INVALID_DATA;
    return FALSE;
  }
  std::vector<uint8_t> resource;
  err = FindVersionResource(path, &resource);
  if (err != ERROR_SUCCESS) {
    M().lastError = err;
    return FALSE;
  }
  size_t n = resource.size() < size ? resource.size() : size;
  memcpy(data, resource.data(), n);
  memset((uint8_t *)data + n, 0, size - n);
  if (size >= resource.size() + 4)
    memcpy((uint8_t *)data + resource.size(), "FE2X", 4);
  return TRUE;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID *buffer, PUINT length)
{
  DWORD err;
  if (Enter("VerQueryValueA", &err)) {
    M().lastError = err;
    return FALSE;
  }
  if (!block || !subBlock || !buffer) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const uint8_t *root = (const uint8_t *)block;
  // A heap block's size is known; the platform would read on past it.
  const uint8_t *readable = root + 0x10000;
  auto heapBlock = M().heapBlocks.find((void *)root);
  if (heapBlock != M().heapBlocks.end())
    readable = root + heapBlock->second;
  VersionNode node;
  if (!ReadNode(root, root + Read16(root), readable, &node)) {
    M().lastError = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return FALSE;
  }
  // Walk the path's components ("\StringFileInfo\040904B0\FileVersion").
  std::string rest = subBlock;
  while (!rest.empty()) {
    size_t start = rest.find_first_not_of('\\');
    if (start == std::string::npos)
      break;
    size_t stop = rest.find('\\', start);
    std::string part = Lower(AnsiToUtf8(rest.substr(start, stop - start).c_str()));
    rest = stop == std::string::npos ? "" : rest.substr(stop);
    const uint8_t *end = node.at + node.length;
    const uint8_t *child = node.children;
    bool found = false;
    VersionNode next;
    while (child < end && ReadNode(child, end, readable, &next)) {
      if (Lower(next.key) == part) {
        found = true;
        break;
      }
      child += (next.length + 3) & ~3u;
    }
    if (!found) {
      M().lastError = ERROR_RESOURCE_TYPE_NOT_FOUND;
      return FALSE;
    }
    node = next;
  }
  if (node.type == 1 && node.valueLength) {
    // Text values are handed out in the system code page, copied into the
    // second half of the buffer that GetFileVersionInfoSizeA sized.
    uint32_t rootLength = Read16(root);
    size_t offset = (size_t)(node.value - root);
    char *ansi = (char *)root + rootLength + 4 + offset / 2;
    std::vector<WCHAR> text;
    for (uint32_t i = 0; i < node.valueLength && node.value + 2 * i + 1 < node.at + node.length &&
                         node.value + 2 * i + 1 < readable;
         i++)
      text.push_back((WCHAR)Read16(node.value + 2 * i));
    text.push_back(0);
    std::string a = Utf8ToAnsi(Utf16ToUtf8(text.data()));
    // A block whose lengths claim more than the file held would have the
    // platform write past the caller's buffer; the simulation refuses.
    if ((const uint8_t *)ansi + a.size() + 1 > readable) {
      M().lastError = ERROR_INSUFFICIENT_BUFFER;
      return FALSE;
    }
    memcpy(ansi, a.c_str(), a.size() + 1);
    *buffer = ansi;
  } else {
    *buffer = (LPVOID)node.value;
  }
  if (length)
    *length = node.valueLength;
  return TRUE;
}

}  // extern "C"

namespace sim {

std::string DescribeImage(const std::vector<uint8_t> &b)
{
  if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z')
    return "";
  uint32_t pe = Get32(b, 0x3C);
  if (!Fits(b, pe, 24 + 72) || Get32(b, pe) != 0x00004550)
    return "";
  uint32_t magic = Get16(b, pe + 24);
  std::string d = magic == 0x20B ? "PE32+" : magic == 0x10B ? "PE32" : "PE";
  d += (Get16(b, pe + 94) & 0x40) ? " with DYNAMIC_BASE" : " without DYNAMIC_BASE";
  std::vector<uint8_t> resource;
  VersionNode root;
  if (VersionResourceOf(b, &resource) == ERROR_SUCCESS &&
      ReadNode(resource.data(), resource.data() + resource.size(), resource.data() + resource.size(), &root) && root.valueLength >= 16 &&
      root.value + 16 <= resource.data() + resource.size()) {
    std::vector<uint8_t> fixed(root.value, root.value + 16);
    uint32_t ms = Get32(fixed, 8), ls = Get32(fixed, 12);
    char v[48];
    snprintf(v, sizeof(v), ", version %u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
    d += v;
  } else {
    d += ", no version";
  }
  return d;
}

}  // namespace sim
