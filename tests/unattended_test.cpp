// Unattended use: the option words, -quiet, -noreboot, -scan, the exit codes
// deployment tools read, the restore run that clears a pending restore, and
// the hideouts of every account.
#include <dirent.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "scenario.h"
#include "test_support.h"

namespace {

const char *const kRunOnce = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const char *const kHint = "If you need only services restoration run \"vanktarvoskevcleaner -r\"\n";
const char *const kBotId = "$dd614f2ed03f70d242d5ededb36097d0";
const char *const kInfectedUser = "S-1-5-21-1004336348-1177238915-682003330-1001";

class UnattendedTest : public SimTest {
protected:
  void Load(const std::string &name)
  {
    FreshMachine();
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::LoadScenario(ReadScenario(name), &scenario, &error)) << name << ": " << error;
  }
  // The section the last run appended, from the folder it made current.
  std::vector<std::string> Section() { return LastSection(sim::M().currentDir); }
};

std::string AfterBanner(const std::string &console)
{
  size_t first = console.find('\n');
  return console.substr(console.find('\n', first + 1) + 1);
}

bool Contains(const std::vector<std::string> &lines, const std::string &line)
{
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t Count(const std::vector<std::string> &lines, const std::string &prefix)
{
  size_t n = 0;
  for (const std::string &l : lines)
    n += l.compare(0, prefix.size(), prefix) == 0;
  return n;
}

TEST_F(UnattendedTest, RefusedArgumentListWritesNothing)
{
  const std::vector<std::vector<std::string>> lists = {
      {"-quiet", "x"},         {"x", "-quiet"},          {"-scan", "-scan"},       {"-noreboot", "-R"},
      {"-r", "-noreboot", ""}, {"-quiet", "-r", "-r"},   {"-scan", "/r"},          {"-quiet", "-noreboot", "-scan", "-r", "-x"},
  };
  for (const auto &args : lists) {
    std::string what;
    for (const std::string &a : args)
      what += "[" + a + "]";
    SCOPED_TRACE(what);
    Load("win7-x64-infected.json");
    sim::Snapshot before = sim::TakeSnapshot();
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RunCleanerWith(args, "yk"));
    std::string console = AfterBanner(sim::M().console);
    EXPECT_EQ(0u, console.find(std::string(kHint) + "Usage: vanktarvoskevcleaner [-r] [-quiet] [-noreboot] [-scan]\n"));
    EXPECT_TRUE(sim::Differences(before, sim::TakeSnapshot()).empty());
    EXPECT_FALSE(sim::Exists(std::string(kWin7Desktop) + "\\DU Vizodav"));
    EXPECT_TRUE(sim::M().pendingRenames.empty());
    EXPECT_TRUE(sim::M().reboots.empty());
    EXPECT_EQ(0, sim::M().keysRead);
  }
}

// Without one of the three new words the old rule holds to the letter:
// exactly "-r" is restore mode, anything else normal mode, no message.
TEST_F(UnattendedTest, WithoutTheNewWordsTheOldRuleHolds)
{
  const struct {
    std::vector<std::string> args;
    bool restore;
  } cases[] = {
      {{"-Quiet"}, false}, {{"-quiet "}, false}, {{"/noreboot"}, false}, {{"-r", "-R"}, false}, {{"-r"}, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[0]);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
    EXPECT_EQ(0, RunCleanerWith(c.args, c.restore ? "k" : "nk"));
    EXPECT_EQ(std::string::npos, sim::M().console.find("Usage"));
    EXPECT_EQ(c.restore, Contains(LastSection(kWin7Desktop), "Processing Windows 7 services restoration"));
    EXPECT_EQ("Cleaning finished", LastSection(kWin7Desktop).back()) << "no exit code line";
    EXPECT_EQ(1u, sim::M().reboots.size());
  }
}

struct CodeCase {
  const char *what;
  const char *scenario;
  std::vector<std::string> args;
  std::string keys;
  std::function<void()> arrange;
  int exitCode;
  size_t reboots;
  bool renamePending;
  bool restoreRegistered;
  const char *consoleLine;
};

