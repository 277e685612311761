// Scenario loader and machine snapshots.
#include "scenario.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <sstream>

#include "pe_image.h"
#include "security.h"

using json = nlohmann::json;

namespace sim {

// Builders of file content kinds other than text and hex (for instance PE
// images); each subsystem's layer may add one.
bool BuildFileContent(const json &content, std::vector<uint8_t> *data, std::string *error);
// Descriptors in SDDL for keys and files (sim/sddl.cpp).
bool SddlToSelfRelative(const std::string &sddl, std::vector<uint8_t> *sd);

std::vector<uint8_t> HexBytes(const std::string &list, bool *ok)
{
  std::vector<uint8_t> out;
  *ok = true;
  std::string digits;
  for (char c : list) {
    if (c == ',' || c == ' ' || c == '\n' || c == '\\' || c == '\r') {
      continue;
    }
    if (!isxdigit((unsigned char)c)) {
      *ok = false;
      return out;
    }
    digits += c;
  }
  if (digits.size() % 2) {
    *ok = false;
    return out;
  }
  for (size_t i = 0; i < digits.size(); i += 2)
    out.push_back((uint8_t)std::stoul(digits.substr(i, 2), nullptr, 16));
  return out;
}

static bool ParseTime(const std::string &s, SYSTEMTIME *t)
{
  int y, mo, d, h = 0, mi = 0, se = 0;
  if (sscanf(s.c_str(), "%d-%d-%dT%d:%d:%d", &y, &mo, &d, &h, &mi, &se) < 3)
    return false;
  if (y < 1601 || y > 30827 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 ||
      mi > 59 || se < 0 || se > 59)
    return false;
  *t = SYSTEMTIME{(WORD)y, (WORD)mo, 0, (WORD)d, (WORD)h, (WORD)mi, (WORD)se, 0};
  return true;
}

// 100-ns intervals since 1601-01-01 UTC.
static uint64_t FileTimeOf(const SYSTEMTIME &t)
{
  auto days = [](int y, int m, int d) {
    y -= m <= 2;
    int era = (y >= 0 ? y : y - 399) / 400;
    int yoe = y - era * 400;
    int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return (long long)era * 146097 + doe - 719468;  // days since 1970-01-01
  };
  long long unixDays = days(t.wYear, t.wMonth, t.wDay);
  long long secs = unixDays * 86400 + t.wHour * 3600 + t.wMinute * 60 + t.wSecond;
  return (uint64_t)(secs + 11644473600LL) * 10000000ULL;
}

// A scenario value's type and bytes ("string", "expand", "multi", "dword",
// "hex" with an optional "type"); false when it gives no data.
static bool ValueData(const json &v, DWORD *type, std::vector<uint8_t> *data, bool *hexOk)
{
  *hexOk = true;
  data->clear();
  if (v.contains("string") || v.contains("expand")) {
    *type = v.contains("string") ? REG_SZ : REG_EXPAND_SZ;
    *data = Utf16Bytes(v.contains("string") ? v["string"].get<std::string>() : v["expand"].get<std::string>());
  } else if (v.contains("multi")) {
    *type = REG_MULTI_SZ;
    for (const auto &s : v["multi"]) {
      std::vector<uint8_t> one = Utf16Bytes(s.get<std::string>());
      data->insert(data->end(), one.begin(), one.end());
    }
    data->push_back(0);
    data->push_back(0);
  } else if (v.contains("dword")) {
    DWORD d = v["dword"].get<DWORD>();
    *type = REG_DWORD;
    *data = {(uint8_t)d, (uint8_t)(d >> 8), (uint8_t)(d >> 16), (uint8_t)(d >> 24)};
  } else if (v.contains("hex")) {
    *data = HexBytes(v["hex"].get<std::string>(), hexOk);
    *type = v.value("type", (DWORD)REG_BINARY);
  } else {
    return false;
  }
  return true;
}

static bool LoadValue(const std::string &keyPath, const json &v, std::string *error)
{
  std::string name = v.value("name", "");
  DWORD type;
  std::vector<uint8_t> data;
  bool hexOk;
  if (!ValueData(v, &type, &data, &hexOk)) {
    *error = "value \"" + name + "\" of " + keyPath + " has no data";
    return false;
  }
  if (!hexOk) {
    *error = "bad hex data in " + keyPath + " value \"" + name + "\"";
    return false;
  }
  SetValue(keyPath, name, type, data);
  return true;
}

static std::vector<std::string> Strings(const json &j, const char *field)
{
  std::vector<std::string> out;
  for (const auto &s : j.value(field, json::array()))
    out.push_back(s.get<std::string>());
  return out;
}

static bool LoadExpectations(const json &e, Expectations *x, std::string *error)
{
  x->started = e.value("started", true);
  x->log = Strings(e, "log");
  x->console = Strings(e, "console");
  x->absentLog = Strings(e, "absentLog");
  x->untouched = Strings(e, "untouched");
  for (const json &f : e.value("files", json::array()))
    x->files.push_back(ExpectedFile{f.at("path").get<std::string>(), f.value("exists", true), f.value("image", "")});
  for (const json &r : e.value("registry", json::array())) {
    ExpectedValue v;
    v.key = r.at("key").get<std::string>();
    v.valueGiven = r.contains("name");
    v.name = r.value("name", "");
    v.exists = r.value("exists", true);
    bool hexOk;
    v.dataGiven = ValueData(r, &v.type, &v.data, &hexOk);
    if (!hexOk) {
      *error = "bad hex data expected in " + v.key;
      return false;
    }
    x->registry.push_back(v);
  }
  return true;
}

static bool LoadFile(const json &f, std::string *error)
{
  std::string path = f.at("path").get<std::string>();
  if (path.size() < 3 || path[1] != ':' || path[2] != '\\') {
    *error = "file path must be absolute: " + path;
    return false;
  }
  if (f.contains("hardLink")) {
    // Another name of a file listed before it; the file's properties are its own.
    std::string target = f["hardLink"].get<std::string>();
    FsNode *t = Node(target);
    if (!t || t->isDir || Node(path)) {
      *error = "hard link " + path + " needs an earlier file " + target + " and a name of its own";
      return false;
    }
    MakeDir(ParentOf(path));
    MakeHardLink(target, path);
    return true;
  }
  FsNode *node;
  if (f.value("dir", false) || f.contains("junction") || f.contains("symlink")) {
    node = &MakeDir(path);
  } else {
    std::vector<uint8_t> data;
    if (f.contains("text")) {
      std::string t = f["text"].get<std::string>();
      data.assign(t.begin(), t.end());
    } else if (f.contains("hex")) {
      bool ok;
      data = HexBytes(f["hex"].get<std::string>(), &ok);
      if (!ok) {
        *error = "bad hex content of " + path;
        return false;
      }
    } else if (f.contains("size")) {
      size_t size = f["size"].get<size_t>();
      if (size > (64u << 20)) {
        *error = "file larger than 64 MiB: " + path;
        return false;
      }
      data.assign(size, 0);
    } else if (f.contains("pe")) {
      if (!BuildFileContent(f["pe"], &data, error))
        return false;
    }
    node = &MakeFile(path, data);
  }
  if (f.contains("junction") || f.contains("symlink")) {
    node->reparseTarget = f.contains("junction") ? f["junction"].get<std::string>() : f["symlink"].get<std::string>();
    node->symlink = f.contains("symlink");
    node->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  }
  for (const auto &a : f.value("attributes", json::array())) {
    std::string s = a.get<std::string>();
    if (s == "readonly")
      node->attributes |= FILE_ATTRIBUTE_READONLY;
    else if (s == "hidden")
      node->attributes |= FILE_ATTRIBUTE_HIDDEN;
    else if (s == "system")
      node->attributes |= FILE_ATTRIBUTE_SYSTEM;
    else {
      *error = "unknown attribute " + s;
      return false;
    }
  }
  if (f.value("heldOpen", false))
    node->heldShareMode = FILE_SHARE_READ;
  if (f.value("readOnlyMedia", false))
    node->readOnlyMedia = true;
  if (f.value("denyList", false)) {
    // Owned by Administrators; Everyone may do anything but list the folder.
    SecurityDescriptor sd;
    std::vector<uint8_t> everyone;
    SidFromString("S-1-5-32-544", &sd.owner);
    SidFromString("S-1-1-0", &everyone);
    sd.hasDacl = true;
    sd.dacl.push_back(Ace{ACCESS_DENIED_ACE_TYPE, 0, FILE_LIST_DIRECTORY, everyone});
    sd.dacl.push_back(Ace{ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, everyone});
    node->securityDescriptor = BuildSelfRelative(sd);
  }
  if (f.contains("sddl")) {
    if (!SddlToSelfRelative(f["sddl"].get<std::string>(), &node->securityDescriptor)) {
      *error = "bad SDDL for " + path;
      return false;
    }
  }
  return true;
}

static bool LoadMachine(const json &j, Scenario *scenario, std::string *error)
{
  Machine &m = M();
  scenario->description = j.value("description", "");
  const json &w = j.at("windows");
  DWORD major = w.at("major").get<DWORD>(), minor = w.at("minor").get<DWORD>();
  BYTE productType = (BYTE)w.value("productType", 1);
  bool wow64 = w.value("wow64", false);
  InstallWindows(major, minor, productType, wow64);
  m.hasIsWow64Process = w.value("hasIsWow64Process", true);
  m.hasWow64Redirection = w.value("hasWow64Redirection", true);
  m.sessionHost = w.value("sessionHost", false);
  if (w.value("versionQueryFails", false))
    FailCall("GetVersionExW", 0, ERROR_INVALID_PARAMETER);

  const json env = j.value("env", json::object());
  for (auto it = env.begin(); it != env.end(); ++it) {
    std::string name = it.key();
    for (char &c : name)
      c = (char)toupper((unsigned char)c);
    if (it.value().is_null())
      m.env.erase(name);
    else
      m.env[name] = it.value().get<std::string>();
  }
  m.programPath = j.value("programPath", m.programPath);
  m.currentDir = j.value("currentDirectory", m.currentDir);
  MakeDir(m.currentDir);
  if (j.contains("clock") && !ParseTime(j["clock"].get<std::string>(), &m.clock)) {
    *error = "bad clock";
    return false;
  }
  m.userSid = j.value("userSid", m.userSid);
  if (j.contains("privileges")) {
    m.heldPrivileges.clear();
    for (const auto &p : j["privileges"])
      m.heldPrivileges.insert(p.get<std::string>());
  }
  if (j.contains("volume")) {
    const json &v = j["volume"];
    m.volumeAttributes = v.value("attributes", m.volumeAttributes);
    if (v.contains("creationTime")) {
      SYSTEMTIME t;
      if (!ParseTime(v["creationTime"].get<std::string>(), &t)) {
        *error = "bad volume creation time";
        return false;
      }
      m.volumeCreationTime = FileTimeOf(t);
    }
    m.hasNtEntryPoints = v.value("nativeCalls", true);
    m.volumeFileSystem = v.value("fileSystem", m.volumeFileSystem);
    m.volumeLabel = v.value("label", m.volumeLabel);
  }
  for (const json &k : j.value("registry", json::array())) {
    std::string path = k.at("key").get<std::string>();
    if (path.find_first_not_of("\\/") == std::string::npos) {
      *error = "registry key without a name";
      return false;
    }
    RegKey &key = MakeKey(path);
    if (k.contains("sddl") && !SddlToSelfRelative(k["sddl"].get<std::string>(), &key.securityDescriptor)) {
      *error = "bad SDDL for " + path;
      return false;
    }
    for (const json &v : k.value("values", json::array()))
      if (!LoadValue(path, v, error))
        return false;
  }
  for (const json &f : j.value("files", json::array()))
    if (!LoadFile(f, error))
      return false;
  m.rebootFails = j.value("rebootFails", false);
  for (const json &f : j.value("faults", json::array()))
    FailCall(f.at("function").get<std::string>(), f.value("nth", 0), f.value("error", (DWORD)ERROR_ACCESS_DENIED));

  for (const json &r : j.value("runs", json::array())) {
    ScenarioRun run;
    run.reboot = r.value("reboot", false);
    run.fromRunOnce = r.value("fromRunOnce", false);
    run.keys = r.value("keys", "");
    run.expectExit = r.value("expectExit", 0);
    if (r.contains("expect") && !LoadExpectations(r["expect"], &run.expect, error))
      return false;
    for (const auto &a : r.value("args", json::array()))
      run.args.push_back(a.get<std::string>());
    scenario->runs.push_back(run);
  }
  if (scenario->runs.empty())
    scenario->runs.push_back(ScenarioRun{{}, j.value("keys", ""), false, false, 0, Expectations()});
  return true;
}

// Every number of the format is a whole one; the JSON library would turn a
// fraction or an exponent beyond the target's range into an undefined value.
static bool HasFraction(const json &j)
{
  if (j.is_number_float())
    return true;
  if (j.is_structured())
    for (const json &e : j)
      if (HasFraction(e))
        return true;
  return false;
}

bool LoadScenario(const std::string &text, Scenario *scenario, std::string *error)
{
  Reset();
  *scenario = Scenario();
  json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *error = "not a JSON object";
    return false;
  }
  if (HasFraction(j)) {
    *error = "numbers must be whole numbers";
    return false;
  }
  bool ok = false;
  // The JSON library reports a wrong type or a missing field by throwing;
  // the loader turns that into an error message.
  try {
    ok = LoadMachine(j, scenario, error);
  } catch (const std::exception &e) {
    *error = e.what();
    ok = false;
  }
  if (!ok)
    Reset();
  return ok;
}

