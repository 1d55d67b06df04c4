// The container walk: the fonts of a plain font file or of a TrueType
// Collection, and the `name` table of each.
#include <cstring>
#include <cwchar>

#include "byte_order.h"
#include "console.h"
#include "namesmith.h"

namespace {

constexpr uint32_t SFNT_VERSION_1 = 0x00010000;
constexpr uint32_t OFFSET_TABLE_SIZE = 12;  // sfnt version, table count, three search fields
constexpr uint32_t TABLE_RECORD_SIZE = 16;  // tag, checksum, offset, length
constexpr uint32_t COLLECTION_HEADER_SIZE = 12;  // tag, version, font count

bool Refuse(const wchar_t* message) {
  Print(L"%ls", message);
  return false;
}

const wchar_t INSUFFICIENT[] = L"The file length is insufficient.\n";
const wchar_t UNSUPPORTED[] = L"This file version is not supported.\n";

}  // namespace

bool WalkFontFile(uint32_t size, uint8_t* file, const char16_t* oldName, const char16_t* newName,
                  uint32_t language, uint32_t flags) {
  if (size < COLLECTION_HEADER_SIZE) return Refuse(INSUFFICIENT);

  uint32_t fontCount = 0;  // 0 means a plain font at offset 0
  if (memcmp(file, "ttcf", 4) == 0) {
    if (LoadU32(file + 4) < SFNT_VERSION_1) return Refuse(UNSUPPORTED);
    fontCount = LoadU32(file + 8);
    if (!Fits(COLLECTION_HEADER_SIZE, 4ull * fontCount, size)) return Refuse(INSUFFICIENT);
  }

  // A collection that lists no font still gets the one pass at offset 0.
  bool changed = false;
  uint32_t index = 0;
  do {
    uint32_t fontOffset =
        fontCount > 0 ? LoadU32(file + COLLECTION_HEADER_SIZE + 4ull * index) : 0;
    if (ProcessFont(fontOffset, file, size, oldName, newName, language, flags)) changed = true;
  } while (++index < fontCount);
  return changed;
}

bool ProcessFont(uint32_t fontOffset, uint8_t* file, uint32_t size, const char16_t* oldName,
                 const char16_t* newName, uint32_t language, uint32_t flags) {
  if (!Fits(fontOffset, 4, size)) return Refuse(INSUFFICIENT);
  if (LoadU32(file + fontOffset) != SFNT_VERSION_1) return Refuse(UNSUPPORTED);
  if (!Fits(fontOffset, OFFSET_TABLE_SIZE, size)) return Refuse(INSUFFICIENT);

  const uint16_t tableCount = LoadU16(file + fontOffset + 4);
  const uint64_t directory = uint64_t{fontOffset} + OFFSET_TABLE_SIZE;
  if (!Fits(directory, uint64_t{TABLE_RECORD_SIZE} * tableCount, size)) {
    return Refuse(INSUFFICIENT);
  }

  const uint8_t* record = nullptr;
  for (uint32_t j = 0; j < tableCount; ++j) {
    const uint8_t* candidate = file + directory + uint64_t{TABLE_RECORD_SIZE} * j;
    if (memcmp(candidate, "name", 4) == 0) {
      record = candidate;
      break;
    }
  }
  if (record == nullptr) return Refuse(L"No name table was found.\n");

  const uint32_t tableOffset = LoadU32(record + 8);
  const uint32_t tableLength = LoadU32(record + 12);
  if (!Fits(tableOffset, tableLength, size)) return Refuse(INSUFFICIENT);
  return ProcessNameTable(file + tableOffset, tableLength, oldName, newName, language, flags);
}
