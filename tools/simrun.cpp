// simrun: runs the cleaner's real entry on a simulated machine built from a
// scenario file, and shows what a person at that machine would see: the
// console, the log, the undo file, and what changed on the machine. With
// --check it also holds the runs to the scenario's expectations and to the
// fault sweep's invariants (docs/scenarios.md).
#include <fstream>
#include <iostream>
#include <sstream>

#include "cleaner.h"
#include "fault_sweep.h"
#include "scenario.h"

static void PrintSection(const std::string &title)
{
  std::cout << "\n=== " << title << " ===\n";
}

static void Show(const StepView &v)
{
  sim::Machine &m = sim::M();
  if (v.step == 0)
    std::cout << "Scenario: " << v.scenario->description << "\n";
  const sim::ScenarioRun &run = v.scenario->runs[v.step];
  if (run.reboot) {
    PrintSection("simulated reboot");
    for (const sim::PendingRename &r : v.renamesDone)
      std::cout << "pending rename carried out: " << r.from << " -> " << (r.to.empty() ? "(delete)" : r.to) << "\n";
    for (const std::string &d : sim::Differences(v.before, sim::TakeSnapshot()))
      std::cout << d << "\n";
    return;
  }
  const RunOutcome &r = *v.outcome;
  std::string commandLine = "vanktarvoskevcleaner";
  for (size_t i = 1; i < r.argv.size(); i++)
    commandLine += " " + r.argv[i];
  if (run.fromRunOnce)
    commandLine += " (started by the run-once entry)";
  PrintSection("run " + std::to_string(v.runNumber) + ": " + commandLine);
  if (!r.started) {
    std::cout << "[not started: there is no run-once entry]\n";
    return;
  }
  std::cout << r.console;
  std::cout << "[exit code " << r.exitCode << "]\n";
  if (r.exitCode != run.expectExit)
    std::cout << "[expected exit code " << run.expectExit << "]\n";
  if (!r.log.empty()) {
    PrintSection("log, the section this run appended");
    std::string shown;
    for (size_t i = 0; i < r.log.size(); i++)
      if (!(r.log[i] == '\r' && i + 1 < r.log.size() && r.log[i + 1] == '\n'))
        shown += r.log[i];
    std::cout << shown;
  }
  if (!r.undo.empty()) {
    // UTF-16 as UTF-8, without the byte-order mark and the carriage returns.
    const std::string &bytes = r.undo;
    size_t skip = bytes.size() >= 2 && (uint8_t)bytes[0] == 0xFF && (uint8_t)bytes[1] == 0xFE ? 2 : 0;
    std::vector<WCHAR> units;
    for (size_t i = skip; i + 1 < bytes.size(); i += 2)
      if (bytes[i] != '\r' || bytes[i + 1] != 0)
        units.push_back((WCHAR)((uint8_t)bytes[i] | ((uint8_t)bytes[i + 1] << 8)));
    PrintSection("undo file, what this run appended");
    std::cout << sim::Utf16ToUtf8(units.data(), units.size());
  }
  PrintSection("what changed on the machine");
  for (const std::string &d : sim::Differences(v.before, sim::TakeSnapshot()))
    std::cout << d << "\n";
  for (const sim::PendingRename &p : m.pendingRenames)
    std::cout << "pending rename at next boot: " << p.from << " -> " << (p.to.empty() ? "(delete)" : p.to) << "\n";
  for (size_t i = v.rebootsBefore; i < m.reboots.size(); i++) {
    char buf[96];
    snprintf(buf, sizeof(buf), "reboot requested: flags 0x%x, reason 0x%08x, %s", m.reboots[i].flags,
             m.reboots[i].reason, m.reboots[i].succeeded ? "started" : "refused");
    std::cout << buf << "\n";
  }
}

int main(int argc, char **argv)
{
  // --check: exit 0 only when every run ended with the exit code the
  // scenario expects, every expectation held and no invariant was broken.
  bool check = argc == 3 && std::string(argv[1]) == "--check";
  if (argc != 2 && !check) {
    std::cerr << "usage: simrun [--check] SCENARIO.json\n";
    return 2;
  }
  const char *file = argv[argc - 1];
  std::ifstream in(file);
  if (!in) {
    std::cerr << "simrun: cannot read " << file << "\n";
    return 2;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::vector<std::string> failures;
  std::string error;
  int lastExit = 0;
  bool loaded = CheckScenario(text.str(), [&](const StepView &v) {
    Show(v);
    if (v.outcome && v.outcome->started)
      lastExit = v.outcome->exitCode;
  }, &failures, &error);
  if (!loaded) {
    std::cerr << "simrun: " << file << ": " << error << "\n";
    return 2;
  }
  if (!check)
    return lastExit;
  if (!failures.empty())
    PrintSection("check failed");
  for (const std::string &f : failures)
    std::cout << f << "\n";
  return failures.empty() ? 0 : 1;
}
