// COM server path repair (not built yet).
#include "../cleaner.h"

void RewriteComServerPath(HKEY, const char *, const char *) {}
void RepairComServers(DWORD) {}
