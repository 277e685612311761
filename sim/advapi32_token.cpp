// Simulated advapi32 tokens and privileges, and CloseHandle for the kernel
// objects the cleaner opens (tokens and files).
#include "security.h"
#include "sim.h"

using namespace sim;

namespace {

struct Privilege {
  const char *name;
  DWORD luid;
};
// LUIDs as Windows assigns them.
const Privilege kPrivileges[] = {
    {"SeSecurityPrivilege", 8},  {"SeTakeOwnershipPrivilege", 9}, {"SeBackupPrivilege", 17},
    {"SeRestorePrivilege", 18},  {"SeShutdownPrivilege", 19},     {"SeDebugPrivilege", 20},
    {"SeChangeNotifyPrivilege", 23},
};

const char *PrivilegeName(LUID luid)
{
  if (luid.HighPart != 0)
    return nullptr;
  for (const Privilege &p : kPrivileges)
    if (p.luid == luid.LowPart)
      return p.name;
  return nullptr;
}

}  // namespace

extern "C" {

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
  DWORD injected;
  if (Enter("OpenProcessToken", &injected)) {
    M().lastError = injected;
    return FALSE;
  }
  if (process != GetCurrentProcess() || !token) {
    M().lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  Handle h;
  h.kind = HandleKind::Token;
  h.access = access;
  *token = (HANDLE)NewHandle(h);
  return TRUE;
}

BOOL LookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, PLUID luid)
{
  DWORD injected;
  if (Enter("LookupPrivilegeValueW", &injected)) {
    M().lastError = injected;
    return FALSE;
  }
  (void)system;
  if (!name || !luid) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  std::string n = Lower(Utf16ToUtf8(name));
  for (const Privilege &p : kPrivileges) {
    if (Lower(p.name) == n) {
      luid->LowPart = p.luid;
      luid->HighPart = 0;
      return TRUE;
    }
  }
  M().lastError = ERROR_NO_SUCH_PRIVILEGE;
  return FALSE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length,
                           PTOKEN_PRIVILEGES previous, PDWORD returnLength)
{
  DWORD injected;
  if (Enter("AdjustTokenPrivileges", &injected)) {
    M().lastError = injected;
    return FALSE;
  }
  Handle *h = FindHandle((uintptr_t)token, HandleKind::Token);
  if (!h) {
    M().lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  // The previous state is returned only on request, and needs TOKEN_QUERY.
  if (!(h->access & TOKEN_ADJUST_PRIVILEGES) || (previous && !(h->access & TOKEN_QUERY))) {
    M().lastError = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  if (!disableAll && !state) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  Machine &m = M();
  // The privileges that change, with the state they had; length is the size
  // of the caller's buffer for them and matters only when there is one.
  std::vector<std::pair<std::string, bool>> changes;
  bool all = true;
  if (disableAll) {
    for (const std::string &name : m.enabledPrivileges)
      changes.push_back({name, false});
  } else {
    for (DWORD i = 0; i < state->PrivilegeCount; i++) {
      const LUID_AND_ATTRIBUTES &p = state->Privileges[i];
      const char *name = PrivilegeName(p.Luid);
      if (!name || !m.heldPrivileges.count(name)) {
        all = false;
        continue;
      }
      bool enable = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
      if (enable != (m.enabledPrivileges.count(name) != 0))
        changes.push_back({name, enable});
    }
  }
  if (previous) {
    DWORD need = (DWORD)(sizeof(DWORD) + changes.size() * sizeof(LUID_AND_ATTRIBUTES));
    if (returnLength)
      *returnLength = need;
    if (length < need) {
      m.lastError = ERROR_INSUFFICIENT_BUFFER;
      return FALSE;
    }
    previous->PrivilegeCount = (DWORD)changes.size();
    LUID_AND_ATTRIBUTES *entries = previous->Privileges;
    for (size_t i = 0; i < changes.size(); i++) {
      for (const Privilege &p : kPrivileges)
        if (changes[i].first == p.name)
          entries[i].Luid = LUID{p.luid, 0};
      entries[i].Attributes = changes[i].second ? 0 : SE_PRIVILEGE_ENABLED;
    }
  }
  for (const auto &c : changes) {
    if (c.second)
      m.enabledPrivileges.insert(c.first);
    else
      m.enabledPrivileges.erase(c.first);
  }
  // Success even when some were not held; the caller learns it from the last error.
  m.lastError = all ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED;
  return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD length,
                         PDWORD returnLength)
{
  DWORD injected;
  if (Enter("GetTokenInformation", &injected)) {
    M().lastError = injected;
    return FALSE;
  }
  Handle *h = FindHandle((uintptr_t)token, HandleKind::Token);
  if (!h || !returnLength) {
    M().lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (!(h->access & TOKEN_QUERY)) {
    M().lastError = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  if (cls != TokenUser) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  std::vector<uint8_t> sid;
  SidFromString(M().userSid, &sid);
  DWORD need = (DWORD)(sizeof(TOKEN_USER) + sid.size());
  *returnLength = need;
  if (!info || length < need) {
    M().lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  TOKEN_USER *user = (TOKEN_USER *)info;
  uint8_t *sidAt = (uint8_t *)info + sizeof(TOKEN_USER);
  memcpy(sidAt, sid.data(), sid.size());
  user->User.Sid = sidAt;
  user->User.Attributes = 0;
  return TRUE;
}

BOOL ConvertSidToStringSidW(PSID sid, LPWSTR *text)
{
  DWORD injected;
  if (Enter("ConvertSidToStringSidW", &injected)) {
    M().lastError = injected;
    return FALSE;
  }
  if (!sid || !text || !SidValid((const uint8_t *)sid, 8 + 4 * 15)) {
    M().lastError = ERROR_INVALID_SID;
    return FALSE;
  }
  std::u16string s = Utf8ToUtf16(SidToString((const uint8_t *)sid));
  WCHAR *out = (WCHAR *)AllocLocal((s.size() + 1) * sizeof(WCHAR));
  for (size_t i = 0; i < s.size(); i++)
    out[i] = (WCHAR)s[i];
  out[s.size()] = 0;
  *text = out;
  return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
  DWORD injected;
  if (Enter("CloseHandle", &injected)) {
    M().lastError = injected;
    return FALSE;
  }
  uintptr_t v = (uintptr_t)handle;
  if (ReleaseHandle(v, HandleKind::Token) || ReleaseHandle(v, HandleKind::File))
    return TRUE;
  M().lastError = ERROR_INVALID_HANDLE;
  return FALSE;
}

}  // extern "C"