TEST_F(UnattendedTest, ExitCodesTellTheOutcome)
{
  const char *const stillNeeded =
      "The reboot is left out (-noreboot), but it is still needed: restart the system to finish cleaning.\n";
  const CodeCase cases[] = {
      {"-quiet: repaired, restore registered, reboot started", "win7-x64-infected.json", {"-quiet"}, "", [] {},
       ERROR_SUCCESS_REBOOT_INITIATED, 1, true, true, "System is rebooted now to continue cleaning.\n"},
      {"-quiet -noreboot: no reboot, still needed", "win7-x64-infected.json", {"-noreboot", "-quiet"}, "", [] {},
       ERROR_SUCCESS_REBOOT_REQUIRED, 0, true, true, stillNeeded},
      {"-quiet, reboot refused", "win7-x64-infected.json", {"-quiet"}, "", [] { sim::M().rebootFails = true; },
       ERROR_SUCCESS_REBOOT_REQUIRED, 1, true, true, "Failed to initiate system reboot. Restart your system manually.\n"},
      {"no clean services.exe: left undone", "win7-x64-infected-no-clean-copy.json", {"-quiet", "-noreboot"}, "", [] {},
       RUN_EXIT_LEFT_UNDONE, 0, false, true, stillNeeded},
      {"no BOT ID: left undone", "xp-infected.json", {"-quiet", "-noreboot"}, "",
       [] { sim::FailCall("NtOpenFile", 0, ERROR_ACCESS_DENIED); }, RUN_EXIT_LEFT_UNDONE, 0, false, true, stillNeeded},
      {"interactive -noreboot, nothing to change", "xp-clean.json", {"-noreboot"}, "n", [] {}, RUN_EXIT_NOTHING_FOUND, 0,
       false, false, "No reboot is needed.\n"},
      {"scan of an infected machine", "win7-x64-infected.json", {"-scan"}, "", [] {}, RUN_EXIT_SCAN_FOUND, 0, false,
       false, "Scan finished: nothing was changed; the log lists what a run would change.\n"},
      {"scan of a clean machine", "xp-clean.json", {"-scan"}, "", [] {}, RUN_EXIT_NOTHING_FOUND, 0, false, false,
       "Scan finished: nothing was changed; the log lists what a run would change.\n"},
      {"scan whose hideout check could not be made", "xp-clean.json", {"-scan"}, "",
       [] { sim::FailCall("NtOpenFile", 0, ERROR_ACCESS_DENIED); }, RUN_EXIT_SCAN_FOUND, 0, false, false,
       "Scan finished: nothing was changed; the log lists what a run would change.\n"},
      {"unsupported edition", "win8-unsupported.json", {"-quiet"}, "", [] {}, 1, 0, false, false,
       "Not supported OS. Cleaner supports Windows XP, Vista, 7, Windows server 2003 R2 and Windows server 2008 R2.\n"},
  };
  for (const CodeCase &c : cases) {
    SCOPED_TRACE(c.what);
    Load(c.scenario);
    c.arrange();
    EXPECT_EQ(c.exitCode, RunCleanerWith(c.args, c.keys));
    EXPECT_EQ((int)c.keys.size(), sim::M().keysRead);
    EXPECT_EQ(0, sim::M().keysMissing) << "no key awaited";
    EXPECT_EQ(c.reboots, sim::M().reboots.size());
    EXPECT_EQ(c.renamePending, !sim::M().pendingRenames.empty());
    const sim::RegValue *v = sim::Value(kRunOnce, "TarvoskEVCleaner");
    EXPECT_EQ(c.restoreRegistered, v != nullptr);
    if (v != nullptr) {
      EXPECT_EQ("\"C:\\Tools\\vanktarvoskevcleaner.exe\" -r", sim::StringValue(kRunOnce, "TarvoskEVCleaner"));
    }
    EXPECT_NE(std::string::npos, sim::M().console.find(c.consoleLine)) << sim::M().console;
    if (c.exitCode != 1) {
      std::vector<std::string> log = Section();
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(0u, log.back().find("Exit code " + std::to_string(c.exitCode) + ": ")) << log.back();
    }
  }
}

