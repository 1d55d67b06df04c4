// dimmerly end to end under Wine: the real program with the SharpLib
// stand-in beside it, the real registry and the real named event, driven
// through its dialog by the window driver.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "dialog_template.h"
#include "window_driver.h"

namespace wd = window_driver;

namespace {

const std::wstring ROOT = L"C:\\dimmerly-test";
const std::wstring LOG = ROOT + L"\\sharplib.log";
const WCHAR TIMEOUTS_KEY[] = L"System\\CurrentControlSet\\Control\\Power\\Timeouts";
const WCHAR RELOAD_EVENT[] = L"PowerManager/ReloadActivityTimeouts";
const DWORD WAIT_MS = 20000;

using Lines = std::vector<std::string>;
using Timeouts = std::map<std::wstring, DWORD>;

// The six values as the program writes them for a system idle time.
Timeouts TimeoutsFor(DWORD systemIdle) {
  return {{L"ACSuspend", 1},   {L"ACSystemIdle", systemIdle},   {L"ACUserIdle", 1},
          {L"BattSuspend", 1}, {L"BattSystemIdle", systemIdle}, {L"BattUserIdle", 1}};
}

Lines ReadLog() {
  Lines lines;
  HANDLE h = CreateFileW(LOG.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return lines;
  std::string text;
  char chunk[4096];
  DWORD n = 0;
  while (ReadFile(h, chunk, sizeof chunk, &n, NULL) && n > 0) text.append(chunk, n);
  CloseHandle(h);
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// Waits until the log holds `count` lines; returns what it holds then.
Lines WaitForLog(size_t count, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  Lines lines = ReadLog();
  while (lines.size() < count && GetTickCount64() < deadline) {
    Sleep(50);
    lines = ReadLog();
  }
  return lines;
}

Timeouts ReadTimeouts() {
  Timeouts values;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEOUTS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return values;
  }
  for (const auto& entry : TimeoutsFor(0)) {
    DWORD data = 0, size = sizeof data, type = 0;
    if (RegQueryValueExW(key, entry.first.c_str(), NULL, &type, (BYTE*)&data, &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD) {
      values[entry.first] = data;
    }
  }
  RegCloseKey(key);
  return values;
}

bool KeyExists() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEOUTS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// Where a case's copy of the program lives, with or without a SharpLib.dll.
enum Library { WITH_LIBRARY, WITHOUT_LIBRARY, WITHOUT_DISABLE };

std::wstring PlaceProgram(Library library) {
  const std::wstring bin = wd::ProgramFolder();
  const std::wstring folder = ROOT + (library == WITH_LIBRARY      ? L"\\full"
                                      : library == WITHOUT_LIBRARY ? L"\\absent"
                                                                   : L"\\no-disable");
  CreateDirectoryW(ROOT.c_str(), NULL);
  CreateDirectoryW(folder.c_str(), NULL);
  CopyFileW((bin + L"dimmerly.exe").c_str(), (folder + L"\\dimmerly.exe").c_str(), FALSE);
  if (library == WITH_LIBRARY) {
    CopyFileW((bin + L"SharpLib.dll").c_str(), (folder + L"\\SharpLib.dll").c_str(), FALSE);
  } else if (library == WITHOUT_DISABLE) {
    CopyFileW((bin + L"sharplib-without-disable\\SharpLib.dll").c_str(),
              (folder + L"\\SharpLib.dll").c_str(), FALSE);
  }
  return folder + L"\\dimmerly.exe";
}

class DimmerlyTest : public testing::Test {
 protected:
  void SetUp() override {
    CreateDirectoryW(ROOT.c_str(), NULL);
    DeleteFileW(LOG.c_str());
    SetEnvironmentVariableW(L"SHARPLIB_LOG", LOG.c_str());
    SetEnvironmentVariableW(L"SHARPLIB_FAULT", NULL);
    SetEnvironmentVariableW(L"SHARPLIB_FAULT_COUNT", NULL);
    // A fresh Timeouts key with no values, and the reload event unset.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, TIMEOUTS_KEY);
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, TIMEOUTS_KEY, 0, NULL, 0, KEY_WRITE, NULL, &key,
                              NULL),
              ERROR_SUCCESS);
    RegCloseKey(key);
    reload_ = CreateEventW(NULL, FALSE, FALSE, RELOAD_EVENT);
    ASSERT_NE(reload_, (HANDLE)NULL);
    ResetEvent(reload_);
  }

  void TearDown() override {
    CloseHandle(reload_);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, TIMEOUTS_KEY);
  }

  // True once per setting of the event since the last look.
  bool ReloadWasSignalled() { return WaitForSingleObject(reload_, 0) == WAIT_OBJECT_0; }

