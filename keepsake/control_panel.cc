#include "control_panel.h"

#include "ce.h"
#include "coredll.h"
#include "hive_dump.h"
#include "holders.h"
#include "replace_file.h"

namespace {

const WCHAR KEYBOARD_KEY[] = L"ControlPanel\\Keybd";
const WCHAR* const KEYBOARD_VALUES[] = {L"DispDly", L"InitialDelay", L"RepeatRate"};  // words 1-3
const DWORD WORD_STORAGE = 0;
const DWORD WORD_FIRST_KEYBOARD = 1;
const DWORD WORD_SETTING_4 = 4;
const DWORD RECORD_SIZE = CONTROL_PANEL_WORDS * 4;

// The record as it lies in memory: the device and this desktop are both
// little-endian, so the words are the file's bytes as they stand.
typedef DWORD Record[CONTROL_PANEL_WORDS];

BOOL OpenKeyboardKey(KeyHolder* key) {
  DWORD disposition;
  return RegCreateKeyExW(HKEY_CURRENT_USER, KEYBOARD_KEY, 0, NULL, 0, DEVICE_KEY_WRITE, NULL,
                         key->Receive(), &disposition) == ERROR_SUCCESS;
}

// The record, gathered completely before any file is touched.
BOOL GatherRecord(Record record) {
  DWORD storagePages, ramPages, pageSize;
  if (!GetSystemMemoryDivision(&storagePages, &ramPages, &pageSize)) return FALSE;
  record[WORD_STORAGE] = storagePages * pageSize;

  KeyHolder key;
  if (!OpenKeyboardKey(&key)) return FALSE;
  for (DWORD i = 0; i < 3; ++i) {
    DWORD size = 4;
    // The type is not asked for: only the first 4 bytes matter, and a longer
    // value fails the query.
    if (RegQueryValueExW(key.Get(), KEYBOARD_VALUES[i], NULL, NULL,
                         (BYTE*)&record[WORD_FIRST_KEYBOARD + i], &size) != ERROR_SUCCESS) {
      return FALSE;
    }
  }
  key.Close();

  record[WORD_SETTING_4] = CoreGetWord4Setting();
  for (DWORD i = 0; i < CONTROL_PANEL_COLORS; ++i) {
    record[CONTROL_PANEL_FIRST_COLOR + i] = GetSysColor(DEVICE_SYS_COLOR(i));
  }
  return TRUE;
}

}  // namespace

BOOL SaveControlPanel(LPCWSTR path) {
  // A value shorter than 4 bytes fills only the start of its word; the rest
  // of the word is zero.
  Record record = {0};
  if (!GatherRecord(record)) return FALSE;

  Replacement replacement;
  if (!BeginReplacement(path, &replacement)) return FALSE;
  DWORD written = 0;
  const BOOL complete =
      BufferedWriteFile(replacement.file, record, RECORD_SIZE, &written, NULL) &&
      written == RECORD_SIZE && FlushWriteBuffer();
  if (!complete) FlushWriteBuffer();  // unbinds the buffer; the bytes are dropped
  return EndReplacement(&replacement, complete);
}

BOOL LoadControlPanel(LPCWSTR path) {
  Record record;
  {
    FileHolder file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL));
    if (!file.IsOpen()) return FALSE;
    DWORD read = 0;
    // The count tells the outcome; a longer file is used for its first bytes.
    (void)ReadFile(file.Get(), record, RECORD_SIZE, &read, NULL);
    if (read != RECORD_SIZE) return FALSE;
  }

  DWORD storagePages, ramPages, pageSize;
  if (!GetSystemMemoryDivision(&storagePages, &ramPages, &pageSize) || pageSize == 0) {
    return FALSE;
  }
  // A division that needs a restart, or is refused, ends the load here.
  if (SetSystemMemoryDivision(record[WORD_STORAGE] / pageSize) != SYSMEM_CHANGED) return FALSE;

  KeyHolder key;
  if (!OpenKeyboardKey(&key)) return FALSE;
  for (DWORD i = 0; i < 3; ++i) {
    if (RegSetValueExW(key.Get(), KEYBOARD_VALUES[i], 0, REG_DWORD,
                       (const BYTE*)&record[WORD_FIRST_KEYBOARD + i], 4) != ERROR_SUCCESS) {
      return FALSE;
    }
  }
  key.Close();

  // These three report nothing worth acting on.
  CoreNotifyKeyboardSettings(2);
  CoreSetWord4Setting(record[WORD_SETTING_4]);
  (void)PostMessageW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, 1);

  INT indices[CONTROL_PANEL_COLORS];
  for (DWORD i = 0; i < CONTROL_PANEL_COLORS; ++i) indices[i] = DEVICE_SYS_COLOR(i);
  return SetSysColors(CONTROL_PANEL_COLORS, indices, &record[CONTROL_PANEL_FIRST_COLOR]);
}
