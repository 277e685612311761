// Scenario files: a simulated machine and the runs to make on it, as JSON
// (the format is described in docs/scenarios.md).
#ifndef SIM_SCENARIO_H
#define SIM_SCENARIO_H

#include <string>
#include <vector>

#include "sim.h"

namespace sim {

// What must be true after a step ("expect" of a run or a reboot).
struct ExpectedFile {
  std::string path;
  bool exists = true;
  std::string image;  // DescribeImage of its content, when given
};
struct ExpectedValue {
  std::string key, name;  // name empty with valueGiven false: the key itself
  bool valueGiven = false;
  bool exists = true;
  DWORD type = REG_NONE;  // with data: the value's type and bytes
  std::vector<uint8_t> data;
  bool dataGiven = false;
};
struct Expectations {
  bool started = true;                // a run-once step: whether the entry started it
  std::vector<std::string> log;       // whole lines of the run's log section, in this order
  std::vector<std::string> console;   // whole lines of the run's console output, in this order
  std::vector<std::string> absentLog; // lines the run's log section must not hold
  std::vector<ExpectedFile> files;
  std::vector<ExpectedValue> registry;
  std::vector<std::string> untouched; // files or keys (with all below them) as the scenario loaded them
};

struct ScenarioRun {
  std::vector<std::string> args;  // after the program name
  std::string keys;               // key presses fed to _getch, in order
  bool reboot = false;            // a simulated reboot instead of a run
  // Started by the run-once entry: only when its value exists, with the
  // command line it holds; the value is removed before the run starts.
  bool fromRunOnce = false;
  int expectExit = 0;             // the exit code the run is to end with
  Expectations expect;
};

struct Scenario {
  std::string description;
  std::vector<ScenarioRun> runs;
};

// Resets the machine and builds it from the scenario text. On failure the
// error names what is wrong and the machine is left reset.
bool LoadScenario(const std::string &json, Scenario *scenario, std::string *error);

// A snapshot of what a run may change, to report the difference.
struct Snapshot {
  std::map<std::string, std::string> files;     // path -> description
  std::map<std::string, std::string> registry;  // key\value -> description
};
Snapshot TakeSnapshot();
std::vector<std::string> Differences(const Snapshot &before, const Snapshot &after);

// Registry data of a scenario value ("string", "expand", "multi", "dword", "hex").
std::vector<uint8_t> HexBytes(const std::string &list, bool *ok);

// The run-once entry's command line split as the shell splits it (quoted
// parts, blanks between), the entry removed; false when there is no entry.
bool TakeRunOnce(std::vector<std::string> *argv);

// What does not hold of the expectations of a step: the log section and the
// console output the run produced (both "" for a reboot), the machine as
// loaded (for "untouched") and the machine now. One message per miss.
std::vector<std::string> CheckExpectations(const Expectations &expect, const std::string &log,
                                           const std::string &console, const Snapshot &loaded);

}  // namespace sim

#endif
