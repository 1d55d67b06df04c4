// keepsake end to end under Wine: the real program and the stand-in
// coredll.dll, copied into a scratch folder of drive C:, save and load the
// real registry of a prefix of their own, driven through their message boxes
// by the window driver.
//
// The registry roots cannot be set aside for a test, so each test puts small
// marker trees of its own into HKCR, HKCU and HKLM, finds them in the saved
// files, removes them and checks that a load brings them back.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_files.h"
#include "window_driver.h"

using window_driver::ShownBox;

namespace {

const std::wstring FOLDER = L"C:\\kstest";
const std::wstring PROGRAM = FOLDER + L"\\keepsake.exe";
const std::wstring DATA = FOLDER + L"\\Keepsake";
// The stand-in's state and call log, outside the data folder.
const std::wstring CORE_STATE = FOLDER + L"\\core-state.txt";
const std::wstring CORE_LOG = FOLDER + L"\\core-log.txt";
// Every run starts in another folder than the program's: the data folder
// lies beside the program, wherever it was started from.
const std::wstring WORKING_FOLDER = L"C:\\";
const std::wstring ROOT_DATA = L"C:\\Keepsake";

// Long enough for a save of HKLM between two boxes.
const DWORD WAIT_MS = 120000;

const std::vector<int> YES_NO_CANCEL = {IDYES, IDNO, IDCANCEL};
const std::vector<int> OK_ONLY = {IDOK};

const ShownBox QUESTION{L"Keepsake for SHARP Brain",
                        L"Yes: Save settings (overwrite)\nNo: Load settings", YES_NO_CANCEL,
                        IDCANCEL, false};
// Every other box: no caption, one OK button, no icon.
const ShownBox FAILED_CR{L"", L"Failed: HKCR -> cr.dat", OK_ONLY, IDOK, false};
const ShownBox FAILED_CU{L"", L"Failed: HKCU -> cu.dat", OK_ONLY, IDOK, false};
const ShownBox FAILED_LM{L"", L"Failed: HKLM -> lm.dat", OK_ONLY, IDOK, false};
const ShownBox FAILED_CP{L"", L"Failed: Control Panel -> cp.dat", OK_ONLY, IDOK, false};
const ShownBox FINISHED{L"", L"Finished", OK_ONLY, IDOK, false};

// The files of the data folder in the order of a save and a load.
enum FileIndex { CR, CU, LM, CP, FILE_COUNT };
const wchar_t* const FILE_NAMES[FILE_COUNT] = {L"cr.dat", L"cu.dat", L"lm.dat", L"cp.dat"};
const ShownBox* const FAILURES[FILE_COUNT] = {&FAILED_CR, &FAILED_CU, &FAILED_LM, &FAILED_CP};

// An answer that closes a box through WM_CLOSE instead of a button.
const int CLOSE_BOX = 0;

// ---------------------------------------------------------------------------
// Text for failure messages

std::string Printable(const wchar_t* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    const unsigned c = static_cast<unsigned>(text[i]) & 0xFFFF;
    if (c >= 0x20 && c < 0x7F && c != '%') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "%%%04X", c);
      out += escaped;
    }
  }
  return out;
}

std::string Printable(const std::wstring& text) { return Printable(text.data(), text.size()); }

