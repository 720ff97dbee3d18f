// convert_test.cc — conversions of pieces by class, size and dialect; long pieces
// (under asan); work texts; the integer fast path against the library's scan.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "unpack/convert.h"
#include "unpack/unpack_test_support.h"
#include "unpack/work_text.h"

namespace unpack_test {
namespace {

using ConvertTest = EngineTest;

// A piece of a tab-delimited value converted by the text after "f::".
TEST_F(ConvertTest, EveryClassAndSize) {
  struct Case { const char *cfmt, *value, *out; bool more_than_one = false; };
  // clang-format off
  const Case kCases[] = {
      {"%d", " 42", "f:42\n"},
      {"%d", "\t", "f:\nf:\n"},  // two empty pieces
      {"%x", "ffffffff", "f:-1\n"},
      {"%X", "41", "f:A\n"},  // no recognised letter: the stored bytes as a narrow string
      {"%i", "0x10", "f:16\n"},
      {"%u", "4294967295", "f:4.29497e+09\n"},
      {"%hd", "70000", "f:4464\n"},
      {"%ld", "4294967297", "f:1\n"},  // "l" is 32-bit, as the texts were written for
      {"%llx", "123456789abc", "f:\xEF\xBF\xBD\xEF\xBF\xBDxV4\x12\n"},  // all eight bytes stored, read as with %X
      {"%f", "2.50", "f:2.5\n"},
      {"%c", "é", "f:195\n"},  // a narrow character is its byte, unsigned
      {"%lc", "é", "f:233\n"},
      {"%lc", "😀", "f:55357\n"},  // the first unit of the character
      {"%*s\\ %s", "ab cd", "f:cd\n"},
      {"%3s", "abcdef", "f:abc\n"},
      {"%6s", "a😀😀", "f:a😀\xEF\xBF\xBD\n"},  // half a character: one U+FFFD
      {"%ls", "é漢😀x", "f:é漢😀x\n"},
      {"%5ls", "日本語です。", "f:日本語です\n"},
      {"%l[a-zé]", "éa1", "f:éa\n"},
      {"%[^]x]y", "ab]", "f:ab\n"},
      {"x%d", "y5", "f:\n"},
      {"%d%*d%d", "1 2 3", "f:\n", true},  // a suppressed conversion is not counted
      {"%d%n%n%n%d", "5 6", "f:\n", true},  // at most three destinations
      {"%n%d", "5", "f:0\n"},  // the first destination is the slot; %n fills it
      {"%ms", "abc", "f:\n"},  // allocating flags never reach the scan
      {"%as", "1.5s", "f:\n"},  // 'a' is a floating conversion, not an allocation
      {"%1$d", "5", "f:\n"},  // nor do argument numbers
      {"%Lf", "1", "f:\n"},
  };
  // clang-format on
  const std::string kWarning = "Kunpack: field f cfmt has more than one % at in.k(3).\n";
  for (const Case& c : kCases) {
    ASSERT_EQ(start(std::string("f::") + c.cfmt), "") << c.cfmt;
    Outcome outcome = run(std::string("f:") + c.value);
    EXPECT_EQ(outcome.out, c.out) << c.cfmt << " on " << c.value;
    EXPECT_EQ(outcome.err, c.more_than_one ? kWarning : "");
    restart();
  }
}

// Pieces far longer than any fixed buffer: under the asan preset any store
// past a destination fails the test.
TEST_F(ConvertTest, LongPiecesStayInsideTheirDestinations) {
  std::string ascii(5000, 'a'), wide;
  for (int i = 0; i < 2000; ++i) wide += "é日😀";
  for (const char* conversion : {"%ls", "%S", "%C", "%hs", "%5ls", "%l[a-z]", "%5c", "%*d\\ %s",
                                 "%s%s", "%ls%ls", "%lld", "%n%ls", "%l[^;]", "%99999c",
                                 "%2147483647lc", "%99999999999s", "%X%X%X", "%hhd"}) {
    ASSERT_EQ(start(std::string("f::") + conversion), "") << conversion;
    run("f:" + ascii + " " + ascii + "\t" + wide + "\t" + std::string(3000, '9'));
    restart();
  }
  for (const char* whole : {"%ls", "%99999s"}) {  // a width beyond the piece takes all of it
    restart();
    ASSERT_EQ(start(std::string("f::") + whole), "");
    EXPECT_EQ(run("f:" + ascii).out, "f:" + ascii + "\n") << whole;
  }
  EXPECT_EQ(scan_text_rewrite("%99999999999s%c", 0), "%2147483647s%c");  // widths fit an int
}

// Pieces are collected in chunks into an area that keeps growing: ASCII
// goes sixteen units at a time, the rest one character at a time.
TEST_F(ConvertTest, WorkTextsAreTheUtf8OfTheirPieces) {
  const char* const kCharacters[] = {"a", "7", "~", " ", "é", "\u0080", "中", "😀"};
  std::mt19937 random(3);
  for (int round = 0; round < 400; ++round) {
    std::string expected;
    char* text = nullptr;
    for (int chunk = random() % 5; chunk > 0; --chunk) {
      std::string piece;
      for (int n = random() % 40; n > 0; --n) piece += kCharacters[random() % (chunk % 2 ? 8 : 4)];
      std::u16string units = units_of(piece) + (chunk == 3 ? u"\xD800" : u"");  // lone: left out
      work_text_append(units.data(), units.size(), text, wsize);
      expected += piece;
    }
    work_text_finish(text, wsize);
    ASSERT_EQ(std::string(text), expected);
    wsize.head = text;
  }
}

// The integer fast path against the library's scan on random texts, for
// each conversion and store size, near the ends of the ranges too.
TEST(ScanInteger, AnswersAsTheLibraryScanDoes) {
  const std::string kScans[] = {"%d",   "%i",  "%u",   "%x",   "%o",  "%hhd",
                                "%hi",  "%llu", "%llx", "%hho", "%lli"};
  const char kAlphabet[] = " \t\v\r+-0123456789999abcdefxX0x.";
  std::mt19937 random(7);
  int assigned = 0;
  uint64_t value = 0;
  for (int round = 0; round < 200000; ++round) {
    const std::string& scan = kScans[round % std::size(kScans)];
    std::size_t bytes = scan[2] == 'h' ? 1 : scan[1] == 'h' ? 2 : scan[1] == 'l' ? 8 : 4;
    std::string text;
    for (std::size_t i = random() % 26; i > 0; --i) text += kAlphabet[random() % 30];
    if (round % 3 == 0) text = std::string(random() % 3, ' ') + "-9223372036854775" + text;
    if (round % 5 == 1) text = "+1844674407370955161" + text;
    if (round % 7 == 2) text = "0xfffffffffffffff" + text;
    ASSERT_TRUE(scan_integer(text.c_str(), scan.back(), assigned, value)) << text;
    unsigned char expected[8] = {};
    ASSERT_EQ(assigned, std::sscanf(text.c_str(), scan.c_str(), expected)) << scan << " " << text;
    if (assigned == 1) {
      ASSERT_EQ(std::memcmp(&value, expected, bytes), 0) << scan << " " << text;
    }
  }
  EXPECT_FALSE(scan_integer(" \xC2\xA0" "5", 'd', assigned, value));
}

}  // namespace
}  // namespace unpack_test
