// Simulated console runtime: shared-mode stream open. The stream is a real
// stdio FILE over the simulated file system (text mode, LF stored as CR LF).
#ifndef SIM_SHARE_H
#define SIM_SHARE_H
#include <stdio.h>
#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40
FILE *_fsopen(const char *path, const char *mode, int shflag);
#endif
