#include "fuzz_checks.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "cleaner.h"
#include "scenario.h"
#include "sim.h"

namespace {

// ---- value lines -------------------------------------------------------------
//
// The input's code units are copied into a heap block of exactly their count
// and one terminator, so a read before or past the line is caught by the
// address sanitizer; the input may also end the line early with a NUL of its
// own. Every outcome is checked against a model of the grammar: a line outside
// it must be rejected, a line in one of its four forms accepted, and an
// accepted line must yield the model's name, type, byte count and bytes, in a
// heap block of exactly that size that HeapFree takes back. Lines the grammar
// leaves open (an empty name, a name of 256 or more characters, a string form
// with nothing after its quote, a "hex(" form other than one digit, a
// parenthesis and a colon) may go either way, but an accepted one is held to
// the same model.

const size_t kNameUnits = 256;

// The hex reader of the grammar: a-f and A-F, 32 bits kept.
uint32_t ModelHex(const WCHAR *text)
{
  uint32_t result = 0;
  for (;; text++) {
    uint32_t c = (uint16_t)*text, digit;
    if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else if (c >= '0' && c <= '9')
      digit = c - '0';
    else
      return result;
    result = result << 4 | digit;
  }
}

bool IsHexDigit(WCHAR c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool At(const WCHAR *line, size_t length, size_t at, const char *keyword)
{
  size_t n = strlen(keyword);
  if (at + n > length)
    return false;
  for (size_t i = 0; i < n; i++)
    if (line[at + i] != (WCHAR)keyword[i])
      return false;
  return true;
}

enum class Verdict { Reject, Accept, Either };

struct Model {
  Verdict verdict = Verdict::Reject;
  size_t nameLength = 0;
  bool dataKnown = true;
  DWORD type = 0;
  std::vector<uint8_t> data;
};

std::vector<uint8_t> ModelByteList(const WCHAR *list, size_t listLength)
{
  std::vector<uint8_t> bytes((listLength + 1) / 3);
  for (size_t i = 0; i < bytes.size(); i++)
    bytes[i] = (uint8_t)ModelHex(list + 3 * i);
  return bytes;
}

// The grammar on the line of this length (its terminator at line[length]).
Model ModelOf(const WCHAR *line, size_t length)
{
  Model m;
  size_t quote = 0;
  while (quote + 1 < length && !(line[quote] == '"' && line[quote + 1] == '='))
    quote++;
  if (quote + 1 >= length)
    return m;  // no "=
  bool open = quote == 0 || quote - 1 >= kNameUnits;
  m.nameLength = quote == 0 ? 0 : quote - 1;
  size_t t = quote + 2;
  if (t < length && line[t] == '"') {
    size_t l = length - (t + 1);
    if (l == 0) {
      m.verdict = Verdict::Either;
      m.dataKnown = false;
      return m;
    }
    m.type = REG_SZ;
    m.data.assign(2 * l, 0);
    memcpy(m.data.data(), line + t + 1, 2 * (l - 1));
  } else if (At(line, length, t, "dword:")) {
    uint32_t n = ModelHex(line + t + 6);
    m.type = REG_DWORD;
    m.data = {(uint8_t)n, (uint8_t)(n >> 8), (uint8_t)(n >> 16), (uint8_t)(n >> 24)};
  } else if (At(line, length, t, "hex:")) {
    m.type = REG_BINARY;
    m.data = ModelByteList(line + t + 4, length - (t + 4));
  } else if (At(line, length, t, "hex(")) {
    if (t + 7 > length || !IsHexDigit(line[t + 4]) || line[t + 5] != ')' || line[t + 6] != ':') {
      m.verdict = Verdict::Either;
      m.dataKnown = false;
      return m;
    }
    m.type = ModelHex(line + t + 4);
    m.data = ModelByteList(line + t + 7, length - (t + 7));
  } else {
    return m;  // any other data, "hex" followed by neither ':' nor '(' included
  }
  m.verdict = open ? Verdict::Either : Verdict::Accept;
  return m;
}

std::string CheckAccepted(const Model &m, const WCHAR *line, const ValueEntry &entry)
{
  size_t nul = 0;
  while (nul < kNameUnits && entry.name[nul] != 0)
    nul++;
  if (nul == kNameUnits)
    return "accepted name not terminated within 256 units";
  if (nul != m.nameLength || memcmp(entry.name, line + 1, 2 * nul) != 0)
    return "name differs from the text between the first character and the first \"=";
  if (!m.dataKnown) {
    if (entry.size != 0 && entry.data == NULL)
      return "bytes counted, but no block";
  } else {
    if (entry.type != m.type)
      return "type differs from the grammar's";
    if (entry.size != m.data.size())
      return "byte count differs from the grammar's formula";
    if (entry.size == 0)
      return entry.data == NULL ? "" : "zero bytes, yet a block";
    if (memcmp(entry.data, m.data.data(), entry.size) != 0)
      return "data bytes differ from the grammar's";
  }
  if (entry.size == 0)
    return "";
  auto block = sim::M().heapBlocks.find(entry.data);
  if (block == sim::M().heapBlocks.end() || block->second != entry.size)
    return "data is not a heap block of exactly the byte count";
  return "";
}

// ---- PE images ----------------------------------------------------------------

const char *const kImagePath = "C:\\Windows\\system32\\services.exe";

uint32_t Le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

// Infected: more than 4096 bytes, MZ, e_lfanew in 0..3848, "PE\0\0" there,
// and DYNAMIC_BASE clear in DllCharacteristics.
int ModelVerdict(const uint8_t *b, size_t size)
{
  if (size <= 4096 || b[0] != 'M' || b[1] != 'Z')
    return 0;
  int32_t lfanew = (int32_t)Le32(b + 0x3C);
  if (lfanew < 0 || lfanew > 4096 - 248)
    return 0;
  if (Le32(b + lfanew) != 0x00004550)
    return 0;
  return (b[lfanew + 94] & 0x40) == 0;
}

std::string LeftOver(const char *after)
{
  if (sim::OpenHandles() != 0)
    return std::string("handle left open by ") + after;
  if (!sim::M().heapBlocks.empty() || !sim::M().localBlocks.empty())
    return std::string("memory left allocated by ") + after;
  return "";
}

}  // namespace

std::string CheckValueEntryInput(const uint8_t *data, size_t size)
{
  size_t units = size / 2;
  // Exactly the input's units and one terminator.
  WCHAR *line = (WCHAR *)malloc((units + 1) * sizeof(WCHAR));
  if (units)
    memcpy(line, data, units * sizeof(WCHAR));
  line[units] = 0;
  size_t length = 0;
  while (line[length] != 0)
    length++;

  ValueEntry entry;
  memset(&entry, 0xA5, sizeof(entry));
  Model m = ModelOf(line, length);
  int parsed = ParseValueEntry(line, &entry);

  std::string bad;
  if (parsed && m.verdict == Verdict::Reject)
    bad = "accepted a line outside the grammar";
  else if (!parsed && m.verdict == Verdict::Accept)
    bad = "rejected a line of the grammar";
  else if (parsed)
    bad = CheckAccepted(m, line, entry);
  if (parsed && entry.data != NULL && sim::M().heapBlocks.count(entry.data) &&
      !HeapFree(GetProcessHeap(), 0, entry.data) && bad.empty())
    bad = "HeapFree refused the data";
  if (bad.empty() && !sim::M().heapBlocks.empty())
    bad = parsed ? "heap block left after freeing the data" : "rejected line left a heap block";
  free(line);
  // The simulated layer counts every call; each input starts afresh.
  sim::Reset();
  return bad;
}

std::string CheckPeImageInput(const uint8_t *data, size_t size)
{
  sim::Reset();
  sim::MakeFile(kImagePath, std::vector<uint8_t>(data, data + size));

  int infected = IsImageInfected(kImagePath);
  std::string bad = LeftOver("IsImageInfected");
  if (bad.empty() && infected != ModelVerdict(data, size))
    bad = "verdict differs from the header test";
  ReadFileVersion(kImagePath);
  if (bad.empty())
    bad = LeftOver("ReadFileVersion");
  // Neither call changes the file.
  const sim::FsNode *node = sim::Node(kImagePath);
  if (bad.empty() &&
      (node == nullptr || node->data.size() != size || (size && memcmp(node->data.data(), data, size) != 0)))
    bad = "file changed";
  sim::Reset();
  return bad;
}

std::string CheckScenarioInput(const uint8_t *data, size_t size)
{
  sim::Scenario scenario;
  std::string error;
  bool loaded = sim::LoadScenario(std::string((const char *)data, size), &scenario, &error);
  std::string bad;
  if (!loaded && error.empty())
    bad = "refused without a message";
  sim::Reset();
  return bad;
}
