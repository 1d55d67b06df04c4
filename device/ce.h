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
#define DEVICE_KEY_WRITE 0
#else
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

// A window's procedure, read and replaced when subclassing a control:
// pointer-sized calls on the 64-bit desktop, as for the user data above.
#ifdef UNDER_CE
#define DeviceGetWindowProc(hwnd) ((WNDPROC)GetWindowLongW((hwnd), GWL_WNDPROC))
#define DeviceSetWindowProc(hwnd, proc) SetWindowLongW((hwnd), GWL_WNDPROC, (LONG)(proc))
#else
#define DeviceGetWindowProc(hwnd) ((WNDPROC)GetWindowLongPtrW((hwnd), GWLP_WNDPROC))
#define DeviceSetWindowProc(hwnd, proc) SetWindowLongPtrW((hwnd), GWLP_WNDPROC, (LONG_PTR)(proc))
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

// Calling into a vendor library under a guard that turns any exception
// raised inside it into a FALSE result. CE has structured exceptions;
// mingw-w64 has no __try, so on the desktop a vectored handler sends a fault
// raised during the call back to the guard's landing point.
#ifdef UNDER_CE
inline BOOL DeviceGuardedCall(void (*call)(void*), void* context) {
  __try {
    call(context);
    return TRUE;
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    return FALSE;
  }
}
#else
namespace device_guard {
inline void* g_landing[5];    // __builtin_setjmp buffer of the active guard
inline bool g_active = false; // a guarded call is running (one thread only)

[[noreturn]] inline void Land() { __builtin_longjmp(g_landing, 1); }

inline LONG CALLBACK Handler(EXCEPTION_POINTERS* info) {
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  // C++ exceptions and debugger notifications belong to whoever raised them.
  const bool foreign = code == 0x20474343 /* GCC C++ */ || code == 0xE06D7363 /* MSVC C++ */ ||
                       code == DBG_PRINTEXCEPTION_C || code == 0x406D1388 /* thread name */;
  if (!g_active || foreign) return EXCEPTION_CONTINUE_SEARCH;
  g_active = false;
  // Resume at Land on a fresh, aligned part of the faulting stack, as if called.
  CONTEXT* context = info->ContextRecord;
  context->Rsp = ((context->Rsp - 256) & ~(DWORD64)15) - 8;
  context->Rip = (DWORD64)&Land;
  return EXCEPTION_CONTINUE_EXECUTION;
}
}  // namespace device_guard

__attribute__((noinline)) inline BOOL DeviceGuardedCall(void (*call)(void*), void* context) {
  static PVOID handler = AddVectoredExceptionHandler(1, device_guard::Handler);
  if (handler == NULL) return FALSE;
  if (__builtin_setjmp(device_guard::g_landing)) return FALSE;  // a fault landed here
  device_guard::g_active = true;
  call(context);
  device_guard::g_active = false;
  return TRUE;
}
#endif

// Hiding a modal dialog before it was ever shown: the desktop dialog manager
// (Windows and Wine alike) shows a dialog whose template lacks WS_VISIBLE
// the first time its queue is idle, which would undo the hide. So on the
// desktop such a hide also refuses that first show; the dialog procedure
// passes WM_WINDOWPOSCHANGING to DeviceDialogPosChanging. CE shows nothing
// by itself.
#define DEVICE_STAY_HIDDEN L"DeviceStayHidden"

inline void DeviceHideDialog(HWND dialog) {
#ifndef UNDER_CE
  if (!IsWindowVisible(dialog)) SetPropW(dialog, DEVICE_STAY_HIDDEN, (HANDLE)1);
#endif
  ShowWindow(dialog, SW_HIDE);
}

inline void DeviceDialogPosChanging(HWND dialog, WINDOWPOS* position) {
#ifndef UNDER_CE
  if ((position->flags & SWP_SHOWWINDOW) && RemovePropW(dialog, DEVICE_STAY_HIDDEN) != NULL) {
    position->flags &= ~SWP_SHOWWINDOW;
  }
#else
  (void)dialog;
  (void)position;
#endif
}

// Paths such as "\Storage Card\..." and "\NAND3\..." are root-relative: under
// Wine they resolve on the current drive, so the card is C:\Storage Card of
// the prefix when the program starts on drive C:. No code differs for this.

#endif  // DEVICE_CE_H_