// A deployment tool runs the restore itself after the reboot: the run-once
// value the first run left would start it once more at the next logon.
TEST_F(UnattendedTest, RestoreRunClearsAPendingRestore)
{
  const struct {
    const char *what;
    std::vector<std::string> args;
    std::string keys;
    std::function<void()> arrange;
    bool pendingBefore, pendingAfter;
    const char *line;
    int exitCode;
  } cases[] = {
      {"interactive -r", {"-r"}, "k", [] {}, true, false,
       "Removed the restore run still registered for the next logon (\"TarvoskEVCleaner\")", 0},
      {"-r -quiet -noreboot", {"-r", "-quiet", "-noreboot"}, "", [] {}, true, false,
       "Removed the restore run still registered for the next logon (\"TarvoskEVCleaner\")",
       ERROR_SUCCESS_REBOOT_REQUIRED},
      {"nothing pending", {"-r", "-quiet", "-noreboot"}, "", [] {}, false, false, nullptr, ERROR_SUCCESS_REBOOT_REQUIRED},
      {"-r -scan", {"-r", "-scan"}, "", [] {}, true, true,
       "A restore run is still registered to start at the next logon (\"TarvoskEVCleaner\"); it would be removed",
       RUN_EXIT_SCAN_FOUND},
      {"removal refused", {"-quiet", "-noreboot", "-r"}, "",
       [] { sim::FailCall("RegDeleteValueA", 1, ERROR_ACCESS_DENIED); }, true, true,
       "Failed to remove the restore run registered for the next logon (\"TarvoskEVCleaner\")", RUN_EXIT_LEFT_UNDONE},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    sim::InstallWindows(6, 1, VER_NT_WORKSTATION, true);
    sim::SetString(kRunOnce, "Other", "other.exe");
    if (c.pendingBefore)
      sim::SetString(kRunOnce, "TarvoskEVCleaner", "\"C:\\Tools\\vanktarvoskevcleaner.exe\" -r");
    c.arrange();
    EXPECT_EQ(c.exitCode, RunCleanerWith(c.args, c.keys));
    EXPECT_EQ(c.pendingAfter, sim::Value(kRunOnce, "TarvoskEVCleaner") != nullptr);
    EXPECT_EQ("other.exe", sim::StringValue(kRunOnce, "Other"));
    std::vector<std::string> log = LastSection(kWin7Desktop);
    ASSERT_GE(log.size(), 3u);
    if (c.line != nullptr)
      EXPECT_EQ(c.line, log[1]) << "right after the detection line";
    else
      EXPECT_EQ("Processing Windows 7 services restoration", log[1]);
  }
}

// One count of the log's summary line ("N name").
std::string Count(const std::vector<std::string> &log, const std::string &head, const std::string &name)
{
  for (const std::string &l : log) {
    if (l.compare(0, head.size(), head) != 0)
      continue;
    size_t at = l.find(" " + name);
    size_t from = l.rfind(' ', at - 1);
    return at == std::string::npos ? "(none)" : l.substr(from + 1, at - from - 1);
  }
  return "(no " + head + " line)";
}

// What the restore touches, subject by subject: "key" for a key created,
// "key : name" for a value written, "key descriptor" for a descriptor. A
// scan names a key by "Key K ...", the run by "Creating K - ...".
struct RestoreSubjects {
  std::set<std::string> keys, values, descriptors;
};

RestoreSubjects ScanSubjects(const std::vector<std::string> &log)
{
  RestoreSubjects s;
  std::string key;
  for (const std::string &l : log) {
    if (l.compare(0, 4, "Key ") == 0) {
      size_t end = l.find(' ', 4);
      key = l.substr(4, end - 4);
      if (l.compare(end, std::string::npos, " is missing and would be created") == 0)
        s.keys.insert(key);
    } else if (l == "Its security descriptor would be written") {
      s.descriptors.insert(key);
    } else if (l.compare(0, 7, "Value \"") == 0 && l.find(" and would be ") != std::string::npos) {
      s.values.insert(key + " : " + l.substr(7, l.find('"', 7) - 7));
    }
  }
  return s;
}

RestoreSubjects RunSubjects(const std::vector<std::string> &log)
{
  RestoreSubjects s;
  std::string key;
  for (const std::string &l : log) {
    if (l.compare(0, 9, "Creating ") == 0) {
      size_t end = l.rfind(" - ");
      key = l.substr(9, end - 9);
      if (l.compare(end, std::string::npos, " - created new") == 0)
        s.keys.insert(key);
    } else if (l == "Successfully set security information" || l == "Failed to set security information") {
      s.descriptors.insert(key);
    } else {
      for (const std::string p : {"Writing value \"", "Updating value \""})
        if (l.compare(0, p.size(), p) == 0)
          s.values.insert(key + " : " + l.substr(p.size(), l.find('"', p.size()) - p.size()));
    }
  }
  return s;
}

// The registry keys behind the scan's COM findings: a name under HKCR is the
// user's class key where it exists, else the machine's (the merged view).
std::set<std::string> ComFindings(const std::vector<std::string> &log)
{
  std::set<std::string> keys;
  for (const std::string &l : log) {
    if (l.compare(0, 11, "COM server ") != 0)
      continue;
    std::string key = l.substr(11, l.find(" holds \"") - 11);
    if (key.compare(0, 5, "HKCR\\") == 0) {
      std::string user = "HKCU\\Software\\Classes\\" + key.substr(5);
      key = sim::Key(user) != nullptr ? user : "HKLM\\Software\\Classes\\" + key.substr(5);
    }
    keys.insert(sim::Lower(key));
  }
  return keys;
}

