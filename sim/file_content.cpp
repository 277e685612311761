// Generated file contents for scenarios: "pe" builds a PE image (see
// sim/pe_image.h), e.g. {"machine": "x64", "version": "6.1.7601.17514",
// "dynamicBase": false}.
#include <nlohmann/json.hpp>

#include "pe_image.h"
#include "sim.h"

namespace sim {
bool BuildFileContent(const nlohmann::json &request, std::vector<uint8_t> *data, std::string *error)
{
  if (!request.is_object()) {
    *error = "\"pe\" must be an object";
    return false;
  }
  static const char *const known[] = {"machine", "version", "dynamicBase", "versionResource", "peOffset", "size"};
  for (auto it = request.begin(); it != request.end(); ++it) {
    bool ok = false;
    for (const char *k : known)
      ok |= it.key() == k;
    if (!ok) {
      *error = "unknown \"pe\" field " + it.key();
      return false;
    }
  }
  PeImageOptions pe;
  std::string machine = request.value("machine", "x64");
  if (machine != "x64" && machine != "x86") {
    *error = "\"pe\" machine must be x64 or x86";
    return false;
  }
  pe.x64 = machine == "x64";
  if (request.contains("version") && !ParseVersionText(request["version"].get<std::string>(), pe.version)) {
    *error = "\"pe\" version must be a.b.c.d";
    return false;
  }
  pe.dynamicBase = request.value("dynamicBase", true);
  pe.versionResource = request.value("versionResource", true);
  pe.peOffset = request.value("peOffset", (uint32_t)0x80);
  if (pe.peOffset < 0x40) {
    *error = "\"pe\" peOffset must be at least 64";
    return false;
  }
  pe.size = request.value("size", (size_t)0);
  *data = BuildPeImage(pe);
  return true;
}
}  // namespace sim
