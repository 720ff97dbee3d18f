// unpack_test_support.h — the engine's test fixture: the record loop's own
// start-up (locale, codes, -t, -z, the list and its formats), a wsize area
// that starts at one byte so every piece makes it grow, and one record line
// run through the loop's record_write with its output and messages captured.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "charcode/test_codes.h"
#include "driver/messages.h"
#include "driver/record_loop.h"
#include "driver/settings.h"
#include "format/format_test_support.h"
#include "io/test_streams.h"

namespace unpack_test {

// UTF-8 text as units, as the engine's input code (UTF-8) decodes it.
inline std::u16string units_of(const std::string& text) {
  std::vector<int> units = decode(text);
  return std::u16string(units.begin(), units.end());
}

// What one record line gave: the output bytes and standard error.
struct Outcome { std::string out, err; };

class EngineTest : public testing::Test {
 protected:
  void SetUp() override {
    use_codes("C.UTF-8", 0);
    program_name = "Kunpack";
    error_count = 0;
    current_file_name = "in.k";
    record_number = 3;
    field_list = FieldList{};
    area_create(1, "nsize", nsize);
    pact_push(format_test::grow_and_translate, &field_list, nullptr, nsize);
    area_create(1, "wsize", wsize);
    pact_push(area_double, nullptr, nullptr, wsize);
  }

  void TearDown() override {
    format_test::free_compiled_expressions(field_list);
    std::free(nsize.begin);
    std::free(wsize.begin);
    std::setlocale(LC_ALL, "C");
  }

  // A fresh start-up for the next row of a table.
  void restart() {
    TearDown();
    SetUp();
  }

  // Start-up with -t, -z and the field-format-list, as the driver runs it;
  // returns standard error.
  std::string start(const std::string& list, const char* delimiter = "\t",
                    const char* options = "") {
    testing::internal::CaptureStderr();
    formats_start(delimiter, options, list.c_str(), nsize);
    field_choice_build();
    return testing::internal::GetCapturedStderr();
  }

  // One record line (UTF-8, without its newline) through the record loop:
  // a chosen field goes to the engine, any other line is copied. The work
  // area is left as it was found, the newline put back, every pact popped.
  Outcome run(const std::string& line) {
    std::u16string units = units_of(line + "\n");
    Unit* eol = units.data() + units.size() - 1;
    Unit* value = std::find(units.data(), eol, u':');
    value = value < eol ? value + 1 : units.data();  // a line without ':' has no label
    FieldSpan spans[2] = {{units.data(), value, eol}, {nullptr, nullptr, eol + 1}};
    MemoryOutput output;
    const std::ptrdiff_t used = wsize.head - wsize.begin;
    testing::internal::CaptureStderr();
    record_write(spans, wsize, output.out);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(wsize.head - wsize.begin == used && *eol == u'\n' && wsize.pact_count == 1);
    return {output.bytes(), err};
  }

  StorageArea nsize;
  StorageArea wsize;
};

}  // namespace unpack_test
