// extract_test.cc — how pieces are copied: trimming, quotes, escapes, patterns.
#include <random>
#include <string>

#include "unpack/unpack_test_support.h"

namespace unpack_test {
namespace {

struct ExtractTest : EngineTest {
  // The lines of one chosen line, by a fresh start-up with `list`.
  std::string cut(const std::string& list, const std::string& line) {
    restart();
    EXPECT_EQ(start(list), "");
    return run(line).out;
  }
};

TEST_F(ExtractTest, Table) {
  // clang-format off
  const char* const kCases[][3] = {
      {"f:(4)lr", "f:\tab  cd ", "f:\tab\nf:cd\n"},  // trims spaces, not moving the next piece
      {"f:/;/lr", "f: a ; b ", "f: a \nf: b \n"},  // delimited pieces keep their spaces
      {"f:q", "f:\"a\tb\"\tc", "f:a\tb\nf:c\n"},
      {"f:q", "f:\"say \"\"hi\"\"\"", "f:say \"hi\"\n"},
      {"f:qx", "f:\"say \\\"hi\\\" \\b\"", "f:say \"hi\" \\b\n"},
      {"f:qx", "f:\"a\"\"b\"", "f:ab\n"},  // with x, doubling no longer escapes
      {"f:/\\,/q", "f:\"a,b", "f:a,b\n"},  // an unclosed quote takes the rest
      {"f:/\\,/b", "f:a\\,b\\\\,c\\", "f:a,b\\\nf:c\n"},  // a backslash at the very end is dropped
      {"f:/\\,/Qx", "f:'a\\',b", "f:a\\\nf:b\n"},  // x changes nothing in single quotes
      {"f:/\\,/Q", "f:'it''s',x", "f:its\nf:x\n"},
      {"f:/\\,/qQ", "f:\"it's\",'say \"x\"'", "f:it's\nf:say \"x\"\n"},
      {"f:/\\,/bq", "f:\\\"a,b", "f:\"a\nf:b\n"},  // an escaped quote is ordinary
      {"f:/\\,\\,/q", "f:a,\",\"b,,", "f:a,,b\nf:\n"},
      {"f:@x@q", "f:\"xx\"bx", "f:xxbx\n"},  // ends with its first match outside quotes
      {"f:@[0-9]+@b", "f:a\\1b2", "f:a1\nf:b2\n"},
  };
  // clang-format on
  for (const auto& [list, line, out] : kCases) EXPECT_EQ(cut(list, line), out) << list << line;
}

// Without quote or escape options a piece is copied in one run, which must cut
// as the unit-by-unit scan ("q" on values without quotes) does.
TEST_F(ExtractTest, TheOneRunCopyAgreesWithTheScan) {
  std::mt19937 random(11);
  for (std::string format : {"/;/", "/;+/", "/\\ +/", "@;@", "@a+@"}) {
    for (int round = 0; round < 200; ++round) {
      std::string line = "f:";
      for (std::size_t i = random() % 12; i > 0; --i) line += "ab;; x"[random() % 6];
      EXPECT_EQ(cut("f:" + format, line), cut("f:" + format + "q", line)) << format << line;
    }
  }
}

}  // namespace
}  // namespace unpack_test
