// keyloom under Wine: the key name table and the compiled templates read
// from the DLL itself, and both dialogs driven through the host program.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dialog_template.h"
#include "keyloom.h"
#include "window_driver.h"

namespace wd = window_driver;

namespace {

const DWORD WAIT_MS = 20000;

// ---------------------------------------------------------------------------
// The key name table

std::map<DWORD, std::wstring> ExpectedLabels() {
  std::map<DWORD, std::wstring> labels = {
      {0, L"(なし)"},   {8, L"後退"},     {13, L"検索決定"}, {17, L"入/切"},
      {20, L"機能"},     {27, L"戻る"},     {33, L"∧"},       {34, L"∨"},
      {35, L"クリア"},   {36, L"メニュー"}, {37, L"←"},       {38, L"↑"},
      {39, L"→"},       {40, L"↓"},       {117, L"切替"},    {118, L"しおり"},
      {121, L"Home"},   {186, L"例/解説"}, {188, L"文字小"},  {189, L"スペース"},
      {190, L"文字大"},  {191, L"Sジャンプ"}, {219, L"音量大"}, {220, L"音声"},
      {221, L"音量小"},
  };
  for (DWORD c = 'A'; c <= 'Z'; ++c) labels[c] = std::wstring(1, (wchar_t)c);
  for (DWORD f = 1; f <= 5; ++f) labels[0x6F + f] = L"F" + std::to_wstring(f);
  return labels;
}

HMODULE LoadKeyloom() { return LoadLibraryW((wd::ProgramFolder() + L"keyloom.dll").c_str()); }

TEST(GetKeyName, LabelsExactlyTheTablesCodes) {
  HMODULE library = LoadKeyloom();
  ASSERT_NE(library, (HMODULE)NULL);
  typedef const WCHAR*(WINAPI * GetKeyNameProc)(DWORD);
  GetKeyNameProc getKeyName = (GetKeyNameProc)(void*)GetProcAddress(library, "GetKeyName");
  ASSERT_NE(getKeyName, (GetKeyNameProc)NULL);
  EXPECT_EQ((void*)getKeyName, (void*)GetProcAddress(library, MAKEINTRESOURCEA(2)));

  const std::map<DWORD, std::wstring> expected = ExpectedLabels();
  EXPECT_EQ(expected.size(), 56u);
  for (DWORD code = 0; code < 256; ++code) {
    SCOPED_TRACE(code);
    const WCHAR* label = getKeyName(code);
    const auto found = expected.find(code);
    if (found == expected.end()) {
      EXPECT_EQ(label, (const WCHAR*)NULL);
    } else {
      ASSERT_NE(label, (const WCHAR*)NULL);
      EXPECT_EQ(std::wstring(label), found->second);
    }
  }
  EXPECT_EQ(getKeyName(256), (const WCHAR*)NULL);
  EXPECT_EQ(getKeyName(0xFFFFFFFF), (const WCHAR*)NULL);
  // The same string every time: it belongs to the library.
  EXPECT_EQ(getKeyName(27), getKeyName(27));
  FreeLibrary(library);
}

// ---------------------------------------------------------------------------
// The templates as compiled

using dialog_template::Control;
using dialog_template::Template;

Template ReadTemplate(int id) {
  // Only in Japanese: the lookup names the language.
  const Template t = dialog_template::Read(wd::ProgramFolder() + L"keyloom.dll", id,
                                           MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
  EXPECT_TRUE(t.found) << "no Japanese dialog " << id;
  return t;
}

void ExpectDialog(const Template& t, short cx, short cy, const std::wstring& caption) {
  EXPECT_EQ(t.style, 0x80C80848u);
  EXPECT_EQ(t.exStyle, 0u);
  EXPECT_EQ(t.x, 0);
  EXPECT_EQ(t.y, 0);
  EXPECT_EQ(t.cx, cx);
  EXPECT_EQ(t.cy, cy);
  EXPECT_EQ(t.menu, L"");
  EXPECT_EQ(t.cls, L"");
  EXPECT_EQ(t.caption, caption);
  EXPECT_EQ(t.pointSize, 9);
  EXPECT_EQ(t.font, L"MS Shell Dlg");
}

TEST(Templates, CaptureDialogAsTabled) {
  const Template t = ReadTemplate(101);
  ExpectDialog(t, 95, 13, L"Waiting...");
  const std::vector<Control> expected = {
      {1002, L"EDIT", L"", 0, 18, 6, 12, 0x50810080},
      {0xFFFF, L"STATIC", L"Choose and press a key...", 0, 0, 96, 12, 0x50020000},
  };
  EXPECT_EQ(t.controls, expected);
}

TEST(Templates, AssignmentDialogAsTabled) {
  const Template t = ReadTemplate(102);
  ExpectDialog(t, 246, 169, L"Key Configuration");
  std::vector<Control> expected = {
      {1, L"BUTTON", L"OK", 78, 150, 42, 12, 0x50010001},
      {2, L"BUTTON", L"Cancel", 126, 150, 42, 12, 0x50010000},
  };
  for (int i = 0; i < 16; ++i) {
    const short column = i < 8 ? 0 : 120, y = (short)(6 + 18 * (i % 8));
    expected.push_back({(WORD)(1001 + 3 * i), L"STATIC", L"", (short)(6 + column), y, 60, 12,
                        0x50020000});
    expected.push_back({(WORD)(1002 + 3 * i), L"EDIT", L"", (short)(66 + column), y, 42, 12,
                        0x50810880});
    expected.push_back({(WORD)(1003 + 3 * i), L"BUTTON", L"...", (short)(108 + column), y, 12,
                        12, 0x50010000});
  }
  ASSERT_EQ(t.controls.size(), 50u);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(t.controls[i], expected[i]) << "control " << i;
  }
}

// ---------------------------------------------------------------------------
// The dialogs, through the host

// What the host wrote: its font, the export's result and the keys after.
struct HostOutput {
  bool ended = false;
  DWORD exitCode = 0;
  unsigned long long font = 0;
  // The last font each page's dialog was sent, page by page.
  std::vector<unsigned long long> sentFonts;
  int result = -100;
  std::vector<DWORD> keys;
};

class KeyloomHostTest : public testing::Test {
 protected:
  std::wstring OutPath() const { return wd::ProgramFolder() + L"keyloom-host.out"; }

