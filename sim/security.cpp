// Binary SIDs, ACLs and security descriptors, and the access check.
#include "security.h"

#include <cstdlib>

#include "sim.h"

namespace sim {

bool SidFromString(const std::string &text, std::vector<uint8_t> *sid)
{
  if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-')
    return false;
  std::vector<unsigned long long> parts;
  size_t i = 2;
  while (i <= text.size()) {
    size_t end = text.find('-', i);
    if (end == std::string::npos)
      end = text.size();
    if (end == i)
      return false;
    unsigned long long v = 0;
    for (size_t k = i; k < end; k++) {
      if (text[k] < '0' || text[k] > '9')
        return false;
      v = v * 10 + (unsigned)(text[k] - '0');
      if (v > 0xFFFFFFFFFFFFull)
        return false;
    }
    parts.push_back(v);
    i = end + 1;
  }
  // Revision, authority, then 1 to 15 sub-authorities.
  if (parts.size() < 3 || parts.size() > 17 || parts[0] != 1)
    return false;
  sid->clear();
  sid->push_back(1);
  sid->push_back((uint8_t)(parts.size() - 2));
  for (int k = 5; k >= 0; k--)
    sid->push_back((uint8_t)(parts[1] >> (8 * k)));
  for (size_t k = 2; k < parts.size(); k++) {
    if (parts[k] > 0xFFFFFFFFull)
      return false;
    uint32_t v = (uint32_t)parts[k];
    for (int b = 0; b < 4; b++)
      sid->push_back((uint8_t)(v >> (8 * b)));
  }
  return true;
}

size_t SidLength(const uint8_t *sid) { return 8 + 4 * (size_t)sid[1]; }

bool SidValid(const uint8_t *sid, size_t available)
{
  return sid && available >= 8 && sid[0] == 1 && sid[1] <= 15 && SidLength(sid) <= available;
}

std::string SidToString(const uint8_t *sid)
{
  unsigned long long authority = 0;
  for (int k = 0; k < 6; k++)
    authority = (authority << 8) | sid[2 + k];
  std::string s = "S-1-" + std::to_string(authority);
  for (int k = 0; k < sid[1]; k++) {
    const uint8_t *p = sid + 8 + 4 * k;
    uint32_t v = (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
    s += "-" + std::to_string(v);
  }
  return s;
}

static void Put16(std::vector<uint8_t> &b, size_t at, uint16_t v)
{
  b[at] = (uint8_t)v;
  b[at + 1] = (uint8_t)(v >> 8);
}

static void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
  for (int k = 0; k < 4; k++)
    b[at + k] = (uint8_t)(v >> (8 * k));
}

static uint16_t Get16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
static uint32_t Get32(const uint8_t *p)
{
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

std::vector<uint8_t> BuildAcl(const std::vector<Ace> &aces)
{
  std::vector<uint8_t> acl(8, 0);
  for (const Ace &a : aces) {
    size_t at = acl.size();
    size_t len = 8 + a.sid.size();
    acl.resize(at + len, 0);
    acl[at] = a.type;
    acl[at + 1] = a.flags;
    Put16(acl, at + 2, (uint16_t)len);
    Put32(acl, at + 4, a.mask);
    std::copy(a.sid.begin(), a.sid.end(), acl.begin() + (long)at + 8);
  }
  acl[0] = 2;  // ACL_REVISION
  Put16(acl, 2, (uint16_t)acl.size());
  Put16(acl, 4, (uint16_t)aces.size());
  return acl;
}

bool ParseAcl(const uint8_t *acl, size_t available, std::vector<Ace> *aces)
{
  if (available < 8)
    return false;
  size_t size = Get16(acl + 2), count = Get16(acl + 4);
  if (size < 8 || size > available)
    return false;
  size_t at = 8;
  aces->clear();
  for (size_t i = 0; i < count; i++) {
    if (at + 8 > size)
      return false;
    size_t len = Get16(acl + at + 2);
    if (len < 16 || at + len > size || !SidValid(acl + at + 8, len - 8))
      return false;
    Ace a;
    a.type = acl[at];
    a.flags = acl[at + 1];
    a.mask = Get32(acl + at + 4);
    a.sid.assign(acl + at + 8, acl + at + 8 + SidLength(acl + at + 8));
    aces->push_back(a);
    at += len;
  }
  return true;
}

std::vector<uint8_t> BuildSelfRelative(const SecurityDescriptor &sd)
{
  std::vector<uint8_t> out(20, 0);
  out[0] = SECURITY_DESCRIPTOR_REVISION;
  WORD control = (WORD)(sd.control | SE_SELF_RELATIVE);
  if (sd.hasDacl)
    control |= SE_DACL_PRESENT;
  if (sd.hasSacl)
    control |= SE_SACL_PRESENT;
  Put16(out, 2, control);
  auto place = [&](size_t field, const std::vector<uint8_t> &bytes) {
    Put32(out, field, (uint32_t)out.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
  };
  // Layout as the platform writes it: owner, group, SACL, DACL.
  if (!sd.owner.empty())
    place(4, sd.owner);
  if (!sd.group.empty())
    place(8, sd.group);
  if (sd.hasSacl)
    place(12, BuildAcl(sd.sacl));
  if (sd.hasDacl)
    place(16, BuildAcl(sd.dacl));
  return out;
}

bool ParseSecurityDescriptor(const void *p, size_t available, SecurityDescriptor *out)
{
  const uint8_t *b = (const uint8_t *)p;
  if (!b || available < 20 || b[0] != SECURITY_DESCRIPTOR_REVISION)
    return false;
  WORD control = Get16(b + 2);
  *out = SecurityDescriptor();
  out->control = (WORD)(control & ~(SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT));
  out->hasDacl = (control & SE_DACL_PRESENT) != 0;
  out->hasSacl = (control & SE_SACL_PRESENT) != 0;
  auto at = [&](size_t field, size_t *offset) -> bool {
    *offset = 0;
    if (control & SE_SELF_RELATIVE) {
      *offset = Get32(b + field);
      return *offset == 0 || *offset < available;
    }
    return false;
  };
  if (!(control & SE_SELF_RELATIVE)) {
    // Absolute layout: pointers to the parts.
    const SECURITY_DESCRIPTOR *abs = (const SECURITY_DESCRIPTOR *)p;
    if (available < sizeof(SECURITY_DESCRIPTOR))
      return false;
    if (abs->Owner)
      out->owner.assign((const uint8_t *)abs->Owner, (const uint8_t *)abs->Owner + SidLength((const uint8_t *)abs->Owner));
    if (abs->Group)
      out->group.assign((const uint8_t *)abs->Group, (const uint8_t *)abs->Group + SidLength((const uint8_t *)abs->Group));
    if (out->hasDacl && abs->Dacl && !ParseAcl((const uint8_t *)abs->Dacl, Get16((const uint8_t *)abs->Dacl + 2), &out->dacl))
      return false;
    if (out->hasSacl && abs->Sacl && !ParseAcl((const uint8_t *)abs->Sacl, Get16((const uint8_t *)abs->Sacl + 2), &out->sacl))
      return false;
    return true;
  }
  size_t off;
  if (!at(4, &off))
    return false;
  if (off) {
    if (!SidValid(b + off, available - off))
      return false;
    out->owner.assign(b + off, b + off + SidLength(b + off));
  }
  if (!at(8, &off))
    return false;
  if (off) {
    if (!SidValid(b + off, available - off))
      return false;
    out->group.assign(b + off, b + off + SidLength(b + off));
  }
  if (!at(12, &off))
    return false;
  if (out->hasSacl && off && !ParseAcl(b + off, available - off, &out->sacl))
    return false;
  if (!at(16, &off))
    return false;
  if (out->hasDacl && off && !ParseAcl(b + off, available - off, &out->dacl))
    return false;
  return true;
}

DWORD MapGenericKey(DWORD mask)
{
  DWORD out = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (mask & GENERIC_READ)
    out |= KEY_READ;
  if (mask & GENERIC_WRITE)
    out |= KEY_WRITE;
  if (mask & GENERIC_EXECUTE)
    out |= KEY_EXECUTE;
  if (mask & GENERIC_ALL)
    out |= KEY_ALL_ACCESS;
  return out;
}

DWORD MapGenericFile(DWORD mask)
{
  DWORD out = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (mask & GENERIC_READ)
    out |= FILE_GENERIC_READ;
  if (mask & GENERIC_WRITE)
    out |= STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA |
           FILE_APPEND_DATA | SYNCHRONIZE;
  if (mask & GENERIC_EXECUTE)
    out |= STANDARD_RIGHTS_READ | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE;
  if (mask & GENERIC_ALL)
    out |= FILE_ALL_ACCESS;
  return out;
}

std::vector<std::string> TokenSids()
{
  return {M().userSid, "S-1-1-0", "S-1-5-32-544", "S-1-5-32-545", "S-1-5-11", "S-1-5-4", "S-1-2-0"};
}

bool AccessGranted(const std::vector<uint8_t> &selfRelative, DWORD desired, bool isKey)
{
  if (selfRelative.empty())
    return true;
  SecurityDescriptor sd;
  if (!ParseSecurityDescriptor(selfRelative.data(), selfRelative.size(), &sd))
    return false;
  if (!sd.hasDacl)
    return true;
  DWORD want = (isKey ? MapGenericKey(desired) : MapGenericFile(desired)) &
               ~(ACCESS_SYSTEM_SECURITY | MAXIMUM_ALLOWED | KEY_WOW64_64KEY | KEY_WOW64_32KEY);
  std::vector<std::string> mine = TokenSids();
  auto isMine = [&](const std::vector<uint8_t> &sid) {
    std::string s = SidToString(sid.data());
    for (const std::string &m : mine)
      if (m == s)
        return true;
    return false;
  };
  DWORD granted = 0;
  // The owner may always read and change the DACL.
  if (!sd.owner.empty() && isMine(sd.owner))
    granted |= READ_CONTROL | WRITE_DAC;
  // The DACL in order: a deny of a wanted right that is not yet granted ends the check.
  for (const Ace &a : sd.dacl) {
    if (a.flags & INHERIT_ONLY_ACE)
      continue;
    if (!isMine(a.sid))
      continue;
    DWORD mask = isKey ? MapGenericKey(a.mask) : MapGenericFile(a.mask);
    if (a.type == ACCESS_DENIED_ACE_TYPE && (mask & want & ~granted))
      return false;
    if (a.type == ACCESS_ALLOWED_ACE_TYPE)
      granted |= mask;
  }
  return (want & ~granted) == 0;
}

DWORD CheckKeyAccess(const std::string &keyPath, REGSAM sam)
{
  if ((sam & ACCESS_SYSTEM_SECURITY) && !M().enabledPrivileges.count("SeSecurityPrivilege"))
    return ERROR_PRIVILEGE_NOT_HELD;
  auto it = M().registry.find(keyPath);
  if (it == M().registry.end())
    return ERROR_FILE_NOT_FOUND;
  DWORD want = MapGenericKey(sam);
  // The take-ownership privilege grants WRITE_OWNER whatever the DACL says.
  if (M().enabledPrivileges.count("SeTakeOwnershipPrivilege"))
    want &= ~(DWORD)WRITE_OWNER;
  return AccessGranted(it->second.securityDescriptor, want, true) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

std::string TokenDefaultOwner() { return "S-1-5-32-544"; }

std::string TokenPrimaryGroup()
{
  // "None" (or "Domain Users"): RID 513 of the user's own domain.
  const std::string &user = M().userSid;
  size_t cut = user.rfind('-');
  return cut == std::string::npos ? user : user.substr(0, cut) + "-513";
}

// Inheritance onto a new key (a container): ACEs marked CI apply to it, those
// marked OI only pass on as inherit-only; an ACE that is effective here and
// also inherits further, and names CREATOR OWNER/GROUP or generic rights, is
// split into an effective ACE (owner substituted, rights mapped) and an
// inherit-only one that keeps the original.
static std::vector<Ace> InheritAces(const std::vector<Ace> &parent, const std::vector<uint8_t> &owner,
                                    const std::vector<uint8_t> &group)
{
  const BYTE inheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE;
  const DWORD generic = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
  std::vector<uint8_t> creatorOwner, creatorGroup;
  SidFromString("S-1-3-0", &creatorOwner);
  SidFromString("S-1-3-1", &creatorGroup);
  std::vector<Ace> out;
  for (const Ace &a : parent) {
    bool ci = (a.flags & CONTAINER_INHERIT_ACE) != 0, oi = (a.flags & OBJECT_INHERIT_ACE) != 0;
    bool np = (a.flags & NO_PROPAGATE_INHERIT_ACE) != 0;
    if (!ci && (!oi || np))
      continue;
    if (!ci) {
      Ace io = a;
      io.flags = (BYTE)(a.flags | INHERIT_ONLY_ACE | INHERITED_ACE);
      out.push_back(io);
      continue;
    }
    bool creator = a.sid == creatorOwner || a.sid == creatorGroup;
    Ace effective = a;
    effective.flags = (BYTE)((a.flags & ~inheritance) | INHERITED_ACE);
    effective.mask = MapGenericKey(a.mask);
    if (a.sid == creatorOwner)
      effective.sid = owner;
    else if (a.sid == creatorGroup)
      effective.sid = group;
    if (np) {
      out.push_back(effective);
    } else if (creator || (a.mask & generic)) {
      out.push_back(effective);
      Ace io = a;
      io.flags = (BYTE)(a.flags | INHERIT_ONLY_ACE | INHERITED_ACE);
      out.push_back(io);
    } else {
      Ace copy = a;
      copy.flags = (BYTE)((a.flags & ~INHERIT_ONLY_ACE) | INHERITED_ACE);
      out.push_back(copy);
    }
  }
  return out;
}

std::vector<uint8_t> InheritKeyDescriptor(const std::vector<uint8_t> &parentDescriptor)
{
  SecurityDescriptor parent;
  if (parentDescriptor.empty() || !ParseSecurityDescriptor(parentDescriptor.data(), parentDescriptor.size(), &parent))
    return {};
  SecurityDescriptor child;
  SidFromString(TokenDefaultOwner(), &child.owner);
  SidFromString(TokenPrimaryGroup(), &child.group);
  child.hasDacl = true;
  if (parent.hasDacl)
    child.dacl = InheritAces(parent.dacl, child.owner, child.group);
  if (parent.hasDacl && (parent.control & SE_DACL_AUTO_INHERITED))
    child.control |= SE_DACL_AUTO_INHERITED;
  if (child.dacl.empty()) {
    // Nothing to inherit: the token's default DACL, full control for
    // Administrators and SYSTEM.
    child.control &= (WORD)~SE_DACL_AUTO_INHERITED;
    for (const char *sid : {"S-1-5-32-544", "S-1-5-18"}) {
      Ace a;
      a.mask = KEY_ALL_ACCESS;
      SidFromString(sid, &a.sid);
      child.dacl.push_back(a);
    }
  }
  if (parent.hasSacl) {
    child.sacl = InheritAces(parent.sacl, child.owner, child.group);
    child.hasSacl = !child.sacl.empty();
    if (child.hasSacl && (parent.control & SE_SACL_AUTO_INHERITED))
      child.control |= SE_SACL_AUTO_INHERITED;
  }
  return BuildSelfRelative(child);
}

}  // namespace sim

namespace sim {

DWORD CheckFileAccess(const std::string &fullPath, DWORD desired)
{
  FsNode *n = Node(fullPath);
  if (!n)
    return ERROR_FILE_NOT_FOUND;
  return AccessGranted(n->securityDescriptor, desired, false) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

}  // namespace sim
