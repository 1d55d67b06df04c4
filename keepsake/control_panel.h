// The control-panel record: 34 little-endian 32-bit words, 136 bytes, in
// cp.dat.
//
//   word 0      storage part of memory in bytes (storage pages x page size)
//   words 1-3   DispDly, InitialDelay, RepeatRate of HKCU\ControlPanel\Keybd
//   word 4      the word-4 setting (core ordinals 215 and 1795)
//   words 5-33  the colours of system colour indices 0 to 28
#ifndef KEEPSAKE_CONTROL_PANEL_H_
#define KEEPSAKE_CONTROL_PANEL_H_

#include <windows.h>

const DWORD CONTROL_PANEL_WORDS = 34;
const DWORD CONTROL_PANEL_COLORS = 29;
const DWORD CONTROL_PANEL_FIRST_COLOR = 5;

/// Gathers the record and only then writes it to `path`. TRUE when every
/// step succeeded.
BOOL SaveControlPanel(LPCWSTR path);

/// Reads the record from `path` and applies it, stopping at the first step
/// that fails. TRUE when every step succeeded.
BOOL LoadControlPanel(LPCWSTR path);

#endif  // KEEPSAKE_CONTROL_PANEL_H_
