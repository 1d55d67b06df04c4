#include "window_driver.h"

#include <stdio.h>

#include <algorithm>
#include <sstream>

namespace window_driver {

namespace {

constexpr DWORD POLL_MS = 20;

// An icon static shows an icon only when one was set in it; a message box
// without an icon may still hold the empty control.
bool IsIconStatic(HWND control) {
  return (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

bool ShowsIcon(HWND control) {
  DWORD_PTR icon = 0;
  return SendMessageTimeoutW(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon) &&
         icon != 0;
}

struct ChildScan {
  ShownBox* box;
  std::vector<std::pair<LONG, int>> buttonsByPosition;
};

BOOL CALLBACK ScanChild(HWND child, LPARAM param) {
  ChildScan* scan = reinterpret_cast<ChildScan*>(param);
  if (!IsWindowVisible(child)) return TRUE;
  const std::wstring cls = ClassName(child);
  if (_wcsicmp(cls.c_str(), L"Button") == 0) {
    RECT r;
    GetWindowRect(child, &r);
    const int id = GetDlgCtrlID(child);
    scan->buttonsByPosition.push_back({r.left, id});
    if ((GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
      scan->box->defaultButton = id;
    }
  } else if (_wcsicmp(cls.c_str(), L"Static") == 0) {
    if (IsIconStatic(child)) {
      scan->box->hasIcon = scan->box->hasIcon || ShowsIcon(child);
    } else if (scan->box->text.empty()) {
      scan->box->text = WindowText(child);
    }
  }
  return TRUE;
}

// Reads a dialog as a message box; false when it has no text (yet).
bool ReadMessageBox(HWND hwnd, ShownBox* box) {
  *box = ShownBox{};
  box->caption = WindowText(hwnd);
  ChildScan scan{box, {}};
  EnumChildWindows(hwnd, ScanChild, reinterpret_cast<LPARAM>(&scan));
  std::sort(scan.buttonsByPosition.begin(), scan.buttonsByPosition.end());
  for (const auto& button : scan.buttonsByPosition) box->buttons.push_back(button.second);
  return !box->text.empty() && !box->buttons.empty();
}

// A box is gone once it is destroyed or hidden.
bool WaitUntilGone(HWND box, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (IsWindow(box) && IsWindowVisible(box)) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(POLL_MS);
  }
  return true;
}

struct WindowScan {
  DWORD processId;
  std::vector<HWND> windows;
};

BOOL CALLBACK ScanTopLevel(HWND hwnd, LPARAM param) {
  WindowScan* scan = reinterpret_cast<WindowScan*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid == scan->processId && IsWindowVisible(hwnd)) scan->windows.push_back(hwnd);
  return TRUE;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    if (c == L'\n') {
      out += "\\n";
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      char hex[12];
      snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
      out += hex;
    }
  }
  return out;
}

}  // namespace

std::string Describe(const ShownBox& box) {
  std::ostringstream out;
  out << "[" << Narrow(box.caption) << "] \"" << Narrow(box.text) << "\" buttons";
  for (int id : box.buttons) out << " " << id;
  out << " default " << box.defaultButton << (box.hasIcon ? " icon" : " no icon");
  return out.str();
}

std::wstring WindowText(HWND hwnd) {
  // WM_GETTEXT is carried across processes; a hung window gives "".
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
    return L"";
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]),
                           SMTO_ABORTIFHUNG, 2000, &copied)) {
    return L"";
  }
  text.resize(copied);
  return text;
}

HWND WaitForDialog(const std::wstring& caption, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    HWND found = FindWindowW(L"#32770", caption.c_str());
    if (found != NULL || GetTickCount64() >= deadline) return found;
    Sleep(POLL_MS);
  }
}

bool WaitUntilShown(HWND window, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!IsWindowVisible(window)) {
    if (!IsWindow(window) || GetTickCount64() >= deadline) return false;
    Sleep(POLL_MS);
  }
  return true;
}

void Settle(HWND window, int posted) {
  // A sent message is handled inside the receiver's next GetMessage, which
  // then hands out at most one posted message: after posted + 1 sends that
  // many posted messages have been dispatched.
  for (int i = 0; i <= posted; ++i) {
    DWORD_PTR ignored;
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
  }
}

int CheckState(HWND button) {
  DWORD_PTR state = 0;
  SendMessageTimeoutW(button, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
  return (int)state;
}

void Click(HWND button) {
  DWORD_PTR ignored;
  SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
}

void PostClick(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

HWND FocusOf(HWND window) {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, NULL), &info)) return NULL;
  return info.hwndFocus;
}

HWND WaitForFocus(HWND window, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    HWND focus = FocusOf(window);
    if (focus != NULL && (focus == window || IsChild(window, focus))) return focus;
    if (GetTickCount64() >= deadline) return NULL;
    Sleep(POLL_MS);
  }
}

