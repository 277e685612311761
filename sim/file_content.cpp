// Generated file contents for scenarios (PE images come later).
#include <nlohmann/json.hpp>

#include "sim.h"

namespace sim {
bool BuildFileContent(const nlohmann::json &spec, std::vector<uint8_t> *data, std::string *error)
{
  (void)spec;
  (void)data;
  *error = "PE images are not supported yet";
  return false;
}
}  // namespace sim
