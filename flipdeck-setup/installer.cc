#include "installer.h"

#include <string.h>

namespace {

// Each path twice: with its one NUL for the existence test, and with a
// second NUL that ends the one-path list SHFileOperationW takes.
// U+30A2 U+30D7 U+30EA is the folder name "アプリ".
const WCHAR SOURCE_FOLDER[] = L"\\Storage Card\\\u30A2\u30D7\u30EA\\Flipdeck";
const WCHAR SOURCE_LIST[] = L"\\Storage Card\\\u30A2\u30D7\u30EA\\Flipdeck\0";
const WCHAR TARGET_FOLDER[] = L"\\NAND3\\\u30A2\u30D7\u30EA\\Flipdeck";
const WCHAR TARGET_LIST[] = L"\\NAND3\\\u30A2\u30D7\u30EA\\Flipdeck\0";

const WCHAR CAPTION[] = L"Flipdeck for SHARP Brain Installer";

const WCHAR ASK_INSTALL[] = L"Would you like to install Flipdeck in the internal memory?";
const WCHAR NOT_FOUND[] =
    L"Flipdeck was not found in the microSD card.\n"
    L"Please make sure Flipdeck was copied to the microSD card.";
const WCHAR ASK_OVERWRITE[] =
    L"Another version of Flipdeck already exists in the internal memory.\n"
    L"Would you like to overwrite it and continue?";
const WCHAR DELETE_FAILED[] =
    L"An error occured.\n"
    L"Please remove Flipdeck which is in the internal memory manually.";
const WCHAR COPY_FAILED[] =
    L"An error occured.\n"
    L"Please make enough free space in the internal memory and retry.";
const WCHAR INSTALLED[] =
    L"Installed successfully.\n"
    L"Please reset and start Flipdeck from the internal memory (not from a microSD card).";

// No icon, no default-button flag, no owner.
BOOL AskYes(LPCWSTR text) { return MessageBoxW(NULL, text, CAPTION, MB_YESNO) == IDYES; }

void Tell(LPCWSTR text) {
  // An MB_OK box has only one answer.
  (void)MessageBoxW(NULL, text, CAPTION, MB_OK);
}

// Only the return value tells the outcome; fAnyOperationsAborted is not read.
BOOL DeleteTarget() {
  SHFILEOPSTRUCTW request;
  memset(&request, 0, sizeof request);
  request.hwnd = NULL;
  request.wFunc = FO_DELETE;
  request.pFrom = TARGET_LIST;
  request.pTo = NULL;
  request.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;
  return SHFileOperationW(&request) == 0;
}

BOOL CopySourceToTarget() {
  SHFILEOPSTRUCTW request;
  memset(&request, 0, sizeof request);
  request.hwnd = NULL;
  request.wFunc = FO_COPY;
  request.pFrom = SOURCE_LIST;
  request.pTo = TARGET_LIST;
  request.fFlags = FOF_NOCONFIRMATION | FOF_SIMPLEPROGRESS | FOF_NOCONFIRMMKDIR;
  request.lpszProgressTitle = L"Please wait...";
  return SHFileOperationW(&request) == 0;
}

}  // namespace

BOOL FolderExists(LPCWSTR path) {
  // No access is asked: the open only proves the path exists. Backup
  // semantics let a folder be opened, and a plain file opens too.
  HANDLE h = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  CloseHandle(h);
  return TRUE;
}

void InstallFlipdeck() {
  if (!AskYes(ASK_INSTALL)) return;
  if (!FolderExists(SOURCE_FOLDER)) {
    Tell(NOT_FOUND);
    return;
  }
  if (FolderExists(TARGET_FOLDER)) {
    if (!AskYes(ASK_OVERWRITE)) return;
    if (!DeleteTarget()) {
      Tell(DELETE_FAILED);
      return;
    }
  }
  Tell(CopySourceToTarget() ? INSTALLED : COPY_FAILED);
}