// FNV-1a, 32 bits.
static unsigned Digest(const std::vector<uint8_t> &data)
{
  uint32_t h = 2166136261u;
  for (uint8_t b : data)
    h = (h ^ b) * 16777619u;
  return h;
}

static std::string Describe(const std::vector<uint8_t> &data, DWORD type)
{
  std::ostringstream out;
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::vector<WCHAR> w;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
      w.push_back((WCHAR)(data[i] | (data[i + 1] << 8)));
    w.push_back(0);
    out << (type == REG_SZ ? "REG_SZ \"" : "REG_EXPAND_SZ \"") << Utf16ToUtf8(w.data()) << "\"";
  } else if (type == REG_DWORD && data.size() == 4) {
    char buf[32];
    snprintf(buf, sizeof(buf), "REG_DWORD 0x%08x", data[0] | (data[1] << 8) | (data[2] << 16) | ((unsigned)data[3] << 24));
    out << buf;
  } else {
    out << "type " << type << ", " << data.size() << " bytes";
    if (data.size() <= 16) {
      out << ":";
      char buf[4];
      for (uint8_t b : data) {
        snprintf(buf, sizeof(buf), " %02x", b);
        out << buf;
      }
    }
  }
  return out.str();
}

// The path with each component's name as it was created.
template <typename Map> static std::string DisplayPath(const Map &map, const std::string &key)
{
  std::string out, prefix;
  size_t start = 0;
  while (start <= key.size()) {
    size_t end = key.find('\\', start);
    if (end == std::string::npos)
      end = key.size();
    prefix = key.substr(0, end);
    auto it = map.find(prefix);
    std::string part = key.substr(start, end - start);
    if (it != map.end() && !it->second.name.empty())
      part = it->second.name;
    else if (part.size() == 2 && part[1] == ':')
      part[0] = (char)toupper((unsigned char)part[0]);
    if (!out.empty() && out.back() != '\\')
      out += '\\';
    out += part;
    start = end + 1;
  }
  return out;
}