  bool Start(const std::wstring& arguments) {
    DeleteFileW(OutPath().c_str());
    return host_.Start(wd::ProgramFolder() + L"keyloom_host.exe",
                       L"\"" + OutPath() + L"\" " + arguments, wd::ProgramFolder());
  }

  HostOutput Finish() {
    HostOutput out;
    out.ended = host_.WaitForExit(WAIT_MS, &out.exitCode);
    const std::wstring path = OutPath();
    std::ifstream file(std::string(path.begin(), path.end()));
    std::string word;
    unsigned long long lastDialog = 0;
    while (file >> word) {
      if (word == "font") file >> out.font;
      if (word == "sent-font") {
        unsigned long long dialog, font;
        file >> dialog >> font;
        // The dialog manager first sends the template's own font.
        if (dialog != lastDialog) out.sentFonts.push_back(font);
        out.sentFonts.back() = font;
        lastDialog = dialog;
      }
      if (word == "result") file >> out.result;
      if (word == "key") {
        DWORD index, key;
        file >> index >> key;
        out.keys.push_back(key);
      }
    }
    EXPECT_TRUE(out.ended) << "the host did not end";
    EXPECT_EQ(out.exitCode, 0u);
    return out;
  }

  // The next page of the assignment dialog, once it stands in place of `old`.
  HWND NextPage(HWND old) {
    const ULONGLONG deadline = GetTickCount64() + WAIT_MS;
    for (;;) {
      HWND page = wd::WaitForDialog(L"Key Configuration", 100);
      if ((page != NULL && page != old && IsWindowVisible(page)) || GetTickCount64() > deadline) {
        return page != old ? page : NULL;
      }
    }
  }

  // Presses a row's choose button and answers the capture dialog with a
  // key, or closes it when `key` is 0.
  void ChooseRow(HWND page, int row, UINT key) {
    wd::PostClick(GetDlgItem(page, 1003 + 3 * row));
    HWND capture = wd::WaitForDialog(L"Waiting...", WAIT_MS);
    ASSERT_NE(capture, (HWND)NULL);
    if (key != 0) {
      HWND focus = wd::WaitForFocus(capture, WAIT_MS);
      ASSERT_NE(focus, (HWND)NULL);
      wd::PostKey(focus, key);
    } else {
      wd::CloseByCaption(capture);
    }
    const ULONGLONG deadline = GetTickCount64() + WAIT_MS;
    while (IsWindow(capture) && GetTickCount64() < deadline) Sleep(20);
    wd::Settle(page, 0);
  }

