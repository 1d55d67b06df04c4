// The `name` table step: header tests, working copy, listing and rewriting.
//
// Records and strings are always read from the table itself; changes go into
// the working copy, which replaces the table only when a record changed. So
// every decision within a table rests on the bytes as they were at the start.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "byte_order.h"
#include "console.h"
#include "namesmith.h"

namespace {

constexpr uint32_t NAME_HEADER_SIZE = 6;   // format, count, storage offset
constexpr uint32_t NAME_RECORD_SIZE = 12;  // platform, encoding, language, name ID, length, offset
constexpr uint32_t MAX_NAME_UNITS = 0xFFFF / 2;  // what the 16-bit byte length can hold

const wchar_t INSUFFICIENT[] = L"The name table length is insufficient.\n";

struct NameRecord {
  uint32_t offset;  // of the record itself, from the start of the table
  uint16_t platform;
  uint16_t encoding;
  uint16_t language;
  uint16_t nameId;
  uint16_t length;
  uint32_t position;  // storage offset + string offset: at most 131070
};

NameRecord ReadRecord(const uint8_t* table, uint16_t storageOffset, uint32_t index) {
  NameRecord r;
  r.offset = NAME_HEADER_SIZE + NAME_RECORD_SIZE * index;
  const uint8_t* p = table + r.offset;
  r.platform = LoadU16(p);
  r.encoding = LoadU16(p + 2);
  r.language = LoadU16(p + 4);
  r.nameId = LoadU16(p + 6);
  r.length = LoadU16(p + 8);
  r.position = uint32_t{storageOffset} + LoadU16(p + 10);
  return r;
}

bool InRange(const NameRecord& r, uint32_t tableLength) {
  return Fits(r.position, r.length, tableLength);
}

bool IsUnicode(const NameRecord& r) {
  return (r.platform == 0 || r.platform == 3) &&
         (r.encoding == 1 || r.encoding == 3 || r.encoding == 10);
}

bool LanguageChosen(uint16_t recordLanguage, uint32_t language, uint32_t flags) {
  if (flags & ALL_LANGUAGES) return true;
  const bool same = recordLanguage == static_cast<uint16_t>(language);
  return (flags & EXCEPT_LANGUAGE) ? !same : same;
}

void PrintSkipped(const wchar_t* reason) {
  Print(L"%ls", reason);
  Print(L"This may be skipped.\n");
}

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Writes a stored string's units to standard output. Where wchar_t is UTF-16
// each unit goes out as it stands; where it is a code point, a surrogate
// pair goes out as its one character and a lone surrogate prints nothing.
void PutNameUnits(const uint8_t* s, uint32_t length) {
  for (uint32_t i = 0; i + 1 < length; i += 2) {
    const uint32_t unit = LoadU16(s + i);
    if constexpr (sizeof(wchar_t) == 2) {
      PutNameChar(static_cast<wchar_t>(unit));
    } else if (IsHighSurrogate(unit)) {
      if (i + 3 < length && IsLowSurrogate(LoadU16(s + i + 2))) {
        const uint32_t low = LoadU16(s + i + 2);
        PutNameChar(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
        i += 2;
      }
    } else if (!IsLowSurrogate(unit)) {
      PutNameChar(static_cast<wchar_t>(unit));
    }
  }
}

void ListNames(const uint8_t* table, uint32_t tableLength, uint16_t count,
               uint16_t storageOffset) {
  Print(L"Platform must be 0x0000 or 0x0003.\n");
  Print(L"Encoding must be 0x0001, 0x0003 or 0x000a.\n");
  Print(L"\n");
  Print(L"Index  Platform Encoding Language Type     Value\n");
  for (uint32_t k = 0; k < count; ++k) {
    const NameRecord r = ReadRecord(table, storageOffset, k);
    if (!InRange(r, tableLength)) {
      PrintSkipped(L"A value is out of the name table.\n");
      continue;
    }
    Print(L"%-6u 0x%04X   0x%04X   0x%04X   0x%04X   ", k, unsigned{r.platform},
            unsigned{r.encoding}, unsigned{r.language}, unsigned{r.nameId});
    PutNameUnits(table + r.position, r.length);
    Print(L"\n");
  }
}

// The in-range strings of a table's records as sorted byte spans, for the
// test that a new name overwrites no string but those of the records being
// renamed at the same position (which all receive the same bytes).
class StringSpans {
 public:
  void Add(uint32_t start, uint32_t end, bool renamed) {
    if (start < end) spans_.push_back({start, renamed, end});
  }

  void Sort() {
    std::sort(spans_.begin(), spans_.end(), Before);
    maxEndBefore_.assign(spans_.size() + 1, 0);
    for (size_t i = 0; i < spans_.size(); ++i) {
      maxEndBefore_[i + 1] = std::max(maxEndBefore_[i], spans_[i].end);
    }
  }

  /// True when [start, end) overlaps a span other than those renamed at start.
  bool Overlaps(uint32_t start, uint32_t end) const {
    if (start == end) return false;
    const size_t first = Find(start, false);
    // Spans that begin before `start` reach into it when one ends after it.
    if (maxEndBefore_[first] > start) return true;
    // Spans at `start` that are not renamed sort before the renamed ones.
    const size_t renamedFirst = Find(start, true);
    if (renamedFirst != first) return true;
    const size_t renamedLast = Find(start + 1, false);
    return Find(end, false) != renamedLast;
  }

 private:
  struct Span {
    uint32_t start;
    bool renamed;
    uint32_t end;
  };

  static bool Before(const Span& a, const Span& b) {
    return a.start != b.start ? a.start < b.start : a.renamed < b.renamed;
  }

  // Index of the first span not before (start, renamed).
  size_t Find(uint32_t start, bool renamed) const {
    const Span key{start, renamed, 0};
    return std::lower_bound(spans_.begin(), spans_.end(), key, Before) - spans_.begin();
  }

  std::vector<Span> spans_;
  std::vector<uint32_t> maxEndBefore_;  // [i]: the largest end among spans_[0, i)
};

bool RewriteNames(uint8_t* table, uint8_t* copy, uint32_t tableLength, uint16_t count,
                  uint16_t storageOffset, const char16_t* oldName, const char16_t* newName,
                  uint32_t language, uint32_t flags) {
  const bool erase = (flags & ERASE_NAME) != 0;
  std::vector<NameRecord> records(count);
  std::vector<bool> chosen(count);
  bool anyChosen = false;
  for (uint32_t k = 0; k < count; ++k) {
    const NameRecord& r = records[k] = ReadRecord(table, storageOffset, k);
    chosen[k] = IsUnicode(r) && InRange(r, tableLength) &&
                NameEquals(table + r.position, r.length, oldName) &&
                LanguageChosen(r.language, language, flags);
    anyChosen = anyChosen || chosen[k];
  }

  uint64_t newUnits = 0;
  while (newName[newUnits] != 0) ++newUnits;
  const uint64_t newBytes = 2 * newUnits;

  StringSpans spans;
  if (anyChosen && !erase) {
    for (uint32_t k = 0; k < count; ++k) {
      const NameRecord& r = records[k];
      if (InRange(r, tableLength)) spans.Add(r.position, r.position + r.length, chosen[k]);
    }
    spans.Sort();
  }

  bool changed = false;
  for (uint32_t k = 0; k < count; ++k) {
    const NameRecord& r = records[k];
    if (!IsUnicode(r)) continue;
    if (!InRange(r, tableLength)) {
      PrintSkipped(L"A value is out of the name table.\n");
      continue;
    }
    if (!chosen[k]) continue;
    if (erase) {
      memset(copy + r.offset, 0, NAME_RECORD_SIZE);
      changed = true;
      continue;
    }
    if (newUnits > MAX_NAME_UNITS || !Fits(r.position, newBytes, tableLength)) {
      PrintSkipped(INSUFFICIENT);
      continue;
    }
    // Both bounds fit in 32 bits: position + newBytes <= tableLength.
    if (spans.Overlaps(r.position, static_cast<uint32_t>(r.position + newBytes))) {
      PrintSkipped(L"The name is shared with another record.\n");
      continue;
    }
    StoreU16(copy + r.offset + 8, StoreName(copy + r.position, newName));
    changed = true;
  }
  if (changed) memcpy(table, copy, tableLength);
  return changed;
}

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};

}  // namespace

