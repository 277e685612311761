// Key creation and security (not built yet).
#include "../cleaner.h"

HKEY CreateRestoreKey(HKEY, const char *) { return NULL; }
HKEY ApplyKeySecurity(HKEY key, const char *) { return key; }
