// convert_test.cc — conversions of pieces: every class and size, the
// more-than-one warning, the wide and narrow forms of this system's scan
// dialect, and conversion texts that must not make the scan write past its
// destination (run these under the asan preset).
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "unpack/convert.h"
#include "unpack/unpack_test_support.h"
#include "unpack/work_text.h"

namespace unpack_test {
namespace {

// A piece of a tab-delimited value converted by the text after "f::".
struct Case {
  const char* cfmt;  // as written in the list (a space needs a backslash)
  const char* value;
  const char* out;
  bool more_than_one = false;  // the warning is expected
};

const Case kConversionCases[] = {
    {"%d", " 42", "f:42\n"},
    {"%d", "12abc", "f:12\n"},
    {"%d", "4.7", "f:4\n"},
    {"%d", "abc", "f:\n"},
    {"%d", "\t", "f:\nf:\n"},  // two empty pieces
    {"%d", "-0", "f:0\n"},
    {"%x", "ff", "f:255\n"},
    {"%x", "ffffffff", "f:-1\n"},
    {"%X", "41", "f:A\n"},  // no recognised letter: the stored bytes as a narrow string
    {"%o", "17", "f:15\n"},
    {"%i", "0x10", "f:16\n"},
    {"%u", "4294967295", "f:4.29497e+09\n"},
    {"%hd", "70000", "f:4464\n"},
    {"%hu", "65535", "f:65535\n"},
    {"%ld", "4294967297", "f:1\n"},  // "l" is 32-bit, as the texts were written for
    {"%lu", "4294967295", "f:4.29497e+09\n"},
    {"%lld", "65", "f:A\n"},
    {"%f", "2.50", "f:2.5\n"},
    {"%lf", "1e3", "f:1000\n"},
    {"%f", "0.1", "f:0.1\n"},
    {"%e", "3e9", "f:3e+09\n"},
    {"%g", "-1.5", "f:-1.5\n"},
    {"%c", "A", "f:65\n"},
    {"%c", "é", "f:195\n"},  // a narrow character is its byte, unsigned
    {"%hc", "é", "f:195\n"},
    {"%lc", "é", "f:233\n"},
    {"%C", "日", "f:26085\n"},
    {"%wc", "é", "f:233\n"},
    {"%5c", "abcdefg", "f:97\n"},
    {"%5lc", "ébcdefg", "f:233\n"},
    {"%s", "ab cd", "f:ab\n"},
    {"%3s", "abcdef", "f:abc\n"},
    {"%*s\\ %s", "ab cd", "f:cd\n"},
    {"%s", "café", "f:café\n"},
    {"%2s", "é", "f:é\n"},
    {"%1s", "é", "f:\xEF\xBF\xBD\n"},  // half a character: one U+FFFD
    {"%2s", "文x", "f:\xEF\xBF\xBD\n"},
    {"%6s", "a😀😀", "f:a😀\xEF\xBF\xBD\n"},
    {"%hs", "café", "f:café\n"},
    {"%s", "😀x", "f:😀x\n"},  // a surrogate pair is one character of the work text
    {"%ls", "é漢😀x", "f:é漢😀x\n"},
    {"%lc", "😀", "f:55357\n"},  // the first unit of the character
    {"%4s", "😀x", "f:😀\n"},
    {"%ls", "café", "f:café\n"},
    {"%S", "日本 x", "f:日本\n"},
    {"%ws", "日本", "f:日本\n"},
    {"%5ls", "日本語です。", "f:日本語です\n"},
    {"%lS", "café", "f:café\n"},
    {"%hS", "café", "f:café\n"},
    {"%[a-z]", "abc1d", "f:abc\n"},
    {"%l[a-zé]", "éa1", "f:éa\n"},
    {"%[^;]", "a b;c", "f:a b\n"},
    {"x%d", "x5", "f:5\n"},
    {"x%d", "y5", "f:\n"},
    {"%d%d", "1 2", "f:\n", true},
    {"%d%d", "1", "f:1\n"},
    {"%d%*d%d", "1 2 3", "f:\n", true},
    {"%d%*d%d", "1 2", "f:1\n"},
    {"%%", "%", "f:\n"},
    {"%%%d", "%7", "f:7\n"},
    {"%n", "12", "f:\n"},
    {"%d%n", "5", "f:5\n"},
    {"%n%d", "5", "f:0\n"},  // the first destination is the slot; %n fills it
    {"%d%n%n%n%d", "5 6", "f:\n", true},
    {"%ms", "abc", "f:\n"},   // allocating flags never reach the scan
    {"%as", "1.5s", "f:\n"},  // 'a' is a floating conversion, not an allocation
    {"%1$d", "5", "f:\n"},    // nor do argument numbers
    {"%k", "5", "f:\n"},
    {"%d%k", "5", "f:5\n"},
    {"%[a-z", "abc", "f:\n"},
    {"%p", "0", "f:\n"},
    {"%Lf", "1", "f:\n"},
};

class ConvertTest : public EngineTest {};

TEST_F(ConvertTest, EveryClassAndSize) {
  for (const Case& c : kConversionCases) {
    SCOPED_TRACE(std::string(c.cfmt) + " on '" + c.value + "'");
    ASSERT_EQ(start((std::string("f::") + c.cfmt).c_str()), "");
    Outcome outcome = run(std::string("f:") + c.value);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err,
              c.more_than_one ? "Kunpack: field f cfmt has more than one % at in.k(3).\n" : "");
    restart();
  }
}

// Conversions on pieces far longer than any fixed buffer: under the asan
// preset any store past a destination fails the test.
TEST_F(ConvertTest, LongPiecesStayInsideTheirDestinations) {
  const char* const kConversions[] = {"%ls",
                                      "%S",
                                      "%ws",
                                      "%lc",
                                      "%C",
                                      "%wc",
                                      "%hs",
                                      "%5ls",
                                      "%[a-z]",
                                      "%l[a-z]",
                                      "%5c",
                                      "%d%d",
                                      "%*d\\ %s",
                                      "%%",
                                      "%s",
                                      "%c",
                                      "%s%s",
                                      "%ls%ls",
                                      "%lld",
                                      "%Lf",
                                      "%p",
                                      "%n%ls",
                                      "%l[^;]",
                                      "%99999c",
                                      "%2147483647lc",
                                      "%99999999999s",
                                      "%X%X%X",
                                      "%hhd"};
  std::string ascii(5000, 'a');
  std::string wide;
  for (int i = 0; i < 2000; ++i) wide += "é日😀";
  for (const char* conversion : kConversions) {
    SCOPED_TRACE(conversion);
    ASSERT_EQ(start((std::string("f::") + conversion).c_str()), "");
    run("f:" + ascii + " " + ascii + "\t" + wide + "\t" + std::string(3000, '9'));
    restart();
  }
  ASSERT_EQ(start("f::%ls"), "");
  EXPECT_EQ(run("f:" + ascii).out, "f:" + ascii + "\n");
}

// Pieces are collected in chunks into an area that keeps growing: ASCII
// goes sixteen units at a time, the rest one character at a time.
TEST_F(ConvertTest, WorkTextsAreTheUtf8OfTheirPieces) {
  const char* const kCharacters[] = {
      "a", "7", "~", " ", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80"};
  std::mt19937 random(3);
  for (int round = 0; round < 400; ++round) {
    std::string expected;
    char* text = nullptr;
    for (int chunk = static_cast<int>(random() % 5); chunk > 0; --chunk) {
      std::string piece;
      const unsigned kinds = chunk % 2 == 0 ? 4 : 7;  // some chunks all ASCII
      for (int n = static_cast<int>(random() % 40); n > 0; --n) {
        piece += kCharacters[random() % kinds];
      }
      std::u16string units = units_of(piece);
      work_text_append(units.data(), units.size(), text, wsize);
      expected += piece;
    }
    work_text_finish(text, wsize);
    ASSERT_EQ(std::string(text), expected);
    wsize.head = text;
  }
}

// The text the library's scan sees.
TEST(ScanTextRewrite, MapsTheDialectAndKeepsStoresBounded) {
  struct Rewrite {
    const char* conversion;
    const char* scan;
    int32_t cfmt_class = 0;  // of the first conversion; it decides wide or narrow
  };
  const Rewrite kRewrites[] = {
      {"%[]x]", "%[]x]"},
      {"%[^]x]y", "%[^]x]y"},
      {"%[a-z", ""},
      {"%ms", ""},  // no allocating flag, no argument number
      {"%as", "%fs"},
      {"%1$d", ""},
      {"%99999999999s", "%2147483647s"},
      {"%d%d%d", "%d%d"},
      {"%n%n%d%n", "%n%d"},  // at most three destinations
      {"%*n%d", "%d"},
      {"%5%%d", "%%%d"},
      {"%k%d", ""},
      {"é%d", "é%d"},
      {"%s%s", "%ls%s", CFMT_STRING | CFMT_SIZE_L},
      {"%*s%ls", "%*s%s", CFMT_STRING},
  };
  std::setlocale(LC_ALL, "C.UTF-8");
  for (const Rewrite& r : kRewrites) {
    EXPECT_EQ(scan_text_rewrite(r.conversion, r.cfmt_class), r.scan) << r.conversion;
  }
  std::setlocale(LC_ALL, "C");
}

// The integer fast path against the library's scan on random texts, for
// each conversion and store size.
TEST(ScanInteger, AnswersAsTheLibraryScanDoes) {
  struct Scan { const char* text; char conversion; std::size_t bytes; };
  const Scan kScans[] = {{"%d", 'd', 4},   {"%i", 'i', 4},    {"%u", 'u', 4},  {"%x", 'x', 4},
                         {"%o", 'o', 4},   {"%hhd", 'd', 1},  {"%hi", 'i', 2}, {"%llu", 'u', 8},
                         {"%llx", 'x', 8}, {"%hho", 'o', 1},  {"%lli", 'i', 8}};
  const char kAlphabet[] = " \t\v\r+-0123456789999abcdefxX0x.";
  std::mt19937 random(7);
  for (int round = 0; round < 200000; ++round) {
    const Scan& scan = kScans[round % (sizeof kScans / sizeof kScans[0])];
    std::string text;
    std::size_t length = random() % 26;
    for (std::size_t i = 0; i < length; ++i) text += kAlphabet[random() % (sizeof kAlphabet - 1)];
    // Near the ends of the ranges, where the saturation shows.
    if (round % 3 == 0) text = std::string(random() % 3, ' ') + "-9223372036854775" + text;
    if (round % 5 == 1) text = "+1844674407370955161" + text;
    if (round % 7 == 2) text = "0xfffffffffffffff" + text;
    int assigned = 0;
    uint64_t value = 0;
    ASSERT_TRUE(scan_integer(text.c_str(), scan.conversion, assigned, value)) << text;
    unsigned char expected_bytes[8] = {};
    int expected = std::sscanf(text.c_str(), scan.text, expected_bytes);
    ASSERT_EQ(assigned, expected) << scan.text << " '" << text << "'";
    if (expected == 1) {
      ASSERT_EQ(std::memcmp(&value, expected_bytes, scan.bytes), 0) << scan.text << " '" << text << "'";
    }
  }
  int assigned;
  uint64_t value;
  EXPECT_FALSE(scan_integer(" \xC2\xA0" "5", 'd', assigned, value));
}

}  // namespace
}  // namespace unpack_test
