// SDDL to self-relative security descriptors (not built yet).
#include "security.h"
#include "sim.h"

namespace sim {
bool SddlToSelfRelative(const std::string &sddl, std::vector<uint8_t> *sd)
{
  (void)sddl;
  (void)sd;
  return false;
}
}  // namespace sim

extern "C" BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR sddl, DWORD revision,
                                                                     PSECURITY_DESCRIPTOR *sd, PULONG size)
{
  (void)sddl, (void)revision, (void)sd, (void)size;
  sim::Enter("ConvertStringSecurityDescriptorToSecurityDescriptorA", nullptr);
  sim::M().lastError = ERROR_INVALID_PARAMETER;
  return FALSE;
}
