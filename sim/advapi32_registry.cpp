// Simulated advapi32 registry: keys with handles, values with their stored
// types, the merged HKEY_CLASSES_ROOT view and the WOW64 registry views.
#include "security.h"
#include "sim.h"

using namespace sim;

namespace {

bool StartsWith(const std::string &s, const std::string &prefix)
{
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

const char *RootName(HKEY root)
{
  if (root == HKEY_LOCAL_MACHINE)
    return "hklm";
  if (root == HKEY_CURRENT_USER)
    return "hkcu";
  if (root == HKEY_USERS)
    return "hku";
  return nullptr;
}

std::string Append(const std::string &base, const std::string &sub)
{
  std::string s = sub;
  while (!s.empty() && s.front() == '\\')
    s.erase(0, 1);
  while (!s.empty() && s.back() == '\\')
    s.pop_back();
  return s.empty() ? base : base + "\\" + Lower(s);
}

// A 32-bit process on 64-bit Windows sees the 32-bit view unless it asks for
// the 64-bit one: HKLM\Software and the class registrations are redirected
// to their Wow6432Node.
std::string ApplyView(const std::string &path, REGSAM sam)
{
  if (!M().wow64 || (sam & KEY_WOW64_64KEY))
    return path;
  const char *classes[] = {"hklm\\software\\classes\\clsid", "hkcu\\software\\classes\\clsid"};
  for (const char *c : classes) {
    std::string p = c;
    if (path == p || StartsWith(path, p + "\\")) {
      std::string base = p.substr(0, p.size() - 6);  // "...\classes"
      return base + "\\wow6432node\\clsid" + path.substr(p.size());
    }
  }
  std::string sw = "hklm\\software";
  if (StartsWith(path, sw + "\\") && !StartsWith(path, sw + "\\wow6432node") &&
      !StartsWith(path, sw + "\\classes"))
    return sw + "\\wow6432node" + path.substr(sw.size());
  return path;
}

bool KeyExists(const std::string &path) { return M().registry.count(path) != 0; }

// The full map path of (root, sub key), or "" for an invalid handle. For
// HKEY_CLASSES_ROOT the user's registration wins over the machine's.
std::string ResolveKey(HKEY root, const char *subKey, REGSAM sam, bool forCreate, LONG *error)
{
  std::string sub = subKey ? AnsiToUtf8(subKey) : "";
  if (root == HKEY_CLASSES_ROOT) {
    std::string user = ApplyView(Append("hkcu\\software\\classes", sub), sam);
    std::string machine = ApplyView(Append("hklm\\software\\classes", sub), sam);
    if (KeyExists(user))
      return user;
    if (KeyExists(machine) || forCreate)
      return machine;
    *error = ERROR_FILE_NOT_FOUND;
    return machine;
  }
  std::string base;
  if (const char *name = RootName(root)) {
    base = name;
  } else {
    Handle *h = FindHandle((uintptr_t)root, HandleKind::Key);
    if (!h) {
      *error = ERROR_INVALID_HANDLE;
      return "";
    }
    base = h->path;
    // An empty sub key names the handle's own key: a new handle to it, with
    // no view applied again.
    if (Append(base, sub) == base)
      return base;
  }
  return ApplyView(Append(base, sub), sam);
}

Handle *KeyHandle(HKEY key, std::string *path)
{
  if (const char *name = RootName(key)) {
    static Handle root;
    root.kind = HandleKind::Key;
    root.path = name;
    root.access = KEY_ALL_ACCESS;
    *path = name;
    return &root;
  }
  Handle *h = FindHandle((uintptr_t)key, HandleKind::Key);
  if (h)
    *path = h->path;
  return h;
}

RegValue *FindValue(RegKey &k, const std::string &name)
{
  for (RegValue &v : k.values)
    if (SameName(v.name, name))
      return &v;
  return nullptr;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// The handle keeps the access granted when it was opened, generic rights
// mapped; later changes of the key's descriptor do not alter it.
HKEY OpenHandle(const std::string &path, REGSAM sam)
{
  Handle h;
  h.kind = HandleKind::Key;
  h.path = path;
  h.access = MapGenericKey(sam) & ~(DWORD)(KEY_WOW64_64KEY | KEY_WOW64_32KEY | MAXIMUM_ALLOWED);
  return (HKEY)NewHandle(h);
}

std::vector<std::string> Components(const std::string &path)
{
  std::vector<std::string> parts;
  std::string cur;
  for (char c : path) {
    if (c == '\\') {
      if (!cur.empty())
        parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty())
    parts.push_back(cur);
  return parts;
}

// Creates the missing keys down to path, each with the descriptor inherited
// from its parent and the name's letter case as the caller gave it.
void CreateMissing(const std::string &path, const std::string &ancestor, const std::string &given)
{
  std::vector<std::string> all = Components(path), have = Components(ancestor), names = Components(given);
  std::string cur = ancestor;
  for (size_t i = have.size(); i < all.size(); i++) {
    size_t fromEnd = all.size() - i;
    std::string name = fromEnd <= names.size() ? names[names.size() - fromEnd] : all[i];
    RegKey k;
    k.name = name;
    if (RegKey *parent = Key(cur))
      k.securityDescriptor = InheritKeyDescriptor(parent->securityDescriptor);
    cur = cur.empty() ? all[i] : cur + "\\" + all[i];
    M().registry[cur] = k;
  }
}

LONG QueryValue(HKEY key, const std::string &name, LPDWORD type, LPBYTE data, LPDWORD size, bool ansi)
{
  std::string path;
  Handle *h = KeyHandle(key, &path);
  if (!h)
    return ERROR_INVALID_HANDLE;
  if (!(h->access & KEY_QUERY_VALUE))
    return ERROR_ACCESS_DENIED;
  RegKey *k = Key(path);
  if (!k)
    return ERROR_KEY_DELETED;
  if (M().onQueryValue)
    M().onQueryValue(path, name);
  RegValue *v = FindValue(*k, name);
  if (!v)
    return ERROR_FILE_NOT_FOUND;
  std::vector<uint8_t> bytes = v->data;
  if (ansi && IsStringType(v->type)) {
    // The ANSI form hands strings over converted to the system code page.
    std::vector<WCHAR> w;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
      w.push_back((WCHAR)(bytes[i] | (bytes[i + 1] << 8)));
    std::string a;
    for (size_t i = 0; i < w.size(); i++) {
      WCHAR one[2] = {w[i], 0};
      a += w[i] == 0 ? std::string(1, '\0') : Utf8ToAnsi(Utf16ToUtf8(one));
    }
    bytes.assign(a.begin(), a.end());
  }
  if (type)
    *type = v->type;
  if (!size)
    return data ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  if (!data) {
    *size = (DWORD)bytes.size();
    return ERROR_SUCCESS;
  }
  if (*size < bytes.size()) {
    *size = (DWORD)bytes.size();
    return ERROR_MORE_DATA;
  }
  if (!bytes.empty())
    memcpy(data, bytes.data(), bytes.size());
  *size = (DWORD)bytes.size();
  return ERROR_SUCCESS;
}

LONG SetValueBytes(HKEY key, const std::string &name, DWORD type, const BYTE *data, DWORD size, bool ansi)
{
  std::string path;
  Handle *h = KeyHandle(key, &path);
  if (!h)
    return ERROR_INVALID_HANDLE;
  if (!(h->access & KEY_SET_VALUE))
    return ERROR_ACCESS_DENIED;
  RegKey *k = Key(path);
  if (!k)
    return ERROR_KEY_DELETED;
  if (!data && size)
    return ERROR_NOACCESS;
  std::vector<uint8_t> bytes;
  if (size)
    bytes.assign(data, data + size);
  if (ansi && IsStringType(type)) {
    std::string a((const char *)data, size);
    std::vector<uint8_t> w;
    for (char c : a) {
      char one[2] = {c, 0};
      std::vector<uint8_t> u = c == 0 ? std::vector<uint8_t>{0, 0} : Utf16Bytes(AnsiToUtf8(one), false);
      w.insert(w.end(), u.begin(), u.end());
    }
    bytes = w;
  }
  RegValue *v = FindValue(*k, name);
  if (v) {
    v->type = type;
    v->data = bytes;
  } else {
    k->values.push_back(RegValue{name, type, bytes});
  }
  return ERROR_SUCCESS;
}

}  // namespace

namespace sim {
std::string KeyPathOf(HKEY key)
{
  Handle *h = FindHandle((uintptr_t)key, HandleKind::Key);
  return h ? h->path : "";
}

Handle *KeyHandleOf(HKEY key, std::string *path) { return KeyHandle(key, path); }
}  // namespace sim

extern "C" {

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result)
{
  DWORD injected;
  (void)options;
  if (Enter("RegOpenKeyExA", &injected))
    return (LONG)injected;
  if (!result)
    return ERROR_INVALID_PARAMETER;
  LONG error = ERROR_SUCCESS;
  std::string path = ResolveKey(key, subKey, sam, false, &error);
  if (error != ERROR_SUCCESS)
    return error;
  if (!KeyExists(path))
    return ERROR_FILE_NOT_FOUND;
  DWORD access = CheckKeyAccess(path, sam);
  if (access != ERROR_SUCCESS)
    return (LONG)access;
  *result = OpenHandle(path, sam);
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options, REGSAM sam,
                     LPSECURITY_ATTRIBUTES sa, PHKEY result, LPDWORD disposition)
{
  DWORD injected;
  (void)reserved, (void)className, (void)options, (void)sa;
  if (Enter("RegCreateKeyExA", &injected))
    return (LONG)injected;
  if (!result || !subKey)
    return ERROR_INVALID_PARAMETER;
  LONG error = ERROR_SUCCESS;
  std::string path = ResolveKey(key, subKey, sam, true, &error);
  if (error != ERROR_SUCCESS)
    return error;
  bool existed = KeyExists(path);
  if (existed) {
    DWORD access = CheckKeyAccess(path, sam);
    if (access != ERROR_SUCCESS)
      return (LONG)access;
  } else {
    // Asking for the audit settings needs the security privilege in any case.
    if ((sam & ACCESS_SYSTEM_SECURITY) && !M().enabledPrivileges.count("SeSecurityPrivilege"))
      return ERROR_PRIVILEGE_NOT_HELD;
    // Missing levels are created below the nearest existing key, which must
    // let the caller create subkeys.
    std::string ancestor = path;
    while (!ancestor.empty() && !KeyExists(ancestor)) {
      size_t cut = ancestor.rfind('\\');
      ancestor = cut == std::string::npos ? "" : ancestor.substr(0, cut);
    }
    if (!ancestor.empty()) {
      DWORD access = CheckKeyAccess(ancestor, KEY_CREATE_SUB_KEY);
      if (access != ERROR_SUCCESS)
        return (LONG)access;
    }
    CreateMissing(path, ancestor, AnsiToUtf8(subKey));
  }
  *result = OpenHandle(path, sam);
  if (disposition)
    *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
  DWORD injected;
  (void)reserved;
  if (Enter("RegQueryValueExA", &injected))
    return (LONG)injected;
  return QueryValue(key, name ? AnsiToUtf8(name) : "", type, data, size, true);
}

LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
  DWORD injected;
  (void)reserved;
  if (Enter("RegQueryValueExW", &injected))
    return (LONG)injected;
  return QueryValue(key, name ? Utf16ToUtf8(name) : "", type, data, size, false);
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size)
{
  DWORD injected;
  (void)reserved;
  if (Enter("RegSetValueExA", &injected))
    return (LONG)injected;
  return SetValueBytes(key, name ? AnsiToUtf8(name) : "", type, data, size, true);
}

LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size)
{
  DWORD injected;
  (void)reserved;
  if (Enter("RegSetValueExW", &injected))
    return (LONG)injected;
  return SetValueBytes(key, name ? Utf16ToUtf8(name) : "", type, data, size, false);
}

// Needs KEY_SET_VALUE on the handle; a value that is not there is
// ERROR_FILE_NOT_FOUND.
LONG RegDeleteValueA(HKEY key, LPCSTR name)
{
  DWORD injected;
  if (Enter("RegDeleteValueA", &injected))
    return (LONG)injected;
  std::string path;
  Handle *h = KeyHandle(key, &path);
  if (!h)
    return ERROR_INVALID_HANDLE;
  if (!(h->access & KEY_SET_VALUE))
    return ERROR_ACCESS_DENIED;
  RegKey *k = Key(path);
  if (!k)
    return ERROR_KEY_DELETED;
  RegValue *v = FindValue(*k, name ? AnsiToUtf8(name) : "");
  if (!v)
    return ERROR_FILE_NOT_FOUND;
  k->values.erase(k->values.begin() + (v - k->values.data()));
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
  DWORD injected;
  if (Enter("RegCloseKey", &injected))
    return (LONG)injected;
  if (RootName(key) || key == HKEY_CLASSES_ROOT)
    return ERROR_SUCCESS;
  return ReleaseHandle((uintptr_t)key, HandleKind::Key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // extern "C"
