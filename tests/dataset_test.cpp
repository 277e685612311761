// The known-good dataset as compiled into the cleaner: every figure that
// defines the table, recomputed from the records themselves. CheckDataset
// takes any table, so that deliberately broken copies show each check fails
// with a message naming the record.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "security.h"
#include "test_support.h"

namespace {

const char kPrefix[] = "System\\CurrentControlset\\Services\\";

// The five lists: set, number in the set, key below the services key,
// keepExisting, value lines, descriptor number. The line counts are those of
// the installations the lists were drawn from; the table holds what the
// genuine sources give (docs/dataset.md shows both), so they are not checked.
struct ListedRecord {
  DWORD set;
  DWORD number;
  const char *key;
  DWORD keepExisting;
  DWORD lines;
  DWORD descriptor;
};
const ListedRecord kListed[] = {
    {0, 1, "BITS", 0, 10, 1},
    {0, 2, "BITS\\Parameters", 0, 1, 1},
    {0, 3, "BITS\\Security", 0, 1, 2},
    {0, 4, "BITS\\Enum", 0, 3, 1},
    {0, 5, "SharedAccess", 0, 9, 1},
    {0, 6, "SharedAccess\\Epoch", 0, 1, 1},
    {0, 7, "SharedAccess\\Parameters", 0, 1, 1},
    {0, 8, "SharedAccess\\Parameters\\FirewallPolicy", 0, 0, 1},
    {0, 9, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile", 0, 1, 1},
    {0, 10, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\\AuthorizedApplications", 0, 0, 1},
    {0, 11, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\\AuthorizedApplications\\List", 0, 2, 1},
    {0, 12, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile", 0, 1, 1},
    {0, 13, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile\\AuthorizedApplications", 0, 0, 1},
    {0, 14, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile\\AuthorizedApplications\\List", 0, 2, 1},
    {0, 15, "SharedAccess\\Setup", 0, 1, 1},
    {0, 16, "SharedAccess\\Enum", 0, 3, 1},
    {0, 17, "wscsvc", 0, 8, 1},
    {0, 18, "wscsvc\\Parameters", 0, 1, 1},
    {0, 19, "wscsvc\\Security", 0, 1, 1},
    {0, 20, "wscsvc\\Enum", 0, 3, 1},
    {0, 21, "wuauserv", 0, 7, 1},
    {0, 22, "wuauserv\\Parameters", 0, 1, 1},
    {0, 23, "wuauserv\\Security", 0, 1, 2},
    {0, 24, "wuauserv\\Enum", 0, 3, 1},
    {1, 1, "BFE", 0, 12, 3},
    {1, 2, "BFE\\Parameters", 0, 3, 3},
    {1, 3, "BFE\\Parameters\\Policy", 0, 0, 4},
    {1, 4, "BFE\\Parameters\\Policy\\BootTime", 0, 0, 4},
    {1, 5, "BFE\\Parameters\\Policy\\BootTime\\Filter", 1, 16, 4},
    {1, 6, "BFE\\Parameters\\Policy\\Persistent", 0, 0, 4},
    {1, 7, "BFE\\Parameters\\Policy\\Persistent\\Filter", 1, 20, 4},
    {1, 8, "BFE\\Parameters\\Policy\\Persistent\\Filter", 1, 16, 4},
    {1, 9, "BFE\\Parameters\\Policy\\Persistent\\Provider", 0, 4, 4},
    {1, 10, "BFE\\Parameters\\Policy\\Persistent\\SubLayer", 0, 2, 4},
    {1, 11, "BITS", 0, 12, 3},
    {1, 12, "BITS\\Parameters", 0, 1, 5},
    {1, 13, "BITS\\Performance", 0, 12, 3},
    {1, 14, "BITS\\Security", 0, 1, 6},
    {1, 15, "iphlpsvc", 0, 11, 3},
    {1, 16, "iphlpsvc\\config", 0, 0, 7},
    {1, 17, "iphlpsvc\\Interfaces", 0, 0, 7},
    {1, 18, "iphlpsvc\\Parameters", 0, 2, 7},
    {1, 19, "iphlpsvc\\Teredo", 0, 1, 7},
    {1, 20, "MpsSvc", 0, 12, 3},
    {1, 21, "MpsSvc\\Parameters", 0, 2, 3},
    {1, 22, "MpsSvc\\Parameters\\PortKeywords", 0, 0, 3},
    {1, 23, "MpsSvc\\Parameters\\PortKeywords\\RPC-EPMap", 0, 1, 8},
    {1, 24, "MpsSvc\\Parameters\\PortKeywords\\Teredo", 0, 0, 9},
    {1, 25, "MpsSvc\\Parameters\\Security", 0, 1, 3},
    {1, 26, "SharedAccess", 0, 11, 3},
    {1, 27, "SharedAccess\\Defaults", 0, 0, 3},
    {1, 28, "SharedAccess\\Defaults\\FirewallPolicy", 0, 4, 10},
    {1, 29, "SharedAccess\\Defaults\\FirewallPolicy\\DomainProfile", 0, 2, 11},
    {1, 30, "SharedAccess\\Defaults\\FirewallPolicy\\DomainProfile\\Logging", 0, 2, 11},
    {1, 31, "SharedAccess\\Defaults\\FirewallPolicy\\FirewallRules", 1, 121, 11},
    {1, 32, "SharedAccess\\Defaults\\FirewallPolicy\\FirewallRules", 1, 125, 11},
    {1, 33, "SharedAccess\\Defaults\\FirewallPolicy\\FirewallRules", 1, 33, 11},
    {1, 34, "SharedAccess\\Defaults\\FirewallPolicy\\PublicProfile", 0, 2, 11},
    {1, 35, "SharedAccess\\Defaults\\FirewallPolicy\\PublicProfile\\Logging", 0, 2, 11},
    {1, 36, "SharedAccess\\Defaults\\FirewallPolicy\\StandardProfile", 0, 2, 11},
    {1, 37, "SharedAccess\\Defaults\\FirewallPolicy\\StandardProfile\\Logging", 0, 2, 11},
    {1, 38, "SharedAccess\\Epoch", 0, 1, 12},
    {1, 39, "SharedAccess\\Parameters", 0, 5, 3},
    {1, 40, "SharedAccess\\Parameters\\FirewallPolicy", 0, 4, 10},
    {1, 41, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile", 0, 2, 11},
    {1, 42, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\\AuthorizedApplications", 0, 0, 13},
    {1, 43, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\\GloballyOpenPorts", 0, 0, 13},
    {1, 44, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\\Logging", 0, 2, 11},
    {1, 45, "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules", 1, 133, 13},
    {1, 46, "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules", 1, 119, 13},
    {1, 47, "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules", 1, 30, 13},
    {1, 48, "SharedAccess\\Parameters\\FirewallPolicy\\PublicProfile", 0, 2, 11},
    {1, 49, "SharedAccess\\Parameters\\FirewallPolicy\\PublicProfile\\AuthorizedApplications", 0, 0, 13},
    {1, 50, "SharedAccess\\Parameters\\FirewallPolicy\\PublicProfile\\GloballyOpenPorts", 0, 0, 13},
    {1, 51, "SharedAccess\\Parameters\\FirewallPolicy\\PublicProfile\\Logging", 0, 2, 11},
    {1, 52, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices", 0, 0, 11},
    {1, 53, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Configurable", 0, 0, 13},
    {1, 54, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static", 0, 0, 11},
    {1, 55, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static\\System", 1, 78, 11},
    {1, 56, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile", 0, 2, 11},
    {1, 57, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile\\AuthorizedApplications", 0, 0, 13},
    {1, 58, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile\\GloballyOpenPorts", 0, 0, 13},
    {1, 59, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile\\Logging", 0, 2, 11},
    {1, 60, "WinDefend", 0, 12, 14},
    {1, 61, "WinDefend\\Parameters", 0, 2, 14},
    {1, 62, "WinDefend\\Security", 0, 1, 14},
    {1, 63, "wscsvc", 0, 12, 14},
    {1, 64, "wscsvc\\Parameters", 0, 2, 14},
    {1, 65, "wscsvc\\Security", 0, 1, 14},
    {1, 66, "wuauserv", 0, 13, 3},
    {1, 67, "wuauserv\\Parameters", 0, 3, 3},
    {1, 68, "wuauserv\\Security", 0, 1, 6},
    {2, 1, "BFE", 0, 12, 15},
    {2, 2, "BFE\\Parameters", 0, 3, 15},
    {2, 3, "BFE\\Parameters\\Policy", 0, 0, 16},
    {2, 4, "BFE\\Parameters\\Policy\\BootTime", 0, 0, 17},
    {2, 5, "BFE\\Parameters\\Policy\\BootTime\\Filter", 1, 14, 18},
    {2, 6, "BFE\\Parameters\\Policy\\Persistent", 0, 0, 17},
    {2, 7, "BFE\\Parameters\\Policy\\Persistent\\Filter", 1, 24, 18},
    {2, 8, "BFE\\Parameters\\Policy\\Persistent\\Filter", 1, 15, 18},
    {2, 9, "BFE\\Parameters\\Policy\\Persistent\\Provider", 1, 4, 17},
    {2, 10, "BFE\\Parameters\\Policy\\Persistent\\SubLayer", 1, 4, 17},
    {2, 11, "BITS", 0, 12, 15},
    {2, 12, "BITS\\Parameters", 0, 1, 5},
    {2, 13, "BITS\\Performance", 0, 13, 15},
    {2, 14, "BITS\\Security", 0, 1, 15},
    {2, 15, "iphlpsvc", 0, 11, 15},
    {2, 16, "iphlpsvc\\config", 0, 0, 19},
    {2, 17, "iphlpsvc\\Interfaces", 0, 0, 19},
    {2, 18, "iphlpsvc\\Parameters", 0, 2, 19},
    {2, 19, "iphlpsvc\\Parameters\\IPHTTPS", 0, 0, 19},
    {2, 20, "iphlpsvc\\Parameters\\Isatap", 0, 0, 20},
    {2, 21, "iphlpsvc\\Parameters\\Isatap\\{8AD2FB26-F91E-44F1-9B24-3C0AE56C9CE0}", 0, 2, 20},
    {2, 22, "iphlpsvc\\Parameters\\Teredo", 0, 0, 20},
    {2, 23, "iphlpsvc\\Parameters\\Teredo\\{FA88062C-9A61-4C1E-AC45-7143F8F01AAD}", 0, 2, 20},
    {2, 24, "iphlpsvc\\Teredo", 0, 1, 19},
    {2, 25, "MpsSvc", 0, 12, 15},
    {2, 26, "MpsSvc\\Parameters", 0, 2, 15},
    {2, 27, "MpsSvc\\Parameters\\PortKeywords", 0, 0, 15},
    {2, 28, "MpsSvc\\Parameters\\PortKeywords\\DHCP", 0, 0, 21},
    {2, 29, "MpsSvc\\Parameters\\PortKeywords\\IPTLSIn", 0, 0, 22},
    {2, 30, "MpsSvc\\Parameters\\PortKeywords\\IPTLSOut", 0, 0, 22},
    {2, 31, "MpsSvc\\Parameters\\PortKeywords\\RPC-EPMap", 0, 0, 22},
    {2, 32, "MpsSvc\\Parameters\\PortKeywords\\Teredo", 0, 0, 22},
    {2, 33, "MpsSvc\\Security", 0, 1, 15},
    {2, 34, "SharedAccess", 0, 11, 15},
    {2, 35, "SharedAccess\\Defaults", 0, 0, 15},
    {2, 36, "SharedAccess\\Defaults\\FirewallPolicy", 0, 4, 23},
    {2, 37, "SharedAccess\\Defaults\\FirewallPolicy\\DomainProfile", 0, 2, 24},
    {2, 38, "SharedAccess\\Defaults\\FirewallPolicy\\DomainProfile\\Logging", 0, 2, 24},
    {2, 39, "SharedAccess\\Defaults\\FirewallPolicy\\FirewallRules", 1, 139, 24},
    {2, 40, "SharedAccess\\Defaults\\FirewallPolicy\\FirewallRules", 1, 129, 24},
    {2, 41, "SharedAccess\\Defaults\\FirewallPolicy\\FirewallRules", 1, 34, 24},
    {2, 42, "SharedAccess\\Defaults\\FirewallPolicy\\PublicProfile", 0, 2, 24},
    {2, 43, "SharedAccess\\Defaults\\FirewallPolicy\\PublicProfile\\Logging", 0, 2, 24},
    {2, 44, "SharedAccess\\Defaults\\FirewallPolicy\\StandardProfile", 0, 2, 24},
    {2, 45, "SharedAccess\\Defaults\\FirewallPolicy\\StandardProfile\\Logging", 0, 2, 24},
    {2, 46, "SharedAccess\\Epoch", 0, 1, 25},
    {2, 47, "SharedAccess\\Epoch2", 0, 1, 25},
    {2, 48, "SharedAccess\\Parameters", 0, 3, 15},
    {2, 49, "SharedAccess\\Parameters\\FirewallPolicy", 0, 4, 23},
    {2, 50, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile", 0, 2, 24},
    {2, 51, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\\AuthorizedApplications", 0, 0, 26},
    {2, 52, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\\GloballyOpenPorts", 0, 0, 26},
    {2, 53, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\\Logging", 0, 2, 24},
    {2, 54, "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules", 1, 130, 26},
    {2, 55, "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules", 1, 138, 26},
    {2, 56, "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules", 1, 34, 26},
    {2, 57, "SharedAccess\\Parameters\\FirewallPolicy\\PublicProfile", 0, 2, 24},
    {2, 58, "SharedAccess\\Parameters\\FirewallPolicy\\PublicProfile\\AuthorizedApplications", 0, 0, 26},
    {2, 59, "SharedAccess\\Parameters\\FirewallPolicy\\PublicProfile\\GloballyOpenPorts", 0, 0, 26},
    {2, 60, "SharedAccess\\Parameters\\FirewallPolicy\\PublicProfile\\Logging", 0, 2, 24},
    {2, 61, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices", 0, 0, 24},
    {2, 62, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Configurable", 0, 0, 27},
    {2, 63, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Configurable\\System", 0, 2, 27},
    {2, 64, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static", 0, 0, 24},
    {2, 65, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static\\System", 1, 115, 24},
    {2, 66, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile", 0, 2, 24},
    {2, 67, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile\\AuthorizedApplications", 0, 0, 26},
    {2, 68, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile\\GloballyOpenPorts", 0, 0, 26},
    {2, 69, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile\\Logging", 0, 2, 24},
    {2, 70, "WinDefend", 0, 12, 14},
    {2, 71, "WinDefend\\Parameters", 0, 2, 14},
    {2, 72, "WinDefend\\Security", 0, 1, 14},
    {2, 73, "WinDefend\\TriggerInfo", 0, 0, 14},
    {2, 74, "WinDefend\\TriggerInfo\\0", 0, 3, 14},
    {2, 75, "wscsvc", 0, 12, 14},
    {2, 76, "wscsvc\\Parameters", 0, 2, 14},
    {2, 77, "wscsvc\\Security", 0, 1, 14},
    {2, 78, "wuauserv", 0, 13, 15},
    {2, 79, "wuauserv\\Parameters", 0, 3, 15},
    {2, 80, "wuauserv\\Security", 0, 1, 15},
    {3, 1, "BITS", 0, 10, 1},
    {3, 2, "BITS\\Parameters", 0, 1, 1},
    {3, 3, "BITS\\Security", 0, 1, 6},
    {3, 4, "BITS\\Enum", 0, 3, 1},
    {3, 5, "SharedAccess", 0, 9, 28},
    {3, 6, "SharedAccess\\Epoch", 0, 1, 1},
    {3, 7, "SharedAccess\\Parameters", 0, 1, 28},
    {3, 8, "SharedAccess\\Parameters\\FirewallPolicy", 0, 0, 1},
    {3, 9, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile", 0, 1, 29},
    {3, 10, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices", 0, 0, 29},
    {3, 11, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static", 0, 0, 29},
    {3, 12, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static\\System", 1, 6, 29},
    {3, 13, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile", 0, 1, 29},
    {3, 14, "SharedAccess\\Enum", 0, 3, 1},
    {3, 15, "wuauserv", 0, 7, 1},
    {3, 16, "wuauserv\\Parameters", 0, 1, 1},
    {3, 17, "wuauserv\\Security", 0, 1, 6},
    {3, 18, "wuauserv\\Enum", 0, 3, 1},
    {4, 1, "BFE", 0, 12, 15},
    {4, 2, "BFE\\Parameters", 0, 3, 15},
    {4, 3, "BFE\\Parameters\\Policy", 0, 0, 16},
    {4, 4, "BFE\\Parameters\\Policy\\BootTime", 0, 0, 17},
    {4, 5, "BFE\\Parameters\\Policy\\BootTime\\Filter", 1, 14, 18},
    {4, 6, "BFE\\Parameters\\Policy\\Persistent", 0, 0, 17},
    {4, 7, "BFE\\Parameters\\Policy\\Persistent\\Filter", 1, 13, 18},
    {4, 8, "BFE\\Parameters\\Policy\\Persistent\\Filter", 1, 13, 18},
    {4, 9, "BFE\\Parameters\\Policy\\Persistent\\Filter", 1, 13, 18},
    {4, 10, "BFE\\Parameters\\Policy\\Persistent\\Provider", 1, 4, 17},
    {4, 11, "BFE\\Parameters\\Policy\\Persistent\\SubLayer", 1, 4, 17},
    {4, 12, "BITS", 0, 12, 15},
    {4, 13, "BITS\\Parameters", 0, 1, 5},
    {4, 14, "BITS\\Performance", 0, 12, 15},
    {4, 15, "BITS\\Security", 0, 1, 15},
    {4, 16, "iphlpsvc", 0, 11, 15},
    {4, 17, "iphlpsvc\\config", 0, 0, 19},
    {4, 18, "iphlpsvc\\Interfaces", 0, 0, 19},
    {4, 19, "iphlpsvc\\Parameters", 0, 2, 19},
    {4, 20, "iphlpsvc\\Parameters\\IPHTTPS", 0, 0, 19},
    {4, 21, "iphlpsvc\\Parameters\\Isatap", 0, 0, 20},
    {4, 22, "iphlpsvc\\Parameters\\Isatap\\{75172BFB-3198-4BC3-81A7-F27F932EBED3}", 0, 2, 20},
    {4, 23, "iphlpsvc\\Parameters\\Teredo", 0, 0, 20},
    {4, 24, "iphlpsvc\\Parameters\\Teredo\\{4B9E8F64-7402-4FEF-887B-7985E71D4AFE}", 0, 2, 20},
    {4, 25, "iphlpsvc\\Teredo", 0, 1, 19},
    {4, 26, "MpsSvc", 0, 12, 15},
    {4, 27, "MpsSvc\\Parameters", 0, 2, 15},
    {4, 28, "MpsSvc\\Parameters\\PortKeywords", 0, 0, 15},
    {4, 29, "MpsSvc\\Parameters\\PortKeywords\\DHCP", 0, 0, 21},
    {4, 30, "MpsSvc\\Parameters\\PortKeywords\\IPTLSIn", 0, 0, 22},
    {4, 31, "MpsSvc\\Parameters\\PortKeywords\\IPTLSOut", 0, 0, 22},
    {4, 32, "MpsSvc\\Parameters\\PortKeywords\\RPC-EPMap", 0, 0, 30},
    {4, 33, "MpsSvc\\Parameters\\PortKeywords\\Teredo", 0, 0, 22},
    {4, 34, "MpsSvc\\Security", 0, 1, 15},
    {4, 35, "SharedAccess", 0, 11, 15},
    {4, 36, "SharedAccess\\Defaults", 0, 0, 15},
    {4, 37, "SharedAccess\\Defaults\\FirewallPolicy", 0, 4, 23},
    {4, 38, "SharedAccess\\Defaults\\FirewallPolicy\\DomainProfile", 0, 2, 24},
    {4, 39, "SharedAccess\\Defaults\\FirewallPolicy\\DomainProfile\\Logging", 0, 2, 24},
    {4, 40, "SharedAccess\\Defaults\\FirewallPolicy\\FirewallRules", 1, 136, 24},
    {4, 41, "SharedAccess\\Defaults\\FirewallPolicy\\PublicProfile", 0, 2, 24},
    {4, 42, "SharedAccess\\Defaults\\FirewallPolicy\\PublicProfile\\Logging", 0, 2, 24},
    {4, 43, "SharedAccess\\Defaults\\FirewallPolicy\\StandardProfile", 0, 2, 24},
    {4, 44, "SharedAccess\\Defaults\\FirewallPolicy\\StandardProfile\\Logging", 0, 2, 24},
    {4, 45, "SharedAccess\\Epoch", 0, 1, 25},
    {4, 46, "SharedAccess\\Epoch2", 0, 1, 25},
    {4, 47, "SharedAccess\\Parameters", 0, 3, 15},
    {4, 48, "SharedAccess\\Parameters\\FirewallPolicy", 0, 4, 23},
    {4, 49, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile", 0, 2, 24},
    {4, 50, "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\\Logging", 0, 4, 24},
    {4, 51, "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules", 1, 147, 27},
    {4, 52, "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules", 1, 9, 27},
    {4, 53, "SharedAccess\\Parameters\\FirewallPolicy\\PublicProfile", 0, 2, 24},
    {4, 54, "SharedAccess\\Parameters\\FirewallPolicy\\PublicProfile\\Logging", 0, 4, 24},
    {4, 55, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile", 0, 2, 24},
    {4, 56, "SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile\\Logging", 0, 4, 24},
    {4, 57, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices", 0, 0, 24},
    {4, 58, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Configurable", 0, 0, 26},
    {4, 59, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static", 0, 0, 24},
    {4, 60, "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static\\System", 1, 67, 24},
    {4, 61, "wuauserv", 0, 13, 15},
    {4, 62, "wuauserv\\Parameters", 0, 3, 15},
    {4, 63, "wuauserv\\Security", 0, 1, 15},
};
static_assert(sizeof(kListed) / sizeof(kListed[0]) == 253, "253 records listed");

// D1..D30, in the order of their first use in the table.
const char *const kDescriptors[] = {
    "O:BAG:SYD:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KR;;;PU)(A;CIIOID;GR;;;PU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:SYD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)",
    "O:BAG:S-1-5-21-397955417-626881126-188441444-513D:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:S-1-5-21-397955417-626881126-188441444-513D:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;CCDCLCSWRPRC;;;S-1-5-80-1383147646-27650227-2710666058-1662982300-1023958487)",
    "O:BAG:BAD:PAI(A;;KA;;;SY)(A;CIIO;GA;;;SY)(A;;CCSWRPWPRC;;;BA)(A;CIIO;GXGR;;;BA)(A;;CCSWRPWPRC;;;BU)(A;CIIO;GXGR;;;BU)S:AI(AU;SAFA;WDWO;;;BA)",
    "O:SYG:SYD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)",
    "O:BAG:S-1-5-21-397955417-626881126-188441444-513D:PAI(A;;KA;;;BA)(A;CIIO;GA;;;BA)(A;;KA;;;SY)(A;CIIO;GA;;;SY)(A;;CCDCLCSWRPSDRC;;;S-1-5-80-62724632-2456781206-3863850748-1496050881-1042387526)",
    "O:BAG:S-1-5-21-397955417-626881126-188441444-513D:AI(A;CI;CCDC;;;S-1-5-80-979556362-403687129-3954533659-2335141334-1547273080)(A;CI;CCRP;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:S-1-5-21-397955417-626881126-188441444-513D:AI(A;CI;CCDC;;;S-1-5-80-62724632-2456781206-3863850748-1496050881-1042387526)(A;CI;CCRP;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:S-1-5-21-397955417-626881126-188441444-513D:AI(A;;KA;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIO;GA;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:S-1-5-21-397955417-626881126-188441444-513D:AI(A;ID;KA;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIOID;GA;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:S-1-5-21-397955417-626881126-188441444-513D:AI(A;CI;CCDC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:LSG:LSD:AI(A;ID;KA;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIOID;GA;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;ID;KA;;;LS)(A;CIIOID;GA;;;CO)",
    "O:SYG:SYD:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:BAD:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:BAD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;CCDCLCSWRPRC;;;S-1-5-80-1383147646-27650227-2710666058-1662982300-1023958487)",
    "O:BAG:BAD:AI(A;CIID;KA;;;SY)(A;CIID;KA;;;BA)(A;CIID;CCDCLCSWRPRC;;;S-1-5-80-1383147646-27650227-2710666058-1662982300-1023958487)",
    "O:BAG:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;CCDCLCSWRPRC;;;S-1-5-80-1383147646-27650227-2710666058-1662982300-1023958487)",
    "O:BAG:BAD:PAI(A;;KA;;;BA)(A;CIIO;GA;;;BA)(A;;KR;;;BU)(A;CIIO;GR;;;BU)(A;;KA;;;SY)(A;CIIO;GA;;;SY)(A;;CCDCLCSWRPSDRC;;;S-1-5-80-62724632-2456781206-3863850748-1496050881-1042387526)",
    "O:SYG:SYD:AI(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)",
    "O:BAG:BAD:PAI(A;CI;CCDC;;;S-1-5-80-2940520708-3855866260-481812779-327648279-1710889582)(A;CI;CCDC;;;S-1-5-80-3526382388-830156861-4107432654-3665941875-1028450966)(A;CI;CCRP;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OI;CCRP;;;SY)(A;OI;CCRP;;;BA)",
    "O:BAG:BAD:PAI(A;CI;CCDC;;;S-1-5-80-62724632-2456781206-3863850748-1496050881-1042387526)(A;CI;CCRP;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OI;CCRP;;;SY)(A;OI;CCRP;;;BA)",
    "O:BAG:BAD:AI(A;;CCDCLCSWRPSDRC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIO;SDGWGR;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;;CCDCLCSWRPSDRC;;;SY)(A;OICIIO;SDGWGR;;;SY)(A;;CCDCLCSWRPSDRC;;;BA)(A;OICIIO;SDGWGR;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:BAD:AI(A;ID;CCDCLCSWRPSDRC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIOID;SDGWGR;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;CCDCLCSWRPSDRC;;;SY)(A;OICIIOID;SDGWGR;;;SY)(A;ID;CCDCLCSWRPSDRC;;;BA)(A;OICIIOID;SDGWGR;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:BAD:AI(A;CI;CCDC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:LSG:LSD:AI(A;ID;CCDCLCSWRPSDRC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIOID;SDGWGR;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;CCDCLCSWRPSDRC;;;SY)(A;OICIIOID;SDGWGR;;;SY)(A;ID;CCDCLCSWRPSDRC;;;BA)(A;OICIIOID;SDGWGR;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;ID;KA;;;LS)(A;CIIOID;GA;;;CO)",
    "O:SYG:SYD:AI(A;ID;CCDCLCSWRPSDRC;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OICIIOID;SDGWGR;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;ID;CCDCLCSWRPSDRC;;;SY)(A;OICIIOID;SDGWGR;;;SY)(A;ID;CCDCLCSWRPSDRC;;;BA)(A;OICIIOID;SDGWGR;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:SYD:AI(A;;KA;;;SY)(A;;KR;;;BA)(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KR;;;PU)(A;CIIOID;GR;;;PU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:S-1-5-21-1476802820-2018171420-1012886164-513D:AI(A;ID;KR;;;BU)(A;CIIOID;GR;;;BU)(A;ID;KR;;;PU)(A;CIIOID;GR;;;PU)(A;ID;KA;;;BA)(A;CIIOID;GA;;;BA)(A;ID;KA;;;SY)(A;CIIOID;GA;;;SY)(A;CIIOID;GA;;;CO)",
    "O:BAG:BAD:PAI(A;CI;CCDC;;;S-1-5-80-979556362-403687129-3954533659-2335141334-1547273080)(A;CI;CCRP;;;S-1-5-80-3088073201-1464728630-1879813800-1107566885-823218052)(A;OI;CCRP;;;SY)(A;OI;CCRP;;;BA)",
};
static_assert(sizeof(kDescriptors) / sizeof(kDescriptors[0]) == 30, "30 descriptors");

// Per set: records, keepExisting records, records without values, value
// lines, and of those the guessed ones (flag 1: from no genuine source; 2:
// from another edition of the same build).
struct SetFigures {
  DWORD records, keepExisting, empty, lines, guessed;
};
const SetFigures kSets[5] = {
    {24, 0, 6, 58, 9}, {68, 10, 30, 155, 120}, {80, 12, 32, 866, 0}, {18, 1, 6, 46, 31}, {63, 10, 32, 207, 181},
};

// The data forms, tested in this order after "\"=".
struct Form {
  const char *prefix;
  DWORD type;
  DWORD lines;
};
const Form kForms[] = {
    {"\"", REG_SZ, 927},           {"dword:", REG_DWORD, 226},     {"hex:", REG_BINARY, 48},
    {"hex(2):", REG_EXPAND_SZ, 77}, {"hex(7):", REG_MULTI_SZ, 53}, {"hex(b):", REG_QWORD, 1},
};

// The service keys' start settings; -1: the record holds no such value.
struct StartSetting {
  DWORD set;
  const char *service;
  long start, type, errorControl, serviceSidType, delayedAutoStart;
};
const StartSetting kStartSettings[] = {
    {0, "BITS", 3, 32, 1, -1, -1},         {0, "SharedAccess", 2, 32, 1, -1, -1},
    {0, "wscsvc", 2, 32, 1, -1, -1},       {0, "wuauserv", 2, 32, 1, -1, -1},
    {1, "BFE", 2, 32, 1, 3, -1},           {1, "BITS", 2, 32, 1, 1, 1},
    {1, "iphlpsvc", 2, 32, 1, 1, -1},      {1, "MpsSvc", 2, 32, 1, 3, -1},
    {1, "SharedAccess", 4, 32, 1, 1, -1},  {1, "WinDefend", 2, 32, 1, 1, -1},
    {1, "wscsvc", 2, 32, 1, 1, 1},         {1, "wuauserv", 2, 32, 1, 1, 1},
    {2, "BFE", 2, 32, 1, 3, -1},           {2, "BITS", 3, 32, 1, 1, 1},
    {2, "iphlpsvc", 2, 32, 1, 1, -1},      {2, "MpsSvc", 2, 32, 1, 3, -1},
    {2, "SharedAccess", 4, 32, 1, 1, -1},  {2, "WinDefend", 2, 32, 1, 1, 1},
    {2, "wscsvc", 2, 32, 1, 1, 1},         {2, "wuauserv", 2, 32, 1, 1, 1},
    {3, "BITS", 3, 32, 1, -1, -1},         {3, "SharedAccess", 4, 32, 1, -1, -1},
    {3, "wuauserv", 2, 32, 1, -1, -1},     {4, "BFE", 2, 32, 1, 3, -1},
    {4, "BITS", 2, 32, 1, 1, 1},           {4, "iphlpsvc", 2, 32, 1, 1, -1},
    {4, "MpsSvc", 2, 32, 1, 3, -1},        {4, "SharedAccess", 4, 32, 1, 1, -1},
    {4, "wuauserv", 2, 32, 1, 1, 1},
};
const char *const kStartValues[] = {"Start", "Type", "ErrorControl", "ServiceSidType", "DelayedAutoStart"};

// The records given in full, byte for byte.
const WCHAR kXpWuauserv[] =
    L"\"Type\"=dword:00000020\0"
    L"\"Start\"=dword:00000002\0"
    L"\"ErrorControl\"=dword:00000001\0"
    L"\"ImagePath\"=hex(2):25,00,73,00,79,00,73,00,74,00,65,00,6d,00,72,00,6f,00,6f,00,74,00,25,00,5c,00,73,00,"
    L"79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,73,00,76,00,63,00,68,00,6f,00,73,00,74,00,2e,00,65,00,78,"
    L"00,65,00,20,00,2d,00,6b,00,20,00,6e,00,65,00,74,00,73,00,76,00,63,00,73,00,00,00\0"
    L"\"DisplayName\"=\"Automatic Updates\"\0"
    L"\"ObjectName\"=\"LocalSystem\"\0"
    L"\"Description\"=\"Enables the download and installation of Windows updates. If this service is disabled, "
    L"this computer will not be able to use the Automatic Updates feature or the Windows Update Web site.\"\0";
const WCHAR kXpWuauservEnum[] =
    L"\"0\"=\"Root\\LEGACY_WUAUSERV\\0000\"\0"
    L"\"Count\"=dword:00000001\0"
    L"\"NextInstance\"=dword:00000001\0";
const WCHAR kServer2003StaticSystem[] =
    L"\"SearchIndexer-1\"=\"V2.0|Action=Block|Dir=In|App=%SystemRoot%\\system32\\SearchIndexer.exe|Svc=WSearch|"
    L"Name=Block all inbound traffic to SearchIndexer|\"\0"
    L"\"SearchIndexer-2\"=\"V2.0|Action=Block|Dir=Out|App=%SystemRoot%\\system32\\SearchIndexer.exe|Svc=WSearch|"
    L"Name=Block all outbound traffic from SearchIndexer|\"\0"
    L"\"SearchFilterHost-1\"=\"V2.0|Action=Block|Dir=In|App=%SystemRoot%\\system32\\SearchFilterHost.exe|"
    L"Name=Block all inbound traffic to SearchFilterHost|\"\0"
    L"\"SearchFilterHost-2\"=\"V2.0|Action=Block|Dir=Out|App=%SystemRoot%\\system32\\SearchFilterHost.exe|"
    L"Name=Block all outbound traffic from SearchFilterHost|\"\0"
    L"\"clr_optimization_v4.0.30319_32-1\"=\"V4.0|Action=Block|Dir=In|"
    L"App=C:\\WINDOWS\\Microsoft.NET\\Framework\\v4.0.30319\\mscorsvw.exe|Svc=clr_optimization_v4.0.30319_32|"
    L"Name=Block traffic for clr_optimization_v4.0.30319_32|\"\0"
    L"\"clr_optimization_v4.0.30319_32-2\"=\"V4.0|Action=Block|Dir=Out|"
    L"App=C:\\WINDOWS\\Microsoft.NET\\Framework\\v4.0.30319\\mscorsvw.exe|Svc=clr_optimization_v4.0.30319_32|"
    L"Name=Block traffic for clr_optimization_v4.0.30319_32|\"\0";

struct FullRecord {
  DWORD set, number;
  const WCHAR *list;
  size_t units;
};
const FullRecord kFullRecords[] = {
    {0, 21, kXpWuauserv, sizeof(kXpWuauserv) / sizeof(WCHAR)},
    {0, 24, kXpWuauservEnum, sizeof(kXpWuauservEnum) / sizeof(WCHAR)},
    {3, 12, kServer2003StaticSystem, sizeof(kServer2003StaticSystem) / sizeof(WCHAR)},
};

// Single lines given in full: where they stand, and the value-line examples
// of the format, which are lines of the dataset.
const char kWin7FirstRule[] =
    "\"RemoteAssistance-PnrpSvc-UDP-OUT-Active\"=\"v2.10|Action=Allow|Active=TRUE|Dir=Out|Protocol=17|"
    "Profile=Domain|Profile=Private|App=%systemroot%\\system32\\svchost.exe|Svc=pnrpsvc|"
    "Name=@FirewallAPI.dll,-33037|Desc=@FirewallAPI.dll,-33038|EmbedCtxt=@FirewallAPI.dll,-33002|\"";
const char kWin7Qword[] = "\"1008\"=hex(b):96,a0,7a,d1,5c,38,cd,01";
const char *const kExampleLines[] = {
    "\"Type\"=dword:00000020",
    "\"DisplayName\"=\"Background Intelligent Transfer Service\"",
    "\"Collection\"=hex:87,00,01,00",
    "\"DependOnService\"=hex(7):52,00,70,00,63,00,73,00,73,00,00,00,00,00",
    "\"1008\"=hex(b):96,a0,7a,d1,5c,38,cd,01",
};

// ---- reading the table ----------------------------------------------------

// The lines of a record, and the list's size in bytes, terminators included.
std::vector<std::string> Lines(const WCHAR *list, size_t *bytes)
{
  std::vector<std::string> lines;
  size_t units = 0;
  const WCHAR *p = list;
  while (*p) {
    size_t n = 0;
    while (p[n])
      n++;
    lines.push_back(Narrow(p));
    units += n + 1;
    p += n + 1;
  }
  if (bytes)
    *bytes = 2 * (units + 1);
  return lines;
}

struct Line {
  std::string name, data;
  const Form *form;
};

Line Split(const std::string &line)
{
  Line l{"", "", nullptr};
  size_t cut = line.find("\"=");
  if (cut == std::string::npos || cut == 0)
    return l;
  l.name = line.substr(1, cut - 1);
  l.data = line.substr(cut + 2);
  for (const Form &f : kForms)
    if (l.data.compare(0, strlen(f.prefix), f.prefix) == 0) {
      l.form = &f;
      break;
    }
  return l;
}

bool IsHex(char c) { return isxdigit((unsigned char)c) != 0; }

// "aa,bb,cc": two-digit bytes separated by single commas.
bool ByteList(const std::string &text, std::vector<uint8_t> *bytes)
{
  bytes->clear();
  if (text.empty())
    return true;
  if ((text.size() + 1) % 3 != 0)
    return false;
  for (size_t i = 0; i < text.size(); i += 3) {
    if (!IsHex(text[i]) || !IsHex(text[i + 1]) || (i + 2 < text.size() && text[i + 2] != ','))
      return false;
    bytes->push_back((uint8_t)strtoul(text.substr(i, 2).c_str(), nullptr, 16));
  }
  return true;
}

std::vector<uint16_t> Units(const std::vector<uint8_t> &bytes)
{
  std::vector<uint16_t> units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    units.push_back((uint16_t)(bytes[i] | bytes[i + 1] << 8));
  return units;
}

std::string Ascii(const std::vector<uint16_t> &units)
{
  std::string s;
  for (uint16_t u : units)
    s += u < 0x80 ? (char)u : '?';
  return s;
}

std::string Lower(std::string s)
{
  for (char &c : s)
    c = (char)tolower((unsigned char)c);
  return s;
}

// The data bytes a well-formed line stands for; false with a reason when the
// data is not well formed.
bool DecodeData(const Line &l, std::vector<uint8_t> *bytes, std::string *why)
{
  const std::string &d = l.data;
  if (l.form->type == REG_SZ) {
    if (d.size() < 2 || d.back() != '"') {
      *why = "string data does not end with a double quote";
      return false;
    }
    std::u16string text = sim::Utf8ToUtf16(d.substr(1, d.size() - 2));
    bytes->clear();
    for (char16_t c : text) {
      bytes->push_back((uint8_t)(c & 0xFF));
      bytes->push_back((uint8_t)(c >> 8));
    }
    bytes->push_back(0);
    bytes->push_back(0);
    return true;
  }
  if (l.form->type == REG_DWORD) {
    std::string digits = d.substr(6);
    if (digits.size() != 8 || !std::all_of(digits.begin(), digits.end(), IsHex)) {
      *why = "dword: is not followed by eight hexadecimal digits";
      return false;
    }
    DWORD v = (DWORD)strtoul(digits.c_str(), nullptr, 16);
    *bytes = {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
    return true;
  }
  if (!ByteList(d.substr(strlen(l.form->prefix)), bytes)) {
    *why = "byte list is not two-digit bytes separated by commas";
    return false;
  }
  std::vector<uint16_t> u = Units(*bytes);
  switch (l.form->type) {
  case REG_EXPAND_SZ:
    if (bytes->size() % 2 || u.empty() || u.back() != 0 || std::count(u.begin(), u.end(), 0) != 1) {
      *why = "hex(2) data is not UTF-16 text with one terminating NUL";
      return false;
    }
    break;
  case REG_MULTI_SZ: {
    bool ok = bytes->size() % 2 == 0 && !u.empty() && u.back() == 0;
    if (ok && u.size() > 1) {
      ok = u[u.size() - 2] == 0 && u[0] != 0;
      for (size_t i = 1; ok && i + 1 < u.size(); i++)
        ok = !(u[i] == 0 && u[i - 1] == 0);
    }
    if (!ok) {
      *why = "hex(7) data is not NUL-ended strings followed by one more NUL";
      return false;
    }
    break;
  }
  case REG_QWORD:
    if (bytes->size() != 8) {
      *why = "hex(b) data is not eight bytes";
      return false;
    }
    break;
  }
  return true;
}

bool HasDrivePath(const std::string &text)
{
  for (size_t i = 0; i + 2 < text.size(); i++)
    if (isalpha((unsigned char)text[i]) && text[i + 1] == ':' && text[i + 2] == '\\')
      return true;
  return false;
}

// The text of a string or hex(2) value, for the path checks.
std::string ValueText(const Line &l, const std::vector<uint8_t> &bytes)
{
  if (l.form->type == REG_SZ)
    return l.data.substr(1, l.data.size() - 2);
  if (l.form->type == REG_EXPAND_SZ)
    return Ascii(Units(bytes));
  return "";
}

// Keys that hold lists of firewall or service-hardening rules.
bool IsRuleKey(const std::string &key)
{
  static const char *const kEndings[] = {"\\FirewallRules", "\\AuthorizedApplications\\List",
                                         "\\GloballyOpenPorts\\List"};
  for (const char *e : kEndings)
    if (key.size() > strlen(e) && key.compare(key.size() - strlen(e), strlen(e), e) == 0)
      return true;
  return key.find("\\RestrictedServices\\") != std::string::npos && key.size() > 7 &&
         key.compare(key.size() - 7, 7, "\\System") == 0;
}

// Values that switch on filtering or block traffic unless they are 0: a guess
// of one, written where a server lacks the value, can cut it off from remote
// administration.
bool SwitchesOnFiltering(const Line &l)
{
  static const char *const kNames[] = {"EnableFirewall", "DoNotAllowExceptions", "DefaultInboundAction",
                                       "DefaultOutboundAction"};
  for (const char *name : kNames)
    if (Lower(l.name) == Lower(name))
      return l.data != "dword:00000000";
  return false;
}

// One machine's performance-counter indexes: with another machine's, its
// counters break.
bool IsCounterIndex(const std::string &name)
{
  static const char *const kNames[] = {"First Counter", "Last Counter", "First Help", "Last Help", "Object List"};
  for (const char *n : kNames)
    if (Lower(name) == Lower(n))
      return true;
  return false;
}

// Values naming a path on drive C: the ServiceDll values of BITS and
// wuauserv in set 0 (XP writes those two so) and of set 3, the .NET Framework
// 2.0 service-hardening rules of set 2 and the .NET 4 ones given for set 3.
// The earlier reconstructed table counted 27, values no genuine source holds.
const DWORD kAbsolutePaths = 9;

// ---- the checks -------------------------------------------------------------

std::vector<std::string> CheckDataset(const RestoreRecord *records, DWORD count)
{
  std::vector<std::string> errors;
  auto fail = [&errors](const std::string &where, const std::string &what) {
    errors.push_back(where.empty() ? what : where + ": " + what);
  };
  const DWORD listed = sizeof(kListed) / sizeof(kListed[0]);
  if (count != listed)
    fail("", "table holds " + std::to_string(count) + " records, expected 253");

  DWORD perSet[5] = {}, keepPerSet[5] = {}, emptyPerSet[5] = {}, linesPerSet[5] = {}, guessedPerSet[5] = {};
  DWORD formCount[6] = {}, absolutePaths = 0;
  std::vector<std::string> firstUse;
  std::map<std::string, int> examples;
  // Names already seen in the key the current record belongs to (a split
  // key spans consecutive records).
  std::set<std::string> keyNames;
  for (DWORD i = 0; i < count; i++) {
    const RestoreRecord &r = records[i];
    std::string subKey = r.subKey ? r.subKey : "";
    std::string key = subKey.compare(0, strlen(kPrefix), kPrefix) == 0 ? subKey.substr(strlen(kPrefix)) : subKey;
    std::string where = "record " + std::to_string(i + 1) + " (set " + std::to_string(r.set) + " \"" + key + "\")";
    if (r.set > 4) {
      fail(where, "set out of range");
      continue;
    }
    DWORD number = ++perSet[r.set];
    where = "record " + std::to_string(i + 1) + " (set " + std::to_string(r.set) + " #" + std::to_string(number) +
            " \"" + key + "\")";
    if (i > 0 && r.set < records[i - 1].set)
      fail(where, "sets are not in the order 0, 1, 2, 3, 4");
    if (r.root != HKEY_LOCAL_MACHINE)
      fail(where, "root is not HKEY_LOCAL_MACHINE");
    if (subKey.compare(0, strlen(kPrefix), kPrefix) != 0)
      fail(where, "key does not lie below System\\CurrentControlset\\Services");
    if (!r.valueLines) {
      fail(where, "no value list");
      continue;
    }
    size_t bytes = 0;
    std::vector<std::string> lines = Lines(r.valueLines, &bytes);
    if (r.keepExisting > 1)
      fail(where, "keepExisting is neither 0 nor 1");
    keepPerSet[r.set] += r.keepExisting == 1;
    emptyPerSet[r.set] += lines.empty();
    linesPerSet[r.set] += (DWORD)lines.size();
    if (bytes > 65535)
      fail(where, "value list is " + std::to_string(bytes) + " bytes, more than 65,535");

    // The record against its row of the lists.
    const ListedRecord *row = nullptr;
    for (const ListedRecord &l : kListed)
      if (l.set == r.set && l.number == number)
        row = &l;
    if (!row) {
      fail(where, "not in the lists");
    } else {
      if (key != row->key)
        fail(where, std::string("key should be \"") + row->key + "\"");
      if (r.keepExisting != row->keepExisting)
        fail(where, "keepExisting should be " + std::to_string(row->keepExisting));
      if (!r.sddl || strcmp(r.sddl, kDescriptors[row->descriptor - 1]) != 0)
        fail(where, "descriptor is not D" + std::to_string(row->descriptor));
    }
    if (r.sddl && std::find(firstUse.begin(), firstUse.end(), r.sddl) == firstUse.end())
      firstUse.push_back(r.sddl);

    bool split = i > 0 && records[i - 1].set == r.set && records[i - 1].subKey &&
                 Lower(records[i - 1].subKey) == Lower(subKey);
    if (split && (records[i - 1].keepExisting != r.keepExisting || !records[i - 1].sddl || !r.sddl ||
                  strcmp(records[i - 1].sddl, r.sddl) != 0))
      fail(where, "records of a split key differ in keepExisting or descriptor");
    if (!split)
      keyNames.clear();

    bool filterEngine = key.find("BFE\\Parameters\\Policy\\") != std::string::npos;
    bool ruleKey = IsRuleKey(key);
    bool securityKey = key.size() > 9 && key.compare(key.size() - 9, 9, "\\Security") == 0;
    for (size_t n = 0; n < lines.size(); n++) {
      const std::string &text = lines[n];
      std::string at = where + " line " + std::to_string(n + 1);
      BYTE flag = r.guessedLines != nullptr ? r.guessedLines[n] : 0;
      bool guessed = flag != 0;
      if (flag > 2)
        fail(at, "guessed flag is neither 0, 1 nor 2");
      guessedPerSet[r.set] += guessed;
      // The filter engine builds its objects itself; a rule is written only
      // where a genuine installation holds it.
      if (filterEngine)
        fail(at, "filter-engine object in the table");
      if (ruleKey && flag == 1)
        fail(at, "rule without a genuine source");
      for (const char *example : kExampleLines)
        if (text == example)
          examples[example]++;
      Line l = Split(text);
      if (!l.form) {
        fail(at, "not a quoted name and one of the six data forms");
        continue;
      }
      formCount[l.form - kForms]++;
      if (guessed && SwitchesOnFiltering(l))
        fail(at, "guessed value \"" + l.name + "\" switches on filtering or blocks traffic");
      if (IsCounterIndex(l.name))
        fail(at, "per-machine performance-counter index \"" + l.name + "\"");
      if (l.name.size() > 58)
        fail(at, "value name \"" + l.name + "\" is longer than 58 characters");
      if (!keyNames.insert(Lower(l.name)).second)
        fail(at, "value \"" + l.name + "\" stands twice in the key");
      std::vector<uint8_t> data;
      std::string why;
      if (!DecodeData(l, &data, &why)) {
        fail(at, why);
        continue;
      }

      // The cleaner's own parser reads the line to the same value.
      std::vector<WCHAR> wide = Wide(text);
      ValueEntry entry;
      memset(&entry, 0, sizeof(entry));
      if (!ParseValueEntry(wide.data(), &entry)) {
        fail(at, "ParseValueEntry rejects the line");
      } else {
        if (Narrow(entry.name) != l.name || entry.type != l.form->type ||
            std::vector<uint8_t>(entry.data, entry.data + entry.size) != data)
          fail(at, "ParseValueEntry reads another name, type or data");
        HeapFree(GetProcessHeap(), 0, entry.data);
      }

      std::string valueText = ValueText(l, data);
      if (HasDrivePath(valueText))
        absolutePaths++;
      // XP names BITS's and wuauserv's libraries by absolute paths on drive C,
      // SharedAccess's and wscsvc's by %SystemRoot%.
      bool onDriveC = r.set == 3 || (r.set == 0 && (key == "BITS\\Parameters" || key == "wuauserv\\Parameters"));
      if (l.name == "ServiceDll" && onDriveC && valueText.compare(0, 3, "C:\\") != 0)
        fail(at, "ServiceDll does not name its library by an absolute path on drive C");
      if (filterEngine) {
        static const uint8_t header[8] = {0x01, 0x10, 0x08, 0x00, 0xcc, 0xcc, 0xcc, 0xcc};
        if (l.form->type != REG_BINARY || data.size() < 16 || memcmp(data.data(), header, 8) != 0) {
          fail(at, "filter-engine object does not begin 01,10,08,00,cc,cc,cc,cc");
        } else {
          DWORD length = data[8] | data[9] << 8 | data[10] << 16 | (DWORD)data[11] << 24;
          if ((uint64_t)length + 16 != data.size())
            fail(at, "filter-engine object is " + std::to_string(data.size()) + " bytes, its length field says " +
                         std::to_string(length) + " + 16");
        }
      }
      if (securityKey && l.name == "Security") {
        sim::SecurityDescriptor sd;
        if (l.form->type != REG_BINARY || data.size() < 20 || !((data[2] | data[3] << 8) & SE_SELF_RELATIVE) ||
            !sim::ParseSecurityDescriptor(data.data(), data.size(), &sd))
          fail(at, "\"Security\" is not a self-relative security descriptor");
      }
    }
  }

  for (DWORD s = 0; s < 5; s++) {
    std::string where = "set " + std::to_string(s);
    if (perSet[s] != kSets[s].records)
      fail(where, std::to_string(perSet[s]) + " records, expected " + std::to_string(kSets[s].records));
    if (keepPerSet[s] != kSets[s].keepExisting)
      fail(where, std::to_string(keepPerSet[s]) + " records with keepExisting, expected " +
                      std::to_string(kSets[s].keepExisting));
    if (emptyPerSet[s] != kSets[s].empty)
      fail(where, std::to_string(emptyPerSet[s]) + " records without values, expected " +
                      std::to_string(kSets[s].empty));
    if (linesPerSet[s] != kSets[s].lines)
      fail(where, std::to_string(linesPerSet[s]) + " value lines, expected " + std::to_string(kSets[s].lines));
    if (guessedPerSet[s] != kSets[s].guessed)
      fail(where, std::to_string(guessedPerSet[s]) + " guessed value lines, expected " +
                      std::to_string(kSets[s].guessed));
  }
  for (size_t f = 0; f < sizeof(kForms) / sizeof(kForms[0]); f++)
    if (formCount[f] != kForms[f].lines)
      fail("", std::to_string(formCount[f]) + " lines of the form " + kForms[f].prefix + ", expected " +
                   std::to_string(kForms[f].lines));
  if (absolutePaths != kAbsolutePaths)
    fail("", std::to_string(absolutePaths) + " values with absolute paths, expected " + std::to_string(kAbsolutePaths));
  if (firstUse.size() != 30)
    fail("", std::to_string(firstUse.size()) + " distinct descriptors, expected 30");
  for (size_t d = 0; d < firstUse.size() && d < 30; d++)
    if (firstUse[d] != kDescriptors[d]) {
      fail("", "descriptor number " + std::to_string(d + 1) + " in order of first use is not D" + std::to_string(d + 1));
      break;
    }
  for (const char *example : kExampleLines)
    if (!examples.count(example))
      fail("", std::string("example line ") + example + " is not in the table");
  return errors;
}

// The records of a set by number, for the checks of particular records.
const RestoreRecord *Find(const RestoreRecord *records, DWORD count, DWORD set, DWORD number)
{
  DWORD n = 0;
  for (DWORD i = 0; i < count; i++)
    if (records[i].set == set && ++n == number)
      return &records[i];
  return nullptr;
}

const RestoreRecord *FindKey(const RestoreRecord *records, DWORD count, DWORD set, const std::string &key)
{
  for (DWORD i = 0; i < count; i++)
    if (records[i].set == set && std::string(records[i].subKey) == kPrefix + key)
      return &records[i];
  return nullptr;
}

std::string Join(const std::vector<std::string> &errors)
{
  std::string s;
  for (const std::string &e : errors)
    s += e + "\n";
  return s;
}

class DatasetTest : public SimTest {};

TEST_F(DatasetTest, TableHasEveryFixedFigure)
{
  std::vector<std::string> errors = CheckDataset(g_RestoreRecords, g_RestoreRecordCount);
  EXPECT_TRUE(errors.empty()) << errors.size() << " problems:\n" << Join(errors);
}

TEST_F(DatasetTest, RecordsGivenInFullAreByteExact)
{
  for (const FullRecord &f : kFullRecords) {
    SCOPED_TRACE("set " + std::to_string(f.set) + " #" + std::to_string(f.number));
    const RestoreRecord *r = Find(g_RestoreRecords, g_RestoreRecordCount, f.set, f.number);
    ASSERT_NE(nullptr, r);
    size_t bytes = 0;
    Lines(r->valueLines, &bytes);
    // The literal's own terminator is the list's closing empty line.
    ASSERT_EQ(f.units * 2, bytes);
    EXPECT_EQ(0, memcmp(f.list, r->valueLines, bytes));
    // Given lines are never guesses: they overwrite what differs.
    EXPECT_EQ(nullptr, r->guessedLines);
  }
  const RestoreRecord *rules = Find(g_RestoreRecords, g_RestoreRecordCount, 2, 54);
  ASSERT_NE(nullptr, rules);
  EXPECT_EQ(kWin7FirstRule, Lines(rules->valueLines, nullptr).at(0));
  const RestoreRecord *perf = FindKey(g_RestoreRecords, g_RestoreRecordCount, 2, "BITS\\Performance");
  ASSERT_NE(nullptr, perf);
  std::vector<std::string> perfLines = Lines(perf->valueLines, nullptr);
  EXPECT_EQ(1, std::count(perfLines.begin(), perfLines.end(), kWin7Qword));
}

TEST_F(DatasetTest, ServiceStartSettings)
{
  size_t serviceKeys = 0;
  for (DWORD i = 0; i < g_RestoreRecordCount; i++)
    serviceKeys += strchr(g_RestoreRecords[i].subKey + strlen(kPrefix), '\\') == nullptr;
  EXPECT_EQ(sizeof(kStartSettings) / sizeof(kStartSettings[0]), serviceKeys) << "every service key has a row";
  for (const StartSetting &s : kStartSettings) {
    SCOPED_TRACE("set " + std::to_string(s.set) + " " + s.service);
    const RestoreRecord *r = FindKey(g_RestoreRecords, g_RestoreRecordCount, s.set, s.service);
    ASSERT_NE(nullptr, r);
    std::map<std::string, std::string> values;
    std::vector<std::string> lines = Lines(r->valueLines, nullptr);
    for (size_t n = 0; n < lines.size(); n++) {
      Line l = Split(lines[n]);
      values[l.name] = l.data;
      bool startValue = std::find_if(std::begin(kStartValues), std::end(kStartValues), [&l](const char *v) {
                          return l.name == v;
                        }) != std::end(kStartValues);
      if (startValue) {
        EXPECT_FALSE(r->guessedLines != nullptr && r->guessedLines[n] != 0) << l.name << " is given, not guessed";
      }
    }
    const long expected[] = {s.start, s.type, s.errorControl, s.serviceSidType, s.delayedAutoStart};
    for (size_t v = 0; v < 5; v++) {
      SCOPED_TRACE(kStartValues[v]);
      if (expected[v] < 0) {
        EXPECT_EQ(0u, values.count(kStartValues[v]));
        continue;
      }
      char want[16];
      snprintf(want, sizeof(want), "dword:%08lx", expected[v]);
      EXPECT_EQ(want, values[kStartValues[v]]);
    }
  }
}

TEST_F(DatasetTest, StringsKeepTheirDoubledBackslashes)
{
  // Stored as the source installations spell them, not unescaped.
  struct {
    DWORD set;
    const char *name;
    const char *text;
  } cases[] = {
      {2, "WindowsDefender-In", "App=%SystemRoot%\\\\system32\\\\svchost.exe"},
      {2, "WindowsDefender-Out", "App=%SystemRoot%\\\\system32\\\\svchost.exe"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.set) + " " + c.name);
    int found = 0;
    for (DWORD i = 0; i < g_RestoreRecordCount; i++) {
      if (g_RestoreRecords[i].set != c.set)
        continue;
      for (const std::string &text : Lines(g_RestoreRecords[i].valueLines, nullptr)) {
        Line l = Split(text);
        if (l.name == c.name) {
          found++;
          EXPECT_NE(std::string::npos, l.data.find(c.text)) << text;
        }
      }
    }
    EXPECT_LE(1, found);
  }
}

// Deliberately broken copies of the table: each fault is reported, naming the
// record where it is one record's.
const char kFilterObject[] = "\"{00000000-0000-0000-0000-000000000001}\"=hex:01,10,08,00,cc,cc,cc,cc,04,00,00,00,"
                             "00,00,00,00,00,00,00,00";
const BYTE kOneGuess[] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
class BrokenDatasetTest : public SimTest {
public:
  std::vector<RestoreRecord> copy_{g_RestoreRecords, g_RestoreRecords + g_RestoreRecordCount};
  std::vector<std::vector<WCHAR>> lists_;

  // Replaces the lines of the record at `index` (0-based) with these.
  void SetLines(size_t index, const std::vector<std::string> &lines)
  {
    std::vector<WCHAR> list;
    for (const std::string &l : lines) {
      std::vector<WCHAR> w = Wide(l);
      list.insert(list.end(), w.begin(), w.end());
    }
    list.push_back(0);
    lists_.push_back(list);
    copy_[index].valueLines = lists_.back().data();
  }

  size_t IndexOf(DWORD set, DWORD number)
  {
    return (size_t)(Find(copy_.data(), (DWORD)copy_.size(), set, number) - copy_.data());
  }
};

TEST_F(BrokenDatasetTest, EachFaultIsReported)
{
  lists_.reserve(16);  // keep the lists where the records point
  struct Case {
    const char *fault;
    std::function<void(BrokenDatasetTest *)> breakIt;
    const char *message;
  } cases[] = {
      {"a record missing", [](BrokenDatasetTest *t) { t->copy_.pop_back(); },
       "table holds 252 records, expected 253"},
      {"a 65,536-byte list",
       [](BrokenDatasetTest *t) {
         // Set 2 #40 with its own lines, the last one's text padded until the
         // list is one byte pair over.
         size_t i = t->IndexOf(2, 40);
         size_t bytes = 0;
         std::vector<std::string> lines = Lines(t->copy_[i].valueLines, &bytes);
         std::string &last = lines.back();
         last.insert(last.size() - 1, std::string((65536 - bytes) / 2, 'x'));
         t->SetLines(i, lines);
       },
       "record 132 (set 2 #40 \"SharedAccess\\Defaults\\FirewallPolicy\\FirewallRules\"): value list is 65536 "
       "bytes, more than 65,535"},
      {"a filter-engine object",
       [](BrokenDatasetTest *t) { t->SetLines(t->IndexOf(1, 7), {kFilterObject}); },
       "record 31 (set 1 #7 \"BFE\\Parameters\\Policy\\Persistent\\Filter\") line 1: filter-engine object in the "
       "table"},
      {"a filter-engine object whose length field is off",
       [](BrokenDatasetTest *t) {
         std::string object = kFilterObject;
         object[object.find("=hex:") + 5 + 8 * 3 + 1] = '1';  // byte 8, the length's low byte
         t->SetLines(t->IndexOf(2, 5), {object});
       },
       "record 97 (set 2 #5 \"BFE\\Parameters\\Policy\\BootTime\\Filter\") line 1: filter-engine object is 20 "
       "bytes, its length field says 1 + 16"},
      {"a rule without a genuine source",
       [](BrokenDatasetTest *t) { t->copy_[t->IndexOf(4, 60)].guessedLines = kOneGuess; },
       "record 250 (set 4 #60 \"SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static\\System\") "
       "line 1: rule without a genuine source"},
      {"a wrong line count",
       [](BrokenDatasetTest *t) {
         size_t i = t->IndexOf(0, 21);
         std::vector<std::string> lines = Lines(t->copy_[i].valueLines, nullptr);
         lines.pop_back();
         t->SetLines(i, lines);
       },
       "set 0: 57 value lines, expected 58"},
      {"a dword with seven digits",
       [](BrokenDatasetTest *t) {
         size_t i = t->IndexOf(3, 5);
         std::vector<std::string> lines = Lines(t->copy_[i].valueLines, nullptr);
         lines[0] = "\"Type\"=dword:0000002";  // seven digits
         t->SetLines(i, lines);
       },
       "record 177 (set 3 #5 \"SharedAccess\") line 1: dword: is not followed by eight hexadecimal digits"},
      {"a Security value that is no descriptor",
       [](BrokenDatasetTest *t) { t->SetLines(t->IndexOf(0, 3), {"\"Security\"=hex:01,00,04,80"}); },
       "record 3 (set 0 #3 \"BITS\\Security\") line 1: \"Security\" is not a self-relative security descriptor"},
      {"a value name in two records of a split key",
       [](BrokenDatasetTest *t) {
         size_t i = t->IndexOf(4, 52);
         std::vector<std::string> lines = Lines(t->copy_[i].valueLines, nullptr);
         lines[0] = Lines(t->copy_[i - 1].valueLines, nullptr)[0];
         t->SetLines(i, lines);
       },
       "stands twice in the key"},
      {"a descriptor swapped",
       [](BrokenDatasetTest *t) { t->copy_[t->IndexOf(3, 9)].sddl = kDescriptors[0]; },
       "record 181 (set 3 #9 \"SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\"): descriptor is not D29"},
      {"a guessed EnableFirewall back in Server 2003's domain profile",
       [](BrokenDatasetTest *t) {
         size_t i = t->IndexOf(3, 9);
         t->SetLines(i, {"\"EnableFirewall\"=dword:00000001"});
         t->copy_[i].guessedLines = kOneGuess;
       },
       "record 181 (set 3 #9 \"SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\") line 1: guessed value "
       "\"EnableFirewall\" switches on filtering or blocks traffic"},
      {"a guessed default inbound action of block in Server 2008 R2's copy of the domain profile",
       [](BrokenDatasetTest *t) {
         size_t i = t->IndexOf(4, 49);
         t->SetLines(i, {"\"DefaultInboundAction\"=dword:00000001"});
         t->copy_[i].guessedLines = kOneGuess;
       },
       "record 239 (set 4 #49 \"SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\") line 1: guessed value "
       "\"DefaultInboundAction\" switches on filtering or blocks traffic"},
      {"a counter index back in Vista's BITS\\Performance",
       [](BrokenDatasetTest *t) {
         size_t i = t->IndexOf(1, 13);
         std::vector<std::string> lines = Lines(t->copy_[i].valueLines, nullptr);
         lines.push_back("\"First Counter\"=dword:00001a36");
         t->SetLines(i, lines);
         t->copy_[i].guessedLines = kOneGuess;
       },
       "record 37 (set 1 #13 \"BITS\\Performance\") line 8: per-machine performance-counter index \"First Counter\""},
  };
  for (Case &c : cases) {
    SCOPED_TRACE(c.fault);
    copy_.assign(g_RestoreRecords, g_RestoreRecords + g_RestoreRecordCount);
    c.breakIt(this);
    std::vector<std::string> errors = CheckDataset(copy_.data(), (DWORD)copy_.size());
    bool named = false;
    for (const std::string &e : errors)
      named = named || e.find(c.message) != std::string::npos;
    EXPECT_TRUE(named) << "expected \"" << c.message << "\" among:\n" << Join(errors);
  }
}

}  // namespace

namespace {

// Restore mode over the real table, edition by edition, on a machine whose
// services were damaged, then once more on the restored machine.
struct EditionRun {
  DWORD osCode;
  DWORD major, minor;
  BYTE productType;
  DWORD set;
  const char *desktop;
  const char *line;
  const char *changedRuleKey;  // a keepExisting key whose first value is changed, or nullptr
};
const char *const kXpDesktopPath = "C:\\Documents and Settings\\All Users\\Desktop";
const EditionRun kEditionRuns[] = {
    {0x51, 5, 1, VER_NT_WORKSTATION, 0, kXpDesktopPath, "Processing Windows XP services restoration", nullptr},
    // Vista's rule lists are empty: no genuine source holds its rules.
    {0x60, 6, 0, VER_NT_WORKSTATION, 1, "C:\\ProgramData\\Desktop", "Processing Windows Vista services restoration",
     nullptr},
    {0x61, 6, 1, VER_NT_WORKSTATION, 2, "C:\\Users\\Public\\Desktop", "Processing Windows 7 services restoration",
     "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules"},
    {0x80000052, 5, 2, VER_NT_SERVER, 3, kXpDesktopPath, "Processing Windows Server 2003 services restoration",
     "SharedAccess\\Parameters\\FirewallPolicy\\RestrictedServices\\Static\\System"},
    {0x80000061, 6, 1, VER_NT_SERVER, 4, "C:\\Users\\Public\\Desktop",
     "Processing Windows Server 2008 R2 services restoration",
     "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules"},
};

bool StartsWith(const std::string &s, const char *prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

std::vector<std::string> RestoreOnce(const EditionRun &e)
{
  OpenTestLog(e.osCode);
  RestoreServices(e.osCode);
  CloseCleanerLog();
  return LastSection(e.desktop);
}

class DatasetRestoreTest : public SimTest {};

TEST_F(DatasetRestoreTest, DamagedServicesRestoredAndASecondRunWritesNothing)
{
  const std::string services = "HKLM\\System\\CurrentControlSet\\Services\\";
  for (const EditionRun &e : kEditionRuns) {
    SCOPED_TRACE(e.line);
    FreshMachine();
    sim::InstallWindows(e.major, e.minor, e.productType, false);
    DWORD records = 0, lines = 0;
    for (DWORD i = 0; i < g_RestoreRecordCount; i++)
      if (g_RestoreRecords[i].set == e.set) {
        records++;
        lines += (DWORD)Lines(g_RestoreRecords[i].valueLines, nullptr).size();
      }
    // The damage: automatic updates disabled, a rule changed.
    sim::SetDword(services + "wuauserv", "Start", 4);
    std::string changedRule;
    if (e.changedRuleKey) {
      const RestoreRecord *r = FindKey(g_RestoreRecords, g_RestoreRecordCount, e.set, e.changedRuleKey);
      ASSERT_NE(nullptr, r);
      changedRule = Split(Lines(r->valueLines, nullptr).at(0)).name;
      sim::SetString(services + e.changedRuleKey, changedRule, "v2.10|Action=Allow|Active=TRUE|Dir=In|");
    }

    std::vector<std::string> first = RestoreOnce(e);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(e.line, first[0]);
    size_t keyLines = 0, valueLines = 0;
    for (const std::string &l : first) {
      keyLines += StartsWith(l, "Creating HKLM\\System\\CurrentControlset\\Services\\");
      valueLines += StartsWith(l, "Writing value") || StartsWith(l, "Updating value") ||
                    StartsWith(l, "Value \"");
      EXPECT_EQ(std::string::npos, l.find("failed")) << l;
    }
    EXPECT_EQ(records, keyLines);
    EXPECT_EQ(lines, valueLines);
    EXPECT_NE(first.end(), std::find(first.begin(), first.end(),
                                     "Updating value \"Start\", current value differs from known good one... success"));
    EXPECT_EQ(2u, sim::Value(services + "wuauserv", "Start")->data[0]);
    if (e.changedRuleKey) {
      // A rule list is kept as the machine has it.
      EXPECT_NE(first.end(),
                std::find(first.begin(), first.end(), "Value \"" + changedRule + "\" doesn't need updating"));
      EXPECT_EQ("v2.10|Action=Allow|Active=TRUE|Dir=In|", sim::StringValue(services + e.changedRuleKey, changedRule));
    }

    // On the restored machine every line matches, is kept, or its key is
    // closed to the cleaner by the descriptor just applied.
    std::vector<std::string> second = RestoreOnce(e);
    keyLines = 0;
    for (const std::string &l : second) {
      keyLines += StartsWith(l, "Creating HKLM\\System\\CurrentControlset\\Services\\");
      EXPECT_FALSE(StartsWith(l, "Writing value") || StartsWith(l, "Updating value")) << l;
    }
    EXPECT_EQ(records, keyLines);
  }
}

// What the genuine data must show on a machine: the table's values written
// exactly, nothing else in the keys, no filter-engine object, and a guess
// never written over what the machine holds.
class GenuineDataRestoreTest : public SimTest {
protected:
  const std::string services_ = "HKLM\\System\\CurrentControlSet\\Services\\";

  // Every key of the set holds exactly the values of its records' lines.
  void ExpectKeysHoldTheTable(DWORD set)
  {
    std::map<std::string, std::vector<std::string>> keys;
    for (DWORD i = 0; i < g_RestoreRecordCount; i++)
      if (g_RestoreRecords[i].set == set) {
        std::vector<std::string> lines = Lines(g_RestoreRecords[i].valueLines, nullptr);
        std::vector<std::string> &all = keys["HKLM\\" + std::string(g_RestoreRecords[i].subKey)];
        all.insert(all.end(), lines.begin(), lines.end());
      }
    for (const auto &k : keys) {
      SCOPED_TRACE(k.first);
      const sim::RegKey *key = sim::Key(k.first);
      ASSERT_NE(nullptr, key);
      EXPECT_EQ(k.second.size(), key->values.size());
      for (const std::string &text : k.second) {
        std::vector<WCHAR> wide = Wide(text);
        ValueEntry entry;
        ASSERT_TRUE(ParseValueEntry(wide.data(), &entry)) << text;
        const sim::RegValue *v = sim::Value(k.first, Narrow(entry.name));
        EXPECT_TRUE(v && v->type == entry.type && v->data == std::vector<uint8_t>(entry.data, entry.data + entry.size))
            << text;
        HeapFree(GetProcessHeap(), 0, entry.data);
      }
      if (k.first.find("\\BFE\\Parameters\\Policy") != std::string::npos) {
        EXPECT_TRUE(key->values.empty()) << "no filter-engine object";
      }
    }
  }
};

TEST_F(GenuineDataRestoreTest, Windows7WithItsEightServicesDeleted)
{
  FreshMachine();
  sim::InstallWindows(6, 1, VER_NT_WORKSTATION, false);
  for (const char *s : {"BFE", "BITS", "iphlpsvc", "MpsSvc", "SharedAccess", "WinDefend", "wscsvc", "wuauserv"})
    ASSERT_EQ(nullptr, sim::Key(services_ + s)) << s;
  std::vector<std::string> first = RestoreOnce(kEditionRuns[2]);
  ExpectKeysHoldTheTable(SET_WIN7);
  // The service definitions as Windows 7 holds them (the hive's values).
  EXPECT_EQ("NetworkProvider", sim::StringValue(services_ + "BFE", "Group"));
  EXPECT_EQ(16u * 3600 * 1000, *(const DWORD *)sim::Value(services_ + "wuauserv", "PreshutdownTimeout")->data.data());
  EXPECT_EQ(REG_EXPAND_SZ,
            sim::Value(services_ + "SharedAccess\\Parameters\\FirewallPolicy\\DomainProfile\\Logging", "LogFilePath")->type);
  // Both rule keys hold the 297 in-box rules and nothing else.
  for (const char *rules : {"SharedAccess\\Defaults\\FirewallPolicy\\FirewallRules",
                            "SharedAccess\\Parameters\\FirewallPolicy\\FirewallRules"})
    EXPECT_EQ(297u, sim::Key(services_ + rules)->values.size()) << rules;
  std::vector<std::string> second = RestoreOnce(kEditionRuns[2]);
  for (const std::string &l : second)
    EXPECT_FALSE(StartsWith(l, "Writing value") || StartsWith(l, "Updating value")) << l;
}

TEST_F(GenuineDataRestoreTest, XpWithItsFourServicesDeleted)
{
  FreshMachine();
  sim::InstallWindows(5, 1, VER_NT_WORKSTATION, false);
  RestoreOnce(kEditionRuns[0]);
  ExpectKeysHoldTheTable(SET_XP);
  std::vector<std::string> second = RestoreOnce(kEditionRuns[0]);
  for (const std::string &l : second)
    EXPECT_FALSE(StartsWith(l, "Writing value") || StartsWith(l, "Updating value")) << l;
}

TEST_F(GenuineDataRestoreTest, NoFilterEngineObjectOnVistaOrServer2008R2)
{
  for (const EditionRun *e : {&kEditionRuns[1], &kEditionRuns[4]}) {
    SCOPED_TRACE(e->line);
    FreshMachine();
    sim::InstallWindows(e->major, e->minor, e->productType, false);
    RestoreOnce(*e);
    size_t policyKeys = 0;
    for (const auto &k : sim::M().registry)
      if (k.first.find("\\bfe\\parameters\\policy") != std::string::npos) {
        policyKeys++;
        EXPECT_TRUE(k.second.values.empty()) << k.first;
      }
    EXPECT_LE(4u, policyKeys);
  }
}

TEST_F(GenuineDataRestoreTest, XpKeepsItsOwnEnumValueButGetsItsServicesAndTheQuotedRecordBack)
{
  FreshMachine();
  sim::InstallWindows(5, 1, VER_NT_WORKSTATION, false);
  // The Enum keys are made at boot and are in no saved hive: theirs are guesses.
  const std::string own = "Root\\LEGACY_SHAREDACCESS\\0001";
  sim::SetString(services_ + "SharedAccess\\Enum", "0", own);
  sim::SetString(services_ + "SharedAccess", "ImagePath", "%SystemRoot%\\System32\\other.exe", REG_EXPAND_SZ);
  sim::SetDword(services_ + "SharedAccess", "Start", 4);
  sim::SetString(services_ + "wuauserv", "ImagePath", "%SystemRoot%\\System32\\other.exe", REG_EXPAND_SZ);
  sim::SetString(services_ + "wuauserv", "DisplayName", "Something else");
  std::vector<std::string> log = RestoreOnce(kEditionRuns[0]);
  EXPECT_EQ(own, sim::StringValue(services_ + "SharedAccess\\Enum", "0"));
  EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "Value \"0\" doesn't need updating"));
  // The captured ImagePath and the given Start are written over the machine's.
  EXPECT_EQ("%SystemRoot%\\system32\\svchost.exe -k netsvcs", sim::StringValue(services_ + "SharedAccess", "ImagePath"));
  EXPECT_EQ(2u, sim::Value(services_ + "SharedAccess", "Start")->data[0]);
  // wuauserv's quoted record is given: every value of it is written back.
  const RestoreRecord *quoted = FindKey(g_RestoreRecords, g_RestoreRecordCount, 0, "wuauserv");
  ASSERT_NE(nullptr, quoted);
  for (const std::string &text : Lines(quoted->valueLines, nullptr)) {
    std::vector<WCHAR> wide = Wide(text);
    ValueEntry entry;
    ASSERT_TRUE(ParseValueEntry(wide.data(), &entry));
    const sim::RegValue *v = sim::Value(services_ + "wuauserv", Narrow(entry.name));
    EXPECT_TRUE(v && v->data == std::vector<uint8_t>(entry.data, entry.data + entry.size)) << text;
    HeapFree(GetProcessHeap(), 0, entry.data);
  }
  EXPECT_EQ("%systemroot%\\system32\\svchost.exe -k netsvcs", sim::StringValue(services_ + "wuauserv", "ImagePath"));
}

}  // namespace

namespace {

// Server 2008 R2's values come from the Windows 7 hive of the same build:
// guesses about the server, never written over what it holds. Its start
// settings are given and always written; the firewall's notification and
// on/off settings, which servers set otherwise, are not in the set at all.
TEST_F(GenuineDataRestoreTest, Server2008R2KeepsItsOwnValuesWhereTheSetHoldsTheClients)
{
  FreshMachine();
  sim::InstallWindows(6, 1, VER_NT_SERVER, false);
  const std::string policy = services_ + "SharedAccess\\Parameters\\FirewallPolicy\\";
  sim::SetString(services_ + "BITS", "DisplayName", "The server's own name");
  sim::SetDword(services_ + "BITS", "Start", 3);
  sim::SetDword(services_ + "BITS", "ErrorControl", 0);
  sim::SetDword(policy + "DomainProfile", "DisableNotifications", 1);
  sim::SetDword(policy + "PublicProfile", "EnableFirewall", 0);
  std::vector<std::string> log = RestoreOnce(kEditionRuns[4]);
  auto logged = [&log](const std::string &line) { return std::find(log.begin(), log.end(), line) != log.end(); };

  // A client-derived value the server holds stays; one it lacks is written.
  EXPECT_EQ("The server's own name", sim::StringValue(services_ + "BITS", "DisplayName"));
  EXPECT_TRUE(logged("Value \"DisplayName\" doesn't need updating"));
  EXPECT_TRUE(logged("Writing value \"ImagePath\", current doesn't exist... success"));
  ASSERT_NE(nullptr, sim::Value(services_ + "BITS", "ImagePath"));
  // The given start settings are written over what differs.
  EXPECT_EQ(2u, sim::Value(services_ + "BITS", "Start")->data[0]);
  EXPECT_EQ(1u, sim::Value(services_ + "BITS", "ErrorControl")->data[0]);
  EXPECT_TRUE(logged("Updating value \"Start\", current value differs from known good one... success"));
  // Nothing written about notifications or switching the firewall on.
  EXPECT_EQ(1u, sim::Value(policy + "DomainProfile", "DisableNotifications")->data[0]);
  EXPECT_EQ(0u, sim::Value(policy + "PublicProfile", "EnableFirewall")->data[0]);
  for (const char *profile : {"DomainProfile", "PublicProfile", "StandardProfile"})
    for (const char *root : {"SharedAccess\\Defaults\\FirewallPolicy\\", "SharedAccess\\Parameters\\FirewallPolicy\\"}) {
      SCOPED_TRACE(std::string(root) + profile);
      ASSERT_NE(nullptr, sim::Key(services_ + root + profile));
      if (std::string(profile) != "DomainProfile" || std::string(root).find("Defaults") != std::string::npos) {
        EXPECT_EQ(nullptr, sim::Value(services_ + root + profile, "DisableNotifications"));
      }
      if (std::string(profile) != "PublicProfile" || std::string(root).find("Defaults") != std::string::npos) {
        EXPECT_EQ(nullptr, sim::Value(services_ + root + profile, "EnableFirewall"));
      }
    }
  for (const std::string &l : log) {
    EXPECT_EQ(std::string::npos, l.find("DisableNotifications")) << l;
    EXPECT_EQ(std::string::npos, l.find("EnableFirewall")) << l;
  }
}

}  // namespace
