// dimmerly: one instance at a time; switches apply at once, then the power
// dialog runs (and, in switch mode, closes or hides itself at once).
#include <wchar.h>

#include "ce.h"
#include "power.h"
#include "power_dialog.h"

int WINAPI DEVICE_WINMAIN(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
  // A running instance, shown or hidden, is brought forward; this launch
  // then does nothing else.
  HWND running = FindWindowW(DEVICE_DIALOG_CLASS, L"Dimmerly");
  if (running != NULL) {
    ShowWindow(running, SW_SHOW);
    SetForegroundWindow(running);
    return 0;
  }
  LoadSharpLib();
  const BOOL switchMode = wcslen(commandLine) != 0;
  if (switchMode) ScanSwitches(commandLine);
  RunPowerDialog(instance, switchMode);
  FreeSharpLib();
  return 0;
}
