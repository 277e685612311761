// Registry editor files in the tests: the undo file read back from the
// simulated disk, split into its runs' sections, and imported into the
// simulated registry the way the registry editor imports a file.
#ifndef REG_FILE_H
#define REG_FILE_H

#include <string>
#include <vector>

#include "sim.h"

extern const char kUndoHeader[];  // the first line, after the byte-order mark

// The undo file below the desktop; with flushedOnly, only what was committed
// to the disk. "" when it is missing.
std::string UndoFileBytes(const std::string &desktop, bool flushedOnly = false);
// UTF-16LE bytes to UTF-8; false when the length is odd.
bool Utf16LeToUtf8(const std::string &bytes, std::string *text);

// A whole file: the byte-order mark and the editor's header, then sections,
// each from one "; Log started" comment line to the next. Line ends stay CR LF.
struct UndoFileText {
  std::vector<std::string> sections;
};
bool ParseUndoFile(const std::string &bytes, UndoFileText *out, std::string *error);

// Applies the lines (no header) to the simulated registry: [key] creates and
// selects a key, [-key] deletes it with its subkeys (nothing when missing),
// "name"=- deletes a value, other value lines set one. Comments and blank
// lines are passed over; anything else is an error.
bool ImportRegLines(const std::string &text, std::string *error);

// Imports the file's sections from the last to the first: every run undone,
// the latest first.
bool UndoAllRuns(const std::string &bytes, std::string *error);

// The registry as keys and values, descriptors left out (the file format
// carries none), and without the run-once key, which the undo leaves alone.
std::vector<std::string> RegistryContent();

#endif
