// keepsake's procedures in process, against Wine's real registry and files:
// the hive dump as DumpKey writes it, the write buffer as WriteFile sees it,
// RestoreKey on whole, cut and damaged dumps, and the control-panel record.
// The device-only calls go to the stand-in coredll.dll beside this program.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "control_panel.h"
#include "hive_dump.h"

namespace {

// ---------------------------------------------------------------------------
// Bytes

void PutDword(std::string* out, DWORD value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

void PutChars(std::string* out, const std::wstring& text) {
  for (wchar_t c : text) {
    out->push_back(static_cast<char>(c & 0xFF));
    out->push_back(static_cast<char>(c >> 8));
  }
}

DWORD GetDword(const std::string& bytes, size_t at) {
  DWORD value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<BYTE>(bytes[at + i]);
  return value;
}

std::string Dword(DWORD value) {
  std::string out;
  PutDword(&out, value);
  return out;
}

// A string value's data: UTF-16LE with its terminator.
std::string Sz(const std::wstring& text) {
  std::string out;
  PutChars(&out, text);
  out.append(2, '\0');
  return out;
}

// `size` bytes that differ from their neighbours, so a shifted block shows.
std::string Pattern(size_t size, unsigned seed) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i)
    out[i] = static_cast<char>((i * 31 + seed * 7 + i / 251) & 0xFF);
  return out;
}

// "00 01 ff" and the like; blanks are ignored.
std::string Hex(const char* text) {
  std::string out;
  int high = -1;
  for (const char* p = text; *p != '\0'; ++p) {
    int digit;
    if (*p >= '0' && *p <= '9') {
      digit = *p - '0';
    } else if (*p >= 'a' && *p <= 'f') {
      digit = *p - 'a' + 10;
    } else if (*p >= 'A' && *p <= 'F') {
      digit = *p - 'A' + 10;
    } else {
      continue;
    }
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
  return out;
}

std::string HexAround(const std::string& bytes, size_t at) {
  std::string out;
  char one[4];
  const size_t from = at >= 8 ? at - 8 : 0;
  for (size_t i = from; i < bytes.size() && i < at + 8; ++i) {
    snprintf(one, sizeof one, i == at ? "[%02x" : " %02x", static_cast<BYTE>(bytes[i]));
    out += one;
    if (i == at) out += "]";
  }
  return out;
}

// Equal bytes, or where they part.
::testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  return ::testing::AssertionFailure()
         << "expected " << expected.size() << " bytes, got " << actual.size()
         << "; first difference at offset " << at << ": expected" << HexAround(expected, at)
         << ", got" << HexAround(actual, at);
}

// ---------------------------------------------------------------------------
// Files

std::wstring TempDirectory() {
  WCHAR base[MAX_PATH];
  const DWORD n = GetTempPathW(MAX_PATH, base);
  std::wstring path = std::wstring(base, n) + L"keepsake_core_test";
  CreateDirectoryW(path.c_str(), NULL);  // an existing folder is fine
  return path;
}

std::wstring TempPath(const std::wstring& name) { return TempDirectory() + L"\\" + name; }

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file's bytes now, read through a handle of its own; "<missing>" when
// it cannot be opened.
std::string ReadWhole(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  std::vector<char> chunk(1 << 16);
  DWORD n = 0;
  while (ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &n, NULL) && n > 0) {
    bytes.append(chunk.data(), n);
  }
  CloseHandle(file);
  return bytes;
}

void WriteWhole(const std::wstring& path, const std::string& bytes) {
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create a test file";
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, NULL);
  CloseHandle(file);
  ASSERT_TRUE(ok);
  ASSERT_EQ(written, bytes.size());
}

// A file opened for writing, as a save opens its files.
HANDLE CreateForWriting(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, NULL);
}

// Under Wine, Z: is the Linux root: writes to /dev/full fail with "no space".
HANDLE OpenFullDevice() {
  return CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

// ---------------------------------------------------------------------------
// Registry trees, and the dumps they give

struct ValueItem {
  std::wstring name;
  DWORD type;
  std::string data;
};

struct SubkeyItem;

// A key as the test describes it. Wine enumerates values and subkeys in
// name order, so every list here is written in that order.
struct KeyTree {
  std::vector<ValueItem> values;
  std::vector<SubkeyItem> subkeys;
};

struct SubkeyItem {
  std::wstring name;
  std::wstring cls;
  KeyTree key;
};

// Subkeys first, values after them: the dump's order must not come from
// the order of creation.
void CreateTree(HKEY key, const KeyTree& tree) {
  for (const SubkeyItem& subkey : tree.subkeys) {
    HKEY child = NULL;
    ASSERT_EQ(RegCreateKeyExW(key, subkey.name.c_str(), 0,
                              subkey.cls.empty() ? NULL : const_cast<LPWSTR>(subkey.cls.c_str()), 0,
                              KEY_ALL_ACCESS, NULL, &child, NULL),
              ERROR_SUCCESS);
    CreateTree(child, subkey.key);
    RegCloseKey(child);
  }
  for (const ValueItem& value : tree.values) {
    ASSERT_EQ(RegSetValueExW(key, value.name.c_str(), 0, value.type,
                             reinterpret_cast<const BYTE*>(value.data.data()),
                             static_cast<DWORD>(value.data.size())),
              ERROR_SUCCESS);
  }
}

// Where a restore has applied a record: the offset just past the bytes it
// needs, and what then exists below the target key.
struct Applied {
  size_t end;
  std::wstring key;  // path below the target, "" for the target itself
  bool isValue;
  ValueItem value;
};

// The key dump of `tree`, composed from the format's description: header
// of maxima, value records, subkey records each followed by the subkey's
// dump, end marker.
void ComposeDump(const KeyTree& tree, const std::wstring& path, std::string* out,
                 std::vector<Applied>* applied) {
  DWORD maxSubkey = 0, maxClass = 0, maxValueName = 0, maxValueData = 0;
  for (const SubkeyItem& s : tree.subkeys) {
    maxSubkey = std::max<DWORD>(maxSubkey, static_cast<DWORD>(s.name.size()));
    maxClass = std::max<DWORD>(maxClass, static_cast<DWORD>(s.cls.size()));
  }
  for (const ValueItem& v : tree.values) {
    maxValueName = std::max<DWORD>(maxValueName, static_cast<DWORD>(v.name.size()));
    maxValueData = std::max<DWORD>(maxValueData, static_cast<DWORD>(v.data.size()));
  }
  PutDword(out, maxSubkey);
  PutDword(out, maxClass);
  PutDword(out, maxValueName);
  PutDword(out, maxValueData);
  for (const ValueItem& v : tree.values) {
    out->push_back(HIVE_TAG_VALUE);
    PutDword(out, static_cast<DWORD>(v.name.size()));
    PutChars(out, v.name);
    PutDword(out, v.type);
    PutDword(out, static_cast<DWORD>(v.data.size()));
    out->append(v.data);
    if (applied != NULL) applied->push_back({out->size(), path, true, v});
  }
  for (const SubkeyItem& s : tree.subkeys) {
    out->push_back(HIVE_TAG_SUBKEY);
    PutDword(out, static_cast<DWORD>(s.name.size()));
    PutChars(out, s.name);
    PutDword(out, static_cast<DWORD>(s.cls.size()));
    PutChars(out, s.cls);
    const std::wstring child = path.empty() ? s.name : path + L"\\" + s.name;
    if (applied != NULL) applied->push_back({out->size(), child, false, {}});
    ComposeDump(s.key, child, out, applied);
  }
  out->push_back(HIVE_TAG_END);
}

std::string ComposeDump(const KeyTree& tree) {
  std::string out;
  ComposeDump(tree, L"", &out, NULL);
  return out;
}

// What DumpKey writes for `key`, as it lands in a real file after the flush.
std::string DumpToBytes(HKEY key) {
  const std::wstring path = TempPath(L"dump.dat");
  HANDLE file = CreateForWriting(path);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  const BOOL dumped = DumpKey(key, file);
  const BOOL flushed = FlushWriteBuffer();
  CloseHandle(file);
  EXPECT_TRUE(dumped);
  EXPECT_TRUE(flushed);
  return ReadWhole(path);
}

struct RestoreOutcome {
  BOOL restored;
  LONGLONG position;  // where the file stood after RestoreKey
};

// RestoreKey over a real file holding `bytes`.
RestoreOutcome RestoreBytes(HKEY key, const std::string& bytes, BOOL skip = FALSE) {
  const std::wstring path = TempPath(L"restore.dat");
  WriteWhole(path, bytes);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  RestoreOutcome outcome;
  outcome.restored = RestoreKey(key, file, skip);
  LARGE_INTEGER zero = {}, position = {};
  SetFilePointerEx(file, zero, &position, FILE_CURRENT);
  outcome.position = position.QuadPart;
  CloseHandle(file);
  return outcome;
}

bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = NULL;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// The value's type and data, or false when it does not exist.
bool QueryValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD* type,
                std::string* data) {
  HKEY key = NULL;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD size = 0;
  LONG status = RegQueryValueExW(key, name.c_str(), NULL, type, NULL, &size);
  if (status == ERROR_SUCCESS) {
    data->assign(size, '\0');
    status = RegQueryValueExW(key, name.c_str(), NULL, type, reinterpret_cast<BYTE*>(&(*data)[0]),
                              &size);
    data->resize(size);
  }
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

std::wstring Widen(const char* text) { return std::wstring(text, text + strlen(text)); }

// ---------------------------------------------------------------------------
// A scratch key per test, HKCU\Software\KeepsakeTest\<test>, removed before
// and after. The write buffer starts every test unbound.

const WCHAR SCRATCH_ROOT[] = L"Software\\KeepsakeTest";

class ScratchKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Unbinds whatever an earlier failed test may have left; no file of
    // this test is open yet.
    (void)FlushWriteBuffer();
    path_ = std::wstring(SCRATCH_ROOT) + L"\\" +
            Widen(::testing::UnitTest::GetInstance()->current_test_info()->name());
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());  // absent is the normal case
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                              &scratch_, NULL),
              ERROR_SUCCESS);
  }

  void TearDown() override {
    if (scratch_ != NULL) RegCloseKey(scratch_);
    scratch_ = NULL;
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  }

  // A subkey of the scratch key, created empty (an old one removed first);
  // the caller closes it.
  HKEY FreshSubkey(const wchar_t* name) {
    RegDeleteTreeW(scratch_, name);
    HKEY key = NULL;
    EXPECT_EQ(RegCreateKeyExW(scratch_, name, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
              ERROR_SUCCESS);
    return key;
  }

  std::wstring path_;
  HKEY scratch_ = NULL;
};

