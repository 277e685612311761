// PE images for the repair tests, written onto the simulated disk.
#ifndef PE_SUPPORT_H
#define PE_SUPPORT_H

#include <string>
#include <vector>

#include "pe_image.h"
#include "sim.h"

inline sim::PeImageOptions PeOptions(bool x64, bool dynamicBase, const std::string &version = "6.1.7601.17514")
{
  sim::PeImageOptions options;
  options.x64 = x64;
  options.dynamicBase = dynamicBase;
  if (version.empty())
    options.versionResource = false;
  else
    sim::ParseVersionText(version, options.version);
  return options;
}

inline std::vector<uint8_t> PeImage(bool x64, bool dynamicBase, const std::string &version = "6.1.7601.17514")
{
  return sim::BuildPeImage(PeOptions(x64, dynamicBase, version));
}

inline void PutLe32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
  for (int i = 0; i < 4; i++)
    b[at + i] = (uint8_t)(v >> (8 * i));
}

#endif
