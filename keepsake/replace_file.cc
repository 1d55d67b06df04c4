#include "replace_file.h"

#include <stdio.h>
#include <wchar.h>

#include "ce.h"

BOOL BeginReplacement(LPCWSTR path, Replacement* replacement) {
  replacement->file = INVALID_HANDLE_VALUE;
  const int n = _snwprintf(replacement->temporary, MAX_PATH, L"%s.new", path);
  if (n < 0 || n >= MAX_PATH || wcslen(path) >= MAX_PATH) return FALSE;
  wcscpy(replacement->path, path);
  replacement->file = CreateFileW(replacement->temporary, GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  return replacement->file != INVALID_HANDLE_VALUE;
}

BOOL EndReplacement(Replacement* replacement, BOOL complete) {
  const BOOL closed = CloseHandle(replacement->file);
  replacement->file = INVALID_HANDLE_VALUE;
  if (complete && closed && DeviceReplaceFile(replacement->path, replacement->temporary)) {
    return TRUE;
  }
  DeleteFileW(replacement->temporary);
  return FALSE;
}
