// SDDL (Security Descriptor Definition Language) to self-relative security
// descriptors, as ConvertStringSecurityDescriptorToSecurityDescriptor reads it:
//
//   O:owner G:group D:flags(ace)(ace)... S:flags(ace)...
//   ace = type;flags;rights;objectGuid;inheritedObjectGuid;sid
//
// Owner and group are SID aliases (two letters) or literal "S-1-..." SIDs.
// ACL flags are P (protected), AI (auto-inherited), AR (auto-inherit
// requested) and NO_ACCESS_CONTROL (a NULL ACL). ACE types are A, D, AU and
// AL; object ACEs (OA, OD, OU, OL) are not modelled and fail to convert.
// Rights are two-letter codes, concatenated, or one number ("0x1F01FF").
// Masks are stored as written: generic rights stay generic.
#include <cstdlib>

#include "security.h"
#include "sim.h"

namespace sim {

namespace {

struct Alias {
  const char *code;
  const char *sid;
};

// The well-known aliases that need no domain; the domain-relative ones
// (DA, DU, LA, ...) name accounts this machine does not model.
const Alias kAliases[] = {
    {"AN", "S-1-5-7"},      {"AO", "S-1-5-32-548"}, {"AU", "S-1-5-11"},     {"BA", "S-1-5-32-544"},
    {"BG", "S-1-5-32-546"}, {"BO", "S-1-5-32-551"}, {"BU", "S-1-5-32-545"}, {"CG", "S-1-3-1"},
    {"CO", "S-1-3-0"},      {"CY", "S-1-5-32-569"}, {"ED", "S-1-5-9"},      {"ER", "S-1-5-32-573"},
    {"IS", "S-1-5-32-568"}, {"IU", "S-1-5-4"},      {"LS", "S-1-5-19"},     {"LU", "S-1-5-32-559"},
    {"MU", "S-1-5-32-558"}, {"NO", "S-1-5-32-556"}, {"NS", "S-1-5-20"},     {"NU", "S-1-5-2"},
    {"OW", "S-1-3-4"},      {"PO", "S-1-5-32-550"}, {"PS", "S-1-5-10"},     {"PU", "S-1-5-32-547"},
    {"RC", "S-1-5-12"},     {"RD", "S-1-5-32-555"}, {"RE", "S-1-5-32-552"}, {"RU", "S-1-5-32-554"},
    {"SO", "S-1-5-32-549"}, {"SU", "S-1-5-6"},      {"SY", "S-1-5-18"},     {"WD", "S-1-1-0"},
    {"WR", "S-1-5-33"},
};

struct Code {
  const char *code;
  DWORD value;
};

// code  mask
const Code kRights[] = {
    {"GA", GENERIC_ALL},   {"GR", GENERIC_READ},  {"GW", GENERIC_WRITE}, {"GX", GENERIC_EXECUTE},
    {"RC", READ_CONTROL},  {"SD", DELETE},        {"WD", WRITE_DAC},     {"WO", WRITE_OWNER},
    {"RP", 0x10},          {"WP", 0x20},          {"CC", 0x1},           {"DC", 0x2},
    {"LC", 0x4},           {"SW", 0x8},           {"LO", 0x80},          {"DT", 0x40},
    {"CR", 0x100},         {"FA", FILE_ALL_ACCESS}, {"FR", 0x120089},    {"FW", 0x120116},
    {"FX", 0x1200A0},      {"KA", KEY_ALL_ACCESS}, {"KR", KEY_READ},     {"KW", KEY_WRITE},
    {"KX", KEY_EXECUTE},
};

// code  ACE flag
const Code kAceFlags[] = {
    {"CI", CONTAINER_INHERIT_ACE}, {"OI", OBJECT_INHERIT_ACE},         {"NP", NO_PROPAGATE_INHERIT_ACE},
    {"IO", INHERIT_ONLY_ACE},      {"ID", INHERITED_ACE},              {"SA", SUCCESSFUL_ACCESS_ACE_FLAG},
    {"FA", FAILED_ACCESS_ACE_FLAG},
};

// code  ACE type
const Code kAceTypes[] = {
    {"A", ACCESS_ALLOWED_ACE_TYPE},
    {"D", ACCESS_DENIED_ACE_TYPE},
    {"AU", SYSTEM_AUDIT_ACE_TYPE},
    {"AL", SYSTEM_ALARM_ACE_TYPE},
};

std::string Trim(const std::string &s)
{
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos)
    return "";
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

bool SidOfText(const std::string &text, std::vector<uint8_t> *sid)
{
  if (text.size() > 2 && text[0] == 'S' && text[1] == '-')
    return SidFromString(text, sid);
  for (const Alias &a : kAliases)
    if (text == a.code)
      return SidFromString(a.sid, sid);
  return false;
}

// Two-letter codes one after another, each found in the table.
bool CodesOf(const std::string &text, const Code *table, size_t count, DWORD *value)
{
  *value = 0;
  if (text.size() % 2)
    return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    bool found = false;
    for (size_t k = 0; k < count && !found; k++) {
      if (text.compare(i, 2, table[k].code) == 0) {
        *value |= table[k].value;
        found = true;
      }
    }
    if (!found)
      return false;
  }
  return true;
}

bool RightsOf(const std::string &text, DWORD *mask)
{
  if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
    char *end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFul)
      return false;
    *mask = (DWORD)v;
    return true;
  }
  return CodesOf(text, kRights, sizeof(kRights) / sizeof(kRights[0]), mask);
}

