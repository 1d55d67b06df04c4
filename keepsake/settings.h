// keepsake: saves the registry roots and the control-panel record into the
// data folder "Keepsake" beside the program, and loads them back.
#ifndef KEEPSAKE_SETTINGS_H_
#define KEEPSAKE_SETTINGS_H_

#include <windows.h>

/// The folder that holds the program, without a trailing backslash; "" for
/// a program in the root folder.
extern WCHAR g_exeDirectory[MAX_PATH];

/// Fills g_exeDirectory from the program's own path.
void FindExeDirectory();

/// Saves the three roots and cp.dat; `interactive` shows failures and
/// "Finished" in message boxes.
void SaveSettings(BOOL interactive);

/// Loads the three roots and cp.dat, with messages as for a save.
void LoadSettings(BOOL interactive);

#endif  // KEEPSAKE_SETTINGS_H_
