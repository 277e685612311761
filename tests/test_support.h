// Shared helpers of the host tests: a fresh simulated machine per test, the
// cleaner's entry run on it, and the log read back from the machine's disk.
#ifndef TEST_SUPPORT_H
#define TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <share.h>

#include <string>
#include <vector>

#include "cleaner.h"
#include "sim.h"

// UTF-16 text as UTF-8, for comparisons and messages (the libc and gtest
// wide-string helpers assume a 32-bit wchar_t and must not be used).
std::string Narrow(const WCHAR *text);
// A UTF-8 literal as a NUL-terminated UTF-16 buffer.
std::vector<WCHAR> Wide(const std::string &text);

// Runs the cleaner's entry with these arguments (after the program name),
// feeding the keys to _getch; returns the exit code.
int RunCleanerWith(const std::vector<std::string> &args, const std::string &keys);

// Text split on CR LF; a last piece without its CR LF is a line too.
std::vector<std::string> CrLfLines(const std::string &text);
// A shipped scenario file's text (scenarios/NAME).
std::string ReadScenario(const std::string &name);

// The log file's bytes, and its lines (split on CR LF; "" when absent).
std::string LogFileBytes(const std::string &desktop);
std::vector<std::string> LogFileLines(const std::string &desktop);
// The lines of the last section (after the last hyphen line and its header).
std::vector<std::string> LastSection(const std::string &desktop);

extern const char *const kWin7Desktop;  // %PUBLIC%\Desktop
extern const char *const kXpDesktop;    // %AllUsersProfile%\Desktop on XP
extern const char *const kVistaDesktop; // %AllUsersProfile%\Desktop on Vista

// Opens the log as the run sequence does, with the log on the machine's
// desktop for that code; the lines written until CloseCleanerLog are read back
// with LastSection.
void OpenTestLog(DWORD osCode);
// The same without the undo file, for a registry operation called by itself
// on a key of the test's own, which the undo file cannot name and would
// report as a gap (tests/undo_file_test.cpp covers that).
void OpenOperationLog(DWORD osCode);

// Closes a log a test left open and expects nothing left open, allocated or
// loaded on the machine (what the end of every test checks).
void ExpectNothingLeaked();
// The same checks, then an empty machine, for table rows that each start
// afresh.
void FreshMachine();

// Every test starts from an empty machine and ends with nothing leaked.
class SimTest : public ::testing::Test {
protected:
  void SetUp() override { sim::Reset(); }
  void TearDown() override;
};

#endif
