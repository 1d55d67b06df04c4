// A window driver for end-to-end tests of the device programs under Wine:
// starts a program, watches its top-level windows, reads and answers its
// message boxes, and reads the texts of its controls.
#ifndef TESTS_WINDOW_DRIVER_H_
#define TESTS_WINDOW_DRIVER_H_

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

namespace window_driver {

/// A message box as the user saw it.
struct ShownBox {
  std::wstring caption;
  std::wstring text;
  std::vector<int> buttons;  // control ids of the visible buttons, left to right
  int defaultButton = 0;     // id of the button drawn as the default, or 0
  bool hasIcon = false;

  bool operator==(const ShownBox& other) const {
    return caption == other.caption && text == other.text && buttons == other.buttons &&
           defaultButton == other.defaultButton && hasIcon == other.hasIcon;
  }
};

/// Printable form of a box for test failure messages.
std::string Describe(const ShownBox& box);

/// Lets GoogleTest print a box as Describe does.
inline void PrintTo(const ShownBox& box, std::ostream* out) { *out << Describe(box); }

/// A program started for a test. The destructor ends it if it still runs.
class Program {
 public:
  Program() = default;
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  /// Starts `path` with `arguments` (the command line after the program
  /// name) in the working folder `folder`. False when it cannot be started.
  bool Start(const std::wstring& path, const std::wstring& arguments, const std::wstring& folder);

  /// Visible top-level windows of the program.
  std::vector<HWND> TopLevelWindows() const;

  /// Waits up to `timeoutMs` for a message box not reported before; false
  /// when none came or the program ended first. Every box found is recorded.
  bool WaitForMessageBox(HWND* hwnd, ShownBox* box, DWORD timeoutMs);

  /// Presses the button `id` of a shown box and waits until the box is gone.
  bool Press(HWND box, int id, DWORD timeoutMs);

  /// Closes a shown box without pressing a button, as its close button or
  /// Alt+F4 would (WM_CLOSE), and waits until the box is gone.
  bool Close(HWND box, DWORD timeoutMs);

  /// Waits for the program to end; false on timeout.
  bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);

  /// Every message box shown so far, in order.
  const std::vector<ShownBox>& Shown() const { return shown_; }

 private:
  PROCESS_INFORMATION process_ = {};
  std::vector<HWND> seen_;
  std::vector<ShownBox> shown_;
};

/// The outcome of a run answered by a script.
struct Run {
  bool started = false;
  bool ended = false;  // false: it timed out and was ended by the driver
  DWORD exitCode = 0;
  std::vector<ShownBox> boxes;
};

/// Runs a program and answers its message boxes in order with `answers`
/// (button ids). A box beyond the script is recorded and answered with its
/// first button, so the run still ends. Each wait lasts at most `timeoutMs`.
Run RunAnswering(const std::wstring& path, const std::wstring& arguments,
                 const std::wstring& folder, const std::vector<int>& answers,
                 DWORD timeoutMs = 20000);

/// Text of a window of any process.
std::wstring WindowText(HWND hwnd);

/// Waits up to `timeoutMs` for a top-level dialog with `caption`, shown or
/// hidden, of any process; NULL when none came.
HWND WaitForDialog(const std::wstring& caption, DWORD timeoutMs);

/// Waits up to `timeoutMs` until `window` is visible. A modal dialog is
/// shown once its initialisation is over, so this also waits for that.
bool WaitUntilShown(HWND window, DWORD timeoutMs);

/// BM_GETCHECK of a check box.
int CheckState(HWND button);

/// Clicks a button as the mouse would (BM_CLICK), and waits until handled.
void Click(HWND button);

/// Clicks a button without waiting: for a button whose handler runs a
/// modal dialog of its own.
void PostClick(HWND button);

/// The window that has the keyboard focus in `window`'s thread.
HWND FocusOf(HWND window);

/// Waits up to `timeoutMs` until the focus is on `window` or one of its
/// controls (a dialog sets it during its initialisation); NULL on timeout.
HWND WaitForFocus(HWND window, DWORD timeoutMs);

/// The entries of a combo box's list, in order, and its selection.
std::vector<std::wstring> ListEntries(HWND combo);
int Selection(HWND combo);

/// Chooses entry `index` of combo box `id` of `dialog` as the user would:
/// the selection moves and the dialog gets CBN_SELCHANGE.
void Choose(HWND dialog, int id, int index);

/// Posts a key press (down and up) to `window` through its message queue,
/// where the dialog manager sees it.
void PostKey(HWND window, UINT virtualKey);

/// Asks a window to close as its caption's close button does.
void CloseByCaption(HWND window);

/// Waits until the `posted` messages last posted to `window`'s thread have
/// been handled.
void Settle(HWND window, int posted);

/// Class name of a window.
std::wstring ClassName(HWND hwnd);

/// The folder that holds the running test program, with a trailing '\'.
std::wstring ProgramFolder();

}  // namespace window_driver

#endif  // TESTS_WINDOW_DRIVER_H_
