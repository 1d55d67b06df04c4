// libFuzzer target over the whole walk, in list and in patch mode.
//
// Input: one byte of mode flags, two of language, one of name lengths (old
// in the low 3 bits, new in the high 5), the two names as big-endian UTF-16,
// then the font file.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "namesmith.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setlocale(LC_ALL, "C.UTF-8");
  // The walk prints on standard output; libFuzzer reports on standard error.
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t flags = data[0] & 0xF;
  const uint32_t language = data[1] | (data[2] << 8);
  const size_t oldUnits = data[3] & 0x7;
  const size_t newUnits = data[3] >> 3;
  size_t at = 4;
  if (size - at < 2 * (oldUnits + newUnits)) return 0;

  auto takeName = [&](size_t units) {
    std::vector<char16_t> name;
    for (size_t i = 0; i < units; ++i, at += 2) {
      name.push_back(static_cast<char16_t>((data[at] << 8) | data[at + 1]));
    }
    name.push_back(0);
    return name;
  };
  const std::vector<char16_t> oldName = takeName(oldUnits);
  const std::vector<char16_t> newName = takeName(newUnits);

  // A heap block of exactly the file's size, so any overrun is caught.
  const size_t fileSize = size - at;
  uint8_t* file = static_cast<uint8_t*>(malloc(fileSize > 0 ? fileSize : 1));
  memcpy(file, data + at, fileSize);
  WalkFontFile(static_cast<uint32_t>(fileSize), file, oldName.data(), newName.data(), language,
               flags);
  free(file);
  return 0;
}