// ---------------------------------------------------------------------------
// The format, from real keys

using HiveDumpFormat = ScratchKeyTest;

TEST_F(HiveDumpFormat, WritesTheWorkedExamplesByteForByte) {
  const struct {
    const char* name;
    KeyTree tree;
    const char* hex;
  } cases[] = {
      {"empty key", {}, "00000000 00000000 00000000 00000000 00"},
      {"one REG_DWORD value A = 1",
       {{{L"A", REG_DWORD, Dword(1)}}, {}},
       "00000000 00000000 01000000 04000000"
       "02 01000000 4100 04000000 04000000 01000000"
       "00"},
      {"one empty subkey K without class",
       {{}, {{L"K", L"", {}}}},
       "01000000 00000000 00000000 00000000"
       "01 01000000 4B00 00000000"
       "00000000 00000000 00000000 00000000 00"
       "00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HKEY key = FreshSubkey(L"Example");
    CreateTree(key, c.tree);
    const std::string expected = Hex(c.hex);
    EXPECT_TRUE(SameBytes(expected, DumpToBytes(key)));
    RegCloseKey(key);
  }
  // The sizes the format's own description gives for them.
  EXPECT_EQ(Hex(cases[0].hex).size(), 17u);
  EXPECT_EQ(Hex(cases[1].hex).size(), 36u);
  EXPECT_EQ(Hex(cases[2].hex).size(), 45u);
}

TEST_F(HiveDumpFormat, WritesValuesBeforeSubkeysWithClassesAndDefaults) {
  const struct {
    const char* name;
    KeyTree tree;
  } cases[] = {
      // Created subkey first, value second.
      {"values before subkeys", {{{L"Name", REG_SZ, Sz(L"x")}}, {{L"Sub", L"", {}}}}},
      {"default value has N = 0",
       {{{L"", REG_SZ, Sz(L"hi")}, {L"Other", REG_DWORD, Dword(5)}}, {}}},
      {"class strings",
       {{},
        {{L"A", L"Alpha", {}},
         {L"B", L"Be", {{{L"v", REG_DWORD, Dword(1)}}, {}}},
         {L"C", L"", {}}}}},
      {"every level has its own header and order",
       {{{L"bin0", REG_BINARY, ""},
         {L"multi", REG_MULTI_SZ, Sz(L"one") + Sz(L"two") + std::string(2, '\0')},
         {L"q", 11 /* REG_QWORD */, Pattern(8, 1)},
         {L"x", REG_EXPAND_SZ, Sz(L"%TEMP%\\x")}},
        {{L"Deep",
          L"",
          {{{L"d", REG_DWORD, Dword(0xA1B2C3D4)}},
           {{L"Deeper", L"Klass", {{{L"leaf", REG_SZ, Sz(L"z")}}, {{L"Empty", L"", {}}}}}}}},
         {L"Wide", L"", {{{std::wstring(200, L'w'), REG_BINARY, Pattern(300, 2)}}, {}}}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HKEY key = FreshSubkey(L"Tree");
    CreateTree(key, c.tree);
    EXPECT_TRUE(SameBytes(ComposeDump(c.tree), DumpToBytes(key)));
    RegCloseKey(key);
  }
}

TEST_F(HiveDumpFormat, KeyWhoseInformationCannotBeReadIsWrittenEmpty) {
  // Wine opens Perflib\009 as a performance-data handle that
  // RegQueryInfoKeyW refuses.
  const WCHAR PERFLIB[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Perflib";
  HKEY perflib = NULL, text = NULL;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, PERFLIB, 0, KEY_READ, &perflib), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(perflib, L"009", 0, KEY_READ, &text), ERROR_SUCCESS);
  DWORD values = 0;
  ASSERT_NE(
      RegQueryInfoKeyW(text, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL),
      ERROR_SUCCESS)
      << "Perflib\\009 describes itself here";
  EXPECT_TRUE(SameBytes(std::string(17, '\0'), DumpToBytes(text)));
  RegCloseKey(text);

  // Inside its parent's dump: the record of 009 is followed by an empty
  // key dump, then the next tag of the parent.
  const std::string dump = DumpToBytes(perflib);
  RegCloseKey(perflib);
  std::string record(1, HIVE_TAG_SUBKEY);
  PutDword(&record, 3);
  PutChars(&record, L"009");
  const size_t at = dump.find(record);
  ASSERT_NE(at, std::string::npos);
  const size_t dumpAt = at + record.size() + 4 + 2 * GetDword(dump, at + record.size());
  ASSERT_LT(dumpAt + 17, dump.size());
  EXPECT_EQ(dump.substr(dumpAt, 17), std::string(17, '\0'));
  EXPECT_LE(static_cast<BYTE>(dump[dumpAt + 17]), HIVE_TAG_SUBKEY);
}

// A DACL that lets Everyone change the key's DACL, delete it and set values,
// but not open it for reading.
LONG SetReadDenied(HKEY parent, const wchar_t* name, bool denied) {
  HKEY key = NULL;
  LONG status = RegOpenKeyExW(parent, name, 0, WRITE_DAC, &key);
  if (status != ERROR_SUCCESS) return status;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = NULL;
  AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
  DWORD aclStorage[64];
  ACL* acl = reinterpret_cast<ACL*>(aclStorage);
  InitializeAcl(acl, sizeof aclStorage, ACL_REVISION);
  AddAccessAllowedAce(acl, ACL_REVISION, WRITE_DAC | DELETE | KEY_SET_VALUE, everyone);
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  // A null DACL grants everything.
  SetSecurityDescriptorDacl(&descriptor, TRUE, denied ? acl : NULL, FALSE);
  status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
  FreeSid(everyone);
  RegCloseKey(key);
  return status;
}

TEST_F(HiveDumpFormat, SubkeyThatCannotBeOpenedLeavesNoTrace) {
  // A run stopped half way leaves the hidden key unreadable, and so
  // undeletable: it is made readable again first.
  HKEY old = NULL;
  if (RegOpenKeyExW(scratch_, L"Tree", 0, KEY_READ, &old) == ERROR_SUCCESS) {
    SetReadDenied(old, L"Bbbbbb", false);  // absent is the normal case
    RegCloseKey(old);
  }
  HKEY key = FreshSubkey(L"Tree");
  const KeyTree readable = {{{L"top", REG_DWORD, Dword(3)}},
                            {{L"A", L"", {{{L"a", REG_SZ, Sz(L"first")}}, {}}},
                             {L"C", L"Cc", {{{L"c", REG_SZ, Sz(L"last")}}, {{L"D", L"", {}}}}}}};
  CreateTree(key, readable);
  // Between A and C in name order, with the longest name and class of the
  // level and a subtree of its own.
  const KeyTree hidden = {
      {}, {{L"Bbbbbb", L"Hidden", {{{L"h", REG_DWORD, Dword(9)}}, {{L"Inner", L"", {}}}}}}};
  CreateTree(key, hidden);
  ASSERT_EQ(SetReadDenied(key, L"Bbbbbb", true), ERROR_SUCCESS);
  // Readable again, and only then closed, on every way out of the test.
  struct Undo {
    HKEY key;
    ~Undo() {
      SetReadDenied(key, L"Bbbbbb", false);
      RegCloseKey(key);
    }
  } undo{key};
  HKEY probe = NULL;
  ASSERT_EQ(RegOpenKeyExW(key, L"Bbbbbb", 0, KEY_READ, &probe), ERROR_ACCESS_DENIED)
      << "the registry here does not enforce the key's DACL";

  // The header still reports the level's real maxima, the hidden key's
  // name and class included; only its record and subtree are missing.
  std::string expected;
  PutDword(&expected, 6);  // "Bbbbbb"
  PutDword(&expected, 6);  // "Hidden"
  PutDword(&expected, 3);
  PutDword(&expected, 4);
  expected += ComposeDump(readable).substr(16);
  EXPECT_TRUE(SameBytes(expected, DumpToBytes(key)));
}

// ---------------------------------------------------------------------------
// The write buffer, seen from the WriteFile side

// The reading end of a message-mode pipe: every WriteFile on writer() is one
// message, recorded with its size.
class PipeRecorder {
 public:
  PipeRecorder() {
    static int serial = 0;
    name_ = L"\\\\.\\pipe\\keepsake_core_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(++serial);
    server_ = CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_INBOUND,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 1 << 17,
                               0, NULL);
    if (server_ == INVALID_HANDLE_VALUE) return;
    writer_ = CreateFileW(name_.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, NULL);
    if (writer_ != INVALID_HANDLE_VALUE) reader_ = std::thread([this] { Record(); });
  }
  ~PipeRecorder() {
    Finish();
    if (server_ != INVALID_HANDLE_VALUE) CloseHandle(server_);
  }

  bool IsOpen() const { return writer_ != INVALID_HANDLE_VALUE; }
  HANDLE writer() const { return writer_; }

  // Closes the writing end and waits until every message is recorded.
  void Finish() {
    if (writer_ != INVALID_HANDLE_VALUE) CloseHandle(writer_);
    writer_ = INVALID_HANDLE_VALUE;
    if (reader_.joinable()) reader_.join();
  }

  std::vector<DWORD> sizes;
  std::string bytes;

 private:
  void Record() {
    // The client is already connected; the call only confirms it.
    (void)ConnectNamedPipe(server_, NULL);
    std::vector<char> chunk(1 << 18);
    DWORD message = 0;
    for (;;) {
      DWORD n = 0;
      const BOOL whole =
          ReadFile(server_, chunk.data(), static_cast<DWORD>(chunk.size()), &n, NULL);
      if (!whole && GetLastError() != ERROR_MORE_DATA) break;
      bytes.append(chunk.data(), n);
      message += n;
      if (whole) {
        sizes.push_back(message);
        message = 0;
      }
    }
  }

  std::wstring name_;
  HANDLE server_ = INVALID_HANDLE_VALUE;
  HANDLE writer_ = INVALID_HANDLE_VALUE;
  std::thread reader_;
};

using WriteBuffer = ScratchKeyTest;

// Five subkeys of about 40 KiB each: fields of 1, 4 and many bytes, so
// block boundaries fall inside fields.
KeyTree LargeTree() {
  KeyTree tree;
  for (unsigned i = 0; i < 5; ++i) {
    tree.subkeys.push_back({L"S" + std::to_wstring(i),
                            L"",
                            {{{L"a", REG_BINARY, Pattern(40000 + 777 * i, i)},
                              {L"b", REG_DWORD, Dword(i)},
                              {L"c", REG_SZ, Sz(L"value " + std::to_wstring(i))}},
                             {}}});
  }
  return tree;
}

TEST_F(WriteBuffer, WritesFullBlocksAndTheRestAtTheFlush) {
  const KeyTree tree = LargeTree();
  CreateTree(scratch_, tree);
  const std::string expected = ComposeDump(tree);
  ASSERT_GT(expected.size(), 3u * 65536);
  ASSERT_NE(expected.size() % 65536, 0u);

  PipeRecorder pipe;
  ASSERT_TRUE(pipe.IsOpen());
  EXPECT_TRUE(DumpKey(scratch_, pipe.writer()));
  EXPECT_TRUE(FlushWriteBuffer());
  pipe.Finish();
  ASSERT_EQ(pipe.sizes.size(), expected.size() / 65536 + 1);
  for (size_t i = 0; i + 1 < pipe.sizes.size(); ++i) {
    SCOPED_TRACE("write " + std::to_string(i));
    EXPECT_EQ(pipe.sizes[i], 65536u);
  }
  EXPECT_EQ(pipe.sizes.back(), expected.size() % 65536);
  EXPECT_TRUE(SameBytes(expected, pipe.bytes));

  // In a real file: the full blocks are there before the flush, the rest
  // only after it.
  const std::wstring path = TempPath(L"large.dat");
  HANDLE file = CreateForWriting(path);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DumpKey(scratch_, file));
  EXPECT_EQ(ReadWhole(path).size(), expected.size() / 65536 * 65536);
  EXPECT_TRUE(FlushWriteBuffer());
  CloseHandle(file);
  EXPECT_TRUE(SameBytes(expected, ReadWhole(path)));
}

TEST_F(WriteBuffer, DumpOfExactlyOneBlockLeavesTheFlushNothing) {
  // 16 header + 1 + 4 + 2 ("A") + 4 + 4 + data + 1 end marker.
  const KeyTree tree = {{{L"A", REG_BINARY, Pattern(65536 - 32, 3)}}, {}};
  CreateTree(scratch_, tree);
  const std::string expected = ComposeDump(tree);
  ASSERT_EQ(expected.size(), 65536u);

  PipeRecorder pipe;
  ASSERT_TRUE(pipe.IsOpen());
  EXPECT_TRUE(DumpKey(scratch_, pipe.writer()));
  EXPECT_TRUE(FlushWriteBuffer());
  pipe.Finish();
  EXPECT_EQ(pipe.sizes, std::vector<DWORD>({65536}));
  EXPECT_TRUE(SameBytes(expected, pipe.bytes));

  const std::wstring path = TempPath(L"block.dat");
  HANDLE file = CreateForWriting(path);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DumpKey(scratch_, file));
  EXPECT_TRUE(SameBytes(expected, ReadWhole(path))) << "the block is written when it fills";
  EXPECT_TRUE(FlushWriteBuffer());
  CloseHandle(file);
  EXPECT_TRUE(SameBytes(expected, ReadWhole(path)));
}

