// extract_test.cc — how a piece's units are copied: trimming of fixed pieces,
// quotes and escapes in delimited pieces, stop points searched again after a
// quoted part, and pattern pieces that end with their match.
#include <random>
#include <string>

#include "unpack/unpack_test_support.h"

namespace unpack_test {
namespace {

struct Case {
  const char* list;
  const char* line;
  const char* out;
};

class ExtractTest : public EngineTest {};

const Case kCases[] = {
    // "l" and "r" trim spaces only, and never move where the next piece begins.
    {"f:(4)r", "f:  ab", "f:ab\n"},
    {"f:(4)l", "f:ab  ", "f:ab\n"},
    {"f:(4)lr", "f:    ", "f:\n"},
    {"f:(4)lr", "f: ab  cd ", "f:ab\nf:cd\n"},
    {"f:(3)r", "f:\t a", "f:\t a\n"},  // a tab is not trimmed
    {"f:(4)l", "f:a b   c ", "f:a b\nf:  c\n"},
    {"f:/;/lr", "f: a ; b ", "f: a \nf: b \n"},  // delimited pieces keep their spaces
    // Quotes and escapes, each option alone and together.
    {"f:q", "f:\"a\tb\"\tc", "f:a\tb\nf:c\n"},
    {"f:q", "f:\"say \"\"hi\"\"\"", "f:say \"hi\"\n"},
    {"f:qx", "f:\"say \\\"hi\\\"\"", "f:say \"hi\"\n"},
    {"f:qx", "f:\"a\\\\b\"", "f:a\\b\n"},
    {"f:qx", "f:\"a\\b\"", "f:a\\b\n"},  // other units after a backslash stay
    {"f:qx", "f:\"a\"\"b\"", "f:ab\n"},  // with x, doubling no longer escapes
    {"f:q", "f:\"a\\\"", "f:a\\\n"},
    {"f:/\\,/q", "f:ab\"c,d\"e", "f:abc,de\n"},
    {"f:/\\,/q", "f:\"a,b", "f:a,b\n"},  // an unclosed quote takes the rest
    {"f:/\\,/q", "f:\"a\"\"", "f:a\"\n"},
    {"f:/\\,/b", "f:a\\,b,c", "f:a,b\nf:c\n"},
    {"f:/\\,/b", "f:a\\xb", "f:axb\n"},
    {"f:/\\,/b", "f:ab\\", "f:ab\n"},  // a backslash at the very end is dropped
    {"f:/\\,/b", "f:a\\\\,b", "f:a\\\nf:b\n"},
    {"f:/\\,/Q", "f:'a,b',c", "f:a,b\nf:c\n"},
    {"f:/\\,/Qx", "f:'a\\',b", "f:a\\\nf:b\n"},  // x changes nothing in single quotes
    {"f:/\\,/Q", "f:'it''s',x", "f:its\nf:x\n"},
    {"f:/\\,/qQ", "f:\"it's\",'say \"x\"'", "f:it's\nf:say \"x\"\n"},
    {"f:/\\,/bq", "f:\\\"a,b", "f:\"a\nf:b\n"},  // an escaped quote is ordinary
    {"f:/\\,/", "f:\"a,b\",c\\,d", "f:\"a\nf:b\"\nf:c\\\nf:d\n"},
    {"f:/\\,\\,/q", "f:a\",,\"b,,c", "f:a,,b\nf:c\n"},
    {"f:/\\,\\,/q", "f:a,\",\"b,,", "f:a,,b\nf:\n"},
    {"f:/\\ +/q", "f:\"a b\"  c  ", "f:a b\nf:c\n"},
    // A pattern piece runs through the first match outside quotes.
    {"f:@x@q", "f:\"xx\"b", "f:xx\n"},
    {"f:@x@q", "f:\"xx\"bx", "f:xxbx\n"},
    {"f:@[0-9]+@", "f:a1b22c", "f:a1\nf:b22\n"},
    {"f:@[0-9]+@b", "f:a\\1b2", "f:a1\nf:b2\n"},  // the match still ends the piece
    {"f:@;@", "f:a;b;", "f:a;\nf:b;\n"},
};

TEST_F(ExtractTest, Table) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string("list '") + c.list + "' line '" + c.line + "'");
    ASSERT_EQ(start(c.list), "");
    Outcome outcome = run(c.line);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err, "");
    restart();
  }
}

// Without quote or escape options a piece is copied in one run; the unit by
// unit scan ("q" on values without quotes) must cut every value the same way.
TEST_F(ExtractTest, TheOneRunCopyAgreesWithTheScan) {
  const char kAlphabet[] = "ab;; x";
  std::mt19937 random(11);
  for (const char* format : {"/;/", "/;+/", "/\\ +/", "@;@", "@a+@"}) {
    for (int round = 0; round < 200; ++round) {
      std::string line = "f:";
      for (std::size_t i = random() % 12; i > 0; --i) line += kAlphabet[random() % 6];
      SCOPED_TRACE(std::string(format) + " on '" + line + "'");
      ASSERT_EQ(start((std::string("f:") + format).c_str()), "");
      std::string one_run = run(line).out;
      restart();
      ASSERT_EQ(start((std::string("f:") + format + "q").c_str()), "");
      EXPECT_EQ(run(line).out, one_run);
      restart();
    }
  }
}

}  // namespace
}  // namespace unpack_test
