// Checks of the infection repair's operations on fixture files, shared by
// the Windows test driver (run under Wine) and its host counterpart (run
// on the simulated platform), so that both print the same verdicts.
#ifndef REPAIR_CHECKS_H
#define REPAIR_CHECKS_H

// Runs the command at argv[at] with its arguments; paths are relative to
// root and printed as given. Returns the number of arguments used, 0 for an
// unknown command. Commands:
//   infected PATH          IsImageInfected
//   version PATH           ReadFileVersion
//   search WINDIR PATH     FindCleanServicesExe for PATH's version
//   com-setup              COM keys: one redirected, one known-good, one too
//                          long to read, one class missing
//   com                    RepairComServers for Windows 7 (its log lines first)
//   com-read               the eight entries' default values read back
int RunRepairCheck(const char *root, int argc, char **argv, int at);

#endif
