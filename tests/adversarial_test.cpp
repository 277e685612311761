// Adversarial machines: hideouts too large, too deep or too long for the
// walk's buffers, links out of the hideouts, names the code page cannot hold,
// a registry that refuses every dataset key, a crowded component store, a
// services.exe of exactly one header block, and a log folder on read-only
// media. Each whole run ends normally, changes nothing outside what the
// cleaner may change (the fault sweep's invariants), and logs what happened.
#include <map>

#include "fault_sweep.h"
#include "pe_support.h"
#include "security.h"
#include "test_support.h"

namespace {

const std::string kBotId = "$dd614f2ed03f70d242d5ededb36097d0";
const std::string kUserSid = "S-1-5-21-1004336348-1177238915-682003330-1001";
const std::string kUserHideout = "C:\\$Recycle.Bin\\" + kUserSid + "\\" + kBotId;
const std::string kSystemHideout = "C:\\$Recycle.Bin\\S-1-5-18\\" + kBotId;
const std::string kInstalled = "C:\\Windows\\system32\\services.exe";

// Small machines built on in code: 64-bit Windows 7, one normal run answered
// 'n', with a clean or a patched services.exe; and the restore run alone.
const char *const kWin7Clean = R"({"windows": {"major": 6, "minor": 1, "productType": 1, "wow64": true},
  "volume": {"creationTime": "2012-06-01T00:00:00"},
  "files": [{"path": "C:\\Windows\\system32\\services.exe", "pe": {}}],
  "runs": [{"args": [], "keys": "nk"}]})";
const char *const kWin7Infected = R"({"windows": {"major": 6, "minor": 1, "productType": 1, "wow64": true},
  "volume": {"creationTime": "2012-06-01T00:00:00"},
  "files": [{"path": "C:\\Windows\\system32\\services.exe", "pe": {"dynamicBase": false}},
            {"path": "C:\\$Recycle.Bin\\S-1-5-18\\$dd614f2ed03f70d242d5ededb36097d0\\svc.dat", "size": 128}],
  "runs": [{"args": [], "keys": "nk"}]})";
const char *const kWin7Restore = R"({"windows": {"major": 6, "minor": 1, "productType": 1, "wow64": true},
  "runs": [{"args": ["-r"], "keys": "k"}]})";
const char *const kXpRestore = R"({"windows": {"major": 5, "minor": 1, "productType": 1, "wow64": false},
  "runs": [{"args": ["-r"], "keys": "k"}]})";



