// field_list_test.cc — the list scanner (separators, empty names, formats,
// escapes, "^"), lookup, and lists long enough to move the area many times.
#include "format/field_list.h"

#include <gtest/gtest.h>

#include "format/field_index.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/format_test_support.h"

namespace {

using format_test::entry_name;
using format_test::FormatTest;
using format_test::narrow_units;

using Entry = std::pair<std::string, std::optional<std::string>>;  // name, format
using FieldListTest = FormatTest;

std::vector<Entry> entries_of(const FieldEntry* first) {
  std::vector<Entry> entries;
  for (const FieldEntry* entry = first; entry != nullptr; entry = entry->next) {
    std::optional<std::string> format;
    if (entry->format_end != nullptr) {
      EXPECT_EQ(*entry->format_end, 0);
      format = narrow_units(entry->format, entry->format_end);
    }
    EXPECT_EQ(entry->format[-1], u':');
    EXPECT_EQ(entry->compiled, nullptr);
    entries.emplace_back(entry_name(*entry), format);
  }
  return entries;
}

// clang-format off
struct ListCase { const char* argument; int32_t mode; std::vector<Entry> entries; };
const std::nullopt_t kNone = std::nullopt;
const int32_t IN = LIST_INCLUDE;
const ListCase kListCases[] = {
    {"", IN, {}}, {"   ", IN, {}}, {"a,", IN, {{"a", kNone}}}, {" \t\na\n", IN, {{"a", kNone}}},
    {"a,b c", IN, {{"a", kNone}, {"b", kNone}, {"c", kNone}}}, {"a , b", IN, {{"a", kNone}, {"b", kNone}}},
    {"a,,b", IN, {{"a", kNone}, {"", kNone}, {"b", kNone}}}, {",a", IN, {{"", kNone}, {"a", kNone}}},
    {"a, ,b", IN, {{"a", kNone}, {"", kNone}, {"b", kNone}}},
    {"a:", IN, {{"a", ""}}}, {":x", IN, {{"", "x"}}}, {"a:/;/ b", IN, {{"a", "/;/"}, {"b", kNone}}},
    {"a:x , y:z", IN, {{"a", "x"}, {"y", "z"}}}, {"a:/x/:%d", IN, {{"a", "/x/:%d"}}},
    {"a\rb", IN, {{"a\rb", kNone}}},  // only space, tab and newline separate
    {"\xc3\xa9t\xc3\xa9:(2)", IN, {{"\xc3\xa9t\xc3\xa9", "(2)"}}},
    // Escapes: dropped before '^', ',' and white space, kept before anything else.
    {"x\\,y", IN, {{"x,y", kNone}}}, {"\\^a", IN, {{"^a", kNone}}}, {"a\\\rb", IN, {{"a\rb", kNone}}},
    {"a\\b", IN, {{"a\\b", kNone}}}, {"a\\", IN, {{"a\\", kNone}}}, {"a:x\\", IN, {{"a", "x\\"}}},
    {"a\\\\ b", IN, {{"a\\\\", kNone}, {"b", kNone}}},  // a backslash pair stays
    {"a\\:b:c", IN, {{"a\\:b", "c"}}}, {"a:x\\,", IN, {{"a", "x,"}}},
    {"a\\ b:c\\ d,e", IN, {{"a b", "c d"}, {"e", kNone}}}, {"a:f\\,g\\^h\\x", IN, {{"a", "f,g^h\\x"}}},
    // Exclusion.
    {"^", LIST_EXCLUDE, {}}, {"^a b", LIST_EXCLUDE, {{"a", kNone}, {"b", kNone}}},
    {"^a:x", LIST_EXCLUDE, {{"a", "x"}}}, {"^^", LIST_EXCLUDE, {{"^", kNone}}},
    {"a^", IN, {{"a^", kNone}}}, {" ^a", IN, {{"^a", kNone}}},
};
// clang-format on

TEST_F(FieldListTest, ParseTable) {
  for (const ListCase& c : kListCases) {
    SCOPED_TRACE(c.argument);
    field_list_parse(c.argument, list, area);
    const FieldList& parsed = list;
    EXPECT_EQ(parsed.mode, c.mode);
    const FieldEntry* used = c.mode == LIST_INCLUDE ? parsed.included : parsed.excluded;
    const FieldEntry* unused = c.mode == LIST_INCLUDE ? parsed.excluded : parsed.included;
    EXPECT_EQ(unused, nullptr);
    EXPECT_EQ(entries_of(used), c.entries);
    EXPECT_EQ(area.pact_count, 1);
    area_reset(area);
  }
  EXPECT_EQ(error_count, 0);
}

TEST_F(FieldListTest, UndecodableArgumentIsReportedAndLeavesAnEmptyList) {
  std::string err = stderr_of([&] { field_list_parse("a,\xff", list, area); });
  EXPECT_EQ(err, "Kunpack: code error in the field-list argument.\n");
  EXPECT_EQ(error_count, 1);
  EXPECT_EQ(list.included, nullptr);
  EXPECT_EQ(list.excluded, nullptr);
  EXPECT_EQ(list.mode, LIST_INCLUDE);
  EXPECT_EQ(area.pact_count, 1);
}

// label: with its ':', empty for a line without ':'; format: of the entry found, for result 1
struct LookupCase {
  const char* argument;
  std::u16string label;
  int32_t result;
  const char* format;
};
// clang-format off
const LookupCase kLookupCases[] = {
    {"a,abc", u"a:", 1, nullptr},     {"a,abc", u"abc:", 1, nullptr}, {"a,abc", u"ab:", 0, nullptr},
    {"a,abc", u"abcd:", 0, nullptr},  {"a,abc", u"A:", 0, nullptr},   {"a,abc", u"", 0, nullptr},
    {"a:1,a:2", u"a:", 1, "1"},       {"x,,y", u":", 1, nullptr},     {"x", u":", 0, nullptr},
    {"", u"a:", 0, nullptr},          {"^a b", u"a:", 0, nullptr},    {"^a b", u"b:", 0, nullptr},
    {"^a b", u"c:", -1, nullptr},     {"^a b", u":", -1, nullptr},    {"^a b", u"", 0, nullptr},
    {"^", u"x:", -1, nullptr},        {"^", u":", -1, nullptr},       {"^,", u":", 0, nullptr},
    {"a\\ b:(3)", u"a b:", 1, "(3)"},
};
// clang-format on

TEST_F(FieldListTest, LookupTable) {
  for (const LookupCase& c : kLookupCases) {
    SCOPED_TRACE(std::string(c.argument) + " / " +
                 narrow_units(c.label.data(), c.label.data() + c.label.size()));
    field_list_parse(c.argument, list, area);
    const FieldList& parsed = list;
    FieldEntry sentinel{};
    FieldEntry* found = &sentinel;  // must be overwritten
    EXPECT_EQ(field_list_lookup(parsed, c.label.c_str(), c.label.size(), &found), c.result);
    if (c.result != 1) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->name[c.label.size() - 1], u':');
      if (c.format != nullptr) {
        EXPECT_EQ(narrow_units(found->format, found->format_end), c.format);
      }
    }
    EXPECT_EQ(field_list_lookup(parsed, c.label.c_str(), c.label.size(), nullptr), c.result);
    // The index answers the same, in units and in ASCII bytes.
    FieldIndex index;
    field_index_build(parsed, index);
    FieldEntry* indexed = &sentinel;
    EXPECT_EQ(field_index_lookup(index, c.label.c_str(), c.label.size(), &indexed), c.result);
    EXPECT_EQ(indexed, found);
    std::string bytes(c.label.begin(), c.label.end());
    EXPECT_EQ(field_index_lookup_ascii(index, bytes.c_str(), bytes.size(), &indexed), c.result);
    EXPECT_EQ(indexed, found);
    area_reset(area);
  }
}

