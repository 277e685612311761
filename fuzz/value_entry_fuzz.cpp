// Fuzzes the value-line parser on arbitrary UTF-16 lines, each in a heap
// block of exactly its length and one terminator, against a model of the
// grammar (fuzz_checks.cpp).
#include <cstdio>
#include <cstdlib>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string bad = CheckValueEntryInput(data, size);
  if (!bad.empty()) {
    fprintf(stderr, "value_entry_fuzz: %s\n", bad.c_str());
    abort();
  }
  return 0;
}