TEST_F(WriteBuffer, CallForAnotherFileFirstWritesThePendingBytes) {
  const std::wstring pathA = TempPath(L"a.dat"), pathB = TempPath(L"b.dat"),
                     pathC = TempPath(L"c.dat");
  HANDLE a = CreateForWriting(pathA), b = CreateForWriting(pathB), c = CreateForWriting(pathC);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  ASSERT_NE(c, INVALID_HANDLE_VALUE);

  DWORD written = 0xDDDDDDDD;
  EXPECT_TRUE(BufferedWriteFile(a, "0123456789", 10, &written, NULL));
  EXPECT_EQ(written, 10u);
  EXPECT_EQ(ReadWhole(pathA), "") << "ten bytes are kept in the buffer";

  // A call of no bytes for b: TRUE, count 0, and a's bytes go out now.
  written = 0xDDDDDDDD;
  EXPECT_TRUE(BufferedWriteFile(b, "", 0, &written, NULL));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(ReadWhole(pathA), "0123456789");
  EXPECT_EQ(ReadWhole(pathB), "");

  written = 0xDDDDDDDD;
  EXPECT_TRUE(BufferedWriteFile(b, "bbbbb", 5, &written, NULL));
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(ReadWhole(pathB), "");
  written = 0xDDDDDDDD;
  EXPECT_TRUE(BufferedWriteFile(c, "ccc", 3, &written, NULL));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(ReadWhole(pathB), "bbbbb");
  EXPECT_EQ(ReadWhole(pathC), "");

  EXPECT_TRUE(FlushWriteBuffer());
  EXPECT_EQ(ReadWhole(pathA), "0123456789");
  EXPECT_EQ(ReadWhole(pathB), "bbbbb");
  EXPECT_EQ(ReadWhole(pathC), "ccc");

  // Bound by a call of no bytes and flushed with nothing pending.
  written = 0xDDDDDDDD;
  EXPECT_TRUE(BufferedWriteFile(a, "", 0, &written, NULL));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(FlushWriteBuffer());
  EXPECT_EQ(ReadWhole(pathA), "0123456789");
  CloseHandle(a);
  CloseHandle(b);
  CloseHandle(c);
}

