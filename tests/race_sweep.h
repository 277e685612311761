// The race sweep: a standard user acting between two calls of the removal.
// The removal runs once with every call counted; then again once per call
// boundary and per move, with the move made right before that call, and
// every run is held to two promises: nothing outside the two hideouts
// changes (existence, content, descriptor, attributes), and every line that
// reports a success names what was really done.
//
// The user's moves, each as the platform lets a standard user make it (a
// name held open without delete sharing cannot be renamed or deleted; the
// DACLs are not consulted, the more dangerous reading):
// - rename a subfolder of a hideout and put a junction to system32 in its place;
// - empty a subfolder and make it a mount point of system32 in place;
// - swap a listed file for a hard link to a system file of the same name;
// - swap a listed file for a directory (a junction to system32).
// Before the run: the S-1-5-18 folder pre-created as a junction into the
// object namespace, where a link named by the BOT ID leads into system32;
// the hideout folder pre-created as a junction to system32.
#ifndef RACE_SWEEP_H
#define RACE_SWEEP_H

#include <string>
#include <vector>

#include <windows.h>

enum class RaceWalk { Current, Previous };

struct RaceSummary {
  size_t boundaries = 0, runs = 0, movesMade = 0, failures = 0;
  // Runs that changed something outside the hideouts, and what.
  size_t outsideFailures = 0;
  std::vector<std::string> messages;         // the first violations
  std::vector<std::string> outsideMessages;  // the first changes outside
};

// The sweep on a machine of the given edition (5: XP, 6: Windows 7, x64
// under WOW64 when x64) whose hideouts hold nested folders and read-only
// files. whole tries every target of every move at every boundary; otherwise
// one target per move and boundary, turning with the boundary.
RaceSummary RaceSweep(DWORD major, bool x64, RaceWalk walk, bool whole);

// The previous walk, by name and path, kept to show what the sweep finds.
int PreviousRemoveMalwareFiles(void);

#endif
