// repair_verdicts: the host counterpart of repair_driver. It copies a
// fixture folder of real files onto a simulated Windows 7 machine and runs
// the same checks there, printing the same lines.
//   repair_verdicts FIXTURE_DIR COMMAND [ARGS] ...   (see tools/repair_checks.h)
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "cleaner.h"
#include "repair_checks.h"
#include "sim.h"

static const char *const kRoot = "C:\\fixture";
static const char *const kLog = "C:\\Users\\Public\\Desktop\\DU Vizodav\\TarvoskFix.log";

static bool Import(const std::filesystem::path &dir)
{
  std::error_code ec;
  sim::MakeDir(kRoot);
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string relative = std::filesystem::relative(it->path(), dir).generic_string();
    for (char &c : relative)
      if (c == '/')
        c = '\\';
    std::string target = std::string(kRoot) + "\\" + relative;
    if (it->is_directory()) {
      sim::MakeDir(target);
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      sim::MakeFile(target, data);
    }
  }
  return !ec;
}

// The log's lines past the first `done` of them, without the header.
static std::vector<std::string> LogLines()
{
  std::string text = sim::FileText(kLog);
  std::vector<std::string> lines;
  size_t start = 0, end;
  while ((end = text.find("\r\n", start)) != std::string::npos) {
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines.size() > 2 ? std::vector<std::string>(lines.begin() + 2, lines.end()) : std::vector<std::string>();
}

int main(int argc, char **argv)
{
  if (argc < 2) {
    std::cerr << "usage: repair_verdicts FIXTURE_DIR COMMAND [ARGS] ...\n";
    return 2;
  }
  sim::Reset();
  sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
  if (!Import(argv[1])) {
    std::cerr << "repair_verdicts: cannot read " << argv[1] << "\n";
    return 2;
  }
  if (!OpenCleanerLog(0x61)) {
    std::cerr << "repair_verdicts: no log\n";
    return 2;
  }
  size_t logShown = 0, consoleShown = sim::M().console.size();
  int at = 2;
  while (at < argc) {
    int used = RunRepairCheck(kRoot, argc, argv, at);
    if (used == 0) {
      std::cerr << "repair_verdicts: bad command at " << argv[at] << "\n";
      CloseCleanerLog();
      return 2;
    }
    at += used;
    // As the driver prints them: the log lines of the command, then its verdict.
    std::vector<std::string> log = LogLines();
    for (; logShown < log.size(); logShown++)
      std::cout << log[logShown] << "\n";
    std::cout << sim::M().console.substr(consoleShown);
    consoleShown = sim::M().console.size();
  }
  CloseCleanerLog();
  return 0;
}
