// Scenario files: a simulated machine and the runs to make on it, as JSON
// (the format is described in docs/scenarios.md).
#ifndef SIM_SCENARIO_H
#define SIM_SCENARIO_H

#include <string>
#include <vector>

#include "sim.h"

namespace sim {

struct ScenarioRun {
  std::vector<std::string> args;  // after the program name
  std::string keys;               // key presses fed to _getch, in order
  bool reboot = false;            // a simulated reboot instead of a run
  bool fromRunOnce = false;       // started by the run-once entry (it is removed first)
  int expectExit = 0;             // the exit code the run is to end with
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

}  // namespace sim

#endif
