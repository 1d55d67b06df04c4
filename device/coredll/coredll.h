// Core library calls that only the device has. On the device they come from
// COREDLL itself; on the desktop from the stand-in coredll.dll. Both are
// imported through the same .def import library, by name or by ordinal.
#ifndef DEVICE_COREDLL_COREDLL_H_
#define DEVICE_COREDLL_COREDLL_H_

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Results of SetSystemMemoryDivision.
#ifndef SYSMEM_CHANGED
#define SYSMEM_CHANGED 0
#define SYSMEM_MUSTREBOOT 1
#define SYSMEM_REBOOTPENDING 2
#define SYSMEM_FAILED 3
#endif

#ifndef UNDER_CE
BOOL WINAPI GetSystemMemoryDivision(LPDWORD storePages, LPDWORD ramPages, LPDWORD pageSize);
DWORD WINAPI SetSystemMemoryDivision(DWORD storePages);
#endif

// Unnamed exports, known by their ordinals only.
DWORD WINAPI CoreGetWord4Setting(void);          // ordinal 215: the word-4 setting
void WINAPI CoreNotifyKeyboardSettings(DWORD);   // ordinal 716: after keyboard values change
void WINAPI CoreSetWord4Setting(DWORD value);    // ordinal 1795: sets the word-4 setting

#ifdef __cplusplus
}
#endif

#endif  // DEVICE_COREDLL_COREDLL_H_
