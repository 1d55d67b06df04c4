// Windows: the C runtime's wide stdio converts to the console's encoding.
#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "console.h"

void Print(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  vwprintf(format, args);
  va_end(args);
}

void PutNameChar(wchar_t c) { fputwc(c, stdout); }

void FlushConsole() { fflush(stdout); }
