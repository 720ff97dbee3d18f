// field_format_test.cc — the format grammar, errors and checks, conversion classes, long lists.
#include <gtest/gtest.h>

#include <vector>

#include "format/field_format.h"
#include "format/format_test_support.h"

namespace {

class FieldFormatTest : public FormatTest {
 protected:
  void SetUp() override { FormatTest::SetUp(), default_format_init("\t", "q", area); }
  std::string compile(const std::string& argument) {
    field_list_parse(argument.c_str(), list, area);
    return stderr_of([&] { field_formats_compile(list, area); });
  }
};

// clang-format off
std::string syn(const std::string& at) { return "Kunpack: format syntax error in the field f at '" + at + "'.\n"; }
std::string rx(const std::string& text) { return "Kunpack: regular expression error (" + text + ") in -t parameter or format.\n"; }
const std::string kStartEnd = "Kunpack: start > end error in the field f.\n", kZeroRepeat = "Kunpack: zero length field repeats in the field f.\n", kNull = "Kunpack: format delimiter or pattern matches null in the field f.\n";
constexpr int32_t kNo = START_NONE, kAbs = START_ABSOLUTE, kRel = START_RELATIVE, kPos = END_POSITION, kLen = END_LENGTH;
constexpr int32_t kDel = END_DELIMITER, kPat = END_PATTERN, kZ = OPTION_Q, kLR = OPTION_L | OPTION_R;  // kZ: the fixture's -z


// fields: start kind, start, end kind, end, options, repeat, cfmt class; cfmt null: none; subject:
// searched with the format's own expression (null: -t's is kept). Errors keep what was set before.
struct FormatCase { const char* format; std::vector<int32_t> fields; const char* cfmt; const char16_t* subject; int match_start, match_end; std::string messages; };
const FormatCase kFormatCases[] = {
    {"3-10", {kAbs, 3, kPos, 10, kZ, 0, 0}, nullptr, nullptr, 0, 0, ""},
    {"10-3", {kAbs, 10, kPos, 3, kZ, 0, 0}, nullptr, nullptr, 0, 0, kStartEnd},
    {"3-3", {kAbs, 3, kPos, 3, kZ, 0, 0}, nullptr, nullptr, 0, 0, ""},
    {"+3-10", {kRel, 3, kPos, 10, kZ, 0, 0}, nullptr, nullptr, 0, 0, ""},
    {"+10-3", {kRel, 10, kPos, 3, kZ, 0, 0}, nullptr, nullptr, 0, 0, ""},
    {"+2(5)", {kRel, 2, kLen, 5, kZ, 0, 0}, nullptr, nullptr, 0, 0, ""},
    {"(5)*", {kNo, 0, kLen, 5, kZ, 1, 0}, nullptr, nullptr, 0, 0, ""},
    {"()", {kNo, 0, kLen, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, ""},
    {"()*", {kNo, 0, kLen, 0, kZ, 1, 0}, nullptr, nullptr, 0, 0, kZeroRepeat},

    {"-5*", {kNo, 0, kPos, 5, kZ, 1, 0}, nullptr, nullptr, 0, 0, "Kunpack: end position and * conflicts in the format of the field f.\n"},
    {"7", {kAbs, 7, kDel, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, ""},

    {"(4294967297)", {kNo, 0, kLen, 2147483647, kZ, 0, 0}, nullptr, nullptr, 0, 0, ""},
    {"99999999999-3", {kAbs, 2147483647, kPos, 3, kZ, 0, 0}, nullptr, nullptr, 0, 0, kStartEnd},
    {"/;/", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, u"a;b", 1, 2, ""},
    {"/;", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, u"a;b", 1, 2, ""},
    {"//", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, u"a\nb", 1, 2, ""},
    {"3/;/", {kAbs, 3, kDel, 0, kZ, 0, 0}, nullptr, u"a;b", 1, 2, ""},
    {"/a\\/b/", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, u"xa/by", 1, 4, ""},
    {"/\\\\\\\\/", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, u"a\\b", 1, 2, ""},  // a pair is itself
    {"@x\\@y@", {kNo, 0, kPat, 0, kZ, 0, 0}, nullptr, u"ax@y", 1, 4, ""},
    {"@[0-9]+@", {kNo, 0, kPat, 0, kZ, 0, 0}, nullptr, u"ab12c", 2, 4, ""},

    {"/\\ */", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, u"a", 0, 0, kNull},  // "\ " stays
    {"@x*@", {kNo, 0, kPat, 0, kZ, 0, 0}, nullptr, u"a", 0, 0, kNull},
    {"/A*/", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, u"bAA", 0, 0, ""},
    {"/;/lr*:%d", {kNo, 0, kDel, 0, kLR, 1, CFMT_SIGNED}, "%d", u";", 0, 1, ""},

    {"/;/:%*d\\ %s", {kNo, 0, kDel, 0, kZ, 0, CFMT_STRING}, "%*d %s", u";", 0, 1, ""},
    {"/;/:x:y", {kNo, 0, kDel, 0, kZ, 0, 0}, "x:y", u";", 0, 1, ""},

    {"/;/n", {kNo, 0, kDel, 0, 0, 0, 0}, nullptr, u";", 0, 1, ""},



    {"2rl*:%hd", {kAbs, 2, kDel, 0, kLR, 1, CFMT_SIZE_H + CFMT_SIGNED}, "%hd", nullptr, 0, 0, ""},
    {":\xe2\x82\xac%c", {kNo, 0, kDel, 0, kZ, 0, CFMT_CHAR}, "\xe2\x82\xac%c", nullptr, 0, 0, ""},
    {"f:%d", {kNo, 0, kDel, 0, OPTION_F, 0, CFMT_SIGNED}, "%d", nullptr, 0, 0, "Kunpack: cfmt is not allowed with f option in the field f.\n"},
    {"f", {kNo, 0, kDel, 0, OPTION_F, 0, 0}, nullptr, nullptr, 0, 0, ""},
    {"x", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("x")},
    {"+x", {kRel, 0, kDel, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("x")},
    {"5+3", {kAbs, 5, kDel, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("+")},
    {"-x", {kNo, 0, kPos, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("x")},
    {"(x)", {kNo, 0, kLen, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("x")},
    {"(5", {kNo, 0, kLen, 5, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("5")},
    {"(12x", {kNo, 0, kLen, 12, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("1")},
    {"/;/x", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, u";", 0, 1, syn("x")},
    {"/;/*q", {kNo, 0, kDel, 0, kZ, 1, 0}, nullptr, u";", 0, 1, syn("q")},
    {"l/", {kNo, 0, kDel, 0, OPTION_L, 0, 0}, nullptr, nullptr, 0, 0, syn("/")},
    {"*-3", {kNo, 0, kDel, 0, kZ, 1, 0}, nullptr, nullptr, 0, 0, syn("-")},
    {"+", {kRel, 0, kDel, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("")}, {"-", {kNo, 0, kPos, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("")},
    {"(", {kNo, 0, kLen, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("")}, {"/", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("")}, {"@", {kNo, 0, kPat, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("")},
    {"/;/:", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, u";", 0, 1, syn("")},
    {"\xe2\x82\xac", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("\xe2\x82\xac")},
    {"10-3x", {kAbs, 10, kPos, 3, kZ, 0, 0}, nullptr, nullptr, 0, 0, syn("x") + kStartEnd},
    {"/\\ */x", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, u"a", 0, 0, syn("x") + kNull},
    {"/(/x", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, rx("unmatched ()") + syn("x") + rx("NULL parameter")},
    {"/(/l", {kNo, 0, kDel, 0, OPTION_L, 0, 0}, nullptr, nullptr, 0, 0, rx("unmatched ()") + rx("NULL parameter")},
    {"/a\\", {kNo, 0, kDel, 0, kZ, 0, 0}, nullptr, nullptr, 0, 0, rx("trailing \\") + rx("NULL parameter")},
};
// clang-format on

TEST_F(FieldFormatTest, Table) {
  for (const FormatCase& c : kFormatCases) {
    SCOPED_TRACE(c.format);
    EXPECT_EQ(compile(std::string("f:") + c.format), c.messages);
    const FieldFormat& r = *list.included->compiled;
    std::vector<int32_t> fields{r.start_kind, r.start, r.end_kind, r.end, int32_t(r.options), r.repeat, r.cfmt_class};
    EXPECT_EQ(fields, c.fields);
    EXPECT_EQ(std::string(r.cfmt ? r.cfmt : "-"), c.cfmt ? c.cfmt : "-");
    if (c.subject == nullptr) {
      EXPECT_EQ(r.regex, c.messages.find("NULL") == std::string::npos ? DefaultFormat.regex : nullptr);
    } else {
      ASSERT_EQ(wregexec(r.regex, c.subject), 1);
      EXPECT_EQ(r.regex->match_starts[0] - c.subject, c.match_start);
      EXPECT_EQ(r.regex->match_ends[0] - c.subject, c.match_end);
      std::free(r.regex);
    }
    list = FieldList{};
    area_reset(area);
  }
}

TEST_F(FieldFormatTest, InheritedNullMatchIsReportedPerEntry) {
  std::free(DefaultFormat.regex);
  stderr_of([&] { default_format_init("x*", "", area); });
  EXPECT_EQ(compile("a,f:3-4,f:(2)"), kNull + kNull);  // each entry that inherits -t
  list = FieldList{};
  EXPECT_EQ(compile("^a:x,b:10-3"), "");
}

// clang-format off
const std::pair<std::u16string, int32_t> kClassCases[] = {
    {u"", 0}, {u"abc", 0}, {u"%d", 1}, {u"%i", 1}, {u"%n", 1}, {u"%o", 1}, {u"%x", 1}, {u"%u", 2}, {u"%e", 3}, {u"%f", 3}, {u"%g", 3},
    {u"%s", 4}, {u"%[a-z]", 4}, {u"%c", 5}, {u"%S", 132}, {u"%C", 133}, {u"%ws", 132}, {u"%wc", 133}, {u"%wd", 0}, {u"%ld", 129},
    {u"%hd", 65}, {u"%12lf", 131}, {u"%hs", 68}, {u"%lS", 132}, {u"%hS", 196}, {u"%hC", 197}, {u"%lq", 128}, {u"%hq", 64}, {u"%q", 0},
    {u"%", 0}, {u"%5", 0}, {u"%l", 128}, {u"%*d %s", 4}, {u"%*d", 0}, {u"%*%d", 1}, {u"%%%d", 1}, {u"%%", 0}, {u"x%%y%5u", 2},
    {u"%*5d%*s%c", 5}, {u"%lwd", 128}, {std::u16string(200000, u'%') + u"%lu", CFMT_SIZE_L + CFMT_UNSIGNED},
};
// clang-format on

TEST(CfmtClassifyTest, Table) {
  for (const auto& [text, cfmt_class] : kClassCases) {
    EXPECT_EQ(cfmt_classify(text.c_str()), cfmt_class) << std::string(text.begin(), text.end());
  }
}

// Ten thousand entries in a one-byte area: records, conversion texts, names
// and the shared DefaultFormat all follow the area through its many moves.
TEST_F(FieldFormatTest, LongListSurvivesManyMoves) {
  std::string argument, conversion(100000, 'c');
  for (int i = 0; i < 9999; ++i) {
    std::string n = std::to_string(i);
    argument += "f" + n + (i % 3 == 0 ? ":/;/:%" + n + "d," : i % 3 == 1 ? ":+" + n + "(3)l " : " ");
  }
  EXPECT_EQ(compile(argument + "big::" + conversion + "\\ %s"), "");
  EXPECT_GT(growth_count, 20);
  const FieldEntry* e = list.included;
  for (int i = 0; i < 9999; e = e->next, ++i) {
    const FieldFormat& r = *e->compiled;
    std::string got = entry_name(*e) + (i % 3 == 2 ? "" : r.cfmt ? r.cfmt : std::to_string(r.start) + "/" + std::to_string(r.options));
    std::string n = std::to_string(i);
    ASSERT_EQ(got, "f" + n + (i % 3 == 0 ? "%" + n + "d" : i % 3 == 1 ? n + "/1" : ""));
    ASSERT_EQ(&r == &DefaultFormat, i % 3 == 2);
  }
  EXPECT_EQ(entry_name(*e) + e->compiled->cfmt, "big" + conversion + " %s");
}

}  // namespace