std::string Hex(const void* bytes, size_t size) {
  std::string out;
  char two[3];
  for (size_t i = 0; i < size; ++i) {
    snprintf(two, sizeof two, "%02x", static_cast<const BYTE*>(bytes)[i]);
    out += two;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Files

using test_files::FileContent;
using test_files::Noise;
using test_files::ReadWholeFile;
using test_files::RemoveTree;

void PutFile(const std::wstring& path, const std::string& content) {
  ASSERT_TRUE(test_files::WriteWholeFile(path, content)) << "cannot create " << Printable(path);
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The entries of a folder: file names mapped to contents, folders to
// "<folder>" (their contents not read).
using Folder = std::map<std::wstring, std::string>;

Folder Snapshot(const std::wstring& path) {
  Folder folder;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return folder;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    folder[name] = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                       ? "<folder>"
                       : FileContent(path + L"\\" + name);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return folder;
}

std::string Names(const Folder& folder) {
  std::string names;
  for (const auto& entry : folder) names += " " + Printable(entry.first);
  return names.empty() ? " (none)" : names;
}

// Names of the entries that differ between two snapshots, or "".
std::string Differences(const Folder& actual, const Folder& expected) {
  std::string names;
  for (const auto& entry : expected) {
    const auto found = actual.find(entry.first);
    if (found == actual.end() || found->second != entry.second) {
      names += " " + Printable(entry.first);
    }
  }
  for (const auto& entry : actual) {
    if (!expected.count(entry.first)) names += " +" + Printable(entry.first);
  }
  return names;
}

void PutFolder(const std::wstring& path, const Folder& folder) {
  CreateDirectoryW(path.c_str(), NULL);
  for (const auto& entry : folder) PutFile(path + L"\\" + entry.first, entry.second);
}

// ---------------------------------------------------------------------------
// Registry trees as sets of lines, one per key and per value:
//   key <path> class <class>
//   value <path> : <name> type <type> data <hex>
// Paths are relative to the root, components joined by '\'.

using Lines = std::set<std::string>;

std::string KeyLine(const std::wstring& path, const std::wstring& keyClass) {
  return "key " + Printable(path) + " class " + Printable(keyClass);
}

std::string ValueLine(const std::wstring& path, const wchar_t* name, size_t nameLength,
                      DWORD type, const BYTE* data, size_t size) {
  char typeText[12];
  snprintf(typeText, sizeof typeText, "%lx", static_cast<unsigned long>(type));
  return "value " + Printable(path) + " : " + Printable(name, nameLength) + " type " + typeText +
         " data " + Hex(data, size);
}

// The values and subkeys of `key`, to any depth; the caller writes the
// line of `key` itself.
void ReadRegistryTree(HKEY key, const std::wstring& path, Lines* lines) {
  DWORD subkeys = 0, maxSubkey = 0, maxClass = 0, values = 0, maxName = 0, maxData = 0;
  ASSERT_EQ(RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, &maxSubkey, &maxClass, &values,
                             &maxName, &maxData, NULL, NULL),
            ERROR_SUCCESS);
  std::vector<wchar_t> name(std::max(maxName, maxSubkey) + 1);
  std::vector<wchar_t> childClass(maxClass + 1);
  std::vector<BYTE> data(maxData + 1);
  for (DWORD i = 0; i < values; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size()), size = maxData, type = 0;
    ASSERT_EQ(RegEnumValueW(key, i, name.data(), &nameLength, NULL, &type, data.data(), &size),
              ERROR_SUCCESS);
    lines->insert(ValueLine(path, name.data(), nameLength, type, data.data(), size));
  }
  for (DWORD i = 0; i < subkeys; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD classLength = static_cast<DWORD>(childClass.size());
    ASSERT_EQ(RegEnumKeyExW(key, i, name.data(), &nameLength, NULL, childClass.data(),
                            &classLength, NULL),
              ERROR_SUCCESS);
    const std::wstring childPath = path + L"\\" + std::wstring(name.data(), nameLength);
    lines->insert(KeyLine(childPath, std::wstring(childClass.data(), classLength)));
    HKEY child;
    ASSERT_EQ(RegOpenKeyExW(key, name.data(), 0, KEY_READ, &child), ERROR_SUCCESS);
    ReadRegistryTree(child, childPath, lines);
    RegCloseKey(child);
  }
}

// The tree at `path` of `root`; empty when the key does not exist. The top
// key's line has no class: a dump holds a key's class in its parent's dump.
Lines RegistryTree(HKEY root, const std::wstring& path) {
  Lines lines;
  HKEY key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return lines;
  lines.insert("key " + Printable(path));
  ReadRegistryTree(key, path, &lines);
  RegCloseKey(key);
  return lines;
}

// The lines of `all` at `path` and below, with the top key's class left out.
Lines Subtree(const Lines& all, const std::wstring& path) {
  const std::string top = "key " + Printable(path);
  const std::string keyPrefix = top + "\\";
  const std::string valuePrefix = "value " + Printable(path);
  Lines lines;
  for (const std::string& line : all) {
    if (line.compare(0, top.size() + 7, top + " class ") == 0) {
      lines.insert(top);
    } else if (line.compare(0, keyPrefix.size(), keyPrefix) == 0 ||
               (line.compare(0, valuePrefix.size(), valuePrefix) == 0 &&
                (line[valuePrefix.size()] == '\\' || line[valuePrefix.size()] == ' '))) {
      lines.insert(line);
    }
  }
  return lines;
}

void ExpectSameLines(const Lines& actual, const Lines& expected, const char* what) {
  std::string missing, extra;
  for (const std::string& line : expected) {
    if (!actual.count(line)) missing += "\n  - " + line;
  }
  for (const std::string& line : actual) {
    if (!expected.count(line)) extra += "\n  + " + line;
  }
  EXPECT_TRUE(missing.empty() && extra.empty()) << what << ":" << missing << extra;
}

// ---------------------------------------------------------------------------
// The hive dump, read independently of the program: a whole file must be one
// well-formed key dump that ends exactly at the end of the file.

class DumpReader {
 public:
  explicit DumpReader(const std::string& bytes) : bytes_(bytes) {}

  bool AtEnd() const { return at_ == bytes_.size(); }
  bool Failed() const { return failed_; }
  size_t Offset() const { return at_; }

  BYTE Byte() {
    if (failed_ || bytes_.size() - at_ < 1) return Fail<BYTE>();
    return static_cast<BYTE>(bytes_[at_++]);
  }
  DWORD Dword() {
    DWORD value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<DWORD>(Byte()) << (8 * i);
    return value;
  }
  std::wstring Chars(DWORD count) {
    std::wstring text;
    if (failed_ || (bytes_.size() - at_) / 2 < count) return Fail<std::wstring>();
    for (DWORD i = 0; i < count; ++i) {
      text += static_cast<wchar_t>(static_cast<BYTE>(bytes_[at_]) |
                                   (static_cast<BYTE>(bytes_[at_ + 1]) << 8));
      at_ += 2;
    }
    return text;
  }
  std::string Bytes(DWORD count) {
    if (failed_ || bytes_.size() - at_ < count) return Fail<std::string>();
    at_ += count;
    return bytes_.substr(at_ - count, count);
  }
  void Fail() { failed_ = true; }

 private:
  template <typename T>
  T Fail() {
    failed_ = true;
    return T();
  }

  const std::string& bytes_;
  size_t at_ = 0;
  bool failed_ = false;
};

// One key dump: header, records, end marker. Each length must stay within
// the header's maximum, as the reader of the program relies on.
void ReadKeyDump(DumpReader* in, const std::wstring& path, const std::wstring& keyClass,
                 Lines* lines) {
  lines->insert(KeyLine(path, keyClass));
  const DWORD maxSubkey = in->Dword(), maxClass = in->Dword(), maxName = in->Dword(),
              maxData = in->Dword();
  for (;;) {
    const BYTE tag = in->Byte();
    if (in->Failed() || tag == 0) return;
    if (tag == 2) {
      const DWORD nameLength = in->Dword();
      const std::wstring name = in->Chars(nameLength);
      const DWORD type = in->Dword();
      const DWORD size = in->Dword();
      const std::string data = in->Bytes(size);
      if (nameLength > maxName || size > maxData) in->Fail();
      if (in->Failed()) return;
      lines->insert(ValueLine(path, name.data(), name.size(), type,
                              reinterpret_cast<const BYTE*>(data.data()), data.size()));
    } else if (tag == 1) {
      const DWORD nameLength = in->Dword();
      const std::wstring name = in->Chars(nameLength);
      const DWORD classLength = in->Dword();
      const std::wstring childClass = in->Chars(classLength);
      if (nameLength > maxSubkey || classLength > maxClass) in->Fail();
      if (in->Failed()) return;
      ReadKeyDump(in, path.empty() ? name : path + L"\\" + name, childClass, lines);
    } else {
      in->Fail();  // a file of the program holds no other tag
      return;
    }
  }
}

// Every key and value of a saved root; false when the file is not one
// complete key dump.
bool ReadDump(const std::wstring& path, Lines* lines, std::string* why) {
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) {
    *why = "missing";
    return false;
  }
  DumpReader in(bytes);
  ReadKeyDump(&in, L"", L"", lines);
  if (in.Failed() || !in.AtEnd()) {
    *why = "not one complete key dump (stops at byte " + std::to_string(in.Offset()) + " of " +
           std::to_string(bytes.size()) + ")";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Marker trees: one per root, with values of many types, a class, nesting,
// an empty key and a value larger than the write buffer.

struct Marker {
  HKEY root;
  const wchar_t* path;
  FileIndex file;  // the file whose dump must hold it
};
// In the order of FileIndex: MARKERS[CU] is the one in cu.dat.
const Marker MARKERS[] = {
    {HKEY_CLASSES_ROOT, L"KeepsakeProgramTest", CR},
    {HKEY_CURRENT_USER, L"Software\\KeepsakeProgramTest", CU},
    {HKEY_LOCAL_MACHINE, L"Software\\KeepsakeProgramTest", LM},
};

void SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, size_t size) {
  ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data),
                           static_cast<DWORD>(size)),
            ERROR_SUCCESS)
      << Printable(name, wcslen(name));
}

