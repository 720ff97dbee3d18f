// field_list_test.cc — the list scanner, lookup against the index, long lists.
#include "format/field_list.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "format/field_index.h"
#include "format/format_test_support.h"

namespace {

using Entry = std::pair<std::string, std::optional<std::string>>;  // name, format
using FieldListTest = FormatTest;
const std::nullopt_t kNo = std::nullopt;
const int32_t IN = LIST_INCLUDE, EX = LIST_EXCLUDE;

// clang-format off
const struct { const char* argument; int32_t mode; std::vector<Entry> entries; } kListCases[] = {
    {"", IN, {}}, {"   ", IN, {}}, {"a,", IN, {{"a", kNo}}}, {" \t\na\n", IN, {{"a", kNo}}},
    {"a,b c", IN, {{"a", kNo}, {"b", kNo}, {"c", kNo}}}, {"a , b", IN, {{"a", kNo}, {"b", kNo}}},
    {"a,,b", IN, {{"a", kNo}, {"", kNo}, {"b", kNo}}}, {",a", IN, {{"", kNo}, {"a", kNo}}}, {"a, ,b", IN, {{"a", kNo}, {"", kNo}, {"b", kNo}}},
    {"a:", IN, {{"a", ""}}}, {":x", IN, {{"", "x"}}}, {"a:/;/ b", IN, {{"a", "/;/"}, {"b", kNo}}},
    {"a:x , y:z", IN, {{"a", "x"}, {"y", "z"}}}, {"a:/x/:%d", IN, {{"a", "/x/:%d"}}}, {"a\rb", IN, {{"a\rb", kNo}}},
    {"\xc3\xa9t\xc3\xa9:(2)", IN, {{"\xc3\xa9t\xc3\xa9", "(2)"}}},
    // Escapes: dropped before '^', ',' and white space, kept before anything else.
    {"x\\,y", IN, {{"x,y", kNo}}}, {"\\^a", IN, {{"^a", kNo}}}, {"a\\\rb", IN, {{"a\rb", kNo}}},
    {"a\\b", IN, {{"a\\b", kNo}}}, {"a\\", IN, {{"a\\", kNo}}}, {"a:x\\", IN, {{"a", "x\\"}}},
    {"a\\\\ b", IN, {{"a\\\\", kNo}, {"b", kNo}}}, {"a\\:b:c", IN, {{"a\\:b", "c"}}}, {"a:x\\,", IN, {{"a", "x,"}}}, {"a:x\\,\\", IN, {{"a", "x,\\"}}},
    {"a\\ b:c\\ d,e", IN, {{"a b", "c d"}, {"e", kNo}}}, {"a:f\\,g\\^h\\x", IN, {{"a", "f,g^h\\x"}}},
    {"^", EX, {}}, {"^a b", EX, {{"a", kNo}, {"b", kNo}}}, {"^a:x", EX, {{"a", "x"}}}, {"^^", EX, {{"^", kNo}}},
    {"a^", IN, {{"a^", kNo}}}, {" ^a", IN, {{"^a", kNo}}},
};
const std::string kLong = [] {  // ten thousand excluded names: the area moves many times
  std::string text = "^";
  for (int i = 0; i < 10000; ++i) text += "f\\ " + std::to_string(i) + (i % 2 ? "," : " ");
  return text;
}();
// label has its ':' (empty: a line without ':'); format: of the entry found, for result 1
const struct { const char* argument; std::u16string label; int32_t result; const char* format; } kLookupCases[] = {
    {"a,abc", u"a:", 1, ""}, {"a,abc", u"abc:", 1, ""}, {"a,abc", u"ab:", 0, ""}, {"a,abc", u"abcd:", 0, ""},
    {"a,abc", u"A:", 0, ""}, {"a,abc", u"", 0, ""}, {"a:1,a:2", u"a:", 1, "1"}, {"x,,y", u":", 1, ""},
    {"x", u":", 0, ""}, {"", u"a:", 0, ""}, {"^a b", u"a:", 0, ""}, {"^a b", u"b:", 0, ""}, {"^a b", u"c:", -1, ""},
    {"^a b", u":", -1, ""}, {"^a b", u"", 0, ""}, {"^", u"x:", -1, ""}, {"^", u":", -1, ""}, {"^,", u":", 0, ""},
    {"a\\ b:(3)", u"a b:", 1, "(3)"},
    {kLong.c_str(), u"f 0:", 0, ""}, {kLong.c_str(), u"f 4711:", 0, ""}, {kLong.c_str(), u"f 9999:", 0, ""}, {kLong.c_str(), u"f 10000:", -1, ""},
};
// clang-format on

TEST_F(FieldListTest, ParseTable) {
  for (const auto& c : kListCases) {
    SCOPED_TRACE(c.argument);
    field_list_parse(c.argument, list, area);
    EXPECT_EQ(list.mode, c.mode);
    EXPECT_EQ(c.mode == IN ? list.excluded : list.included, nullptr);
    std::vector<Entry> entries;
    for (const FieldEntry* e = c.mode == IN ? list.included : list.excluded; e; e = e->next) {
      entries.emplace_back(entry_name(*e), e->format_end ? std::optional(narrow(e->format, e->format_end)) : kNo);
    }
    EXPECT_EQ(entries, c.entries);
    area_reset(area);
  }
  EXPECT_EQ(stderr_of([&] { field_list_parse("a,\xff", list, area); }), "Kunpack: code error in the field-list argument.\n");
  EXPECT_EQ(std::vector<const void*>({list.included, list.excluded}), std::vector<const void*>(2));
}

// The list's lookup, the index's and the index's on ASCII bytes agree.
TEST_F(FieldListTest, LookupTable) {
  for (const auto& c : kLookupCases) {
    SCOPED_TRACE(std::string(c.argument).substr(0, 20) + " / " + narrow(c.label.data(), c.label.data() + c.label.size()));
    field_list_parse(c.argument, list, area);
    FieldIndex index;
    field_index_build(list, index);
    FieldEntry sentinel{}, *found = &sentinel, *indexed = &sentinel, *ascii = &sentinel;
    std::string bytes(c.label.begin(), c.label.end());
    EXPECT_EQ(field_list_lookup(list, c.label.c_str(), c.label.size(), &found), c.result);
    EXPECT_EQ(field_index_lookup(index, c.label.c_str(), c.label.size(), &indexed), c.result);
    EXPECT_EQ(field_index_lookup_ascii(index, bytes.c_str(), bytes.size(), &ascii), c.result);
    EXPECT_EQ(std::vector<FieldEntry*>({indexed, ascii}), std::vector<FieldEntry*>({found, found}));
    EXPECT_EQ(found == nullptr, c.result != 1);
    if (found != nullptr) {
      EXPECT_EQ(narrow(found->name, found->format_end ? found->format_end : found->format), bytes + c.format);
    }
    area_reset(area);
  }
}

}  // namespace
