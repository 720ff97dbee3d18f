// unpack_field_test.cc — the decomposition of values: the delimiter table,
// starts, ends and lengths with their warnings, repetition, empty labels,
// expressions that can match the empty text, and the output codes.
#include <string>

#include "unpack/unpack_test_support.h"

namespace unpack_test {
namespace {

// One record line through start-up with -t, -z and the list.
struct Case {
  const char* list;
  const char* delimiter;  // -t
  const char* options;    // -z
  const char* line;
  const char* out;
  const char* err;
};

#define TRUNCATED_TEXT "Kunpack: field f truncated by the end of line at in.k(3).\n"
#define END_BEFORE_START_TEXT \
  "Kunpack: field f end position is smaller than the start at in.k(3).\n"

class DecompositionTest : public EngineTest {
 protected:
  void check(const Case& c) {
    SCOPED_TRACE(std::string("list '") + c.list + "' -t '" + c.delimiter + "' -z '" + c.options +
                 "' line '" + c.line + "'");
    ASSERT_EQ(start(c.list, c.delimiter, c.options), "");
    Outcome outcome = run(c.line);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err, c.err);
  }
};

const Case kCases[] = {
    // The delimiter table: a tab does not absorb runs, one or more spaces do.
    {"f", "\t", "", "f:a\tb", "f:a\nf:b\n", ""},
    {"f", "\t", "", "f:a\t\tb", "f:a\nf:\nf:b\n", ""},
    {"f", "\t", "", "f:\ta", "f:\nf:a\n", ""},
    {"f", "\t", "", "f:a\t", "f:a\nf:\n", ""},
    {"f", "\t", "", "f:", "", ""},
    {"f", "", "", "f:", "f:\n", ""},  // the newline delimiter of an empty -t
    {"f", " +", "", "f:a b", "f:a\nf:b\n", ""},
    {"f", " +", "", "f:a   b", "f:a\nf:b\n", ""},
    {"f", " +", "", "f: a", "f:a\n", ""},
    {"f", " +", "", "f:a ", "f:a\n", ""},
    {"f", " +", "", "f:", "", ""},
    {"f", " +", "", "f:  x  y  ", "f:x\nf:y\n", ""},
    {"f", "\t", "", "f:red\tgreen\t", "f:red\nf:green\nf:\n", ""},
    {"f", "\t", "", "f:x", "f:x\n", ""},
    {"f:/;/", "\t", "", "f:a;", "f:a\nf:\n", ""},
    {"f:/;/", "\t", "", "f:;;", "f:\nf:\nf:\n", ""},
    {"f:/;+/", "\t", "", "f:;;a;;", "f:a\n", ""},
    {"f:/\\,\\ */", "\t", "", "f:a, b,c,  d", "f:a\nf:b\nf:c\nf:d\n", ""},
    {"f:/ab/", "\t", "", "f:xabyabab", "f:x\nf:y\nf:\nf:\n", ""},
    // Only the listed label is decomposed; other lines pass unchanged.
    {"f", "\t", "", "g:a\tb", "g:a\tb\n", ""},
    {"f", "\t", "", "no colon\there", "no colon\there\n", ""},
    // Starts, end positions and lengths, with their two warnings.
    {"f:(3)", "\t", "", "f:abcdefgh", "f:abc\nf:def\nf:gh\n", TRUNCATED_TEXT},
    {"f:(3)", "\t", "", "f:abcdef", "f:abc\nf:def\n", ""},
    {"f:-3", "\t", "", "f:abcdefg", "f:abcd\n", END_BEFORE_START_TEXT},
    {"f:-3", "\t", "", "f:abcd", "f:abcd\n", ""},
    {"f:-3", "\t", "", "f:ab", "f:ab\n", TRUNCATED_TEXT},
    {"f:()", "\t", "", "f:abc", "", END_BEFORE_START_TEXT},
    {"f:(3)", "", "", "f:", "", TRUNCATED_TEXT END_BEFORE_START_TEXT},
    {"f:(3)", "\t", "", "f:", "", ""},
    {"f:+1(2)", "\t", "", "f:xabyab", "f:ab\nf:ab\n", ""},
    {"f:+1(2)", "\t", "", "f:xabyabz", "f:ab\nf:ab\n", ""},
    {"f:+5(2)", "\t", "", "f:abc", "", ""},
    {"f:+2147483647(2)", "\t", "", "f:abc", "", ""},
    {"f:(2147483647)", "\t", "", "f:abc", "f:abc\n", TRUNCATED_TEXT},
    {"f:-2147483647", "\t", "", "f:abc", "f:abc\n", TRUNCATED_TEXT},
    {"f:+0/;/", "\t", "", "f:a;", "f:a\n", ""},
    {"f:/;/", "\t", "", "f:a;", "f:a\nf:\n", ""},
    {"f:+1/;/", "\t", "", "f:xa;yb", "f:a\nf:b\n", ""},
    {"f:@[0-9]+@", "\t", "", "f:ab12cd34ef", "f:ab12\nf:cd34\n", ""},
    {"f:@[0-9]+@", "\t", "", "f:ab", "", ""},
    {"f:+1@[0-9]@", "\t", "", "f:a1b2", "f:1\nf:2\n", ""},
    // Labels: empty ones are consumed silently; "f" leaves the label out.
    {"^g", "\t", "", ":x\ty", "", ""},
    {"^g", "\t", "", "f:x\ty", "f:x\nf:y\n", ""},
    {"^f", "\t", "", "f:x\ty", "f:x\ty\n", ""},
    {"^g", "\t", "f", "f:x\ty", "x\ny\n", ""},
    {"^g", "\t", "", "été:a\tb", "été:a\nété:b\n", ""},
    {"^g", "\t", "", ":x\t", "", ""},
};

TEST_F(DecompositionTest, Table) {
  for (const Case& c : kCases) {
    check(c);
    restart();
  }
}

TEST_F(DecompositionTest, WarningsNameTheFieldAndTheInput) {
  ASSERT_EQ(start("größe:(2)"), "");
  current_file_name = "(stdin)";
  record_number = 12;
  Outcome outcome = run("größe:abc");
  EXPECT_EQ(outcome.out, "größe:ab\ngröße:c\n");
  EXPECT_EQ(outcome.err, "Kunpack: field größe truncated by the end of line at (stdin)(12).\n");
  EXPECT_EQ(error_count, 1);
}

// Expressions that can match the empty text cut like their non-empty
// counterparts, and always come to an end.
TEST_F(DecompositionTest, EmptyMatchesNeverEndAPiece) {
  struct Pair {
    const char* empty_capable;
    const char* counterpart;
  };
  const Pair kPairs[] = {
      {"A*", "A+"}, {"(A|)", "A"}, {"A?", "A"}, {"A|^", "A"}, {"A*B*", "A+B*|B+"}};
  const char* const kValues[] = {"", "x", "xyz", "A", "AAA", "xAyAAz", "AxA", "BxAB"};
  for (const Pair& pair : kPairs) {
    for (const char* value : kValues) {
      for (const char* kind : {"/", "@"}) {
        SCOPED_TRACE(std::string(pair.empty_capable) + " " + kind + " on '" + value + "'");
        std::string line = std::string("f:") + value;
        ASSERT_EQ(start((std::string("f:") + kind + pair.counterpart + kind).c_str()), "");
        std::string expected = run(line).out;
        restart();
        ASSERT_EQ(start((std::string("f:") + kind + pair.empty_capable + kind).c_str()), "");
        EXPECT_EQ(run(line).out, expected);
        restart();
      }
    }
  }
}

TEST_F(DecompositionTest, ConversionsAreTheSameUnderEveryOutputCode) {
  struct CodeCase {
    int32_t code;
    const char* line;
    std::u16string expected;  // the output's units
  };
  // clang-format off
  const CodeCase kCases[] = {
      {16, "f:12;0x;", u"f:12\nf:0\nf:\n"}, {32, "f:12;0x;", u"f:12\nf:0\nf:\n"},
      {0, "f:12;0x;", u"f:12\nf:0\nf:\n"},  {16, "f:café", u"f:café\n"},
      {32, "f:日本;x", u"f:日本\nf:x\n"},   {0, "f:café", u"f:café\n"},
      {16, "f:😀;é", u"f:😀\nf:é\n"},         {0, "f:😀", u"f:😀\n"},
      {16, "f:\u07FF;\U0010FFFF", u"f:\u07FF\nf:\U0010FFFF\n"},  // the last 2- and 4-byte leads
  };
  // clang-format on
  for (const CodeCase& c : kCases) {
    SCOPED_TRACE(std::to_string(c.code) + " " + c.line);
    odatautf = c.code;
    select_charcode();
    bool number = std::string(c.line).find("12") != std::string::npos;
    ASSERT_EQ(start(number ? "f:/;/:%d" : "f:/;/:%s"), "");
    Outcome outcome = run(c.line);
    std::u16string units;
    std::size_t width = static_cast<std::size_t>(c.code / 8);  // little-endian units
    for (std::size_t i = 0; width > 0 && i + width <= outcome.out.size(); i += width) {
      units += static_cast<char16_t>(static_cast<unsigned char>(outcome.out[i]) |
                                     static_cast<unsigned char>(outcome.out[i + 1]) << 8);
    }
    if (width == 0) units = units_of(outcome.out);
    EXPECT_EQ(units, c.expected);
    restart();
  }
}

// A work text larger than the area makes it grow mid-piece, many times over.
TEST_F(DecompositionTest, LongPiecesGrowTheWorkArea) {
  ASSERT_EQ(start("f:/;/qb:%s"), "");
  std::string piece(20000, 'x');
  piece[10000] = '"';  // a quote splits the piece into several runs
  piece[10003] = '"';
  Outcome outcome = run("f:" + piece + ";" + piece);
  std::string unquoted = piece.substr(0, 10000) + piece.substr(10001, 2) + piece.substr(10004);
  EXPECT_EQ(outcome.out, "f:" + unquoted + "\nf:" + unquoted + "\n");
  EXPECT_GT(wsize.end - wsize.begin, 20000);
}

}  // namespace
}  // namespace unpack_test
