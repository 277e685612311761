// Value reconciliation (not built yet).
#include "../cleaner.h"

void ReconcileValue(const WCHAR *, HKEY, DWORD) {}
