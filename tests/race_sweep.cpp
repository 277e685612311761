#include "race_sweep.h"

#include <algorithm>
#include <functional>
#include <map>

#include "cleaner.h"
#include "security.h"
#include "sim.h"
#include "test_support.h"

namespace {

// The worked example's volume: 2012-06-01 00:00:00 UTC.
const uint64_t kJune2012 = 0x01CD3F897CC58000ull;
const char *const kBotId = "$dd614f2ed03f70d242d5ededb36097d0";
const char *const kProtectedSddl = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

struct Layout {
  std::string bin, user, system, sys32, desktop;
  DWORD osCode;
};

enum class Move { RenameForJunction, MountPointInPlace, HardLinkForFile, DirectoryForFile };
const Move kMoves[] = {Move::RenameForJunction, Move::MountPointInPlace, Move::HardLinkForFile,
                       Move::DirectoryForFile};

const char *MoveName(Move m)
{
  switch (m) {
  case Move::RenameForJunction:
    return "subfolder renamed, junction to system32 in its place";
  case Move::MountPointInPlace:
    return "subfolder emptied and made a mount point of system32";
  case Move::HardLinkForFile:
    return "file swapped for a hard link to a system file";
  case Move::DirectoryForFile:
    return "file swapped for a directory (junction to system32)";
  }
  return "";
}

bool Under(const std::string &lowerPath, const std::string &folder)
{
  std::string f = sim::Lower(folder) + "\\";
  return lowerPath.compare(0, f.size(), f) == 0;
}

// System files named like the hideouts' entries, so that a walk sent into
// system32 by a junction finds names it has listed.
void BuildMachine(DWORD major, bool x64, Layout *l)
{
  sim::Reset();
  sim::InstallWindows(major, 1, VER_NT_WORKSTATION, x64);
  sim::Machine &m = sim::M();
  m.volumeCreationTime = kJune2012;
  l->bin = major < 6 ? "C:\\RECYCLER" : "C:\\$Recycle.Bin";
  l->user = l->bin + "\\" + m.userSid + "\\" + kBotId;
  l->system = l->bin + "\\S-1-5-18\\" + kBotId;
  l->sys32 = m.env["SYSTEMROOT"] + "\\system32";
  l->desktop = major < 6 ? kXpDesktop : kWin7Desktop;
  l->osCode = major < 6 ? 0x51 : 0x61;
  std::vector<uint8_t> guarded;
  sim::SddlToSelfRelative("O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", &guarded);
  for (const char *name : {"a.dll", "b.sys", "c.dat", "inner\\a.dll", "inner\\b.sys", "inner\\deep\\c.dat"}) {
    sim::FsNode &f = sim::MakeFile(l->sys32 + "\\" + name, std::string("system ") + name);
    f.securityDescriptor = guarded;
    if (name[0] == 'b')
      f.attributes |= FILE_ATTRIBUTE_READONLY;
  }
  sim::Node(l->sys32 + "\\inner")->securityDescriptor = guarded;
  for (const std::string &h : {l->user, l->system}) {
    sim::MakeFile(h + "\\a.dll", "payload");
    sim::MakeFile(h + "\\inner\\a.dll", "payload");
    sim::MakeFile(h + "\\inner\\b.sys", "payload").attributes |= FILE_ATTRIBUTE_READONLY;
    sim::MakeFile(h + "\\inner\\deep\\c.dat", "payload").attributes |=
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    sim::MakeDir(h + "\\empty");
  }
}

struct Seen {
  bool isDir;
  std::vector<uint8_t> data, sd;
  DWORD attributes;
  std::string reparse;
  bool operator==(const Seen &o) const
  {
    return isDir == o.isDir && data == o.data && sd == o.sd && attributes == o.attributes && reparse == o.reparse;
  }
};

// Everything but the two hideouts (their folders and what lies below) and
// the log folder.
std::map<std::string, Seen> Outside(const Layout &l)
{
  std::map<std::string, Seen> out;
  for (const auto &f : sim::M().files) {
    const std::string &p = f.first;
    if (p == sim::Lower(l.user) || p == sim::Lower(l.system) || Under(p, l.user) || Under(p, l.system) ||
        Under(p, l.desktop + "\\DU Vizodav") || p == sim::Lower(l.desktop + "\\DU Vizodav"))
      continue;
    const sim::FsNode &n = f.second;
    out[p] = Seen{n.isDir, n.data, n.securityDescriptor, n.attributes, n.reparseTarget};
  }
  return out;
}

std::vector<std::string> SubfoldersOf(const Layout &l)
{
  std::vector<std::string> out;
  for (const auto &f : sim::M().files)
    if ((Under(f.first, l.user) || Under(f.first, l.system)) && f.second.isDir && f.second.reparseTarget.empty())
      out.push_back(f.first);
  return out;
}

std::vector<std::string> FilesOf(const Layout &l)
{
  std::vector<std::string> out;
  for (const auto &f : sim::M().files)
    if ((Under(f.first, l.user) || Under(f.first, l.system)) && !f.second.isDir)
      out.push_back(f.first);
  return out;
}

// A standard user's open for DELETE (rename, delete): refused while the
// removal, or anyone, holds the name without delete sharing.
bool MayDelete(const std::string &path)
{
  return !sim::FileShareConflict(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

void RenameTree(const std::string &from, const std::string &to)
{
  auto &files = sim::M().files;
  std::string lowFrom = sim::Lower(from), lowTo = sim::Lower(to);
  std::vector<std::pair<std::string, sim::FsNode>> moved;
  for (auto it = files.begin(); it != files.end();) {
    if (it->first == lowFrom || it->first.compare(0, lowFrom.size() + 1, lowFrom + "\\") == 0) {
      moved.emplace_back(lowTo + it->first.substr(lowFrom.size()), it->second);
      it = files.erase(it);
    } else {
      ++it;
    }
  }
  for (auto &m : moved)
    files[m.first] = m.second;
  sim::Node(to)->name = to.substr(to.rfind('\\') + 1);
}

sim::FsNode &Junction(const std::string &path, const std::string &target)
{
  sim::FsNode &j = sim::MakeDir(path);
  j.reparseTarget = target;
  j.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return j;
}

// Makes the move on the target (a lower-case path); false when the platform
// refuses it to a standard user.
bool MakeMove(Move move, const std::string &target, const Layout &l, int serial)
{
  sim::FsNode *n = sim::Node(target);
  if (!n || !MayDelete(target))
    return false;
  std::string name = target.substr(target.rfind('\\') + 1);
  switch (move) {
  case Move::RenameForJunction: {
    RenameTree(target, sim::ParentOf(target) + "\\moved" + std::to_string(serial));
    Junction(target, l.sys32);
    return true;
  }
  case Move::MountPointInPlace: {
    std::vector<std::string> below;
    for (const auto &f : sim::M().files)
      if (f.first.compare(0, target.size() + 1, target + "\\") == 0)
        below.push_back(f.first);
    for (const std::string &b : below)
      if (!MayDelete(b))
        return false;
    for (const std::string &b : below)
      sim::RemoveNode(b);
    // Setting the reparse point needs no delete access.
    n->reparseTarget = l.sys32;
    n->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return true;
  }
  case Move::HardLinkForFile: {
    std::string system = l.sys32 + "\\" + name;
    if (!sim::Node(system))
      system = l.sys32 + "\\a.dll";
    sim::RemoveNode(target);
    sim::MakeHardLink(system, target);
    return true;
  }
  case Move::DirectoryForFile:
    sim::RemoveNode(target);
    Junction(target, l.sys32);
    return true;
  }
  return false;
}

size_t LineCount(const Layout &l) { return LastSection(l.desktop).size(); }

std::string Strip(const std::string &line, const std::string &prefix, const std::string &suffix)
{
  if (line.compare(0, prefix.size(), prefix) != 0 || line.size() < prefix.size() + suffix.size() ||
      line.compare(line.size() - suffix.size(), suffix.size(), suffix) != 0)
    return "";
  std::string path = line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
  return path.compare(0, 4, "\\\\?\\") == 0 ? path.substr(4) : path;
}

// The two promises, for a run whose move (if any) came when the log held
// linesAtMove lines of this section.
void Check(const Layout &l, const std::map<std::string, Seen> &before, size_t linesAtMove,
           const std::string &what, RaceSummary *s)
{
  std::vector<std::string> bad;
  std::map<std::string, Seen> after = Outside(l);
  for (const auto &b : before) {
    auto a = after.find(b.first);
    if (a == after.end())
      bad.push_back("removed outside the hideouts: " + b.first);
    else if (!(a->second == b.second))
      bad.push_back("changed outside the hideouts: " + b.first);
  }
  for (const auto &a : after)
    if (!before.count(a.first))
      bad.push_back("created outside the hideouts: " + a.first);
  std::vector<uint8_t> protectedSd;
  sim::SddlToSelfRelative(kProtectedSddl, &protectedSd);
  std::vector<std::string> lines = LastSection(l.desktop);
  for (size_t i = 0; i < lines.size(); i++) {
    // A later move may undo what a line told; only lines after it are held.
    if (i < linesAtMove)
      continue;
    std::string removed = Strip(lines[i], "Removing file ", "... success");
    if (removed.empty())
      removed = Strip(lines[i], "Removing directory ", "... success");
    if (!removed.empty() && sim::Node(removed))
      bad.push_back("success told, still there: " + lines[i]);
    std::string opened = Strip(lines[i], "Changing file permissions on file ", "... success");
    if (!opened.empty() && sim::Node(opened)) {
      sim::SecurityDescriptor got, want;
      const std::vector<uint8_t> &sd = sim::Node(opened)->securityDescriptor;
      sim::ParseSecurityDescriptor(protectedSd.data(), protectedSd.size(), &want);
      if (!sim::ParseSecurityDescriptor(sd.data(), sd.size(), &got) || got.dacl.size() != want.dacl.size())
        bad.push_back("success told, DACL not there: " + lines[i]);
    }
  }
  if (bad.empty())
    return;
  s->failures++;
  bool outside = false;
  for (const std::string &b : bad) {
    if (s->messages.size() < 20)
      s->messages.push_back(what + ": " + b);
    if (b.find("outside the hideouts") == std::string::npos)
      continue;
    outside = true;
    if (s->outsideMessages.size() < 20)
      s->outsideMessages.push_back(what + ": " + b);
  }
  s->outsideFailures += outside;
}

int RunWalk(RaceWalk walk) { return walk == RaceWalk::Current ? RemoveMalwareFiles() : PreviousRemoveMalwareFiles(); }

// One run of the removal on the kept machine; act is called before each
// call of the removal with its number (1-based) and name.
void RunOnce(const sim::Machine &base, const Layout &l, RaceWalk walk,
             const std::function<void(int, const std::string &)> &act)
{
  sim::RestoreMachine(base);
  OpenCleanerLog(l.osCode);
  int calls = 0;
  sim::M().onEnter = [&](const std::string &function) { act(++calls, function); };
  RunWalk(walk);
  sim::M().onEnter = nullptr;
  CloseCleanerLog();
}

}  // namespace

RaceSummary RaceSweep(DWORD major, bool x64, RaceWalk walk, bool whole)
{
  RaceSummary s;
  Layout l;
  BuildMachine(major, x64, &l);
  // Redirection stays on: the run sequence's library preload is not made
  // here, and the removal's names lie outside system32 (a junction's target
  // is never redirected).
  const sim::Machine base = sim::M();

  // Before the run: the S-1-5-18 folder as a junction into the object
  // namespace, and the hideout folder as a junction to system32.
  const struct {
    const char *what;
    std::function<void()> arrange;
  } statics[] = {
      {"S-1-5-18 pre-created as a junction to an object-manager directory",
       [&] {
         std::string account = l.bin + "\\S-1-5-18";
         std::vector<std::string> gone;
         for (const auto &f : sim::M().files)
           if (f.first == sim::Lower(account) || Under(f.first, account))
             gone.push_back(f.first);
         for (const std::string &g : gone)
           sim::RemoveNode(g);
         Junction(account, "\\RPC Control");
         sim::M().objectLinks[sim::Lower(std::string("\\RPC Control\\") + kBotId)] = l.sys32 + "\\inner";
       }},
      {"hideout folder pre-created as a junction to system32",
       [&] {
         std::vector<std::string> gone;
         for (const auto &f : sim::M().files)
           if (f.first == sim::Lower(l.user) || Under(f.first, l.user))
             gone.push_back(f.first);
         for (const std::string &g : gone)
           sim::RemoveNode(g);
         Junction(l.user, l.sys32 + "\\inner");
       }},
  };
  for (const auto &st : statics) {
    sim::RestoreMachine(base);
    st.arrange();
    const sim::Machine arranged = sim::M();
    std::map<std::string, Seen> before = Outside(l);
    RunOnce(arranged, l, walk, [](int, const std::string &) {});
    s.runs++;
    s.movesMade++;
    Check(l, before, 0, st.what, &s);
  }

  // The calls of an undisturbed run.
  std::vector<std::string> functions;
  RunOnce(base, l, walk, [&](int, const std::string &f) { functions.push_back(f); });
  s.boundaries = functions.size();

  sim::RestoreMachine(base);
  const std::vector<std::string> folders = SubfoldersOf(l), files = FilesOf(l);
  const std::map<std::string, Seen> before = Outside(l);
  for (size_t k = 1; k <= functions.size(); k++) {
    for (Move move : kMoves) {
      const std::vector<std::string> &targets =
          move == Move::RenameForJunction || move == Move::MountPointInPlace ? folders : files;
      size_t first = whole ? 0 : k % targets.size(), last = whole ? targets.size() : first + 1;
      for (size_t t = first; t < last; t++) {
        bool made = false;
        size_t linesAtMove = 0;
        RunOnce(base, l, walk, [&](int call, const std::string &) {
          if ((size_t)call != k)
            return;
          linesAtMove = LineCount(l);
          made = MakeMove(move, targets[t], l, (int)k);
        });
        s.runs++;
        s.movesMade += made;
        Check(l, before, made ? linesAtMove : 0,
              "before call " + std::to_string(k) + " (" + functions[k - 1] + "), " + MoveName(move) + " at " +
                  targets[t],
              &s);
      }
    }
  }
  return s;
}
