// PE image generator. The layout is what a linker writes: headers padded to
// the file alignment (0x200), sections at the section alignment (0x1000),
// the resource directory in .rsrc with the data entry's offset as an RVA.
#include "pe_image.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

const uint32_t kFileAlign = 0x200, kSectionAlign = 0x1000, kCodeRawSize = 0x1000;

uint32_t Align(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v)
{
  b[at] = (uint8_t)v;
  b[at + 1] = (uint8_t)(v >> 8);
}

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
  for (int i = 0; i < 4; i++)
    b[at + i] = (uint8_t)(v >> (8 * i));
}

void Put64(std::vector<uint8_t> &b, size_t at, uint64_t v)
{
  for (int i = 0; i < 8; i++)
    b[at + i] = (uint8_t)(v >> (8 * i));
}

void PadTo4(std::vector<uint8_t> &b)
{
  while (b.size() % 4)
    b.push_back(0);
}

void AppendUtf16(std::vector<uint8_t> &b, const std::string &ascii)
{
  for (char c : ascii) {
    b.push_back((uint8_t)c);
    b.push_back(0);
  }
  b.push_back(0);
  b.push_back(0);
}

// One version-resource node: wLength, wValueLength, wType, szKey, padding,
// value, padding, children. wValueLength counts characters for text values.
std::vector<uint8_t> VersionNode(const std::string &key, bool text, const std::vector<uint8_t> &value,
                                 const std::vector<std::vector<uint8_t>> &children)
{
  std::vector<uint8_t> b(6, 0);
  AppendUtf16(b, key);
  PadTo4(b);
  b.insert(b.end(), value.begin(), value.end());
  for (const auto &c : children) {
    PadTo4(b);
    b.insert(b.end(), c.begin(), c.end());
  }
  Put16(b, 0, (uint16_t)b.size());
  Put16(b, 2, (uint16_t)(text ? value.size() / 2 : value.size()));
  Put16(b, 4, text ? 1 : 0);
  return b;
}

std::vector<uint8_t> StringNode(const std::string &key, const std::string &value)
{
  std::vector<uint8_t> v;
  AppendUtf16(v, value);
  return VersionNode(key, true, v, {});
}

std::vector<uint8_t> VersionInfo(const uint16_t version[4])
{
  std::vector<uint8_t> fixed(52, 0);
  uint32_t ms = (uint32_t)version[0] << 16 | version[1], ls = (uint32_t)version[2] << 16 | version[3];
  Put32(fixed, 0, 0xFEEF04BD);   // dwSignature
  Put32(fixed, 4, 0x00010000);   // dwStrucVersion
  Put32(fixed, 8, ms);           // dwFileVersionMS
  Put32(fixed, 12, ls);          // dwFileVersionLS
  Put32(fixed, 16, ms);          // dwProductVersionMS
  Put32(fixed, 20, ls);          // dwProductVersionLS
  Put32(fixed, 24, 0x3F);        // dwFileFlagsMask
  Put32(fixed, 32, 0x00040004);  // dwFileOS: VOS_NT_WINDOWS32
  Put32(fixed, 36, 1);           // dwFileType: VFT_APP
  char text[32];
  snprintf(text, sizeof(text), "%u.%u.%u.%u", version[0], version[1], version[2], version[3]);
  std::vector<uint8_t> strings =
      VersionNode("040904B0", true, {},
                  {StringNode("FileDescription", "Services and Controller app"), StringNode("FileVersion", text),
                   StringNode("OriginalFilename", "services.exe")});
  std::vector<uint8_t> translation = {0x09, 0x04, 0xB0, 0x04};
  return VersionNode("VS_VERSION_INFO", false, fixed,
                     {VersionNode("StringFileInfo", true, {}, {strings}),
                      VersionNode("VarFileInfo", true, {}, {VersionNode("Translation", false, translation, {})})});
}

// Resource section: RT_VERSION (16) / id 1 / language 0x409 / data entry / data.
std::vector<uint8_t> ResourceSection(uint32_t rva, const uint16_t version[4])
{
  std::vector<uint8_t> info = VersionInfo(version);
  std::vector<uint8_t> b(0x58, 0);
  auto directory = [&](size_t at, uint32_t id, uint32_t target) {
    Put16(b, at + 14, 1);  // NumberOfIdEntries
    Put32(b, at + 16, id);
    Put32(b, at + 20, target);
  };
  directory(0x00, 16, 0x80000000 | 0x18);
  directory(0x18, 1, 0x80000000 | 0x30);
  directory(0x30, 0x409, 0x48);
  Put32(b, 0x48, rva + 0x58);  // OffsetToData is an RVA
  Put32(b, 0x4C, (uint32_t)info.size());
  b.insert(b.end(), info.begin(), info.end());
  return b;
}

}  // namespace

