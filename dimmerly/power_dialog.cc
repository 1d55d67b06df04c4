#include "power_dialog.h"

#include <stdlib.h>
#include <wchar.h>

#include "ce.h"
#include "power.h"
#include "resource.h"

namespace {

// The program's settings while it runs; nothing is kept between runs.
int g_systemIdleSeconds;  // 0 until a time-out is chosen
int g_backlightLevel;     // 20, 40, 60, 80 or 100; 0 while none is chosen
int g_keepBacklight;      // non-zero: the timer re-applies the brightness
BOOL g_switchMode;        // the command line was not empty

const UINT_PTR KEEP_TIMER = 1;
const UINT KEEP_PERIOD_MS = 10000;

const struct {
  LPCWSTR text;
  int level;
} BRIGHTNESS[] = {
    {L"1 (Lowest)", 20}, {L"2", 40}, {L"3", 60}, {L"4", 80}, {L"5 (Highest)", 100},
};

// Each delay less the 2 seconds of the other two stages; "Never" is the
// largest value the power manager takes less 2, not 0.
const struct {
  LPCWSTR text;
  int systemIdleSeconds;
} TIMEOUTS[] = {
    {L"3 minutes", 178},   {L"5 minutes", 298}, {L"10 minutes", 598},
    {L"20 minutes", 1198}, {L"Never", 2147483645},
};

const int LIST_ENTRIES = 5;

// Reads the number after a switch in C notation (0x hexadecimal, leading 0
// octal) and moves `p` past it; no digits read as 0 and leave `p` alone.
// The signed conversion takes a number beyond 2147483647 as 2147483647.
int ReadNumber(LPCWSTR* p) {
  WCHAR* end;
  const long n = wcstol(*p, &end, 0);
  *p = end;
  return (int)n;
}

// True when the text at `p` starts with `name` in any letter case; then
// `p` moves past it.
bool TakeSwitch(LPCWSTR* p, LPCWSTR name) {
  const size_t length = wcslen(name);
  if (_wcsnicmp(*p, name, length) != 0) return false;
  *p += length;
  return true;
}

void ApplyBrightnessSwitch(int n) {
  g_backlightLevel = n >= 1 && n <= 5 ? n * 20 : 0;
  if (g_backlightLevel != 0) SetBacklightLevel(g_backlightLevel);
}

void ApplySuspendSwitch(int n) {
  g_systemIdleSeconds = n >= 2 ? n - 2 : 0;
  if (n >= 2) WriteActivityTimeouts(g_systemIdleSeconds);
}

void InitDialog(HWND dialog) {
  SetWindowTextW(dialog, L"Dimmerly");
  for (const auto& entry : BRIGHTNESS) {
    SendDlgItemMessageW(dialog, IDC_BRIGHTNESS, CB_ADDSTRING, 0, (LPARAM)entry.text);
  }
  SendDlgItemMessageW(dialog, IDC_BRIGHTNESS, CB_SETCURSEL, 0, 0);
  for (const auto& entry : TIMEOUTS) {
    SendDlgItemMessageW(dialog, IDC_TIMEOUT, CB_ADDSTRING, 0, (LPARAM)entry.text);
  }
  SendDlgItemMessageW(dialog, IDC_TIMEOUT, CB_SETCURSEL, 0, 0);
  SetTimer(dialog, KEEP_TIMER, KEEP_PERIOD_MS, NULL);
  if (g_switchMode) PostMessageW(dialog, WM_CLOSE, 0, 0);
}

// Only the four controls act; IDOK and IDCANCEL are ignored, so Enter and
// Esc do not close the dialog.
void OnCommand(HWND dialog, int id, int notification) {
  if (id == IDC_MR_SENSOR && notification == BN_CLICKED) {
    SetMrSensor((int)SendDlgItemMessageW(dialog, IDC_MR_SENSOR, BM_GETCHECK, 0, 0));
  } else if (id == IDC_KEEP_BACKLIGHT && notification == BN_CLICKED) {
    g_keepBacklight = (int)SendDlgItemMessageW(dialog, IDC_KEEP_BACKLIGHT, BM_GETCHECK, 0, 0);
  } else if (id == IDC_BRIGHTNESS && notification == CBN_SELCHANGE) {
    const LRESULT i = SendDlgItemMessageW(dialog, IDC_BRIGHTNESS, CB_GETCURSEL, 0, 0);
    if (i >= 0 && i < LIST_ENTRIES) g_backlightLevel = BRIGHTNESS[i].level;
    SetBacklightLevel(g_backlightLevel);
  } else if (id == IDC_TIMEOUT && notification == CBN_SELCHANGE) {
    const LRESULT i = SendDlgItemMessageW(dialog, IDC_TIMEOUT, CB_GETCURSEL, 0, 0);
    if (i >= 0 && i < LIST_ENTRIES) g_systemIdleSeconds = TIMEOUTS[i].systemIdleSeconds;
    WriteActivityTimeouts(g_systemIdleSeconds);
  }
}

// While keeping is on, a close only hides the dialog: the timer goes on.
void OnClose(HWND dialog) {
  if (g_keepBacklight != 0) {
    DeviceHideDialog(dialog);
  } else {
    KillTimer(dialog, KEEP_TIMER);
    EndDialog(dialog, 0);
  }
}

// Every message answers FALSE, WM_INITDIALOG included, so no control gets
// the default focus.
INT_PTR CALLBACK PowerDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitDialog(dialog);
      break;
    case WM_COMMAND:
      OnCommand(dialog, LOWORD(wParam), HIWORD(wParam));
      break;
    case WM_TIMER:
      if (wParam == KEEP_TIMER && g_keepBacklight != 0) SetBacklightLevel(g_backlightLevel);
      break;
    case WM_CLOSE:
      OnClose(dialog);
      break;
    case WM_WINDOWPOSCHANGING:
      DeviceDialogPosChanging(dialog, (WINDOWPOS*)lParam);
      break;
  }
  return FALSE;
}

}  // namespace

void ScanSwitches(LPCWSTR commandLine) {
  // Each pass tests the four switches in this order at the current place;
  // then one character is skipped (after a number, the one that follows it).
  LPCWSTR p = commandLine;
  for (;;) {
    if (TakeSwitch(&p, L"/mrsensor:")) SetMrSensor(ReadNumber(&p));
    if (TakeSwitch(&p, L"/keepbl:")) g_keepBacklight = ReadNumber(&p);
    if (TakeSwitch(&p, L"/blbright:")) ApplyBrightnessSwitch(ReadNumber(&p));
    if (TakeSwitch(&p, L"/suspend:")) ApplySuspendSwitch(ReadNumber(&p));
    if (*p == L'\0') break;
    ++p;
    if (*p == L'\0') break;
  }
}

void RunPowerDialog(HINSTANCE instance, BOOL switchMode) {
  g_switchMode = switchMode;
  HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(IDD_POWER), (LPCWSTR)RT_DIALOG);
  if (resource == NULL) return;
  const void* tmpl = DeviceLoadResource(instance, resource);
  if (tmpl == NULL) return;
  DialogBoxIndirectParamW(instance, (LPCDLGTEMPLATEW)tmpl, NULL, PowerDialogProc, 0);
}
