// Files and folders for the device programs' tests, through the Win32 calls
// the programs themselves use.
#ifndef TESTS_TEST_FILES_H_
#define TESTS_TEST_FILES_H_

#include <windows.h>

#include <string>

namespace test_files {

/// Reads a whole file; false when it cannot be opened.
inline bool ReadWholeFile(const std::wstring& path, std::string* content) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return false;
  content->clear();
  char chunk[65536];
  DWORD n = 0;
  while (ReadFile(h, chunk, sizeof chunk, &n, NULL) && n > 0) content->append(chunk, n);
  CloseHandle(h);
  return true;
}

/// A file's content, or "<missing>" for a file that cannot be read.
inline std::string FileContent(const std::wstring& path) {
  std::string content;
  return ReadWholeFile(path, &content) ? content : "<missing>";
}

/// Creates or replaces a file with `content`; false when any step fails.
inline bool WriteWholeFile(const std::wstring& path, const std::string& content) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(h, content.data(), (DWORD)content.size(), &written, NULL);
  return CloseHandle(h) && ok && written == content.size();
}

/// Creates a folder and every missing folder above it ("C:\a\b\c").
inline bool MakeFolders(const std::wstring& path) {
  for (size_t at = path.find(L'\\', 3);; at = path.find(L'\\', at + 1)) {
    const std::wstring part = path.substr(0, at);
    if (!CreateDirectoryW(part.c_str(), NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
    if (at == std::wstring::npos) return true;
  }
}

/// Removes a file, or a folder and everything in it; a missing path is fine.
inline void RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
      } while (FindNextFileW(find, &found));
      FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
  } else {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
  }
}

/// Deterministic bytes that differ from seed to seed.
inline std::string Noise(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

}  // namespace test_files

#endif  // TESTS_TEST_FILES_H_
