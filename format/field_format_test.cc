// field_format_test.cc — the format grammar, its ten syntax errors, the
// consistency checks, conversion classes, and compiling long lists and
// texts while the area moves under the compiler.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "format/field_format.h"
#include "format/format_test_support.h"

namespace {

using format_test::entry_name;
using format_test::FormatTest;

const std::string kPrefix = "Kunpack: ";
std::string syntax_error(const std::string& at) {
  return kPrefix + "format syntax error in the field f at '" + at + "'.\n";
}
std::string field_message(const std::string& text) {
  return kPrefix + text + " f.\n";
}
std::string expression_error(const std::string& text) {
  return kPrefix + "regular expression error (" + text + ") in -t parameter or format.\n";
}

class FieldFormatTest : public FormatTest {
 protected:
  void SetUp() override {
    FormatTest::SetUp();
    default_format_init("\t", "q", area);
  }

  // Compiles the list and returns its messages.
  std::string compile(const std::string& argument) {
    field_list_parse(argument.c_str(), list, area);
    return stderr_of([&] { field_formats_compile(list, area); });
  }
};

constexpr int32_t kNone = START_NONE;
constexpr int32_t kAbs = START_ABSOLUTE;
constexpr int32_t kRel = START_RELATIVE;
constexpr int32_t kPos = END_POSITION;
constexpr int32_t kLen = END_LENGTH;
constexpr int32_t kDelim = END_DELIMITER;
constexpr int32_t kPat = END_PATTERN;
constexpr uint32_t kZ = OPTION_Q;  // the -z options of the fixture

struct FormatCase {
  const char* format;  // as written in the list argument after "f:"
  int32_t start_kind, start, end_kind, end;
  uint32_t options;
  int32_t repeat;
  const char* cfmt;  // null: none
  int32_t cfmt_class;
  const char16_t* subject;  // searched with the format's own expression; null: inherited -t
  int match_start, match_end;
  std::string messages;
};

const FormatCase kFormatCases[] = {
    // Start and end elements.
    {"3-10", kAbs, 3, kPos, 10, kZ, 0, nullptr, 0, nullptr, 0, 0, ""},
    {"10-3", kAbs, 10, kPos, 3, kZ, 0, nullptr, 0, nullptr, 0, 0,
     field_message("start > end error in the field")},
    {"3-3", kAbs, 3, kPos, 3, kZ, 0, nullptr, 0, nullptr, 0, 0, ""},
    {"+3-10", kRel, 3, kPos, 10, kZ, 0, nullptr, 0, nullptr, 0, 0, ""},
    {"+10-3", kRel, 10, kPos, 3, kZ, 0, nullptr, 0, nullptr, 0, 0, ""},
    {"+2(5)", kRel, 2, kLen, 5, kZ, 0, nullptr, 0, nullptr, 0, 0, ""},
    {"(5)*", kNone, 0, kLen, 5, kZ, 1, nullptr, 0, nullptr, 0, 0, ""},
    {"()", kNone, 0, kLen, 0, kZ, 0, nullptr, 0, nullptr, 0, 0, ""},
    {"()*", kNone, 0, kLen, 0, kZ, 1, nullptr, 0, nullptr, 0, 0,
     field_message("zero length field repeats in the field")},
    {"(0)*", kNone, 0, kLen, 0, kZ, 1, nullptr, 0, nullptr, 0, 0,
     field_message("zero length field repeats in the field")},
    {"-5*", kNone, 0, kPos, 5, kZ, 1, nullptr, 0, nullptr, 0, 0,
     field_message("end position and * conflicts in the format of the field")},
    {"7", kAbs, 7, kDelim, 0, kZ, 0, nullptr, 0, nullptr, 0, 0, ""},
    {"007-0010", kAbs, 7, kPos, 10, kZ, 0, nullptr, 0, nullptr, 0, 0, ""},
    {"(4294967297)", kNone, 0, kLen, 2147483647, kZ, 0, nullptr, 0, nullptr, 0, 0, ""},
    {"99999999999-3", kAbs, 2147483647, kPos, 3, kZ, 0, nullptr, 0, nullptr, 0, 0,
     field_message("start > end error in the field")},
    // Delimiters and patterns.
    {"/;/", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, u"a;b", 1, 2, ""},
    {"/;", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, u"a;b", 1, 2, ""},
    {"//", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, u"a\nb", 1, 2, ""},
    {"3/;/", kAbs, 3, kDelim, 0, kZ, 0, nullptr, 0, u"a;b", 1, 2, ""},
    {"/a\\/b/", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, u"xa/by", 1, 4, ""},
    {"/\\\\\\\\/", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, u"a\\b", 1, 2, ""},  // a pair is itself
    {"@x\\@y@", kNone, 0, kPat, 0, kZ, 0, nullptr, 0, u"ax@y", 1, 4, ""},
    {"@[0-9]+@", kNone, 0, kPat, 0, kZ, 0, nullptr, 0, u"ab12c", 2, 4, ""},
    {"@x/y", kNone, 0, kPat, 0, kZ, 0, nullptr, 0, u"ax/y", 1, 4, ""},
    {"/\\ */", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, u"a", 0, 0,
     field_message("format delimiter or pattern matches null in the field")},
    {"@x*@", kNone, 0, kPat, 0, kZ, 0, nullptr, 0, u"a", 0, 0,
     field_message("format delimiter or pattern matches null in the field")},
    {"/A*/", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, u"bAA", 0, 0, ""},
    // Options, repetition and conversions.
    {"/;/lr*:%d", kNone, 0, kDelim, 0, OPTION_L | OPTION_R, 1, "%d", CFMT_SIGNED, u";", 0, 1, ""},
    {"/;/:%5ld", kNone, 0, kDelim, 0, kZ, 0, "%5ld", CFMT_SIZE_L + CFMT_SIGNED, u";", 0, 1, ""},
    {"/;/:%*d\\ %s", kNone, 0, kDelim, 0, kZ, 0, "%*d %s", CFMT_STRING, u";", 0, 1, ""},
    {"/;/:%%%d", kNone, 0, kDelim, 0, kZ, 0, "%%%d", CFMT_SIGNED, u";", 0, 1, ""},
    {"/;/:x:y", kNone, 0, kDelim, 0, kZ, 0, "x:y", 0, u";", 0, 1, ""},
    {"/;/lx", kNone, 0, kDelim, 0, OPTION_L | OPTION_X, 0, nullptr, 0, u";", 0, 1, ""},
    {"/;/n", kNone, 0, kDelim, 0, 0, 0, nullptr, 0, u";", 0, 1, ""},
    {"/;/ln", kNone, 0, kDelim, 0, 0, 0, nullptr, 0, u";", 0, 1, ""},
    {"b", kNone, 0, kDelim, 0, OPTION_B, 0, nullptr, 0, nullptr, 0, 0, ""},
    {"*", kNone, 0, kDelim, 0, kZ, 1, nullptr, 0, nullptr, 0, 0, ""},
    {":%u", kNone, 0, kDelim, 0, kZ, 0, "%u", CFMT_UNSIGNED, nullptr, 0, 0, ""},
    {"2rl*:%hd", kAbs, 2, kDelim, 0, OPTION_L | OPTION_R, 1, "%hd", CFMT_SIZE_H + CFMT_SIGNED,
     nullptr, 0, 0, ""},
    {":\xe2\x82\xac%c", kNone, 0, kDelim, 0, kZ, 0, "\xe2\x82\xac%c", CFMT_CHAR, nullptr, 0, 0, ""},
    {"f:%d", kNone, 0, kDelim, 0, OPTION_F, 0, "%d", CFMT_SIGNED, nullptr, 0, 0,
     field_message("cfmt is not allowed with f option in the field")},
    {"f", kNone, 0, kDelim, 0, OPTION_F, 0, nullptr, 0, nullptr, 0, 0, ""},
    // The ten places of the syntax error.
    {"x", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, nullptr, 0, 0, syntax_error("x")},
    {"+x", kRel, 0, kDelim, 0, kZ, 0, nullptr, 0, nullptr, 0, 0, syntax_error("x")},
    {"5+3", kAbs, 5, kDelim, 0, kZ, 0, nullptr, 0, nullptr, 0, 0, syntax_error("+")},
    {"-x", kNone, 0, kPos, 0, kZ, 0, nullptr, 0, nullptr, 0, 0, syntax_error("x")},
    {"(x)", kNone, 0, kLen, 0, kZ, 0, nullptr, 0, nullptr, 0, 0, syntax_error("x")},
    {"(5", kNone, 0, kLen, 5, kZ, 0, nullptr, 0, nullptr, 0, 0, syntax_error("5")},
    {"(12x", kNone, 0, kLen, 12, kZ, 0, nullptr, 0, nullptr, 0, 0, syntax_error("1")},
    {"/;/x", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, u";", 0, 1, syntax_error("x")},
    {"/;/*q", kNone, 0, kDelim, 0, kZ, 1, nullptr, 0, u";", 0, 1, syntax_error("q")},
    {"l/", kNone, 0, kDelim, 0, OPTION_L, 0, nullptr, 0, nullptr, 0, 0, syntax_error("/")},
    {"*-3", kNone, 0, kDelim, 0, kZ, 1, nullptr, 0, nullptr, 0, 0, syntax_error("-")},
    {"+", kRel, 0, kDelim, 0, kZ, 0, nullptr, 0, nullptr, 0, 0, syntax_error("")},
    {"-", kNone, 0, kPos, 0, kZ, 0, nullptr, 0, nullptr, 0, 0, syntax_error("")},
    {"(", kNone, 0, kLen, 0, kZ, 0, nullptr, 0, nullptr, 0, 0, syntax_error("")},
    {"/", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, nullptr, 0, 0, syntax_error("")},
    {"@", kNone, 0, kPat, 0, kZ, 0, nullptr, 0, nullptr, 0, 0, syntax_error("")},
    {"/;/:", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, u";", 0, 1, syntax_error("")},
    {"\xe2\x82\xac", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, nullptr, 0, 0,
     syntax_error("\xe2\x82\xac")},
    // A syntax error keeps the words set before it, and the checks still run.
    {"10-3x", kAbs, 10, kPos, 3, kZ, 0, nullptr, 0, nullptr, 0, 0,
     syntax_error("x") + field_message("start > end error in the field")},
    {"/\\ */x", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, u"a", 0, 0,
     syntax_error("x") + field_message("format delimiter or pattern matches null in the field")},
    // Expression errors: the scan goes on after them.
    {"/(/x", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, nullptr, 0, 0,
     expression_error("unmatched ()") + syntax_error("x") + expression_error("NULL parameter")},
    {"/(/l", kNone, 0, kDelim, 0, OPTION_L, 0, nullptr, 0, nullptr, 0, 0,
     expression_error("unmatched ()") + expression_error("NULL parameter")},
    {"/a\\", kNone, 0, kDelim, 0, kZ, 0, nullptr, 0, nullptr, 0, 0,
     expression_error("trailing \\") + expression_error("NULL parameter")},
};

TEST_F(FieldFormatTest, Table) {
  for (const FormatCase& c : kFormatCases) {
    SCOPED_TRACE(c.format);
    error_count = 0;
    std::string err = compile(std::string("f:") + c.format);
    EXPECT_EQ(err, c.messages);
    ASSERT_NE(list.included, nullptr);
    const FieldFormat* record = list.included->compiled;
    ASSERT_NE(record, nullptr);
    ASSERT_NE(record, &DefaultFormat);
    EXPECT_EQ(record->start_kind, c.start_kind);
    EXPECT_EQ(record->start, c.start);
    EXPECT_EQ(record->end_kind, c.end_kind);
    EXPECT_EQ(record->end, c.end);
    EXPECT_EQ(record->options, c.options);
    EXPECT_EQ(record->repeat, c.repeat);
    EXPECT_EQ(record->cfmt_class, c.cfmt_class);
    if (c.cfmt == nullptr) {
      EXPECT_EQ(record->cfmt, nullptr);
    } else {
      ASSERT_NE(record->cfmt, nullptr);
      EXPECT_STREQ(record->cfmt, c.cfmt);
    }
    EXPECT_EQ(entry_name(*list.included), "f");  // the ':' is back
    EXPECT_EQ(area.pact_count, 1);
    if (c.subject == nullptr) {
      bool failed_expression = c.messages.find("NULL parameter") != std::string::npos;
      EXPECT_EQ(record->regex, failed_expression ? nullptr : DefaultFormat.regex);
    } else {
      ASSERT_NE(record->regex, nullptr);
      EXPECT_NE(record->regex, DefaultFormat.regex);
      EXPECT_EQ(wregexec(record->regex, c.subject), 1);
      EXPECT_EQ(record->regex->match_starts[0] - c.subject, c.match_start);
      EXPECT_EQ(record->regex->match_ends[0] - c.subject, c.match_end);
      std::free(record->regex);
    }
    list = FieldList{};
    area_reset(area);
  }
}

TEST_F(FieldFormatTest, EntriesWithoutFormatShareDefaultFormat) {
  EXPECT_EQ(compile("a,b:,c:3-4,^d"), "");
  const FieldEntry* a = list.included;
  EXPECT_EQ(a->compiled, &DefaultFormat);
  EXPECT_EQ(a->next->compiled, &DefaultFormat);
  EXPECT_NE(a->next->next->compiled, &DefaultFormat);
  EXPECT_EQ(a->next->next->next->compiled, &DefaultFormat);  // "^d" is a name here
}

TEST_F(FieldFormatTest, EveryEntryIsCompiledAfterAnError) {
  std::string err = compile("a:x,long\\ name:10-3,c:(2)*");
  EXPECT_EQ(err, kPrefix + "format syntax error in the field a at 'x'.\n" + kPrefix +
                     "start > end error in the field long name.\n");
  EXPECT_EQ(error_count, 2);
  const FieldEntry* c = list.included->next->next;
  EXPECT_EQ(entry_name(*list.included->next), "long name");
  EXPECT_EQ(c->compiled->end_kind, END_LENGTH);
  EXPECT_EQ(c->compiled->repeat, 1);
}

TEST_F(FieldFormatTest, NamesPrintInTheLocaleCode) {
  EXPECT_EQ(compile("\xc3\xa9t\xc3\xa9:x"),
            kPrefix + "format syntax error in the field \xc3\xa9t\xc3\xa9 at 'x'.\n");
}

TEST_F(FieldFormatTest, ExclusionListsAreNotCompiled) {
  EXPECT_EQ(compile("^a:x,b:10-3"), "");
  EXPECT_EQ(list.excluded->compiled, nullptr);
}

TEST_F(FieldFormatTest, InheritedNullMatchIsReportedPerEntry) {
  std::free(DefaultFormat.regex);
  stderr_of([&] { default_format_init("x*", "", area); });
  std::string err = compile("a,b:3-4,c:(2)");
  EXPECT_EQ(err, kPrefix + "format delimiter or pattern matches null in the field b.\n" + kPrefix +
                     "format delimiter or pattern matches null in the field c.\n");
}

struct ClassCase {
  std::u16string text;
  int32_t cfmt_class;
};
const ClassCase kClassCases[] = {
    {u"", 0},      {u"abc", 0},     {u"%d", 1},      {u"%i", 1},        {u"%n", 1},
    {u"%o", 1},    {u"%x", 1},      {u"%u", 2},      {u"%e", 3},        {u"%f", 3},
    {u"%g", 3},    {u"%s", 4},      {u"%[a-z]", 4},  {u"%c", 5},        {u"%S", 132},
    {u"%C", 133},  {u"%ws", 132},   {u"%wc", 133},   {u"%wd", 0},       {u"%ld", 129},
    {u"%hd", 65},  {u"%12lf", 131}, {u"%hs", 68},    {u"%lS", 132},     {u"%hS", 196},
    {u"%hC", 197}, {u"%lq", 128},   {u"%hq", 64},    {u"%q", 0},        {u"%", 0},
    {u"%5", 0},    {u"%l", 128},    {u"%*d %s", 4},  {u"%*d", 0},       {u"%*%d", 1},
    {u"%%%d", 1},  {u"%%", 0},      {u"x%%y%5u", 2}, {u"%*5d%*s%c", 5},
};

TEST(CfmtClassifyTest, Table) {
  for (const ClassCase& c : kClassCases) {
    EXPECT_EQ(cfmt_classify(c.text.c_str()), c.cfmt_class)
        << std::string(c.text.begin(), c.text.end());
  }
}

TEST(CfmtClassifyTest, LongRunsOfLiteralPercents) {
  std::u16string text;
  for (int i = 0; i < 100000; ++i) text += u"%%";
  EXPECT_EQ(cfmt_classify((text + u"%lu").c_str()), CFMT_SIZE_L + CFMT_UNSIGNED);
}

struct DelimCase {
  std::u16string text;
  Unit terminator;
  std::size_t length;
  std::u16string unescaped;  // of the first `length` units
};
const DelimCase kDelimCases[] = {
    {u";/x", u'/', 1, u";"},
    {u"", u'/', 0, u""},
    {u"/", u'/', 0, u""},
    {u"abc", u'/', 3, u"abc"},
    {u"a\\/b/c", u'/', 4, u"a/b"},
    {u"a\\\\/b", u'/', 3, u"a\\"},
    {u"a\\@/", u'/', 3, u"a\\@"},
    {u"x\\@y@", u'@', 4, u"x@y"},
    {u"a\\", u'/', 2, u"a\\"},        // the backslash before the NUL stays
    {u"\\.\\*", u'/', 4, u"\\.\\*"},  // expression escapes pass through
};

TEST(FormatDelimTest, Table) {
  for (const DelimCase& c : kDelimCases) {
    std::u16string text = c.text;
    EXPECT_EQ(format_delim_length(text.c_str(), c.terminator), c.length);
    text[c.length] = 0;
    EXPECT_EQ(std::u16string(format_delim_unescape(text.data(), c.terminator)), c.unescaped);
  }
}

// Long lists, long texts and a one-byte area: records, conversion texts and
// the names must all follow the area through its many moves.
TEST_F(FieldFormatTest, LongListSurvivesManyMoves) {
  constexpr int kFields = 10000;
  std::string argument;
  for (int i = 0; i < kFields; ++i) {
    std::string n = std::to_string(i);
    argument += "f" + n + (i % 2 == 0 ? ":/;/:%" + n + "d," : ":+" + n + "(3)l ");
  }
  std::string conversion(100000, 'c');
  argument += "big::" + conversion + "\\ %s";
  std::string err = compile(argument);
  EXPECT_EQ(err, "");
  EXPECT_GT(format_test::growth_count, 20);
  int i = 0;
  const FieldEntry* entry = list.included;
  for (; i < kFields; entry = entry->next, ++i) {
    std::string n = std::to_string(i);
    ASSERT_EQ(entry_name(*entry), "f" + n);
    const FieldFormat* record = entry->compiled;
    if (i % 2 == 0) {
      ASSERT_STREQ(record->cfmt, ("%" + n + "d").c_str());
      ASSERT_EQ(record->cfmt_class, CFMT_SIGNED);
    } else {
      ASSERT_EQ(record->start, i);
      ASSERT_EQ(record->options, OPTION_L);
    }
  }
  EXPECT_EQ(entry_name(*entry), "big");
  EXPECT_EQ(std::string(entry->compiled->cfmt), conversion + " %s");
  EXPECT_EQ(entry->compiled->cfmt_class, CFMT_STRING);
}

// A 100 KB pattern either compiles or is reported; nothing crashes.
TEST_F(FieldFormatTest, HugePatternCompilesOrIsReported) {
  for (const char* unit : {"a", "(a|b)", "[x-z]*q"}) {
    std::string pattern;
    while (pattern.size() < 100000) pattern += unit;
    list = FieldList{};
    error_count = 0;
    std::string err = compile("f:@" + pattern + "@");
    const FieldFormat* record = list.included->compiled;
    EXPECT_TRUE(record->regex != nullptr || (error_count > 0 && !err.empty())) << unit;
    if (record->regex != nullptr) std::free(record->regex);
    area_reset(area);
  }
  list = FieldList{};
}

}  // namespace
