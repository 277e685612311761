// The fault sweep: a whole cleaning (every run of a scenario) is recorded
// call by call, then repeated once per recorded call with exactly that call
// failing, and every repetition is held to the promises the cleaner makes
// whatever the machine does.
#ifndef FAULT_SWEEP_H
#define FAULT_SWEEP_H

#include <functional>
#include <string>
#include <vector>

#include "scenario.h"

struct RunOutcome {
  int exitCode;
  std::string console;  // this run's console output
  std::string log;      // the log section this run appended ("" when none)
  std::string undo;     // the bytes this run appended to an undo file
  bool started = true;  // false: a run-once step without its entry, not run
  std::vector<std::string> argv;  // the command line it was started with
};

// One run of a scenario. A run-once step starts only when the entry exists,
// with the command line it holds, the entry removed first; without it the
// outcome says not started. The clock moves on 4 minutes after a run.
RunOutcome RunStep(const sim::ScenarioRun &run);

struct SweepOutcome {
  std::vector<RunOutcome> runs;
  sim::Snapshot before, after;
  // The registry's keys and values before the first run (RegistryContent).
  std::vector<std::string> registryBefore;
  // The calls made, when recorded, and the log text of all runs in order.
  std::vector<sim::CallRecord> calls;
  // Delayed moves carried out by the simulated reboots between runs.
  std::vector<sim::PendingRename> renamesDone;
};

// Loads the scenario (failing on a bad one), optionally with one injected
// fault, runs all its runs and collects what the invariants look at; with
// record, the machine keeps the record of every call.
bool RunScenario(const std::string &json, const sim::Fault *fault, SweepOutcome *out, std::string *error,
                 bool record);
// The same without a fault, on the scenario's machine as extend leaves it:
// machines too large for a scenario file are built on a small one in code.
bool RunScenario(const std::string &json, const std::function<void()> &extend, SweepOutcome *out,
                 std::string *error);

// The invariants; each violation is one message. With a fault, the outcome
// must have been recorded (the line logged right after the failed call is the
// step's outcome, and it must not report success), and the machine's fault of
// that function and number must have fired.
std::vector<std::string> CheckInvariants(const SweepOutcome &outcome, const sim::Fault *fault);

// The error the platform gives when this function fails, for the sweep.
DWORD PlatformErrorFor(const std::string &function);
// Functions the sweep does not fail: those that cannot fail on Windows
// (formatting, time, freeing) and the closing calls, whose failure on a valid
// handle the platform does not report in practice.
bool SweepSkips(const std::string &function);

// A scenario as `simrun --check` holds it: every run ends with the exit code
// it expects, every step's expectations hold, and the whole cleaning keeps the
// invariants. show, when given, sees each step as it ends. False with error
// when the scenario does not load; failures lists every miss.
struct StepView {
  const sim::Scenario *scenario;
  size_t step;
  int runNumber;                       // of a run, from 1 (0 for a reboot)
  const RunOutcome *outcome;           // nullptr for a reboot
  sim::Snapshot before;                // the machine before the step
  std::vector<sim::PendingRename> renamesDone;  // by a reboot
  size_t rebootsBefore;                // reboot requests before the step
};
bool CheckScenario(const std::string &json, const std::function<void(const StepView &)> &show,
                   std::vector<std::string> *failures, std::string *error);

struct SweepSummary {
  size_t callsRecorded = 0, callsSwept = 0, runs = 0, failures = 0;
  std::vector<std::string> messages;  // the first violations, for the report
};
SweepSummary Sweep(const std::string &json);

#endif
