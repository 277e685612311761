// Simulated advapi32 SIDs, ACLs and file security: AllocateAndInitializeSid,
// FreeSid, SetEntriesInAclW, InitializeSecurityDescriptor,
// SetSecurityDescriptorDacl, SetFileSecurityW and SetKernelObjectSecurity.
//
// A file's descriptor is stored self-relative on its node; the parts that a
// call's SECURITY_INFORMATION names are replaced, the others stay.
#include <cstdlib>

#include "security.h"
#include "sim.h"

using namespace sim;

namespace {

const DWORD kErrorNoneMapped = 1332;

BOOL Fail(DWORD error)
{
  M().lastError = error;
  return FALSE;
}

bool IsSelfRelative(PSECURITY_DESCRIPTOR sd)
{
  return (((const SECURITY_DESCRIPTOR *)sd)->Control & SE_SELF_RELATIVE) != 0;
}

// The extent of a descriptor: the absolute record, or a self-relative
// header with its parts at their offsets, each as long as it says it is.
size_t DescriptorBytes(PSECURITY_DESCRIPTOR sd)
{
  if (!IsSelfRelative(sd))
    return sizeof(SECURITY_DESCRIPTOR);
  const uint8_t *b = (const uint8_t *)sd;
  size_t end = 20;
  for (size_t field = 4; field <= 16; field += 4) {
    size_t off = (size_t)b[field] | ((size_t)b[field + 1] << 8) | ((size_t)b[field + 2] << 16) |
                 ((size_t)b[field + 3] << 24);
    if (!off)
      continue;
    size_t length = field <= 8 ? SidLength(b + off) : (size_t)(b[off + 2] | (b[off + 3] << 8));
    if (off + length > end)
      end = off + length;
  }
  return end;
}

// DACL present with no ACL behind it: a NULL DACL, which grants everyone
// everything (unlike an empty ACL, which grants nothing).
bool HasNullDacl(PSECURITY_DESCRIPTOR sd)
{
  const SECURITY_DESCRIPTOR *abs = (const SECURITY_DESCRIPTOR *)sd;
  if (!(abs->Control & SE_DACL_PRESENT))
    return false;
  if (!IsSelfRelative(sd))
    return abs->Dacl == nullptr;
  const uint8_t *b = (const uint8_t *)sd;
  return (b[16] | b[17] | b[18] | b[19]) == 0;
}

DWORD RequiredAccess(SECURITY_INFORMATION info)
{
  DWORD access = 0;
  if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION))
    access |= WRITE_OWNER;
  if (info & DACL_SECURITY_INFORMATION)
    access |= WRITE_DAC;
  if (info & SACL_SECURITY_INFORMATION)
    access |= ACCESS_SYSTEM_SECURITY;
  return access;
}

// Replaces the parts of the node's descriptor that info names.
DWORD ApplyDescriptor(FsNode *node, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd)
{
  SecurityDescriptor in, cur;
  if (!ParseSecurityDescriptor(sd, DescriptorBytes(sd), &in))
    return ERROR_INVALID_SECURITY_DESCR;
  if (!node->securityDescriptor.empty() &&
      !ParseSecurityDescriptor(node->securityDescriptor.data(), node->securityDescriptor.size(), &cur))
    return ERROR_INVALID_SECURITY_DESCR;
  if (info & OWNER_SECURITY_INFORMATION) {
    if (in.owner.empty())
      return ERROR_INVALID_SECURITY_DESCR;
    cur.owner = in.owner;
  }
  if (info & GROUP_SECURITY_INFORMATION)
    cur.group = in.group;
  if (info & DACL_SECURITY_INFORMATION) {
    cur.hasDacl = in.hasDacl && !HasNullDacl(sd);
    cur.dacl = in.dacl;
    cur.control = (WORD)((cur.control & ~(SE_DACL_DEFAULTED | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED)) |
                         (in.control & (SE_DACL_DEFAULTED | SE_DACL_PROTECTED)));
    if (info & PROTECTED_DACL_SECURITY_INFORMATION)
      cur.control |= SE_DACL_PROTECTED;
  }
  if (info & SACL_SECURITY_INFORMATION) {
    cur.hasSacl = in.hasSacl;
    cur.sacl = in.sacl;
  }
  node->securityDescriptor = BuildSelfRelative(cur);
  return ERROR_SUCCESS;
}

DWORD CheckSecurityAccess(const std::string &full, SECURITY_INFORMATION info)
{
  DWORD want = RequiredAccess(info);
  if ((want & ACCESS_SYSTEM_SECURITY) && !M().enabledPrivileges.count("SeSecurityPrivilege"))
    return ERROR_PRIVILEGE_NOT_HELD;
  return CheckFileAccess(full, want);
}