HKEY CreateKey(HKEY parent, const std::wstring& path, const wchar_t* keyClass) {
  HKEY key = NULL;
  EXPECT_EQ(RegCreateKeyExW(parent, path.c_str(), 0, const_cast<wchar_t*>(keyClass), 0,
                            KEY_ALL_ACCESS, NULL, &key, NULL),
            ERROR_SUCCESS)
      << Printable(path);
  return key;
}

// `generation` goes into the data, so that two saves of different
// generations differ.
void PutMarker(const Marker& marker, DWORD generation) {
  HKEY key = CreateKey(marker.root, marker.path, NULL);
  ASSERT_NE(key, (HKEY)NULL);
  const wchar_t text[] = L"marker default";
  SetValue(key, L"", REG_SZ, text, sizeof text);
  SetValue(key, L"dword", REG_DWORD, &generation, 4);
  const BYTE binary[] = {0, 1, 0xFF, 0xDD, static_cast<BYTE>(generation)};
  SetValue(key, L"binary", REG_BINARY, binary, sizeof binary);
  SetValue(key, L"empty", REG_BINARY, NULL, 0);
  const wchar_t multi[] = L"one\0two\0";
  SetValue(key, L"multi", REG_MULTI_SZ, multi, sizeof multi);
  const wchar_t expand[] = L"%SystemRoot%\\\u8F9E\u66F8";
  SetValue(key, L"\u8F9E\u66F8 a\\b", REG_EXPAND_SZ, expand, sizeof expand);
  const unsigned long long qword = 0x0123456789ABCDEFull + generation;
  SetValue(key, L"qword", REG_QWORD, &qword, 8);
  SetValue(key, L"odd type", 0x12345678, "abc", 3);
  const std::string big = Noise(100000, generation);
  SetValue(key, L"big", REG_BINARY, big.data(), big.size());
  HKEY sub = CreateKey(key, L"Sub", L"marker class");
  const wchar_t deep[] = L"deep value";
  SetValue(sub, L"deep", REG_SZ, deep, sizeof deep);
  HKEY deeper = CreateKey(sub, L"Deeper", NULL);
  SetValue(deeper, L"x", REG_DWORD, &generation, 4);
  HKEY empty = CreateKey(key, L"Empty", NULL);
  RegCloseKey(empty);
  RegCloseKey(deeper);
  RegCloseKey(sub);
  RegCloseKey(key);
}

void PutMarkers(DWORD generation) {
  for (const Marker& marker : MARKERS) PutMarker(marker, generation);
}

