// simrun --check must reject a scenario whose step it exists to show is
// broken: copies of shipped scenarios with that step's calls refused.
#include <nlohmann/json.hpp>

#include <algorithm>

#include "fault_sweep.h"
#include "test_support.h"

namespace {

struct BrokenCopy {
  const char *scenario;
  std::vector<const char *> refused;  // every call of these functions fails
  const char *message;                // one of the failures --check must give
};

const BrokenCopy kBrokenCopies[] = {
    {"restore-win7.json", {"RegSetValueExW", "RegCreateKeyExA"},
     "run 1: registry HKLM\\System\\CurrentControlSet\\Services\\BFE : \"Start\" is REG_DWORD 0x00000004, not REG_DWORD 0x00000002"},
    {"win7-x64-hideout.json", {"NtSetInformationFile"},
     "run 1: file present: C:\\$Recycle.Bin\\S-1-5-21-1004336348-1177238915-682003330-1001\\$dd614f2ed03f70d242d5ededb36097d0\\cfg.bin"},
    {"win7-x64-infected-clean-copy.json", {"MoveFileExA"},
     "step 2 (reboot): file C:\\Windows\\system32\\services.exe is PE32+ without DYNAMIC_BASE, version 6.1.7601.17514, not PE32+ with DYNAMIC_BASE, version 6.1.7601.17514"},
    {"xp-com-repair.json", {"RegSetValueExA"},
     "run 1: registry HKCU\\Software\\Classes\\CLSID\\{42aedc87-2188-41fd-b9a3-0c966feabec1}\\InprocServer32 : \"\" is REG_EXPAND_SZ \"C:\\Documents and Settings\\All Users\\Application Data\\e30ab8a1\\n.dll\", not REG_EXPAND_SZ \"%SystemRoot%\\system32\\shdocvw.dll\""},
};

class ScenarioCheckTest : public SimTest {};

TEST_F(ScenarioCheckTest, BrokenCopiesAreRejected)
{
  for (const BrokenCopy &c : kBrokenCopies) {
    SCOPED_TRACE(c.scenario);
    std::vector<std::string> failures;
    std::string error;
    // The shipped scenario passes as it is.
    std::string text = ReadScenario(c.scenario);
    ASSERT_TRUE(CheckScenario(text, nullptr, &failures, &error)) << error;
    for (const std::string &f : failures)
      ADD_FAILURE() << f;
    nlohmann::json j = nlohmann::json::parse(text);
    for (const char *function : c.refused)
      j["faults"].push_back({{"function", function},
                             {"nth", 0},
                             // A native call fails with an NTSTATUS: STATUS_ACCESS_DENIED.
                             {"error", function[0] == 'N' && function[1] == 't' ? 0xC0000022u : ERROR_ACCESS_DENIED}});
    ASSERT_TRUE(CheckScenario(j.dump(), nullptr, &failures, &error)) << error;
    std::string all;
    for (const std::string &f : failures)
      all += f + "\n";
    EXPECT_NE(failures.end(), std::find(failures.begin(), failures.end(), c.message)) << "failures:\n" << all;
    FreshMachine();
  }
}

// Expectations the runs do not meet, each with its own message; a run-once
// step without its entry does not run at all.
TEST_F(ScenarioCheckTest, EachKindOfExpectationCanFail)
{
  struct Case {
    const char *expect;
    const char *message;
  } cases[] = {
      {R"({"log": ["Cleaning finished", "Detected pre-Vista 32 bit windows system"]})",
       "run 1: log holds out of order: Detected pre-Vista 32 bit windows system"},
      {R"({"log": ["No such line"]})", "run 1: log lacks: No such line"},
      {R"({"absentLog": ["Cleaning finished"]})", "run 1: log holds: Cleaning finished"},
      {R"({"console": ["No such line"]})", "run 1: console lacks: No such line"},
      {R"({"files": [{"path": "C:\\WINDOWS", "exists": false}]})", "run 1: file present: C:\\WINDOWS"},
      {R"({"files": [{"path": "C:\\nowhere"}]})", "run 1: file missing: C:\\nowhere"},
      {R"({"registry": [{"key": "HKLM\\Software\\Nowhere"}]})", "run 1: registry lacks: HKLM\\Software\\Nowhere"},
      {R"({"registry": [{"key": "HKLM\\System\\CurrentControlSet\\Services", "exists": false}]})",
       "run 1: registry holds: HKLM\\System\\CurrentControlSet\\Services"},
      {R"({"untouched": ["C:\\Documents and Settings\\All Users\\Desktop\\DU Vizodav\\TarvoskFix.log"]})",
       "run 1: untouched C:\\Documents and Settings\\All Users\\Desktop\\DU Vizodav\\TarvoskFix.log was not there to begin with"},
      {R"({"untouched": ["C:\\Documents and Settings\\All Users\\Desktop"]})",
       "run 1: touched: added file C:\\Documents and Settings\\All Users\\Desktop\\DU Vizodav: folder, attributes 0x10, own DACL b6b1667b"},
      {R"({"untouched": ["C:\\nowhere"]})", "run 1: untouched C:\\nowhere was not there to begin with"},
      {R"({"started": false})", "run 1: started, expected no run-once entry to start it"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expect);
    nlohmann::json j = nlohmann::json::parse(ReadScenario("xp-clean.json"));
    j["runs"][0]["expect"] = nlohmann::json::parse(c.expect);
    if (std::string(c.expect).find("started") != std::string::npos) {
      // Started by the entry a first run left behind.
      j["runs"][0]["fromRunOnce"] = true;
      j["registry"].push_back(nlohmann::json::parse(R"({"key": "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
          "values": [{"name": "TarvoskEVCleaner", "string": "\"C:\\Tools\\vanktarvoskevcleaner.exe\" -r"}]})"));
    }
    std::vector<std::string> failures;
    std::string error;
    ASSERT_TRUE(CheckScenario(j.dump(), nullptr, &failures, &error)) << error;
    // The first miss is the one the row plants; the rest are what follows from it.
    ASSERT_FALSE(failures.empty());
    EXPECT_EQ(c.message, failures.front());
    for (const std::string &f : failures)
      EXPECT_EQ(0u, f.find("run 1: ")) << f;
    FreshMachine();
  }
}

// The run-once step takes its command line from the entry, which is gone
// when it starts; without the entry it does not start.
TEST_F(ScenarioCheckTest, RunOnceStepStartsOnlyFromItsEntry)
{
  nlohmann::json j = nlohmann::json::parse(ReadScenario("xp-clean.json"));
  j["runs"] = nlohmann::json::parse(R"([{"fromRunOnce": true, "args": ["-r"], "keys": "k", "expect": {"started": false}}])");
  std::vector<std::string> failures;
  std::string error;
  ASSERT_TRUE(CheckScenario(j.dump(), nullptr, &failures, &error)) << error;
  EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
  EXPECT_FALSE(sim::Exists("C:\\Documents and Settings\\All Users\\Desktop\\DU Vizodav\\TarvoskFix.log"));
  FreshMachine();

  // The entry names another program path and no -r: that is what runs.
  j["registry"].push_back(nlohmann::json::parse(R"({"key": "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
      "values": [{"name": "TarvoskEVCleaner", "string": "\"C:\\Other Place\\vanktarvoskevcleaner.exe\""}]})"));
  j["runs"][0]["keys"] = "nk";
  j["runs"][0]["expect"] = nlohmann::json::parse(R"({"log": ["Attempting to remove malware files...", "Cleaning finished"],
      "registry": [{"key": "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "name": "TarvoskEVCleaner", "exists": false}]})");
  ASSERT_TRUE(CheckScenario(j.dump(), nullptr, &failures, &error)) << error;
  EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);
}

}  // namespace
