// dimmerly's visible side: the switch scan and the power dialog.
#ifndef DIMMERLY_POWER_DIALOG_H_
#define DIMMERLY_POWER_DIALOG_H_

#include <windows.h>

/// Applies the switches of a command line, each where it stands.
void ScanSwitches(LPCWSTR commandLine);

/// Runs the power dialog from template 129 until it ends. In switch mode
/// it closes itself at once (and hides while keeping is on).
void RunPowerDialog(HINSTANCE instance, BOOL switchMode);

#endif  // DIMMERLY_POWER_DIALOG_H_