void RemoveMarkers() {
  for (const Marker& marker : MARKERS) RegDeleteTreeW(marker.root, marker.path);
}

struct MarkerTrees {
  Lines trees[3];
};

MarkerTrees ReadMarkers() {
  MarkerTrees markers;
  for (int i = 0; i < 3; ++i) markers.trees[i] = RegistryTree(MARKERS[i].root, MARKERS[i].path);
  return markers;
}

// ---------------------------------------------------------------------------
// The control-panel record: the keyboard values, the stand-in's memory
// division and word-4 setting, Wine's system colours.

const wchar_t KEYBOARD[] = L"ControlPanel\\Keybd";
const wchar_t* const KEYBOARD_VALUES[] = {L"DispDly", L"InitialDelay", L"RepeatRate"};

struct Keyboard {
  DWORD values[3];
};

void SetKeyboard(const Keyboard& keyboard) {
  HKEY key = CreateKey(HKEY_CURRENT_USER, KEYBOARD, NULL);
  ASSERT_NE(key, (HKEY)NULL);
  for (int i = 0; i < 3; ++i) SetValue(key, KEYBOARD_VALUES[i], REG_DWORD, &keyboard.values[i], 4);
  RegCloseKey(key);
}

Keyboard ReadKeyboard() {
  Keyboard keyboard = {{0xDDDDDDDD, 0xDDDDDDDD, 0xDDDDDDDD}};
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, KEYBOARD, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return keyboard;
  }
  for (int i = 0; i < 3; ++i) {
    DWORD size = 4, type = 0;
    RegQueryValueExW(key, KEYBOARD_VALUES[i], NULL, &type, (BYTE*)&keyboard.values[i], &size);
  }
  RegCloseKey(key);
  return keyboard;
}

bool operator==(const Keyboard& a, const Keyboard& b) {
  return a.values[0] == b.values[0] && a.values[1] == b.values[1] && a.values[2] == b.values[2];
}

struct CoreState {
  DWORD storagePages, ramPages, pageSize, word4;
};

void PutCoreState(const CoreState& state) {
  char text[200];
  snprintf(text, sizeof text, "storage_pages=%lu\nram_pages=%lu\npage_size=%lu\nword4=%lu\n",
           (unsigned long)state.storagePages, (unsigned long)state.ramPages,
           (unsigned long)state.pageSize, (unsigned long)state.word4);
  PutFile(CORE_STATE, text);
}

// The 136 bytes a save must write for these settings.
std::string ExpectedRecord(const CoreState& state, const Keyboard& keyboard) {
  std::vector<DWORD> words = {state.storagePages * state.pageSize, keyboard.values[0],
                              keyboard.values[1], keyboard.values[2], state.word4};
  for (int i = 0; i < 29; ++i) words.push_back(GetSysColor(i));
  std::string bytes;
  for (DWORD word : words) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(word >> (8 * i));
  }
  return bytes;
}

const CoreState SAVED_STATE = {3000, 5000, 4096, 0x1234};
const Keyboard SAVED_KEYBOARD = {{2, 500, 33}};
// What a test changes between a save and a load.
const CoreState LATER_STATE = {1000, 7000, 1024, 77};
const Keyboard LATER_KEYBOARD = {{9, 9, 9}};

// The stand-in's log of a load of SAVED_STATE's record into LATER_STATE.
std::string ExpectedLoadLog() {
  return "SetSystemMemoryDivision " +
         std::to_string(SAVED_STATE.storagePages * SAVED_STATE.pageSize / LATER_STATE.pageSize) +
         "\nOrdinal716 2\nOrdinal1795 " + std::to_string(SAVED_STATE.word4) + "\n";
}

// ---------------------------------------------------------------------------
// Running the program

// MB_TOPMOST is not checked: Wine's message boxes ignore it (they are
// topmost only with MB_SYSTEMMODAL).
struct Outcome {
  std::vector<ShownBox> boxes;
};

// Runs the program and answers its boxes in order (button ids, or CLOSE_BOX);
// a box beyond the answers is answered with its first button. Every run must
// end by itself with exit code 0.
Outcome RunProgram(const std::wstring& program, const std::wstring& arguments,
                   const std::vector<int>& answers) {
  Outcome outcome;
  window_driver::Program run;
  if (!run.Start(program, arguments, WORKING_FOLDER)) {
    ADD_FAILURE() << "cannot start " << Printable(program);
    return outcome;
  }
  HWND hwnd;
  ShownBox box;
  size_t next = 0;
  while (run.WaitForMessageBox(&hwnd, &box, WAIT_MS)) {
    const int answer = next < answers.size() ? answers[next] : box.buttons.front();
    ++next;
    const bool gone =
        answer == CLOSE_BOX ? run.Close(hwnd, WAIT_MS) : run.Press(hwnd, answer, WAIT_MS);
    if (!gone) {
      ADD_FAILURE() << "the box stays: " << window_driver::Describe(box);
      break;
    }
  }
  DWORD exitCode = 255;
  EXPECT_TRUE(run.WaitForExit(WAIT_MS, &exitCode)) << "keepsake did not end";
  EXPECT_EQ(exitCode, 0u);
  outcome.boxes = run.Shown();
  return outcome;
}

Outcome Keepsake(const std::wstring& arguments, const std::vector<int>& answers = {}) {
  return RunProgram(PROGRAM, arguments, answers);
}

