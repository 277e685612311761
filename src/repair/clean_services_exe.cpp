// Clean services.exe restore (not built yet).
#include "../cleaner.h"

ULONGLONG ReadFileVersion(const char *) { return 0; }
int RestoreCleanServicesExe(void) { return 0; }
