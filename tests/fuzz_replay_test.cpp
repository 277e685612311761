// The fuzzers' seed corpora and the inputs of past findings, replayed through
// the fuzzers' own checks in the host build.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz_checks.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

struct Fuzzer {
  const char *name;
  std::string (*check)(const uint8_t *data, size_t size);
};
const Fuzzer kFuzzers[] = {
    {"value_entry_fuzz", CheckValueEntryInput},
    {"pe_image_fuzz", CheckPeImageInput},
    {"scenario_loader_fuzz", CheckScenarioInput},
};

std::vector<fs::path> InputsOf(const char *fuzzer, const char *kind)
{
  std::vector<fs::path> out;
  fs::path dir = fs::path(SOURCE_DIR) / "fuzz" / kind / fuzzer;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(dir, ec))
    if (e.is_regular_file())
      out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

class FuzzReplayTest : public SimTest {
protected:
  size_t Replay(const Fuzzer &f, const char *kind)
  {
    std::vector<fs::path> inputs = InputsOf(f.name, kind);
    for (const fs::path &p : inputs) {
      SCOPED_TRACE(p.string());
      std::ifstream in(p, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ("", f.check(bytes.data(), bytes.size()));
    }
    return inputs.size();
  }
};

TEST_F(FuzzReplayTest, SeedCorpora)
{
  for (const Fuzzer &f : kFuzzers) {
    SCOPED_TRACE(f.name);
    EXPECT_GT(Replay(f, "corpus"), 10u);
  }
}

// Inputs that once crashed a fuzzer or broke one of its checks.
TEST_F(FuzzReplayTest, PastFindings)
{
  size_t n = 0;
  for (const Fuzzer &f : kFuzzers) {
    SCOPED_TRACE(f.name);
    n += Replay(f, "regressions");
  }
  EXPECT_GT(n, 0u);
}

}  // namespace
