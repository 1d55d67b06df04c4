/* keyloom.dll: names the device's keys, captures one key press, and lets
 * the user bind a host's functions to keys in a paged dialog.
 *
 * A host loads "keyloom.dll" and calls these three functions, exported
 * under these names and with ordinals 1, 2 and 3. Usable from C and C++. */
#ifndef KEYLOOM_KEYLOOM_H_
#define KEYLOOM_KEYLOOM_H_

#include <windows.h>

#ifdef KEYLOOM_BUILD
#define KEYLOOM_API __declspec(dllexport)
#else
#define KEYLOOM_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One of the host's functions and the key bound to it. The host owns the
 * array and its captions; the library reads `label` and rewrites `key`. */
typedef struct KeyBinding {
  const WCHAR* label; /* caption of the function; NULL shows a blank row */
  DWORD key;          /* virtual-key code */
} KeyBinding;

/* Shows the capture dialog owned by `owner` and returns the virtual-key
 * code of the first key pressed, 0 when the dialog was closed instead, or
 * -1 when it could not be shown. (ordinal 1) */
KEYLOOM_API int WINAPI ChooseKey(HWND owner);

/* The label of a virtual-key code, or NULL for a code without one (and for
 * every code of 256 or more). The string belongs to the library. (ordinal 2) */
KEYLOOM_API const WCHAR* WINAPI GetKeyName(DWORD keyCode);

/* Shows `bindings` sixteen to a page, owned by `parent`, with `font`, and
 * writes each chosen key into the array at once. Returns 1 when every page
 * ended with OK (or there was none to show), 0 when `bindings` is NULL or
 * the user stopped; keys chosen before stopping stay chosen. (ordinal 3) */
KEYLOOM_API int WINAPI ShowKeyConfigDialog(KeyBinding* bindings, DWORD bindingCount, HWND parent,
                                           HFONT font);

#ifdef __cplusplus
}
#endif

#endif /* KEYLOOM_KEYLOOM_H_ */
