// Value-line parser (not built yet).
#include "../cleaner.h"

DWORD ParseHexNumber(const WCHAR *) { return 0; }
int ParseValueEntry(const WCHAR *, ValueEntry *) { return 0; }