  // Runs the program with `arguments` and expects it to end by itself.
  void RunToEnd(const std::wstring& arguments, Library library = WITH_LIBRARY) {
    wd::Program program;
    ASSERT_TRUE(program.Start(PlaceProgram(library), arguments, ROOT));
    DWORD exitCode = 1;
    ASSERT_TRUE(program.WaitForExit(WAIT_MS, &exitCode)) << "the program did not end by itself";
    EXPECT_EQ(exitCode, 0u);
  }

  HANDLE reload_ = NULL;
};

TEST_F(DimmerlyTest, SwitchesApplyAndTheDialogClosesItself) {
  const struct {
    const wchar_t* arguments;
    Lines calls;          // of the vendor library, in order
    bool timeouts;        // whether the six values were written (and the event set)
    DWORD systemIdle;
  } cases[] = {
      {L"/blbright:3", {"EdSetBacklightBright 60"}, false, 0},
      {L"/BLBRIGHT:0x2", {"EdSetBacklightBright 40"}, false, 0},
      {L"/blbright:0", {}, false, 0},
      {L"/blbright:6", {}, false, 0},
      {L"/suspend:180", {}, true, 178},
      {L"/suspend:2", {}, true, 0},
      {L"/suspend:1", {}, false, 0},
      {L"/suspend:2147483647", {}, true, 2147483645},
      {L"/suspend:99999999999", {}, true, 2147483645},
      {L"/mrsensor:0 /suspend:300", {"EdMrSensorDisable"}, true, 298},
      {L"/suspend:60/mrsensor:1", {}, true, 58},  // the character after 60 is skipped
      {L"/mrsensor:1/suspend:60", {"EdMrSensorEnable"}, true, 58},
      {L"/mrsensor:7", {"EdMrSensorEnable"}, false, 0},
      {L"x/blbright:1y/blbright:5", {"EdSetBacklightBright 20", "EdSetBacklightBright 100"},
       false, 0},
      {L"/keepbl:", {}, false, 0},
      {L"hello", {}, false, 0},
      {L"\" \"", {}, false, 0},  // a blank reaches the program only when quoted
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "command line " << std::string(c.arguments, c.arguments + wcslen(c.arguments)));
    DeleteFileW(LOG.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, TIMEOUTS_KEY);
    HKEY key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, TIMEOUTS_KEY, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL);
    RegCloseKey(key);
    ResetEvent(reload_);

    RunToEnd(c.arguments);
    EXPECT_EQ(ReadLog(), c.calls);
    EXPECT_EQ(ReadTimeouts(), c.timeouts ? TimeoutsFor(c.systemIdle) : Timeouts{});
    EXPECT_EQ(ReloadWasSignalled(), c.timeouts);
  }
}

TEST_F(DimmerlyTest, MissingTimeoutsKeyIsNeverCreated) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, TIMEOUTS_KEY);
  RunToEnd(L"/suspend:180 /blbright:2");
  EXPECT_FALSE(KeyExists());
  EXPECT_FALSE(ReloadWasSignalled());
  EXPECT_EQ(ReadLog(), (Lines{"EdSetBacklightBright 40"}));  // the rest goes on
}

TEST_F(DimmerlyTest, WithoutTheVendorLibraryOnlyItsCallsAreLost) {
  RunToEnd(L"/blbright:3 /mrsensor:1 /suspend:180", WITHOUT_LIBRARY);
  EXPECT_TRUE(ReadLog().empty());
  EXPECT_EQ(ReadTimeouts(), TimeoutsFor(178));
  EXPECT_TRUE(ReloadWasSignalled());

  // The dialog works too; its brightness choice changes nothing.
  wd::Program program;
  ASSERT_TRUE(program.Start(PlaceProgram(WITHOUT_LIBRARY), L"", ROOT));
  HWND dialog = wd::WaitForDialog(L"Dimmerly", WAIT_MS);
  ASSERT_NE(dialog, (HWND)NULL);
  ASSERT_TRUE(wd::WaitUntilShown(dialog, WAIT_MS));
  wd::Choose(dialog, 1002, 4);
  wd::Click(GetDlgItem(dialog, 1000));
  wd::CloseByCaption(dialog);
  DWORD exitCode = 1;
  ASSERT_TRUE(program.WaitForExit(WAIT_MS, &exitCode));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_TRUE(ReadLog().empty());
}

TEST_F(DimmerlyTest, MissingExportFailsOnlyItsOwnCalls) {
  RunToEnd(L"/mrsensor:0 /blbright:1 /mrsensor:1", WITHOUT_DISABLE);
  EXPECT_EQ(ReadLog(), (Lines{"EdSetBacklightBright 20", "EdMrSensorEnable"}));
}