bool StartsWith(const std::string &s, const std::string &p) { return s.compare(0, p.size(), p) == 0; }
bool EndsWith(const std::string &s, const std::string &p)
{
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

std::string Permissions(const std::string &path, bool ok)
{
  return "Changing file permissions on file \\\\?\\" + path + (ok ? "... success" : "... failure");
}
std::string FileRemoval(const std::string &path, bool ok)
{
  return "Removing file \\\\?\\" + path + (ok ? "... success" : "... failed");
}
std::string FolderRemoval(const std::string &path, bool ok)
{
  return "Removing directory \\\\?\\" + path + (ok ? "... success" : "... failed");
}

size_t Count(const std::vector<std::string> &lines, const std::string &prefix, const std::string &suffix)
{
  size_t n = 0;
  for (const std::string &l : lines)
    n += StartsWith(l, prefix) && EndsWith(l, suffix);
  return n;
}

class AdversarialTest : public SimTest {
protected:
  // Runs the scenario on its machine as extend leaves it, and holds the
  // outcome to the invariants of the fault sweep.
  SweepOutcome Run(const std::string &json, const std::function<void()> &extend = nullptr)
  {
    SweepOutcome o;
    std::string error;
    EXPECT_TRUE(RunScenario(json, extend, &o, &error)) << error;
    for (const std::string &bad : CheckInvariants(o, nullptr))
      ADD_FAILURE() << bad;
    return o;
  }
  // The lines of the first run's log section after its two header lines.
  static std::vector<std::string> Log(const SweepOutcome &o, size_t run = 0)
  {
    if (o.runs.size() <= run)
      return {};
    std::vector<std::string> lines = CrLfLines(o.runs[run].log);
    return lines.size() < 2 ? lines : std::vector<std::string>(lines.begin() + 2, lines.end());
  }
  // The log without the COM repair's lines (its classes are not registered here).
  static std::vector<std::string> WithoutComRepair(const std::vector<std::string> &lines)
  {
    std::vector<std::string> out;
    for (const std::string &l : lines)
      if (!StartsWith(l, "Failed to open registry key "))
        out.push_back(l);
    return out;
  }
  static bool NothingElseChanged(const SweepOutcome &o) { return sim::Differences(o.before, o.after).empty(); }
};

// 5,000 entries: a chain of 40 folders, each holding 124 files, all
// within MAX_PATH, so that every one of them is reached and removed, each
// folder after its content.
TEST_F(AdversarialTest, HideoutOfFiveThousandEntriesFortyDeep)
{
  const int depth = 40, filesPerFolder = 124;
  std::vector<std::string> folders;
  SweepOutcome o = Run(kWin7Clean, [&] {
    std::string folder = kUserHideout;
    for (int level = 0; level < depth; level++) {
      folder += "\\d";
      folders.push_back(folder);
      for (int i = 0; i < filesPerFolder; i++) {
        char name[16];
        snprintf(name, sizeof(name), "\\f%03d", i);
        sim::MakeFile(folder + name, "m");
      }
    }
    sim::MakeDir(kSystemHideout);
  });
  ASSERT_EQ(5000, depth * (filesPerFolder + 1));
  std::vector<std::string> log = WithoutComRepair(Log(o));
  EXPECT_EQ(4960u, Count(log, "Removing file ", "... success"));
  EXPECT_EQ(40u, Count(log, "Removing directory ", "... success"));
  EXPECT_EQ(0u, Count(log, "", "... failed") + Count(log, "", "... failure") + Count(log, "Skipping", ""));
  EXPECT_TRUE(sim::ChildrenOf(kUserHideout).empty());
  EXPECT_EQ("Cleaning finished", log.back());

  // Every removal line directly follows its own permissions line, and a
  // folder goes after everything below it (the deepest first).
  std::map<std::string, size_t> removedAt;
  for (size_t i = 0; i < log.size(); i++) {
    for (const char *what : {"Removing file \\\\?\\", "Removing directory \\\\?\\"}) {
      if (!StartsWith(log[i], what))
        continue;
      std::string path = log[i].substr(strlen(what), log[i].size() - strlen(what) - 11);
      removedAt[path] = i;
      EXPECT_EQ(Permissions(path, true), log[i - 1]);
    }
  }
  for (const std::string &folder : folders) {
    ASSERT_TRUE(removedAt.count(folder)) << folder;
    for (auto it = removedAt.upper_bound(folder + "\\"); it != removedAt.end() && StartsWith(it->first, folder + "\\");
         ++it)
      ASSERT_LT(it->second, removedAt[folder]) << it->first;
  }
}

// Folders of 60-character names, 17 deep: past the third level the paths
// exceed MAX_PATH, past the fifteenth 1,024 characters. What lies beyond
// MAX_PATH is never visited under a shortened path: the entry is named in a
// line, it and its folder stay, and every line fits the log's buffer.
TEST_F(AdversarialTest, EntriesPastMaxPathAndPastTheWalkBuffer)
{
  const std::string segment(60, 'a');
  const std::string longName(255, 'n');
  std::vector<std::string> folders;
  SweepOutcome o = Run(kWin7Clean, [&] {
    std::string folder = kUserHideout;
    for (int level = 0; level < 17; level++) {
      folder += "\\" + segment;
      folders.push_back(folder);
      sim::MakeFile(folder + "\\f.dll", "m");
    }
    sim::MakeFile(kUserHideout + "\\" + longName, "m");
    sim::MakeDir(kSystemHideout);
  });
  ASSERT_GT(folders[2].size() + 4, (size_t)MAX_PATH);
  ASSERT_GT(folders[16].size(), 1024u);
  ASSERT_LT(folders[1].size() + 4 + 6, (size_t)MAX_PATH);

  std::vector<std::string> log = WithoutComRepair(Log(o));
  std::string skipDeep = "Skipping entry with too long path in \\\\?\\" + folders[1] + ": " + segment;
  std::string skipLong = "Skipping entry with too long path in \\\\?\\" + kUserHideout + ": " + longName;
  std::vector<std::string> expected = {
      "Detected post-Vista 64 bit windows system",
      "services.exe appears to be clean",
      "Attempting to remove malware files...",
      Permissions(kUserHideout, true),
      skipDeep.substr(0, 511),
      Permissions(folders[1] + "\\f.dll", true),
      FileRemoval(folders[1] + "\\f.dll", true),
      Permissions(folders[1], true),
      FolderRemoval(folders[1], false),
      Permissions(folders[0] + "\\f.dll", true),
      FileRemoval(folders[0] + "\\f.dll", true),
      Permissions(folders[0], true),
      FolderRemoval(folders[0], false),
      skipLong.substr(0, 511),
      Permissions(kSystemHideout, true),
      "Cleaning finished"};
  EXPECT_EQ(expected, log);
  for (const std::string &l : log)
    EXPECT_LE(l.size(), 511u);
  for (size_t level = 2; level < folders.size(); level++) {
    SCOPED_TRACE(level);
    ASSERT_TRUE(sim::Exists(folders[level] + "\\f.dll"));
    EXPECT_TRUE(sim::Node(folders[level] + "\\f.dll")->securityDescriptor.empty());
    EXPECT_TRUE(sim::Node(folders[level])->securityDescriptor.empty());
  }
  EXPECT_TRUE(sim::Exists(kUserHideout + "\\" + longName));
}

// Junctions and directory links to C:\Windows and system32, to the other
// hideout, and to the hideout's parent and the recycle bin, and a hideout
// folder that is itself a junction to the user's documents: each link is
// opened up and removed as itself, never entered; nothing it points to is
// listed, opened up or removed.
TEST_F(AdversarialTest, LinksOutOfTheHideouts)
{
  SweepOutcome o = Run(ReadScenario("adversarial-links.json"));
  std::vector<std::string> log = WithoutComRepair(Log(o));
  const std::string u = kUserHideout, s = kSystemHideout;
  std::vector<std::string> expected = {"Detected post-Vista 64 bit windows system",
                                       "services.exe appears to be clean",
                                       "Attempting to remove malware files...",
                                       Permissions(u, true),
                                       Permissions(u + "\\other", true),
                                       FolderRemoval(u + "\\other", true),
                                       Permissions(u + "\\payload.dll", true),
                                       FileRemoval(u + "\\payload.dll", true),
                                       Permissions(u + "\\sub\\bin", true),
                                       FolderRemoval(u + "\\sub\\bin", true),
                                       Permissions(u + "\\sub\\m.dll", true),
                                       FileRemoval(u + "\\sub\\m.dll", true),
                                       Permissions(u + "\\sub\\system32", true),
                                       FolderRemoval(u + "\\sub\\system32", true),
                                       Permissions(u + "\\sub", true),
                                       FolderRemoval(u + "\\sub", true),
                                       Permissions(u + "\\up", true),
                                       FolderRemoval(u + "\\up", true),
                                       Permissions(u + "\\windows", true),
                                       FolderRemoval(u + "\\windows", true),
                                       "Skipping hideout folder that is a reparse point: \\\\?\\" + s,
                                       "Cleaning finished"};
  EXPECT_EQ(expected, log);
  EXPECT_TRUE(sim::ChildrenOf(u).empty());
  // The targets keep their content and have no descriptor of their own.
  for (const char *kept : {"C:\\Windows", "C:\\Windows\\notepad.exe", "C:\\Windows\\system32",
                           "C:\\Windows\\system32\\services.exe", "C:\\Windows\\system32\\drivers\\etc\\hosts",
                           "C:\\$Recycle.Bin", "C:\\$Recycle.Bin\\S-1-5-18", "C:\\Users\\Administrator\\Documents",
                           "C:\\Users\\Administrator\\Documents\\report.doc",
                           "C:\\Users\\Administrator\\Documents\\Drafts\\plan.txt"}) {
    SCOPED_TRACE(kept);
    ASSERT_TRUE(sim::Exists(kept));
    EXPECT_TRUE(sim::Node(kept)->securityDescriptor.empty());
  }
  EXPECT_TRUE(sim::Node("C:\\$Recycle.Bin\\" + kUserSid)->securityDescriptor.empty());
  EXPECT_EQ("127.0.0.1 localhost", sim::FileText("C:\\Windows\\system32\\drivers\\etc\\hosts"));
}

// Hard links in the user's hideout to system files and to the user's own
// document, and two names of one file there: a file of more than one name
// keeps its descriptor, and only its name in the hideout is removed when the
// rights allow (a read-only file's is not); the other names keep their
// content, attributes and descriptor. Once one of the two hideout names is
// gone the other is a file of one name, opened up and removed as usual.
TEST_F(AdversarialTest, HardLinksOutOfTheHideouts)
{
  std::vector<uint8_t> hostsBefore, sethcBefore;
  SweepOutcome o = Run(ReadScenario("adversarial-hard-links.json"), [&] {
    hostsBefore = sim::Node("C:\\Windows\\system32\\drivers\\etc\\hosts")->securityDescriptor;
    sethcBefore = sim::Node("C:\\Windows\\system32\\sethc.exe")->securityDescriptor;
  });
  std::vector<std::string> log = WithoutComRepair(Log(o));
  const std::string u = kUserHideout, s = kSystemHideout;
  std::vector<std::string> expected = {"Detected post-Vista 64 bit windows system",
                                       "services.exe appears to be clean",
                                       "Attempting to remove malware files...",
                                       Permissions(u, true),
                                       Permissions(u + "\\b.bin", false),
                                       FileRemoval(u + "\\b.bin", true),
                                       Permissions(u + "\\hosts", false),
                                       FileRemoval(u + "\\hosts", true),
                                       Permissions(u + "\\payload.dll", true),
                                       FileRemoval(u + "\\payload.dll", true),
                                       Permissions(u + "\\report.doc", false),
                                       FileRemoval(u + "\\report.doc", true),
                                       Permissions(u + "\\sub\\sethc.exe", false),
                                       FileRemoval(u + "\\sub\\sethc.exe", false),
                                       Permissions(u + "\\sub", true),
                                       FolderRemoval(u + "\\sub", false),
                                       Permissions(u + "\\twin\\a.bin", true),
                                       FileRemoval(u + "\\twin\\a.bin", true),
                                       Permissions(u + "\\twin", true),
                                       FolderRemoval(u + "\\twin", true),
                                       Permissions(s, true),
                                       Permissions(s + "\\svc.dat", true),
                                       FileRemoval(s + "\\svc.dat", true),
                                       "Cleaning finished"};
  EXPECT_EQ(expected, log);
  EXPECT_EQ("127.0.0.1 localhost", sim::FileText("C:\\Windows\\system32\\drivers\\etc\\hosts"));
  EXPECT_EQ(hostsBefore, sim::Node("C:\\Windows\\system32\\drivers\\etc\\hosts")->securityDescriptor);
  EXPECT_EQ(sethcBefore, sim::Node("C:\\Windows\\system32\\sethc.exe")->securityDescriptor);
  EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM),
            sim::Node("C:\\Windows\\system32\\sethc.exe")->attributes);
  EXPECT_EQ("the user's own work", sim::FileText("C:\\Users\\Administrator\\Documents\\report.doc"));
  EXPECT_TRUE(sim::Node("C:\\Users\\Administrator\\Documents\\report.doc")->securityDescriptor.empty());
  EXPECT_EQ(1u, sim::LinkCount(*sim::Node("C:\\Windows\\system32\\drivers\\etc\\hosts")));
  EXPECT_EQ(2u, sim::LinkCount(*sim::Node("C:\\Windows\\system32\\sethc.exe")));
}

