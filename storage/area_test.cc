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
int32_t count_and_give_up(void*, void*, StorageArea&) {
  ++pact_calls;
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

// An area of `size` bytes with the pacts named by `pacts` ('g' grows, 'n'
// gives up, both counting their calls; '-' pops one), then a pact that keeps
// `start` on the object built by the reservations. A null one must be last.
struct GrowthCase {
  const char* what;
  std::size_t size;
  const char* pacts;
  std::vector<std::size_t> reservations;
  int calls;  // pact handler calls in all
  std::size_t final_size;
  const char* name;  // after the last reservation
  bool last_is_null;
};
// clang-format off
const GrowthCase kGrowthCases[] = {
    {"an exact fit runs no pact",          64,   "g",   {60, 4},    0,  64,   "nsize=0", false},
    {"one byte past a full area",          64,   "g",   {60, 4, 1}, 1,  128,  "nsize=0", false},
    {"doubling as often as needed",        1,    "g",   {1000},     10, 1024, "nsize=1", false},
    {"an area created empty still grows",  0,    "g",   {100},      7,  128,  "nsize=0", false},
    {"the name follows the size in KB",    2048, "g",   {3072},     1,  4096, "nsize=4", false},
    {"a giving-up pact gives null",        8,    "n",   {8, 1},     1,  8,    "nsize=0", true},
    {"pacts run oldest first, stop at 1",  8,    "gng", {9},        2,  16,   "nsize=0", true},
    {"a pop of an empty stack keeps it empty", 8, "--g", {9},      1,  16,   "nsize=0", false},
    {"an object grows byte by byte",       4,    "g",   std::vector<std::size_t>(300, 1), 7, 512, "nsize=0", false},
};
// clang-format on

TEST(AreaTest, GrowthTable) {
  for (const GrowthCase& c : kGrowthCases) {
    TestArea area(c.size, nullptr);
    for (const char* p = c.pacts; *p != '\0'; ++p) {
      if (*p == '-') pact_pop(area);
      if (*p != '-')
        pact_push(*p == 'g' ? count_and_grow : count_and_give_up, nullptr, nullptr, area);
    }
    char* start = nullptr;
    pact_push(translate_pair, &start, nullptr, area);
    pact_calls = 0;
    std::string written;
    char* last = nullptr;
    for (std::size_t n : c.reservations) {
      last = static_cast<char*>(area_reserve_object(n, start, area));
      if (last == nullptr) break;
      for (std::size_t i = 0; i < n; ++i) written += static_cast<char>('a' + written.size() % 26);
      std::memcpy(last, written.data() + written.size() - n, n);
    }
    EXPECT_EQ(pact_calls, c.calls) << c.what;
    EXPECT_EQ(static_cast<std::size_t>(area.end - area.begin), c.final_size) << c.what;
    EXPECT_STREQ(area.name, c.name) << c.what;
    EXPECT_EQ(last == nullptr, c.last_is_null) << c.what;
    EXPECT_EQ(start, written.empty() ? nullptr : area.begin) << c.what;
    EXPECT_EQ(std::string(area.begin, area.head), written) << c.what;
  }
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
  for (int i = 0; i < PACT_CAPACITY; ++i) pact_push(count_and_give_up, nullptr, nullptr, area);
  EXPECT_EXIT(pact_push(count_and_give_up, nullptr, nullptr, area), testing::ExitedWithCode(3),
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

// units: expected; ignored when fails
// clang-format off
struct WidenCase { const char* locale; const char* text; std::u16string units; bool fails; };
const WidenCase kWidenCases[] = {
    {"C.UTF-8", "", u"", false}, {"C.UTF-8", "a:b", u"a:b", false}, {"C.UTF-8", "\xc3\xa9", u"\u00e9", false},
    {"C.UTF-8", "x\xe2\x82\xacy", u"x\u20acy", false},
    {"C.UTF-8", "\xf0\x9f\x98\x80", u"\U0001F600", false},  // a surrogate pair
    {"C.UTF-8", "\xff", u"", true}, {"C.UTF-8", "ab\xe2\x82", u"", true},  // cut short by the NUL
    {"C.UTF-8", "ab\xed\xa0\x80", u"", true},        // an encoded surrogate
    {"C.UTF-8", "\xf8\x88\x80\x80\x80", u"", true},  // beyond U+10FFFF
    {"C", "abc", u"abc", false}, {"C", "a\xe9", u"", true},
};
// clang-format on

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

// clang-format off
struct NarrowCase { const char* locale; std::u16string units; std::string bytes; };
const NarrowCase kNarrowCases[] = {
    {"C.UTF-8", u"", ""}, {"C.UTF-8", u"abc", "abc"}, {"C.UTF-8", u"\u00e9\u20ac", "\xc3\xa9\xe2\x82\xac"},
    {"C.UTF-8", u"\U0001F600!", "\xf0\x9f\x98\x80!"},
    {"C.UTF-8", std::u16string(u"a") + char16_t(0xD800) + u"b", "ab"},  // lone high
    {"C.UTF-8", std::u16string(u"a") + char16_t(0xDC00), "a"},          // lone low
    {"C", u"a\u00e9b", "ab"},  // the 7-bit "C" code has no e-acute
};
// clang-format on

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
  for (int i = 0; i < 400; ++i) expected.append("\xe2\x82\xac").push_back('b');
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
