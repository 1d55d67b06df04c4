// keepsake: "/s" saves and "/l" loads silently; anything else asks.
#include <wchar.h>

#include "ce.h"
#include "settings.h"

int WINAPI DEVICE_WINMAIN(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
  FindExeDirectory();
  // The switches are the whole command line, in either letter case.
  if (_wcsicmp(commandLine, L"/s") == 0) {
    SaveSettings(FALSE);
  } else if (_wcsicmp(commandLine, L"/l") == 0) {
    LoadSettings(FALSE);
  } else {
    // Yes, No and Cancel; Cancel is the default, no icon, kept on top.
    const int answer = MessageBoxW(NULL, L"Yes: Save settings (overwrite)\nNo: Load settings",
                                   L"Keepsake for SHARP Brain",
                                   MB_YESNOCANCEL | MB_DEFBUTTON3 | MB_TOPMOST);
    if (answer == IDYES) {
      SaveSettings(TRUE);
    } else if (answer == IDNO) {
      LoadSettings(TRUE);
    }
  }
  return 0;
}