// Names outside code page 1252 are removed through the wide calls like any
// other; their lines are written with each character the code page cannot
// map as '?', and those it can map (é, €) as their code page bytes.
TEST_F(AdversarialTest, NamesOutsideTheAnsiCodePage)
{
  SweepOutcome o = Run(ReadScenario("adversarial-non-ansi-names.json"));
  std::vector<std::string> log = WithoutComRepair(Log(o));
  const std::string u = kUserHideout, s = kSystemHideout;
  std::vector<std::string> expected = {"Detected post-Vista 64 bit windows system",
                                       "services.exe appears to be clean",
                                       "Attempting to remove malware files...",
                                       Permissions(u, true),
                                       Permissions(u + "\\caf\xE9 \x80.txt", true),
                                       FileRemoval(u + "\\caf\xE9 \x80.txt", true),
                                       Permissions(u + "\\?????.dll", true),
                                       FileRemoval(u + "\\?????.dll", true),
                                       Permissions(u + "\\??????\\????.bin", true),
                                       FileRemoval(u + "\\??????\\????.bin", true),
                                       Permissions(u + "\\??????", true),
                                       FolderRemoval(u + "\\??????", true),
                                       Permissions(u + "\\??.exe", true),
                                       FileRemoval(u + "\\??.exe", true),
                                       Permissions(s, true),
                                       Permissions(s + "\\??????.dat", true),
                                       FileRemoval(s + "\\??????.dat", true),
                                       "Cleaning finished"};
  EXPECT_EQ(expected, log);
  EXPECT_TRUE(sim::ChildrenOf(u).empty());
  EXPECT_TRUE(sim::ChildrenOf(s).empty());
}

