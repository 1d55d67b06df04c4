// Whole-file reads and writes of the font tool.
#ifndef NAMESMITH_FILE_IO_H_
#define NAMESMITH_FILE_IO_H_

#include <cstdint>

// A path as the platform's file calls take it: UTF-16 on Windows, the
// user's own bytes elsewhere (so no file name is lost in a conversion).
#ifdef _WIN32
using PathChar = wchar_t;
#else
using PathChar = char;
#endif

/// The whole source file in memory, released on destruction. Changes made
/// through `bytes` stay in this process: the file itself is never written
/// through them.
struct FileBuffer {
  FileBuffer() = default;
  ~FileBuffer();
  FileBuffer(const FileBuffer&) = delete;
  FileBuffer& operator=(const FileBuffer&) = delete;

  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  // Where the platform keeps the file open or mapped behind `bytes`.
  intptr_t source = -1;
  bool mapped = false;
};

enum LoadResult {
  LOAD_OK,
  LOAD_NOT_FOUND,  // cannot be opened, or fewer or more bytes than its size
  LOAD_NO_MEMORY,  // no room for the file, or more than 4 GiB - 1 bytes
};

/// Reads the file at `path` whole: its size first, then all its bytes.
LoadResult LoadWholeFile(const PathChar* path, FileBuffer* buffer);

/// Writes the buffer as the whole content of `path`. The bytes go to a
/// temporary file in the same folder first, which replaces `path` only once
/// every byte is written and the file closed; on failure the temporary file
/// is removed and an existing `path` stays as it was. An existing
/// destination keeps its permissions; a read-only one is refused, as
/// creating it over the old file would be.
bool WriteWholeFile(const PathChar* path, const FileBuffer& buffer);

#endif  // NAMESMITH_FILE_IO_H_
