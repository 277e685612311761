#include "test_support.h"

#include <fstream>
#include <sstream>

std::vector<std::string> CrLfLines(const std::string &text)
{
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size())
    lines.push_back(text.substr(start));
  return lines;
}

std::string ReadScenario(const std::string &name)
{
  std::ifstream in(std::string(SOURCE_DIR) + "/scenarios/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const char *const kWin7Desktop = "C:\\Users\\Public\\Desktop";
const char *const kXpDesktop = "C:\\Documents and Settings\\All Users\\Desktop";
const char *const kVistaDesktop = "C:\\ProgramData\\Desktop";

std::string Narrow(const WCHAR *text) { return sim::Utf16ToUtf8(text); }

std::vector<WCHAR> Wide(const std::string &text)
{
  std::u16string w = sim::Utf8ToUtf16(text);
  std::vector<WCHAR> out(w.begin(), w.end());
  out.push_back(0);
  return out;
}

int RunCleanerWith(const std::vector<std::string> &args, const std::string &keys)
{
  std::vector<std::vector<WCHAR>> storage;
  storage.push_back(Wide(sim::M().programPath));
  for (const std::string &a : args)
    storage.push_back(Wide(a));
  std::vector<WCHAR *> argv;
  for (auto &s : storage)
    argv.push_back(s.data());
  argv.push_back(nullptr);
  for (char c : keys)
    sim::M().keys.push_back((unsigned char)c);
  return RunCleaner((int)storage.size(), argv.data());
}

std::string LogFileBytes(const std::string &desktop)
{
  return sim::FileText(desktop + "\\DU Vizodav\\TarvoskFix.log");
}

std::vector<std::string> LogFileLines(const std::string &desktop)
{
  return CrLfLines(LogFileBytes(desktop));
}

std::vector<std::string> LastSection(const std::string &desktop)
{
  std::vector<std::string> lines = LogFileLines(desktop);
  size_t at = lines.size();
  for (size_t i = 0; i < lines.size(); i++)
    if (lines[i] == std::string(62, '-'))
      at = i;
  if (at + 2 > lines.size())
    return {};
  return std::vector<std::string>(lines.begin() + (long)at + 2, lines.end());
}

// The calls the log's opening makes are not counted: a test counts or
// fails the calls of what it tests.
void OpenTestLog(DWORD osCode)
{
  std::map<std::string, int> counts = sim::M().callCounts;
  ASSERT_NE(0, OpenCleanerLog(osCode));
  sim::M().callCounts = counts;
}

void OpenOperationLog(DWORD osCode)
{
  OpenTestLog(osCode);
  CloseUndoFile();
}

void ExpectNothingLeaked()
{
  CloseCleanerLog();
  sim::Machine &m = sim::M();
  EXPECT_EQ(0u, sim::OpenHandles()) << "handles left open";
  EXPECT_EQ(0u, m.heapBlocks.size()) << "heap blocks left allocated";
  EXPECT_EQ(0u, m.localBlocks.size()) << "local blocks left allocated";
  EXPECT_EQ(0, sim::LibrariesHeld()) << "libraries left loaded";
}

void SimTest::TearDown() { ExpectNothingLeaked(); }

void FreshMachine()
{
  ExpectNothingLeaked();
  sim::Reset();
}