// Every key of the edition's set refuses the cleaner, or cannot be created:
// each record logs its failed key line, and the registry stays as it was.
TEST_F(AdversarialTest, RegistryThatRefusesEveryDatasetKey)
{
  enum Refusal { DenyEveryone, DenyAdministrators, NoCreateBelowServices };
  struct {
    const char *what;
    const char *json;
    DWORD set;
    const char *detected;
    const char *edition;
    Refusal refusal;
  } cases[] = {
      {"Windows 7, keys deny Everyone", kWin7Restore, SET_WIN7, "Detected post-Vista 64 bit windows system",
       "Processing Windows 7 services restoration", DenyEveryone},
      {"Windows 7, keys deny Administrators", kWin7Restore, SET_WIN7, "Detected post-Vista 64 bit windows system",
       "Processing Windows 7 services restoration", DenyAdministrators},
      {"Windows 7, no key may be created", kWin7Restore, SET_WIN7, "Detected post-Vista 64 bit windows system",
       "Processing Windows 7 services restoration", NoCreateBelowServices},
      {"XP, keys deny Everyone", kXpRestore, SET_XP, "Detected pre-Vista 32 bit windows system",
       "Processing Windows XP services restoration", DenyEveryone},
  };
  const char *services = "HKLM\\System\\CurrentControlSet\\Services";
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    FreshMachine();
    std::vector<std::string> expected = {c.detected, c.edition};
    SweepOutcome o = Run(c.json, [&] {
      std::vector<uint8_t> deny;
      if (c.refusal == NoCreateBelowServices) {
        ASSERT_TRUE(sim::SddlToSelfRelative("O:SYG:SYD:P(D;;0x4;;;WD)(D;;0x4;;;BA)(A;;KA;;;WD)", &deny));
        sim::Key(services)->securityDescriptor = deny;
        return;
      }
      ASSERT_TRUE(sim::SddlToSelfRelative(c.refusal == DenyEveryone ? "O:SYG:SYD:P(D;;KA;;;WD)(A;;KA;;;SY)"
                                                                     : "O:SYG:SYD:P(D;;KA;;;BA)(A;;KA;;;WD)",
                                          &deny));
      for (DWORD r = 0; r < g_RestoreRecordCount; r++) {
        if (g_RestoreRecords[r].set != c.set)
          continue;
        sim::MakeKey("HKLM\\" + std::string(g_RestoreRecords[r].subKey)).securityDescriptor = deny;
        sim::SetDword("HKLM\\" + std::string(g_RestoreRecords[r].subKey), "Start", 4);
      }
    });
    for (DWORD r = 0; r < g_RestoreRecordCount; r++)
      if (g_RestoreRecords[r].set == c.set)
        expected.push_back("Creating HKLM\\" + std::string(g_RestoreRecords[r].subKey) + " - failed");
    expected.push_back("Cleaning finished");
    EXPECT_GT(expected.size(), 4u);
    EXPECT_EQ(expected, Log(o));
    // Only the log folder, the log and the undo file are new.
    EXPECT_EQ(3u, sim::Differences(o.before, o.after).size());
    for (const std::string &d : sim::Differences(o.before, o.after))
      EXPECT_TRUE(StartsWith(d, "added file C:\\Users\\Public\\Desktop\\DU Vizodav") ||
                  StartsWith(d, "added file C:\\Documents and Settings\\All Users\\Desktop\\DU Vizodav"))
          << d;
  }
}

