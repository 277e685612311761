// services.exe infection test (not built yet).
#include "../cleaner.h"

int IsImageInfected(const char *) { return 0; }
int IsServicesExeInfected(void) { return 0; }
