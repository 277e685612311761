#include "fault_sweep.h"

#include <algorithm>
#include <map>
#include <set>

#include "cleaner.h"
#include "reg_file.h"

namespace {

std::vector<WCHAR> WideOf(const std::string &s)
{
  std::u16string w = sim::Utf8ToUtf16(s);
  std::vector<WCHAR> out(w.begin(), w.end());
  out.push_back(0);
  return out;
}

int RunOnce(const std::vector<std::string> &args, const std::string &keys)
{
  sim::Machine &m = sim::M();
  std::vector<std::vector<WCHAR>> storage;
  for (const std::string &a : args)
    storage.push_back(WideOf(a));
  std::vector<WCHAR *> argv;
  for (auto &s : storage)
    argv.push_back(s.data());
  argv.push_back(nullptr);
  for (char c : keys)
    m.keys.push_back((unsigned char)c);
  return RunCleaner((int)storage.size(), argv.data());
}

std::vector<std::string> LogCandidates()
{
  std::vector<std::string> out;
  for (const auto &f : sim::M().files)
    if (f.first.size() >= 25 && f.first.compare(f.first.size() - 25, 25, "du vizodav\\tarvoskfix.log") == 0)
      out.push_back(f.first);
  return out;
}

bool StartsWith(const std::string &s, const std::string &p) { return s.compare(0, p.size(), p) == 0; }
bool EndsWith(const std::string &s, const std::string &p)
{
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

std::vector<std::string> Lines(const std::string &text)
{
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos)
      break;
    out.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  if (start < text.size())
    out.push_back(text.substr(start));
  return out;
}

// Is this (lower-case) path strictly inside a hideout folder (or, with
// orFolder, the hideout folder itself)?
bool InsideHideout(const std::string &path, bool orFolder = false)
{
  for (const char *root : {"c:\\$recycle.bin\\", "c:\\recycler\\"}) {
    if (!StartsWith(path, root))
      continue;
    std::string rest = path.substr(strlen(root));
    size_t a = rest.find('\\');
    if (a == std::string::npos)
      return false;
    size_t b = rest.find('\\', a + 1);
    std::string bot = rest.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
    if (bot.empty() || bot[0] != '$')
      return false;
    return (b != std::string::npos && b + 1 < rest.size()) || (orFolder && b == std::string::npos);
  }
  return false;
}

bool InsideLogFolder(const std::string &path)
{
  size_t at = path.find("\\du vizodav");
  return at != std::string::npos && (at + 11 == path.size() || path[at + 11] == '\\');
}

// Registry paths the cleaner may change: the COM classes it repairs, the
// run-once entry and the services' configuration.
bool RegistryChangeAllowed(const std::string &path)
{
  for (const char *p : {"hkcu\\software\\classes\\clsid\\", "hklm\\software\\classes\\clsid\\",
                        "hkcu\\software\\microsoft\\windows\\currentversion\\runonce",
                        "hklm\\system\\currentcontrolset\\services\\"})
    if (StartsWith(path, p))
      return true;
  return false;
}

struct SuccessLines {
  const char *function;
  const char *prefix;
  const char *suffix;
};
// The lines that report the success of what a call does; failing that call
// must take at least one of them away.
const SuccessLines kSuccessLines[] = {
    {"RegSetValueExA", "Current registry value ", ""},
    {"RegSetValueExA", "New registry value ", ""},
    {"RegSetValueExA", "Successfully registered", ""},
    {"RegSetValueExW", "Writing value", "... success"},
    {"RegSetValueExW", "Updating value", "... success"},
    {"RegSetKeySecurity", "Successfully set security information", ""},
    {"SetFileSecurityW", "Changing file permissions", "... success"},
    {"SetEntriesInAclW", "Changing file permissions", "... success"},
    {"SetKernelObjectSecurity", "Changing file permissions", "... success"},
    {"DeleteFileW", "Removing file", "... success"},
    {"RemoveDirectoryW", "Removing directory", "... success"},
    {"NtSetInformationFile", "Removing file", "... success"},
    {"NtSetInformationFile", "Removing directory", "... success"},
    {"MoveFileExA", "Restored services.exe successfully", ""},
    {"RegCreateKeyExA", "Creating ", "- created new"},
    {"RegCreateKeyExA", "Creating ", "- opened existing"},
    {"RegCreateKeyExA", "Successfully registered", ""},
};

bool IsSuccessLine(const std::string &function, const std::string &line)
{
  for (const SuccessLines &s : kSuccessLines)
    if (function == s.function && StartsWith(line, s.prefix) && EndsWith(line, s.suffix))
      return true;
  return false;
}

// The first line the log stored after the nth call of the function.
bool LineAfterCall(const SweepOutcome &o, const sim::Fault &fault, std::string *line)
{
  std::string log;
  for (const RunOutcome &r : o.runs)
    log += r.log;
  int n = 0;
  for (const sim::CallRecord &c : o.calls) {
    if (c.function != fault.function || ++n != fault.nth)
      continue;
    if (c.streamBytes >= log.size())
      return false;
    size_t end = log.find("\r\n", c.streamBytes);
    *line = log.substr(c.streamBytes, end == std::string::npos ? std::string::npos : end - c.streamBytes);
    return true;
  }
  return false;
}

std::vector<std::string> UndoCandidates()
{
  std::vector<std::string> out;
  for (const auto &f : sim::M().files)
    if (f.first.size() >= 30 && f.first.compare(f.first.size() - 30, 30, "du vizodav\\tarvoskfix-undo.reg") == 0)
      out.push_back(f.first);
  return out;
}

// A run's part of its undo file: the byte-order mark and the header when
// it made the file, then its section.
bool UndoSectionOf(const std::string &bytes, std::string *section)
{
  std::string text;
  size_t skip = bytes.size() >= 2 && (uint8_t)bytes[0] == 0xFF && (uint8_t)bytes[1] == 0xFE ? 2 : 0;
  if (!Utf16LeToUtf8(bytes.substr(skip), &text))
    return false;
  std::string head = std::string(kUndoHeader) + "\r\n\r\n";
  if (skip && text.compare(0, head.size(), head) == 0)
    text.erase(0, head.size());
  *section = text;
  return text.compare(0, 14, "; Log started ") == 0;
}

// When no run says its undo information is incomplete, the runs' undo
// sections imported last first give back the registry the cleaning started
// from: the keys and values the cleaner may change, the run-once entry
// aside (changes elsewhere are the invariant above's).
void CheckUndoFile(const SweepOutcome &o, std::vector<std::string> *bad)
{
  bool complete = true, logged = false;
  for (size_t i = 0; i < o.runs.size(); i++) {
    std::vector<std::string> lines = Lines(o.runs[i].log);
    long failures = std::count(lines.begin(), lines.end(), "Failed to write undo information");
    if (failures > 1)
      bad->push_back("run " + std::to_string(i + 1) + ": undo failure logged " + std::to_string(failures) + " times");
    complete &= failures == 0;
    logged |= !o.runs[i].log.empty();
  }
  if (!complete || !logged || o.registryBefore.empty())
    return;
  std::map<std::string, sim::RegKey> after = sim::M().registry;
  std::string error;
  bool imported = true;
  for (size_t i = o.runs.size(); imported && i-- > 0;) {
    std::string section;
    if (o.runs[i].log.empty())
      continue;
    if (!UndoSectionOf(o.runs[i].undo, &section)) {
      bad->push_back("run " + std::to_string(i + 1) + ": no undo section of its own");
      imported = false;
    } else if (!ImportRegLines(section, &error)) {
      bad->push_back("run " + std::to_string(i + 1) + ": undo section: " + error);
      imported = false;
    }
  }
  if (imported) {
    std::vector<std::string> now, before, missing, extra;
    for (const std::string &e : RegistryContent())
      if (RegistryChangeAllowed(e))
        now.push_back(e);
    for (const std::string &e : o.registryBefore)
      if (RegistryChangeAllowed(e))
        before.push_back(e);
    std::set_difference(before.begin(), before.end(), now.begin(), now.end(), std::back_inserter(missing));
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::back_inserter(extra));
    if (!missing.empty() || !extra.empty())
      bad->push_back("the undo file does not give the registry back: " +
                     (missing.empty() ? "" : "missing " + missing.front() + " ") +
                     (extra.empty() ? "" : "left " + extra.front()));
  }
  sim::M().registry = after;
}

