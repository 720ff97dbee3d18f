// format_test_support.h — a one-byte nsize area that moves under every parse and compile.
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <set>
#include <string>

#include "driver/messages.h"
#include "format/field_format.h"
#include "format/field_list.h"

namespace format_test {

inline int growth_count = 0;
inline int32_t grow_and_translate(void* list, void*, StorageArea& area) {  // the driver's pact
  area_double(nullptr, nullptr, area);
  field_list_translate(*static_cast<FieldList*>(list), area);
  field_formats_translate(*static_cast<FieldList*>(list), area);
  return ++growth_count, 0;
}

inline void free_compiled_expressions(FieldList& list) {  // the program keeps them to its end
  std::set<wregexp*> expressions{DefaultFormat.regex};
  for (FieldEntry* e = list.included; e != nullptr; e = e->next)
    if (e->compiled != nullptr) expressions.insert(e->compiled->regex);
  for (wregexp* expression : expressions) std::free(expression);
  DefaultFormat.regex = nullptr;
}

inline std::string narrow(const Unit* begin, const Unit* end) {
  std::string text;
  for (char bytes[16]; begin != end; ++begin)
    text.append(bytes, std::wctomb(bytes, static_cast<wchar_t>(*begin)));
  return text;
}
inline std::string entry_name(const FieldEntry& e) { return narrow(e.name, e.format - 1); }

template <class Action> std::string stderr_of(Action action) {
  testing::internal::CaptureStderr();
  return action(), testing::internal::GetCapturedStderr();
}

class FormatTest : public testing::Test {
 protected:
  void SetUp() override {
    std::setlocale(LC_ALL, "C.UTF-8");
    error_count = growth_count = 0;
    area_create(1, "nsize", area);
    pact_push(grow_and_translate, &list, nullptr, area);
  }
  void TearDown() override { free_compiled_expressions(list), std::free(area.begin); }
  StorageArea area;
  FieldList list{};
};

}  // namespace format_test
using namespace format_test;  // NOLINT: the names of these tests' own helpers
