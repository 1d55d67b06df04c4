// Stand-in for the device vendor's SharpLib.dll. Each call appends a line
// to the file named by SHARPLIB_LOG; SHARPLIB_FAULT=<export name> makes
// that export fault with an access violation, as a broken driver would,
// on every call or, with SHARPLIB_FAULT_COUNT=N, on its first N calls.
// Built twice: with all three exports, and without EdMrSensorDisable.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int g_faults;  // calls of the faulting export so far

void Record(const char* call, const char* argument) {
  const char* fault = getenv("SHARPLIB_FAULT");
  const char* count = getenv("SHARPLIB_FAULT_COUNT");
  if (fault != NULL && strcmp(fault, call) == 0 &&
      (count == NULL || g_faults++ < atoi(count))) {
    *(volatile int*)NULL = 0;
  }
  const char* path = getenv("SHARPLIB_LOG");
  FILE* f = path != NULL ? fopen(path, "ab") : NULL;
  if (f == NULL) return;
  fprintf(f, argument != NULL ? "%s %s\n" : "%s\n", call, argument);
  fclose(f);
}

}  // namespace

extern "C" {

__declspec(dllexport) void EdMrSensorEnable() { Record("EdMrSensorEnable", NULL); }

#ifndef SHARPLIB_WITHOUT_DISABLE
__declspec(dllexport) void EdMrSensorDisable() { Record("EdMrSensorDisable", NULL); }
#endif

__declspec(dllexport) void EdSetBacklightBright(int level) {
  char text[16];
  snprintf(text, sizeof text, "%d", level);
  Record("EdSetBacklightBright", text);
}

}  // extern "C"
