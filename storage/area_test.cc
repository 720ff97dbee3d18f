// area_test.cc — growth through the pacts, translation, fatal shortages, string helpers.
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

// Reservations build one object, kept by a translating pact; out: pact calls, size, name, "null" if the last gave none.
struct GrowthCase { std::size_t size; std::vector<PactHandler> pacts; std::vector<std::size_t> reservations; const char* outcome; };
const GrowthCase kGrowthCases[] = {
    {64, {grow}, {60, 4}, "0 64 tsize=0"},      {64, {grow}, {60, 4, 1}, "1 128 tsize=0"},  // an exact fit runs no pact
    {1, {grow}, {1000}, "10 1024 tsize=1"},     {0, {grow}, {100}, "7 128 tsize=0"},        // even an empty area grows
    {2048, {grow}, {3072}, "1 4096 tsize=4"},   {4, {grow}, std::vector<std::size_t>(300, 1), "7 512 tsize=0"},
    {8, {give_up}, {8, 1}, "1 8 tsize=0 null"}, {8, {grow, give_up, grow}, {9}, "2 16 tsize=0 null"},  // oldest first
    {8, {nullptr, nullptr, grow}, {9}, "1 16 tsize=0"},  // popping an empty stack
};

// The bytes widen to the units ("-": fail to), from the area itself unless `narrow_only`; then
// the units narrow back to the bytes, into the area full.
struct StringCase { const char* locale; std::string bytes; std::u16string units; bool narrow_only; };
const StringCase kStringCases[] = {
    {"C.UTF-8", "", u"", false}, {"C.UTF-8", "a:b", u"a:b", false}, {"C.UTF-8", "x\xc3\xa9\xe2\x82\xacy", u"x\u00e9\u20acy", false},
    {"C.UTF-8", "\xf0\x9f\x98\x80!", u"\U0001F600!", false},  // a surrogate pair
    {"C.UTF-8", times(std::string("\xe2\x82\xac" "ab"), 700) + std::string(3000, 'b'), times(std::u16string(u"\u20ac" u"ab"), 700) + std::u16string(3000, u'b'), false},
    {"C.UTF-8", "\xff", u"-", false}, {"C.UTF-8", "ab\xe2\x82", u"-", false},  // cut short by the NUL
    {"C.UTF-8", "ab\xed\xa0\x80", u"-", false}, {"C.UTF-8", "\xf8\x88\x80\x80\x80", u"-", false},  // a surrogate, beyond U+10FFFF
    {"C.UTF-8", "ab", std::u16string(u"a") + char16_t(0xD800) + u"b", true}, {"C.UTF-8", "a", std::u16string(u"a") + char16_t(0xDC00), true},
    {"C", "abc", u"abc", false}, {"C", "a\xe9", u"-", false}, {"C", "ab", u"a\u00e9b", true},  // the 7-bit "C" code has no e-acute
};
// clang-format on

// An area with the given pacts, a null one popping one instead.
struct TestArea : StorageArea {
  explicit TestArea(std::size_t size, std::vector<PactHandler> pacts = {grow}) {
    area_create(size, "tsize", *this);
    for (PactHandler h : pacts) h ? pact_push(h, nullptr, nullptr, *this) : pact_pop(*this);
  }
  ~TestArea() { std::free(begin); }
};

TEST(AreaTest, GrowthTable) {
  for (const GrowthCase& c : kGrowthCases) {
    TestArea area(c.size, c.pacts);
    char *start = nullptr, *last = nullptr;
    pact_push(translate_pair, &start, nullptr, area);
    pact_calls = 0;
    std::string written;
    for (std::size_t n : c.reservations) {
      if ((last = static_cast<char*>(area_reserve_object(n, start, area))) == nullptr) break;
      std::memset(last, 'a' + written.size() % 26, n);
      written.append(last, n);
    }
    std::string got = std::to_string(pact_calls) + ' ' + std::to_string(area.end - area.begin);
    EXPECT_EQ(got + ' ' + area.name + (last ? "" : " null"), c.outcome);
    EXPECT_EQ(start, written.empty() ? nullptr : area.begin) << c.outcome;
    EXPECT_EQ(std::string(area.begin, area.head), written) << c.outcome;
  }
}

// Pointers into the old data up to its head (a rewind mark) move with the block.
TEST(AreaTest, TranslateMovesPointersIntoTheOldData) {
  char old_block[32], new_block[32];
  StorageArea moved{.begin = new_block, .old_begin = old_block + 4, .old_head = old_block + 12};
  char* p[] = {old_block + 3, old_block + 4, old_block + 12, old_block + 13, nullptr};
  for (int i = 0; i < 5; i += 2) translate_pair(&p[i], i < 4 ? &p[i + 1] : nullptr, moved);
  char* const expected[] = {old_block + 3, new_block, new_block + 8, old_block + 13, nullptr};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(p[i], expected[i]) << i;
}

TEST(AreaDeathTest, FatalShortages) {
  TestArea bare(8, {}), stuck(8, {no_room}), full(8, {give_up, give_up, give_up, give_up});
  EXPECT_EXIT(area_reserve(9, bare), testing::ExitedWithCode(3), ": insufficient tsize=0\n");
  EXPECT_EXIT(area_reserve(9, stuck), testing::ExitedWithCode(3), ": insufficient tsize=0\n");
  EXPECT_EXIT(pact_push(grow, nullptr, nullptr, full), testing::ExitedWithCode(3),
              ": program error \\(pact over\\)\\.\n");
  EXPECT_EXIT(area_resize(std::size_t{1} << 62, bare), testing::ExitedWithCode(3),
              ": can't resize tsize=4503599627370\n");  // what fits of the size asked for
}

TEST(AreaStringTest, WidenAndNarrowTable) {
  for (bool keeps_ascii : {false, true})
    for (const StringCase& c : kStringCases) {
      std::setlocale(LC_ALL, c.locale);
      locale_keeps_ascii = keeps_ascii;
      SCOPED_TRACE(c.bytes.substr(0, 10) + (keeps_ascii ? " keeping ASCII" : ""));
      TestArea area(1);
      const Unit* source = c.units.c_str();
      if (!c.narrow_only) {
        std::ptrdiff_t before = (c.bytes.size() + 1) | 1;  // odd, so that alignment pads
        char* copy = std::strcpy(static_cast<char*>(area_reserve(before, area)), c.bytes.c_str());
        Unit* wide = area_widen(copy, area);
        // The units begin after the padding; a failure rewinds to there.
        EXPECT_EQ((wide ? reinterpret_cast<char*>(wide) : area.head) - area.begin, before + 1);
        EXPECT_EQ(wide ? std::u16string(wide) : u"-", c.units);
        if (wide == nullptr) continue;
        source = wide;
      }
      area_reserve(static_cast<std::size_t>(area.end - area.head), area);
      EXPECT_EQ(std::string(area_narrow(source, area)), c.bytes);
      EXPECT_EQ(area.pact_count, 1);
    }
}

}  // namespace
