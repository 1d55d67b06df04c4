// The library's entry point, the key name table and the capture dialog.
#include <array>

#include "ce.h"
#include "keyloom.h"
#include "keyloom_internal.h"
#include "resource.h"

HINSTANCE g_module;

namespace {

const struct {
  unsigned code;
  const WCHAR* label;
} LABELED_KEYS[] = {
    {0, L"(\u306A\u3057)"},                  // (none)
    {8, L"\u5F8C\u9000"},                    // back space
    {13, L"\u691C\u7D22\u6C7A\u5B9A"},       // search / confirm
    {17, L"\u5165/\u5207"},                  // on / off
    {20, L"\u6A5F\u80FD"},                   // function
    {27, L"\u623B\u308B"},                   // back
    {33, L"\u2227"},  {34, L"\u2228"},
    {35, L"\u30AF\u30EA\u30A2"},             // clear
    {36, L"\u30E1\u30CB\u30E5\u30FC"},       // menu
    {37, L"\u2190"},  {38, L"\u2191"},  {39, L"\u2192"},  {40, L"\u2193"},
    {65, L"A"},  {66, L"B"},  {67, L"C"},  {68, L"D"},  {69, L"E"},  {70, L"F"},  {71, L"G"},
    {72, L"H"},  {73, L"I"},  {74, L"J"},  {75, L"K"},  {76, L"L"},  {77, L"M"},  {78, L"N"},
    {79, L"O"},  {80, L"P"},  {81, L"Q"},  {82, L"R"},  {83, L"S"},  {84, L"T"},  {85, L"U"},
    {86, L"V"},  {87, L"W"},  {88, L"X"},  {89, L"Y"},  {90, L"Z"},
    {112, L"F1"}, {113, L"F2"}, {114, L"F3"}, {115, L"F4"}, {116, L"F5"},
    {117, L"\u5207\u66FF"},                  // switch
    {118, L"\u3057\u304A\u308A"},            // bookmark
    {121, L"Home"},
    {186, L"\u4F8B/\u89E3\u8AAC"},           // examples / explanation
    {188, L"\u6587\u5B57\u5C0F"},            // smaller characters
    {189, L"\u30B9\u30DA\u30FC\u30B9"},      // space
    {190, L"\u6587\u5B57\u5927"},            // larger characters
    {191, L"S\u30B8\u30E3\u30F3\u30D7"},     // S jump
    {219, L"\u97F3\u91CF\u5927"},            // volume up
    {220, L"\u97F3\u58F0"},                  // voice
    {221, L"\u97F3\u91CF\u5C0F"},            // volume down
};

constexpr std::array<const WCHAR*, 256> MakeKeyNames() {
  std::array<const WCHAR*, 256> names{};
  for (const auto& key : LABELED_KEYS) names[key.code] = key.label;
  return names;
}

// A label for 56 of the 256 virtual-key codes; null for the others.
constexpr std::array<const WCHAR*, 256> KEY_NAMES = MakeKeyNames();

// The edit control answers for every key, Tab, Enter and Esc included, so
// the dialog manager hands each to it; it passes key presses to the dialog
// and everything else to its own procedure.
LRESULT CALLBACK KeyCaptureEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_GETDLGCODE) return DLGC_WANTALLKEYS;
  if (message == WM_KEYDOWN) {
    SendMessageW(GetParent(edit), WM_KEYDOWN, wParam, lParam);
    return 0;
  }
  WNDPROC saved = (WNDPROC)DeviceGetWindowData(edit);
  return CallWindowProcW(saved, edit, message, wParam, lParam);
}

// Every message answers FALSE: at WM_INITDIALOG that keeps the dialog
// manager from moving the focus the edit control was given.
INT_PTR CALLBACK KeyCaptureDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      DeviceSetWindowData(GetDlgItem(dialog, IDC_CAPTURE_EDIT),
                          DeviceGetWindowProc(GetDlgItem(dialog, IDC_CAPTURE_EDIT)));
      DeviceSetWindowProc(GetDlgItem(dialog, IDC_CAPTURE_EDIT), KeyCaptureEditProc);
      SetFocus(GetDlgItem(dialog, IDC_CAPTURE_EDIT));
      break;
    case WM_KEYDOWN:
      EndDialog(dialog, wParam);
      break;
    case WM_CLOSE:
      EndDialog(dialog, 0);
      break;
  }
  return FALSE;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module = instance;
  return TRUE;
}

LPCDLGTEMPLATEW LoadDialogTemplate(int id) {
  // A missing resource shows as the dialog's failure to appear.
  HRSRC resource = FindResourceW(g_module, MAKEINTRESOURCEW(id), (LPCWSTR)RT_DIALOG);
  return (LPCDLGTEMPLATEW)DeviceLoadResource(g_module, resource);
}

extern "C" KEYLOOM_API const WCHAR* WINAPI GetKeyName(DWORD keyCode) {
  return keyCode < KEY_NAMES.size() ? KEY_NAMES[keyCode] : NULL;
}

extern "C" KEYLOOM_API int WINAPI ChooseKey(HWND owner) {
  return (int)DialogBoxIndirectParamW(g_module, LoadDialogTemplate(IDD_KEY_CAPTURE), owner,
                                      KeyCaptureDialogProc, 0);
}