Snapshot TakeSnapshot()
{
  Snapshot s;
  for (const auto &f : M().files) {
    const FsNode &n = f.second;
    std::string d = n.isDir ? "folder" : "file, " + std::to_string(n.data.size()) + " bytes";
    std::string image = n.isDir ? "" : DescribeImage(n.data);
    if (!image.empty())
      d += ", " + image;
    if (!n.reparseTarget.empty())
      d += " -> " + n.reparseTarget;
    // Content, attributes and descriptor by digest, so that a change of any
    // of them shows, the size alike.
    char detail[64];
    if (!n.isDir) {
      snprintf(detail, sizeof(detail), ", content %08x", Digest(n.data));
      d += detail;
    }
    snprintf(detail, sizeof(detail), ", attributes 0x%x", (unsigned)n.attributes);
    d += detail;
    if (!n.securityDescriptor.empty()) {
      snprintf(detail, sizeof(detail), ", own DACL %08x", Digest(n.securityDescriptor));
      d += detail;
    }
    s.files[DisplayPath(M().files, f.first)] = d;
  }
  for (const auto &k : M().registry) {
    std::string path = DisplayPath(M().registry, k.first);
    s.registry[path] = "key" + std::string(k.second.securityDescriptor.empty() ? "" : ", own descriptor");
    for (const RegValue &v : k.second.values)
      s.registry[path + " : " + (v.name.empty() ? "(default)" : "\"" + v.name + "\"")] = Describe(v.data, v.type);
  }
  return s;
}

