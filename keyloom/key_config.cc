// The paged key-assignment dialog.
#include "ce.h"
#include "keyloom.h"
#include "keyloom_internal.h"
#include "resource.h"

namespace {

// One page of the host's array, for the life of its dialog.
struct KeyConfigPage {
  KeyBinding* entries;
  DWORD count;  // 1 to 16
  HFONT font;
};

// A key's label where it has one, else its code as an unsigned number.
void ShowKey(HWND dialog, DWORD row, DWORD key) {
  const int field = IDC_ROW_KEY + ROW_ID_STEP * row;
  const WCHAR* label = GetKeyName(key);
  if (label != NULL) {
    SetDlgItemTextW(dialog, field, label);
  } else {
    SetDlgItemInt(dialog, field, key, FALSE);
  }
}

void InitPage(HWND dialog, KeyConfigPage* page) {
  DeviceSetWindowData(dialog, page);
  SendMessageW(dialog, WM_SETFONT, (WPARAM)page->font, 0);
  // Rows without a label, and rows past the page's count, stay as the
  // template has them.
  for (DWORD row = 0; row < page->count; ++row) {
    const KeyBinding& entry = page->entries[row];
    if (entry.label == NULL) continue;
    SetDlgItemTextW(dialog, IDC_ROW_CAPTION + ROW_ID_STEP * row, entry.label);
    ShowKey(dialog, row, entry.key);
  }
}

// Every choice goes into the host's array at once: a later Cancel keeps it.
void ChooseForRow(HWND dialog, int chooseButton) {
  KeyConfigPage* page = (KeyConfigPage*)DeviceGetWindowData(dialog);
  // The choose buttons are every third id from IDC_ROW_CHOOSE.
  const DWORD row = (DWORD)(chooseButton - IDC_ROW_CHOOSE) / ROW_ID_STEP;
  if (row >= page->count) return;  // an empty row of the last page
  page->entries[row].key = (DWORD)ChooseKey(dialog);
  ShowKey(dialog, row, page->entries[row].key);
}

bool IsChooseButton(int id) {
  return id >= IDC_ROW_CHOOSE && id < IDC_ROW_CHOOSE + ROW_ID_STEP * ROWS_PER_PAGE &&
         (id - IDC_ROW_CHOOSE) % ROW_ID_STEP == 0;
}

// OK ends a page with 0, which goes on to the next; Cancel and closing end
// it with 1, which stops. Every message answers FALSE.
INT_PTR CALLBACK KeyConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitPage(dialog, (KeyConfigPage*)lParam);
      break;
    case WM_COMMAND:
      if (HIWORD(wParam) != 0) break;
      if (LOWORD(wParam) == IDOK) {
        EndDialog(dialog, 0);
      } else if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, 1);
      } else if (IsChooseButton(LOWORD(wParam))) {
        ChooseForRow(dialog, LOWORD(wParam));
      }
      break;
    case WM_CLOSE:
      EndDialog(dialog, 1);
      break;
  }
  return FALSE;
}

}  // namespace

extern "C" KEYLOOM_API int WINAPI ShowKeyConfigDialog(KeyBinding* bindings, DWORD bindingCount,
                                                      HWND parent, HFONT font) {
  if (bindings == NULL) return 0;
  KeyBinding* start = bindings;
  for (DWORD remaining = bindingCount; remaining != 0;) {
    KeyConfigPage page = {start, remaining < ROWS_PER_PAGE ? remaining : ROWS_PER_PAGE, font};
    // Anything but OK, a failure to appear included, stops the pages.
    if (DialogBoxIndirectParamW(g_module, LoadDialogTemplate(IDD_KEY_CONFIG), parent,
                                KeyConfigDialogProc, (LPARAM)&page) != 0) {
      return 0;
    }
    start += page.count;
    remaining -= page.count;
  }
  return 1;
}
