// One fuzz input run through the code under test and held to its promises.
// The fuzzers call these for every input; the host tests replay the seed
// corpora and the inputs of past findings through them (under the address
// sanitizer there too). Each returns "" when the input was handled as
// promised, or what went wrong.
#ifndef FUZZ_CHECKS_H
#define FUZZ_CHECKS_H

#include <cstddef>
#include <cstdint>
#include <string>

// ParseValueEntry on the input's UTF-16 code units as one line.
std::string CheckValueEntryInput(const uint8_t *data, size_t size);
// IsImageInfected and ReadFileVersion on a file holding the input's bytes.
std::string CheckPeImageInput(const uint8_t *data, size_t size);
// The scenario loader on the input as scenario text.
std::string CheckScenarioInput(const uint8_t *data, size_t size);

#endif
