// POSIX: text is converted with the locale's own wcrtomb into a buffer of
// our own and written in large blocks. The C library's wide stdio would do
// the same conversion, but glibc's writes every 16 bytes with a system call
// of its own, and it puts a substitute such as '?' where a character cannot
// be encoded, where a listing prints nothing.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "console.h"

namespace {

char output[1 << 16];
size_t pending = 0;

void PutChar(wchar_t c) {
  if (sizeof output - pending < MB_LEN_MAX) FlushConsole();
  std::mbstate_t state{};
  const size_t n = wcrtomb(output + pending, c, &state);
  if (n != static_cast<size_t>(-1)) pending += n;
}

}  // namespace

void Print(const wchar_t* format, ...) {
  // Every format of the program yields far less than this.
  wchar_t text[1024];
  va_list args;
  va_start(args, format);
  const int n = vswprintf(text, sizeof text / sizeof text[0], format, args);
  va_end(args);
  for (int i = 0; i < n; ++i) PutChar(text[i]);
}

void PutNameChar(wchar_t c) { PutChar(c); }

void FlushConsole() {
  // Nothing is left to do when standard output is gone.
  (void)fwrite(output, 1, pending, stdout);
  (void)fflush(stdout);
  pending = 0;
}
