// The real program, run on fonts built by the test: every line it prints,
// the files it writes and the files it must leave alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "font_builder.h"

namespace fs = std::filesystem;
using namespace font_builder;

namespace {

const std::string BANNER = "Nomenforge for Microsoft Format\n\n";
const std::string HEADING =
    "Platform must be 0x0000 or 0x0003.\n"
    "Encoding must be 0x0001, 0x0003 or 0x000a.\n"
    "\n"
    "Index  Platform Encoding Language Type     Value\n";
const std::string OK = "Quit the program successfully.\n";
const std::string FATAL = "A fatal error was detected or the name was not found.\n";
const std::string FILE_SHORT = "The file length is insufficient.\n";
const std::string FILE_VERSION = "This file version is not supported.\n";
const std::string NO_NAME_TABLE = "No name table was found.\n";
const std::string TABLE_SHORT = "The name table length is insufficient.\n";
const std::string OUT_OF_TABLE = "A value is out of the name table.\n";
const std::string SHARED = "The name is shared with another record.\n";
const std::string SKIPPED = "This may be skipped.\n";
const std::string WRITE_FAILED = "Failed in writing the file.\n";

const std::string USAGE =
    "Usage\n"
    "\n"
    "namesmith source\n"
    "source          Path of a TrueType Font file.\n"
    "                All names in Unicode name tables will be shown.\n"
    "\n"
    "namesmith source destination oldname newname language -a -x -e\n"
    "source          Path of an unpatched source TrueType Font file.\n"
    "                A TTF or TTC file can be specified.\n"
    "destination     Path of a patched output file.\n"
    "oldname         Original name that will be replaced.\n"
    "                This can be applied only to Unicode name tables.\n"
    "newname         New name that original name will be replaced with.\n"
    "                This can be applied only to Unicode name tables.\n"
    "language        16bit Language ID where changes affect loading the font.\n"
    "                With -x option, all languages except this will be chosen.\n"
    "-a              All languages will be chosen.\n"
    "                The language above will be ignored.\n"
    "                This is optional.\n"
    "-x              All languages except the above will be chosen.\n"
    "                This option is ignored when -a option is specified.\n"
    "                This is optional.\n"
    "-e              Original name will be erased instead of replacing.\n"
    "                This is optional.\n"
    "\n"
    "Example\n"
    "namesmith foo.ttf\n"
    "namesmith foo.ttf bar.ttf \"Foo font\" \"Bar font\" 0x0409\n"
    "\n";

// One record line of a listing, as the program formats it.
std::string Line(unsigned index, unsigned platform, unsigned encoding, unsigned language,
                 unsigned nameId, const std::string& value) {
  char head[64];
  snprintf(head, sizeof head, "%-6u 0x%04X   0x%04X   0x%04X   0x%04X   ", index, platform,
           encoding, language, nameId);
  return head + value + "\n";
}

struct RunOptions {
  const char* locale = "C.UTF-8";
  rlim_t fileSizeLimit = RLIM_INFINITY;
};

// Runs the program with `args` and returns what it printed on standard
// output. Every run must exit with status 0 and print nothing on stderr.
std::string RunNamesmith(const std::vector<std::string>& args, RunOptions options = {}) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) {
    ADD_FAILURE() << "pipe";
    return "";
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    setenv("LC_ALL", options.locale, 1);
    if (options.fileSizeLimit != RLIM_INFINITY) {
      signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
      struct rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> argv{const_cast<char*>(NAMESMITH_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(NAMESMITH_PATH, argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  auto drain = [](int fd) {
    std::string text;
    char chunk[65536];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, n);
    close(fd);
    return text;
  };
  const std::string text = drain(out[0]);
  const std::string errors = drain(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(errors, "");
  return text;
}

// Bytes of a font file with its `name` table located.
struct FontFile {
  Bytes bytes;
  size_t fontOffset = 0;

  size_t NameAt() const { return GetU32(bytes, TableRecordAt(bytes, fontOffset, "name") + 8); }
  size_t NameLength() const {
    return GetU32(bytes, TableRecordAt(bytes, fontOffset, "name") + 12);
  }
  size_t RecordAt(size_t k) const { return NameAt() + 6 + 12 * k; }
  uint32_t Field(size_t k, size_t field) const { return GetU16(bytes, RecordAt(k) + 2 * field); }
  // The record's string bytes as they now stand.
  Bytes String(size_t k) const {
    const size_t at = NameAt() + GetU16(bytes, NameAt() + 4) + Field(k, 5);
    return Bytes(bytes.begin() + at, bytes.begin() + at + Field(k, 4));
  }
};

class NamesmithTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/namesmith-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string Write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(Path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return Path(name);
  }

  Bytes Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string List(const Bytes& font, RunOptions options = {}) {
    return RunNamesmith({Write("list.ttf", font)}, options);
  }

  // Patches `font` into out.ttf; returns the output and leaves the patched
  // bytes (or none) in `patched`.
  std::string Patch(const Bytes& font, const std::string& oldName, const std::string& newName,
                    const std::string& language, std::vector<std::string> options = {}) {
    std::vector<std::string> args{Write("in.ttf", font), Path("out.ttf"), oldName, newName,
                                  language};
    args.insert(args.end(), options.begin(), options.end());
    fs::remove(Path("out.ttf"));
    const std::string text = RunNamesmith(args);
    patched = FontFile{fs::exists(Path("out.ttf")) ? Read("out.ttf") : Bytes{}};
    return text;
  }

  // True when `after` equals `before` outside [from, to).
  static bool SameOutside(const Bytes& before, const Bytes& after, size_t from, size_t to) {
    if (before.size() != after.size()) return false;
    for (size_t i = 0; i < before.size(); ++i) {
      if ((i < from || i >= to) && before[i] != after[i]) return false;
    }
    return true;
  }

  std::string dir_;
  FontFile patched;
};

// A family name in English and Japanese and a Macintosh copy of it.
NameTable FamilyNames() {
  return NameTable{0,
                   {Win(0x0409, 1, u"Foo"), Win(0x0411, 1, u"Foo"),
                    Record{1, 0, 0, 1, Ascii("Foo")}, Win(0x0409, 2, u"Regular")}};
}

// ---------------------------------------------------------------------------
// Command line

TEST_F(NamesmithTest, WrongArgumentListsPrintTheUsage) {
  const std::string missing = Path("missing.ttf");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {missing, "out.ttf"},
      {missing, "out.ttf", "Foo"},
      {missing, "out.ttf", "Foo", "Bar"},
      {missing, "out.ttf", "Foo", "Bar", "0x0409", "-a", "-q"},
      {missing, "out.ttf", "Foo", "Bar", "0x0409", "-ax"},
      {missing, "out.ttf", "Foo", "Bar", "0x0409", "a"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(testing::Message() << args.size() << " arguments");
    // The source is never opened: no "The file was not found." line.
    EXPECT_EQ(RunNamesmith(args), BANNER + "Invalid arguments\n\n" + USAGE);
  }
}

TEST_F(NamesmithTest, OptionsMatchInEitherLetterCase) {
  const Bytes font = BuildFont(FontWithNames(FamilyNames()));
  const struct {
    std::vector<std::string> options;
    bool english, japanese;  // which Windows family records get the new name
  } cases[] = {
      {{}, true, false},
      {{"-x"}, false, true},
      {{"-X"}, false, true},
      {{"-A", "-X"}, true, true},
      {{"-a", "-a"}, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.options.size() << " options");
    EXPECT_EQ(Patch(font, "Foo", "Baz", "0x0409", c.options), BANNER + OK);
    EXPECT_EQ(patched.String(0), Utf16Be(c.english ? u"Baz" : u"Foo"));
    EXPECT_EQ(patched.String(1), Utf16Be(c.japanese ? u"Baz" : u"Foo"));
    EXPECT_EQ(patched.String(2), Ascii("Foo"));  // Macintosh records are never changed
  }

  EXPECT_EQ(Patch(font, "Foo", "Baz", "0x0409", {"-E"}), BANNER + OK);
  EXPECT_EQ(Bytes(patched.bytes.begin() + patched.RecordAt(0),
                  patched.bytes.begin() + patched.RecordAt(1)),
            Bytes(12, 0));
}

TEST_F(NamesmithTest, LanguageArgumentChoosesByItsLow16Bits) {
  const Bytes font = BuildFont(FontWithNames(
      {0, {Win(32, 1, u"Foo"), Win(1033, 1, u"Foo"), Win(0, 1, u"Foo"), Win(1041, 1, u"Foo")}}));
  const struct {
    const char* language;
    int chosen;  // the one record that changes
  } cases[] = {
      {"0409", 0},  // octal 040
      {"0x0409", 1},
      {"0X10409", 1},
      {"1033", 1},
      {"none", 2},
      {"-a", 2},  // the fifth argument is the language, never an option
      {"1041", 3},
      {"-64495", 3},  // 0xFFFF0411
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.language);
    EXPECT_EQ(Patch(font, "Foo", "Bar", c.language), BANNER + OK);
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(patched.String(k), Utf16Be(k == c.chosen ? u"Bar" : u"Foo")) << "record " << k;
    }
  }
}

// ---------------------------------------------------------------------------
// Reading and writing whole files

TEST_F(NamesmithTest, UnreadableSourcesAreNotFound) {
  fs::create_directory(Path("folder.ttf"));
  for (const std::string& source : {Path("missing.ttf"), Path("folder.ttf")}) {
    SCOPED_TRACE(source);
    EXPECT_EQ(RunNamesmith({source}), BANNER + "The file was not found.\n");
    EXPECT_EQ(RunNamesmith({source, Path("out.ttf"), "Foo", "Bar", "0x409"}),
              BANNER + "The file was not found.\n");
    EXPECT_FALSE(fs::exists(Path("out.ttf")));
  }
}

TEST_F(NamesmithTest, EmptySourceIsReadAndTooShort) {
  EXPECT_EQ(List(Bytes{}), BANNER + FILE_SHORT + FATAL);
}

TEST_F(NamesmithTest, NoMatchWritesNothing) {
  const Bytes font = BuildFont(FontWithNames(FamilyNames()));
  const std::string source = Write("in.ttf", font);
  EXPECT_EQ(RunNamesmith({source, Path("new.ttf"), "Nothing", "Bar", "0x409"}), BANNER + FATAL);
  EXPECT_FALSE(fs::exists(Path("new.ttf")));

  Write("old.ttf", Ascii("precious"));
  EXPECT_EQ(RunNamesmith({source, Path("old.ttf"), "Nothing", "Bar", "0x409"}), BANNER + FATAL);
  EXPECT_EQ(Read("old.ttf"), Ascii("precious"));
}

TEST_F(NamesmithTest, PatchMayReplaceTheSourceItself) {
  const Bytes font = BuildFont(FontWithNames(FamilyNames()));
  const std::string source = Write("self.ttf", font);
  EXPECT_EQ(RunNamesmith({source, source, "Foo", "Bar", "0x409"}), BANNER + OK);
  FontFile result{Read("self.ttf")};
  EXPECT_EQ(result.bytes.size(), font.size());
  EXPECT_EQ(result.String(0), Utf16Be(u"Bar"));
}

TEST_F(NamesmithTest, FailedWriteLeavesTheOldDestinationWhole) {
  const Bytes font = BuildFont(FontWithNames(FamilyNames()));
  const std::string source = Write("in.ttf", font);
  const Bytes old(font.size() / 4, 0x5A);
  const std::string destination = Write("out.ttf", old);

  // A real short write: the file size limit stops the write part way.
  RunOptions limited;
  limited.fileSizeLimit = font.size() / 2;
  EXPECT_EQ(RunNamesmith({source, destination, "Foo", "Bar", "0x409"}, limited),
            BANNER + WRITE_FAILED);
  EXPECT_EQ(Read("out.ttf"), old);
  // Nothing but the two files is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);

  EXPECT_EQ(RunNamesmith({source, Path("no/such/folder.ttf"), "Foo", "Bar", "0x409"}),
            BANNER + WRITE_FAILED);

  fs::create_directory(Path("folder.ttf"));
  EXPECT_EQ(RunNamesmith({source, Path("folder.ttf"), "Foo", "Bar", "0x409"}), BANNER + WRITE_FAILED);
}

TEST_F(NamesmithTest, ReadOnlyDestinationIsRefused) {
  const Bytes font = BuildFont(FontWithNames(FamilyNames()));
  const std::string source = Write("in.ttf", font);
  const std::string destination = Write("out.ttf", Ascii("keep"));
  chmod(destination.c_str(), 0444);
  const std::string text = RunNamesmith({source, destination, "Foo", "Bar", "0x409"});
  if (geteuid() != 0) {
    EXPECT_EQ(text, BANNER + WRITE_FAILED);
    EXPECT_EQ(Read("out.ttf"), Ascii("keep"));
  }
  // Either way the mode the user set is kept.
  struct stat st;
  ASSERT_EQ(stat(destination.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
}

TEST_F(NamesmithTest, ReplacedDestinationKeepsModeAndLink) {
  const Bytes font = BuildFont(FontWithNames(FamilyNames()));
  const std::string source = Write("in.ttf", font);
  const std::string target = Write("target.ttf", Ascii("old"));
  chmod(target.c_str(), 0640);
  fs::create_symlink(target, Path("link.ttf"));

  EXPECT_EQ(RunNamesmith({source, Path("link.ttf"), "Foo", "Bar", "0x409"}), BANNER + OK);
  EXPECT_TRUE(fs::is_symlink(Path("link.ttf")));
  FontFile result{Read("target.ttf")};
  EXPECT_EQ(result.String(0), Utf16Be(u"Bar"));
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // A new destination gets the usual mode of a new file.
  const mode_t mask = umask(022);
  EXPECT_EQ(RunNamesmith({source, Path("fresh.ttf"), "Foo", "Bar", "0x409"}), BANNER + OK);
  umask(mask);
  ASSERT_EQ(stat(Path("fresh.ttf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// ---------------------------------------------------------------------------
// Fonts in a file

TEST_F(NamesmithTest, RefusedFilesAndFonts) {
  const Bytes good = BuildFont(FontWithNames(FamilyNames()));
  Bytes otto = good;
  SetU32(otto, 0, 0x4F54544F);
  Bytes version0 = BuildCollection({FontWithNames(FamilyNames())}, 0);
  Bytes noFonts = BuildCollection({}, 0x00020000);
  noFonts.resize(12 + 16, 0);
  Bytes listPastEnd = BuildCollection({FontWithNames(FamilyNames())});
  listPastEnd.resize(15);
  Bytes empty12(12, 0);
  SetU32(empty12, 0, 0x00010000);
  Bytes fontPastEnd = BuildCollection({FontWithNames(FamilyNames())});
  SetU32(fontPastEnd, 12, fontPastEnd.size() - 2);  // not even the version fits
  Bytes headerPastEnd = BuildCollection({FontWithNames(FamilyNames())});
  SetU32(headerPastEnd, 12, headerPastEnd.size() - 8);
  SetU32(headerPastEnd, headerPastEnd.size() - 8, 0x00010000);
  Bytes directoryPastEnd = good;
  SetU16(directoryPastEnd, 4, 2000);
  Bytes namePastEnd = good;
  SetU32(namePastEnd, TableRecordAt(good, 0, "name") + 12, good.size());
  Bytes upperTag = good;
  upperTag[TableRecordAt(good, 0, "name")] = 'N';

  const struct {
    const char* what;
    Bytes file;
    std::string lines;
  } cases[] = {
      {"11 bytes", Bytes(good.begin(), good.begin() + 11), FILE_SHORT},
      {"OTTO", otto, FILE_VERSION},
      {"collection version 0", version0, FILE_VERSION},
      {"collection of no font", noFonts, FILE_VERSION},
      {"offset list past the end", listPastEnd, FILE_SHORT},
      {"no table at all", empty12, NO_NAME_TABLE},
      {"font past the end", fontPastEnd, FILE_SHORT},
      {"offset table past the end", headerPastEnd, FILE_SHORT},
      {"table records past the end", directoryPastEnd, FILE_SHORT},
      {"name table past the end", namePastEnd, FILE_SHORT},
      {"tag NAME", upperTag, NO_NAME_TABLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(List(c.file), BANNER + c.lines + FATAL);
    EXPECT_EQ(Patch(c.file, "Foo", "Bar", "0x409", {"-a"}), BANNER + c.lines + FATAL);
    EXPECT_FALSE(fs::exists(Path("out.ttf")));
  }
}

TEST_F(NamesmithTest, CollectionVersion2IsListed) {
  const Bytes file =
      BuildCollection({FontWithNames({0, {Win(0x409, 1, u"Foo")}})}, 0x00020000);
  EXPECT_EQ(List(file), BANNER + HEADING + Line(0, 3, 1, 0x409, 1, "Foo") + OK);
}

TEST_F(NamesmithTest, EveryFontOfACollectionIsVisited) {
  Font noName{0x00010000, {{"head", Bytes(54, 1)}}};
  const Bytes file = BuildCollection({FontWithNames({0, {Win(0x409, 1, u"Foo")}}), noName,
                                      FontWithNames({0, {Win(0x409, 4, u"Foo")}})});
  EXPECT_EQ(List(file), BANNER + HEADING + Line(0, 3, 1, 0x409, 1, "Foo") + NO_NAME_TABLE +
                            HEADING + Line(0, 3, 1, 0x409, 4, "Foo") + OK);

  EXPECT_EQ(Patch(file, "Foo", "Bar", "0x409"), BANNER + NO_NAME_TABLE + OK);
  for (size_t font : {0, 2}) {
    FontFile f{patched.bytes, GetU32(patched.bytes, 12 + 4 * font)};
    EXPECT_EQ(f.String(0), Utf16Be(u"Bar")) << "font " << font;
  }
}

TEST_F(NamesmithTest, FontsSharingANameTableSeeEachOthersChanges) {
  Bytes file = BuildCollection({FontWithNames({0, {Win(0x409, 1, u"Foo")}}),
                                FontWithNames({0, {Win(0x409, 1, u"Other")}})});
  const size_t second = GetU32(file, 16);
  const size_t firstName = TableRecordAt(file, GetU32(file, 12), "name");
  const size_t secondName = TableRecordAt(file, second, "name");
  SetU32(file, secondName + 8, GetU32(file, firstName + 8));
  SetU32(file, secondName + 12, GetU32(file, firstName + 12));

  const std::string table = HEADING + Line(0, 3, 1, 0x409, 1, "Foo");
  EXPECT_EQ(List(file), BANNER + table + table + OK);
  // The second pass finds the new name where the old one was.
  EXPECT_EQ(Patch(file, "Foo", "Bar", "0x409"), BANNER + OK);
  EXPECT_EQ((FontFile{patched.bytes, GetU32(patched.bytes, 12)}.String(0)), Utf16Be(u"Bar"));
  EXPECT_EQ(Patch(file, "Foo", "Bar", "0x409", {"-e"}), BANNER + OK);
}

// ---------------------------------------------------------------------------
// Name tables

TEST_F(NamesmithTest, RefusedNameTables) {
  NameTable twoRecords{0, {Win(0x409, 1, u"Foo"), Win(0x409, 2, u"Bar")}};
  Bytes format1 = BuildNameTable(twoRecords);
  SetU16(format1, 0, 1);
  Bytes records = BuildNameTable(twoRecords);
  records.resize(6 + 12 * 2 - 1);
  Bytes storage = BuildNameTable(twoRecords);
  SetU16(storage, 4, storage.size() + 1);

  const struct {
    const char* what;
    Bytes table;
    std::string line;
  } cases[] = {
      {"5 bytes", Bytes(5, 0), TABLE_SHORT},
      {"format 1", format1, "This version of name table is not supported.\n"},
      {"records cut short", records, TABLE_SHORT},
      {"storage past the end", storage, TABLE_SHORT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes font = BuildFont(Font{0x00010000, {{"name", c.table}}});
    EXPECT_EQ(List(font), BANNER + c.line + FATAL);
    EXPECT_EQ(Patch(font, "Foo", "Baz", "0", {"-a"}), BANNER + c.line + FATAL);
  }
}

TEST_F(NamesmithTest, ListingShowsEveryRecordAsStored) {
  NameTable t{0,
              {Win(0x409, 1, u"Foo"),
               Record{3, 10, 0x409, 4, Bytes{0, 'A', 0, 'B', 0, 'C'}, -1, 5},  // odd length
               Record{3, 1, 0x409, 5, Bytes{0, 'Z'}, -1, 1},                   // half a unit
               Record{1, 0, 0, 1, Ascii("Mac!")},                              // two bytes a unit
               Record{0, 3, 0, 6, Utf16Be(u"a\nb")},
               Record{0, 4, 0, 7, Utf16Be(u"\U0001F600|\xD800|\xDC00|\xD83D")},
               Win(0x411, 1, u"\u30D5\u30A9\u30F3\u30C8")}};
  EXPECT_EQ(List(BuildFont(FontWithNames(t))),
            BANNER + HEADING + Line(0, 3, 1, 0x409, 1, "Foo") + Line(1, 3, 10, 0x409, 4, "AB") +
                Line(2, 3, 1, 0x409, 5, "") + Line(3, 1, 0, 0, 1, "\u4D61\u6321") +
                Line(4, 0, 3, 0, 6, "a\nb") + Line(5, 0, 4, 0, 7, "\U0001F600|||") +
                Line(6, 3, 1, 0x411, 1, "\u30D5\u30A9\u30F3\u30C8") + OK);
}

TEST_F(NamesmithTest, UnencodableCharactersPrintNothing) {
  const Bytes font = BuildFont(FontWithNames({0, {Win(0x409, 1, u"caf\u00E9 ok"),
                                                  Win(0x409, 2, u"next")}}));
  RunOptions ascii;
  ascii.locale = "C";
  EXPECT_EQ(List(font, ascii), BANNER + HEADING + Line(0, 3, 1, 0x409, 1, "caf ok") +
                                   Line(1, 3, 1, 0x409, 2, "next") + OK);
}

TEST_F(NamesmithTest, EmptyTableIsListed) {
  EXPECT_EQ(List(BuildFont(FontWithNames({}))), BANNER + HEADING + OK);
}

TEST_F(NamesmithTest, StringsAreInRangeUpToTheTableEnd) {
  // The last string ends exactly at the table's end; the one after claims
  // one byte more and is skipped, and the index still advances.
  NameTable t{0,
              {Win(0x409, 1, u"Foo"), Record{3, 1, 0x409, 2, {}, 6, 7}, Win(0x409, 3, u"End")}};
  t.storageOffset = 6 + 12 * 3;
  Bytes table = BuildNameTable(t);
  const std::string expected = HEADING + Line(0, 3, 1, 0x409, 1, "Foo") + OUT_OF_TABLE +
                               SKIPPED + Line(2, 3, 1, 0x409, 3, "End");
  EXPECT_EQ(List(BuildFont(Font{0x00010000, {{"name", table}}})), BANNER + expected + OK);

  // Storage that starts at the very end of the table passes the header test.
  NameTable atEnd{0, {Record{3, 1, 0x409, 1, {}, 0, 0}}};
  atEnd.storageOffset = 6 + 12;
  EXPECT_EQ(List(BuildFont(Font{0x00010000, {{"name", BuildNameTable(atEnd)}}})),
            BANNER + HEADING + Line(0, 3, 1, 0x409, 1, "") + OK);

  // Out-of-range Unicode records are reported in patch mode too; others are not.
  Record macOut{1, 0, 0, 1, {}, 0, 100};
  const Bytes font = BuildFont(Font{0x00010000, {{"name", BuildNameTable(t)}}});
  EXPECT_EQ(Patch(font, "Foo", "Bar", "0x409"), BANNER + OUT_OF_TABLE + SKIPPED + OK);
  NameTable macOnly{0, {macOut, Win(0x409, 1, u"Foo")}};
  EXPECT_EQ(Patch(BuildFont(FontWithNames(macOnly)), "Foo", "Bar", "0x409"), BANNER + OK);
}

TEST_F(NamesmithTest, LargeTableStringsAreReadBeyond64KiB) {
  // Storage offset plus string offset exceeds 65535.
  NameTable t{0, {Win(0x409, 1, u"Foo"), Record{3, 1, 0x409, 4, {}, 0, 8}}};
  t.storageOffset = 0xFF00;
  Bytes table = BuildNameTable(t);
  table.resize(0xFF00 + 0xFFF0 + 8, 0);
  SetU16(table, 6 + 12 + 10, 0xFFF0);
  const Bytes late = Utf16Be(u"Late");
  std::copy(late.begin(), late.end(), table.begin() + 0xFF00 + 0xFFF0);
  const Bytes font = BuildFont(Font{0x00010000, {{"name", table}}});
  // Record 0 points at zero bytes: zero units are written, not taken as an end.
  EXPECT_EQ(List(font), BANNER + HEADING + Line(0, 3, 1, 0x409, 1, std::string(3, '\0')) +
                            Line(1, 3, 1, 0x409, 4, "Late") + OK);
  EXPECT_EQ(Patch(font, "Late", "Soon", "0x409"), BANNER + OK);
  EXPECT_EQ(patched.String(1), Utf16Be(u"Soon"));
}

// ---------------------------------------------------------------------------
// Rewriting

TEST_F(NamesmithTest, ReplacedNamesChangeOnlyTheirRecords) {
  const Bytes font = BuildFont(FontWithNames(FamilyNames()));
  const FontFile before{font};
  const struct {
    const char* newName;
    Bytes stored;
  } cases[] = {
      {"Bar", Utf16Be(u"Bar")},
      {"Ba", Utf16Be(u"Ba")},
      {"", Bytes{}},
      {"\xE3\x83\x95\xF0\x9F\x98\x80", Utf16Be(u"\u30D5\U0001F600")},  // UTF-8 argument
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.newName);
    EXPECT_EQ(Patch(font, "Foo", c.newName, "0x409"), BANNER + OK);
    ASSERT_EQ(patched.bytes.size(), font.size());
    EXPECT_EQ(patched.String(0), c.stored);
    EXPECT_EQ(patched.Field(0, 4), c.stored.size());
    // Only the length field and the new name's bytes may differ: the old
    // bytes past a shorter name stay in the storage.
    const size_t string = before.NameAt() + GetU16(font, before.NameAt() + 4);
    const size_t end = string + c.stored.size();
    for (size_t i = 0; i < font.size(); ++i) {
      const bool lengthField = i >= before.RecordAt(0) + 8 && i < before.RecordAt(0) + 10;
      const bool stringBytes = i >= string && i < end;
      if (!lengthField && !stringBytes) {
        ASSERT_EQ(font[i], patched.bytes[i]) << "byte " << i;
      }
    }
  }
}

TEST_F(NamesmithTest, ErasedRecordsBecomeZeroAndKeepTheirStrings) {
  const Bytes font = BuildFont(FontWithNames(FamilyNames()));
  const FontFile before{font};
  EXPECT_EQ(Patch(font, "Foo", "ignored", "0", {"-e", "-a"}), BANNER + OK);
  for (size_t k : {0, 1}) {
    EXPECT_EQ(Bytes(patched.bytes.begin() + before.RecordAt(k),
                    patched.bytes.begin() + before.RecordAt(k) + 12),
              Bytes(12, 0));
  }
  EXPECT_TRUE(SameOutside(font, patched.bytes, before.RecordAt(0), before.RecordAt(2)));
  EXPECT_EQ(RunNamesmith({Path("out.ttf")}),
            BANNER + HEADING + Line(0, 0, 0, 0, 0, "") + Line(1, 0, 0, 0, 0, "") +
                Line(2, 1, 0, 0, 1, "\u466F") +
                Line(3, 3, 1, 0x409, 2, "Regular") + OK);
}

TEST_F(NamesmithTest, OnlyUnicodeRecordsAreChosen) {
  const struct {
    uint16_t platform, encoding;
    bool chosen;
  } cases[] = {
      {0, 1, true},  {0, 3, true},  {0, 10, true}, {3, 1, true},  {3, 3, true},
      {3, 10, true}, {1, 0, false}, {3, 0, false}, {2, 1, false}, {0, 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.platform << "," << c.encoding);
    const Bytes font = BuildFont(
        FontWithNames({0, {Record{c.platform, c.encoding, 0x409, 1, Utf16Be(u"Foo")}}}));
    EXPECT_EQ(Patch(font, "Foo", "Bar", "0x409"), BANNER + (c.chosen ? OK : FATAL));
    if (c.chosen) {
      EXPECT_EQ(patched.String(0), Utf16Be(u"Bar"));
    }
  }
}

TEST_F(NamesmithTest, NamesMatchExactly) {
  const Bytes font = BuildFont(FontWithNames(
      {0,
       {Win(0x409, 1, u"foo"), Win(0x409, 2, u"Foobar"),
        Record{3, 1, 0x409, 3, Bytes{0, 'F', 0, 'o', 0, 'o', 0x7F}}}}));
  EXPECT_EQ(Patch(font, "Foo", "Bar", "0x409"), BANNER + OK);
  EXPECT_EQ(patched.String(0), Utf16Be(u"foo"));
  EXPECT_EQ(patched.String(1), Utf16Be(u"Foobar"));
  EXPECT_EQ(patched.String(2), Utf16Be(u"Bar"));  // the odd last byte is ignored
}

TEST_F(NamesmithTest, LongerNameNeedsFreeBytesInsideTheTable) {
  // The first "Foo" is followed by free bytes; the second ends the table.
  Record roomy = Win(0x409, 1, u"Foo");
  roomy.string.resize(16, 0);
  roomy.length = 6;
  const Bytes font = BuildFont(FontWithNames({0, {roomy, Win(0x411, 1, u"Foo")}}));
  EXPECT_EQ(Patch(font, "Foo", "Food", "0", {"-a"}), BANNER + TABLE_SHORT + SKIPPED + OK);
  EXPECT_EQ(patched.String(0), Utf16Be(u"Food"));
  EXPECT_EQ(patched.String(1), Utf16Be(u"Foo"));
}

TEST_F(NamesmithTest, SharedStringsAreNeverChangedBehindAnotherRecord) {
  const Record foo = Win(0x409, 1, u"Foo");
  auto at = [](Record r, int64_t offset, int64_t length) {
    r.string.clear();
    r.offset = offset;
    r.length = length;
    return r;
  };
  const struct {
    const char* what;
    NameTable table;
    const char* oldName;
    const char* newName;
    std::vector<std::string> options;
    std::string lines;
    std::vector<std::u16string> strings;  // of every record afterwards
  } cases[] = {
      {"another language shares the string",
       {0, {foo, at(Win(0x411, 1, u""), 0, 6)}},
       "Foo",
       "Bar",
       {},
       SHARED + SKIPPED + FATAL,
       {u"Foo", u"Foo"}},
      {"a Macintosh record shares the string",
       {0, {foo, at(Record{1, 0, 0, 1, {}}, 0, 6)}},
       "Foo",
       "Bar",
       {},
       SHARED + SKIPPED + FATAL,
       {u"Foo", u"Foo"}},
      {"both sharers are chosen",
       {0, {foo, at(Win(0x411, 1, u""), 0, 6)}},
       "Foo",
       "Bar",
       {"-a"},
       OK,
       {u"Bar", u"Bar"}},
      {"a longer name would run into the next string",
       {0, {foo, Win(0x409, 2, u"Regular")}},
       "Foo",
       "Foobar",
       {},
       SHARED + SKIPPED + FATAL,
       {u"Foo", u"Regular"}},
      {"a shorter name stops before a string inside the old one",
       {0, {Win(0x409, 4, u"Foo Bold"), at(Win(0x409, 2, u""), 8, 8)}},
       "Foo Bold",
       "Baz",
       {},
       OK,
       {u"Baz", u"Bold"}},
      {"a name reaching a string inside the old one",
       {0, {Win(0x409, 4, u"Foo Bold"), at(Win(0x409, 2, u""), 8, 8)}},
       "Foo Bold",
       "Bazooka",
       {},
       SHARED + SKIPPED + FATAL,
       {u"Foo Bold", u"Bold"}},
      {"a string that begins before the new name and reaches into it",
       {0, {at(Win(0x409, 2, u""), 0, 10), at(foo, 8, 6), Win(0x409, 9, u"Foo Foo ")}},
       "Foo",
       "Bar",
       {},
       SHARED + SKIPPED + FATAL,
       {u"Foo F", u"Foo", u"Foo Foo "}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes font = BuildFont(FontWithNames(c.table));
    EXPECT_EQ(Patch(font, c.oldName, c.newName, "0x409", c.options), BANNER + c.lines);
    const FontFile result{patched.bytes.empty() ? font : patched.bytes};
    for (size_t k = 0; k < c.strings.size(); ++k) {
      EXPECT_EQ(result.String(k), Utf16Be(c.strings[k])) << "record " << k;
    }
  }
}

TEST_F(NamesmithTest, NewNameMustFitTheLengthField) {
  NameTable t{0, {Win(0x409, 1, u"Foo")}};
  t.padding = 70000;
  const Bytes font = BuildFont(FontWithNames(t));
  EXPECT_EQ(Patch(font, "Foo", std::string(32768, 'x'), "0x409"),
            BANNER + TABLE_SHORT + SKIPPED + FATAL);
  EXPECT_EQ(Patch(font, "Foo", std::string(32767, 'x'), "0x409"), BANNER + OK);
  EXPECT_EQ(patched.Field(0, 4), 65534u);
  EXPECT_EQ(patched.String(0), Utf16Be(std::u16string(32767, u'x')));
}

TEST_F(NamesmithTest, NothingChosenLeavesTheFontAlone) {
  const Bytes font = BuildFont(FontWithNames(FamilyNames()));
  EXPECT_EQ(Patch(font, "Foo", "Bar", "0x0407"), BANNER + FATAL);
  EXPECT_TRUE(patched.bytes.empty());
}

}  // namespace
