// area_test.cc — growth through the pacts, pointer translation, the fatal
// shortages and the string helpers, in areas small enough to grow in the calls.
#include "storage/area.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "charcode/charcode.h"
#include "charcode/converters.h"

// clang-format off
// A failed resize must reach the area's own message under a sanitizer too.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

int pact_calls = 0;
int32_t grow(void* a, void* b, StorageArea& area) { return ++pact_calls, area_double(a, b, area); }
int32_t give_up(void*, void*, StorageArea&) { return ++pact_calls, 1; }
int32_t no_room(void*, void*, StorageArea&) { return 0; }  // "handled" without making room
const auto times = [](auto text, int n) { decltype(text) all; while (n-- > 0) all += text; return all; };
// clang-format on

// An area with the pacts named by `pacts` ('g' grow, 'n' give_up, '0'
// no_room, '-' pops one); the test frees the block.
struct TestArea : StorageArea {
  explicit TestArea(std::size_t size, const char* pacts = "g") {
    area_create(size, "tsize", *this);
    for (; *pacts != '\0'; ++pacts) {
      PactHandler handler = *pacts == 'g' ? grow : *pacts == 'n' ? give_up : no_room;
      *pacts == '-' ? pact_pop(*this) : pact_push(handler, nullptr, nullptr, *this);
    }
  }
  ~TestArea() { std::free(begin); }
};

// The reservations build one object whose `start` a translating pact keeps.
// clang-format off
struct GrowthCase { std::size_t size; const char* pacts; std::vector<std::size_t> reservations; int calls; std::size_t final_size; const char* name; bool last_is_null; };
const GrowthCase kGrowthCases[] = {
    {64, "g", {60, 4}, 0, 64, "tsize=0", false},      // an exact fit runs no pact
    {64, "g", {60, 4, 1}, 1, 128, "tsize=0", false},  // one byte past a full area
    {1, "g", {1000}, 10, 1024, "tsize=1", false},     // doubling as often as needed
    {0, "g", {100}, 7, 128, "tsize=0", false},        // created empty, still grows
    {2048, "g", {3072}, 1, 4096, "tsize=4", false},   // the name follows the size in KB
    {8, "n", {8, 1}, 1, 8, "tsize=0", true},          // a giving-up pact gives null
    {8, "gng", {9}, 2, 16, "tsize=0", true},          // oldest first, stopping at a give-up
    {8, "--g", {9}, 1, 16, "tsize=0", false},         // popping an empty stack keeps it empty
    {4, "g", std::vector<std::size_t>(300, 1), 7, 512, "tsize=0", false},
};
// clang-format on

TEST(AreaTest, GrowthTable) {
  for (const GrowthCase& c : kGrowthCases) {
    TestArea area(c.size, c.pacts);
    char *start = nullptr, *last = nullptr;
    pact_push(translate_pair, &start, nullptr, area);
    pact_calls = 0;
    std::string written;
    for (std::size_t n : c.reservations) {
      if ((last = static_cast<char*>(area_reserve_object(n, start, area))) == nullptr) break;
      written.append(n, static_cast<char>('a' + written.size() % 26));
      std::memset(last, written.back(), n);
    }
    SCOPED_TRACE(c.size);
    EXPECT_EQ(pact_calls, c.calls);
    EXPECT_EQ(static_cast<std::size_t>(area.end - area.begin), c.final_size);
    EXPECT_STREQ(area.name, c.name);
    EXPECT_EQ(last == nullptr, c.last_is_null);
    EXPECT_EQ(start, written.empty() ? nullptr : area.begin);
    EXPECT_EQ(std::string(area.begin, area.head), written);
  }
}

// Pointers into the old data up to its head (a rewind mark) move with the block.
TEST(AreaTest, TranslateMovesPointersIntoTheOldData) {
  char old_block[32], new_block[32];
  StorageArea moved;
  moved.begin = new_block, moved.old_begin = old_block + 4, moved.old_head = old_block + 12;
  char* p[] = {old_block + 3, old_block + 4, old_block + 12, old_block + 13, nullptr};
  for (int i = 0; i < 5; i += 2) translate_pair(&p[i], i < 4 ? &p[i + 1] : nullptr, moved);
  char* const expected[] = {old_block + 3, new_block, new_block + 8, old_block + 13, nullptr};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(p[i], expected[i]) << i;
}

