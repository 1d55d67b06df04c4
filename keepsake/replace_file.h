// Saving a file without losing its previous version: the new content is
// written under a temporary name beside it and takes the old file's place
// only once it is complete.
#ifndef KEEPSAKE_REPLACE_FILE_H_
#define KEEPSAKE_REPLACE_FILE_H_

#include <windows.h>

/// The temporary file of one save.
struct Replacement {
  WCHAR path[MAX_PATH];      // the file being replaced
  WCHAR temporary[MAX_PATH]; // where the new content is written
  HANDLE file;
};

/// Creates the temporary file for `path`. FALSE when its name would not fit
/// or it cannot be created.
BOOL BeginReplacement(LPCWSTR path, Replacement* replacement);

/// Closes the temporary file; when `complete` and the close succeeded, moves
/// it over the old file. Otherwise, or when the move fails, removes it and
/// leaves the old file as it was. TRUE when the new file is in place.
BOOL EndReplacement(Replacement* replacement, BOOL complete);

#endif  // KEEPSAKE_REPLACE_FILE_H_