TEST_F(WriteBuffer, WritesOfNoBytesNeverReachTheFile) {
  // The flush of a 0-byte call, and of a dump that ends on a block, must
  // not show up as WriteFile calls of their own.
  PipeRecorder pipe;
  ASSERT_TRUE(pipe.IsOpen());
  DWORD written = 0xDDDDDDDD;
  EXPECT_TRUE(BufferedWriteFile(pipe.writer(), "", 0, &written, NULL));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(FlushWriteBuffer());
  EXPECT_TRUE(BufferedWriteFile(pipe.writer(), "xy", 2, &written, NULL));
  EXPECT_TRUE(FlushWriteBuffer());
  EXPECT_TRUE(FlushWriteBuffer());
  pipe.Finish();
  EXPECT_EQ(pipe.sizes, std::vector<DWORD>({2}));
}

TEST_F(WriteBuffer, BytesForAnUnusableHandleAreNotTakenAsWritten) {
  // A handle that no file stands behind is still a bound file: its bytes
  // fail at the flush instead of vanishing as if nothing were pending.
  DWORD written = 0xDDDDDDDD;
  EXPECT_TRUE(BufferedWriteFile(INVALID_HANDLE_VALUE, "abc", 3, &written, NULL));
  EXPECT_EQ(written, 3u);
  EXPECT_FALSE(FlushWriteBuffer());
  EXPECT_TRUE(FlushWriteBuffer());  // nothing is pending any more
}

TEST_F(WriteBuffer, ShortWriteFailsAndItsBytesNeverReachTheNextFile) {
  {
    HANDLE full = OpenFullDevice();
    ASSERT_NE(full, INVALID_HANDLE_VALUE) << "Z:\\dev\\full cannot be opened";
    DWORD written = 0xDDDDDDDD;
    WriteFile(full, "x", 1, &written, NULL);
    CloseHandle(full);
    ASSERT_EQ(written, 0u) << "Z:\\dev\\full accepted a byte";
  }
  enum Where { IN_THE_CALL, BEFORE_ANOTHER_FILE, AT_THE_FLUSH };
  const struct {
    const char* name;
    Where where;
  } cases[] = {
      {"a call that fills the buffer", IN_THE_CALL},
      {"pending bytes written for a call for another file", BEFORE_ANOTHER_FILE},
      {"pending bytes written by the flush", AT_THE_FLUSH},
  };
  const std::string big = Pattern(70000, 4);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE full = OpenFullDevice();
    ASSERT_NE(full, INVALID_HANDLE_VALUE);
    const std::wstring path = TempPath(L"next.dat");
    DWORD written = 0xDDDDDDDD;
    HANDLE next = INVALID_HANDLE_VALUE;
    switch (c.where) {
      case IN_THE_CALL:
        EXPECT_FALSE(
            BufferedWriteFile(full, big.data(), static_cast<DWORD>(big.size()), &written, NULL));
        EXPECT_EQ(written, 0u);
        break;
      case BEFORE_ANOTHER_FILE:
        EXPECT_TRUE(BufferedWriteFile(full, big.data(), 10, &written, NULL));
        next = CreateForWriting(path);
        ASSERT_NE(next, INVALID_HANDLE_VALUE);
        written = 0xDDDDDDDD;
        EXPECT_FALSE(BufferedWriteFile(next, "abc", 3, &written, NULL));
        EXPECT_EQ(written, 0u);
        break;
      case AT_THE_FLUSH:
        EXPECT_TRUE(BufferedWriteFile(full, big.data(), 10, &written, NULL));
        EXPECT_EQ(written, 10u);
        EXPECT_FALSE(FlushWriteBuffer());
        break;
    }
    // Closed first where the case allows it, so the next file may well get
    // the same handle value.
    CloseHandle(full);
    if (next == INVALID_HANDLE_VALUE) next = CreateForWriting(path);
    ASSERT_NE(next, INVALID_HANDLE_VALUE);
    written = 0xDDDDDDDD;
    EXPECT_TRUE(BufferedWriteFile(next, "xyz", 3, &written, NULL));
    EXPECT_EQ(written, 3u);
    EXPECT_TRUE(FlushWriteBuffer());
    CloseHandle(next);
    EXPECT_EQ(ReadWhole(path), "xyz");
  }
}

TEST_F(WriteBuffer, DumpIntoAFullDeviceFails) {
  const KeyTree large = LargeTree();
  CreateTree(scratch_, large);
  HKEY small = FreshSubkey(L"Small");
  const KeyTree smallTree = {{{L"A", REG_DWORD, Dword(1)}}, {}};
  CreateTree(small, smallTree);

  // Larger than the buffer: a block write fails inside the dump.
  HANDLE full = OpenFullDevice();
  ASSERT_NE(full, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DumpKey(scratch_, full));
  (void)FlushWriteBuffer();  // as a save does after a failed dump
  CloseHandle(full);
  EXPECT_TRUE(SameBytes(ComposeDump(smallTree), DumpToBytes(small)));

  // Small: all of it is handed over, and the flush is what fails.
  full = OpenFullDevice();
  ASSERT_NE(full, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DumpKey(small, full));
  EXPECT_FALSE(FlushWriteBuffer());
  CloseHandle(full);
  EXPECT_TRUE(SameBytes(ComposeDump(smallTree), DumpToBytes(small)));
  RegCloseKey(small);
}

// ---------------------------------------------------------------------------
// Restore

using Restore = ScratchKeyTest;