TEST_F(DimmerlyTest, FaultInsideTheLibraryIsContained) {
  // The first brightness call faults; the program carries on and later
  // calls, that export's included, work.
  SetEnvironmentVariableW(L"SHARPLIB_FAULT", L"EdSetBacklightBright");
  SetEnvironmentVariableW(L"SHARPLIB_FAULT_COUNT", L"1");
  RunToEnd(L"/blbright:2 /mrsensor:1 /blbright:4 /suspend:300");
  EXPECT_EQ(ReadLog(), (Lines{"EdMrSensorEnable", "EdSetBacklightBright 80"}));
  EXPECT_EQ(ReadTimeouts(), TimeoutsFor(298));

  // Every call of a faulting export is contained, not only the first.
  SetEnvironmentVariableW(L"SHARPLIB_FAULT_COUNT", NULL);
  DeleteFileW(LOG.c_str());
  RunToEnd(L"/blbright:2 /blbright:3 /mrsensor:0");
  EXPECT_EQ(ReadLog(), (Lines{"EdMrSensorDisable"}));
}

TEST_F(DimmerlyTest, DialogControlsMakeTheirCalls) {
  wd::Program program;
  ASSERT_TRUE(program.Start(PlaceProgram(WITH_LIBRARY), L"", ROOT));
  HWND dialog = wd::WaitForDialog(L"Dimmerly", WAIT_MS);
  ASSERT_NE(dialog, (HWND)NULL);
  ASSERT_TRUE(wd::WaitUntilShown(dialog, WAIT_MS));

  // As it opens: nothing checked, the first entries chosen, nothing applied.
  HWND mrSensor = GetDlgItem(dialog, 1000), keep = GetDlgItem(dialog, 1001);
  HWND brightness = GetDlgItem(dialog, 1002), timeout = GetDlgItem(dialog, 1003);
  EXPECT_EQ(wd::WindowText(mrSensor), L"Enable MR sensor");
  EXPECT_EQ(wd::WindowText(keep), L"Keep LCD backlight brightness");
  EXPECT_EQ(wd::CheckState(mrSensor), BST_UNCHECKED);
  EXPECT_EQ(wd::CheckState(keep), BST_UNCHECKED);
  EXPECT_EQ(wd::ListEntries(brightness),
            (std::vector<std::wstring>{L"1 (Lowest)", L"2", L"3", L"4", L"5 (Highest)"}));
  EXPECT_EQ(wd::ListEntries(timeout), (std::vector<std::wstring>{L"3 minutes", L"5 minutes",
                                                                 L"10 minutes", L"20 minutes",
                                                                 L"Never"}));
  EXPECT_EQ(wd::Selection(brightness), 0);
  EXPECT_EQ(wd::Selection(timeout), 0);
  EXPECT_TRUE(ReadLog().empty());
  EXPECT_TRUE(ReadTimeouts().empty());

  wd::Click(mrSensor);
  wd::Click(mrSensor);
  EXPECT_EQ(WaitForLog(2, WAIT_MS), (Lines{"EdMrSensorEnable", "EdMrSensorDisable"}));

  const int levels[] = {20, 40, 60, 80, 100};
  for (int i = 0; i < 5; ++i) {
    wd::Choose(dialog, 1002, i);
    const Lines log = WaitForLog(3 + i, WAIT_MS);
    ASSERT_EQ(log.size(), 3u + i);
    EXPECT_EQ(log.back(), "EdSetBacklightBright " + std::to_string(levels[i]));
  }

  const DWORD idle[] = {178, 298, 598, 1198, 2147483645};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    wd::Choose(dialog, 1003, i);
    EXPECT_EQ(ReadTimeouts(), TimeoutsFor(idle[i]));
    EXPECT_TRUE(ReloadWasSignalled());
  }

  // Enter and Esc reach the dialog manager and close nothing.
  wd::PostKey(dialog, VK_RETURN);
  wd::PostKey(dialog, VK_ESCAPE);
  DWORD exitCode = 1;
  EXPECT_FALSE(program.WaitForExit(500, &exitCode));
  EXPECT_TRUE(IsWindowVisible(dialog));

  // With keeping off, the caption's close ends the program.
  wd::CloseByCaption(dialog);
  ASSERT_TRUE(program.WaitForExit(WAIT_MS, &exitCode));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(ReadLog().size(), 7u);  // nothing more was called on the way out
}

