// A fault at every platform call of a whole cleaning, and proof that the
// invariants the sweep checks can fail.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "fault_sweep.h"
#include "test_support.h"

namespace {

std::string ReadScenario(const std::string &name)
{
  std::ifstream in(std::string(SOURCE_DIR) + "/scenarios/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class FaultSweepTest : public SimTest {};

TEST_F(FaultSweepTest, EveryCallOfAWholeCleaning)
{
  // The whole sweep replays thousands of runs; the unit run takes the XP
  // cleaning and the links out of the hideouts, junctions and hard links (a
  // fault must never make the removal follow one or re-permission a file of
  // several names), the fault_sweep test (FAULT_SWEEP=full) also the Windows 7
  // cleaning.
  std::vector<const char *> scenarios = {"xp-infected.json", "adversarial-links.json", "adversarial-hard-links.json"};
  const char *mode = getenv("FAULT_SWEEP");
  if (mode && std::string(mode) == "full")
    scenarios.insert(scenarios.begin(), "win7-x64-infected.json");
  size_t calls = 0, runs = 0, failures = 0;
  for (const char *name : scenarios) {
    SCOPED_TRACE(name);
    std::string json = ReadScenario(name);
    ASSERT_FALSE(json.empty());
    SweepSummary s = Sweep(json);
    for (const std::string &m : s.messages)
      ADD_FAILURE() << m;
    std::cout << "fault sweep " << name << ": " << s.callsRecorded << " calls recorded, " << s.callsSwept
              << " swept, " << s.runs << " runs, " << s.failures << " invariant failures\n";
    EXPECT_GT(s.callsSwept, 10u);
    calls += s.callsSwept;
    runs += s.runs;
    failures += s.failures;
  }
  std::cout << "fault sweep total: " << calls << " calls swept, " << runs << " runs, " << failures
            << " invariant failures\n";
  EXPECT_EQ(0u, failures);
}

TEST_F(FaultSweepTest, InvariantsCatchAPlantedLeak)
{
  std::string json = ReadScenario("xp-clean.json");
  SweepOutcome o;
  std::string error;
  ASSERT_TRUE(RunScenario(json, nullptr, &o, &error, false)) << error;
  void *leak = HeapAlloc(GetProcessHeap(), 0, 16);
  std::vector<std::string> bad = CheckInvariants(o, nullptr);
  ASSERT_EQ(1u, bad.size());
  EXPECT_EQ("1 heap blocks left allocated", bad[0]);
  HeapFree(GetProcessHeap(), 0, leak);
}

TEST_F(FaultSweepTest, InvariantsCatchAWrongSuccessLine)
{
  std::string json = ReadScenario("xp-infected.json");
  SweepOutcome o;
  std::string error;
  // The first file deletion fails; its outcome line says so.
  sim::Fault fault{"NtSetInformationFile", 1, (DWORD)0xC0000121L};
  ASSERT_TRUE(RunScenario(json, &fault, &o, &error, true)) << error;
  EXPECT_TRUE(CheckInvariants(o, &fault).empty());
  // As if the removal had reported success although the deletion failed.
  std::string &log = o.runs[0].log;
  size_t at = log.find("Removing file ");
  ASSERT_NE(std::string::npos, at);
  size_t end = log.find("\r\n", at);
  std::string line = log.substr(at, end - at);
  ASSERT_EQ("... failed", line.substr(line.size() - 10));
  log.replace(at, end - at, line.substr(0, line.size() - 10) + "... success");
  std::vector<std::string> bad = CheckInvariants(o, &fault);
  ASSERT_EQ(1u, bad.size());
  EXPECT_EQ(0u, bad[0].find("success reported after NtSetInformationFile failed: Removing file "));
}

TEST_F(FaultSweepTest, InvariantsCatchChangesOutsideTheInfection)
{
  std::string json = ReadScenario("xp-clean.json");
  SweepOutcome o;
  std::string error;
  ASSERT_TRUE(RunScenario(json, nullptr, &o, &error, false)) << error;
  sim::MakeFile("C:\\WINDOWS\\system32\\planted.dll", "x");
  sim::SetString("HKLM\\Software\\Other", "x", "y");
  sim::RemoveNode("C:\\Tools");
  o.after = sim::TakeSnapshot();
  std::vector<std::string> bad = CheckInvariants(o, nullptr);
  EXPECT_EQ(4u, bad.size()) << "the file, the key, its value and the removed folder";
}

}  // namespace

namespace {

TEST_F(FaultSweepTest, InvariantsCatchAnUndoFileThatMissesAChange)
{
  std::string json = ReadScenario("xp-infected.json");
  SweepOutcome o;
  std::string error;
  ASSERT_TRUE(RunScenario(json, nullptr, &o, &error, false)) << error;
  EXPECT_TRUE(CheckInvariants(o, nullptr).empty());
  // The first run's section as if its first entry had never been written.
  std::string &bytes = o.runs[0].undo;
  std::string entry;
  for (char c : std::string("\r\n\r\n["))
    entry += std::string(1, c) + std::string(1, '\0');
  size_t first = bytes.find(entry);
  ASSERT_NE(std::string::npos, first);
  size_t next = bytes.find(entry, first + entry.size());
  ASSERT_NE(std::string::npos, next);
  bytes.erase(first, next - first);
  std::vector<std::string> bad = CheckInvariants(o, nullptr);
  ASSERT_EQ(1u, bad.size());
  EXPECT_EQ(0u, bad[0].find("the undo file does not give the registry back: ")) << bad[0];
}

}  // namespace