// ACEs for one trustee, as SetEntriesInAcl merges them.
bool SameTrustee(const Ace &a, const std::vector<uint8_t> &sid) { return a.sid == sid; }

DWORD BuildEntriesAcl(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL *newAcl);

}  // namespace

extern "C" {

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD a0, DWORD a1, DWORD a2,
                              DWORD a3, DWORD a4, DWORD a5, DWORD a6, DWORD a7, PSID *sid)
{
  DWORD injected;
  if (Enter("AllocateAndInitializeSid", &injected))
    return Fail(injected);
  if (!authority || !sid)
    return Fail(ERROR_INVALID_PARAMETER);
  if (count < 1 || count > 8)
    return Fail(ERROR_INVALID_SID);
  const DWORD subs[8] = {a0, a1, a2, a3, a4, a5, a6, a7};
  size_t bytes = 8 + 4 * (size_t)count;
  // The SID comes from the process heap; FreeSid gives it back, and a SID
  // never freed shows as a heap block left allocated.
  uint8_t *p = (uint8_t *)calloc(1, bytes);
  M().heapBlocks[p] = bytes;
  p[0] = 1;
  p[1] = count;
  memcpy(p + 2, authority->Value, 6);
  for (int k = 0; k < count; k++)
    for (int b = 0; b < 4; b++)
      p[8 + 4 * k + b] = (uint8_t)(subs[k] >> (8 * b));
  *sid = p;
  return TRUE;
}

PVOID FreeSid(PSID sid)
{
  Enter("FreeSid", nullptr);
  auto it = M().heapBlocks.find(sid);
  if (!sid || it == M().heapBlocks.end()) {
    fprintf(stderr, "sim: FreeSid of a SID that AllocateAndInitializeSid did not give\n");
    abort();
  }
  M().heapBlocks.erase(it);
  free(sid);
  return nullptr;
}

// Builds a new ACL from the old one and the entries: deny entries first, then
// allow entries, then the inherited ones, as the platform orders them. Only
// trustees given by SID are modelled; a name fails as not mapped. On failure
// nothing is written to *newAcl.
//
// advapi32 does the work in the access-control provider, ntmarta.dll, which
// it loads on first use and keeps; the simulation holds it for the call
// only, which comes to the same for a process that did not load it before.
DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL *newAcl)
{
  DWORD injected;
  if (Enter("SetEntriesInAclW", &injected))
    return injected;
  if (!newAcl || (count && !entries))
    return ERROR_INVALID_PARAMETER;
  DWORD loadError;
  if (!LoadOnDemand("ntmarta.dll", &loadError))
    return loadError;
  DWORD result = BuildEntriesAcl(count, entries, oldAcl, newAcl);
  ReleaseOnDemand("ntmarta.dll");
  return result;
}

}  // extern "C"