  std::wstring KeyField(HWND page, int row) {
    return wd::WindowText(GetDlgItem(page, 1002 + 3 * row));
  }
  std::wstring CaptionField(HWND page, int row) {
    return wd::WindowText(GetDlgItem(page, 1001 + 3 * row));
  }

  wd::Program host_;
};

TEST_F(KeyloomHostTest, ChooseKeyTakesTheFirstKeyPressed) {
  const struct {
    const char* what;
    std::vector<std::pair<UINT, UINT>> messages;  // posted to the focused control
    int result;
  } cases[] = {
      {"Esc", {{WM_KEYDOWN, VK_ESCAPE}}, 27},
      {"Enter", {{WM_KEYDOWN, VK_RETURN}}, 13},
      {"Tab", {{WM_KEYDOWN, VK_TAB}}, 9},
      {"a letter", {{WM_KEYDOWN, 'Q'}}, 'Q'},
      {"key-up and characters pass", {{WM_KEYUP, 'A'}, {WM_CHAR, 'a'}, {WM_SYSKEYDOWN, 'F'},
                                      {WM_KEYDOWN, 'B'}}, 'B'},
      {"the first of two keys", {{WM_KEYDOWN, 'C'}, {WM_KEYDOWN, 'D'}}, 'C'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Start(L"choose"));
    HWND capture = wd::WaitForDialog(L"Waiting...", WAIT_MS);
    ASSERT_NE(capture, (HWND)NULL);
    // The invisible edit control holds the focus.
    HWND focus = wd::WaitForFocus(capture, WAIT_MS);
    ASSERT_NE(focus, (HWND)NULL);
    EXPECT_EQ(GetDlgCtrlID(focus), 1002);
    EXPECT_EQ(_wcsicmp(wd::ClassName(focus).c_str(), L"Edit"), 0);
    EXPECT_EQ(wd::WindowText(capture), L"Waiting...");
    for (const auto& m : c.messages) PostMessageW(focus, m.first, m.second, 1);
    EXPECT_EQ(Finish().result, c.result);
  }

  ASSERT_TRUE(Start(L"choose"));
  HWND capture = wd::WaitForDialog(L"Waiting...", WAIT_MS);
  ASSERT_NE(capture, (HWND)NULL);
  wd::CloseByCaption(capture);
  EXPECT_EQ(Finish().result, 0);
}

TEST_F(KeyloomHostTest, NoDialogForNoArrayOrNoEntries) {
  ASSERT_TRUE(Start(L"config-null"));
  EXPECT_EQ(Finish().result, 0);
  ASSERT_TRUE(Start(L"config 0"));
  EXPECT_EQ(Finish().result, 1);
  EXPECT_EQ(wd::WaitForDialog(L"Key Configuration", 0), (HWND)NULL);
}

TEST_F(KeyloomHostTest, PagesOfSixteen) {
  const struct {
    int count;
    std::vector<int> rowsPerPage;
  } cases[] = {{16, {16}}, {17, {16, 1}}, {32, {16, 16}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    ASSERT_TRUE(Start(L"config " + std::to_wstring(c.count)));
    HWND page = NULL;
    int first = 0;
    for (int rows : c.rowsPerPage) {
      page = NextPage(page);
      ASSERT_NE(page, (HWND)NULL);
      for (int row = 0; row < 16; ++row) {
        SCOPED_TRACE(row);
        const bool filled = row < rows;
        EXPECT_EQ(CaptionField(page, row),
                  filled ? L"Function " + std::to_wstring(first + row) : L"");
        EXPECT_EQ(KeyField(page, row), filled ? L"(なし)" : L"");
        EXPECT_TRUE(IsWindowVisible(GetDlgItem(page, 1003 + 3 * row)));
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, 1003 + 3 * row)));
      }
      first += rows;
      wd::PostClick(GetDlgItem(page, IDOK));
    }
    const HostOutput out = Finish();
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.keys, std::vector<DWORD>(c.count, 0));
    // Every page's dialog was sent the host's font.
    EXPECT_EQ(out.sentFonts,
              std::vector<unsigned long long>(c.rowsPerPage.size(), out.font));
  }
}

