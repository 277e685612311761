// Which Windows edition this is, summed up in one OsCode.
#include "../cleaner.h"

DWORD ClassifyOs(void)
{
  OSVERSIONINFOEXW info;
  DWORD version;

  memset(&info, 0, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  // A failed query leaves the record zero, which is refused below.
  GetVersionExW((LPOSVERSIONINFOW)&info);

  version = (info.dwMajorVersion << 4) | info.dwMinorVersion;
  // Server editions are accepted for 5.2 (2003) and 6.1 (2008 R2) only.
  if (info.wProductType != VER_NT_WORKSTATION && version != 0x52 && version != 0x61)
    return OS_UNSUPPORTED;
  if (version != 0x51 && version != 0x52 && version != 0x60 && version != 0x61)
    return OS_UNSUPPORTED;
  if (info.wProductType == VER_NT_WORKSTATION)
    return version;
  return version | OS_SERVER_BIT;
}
