// The write buffer: one file at a time, written in blocks of 64 KiB.
#include <string.h>

#include "hive_dump.h"

namespace {

const DWORD WRITE_BUFFER_SIZE = 65536;

BYTE g_buffer[WRITE_BUFFER_SIZE];
DWORD g_fill;     // pending bytes, at most 65535 between calls
BOOL g_isBound;   // whether the buffer serves a file now
HANDLE g_bound;   // that file: the pending bytes belong to it

// Writes the pending bytes to the bound file. After a short write they are
// dropped and the buffer unbound, so they can never reach another file that
// might be given the same handle value later.
BOOL WritePending() {
  if (!g_isBound || g_fill == 0) return TRUE;
  DWORD written = 0;
  // The count tells the outcome; WriteFile's own result adds nothing to it.
  (void)WriteFile(g_bound, g_buffer, g_fill, &written, NULL);
  const BOOL complete = written == g_fill;
  g_fill = 0;
  if (!complete) g_isBound = FALSE;
  return complete;
}

}  // namespace

BOOL BufferedWriteFile(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written,
                       LPOVERLAPPED /*overlapped: always null*/) {
  *written = 0;
  if ((!g_isBound || file != g_bound) && !WritePending()) return FALSE;
  g_isBound = TRUE;
  g_bound = file;

  const BYTE* next = static_cast<const BYTE*>(bytes);
  DWORD left = count;
  while (left > 0) {
    const DWORD room = WRITE_BUFFER_SIZE - g_fill;
    const DWORD chunk = left < room ? left : room;
    memcpy(g_buffer + g_fill, next, chunk);
    g_fill += chunk;
    next += chunk;
    left -= chunk;
    if (g_fill == WRITE_BUFFER_SIZE && !WritePending()) return FALSE;
  }
  *written = count;
  return TRUE;
}

BOOL FlushWriteBuffer() {
  const BOOL complete = WritePending();
  g_fill = 0;
  g_isBound = FALSE;
  return complete;
}