std::vector<std::string> SplitFields(const std::string &s)
{
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t end = s.find(';', start);
    out.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos)
      return out;
    start = end + 1;
  }
}

bool ParseAce(const std::string &body, Ace *ace)
{
  std::vector<std::string> f = SplitFields(body);
  if (f.size() != 6)
    return false;
  bool typeFound = false;
  for (const Code &t : kAceTypes) {
    if (Trim(f[0]) == t.code) {
      ace->type = (BYTE)t.value;
      typeFound = true;
    }
  }
  DWORD flags;
  if (!typeFound || !CodesOf(Trim(f[1]), kAceFlags, sizeof(kAceFlags) / sizeof(kAceFlags[0]), &flags))
    return false;
  ace->flags = (BYTE)flags;
  if (!RightsOf(Trim(f[2]), &ace->mask))
    return false;
  // Object GUIDs belong to object ACE types only.
  if (!Trim(f[3]).empty() || !Trim(f[4]).empty())
    return false;
  return SidOfText(Trim(f[5]), &ace->sid);
}

struct Reader {
  const std::string &text;
  size_t at = 0;
  DWORD error = ERROR_SUCCESS;

  void SkipSpaces()
  {
    while (at < text.size() && text[at] == ' ')
      at++;
  }
  // "O:", "G:", "D:" or "S:" starts here.
  bool AtTag() const
  {
    return at + 1 < text.size() && text[at + 1] == ':' &&
           (text[at] == 'O' || text[at] == 'G' || text[at] == 'D' || text[at] == 'S');
  }
  bool Fail(DWORD e)
  {
    error = e;
    return false;
  }

  // A literal SID runs over its digits and dashes; an alias is two letters.
  bool ReadSid(std::vector<uint8_t> *sid)
  {
    SkipSpaces();
    std::string token;
    if (text.compare(at, 2, "S-") == 0) {
      size_t end = at + 2;
      while (end < text.size() && ((text[end] >= '0' && text[end] <= '9') || text[end] == '-'))
        end++;
      token = text.substr(at, end - at);
      at = end;
    } else {
      token = text.substr(at, 2);
      at += token.size();
    }
    return SidOfText(token, sid) || Fail(ERROR_INVALID_SID);
  }