// Ten thousand items in a one-byte area: the area moves while entries are
// reserved, and the chain, the names and the formats follow it.
TEST_F(FieldListTest, LongListSurvivesManyMoves) {
  constexpr int kFields = 10000;
  std::string argument = "^";
  for (int i = 0; i < kFields; ++i) {
    argument += "f\\ " + std::to_string(i);
    if (i % 3 == 0) argument += ":(" + std::to_string(i) + ")";
    argument += i % 2 == 0 ? "," : " ";
  }
  field_list_parse(argument.c_str(), list, area);
  EXPECT_GT(format_test::growth_count, 15);
  EXPECT_EQ(list.mode, LIST_EXCLUDE);
  int i = 0;
  for (const FieldEntry* entry = list.excluded; entry != nullptr; entry = entry->next, ++i) {
    ASSERT_EQ(entry_name(*entry), std::string("f ").append(std::to_string(i)));
    if (i % 3 == 0) {
      ASSERT_NE(entry->format_end, nullptr);
      ASSERT_EQ(narrow_units(entry->format, entry->format_end),
                std::string("(").append(std::to_string(i)).append(")"));
    } else {
      ASSERT_EQ(entry->format_end, nullptr);
    }
  }
  EXPECT_EQ(i, kFields);
  std::u16string label = u"f 9999:";
  EXPECT_EQ(field_list_lookup(list, label.c_str(), label.size(), nullptr), 0);
  label = u"f 10000:";
  EXPECT_EQ(field_list_lookup(list, label.c_str(), label.size(), nullptr), -1);
  FieldIndex index;
  field_index_build(list, index);
  for (int n : {0, 4711, 9999, 10000, -1}) {
    std::string name = "f " + std::to_string(n) + ":";
    EXPECT_EQ(field_index_lookup_ascii(index, name.c_str(), name.size(), nullptr),
              n < 0 || n >= kFields ? -1 : 0);
  }
}

TEST_F(FieldListTest, TranslateLeavesPointersOutsideTheArea) {
  field_list_parse("a:x,b", list, area);
  FieldFormat outside{};
  list.included->compiled = &outside;
  list.included->next->compiled = &DefaultFormat;
  area_reserve(static_cast<std::size_t>(area.end - area.head) + 1, area);  // forces a move
  EXPECT_EQ(list.included->compiled, &outside);
  EXPECT_EQ(list.included->next->compiled, &DefaultFormat);
  EXPECT_EQ(entry_name(*list.included->next), "b");
  list.included->compiled = nullptr;
  list.included->next->compiled = nullptr;
}

}  // namespace
