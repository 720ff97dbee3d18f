// format_test_support.h — the fixture of the format tests: an nsize area of
// one byte whose growth pact translates the list like the driver's does, so
// every parse and compile runs across many moves; and stderr capture.
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

// The driver's growth pact: double the area, then make the list follow it.
inline int32_t grow_and_translate(void* list, void*, StorageArea& area) {
  area_double(nullptr, nullptr, area);
  field_list_translate(*static_cast<FieldList*>(list), area);
  field_formats_translate(*static_cast<FieldList*>(list), area);
  ++growth_count;
  return 0;
}

// Narrow text of units, for comparisons (the tests use ASCII and UTF-8).
inline std::string narrow_units(const Unit* begin, const Unit* end) {
  std::string text;
  for (const Unit* p = begin; p != end; ++p) {
    char bytes[16];
    int n = std::wctomb(bytes, static_cast<wchar_t>(*p));
    text.append(bytes, n > 0 ? n : 0);
  }
  return text;
}

// An entry's name, which ends at its ':' (the unit before `format`).
inline std::string entry_name(const FieldEntry& entry) {
  return narrow_units(entry.name, entry.format - 1);
}

// The program keeps its expressions for the whole run; tests free them
// (those of the list's formats and of DefaultFormat, each once).
inline void free_compiled_expressions(FieldList& list) {
  std::set<wregexp*> expressions{DefaultFormat.regex};
  for (FieldEntry* entry = list.included; entry != nullptr; entry = entry->next) {
    if (entry->compiled != nullptr) expressions.insert(entry->compiled->regex);
  }
  for (wregexp* expression : expressions) std::free(expression);
  DefaultFormat.regex = nullptr;
}

class FormatTest : public testing::Test {
 protected:
  void SetUp() override {
    std::setlocale(LC_ALL, "C.UTF-8");
    program_name = "Kunpack";
    error_count = 0;
    growth_count = 0;
    list = FieldList{};
    area_create(1, "nsize", area);
    pact_push(grow_and_translate, &list, nullptr, area);
  }

  void TearDown() override {
    free_compiled_expressions(list);
    std::free(area.begin);
    std::setlocale(LC_ALL, "C");
  }

  // Runs `action` and returns what it wrote to stderr.
  template <class Action>
  std::string stderr_of(Action action) {
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
  }

  StorageArea area;
  FieldList list;
};

}  // namespace format_test
