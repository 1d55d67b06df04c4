// Entry point where arguments arrive as bytes in the user's locale: each is
// decoded into UTF-16 for the names; the bytes themselves serve as paths.
#include <clocale>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "namesmith.h"

namespace {

// A code point beyond the BMP becomes a surrogate pair; an undecodable byte
// becomes U+FFFD and the rest of the argument is still read.
std::u16string ToUtf16(const char* text) {
  std::u16string units;
  std::mbstate_t state{};
  const char* p = text;
  size_t left = strlen(text);
  while (left > 0) {
    wchar_t c;
    const size_t used = mbrtowc(&c, p, left, &state);
    if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2)) {
      units.push_back(u'\uFFFD');
      state = std::mbstate_t{};
      ++p;
      --left;
      continue;
    }
    const size_t n = used == 0 ? 1 : used;  // 0 only for a NUL, which strlen excludes
    p += n;
    left -= n;
    const char32_t code = static_cast<char32_t>(c);
    if (code >= 0x10000 && code <= 0x10FFFF) {
      units.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else if (code < 0x10000) {
      units.push_back(static_cast<char16_t>(code));
    } else {
      units.push_back(u'\uFFFD');
    }
  }
  return units;
}

}  // namespace

int main(int argc, char** argv) {
  setlocale(LC_ALL, "");
  std::vector<std::u16string> decoded;
  decoded.reserve(argc);
  for (int i = 0; i < argc; ++i) decoded.push_back(ToUtf16(argv[i]));
  std::vector<const char16_t*> units;
  for (const std::u16string& argument : decoded) units.push_back(argument.c_str());
  return NamesmithMain(argc, units.data(), argv);
}