TEST_F(Restore, AppliesDumpsAndKeepsWhatTheyDoNotHold) {
  const std::string header1 = Hex("00000000 00000000 01000000 04000000");
  const std::string valueA = Hex("02 01000000 4100 04000000 04000000 01000000");
  const struct {
    const char* name;
    KeyTree before;
    std::string dump;
    KeyTree after;
  } cases[] = {
      {"empty key restores nothing",
       {{{L"Keep", REG_SZ, Sz(L"k")}}, {}},
       std::string(17, '\0'),
       {{{L"Keep", REG_SZ, Sz(L"k")}}, {}}},
      {"A = 1 is set, nothing else changes",
       {{{L"Keep", REG_SZ, Sz(L"k")}}, {}},
       header1 + valueA + std::string(1, '\0'),
       {{{L"A", REG_DWORD, Dword(1)}, {L"Keep", REG_SZ, Sz(L"k")}}, {}}},
      {"empty subkey K is created",
       {{{L"Keep", REG_SZ, Sz(L"k")}}, {}},
       Hex("01000000 00000000 00000000 00000000 01 01000000 4B00 00000000") + std::string(18, '\0'),
       {{{L"Keep", REG_SZ, Sz(L"k")}}, {{L"K", L"", {}}}}},
      {"existing subkey keeps its other values",
       {{}, {{L"K", L"", {{{L"old", REG_SZ, Sz(L"o")}}, {{L"Under", L"", {}}}}}}},
       ComposeDump({{}, {{L"K", L"", {{{L"new", REG_DWORD, Dword(2)}}, {}}}}}),
       {{},
        {{L"K",
          L"",
          {{{L"new", REG_DWORD, Dword(2)}, {L"old", REG_SZ, Sz(L"o")}}, {{L"Under", L"", {}}}}}}}},
      {"a value of the dump replaces one of the same name, type and all",
       {{{L"v", REG_SZ, Sz(L"text")}}, {}},
       ComposeDump({{{L"v", REG_DWORD, Dword(9)}}, {}}),
       {{{L"v", REG_DWORD, Dword(9)}}, {}}},
      {"default value and class strings",
       {},
       ComposeDump({{{L"", REG_SZ, Sz(L"d")}}, {{L"C", L"Cls", {{{L"", REG_BINARY, ""}}, {}}}}}),
       {{{L"", REG_SZ, Sz(L"d")}}, {{L"C", L"Cls", {{{L"", REG_BINARY, ""}}, {}}}}}},
      {"stray tag bytes are passed over",
       {},
       header1 + "\x07" + valueA + "\x07\xff\x03" + std::string(1, '\0'),
       {{{L"A", REG_DWORD, Dword(1)}}, {}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HKEY target = FreshSubkey(L"Target");
    CreateTree(target, c.before);
    const RestoreOutcome outcome = RestoreBytes(target, c.dump);
    EXPECT_TRUE(outcome.restored);
    EXPECT_EQ(outcome.position, static_cast<LONGLONG>(c.dump.size()));
    EXPECT_TRUE(SameBytes(ComposeDump(c.after), DumpToBytes(target)));
    RegCloseKey(target);
  }
}

TEST_F(Restore, RoundTripOfARealTreeGivesTheSameDump) {
  const KeyTree tree = {
      {{L"", REG_SZ, Sz(L"default")},
       {L"bin", REG_BINARY, Pattern(1000, 5)},
       {L"empty", REG_BINARY, ""},
       {L"multi", REG_MULTI_SZ, Sz(L"a") + Sz(L"bc") + std::string(2, '\0')},
       {L"none", REG_NONE, Pattern(3, 6)}},
      {{L"One",
        L"ClassOne",
        {{{L"x", REG_DWORD, Dword(1)}}, {{L"Two", L"", {{}, {{L"Three", L"C3", {}}}}}}}},
       {L"Zed", L"", {{{L"q", 11 /* REG_QWORD */, Pattern(8, 7)}}, {}}}}};
  HKEY source = FreshSubkey(L"Source");
  CreateTree(source, tree);
  const std::string dump = DumpToBytes(source);
  ASSERT_TRUE(SameBytes(ComposeDump(tree), dump));
  HKEY target = FreshSubkey(L"Target");
  const RestoreOutcome outcome = RestoreBytes(target, dump);
  EXPECT_TRUE(outcome.restored);
  EXPECT_EQ(outcome.position, static_cast<LONGLONG>(dump.size()));
  EXPECT_TRUE(SameBytes(dump, DumpToBytes(target)));
  RegCloseKey(source);
  RegCloseKey(target);
}

TEST_F(Restore, BytesAfterTheRootsEndMarkerAreNeverRead) {
  const KeyTree tree = {{{L"A", REG_DWORD, Dword(1)}},
                        {{L"K", L"", {{{L"B", REG_DWORD, Dword(2)}}, {}}}}};
  const std::string dump = ComposeDump(tree);
  // A value record and a subkey record that would apply if they were read.
  const std::string trailing =
      Hex("02 01000000 5A00 04000000 04000000 07000000 01 01000000 5900 00000000");
  HKEY target = FreshSubkey(L"Target");
  const RestoreOutcome outcome = RestoreBytes(target, dump + trailing);
  EXPECT_TRUE(outcome.restored);
  EXPECT_EQ(outcome.position, static_cast<LONGLONG>(dump.size()));
  EXPECT_TRUE(SameBytes(dump, DumpToBytes(target)));

  // Skip mode reads just as much and makes no registry call, even where it
  // is handed a key.
  const RestoreOutcome skipped = RestoreBytes(NULL, dump + trailing, TRUE);
  EXPECT_TRUE(skipped.restored);
  EXPECT_EQ(skipped.position, static_cast<LONGLONG>(dump.size()));
  HKEY untouched = FreshSubkey(L"Untouched");
  const RestoreOutcome skippedWithKey = RestoreBytes(untouched, dump + trailing, TRUE);
  EXPECT_TRUE(skippedWithKey.restored);
  EXPECT_EQ(skippedWithKey.position, static_cast<LONGLONG>(dump.size()));
  EXPECT_TRUE(SameBytes(ComposeDump({}), DumpToBytes(untouched)));
  RegCloseKey(untouched);
  RegCloseKey(target);
}

TEST_F(Restore, SubkeyThatCannotBeCreatedIsReadPastHoweverDeep) {
  // In the dump: P holds N (three levels deep) and S; Q follows P.
  const KeyTree source = {{{L"top", REG_DWORD, Dword(1)}},
                          {{L"P",
                            L"",
                            {{{L"p", REG_DWORD, Dword(2)}},
                             {{L"N",
                               L"Nc",
                               {{{L"n", REG_SZ, Sz(L"never")}},
                                {{L"X",
                                  L"",
                                  {{{L"p", REG_DWORD, Dword(66)}},
                                   {{L"Y", L"", {{{L"s", REG_SZ, Sz(L"deep")}}, {}}}}}}}}},
                              {L"S", L"", {{{L"s", REG_SZ, Sz(L"applied")}}, {}}}}}},
                           {L"Q", L"", {{{L"q", REG_DWORD, Dword(3)}}, {}}}}};
  HKEY sourceKey = FreshSubkey(L"Source");
  CreateTree(sourceKey, source);
  const std::string dump = DumpToBytes(sourceKey);
  RegCloseKey(sourceKey);
  ASSERT_TRUE(SameBytes(ComposeDump(source), dump));

  // In the target, P is volatile and already holds a volatile S: P and S
  // open, but a non-volatile N cannot be created under P.
  HKEY target = FreshSubkey(L"Target");
  HKEY p = NULL, s = NULL, probe = NULL;
  ASSERT_EQ(
      RegCreateKeyExW(target, L"P", 0, NULL, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, NULL, &p, NULL),
      ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExW(p, L"S", 0, NULL, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, NULL, &s, NULL),
            ERROR_SUCCESS);
  RegCloseKey(s);
  ASSERT_EQ(RegCreateKeyExW(p, L"Probe", 0, NULL, 0, KEY_WRITE, NULL, &probe, NULL),
            ERROR_CHILD_MUST_BE_VOLATILE);
  RegCloseKey(p);

  const RestoreOutcome outcome = RestoreBytes(target, dump);
  EXPECT_TRUE(outcome.restored);
  EXPECT_EQ(outcome.position, static_cast<LONGLONG>(dump.size()));
  const KeyTree after = {
      {{L"top", REG_DWORD, Dword(1)}},
      {{L"P",
        L"",
        {{{L"p", REG_DWORD, Dword(2)}}, {{L"S", L"", {{{L"s", REG_SZ, Sz(L"applied")}}, {}}}}}},
       {L"Q", L"", {{{L"q", REG_DWORD, Dword(3)}}, {}}}}};
  EXPECT_TRUE(SameBytes(ComposeDump(after), DumpToBytes(target)));
  RegCloseKey(target);
}

TEST_F(Restore, DumpCutAtEveryOffsetFailsAfterApplyingWhatCameBefore) {
  const KeyTree tree = {
      {{L"A", REG_DWORD, Dword(1)}, {L"B", REG_SZ, Sz(L"xy")}},
      {{L"K",
        L"C",
        {{{L"V", REG_DWORD, Dword(2)}}, {{L"L", L"", {{{L"W", REG_BINARY, Pattern(3, 8)}}, {}}}}}},
       {L"M", L"", {}}}};
  HKEY source = FreshSubkey(L"Source");
  CreateTree(source, tree);
  const std::string dump = DumpToBytes(source);
  RegCloseKey(source);
  std::string composed;
  std::vector<Applied> applied;
  ComposeDump(tree, L"", &composed, &applied);
  ASSERT_TRUE(SameBytes(composed, dump));

  const std::wstring targetPath = path_ + L"\\Target";
  for (size_t cut = 0; cut < dump.size(); ++cut) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
    HKEY target = FreshSubkey(L"Target");
    const RestoreOutcome outcome = RestoreBytes(target, dump.substr(0, cut));
    RegCloseKey(target);
    EXPECT_FALSE(outcome.restored);
    for (const Applied& a : applied) {
      const std::wstring key = a.key.empty() ? targetPath : targetPath + L"\\" + a.key;
      const bool expected = cut >= a.end;
      if (a.isValue) {
        DWORD type = 0;
        std::string data;
        const bool present = QueryValue(HKEY_CURRENT_USER, key, a.value.name, &type, &data);
        EXPECT_EQ(present, expected)
            << "value " << std::string(a.value.name.begin(), a.value.name.end());
        if (present) {
          EXPECT_EQ(type, a.value.type);
          EXPECT_EQ(data, a.value.data);
        }
      } else {
        EXPECT_EQ(KeyExists(HKEY_CURRENT_USER, key), expected)
            << "key " << std::string(a.key.begin(), a.key.end());
      }
    }
  }
}

TEST_F(Restore, LengthBeyondItsHeadersMaximumFails) {
  // Each record is followed by enough well-formed bytes that a reader
  // without the check would go on and succeed; the position shows that
  // reading stopped at the offending length.
  const struct {
    const char* name;
    std::string dump;
    size_t stop;  // the offset just past the offending length field
  } cases[] = {
      {"value name",
       Hex("00000000 00000000 01000000 04000000 02 02000000 41004200 04000000 04000000 01000000 "
           "00"),
       21},
      {"value data",
       Hex("00000000 00000000 01000000 04000000 02 01000000 4100 04000000 05000000 0100000000 00"),
       31},
      {"subkey name",
       Hex("01000000 00000000 00000000 00000000 01 02000000 4B004B00 00000000") +
           std::string(18, '\0'),
       21},
      {"class",
       Hex("01000000 02000000 00000000 00000000 01 01000000 4B00 03000000 430043004300") +
           std::string(18, '\0'),
       27},
      {"in a nested level",
       Hex("01000000 00000000 00000000 00000000 01 01000000 4B00 00000000"
           "00000000 00000000 00000000 00000000 02 01000000 4100 04000000 04000000 01000000 00"
           "00"),
       48},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HKEY target = FreshSubkey(L"Target");
    const RestoreOutcome outcome = RestoreBytes(target, c.dump);
    EXPECT_FALSE(outcome.restored);
    EXPECT_EQ(outcome.position, static_cast<LONGLONG>(c.stop));
    DWORD values = 99;
    RegQueryInfoKeyW(target, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    EXPECT_EQ(values, 0u) << "the offending value was set";
    RegCloseKey(target);
  }
}

// Whether this process's heap can hold, all at once, the four buffers that a
// level with these header maxima needs.
bool CanHoldLevelBuffers(DWORD maxSubkey, DWORD maxClass, DWORD maxValueName, DWORD maxValueData) {
  const unsigned long long sizes[4] = {(maxSubkey + 1ull) * sizeof(WCHAR),
                                       (maxClass + 1ull) * sizeof(WCHAR),
                                       (maxValueName + 1ull) * sizeof(WCHAR), maxValueData};
  void* blocks[4] = {};
  bool all = true;
  for (int i = 0; i < 4 && all; ++i) {
    blocks[i] = sizes[i] <= (size_t)-1 ? malloc(sizes[i] > 0 ? (size_t)sizes[i] : 1) : NULL;
    all = blocks[i] != NULL;
  }
  for (void* block : blocks) free(block);
  return all;
}

TEST_F(Restore, HeaderAskingForGigabytesFailsCleanly) {
  // About 28 GiB of buffers. A 64-bit Wine on Linux may well hand them out
  // untouched; the restore then goes on like any other. Either way nothing
  // may crash, and a dump without its end marker fails.
  const bool holdable = CanHoldLevelBuffers(~0u, ~0u, ~0u, ~0u);
  RecordProperty("gigabyte_buffers_allocatable", holdable ? "yes" : "no");
  const std::string huge = Hex("ffffffff ffffffff ffffffff ffffffff");
  const std::string nested = Hex("01000000 00000000 00000000 00000000 01 01000000 4B00 00000000");
  const std::string valueA = Hex("02 01000000 4100 04000000 04000000 01000000");
  const struct {
    const char* name;
    std::string dump;
    bool complete;  // ends with the root's end marker
    bool setsA;     // sets A = 1 on the target once the buffers are had
  } cases[] = {
      {"nothing after the header", huge, false, false},
      {"a record but no end marker", huge + valueA, false, true},
      {"end marker right after the header", huge + Hex("00"), true, false},
      {"a record and the end marker", huge + valueA + Hex("00"), true, true},
      {"a nested level asks for them", nested + huge + Hex("00 00"), true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) +
                 (holdable ? " (buffers allocatable)" : " (buffers refused)"));
    HKEY target = FreshSubkey(L"Target");
    const RestoreOutcome outcome = RestoreBytes(target, c.dump);
    EXPECT_EQ(outcome.restored, c.complete && holdable);
    if (outcome.restored) {
      EXPECT_EQ(outcome.position, static_cast<LONGLONG>(c.dump.size()));
    }
    DWORD type = 0;
    std::string data;
    EXPECT_EQ(QueryValue(HKEY_CURRENT_USER, path_ + L"\\Target", L"A", &type, &data),
              c.setsA && holdable);
    RegCloseKey(target);
  }
}

TEST_F(Restore, NameTooLongForOneReadFails) {
  // 2^31 characters are 2^32 bytes: more than one read can take, and far
  // more than these files hold. Well-formed bytes follow, so a reader whose
  // byte count wrapped to 0 would go on and succeed.
  const struct {
    const char* name;
    std::string dump;
  } cases[] = {
      {"value name",
       Hex("00000000 00000000 ffffffff 04000000 02 00000080 04000000 04000000 01000000 00")},
      {"subkey name",
       Hex("ffffffff 00000000 00000000 00000000 01 00000080 00000000") + std::string(18, '\0')},
      {"class", Hex("01000000 ffffffff 00000000 00000000 01 01000000 4B00 00000080") +
                    std::string(18, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HKEY target = FreshSubkey(L"Target");
    const RestoreOutcome outcome = RestoreBytes(target, c.dump);
    EXPECT_FALSE(outcome.restored);
    DWORD subkeys = 99, values = 99;
    RegQueryInfoKeyW(target, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL,
                     NULL);
    EXPECT_EQ(subkeys, 0u);
    EXPECT_EQ(values, 0u);
    RegCloseKey(target);
  }
}

// ---------------------------------------------------------------------------
// The control-panel record

const WCHAR KEYBOARD[] = L"ControlPanel\\Keybd";
const WCHAR* const KEYBOARD_VALUES[] = {L"DispDly", L"InitialDelay", L"RepeatRate"};

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The stand-in's state file, as it writes it itself.
void WriteState(const std::wstring& path, DWORD storagePages, DWORD ramPages, DWORD pageSize,
                DWORD word4, DWORD divisionResult) {
  char text[256];
  snprintf(text, sizeof text,
           "storage_pages=%lu\nram_pages=%lu\npage_size=%lu\nword4=%lu\ndivision_result=%lu\n",
           storagePages, ramPages, pageSize, word4, divisionResult);
  WriteWhole(path, text);
}

std::map<std::string, DWORD> ReadState(const std::wstring& path) {
  std::map<std::string, DWORD> state;
  const std::string text = ReadWhole(path);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t equals = line.find('=');
    if (equals != std::string::npos) {
      state[line.substr(0, equals)] = strtoul(line.c_str() + equals + 1, NULL, 0);
    }
    at = end + 1;
  }
  return state;
}

// The stand-in's call log, one entry a line; none when it was never written.
std::vector<std::string> ReadLog(const std::wstring& path) {
  std::vector<std::string> lines;
  if (!FileExists(path)) return lines;
  const std::string text = ReadWhole(path);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

std::vector<COLORREF> Colours() {
  std::vector<COLORREF> colours;
  for (int i = 0; i < static_cast<int>(CONTROL_PANEL_COLORS); ++i)
    colours.push_back(GetSysColor(i));
  return colours;
}

bool SetColours(const std::vector<COLORREF>& colours) {
  std::vector<INT> indices;
  for (int i = 0; i < static_cast<int>(colours.size()); ++i) indices.push_back(i);
  return SetSysColors(static_cast<int>(colours.size()), indices.data(), colours.data()) != FALSE;
}

// 29 colours that all differ, from a seed.
std::vector<COLORREF> DistinctColours(unsigned seed) {
  std::vector<COLORREF> colours;
  for (unsigned i = 0; i < CONTROL_PANEL_COLORS; ++i) {
    colours.push_back(
        RGB((10 + 7 * i + seed) & 0xFF, (200 - 5 * i + seed) & 0xFF, (37 * i + 3 * seed) & 0xFF));
  }
  return colours;
}

std::string Record(const std::vector<DWORD>& words) {
  std::string bytes;
  for (DWORD w : words) PutDword(&bytes, w);
  return bytes;
}

// The three keyboard values; a missing one reads as absent.
struct Keyboard {
  bool present[3];
  DWORD type[3];
  std::string data[3];
};

Keyboard ReadKeyboard() {
  Keyboard k;
  for (int i = 0; i < 3; ++i) {
    k.type[i] = 0;
    k.present[i] =
        QueryValue(HKEY_CURRENT_USER, KEYBOARD, KEYBOARD_VALUES[i], &k.type[i], &k.data[i]);
  }
  return k;
}

void ExpectKeyboard(const Keyboard& k, DWORD dispDly, DWORD initialDelay, DWORD repeatRate) {
  const DWORD words[3] = {dispDly, initialDelay, repeatRate};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(Narrow(KEYBOARD_VALUES[i]));
    EXPECT_TRUE(k.present[i]);
    EXPECT_EQ(k.type[i], static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(k.data[i], Dword(words[i]));
  }
}

void ExpectSameKeyboard(const Keyboard& before, const Keyboard& after) {
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(Narrow(KEYBOARD_VALUES[i]));
    EXPECT_EQ(after.present[i], before.present[i]);
    EXPECT_EQ(after.type[i], before.type[i]);
    EXPECT_EQ(after.data[i], before.data[i]);
  }
}

// The stand-in's state and log in files of this test (named to it through
// the environment, which it reads at every call); the keyboard key and the
// system colours put back as they were.
class ControlPanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)FlushWriteBuffer();
    statePath_ = TempPath(L"coresim_state.txt");
    logPath_ = TempPath(L"coresim_log.txt");
    cpPath_ = TempPath(L"cp.dat");
    DeleteFileW(statePath_.c_str());
    DeleteFileW(logPath_.c_str());
    DeleteFileW(cpPath_.c_str());
    DeleteFileW((cpPath_ + L".new").c_str());
    _wputenv((L"CORESIM_STATE=" + statePath_).c_str());
    _wputenv((L"CORESIM_LOG=" + logPath_).c_str());

    controlPanelExisted_ = KeyExists(HKEY_CURRENT_USER, L"ControlPanel");
    keyboardExisted_ = KeyExists(HKEY_CURRENT_USER, KEYBOARD);
    savedKeyboard_ = ReadKeyboard();
    savedColours_ = Colours();
  }

  void TearDown() override {
    SetColours(savedColours_);
    if (!controlPanelExisted_) {
      RegDeleteTreeW(HKEY_CURRENT_USER, L"ControlPanel");
    } else if (!keyboardExisted_) {
      RegDeleteTreeW(HKEY_CURRENT_USER, KEYBOARD);
    } else {
      HKEY key = NULL;
      if (RegOpenKeyExW(HKEY_CURRENT_USER, KEYBOARD, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        for (int i = 0; i < 3; ++i) {
          if (savedKeyboard_.present[i]) {
            RegSetValueExW(key, KEYBOARD_VALUES[i], 0, savedKeyboard_.type[i],
                           reinterpret_cast<const BYTE*>(savedKeyboard_.data[i].data()),
                           static_cast<DWORD>(savedKeyboard_.data[i].size()));
          } else {
            RegDeleteValueW(key, KEYBOARD_VALUES[i]);
          }
        }
        RegCloseKey(key);
      }
    }
    _wputenv(L"CORESIM_STATE=");
    _wputenv(L"CORESIM_LOG=");
    DeleteFileW(statePath_.c_str());
    DeleteFileW(logPath_.c_str());
    DeleteFileW(cpPath_.c_str());
  }

  // Sets the named keyboard values as REG_DWORD; the others are removed.
  void SetKeyboard(DWORD dispDly, DWORD initialDelay, DWORD repeatRate,
                   bool withRepeatRate = true) {
    HKEY key = NULL;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, KEYBOARD, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
        ERROR_SUCCESS);
    const DWORD words[3] = {dispDly, initialDelay, repeatRate};
    for (int i = 0; i < 3; ++i) {
      if (i == 2 && !withRepeatRate) {
        RegDeleteValueW(key, KEYBOARD_VALUES[i]);  // absent is fine
      } else {
        ASSERT_EQ(RegSetValueExW(key, KEYBOARD_VALUES[i], 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&words[i]), 4),
                  ERROR_SUCCESS);
      }
    }
    RegCloseKey(key);
  }

  std::wstring statePath_, logPath_, cpPath_;
  bool controlPanelExisted_ = false, keyboardExisted_ = false;
  Keyboard savedKeyboard_;
  std::vector<COLORREF> savedColours_;
};

