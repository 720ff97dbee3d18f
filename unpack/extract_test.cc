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
  const char* delimiter;  // -t
  const char* line;
  const char* out;
};

class ExtractTest : public EngineTest {
 protected:
  void check_all(const Case* begin, const Case* end) {
    for (const Case* c = begin; c != end; ++c) {
      SCOPED_TRACE(std::string("list '") + c->list + "' line '" + c->line + "'");
      ASSERT_EQ(start(c->list, c->delimiter), "");
      Outcome outcome = run(c->line);
      EXPECT_EQ(outcome.out, c->out);
      EXPECT_EQ(outcome.err, "");
      restart();
    }
  }
};

// "l" and "r" trim spaces only, and never move where the next piece begins.
const Case kTrimCases[] = {
    {"f:(4)r", "\t", "f:  ab", "f:ab\n"},
    {"f:(4)l", "\t", "f:ab  ", "f:ab\n"},
    {"f:(4)lr", "\t", "f:    ", "f:\n"},
    {"f:(4)lr", "\t", "f: ab  cd ", "f:ab\nf:cd\n"},
    {"f:(3)r", "\t", "f:\t a", "f:\t a\n"},  // a tab is not trimmed
    {"f:(4)l", "\t", "f:a b   c ", "f:a b\nf:  c\n"},
    {"f:/;/lr", "\t", "f: a ; b ", "f: a \nf: b \n"},  // delimited pieces keep their spaces
};

TEST_F(ExtractTest, Trimming) {
  check_all(std::begin(kTrimCases), std::end(kTrimCases));
}

// Quotes and escapes, each option alone and together.
const Case kQuoteCases[] = {
    {"f:q", "\t", "f:\"a\tb\"\tc", "f:a\tb\nf:c\n"},
    {"f:q", "\t", "f:\"say \"\"hi\"\"\"", "f:say \"hi\"\n"},
    {"f:qx", "\t", "f:\"say \\\"hi\\\"\"", "f:say \"hi\"\n"},
    {"f:qx", "\t", "f:\"a\\\\b\"", "f:a\\b\n"},
    {"f:qx", "\t", "f:\"a\\b\"", "f:a\\b\n"},  // other units after a backslash stay
    {"f:qx", "\t", "f:\"a\"\"b\"", "f:ab\n"},  // with x, doubling no longer escapes
    {"f:q", "\t", "f:\"a\\\"", "f:a\\\n"},
    {"f:/\\,/q", "\t", "f:ab\"c,d\"e", "f:abc,de\n"},
    {"f:/\\,/q", "\t", "f:\"a,b", "f:a,b\n"},  // an unclosed quote takes the rest
    {"f:/\\,/q", "\t", "f:\"a\"\"", "f:a\"\n"},
    {"f:/\\,/b", "\t", "f:a\\,b,c", "f:a,b\nf:c\n"},
    {"f:/\\,/b", "\t", "f:a\\xb", "f:axb\n"},
    {"f:/\\,/b", "\t", "f:ab\\", "f:ab\n"},  // a backslash at the very end is dropped
    {"f:/\\,/b", "\t", "f:a\\\\,b", "f:a\\\nf:b\n"},
    {"f:/\\,/Q", "\t", "f:'a,b',c", "f:a,b\nf:c\n"},
    {"f:/\\,/Qx", "\t", "f:'a\\',b", "f:a\\\nf:b\n"},  // x changes nothing in single quotes
    {"f:/\\,/Q", "\t", "f:'it''s',x", "f:its\nf:x\n"},
    {"f:/\\,/qQ", "\t", "f:\"it's\",'say \"x\"'", "f:it's\nf:say \"x\"\n"},
    {"f:/\\,/bq", "\t", "f:\\\"a,b", "f:\"a\nf:b\n"},  // an escaped quote is ordinary
    {"f:/\\,/", "\t", "f:\"a,b\",c\\,d", "f:\"a\nf:b\"\nf:c\\\nf:d\n"},
    {"f:/\\,\\,/q", "\t", "f:a\",,\"b,,c", "f:a,,b\nf:c\n"},
    {"f:/\\,\\,/q", "\t", "f:a,\",\"b,,", "f:a,,b\nf:\n"},
    {"f:/\\ +/q", "\t", "f:\"a b\"  c  ", "f:a b\nf:c\n"},
};

TEST_F(ExtractTest, QuotesAndEscapes) {
  check_all(std::begin(kQuoteCases), std::end(kQuoteCases));
}

// A pattern piece runs through the first match outside quotes.
const Case kPatternCases[] = {
    {"f:@x@q", "\t", "f:\"xx\"b", "f:xx\n"},
    {"f:@x@q", "\t", "f:\"xx\"bx", "f:xxbx\n"},
    {"f:@[0-9]+@", "\t", "f:a1b22c", "f:a1\nf:b22\n"},
    {"f:@[0-9]+@b", "\t", "f:a\\1b2", "f:a1\nf:b2\n"},  // the match still ends the piece
    {"f:@;@", "\t", "f:a;b;", "f:a;\nf:b;\n"},
};

TEST_F(ExtractTest, Patterns) {
  check_all(std::begin(kPatternCases), std::end(kPatternCases));
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
