// drive: runs a device program under Wine the way a person would, for the
// demo and the screenshots.
//
//   drive answer PROGRAM ARGUMENTS ANSWERS   answers its message boxes in turn
//                                            (ANSWERS: yes,no,ok,cancel,...)
//   drive keys                               keyloom's key names, and a key
//                                            chosen in its capture dialog
//   drive shot PROGRAM ARGUMENTS CAPTION DONE shows a window until DONE exists,
//                                            printing its place on the screen
//
// Output is UTF-8.
#include <windows.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "window_driver.h"

namespace wd = window_driver;

namespace {

void Print(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, NULL, 0, NULL, NULL);
  std::string bytes(n > 0 ? n - 1 : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], n, NULL, NULL);
  fwrite(bytes.data(), 1, bytes.size(), stdout);
  fflush(stdout);
}

std::wstring OneLine(std::wstring text) {
  for (wchar_t& c : text) {
    if (c == L'\n') c = L' ';
  }
  return text;
}

const std::map<std::wstring, int> BUTTONS = {
    {L"yes", IDYES}, {L"no", IDNO}, {L"ok", IDOK}, {L"cancel", IDCANCEL}};

std::wstring ButtonName(int id) {
  for (const auto& button : BUTTONS) {
    if (button.second == id) return button.first;
  }
  return L"#" + std::to_wstring(id);
}

int Answer(const std::wstring& program, const std::wstring& arguments,
           const std::wstring& answers) {
  std::vector<int> ids;
  for (size_t start = 0; start <= answers.size() && !answers.empty();) {
    size_t comma = answers.find(L',', start);
    if (comma == std::wstring::npos) comma = answers.size();
    const auto found = BUTTONS.find(answers.substr(start, comma - start));
    if (found == BUTTONS.end()) return 2;
    ids.push_back(found->second);
    start = comma + 1;
  }
  wchar_t folder[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, folder);
  const wd::Run run = wd::RunAnswering(program, arguments, folder, ids, 60000);
  if (!run.started) {
    Print(L"  cannot start " + program + L"\n");
    return 1;
  }
  for (size_t i = 0; i < run.boxes.size(); ++i) {
    const wd::ShownBox& box = run.boxes[i];
    const int pressed = i < ids.size() ? ids[i] : box.buttons.front();
    Print(L"  box \"" + OneLine(box.text) + L"\"  -> " + ButtonName(pressed) + L"\n");
  }
  if (run.boxes.empty()) Print(L"  (no message box)\n");
  Print(L"  exit code " + std::to_wstring(run.exitCode) + L"\n");
  return run.ended ? 0 : 1;
}

int Keys() {
  const std::wstring bin = wd::ProgramFolder();
  HMODULE keyloom = LoadLibraryW((bin + L"keyloom.dll").c_str());
  typedef const WCHAR*(WINAPI * GetKeyNameProc)(DWORD);
  GetKeyNameProc getKeyName =
      keyloom != NULL ? (GetKeyNameProc)(void*)GetProcAddress(keyloom, "GetKeyName") : NULL;
  if (getKeyName == NULL) return 1;
  Print(L"  GetKeyName:");
  for (DWORD code : {13u, 27u, 33u, 37u, 65u, 112u, 118u, 121u, 189u, 219u, 9u}) {
    const WCHAR* label = getKeyName(code);
    Print(L" " + std::to_wstring(code) + L"=" + (label != NULL ? label : L"(no label)"));
  }
  Print(L"\n");

  // ChooseKey in a host, answered with the device's back key (Esc).
  const std::wstring out = bin + L"drive-keys.out";
  DeleteFileW(out.c_str());
  wd::Program host;
  if (!host.Start(bin + L"keyloom_host.exe", L"\"" + out + L"\" choose", bin)) return 1;
  HWND capture = wd::WaitForDialog(L"Waiting...", 20000);
  HWND focus = capture != NULL ? wd::WaitForFocus(capture, 20000) : NULL;
  if (focus == NULL) return 1;
  Print(L"  capture dialog \"" + wd::WindowText(capture) + L"\" is up; pressing Esc\n");
  wd::PostKey(focus, VK_ESCAPE);
  DWORD exitCode = 1;
  if (!host.WaitForExit(20000, &exitCode)) return 1;
  FILE* f = _wfopen(out.c_str(), L"rb");
  int result = -100;
  if (f != NULL) {
    (void)fscanf(f, "result %d", &result);
    fclose(f);
  }
  const WCHAR* label = getKeyName((DWORD)result);
  Print(L"  ChooseKey returned " + std::to_wstring(result) + L" (" +
        (label != NULL ? label : L"no label") + L")\n");
  return 0;
}

int Shot(const std::wstring& program, const std::wstring& arguments, const std::wstring& caption,
         const std::wstring& done) {
  wchar_t folder[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, folder);
  wd::Program shown;
  if (!shown.Start(program, arguments, folder)) return 1;
  HWND window = NULL;
  for (int i = 0; i < 400 && window == NULL; ++i) {
    for (HWND candidate : shown.TopLevelWindows()) {
      if (wd::WindowText(candidate) == caption) window = candidate;
    }
    if (window == NULL) Sleep(50);
  }
  if (window == NULL) return 1;
  Sleep(700);  // painted
  RECT r;
  GetWindowRect(window, &r);
  Print(L"rect " + std::to_wstring(r.left) + L" " + std::to_wstring(r.top) + L" " +
        std::to_wstring(r.right - r.left) + L" " + std::to_wstring(r.bottom - r.top) + L"\n");
  while (GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(50);
  return 0;  // the program is ended with the driver's Program
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"answer" && argc == 5) return Answer(argv[2], argv[3], argv[4]);
  if (command == L"keys" && argc == 2) return Keys();
  if (command == L"shot" && argc == 6) return Shot(argv[2], argv[3], argv[4], argv[5]);
  fprintf(stderr, "usage: drive answer PROGRAM ARGUMENTS ANSWERS | keys |"
                  " shot PROGRAM ARGUMENTS CAPTION DONE\n");
  return 2;
}