std::vector<std::wstring> ListEntries(HWND combo) {
  std::vector<std::wstring> entries;
  DWORD_PTR count = 0;
  SendMessageTimeoutW(combo, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count);
  for (DWORD_PTR i = 0; i < count && count != (DWORD_PTR)CB_ERR; ++i) {
    DWORD_PTR length = 0;
    SendMessageTimeoutW(combo, CB_GETLBTEXTLEN, i, 0, SMTO_ABORTIFHUNG, 5000, &length);
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(combo, CB_GETLBTEXT, i, (LPARAM)&text[0], SMTO_ABORTIFHUNG, 5000,
                        &copied);
    text.resize(copied == (DWORD_PTR)CB_ERR ? 0 : copied);
    entries.push_back(text);
  }
  return entries;
}

int Selection(HWND combo) {
  DWORD_PTR selection = 0;
  SendMessageTimeoutW(combo, CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, 5000, &selection);
  return (int)(LRESULT)selection;
}

void Choose(HWND dialog, int id, int index) {
  HWND combo = GetDlgItem(dialog, id);
  DWORD_PTR ignored;
  SendMessageTimeoutW(combo, CB_SETCURSEL, index, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
  // CB_SETCURSEL itself notifies nobody; a user's choice does.
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), (LPARAM)combo);
  Settle(dialog, 1);
}

void PostKey(HWND window, UINT virtualKey) {
  const UINT scan = MapVirtualKeyW(virtualKey, 0 /* MAPVK_VK_TO_VSC */);
  PostMessageW(window, WM_KEYDOWN, virtualKey, 1 | (scan << 16));
  PostMessageW(window, WM_KEYUP, virtualKey, 1 | (scan << 16) | (3u << 30));
  Settle(window, 2);
}

void CloseByCaption(HWND window) { PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); }

std::wstring ClassName(HWND hwnd) {
  wchar_t name[256];
  const int n = GetClassNameW(hwnd, name, 256);
  return std::wstring(name, n > 0 ? n : 0);
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

Program::~Program() {
  if (process_.hProcess != NULL) {
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 255);
      WaitForSingleObject(process_.hProcess, 5000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
}

bool Program::Start(const std::wstring& path, const std::wstring& arguments,
                    const std::wstring& folder) {
  std::wstring commandLine = L"\"" + path + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  return CreateProcessW(path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL,
                        folder.empty() ? NULL : folder.c_str(), &startup, &process_) != 0;
}

std::vector<HWND> Program::TopLevelWindows() const {
  WindowScan scan{process_.dwProcessId, {}};
  EnumWindows(ScanTopLevel, reinterpret_cast<LPARAM>(&scan));
  return scan.windows;
}

bool Program::WaitForMessageBox(HWND* hwnd, ShownBox* box, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    for (HWND candidate : TopLevelWindows()) {
      if (std::find(seen_.begin(), seen_.end(), candidate) != seen_.end()) continue;
      if (ClassName(candidate) != L"#32770" || !ReadMessageBox(candidate, box)) continue;
      seen_.push_back(candidate);
      shown_.push_back(*box);
      *hwnd = candidate;
      return true;
    }
    // An ended program shows no further box.
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0) return false;
    if (GetTickCount64() >= deadline) return false;
    Sleep(POLL_MS);
  }
}

bool Program::Press(HWND box, int id, DWORD timeoutMs) {
  HWND button = GetDlgItem(box, id);
  if (button == NULL) return false;
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  return WaitUntilGone(box, timeoutMs);
}

bool Program::Close(HWND box, DWORD timeoutMs) {
  if (!IsWindow(box)) return false;
  PostMessageW(box, WM_CLOSE, 0, 0);
  return WaitUntilGone(box, timeoutMs);
}

bool Program::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
  if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
  return GetExitCodeProcess(process_.hProcess, exitCode) != 0;
}

Run RunAnswering(const std::wstring& path, const std::wstring& arguments,
                 const std::wstring& folder, const std::vector<int>& answers, DWORD timeoutMs) {
  Run run;
  Program program;
  run.started = program.Start(path, arguments, folder);
  if (!run.started) return run;
  size_t next = 0;
  HWND hwnd;
  ShownBox box;
  while (program.WaitForMessageBox(&hwnd, &box, timeoutMs)) {
    const int answer = next < answers.size() ? answers[next] : box.buttons.front();
    ++next;
    if (!program.Press(hwnd, answer, timeoutMs)) break;
  }
  run.boxes = program.Shown();
  run.ended = program.WaitForExit(timeoutMs, &run.exitCode);
  return run;
}

}  // namespace window_driver
