// Simulated advapi32 key security: RegGetKeySecurity reads the requested
// parts of a key's descriptor, RegSetKeySecurity writes the requested
// parts of a descriptor onto the key behind a handle. The handle must carry
// the rights each part needs; inheritable ACEs are not pushed down to
// existing subkeys (only the higher-level SetSecurityInfo does that).
#include <algorithm>

#include "security.h"
#include "sim.h"

using namespace sim;

namespace {

uint32_t Get32(const uint8_t *p)
{
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// Owners the token may assign without SeRestorePrivilege: its user and the
// groups it holds with the owner attribute (Administrators).
bool AssignableOwner(const std::vector<uint8_t> &owner)
{
  std::string sid = SidToString(owner.data());
  if (sid == M().userSid || sid == TokenDefaultOwner())
    return true;
  return M().enabledPrivileges.count("SeRestorePrivilege") != 0;
}

const WORD kDaclControl = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ | SE_DACL_DEFAULTED;
const WORD kSaclControl = SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED | SE_SACL_AUTO_INHERIT_REQ | SE_SACL_DEFAULTED;

}  // namespace

size_t sim::SelfRelativeLength(const uint8_t *sd)
{
  size_t end = 20;
  for (size_t field : {4, 8}) {
    uint32_t off = Get32(sd + field);
    if (off)
      end = std::max(end, off + SidLength(sd + off));
  }
  for (size_t field : {12, 16}) {
    uint32_t off = Get32(sd + field);
    if (off)
      end = std::max(end, off + (size_t)(sd[off + 2] | (sd[off + 3] << 8)));
  }
  return end;
}

// The parts asked for, self-relative. A key whose descriptor the machine
// leaves at its default shows the token's owner and group and no DACL,
// which grants everything, as the default does.
extern "C" LONG RegGetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd, LPDWORD size)
{
  DWORD injected;
  if (Enter("RegGetKeySecurity", &injected))
    return (LONG)injected;
  std::string path;
  Handle *h = KeyHandleOf(key, &path);
  if (!h)
    return ERROR_INVALID_HANDLE;
  if (!size)
    return ERROR_INVALID_PARAMETER;
  DWORD need = 0;
  if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))
    need |= READ_CONTROL;
  if (info & SACL_SECURITY_INFORMATION)
    need |= ACCESS_SYSTEM_SECURITY;
  if ((h->access & need) != need)
    return ERROR_ACCESS_DENIED;
  RegKey *k = Key(path);
  if (!k)
    return ERROR_KEY_DELETED;
  SecurityDescriptor now;
  if (k->securityDescriptor.empty()) {
    SidFromString(TokenDefaultOwner(), &now.owner);
    SidFromString(TokenPrimaryGroup(), &now.group);
  } else {
    ParseSecurityDescriptor(k->securityDescriptor.data(), k->securityDescriptor.size(), &now);
  }
  SecurityDescriptor out;
  if (info & OWNER_SECURITY_INFORMATION)
    out.owner = now.owner;
  if (info & GROUP_SECURITY_INFORMATION)
    out.group = now.group;
  if (info & DACL_SECURITY_INFORMATION) {
    out.hasDacl = now.hasDacl;
    out.dacl = now.dacl;
    out.control |= (WORD)(now.control & kDaclControl);
  }
  if (info & SACL_SECURITY_INFORMATION) {
    out.hasSacl = now.hasSacl;
    out.sacl = now.sacl;
    out.control |= (WORD)(now.control & kSaclControl);
  }
  std::vector<uint8_t> bytes = BuildSelfRelative(out);
  if (!sd || *size < bytes.size()) {
    *size = (DWORD)bytes.size();
    return ERROR_INSUFFICIENT_BUFFER;
  }
  memcpy(sd, bytes.data(), bytes.size());
  *size = (DWORD)bytes.size();
  return ERROR_SUCCESS;
}

extern "C" LONG RegSetKeySecurity(HKEY key, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd)
{
  DWORD injected;
  if (Enter("RegSetKeySecurity", &injected))
    return (LONG)injected;
  std::string path;
  Handle *h = KeyHandleOf(key, &path);
  if (!h)
    return ERROR_INVALID_HANDLE;
  if (!sd)
    return ERROR_INVALID_PARAMETER;
  DWORD need = 0;
  if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION))
    need |= WRITE_OWNER;
  if (info & DACL_SECURITY_INFORMATION)
    need |= WRITE_DAC;
  if (info & SACL_SECURITY_INFORMATION)
    need |= ACCESS_SYSTEM_SECURITY;
  if ((h->access & need) != need)
    return ERROR_ACCESS_DENIED;

  const uint8_t *bytes = (const uint8_t *)sd;
  if (bytes[0] != SECURITY_DESCRIPTOR_REVISION)
    return ERROR_INVALID_SECURITY_DESCR;
  bool selfRelative = (bytes[2] | (bytes[3] << 8)) & SE_SELF_RELATIVE;
  size_t length = selfRelative ? SelfRelativeLength(bytes) : sizeof(SECURITY_DESCRIPTOR);
  SecurityDescriptor in;
  if (!ParseSecurityDescriptor(sd, length, &in))
    return ERROR_INVALID_SECURITY_DESCR;
  if (info & OWNER_SECURITY_INFORMATION) {
    if (in.owner.empty() || !AssignableOwner(in.owner))
      return ERROR_INVALID_OWNER;
  }
  if ((info & GROUP_SECURITY_INFORMATION) && in.group.empty())
    return ERROR_INVALID_PRIMARY_GROUP;

  RegKey *k = Key(path);
  if (!k)
    return ERROR_KEY_DELETED;
  SecurityDescriptor now;
  if (!k->securityDescriptor.empty())
    ParseSecurityDescriptor(k->securityDescriptor.data(), k->securityDescriptor.size(), &now);
  if (info & OWNER_SECURITY_INFORMATION)
    now.owner = in.owner;
  if (info & GROUP_SECURITY_INFORMATION)
    now.group = in.group;
  // A part asked for but absent from the descriptor is removed: no DACL
  // (everyone may do anything) or no SACL.
  if (info & DACL_SECURITY_INFORMATION) {
    now.hasDacl = in.hasDacl;
    now.dacl = in.dacl;
    now.control = (WORD)((now.control & ~kDaclControl) | (in.control & kDaclControl));
    if (info & PROTECTED_DACL_SECURITY_INFORMATION)
      now.control |= SE_DACL_PROTECTED;
    else if (info & UNPROTECTED_DACL_SECURITY_INFORMATION)
      now.control &= (WORD)~SE_DACL_PROTECTED;
  }
  if (info & SACL_SECURITY_INFORMATION) {
    now.hasSacl = in.hasSacl;
    now.sacl = in.sacl;
    now.control = (WORD)((now.control & ~kSaclControl) | (in.control & kSaclControl));
    if (info & PROTECTED_SACL_SECURITY_INFORMATION)
      now.control |= SE_SACL_PROTECTED;
    else if (info & UNPROTECTED_SACL_SECURITY_INFORMATION)
      now.control &= (WORD)~SE_SACL_PROTECTED;
  }
  k->securityDescriptor = BuildSelfRelative(now);
  return ERROR_SUCCESS;
}