static void Diff(const std::map<std::string, std::string> &a, const std::map<std::string, std::string> &b,
                 const std::string &what, std::vector<std::string> *out)
{
  for (const auto &e : a) {
    auto it = b.find(e.first);
    if (it == b.end())
      out->push_back("removed " + what + " " + e.first);
    else if (it->second != e.second)
      out->push_back("changed " + what + " " + e.first + ": " + e.second + " => " + it->second);
  }
  for (const auto &e : b)
    if (!a.count(e.first))
      out->push_back("added " + what + " " + e.first + ": " + e.second);
}

std::vector<std::string> Differences(const Snapshot &before, const Snapshot &after)
{
  std::vector<std::string> out;
  Diff(before.files, after.files, "file", &out);
  Diff(before.registry, after.registry, "registry", &out);
  return out;
}

static const char kRunOnceKey[] = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

bool TakeRunOnce(std::vector<std::string> *argv)
{
  argv->clear();
  RegKey *k = Key(kRunOnceKey);
  if (!k)
    return false;
  for (size_t i = 0; i < k->values.size(); i++) {
    if (!SameName(k->values[i].name, "TarvoskEVCleaner"))
      continue;
    std::string line = StringValue(kRunOnceKey, k->values[i].name);
    // The shell deletes the entry before it starts the command.
    k->values.erase(k->values.begin() + (long)i);
    std::string part;
    bool quoted = false, any = false;
    for (char c : line) {
      if (c == '"') {
        quoted = !quoted;
        any = true;
      } else if ((c == ' ' || c == '\t') && !quoted) {
        if (any || !part.empty())
          argv->push_back(part);
        part.clear();
        any = false;
      } else {
        part += c;
      }
    }
    if (any || !part.empty())
      argv->push_back(part);
    return !argv->empty();
  }
  return false;
}

