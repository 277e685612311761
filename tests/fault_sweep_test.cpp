// A fault at every platform call of a whole cleaning, and proof that the
// invariants the sweep checks can fail.
#include <cstdlib>
#include <functional>
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
  // cleaning and the XP cleaning as a deployment tool makes it (-quiet
  // -noreboot, then -r -quiet -noreboot), whose exit codes carry the outcome.
  std::vector<const char *> scenarios = {"xp-infected.json", "adversarial-links.json", "adversarial-hard-links.json"};
  const char *mode = getenv("FAULT_SWEEP");
  if (mode && std::string(mode) == "full") {
    scenarios.insert(scenarios.begin(), "win7-x64-infected.json");
    scenarios.push_back("xp-infected-unattended.json");
  }
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
  sim::MakeFile("C:\\WINDOWS\\system32\\planted.dll", "");
  sim::SetString("HKLM\\Software\\Other", "x", "y");
  sim::RemoveNode("C:\\Tools");
  o.after = sim::TakeSnapshot();
  std::vector<std::string> expected = {
      "file change outside the hideouts and the log folder: removed file C:\\Tools",
      "file change outside the hideouts and the log folder: added file C:\\WINDOWS\\system32\\planted.dll: file, 0 "
      "bytes, content 811c9dc5, attributes 0x20",
      "registry change outside the cleaner's keys: added registry HKLM\\Software\\Other: key",
      "registry change outside the cleaner's keys: added registry HKLM\\Software\\Other : \"x\": REG_SZ \"y\"",
  };
  EXPECT_EQ(expected, CheckInvariants(o, nullptr));
}

// Each invariant caught by its own message: a cleaning without a fault (or
// with the row's fault), then the one thing the row plants into its outcome
// or the machine.
struct PlantedCase {
  const char *what;
  sim::Fault fault;  // function "" for none
  std::function<void(SweepOutcome &)> plant;
  std::function<void()> undo;  // gives back what plant took from the platform
  std::string message;
};

void ReplaceLine(std::string *log, const std::string &from, const std::string &to)
{
  size_t at = log->find(from + "\r\n");
  ASSERT_NE(std::string::npos, at) << from;
  log->replace(at, from.size(), to);
}

TEST_F(FaultSweepTest, EachInvariantCatchesItsPlantedCase)
{
  HKEY key = NULL;
  HLOCAL local = NULL;
  HMODULE library = NULL;
  void *heap = NULL;
  const std::string removal = "Attempting to remove malware files...";
  const PlantedCase cases[] = {
      {"exit code", {}, [](SweepOutcome &o) { o.runs[0].exitCode = 3; }, nullptr, "run 1: exit code 3"},
      {"log header", {}, [](SweepOutcome &o) { o.runs[0].log.erase(0, o.runs[0].log.find("\r\n") + 2); }, nullptr,
       "run 1: log section does not start with its header"},
      {"Cleaning finished", {}, [](SweepOutcome &o) { ReplaceLine(&o.runs[0].log, "Cleaning finished", "Cleaning"); },
       nullptr, "run 1: log does not end with \"Cleaning finished\""},
      {"files removed after a failed restore", {},
       [&](SweepOutcome &o) { ReplaceLine(&o.runs[0].log, removal, "Failed to restore services.exe\r\n" + removal); },
       nullptr, "run 1: files removed although services.exe was not replaced"},
      {"unexpected delayed move", {},
       [](SweepOutcome &o) { o.renamesDone.push_back({"\\??\\C:\\WINDOWS\\a.dll", "!\\??\\C:\\WINDOWS\\b.dll"}); },
       nullptr,
       "delayed move other than a component-store services.exe over the installed one: \\??\\C:\\WINDOWS\\a.dll -> "
       "!\\??\\C:\\WINDOWS\\b.dll"},
      {"unreported reboot failure", {"ExitWindowsEx", 1, ERROR_PRIVILEGE_NOT_HELD},
       [](SweepOutcome &o) {
         std::string &c = o.runs[0].console;
         size_t at = c.find("Failed to initiate system reboot.");
         ASSERT_NE(std::string::npos, at);
         c.erase(at);
       },
       nullptr, "failed reboot request not reported"},
      {"handle leak", {},
       [&](SweepOutcome &) { ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System", 0, KEY_READ, &key)); },
       [&] { RegCloseKey(key); }, "1 handles left open"},
      {"heap leak", {}, [&](SweepOutcome &) { heap = HeapAlloc(GetProcessHeap(), 0, 16); },
       [&] { HeapFree(GetProcessHeap(), 0, heap); }, "1 heap blocks left allocated"},
      {"LocalAlloc leak", {}, [&](SweepOutcome &) { local = LocalAlloc(LMEM_FIXED, 16); }, [&] { LocalFree(local); },
       "1 LocalAlloc blocks left allocated"},
      {"library leak", {}, [&](SweepOutcome &) { ASSERT_NE(nullptr, library = LoadLibraryA("C:\\WINDOWS\\system32\\rsaenh.dll")); },
       [&] { FreeLibrary(library); }, "1 library references left held"},
      {"undo failure logged twice", {},
       [](SweepOutcome &o) {
         ReplaceLine(&o.runs[0].log, "Cleaning finished",
                     "Failed to write undo information\r\nFailed to write undo information\r\nCleaning finished");
       },
       nullptr, "run 1: undo failure logged 2 times"},
      {"success line for a failed call", {"NtSetInformationFile", 1, (DWORD)0xC0000121L /* STATUS_CANNOT_DELETE */},
       [](SweepOutcome &o) {
         std::string &log = o.runs[0].log;
         size_t at = log.find("... failed\r\n", log.find("Removing file "));
         ASSERT_NE(std::string::npos, at);
         log.replace(at, 10, "... success");
       },
       nullptr,
       "success reported after NtSetInformationFile failed: Removing file \\\\?\\C:\\RECYCLER\\"
       "S-1-5-21-1004336348-1177238915-682003330-1001\\$dd614f2ed03f70d242d5ededb36097d0\\cfg.bin... success"},
      {"fault that did not fire", {"NoSuchCall", 1, ERROR_ACCESS_DENIED}, [](SweepOutcome &) {}, nullptr,
       "the fault did not fire: NoSuchCall #1"},
  };
  for (const PlantedCase &c : cases) {
    SCOPED_TRACE(c.what);
    SweepOutcome o;
    std::string error;
    const sim::Fault *fault = c.fault.function.empty() ? nullptr : &c.fault;
    ASSERT_TRUE(RunScenario(ReadScenario("xp-infected.json"), fault, &o, &error, true)) << error;
    // Without the plant the cleaning keeps every invariant (a fault that
    // never fires aside).
    std::vector<std::string> clean = CheckInvariants(o, fault);
    if (c.fault.function != "NoSuchCall") {
      EXPECT_EQ(std::vector<std::string>(), clean);
    }
    c.plant(o);
    EXPECT_EQ(std::vector<std::string>{c.message}, CheckInvariants(o, fault));
    if (c.undo)
      c.undo();
    FreshMachine();
  }
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
