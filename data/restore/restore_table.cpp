// Known-good service registry configuration, one record per key and edition,
// in array order: the sets one after another (0 XP, 1 Vista, 2 Windows 7,
// 3 Server 2003, 4 Server 2008 R2), each service's key before its subkeys.
// Each value list is UTF-16 lines, each ended by a NUL, closed by an empty line.
//
// Interim content: the records whose data is fixed so far; the full table
// replaces this file.
#include "../../src/cleaner.h"

#define SERVICES "System\\CurrentControlset\\Services\\"

const RestoreRecord g_RestoreRecords[] = {
    // set, keepExisting, root, subKey,
    //  sddl,
    //  valueLines
    {SET_XP, 0, HKEY_LOCAL_MACHINE, SERVICES "wuauserv",
     "O:BAG:SYD:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KR;;;PU)(A;CIIOID;GR;;;PU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
     L"\"Type\"=dword:00000020\0"
     L"\"Start\"=dword:00000002\0"
     L"\"ErrorControl\"=dword:00000001\0"
     L"\"ImagePath\"=hex(2):25,00,73,00,79,00,73,00,74,00,65,00,6d,00,72,00,6f,00,6f,00,74,00,25,00,5c,00,73,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,73,00,76,00,63,00,68,00,6f,00,73,00,74,00,2e,00,65,00,78,00,65,00,20,00,2d,00,6b,00,20,00,6e,00,65,00,74,00,73,00,76,00,63,00,73,00,00,00\0"
     L"\"DisplayName\"=\"Automatic Updates\"\0"
     L"\"ObjectName\"=\"LocalSystem\"\0"
     L"\"Description\"=\"Enables the download and installation of Windows updates. If this service is disabled, this computer will not be able to use the Automatic Updates feature or the Windows Update Web site.\"\0"},
    {SET_XP, 0, HKEY_LOCAL_MACHINE, SERVICES "wuauserv\\Enum",
     "O:BAG:SYD:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KR;;;PU)(A;CIIOID;GR;;;PU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
     L"\"0\"=\"Root\\LEGACY_WUAUSERV\\0000\"\0"
     L"\"Count\"=dword:00000001\0"
     L"\"NextInstance\"=dword:00000001\0"},
    {SET_WIN7, 0, HKEY_LOCAL_MACHINE, SERVICES "BITS\\Performance",
     "O:BAG:BAD:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
     L"\"1008\"=hex(b):96,a0,7a,d1,5c,38,cd,01\0"},
    {SET_WIN7, 1, HKEY_LOCAL_MACHINE, SERVICES "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules",
     "O:LSG:LSD:AI(A;ID;CCDCLCSWRPSDRC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIOID;SDGWGR;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;CCDCLCSWRPSDRC;;;SY)(A;OICIIOID;SDGWGR;;;SY)(A;ID;CCDCLCSWRPSDRC;;;BA)(A;OICIIOID;SDGWGR;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;ID;KA;;;LS)(A;CIIOID;GA;;;CO)",
     L"\"RemoteAssistance-PnrpSvc-UDP-OUT-Active\"=\"v2.10|Action=Allow|Active=TRUE|Dir=Out|Protocol=17|Profile=Domain|Profile=Private|App=%systemroot%\\system32\\svchost.exe|Svc=pnrpsvc|Name=@FirewallAPI.dll,-33037|Desc=@FirewallAPI.dll,-33038|EmbedCtxt=@FirewallAPI.dll,-33002|\"\0"},
    {SET_SERVER2003, 1, HKEY_LOCAL_MACHINE, SERVICES "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static\\System",
     "O:BAG:S-1-5-21-1476802820-2018171420-1012886164-513D:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KR;;;PU)(A;CIIOID;GR;;;PU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
     L"\"SearchIndexer-1\"=\"V2.0|Action=Block|Dir=In|App=%SystemRoot%\\system32\\SearchIndexer.exe|Svc=WSearch|Name=Block all inbound traffic to SearchIndexer|\"\0"
     L"\"SearchIndexer-2\"=\"V2.0|Action=Block|Dir=Out|App=%SystemRoot%\\system32\\SearchIndexer.exe|Svc=WSearch|Name=Block all outbound traffic from SearchIndexer|\"\0"
     L"\"SearchFilterHost-1\"=\"V2.0|Action=Block|Dir=In|App=%SystemRoot%\\system32\\SearchFilterHost.exe|Name=Block all inbound traffic to SearchFilterHost|\"\0"
     L"\"SearchFilterHost-2\"=\"V2.0|Action=Block|Dir=Out|App=%SystemRoot%\\system32\\SearchFilterHost.exe|Name=Block all outbound traffic from SearchFilterHost|\"\0"
     L"\"clr_optimization_v4.0.30319_32-1\"=\"V4.0|Action=Block|Dir=In|App=C:\\WINDOWS\\Microsoft.NET\\Framework\\v4.0.30319\\mscorsvw.exe|Svc=clr_optimization_v4.0.30319_32|Name=Block traffic for clr_optimization_v4.0.30319_32|\"\0"
     L"\"clr_optimization_v4.0.30319_32-2\"=\"V4.0|Action=Block|Dir=Out|App=C:\\WINDOWS\\Microsoft.NET\\Framework\\v4.0.30319\\mscorsvw.exe|Svc=clr_optimization_v4.0.30319_32|Name=Block traffic for clr_optimization_v4.0.30319_32|\"\0"},
};
const DWORD g_RestoreRecordCount = sizeof(g_RestoreRecords) / sizeof(g_RestoreRecords[0]);