// 2,000 entries match the component-store pattern: files, folders without a
// services.exe, folders whose services.exe is a folder, copies of other
// versions and patched copies of the installed version. The search goes
// through all of them to the one clean copy, or to none.
TEST_F(AdversarialTest, ComponentStoreOfTwoThousandMatchingEntries)
{
  const std::string store = "C:\\Windows\\winsxs\\";
  const std::string clean = store + "x86_microsoft-windows-services_31bf3856ad364e35_6.1.7601.17514_none_clean";
  for (bool withClean : {true, false}) {
    SCOPED_TRACE(withClean ? "the clean copy last" : "no clean copy");
    FreshMachine();
    size_t entries = 0;
    SweepOutcome o = Run(kWin7Infected, [&] {
      for (int i = 0; i < 1999 + !withClean; i++, entries++) {
        char name[96];
        snprintf(name, sizeof(name), "amd64_microsoft-windows-s%04d_31bf3856ad364e35_6.1.7601.%d_none", i, i);
        std::string folder = store + name;
        switch (i % 5) {
        case 0:
          sim::MakeFile(folder + ".manifest", "m");
          break;
        case 1:
          sim::MakeFile(folder + "\\services.exe", PeImage(true, true, "6.1.7601." + std::to_string(i)));
          break;
        case 2:
          sim::MakeFile(folder + "\\services.exe", PeImage(true, false, "6.1.7601.17514"));
          break;
        case 3:
          sim::MakeDir(folder + "\\services.exe");
          break;
        default:
          sim::MakeFile(folder + "\\other.dll", "o");
        }
      }
      if (withClean) {
        sim::MakeFile(clean + "\\services.exe", PeImage(false, true, "6.1.7601.17514"));
        entries++;
      }
    });
    EXPECT_EQ(2000u, entries);
    std::vector<std::string> log = WithoutComRepair(Log(o));
    std::vector<std::string> expected = {"Detected post-Vista 64 bit windows system",
                                         "services.exe appears to be infected",
                                         "Current infected services.exe version: 6.1.7601.17514"};
    if (withClean) {
      expected.insert(expected.end(), {"Located clean services exe: " + clean + "\\services.exe",
                                       "Making backup of current services.exe", "Restored services.exe successfully",
                                       "Attempting to remove malware files...", Permissions(kUserHideout, false),
                                       Permissions(kSystemHideout, true),
                                       Permissions(kSystemHideout + "\\svc.dat", true),
                                       FileRemoval(kSystemHideout + "\\svc.dat", true)});
    } else {
      expected.insert(expected.end(), {"Failed to locate clean services.exe", "Failed to restore services.exe"});
    }
    expected.push_back("Cleaning finished");
    EXPECT_EQ(expected, log);
    EXPECT_EQ(withClean ? 1u : 0u, o.after.files.count("C:\\Users\\Public\\Desktop\\DU Vizodav\\services.exe.infected"));
    ASSERT_EQ(withClean ? 1u : 0u, sim::M().pendingRenames.size());
    if (withClean) {
      EXPECT_EQ("\\??\\" + clean + "\\services.exe", sim::M().pendingRenames[0].from);
    }
    EXPECT_EQ(!withClean, sim::Exists(kSystemHideout + "\\svc.dat"));
  }
}