// The registry keys whose values the run changed, read off the machine.
std::set<std::string> RegistryChanges(const std::vector<std::string> &differences)
{
  std::set<std::string> keys;
  const std::string head = "changed registry ";
  for (const std::string &d : differences)
    if (d.compare(0, head.size(), head) == 0)
      keys.insert(sim::Lower(d.substr(head.size(), d.find(" : ") - head.size())));
  return keys;
}

// Hideout folder -> entries: what the scan counted, and what the run removed.
std::map<std::string, size_t> HideoutFindings(const std::vector<std::string> &log)
{
  std::map<std::string, size_t> found;
  const std::string head = "Hideout folder ", mid = " is present; entries to remove: ";
  for (const std::string &l : log)
    if (l.compare(0, head.size(), head) == 0) {
      size_t at = l.find(mid);
      // LocalSystem's folder taken twice: the run's first pass empties it.
      found.emplace(l.substr(head.size(), at - head.size()), std::stoul(l.substr(at + mid.size())));
    }
  return found;
}

std::map<std::string, size_t> HideoutRemovals(const std::vector<std::string> &log)
{
  std::map<std::string, size_t> removed;
  std::string folder;
  for (const std::string &l : log) {
    const std::string perm = "Changing file permissions on file ", success = "... success";
    if (l.compare(0, perm.size(), perm) == 0 && l.size() > perm.size() + success.size() &&
        l.compare(l.size() - success.size(), success.size(), success) == 0) {
      std::string path = l.substr(perm.size(), l.size() - perm.size() - success.size());
      if (path.size() > 33 && path.compare(path.size() - 33, 33, kBotId) == 0) {
        folder = path;
        removed[folder] += 0;
      }
    }
    if ((l.compare(0, 14, "Removing file ") == 0 || l.compare(0, 19, "Removing directory ") == 0) && !folder.empty())
      removed[folder]++;
  }
  return removed;
}

std::vector<std::string> ScenarioNames()
{
  std::vector<std::string> names;
  DIR *dir = opendir((std::string(SOURCE_DIR) + "/scenarios").c_str());
  for (dirent *e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
    std::string n = e->d_name;
    if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0)
      names.push_back(n);
  }
  if (dir != nullptr)
    closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// For every shipped scenario, the scan of its first run's machine and that
// run made for real (-noreboot, the question answered 'n') take one road:
// each finding is a change of the run and each change a finding.
TEST_F(UnattendedTest, ScanFindsWhatTheRunChanges)
{
  size_t compared = 0;
  for (const std::string &name : ScenarioNames()) {
    SCOPED_TRACE(name);
    std::string json = ReadScenario(name);
    // Faults counted by call would strike other calls in a scan.
    if (json.find("\"faults\"") != std::string::npos)
      continue;
    sim::Scenario scenario;
    std::string error;
    FreshMachine();
    ASSERT_TRUE(sim::LoadScenario(json, &scenario, &error)) << error;
    ASSERT_FALSE(scenario.runs.empty());
    std::vector<std::string> args = scenario.runs[0].args;
    if (!args.empty() && args != std::vector<std::string>{"-r"})
      continue;

    std::vector<std::string> scanArgs = args, runArgs = args;
    scanArgs.push_back("-scan");
    runArgs.push_back("-noreboot");
    sim::Snapshot before = sim::TakeSnapshot();
    int scanExit = RunCleanerWith(scanArgs, "");
    if (scanExit == 1)
      continue;
    std::vector<std::string> scan = Section();
    // Nothing changed but the log.
    for (const std::string &d : sim::Differences(before, sim::TakeSnapshot()))
      EXPECT_NE(std::string::npos, d.find("\\DU Vizodav")) << d;
    for (const std::string &d : sim::Differences(before, sim::TakeSnapshot()))
      EXPECT_EQ(std::string::npos, d.find("TarvoskFix-undo.reg")) << d;
    EXPECT_TRUE(sim::M().pendingRenames.empty());
    EXPECT_TRUE(sim::M().reboots.empty());
    EXPECT_EQ(0, sim::M().keysRead);
    for (const std::string &l : scan) {
      EXPECT_EQ(std::string::npos, l.find("... success")) << l;
      EXPECT_EQ(0u, Count({l}, "Removing ") + Count({l}, "Writing value") + Count({l}, "Updating value") +
                        Count({l}, "Successfully") + Count({l}, "Making backup") + Count({l}, "Creating "))
          << l;
    }

    FreshMachine();
    ASSERT_TRUE(sim::LoadScenario(json, &scenario, &error)) << error;
    std::set<std::string> comFound = ComFindings(scan);
    before = sim::TakeSnapshot();
    int runExit = RunCleanerWith(runArgs, args.empty() ? "n" : "");
    std::vector<std::string> run = Section();
    if (args.empty()) {
      EXPECT_EQ(comFound, RegistryChanges(sim::Differences(before, sim::TakeSnapshot())));
    }

    // A subject the dataset names twice is a change only the first time the
    // run writes it; a scan, changing nothing, finds it each time.
    RestoreSubjects found = ScanSubjects(scan), changed = RunSubjects(run);
    EXPECT_EQ(found.keys, changed.keys);
    EXPECT_EQ(found.values, changed.values);
    EXPECT_EQ(found.descriptors, changed.descriptors);
    for (const char *kind : {"services.exe replacements", "restore-run registrations"})
      EXPECT_EQ(Count(scan, "Scan findings:", kind), Count(run, "Changes made:", kind)) << kind;
    EXPECT_EQ(HideoutFindings(scan), HideoutRemovals(run));
    EXPECT_EQ(Count(scan, "services.exe would be replaced"), Count(run, "Restored services.exe successfully"));
    bool runChanged = runExit != RUN_EXIT_NOTHING_FOUND;
    EXPECT_EQ(runChanged ? RUN_EXIT_SCAN_FOUND : RUN_EXIT_NOTHING_FOUND, scanExit) << "run's exit code " << runExit;
    compared++;
  }
  EXPECT_GT(compared, 20u);
}

