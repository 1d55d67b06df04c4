// A host application for keyloom.dll, for tests: it loads the library by
// name, finds the exports by name and by ordinal, calls one of them and
// writes what came back to a file.
//
//   keyloom_host OUT choose                 ChooseKey with no owner
//   keyloom_host OUT config N [KEYS] [NULLS] ShowKeyConfigDialog over N entries
//   keyloom_host OUT config-null            ShowKeyConfigDialog with no array
//
// KEYS is "keys=k0,k1,..." (initial keys, the rest 0), NULLS "null=i,j,..."
// (rows without a label). OUT receives "font F", "result R" and the keys,
// and "sent-font DIALOG F" for each WM_SETFONT that a dialog window was sent.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "keyloom.h"

namespace {

typedef int(WINAPI* ChooseKeyProc)(HWND);
typedef const WCHAR*(WINAPI* GetKeyNameProc)(DWORD);
typedef int(WINAPI* ShowKeyConfigDialogProc)(KeyBinding*, DWORD, HWND, HFONT);

template <typename Proc>
Proc Export(HMODULE library, LPCSTR name, WORD ordinal) {
  FARPROC byName = GetProcAddress(library, name);
  FARPROC byOrdinal = GetProcAddress(library, MAKEINTRESOURCEA(ordinal));
  if (byName == NULL || byName != byOrdinal) {
    fprintf(stderr, "export %s is not ordinal %u\n", name, ordinal);
    exit(3);
  }
  return reinterpret_cast<Proc>(reinterpret_cast<void*>(byName));
}

std::vector<unsigned long> NumberList(const wchar_t* text) {
  std::vector<unsigned long> numbers;
  for (wchar_t* end; *text != 0; text = *end == L',' ? end + 1 : end) {
    numbers.push_back(wcstoul(text, &end, 0));
    if (end == text) break;
  }
  return numbers;
}

// Fonts sent to dialog windows, seen by a hook on the host's own thread.
std::vector<std::pair<unsigned long long, unsigned long long>> g_sentFonts;

LRESULT CALLBACK WatchMessages(int code, WPARAM wParam, LPARAM lParam) {
  const CWPSTRUCT* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && sent->message == WM_SETFONT) {
    WCHAR cls[16] = L"";
    GetClassNameW(sent->hwnd, cls, 16);
    if (wcscmp(cls, L"#32770") == 0) g_sentFonts.push_back({(UINT_PTR)sent->hwnd, sent->wParam});
  }
  return CallNextHookEx(NULL, code, wParam, lParam);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  HMODULE library = LoadLibraryW(L"keyloom.dll");
  if (library == NULL) return 4;
  ChooseKeyProc chooseKey = Export<ChooseKeyProc>(library, "ChooseKey", 1);
  (void)Export<GetKeyNameProc>(library, "GetKeyName", 2);
  ShowKeyConfigDialogProc showKeyConfigDialog =
      Export<ShowKeyConfigDialogProc>(library, "ShowKeyConfigDialog", 3);

  FILE* out = _wfopen(argv[1], L"wb");
  if (out == NULL) return 5;
  const std::wstring command = argv[2];
  if (command == L"choose") {
    fprintf(out, "result %d\n", chooseKey(NULL));
  } else if (command == L"config-null") {
    fprintf(out, "result %d\n", showKeyConfigDialog(NULL, 5, NULL, NULL));
  } else if (command == L"config" && argc >= 4) {
    const DWORD count = wcstoul(argv[3], NULL, 0);
    std::vector<unsigned long> keys, nulls;
    for (int i = 4; i < argc; ++i) {
      if (wcsncmp(argv[i], L"keys=", 5) == 0) keys = NumberList(argv[i] + 5);
      if (wcsncmp(argv[i], L"null=", 5) == 0) nulls = NumberList(argv[i] + 5);
    }
    std::vector<std::wstring> labels(count);
    // Never an empty vector's null data: a count of 0 comes with an array.
    std::vector<KeyBinding> bindings(count > 0 ? count : 1);
    for (DWORD i = 0; i < count; ++i) {
      labels[i] = L"Function " + std::to_wstring(i);
      bindings[i].label = labels[i].c_str();
      bindings[i].key = i < keys.size() ? keys[i] : 0;
    }
    for (unsigned long i : nulls) {
      if (i < count) bindings[i].label = NULL;
    }
    HFONT font = CreateFontW(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0,
                             0, 0, L"Tahoma");
    fprintf(out, "font %llu\n", (unsigned long long)(UINT_PTR)font);
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, WatchMessages, NULL, GetCurrentThreadId());
    fprintf(out, "result %d\n", showKeyConfigDialog(bindings.data(), count, NULL, font));
    UnhookWindowsHookEx(hook);
    for (const auto& sent : g_sentFonts) {
      fprintf(out, "sent-font %llu %llu\n", sent.first, sent.second);
    }
    for (DWORD i = 0; i < count; ++i) fprintf(out, "key %lu %lu\n", i, bindings[i].key);
    DeleteObject(font);
  } else {
    fclose(out);
    return 2;
  }
  fclose(out);
  return 0;
}
