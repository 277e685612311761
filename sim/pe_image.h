// Small but real PE images for tests, scenarios and the Wine fixtures: a
// PE32 or PE32+ executable with a code section and, optionally, a .rsrc
// section that holds a version resource (VS_VERSIONINFO with
// VS_FIXEDFILEINFO, a StringFileInfo and a VarFileInfo).
#ifndef SIM_PE_IMAGE_H
#define SIM_PE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct PeImageOptions {
  bool x64 = true;                               // PE32+ for AMD64, else PE32 for i386
  bool dynamicBase = true;                       // IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE
  bool versionResource = true;                   // a .rsrc section with RT_VERSION
  uint16_t version[4] = {6, 1, 7601, 17514};     // file and product version
  uint32_t peOffset = 0x80;                      // e_lfanew, at least 0x40
  size_t size = 0;                               // 0: natural size; else cut or zero-padded to it
};

std::vector<uint8_t> BuildPeImage(const PeImageOptions &options);

// A short account of a PE image for reports ("PE32+ without DYNAMIC_BASE,
// version 6.1.7601.17514"), or "" when the bytes are not one.
std::string DescribeImage(const std::vector<uint8_t> &bytes);

// "a.b.c.d" with each part 0..65535.
bool ParseVersionText(const std::string &text, uint16_t out[4]);

}  // namespace sim

#endif