// Run as LocalSystem (a startup script, a deployment agent) or as another
// administrator, the removal empties the infected user's hideout as well,
// and every other account's, in ordinal order of the SID; a junction in
// place of an account folder is not followed.
TEST_F(UnattendedTest, EveryAccountsHideoutIsEmptied)
{
  const char *const runners[] = {"S-1-5-18", "S-1-5-21-1004336348-1177238915-682003330-500"};
  const std::string bin = "C:\\$Recycle.Bin\\";
  const std::string other2 = "S-1-5-21-1004336348-1177238915-682003330-1002";
  const std::string other3 = "S-1-5-21-1004336348-1177238915-682003330-1003";
  for (const char *runner : runners) {
    SCOPED_TRACE(runner);
    Load("win7-x64-infected.json");
    sim::M().userSid = runner;
    sim::MakeDir(bin + runner);
    sim::MakeFile(bin + other3 + "\\" + kBotId + "\\a.bin", "x");
    sim::MakeFile(bin + other2 + "\\" + kBotId + "\\sub\\b.bin", "x");
    sim::MakeFile("C:\\Decoy\\" + std::string(kBotId) + "\\keep.txt", "keep");
    sim::FsNode &junction = sim::MakeDir(bin + "S-1-5-21-9-9-9-1004");
    junction.reparseTarget = "C:\\Decoy";
    junction.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;

    EXPECT_EQ(ERROR_SUCCESS_REBOOT_REQUIRED, RunCleanerWith({"-quiet", "-noreboot"}, ""));
    for (const std::string &account : {std::string(kInfectedUser), other2, other3, std::string("S-1-5-18")}) {
      std::string folder = bin + account + "\\" + kBotId;
      EXPECT_TRUE(sim::Exists(folder)) << folder;
      EXPECT_TRUE(sim::ChildrenOf(folder).empty()) << folder;
    }
    EXPECT_TRUE(sim::Exists("C:\\Decoy\\" + std::string(kBotId) + "\\keep.txt"));

    // The hideout folders' own lines, in the order they were taken.
    std::vector<std::string> order;
    const std::string perm = "Changing file permissions on file \\\\?\\C:\\$Recycle.Bin\\";
    for (const std::string &l : Section())
      if (l.compare(0, perm.size(), perm) == 0 && l.find(std::string(kBotId) + "... ") != std::string::npos &&
          l.find(std::string(kBotId) + "\\") == std::string::npos)
        order.push_back(l.substr(perm.size(), l.find('\\', perm.size()) - perm.size()));
    std::vector<std::string> expected = {runner, "S-1-5-18", kInfectedUser, other2, other3};
    if (std::string(runner) == "S-1-5-18")
      expected = {"S-1-5-18", "S-1-5-18", kInfectedUser, other2, other3};
    EXPECT_EQ(expected, order);
  }
}

}  // namespace
