// Entry point with the wide command line: arguments are UTF-16 already and
// serve both as names and as paths.
#include <clocale>
#include <cwchar>
#include <string>
#include <vector>

#include "namesmith.h"

int wmain(int argc, wchar_t** argv) {
  _wsetlocale(LC_ALL, L"");
  // wchar_t and char16_t are both UTF-16 code units here; copy rather than alias.
  std::vector<std::u16string> names;
  for (int i = 0; i < argc; ++i) names.emplace_back(argv[i], argv[i] + wcslen(argv[i]));
  std::vector<const char16_t*> units;
  for (const std::u16string& name : names) units.push_back(name.c_str());
  return NamesmithMain(argc, units.data(), argv);
}
