#include "settings.h"

#include <stdio.h>
#include <wchar.h>

#include "control_panel.h"
#include "hive_dump.h"
#include "replace_file.h"

WCHAR g_exeDirectory[MAX_PATH];

namespace {

WCHAR g_modulePath[MAX_PATH];

// One row a file of the data folder, in the order of a save and a load.
const struct HiveStep {
  HKEY root;
  LPCWSTR file;
  LPCWSTR failure;
} HIVE_STEPS[] = {
    {HKEY_CLASSES_ROOT, L"cr.dat", L"Failed: HKCR -> cr.dat"},
    {HKEY_CURRENT_USER, L"cu.dat", L"Failed: HKCU -> cu.dat"},
    {HKEY_LOCAL_MACHINE, L"lm.dat", L"Failed: HKLM -> lm.dat"},
};
const WCHAR CONTROL_PANEL_FILE[] = L"cp.dat";
const WCHAR CONTROL_PANEL_FAILURE[] = L"Failed: Control Panel -> cp.dat";

void Tell(BOOL interactive, LPCWSTR text) {
  // One OK button: the answer tells nothing.
  if (interactive) (void)MessageBoxW(NULL, text, L"", MB_OK | MB_TOPMOST);
}

// The data folder, or a file in it. FALSE when the path would not fit.
BOOL ComposePath(WCHAR path[MAX_PATH], LPCWSTR file) {
  const int n = file != NULL
                    ? _snwprintf(path, MAX_PATH, L"%s\\Keepsake\\%s", g_exeDirectory, file)
                    : _snwprintf(path, MAX_PATH, L"%s\\Keepsake", g_exeDirectory);
  return n >= 0 && n < MAX_PATH;
}

// Dumps one root into a new file that replaces the old one only when the
// dump, its flush and the close all succeeded.
BOOL SaveHive(const HiveStep& step) {
  WCHAR path[MAX_PATH];
  Replacement replacement;
  if (!ComposePath(path, step.file) || !BeginReplacement(path, &replacement)) return FALSE;
  const BOOL dumped = DumpKey(step.root, replacement.file);
  // Flushed in any case, so the buffer is free for the next file.
  const BOOL flushed = FlushWriteBuffer();
  return EndReplacement(&replacement, dumped && flushed);
}

BOOL LoadHive(const HiveStep& step) {
  WCHAR path[MAX_PATH];
  if (!ComposePath(path, step.file)) return FALSE;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  const BOOL restored = RestoreKey(step.root, file, FALSE);
  CloseHandle(file);  // read only: a failed close loses nothing
  return restored;
}

}  // namespace

void FindExeDirectory() {
  GetModuleFileNameW(NULL, g_modulePath, MAX_PATH - 1);
  g_modulePath[MAX_PATH - 1] = L'\0';
  wcscpy(g_exeDirectory, g_modulePath);
  WCHAR* lastBackslash = wcsrchr(g_exeDirectory, L'\\');
  if (lastBackslash != NULL) *lastBackslash = L'\0';
}

void SaveSettings(BOOL interactive) {
  WCHAR path[MAX_PATH];
  // A folder that already exists is the normal case; one that cannot be
  // made shows as a failure of every file.
  if (ComposePath(path, NULL)) (void)CreateDirectoryW(path, NULL);

  for (const HiveStep& step : HIVE_STEPS) {
    if (!SaveHive(step)) Tell(interactive, step.failure);
  }
  if (!ComposePath(path, CONTROL_PANEL_FILE) || !SaveControlPanel(path)) {
    Tell(interactive, CONTROL_PANEL_FAILURE);
  }
  Tell(interactive, L"Finished");
}

void LoadSettings(BOOL interactive) {
  for (const HiveStep& step : HIVE_STEPS) {
    if (!LoadHive(step)) Tell(interactive, step.failure);
  }
  WCHAR path[MAX_PATH];
  if (!ComposePath(path, CONTROL_PANEL_FILE) || !LoadControlPanel(path)) {
    Tell(interactive, CONTROL_PANEL_FAILURE);
  }
  Tell(interactive, L"Finished");
}