void ExpectBoxes(const Outcome& outcome, const std::vector<ShownBox>& expected) {
  ASSERT_EQ(outcome.boxes.size(), expected.size()) << [&] {
    std::string all;
    for (const ShownBox& box : outcome.boxes) all += "\n  " + window_driver::Describe(box);
    return "boxes shown:" + (all.empty() ? std::string(" none") : all);
  }();
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(outcome.boxes[i], expected[i])
        << "box " << i << ": " << window_driver::Describe(outcome.boxes[i]);
  }
}

bool CopyProgram(const std::wstring& folder) {
  const std::wstring from = window_driver::ProgramFolder();
  return CopyFileW((from + L"keepsake.exe").c_str(), (folder + L"\\keepsake.exe").c_str(),
                   FALSE) &&
         CopyFileW((from + L"coredll.dll").c_str(), (folder + L"\\coredll.dll").c_str(), FALSE);
}

std::wstring DataPath(FileIndex file, const std::wstring& data = DATA) {
  return data + L"\\" + FILE_NAMES[file];
}

// A complete save into `data` of the state the test set up: complete key
// dumps that hold their root's marker as it stands in the registry, and the
// record of `state` and `keyboard`, for `files`; no temporary file is left
// (but `blocked`, a folder a test put in the way).
void ExpectSaved(const std::wstring& data, const CoreState& state, const Keyboard& keyboard,
                 const std::vector<FileIndex>& files = {CR, CU, LM, CP},
                 const std::wstring& blocked = L"") {
  const MarkerTrees markers = ReadMarkers();
  for (FileIndex file : files) {
    SCOPED_TRACE(Printable(FILE_NAMES[file]));
    if (file == CP) {
      const std::string record = FileContent(DataPath(CP, data));
      const std::string expected = ExpectedRecord(state, keyboard);
      EXPECT_EQ(Hex(record.data(), record.size()), Hex(expected.data(), expected.size()));
      continue;
    }
    Lines lines;
    std::string why;
    ASSERT_TRUE(ReadDump(DataPath(file, data), &lines, &why)) << why;
    for (int i = 0; i < 3; ++i) {
      if (MARKERS[i].file != file) continue;
      ASSERT_FALSE(markers.trees[i].empty());
      ExpectSameLines(Subtree(lines, MARKERS[i].path), markers.trees[i], "marker in the dump");
    }
  }
  for (const auto& entry : Snapshot(data)) {
    const std::wstring& name = entry.first;
    if (data + L"\\" + name == blocked) continue;
    EXPECT_FALSE(name.size() > 4 && name.compare(name.size() - 4, 4, L".new") == 0)
        << "a temporary file is left: " << Printable(name);
  }
}

class KeepsakeProgramTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    CreateDirectoryW(FOLDER.c_str(), NULL);
    ASSERT_TRUE(CopyProgram(FOLDER)) << "keepsake.exe and coredll.dll must be beside the test";
    SetEnvironmentVariableW(L"CORESIM_STATE", CORE_STATE.c_str());
    SetEnvironmentVariableW(L"CORESIM_LOG", CORE_LOG.c_str());
  }

  void SetUp() override {
    Clean();
    PutCoreState(SAVED_STATE);
    SetKeyboard(SAVED_KEYBOARD);
  }

  void TearDown() override { Clean(); }

  static void Clean() {
    RemoveTree(DATA);
    RemoveTree(ROOT_DATA);
    DeleteFileW(CORE_STATE.c_str());
    DeleteFileW(CORE_LOG.c_str());
    RemoveMarkers();
  }

  // Everything a load must put back, changed after a save.
  void ChangeWhatALoadRestores() {
    RemoveMarkers();
    SetKeyboard(LATER_KEYBOARD);
    PutCoreState(LATER_STATE);
    DeleteFileW(CORE_LOG.c_str());
  }

  // The changes of ChangeWhatALoadRestores undone by a load: the markers as
  // `saved`, the keyboard values and the stand-in's calls of the record.
  void ExpectLoaded(const MarkerTrees& saved) {
    const MarkerTrees now = ReadMarkers();
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE(Printable(MARKERS[i].path, wcslen(MARKERS[i].path)));
      ExpectSameLines(now.trees[i], saved.trees[i], "marker after the load");
    }
    EXPECT_TRUE(ReadKeyboard() == SAVED_KEYBOARD);
    EXPECT_EQ(FileContent(CORE_LOG), ExpectedLoadLog());
  }

  // Nothing of ChangeWhatALoadRestores undone.
  void ExpectNotLoaded() {
    for (const Marker& marker : MARKERS) {
      EXPECT_TRUE(RegistryTree(marker.root, marker.path).empty())
          << Printable(marker.path, wcslen(marker.path));
    }
    EXPECT_TRUE(ReadKeyboard() == LATER_KEYBOARD);
    EXPECT_FALSE(Exists(CORE_LOG)) << FileContent(CORE_LOG);
  }
};

// ---------------------------------------------------------------------------

