// area_test.cc — reservation and growth, pact results, pointer translation,
// and the string helpers under the "C" and "C.UTF-8" locales.
// Areas are created tiny so that growth happens inside the operations.
#include "storage/area.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "charcode/charcode.h"
#include "charcode/converters.h"

namespace {

// The driver's growth pact: double, then retry.
constexpr PactHandler grow_twice = area_double;

int pact_calls = 0;
int32_t count_and_grow(void* a, void* b, StorageArea& area) {
  ++pact_calls;
  return grow_twice(a, b, area);
}
int32_t give_up(void*, void*, StorageArea&) {
  return 1;
}
int32_t fatal_result(void*, void*, StorageArea&) {
  return -1;
}
int32_t handled_without_room(void*, void*, StorageArea&) {
  return 0;
}

// A fresh area with the growth pact, as the driver makes them; the test
// frees the block, which the program never does.
struct TestArea : StorageArea {
  explicit TestArea(std::size_t size, PactHandler growth = grow_twice, const char* key = "nsize") {
    area_create(size, key, *this);
    if (growth != nullptr) pact_push(growth, nullptr, nullptr, *this);
  }
  TestArea(const TestArea&) = delete;
  ~TestArea() { std::free(begin); }
};

class LocaleScope {
 public:
  explicit LocaleScope(const char* name) { std::setlocale(LC_ALL, name); }
  ~LocaleScope() { std::setlocale(LC_ALL, "C"); }
};

TEST(AreaTest, CreateNamesTheAreaInKilobytes) {
  TestArea area(2048, nullptr, "rsize");
  EXPECT_STREQ(area.name, "rsize=2");
  EXPECT_EQ(area.end - area.begin, 2048);
  EXPECT_EQ(area.head, area.begin);
  EXPECT_EQ(area.pact_count, 0);
  EXPECT_EQ(area.old_begin, nullptr);
}

TEST(AreaTest, GrowthRewritesTheName) {
  TestArea area(2048, grow_twice, "rsize");
  ASSERT_NE(area_reserve(3 * 1024, area), nullptr);
  EXPECT_STREQ(area.name, "rsize=4");
  EXPECT_EQ(area.end - area.begin, 4096);
  EXPECT_EQ(area.head - area.begin, 3 * 1024);
}

TEST(AreaTest, ExactFitRunsNoPact) {
  TestArea area(64, count_and_grow);
  pact_calls = 0;
  ASSERT_NE(area_reserve(60, area), nullptr);
  ASSERT_NE(area_reserve(4, area), nullptr);
  EXPECT_EQ(pact_calls, 0);
  EXPECT_EQ(area.head, area.end);
  ASSERT_NE(area_reserve(1, area), nullptr);
  EXPECT_EQ(pact_calls, 1);
}

TEST(AreaTest, ReservationDoublesAsOftenAsNeeded) {
  TestArea area(1, count_and_grow);
  pact_calls = 0;
  char* p = static_cast<char*>(area_reserve(1000, area));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(pact_calls, 10);  // 1 -> 1024 bytes
  EXPECT_EQ(area.end - area.begin, 1024);
}

TEST(AreaTest, ZeroSizedAreaStillGrows) {
  TestArea area(0);
  EXPECT_STREQ(area.name, "nsize=0");
  EXPECT_NE(area_reserve(100, area), nullptr);
  EXPECT_GE(area.end - area.begin, 100);
}

TEST(AreaTest, ObjectStaysContiguousAcrossGrowth) {
  TestArea area(4);
  char* start = nullptr;
  pact_push(translate_pair, &start, nullptr, area);
  for (int i = 0; i < 300; ++i) {
    char* slot = static_cast<char*>(area_reserve_object(1, start, area));
    *slot = static_cast<char>('a' + i % 26);
  }
  pact_pop(area);
  ASSERT_EQ(start, area.begin);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(start[i], 'a' + i % 26) << i;
}

TEST(AreaTest, AlignPadsToTheNextMultiple) {
  TestArea area(64);
  area_reserve(1, area);
  area_align(4, area);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(area.head) % 4, 0u);
  char* before = area.head;
  area_align(4, area);  // already aligned: nothing reserved
  area_align(1, area);
  EXPECT_EQ(area.head, before);
}

TEST(AreaTest, GuardedPointersFollowTheBlock) {
  TestArea area(16);
  char* data = static_cast<char*>(area_reserve(16, area));
  std::memcpy(data, "0123456789abcdef", 16);
  char* middle = data + 5;
  char* mark = area.head;  // a rewind mark: one past the data
  char outside_byte = 0;
  char* outside = &outside_byte;
  char* none = nullptr;
  pact_push(translate_pair, &middle, &mark, area);
  pact_push(translate_pair, &outside, &none, area);
  ASSERT_NE(area_reserve(1, area), nullptr);  // 16 -> 32 bytes
  pact_pop(area);
  pact_pop(area);
  EXPECT_EQ(middle, area.begin + 5);
  EXPECT_EQ(*middle, '5');
  EXPECT_EQ(mark, area.begin + 16);
  EXPECT_EQ(outside, &outside_byte);
  EXPECT_EQ(none, nullptr);
}

