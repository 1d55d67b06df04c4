#include <windows.h>

#include <cstdlib>
#include <string>

#include "file_io.h"

namespace {

// Closes a file handle on scope exit unless it was released.
struct FileHandle {
  explicit FileHandle(HANDLE h) : h(h) {}
  ~FileHandle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE Release() {
    HANDLE released = h;
    h = INVALID_HANDLE_VALUE;
    return released;
  }
  HANDLE h;
};

HANDLE OpenForReading(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The folder part of a full path, with its trailing separator.
bool FolderOf(const wchar_t* path, std::wstring* folder) {
  wchar_t* filePart = nullptr;
  DWORD length = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (length == 0) return false;
  std::wstring full(length, L'\0');
  length = GetFullPathNameW(path, length, &full[0], &filePart);
  if (length == 0 || length >= full.size() || filePart == nullptr) return false;
  folder->assign(full.c_str(), filePart - full.c_str());
  return true;
}

}  // namespace

FileBuffer::~FileBuffer() { free(bytes); }

LoadResult LoadWholeFile(const wchar_t* path, FileBuffer* buffer) {
  // The size, from an open of its own; a file that cannot be opened has
  // size 0 here and is reported by the read below.
  uint64_t size = 0;
  {
    FileHandle file(OpenForReading(path));
    DWORD high = 0;
    const DWORD low = file.h != INVALID_HANDLE_VALUE ? GetFileSize(file.h, &high) : 0;
    if (low != INVALID_FILE_SIZE || GetLastError() == NO_ERROR) size = (uint64_t{high} << 32) | low;
  }
  // The buffer's size is a 32-bit count: a larger file cannot be held.
  if (size > 0xFFFFFFFFu) return LOAD_NO_MEMORY;
  buffer->bytes = static_cast<uint8_t*>(malloc(size > 0 ? size : 1));
  if (buffer->bytes == nullptr) return LOAD_NO_MEMORY;
  buffer->size = static_cast<uint32_t>(size);

  FileHandle file(OpenForReading(path));
  if (file.h == INVALID_HANDLE_VALUE) return LOAD_NOT_FOUND;
  // The counts tell the outcome; ReadFile's own result adds nothing to them.
  DWORD read = 0;
  (void)ReadFile(file.h, buffer->bytes, buffer->size, &read, nullptr);
  // A file that grew since its size was taken would be patched only in part.
  uint8_t extra;
  DWORD more = 0;
  (void)ReadFile(file.h, &extra, 1, &more, nullptr);
  return read == buffer->size && more == 0 ? LOAD_OK : LOAD_NOT_FOUND;
}

bool WriteWholeFile(const wchar_t* path, const FileBuffer& buffer) {
  const DWORD attributes = GetFileAttributesW(path);
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) return false;

  std::wstring folder;
  wchar_t temporary[MAX_PATH];
  if (!FolderOf(path, &folder) || GetTempFileNameW(folder.c_str(), L"nsm", 0, temporary) == 0) {
    return false;
  }

  FileHandle file(CreateFileW(temporary, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  bool ok = file.h != INVALID_HANDLE_VALUE;
  if (ok) {
    DWORD written = 0;
    ok = WriteFile(file.h, buffer.bytes, buffer.size, &written, nullptr) && written == buffer.size;
    ok = CloseHandle(file.Release()) && ok;
  }
  // Replacing keeps the old file's attributes and security; a new file
  // simply takes the temporary file's place.
  if (ok && exists) {
    ok = ReplaceFileW(path, temporary, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
  } else if (ok) {
    ok = MoveFileExW(temporary, path, MOVEFILE_REPLACE_EXISTING);
  }
  if (!ok) DeleteFileW(temporary);
  return ok;
}