// The lines of text (CR LF or LF ends) in order.
static std::vector<std::string> TextLines(const std::string &text)
{
  std::vector<std::string> out;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      out.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty())
    out.push_back(line);
  return out;
}

// The expected lines appear in this order, others between them.
static void CheckInOrder(const std::vector<std::string> &expected, const std::string &text, const char *what,
                         std::vector<std::string> *bad)
{
  std::vector<std::string> lines = TextLines(text);
  size_t at = 0;
  for (const std::string &e : expected) {
    size_t found = at;
    while (found < lines.size() && lines[found] != e)
      found++;
    if (found == lines.size()) {
      bool earlier = std::find(lines.begin(), lines.end(), e) != lines.end();
      bad->push_back(std::string(what) + (earlier ? " holds out of order: " : " lacks: ") + AnsiToUtf8(e.c_str()));
      continue;
    }
    at = found + 1;
  }
}

static bool Below(const std::string &entry, const std::string &root)
{
  std::string e = Lower(entry), r = Lower(root);
  return e == r || e.compare(0, r.size() + 1, r + "\\") == 0 || e.compare(0, r.size() + 3, r + " : ") == 0;
}

std::vector<std::string> CheckExpectations(const Expectations &x, const std::string &log, const std::string &console,
                                           const Snapshot &loaded)
{
  std::vector<std::string> bad;
  // The log is in the system code page; the scenario's lines are UTF-8.
  std::vector<std::string> expectedLog;
  for (const std::string &l : x.log)
    expectedLog.push_back(Utf8ToAnsi(l));
  CheckInOrder(expectedLog, log, "log", &bad);
  CheckInOrder(x.console, console, "console", &bad);
  std::vector<std::string> lines = TextLines(log);
  for (const std::string &a : x.absentLog)
    if (std::find(lines.begin(), lines.end(), Utf8ToAnsi(a)) != lines.end())
      bad.push_back("log holds: " + a);
  for (const ExpectedFile &f : x.files) {
    FsNode *n = Node(Lower(f.path));
    if (!n && f.exists)
      bad.push_back("file missing: " + f.path);
    else if (n && !f.exists)
      bad.push_back("file present: " + f.path);
    else if (n && !f.image.empty() && DescribeImage(n->data) != f.image)
      bad.push_back("file " + f.path + " is " + (n->isDir ? "a folder" : DescribeImage(n->data)) + ", not " + f.image);
  }
  for (const ExpectedValue &v : x.registry) {
    std::string where = v.key + (v.valueGiven ? " : \"" + v.name + "\"" : "");
    bool present = v.valueGiven ? Value(v.key, v.name) != nullptr : Key(v.key) != nullptr;
    if (present != v.exists) {
      bad.push_back(std::string(present ? "registry holds: " : "registry lacks: ") + where);
      continue;
    }
    const RegValue *value = v.valueGiven ? Value(v.key, v.name) : nullptr;
    if (value && v.dataGiven && (value->type != v.type || value->data != v.data))
      bad.push_back("registry " + where + " is " + Describe(value->data, value->type) + ", not " +
                    Describe(v.data, v.type));
  }
  if (!x.untouched.empty()) {
    Snapshot now = TakeSnapshot();
    for (const std::string &root : x.untouched) {
      Snapshot a, b;
      for (const auto &e : loaded.files)
        if (Below(e.first, root))
          a.files.insert(e);
      for (const auto &e : now.files)
        if (Below(e.first, root))
          b.files.insert(e);
      for (const auto &e : loaded.registry)
        if (Below(e.first, root))
          a.registry.insert(e);
      for (const auto &e : now.registry)
        if (Below(e.first, root))
          b.registry.insert(e);
      if (a.files.empty() && a.registry.empty())
        bad.push_back("untouched " + root + " was not there to begin with");
      for (const std::string &d : Differences(a, b))
        bad.push_back("touched: " + d);
    }
  }
  return bad;
}

}  // namespace sim