// A services.exe of exactly 4,096 bytes is judged clean without being read,
// even with a patched header: nothing is replaced and the removal runs.
TEST_F(AdversarialTest, ServicesExeOfExactlyOneHeaderBlock)
{
  SweepOutcome o = Run(ReadScenario("adversarial-services-4096.json"));
  std::vector<std::string> log = WithoutComRepair(Log(o));
  std::vector<std::string> expected = {"Detected post-Vista 64 bit windows system",
                                       "services.exe appears to be clean",
                                       "Attempting to remove malware files...",
                                       Permissions(kUserHideout, true),
                                       Permissions(kUserHideout + "\\n.dll", true),
                                       FileRemoval(kUserHideout + "\\n.dll", true),
                                       Permissions(kSystemHideout, true),
                                       Permissions(kSystemHideout + "\\svc.dat", true),
                                       FileRemoval(kSystemHideout + "\\svc.dat", true),
                                       "Cleaning finished"};
  EXPECT_EQ(expected, log);
  ASSERT_TRUE(sim::Exists(kInstalled));
  EXPECT_EQ(4096u, sim::Node(kInstalled)->data.size());
  EXPECT_TRUE(sim::M().pendingRenames.empty());
}

// The desktop on read-only media: the log folder cannot be made, or the log
// in it cannot be opened for appending. Each run stops with its console
// message and exit code 1 before any step, and nothing changes at all.
TEST_F(AdversarialTest, LogFolderOnReadOnlyMedia)
{
  for (const char *name : {"adversarial-read-only-desktop.json", "adversarial-read-only-log.json"}) {
    SCOPED_TRACE(name);
    FreshMachine();
    std::string oldLog;
    SweepOutcome o = Run(ReadScenario(name), [&] { oldLog = LogFileBytes(kWin7Desktop); });
    ASSERT_FALSE(o.runs.empty());
    for (const RunOutcome &r : o.runs) {
      EXPECT_EQ(1, r.exitCode);
      EXPECT_TRUE(EndsWith(r.console, "Failed to create log file. Terminating.\n")) << r.console;
      EXPECT_EQ("", r.log);
    }
    EXPECT_TRUE(NothingElseChanged(o));
    EXPECT_EQ(oldLog, LogFileBytes(kWin7Desktop));
    EXPECT_TRUE(sim::M().reboots.empty());
    EXPECT_EQ(0, sim::M().keysRead);
  }
}

}  // namespace
