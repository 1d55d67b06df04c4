// The hive dump: one registry key and everything below it, as a file.
//
// All integers are unsigned 32-bit little-endian, tags one byte, names and
// class strings UTF-16LE without terminator, lengths in characters (data
// lengths in bytes). A file holds one key dump and nothing else:
//
//   key dump      = header, value records, subkey records, end marker
//   header        = longest subkey name, longest class, longest value name,
//                   largest value data (as RegQueryInfoKeyW reports them)
//   value record  = 2, N, name[N], type, D, data[D]
//   subkey record = 1, N, name[N], C, class[C], key dump of the subkey
//   end marker    = 0
//
// Every N, C and D is at most the matching maximum of the header of the key
// dump that holds the record; the reader sizes its buffers from the header.
#ifndef KEEPSAKE_HIVE_DUMP_H_
#define KEEPSAKE_HIVE_DUMP_H_

#include <windows.h>

enum HiveTag {
  HIVE_TAG_END = 0,
  HIVE_TAG_SUBKEY = 1,
  HIVE_TAG_VALUE = 2,
};

/// Writes the key dump of `key` (which stays open) into `file` through the
/// write buffer. TRUE: all of it was handed to the buffer, so the caller
/// must still call FlushWriteBuffer. FALSE: a step failed; what was handed
/// over before stays handed over.
BOOL DumpKey(HKEY key, HANDLE file);

/// Applies the key dump at the file's position to `key`, creating subkeys
/// and setting values; it deletes nothing. With `skip` TRUE (and no key)
/// the dump is only read. TRUE: the whole key dump was read, and the file
/// stands just after its end marker.
BOOL RestoreKey(HKEY key, HANDLE file, BOOL skip);

/// WriteFile through the process-wide 64 KiB write buffer: full buffers are
/// written at once, and a call for another file first writes what is pending
/// for the bound one. TRUE: all bytes accepted, `written` = `count`.
/// FALSE: `written` = 0, and the pending bytes are dropped.
BOOL BufferedWriteFile(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written,
                       LPOVERLAPPED overlapped);

/// Writes what is pending to the bound file and unbinds it. TRUE also when
/// nothing was pending; FALSE after a short write, the bytes then dropped.
BOOL FlushWriteBuffer();

#endif  // KEEPSAKE_HIVE_DUMP_H_
