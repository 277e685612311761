// A standard user's move at every call boundary of the removal: the walk by
// held handles keeps every run inside the two hideouts and every success line
// true; the previous walk, by path, is shown to delete in system32.
#include <iostream>

#include "race_sweep.h"
#include "test_support.h"

namespace {

class RaceSweepTest : public SimTest {};

// The unit run takes one target per move and boundary; RACE_SWEEP=full
// (the race_sweep test) tries every target at every boundary.
bool Whole()
{
  const char *mode = getenv("RACE_SWEEP");
  return mode && std::string(mode) == "full";
}

void Report(const char *what, const RaceSummary &s)
{
  std::cout << "race sweep " << what << ": " << s.boundaries << " boundaries, " << s.runs << " runs, "
            << s.movesMade << " moves made, " << s.failures << " invariant failures (" << s.outsideFailures
            << " changing something outside the hideouts)\n";
}

TEST_F(RaceSweepTest, EveryBoundaryOfTheRemovalOnXpAndWindows7x64)
{
  const struct {
    const char *what;
    DWORD major;
    bool x64;
  } machines[] = {{"XP", 5, false}, {"Windows 7 x64", 6, true}};
  for (const auto &m : machines) {
    SCOPED_TRACE(m.what);
    RaceSummary s = RaceSweep(m.major, m.x64, RaceWalk::Current, Whole());
    Report(m.what, s);
    for (const std::string &message : s.messages)
      ADD_FAILURE() << message;
    EXPECT_EQ(0u, s.failures);
    EXPECT_GT(s.boundaries, 100u);
    EXPECT_GT(s.movesMade, s.boundaries) << "the user's moves are made, not all refused";
    FreshMachine();
  }
}

// The same sweep against the walk by path finds what the issue reported: a
// junction put in a subfolder's place, or a hideout pre-created as one,
// sends the deletion into system32.
TEST_F(RaceSweepTest, ThePreviousWalkDeletesInSystem32)
{
  RaceSummary s = RaceSweep(6, true, RaceWalk::Previous, false);
  Report("Windows 7 x64, previous walk", s);
  EXPECT_GT(s.outsideFailures, 0u);
  bool deletedInSystem32 = false;
  for (const std::string &message : s.outsideMessages) {
    std::cout << "  " << message << "\n";
    if (message.find("removed outside the hideouts: c:\\windows\\system32\\") != std::string::npos)
      deletedInSystem32 = true;
  }
  EXPECT_TRUE(deletedInSystem32);
  FreshMachine();
}

}  // namespace
