// Whole-file reads and writes of the font tool, in the platform's own calls.
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

/// The size of the file at `path`; false when it cannot be opened.
bool GetSourceSize(const PathChar* path, uint64_t* size);

/// Reads exactly `size` bytes, the whole file, into `buffer`. False when the
/// file cannot be opened or holds another number of bytes than `size`.
bool ReadWholeFile(const PathChar* path, uint32_t size, uint8_t* buffer);

/// Writes `size` bytes as the whole content of `path`. They go to a
/// temporary file in the same folder first, which replaces `path` only once
/// every byte is written and the file closed; on failure the temporary file
/// is removed and an existing `path` stays as it was. A read-only
/// destination is refused, as creating it over the old file would be.
bool WriteWholeFile(const PathChar* path, uint32_t size, const uint8_t* bytes);

#endif  // NAMESMITH_FILE_IO_H_
