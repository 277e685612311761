// Simulated ntdll: the native volume calls (not built yet).
#include "sim.h"

extern "C" FARPROC SimNtdllProc(const char *name)
{
  (void)name;
  return nullptr;
}