bool NameEquals(const uint8_t* stored, uint32_t length, const char16_t* name) {
  // 2 * i never exceeds length: each step below first sees 2 bytes left.
  uint64_t i = 0;
  for (; name[i] != 0; ++i) {
    if (length - 2 * i < 2) return false;
    if (LoadU16(stored + 2 * i) != name[i]) return false;
  }
  return length - 2 * i < 2;
}

uint16_t StoreName(uint8_t* destination, const char16_t* name) {
  uint32_t i = 0;
  for (; name[i] != 0; ++i) StoreU16(destination + 2 * i, name[i]);
  return static_cast<uint16_t>(2 * i);
}

bool ProcessNameTable(uint8_t* table, uint32_t tableLength, const char16_t* oldName,
                      const char16_t* newName, uint32_t language, uint32_t flags) {
  if (tableLength < NAME_HEADER_SIZE) {
    Print(L"%ls", INSUFFICIENT);
    return false;
  }
  if (LoadU16(table) != 0) {
    Print(L"This version of name table is not supported.\n");
    return false;
  }
  const uint16_t count = LoadU16(table + 2);
  const uint16_t storageOffset = LoadU16(table + 4);
  if (!Fits(NAME_HEADER_SIZE, uint64_t{NAME_RECORD_SIZE} * count, tableLength) ||
      tableLength < storageOffset) {
    Print(L"%ls", INSUFFICIENT);
    return false;
  }

  std::unique_ptr<uint8_t, FreeDeleter> copy(static_cast<uint8_t*>(malloc(tableLength)));
  if (!copy) {
    Print(L"A memory error occured.\n");
    return false;
  }
  memcpy(copy.get(), table, tableLength);

  if (flags & LIST_NAMES) {
    ListNames(table, tableLength, count, storageOffset);
    return true;
  }
  return RewriteNames(table, copy.get(), tableLength, count, storageOffset, oldName, newName,
                      language, flags);
}
