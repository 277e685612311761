// value_corpus: writes the dataset's value lines as seeds for the value-line
// fuzzer, one UTF-16LE file per distinct line, without its terminator.
//   value_corpus DIR
// Files are named by set, record and line ("s2-r003-l0007"); a line that
// stands in several records is written once, under its first place.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>

#include "cleaner.h"

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
  if (argc != 2) {
    std::cerr << "usage: value_corpus DIR\n";
    return 2;
  }
  fs::path dir = argv[1];
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::set<std::u16string> seen;
  size_t written = 0;
  for (DWORD r = 0; r < g_RestoreRecordCount; r++) {
    const RestoreRecord &record = g_RestoreRecords[r];
    const WCHAR *line = record.valueLines;
    for (int l = 0; *line != 0; l++) {
      std::u16string text;
      for (; *line != 0; line++)
        text.push_back((char16_t)*line);
      line++;
      if (!seen.insert(text).second)
        continue;
      char name[32];
      snprintf(name, sizeof(name), "s%u-r%03u-l%04d", (unsigned)record.set, (unsigned)r, l);
      std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
      for (char16_t c : text) {
        out.put((char)(c & 0xFF));
        out.put((char)(c >> 8));
      }
      if (!out) {
        std::cerr << "value_corpus: cannot write " << (dir / name) << "\n";
        return 1;
      }
      written++;
    }
  }
  std::cout << written << " lines\n";
  return 0;
}
