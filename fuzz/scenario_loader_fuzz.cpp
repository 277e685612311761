// Fuzzes the scenario loader: any text either builds a machine or is refused
// with a message; nothing crashes, leaks or reads out of bounds.
#include <cstdio>
#include <cstdlib>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string bad = CheckScenarioInput(data, size);
  if (!bad.empty()) {
    fprintf(stderr, "scenario_loader_fuzz: %s\n", bad.c_str());
    abort();
  }
  return 0;
}
