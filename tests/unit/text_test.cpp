#include "core/base/text.h"

#include <gtest/gtest.h>

namespace certwright {
namespace {

TEST(Text, ValidatesUtf8) {
  struct Case {
    std::string_view bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii", true},
      {"\xC3\xA9", true},           // é
      {"\xF0\x9F\x98\x80", true},   // U+1F600
      {"\xC0\xAF", false},          // overlong "/"
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xE2\x82", false},          // truncated
      {"\xFF", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
}

TEST(Text, ReplacesEachMaximalIllFormedSubpart) {
  EXPECT_EQ(lossy_utf8("a\xFF"
                       "b"),
            "a\xEF\xBF\xBD"
            "b");
  // A truncated three-byte sequence is one replacement, not two.
  EXPECT_EQ(lossy_utf8("\xE2\x82"
                       "x"),
            "\xEF\xBF\xBD"
            "x");
  EXPECT_EQ(lossy_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(lossy_utf8("caf\xC3\xA9"), "caf\xC3\xA9");
}

TEST(Text, TrimsUnicodeWhiteSpaceOnly) {
  struct Case {
    std::string_view text;
    std::string_view trimmed;
  };
  const Case cases[] = {
      {"  a b \t\n", "a b"},
      {"\xC2\xA0x\xE3\x80\x80", "x"},      // U+00A0 and U+3000
      {"\xE2\x80\xA8y\xC2\x85", "y"},      // U+2028 and U+0085
      {"\xE2\x80\x8Bz", "\xE2\x80\x8Bz"},  // U+200B is not White_Space
      {"\x0B\x0C", ""},
      {"", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(trim_white_space(c.text), c.trimmed) << c.text;
}

TEST(Text, SingleLineEscapesWhatCouldBreakTheLine) {
  struct Case {
    std::string_view bytes;
    std::string_view shown;
  };
  const Case cases[] = {
      {"plain/path \xC3\xA9", "plain/path \xC3\xA9"},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {"\x1B[31mred\x7F", "\\x1b[31mred\\x7f"},
      {std::string_view("nul\0", 4), "nul\\x00"},
      {"nel\xC2\x85 ls\xE2\x80\xA8", "nel\\u{0085} ls\\u{2028}"},
      {"bad\xFF", "bad\xEF\xBF\xBD"},
      {"back\\slash", "back\\slash"},
      // Format characters that reorder or hide text, at both ends of each range.
      {"invoice\xE2\x80\xAE"
       "fdp.sh",
       "invoice\\u{202e}fdp.sh"},
      {"\xD8\x9C\xE2\x80\x8B\xE2\x80\x8F\xE2\x80\xAA", "\\u{061c}\\u{200b}\\u{200f}\\u{202a}"},
      {"\xE2\x81\xA0\xE2\x81\xA4\xE2\x81\xA6\xE2\x81\xA9\xEF\xBB\xBF",
       "\\u{2060}\\u{2064}\\u{2066}\\u{2069}\\u{feff}"},
      // Their neighbours are ordinary text.
      {"\xE2\x80\x8A\xE2\x80\xAF\xE2\x81\xA5", "\xE2\x80\x8A\xE2\x80\xAF\xE2\x81\xA5"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(single_line(c.bytes), c.shown) << c.bytes;
}

TEST(Text, JoinsPathsWithOneSeparator) {
  EXPECT_EQ(join_path("run", "s0"), "run/s0");
  EXPECT_EQ(join_path("run/", "s0"), "run/s0");
  EXPECT_EQ(join_path("", "s0"), "s0");
}

}  // namespace
}  // namespace certwright
