// Known-good dataset (placeholder until the dataset lands).
#include "../../src/cleaner.h"

const RestoreRecord g_RestoreRecords[] = {
    {0, 0, HKEY_LOCAL_MACHINE, "System\\CurrentControlset\\Services\\wuauserv\\Enum",
     "O:BAG:SYD:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KR;;;PU)(A;CIIOID;GR;;;PU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
     L"\"0\"=\"Root\\LEGACY_WUAUSERV\\0000\"\0\"Count\"=dword:00000001\0\"NextInstance\"=dword:00000001\0"},
};
const DWORD g_RestoreRecordCount = sizeof(g_RestoreRecords) / sizeof(g_RestoreRecords[0]);
