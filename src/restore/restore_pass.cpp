// Restoration pass (not built yet).
#include "../cleaner.h"

void RestoreServicesFrom(DWORD, const RestoreRecord *, DWORD) {}
void RestoreServices(DWORD osCode) { RestoreServicesFrom(osCode, g_RestoreRecords, g_RestoreRecordCount); }
