// The program's outer shell: banner, arguments, whole-file read, walk,
// whole-file write and the closing line.
#include <cwchar>
#include <cwctype>

#include "console.h"
#include "namesmith.h"

namespace {

const wchar_t* const USAGE[] = {
    L"Usage\n",
    L"\n",
    L"namesmith source\n",
    L"source          Path of a TrueType Font file.\n",
    L"                All names in Unicode name tables will be shown.\n",
    L"\n",
    L"namesmith source destination oldname newname language -a -x -e\n",
    L"source          Path of an unpatched source TrueType Font file.\n",
    L"                A TTF or TTC file can be specified.\n",
    L"destination     Path of a patched output file.\n",
    L"oldname         Original name that will be replaced.\n",
    L"                This can be applied only to Unicode name tables.\n",
    L"newname         New name that original name will be replaced with.\n",
    L"                This can be applied only to Unicode name tables.\n",
    L"language        16bit Language ID where changes affect loading the font.\n",
    L"                With -x option, all languages except this will be chosen.\n",
    L"-a              All languages will be chosen.\n",
    L"                The language above will be ignored.\n",
    L"                This is optional.\n",
    L"-x              All languages except the above will be chosen.\n",
    L"                This option is ignored when -a option is specified.\n",
    L"                This is optional.\n",
    L"-e              Original name will be erased instead of replacing.\n",
    L"                This is optional.\n",
    L"\n",
    L"Example\n",
    L"namesmith foo.ttf\n",
    L"namesmith foo.ttf bar.ttf \"Foo font\" \"Bar font\" 0x0409\n",
    L"\n",
};

// Option words after the language, matched without regard to letter case.
const struct {
  char16_t letter;
  uint32_t flag;
} OPTIONS[] = {
    {u'a', ALL_LANGUAGES},
    {u'x', EXCEPT_LANGUAGE},
    {u'e', ERASE_NAME},
};

// The flag an option word sets, or 0 when the word is no option.
uint32_t OptionFlag(const char16_t* word) {
  if (word[0] != u'-' || word[1] == 0 || word[2] != 0) return 0;
  const char16_t letter = (word[1] >= u'A' && word[1] <= u'Z') ? word[1] + (u'a' - u'A') : word[1];
  for (const auto& option : OPTIONS) {
    if (option.letter == letter) return option.flag;
  }
  return 0;
}

// Value of a digit in any base up to 36, or 36 for a unit that is no digit.
unsigned DigitValue(char16_t unit) {
  if (unit >= u'0' && unit <= u'9') return unit - u'0';
  if (unit >= u'a' && unit <= u'z') return unit - u'a' + 10;
  if (unit >= u'A' && unit <= u'Z') return unit - u'A' + 10;
  return 36;
}

}  // namespace

uint32_t ParseLanguage(const char16_t* text) {
  const char16_t* p = text;
  while (*p != 0 && iswspace(static_cast<wint_t>(*p))) ++p;
  const bool negative = *p == u'-';
  if (*p == u'-' || *p == u'+') ++p;

  unsigned base = 10;
  if (p[0] == u'0' && (p[1] == u'x' || p[1] == u'X') && DigitValue(p[2]) < 16) {
    base = 16;
    p += 2;
  } else if (p[0] == u'0') {
    base = 8;
  }

  // Accumulates in 64 bits and saturates just past the 32-bit range.
  uint64_t value = 0;
  for (; DigitValue(*p) < base; ++p) {
    value = value * base + DigitValue(*p);
    if (value > 0xFFFFFFFFu) value = 0x100000000u;
  }
  if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  const uint32_t magnitude = static_cast<uint32_t>(value);
  return negative ? 0u - magnitude : magnitude;
}

void PrintUsage() {
  for (const wchar_t* line : USAGE) Print(L"%ls", line);
}

int ProcessFile(const PathChar* source, const PathChar* destination, const char16_t* oldName,
                const char16_t* newName, uint32_t language, uint32_t flags) {
  FileBuffer file;
  switch (LoadWholeFile(source, &file)) {
    case LOAD_OK:
      break;
    case LOAD_NO_MEMORY:
      Print(L"A memory error occured.\n");
      return 0;
    case LOAD_NOT_FOUND:
      Print(L"The file was not found.\n");
      return 0;
  }

  if (!WalkFontFile(file.size, file.bytes, oldName, newName, language, flags)) {
    Print(L"A fatal error was detected or the name was not found.\n");
    return 0;
  }
  if (destination != nullptr && !WriteWholeFile(destination, file)) {
    Print(L"Failed in writing the file.\n");
    return 0;
  }
  Print(L"Quit the program successfully.\n");
  return 1;
}

int NamesmithMain(int argc, const char16_t* const* argv, const PathChar* const* paths) {
  Print(L"Nomenforge for Microsoft Format\n");
  Print(L"\n");

  if (argc == 2) {
    ProcessFile(paths[1], nullptr, nullptr, nullptr, 0, LIST_NAMES);
    FlushConsole();
    return 0;
  }
  if (argc >= 6) {
    uint32_t flags = 0;
    int i = 6;
    for (; i < argc; ++i) {
      const uint32_t flag = OptionFlag(argv[i]);
      if (flag == 0) break;
      flags |= flag;
    }
    if (i == argc) {
      ProcessFile(paths[1], paths[2], argv[3], argv[4], ParseLanguage(argv[5]), flags);
      FlushConsole();
      return 0;
    }
  }

  Print(L"Invalid arguments\n");
  Print(L"\n");
  PrintUsage();
  FlushConsole();
  return 0;
}
