// Value lines of the dataset: hexadecimal numbers and the four data forms.
#include <memory>

#include "test_support.h"

namespace {

// The line in a heap block of exactly its length, so that a read before or
// past it is caught by the address sanitizer.
std::unique_ptr<WCHAR[]> ExactLine(const std::string &utf8)
{
  std::vector<WCHAR> w = Wide(utf8);
  std::unique_ptr<WCHAR[]> line(new WCHAR[w.size()]);
  std::copy(w.begin(), w.end(), line.get());
  return line;
}

std::vector<uint8_t> Bytes(std::initializer_list<int> list)
{
  std::vector<uint8_t> out;
  for (int b : list)
    out.push_back((uint8_t)b);
  return out;
}

TEST(ParseHexNumberTest, ReadsTheRunOfHexDigits)
{
  struct {
    const char *text;
    DWORD number;
  } cases[] = {
      {"1A,00", 26},
      {"1a)", 26},
      {"00000020", 0x20},
      {"fffffffff", 0xFFFFFFFF},  // nine digits: only the last eight count
      {"123456789", 0x23456789},
      {"DeadBeef", 0xDEADBEEF},
      {"", 0},
      {"g1", 0},
      {",12", 0},
      {"0x10", 0},               // no prefix: the x ends the number
      {"7`", 7},                 // 0x60 is below the folded range
      {"5G", 5},
      {"\xEF\xBC\x91", 0},       // U+FF11, a full-width 1, is not a digit
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.text);
    auto line = ExactLine(c.text);
    EXPECT_EQ(c.number, ParseHexNumber(line.get()));
  }
}

class ParseValueEntryTest : public SimTest {};

struct Parsed {
  const char *line;
  std::string name;
  DWORD type;
  std::vector<uint8_t> data;
};

TEST_F(ParseValueEntryTest, DataForms)
{
  const std::vector<uint8_t> rpcss = sim::Utf16Bytes("Rpcss");
  std::vector<uint8_t> multi = sim::Utf16Bytes("Rpcss");
  multi.push_back(0);
  multi.push_back(0);
  const Parsed cases[] = {
      {"\"Type\"=dword:00000020", "Type", REG_DWORD, Bytes({0x20, 0, 0, 0})},
      {"\"N\"=dword:", "N", REG_DWORD, Bytes({0, 0, 0, 0})},
      {"\"N\"=dword:1", "N", REG_DWORD, Bytes({1, 0, 0, 0})},
      {"\"N\"=dword:123456789", "N", REG_DWORD, Bytes({0x89, 0x67, 0x45, 0x23})},
      {"\"N\"=dword:ABCDEF01", "N", REG_DWORD, Bytes({0x01, 0xEF, 0xCD, 0xAB})},
      {"\"DisplayName\"=\"Background Intelligent Transfer Service\"", "DisplayName", REG_SZ,
       sim::Utf16Bytes("Background Intelligent Transfer Service")},
      {"\"Empty\"=\"\"", "Empty", REG_SZ, Bytes({0, 0})},
      // Verbatim: doubled backslashes and inner quotes stay as written.
      {"\"App\"=\"%SystemRoot%\\\\system32\\\\svchost.exe \"q\" x\"", "App", REG_SZ,
       sim::Utf16Bytes("%SystemRoot%\\\\system32\\\\svchost.exe \"q\" x")},
      // The last character is dropped whatever it is.
      {"\"Cut\"=\"abc", "Cut", REG_SZ, sim::Utf16Bytes("ab")},
      {"\"Collection\"=hex:87,00,01,00", "Collection", REG_BINARY, Bytes({0x87, 0, 1, 0})},
      {"\"Collection\"=hex:87,00,01,00,", "Collection", REG_BINARY, Bytes({0x87, 0, 1, 0})},
      {"\"Blob\"=hex:", "Blob", REG_BINARY, {}},
      {"\"Blob\"=hex:Ab,cD", "Blob", REG_BINARY, Bytes({0xAB, 0xCD})},
      {"\"DependOnService\"=hex(7):52,00,70,00,63,00,73,00,73,00,00,00,00,00", "DependOnService", REG_MULTI_SZ,
       multi},
      {"\"1008\"=hex(b):96,a0,7a,d1,5c,38,cd,01", "1008", REG_QWORD,
       Bytes({0x96, 0xa0, 0x7a, 0xd1, 0x5c, 0x38, 0xcd, 0x01})},
      {"\"1008\"=hex(B):96", "1008", REG_QWORD, Bytes({0x96})},
      {"\"Path\"=hex(2):52,00,70,00,63,00,73,00,73,00,00,00", "Path", REG_EXPAND_SZ, rpcss},
      {"\"Empty\"=hex(7):", "Empty", REG_MULTI_SZ, {}},
      // A stray character shifts the stride: position 3 is the backslash (0),
      // 6 the second digit of "02" alone, 9 the second of "03"; "04" is lost.
      {"\"S\"=hex:01,\\\\02,03,04", "S", REG_BINARY, Bytes({0x01, 0x00, 0x02, 0x03})},
      {"\"S\"=hex:01,\\02,03", "S", REG_BINARY, Bytes({0x01, 0x00, 0x00})},
      {"\"S\"=hex:1,2,3", "S", REG_BINARY, Bytes({0x01, 0x00})},
      // The name runs to the first "=; quotes without = stay in it.
      {"\"a\"b\"=dword:1", "a\"b", REG_DWORD, Bytes({1, 0, 0, 0})},
      {"\"\"=\"default\"", "", REG_SZ, sim::Utf16Bytes("default")},
      // The first character is skipped unexamined.
      {"xName\"=dword:2", "Name", REG_DWORD, Bytes({2, 0, 0, 0})},
  };
  for (const Parsed &c : cases) {
    SCOPED_TRACE(c.line);
    auto line = ExactLine(c.line);
    ValueEntry entry;
    EXPECT_EQ(1, ParseValueEntry(line.get(), &entry));
    EXPECT_EQ(c.name, Narrow(entry.name));
    EXPECT_EQ(c.type, entry.type);
    ASSERT_EQ(c.data.size(), entry.size);
    if (entry.size == 0) {
      EXPECT_EQ(nullptr, entry.data) << "nothing allocated for no bytes";
      continue;
    }
    ASSERT_NE(nullptr, entry.data);
    EXPECT_EQ(1u, sim::M().heapBlocks.count(entry.data)) << "data on the process heap";
    EXPECT_EQ(c.data, std::vector<uint8_t>(entry.data, entry.data + entry.size));
    HeapFree(GetProcessHeap(), 0, entry.data);
  }
}

