// Fuzzes the services.exe infection test and the file-version reader on
// arbitrary file contents: the bytes become a file on a fresh simulated
// machine, read as the installed services.exe or a component-store copy
// would be; the verdict is checked against the header test done
// independently (fuzz_checks.cpp).
#include <cstdio>
#include <cstdlib>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string bad = CheckPeImageInput(data, size);
  if (!bad.empty()) {
    fprintf(stderr, "pe_image_fuzz: %s\n", bad.c_str());
    abort();
  }
  return 0;
}
