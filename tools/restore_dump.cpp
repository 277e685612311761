// restore_dump: the known-good table exactly as it is compiled into the
// cleaner, as JSON on standard output: per record its set, keepExisting,
// root, subKey, sddl, value lines (UTF-8), which of them are guessed (written
// only where the value is missing) and the byte size of its UTF-16 value
// list, terminators included. The Wine end-to-end test and the
// benchmark derive their expectations and their .reg files from it.
//   restore_dump
#include <iostream>

#include <nlohmann/json.hpp>

#include "cleaner.h"
#include "sim.h"

static const char *RootName(HKEY root)
{
  if (root == HKEY_LOCAL_MACHINE)
    return "HKLM";
  if (root == HKEY_CURRENT_USER)
    return "HKCU";
  if (root == HKEY_CLASSES_ROOT)
    return "HKCR";
  return "";
}

int main()
{
  nlohmann::json records = nlohmann::json::array();
  for (DWORD i = 0; i < g_RestoreRecordCount; i++) {
    const RestoreRecord &r = g_RestoreRecords[i];
    nlohmann::json lines = nlohmann::json::array();
    nlohmann::json guessed = nlohmann::json::array();
    const WCHAR *line = r.valueLines;
    size_t units = 0;
    while (*line != 0) {
      size_t length = 0;
      while (line[length] != 0)
        length++;
      guessed.push_back(r.guessedLines != NULL && r.guessedLines[lines.size()] != 0);
      lines.push_back(sim::Utf16ToUtf8(line));
      units += length + 1;
      line += length + 1;
    }
    units += 1;  // the empty line that ends the list
    records.push_back({{"set", r.set},
                       {"keepExisting", r.keepExisting},
                       {"root", RootName(r.root)},
                       {"subKey", r.subKey},
                       {"sddl", r.sddl},
                       {"lines", lines},
                       {"guessed", guessed},
                       {"listBytes", units * sizeof(WCHAR)}});
  }
  std::cout << records.dump(1) << "\n";
  return 0;
}
