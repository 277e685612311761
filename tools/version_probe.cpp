// version_probe: what the running system reports through GetVersionExW,
// as "major minor productType" on one line. The Wine end-to-end test reads
// it to know which edition each Wine version setting really presents.
//   version_probe
#include <stdio.h>
#include <windows.h>

int main(void)
{
  OSVERSIONINFOEXW version;

  ZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExW((OSVERSIONINFOW *)&version))
    return 1;
  printf("%lu %lu %u\n", version.dwMajorVersion, version.dwMinorVersion, (unsigned)version.wProductType);
  return 0;
}
