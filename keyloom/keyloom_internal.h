// What the parts of keyloom share inside the library.
#ifndef KEYLOOM_KEYLOOM_INTERNAL_H_
#define KEYLOOM_KEYLOOM_INTERNAL_H_

#include <windows.h>

/// The library's own instance, kept from process attach: its dialog
/// templates are loaded through it, whatever the file is called.
extern HINSTANCE g_module;

/// A dialog template of the library's resources.
LPCDLGTEMPLATEW LoadDialogTemplate(int id);

#endif  // KEYLOOM_KEYLOOM_INTERNAL_H_