TEST(AreaTest, TranslateLeavesPointersOutsideTheOldData) {
  TestArea area(16);
  area_reserve(8, area);
  area_resize(64, area);
  EXPECT_EQ(area_translate(area.old_begin + 3, area), area.begin + 3);
  EXPECT_EQ(area_translate(area.old_head + 1, area), area.old_head + 1);
  EXPECT_EQ(area_translate(area.old_begin - 1, area), area.old_begin - 1);
  EXPECT_EQ(area_translate(static_cast<char*>(nullptr), area), nullptr);
}

TEST(AreaTest, ResizeToTheSameSizeIsIdentity) {
  TestArea area(2048);
  char* begin = area.begin;
  area_resize(2048, area);
  EXPECT_EQ(area.begin, begin);
  EXPECT_EQ(area_translate(begin + 7, area), begin + 7);
}

TEST(AreaTest, PositivePactResultGivesNull) {
  TestArea area(8, nullptr, "wsize");
  pact_push(give_up, nullptr, nullptr, area);
  EXPECT_EQ(area_reserve(9, area), nullptr);
  EXPECT_NE(area_reserve(8, area), nullptr);
}

TEST(AreaTest, PactsRunOldestFirstAndStopAtNonZero) {
  TestArea area(8, nullptr, "wsize");
  pact_push(count_and_grow, nullptr, nullptr, area);
  pact_push(give_up, nullptr, nullptr, area);
  pact_push(count_and_grow, nullptr, nullptr, area);
  pact_calls = 0;
  EXPECT_EQ(area_run_pacts(area), 1);
  EXPECT_EQ(pact_calls, 1);
}

TEST(AreaDeathTest, FatalShortages) {
  TestArea area(8, nullptr, "tsize");
  EXPECT_EXIT(area_reserve(9, area), testing::ExitedWithCode(3), ": insufficient tsize=0\n");
  pact_push(fatal_result, nullptr, nullptr, area);
  EXPECT_EXIT(area_reserve(9, area), testing::ExitedWithCode(3), ": insufficient tsize=0\n");
  pact_pop(area);
  // "Handled" without making room would otherwise retry forever.
  pact_push(handled_without_room, nullptr, nullptr, area);
  EXPECT_EXIT(area_reserve(9, area), testing::ExitedWithCode(3), ": insufficient tsize=0\n");
}

TEST(AreaDeathTest, FifthPactIsFatal) {
  TestArea area(8, nullptr, "tsize");
  for (int i = 0; i < PACT_CAPACITY; ++i) pact_push(give_up, nullptr, nullptr, area);
  EXPECT_EXIT(pact_push(give_up, nullptr, nullptr, area), testing::ExitedWithCode(3),
              ": program error \\(pact over\\)\\.\n");
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__has_feature)
#define KUNPACK_PLAIN_ALLOCATOR 1
#elif defined(__has_feature)
#if !__has_feature(address_sanitizer)
#define KUNPACK_PLAIN_ALLOCATOR 1
#endif
#endif
#ifdef KUNPACK_PLAIN_ALLOCATOR  // a sanitizer's allocator aborts instead of returning null
TEST(AreaDeathTest, FailedResizeNamesTheSizeAskedFor) {
  TestArea area(2048, nullptr, "r");
  EXPECT_EXIT(area_resize(static_cast<std::size_t>(1) << 62, area), testing::ExitedWithCode(3),
              ": can't resize r=4503599627370496\n");
}
#endif

struct WidenCase {
  const char* locale;
  const char* text;
  std::u16string units;  // expected; ignored when fails
  bool fails;
};
const WidenCase kWidenCases[] = {
    {"C.UTF-8", "", u"", false},
    {"C.UTF-8", "a:b", u"a:b", false},
    {"C.UTF-8", "\xc3\xa9", u"\u00e9", false},
    {"C.UTF-8", "x\xe2\x82\xacy", u"x\u20acy", false},
    {"C.UTF-8", "\xf0\x9f\x98\x80", u"\U0001F600", false},  // a surrogate pair
    {"C.UTF-8", "\xff", u"", true},
    {"C.UTF-8", "ab\xe2\x82", u"", true},            // cut short by the NUL
    {"C.UTF-8", "ab\xed\xa0\x80", u"", true},        // an encoded surrogate
    {"C.UTF-8", "\xf8\x88\x80\x80\x80", u"", true},  // beyond U+10FFFF
    {"C", "abc", u"abc", false},
    {"C", "a\xe9", u"", true},
};