TEST_F(DimmerlyTest, KeepingHidesAndReappliesUntilShownAndClosed) {
  wd::Program first;
  ASSERT_TRUE(first.Start(PlaceProgram(WITH_LIBRARY), L"/keepbl:1 /blbright:5", ROOT));
  HWND dialog = wd::WaitForDialog(L"Dimmerly", WAIT_MS);
  ASSERT_NE(dialog, (HWND)NULL);
  EXPECT_EQ(WaitForLog(1, WAIT_MS), (Lines{"EdSetBacklightBright 100"}));

  // Hidden from the start, and it stays hidden once the queue is idle.
  Sleep(1000);
  wd::Settle(dialog, 0);
  EXPECT_FALSE(IsWindowVisible(dialog));
  DWORD exitCode = 1;
  EXPECT_FALSE(first.WaitForExit(0, &exitCode));

  // The timer's handler, through posted WM_TIMER messages: only timer 1 acts.
  PostMessageW(dialog, WM_TIMER, 1, 0);
  PostMessageW(dialog, WM_TIMER, 2, 0);
  PostMessageW(dialog, WM_TIMER, 1, 0);
  wd::Settle(dialog, 3);
  EXPECT_EQ(ReadLog(), Lines(3, "EdSetBacklightBright 100"));

  // And one real tick of the 10-second timer.
  EXPECT_EQ(WaitForLog(4, 15000), Lines(4, "EdSetBacklightBright 100"));

  // A second launch shows the first instance and does nothing else.
  RunToEnd(L"/blbright:1 /suspend:180");
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_TRUE(ReadTimeouts().empty());
  for (const std::string& line : ReadLog()) EXPECT_EQ(line, "EdSetBacklightBright 100");

  // Its keep box does not show the switch's state: the first click checks
  // it (keeping stays on), the second turns keeping off.
  HWND keep = GetDlgItem(dialog, 1001);
  EXPECT_EQ(wd::CheckState(keep), BST_UNCHECKED);
  wd::Click(keep);
  EXPECT_EQ(wd::CheckState(keep), BST_CHECKED);
  wd::CloseByCaption(dialog);
  wd::Settle(dialog, 1);
  EXPECT_FALSE(IsWindowVisible(dialog));
  EXPECT_FALSE(first.WaitForExit(300, &exitCode));

  RunToEnd(L"");  // shows it again
  EXPECT_TRUE(IsWindowVisible(dialog));
  wd::Click(keep);
  EXPECT_EQ(wd::CheckState(keep), BST_UNCHECKED);
  wd::CloseByCaption(dialog);
  ASSERT_TRUE(first.WaitForExit(WAIT_MS, &exitCode));
  EXPECT_EQ(exitCode, 0u);
}

TEST_F(DimmerlyTest, KeepingWithoutALevelAppliesZero) {
  wd::Program program;
  ASSERT_TRUE(program.Start(PlaceProgram(WITH_LIBRARY), L"/keepbl:1", ROOT));
  HWND dialog = wd::WaitForDialog(L"Dimmerly", WAIT_MS);
  ASSERT_NE(dialog, (HWND)NULL);
  PostMessageW(dialog, WM_TIMER, 1, 0);
  wd::Settle(dialog, 1);
  EXPECT_EQ(ReadLog(), (Lines{"EdSetBacklightBright 0"}));
  // The program has no way to end by itself now; the driver ends it.
}

TEST(PowerDialogTemplate, AsCompiled) {
  using dialog_template::Control;
  const dialog_template::Template t = dialog_template::Read(
      wd::ProgramFolder() + L"dimmerly.exe", 129, MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
  ASSERT_TRUE(t.found) << "no Japanese dialog 129";
  EXPECT_EQ(t.style, 0x00C80040u);
  EXPECT_EQ(t.exStyle, 0u);
  EXPECT_EQ(t.x, 0);
  EXPECT_EQ(t.y, 0);
  EXPECT_EQ(t.cx, 195);
  EXPECT_EQ(t.cy, 81);
  EXPECT_EQ(t.menu, L"");
  EXPECT_EQ(t.cls, L"");
  EXPECT_EQ(t.caption, L"Dimmerly");
  EXPECT_EQ(t.pointSize, 9);
  EXPECT_EQ(t.font, L"MS UI Gothic");
  const std::vector<Control> expected = {
      {1000, L"BUTTON", L"Enable MR sensor", 6, 6, 186, 12, 0x50010003},
      {1001, L"BUTTON", L"Keep LCD backlight brightness", 6, 24, 186, 12, 0x50010003},
      {0xFFFF, L"STATIC", L"LCD backlight brightness", 6, 42, 90, 12, 0x50020000},
      {1002, L"COMBOBOX", L"", 102, 42, 90, 60, 0x50210003},
      {0xFFFF, L"STATIC", L"Auto power off timeout", 6, 60, 90, 12, 0x50020000},
      {1003, L"COMBOBOX", L"", 102, 60, 90, 60, 0x50210003},
  };
  EXPECT_EQ(t.controls, expected);
}

}  // namespace
