// RestoreKey: a key dump read field by field and applied to a key.
#include "hive_dump.h"
#include "holders.h"

namespace {

// Raised by a failing step of a level and caught by that level's guard.
struct RestoreFailure {};

// Every field is one unbuffered read of exactly its size.
void Read(HANDLE file, void* bytes, DWORD size) {
  DWORD read = 0;
  // The count tells the outcome; ReadFile's own result adds nothing to it.
  (void)ReadFile(file, bytes, size, &read, NULL);
  if (read != size) throw RestoreFailure();
}

BYTE ReadByte(HANDLE file) {
  BYTE value;
  Read(file, &value, 1);
  return value;
}

DWORD ReadDword(HANDLE file) {
  BYTE b[4];
  Read(file, b, 4);
  return b[0] | (b[1] << 8) | (b[2] << 16) | ((DWORD)b[3] << 24);
}

// A length beyond its header's maximum would overrun the level's buffer:
// such a file was not written by DumpKey, and the restore fails.
DWORD ReadLength(HANDLE file, DWORD maximum) {
  const DWORD length = ReadDword(file);
  if (length > maximum) throw RestoreFailure();
  return length;
}

void Allocate(HeapBlock* block, unsigned long long size) {
  if (!block->Allocate(size)) throw RestoreFailure();
}

// Reads `length` characters. A count whose bytes do not fit one read was not
// written by DumpKey (registry names are far shorter); it fails like a short
// read rather than wrapping to a smaller read.
void ReadChars(HANDLE file, WCHAR* chars, DWORD length) {
  if (length > MAXDWORD / sizeof(WCHAR)) throw RestoreFailure();
  Read(file, chars, length * sizeof(WCHAR));
}

// Reads a string of `length` characters into `buffer` and terminates it.
void ReadString(HANDLE file, const HeapBlock& buffer, DWORD length) {
  ReadChars(file, buffer.Chars(), length);
  buffer.Chars()[length] = L'\0';
}

void RestoreLevel(HKEY key, HANDLE file, BOOL skip) {
  const DWORD maxSubkey = ReadDword(file);
  const DWORD maxClass = ReadDword(file);
  const DWORD maxValueName = ReadDword(file);
  const DWORD maxValueData = ReadDword(file);

  HeapBlock subkeyName, className, valueName, valueData;
  Allocate(&subkeyName, (maxSubkey + 1ull) * sizeof(WCHAR));
  Allocate(&className, (maxClass + 1ull) * sizeof(WCHAR));
  Allocate(&valueName, (maxValueName + 1ull) * sizeof(WCHAR));
  Allocate(&valueData, maxValueData);

  for (BYTE tag = ReadByte(file); tag != HIVE_TAG_END; tag = ReadByte(file)) {
    if (tag == HIVE_TAG_SUBKEY) {
      ReadString(file, subkeyName, ReadLength(file, maxSubkey));
      ReadString(file, className, ReadLength(file, maxClass));
      KeyHolder child;
      // A subkey that cannot be created is read past in skip mode.
      const BOOL created = !skip && RegCreateKeyExW(key, subkeyName.Chars(), 0, className.Chars(),
                                                    0, KEY_WRITE, NULL, child.Receive(),
                                                    NULL) == ERROR_SUCCESS;
      if (!RestoreKey(created ? child.Get() : NULL, file, !created)) throw RestoreFailure();
    } else if (tag == HIVE_TAG_VALUE) {
      const DWORD nameLength = ReadLength(file, maxValueName);
      ReadChars(file, valueName.Chars(), nameLength);
      const DWORD type = ReadDword(file);
      const DWORD dataLength = ReadLength(file, maxValueData);
      Read(file, valueData.Bytes(), dataLength);
      valueName.Chars()[nameLength] = L'\0';
      if (!skip) {
        // A value that cannot be set is passed over.
        (void)RegSetValueExW(key, valueName.Chars(), 0, type, valueData.Bytes(), dataLength);
      }
    }
    // Any other tag is ignored; the next byte is read as a tag.
  }
}

}  // namespace

BOOL RestoreKey(HKEY key, HANDLE file, BOOL skip) {
  try {
    RestoreLevel(key, file, skip);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}
