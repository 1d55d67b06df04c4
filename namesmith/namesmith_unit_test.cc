// The procedures that print nothing: language parsing, name comparison and
// name storing. Runs natively and, for the Windows build, under Wine.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "font_builder.h"
#include "namesmith.h"

using font_builder::Bytes;
using font_builder::Utf16Be;

TEST(ParseLanguage, FollowsWcstoulInBase0With32BitResult) {
  const struct {
    const char16_t* text;
    uint32_t expected;
  } cases[] = {
      {u"0x0409", 0x0409},
      {u"0X0409", 0x0409},
      {u"1041", 1041},
      {u"0409", 32},  // octal 040; reading stops at the 9
      {u"08", 0},
      {u"0", 0},
      {u"", 0},
      {u"abc", 0},
      {u"0x", 0},  // no hex digit: the 0 alone is read
      {u"0xg1", 0},
      {u"0x1g", 1},
      {u"  12", 12},
      {u"\t7", 7},
      {u"+5", 5},
      {u"-1", 0xFFFFFFFF},
      {u"-0x409", 0xFFFFFBF7},
      {u"- 1", 0},
      {u"4294967295", 0xFFFFFFFF},
      {u"4294967296", 0xFFFFFFFF},
      {u"0x100000409", 0xFFFFFFFF},
      {u"99999999999999999999999", 0xFFFFFFFF},
      {u"-4294967295", 1},
      {u"-4294967296", 0xFFFFFFFF},
      {u"0x10409", 0x10409},
      {u"-a", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)));
    EXPECT_EQ(ParseLanguage(c.text), c.expected);
  }
}

TEST(NameEquals, ComparesUnitByUnit) {
  const struct {
    Bytes stored;
    const char16_t* name;
    bool expected;
  } cases[] = {
      {Utf16Be(u"Foo"), u"Foo", true},
      {Utf16Be(u"Foo"), u"foo", false},   // letter case counts
      {Utf16Be(u"Foo"), u"Fo", false},    // a prefix is not equal
      {Utf16Be(u"Fo"), u"Foo", false},
      {Utf16Be(u"Fo\u00F6"), u"Fo\u00F6", true},
      {Utf16Be(u"\U0001F600"), u"\U0001F600", true},
      {Bytes{0, 'F', 0, 'o', 0x41}, u"Fo", true},  // odd last byte ignored
      {Bytes{0, 'F', 0, 'o', 0, 'o'}, u"Fo", false},
      {Bytes{}, u"", true},
      {Bytes{0x41}, u"", true},
      {Bytes{0, 0}, u"", false},
      {Bytes{'F', 0}, u"F", false},  // big-endian, not the host's order
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "stored " << c.stored.size() << " bytes");
    EXPECT_EQ(NameEquals(c.stored.data(), c.stored.size(), c.name), c.expected);
  }
}

TEST(StoreName, WritesHighByteFirstWithoutTerminator) {
  uint8_t out[8];
  memset(out, 0xDD, sizeof out);
  EXPECT_EQ(StoreName(out, u"A\u3042"), 4);
  const uint8_t expected[8] = {0x00, 0x41, 0x30, 0x42, 0xDD, 0xDD, 0xDD, 0xDD};
  EXPECT_EQ(memcmp(out, expected, sizeof out), 0);

  memset(out, 0xDD, sizeof out);
  EXPECT_EQ(StoreName(out, u""), 0);
  EXPECT_EQ(out[0], 0xDD);
}
