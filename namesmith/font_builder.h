// Builds the bytes of small TrueType fonts and collections from compact
// descriptions, for tests and fuzz seeds. Only what the font tool reads is
// modelled: the collection header, offset tables, table directories and the
// `name` table; other tables are opaque bytes.
#ifndef NAMESMITH_FONT_BUILDER_H_
#define NAMESMITH_FONT_BUILDER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace font_builder {

using Bytes = std::vector<uint8_t>;

inline void PutU16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

inline void PutU32(Bytes& b, uint32_t v) {
  PutU16(b, v >> 16);
  PutU16(b, v & 0xFFFF);
}

inline void SetU16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

inline void SetU32(Bytes& b, size_t at, uint32_t v) {
  SetU16(b, at, v >> 16);
  SetU16(b, at + 2, v & 0xFFFF);
}

inline uint32_t GetU16(const Bytes& b, size_t at) { return (b[at] << 8) | b[at + 1]; }

inline uint32_t GetU32(const Bytes& b, size_t at) {
  return (GetU16(b, at) << 16) | GetU16(b, at + 2);
}

/// UTF-16 big-endian bytes of a text.
inline Bytes Utf16Be(const std::u16string& text) {
  Bytes b;
  for (char16_t unit : text) PutU16(b, unit);
  return b;
}

inline Bytes Ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

/// One name record. Its string is appended to the storage unless `offset`
/// names a place in the storage (to share or to point anywhere); `length`
/// overrides the stored byte count.
struct Record {
  uint16_t platform;
  uint16_t encoding;
  uint16_t language;
  uint16_t nameId;
  Bytes string;
  int64_t offset = -1;
  int64_t length = -1;
};

/// A Windows Unicode (3, 1) record.
inline Record Win(uint16_t language, uint16_t nameId, const std::u16string& text) {
  return Record{3, 1, language, nameId, Utf16Be(text)};
}

struct NameTable {
  uint16_t format = 0;
  std::vector<Record> records;
  int64_t count = -1;           // overrides the record count field
  int64_t storageOffset = -1;   // overrides the computed storage offset
  size_t padding = 0;           // free bytes after the last string
};

inline Bytes BuildNameTable(const NameTable& t) {
  const size_t headerEnd = 6 + 12 * t.records.size();
  Bytes storage;
  std::vector<size_t> offsets;
  for (const Record& r : t.records) {
    if (r.offset >= 0) {
      offsets.push_back(static_cast<size_t>(r.offset));
    } else {
      offsets.push_back(storage.size());
      storage.insert(storage.end(), r.string.begin(), r.string.end());
    }
  }
  storage.resize(storage.size() + t.padding, 0);

  Bytes b;
  PutU16(b, t.format);
  PutU16(b, t.count >= 0 ? static_cast<uint32_t>(t.count) : t.records.size());
  PutU16(b, t.storageOffset >= 0 ? static_cast<uint32_t>(t.storageOffset) : headerEnd);
  for (size_t i = 0; i < t.records.size(); ++i) {
    const Record& r = t.records[i];
    PutU16(b, r.platform);
    PutU16(b, r.encoding);
    PutU16(b, r.language);
    PutU16(b, r.nameId);
    PutU16(b, r.length >= 0 ? static_cast<uint32_t>(r.length) : r.string.size());
    PutU16(b, static_cast<uint32_t>(offsets[i]));
  }
  b.insert(b.end(), storage.begin(), storage.end());
  return b;
}

struct Table {
  std::string tag;
  Bytes data;
};

struct Font {
  uint32_t version = 0x00010000;
  std::vector<Table> tables;
};

/// A font with the given name table and one opaque table before it.
inline Font FontWithNames(const NameTable& names) {
  return Font{0x00010000, {{"head", Bytes(54, 0xAB)}, {"name", BuildNameTable(names)}}};
}

namespace internal {

// Appends the fonts' offset tables at `fontAt` and their tables after
// everything else, with offsets counted from the start of the file.
inline void LayOut(Bytes& b, const std::vector<Font>& fonts) {
  std::vector<std::vector<size_t>> recordAt(fonts.size());
  for (size_t f = 0; f < fonts.size(); ++f) {
    const size_t n = fonts[f].tables.size();
    PutU32(b, fonts[f].version);
    PutU16(b, n);
    PutU16(b, 0);
    PutU16(b, 0);
    PutU16(b, 0);
    for (const Table& t : fonts[f].tables) {
      recordAt[f].push_back(b.size());
      b.insert(b.end(), t.tag.begin(), t.tag.end());
      PutU32(b, 0x12345678);  // checksum: never read, must never change
      PutU32(b, 0);
      PutU32(b, t.data.size());
    }
  }
  for (size_t f = 0; f < fonts.size(); ++f) {
    for (size_t j = 0; j < fonts[f].tables.size(); ++j) {
      while (b.size() % 4 != 0) b.push_back(0);
      SetU32(b, recordAt[f][j] + 8, b.size());
      b.insert(b.end(), fonts[f].tables[j].data.begin(), fonts[f].tables[j].data.end());
    }
  }
}

}  // namespace internal

inline Bytes BuildFont(const Font& font) {
  Bytes b;
  internal::LayOut(b, {font});
  return b;
}

/// A collection: header, offset list, offset tables, then all tables.
inline Bytes BuildCollection(const std::vector<Font>& fonts, uint32_t version = 0x00010000) {
  Bytes b = Ascii("ttcf");
  PutU32(b, version);
  PutU32(b, fonts.size());
  const size_t listAt = b.size();
  for (size_t f = 0; f < fonts.size(); ++f) PutU32(b, 0);
  const size_t firstFont = b.size();
  internal::LayOut(b, fonts);
  // Offset tables follow one another: each is 12 + 16 * tables long.
  size_t at = firstFont;
  for (size_t f = 0; f < fonts.size(); ++f) {
    SetU32(b, listAt + 4 * f, at);
    at += 12 + 16 * fonts[f].tables.size();
  }
  return b;
}

/// Position of the table record with `tag` in the font at `fontOffset`.
inline size_t TableRecordAt(const Bytes& b, size_t fontOffset, const std::string& tag) {
  const size_t n = GetU16(b, fontOffset + 4);
  for (size_t j = 0; j < n; ++j) {
    const size_t at = fontOffset + 12 + 16 * j;
    if (std::string(b.begin() + at, b.begin() + at + 4) == tag) return at;
  }
  return 0;
}

}  // namespace font_builder

#endif  // NAMESMITH_FONT_BUILDER_H_
