// flipdeck-setup takes no arguments and always exits with 0: the outcome is
// told in its message boxes.
#include "installer.h"

int WINAPI DEVICE_WINMAIN(HINSTANCE, HINSTANCE, LPWSTR, int) {
  InstallFlipdeck();
  return 0;
}
