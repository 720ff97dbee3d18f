// unpack_field_test.cc — the decomposition of values in a table under every output
// code, expressions that can match the empty text, and a work area that must grow.
#include <algorithm>
#include <cstring>
#include <string>

#include "unpack/unpack_test_support.h"

namespace unpack_test {
namespace {

class DecompositionTest : public EngineTest {};

#define TRUNCATED "Kunpack: field f truncated by the end of line at in.k(3).\n"
#define END_BEFORE_START "Kunpack: field f end position is smaller than the start at in.k(3).\n"

TEST_F(DecompositionTest, Table) {
  struct Case { const char *list, *delimiter, *options, *line, *out, *err; };
  // clang-format off
  const Case kCases[] = {
      // Delimiters; other lines pass unchanged; starts, ends and lengths, with warnings.
      {"f", "\t", "", "f:a\t\tb", "f:a\nf:\nf:b\n", ""},
      {"f", "\t", "", "f:\ta\t", "f:\nf:a\nf:\n", ""},
      {"f", "\t", "", "f:", "", ""},
      {"f", "", "", "f:", "f:\n", ""},
      {"f", " +", "", "f:  x  y  ", "f:x\nf:y\n", ""},
      {"f:/;/", "\t", "", "f:;;", "f:\nf:\nf:\n", ""},
      {"f:/;+/", "\t", "", "f:;;a;;", "f:a\n", ""},
      {"f:/\\,\\ */", "\t", "", "f:a, b,c,  d", "f:a\nf:b\nf:c\nf:d\n", ""},
      {"f:/ab/", "\t", "", "f:xabyabab", "f:x\nf:y\nf:\nf:\n", ""},
      {"f", "\t", "", "g:a\tb", "g:a\tb\n", ""},
      {"f", "\t", "", "no colon\there", "no colon\there\n", ""},
      {"f:(3)", "\t", "", "f:abcdefgh", "f:abc\nf:def\nf:gh\n", TRUNCATED},
      {"f:(3)lr:%d", "\t", "", "f:12    34 ", "f:12\nf:\nf:34\n", ""},  // trimmed empty
      {"f:-3", "\t", "", "f:abcdefg", "f:abcd\n", END_BEFORE_START},
      {"f:-3", "\t", "", "f:abcd", "f:abcd\n", ""},
      {"f:-3", "\t", "", "f:ab", "f:ab\n", TRUNCATED},
      {"f:()", "\t", "", "f:abc", "", END_BEFORE_START},
      {"f:(3)", "", "", "f:", "", TRUNCATED END_BEFORE_START},
      {"f:+1(2)", "\t", "", "f:xabyabz", "f:ab\nf:ab\n", ""},
      {"f:+2147483647(2)", "\t", "", "f:abc", "", ""},
      {"f:(2147483647)", "\t", "", "f:abc", "f:abc\n", TRUNCATED},
      {"f:-2147483647", "\t", "", "f:abc", "f:abc\n", TRUNCATED},
      {"f:+0/;/", "\t", "", "f:a;", "f:a\n", ""},
      {"f:+1/;/", "\t", "", "f:xa;yb", "f:a\nf:b\n", ""},
      {"f:@[0-9]+@", "\t", "", "f:ab12cd34ef", "f:ab12\nf:cd34\n", ""},
      {"f:+1@[0-9]@", "\t", "", "f:a1b2", "f:1\nf:2\n", ""},
      // Empty labels are consumed silently; "f" leaves the label out; names in messages.
      {"^g", "\t", "", ":x\ty", "", ""},
      // An empty label writes nothing, but its pieces are still cut (and warned about).
      {":(3)", "\t", "", ":abcdefgh", "", "Kunpack: field  truncated by the end of line at in.k(3).\n"},
      {"^f", "\t", "", "f:x\ty", "f:x\ty\n", ""},
      {"^g", "\t", "f", "f:x\ty", "x\ny\n", ""},
      {"größe:(2)", "\t", "", "größe:abc", "größe:ab\ngröße:c\n",
       "Kunpack: field größe truncated by the end of line at in.k(3).\n"},
      // Numbers and strings; the last 2- and 4-byte UTF-8 leads.
      {"f:/;/:%d", "\t", "", "f:12;0x;", "f:12\nf:0\nf:\n", ""},
      {"f:/;/:%s", "\t", "", "f:😀;é日;\u07FF\U0010FFFF", "f:😀\nf:é日\nf:\u07FF\U0010FFFF\n", ""},
  };
  // clang-format on
  // Under every output code, the output is what the output writer makes of the units.
  for (const Case& c : kCases) {
    for (int32_t code : {8, 0, 16, 32}) {
      SCOPED_TRACE(std::string(c.list) + " on '" + c.line + "' " + std::to_string(code));
      use_codes("C.UTF-8", 0, code);
      ASSERT_EQ(start(c.list, c.delimiter, c.options), "");
      Outcome outcome = run(c.line);
      MemoryOutput expected;
      std::u16string units = units_of(c.out);
      out_putunits(units.data(), units.size(), expected.out);
      EXPECT_EQ(outcome.out, code == 8 ? c.out : expected.bytes());
      EXPECT_EQ(outcome.err, c.err);
      EXPECT_EQ(error_count, std::count(outcome.err.begin(), outcome.err.end(), '\n'));
      restart();
    }
  }
}

// Expressions that can match the empty text cut like their non-empty
// counterparts, and always come to an end.
TEST_F(DecompositionTest, EmptyMatchesNeverEndAPiece) {
  const std::pair<const char*, const char*> kPairs[] = {
      {"A*", "A+"}, {"(A|)", "A"}, {"A?", "A"}, {"A|^", "A"}, {"A*B*", "A+B*|B+"}};
  auto cut = [this](const std::string& list, const std::string& line) {
    restart();
    EXPECT_EQ(start(list), "");
    return run(line).out;
  };
  for (auto [empty_capable, counterpart] : kPairs) {
    for (std::string value : {"", "x", "xyz", "A", "AAA", "xAyAAz", "AxA", "BxAB"}) {
      for (std::string kind : {"/", "@"}) {
        EXPECT_EQ(cut("f:" + kind + empty_capable + kind, "f:" + value),
                  cut("f:" + kind + counterpart + kind, "f:" + value))
            << empty_capable << " " << kind << " on '" << value << "'";
      }
    }
  }
}

// A work text larger than the area makes it grow mid-piece, many times over.
TEST_F(DecompositionTest, LongPiecesGrowTheWorkArea) {
  ASSERT_EQ(start("f:/;/qb:%s"), "");
  std::string piece(20000, 'x');
  piece[10000] = piece[10003] = '"';  // a quote splits the piece into several runs
  std::string unquoted = piece.substr(0, 10000) + piece.substr(10001, 2) + piece.substr(10004);
  EXPECT_EQ(run("f:" + piece + ";" + piece).out, "f:" + unquoted + "\nf:" + unquoted + "\n");
  EXPECT_GT(wsize.end - wsize.begin, 20000);
}

// Prefixes (at most four labels, all ASCII) rule out by the first eight bytes only lines not chosen.
TEST_F(DecompositionTest, LinePassPrefixesRuleOutOnlyLinesNotChosen) {
  struct Case { const char *list, *line; bool ruled_out; };
  // clang-format off
  const Case kCases[] = {
      {"tags", "tags:x", false}, {"tags", "tagz:x", true}, {"tags", "tag:x", true},
      {"a,bb,ccc,dddd", "ccc:1", false}, {"a,bb,ccc,dddd", "cc:1", true}, {"a,bb,ccc,dddd", "a:", false},
      {"a,b,c,d,e", "x:1", false}, {"\xC2\x80,a", "\xC2\x80:1", false}, {"^a", "x:1", false},
      {"averyverylonglabel", "averyverZ:1", false}, {"averyverylonglabel", "averyveZ:1", true},
  };
  // clang-format on
  for (const Case& c : kCases) {
    restart();
    start(c.list);
    MemoryOutput output;
    LinePass pass = record_line_pass(output.out);
    uint64_t head = 0;
    std::memcpy(&head, c.line, std::min<std::size_t>(std::strlen(c.line), 8));
    bool kept = pass.label_prefix_count == 0;
    for (int k = 0; k < pass.label_prefix_count; ++k) kept |= (head & pass.label_prefix_mask[k]) == pass.label_prefix[k];
    EXPECT_EQ(!kept, c.ruled_out) << c.list << " " << c.line;
  }
}

}  // namespace
}  // namespace unpack_test