TEST_F(KeepsakeProgramTest, SwitchesSaveAndLoadSilently) {
  // Either letter case, a save and then a load.
  const struct {
    const wchar_t* save;
    const wchar_t* load;
  } CASES[] = {{L"/s", L"/l"}, {L"/S", L"/L"}};
  for (const auto& c : CASES) {
    SCOPED_TRACE(Printable(c.save, wcslen(c.save)) + " then " + Printable(c.load, wcslen(c.load)));
    Clean();
    PutCoreState(SAVED_STATE);
    SetKeyboard(SAVED_KEYBOARD);
    PutMarkers(1);
    const MarkerTrees saved = ReadMarkers();

    ExpectBoxes(Keepsake(c.save), {});
    ExpectSaved(DATA, SAVED_STATE, SAVED_KEYBOARD);
    EXPECT_FALSE(Exists(ROOT_DATA)) << "a data folder in the working folder";
    const Folder files = Snapshot(DATA);
    EXPECT_EQ(files.size(), 4u) << Names(files);

    ChangeWhatALoadRestores();
    // A load adds and overwrites; a value it does not know stays.
    HKEY key = CreateKey(HKEY_CURRENT_USER, MARKERS[CU].path, NULL);
    SetValue(key, L"later", REG_DWORD, &SAVED_STATE.word4, 4);
    RegCloseKey(key);
    ExpectBoxes(Keepsake(c.load), {});
    MarkerTrees expected = saved;
    expected.trees[CU].insert(ValueLine(MARKERS[CU].path, L"later", 5, REG_DWORD,
                                        (const BYTE*)&SAVED_STATE.word4, 4));
    ExpectLoaded(expected);
    EXPECT_EQ(Differences(Snapshot(DATA), files), "") << "a load changed the data folder";
  }
}

TEST_F(KeepsakeProgramTest, SilentLoadWithoutDataFolderShowsNothing) {
  ChangeWhatALoadRestores();
  ExpectBoxes(Keepsake(L"/l"), {});
  EXPECT_FALSE(Exists(DATA)) << "a load made the data folder";
  ExpectNotLoaded();
}

TEST_F(KeepsakeProgramTest, AnyOtherCommandLineAsks) {
  // The switches are the whole command line: with a blank after it, quoted,
  // as a dash form, as a word or doubled, a switch asks. The C runtime
  // passes an unquoted trailing blank through to wWinMain.
  const wchar_t* const CASES[] = {L"",    L"/s ",   L"\"/s \"", L"\"/s\"", L"-s",
                                  L"/save", L"/s /l", L"/l /s",  L"/ls",    L"s",
                                  L"/l ",  L"-L"};
  for (const wchar_t* arguments : CASES) {
    SCOPED_TRACE("command line [" + Printable(arguments, wcslen(arguments)) + "]");
    ExpectBoxes(Keepsake(arguments, {IDCANCEL}), {QUESTION});
    EXPECT_FALSE(Exists(DATA)) << "a data folder after Cancel";
    EXPECT_FALSE(Exists(CORE_LOG)) << FileContent(CORE_LOG);
  }
}

TEST_F(KeepsakeProgramTest, YesSavesAndSaysOnlyFinished) {
  // A data folder with an older save of every file: all are replaced, and
  // an existing folder gets no message.
  CreateDirectoryW(DATA.c_str(), NULL);
  for (FileIndex file : {CR, CU, LM, CP}) PutFile(DataPath(file), "an older save");
  PutMarkers(2);
  ExpectBoxes(Keepsake(L"", {IDYES, IDOK}), {QUESTION, FINISHED});
  ExpectSaved(DATA, SAVED_STATE, SAVED_KEYBOARD);
  EXPECT_EQ(Snapshot(DATA).size(), 4u) << Names(Snapshot(DATA));
}

TEST_F(KeepsakeProgramTest, NoLoadsAndSaysOnlyFinished) {
  PutMarkers(3);
  const MarkerTrees saved = ReadMarkers();
  ExpectBoxes(Keepsake(L"/s"), {});
  const Folder files = Snapshot(DATA);
  ChangeWhatALoadRestores();
  ExpectBoxes(Keepsake(L"", {IDNO, IDOK}), {QUESTION, FINISHED});
  ExpectLoaded(saved);
  EXPECT_EQ(Differences(Snapshot(DATA), files), "") << "a load changed the data folder";
}

TEST_F(KeepsakeProgramTest, CancelOrCloseTouchesNothing) {
  const struct {
    const char* name;
    int answer;
  } CASES[] = {{"Cancel", IDCANCEL}, {"closed", CLOSE_BOX}};
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.name);
    // Without a data folder: none is made.
    RemoveTree(DATA);
    ChangeWhatALoadRestores();
    ExpectBoxes(Keepsake(L"", {c.answer}), {QUESTION});
    EXPECT_FALSE(Exists(DATA));

    // With a save in it: neither saved over nor loaded.
    PutMarkers(4);
    SetKeyboard(SAVED_KEYBOARD);
    PutCoreState(SAVED_STATE);
    ExpectBoxes(Keepsake(L"/s"), {});
    const Folder files = Snapshot(DATA);
    ASSERT_EQ(files.size(), 4u) << Names(files);
    ChangeWhatALoadRestores();
    ExpectBoxes(Keepsake(L"", {c.answer}), {QUESTION});
    EXPECT_EQ(Differences(Snapshot(DATA), files), "");
    ExpectNotLoaded();
  }
}

TEST_F(KeepsakeProgramTest, LoadWithoutDataFolderReportsEveryFile) {
  ChangeWhatALoadRestores();
  ExpectBoxes(Keepsake(L"", {IDNO}),
              {QUESTION, FAILED_CR, FAILED_CU, FAILED_LM, FAILED_CP, FINISHED});
  EXPECT_FALSE(Exists(DATA));
  ExpectNotLoaded();
}