bool HasSuccessLines(const std::string &function)
{
  for (const SuccessLines &s : kSuccessLines)
    if (function == s.function)
      return true;
  return false;
}

}  // namespace

DWORD PlatformErrorFor(const std::string &f)
{
  static const std::map<std::string, DWORD> errors = {
      {"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY},
      {"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY},
      {"GetSystemDirectoryA", ERROR_INSUFFICIENT_BUFFER},
      {"GetWindowsDirectoryA", ERROR_INSUFFICIENT_BUFFER},
      {"CreateFileA", ERROR_SHARING_VIOLATION},
      {"ReadFile", ERROR_HANDLE_EOF},
      {"GetFileVersionInfoSizeA", ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"GetFileVersionInfoA", ERROR_RESOURCE_DATA_NOT_FOUND},
      {"FindFirstFileA", ERROR_FILE_NOT_FOUND},
      {"FindFirstFileW", ERROR_FILE_NOT_FOUND},
      {"FindNextFileA", ERROR_NO_MORE_FILES},
      {"FindNextFileW", ERROR_NO_MORE_FILES},
      {"LookupPrivilegeValueW", ERROR_NO_SUCH_PRIVILEGE},
      {"GetModuleFileNameA", ERROR_INSUFFICIENT_BUFFER},
      {"ExpandEnvironmentStringsA", ERROR_NOT_ENOUGH_MEMORY},
      {"ExpandEnvironmentStringsW", ERROR_NOT_ENOUGH_MEMORY},
      {"GetVersionExW", ERROR_INVALID_PARAMETER},
      {"DeleteFileW", ERROR_SHARING_VIOLATION},
      {"RemoveDirectoryW", ERROR_DIR_NOT_EMPTY},
      {"ConvertStringSecurityDescriptorToSecurityDescriptorA", ERROR_INVALID_PARAMETER},
      {"ExitWindowsEx", ERROR_PRIVILEGE_NOT_HELD},
      {"RegOpenKeyExA", ERROR_FILE_NOT_FOUND},
      {"RegQueryValueExA", ERROR_MORE_DATA},
      {"RegQueryValueExW", ERROR_FILE_NOT_FOUND},
      {"LoadLibraryA", ERROR_MOD_NOT_FOUND},
      {"MultiByteToWideChar", ERROR_INVALID_PARAMETER},
      {"WideCharToMultiByte", ERROR_INVALID_PARAMETER},
      // Native calls return an NTSTATUS.
      {"NtOpenFile", (DWORD)0xC0000022L},              // STATUS_ACCESS_DENIED
      {"NtCreateFile", (DWORD)0xC0000043L},            // STATUS_SHARING_VIOLATION
      {"NtQueryVolumeInformationFile", (DWORD)0xC0000022L},
      {"NtQueryDirectoryFile", (DWORD)0xC0000022L},
      {"NtQueryInformationFile", (DWORD)0xC0000022L},
      {"NtSetInformationFile", (DWORD)0xC0000121L},    // STATUS_CANNOT_DELETE
  };
  auto it = errors.find(f);
  return it == errors.end() ? ERROR_ACCESS_DENIED : it->second;
}

bool SweepSkips(const std::string &f)
{
  static const std::set<std::string> skipped = {
      "GetSystemTime", "_getch", "wsprintfA", "wsprintfW", "HeapFree", "LocalFree", "FreeSid",
      "CloseHandle", "RegCloseKey", "FindClose", "NtClose", "CryptDestroyHash", "CryptReleaseContext", "FreeLibrary",
  };
  return skipped.count(f) != 0;
}

namespace {

// The machine at the start of a scenario step, so that a fault late in the
// cleaning need not replay the runs before it.
struct Checkpoint {
  size_t step, callIndex, runsBefore, renamesBefore;
  sim::Machine machine;
};

void RunSteps(const sim::Scenario &scenario, size_t from, SweepOutcome *out, std::vector<Checkpoint> *checkpoints)
{
  sim::Machine &m = sim::M();
  for (size_t step = from; step < scenario.runs.size(); step++) {
    const sim::ScenarioRun &run = scenario.runs[step];
    if (checkpoints)
      checkpoints->push_back(Checkpoint{step, m.calls.size(), out->runs.size(), out->renamesDone.size(), m});
    if (run.reboot) {
      out->renamesDone.insert(out->renamesDone.end(), m.pendingRenames.begin(), m.pendingRenames.end());
      sim::Reboot();
      continue;
    }
    out->runs.push_back(RunStep(run));
  }
  out->after = sim::TakeSnapshot();
  out->calls = m.calls;
}

}  // namespace

RunOutcome RunStep(const sim::ScenarioRun &run)
{
  sim::Machine &m = sim::M();
  RunOutcome r{};
  std::vector<std::string> args = {m.programPath};
  args.insert(args.end(), run.args.begin(), run.args.end());
  if (run.fromRunOnce && !sim::TakeRunOnce(&args)) {
    r.started = false;
    return r;
  }
  std::map<std::string, size_t> sizes, undoSizes;
  for (const std::string &p : LogCandidates())
    sizes[p] = sim::FileText(p).size();
  for (const std::string &p : UndoCandidates())
    undoSizes[p] = sim::FileText(p).size();
  size_t console = m.console.size();
  r.argv = args;
  r.exitCode = RunOnce(args, run.keys);
  r.console = m.console.substr(console);
  for (const std::string &p : LogCandidates()) {
    std::string text = sim::FileText(p);
    size_t at = sizes.count(p) ? sizes[p] : 0;
    if (text.size() > at)
      r.log += text.substr(at);
  }
  for (const std::string &p : UndoCandidates()) {
    std::string bytes = sim::FileText(p);
    size_t at = undoSizes.count(p) ? undoSizes[p] : 0;
    if (bytes.size() > at)
      r.undo += bytes.substr(at);
  }
  m.clock.wMinute = (WORD)(m.clock.wMinute + 4);
  if (m.clock.wMinute >= 60) {
    m.clock.wMinute = (WORD)(m.clock.wMinute - 60);
    m.clock.wHour = (WORD)((m.clock.wHour + 1) % 24);
  }
  return r;
}

bool CheckScenario(const std::string &json, const std::function<void(const StepView &)> &show,
                   std::vector<std::string> *failures, std::string *error)
{
  sim::Scenario scenario;
  failures->clear();
  if (!sim::LoadScenario(json, &scenario, error))
    return false;
  sim::Machine &m = sim::M();
  SweepOutcome o;
  o.before = sim::TakeSnapshot();
  o.registryBefore = RegistryContent();
  int runNumber = 0;
  for (size_t step = 0; step < scenario.runs.size(); step++) {
    const sim::ScenarioRun &run = scenario.runs[step];
    StepView view{&scenario, step, 0, nullptr, sim::TakeSnapshot(), {}, m.reboots.size()};
    std::string name, log, console;
    if (run.reboot) {
      view.renamesDone = m.pendingRenames;
      o.renamesDone.insert(o.renamesDone.end(), m.pendingRenames.begin(), m.pendingRenames.end());
      sim::Reboot();
      name = "step " + std::to_string(step + 1) + " (reboot): ";
    } else {
      view.runNumber = ++runNumber;
      o.runs.push_back(RunStep(run));
      const RunOutcome &r = o.runs.back();
      view.outcome = &r;
      name = "run " + std::to_string(runNumber) + ": ";
      log = r.log;
      console = r.console;
      if (r.started != run.expect.started)
        failures->push_back(name + (r.started ? "started, expected no run-once entry to start it"
                                              : "not started: no run-once entry"));
      else if (r.started && r.exitCode != run.expectExit)
        failures->push_back(name + "exit code " + std::to_string(r.exitCode) + ", expected " +
                            std::to_string(run.expectExit));
    }
    if (show)
      show(view);
    for (const std::string &b : sim::CheckExpectations(run.expect, log, console, o.before))
      failures->push_back(name + b);
  }
  o.after = sim::TakeSnapshot();
  for (const std::string &b : CheckInvariants(o, nullptr))
    failures->push_back("invariant: " + b);
  CloseCleanerLog();
  return true;
}

bool RunScenario(const std::string &json, const sim::Fault *fault, SweepOutcome *out, std::string *error,
                 bool record)
{
  sim::Scenario scenario;
  if (!sim::LoadScenario(json, &scenario, error))
    return false;
  if (fault)
    sim::M().faults.push_back(*fault);
  sim::M().recordCalls = record;
  *out = SweepOutcome();
  out->before = sim::TakeSnapshot();
  out->registryBefore = RegistryContent();
  RunSteps(scenario, 0, out, nullptr);
  return true;
}

bool RunScenario(const std::string &json, const std::function<void()> &extend, SweepOutcome *out,
                 std::string *error)
{
  sim::Scenario scenario;
  if (!sim::LoadScenario(json, &scenario, error))
    return false;
  if (extend)
    extend();
  *out = SweepOutcome();
  out->before = sim::TakeSnapshot();
  out->registryBefore = RegistryContent();
  RunSteps(scenario, 0, out, nullptr);
  return true;
}

std::vector<std::string> CheckInvariants(const SweepOutcome &o, const sim::Fault *fault)
{
  std::vector<std::string> bad;
  sim::Machine &m = sim::M();
  // Nothing left open or allocated.
  if (sim::OpenHandles() != 0)
    bad.push_back(std::to_string(sim::OpenHandles()) + " handles left open");
  if (!m.heapBlocks.empty())
    bad.push_back(std::to_string(m.heapBlocks.size()) + " heap blocks left allocated");
  if (!m.localBlocks.empty())
    bad.push_back(std::to_string(m.localBlocks.size()) + " LocalAlloc blocks left allocated");
  if (sim::LibrariesHeld() != 0)
    bad.push_back(std::to_string(sim::LibrariesHeld()) + " library references left held");

  for (size_t i = 0; i < o.runs.size(); i++) {
    const RunOutcome &r = o.runs[i];
    std::string run = "run " + std::to_string(i + 1) + ": ";
    if (!r.started)
      continue;
    bool early = r.console.find("Not supported OS.") != std::string::npos ||
                 r.console.find("Failed to create log file. Terminating.") != std::string::npos;
    std::vector<std::string> lines = Lines(r.log);
    // A run given -quiet, -noreboot or -scan ends its section with its exit code.
    bool unattended = !lines.empty() && StartsWith(lines.back(), "Exit code ");
    bool acceptable = r.exitCode == 0 || (unattended && (r.exitCode == RUN_EXIT_LEFT_UNDONE ||
                                                         r.exitCode == ERROR_SUCCESS_REBOOT_REQUIRED ||
                                                         r.exitCode == ERROR_SUCCESS_REBOOT_INITIATED));
    if (!(acceptable || (r.exitCode == 1 && early)))
      bad.push_back(run + "exit code " + std::to_string(r.exitCode));
    if (!acceptable)
      continue;
    if (lines.size() < 3 || lines[0] != std::string(62, '-') || !StartsWith(lines[1], "Log started ")) {
      bad.push_back(run + "log section does not start with its header");
      continue;
    }
    size_t last = lines.size() - 1;
    if (unattended) {
      // The code tells a failure line, and only a failure line, as left undone.
      bool failed = false;
      for (const std::string &l : lines)
        failed |= (StartsWith(l, "Failed to") && !StartsWith(l, "Failed to open registry key") &&
                   l != "Failed to write undo information") ||
                  EndsWith(l, "... failed") || EndsWith(l, " - failed");
      if (failed != (r.exitCode == RUN_EXIT_LEFT_UNDONE))
        bad.push_back(run + "exit code " + std::to_string(r.exitCode) + (failed ? " despite" : " without") +
                      " a failure line");
      if (!StartsWith(lines[last], "Exit code " + std::to_string(r.exitCode) + ": "))
        bad.push_back(run + "the last line does not state the exit code: " + lines[last]);
      last -= 2;
    }
    if (StartsWith(lines[last], "Successfully registered") || StartsWith(lines[last], "Failed to register"))
      last--;
    if (lines[last] != "Cleaning finished")
      bad.push_back(run + "log does not end with \"Cleaning finished\"");
    bool restoreFailed = false, removal = false;
    for (const std::string &l : lines) {
      restoreFailed |= l == "Failed to restore services.exe";
      removal |= l == "Attempting to remove malware files...";
    }
    if (restoreFailed && removal)
      bad.push_back(run + "files removed although services.exe was not replaced");
  }

  // Files: deletions only inside the hideouts, writes only in the log folder,
  // and the services.exe replacement the reboot carried out.
  std::vector<sim::PendingRename> renames = o.renamesDone;
  renames.insert(renames.end(), m.pendingRenames.begin(), m.pendingRenames.end());
  std::set<std::string> moved;
  for (const sim::PendingRename &r : renames) {
    for (std::string p : {r.from, r.to}) {
      if (!p.empty() && p[0] == '!')
        p.erase(0, 1);
      if (StartsWith(p, "\\??\\"))
        p.erase(0, 4);
      moved.insert(sim::Lower(p));
    }
    std::string to = sim::Lower(r.to), from = sim::Lower(r.from);
    if (!EndsWith(to, "\\system32\\services.exe") || !EndsWith(from, "\\services.exe") ||
        from.find("\\winsxs\\") == std::string::npos)
      bad.push_back("delayed move other than a component-store services.exe over the installed one: " + r.from +
                    " -> " + r.to);
  }
  for (const std::string &d : sim::Differences(o.before, o.after)) {
    bool isFile = StartsWith(d, "removed file ") || StartsWith(d, "added file ") || StartsWith(d, "changed file ");
    if (isFile) {
      std::string rest = d.substr(d.find("file ") + 5);
      std::string path = sim::Lower(rest.substr(0, rest.find(": ") == std::string::npos ? rest.size() : rest.find(": ")));
      // Removals inside the hideouts; DACL changes there too (the folders
      // themselves get theirs); anything else only in the log folder.
      bool allowed = InsideLogFolder(path) || moved.count(path) ||
                     (StartsWith(d, "removed file ") && InsideHideout(path)) ||
                     (StartsWith(d, "changed file ") && InsideHideout(path, true));
      if (!allowed)
        bad.push_back("file change outside the hideouts and the log folder: " + d);
    } else {
      std::string rest = d.substr(d.find("registry ") + 9);
      std::string path = sim::Lower(rest.substr(0, rest.find(" : ") == std::string::npos ? rest.find(": ") : rest.find(" : ")));
      if (!RegistryChangeAllowed(path))
        bad.push_back("registry change outside the cleaner's keys: " + d);
    }
  }

  CheckUndoFile(o, &bad);

  // A repetition whose call was never made again tested nothing.
  if (fault) {
    int fired = 0;
    for (const sim::Fault &f : m.faults)
      if (f.function == fault->function && f.nth == fault->nth)
        fired += f.fired;
    if (fired == 0)
      bad.push_back("the fault did not fire: " + fault->function + " #" + std::to_string(fault->nth));
  }

  // The step whose call failed does not report success.
  std::string next;
  if (fault && HasSuccessLines(fault->function) && LineAfterCall(o, *fault, &next) &&
      IsSuccessLine(fault->function, next))
    bad.push_back("success reported after " + fault->function + " failed: " + next);
  if (fault && fault->function == "ExitWindowsEx") {
    bool reported = false;
    for (const RunOutcome &r : o.runs)
      reported |= r.console.find("Failed to initiate system reboot.") != std::string::npos;
    if (!reported)
      bad.push_back("failed reboot request not reported");
  }
  return bad;
}

SweepSummary Sweep(const std::string &json)
{
  SweepSummary summary;
  SweepOutcome baseline;
  std::string error;
  sim::Scenario scenario;
  // The whole cleaning without a fault, its calls recorded.
  if (!sim::LoadScenario(json, &scenario, &error)) {
    summary.failures = 1;
    summary.messages.push_back("scenario: " + error);
    return summary;
  }
  sim::M().recordCalls = true;
  baseline.before = sim::TakeSnapshot();
  baseline.registryBefore = RegistryContent();
  std::vector<Checkpoint> checkpoints;
  RunSteps(scenario, 0, &baseline, &checkpoints);
  summary.runs++;
  for (const std::string &b : CheckInvariants(baseline, nullptr)) {
    summary.messages.push_back("baseline: " + b);
    summary.failures++;
  }
  CloseCleanerLog();

  const std::vector<sim::CallRecord> calls = baseline.calls;
  summary.callsRecorded = calls.size();
  std::map<std::string, int> ordinal;
  for (size_t i = 0; i < calls.size(); i++) {
    const sim::CallRecord &c = calls[i];
    int nth = ++ordinal[c.function];
    if (SweepSkips(c.function))
      continue;
    // Start from the step in which the call was made.
    const Checkpoint *from = &checkpoints.front();
    for (const Checkpoint &cp : checkpoints)
      if (cp.callIndex <= i)
        from = &cp;
    sim::RestoreMachine(from->machine);
    sim::Fault fault{c.function, nth, PlatformErrorFor(c.function)};
    sim::M().faults.push_back(fault);
    SweepOutcome o;
    o.before = baseline.before;
    o.registryBefore = baseline.registryBefore;
    o.runs.assign(baseline.runs.begin(), baseline.runs.begin() + (long)from->runsBefore);
    o.renamesDone.assign(baseline.renamesDone.begin(), baseline.renamesDone.begin() + (long)from->renamesBefore);
    RunSteps(scenario, from->step, &o, nullptr);
    summary.callsSwept++;
    summary.runs++;
    std::vector<std::string> bad = CheckInvariants(o, &fault);
    summary.failures += bad.size();
    for (const std::string &b : bad)
      if (summary.messages.size() < 20)
        summary.messages.push_back(c.function + " #" + std::to_string(nth) + ": " + b);
    CloseCleanerLog();
  }
  sim::Reset();
  return summary;
}