namespace {

DWORD BuildEntriesAcl(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL *newAcl)
{
  std::vector<Ace> aces;
  if (oldAcl && !ParseAcl((const uint8_t *)oldAcl, oldAcl->AclSize, &aces))
    return ERROR_INVALID_ACL;
  for (ULONG i = 0; i < count; i++) {
    const EXPLICIT_ACCESS_W &e = entries[i];
    if (e.Trustee.pMultipleTrustee || e.Trustee.MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE)
      return ERROR_INVALID_PARAMETER;
    if (e.Trustee.TrusteeForm == TRUSTEE_IS_NAME)
      return kErrorNoneMapped;
    if (e.Trustee.TrusteeForm != TRUSTEE_IS_SID)
      return ERROR_INVALID_PARAMETER;
    const uint8_t *sidBytes = (const uint8_t *)e.Trustee.ptstrName;
    if (!SidValid(sidBytes, 8 + 4 * 15))
      return ERROR_INVALID_SID;
    std::vector<uint8_t> sid(sidBytes, sidBytes + SidLength(sidBytes));
    BYTE flags = (BYTE)(e.grfInheritance & 0x1F);
    switch (e.grfAccessMode) {
    case GRANT_ACCESS:
    case DENY_ACCESS: {
      BYTE type = e.grfAccessMode == GRANT_ACCESS ? ACCESS_ALLOWED_ACE_TYPE : ACCESS_DENIED_ACE_TYPE;
      bool merged = false;
      for (Ace &a : aces) {
        if (a.type == type && !(a.flags & INHERITED_ACE) && a.flags == flags && SameTrustee(a, sid)) {
          a.mask |= e.grfAccessPermissions;
          merged = true;
          break;
        }
      }
      if (!merged)
        aces.push_back(Ace{type, flags, e.grfAccessPermissions, sid});
      break;
    }
    case SET_ACCESS:
    case REVOKE_ACCESS: {
      std::vector<Ace> kept;
      for (const Ace &a : aces)
        if ((a.flags & INHERITED_ACE) || !SameTrustee(a, sid) ||
            (e.grfAccessMode == REVOKE_ACCESS && a.type == ACCESS_DENIED_ACE_TYPE))
          kept.push_back(a);
      aces = kept;
      if (e.grfAccessMode == SET_ACCESS)
        aces.push_back(Ace{ACCESS_ALLOWED_ACE_TYPE, flags, e.grfAccessPermissions, sid});
      break;
    }
    default:
      return ERROR_INVALID_PARAMETER;
    }
  }
  std::vector<Ace> ordered;
  for (int pass = 0; pass < 3; pass++)
    for (const Ace &a : aces) {
      bool inherited = (a.flags & INHERITED_ACE) != 0;
      if ((pass == 0 && !inherited && a.type == ACCESS_DENIED_ACE_TYPE) ||
          (pass == 1 && !inherited && a.type != ACCESS_DENIED_ACE_TYPE) || (pass == 2 && inherited))
        ordered.push_back(a);
    }
  std::vector<uint8_t> acl = BuildAcl(ordered);
  void *out = AllocLocal(acl.size());
  memcpy(out, acl.data(), acl.size());
  *newAcl = (PACL)out;
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision)
{
  DWORD injected;
  if (Enter("InitializeSecurityDescriptor", &injected))
    return Fail(injected);
  if (revision != SECURITY_DESCRIPTOR_REVISION)
    return Fail(ERROR_UNKNOWN_REVISION);
  SECURITY_DESCRIPTOR *abs = (SECURITY_DESCRIPTOR *)sd;
  memset(abs, 0, sizeof(*abs));
  abs->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted)
{
  DWORD injected;
  if (Enter("SetSecurityDescriptorDacl", &injected))
    return Fail(injected);
  SECURITY_DESCRIPTOR *abs = (SECURITY_DESCRIPTOR *)sd;
  if (abs->Revision != SECURITY_DESCRIPTOR_REVISION)
    return Fail(ERROR_UNKNOWN_REVISION);
  if (abs->Control & SE_SELF_RELATIVE)
    return Fail(ERROR_INVALID_SECURITY_DESCR);
  if (!present) {
    abs->Control &= (WORD)~SE_DACL_PRESENT;
    return TRUE;
  }
  abs->Control |= SE_DACL_PRESENT;
  abs->Dacl = dacl;
  if (defaulted)
    abs->Control |= SE_DACL_DEFAULTED;
  else
    abs->Control &= (WORD)~SE_DACL_DEFAULTED;
  return TRUE;
}

// The object is opened without FILE_OPEN_REPARSE_POINT: a junction or link
// at the end of the path passes the descriptor on to its target.
BOOL SetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd)
{
  DWORD error;
  if (Enter("SetFileSecurityW", &error))
    return Fail(error);
  if (!path || !sd)
    return Fail(ERROR_INVALID_PARAMETER);
  std::string full;
  if (!ResolvePath(Utf16ToUtf8(path), true, &full, &error))
    return Fail(error);
  FsNode *node = Node(full);
  if (!node) {
    FsNode *parent = Node(ParentOf(full));
    return Fail(parent && parent->isDir ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  }
  if (!node->reparseTarget.empty()) {
    full = node->reparseTarget;
    node = Node(full);
    if (!node)
      return Fail(ERROR_PATH_NOT_FOUND);
  }
  error = CheckSecurityAccess(full, info);
  if (error == ERROR_SUCCESS)
    error = ApplyDescriptor(node, info, sd);
  if (error == ERROR_SUCCESS)
    SyncLinks(*node);
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

// File handles, native ones included; the handle must have been opened with the rights that
// the parts to be written need.
BOOL SetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR sd)
{
  DWORD error;
  if (Enter("SetKernelObjectSecurity", &error))
    return Fail(error);
  Handle *h = FindHandle((uintptr_t)object, HandleKind::File);
  if (!h)
    h = FindHandle((uintptr_t)object, HandleKind::NtFile);
  if (!h)
    return Fail(ERROR_INVALID_HANDLE);
  if (!sd)
    return Fail(ERROR_INVALID_PARAMETER);
  DWORD want = RequiredAccess(info);
  if ((h->access & want) != want)
    return Fail(ERROR_ACCESS_DENIED);
  // The file the handle was opened on, whatever its name is by now.
  FsNode *node = NodeOfHandle(*h);
  if (!node)
    return Fail(ERROR_FILE_NOT_FOUND);
  error = ApplyDescriptor(node, info, sd);
  if (error == ERROR_SUCCESS)
    SyncLinks(*node);
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

}  // extern "C"