TEST_F(ControlPanelTest, SaveWritesTheRecordInItsOrder) {
  WriteState(statePath_, 1000, 3000, 4096, 0x12345678, 0);
  SetKeyboard(300, 500, 33);
  const std::vector<COLORREF> colours = DistinctColours(1);
  ASSERT_TRUE(SetColours(colours));
  ASSERT_EQ(Colours(), colours) << "the system colours did not take";

  EXPECT_TRUE(SaveControlPanel(cpPath_.c_str()));
  const std::string record = ReadWhole(cpPath_);
  ASSERT_EQ(record.size(), 136u);
  EXPECT_EQ(GetDword(record, 0), 1000u * 4096);
  EXPECT_EQ(GetDword(record, 4), 300u);
  EXPECT_EQ(GetDword(record, 8), 500u);
  EXPECT_EQ(GetDword(record, 12), 33u);
  EXPECT_EQ(GetDword(record, 16), 0x12345678u);
  for (DWORD i = 0; i < CONTROL_PANEL_COLORS; ++i) {
    SCOPED_TRACE("colour index " + std::to_string(i));
    EXPECT_EQ(GetDword(record, 20 + 4 * i), GetSysColor(i));
    EXPECT_EQ(GetDword(record, 20 + 4 * i), colours[i]);
  }
  EXPECT_FALSE(FileExists(cpPath_ + L".new"));
  EXPECT_TRUE(ReadLog(logPath_).empty()) << "a save changed a device setting";
}