std::vector<uint8_t> BuildPeImage(const PeImageOptions &options)
{
  const uint32_t optionalSize = options.x64 ? 240 : 224;
  const uint32_t peOffset = options.peOffset < 0x40 ? 0x40 : options.peOffset;
  const uint16_t sections = options.versionResource ? 2 : 1;
  const uint32_t sectionTable = peOffset + 24 + optionalSize;
  const uint32_t headersSize = Align(sectionTable + 40u * sections, kFileAlign);
  const uint32_t textRva = Align(headersSize, kSectionAlign), textRaw = headersSize;
  const uint32_t rsrcRva = textRva + kSectionAlign, rsrcRaw = textRaw + kCodeRawSize;
  std::vector<uint8_t> rsrc;
  if (options.versionResource)
    rsrc = ResourceSection(rsrcRva, options.version);
  const uint32_t rsrcRawSize = Align((uint32_t)rsrc.size(), kFileAlign);
  const uint32_t imageSize = options.versionResource ? Align(rsrcRva + (uint32_t)rsrc.size(), kSectionAlign)
                                                  : textRva + kSectionAlign;

  std::vector<uint8_t> b(rsrcRaw + rsrcRawSize, 0);
  // DOS header
  b[0] = 'M';
  b[1] = 'Z';
  Put16(b, 0x02, 0x90);    // e_cblp
  Put16(b, 0x04, 3);       // e_cp
  Put16(b, 0x08, 4);       // e_cparhdr
  Put16(b, 0x0C, 0xFFFF);  // e_maxalloc
  Put16(b, 0x10, 0xB8);    // e_sp
  Put16(b, 0x18, 0x40);    // e_lfarlc
  Put32(b, 0x3C, peOffset);

  // Signature and file header
  size_t at = peOffset;
  b[at] = 'P';
  b[at + 1] = 'E';
  Put16(b, at + 4, options.x64 ? 0x8664 : 0x014C);
  Put16(b, at + 6, sections);
  Put32(b, at + 8, 0x4CE7979D);  // TimeDateStamp
  Put16(b, at + 20, (uint16_t)optionalSize);
  // EXECUTABLE_IMAGE, and LARGE_ADDRESS_AWARE or 32BIT_MACHINE
  Put16(b, at + 22, options.x64 ? 0x0022 : 0x0102);

  // Optional header
  size_t o = at + 24;
  Put16(b, o, options.x64 ? 0x20B : 0x10B);
  b[o + 2] = 9;                     // linker version
  Put32(b, o + 4, kCodeRawSize);    // SizeOfCode
  Put32(b, o + 8, rsrcRawSize);     // SizeOfInitializedData
  Put32(b, o + 16, textRva);        // AddressOfEntryPoint
  Put32(b, o + 20, textRva);        // BaseOfCode
  if (options.x64) {
    Put64(b, o + 24, 0x100000000ull);  // ImageBase
  } else {
    Put32(b, o + 24, options.versionResource ? rsrcRva : textRva);  // BaseOfData
    Put32(b, o + 28, 0x01000000);                                // ImageBase
  }
  Put32(b, o + 32, kSectionAlign);
  Put32(b, o + 36, kFileAlign);
  Put16(b, o + 40, 6);  // operating system version 6.1
  Put16(b, o + 42, 1);
  Put16(b, o + 44, 6);  // image version 6.1
  Put16(b, o + 46, 1);
  Put16(b, o + 48, 6);  // subsystem version 6.1
  Put16(b, o + 50, 1);
  Put32(b, o + 56, imageSize);
  Put32(b, o + 60, headersSize);
  Put16(b, o + 68, 2);  // IMAGE_SUBSYSTEM_WINDOWS_GUI
  // TERMINAL_SERVER_AWARE | NX_COMPAT, and DYNAMIC_BASE when asked for
  Put16(b, o + 70, (uint16_t)(0x8100 | (options.dynamicBase ? 0x0040 : 0)));
  size_t directories;
  if (options.x64) {
    Put64(b, o + 72, 0x80000);  // stack reserve, commit, heap reserve, commit
    Put64(b, o + 80, 0x2000);
    Put64(b, o + 88, 0x100000);
    Put64(b, o + 96, 0x1000);
    Put32(b, o + 108, 16);
    directories = o + 112;
  } else {
    Put32(b, o + 72, 0x40000);
    Put32(b, o + 76, 0x2000);
    Put32(b, o + 80, 0x100000);
    Put32(b, o + 84, 0x1000);
    Put32(b, o + 92, 16);
    directories = o + 96;
  }
  if (options.versionResource) {
    Put32(b, directories + 2 * 8, rsrcRva);  // IMAGE_DIRECTORY_ENTRY_RESOURCE
    Put32(b, directories + 2 * 8 + 4, (uint32_t)rsrc.size());
  }

  // Section table
  auto section = [&](size_t s, const char *name, uint32_t virtualSize, uint32_t rva, uint32_t rawSize,
                     uint32_t raw, uint32_t characteristics) {
    size_t h = sectionTable + 40 * s;
    memcpy(&b[h], name, strlen(name));
    Put32(b, h + 8, virtualSize);
    Put32(b, h + 12, rva);
    Put32(b, h + 16, rawSize);
    Put32(b, h + 20, raw);
    Put32(b, h + 36, characteristics);
  };
  section(0, ".text", 0x10, textRva, kCodeRawSize, textRaw, 0x60000020);
  b[textRaw] = 0xC3;  // ret
  if (options.versionResource) {
    section(1, ".rsrc", (uint32_t)rsrc.size(), rsrcRva, rsrcRawSize, rsrcRaw, 0x40000040);
    memcpy(&b[rsrcRaw], rsrc.data(), rsrc.size());
  }

  if (options.size)
    b.resize(options.size, 0);
  return b;
}

bool ParseVersionText(const std::string &text, uint16_t out[4])
{
  unsigned v[4];
  char tail;
  if (sscanf(text.c_str(), "%u.%u.%u.%u%c", &v[0], &v[1], &v[2], &v[3], &tail) != 4)
    return false;
  for (int i = 0; i < 4; i++) {
    if (v[i] > 0xFFFF)
      return false;
    out[i] = (uint16_t)v[i];
  }
  return true;
}

}  // namespace sim
