// Hideout removal (not built yet).
#include "../cleaner.h"

int GetCurrentUserSid(WCHAR *) { return 0; }
void ChangeFilePermissions(const WCHAR *) {}
void WalkTree(const WCHAR *, EntryVisitor) {}
void RemoveEntry(const WCHAR *) {}
int RemoveMalwareFiles(void) { return 0; }