TEST_F(ControlPanelTest, KeyboardValueShorterThanAWordFillsItsStart) {
  WriteState(statePath_, 10, 10, 4096, 0, 0);
  SetKeyboard(1, 2, 3);
  HKEY key = NULL;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, KEYBOARD, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, L"InitialDelay", 0, REG_BINARY,
                           reinterpret_cast<const BYTE*>("\x34\x12"), 2),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_TRUE(SaveControlPanel(cpPath_.c_str()));
  const std::string record = ReadWhole(cpPath_);
  ASSERT_EQ(record.size(), 136u);
  EXPECT_EQ(GetDword(record, 8), 0x1234u);
}

TEST_F(ControlPanelTest, FailedSaveLeavesTheOldFileAlone) {
  const std::string old = Pattern(136, 9);
  const struct {
    const char* name;
    bool keyboardKey;  // false: the key is missing altogether
    bool repeatRate;
    bool longRepeatRate;  // 8 bytes, too long for its word
    bool oldFile;
  } cases[] = {
      {"RepeatRate missing, no old file", true, false, false, false},
      {"RepeatRate missing, old file", true, false, false, true},
      {"RepeatRate longer than 4 bytes, old file", true, true, true, true},
      {"keyboard key missing, old file", false, false, false, true},
  };
  WriteState(statePath_, 1000, 3000, 4096, 7, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RegDeleteTreeW(HKEY_CURRENT_USER, KEYBOARD);
    if (c.keyboardKey) SetKeyboard(300, 500, 33, c.repeatRate);
    if (c.longRepeatRate) {
      HKEY key = NULL;
      ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, KEYBOARD, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
      ASSERT_EQ(RegSetValueExW(key, L"RepeatRate", 0, REG_BINARY,
                               reinterpret_cast<const BYTE*>(Pattern(8, 1).data()), 8),
                ERROR_SUCCESS);
      RegCloseKey(key);
    }
    DeleteFileW(cpPath_.c_str());
    if (c.oldFile) WriteWhole(cpPath_, old);

    EXPECT_FALSE(SaveControlPanel(cpPath_.c_str()));
    EXPECT_EQ(ReadWhole(cpPath_), c.oldFile ? old : "<missing>");
    EXPECT_FALSE(FileExists(cpPath_ + L".new"));
    if (!c.keyboardKey) {
      // Created empty by the attempt.
      DWORD values = 99;
      HKEY key = NULL;
      ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, KEYBOARD, 0, KEY_READ, &key), ERROR_SUCCESS);
      RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
      RegCloseKey(key);
      EXPECT_EQ(values, 0u);
    }
  }
  EXPECT_TRUE(ReadLog(logPath_).empty());
}

