// Fuzzes the scenario loader: any text either builds a machine or is refused
// with a message; nothing crashes, leaks or reads out of bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  sim::Scenario scenario;
  std::string error;
  sim::LoadScenario(std::string((const char *)data, size), &scenario, &error);
  sim::Reset();
  return 0;
}