TEST_F(KeepsakeProgramTest, FailedSaveStepKeepsItsOldFile) {
  // An older save of everything, then changed settings, so that every file
  // of the new save differs from the old one.
  PutMarkers(5);
  ExpectBoxes(Keepsake(L"/s"), {});
  const Folder old = Snapshot(DATA);
  ASSERT_EQ(old.size(), 4u) << Names(old);
  PutMarkers(6);
  const CoreState state = {SAVED_STATE.storagePages + 1, 1, SAVED_STATE.pageSize, 99};
  PutCoreState(state);

  // Real faults of the file system: a folder where the new file must be
  // written, or where the finished file must be moved.
  enum Fault { FOLDER_AT_NEW_FILE, FOLDER_AT_FILE };
  const struct {
    FileIndex file;
    Fault fault;
  } CASES[] = {
      {CR, FOLDER_AT_NEW_FILE}, {CU, FOLDER_AT_NEW_FILE}, {LM, FOLDER_AT_NEW_FILE},
      {CP, FOLDER_AT_NEW_FILE}, {LM, FOLDER_AT_FILE},     {CP, FOLDER_AT_FILE},
  };
  for (const auto& c : CASES) {
    const std::wstring target = DataPath(c.file);
    const std::wstring blocked = c.fault == FOLDER_AT_NEW_FILE ? target + L".new" : target;
    SCOPED_TRACE("folder at " + Printable(blocked));
    RemoveTree(DATA);
    PutFolder(DATA, old);
    if (c.fault == FOLDER_AT_FILE) DeleteFileW(target.c_str());
    ASSERT_TRUE(CreateDirectoryW(blocked.c_str(), NULL));
    PutFile(blocked + L"\\inside", "kept");

    ExpectBoxes(Keepsake(L"", {IDYES}), {QUESTION, *FAILURES[c.file], FINISHED});
    std::vector<FileIndex> others;
    for (FileIndex file : {CR, CU, LM, CP}) {
      if (file != c.file) others.push_back(file);
    }
    ExpectSaved(DATA, state, SAVED_KEYBOARD, others, blocked);
    const Folder now = Snapshot(DATA);
    for (FileIndex file : others) {
      EXPECT_TRUE(now.at(FILE_NAMES[file]) != old.at(FILE_NAMES[file]))
          << Printable(FILE_NAMES[file]) << " was not saved";
    }
    if (c.fault == FOLDER_AT_NEW_FILE) {
      EXPECT_TRUE(now.at(FILE_NAMES[c.file]) == old.at(FILE_NAMES[c.file]))
          << "the old file changed";
      EXPECT_EQ(now.size(), 5u) << Names(now);
    } else {
      EXPECT_EQ(now.size(), 4u) << Names(now);  // the new file is removed
    }
    EXPECT_TRUE(IsFolder(blocked));
    EXPECT_EQ(FileContent(blocked + L"\\inside"), "kept");
  }
}

TEST_F(KeepsakeProgramTest, FailedLoadStepStopsOnlyItsFile) {
  PutMarkers(7);
  const MarkerTrees saved = ReadMarkers();
  ExpectBoxes(Keepsake(L"/s"), {});
  const Folder files = Snapshot(DATA);
  ASSERT_EQ(files.size(), 4u) << Names(files);

  // A missing, a cut, an empty and a short file. What each of the other
  // files brings back is checked: the HKCU marker comes from cu.dat only,
  // the HKLM marker from lm.dat only, the stand-in's calls from cp.dat only.
  enum Damage { MISSING, HALF, EMPTY, ONE_BYTE_SHORT };
  const struct {
    FileIndex file;
    Damage damage;
  } CASES[] = {{CR, MISSING}, {CU, HALF}, {LM, EMPTY}, {CP, ONE_BYTE_SHORT}, {LM, HALF}};
  for (const auto& c : CASES) {
    SCOPED_TRACE(Printable(FILE_NAMES[c.file]) + " damaged " + std::to_string(c.damage));
    RemoveTree(DATA);
    PutFolder(DATA, files);
    const std::string& content = files.at(FILE_NAMES[c.file]);
    switch (c.damage) {
      case MISSING: DeleteFileW(DataPath(c.file).c_str()); break;
      case HALF: PutFile(DataPath(c.file), content.substr(0, content.size() / 2)); break;
      case EMPTY: PutFile(DataPath(c.file), ""); break;
      case ONE_BYTE_SHORT: PutFile(DataPath(c.file), content.substr(0, content.size() - 1)); break;
    }
    ChangeWhatALoadRestores();
    ExpectBoxes(Keepsake(L"", {IDNO}), {QUESTION, *FAILURES[c.file], FINISHED});
    const MarkerTrees now = ReadMarkers();
    if (c.file != CU) ExpectSameLines(now.trees[CU], saved.trees[CU], "HKCU marker");
    if (c.file != LM) ExpectSameLines(now.trees[LM], saved.trees[LM], "HKLM marker");
    if (c.file != CP) {
      EXPECT_EQ(FileContent(CORE_LOG), ExpectedLoadLog());
    } else {
      EXPECT_FALSE(Exists(CORE_LOG)) << FileContent(CORE_LOG);
    }
  }
}