TEST_F(ParseValueEntryTest, NamesUpTo255Characters)
{
  std::string longest(255, 'n');
  auto line = ExactLine("\"" + longest + "\"=dword:1");
  ValueEntry entry;
  ASSERT_EQ(1, ParseValueEntry(line.get(), &entry));
  EXPECT_EQ(longest, Narrow(entry.name));
  EXPECT_EQ(0, entry.name[255]);
  HeapFree(GetProcessHeap(), 0, entry.data);
}

TEST_F(ParseValueEntryTest, RejectedLinesAllocateNothingAndStayInTheirBuffers)
{
  const std::string tooLong(256, 'n');
  const std::string lines[] = {
      "",
      "\"",
      "\"Type\"",
      "\"Type\":dword:1",
      "\"=dword:1",              // "= at the very start
      "\"" + tooLong + "\"=dword:1",
      "\"" + tooLong + "0000\"=\"x\"",
      "\"X\"=",
      "\"X\"=\"",                // nothing after the opening quote
      "\"X\"=DWORD:00000001",    // keywords are lower case only
      "\"X\"=HEX:01",
      "\"X\"=Hex(7):01",
      "\"X\"=dword",
      "\"X\"=dwor",
      "\"X\"=qword:01",
      "\"X\"=hexa:01",
      "\"X\"=hex",               // ends before its list
      "\"X\"=hex(",
      "\"X\"=hex(7",
      "\"X\"=hex(7)",
      "\"X\"=hex(10):01",        // a longer type
      "\"X\"=hex():01",
      "\"X\"=hex(g):01",
      "\"X\"=hex(7];01",
      "\"X\"=hex(7)01",
      "\"k\"=v\"=\"x\"",        // the data after the first "= is no form
      "\"X\"= \"x\"",
  };
  for (const std::string &text : lines) {
    SCOPED_TRACE(text);
    auto line = ExactLine(text);
    ValueEntry entry;
    entry.type = 0xdeadbeef;
    entry.data = (BYTE *)&entry;
    entry.size = 0xdeadbeef;
    EXPECT_EQ(0, ParseValueEntry(line.get(), &entry));
    EXPECT_EQ(0xdeadbeefu, entry.type) << "the name did not run into the next field";
    EXPECT_EQ((BYTE *)&entry, entry.data);
    EXPECT_EQ(0u, sim::M().heapBlocks.size());
  }
}

TEST_F(ParseValueEntryTest, FailedAllocationFailsTheLine)
{
  sim::FailCall("HeapAlloc", 0, ERROR_NOT_ENOUGH_MEMORY);
  const char *lines[] = {"\"A\"=\"x\"", "\"A\"=dword:1", "\"A\"=hex:01", "\"A\"=hex(7):00,00"};
  for (const char *text : lines) {
    SCOPED_TRACE(text);
    auto line = ExactLine(text);
    ValueEntry entry;
    EXPECT_EQ(0, ParseValueEntry(line.get(), &entry));
  }
  // No bytes, nothing to allocate: still parses.
  auto empty = ExactLine("\"A\"=hex:");
  ValueEntry entry;
  EXPECT_EQ(1, ParseValueEntry(empty.get(), &entry));
  EXPECT_EQ(0u, entry.size);
}

}  // namespace
