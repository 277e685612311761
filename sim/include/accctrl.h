// Part of the simulated platform: everything lives in windows.h.
#include <windows.h>
