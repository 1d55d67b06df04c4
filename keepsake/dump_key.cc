// DumpKey: a key, its values and its subkeys, depth first, as a key dump.
#include "hive_dump.h"
#include "holders.h"

namespace {

// Raised by a failing step of a level and caught by that level's guard,
// after the holders have released what the level held.
struct DumpFailure {};

void Write(HANDLE file, const void* bytes, DWORD size) {
  DWORD written = 0;
  if (!BufferedWriteFile(file, bytes, size, &written, NULL) || written != size) {
    throw DumpFailure();
  }
}

void WriteByte(HANDLE file, BYTE value) { Write(file, &value, 1); }

void WriteDword(HANDLE file, DWORD value) {
  const BYTE bytes[4] = {(BYTE)value, (BYTE)(value >> 8), (BYTE)(value >> 16),
                         (BYTE)(value >> 24)};
  Write(file, bytes, 4);
}

void Allocate(HeapBlock* block, unsigned long long size) {
  if (!block->Allocate(size)) throw DumpFailure();
}

void DumpLevel(HKEY key, HANDLE file) {
  DWORD subkeys = 0, maxSubkey = 0, maxClass = 0, values = 0, maxValueName = 0, maxValueData = 0;
  if (RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, &maxSubkey, &maxClass, &values,
                       &maxValueName, &maxValueData, NULL, NULL) != ERROR_SUCCESS) {
    // A key that cannot be queried is written as an empty key.
    for (int i = 0; i < 4; ++i) WriteDword(file, 0);
    WriteByte(file, HIVE_TAG_END);
    return;
  }
  WriteDword(file, maxSubkey);
  WriteDword(file, maxClass);
  WriteDword(file, maxValueName);
  WriteDword(file, maxValueData);

  HeapBlock subkeyName, className, valueName, valueData;
  Allocate(&subkeyName, (maxSubkey + 1ull) * sizeof(WCHAR));
  Allocate(&className, (maxClass + 1ull) * sizeof(WCHAR));
  Allocate(&valueName, (maxValueName + 1ull) * sizeof(WCHAR));
  Allocate(&valueData, maxValueData);

  for (DWORD i = 0; i < values; ++i) {
    DWORD nameLength = maxValueName + 1;
    DWORD dataLength = maxValueData;
    DWORD type = 0;
    // A value that changed or vanished since the query is left out.
    if (RegEnumValueW(key, i, valueName.Chars(), &nameLength, NULL, &type, valueData.Bytes(),
                      &dataLength) != ERROR_SUCCESS) {
      continue;
    }
    WriteByte(file, HIVE_TAG_VALUE);
    WriteDword(file, nameLength);
    Write(file, valueName.Chars(), nameLength * sizeof(WCHAR));
    WriteDword(file, type);
    WriteDword(file, dataLength);
    Write(file, valueData.Bytes(), dataLength);
  }
  valueName.Free();
  valueData.Free();

  for (DWORD i = 0; i < subkeys; ++i) {
    DWORD nameLength = maxSubkey + 1;
    DWORD classLength = maxClass + 1;
    if (RegEnumKeyExW(key, i, subkeyName.Chars(), &nameLength, NULL, className.Chars(),
                      &classLength, NULL) != ERROR_SUCCESS) {
      continue;
    }
    // A subkey that cannot be opened for reading leaves no trace.
    KeyHolder child;
    if (RegOpenKeyExW(key, subkeyName.Chars(), 0, KEY_READ, child.Receive()) != ERROR_SUCCESS) {
      continue;
    }
    WriteByte(file, HIVE_TAG_SUBKEY);
    WriteDword(file, nameLength);
    Write(file, subkeyName.Chars(), nameLength * sizeof(WCHAR));
    WriteDword(file, classLength);
    Write(file, className.Chars(), classLength * sizeof(WCHAR));
    if (!DumpKey(child.Get(), file)) throw DumpFailure();
  }
  subkeyName.Free();
  className.Free();

  WriteByte(file, HIVE_TAG_END);
}

}  // namespace

BOOL DumpKey(HKEY key, HANDLE file) {
  // The guard of this level: the holders in DumpLevel have released its
  // buffers and child key by the time the failure arrives here.
  try {
    DumpLevel(key, file);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}
