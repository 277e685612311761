// PE images for the repair tests, written onto the simulated disk.
#ifndef PE_SUPPORT_H
#define PE_SUPPORT_H

#include <string>
#include <vector>

#include "pe_image.h"
#include "sim.h"

inline sim::PeImageSpec PeSpec(bool x64, bool dynamicBase, const std::string &version = "6.1.7601.17514")
{
  sim::PeImageSpec spec;
  spec.x64 = x64;
  spec.dynamicBase = dynamicBase;
  if (version.empty())
    spec.versionResource = false;
  else
    sim::ParseVersionText(version, spec.version);
  return spec;
}

inline std::vector<uint8_t> PeImage(bool x64, bool dynamicBase, const std::string &version = "6.1.7601.17514")
{
  return sim::BuildPeImage(PeSpec(x64, dynamicBase, version));
}

inline void PutLe32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
  for (int i = 0; i < 4; i++)
    b[at + i] = (uint8_t)(v >> (8 * i));
}

#endif
