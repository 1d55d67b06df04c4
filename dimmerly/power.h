// dimmerly's device layer: the vendor library for the MR sensor and the
// backlight, and the power manager's activity time-outs.
#ifndef DIMMERLY_POWER_H_
#define DIMMERLY_POWER_H_

#include <windows.h>

/// Loads "SharpLib.dll" and binds its three exports, each as found (null
/// when missing). TRUE when the library was loaded.
BOOL LoadSharpLib();

/// Releases the library if it was loaded.
void FreeSharpLib();

/// Enables the MR sensor for a non-zero `state`, disables it for 0. TRUE
/// when the vendor procedure ran and returned.
BOOL SetMrSensor(int state);

/// Sets the backlight brightness; `level` is passed on unchanged. TRUE when
/// the vendor procedure ran and returned.
BOOL SetBacklightLevel(int level);

/// Writes the six activity time-outs (1, N, 1 on mains and on battery) and
/// tells the power manager to reload them. TRUE when all was written and the
/// reload event set. The key is opened, never created.
BOOL WriteActivityTimeouts(int systemIdleSeconds);

#endif  // DIMMERLY_POWER_H_
