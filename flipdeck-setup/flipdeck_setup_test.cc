// flipdeck-setup end to end under Wine: the real program on drive C: of a
// prefix of its own, where "\Storage Card" and "\NAND3" resolve, driven
// through its message boxes by the window driver.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "installer.h"
#include "test_files.h"
#include "window_driver.h"

using window_driver::ShownBox;

namespace {

const std::wstring CARD = L"C:\\Storage Card";
const std::wstring NAND = L"C:\\NAND3";
const std::wstring SOURCE = CARD + L"\\\u30A2\u30D7\u30EA\\Flipdeck";
const std::wstring TARGET = NAND + L"\\\u30A2\u30D7\u30EA\\Flipdeck";

const std::wstring CAPTION = L"Flipdeck for SHARP Brain Installer";
const std::vector<int> YES_NO = {IDYES, IDNO};
const std::vector<int> OK_ONLY = {IDOK};

// Every box: no icon, and the first button drawn as the default.
const ShownBox ASK_INSTALL{
    CAPTION, L"Would you like to install Flipdeck in the internal memory?", YES_NO, IDYES, false};
const ShownBox NOT_FOUND{CAPTION,
                           L"Flipdeck was not found in the microSD card.\n"
                           L"Please make sure Flipdeck was copied to the microSD card.",
                           OK_ONLY, IDOK, false};
const ShownBox ASK_OVERWRITE{CAPTION,
                               L"Another version of Flipdeck already exists in the internal "
                               L"memory.\nWould you like to overwrite it and continue?",
                               YES_NO, IDYES, false};
const ShownBox DELETE_FAILED{CAPTION,
                               L"An error occured.\nPlease remove Flipdeck which is in the "
                               L"internal memory manually.",
                               OK_ONLY, IDOK, false};
const ShownBox COPY_FAILED{CAPTION,
                             L"An error occured.\nPlease make enough free space in the internal "
                             L"memory and retry.",
                             OK_ONLY, IDOK, false};
const ShownBox INSTALLED{CAPTION,
                           L"Installed successfully.\nPlease reset and start Flipdeck from the "
                           L"internal memory (not from a microSD card).",
                           OK_ONLY, IDOK, false};

// ---------------------------------------------------------------------------
// Files on the simulated device

using test_files::FileContent;
using test_files::MakeFolders;
using test_files::Noise;
using test_files::RemoveTree;

void PutFile(const std::wstring& path, const std::string& content) {
  MakeFolders(path.substr(0, path.find_last_of(L'\\')));
  ASSERT_TRUE(test_files::WriteWholeFile(path, content)) << "cannot create a test file";
}

// Everything below `path`: relative names mapped to file contents, folders
// to "<folder>". A plain file at `path` itself is the name "".
using Tree = std::map<std::wstring, std::string>;

void Collect(const std::wstring& root, const std::wstring& relative, Tree* tree) {
  const std::wstring path = relative.empty() ? root : root + L"\\" + relative;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    (*tree)[relative] = FileContent(path);
    return;
  }
  (*tree)[relative] = "<folder>";
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") {
      Collect(root, relative.empty() ? name : relative + L"\\" + name, tree);
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

Tree Snapshot(const std::wstring& root) {
  Tree tree;
  Collect(root, L"", &tree);
  return tree;
}

// A new version on the card: nested folders, a Japanese file name, an empty
// file and a file of several MiB.
void PutNewVersion() {
  PutFile(SOURCE + L"\\Flipdeck.exe", Noise(70000, 1));
  PutFile(SOURCE + L"\\empty.txt", "");
  PutFile(SOURCE + L"\\\u8F9E\u66F8.txt", "\xE8\xBE\x9E\xE6\x9B\xB8 new");
  PutFile(SOURCE + L"\\data\\cards\\deck1.csv", "front,back\nnew,1\n");
  PutFile(SOURCE + L"\\data\\large.bin", Noise(5 * 1024 * 1024 + 17, 2));
  MakeFolders(SOURCE + L"\\data\\empty folder");
}

// An older version in internal memory, with files the new one lacks.
void PutOldVersion() {
  PutFile(TARGET + L"\\Flipdeck.exe", Noise(50000, 3));
  PutFile(TARGET + L"\\old-only.txt", "only in the old version");
  PutFile(TARGET + L"\\data\\cards\\deck1.csv", "front,back\nold,1\n");
}

class FlipdeckSetupTest : public testing::Test {
 protected:
  void SetUp() override {
    RemoveTree(CARD);
    RemoveTree(NAND);
  }
  void TearDown() override {
    RemoveTree(CARD);
    RemoveTree(NAND);
  }

  // Runs the installer from drive C: and checks that it ended with 0.
  std::vector<ShownBox> Install(const std::vector<int>& answers) {
    const window_driver::Run run = window_driver::RunAnswering(
        window_driver::ProgramFolder() + L"flipdeck-setup.exe", L"", L"C:\\", answers);
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.ended) << "the installer did not end";
    EXPECT_EQ(run.exitCode, 0u);
    return run.boxes;
  }
};

void ExpectBoxes(const std::vector<ShownBox>& shown, const std::vector<ShownBox>& expected) {
  ASSERT_EQ(shown.size(), expected.size()) << [&] {
    std::string all;
    for (const ShownBox& box : shown) all += "\n  " + window_driver::Describe(box);
    return "boxes shown:" + all;
  }();
  for (size_t i = 0; i < shown.size(); ++i) {
    EXPECT_EQ(shown[i], expected[i]) << "box " << i << ": " << window_driver::Describe(shown[i]);
  }
}