TEST_F(KeepsakeProgramTest, ProgramInTheRootFolderUsesTheRootDataFolder) {
  ASSERT_TRUE(CopyProgram(L"C:"));
  PutMarkers(8);
  const Outcome outcome = RunProgram(L"C:\\keepsake.exe", L"/s", {});
  DeleteFileW(L"C:\\keepsake.exe");
  DeleteFileW(L"C:\\coredll.dll");
  ExpectBoxes(outcome, {});
  ExpectSaved(ROOT_DATA, SAVED_STATE, SAVED_KEYBOARD);
  EXPECT_EQ(Snapshot(ROOT_DATA).size(), 4u) << Names(Snapshot(ROOT_DATA));
  EXPECT_FALSE(Exists(DATA));
}

TEST_F(KeepsakeProgramTest, PathsThatDoNotFitFailTheirSteps) {
  // Program folders whose data paths exceed 259 characters: at 244
  // characters even "<folder>\Keepsake\cr.dat" does not fit, at 241 it does
  // but the new file's name "...\cr.dat.new" does not. The program's own
  // path fits in both. No file may appear under a cut name.
  const size_t LENGTHS[] = {244, 241};
  for (size_t length : LENGTHS) {
    SCOPED_TRACE(length);
    std::wstring folder = FOLDER + L"\\deep";
    folder += L"\\" + std::wstring(length - folder.size() - 1, L'd');
    ASSERT_EQ(folder.size(), length);
    RemoveTree(FOLDER + L"\\deep");
    CreateDirectoryW((FOLDER + L"\\deep").c_str(), NULL);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), NULL));
    ASSERT_TRUE(CopyProgram(folder));
    const std::wstring program = folder + L"\\keepsake.exe";

    ExpectBoxes(RunProgram(program, L"", {IDYES}),
                {QUESTION, FAILED_CR, FAILED_CU, FAILED_LM, FAILED_CP, FINISHED});
    EXPECT_TRUE(Snapshot(folder + L"\\Keepsake").empty()) << Names(Snapshot(folder + L"\\Keepsake"));
    EXPECT_EQ(Snapshot(folder).size(), 3u) << Names(Snapshot(folder));
    RemoveTree(FOLDER + L"\\deep");
  }
}

TEST_F(KeepsakeProgramTest, DataFolderThatIsAFileFailsEveryStep) {
  // The folder cannot be made, so every file of a save and of a load fails,
  // and the file in its place stays as it was.
  PutFile(DATA, "a file where the data folder belongs");
  const Folder before = Snapshot(FOLDER);
  const std::vector<ShownBox> EVERY_STEP_FAILS = {QUESTION,  FAILED_CR, FAILED_CU,
                                                  FAILED_LM, FAILED_CP, FINISHED};
  ExpectBoxes(Keepsake(L"", {IDYES}), EVERY_STEP_FAILS);
  ExpectBoxes(Keepsake(L"", {IDNO}), EVERY_STEP_FAILS);
  EXPECT_EQ(Differences(Snapshot(FOLDER), before), "");
}

// Run by keepsake/small_folder_test.sh, which mounts a small tmpfs as the
// data folder of the program folder named by KEEPSAKE_SMALL_FOLDER, holding
// a previous save, with room for a new cr.dat but not for a new lm.dat.
TEST(KeepsakeSmallDataFolder, DISABLED_DiskFullDuringOneRootKeepsItsOldFile) {
  const char* folderName = getenv("KEEPSAKE_SMALL_FOLDER");
  ASSERT_NE(folderName, nullptr) << "run through small_folder_test.sh";
  std::wstring folder;
  for (const char* c = folderName; *c != '\0'; ++c) folder += static_cast<wchar_t>(*c);
  const std::wstring data = folder + L"\\Keepsake";
  const Folder old = Snapshot(data);
  ASSERT_EQ(old.size(), 4u) << "the previous save:" << Names(old);
  ASSERT_TRUE(CopyProgram(folder));

  const std::wstring state = folder + L"\\core-state.txt";
  SetEnvironmentVariableW(L"CORESIM_STATE", state.c_str());
  SetEnvironmentVariableW(L"CORESIM_LOG", NULL);
  const CoreState later = {1234, 1, 4096, 5};
  char text[100];
  snprintf(text, sizeof text, "storage_pages=%lu\npage_size=%lu\nword4=%lu\n",
           (unsigned long)later.storagePages, (unsigned long)later.pageSize,
           (unsigned long)later.word4);
  PutFile(state, text);
  SetKeyboard(SAVED_KEYBOARD);
  PutMarkers(9);

  const Outcome outcome = RunProgram(folder + L"\\keepsake.exe", L"", {IDYES});
  ExpectBoxes(outcome, {QUESTION, FAILED_LM, FINISHED});
  ExpectSaved(data, later, SAVED_KEYBOARD, {CR, CU, CP});
  const Folder now = Snapshot(data);
  EXPECT_EQ(now.size(), 4u) << Names(now);
  EXPECT_TRUE(now.at(L"lm.dat") == old.at(L"lm.dat")) << "the old lm.dat changed";
  for (const wchar_t* name : {L"cr.dat", L"cu.dat", L"cp.dat"}) {
    EXPECT_TRUE(now.at(name) != old.at(name)) << Printable(name, wcslen(name)) << " was not saved";
  }
  RemoveMarkers();
}

}  // namespace