TEST(AreaWidenTest, Table) {
  for (const WidenCase& c : kWidenCases) {
    LocaleScope locale(c.locale);
    TestArea area(1);
    area_reserve(1, area);  // so alignment must pad
    std::ptrdiff_t offset_before = area.head - area.begin;
    Unit* wide = area_widen(c.text, area);
    EXPECT_EQ(area.pact_count, 1) << c.text;
    if (c.fails) {
      EXPECT_EQ(wide, nullptr) << c.text;
      EXPECT_EQ(area.head - area.begin, offset_before + 1) << c.text;  // the padding stays
      continue;
    }
    ASSERT_NE(wide, nullptr) << c.text;
    EXPECT_EQ(std::u16string(wide), c.units) << c.text;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(wide) % sizeof(Unit), 0u);
  }
}

TEST(AreaWidenTest, FailureRewindsToTheStringStart) {
  LocaleScope locale("C.UTF-8");
  TestArea area(4096);
  area_align(2, area);
  char* before = area.head;
  EXPECT_EQ(area_widen("abcdef\xff", area), nullptr);
  EXPECT_EQ(area.head, before);
}

// With and without the ASCII runs that skip the locale; the runs grow the
// area while they are reserved.
TEST(AreaWidenTest, SourceInTheSameAreaSurvivesGrowth) {
  LocaleScope locale("C.UTF-8");
  const bool saved = locale_keeps_ascii;
  for (bool keeps_ascii : {false, true}) {
    locale_keeps_ascii = keeps_ascii;
    TestArea area(1);
    std::string text;
    std::u16string expected;
    for (int i = 0; i < 500; ++i) {
      text.append("\xe2\x82\xac").append(static_cast<std::size_t>(i % 7), 'a');
      expected.append(u"\u20ac").append(static_cast<std::size_t>(i % 7), u'a');
    }
    text.append(3000, 'b');
    expected.append(3000, u'b');
    char* copy = static_cast<char*>(area_reserve(text.size() + 1, area));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    Unit* wide = area_widen(copy, area);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(std::u16string(wide), expected) << keeps_ascii;
  }
  locale_keeps_ascii = saved;
}

struct NarrowCase {
  const char* locale;
  std::u16string units;
  std::string bytes;
};
const NarrowCase kNarrowCases[] = {
    {"C.UTF-8", u"", ""},
    {"C.UTF-8", u"abc", "abc"},
    {"C.UTF-8", u"\u00e9\u20ac", "\xc3\xa9\xe2\x82\xac"},
    {"C.UTF-8", u"\U0001F600!", "\xf0\x9f\x98\x80!"},
    {"C.UTF-8", std::u16string(u"a") + char16_t(0xD800) + u"b", "ab"},  // lone high
    {"C.UTF-8", std::u16string(u"a") + char16_t(0xDC00), "a"},          // lone low
    {"C", u"a\u00e9b", "ab"},  // the 7-bit "C" code has no e-acute
};

TEST(AreaNarrowTest, Table) {
  for (const NarrowCase& c : kNarrowCases) {
    LocaleScope locale(c.locale);
    TestArea area(1);
    char* narrow = area_narrow(c.units.c_str(), area);
    ASSERT_NE(narrow, nullptr);
    EXPECT_EQ(std::string(narrow), c.bytes);
    EXPECT_EQ(area.pact_count, 1);
  }
}

TEST(AreaNarrowTest, SourceInTheSameAreaSurvivesGrowth) {
  LocaleScope locale("C.UTF-8");
  TestArea area(1);
  std::u16string text;
  for (int i = 0; i < 400; ++i) text += u"\u20acb";
  Unit* copy = static_cast<Unit*>(area_reserve((text.size() + 1) * sizeof(Unit), area));
  std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(Unit));
  char* narrow = area_narrow(copy, area);
  std::string expected;
  for (int i = 0; i < 400; ++i)
    expected +=
        "\xe2\x82\xac"
        "b";
  EXPECT_EQ(std::string(narrow), expected);
}

// A small output code: ASCII in one byte, U+0100 has no encoding, the rest two bytes.
int test_wctomb(char* buffer, Unit unit) {
  if (unit < 0x80) {
    buffer[0] = static_cast<char>(unit);
    return 1;
  }
  if (unit == 0x100) return -1;
  buffer[0] = static_cast<char>(unit >> 8);
  buffer[1] = static_cast<char>(unit & 0xFF);
  return 2;
}

TEST(AreaPutEncodedTest, AppendsTheOutputCodeBytes) {
  int (*saved)(char*, Unit) = out_wctomb;
  out_wctomb = test_wctomb;
  TestArea area(1);
  char* start = nullptr;
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(area_put_encoded(u'k', start, area), u'k');
    EXPECT_EQ(area_put_encoded(0x1234, start, area), 0x1234);
    EXPECT_EQ(area_put_encoded(0x100, start, area), 0);  // nothing appended
    expected += "k\x12\x34";
  }
  EXPECT_EQ(area.pact_count, 1);
  ASSERT_EQ(start, area.begin);
  EXPECT_EQ(std::string(start, area.head), expected);
  out_wctomb = saved;
}

}  // namespace