TEST_F(ControlPanelTest, ShortFileTouchesNothing) {
  WriteState(statePath_, 1000, 3000, 4096, 7, 0);
  const std::string state = ReadWhole(statePath_);
  SetKeyboard(300, 500, 33);
  const Keyboard keyboard = ReadKeyboard();
  const std::vector<COLORREF> colours = Colours();
  std::vector<DWORD> words(CONTROL_PANEL_WORDS, 0x00102030);
  words[0] = 500 * 4096;
  WriteWhole(cpPath_, Record(words).substr(0, 135));

  EXPECT_FALSE(LoadControlPanel(cpPath_.c_str()));
  EXPECT_TRUE(ReadLog(logPath_).empty());
  EXPECT_EQ(ReadWhole(statePath_), state);
  ExpectSameKeyboard(keyboard, ReadKeyboard());
  EXPECT_EQ(Colours(), colours);
}

TEST_F(ControlPanelTest, LongerFileAppliesItsFirst136Bytes) {
  WriteState(statePath_, 1000, 3000, 4096, 7, 0);
  // DispDly held as a string before: the load writes REG_DWORD.
  HKEY key = NULL;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_CURRENT_USER, KEYBOARD, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
      ERROR_SUCCESS);
  const std::string text = Sz(L"400");
  RegSetValueExW(key, L"DispDly", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                 static_cast<DWORD>(text.size()));
  RegCloseKey(key);
  const std::vector<COLORREF> colours = DistinctColours(2);
  std::vector<DWORD> words = {1500 * 4096, 111, 222, 333, 0xCAFE};
  words.insert(words.end(), colours.begin(), colours.end());
  // 64 more bytes that would change everything if they were taken.
  WriteWhole(cpPath_, Record(words) + Pattern(64, 3));

  EXPECT_TRUE(LoadControlPanel(cpPath_.c_str()));
  EXPECT_EQ(ReadLog(logPath_), std::vector<std::string>({"SetSystemMemoryDivision 1500",
                                                         "Ordinal716 2", "Ordinal1795 51966"}));
  EXPECT_EQ(ReadState(statePath_)["storage_pages"], 1500u);
  EXPECT_EQ(ReadState(statePath_)["word4"], 0xCAFEu);
  ExpectKeyboard(ReadKeyboard(), 111, 222, 333);
  EXPECT_EQ(Colours(), colours);
}

TEST_F(ControlPanelTest, DivisionThatIsNotTakenEndsTheLoad) {
  const struct {
    const char* name;
    DWORD result;
  } cases[] = {
      {"needs a restart", 1},
      {"restart pending", 2},
      {"refused", 3},
  };
  SetKeyboard(300, 500, 33);
  const Keyboard keyboard = ReadKeyboard();
  const std::vector<COLORREF> colours = Colours();
  std::vector<DWORD> words = {1500 * 4096, 111, 222, 333, 0xCAFE};
  const std::vector<COLORREF> other = DistinctColours(3);
  words.insert(words.end(), other.begin(), other.end());
  WriteWhole(cpPath_, Record(words));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteState(statePath_, 1000, 3000, 4096, 7, c.result);
    DeleteFileW(logPath_.c_str());
    EXPECT_FALSE(LoadControlPanel(cpPath_.c_str()));
    EXPECT_EQ(ReadLog(logPath_), std::vector<std::string>({"SetSystemMemoryDivision 1500"}));
    EXPECT_EQ(ReadState(statePath_)["storage_pages"], 1000u);
    EXPECT_EQ(ReadState(statePath_)["word4"], 7u);
    ExpectSameKeyboard(keyboard, ReadKeyboard());
    EXPECT_EQ(Colours(), colours);
  }
}

TEST_F(ControlPanelTest, StorageSizeIsRoundedDownToWholePages) {
  const struct {
    const char* name;
    DWORD pageSize;
    DWORD storageBytes;
    DWORD pages;
  } cases[] = {
      {"one byte short of the next page", 4096, 1000 * 4096 + 4095, 1000},
      {"saved with another page size", 3000, 1000 * 4096, 1365},
      {"less than one page", 4096, 4095, 0},
      {"exact", 1024, 64 * 1024, 64},
  };
  SetKeyboard(300, 500, 33);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteState(statePath_, 7, 3000, c.pageSize, 0, 0);
    DeleteFileW(logPath_.c_str());
    std::vector<DWORD> words = {c.storageBytes, 300, 500, 33, 0};
    const std::vector<COLORREF> colours = Colours();
    words.insert(words.end(), colours.begin(), colours.end());
    WriteWhole(cpPath_, Record(words));
    EXPECT_TRUE(LoadControlPanel(cpPath_.c_str()));
    const std::vector<std::string> log = ReadLog(logPath_);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "SetSystemMemoryDivision " + std::to_string(c.pages));
    EXPECT_EQ(ReadState(statePath_)["storage_pages"], c.pages);
  }
}

TEST_F(ControlPanelTest, SaveAndLoadRoundTrip) {
  WriteState(statePath_, 1200, 2800, 4096, 0x0BADF00D, 0);
  SetKeyboard(250, 600, 20);
  const std::vector<COLORREF> colours = DistinctColours(4);
  ASSERT_TRUE(SetColours(colours));
  ASSERT_TRUE(SaveControlPanel(cpPath_.c_str()));

  // Everything the record holds, changed.
  WriteState(statePath_, 900, 3100, 4096, 5, 0);
  SetKeyboard(1, 2, 3);
  std::vector<COLORREF> changed = colours;
  changed[5] = RGB(1, 2, 3);
  changed[28] = RGB(4, 5, 6);
  ASSERT_TRUE(SetColours(changed));

  EXPECT_TRUE(LoadControlPanel(cpPath_.c_str()));
  EXPECT_EQ(ReadLog(logPath_),
            std::vector<std::string>({"SetSystemMemoryDivision 1200", "Ordinal716 2",
                                      "Ordinal1795 " + std::to_string(0x0BADF00Du)}));
  EXPECT_EQ(ReadState(statePath_)["storage_pages"], 1200u);
  EXPECT_EQ(ReadState(statePath_)["word4"], 0x0BADF00Du);
  ExpectKeyboard(ReadKeyboard(), 250, 600, 20);
  EXPECT_EQ(Colours(), colours);
}

// Removes the test's files and, once no test key is left, its registry key.
class CleanUp : public ::testing::Environment {
 public:
  void TearDown() override {
    const std::wstring folder = TempDirectory();
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
          DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        }
      } while (FindNextFileW(find, &found));
      FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, SCRATCH_ROOT);  // refused while a test key remains
  }
};

::testing::Environment* const CLEAN_UP = ::testing::AddGlobalTestEnvironment(new CleanUp);

}  // namespace