  bool ReadAcl(bool isDacl, SecurityDescriptor *sd)
  {
    std::vector<Ace> *aces = isDacl ? &sd->dacl : &sd->sacl;
    bool present = true;
    for (;;) {
      SkipSpaces();
      if (at >= text.size() || text[at] == '(' || AtTag())
        break;
      if (text.compare(at, 17, "NO_ACCESS_CONTROL") == 0) {
        present = false;
        at += 17;
      } else if (text.compare(at, 2, "AI") == 0) {
        sd->control |= isDacl ? SE_DACL_AUTO_INHERITED : SE_SACL_AUTO_INHERITED;
        at += 2;
      } else if (text.compare(at, 2, "AR") == 0) {
        sd->control |= isDacl ? SE_DACL_AUTO_INHERIT_REQ : SE_SACL_AUTO_INHERIT_REQ;
        at += 2;
      } else if (text[at] == 'P') {
        sd->control |= isDacl ? SE_DACL_PROTECTED : SE_SACL_PROTECTED;
        at += 1;
      } else {
        return Fail(ERROR_INVALID_PARAMETER);
      }
    }
    while (at < text.size() && text[at] == '(') {
      size_t close = text.find(')', at);
      size_t nested = text.find('(', at + 1);
      if (close == std::string::npos || (nested != std::string::npos && nested < close))
        return Fail(ERROR_INVALID_ACL);
      Ace ace;
      if (!ParseAce(text.substr(at + 1, close - at - 1), &ace))
        return Fail(ERROR_INVALID_ACL);
      aces->push_back(ace);
      at = close + 1;
      SkipSpaces();
    }
    if (isDacl)
      sd->hasDacl = present;
    else
      sd->hasSacl = present;
    return true;
  }

  bool ReadDescriptor(SecurityDescriptor *sd)
  {
    std::string seen;
    for (;;) {
      SkipSpaces();
      if (at >= text.size())
        return true;
      if (!AtTag() || seen.find(text[at]) != std::string::npos)
        return Fail(ERROR_INVALID_PARAMETER);
      char tag = text[at];
      seen += tag;
      at += 2;
      bool ok = tag == 'O'   ? ReadSid(&sd->owner)
                : tag == 'G' ? ReadSid(&sd->group)
                             : ReadAcl(tag == 'D', sd);
      if (!ok)
        return false;
    }
  }
};

bool Convert(const std::string &text, std::vector<uint8_t> *out, DWORD *error)
{
  SecurityDescriptor sd;
  Reader r{text};
  if (!r.ReadDescriptor(&sd)) {
    *error = r.error;
    return false;
  }
  *out = BuildSelfRelative(sd);
  return true;
}

}  // namespace

bool SddlToSelfRelative(const std::string &sddl, std::vector<uint8_t> *sd)
{
  DWORD error;
  return Convert(sddl, sd, &error);
}

}  // namespace sim