TEST(AreaDeathTest, FatalShortages) {
  TestArea bare(8, ""), stuck(8, "0"), full(8, "nnnn");
  const char* insufficient = ": insufficient tsize=0\n";
  EXPECT_EXIT(area_reserve(9, bare), testing::ExitedWithCode(3), insufficient);
  EXPECT_EXIT(area_reserve(9, stuck), testing::ExitedWithCode(3), insufficient);
  EXPECT_EXIT(pact_push(grow, nullptr, nullptr, full), testing::ExitedWithCode(3),
              ": program error \\(pact over\\)\\.\n");
  // The name shows what fits of the size asked for.
  EXPECT_EXIT(area_resize(std::size_t{1} << 62, bare), testing::ExitedWithCode(3),
              ": can't resize tsize=4503599627370\n");
}

// way: '=' widens to the units and narrows them back, 'x' fails to widen,
// 'n' narrows only.
// clang-format off
struct StringCase { const char* locale; std::string bytes; std::u16string units; char way; };
const StringCase kStringCases[] = {
    {"C.UTF-8", "", u"", '='}, {"C.UTF-8", "a:b", u"a:b", '='}, {"C.UTF-8", "x\xc3\xa9\xe2\x82\xacy", u"x\u00e9\u20acy", '='},
    {"C.UTF-8", "\xf0\x9f\x98\x80!", u"\U0001F600!", '='},  // a surrogate pair
    {"C.UTF-8", times(std::string("\xe2\x82\xac" "ab"), 700) + std::string(3000, 'b'), times(std::u16string(u"\u20ac" u"ab"), 700) + std::u16string(3000, u'b'), '='},
    {"C.UTF-8", "\xff", u"", 'x'}, {"C.UTF-8", "ab\xe2\x82", u"", 'x'},  // cut short by the NUL
    {"C.UTF-8", "ab\xed\xa0\x80", u"", 'x'}, {"C.UTF-8", "\xf8\x88\x80\x80\x80", u"", 'x'},  // a surrogate, beyond U+10FFFF
    {"C.UTF-8", "ab", std::u16string(u"a") + char16_t(0xD800) + u"b", 'n'}, {"C.UTF-8", "a", std::u16string(u"a") + char16_t(0xDC00), 'n'},
    {"C", "abc", u"abc", '='}, {"C", "a\xe9", u"", 'x'}, {"C", "ab", u"a\u00e9b", 'n'},  // the 7-bit "C" code has no e-acute
};
// clang-format on

// Each source lies in the area itself, and narrowing starts with the area full.
TEST(AreaStringTest, WidenAndNarrowTable) {
  const bool saved = locale_keeps_ascii;
  for (bool keeps_ascii : {false, true}) {
    for (const StringCase& c : kStringCases) {
      std::setlocale(LC_ALL, c.locale);
      locale_keeps_ascii = keeps_ascii;
      SCOPED_TRACE(c.bytes.substr(0, 10) + (keeps_ascii ? " keeping ASCII" : ""));
      TestArea area(1);
      const Unit* source = c.units.c_str();
      if (c.way != 'n') {  // an odd reservation before, so that alignment pads
        char* copy = static_cast<char*>(area_reserve((c.bytes.size() + 1) | 1, area));
        std::strcpy(copy, c.bytes.c_str());
        std::ptrdiff_t before = area.head - area.begin;
        Unit* wide = area_widen(copy, area);
        ASSERT_EQ(wide == nullptr, c.way == 'x');
        if (wide == nullptr) {  // rewound to where the string began, after the padding
          EXPECT_EQ(area.head - area.begin, before + 1);
          continue;
        }
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(wide) % sizeof(Unit), 0u);
        EXPECT_EQ(std::u16string(wide), c.units);
        source = wide;
      }
      area_reserve(static_cast<std::size_t>(area.end - area.head), area);
      EXPECT_EQ(std::string(area_narrow(source, area)), c.bytes);
      EXPECT_EQ(area.pact_count, 1);
    }
  }
  locale_keeps_ascii = saved;
  std::setlocale(LC_ALL, "C");
}

// An output code with ASCII in one byte, no encoding for U+0100, two bytes otherwise.
TEST(AreaStringTest, PutEncodedAppendsTheOutputCodeBytes) {
  int (*saved)(char*, Unit) = out_wctomb;
  out_wctomb = [](char* buffer, Unit unit) {
    buffer[0] = static_cast<char>(unit < 0x80 ? unit : unit >> 8);
    buffer[1] = static_cast<char>(unit);
    return unit < 0x80 ? 1 : unit == 0x100 ? -1 : 2;
  };
  TestArea area(1);
  char* start = nullptr;
  for (int i = 0; i < 600; ++i)
    EXPECT_EQ(area_put_encoded(u"k\u1234\u0100"[i % 3], start, area), u"k\u1234"[i % 3]);
  ASSERT_EQ(start, area.begin);
  EXPECT_EQ(std::string(start, area.head), times(std::string("k\x12\x34"), 200));
  out_wctomb = saved;
}

}  // namespace
