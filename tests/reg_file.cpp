#include "reg_file.h"

#include <algorithm>

#include "test_support.h"

const char kUndoHeader[] = "Windows Registry Editor Version 5.00";

namespace {

bool StartsWith(const std::string &s, const std::string &p) { return s.compare(0, p.size(), p) == 0; }

struct RootMap {
  const char *name;
  const char *sim;
};
const RootMap kRoots[] = {
    {"HKEY_LOCAL_MACHINE\\", "hklm\\"},
    {"HKEY_CURRENT_USER\\", "hkcu\\"},
};

// The simulated registry's path of a key as the file names it; the class
// view resolves to the user's registration when there is one.
bool SimPath(const std::string &name, std::string *path)
{
  for (const RootMap &r : kRoots)
    if (StartsWith(name, r.name)) {
      *path = sim::Lower(r.sim + name.substr(strlen(r.name)));
      return true;
    }
  const std::string classes = "HKEY_CLASSES_ROOT\\";
  if (!StartsWith(name, classes))
    return false;
  std::string sub = sim::Lower(name.substr(classes.size()));
  *path = sim::Key("hkcu\\software\\classes\\" + sub) ? "hkcu\\software\\classes\\" + sub
                                                       : "hklm\\software\\classes\\" + sub;
  return true;
}

void DeleteTree(const std::string &path)
{
  auto &reg = sim::M().registry;
  for (auto it = reg.begin(); it != reg.end();)
    if (it->first == path || StartsWith(it->first, path + "\\"))
      it = reg.erase(it);
    else
      ++it;
}

// "..." with the editor's two escapes; at points past the closing quote.
bool ReadQuoted(const std::string &line, size_t *at, std::string *out)
{
  if (*at >= line.size() || line[*at] != '"')
    return false;
  out->clear();
  for (size_t i = *at + 1; i < line.size(); i++) {
    if (line[i] == '"') {
      *at = i + 1;
      return true;
    }
    if (line[i] == '\\') {
      if (i + 1 >= line.size() || (line[i + 1] != '\\' && line[i + 1] != '"'))
        return false;
      i++;
    }
    out->push_back(line[i]);
  }
  return false;
}

int HexDigit(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

bool ReadHexList(const std::string &list, std::vector<uint8_t> *out)
{
  out->clear();
  if (list.empty())
    return true;
  for (size_t i = 0;; i += 3) {
    if (i + 2 > list.size() || HexDigit(list[i]) < 0 || HexDigit(list[i + 1]) < 0)
      return false;
    out->push_back((uint8_t)(HexDigit(list[i]) * 16 + HexDigit(list[i + 1])));
    if (i + 2 == list.size())
      return true;
    if (list[i + 2] != ',')
      return false;
  }
}

bool ApplyValue(const std::string &key, const std::string &line, std::string *error)
{
  std::string name;
  size_t at = 0;
  if (line[0] == '@') {
    at = 1;
  } else if (!ReadQuoted(line, &at, &name)) {
    *error = "bad value name: " + line;
    return false;
  }
  if (at >= line.size() || line[at] != '=') {
    *error = "no '=': " + line;
    return false;
  }
  std::string data = line.substr(at + 1);
  if (key.empty()) {
    *error = "value outside a key: " + line;
    return false;
  }
  if (data == "-") {
    if (sim::RegKey *k = sim::Key(key))
      k->values.erase(std::remove_if(k->values.begin(), k->values.end(),
                                     [&](const sim::RegValue &v) { return sim::SameName(v.name, name); }),
                      k->values.end());
    return true;
  }
  std::string text;
  size_t q = 0;
  if (ReadQuoted(data, &q, &text) && q == data.size()) {
    sim::SetValue(key, name, REG_SZ, sim::Utf16Bytes(text));
    return true;
  }
  if (StartsWith(data, "dword:") && data.size() == 14) {
    std::vector<uint8_t> be;
    if (!ReadHexList(data.substr(6, 2) + "," + data.substr(8, 2) + "," + data.substr(10, 2) + "," + data.substr(12, 2),
                     &be)) {
      *error = "bad dword: " + line;
      return false;
    }
    sim::SetValue(key, name, REG_DWORD, {be[3], be[2], be[1], be[0]});
    return true;
  }
  DWORD type = REG_BINARY;
  size_t colon = data.find(':');
  if (colon == std::string::npos) {
    *error = "bad data: " + line;
    return false;
  }
  std::string form = data.substr(0, colon);
  if (form != "hex") {
    if (form.size() < 6 || !StartsWith(form, "hex(") || form.back() != ')') {
      *error = "bad data: " + line;
      return false;
    }
    std::string number = form.substr(4, form.size() - 5);
    type = 0;
    for (char c : number) {
      if (HexDigit(c) < 0) {
        *error = "bad type: " + line;
        return false;
      }
      type = type * 16 + (DWORD)HexDigit(c);
    }
  }
  std::vector<uint8_t> bytes;
  if (!ReadHexList(data.substr(colon + 1), &bytes)) {
    *error = "bad hex list: " + line;
    return false;
  }
  sim::SetValue(key, name, type, bytes);
  return true;
}

}  // namespace

std::string UndoFileBytes(const std::string &desktop, bool flushedOnly)
{
  sim::FsNode *n = sim::Node(desktop + "\\DU Vizodav\\TarvoskFix-undo.reg");
  if (!n)
    return "";
  size_t size = flushedOnly ? std::min(n->flushedBytes, n->data.size()) : n->data.size();
  return std::string(n->data.begin(), n->data.begin() + (long)size);
}

bool Utf16LeToUtf8(const std::string &bytes, std::string *text)
{
  if (bytes.size() % 2 != 0)
    return false;
  std::vector<WCHAR> units;
  for (size_t i = 0; i < bytes.size(); i += 2)
    units.push_back((WCHAR)((uint8_t)bytes[i] | ((uint8_t)bytes[i + 1] << 8)));
  *text = sim::Utf16ToUtf8(units.data(), units.size());
  return true;
}

bool ParseUndoFile(const std::string &bytes, UndoFileText *out, std::string *error)
{
  *out = UndoFileText();
  if (bytes.size() < 2 || (uint8_t)bytes[0] != 0xFF || (uint8_t)bytes[1] != 0xFE) {
    *error = "no UTF-16LE byte-order mark";
    return false;
  }
  std::string text;
  if (!Utf16LeToUtf8(bytes.substr(2), &text)) {
    *error = "odd number of bytes";
    return false;
  }
  std::string head = std::string(kUndoHeader) + "\r\n\r\n";
  if (!StartsWith(text, head)) {
    *error = "no registry editor header";
    return false;
  }
  size_t at = head.size();
  while (at < text.size()) {
    if (!StartsWith(text.substr(at), "; Log started ")) {
      *error = "a section does not start with its comment";
      return false;
    }
    size_t next = text.find("\r\n; Log started ", at);
    size_t end = next == std::string::npos ? text.size() : next + 2;
    out->sections.push_back(text.substr(at, end - at));
    at = end;
  }
  return true;
}

bool ImportRegLines(const std::string &text, std::string *error)
{
  std::vector<std::string> lines = CrLfLines(text);
  std::string key;
  for (size_t i = 0; i < lines.size(); i++) {
    std::string line = lines[i];
    // A hex list goes on after ",\" on lines indented by two spaces.
    while (!line.empty() && line.back() == '\\' && line.size() >= 2 && line[line.size() - 2] == ',' &&
           i + 1 < lines.size()) {
      std::string next = lines[++i];
      if (!StartsWith(next, "  ")) {
        *error = "continuation line without its indent: " + next;
        return false;
      }
      line = line.substr(0, line.size() - 1) + next.substr(2);
    }
    if (line.empty() || line[0] == ';')
      continue;
    if (line[0] == '[') {
      if (line.back() != ']') {
        *error = "bad key line: " + line;
        return false;
      }
      bool remove = line[1] == '-';
      std::string path;
      if (!SimPath(line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2)), &path)) {
        *error = "unknown root: " + line;
        return false;
      }
      if (remove) {
        DeleteTree(path);
        key.clear();
      } else {
        sim::MakeKey(path);
        key = path;
      }
      continue;
    }
    if (!ApplyValue(key, line, error))
      return false;
  }
  return true;
}

bool UndoAllRuns(const std::string &bytes, std::string *error)
{
  UndoFileText file;
  if (!ParseUndoFile(bytes, &file, error))
    return false;
  for (size_t i = file.sections.size(); i-- > 0;)
    if (!ImportRegLines(file.sections[i], error))
      return false;
  return true;
}

std::vector<std::string> RegistryContent()
{
  std::vector<std::string> out;
  const std::string runOnce = "hkcu\\software\\microsoft\\windows\\currentversion\\runonce";
  for (const auto &k : sim::M().registry) {
    if (k.first == runOnce || StartsWith(k.first, runOnce + "\\"))
      continue;
    out.push_back(k.first);
    std::vector<std::string> values;
    for (const sim::RegValue &v : k.second.values) {
      std::string d = k.first + " : \"" + sim::Lower(v.name) + "\" " + std::to_string(v.type) + ":";
      for (uint8_t b : v.data) {
        char hex[4];
        snprintf(hex, sizeof(hex), "%02x", b);
        d += hex;
      }
      values.push_back(d);
    }
    std::sort(values.begin(), values.end());
    out.insert(out.end(), values.begin(), values.end());
  }
  return out;
}
