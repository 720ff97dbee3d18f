// default_format_test.cc — DefaultFormat from -t and -z: the delimiter it
// matches, the null-match probe, option letters and the code errors.
#include <gtest/gtest.h>

#include <string>

#include "format/field_format.h"
#include "format/format_test_support.h"

namespace {

using format_test::FormatTest;
using DefaultFormatTest = FormatTest;

const std::string kPrefix = "Kunpack: ";
const std::string kNullProbe =
    kPrefix + "regular expression error (NULL parameter) in -t parameter or format.\n";

struct DefaultCase {
  const char* delimiter;
  const char* options;
  const char16_t* subject;  // searched with the compiled -t; null: no expression
  int match_start;          // offset of the first match in subject, -1 none
  uint32_t bits;
  std::string messages;
};
const DefaultCase kDefaultCases[] = {
    {"\t", "", u"red\tgreen", 3, 0, ""},
    {"", "", u"a\tb\nc", 3, 0, ""},  // an empty -t is a newline
    {";", "", u"a;b", 1, 0, ""},
    {" +", "", u"ab  c", 2, 0, ""},
    {"[,;]", "", u"ab;c", 2, 0, ""},
    {"A*", "", u"xAAy", 0, 0, ""},  // matches the probe "A" with one character
    {"x*", "", u"a", 0, 0, kPrefix + "-t delimiter matches null string.\n"},
    {"^", "", u"a", 0, 0, kPrefix + "-t delimiter matches null string.\n"},
    {"$", "", u"a", 1, 0, kPrefix + "-t delimiter matches null string.\n"},
    {"(", "", nullptr, -1, 0,
     kPrefix + "regular expression error (unmatched ()) in -t parameter or format.\n" + kNullProbe},
    {"\t", "lr", u"\t", 0, OPTION_L | OPTION_R, ""},
    {"\t", "xq", u"\t", 0, OPTION_X | OPTION_Q, ""},
    {"\t", "lrnqQbfx", u"\t", 0, 255, ""},
    {"\t", "llll", u"\t", 0, OPTION_L, ""},
    {"\t", "lz", u"\t", 0, OPTION_L, kPrefix + "-z option error 'z'.\n"},
    {"\t", "z", u"\t", 0, 0, kPrefix + "-z option error 'z'.\n"},
    {"\t", "l\xe2\x82\xac", u"\t", 0, OPTION_L, kPrefix + "-z option error '\xe2\x82\xac'.\n"},
    {"\xff", "lr", nullptr, -1, 0, kPrefix + "code error in the -t option.\n"},
    {";", "\xff", nullptr, -1, 0, kPrefix + "code error in the -z option.\n"},
    {"\xff", "\xff", nullptr, -1, 0, kPrefix + "code error in the -t option.\n"},
};

TEST_F(DefaultFormatTest, Table) {
  for (const DefaultCase& c : kDefaultCases) {
    SCOPED_TRACE(std::string(c.delimiter) + " / " + c.options);
    std::free(DefaultFormat.regex);
    error_count = 0;
    std::string err = stderr_of([&] { default_format_init(c.delimiter, c.options, area); });
    EXPECT_EQ(err, c.messages);
    EXPECT_EQ(DefaultFormat.options, c.bits);
    EXPECT_EQ(area.pact_count, 1);
    if (c.subject == nullptr) {
      EXPECT_EQ(DefaultFormat.regex, nullptr);
      continue;
    }
    ASSERT_NE(DefaultFormat.regex, nullptr);
    ASSERT_EQ(wregexec(DefaultFormat.regex, c.subject), 1);
    EXPECT_EQ(DefaultFormat.regex->match_starts[0] - c.subject, c.match_start);
  }
}

TEST_F(DefaultFormatTest, InitStartsOverFromScratch) {
  default_format_init(";", "q", area);
  DefaultFormat.repeat = 1;
  std::free(DefaultFormat.regex);
  stderr_of([&] { default_format_init("\xff", "", area); });
  EXPECT_EQ(DefaultFormat.regex, nullptr);
  EXPECT_EQ(DefaultFormat.options, 0u);
  EXPECT_EQ(DefaultFormat.repeat, 0);
}

struct OptionsCase {
  std::u16string text;
  uint32_t bits;
  std::size_t stop;  // units read
};
const OptionsCase kOptionsCases[] = {
    {u"", 0, 0},
    {u"l", OPTION_L, 1},
    {u"rl", OPTION_L | OPTION_R, 2},
    {u"x", OPTION_X, 1},  // "x" may stand first here
    {u"Qbf", OPTION_SQUOTE | OPTION_B | OPTION_F, 3},
    {u"nq*", OPTION_N | OPTION_Q, 2},
    {u"L", 0, 0},
    {u"l:%d", OPTION_L, 1},
};

TEST(FormatOptionsParseTest, Table) {
  for (const OptionsCase& c : kOptionsCases) {
    const Unit* stop = nullptr;
    EXPECT_EQ(format_options_parse(c.text.c_str(), &stop), c.bits);
    EXPECT_EQ(static_cast<std::size_t>(stop - c.text.c_str()), c.stop);
    EXPECT_EQ(format_options_parse(c.text.c_str(), nullptr), c.bits);
  }
}

// Long texts in a one-byte area: the -z copy is made while the -t copy
// is held across the area's moves.
TEST_F(DefaultFormatTest, LongTextsSurviveMoves) {
  std::string delimiter(5000, ';');
  std::string options(30000, 'l');
  options += "rz";
  std::string err =
      stderr_of([&] { default_format_init(delimiter.c_str(), options.c_str(), area); });
  EXPECT_EQ(err, kPrefix + "-z option error 'z'.\n");
  EXPECT_EQ(DefaultFormat.options, OPTION_L | OPTION_R);
  ASSERT_NE(DefaultFormat.regex, nullptr);
  std::u16string subject(5002, u';');  // 'a', 5000 ';', 'b'
  subject.front() = u'a';
  subject.back() = u'b';
  ASSERT_EQ(wregexec(DefaultFormat.regex, subject.c_str()), 1);
  EXPECT_EQ(DefaultFormat.regex->match_starts[0] - subject.c_str(), 1);
  EXPECT_GT(format_test::growth_count, 10);
}

}  // namespace
