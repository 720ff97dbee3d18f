// charcode_test.cc — selection of the codes and its messages, and each
// decoder's and encoder's edge cases, as tables. Every decoder case runs both
// the unit-by-unit slot and the bulk form, which must agree.
#include "charcode/charcode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "charcode/test_codes.h"
#include "charcode/utf8.h"
#include "driver/locale_units.h"
#include "driver/messages.h"
#include "driver/settings.h"
#include "io/test_streams.h"

namespace {

constexpr int32_t KEEP = 12345;  // a -K setting that is not given
constexpr int ERR = DECODED_ERROR;

void set_environment(const char* variable, const char* value) {
  if (value == nullptr) {
    unsetenv(variable);
  } else {
    setenv(variable, value, 1);
  }
}

struct SelectCase {
  const char* env_data;  // Kdatautf, Kidatautf, Kodatautf; null = unset
  const char* env_in;
  const char* env_out;
  int32_t k_data;  // -K values applied after the environment; KEEP = not given
  int32_t k_in;
  int32_t k_out;
  int32_t want_in;
  int32_t want_out;
  const char* messages;
};

const SelectCase kSelectCases[] = {
    {nullptr, nullptr, nullptr, KEEP, KEEP, KEEP, 0, 0, ""},
    {nullptr, "16", nullptr, KEEP, 8, KEEP, 8, 0, ""},
    {"8", nullptr, nullptr, KEEP, 16, KEEP, 8, 8, ""},
    {nullptr, "16", "32", 0, KEEP, KEEP, 16, 32, ""},
    {nullptr, nullptr, nullptr, -16, KEEP, 8, 0, 8, "Kunpack: invalid datautf value (-16).\n"},
    {nullptr, nullptr, nullptr, KEEP, -16, KEEP, -16, 0, ""},
    {nullptr, nullptr, nullptr, KEEP, -32, -32, -32, 0, "Kunpack: invalid odatautf value (-32).\n"},
    {nullptr, nullptr, "8x", KEEP, KEEP, KEEP, 0, 8, ""},
    {nullptr, nullptr, "utf8", KEEP, KEEP, KEEP, 0, 0, ""},
    {" +32", nullptr, nullptr, KEEP, KEEP, KEEP, 32, 32, ""},
    {"7", "9", "-8", KEEP, KEEP, KEEP, 0, 0,
     "Kunpack: invalid datautf value (7).\nKunpack: invalid idatautf value (9).\n"
     "Kunpack: invalid odatautf value (-8).\n"},
};

TEST(SelectCharcodeTest, SettingsFromEnvironmentAndOptions) {
  for (const SelectCase& c : kSelectCases) {
    set_environment("Kdatautf", c.env_data);
    set_environment("Kidatautf", c.env_in);
    set_environment("Kodatautf", c.env_out);
    init_charcode();
    if (c.k_data != KEEP) datautf = c.k_data;
    if (c.k_in != KEEP) idatautf = c.k_in;
    if (c.k_out != KEEP) odatautf = c.k_out;
    int32_t errors_before = error_count;
    testing::internal::CaptureStderr();
    select_charcode();
    std::string messages = testing::internal::GetCapturedStderr();
    EXPECT_EQ(messages, c.messages) << c.env_data << " " << c.k_data;
    EXPECT_EQ(error_count - errors_before, std::count(messages.begin(), messages.end(), '\n'));
    EXPECT_EQ(idatautf, c.want_in) << c.env_in << " " << c.k_in;
    EXPECT_EQ(odatautf, c.want_out) << c.env_out << " " << c.k_out;
    EXPECT_NE(in_getwc, nullptr);
    EXPECT_NE(out_putwc, nullptr);
  }
  unsetenv("Kdatautf");
  unsetenv("Kidatautf");
  unsetenv("Kodatautf");
}

// Decodes everything: units, ERR for a code error; the end is not listed,
// and it stays the end.
std::vector<int> decode_checked(const std::string& bytes) {
  bool end_stays = false;
  std::vector<int> units = decode_by_unit(bytes, &end_stays);
  EXPECT_TRUE(end_stays) << "the end stays the end";
  return units;
}

// With capacity 0 every call takes a random capacity from 1 to 3000.
std::vector<int> decode_in_bulk(const std::string& bytes, std::size_t capacity) {
  MemoryInput input(bytes);
  std::vector<int> units;
  std::vector<Unit> block(capacity == 0 ? 3000 : capacity);
  std::mt19937 random(7);
  for (;;) {
    std::size_t wanted = capacity != 0 ? capacity : 1 + random() % 3000;
    std::size_t count = in_getunits(input.in, block.data(), wanted);
    EXPECT_GE(count, 1u);
    for (std::size_t i = 0; i < count; ++i) {
      if (block[i] == 0xFFFF) {
        EXPECT_EQ(i, count - 1) << "a block ends at its first 0xFFFF";
        if (input.in.end_of_file) return units;
      }
      units.push_back(block[i] == 0xFFFF ? ERR : block[i]);
    }
  }
}

struct DecodeCase {
  const char* locale;
  int32_t code;
  std::string bytes;
  std::vector<int> units;
};

// clang-format off
const DecodeCase kDecodeCases[] = {
    {"C", 8, "\xEF\xBB\xBF" "A\xEF\xBB\xBF", {0, 'A', 0}},
    {"C", 8, "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
    {"C", 8, "\xF4\x90\x80\x80", {0xFFFD}},
    {"C", 8, "\xEF\xBF\xBF\xEF\xBF\xBE", {ERR, ERR}},
    {"C", 8, "\x80" "A", {ERR, 'A'}},
    {"C", 8, "\xE3\x81" "AB", {ERR, 'B'}},
    {"C", 8, "A\xE3\x81", {'A'}},
    {"C", 8, std::string("\xC0\x80\xED\xB0\x80", 5), {0, 0xDC00}},
    {"C", 8, "\xF8\x80\x80\x80\x80\xFC\x80\x80\x80\x80\x80", {0, 0}},
    {"C", 8, "\xFE\x80\x80\x80\x80\x80\xF8\x88\x80\x80\x80", {0xFFFD, 0xFFFD}},
    {"C", 8, "\xC3\xA9\xE2\x82\xAC", {0xE9, 0x20AC}},
    {"C", 8, std::string("a\0b", 3), {'a', 0, 'b'}},
    {"C", 16, std::string("\xFF\xFE" "A\0", 4), {0, 'A'}},
    {"C", 16, std::string("\xFE\xFF\0A", 4), {ERR, 0x4100}},
    {"C", 16, std::string("A\0B", 3), {'A'}},
    {"C", 16, std::string("\0\xD8\xFF\xFF", 4), {0xD800, ERR}},
    {"C", -16, std::string("\0A\xD8\x3D\xDE\0", 6), {'A', 0xD83D, 0xDE00}},
    {"C", -16, "\xFE\xFF", {0}},
    {"C", 32, std::string("\0\xF6\x01\0", 4), {0xD83D, 0xDE00}},
    {"C", 32, std::string("\0\0\x11\0\xFF\xFF\xFF\xFF", 8), {0xFFFD, 0xFFFD}},
    {"C", 32, std::string("A\0\0\0B\0\0", 7), {'A'}},
    {"C", 32, std::string("\xFF\xFE\0\0\xFE\xFF\0\0", 8), {0, ERR}},
    {"C", -32, std::string("\0\x01\xF6\0\0\0\0A", 8), {0xD83D, 0xDE00, 'A'}},
    {"C.UTF-8", 0, "\xEF\xBB\xBF\xC3\xA9", {0xFEFF, 0xE9}},
    {"C.UTF-8", 0, "\xF0\x9F\x98\x80" "A", {0xD83D, 0xDE00, 'A'}},
    {"C.UTF-8", 0, std::string("a\0b", 3), {'a', 0, 'b'}},
    {"C", 0, "A\xE9" "B", {'A', ERR, 'B'}},
};
// clang-format on

TEST(DecoderTest, EdgeCasesByUnitAndInBulk) {
  for (const DecodeCase& c : kDecodeCases) {
    use_codes(c.locale, c.code, 8);
    EXPECT_EQ(decode_checked(c.bytes), c.units) << c.locale << " " << c.code << " " << c.bytes;
    for (std::size_t capacity : {1, 2, 3, 64}) {
      EXPECT_EQ(decode_in_bulk(c.bytes, capacity), c.units) << c.code << " " << capacity;
    }
  }
  std::setlocale(LC_ALL, "C");
}

// Ill-formed input in the locale's code. A code error consumes one
// ill-formed part: the longest run that still begins a character, or one
// byte when the first begins none; the byte after it is read afresh. Input
// that ends inside a run that may still be completed ends without an error.
struct IllFormedCase {
  std::string bytes;
  std::vector<int> units;
};

const IllFormedCase kIllFormedUtf8[] = {
    // each lead byte with a bad second, third and fourth byte
    {"\xC3(", {ERR, '('}},
    {"\xC3\xC3\xA9", {ERR, 0xE9}},
    {"\xE3z", {ERR, 'z'}},
    {"\xE3\x81z", {ERR, 'z'}},
    {"\xE3\x81\xE3\x81\x81", {ERR, 0x3041}},
    {"\xF0z", {ERR, 'z'}},
    {"\xF0\x9Fz", {ERR, 'z'}},
    {"\xF0\x9F\x98\xF0\x9F\x98\x80", {ERR, 0xD83D, 0xDE00}},
    {"\xE3\x81\n", {ERR, '\n'}},
    // overlong forms
    {"\xC0\x80\xC1\xBF", {ERR, ERR, ERR, ERR}},
    {"\xE0\x80\x80\xE0\x9F\xBF", {ERR, ERR, ERR, ERR, ERR, ERR}},
    {"\xF0\x8F\xBF\xBF", {ERR, ERR, ERR, ERR}},
    {"\xE0\xA0\x80\xF0\x90\x80\x80", {0x800, 0xD800, 0xDC00}},
    // encoded surrogates
    {"\xED\xA0\x80", {ERR, ERR, ERR}},
    {"\xED\xBF\xBF", {ERR, ERR, ERR}},
    {"\xED\x9F\xBF\xEE\x80\x80", {0xD7FF, 0xE000}},
    // values above U+10FFFF, in four, five and six bytes
    {"\xF4\x90\x80\x80", {ERR, ERR, ERR, ERR}},
    {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
    {"\xF5\x80\x80\x80", {ERR, ERR, ERR, ERR}},
    {"\xF8\x88\x80\x80\x80", {ERR, ERR, ERR, ERR, ERR}},
    {"\xFC\x84\x80\x80\x80\x80", {ERR, ERR, ERR, ERR, ERR, ERR}},
    {"\xFE\xFFz", {ERR, ERR, 'z'}},
    // stray continuation bytes
    {"\x80", {ERR}},
    {"\xBF\x80z", {ERR, ERR, 'z'}},
    {"\xC3\xA9\xA9", {0xE9, ERR}},
    // truncated by the end of the input
    {"A\xC3", {'A'}},
    {"A\xE3\x81", {'A'}},
    {"A\xF0\x9F\x98", {'A'}},
    {"A\xF4\x90", {'A', ERR, ERR}},
    {"A\xED\xA0", {'A', ERR, ERR}},
    {"A\xE0\x80", {'A', ERR, ERR}},
};

// Each row alone, and placed at every offset around the end of the first
// input block, so that its bytes are cut by the block's end and completed
// from the next block; both the unit-by-unit and the bulk decoder.
void expect_ill_formed_cases(const IllFormedCase* cases, std::size_t count) {
  for (const IllFormedCase* c = cases; c != cases + count; ++c) {
    EXPECT_EQ(decode_checked(c->bytes), c->units) << c->bytes;
    for (std::size_t capacity : {1, 2, 64}) {
      EXPECT_EQ(decode_in_bulk(c->bytes, capacity), c->units) << c->bytes << " " << capacity;
    }
    for (std::size_t offset = 0; offset <= c->bytes.size(); ++offset) {
      std::string filler(STREAM_BLOCK - offset, 'a');
      std::vector<int> expected(filler.begin(), filler.end());
      expected.insert(expected.end(), c->units.begin(), c->units.end());
      ASSERT_EQ(decode_checked(filler + c->bytes), expected) << c->bytes << " at " << offset;
      ASSERT_EQ(decode_in_bulk(filler + c->bytes, 0), expected) << c->bytes << " at " << offset;
    }
  }
}

TEST(DecoderTest, IllFormedUtf8InTheLocaleCode) {
  use_codes("C.UTF-8", 0, 8);
  expect_ill_formed_cases(kIllFormedUtf8, std::size(kIllFormedUtf8));
  std::setlocale(LC_ALL, "C");
}

// EUC-JP, a code the library alone knows: one, two and three bytes.
const IllFormedCase kIllFormedEucJp[] = {
    {"\xA4\xA2\x8E\xB1\x8F\xB0\xA1", {0x3042, 0xFF71, 0x4E02}},
    {"\xA4z", {ERR, 'z'}},
    {"\xA4\xFF", {ERR, ERR}},
    {"\x8Ez", {ERR, 'z'}},
    {"\x8F\xB0z", {ERR, 'z'}},
    {"\x8F\xB0\x8E\xB1", {ERR, 0xFF71}},
    {"\xFFz", {ERR, 'z'}},
    {"z\x8F\xB0", {'z'}},
};

// The machine need not have such a locale: localedef builds one into a
// temporary folder (a fraction of a second), or the test is skipped.
TEST(DecoderTest, IllFormedInALocaleOtherThanUtf8) {
  TempFiles folder;
  std::string command = "localedef -i C -f EUC-JP " + folder.path("C.EUC-JP") + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "localedef cannot build an EUC-JP locale";
  setenv("LOCPATH", folder.directory().c_str(), 1);
  use_codes("C.EUC-JP", 0, 8);
  unsetenv("LOCPATH");
  if (std::string(std::setlocale(LC_CTYPE, nullptr)) != "C.EUC-JP") {
    GTEST_SKIP() << "the C library does not load the EUC-JP locale that localedef built";
  }
  expect_ill_formed_cases(kIllFormedEucJp, std::size(kIllFormedEucJp));
  std::setlocale(LC_ALL, "C");
}

struct EncodeCase {
  const char* locale;
  int32_t code;
  std::vector<Unit> units;
  std::string bytes;
  std::vector<Unit> results;  // of each out_putwc call
};

const EncodeCase kEncodeCases[] = {
    {"C", 8, {0xD83D, 0xDE00}, "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
    {"C", 8, {0xDC00}, "\xEF\xBF\xBD", {0xDC00}},
    {"C", 8, {0xD83D, 'A', 0xDE00}, "A\xF0\x9F\x98\x80", {0xD83D, 'A', 0xDE00}},
    {"C", 8, {0xE9, 0x20AC, 0xFFFF}, "\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF", {0xE9, 0x20AC, 0xFFFF}},
    {"C", 32, {0xD83D, 0xDE00, 'A'}, std::string("\0\xF6\x01\0A\0\0\0", 8), {0xD83D, 0xDE00, 'A'}},
    {"C", 32, {0xDC00}, std::string("\xFD\xFF\0\0", 4), {0xDC00}},
    {"C", 16, {'A', 0xD83D, 0xDE00}, std::string("A\0\x3D\xD8\0\xDE", 6), {'A', 0xD83D, 0xDE00}},
    {"C", 0, {'A', 0xE9, 0x20AC}, "A??", {'A', 0xFFFF, 0xFFFF}},
    {"C", 0, {0xD83D, 0xDE00}, "?", {0xD83D, 0xFFFF}},
    {"C.UTF-8", 0, {0xD83D, 0xDE00, 0xE9}, "\xF0\x9F\x98\x80\xC3\xA9", {0xD83D, 0xDE00, 0xE9}},
    {"C.UTF-8", 0, {0xD83D, 'A', 0xDC00}, "?A?", {0xD83D, 'A', 0xFFFF}},
    {"C.UTF-8", 0, {0xD83D, 0xD83D, 0xDE00}, "?\xF0\x9F\x98\x80", {0xD83D, 0xD83D, 0xDE00}},
};

TEST(EncoderTest, WritersByUnitAndInBulk) {
  for (const EncodeCase& c : kEncodeCases) {
    use_codes(c.locale, 0, c.code);
    MemoryOutput by_unit;
    std::vector<Unit> results;
    for (Unit unit : c.units) results.push_back(out_putwc(unit, by_unit.out));
    EXPECT_EQ(by_unit.bytes(), c.bytes) << c.locale << " " << c.code;
    EXPECT_EQ(results, c.results) << c.locale << " " << c.code;
    MemoryOutput bulk;
    out_putunits(c.units.data(), c.units.size(), bulk.out);
    EXPECT_EQ(bulk.bytes(), c.bytes) << c.locale << " " << c.code;
    EXPECT_EQ(bulk.out.pending, by_unit.out.pending);
  }
  std::setlocale(LC_ALL, "C");
}

struct UnitEncoderCase {
  const char* locale;
  int32_t code;
  Unit unit;
  int count;
  std::string bytes;
};

const UnitEncoderCase kUnitEncoderCases[] = {
    {"C", 8, 'A', 1, "A"},
    {"C", 8, 0xE9, 2, "\xC3\xA9"},
    {"C", 8, 0x20AC, 3, "\xE2\x82\xAC"},
    {"C", 8, 0xD83D, -1, ""},
    {"C", 8, 0xDE00, -1, ""},
    {"C", 8, 0, 1, std::string(1, '\0')},
    {"C", 0, 0, 1, std::string(1, '\0')},
    {"C", 16, 0, 2, std::string(2, '\0')},
    {"C", 32, 0, 4, std::string(4, '\0')},
    {"C", 16, 0xD83D, 2, "\x3D\xD8"},
    {"C", 32, 0xDE00, 4, std::string("\0\xDE\0\0", 4)},
    {"C", 0, 0xE9, -1, ""},
    {"C.UTF-8", 0, 0xE9, 2, "\xC3\xA9"},
    {"C.UTF-8", 0, 0xD83D, -1, ""},
};

TEST(EncoderTest, UnitEncoders) {
  for (const UnitEncoderCase& c : kUnitEncoderCases) {
    use_codes(c.locale, 0, c.code);
    char buffer[OUT_WCTOMB_MAX];
    int count = out_wctomb(buffer, c.unit);
    EXPECT_EQ(count, c.count) << c.code << " " << static_cast<int>(c.unit);
    if (count > 0) {
      EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(count)), c.bytes);
    }
  }
  std::setlocale(LC_ALL, "C");
}

// The strict UTF-8 codec against the C library's UTF-8, which refuses the
// same overlong forms and surrogates (values above U+10FFFF are refused by
// locale_decode_char): every lead and second byte, with trail bytes at the
// edges of the continuation range.
TEST(Utf8CodecTest, StrictCodecAgreesWithTheLibrary) {
  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  const unsigned char kTrails[] = {0x41, 0x80, 0xBF, 0xC0};
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    for (int second = 0; second <= 0xFF; ++second) {
      for (unsigned char trail : kTrails) {
        const unsigned char bytes[4] = {static_cast<unsigned char>(lead),
                                        static_cast<unsigned char>(second), trail, trail};
        char32_t expected = 0, code_point = 0;
        int length = locale_decode_char(reinterpret_cast<const char*>(bytes), 4, expected);
        ASSERT_EQ(utf8_decode_strict(bytes, 4, code_point), length > 0 ? length : 0)
            << lead << " " << second << " " << static_cast<int>(trail);
        if (length > 0) {
          ASSERT_EQ(static_cast<uint32_t>(code_point), static_cast<uint32_t>(expected));
        }
      }
    }
  }
  for (uint32_t c = 1; c <= 0x10FFFF; c += c < 0x800 ? 1 : 7) {
    if (is_high_surrogate(c) || is_low_surrogate(c)) continue;
    char expected[8];
    unsigned char bytes[6];
    int length = locale_encode_char(c, expected);
    ASSERT_EQ(utf8_encode(c, bytes), length) << c;
    ASSERT_EQ(std::string(reinterpret_cast<char*>(bytes), 4).substr(0, length),
              std::string(expected, length));
  }
  std::setlocale(LC_ALL, "C");
}

struct NumberCase {
  int32_t code;
  double value;
  std::string bytes;
};

// clang-format off
const NumberCase kNumberCases[] = {
    {8, 42.0, "42"}, {8, -7.0, "-7"}, {8, 2.5, "2.5"}, {8, 0.1, "0.1"}, {8, -0.0, "0"},
    {8, 2147483647.0, "2147483647"}, {8, -2147483648.0, "-2147483648"},
    {8, 2147483648.0, "2.14748e+09"}, {8, 3e9, "3e+09"}, {8, -2147483648.5, "-2.14748e+09"},
    {8, std::nan(""), "nan"}, {8, HUGE_VAL, "inf"},
    {16, 42.0, std::string("4\0" "2\0", 4)}, {32, -1.0, std::string("-\0\0\0" "1\0\0\0", 8)},
};
// clang-format on

TEST(EncoderTest, NumberWriter) {
  for (const NumberCase& c : kNumberCases) {
    use_codes("C", 0, c.code);
    MemoryOutput output;
    int consumed = out_putnum(c.value, output.out);
    std::string bytes = output.bytes();
    EXPECT_EQ(bytes, c.bytes) << c.value;
    EXPECT_EQ(static_cast<std::size_t>(consumed), bytes.size() / (c.code == 8 ? 1 : c.code / 8));
  }
  // Integers take the digit writer, straight into the block: as "%d" writes them.
  use_codes("C", 0, 8);
  std::mt19937 random(5);
  MemoryOutput output;
  std::string expected;
  for (int i = 0; i < 3000; ++i) {
    int32_t number = static_cast<int32_t>(random()) >> (random() % 32);
    out_putnum(number, output.out);
    expected += std::to_string(number);
    out_putnum(0.5, output.out);  // and the others through the library, between them
    expected += "0.5";
  }
  EXPECT_EQ(output.bytes(), expected);
}

TEST(EncoderTest, MultibyteWriterSplitsWideCharacters) {
  use_codes("C.UTF-8", 0, 16);
  MemoryOutput output;
  EXPECT_EQ(out_putmbs("a\xF0\x9F\x98\x80", output.out), 5);
  EXPECT_EQ(output.bytes(), std::string("a\0\x3D\xD8\0\xDE", 6));
  const char kBroken[] = {'b', '\x80', 'c', '\0'};
  EXPECT_EQ(out_putmbs(kBroken, output.out), 1);  // stops at a byte that is no character
  std::setlocale(LC_ALL, "C");
}

// Random input for the reference/bulk comparisons: runs of ASCII (the fast
// path), characters of every size in the code, and random bytes.
std::string random_input(std::mt19937& random, int32_t code, std::size_t length) {
  std::string bytes;
  while (bytes.size() < length) {
    static const uint32_t kSpecial[] = {0,      0xFEFF, 0xFFFE,  0xFFFF,     0xD800,    0xDBFF,
                                        0xDC00, 0xDFFF, 0x10000, 0x10FFFF,   0x110000,  0x1FFFFF,
                                        0x80,   0x7FF,  '\n',    0xFFFFFFFF, 0x7FFFFFFF};
    uint32_t kind = random() % 16;
    uint32_t v = kind < 9    ? random() % 0x80
                 : kind < 11 ? random() % 0x800
                 : kind < 13 ? random() % 0x10000
                 : kind < 14 ? random() % 0x110000
                             : kSpecial[random() % std::size(kSpecial)];
    if ((code == 0 || code == 8 || code == 16 || code == -16) && v > 0x1FFFFF) v = 0x10FFFF;
    if (kind == 15) {
      bytes += static_cast<char>(random());  // anything at all
      continue;
    }
    if (code == 0 || code == 8) {
      unsigned char encoded[6];
      int count = v < 0x80 ? 1 : v < 0x800 ? 2 : v < 0x10000 ? 3 : 4;
      for (int i = count - 1; i > 0; --i, v >>= 6) encoded[i] = 0x80 | (v & 0x3F);
      encoded[0] = static_cast<unsigned char>(v | (count == 1 ? 0 : (0xF00 >> count) & 0xFF));
      bytes.append(reinterpret_cast<char*>(encoded), static_cast<std::size_t>(count));
      continue;
    }
    int width = code == 16 || code == -16 ? 2 : 4;
    if (width == 2 && v >= 0x10000) v = 0xD800 + (random() % 0x800);  // a surrogate
    for (int i = 0; i < width; ++i) {
      int shift = code > 0 ? 8 * i : 8 * (width - 1 - i);
      bytes += static_cast<char>(v >> shift);
    }
  }
  return bytes;
}

struct CodeUnderTest {
  const char* locale;
  int32_t code;
};

const CodeUnderTest kInputCodes[] = {{"C.UTF-8", 0}, {"C", 0},  {"C", 8},  {"C", 16},
                                     {"C", -16},     {"C", 32}, {"C", -32}};

TEST(BulkTest, DecodersAgreeWithTheirReference) {
  std::mt19937 random(2024);
  for (const CodeUnderTest& c : kInputCodes) {
    use_codes(c.locale, c.code, 8);
    for (int round = 0; round < 300; ++round) {
      std::string bytes = random_input(random, c.code, random() % 400);
      if (round % 3 == 0) {  // pure noise
        for (char& byte : bytes) byte = static_cast<char>(random());
      }
      std::vector<int> expected = decode_checked(bytes);
      ASSERT_EQ(decode_in_bulk(bytes, 0), expected) << c.locale << " " << c.code;
    }
    // Characters cut by the block boundaries.
    std::string large = random_input(random, c.code, 3 * STREAM_BLOCK + 5);
    ASSERT_EQ(decode_in_bulk(large, 0), decode_checked(large)) << c.locale << " " << c.code;
  }
  std::setlocale(LC_ALL, "C");
}

// Units of every kind; when mostly_ascii, lines as the record loop writes
// them: long runs of ASCII with a rare surrogate or other unit.
std::vector<Unit> random_units(std::mt19937& random, std::size_t length, bool mostly_ascii) {
  std::vector<Unit> units;
  while (units.size() < length) {
    uint32_t kind = random() % (mostly_ascii ? 60 : 10);
    if (mostly_ascii) kind = kind == 0 ? 8 : kind == 1 ? 6 : 0;
    units.push_back(static_cast<Unit>(kind < 6   ? random() % 0x80
                                      : kind < 8 ? random() % 0x10000
                                      : kind < 9 ? 0xD800 + random() % 0x400
                                                 : 0xDC00 + random() % 0x400));
  }
  return units;
}

const CodeUnderTest kOutputCodes[] = {{"C.UTF-8", 0}, {"C", 0}, {"C", 8}, {"C", 16}, {"C", 32}};

TEST(BulkTest, WritersAgreeWithTheirReference) {
  std::mt19937 random(99);
  for (bool mostly_ascii : {false, true}) {
    for (const CodeUnderTest& c : kOutputCodes) {
      use_codes(c.locale, 0, c.code);
      for (int round = 0; round < 200; ++round) {
        std::size_t length = round == 0 ? STREAM_BLOCK + 999 : random() % 600;
        std::vector<Unit> units = random_units(random, length, mostly_ascii);
        MemoryOutput by_unit;
        for (Unit unit : units) out_putwc(unit, by_unit.out);
        MemoryOutput bulk;
        for (std::size_t i = 0; i < units.size();) {
          std::size_t run = std::min<std::size_t>(units.size() - i, random() % 400);
          out_putunits(units.data() + i, run, bulk.out);
          i += run;
        }
        ASSERT_EQ(bulk.bytes(), by_unit.bytes()) << c.locale << " " << c.code << " " << round;
        ASSERT_EQ(bulk.out.pending, by_unit.out.pending);
      }
    }
  }
  std::setlocale(LC_ALL, "C");
}

// narrow_ascii_prefix against its definition: the count of leading units
// below 0x80, each narrowed, and no byte written past `count`.
void expect_ascii_prefix(const Unit* units, std::size_t count) {
  std::vector<unsigned char> narrow(count + 1, 0xEE);
  std::size_t ascii = 0;
  while (ascii < count && units[ascii] < 0x80) ++ascii;
  ASSERT_EQ(narrow_ascii_prefix(units, count, narrow.data()), ascii) << count;
  for (std::size_t j = 0; j < ascii; ++j) ASSERT_EQ(narrow[j], units[j]);
  ASSERT_EQ(narrow[count], 0xEE);
}

// Lines as the record loop writes them: long runs of ASCII with a rare other
// unit anywhere, at every length around the lane widths.
TEST(LanesTest, AsciiPrefixOfMostlyAsciiLines) {
  std::mt19937 random(5);
  for (int round = 0; round < 3000; ++round) {
    std::size_t count = round < 100 ? round : random() % 300;
    std::vector<Unit> units(count);
    for (Unit& unit : units) {
      unit = static_cast<Unit>(random() % 40 == 0 ? 0x80 + random() % 0xFF80 : random() % 0x80);
    }
    expect_ascii_prefix(units.data(), count);
  }
}

// The lane operations against their definitions, one lane at a time, on
// random lanes where every interesting value is common.
TEST(LanesTest, AgreeWithLaneByLaneDefinitions) {
  std::mt19937 random(11);
  static const unsigned char kBytes[] = {0, 1, '\n', ':', 0x7F, 0x80, 0xC3, 0xFF, 'a'};
  static const Unit kUnits[] = {0, '\n', ':', 0x7F, 0x80, 0xFF, 0x100, 0x3A0A, 0xFFFF, 'a'};
  for (int round = 0; round < 2000; ++round) {
    unsigned char bytes[LANES];
    Unit units[LANES];
    for (std::size_t j = 0; j < LANES; ++j) {
      bytes[j] =
          round % 2 ? kBytes[random() % std::size(kBytes)] : static_cast<unsigned char>(random());
      units[j] = round % 3 ? kUnits[random() % std::size(kUnits)] : static_cast<Unit>(random());
      if (round % 5 == 0) units[j] &= 0x7F;
    }
    uint32_t newline_bits = 0, stop_bits = 0, top = 0;
    std::size_t first_stop = LANES;
    bool ascii = true;
    for (std::size_t j = 0; j < LANES; ++j) {
      newline_bits |= static_cast<uint32_t>(bytes[j] == '\n') << j;
      stop_bits |= static_cast<uint32_t>(bytes[j] == ':' || bytes[j] == 0 || bytes[j] >= 0x80) << j;
      top |= static_cast<uint32_t>(bytes[j] >= 0x80) << j;
      Unit unit = units[j];
      if (first_stop == LANES && (unit == '\n' || unit == 0 || unit == 0xFFFF || unit == ':')) {
        first_stop = j;
      }
      ascii = ascii && unit < 0x80;
    }
    ASSERT_EQ(top_bits_by_words(bytes), top);
    ASSERT_EQ(bytes_matching(bytes, ':'), stop_bits);
    ASSERT_EQ(bytes_equal(bytes, '\n'), newline_bits);
    ASSERT_EQ(find_unit_of(units, '\n', 0, 0xFFFF, ':'), first_stop);
    unsigned char sixteen[LANES];
    ASSERT_EQ(narrow_sixteen_if_ascii(units, sixteen), ascii);
    for (std::size_t count = 0; count <= LANES; ++count) expect_ascii_prefix(units, count);
    Unit wide[LANES];
    widen_bytes(bytes, wide);
    for (std::size_t j = 0; j < LANES; ++j) ASSERT_EQ(wide[j], bytes[j]);
  }
}

}  // namespace