TEST_F(KeyloomHostTest, CancelStopsAndKeepsTheChoicesMade) {
  ASSERT_TRUE(Start(L"config 40"));
  HWND page1 = NextPage(NULL);
  ASSERT_NE(page1, (HWND)NULL);
  ChooseRow(page1, 0, 'A');
  EXPECT_EQ(KeyField(page1, 0), L"A");
  wd::PostClick(GetDlgItem(page1, IDOK));

  HWND page2 = NextPage(page1);
  ASSERT_NE(page2, (HWND)NULL);
  ChooseRow(page2, 1, VK_RETURN);
  EXPECT_EQ(KeyField(page2, 1), L"検索決定");
  ChooseRow(page2, 15, VK_F1);
  EXPECT_EQ(KeyField(page2, 15), L"F1");
  wd::PostClick(GetDlgItem(page2, IDCANCEL));

  const HostOutput out = Finish();
  EXPECT_EQ(out.result, 0);
  ASSERT_EQ(out.keys.size(), 40u);
  std::vector<DWORD> expected(40, 0);
  expected[0] = 'A';
  expected[17] = VK_RETURN;
  expected[31] = VK_F1;
  EXPECT_EQ(out.keys, expected);
}

TEST_F(KeyloomHostTest, ClosingAPageIsCancel) {
  ASSERT_TRUE(Start(L"config 20"));
  HWND page = NextPage(NULL);
  ASSERT_NE(page, (HWND)NULL);
  ChooseRow(page, 3, 'Z');
  wd::CloseByCaption(page);
  const HostOutput out = Finish();
  EXPECT_EQ(out.result, 0);
  ASSERT_EQ(out.keys.size(), 20u);
  EXPECT_EQ(out.keys[3], (DWORD)'Z');
}

TEST_F(KeyloomHostTest, KeyFieldsFollowTheKeyTextRule) {
  ASSERT_TRUE(Start(L"config 17 keys=0,9,300,4294967295,27,121,65 null=6"));
  HWND page = NextPage(NULL);
  ASSERT_NE(page, (HWND)NULL);
  EXPECT_EQ(KeyField(page, 0), L"(なし)");
  EXPECT_EQ(KeyField(page, 1), L"9");
  EXPECT_EQ(KeyField(page, 2), L"300");
  EXPECT_EQ(KeyField(page, 3), L"4294967295");
  EXPECT_EQ(KeyField(page, 4), L"戻る");
  EXPECT_EQ(KeyField(page, 5), L"Home");
  // A row without a label starts blank, key and all; its button still works.
  EXPECT_EQ(CaptionField(page, 6), L"");
  EXPECT_EQ(KeyField(page, 6), L"");
  ChooseRow(page, 6, VK_TAB);
  EXPECT_EQ(CaptionField(page, 6), L"");
  EXPECT_EQ(KeyField(page, 6), L"9");
  // Closing the capture dialog sets the row to 0.
  ChooseRow(page, 4, 0);
  EXPECT_EQ(KeyField(page, 4), L"(なし)");
  wd::PostClick(GetDlgItem(page, IDOK));

  HWND last = NextPage(page);
  ASSERT_NE(last, (HWND)NULL);
  // A choose button past the last page's one entry does nothing.
  wd::PostClick(GetDlgItem(last, 1003 + 3 * 5));
  EXPECT_EQ(wd::WaitForDialog(L"Waiting...", 1000), (HWND)NULL);
  EXPECT_EQ(KeyField(last, 5), L"");
  wd::PostClick(GetDlgItem(last, IDOK));

  const HostOutput out = Finish();
  EXPECT_EQ(out.result, 1);
  const std::vector<DWORD> expected = {0, 9, 300, 4294967295u, 0, 121, 9, 0, 0,
                                       0, 0, 0,   0,           0, 0, 0,   0};
  EXPECT_EQ(out.keys, expected);
}

TEST_F(KeyloomHostTest, OnlyClicksActAndTheHostsFontIsSent) {
  ASSERT_TRUE(Start(L"config 3"));
  HWND page = NextPage(NULL);
  ASSERT_NE(page, (HWND)NULL);
  // Notifications other than a click do nothing, OK and Cancel included.
  for (int id : {IDOK, IDCANCEL, 1003}) {
    PostMessageW(page, WM_COMMAND, MAKEWPARAM(id, BN_DOUBLECLICKED), (LPARAM)GetDlgItem(page, id));
  }
  wd::Settle(page, 3);
  EXPECT_TRUE(IsWindowVisible(page));
  EXPECT_EQ(wd::WaitForDialog(L"Waiting...", 500), (HWND)NULL);

  wd::PostClick(GetDlgItem(page, IDOK));
  const HostOutput out = Finish();
  EXPECT_EQ(out.result, 1);
  EXPECT_NE(out.font, 0u);
  EXPECT_EQ(out.sentFonts, std::vector<unsigned long long>{out.font});
}

}  // namespace
