// flipdeck-setup: installs the Flipdeck folder from the memory card into
// internal memory, with a question before and a message after.
#ifndef FLIPDECK_SETUP_INSTALLER_H_
#define FLIPDECK_SETUP_INSTALLER_H_

#include "ce.h"

/// True when `path` names an existing folder or file.
BOOL FolderExists(LPCWSTR path);

/// The whole installer flow: ask, check, delete the old copy if asked, copy,
/// report. Every outcome is told in a message box.
void InstallFlipdeck();

#endif  // FLIPDECK_SETUP_INSTALLER_H_
