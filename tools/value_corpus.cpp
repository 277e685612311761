// value_corpus: writes the dataset's value lines as seeds for the value-line
// fuzzer, one UTF-16LE file per line, without its terminator.
//   value_corpus DIR [PER_FORM]
// Of each data form (string, dword:, hex:, hex(N): by N) the first PER_FORM
// distinct lines in table order (default 40) of at most 2,048 code units, so
// that the seeds stay short; files are named by set, record and line
// ("s2-r003-l0007").
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>

#include "cleaner.h"

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
  if (argc != 2 && argc != 3) {
    std::cerr << "usage: value_corpus DIR [PER_FORM]\n";
    return 2;
  }
  fs::path dir = argv[1];
  size_t perForm = argc == 3 ? (size_t)atoi(argv[2]) : 40;
  std::map<std::u16string, size_t> taken;
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
      if (text.size() > 2048 || !seen.insert(text).second)
        continue;
      // The form: what follows the first "=, up to the list.
      size_t at = text.find(u"\"=");
      std::u16string form = at == std::u16string::npos ? u"" : text.substr(at + 2, 7);
      if (form.compare(0, 1, u"\"") == 0)
        form = u"\"";
      else if (form.compare(0, 4, u"hex:") == 0 || form.compare(0, 6, u"dword:") == 0)
        form = form.substr(0, 4);
      if (taken[form]++ >= perForm)
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