extern "C" BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR sddl, DWORD revision,
                                                                     PSECURITY_DESCRIPTOR *sd, PULONG size)
{
  DWORD error;
  if (sim::Enter("ConvertStringSecurityDescriptorToSecurityDescriptorA", &error)) {
    sim::M().lastError = error;
    return FALSE;
  }
  if (!sddl || !sd) {
    sim::M().lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if (revision != SDDL_REVISION_1) {
    sim::M().lastError = ERROR_UNKNOWN_REVISION;
    return FALSE;
  }
  std::vector<uint8_t> bytes;
  if (!sim::Convert(sddl, &bytes, &error)) {
    sim::M().lastError = error;
    return FALSE;
  }
  void *block = sim::AllocLocal(bytes.size());
  memcpy(block, bytes.data(), bytes.size());
  *sd = block;
  if (size)
    *size = (ULONG)bytes.size();
  return TRUE;
}

namespace {

std::string SidText(const std::vector<uint8_t> &sid)
{
  std::string text = sim::SidToString(sid.data());
  for (const sim::Alias &a : sim::kAliases)
    if (text == a.sid)
      return a.code;
  return text;
}

// Whole masks with a code of their own first, then the single-right codes
// when they cover every bit, else the number.
std::string RightsText(DWORD mask)
{
  static const char *const composite[] = {"FA", "FR", "FW", "FX", "KA", "KR", "KW", "KX"};
  for (const char *c : composite)
    for (const sim::Code &r : sim::kRights)
      if (strcmp(r.code, c) == 0 && r.value == mask)
        return c;
  std::string text;
  DWORD covered = 0;
  for (const sim::Code &r : sim::kRights) {
    bool single = (r.value & (r.value - 1)) == 0;
    if (single && (mask & r.value)) {
      text += r.code;
      covered |= r.value;
    }
  }
  if (covered == mask && !text.empty())
    return text;
  char number[16];
  snprintf(number, sizeof(number), "0x%x", mask);
  return number;
}

std::string AclText(const std::vector<sim::Ace> &aces, WORD control, bool isDacl)
{
  std::string text;
  if (control & (isDacl ? SE_DACL_PROTECTED : SE_SACL_PROTECTED))
    text += "P";
  if (control & (isDacl ? SE_DACL_AUTO_INHERIT_REQ : SE_SACL_AUTO_INHERIT_REQ))
    text += "AR";
  if (control & (isDacl ? SE_DACL_AUTO_INHERITED : SE_SACL_AUTO_INHERITED))
    text += "AI";
  static const BYTE flagOrder[] = {OBJECT_INHERIT_ACE, CONTAINER_INHERIT_ACE, NO_PROPAGATE_INHERIT_ACE,
                                   INHERIT_ONLY_ACE,   INHERITED_ACE,         SUCCESSFUL_ACCESS_ACE_FLAG,
                                   FAILED_ACCESS_ACE_FLAG};
  for (const sim::Ace &ace : aces) {
    text += "(";
    for (const sim::Code &t : sim::kAceTypes)
      if (t.value == ace.type)
        text += t.code;
    text += ";";
    for (BYTE f : flagOrder)
      for (const sim::Code &c : sim::kAceFlags)
        if ((ace.flags & f) && c.value == f)
          text += c.code;
    text += ";" + RightsText(ace.mask) + ";;;" + SidText(ace.sid) + ")";
  }
  return text;
}

}  // namespace

// The parts asked for, in the order O: G: D: S:; a part the descriptor lacks
// is left out.
extern "C" BOOL ConvertSecurityDescriptorToStringSecurityDescriptorA(PSECURITY_DESCRIPTOR sd, DWORD revision,
                                                                     SECURITY_INFORMATION info, LPSTR *text,
                                                                     PULONG length)
{
  DWORD error;
  if (sim::Enter("ConvertSecurityDescriptorToStringSecurityDescriptorA", &error)) {
    sim::M().lastError = error;
    return FALSE;
  }
  if (!sd || !text) {
    sim::M().lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  if (revision != SDDL_REVISION_1) {
    sim::M().lastError = ERROR_UNKNOWN_REVISION;
    return FALSE;
  }
  const uint8_t *bytes = (const uint8_t *)sd;
  bool selfRelative = (bytes[2] | (bytes[3] << 8)) & SE_SELF_RELATIVE;
  sim::SecurityDescriptor parsed;
  if (!sim::ParseSecurityDescriptor(sd, selfRelative ? sim::SelfRelativeLength(bytes) : sizeof(SECURITY_DESCRIPTOR),
                                    &parsed)) {
    sim::M().lastError = ERROR_INVALID_SECURITY_DESCR;
    return FALSE;
  }
  std::string out;
  if ((info & OWNER_SECURITY_INFORMATION) && !parsed.owner.empty())
    out += "O:" + SidText(parsed.owner);
  if ((info & GROUP_SECURITY_INFORMATION) && !parsed.group.empty())
    out += "G:" + SidText(parsed.group);
  if ((info & DACL_SECURITY_INFORMATION) && parsed.hasDacl)
    out += "D:" + AclText(parsed.dacl, parsed.control, true);
  if ((info & SACL_SECURITY_INFORMATION) && parsed.hasSacl)
    out += "S:" + AclText(parsed.sacl, parsed.control, false);
  char *block = (char *)sim::AllocLocal(out.size() + 1);
  memcpy(block, out.c_str(), out.size() + 1);
  *text = block;
  if (length)
    *length = (ULONG)out.size() + 1;
  sim::M().lastError = ERROR_SUCCESS;
  return TRUE;
}
