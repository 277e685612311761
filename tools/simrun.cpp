// simrun: runs the cleaner's real entry on a simulated machine built from a
// scenario file, and shows what a person at that machine would see: the
// console, the log, the undo file, and what changed on the machine.
#include <fstream>
#include <map>
#include <iostream>
#include <sstream>

#include "cleaner.h"
#include "scenario.h"

static std::string LogPathNow(const std::string &dir) { return dir + "\\DU Vizodav\\TarvoskFix.log"; }
static std::string UndoPathNow(const std::string &dir) { return dir + "\\DU Vizodav\\TarvoskFix-undo.reg"; }

static void PrintSection(const std::string &title)
{
  std::cout << "\n=== " << title << " ===\n";
}

int main(int argc, char **argv)
{
  // --check: exit 0 only when every run ended with the exit code the scenario expects.
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
  sim::Scenario scenario;
  std::string error;
  if (!sim::LoadScenario(text.str(), &scenario, &error)) {
    std::cerr << "simrun: " << file << ": " << error << "\n";
    return 2;
  }
  std::cout << "Scenario: " << scenario.description << "\n";
  int runNumber = 0;
  int lastExit = 0;
  bool asExpected = true;
  for (const sim::ScenarioRun &run : scenario.runs) {
    sim::Machine &m = sim::M();
    if (run.reboot) {
      PrintSection("simulated reboot");
      for (const sim::PendingRename &r : m.pendingRenames)
        std::cout << "pending rename carried out: " << r.from << " -> " << (r.to.empty() ? "(delete)" : r.to) << "\n";
      sim::Snapshot beforeBoot = sim::TakeSnapshot();
      sim::Reboot();
      for (const std::string &d : sim::Differences(beforeBoot, sim::TakeSnapshot()))
        std::cout << d << "\n";
      continue;
    }
    runNumber++;
    std::string commandLine = "vanktarvoskevcleaner";
    if (run.fromRunOnce) {
      const char *runOnce = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
      commandLine = sim::StringValue(runOnce, "TarvoskEVCleaner");
      if (sim::RegKey *k = sim::Key(runOnce))
        for (size_t i = 0; i < k->values.size(); i++)
          if (sim::Lower(k->values[i].name) == "tarvoskevcleaner")
            k->values.erase(k->values.begin() + (long)i--);
    }
    if (!run.fromRunOnce)
      for (const std::string &a : run.args)
        commandLine += " " + a;
    for (char c : run.keys)
      m.keys.push_back((unsigned char)c);

    std::vector<std::u16string> wide;
    wide.push_back(sim::Utf8ToUtf16(m.programPath));
    for (const std::string &a : run.args)
      wide.push_back(sim::Utf8ToUtf16(a));
    std::vector<std::vector<WCHAR>> storage;
    std::vector<WCHAR *> wargv;
    for (const auto &w : wide) {
      storage.emplace_back(w.begin(), w.end());
      storage.back().push_back(0);
    }
    for (auto &s : storage)
      wargv.push_back(s.data());
    wargv.push_back(nullptr);

    sim::Snapshot before = sim::TakeSnapshot();
    std::map<std::string, size_t> logSizes, undoSizes;
    for (const char *desktop : {"C:\\Users\\Public\\Desktop", "C:\\ProgramData\\Desktop",
                                "C:\\Documents and Settings\\All Users\\Desktop", m.currentDir.c_str()}) {
      logSizes[LogPathNow(desktop)] = sim::FileText(LogPathNow(desktop)).size();
      undoSizes[UndoPathNow(desktop)] = sim::FileText(UndoPathNow(desktop)).size();
    }
    size_t consoleStart = m.console.size();
    size_t rebootsBefore = m.reboots.size();
    std::string startDir = m.currentDir;
    lastExit = RunCleaner((int)wide.size(), wargv.data());

    PrintSection("run " + std::to_string(runNumber) + ": " + commandLine);
    std::cout << m.console.substr(consoleStart);
    std::cout << "[exit code " << lastExit << "]\n";
    if (lastExit != run.expectExit) {
      std::cout << "[expected exit code " << run.expectExit << "]\n";
      asExpected = false;
    }

    std::string logPath = LogPathNow(m.currentDir);
    if (sim::Exists(logPath)) {
      PrintSection("log " + logPath + ", the section this run appended");
      std::string log = sim::FileText(logPath).substr(logSizes.count(logPath) ? logSizes[logPath] : 0);
      std::string shown;
      for (size_t i = 0; i < log.size(); i++)
        if (!(log[i] == '\r' && i + 1 < log.size() && log[i + 1] == '\n'))
          shown += log[i];
      std::cout << shown;
    }
    std::string undoPath = UndoPathNow(m.currentDir);
    if (sim::Exists(undoPath)) {
      // UTF-16 as UTF-8, without the byte-order mark and the carriage returns.
      std::string bytes = sim::FileText(undoPath).substr(undoSizes.count(undoPath) ? undoSizes[undoPath] : 0);
      size_t skip = bytes.size() >= 2 && (uint8_t)bytes[0] == 0xFF && (uint8_t)bytes[1] == 0xFE ? 2 : 0;
      std::vector<WCHAR> units;
      for (size_t i = skip; i + 1 < bytes.size(); i += 2)
        if (bytes[i] != '\r' || bytes[i + 1] != 0)
          units.push_back((WCHAR)((uint8_t)bytes[i] | ((uint8_t)bytes[i + 1] << 8)));
      PrintSection("undo file " + undoPath + ", what this run appended");
      std::cout << sim::Utf16ToUtf8(units.data(), units.size());
    }
    PrintSection("what changed on the machine");
    for (const std::string &d : sim::Differences(before, sim::TakeSnapshot()))
      std::cout << d << "\n";
    for (const sim::PendingRename &r : m.pendingRenames)
      std::cout << "pending rename at next boot: " << r.from << " -> " << (r.to.empty() ? "(delete)" : r.to) << "\n";
    for (size_t i = rebootsBefore; i < m.reboots.size(); i++) {
      char buf[96];
      snprintf(buf, sizeof(buf), "reboot requested: flags 0x%x, reason 0x%08x, %s", m.reboots[i].flags,
               m.reboots[i].reason, m.reboots[i].succeeded ? "started" : "refused");
      std::cout << buf << "\n";
    }
    (void)startDir;
    // The next run comes a few minutes later.
    m.clock.wMinute = (WORD)(m.clock.wMinute + 4);
    if (m.clock.wMinute >= 60) {
      m.clock.wMinute = (WORD)(m.clock.wMinute - 60);
      m.clock.wHour = (WORD)((m.clock.wHour + 1) % 24);
    }
  }
  if (check)
    return asExpected ? 0 : 1;
  return lastExit;
}