TEST_F(FlipdeckSetupTest, NoToTheFirstQuestionChangesNothing) {
  PutNewVersion();
  PutOldVersion();
  const Tree card = Snapshot(CARD), nand = Snapshot(NAND);
  ExpectBoxes(Install({IDNO}), {ASK_INSTALL});
  EXPECT_EQ(Snapshot(CARD), card);
  EXPECT_EQ(Snapshot(NAND), nand);
}

TEST_F(FlipdeckSetupTest, MissingSourceIsReported) {
  // No card at all, then a card without the folder, then a target present.
  ExpectBoxes(Install({IDYES, IDOK}), {ASK_INSTALL, NOT_FOUND});
  EXPECT_TRUE(Snapshot(NAND).empty());

  MakeFolders(CARD + L"\\\u30A2\u30D7\u30EA");
  ExpectBoxes(Install({IDYES, IDOK}), {ASK_INSTALL, NOT_FOUND});

  PutOldVersion();
  const Tree nand = Snapshot(NAND);
  ExpectBoxes(Install({IDYES, IDOK}), {ASK_INSTALL, NOT_FOUND});
  EXPECT_EQ(Snapshot(NAND), nand);
}

TEST_F(FlipdeckSetupTest, FreshInstallCopiesTheWholeFolder) {
  PutNewVersion();
  ExpectBoxes(Install({IDYES, IDOK}), {ASK_INSTALL, INSTALLED});
  const Tree source = Snapshot(SOURCE);
  EXPECT_EQ(Snapshot(TARGET), source);
  EXPECT_EQ(source.size(), 9u);  // the tree above: 5 files, 4 folders
}

TEST_F(FlipdeckSetupTest, NoToOverwriteKeepsTheOldCopy) {
  PutNewVersion();
  PutOldVersion();
  const Tree nand = Snapshot(NAND);
  ExpectBoxes(Install({IDYES, IDNO}), {ASK_INSTALL, ASK_OVERWRITE});
  EXPECT_EQ(Snapshot(NAND), nand);
}

TEST_F(FlipdeckSetupTest, YesToOverwriteReplacesTheOldCopy) {
  PutNewVersion();
  PutOldVersion();
  ExpectBoxes(Install({IDYES, IDYES, IDOK}), {ASK_INSTALL, ASK_OVERWRITE, INSTALLED});
  // Files only the old copy had are gone.
  EXPECT_EQ(Snapshot(TARGET), Snapshot(SOURCE));
}

TEST_F(FlipdeckSetupTest, FailedDeleteStopsBeforeTheCopy) {
  PutNewVersion();
  PutOldVersion();
  // A file of the old copy held open without delete sharing cannot go.
  const std::wstring held = TARGET + L"\\data\\cards\\deck1.csv";
  HANDLE h = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ExpectBoxes(Install({IDYES, IDYES, IDOK}), {ASK_INSTALL, ASK_OVERWRITE, DELETE_FAILED});
  CloseHandle(h);

  const Tree target = Snapshot(TARGET);
  EXPECT_EQ(target.count(L"data\\cards\\deck1.csv"), 1u);
  EXPECT_EQ(FileContent(held), "front,back\nold,1\n");
  // No copy was made: nothing of the new version arrived.
  EXPECT_EQ(target.count(L"empty.txt"), 0u);
  EXPECT_EQ(target.count(L"data\\large.bin"), 0u);
}

TEST_F(FlipdeckSetupTest, FailedCopyIsReported) {
  // A plain file where the copy must create the folder アプリ. Wine reports
  // a folder copy as done even when nothing inside it could be copied, so
  // the source here is a plain file, whose failed copy Wine does report.
  PutFile(SOURCE, "the new version");
  PutFile(NAND + L"\\\u30A2\u30D7\u30EA", "not a folder");
  ExpectBoxes(Install({IDYES, IDOK}), {ASK_INSTALL, COPY_FAILED});
  EXPECT_EQ(FileContent(NAND + L"\\\u30A2\u30D7\u30EA"), "not a folder");
}

TEST_F(FlipdeckSetupTest, PlainFileAtTheSourceIsCopied) {
  PutFile(SOURCE, "a file where the folder should be");
  ExpectBoxes(Install({IDYES, IDOK}), {ASK_INSTALL, INSTALLED});
  EXPECT_EQ(FileContent(TARGET), "a file where the folder should be");
}

TEST(FolderExists, OpensFoldersAndFiles) {
  RemoveTree(CARD);
  MakeFolders(CARD + L"\\folder");
  PutFile(CARD + L"\\file.txt", "x");
  EXPECT_TRUE(FolderExists((CARD + L"\\folder").c_str()));
  EXPECT_TRUE(FolderExists((CARD + L"\\file.txt").c_str()));
  EXPECT_FALSE(FolderExists((CARD + L"\\missing").c_str()));
  EXPECT_FALSE(FolderExists((CARD + L"\\missing\\below").c_str()));
  // No access is asked, so a file held open without any sharing is found.
  HANDLE h = CreateFileW((CARD + L"\\file.txt").c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(FolderExists((CARD + L"\\file.txt").c_str()));
  CloseHandle(h);
  RemoveTree(CARD);
}

}  // namespace
