// Where the desktop Win32 build of a device program differs from Windows CE.
//
// The device programs are Windows CE code. Here they are also built for
// desktop Win32 and run under Wine; every difference between the two
// platforms that the code meets lives in this header, one item each,
// selected by UNDER_CE.
#ifndef DEVICE_CE_H_
#define DEVICE_CE_H_

#include <windows.h>

// Entry point: CE calls WinMain with a wide command line; the desktop's wide
// entry point is wWinMain (linked with -municode).
#ifdef UNDER_CE
#define DEVICE_WINMAIN WinMain
#else
#define DEVICE_WINMAIN wWinMain
#endif

// The window class of dialogs, as FindWindowW looks for it.
#ifdef UNDER_CE
#define DEVICE_DIALOG_CLASS L"Dialog"
#else
#define DEVICE_DIALOG_CLASS L"#32770"
#endif

// Registry access: CE ignores samDesired and the programs pass 0; the desktop
// refuses writes through a key opened with 0, so there the rights are asked.
#ifdef UNDER_CE
#define DEVICE_KEY_READ 0
#define DEVICE_KEY_WRITE 0
#else
#define DEVICE_KEY_READ KEY_READ
#define DEVICE_KEY_WRITE (KEY_READ | KEY_WRITE)
#endif

// System colour indices: CE marks them with SYS_COLOR_INDEX_FLAG.
#ifdef UNDER_CE
#define DEVICE_SYS_COLOR(i) (SYS_COLOR_INDEX_FLAG | (i))
#else
#define DEVICE_SYS_COLOR(i) (i)
#endif

// Looking up an export: CE takes a wide name, the desktop a narrow one.
#ifdef UNDER_CE
#define DEVICE_PROC_NAME(name) L##name
#define DeviceGetProcAddress GetProcAddressW
#else
#define DEVICE_PROC_NAME(name) name
#define DeviceGetProcAddress GetProcAddress
#endif

// Setting an event: CE's EventModify, the desktop's SetEvent.
inline BOOL DeviceSetEvent(HANDLE event) {
#ifdef UNDER_CE
  return EventModify(event, EVENT_SET);
#else
  return SetEvent(event);
#endif
}

// A resource's bytes: CE's LoadResource returns them, the desktop needs
// LockResource as well.
inline const void* DeviceLoadResource(HMODULE module, HRSRC resource) {
  HGLOBAL loaded = LoadResource(module, resource);
#ifdef UNDER_CE
  return loaded;
#else
  return loaded != NULL ? LockResource(loaded) : NULL;
#endif
}

// Window user data holding a pointer: pointer-sized calls on the 64-bit
// desktop, SetWindowLongW on the 32-bit device.
#ifdef UNDER_CE
#define DeviceSetWindowData(hwnd, value) SetWindowLongW((hwnd), GWL_USERDATA, (LONG)(value))
#define DeviceGetWindowData(hwnd) GetWindowLongW((hwnd), GWL_USERDATA)
#else
#define DeviceSetWindowData(hwnd, value) SetWindowLongPtrW((hwnd), GWLP_USERDATA, (LONG_PTR)(value))
#define DeviceGetWindowData(hwnd) GetWindowLongPtrW((hwnd), GWLP_USERDATA)
#endif

// SHFileOperationW comes from the CE shell library (ceshell) on the device
// and from shell32 on the desktop: the declaration is the same, the library
// to link is chosen in the build.
#include <shellapi.h>

// Moving a complete new file over an old one: CE replaces a file with
// DeleteAndRenameFile (the old file must exist), the desktop with MoveFileEx.
inline BOOL DeviceReplaceFile(LPCWSTR target, LPCWSTR source) {
#ifdef UNDER_CE
  if (GetFileAttributesW(target) == INVALID_FILE_ATTRIBUTES) return MoveFileW(source, target);
  return DeleteAndRenameFile(target, source);
#else
  return MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING);
#endif
}

// Paths such as "\Storage Card\..." and "\NAND3\..." are root-relative: under
// Wine they resolve on the current drive, so the card is C:\Storage Card of
// the prefix when the program starts on drive C:. No code differs for this.

#endif  // DEVICE_CE_H_
