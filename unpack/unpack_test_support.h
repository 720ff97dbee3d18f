// unpack_test_support.h — the engine's test fixture: start-up as the driver
// does it (locale, codes, -t, -z, the list and its formats, repeat set), a
// wsize area that starts at one byte so every piece makes it grow, and one
// record line run through the engine with its output and messages captured.
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "charcode/charcode.h"
#include "driver/messages.h"
#include "driver/settings.h"
#include "format/field_format.h"
#include "format/field_list.h"
#include "format/format_test_support.h"
#include "unpack/unpack.h"

namespace unpack_test {

// UTF-8 text as units (the tests write their values in UTF-8).
inline std::u16string units_of(const std::string& text) {
  std::u16string units;
  for (std::size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length; ++k) value = (value << 6) | (text[i + k] & 0x3F);
    if (value >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(value);
    }
    i += static_cast<std::size_t>(length);
  }
  return units;
}

// What one record line gave: the output bytes and standard error.
struct Outcome {
  std::string out;
  std::string err;
};

class EngineTest : public testing::Test {
 protected:
  void SetUp() override {
    std::setlocale(LC_ALL, "C.UTF-8");
    program_name = "Kunpack";
    error_count = 0;
    current_file_name = "in.k";
    record_number = 3;
    datautf = idatautf = 0;
    odatautf = 8;
    select_charcode();
    list = FieldList{};
    area_create(1, "nsize", nsize);
    pact_push(format_test::grow_and_translate, &list, nullptr, nsize);
    area_create(1, "wsize", wsize);
    pact_push(area_double, nullptr, nullptr, wsize);
  }

  void TearDown() override {
    format_test::free_compiled_expressions(list);
    std::free(nsize.begin);
    std::free(wsize.begin);
    std::setlocale(LC_ALL, "C");
  }

  // A fresh start-up for the next row of a table.
  void restart() {
    TearDown();
    SetUp();
  }

  // Start-up with -t, -z and the field-format-list, as the driver runs it.
  // Returns standard error; a test that expects none checks it is empty.
  std::string start(const char* list_text, const char* delimiter = "\t", const char* options = "") {
    testing::internal::CaptureStderr();
    default_format_init(delimiter, options, nsize);
    field_list_parse(list_text, list, nsize);
    if (list.mode == LIST_INCLUDE) {
      field_formats_compile(list, nsize);
      for (FieldEntry* entry = list.included; entry != nullptr; entry = entry->next) {
        entry->compiled->repeat = 1;
      }
    } else {
      DefaultFormat.repeat = 1;
    }
    return testing::internal::GetCapturedStderr();
  }

  // One record line (UTF-8, without its newline) through the record loop's
  // choice: a chosen field goes to the engine, any other line is copied.
  Outcome run(const std::string& line) {
    std::u16string units = units_of(line) + u'\n';
    Unit* begin = units.data();
    Unit* eol = begin + units.size() - 1;
    Unit* value = begin;
    while (value < eol && *value != u':') ++value;
    std::size_t label_length = value < eol ? static_cast<std::size_t>(value + 1 - begin) : 0;
    if (value < eol) ++value;

    std::FILE* file = std::tmpfile();
    OutputStream out;
    output_open_file(out, file);
    testing::internal::CaptureStderr();
    FieldEntry* entry = nullptr;
    int32_t chosen = field_list_lookup(list, begin, label_length, &entry);
    if (chosen == 0) {
      out_putunits(begin, units.size(), out);
    } else {
      FieldEntry current{begin, value, nullptr, chosen == 1 ? entry->compiled : nullptr, nullptr};
      std::size_t used_before = static_cast<std::size_t>(wsize.head - wsize.begin);
      unpack_field(current, &eol, wsize, out);
      EXPECT_EQ(static_cast<std::size_t>(wsize.head - wsize.begin), used_before)
          << "the work area is left as it was found";
      EXPECT_EQ(*eol, u'\n') << "the newline is put back";
      EXPECT_EQ(wsize.pact_count, 1) << "every pact is popped";
    }
    Outcome outcome;
    outcome.err = testing::internal::GetCapturedStderr();
    output_flush(out);
    std::fseek(file, 0, SEEK_SET);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
      outcome.out.append(buffer, n);
    }
    output_close(out);
    return outcome;
  }

  StorageArea nsize;
  StorageArea wsize;
  FieldList list;
};

}  // namespace unpack_test
