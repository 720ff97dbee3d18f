// charcode_test.cc — each decoder's and encoder's rules as tables, run unit by
// unit and in bulk; the bulk forms, the strict UTF-8 codec and the lane
// operations against their references on random input.
#include "charcode/charcode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "charcode/test_codes.h"
#include "charcode/utf8.h"
#include "driver/locale_units.h"

namespace {

using namespace std::string_literals;
constexpr int ERR = DECODED_ERROR;

// A code error of the locale's code consumes one ill-formed part: the longest
// run that still begins a character, or one byte when the first begins none.
// Input that ends inside a run that may still be completed ends without error.
// clang-format off
struct DecodeCase { const char* locale; int32_t code; std::string bytes; std::vector<int> units; };
const DecodeCase kDecodeCases[] = {
    // the own UTF-8 decoder: byte order marks dropped, pairs, lenient long forms
    {"C", 8, "\xEF\xBB\xBF" "A\xEF\xBB\xBF", {0, 'A', 0}},
    {"C", 8, "\xF0\x9F\x98\x80\xC3\xA9\xE2\x82\xAC" "a\0b"s, {0xD83D, 0xDE00, 0xE9, 0x20AC, 'a', 0, 'b'}},
    {"C", 8, "\xF4\x90\x80\x80\xEF\xBF\xBF\xEF\xBF\xBE", {0xFFFD, ERR, ERR}},
    {"C", 8, "\x80" "A\xE3\x81" "AB", {ERR, 'A', ERR, 'B'}},
    {"C", 8, "A\xE3\x81", {'A'}},
    {"C", 8, "\xC0\x80\xED\xB0\x80\xF8\x80\x80\x80\x80\xFC\x80\x80\x80\x80\x80\xFE\x80\x80\x80\x80\x80\xF8\x88\x80\x80\x80", {0, 0xDC00, 0, 0, 0xFFFD, 0xFFFD}},
    // UTF-16 and UTF-32 in both byte orders
    {"C", 16, "\xFF\xFE" "A\0\0\xD8\xFF\xFF"s, {0, 'A', 0xD800, ERR}},
    {"C", 16, "\xFE\xFF\0AA\0B"s, {ERR, 0x4100, 'A'}},
    {"C", -16, "\xFE\xFF\0A\xD8\x3D\xDE\0"s, {0, 'A', 0xD83D, 0xDE00}},
    {"C", 32, "\xFF\xFE\0\0\xFE\xFF\0\0\0\xF6\x01\0\0\0\x11\0\xFF\xFF\xFF\xFF" "A\0\0\0B\0\0"s, {0, ERR, 0xD83D, 0xDE00, 0xFFFD, 0xFFFD, 'A'}},
    {"C", -32, "\0\x01\xF6\0\0\0\0A"s, {0xD83D, 0xDE00, 'A'}},
    // the locale's code: UTF-8 keeps U+FEFF; the C locale has ASCII alone
    {"C.UTF-8", 0, "\xEF\xBB\xBF\xC3\xA9\xF0\x9F\x98\x80" "a\0b"s, {0xFEFF, 0xE9, 0xD83D, 0xDE00, 'a', 0, 'b'}},
    {"C", 0, "A\xE9" "B", {'A', ERR, 'B'}},
    // ill-formed UTF-8 in the locale's code: a bad second, third or fourth byte
    {"C.UTF-8", 0, "\xC3(\xC3\xC3\xA9\xE3z", {ERR, '(', ERR, 0xE9, ERR, 'z'}},
    {"C.UTF-8", 0, "\xE3\x81z\xE3\x81\xE3\x81\x81\xE3\x81\n", {ERR, 'z', ERR, 0x3041, ERR, '\n'}},
    {"C.UTF-8", 0, "\xF0z\xF0\x9Fz\xF0\x9F\x98\xF0\x9F\x98\x80", {ERR, 'z', ERR, 'z', ERR, 0xD83D, 0xDE00}},
    // overlong forms, encoded surrogates, values above U+10FFFF
    {"C.UTF-8", 0, "\xC0\x80\xC1\xBF\xE0\x80\x80\xE0\x9F\xBF", std::vector<int>(10, ERR)},
    {"C.UTF-8", 0, "\xF0\x8F\xBF\xBF\xE0\xA0\x80\xF0\x90\x80\x80", {ERR, ERR, ERR, ERR, 0x800, 0xD800, 0xDC00}},
    {"C.UTF-8", 0, "\xED\xA0\x80\xED\xBF\xBF\xED\x9F\xBF\xEE\x80\x80", {ERR, ERR, ERR, ERR, ERR, ERR, 0xD7FF, 0xE000}},
    {"C.UTF-8", 0, "\xF4\x90\x80\x80\xF4\x8F\xBF\xBF\xF5\x80\x80\x80", {ERR, ERR, ERR, ERR, 0xDBFF, 0xDFFF, ERR, ERR, ERR, ERR}},
    {"C.UTF-8", 0, "\xF8\x88\x80\x80\x80\xFC\x84\x80\x80\x80\x80", std::vector<int>(11, ERR)},
    // stray continuation bytes; ends cut short, or ill-formed already
    {"C.UTF-8", 0, "\xFE\xFFz\x80\xBF\x80z\xC3\xA9\xA9", {ERR, ERR, 'z', ERR, ERR, ERR, 'z', 0xE9, ERR}},
    {"C.UTF-8", 0, "A\xC3", {'A'}},
    {"C.UTF-8", 0, "A\xE3\x81", {'A'}},
    {"C.UTF-8", 0, "A\xF0\x9F\x98", {'A'}},
    {"C.UTF-8", 0, "A\xF4\x90\xED\xA0\xE0\x80", {'A', ERR, ERR, ERR, ERR, ERR, ERR}},
    // EUC-JP, a code the library alone knows: one, two and three bytes
    {"C.EUC-JP", 0, "\xA4\xA2\x8E\xB1\x8F\xB0\xA1", {0x3042, 0xFF71, 0x4E02}},
    {"C.EUC-JP", 0, "\xA4z\xA4\xFF\x8Ez\x8F\xB0z\x8F\xB0\x8E\xB1\xFFz", {ERR, 'z', ERR, ERR, ERR, 'z', ERR, 'z', ERR, 0xFF71, ERR, 'z'}},
    {"C.EUC-JP", 0, "z\x8F\xB0", {'z'}},
};
// clang-format on

// Whether the locale could be had. The machine need not have an EUC-JP
// locale: localedef builds one into a temporary folder, once.
bool use_locale_codes(const char* locale, int32_t code) {
  static TempFiles folder;
  static int built = std::system(
      ("localedef -i C -f EUC-JP " + folder.path("C.EUC-JP") + " >/dev/null 2>&1").c_str());
  if (built == 0 && locale == "C.EUC-JP"s) setenv("LOCPATH", folder.directory().c_str(), 1);
  use_codes(locale, code, 8);
  unsetenv("LOCPATH");
  bool had = locale == std::string(std::setlocale(LC_CTYPE, nullptr));
  if (!had) std::printf("skipped: %s cannot be had here\n", locale);
  return had;
}

// Each row unit by unit and in blocks; in the byte codes also placed at every
// offset around the end of the first input block, which then cuts it.
TEST(DecoderTest, RulesOfEachCodeUnitByUnitAndInBulk) {
  for (const DecodeCase& c : kDecodeCases) {
    if (!use_locale_codes(c.locale, c.code)) continue;
    for (std::size_t capacity : {0, 1, 2, 3, 64}) {
      EXPECT_EQ(decode(c.bytes, capacity), c.units) << c.code << " " << c.bytes << " " << capacity;
    }
    for (std::size_t offset = 0; offset <= c.bytes.size() && (c.code == 0 || c.code == 8);
         ++offset) {
      std::string filler(STREAM_BLOCK - offset, 'a');
      std::vector<int> expected(filler.begin(), filler.end());
      expected.insert(expected.end(), c.units.begin(), c.units.end());
      ASSERT_EQ(decode(filler + c.bytes), expected) << c.bytes << " at " << offset;
      ASSERT_EQ(decode(filler + c.bytes, 3000, 7), expected) << c.bytes << " at " << offset;
    }
  }
}

// alone: each unit through out_wctomb, '!' where it has no bytes.
// clang-format off
struct EncodeCase { const char* locale; int32_t code; std::vector<Unit> units; std::string bytes, alone; };
const EncodeCase kEncodeCases[] = {
    {"C", 8, {0xD83D, 0xDE00, 0}, "\xF0\x9F\x98\x80\0"s, "!!\0"s},
    {"C", 8, {0xDC00, 0xE9, 0x20AC, 0xFFFF}, "\xEF\xBF\xBD\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF", "!\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF"},
    {"C", 8, {0xD83D, 'A', 0xDE00}, "A\xF0\x9F\x98\x80", "!A!"},
    {"C", 32, {0xD83D, 0xDE00, 'A', 0}, "\0\xF6\x01\0A\0\0\0\0\0\0\0"s, "=\xD8\0\0\0\xDE\0\0A\0\0\0\0\0\0\0"s},
    {"C", 32, {0xDC00}, "\xFD\xFF\0\0"s, "\0\xDC\0\0"s},
    {"C", 16, {'A', 0xD83D, 0xDE00, 0}, "A\0=\xD8\0\xDE\0\0"s, "A\0=\xD8\0\xDE\0\0"s},
    {"C", 0, {'A', 0xE9, 0x20AC, 0}, "A??\0"s, "A!!\0"s},
    {"C", 0, {0xD83D, 0xDE00}, "?", "!!"},
    {"C.UTF-8", 0, {0xD83D, 0xDE00, 0xE9}, "\xF0\x9F\x98\x80\xC3\xA9", "!!\xC3\xA9"},
    {"C.UTF-8", 0, {0xD83D, 'A', 0xDC00}, "?A?", "!A!"},
    {"C.UTF-8", 0, {0xD83D, 0xD83D, 0xDE00}, "?\xF0\x9F\x98\x80", "!!!"},
};
// clang-format on

TEST(EncoderTest, ReplacementRulesOfEachWriterAndNumbers) {
  for (const EncodeCase& c : kEncodeCases) {
    use_codes(c.locale, 0, c.code);
    MemoryOutput output;
    std::string alone;
    for (Unit unit : c.units) {
      out_putwc(unit, output.out);
      char buffer[OUT_WCTOMB_MAX];
      int count = out_wctomb(buffer, unit);
      alone += count < 0 ? "!"s : std::string(buffer, static_cast<std::size_t>(count));
    }
    EXPECT_EQ(output.bytes(), c.bytes) << c.locale << " " << c.code << " " << c.alone;
    EXPECT_EQ(alone, c.alone) << c.locale << " " << c.code;
  }
  use_codes("C.UTF-8", 0, 0);  // the writer's result: the unit, or 0xFFFF for one not written
  MemoryOutput lone;
  EXPECT_TRUE(out_putwc(0xDC00, lone.out) == 0xFFFF && out_putwc(u'A', lone.out) == u'A');
  for (int32_t code : {8, 16, 32}) {  // a high surrogate held is taken
    use_codes("C", 0, code);
    MemoryOutput held;
    EXPECT_EQ(out_putwc(0xD83D, held.out), 0xD83D) << code;
  }
  // Numbers: integers from the digit writer, as "%d" writes them; the others from the library.
  // clang-format off
  const std::pair<double, std::string> kNumbers[] = {{2.5, "2.5"}, {-0.0, "0"}, {2147483647.0, "2147483647"},
      {-2147483648.0, "-2147483648"}, {2147483648.0, "2.14748e+09"}, {-2147483648.5, "-2.14748e+09"},
      {0.1, "0.1"}, {std::nan(""), "nan"}, {HUGE_VAL, "inf"}};
  // clang-format on
  std::mt19937 random(5);
  for (int32_t code : {8, 16, 32}) {
    use_codes("C", 0, code);
    MemoryOutput numbers;
    std::string expected;
    for (std::size_t i = 0; i < 3000; ++i) {
      int32_t number = static_cast<int32_t>(random()) >> (random() % 32);
      std::string text = std::to_string(number) + kNumbers[i % std::size(kNumbers)].second;
      int units = out_putnum(number, numbers.out) +
                  out_putnum(kNumbers[i % std::size(kNumbers)].first, numbers.out);
      ASSERT_EQ(static_cast<std::size_t>(units), text.size()) << text;
      for (char c : text) expected += c + std::string(code / 8 - 1, '\0');
    }
    EXPECT_EQ(numbers.bytes(), expected) << code;
  }
}

// The strict UTF-8 codec against the C library's UTF-8, which refuses the
// same overlong forms and surrogates: every lead and second byte, with trail
// bytes at the edges of the continuation range; and encoding every size.
// Byte paths by code pair: ASCII read, written as itself; lines passed between UTF-8, UTF-16LE codes.
TEST(CodeSelectTest, BytePathsFollowTheCodes) {
  struct Case { const char* locale; int32_t in, out; const char* flags; };  // in the order below
  // clang-format off
  const Case kCases[] = {
      {"C.UTF-8", 0, 0, "1110"}, {"C.UTF-8", 8, 0, "1110"}, {"C.UTF-8", 0, 8, "1110"}, {"C.UTF-8", 0, 16, "1000"},
      {"C.UTF-8", 32, 8, "0100"}, {"C", 0, 0, "1100"}, {"C", 8, 8, "1110"}, {"C", 8, 0, "1100"}, {"C", 0, 8, "1100"},
      {"C", 16, 16, "0001"}, {"C", 16, 8, "0100"}, {"C", 8, 16, "1000"}, {"C", -16, 8, "0100"},
  };
  // clang-format on
  for (const Case& c : kCases) {
    use_codes(c.locale, c.in, c.out);
    std::string flags;
    for (bool flag : {in_keeps_ascii, out_keeps_ascii, codes_are_utf8, codes_are_utf16le}) flags += flag ? '1' : '0';
    EXPECT_EQ(flags, c.flags) << c.locale << " " << c.in << " " << c.out;
  }
}

TEST(Utf8CodecTest, StrictCodecAgreesWithTheLibrary) {
  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  for (uint32_t lead_and_second = 0x8000; lead_and_second <= 0xFFFF; ++lead_and_second) {
    for (unsigned char trail : {0x41, 0x80, 0xBF, 0xC0}) {
      const unsigned char bytes[4] = {static_cast<unsigned char>(lead_and_second >> 8),
                                      static_cast<unsigned char>(lead_and_second), trail, trail};
      char32_t expected = 0, code_point = 0;
      int length = locale_decode_char(reinterpret_cast<const char*>(bytes), 4, expected);
      int got = utf8_decode_strict(bytes, 4, code_point);
      ASSERT_TRUE(got == std::max(length, 0) && (length <= 0 || code_point == expected))
          << lead_and_second << " " << +trail;
    }
  }
  for (uint32_t c = 1; c <= 0x10FFFF; c += c < 0x800 ? 1 : 7) {
    char expected[8], bytes[6];
    if (is_high_surrogate(c) || is_low_surrogate(c)) continue;
    int length = locale_encode_char(c, expected);
    ASSERT_EQ(utf8_encode(c, reinterpret_cast<unsigned char*>(bytes)), length) << c;
    ASSERT_EQ(std::string(bytes, length), std::string(expected, length));
  }
}

// Input for the decoders: runs of ASCII (the fast paths), characters of every
// size, values at the edges (surrogates, above U+10FFFF, byte order marks),
// random bytes; or nothing but random bytes.
std::string random_input(std::mt19937& random, int32_t code, std::size_t length, bool noise) {
  static const uint32_t kSpecial[] = {0,      0xFEFF, 0xFFFE,  0xFFFF,     0xD800,    0xDBFF,
                                      0xDC00, 0xDFFF, 0x10000, 0x10FFFF,   0x110000,  0x1FFFFF,
                                      0x80,   0x7FF,  '\n',    0x7FFFFFFF, 0xFFFFFFFF};
  const uint32_t limits[] = {0x80, 0x800, 0x10000, 0x110000};
  std::string bytes;
  while (bytes.size() < length) {
    uint32_t kind = noise ? 15 : random() % 16;
    uint32_t v = kind < 14 ? random() % limits[kind < 9 ? 0 : (kind - 7) / 2]
                           : kSpecial[random() % std::size(kSpecial)];
    unsigned char utf8[6];
    bool in_utf8 = code == 0 || code == 8;
    int width = in_utf8 ? utf8_encode(v & 0x7FFFFFFF, utf8) : code == 16 || code == -16 ? 2 : 4;
    if (width == 2 && !in_utf8 && v >= 0x10000) v = 0xD800 + random() % 0x800;  // a surrogate
    for (int i = 0; i < width; ++i) {
      int shift = code > 0 ? 8 * i : 8 * (width - 1 - i);
      bytes += static_cast<char>(kind == 15 ? random() : in_utf8 ? utf8[i] : v >> shift);
    }
  }
  return bytes;
}

// The bulk decoder and writer against unit-by-unit calls: random input, some
// of it pure noise, one large enough for the block ends to cut characters;
// units of every kind, and lines as the record loop writes them (long runs
// of ASCII with a rare surrogate or other unit).
TEST(BulkTest, DecodersAndWritersAgreeWithTheirReference) {
  std::mt19937 random(2024);
  // clang-format off
  const struct { const char* locale; int32_t input, output; } kCodes[] = {{"C.UTF-8", 0, 0}, {"C", 0, 0},
      {"C", 8, 8}, {"C", 16, 16}, {"C", -16, 32}, {"C", 32, 0}, {"C", -32, 8}, {"C.UTF-8", 8, 32}};
  // clang-format on
  for (const auto& c : kCodes) {
    use_codes(c.locale, c.input, c.output);
    for (unsigned round = 0; round < 301; ++round) {
      std::size_t length = round == 0 ? 3 * STREAM_BLOCK + 5 : random() % 400;
      std::string bytes = random_input(random, c.input, length, round % 3 == 1);
      ASSERT_EQ(decode(bytes, 3000, round + 1), decode(bytes)) << c.locale << " " << c.input;
      std::vector<Unit> units(length);
      for (Unit& unit : units) {
        uint32_t kind = random() % (round % 2 ? 60 : 10), any = random();  // odd: mostly ASCII
        unit = static_cast<Unit>(kind > 3 ? any % 0x80 : kind > 1 ? any : 0xD800 | any % 0x800);
      }
      ASSERT_TRUE(writers_agree(units, round)) << c.locale << " " << c.output << " " << round;
    }
  }
}

// The vector forms of the lane operations against their lane-by-lane forms,
// on random lanes where every interesting value is common.
TEST(LanesTest, AgreeWithLaneByLaneForms) {
  std::mt19937 random(11);
  const unsigned char kBytes[] = {0, 1, '\n', ':', 0x7F, 0x80, 0xC3, 0xFE, 0xFF, 'a'};
  const Unit kUnits[] = {0, '\n', ':', 0x7F, 0x80, 0xFF, 0x100, 0x3A0A, 0xFFFF, 'a'};
  for (int round = 0; round < 3000; ++round) {
    unsigned char bytes[64], narrow[2 * LANES], lane_narrow[LANES];  // room GCC asks for
    Unit units[LANES], wide[LANES];
    for (auto& byte : bytes) byte = round % 2 ? kBytes[random() % 10] : static_cast<unsigned char>(random());
    std::size_t ascii = 0;  // units below 0x80 at the start
    for (auto& unit : units) {
      unit = round % 3 ? kUnits[random() % 10] : static_cast<Unit>(random());
      if (round % 5 == 0) unit &= 0x7F;
      if (round % 7 == 0) unit &= 0x80;  // together exactly 0x80: not ASCII
      ascii = ascii == static_cast<std::size_t>(&unit - units) && unit < 0x80 ? ascii + 1 : ascii;
    }
    uint64_t newlines[2], unclean[2];
    uint32_t unit_newlines[2], unit_unclean[2];
    byte_chunk_marks(bytes, newlines[0], unclean[0]);
    by_lane::byte_chunk_marks(bytes, newlines[1], unclean[1]);
    utf16le_chunk_marks(bytes, unit_newlines[0], unit_unclean[0]);
    by_lane::utf16le_chunk_marks(bytes, unit_newlines[1], unit_unclean[1]);
    ASSERT_TRUE(newlines[0] == newlines[1] && unclean[0] == unclean[1]);
    ASSERT_TRUE(unit_newlines[0] == unit_newlines[1] && unit_unclean[0] == unit_unclean[1]);
    ASSERT_EQ(byte_chunk_equal(bytes, ':'), by_lane::byte_chunk_equal(bytes, ':'));
    ASSERT_EQ(top_bits_by_words(bytes), (unclean[1] & 0xFFFF) & ~by_lane::bytes_equal(bytes, 0));
    ASSERT_EQ(bytes_matching(bytes, ':'), by_lane::bytes_matching(bytes, ':'));
    ASSERT_EQ(bytes_equal(bytes, '\n'), by_lane::bytes_equal(bytes, '\n'));
    for (bool colon : {false, true}) ASSERT_EQ(utf16le_line_stops(bytes, colon), by_lane::utf16le_line_stops(bytes, colon));
    ASSERT_EQ(find_unit_of(units, '\n', 0, 0xFFFF, ':'), by_lane::find_unit_of(units, '\n', 0, 0xFFFF, ':'));
    // The narrowed bytes count only when all units are ASCII.
    bool all = narrow_sixteen_if_ascii(units, narrow);
    ASSERT_EQ(all, by_lane::narrow_sixteen_if_ascii(units, lane_narrow));
    ASSERT_TRUE(!all || std::equal(narrow, narrow + LANES, lane_narrow));
    all = narrow_eight_if_ascii(units, narrow);
    ASSERT_EQ(all, by_lane::narrow_eight_if_ascii(units, lane_narrow));
    ASSERT_TRUE(!all || std::equal(narrow, narrow + 8, lane_narrow));
    for (std::size_t count = 0; count <= LANES; ++count) {
      ASSERT_EQ(narrow_ascii_prefix(units, count, narrow), std::min(ascii, count));
      ASSERT_TRUE(std::equal(narrow, narrow + std::min(ascii, count), units));
    }
    widen_bytes(bytes, wide);
    ASSERT_TRUE(std::equal(wide, wide + LANES, bytes));
  }
}

}  // namespace
