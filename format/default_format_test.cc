// default_format_test.cc — DefaultFormat from -t and -z, and the option letters.
#include <gtest/gtest.h>

#include "format/field_format.h"
#include "format/format_test_support.h"

namespace {

// subject: searched with the compiled -t for the first match, empty: none; each row starts over.
// clang-format off
const std::string kNullT = "Kunpack: -t delimiter matches null string.\n", kZ = "Kunpack: -z option error '";
const struct { std::string delimiter, options; std::u16string subject; int match_start; uint32_t bits; std::string messages; } kDefaultCases[] = {
    {"\t", "", u"red\tgreen", 3, 0, ""}, {"", "", u"a\tb\nc", 3, 0, ""}, {";", "", u"a;b", 1, 0, ""}, {" +", "", u"ab  c", 2, 0, ""},
    {"[,;]", "", u"ab;c", 2, 0, ""}, {"A*", "", u"xAAy", 0, 0, ""}, {"x*", "", u"a", 0, 0, kNullT}, {"^", "", u"a", 0, 0, kNullT},
    {"$", "", u"a", 1, 0, kNullT},
    {"(", "", u"", -1, 0, "Kunpack: regular expression error (unmatched ()) in -t parameter or format.\nKunpack: regular expression error (NULL parameter) in -t parameter or format.\n"},
    {"\t", "lr", u"\t", 0, OPTION_L | OPTION_R, ""}, {"\t", "xq", u"\t", 0, OPTION_X | OPTION_Q, ""}, {"\t", "lrnqQbfx", u"\t", 0, 255, ""},
    {"\t", "llll", u"\t", 0, OPTION_L, ""}, {"\t", "lz", u"\t", 0, OPTION_L, kZ + "z'.\n"}, {"\t", "z", u"\t", 0, 0, kZ + "z'.\n"},
    {"\t", "l\xe2\x82\xac", u"\t", 0, OPTION_L, kZ + "\xe2\x82\xac'.\n"}, {"\xff", "lr", u"", -1, 0, "Kunpack: code error in the -t option.\n"},
    {";", "\xff", u"", -1, 0, "Kunpack: code error in the -z option.\n"}, {"\xff", "\xff", u"", -1, 0, "Kunpack: code error in the -t option.\n"},
    // Long texts: the -z copy is made while the -t copy is held across the area's moves.
    {std::string(5000, ';'), std::string(30000, 'l') + "rz", u"a" + std::u16string(5000, u';') + u"b", 1, OPTION_L | OPTION_R, kZ + "z'.\n"},
};
// clang-format on

TEST_F(FormatTest, DefaultFormatTable) {
  for (const auto& c : kDefaultCases) {
    SCOPED_TRACE(c.delimiter.substr(0, 9) + " / " + c.options.substr(0, 9));
    std::free(DefaultFormat.regex);
    DefaultFormat.repeat = 1;
    EXPECT_EQ(stderr_of([&] { default_format_init(c.delimiter.c_str(), c.options.c_str(), area); }), c.messages);
    EXPECT_EQ(DefaultFormat.options, c.bits);
    EXPECT_EQ(DefaultFormat.repeat, 0);
    EXPECT_EQ(DefaultFormat.regex == nullptr, c.subject.empty());
    if (c.subject.empty()) continue;
    ASSERT_EQ(wregexec(DefaultFormat.regex, c.subject.c_str()), 1);
    EXPECT_EQ(DefaultFormat.regex->match_starts[0] - c.subject.c_str(), c.match_start);
  }
  EXPECT_GT(growth_count, 10);
}

// clang-format off
const struct { std::u16string text; uint32_t bits; std::size_t stop; } kOptionsCases[] = {
    {u"", 0, 0}, {u"l", OPTION_L, 1}, {u"rl", OPTION_L | OPTION_R, 2}, {u"x", OPTION_X, 1}, {u"Qbf", OPTION_SQUOTE | OPTION_B | OPTION_F, 3},
    {u"nq*", OPTION_N | OPTION_Q, 2}, {u"L", 0, 0}, {u"l:%d", OPTION_L, 1},
};
// clang-format on

TEST(FormatOptionsParseTest, Table) {
  for (const auto& c : kOptionsCases) {
    const Unit* stop = nullptr;
    EXPECT_EQ(format_options_parse(c.text.c_str(), &stop), c.bits);
    EXPECT_EQ(static_cast<std::size_t>(stop - c.text.c_str()), c.stop);
  }
}

}  // namespace
