// reader_fuzz.cc — arbitrary bytes through the record reader in areas of one
// byte: the bulk reader must give the records and the error count of the
// unit-by-unit reference, and the records written back line by line with an
// empty line after each, in UTF-8, must read back as the same records. With
// lines passing straight through as bytes, a record loop must write what it
// writes from the reference's decoded lines. Byte 0 chooses the input code.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "charcode/charcode.h"
#include "charcode/test_codes.h"
#include "driver/messages.h"
#include "driver/settings.h"
#include "io/reader.h"
#include "io/test_reader.h"
#include "io/test_streams.h"

namespace {

struct InputCode {
  const char* locale;
  int32_t code;
};

const InputCode kInputCodes[] = {{"C.UTF-8", 0}, {"C", 0},  {"C", 8},  {"C", 16},
                                 {"C", -16},     {"C", 32}, {"C", -32}};

using Record = std::vector<std::u16string>;  // its lines, newline included

void check(bool condition) {
  if (!condition) std::abort();
}

// All records of the input, with record_read or its reference; checks the
// shape of every table on the way.
std::vector<Record> read_all(const std::string& bytes, bool reference) {
  StorageArea chars;
  StorageArea spans;
  area_create(1, "rsize", chars);
  area_create(1, "tsize", spans);
  pact_push(area_double, nullptr, nullptr, chars);
  pact_push(area_double, nullptr, nullptr, spans);
  MemoryInput input(bytes, "fuzz");
  std::vector<Record> records;
  for (;;) {
    ++input.in.record_in_file;
    record_number = input.in.record_in_file;
    current_file_name = "fuzz";
    FieldSpan* table = reference ? record_read_reference(input.in, chars, spans)
                                 : record_read(input.in, chars, spans);
    if (table == nullptr) {
      if (input_next_file(input.in) == 1) break;
      continue;
    }
    Record record;
    const FieldSpan* span = table;
    for (; span->line != nullptr; ++span) {
      check(span->line <= span->value && span->value <= span->eol && *span->eol == u'\n');
      if (span != table) check(span->line == span[-1].eol + 1);
      record.emplace_back(span->line, span->eol + 1);
    }
    check(span->value == nullptr && *span->eol == 0);
    records.push_back(record);
    area_reset(spans);
    area_reset(chars);
  }
  std::free(chars.begin);
  std::free(spans.begin);
  return records;
}

// True when the units are UTF-16 that the UTF-8 writer and decoder carry
// unchanged: surrogates only in pairs, and no U+FEFF or U+FFFE (which the
// UTF-8 decoder drops or reports, as it must).
bool survives_utf8(const std::vector<Record>& records) {
  std::u16string all;
  for (const Record& record : records) {
    for (const std::u16string& line : record) all += line;
  }
  for (std::size_t i = 0; i < all.size(); ++i) {
    char16_t unit = all[i];
    if (unit == 0xFEFF || unit == 0xFFFE) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 == all.size() || all[i + 1] < 0xDC00 || all[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

std::string write_utf8(const std::vector<Record>& records) {
  MemoryOutput output;
  for (const Record& record : records) {
    for (const std::u16string& line : record) out_putunits(line.data(), line.size(), output.out);
    out_putwc(u'\n', output.out);
  }
  return output.bytes();
}

// The marked record loop's output (see write_marked_record) and the errors
// counted on the way.
std::string loop_output(const std::string& bytes, bool pass_lines, bool by_first_byte) {
  StorageArea chars;
  StorageArea spans;
  area_create(1, "rsize", chars);
  area_create(1, "tsize", spans);
  pact_push(area_double, nullptr, nullptr, chars);
  pact_push(area_double, nullptr, nullptr, spans);
  MemoryInput input(bytes, "fuzz");
  MemoryOutput output;
  const LinePass pass = {&output.out, label_begins_with_x, codes_are_utf8, codes_are_utf16le,
                         by_first_byte ? kStartsOfX : nullptr};
  int32_t errors_before = error_count;
  for (;;) {
    FieldSpan* table = nullptr;
    if (pass_lines) {
      table = record_next(input.in, chars, spans, &pass);
    } else {
      ++input.in.record_in_file;
      record_number = input.in.record_in_file;
      table = record_read_reference(input.in, chars, spans);
      if (table == nullptr && input_next_file(input.in) == 0) continue;
    }
    if (table == nullptr) break;
    write_marked_record(table, input.in, output.out);
    area_reset(spans);
    area_reset(chars);
  }
  std::free(chars.begin);
  std::free(spans.begin);
  return output.bytes() + std::to_string(error_count - errors_before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const InputCode& input_code = kInputCodes[data[0] % std::size(kInputCodes)];
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  use_codes(input_code.locale, input_code.code, input_code.code == 16 ? 16 : 8);
  // Pieces cut at a tiny size bound must write what whole records write.
  record_piece_bytes = size % 48;
  bool by_first_byte = (data[0] / 64) % 2 != 0;
  check(loop_output(bytes, true, by_first_byte) == loop_output(bytes, false, false));
  use_codes(input_code.locale, input_code.code);
  int32_t errors_before = error_count;
  std::vector<Record> records = read_all(bytes, false);
  int32_t bulk_errors = error_count - errors_before;
  check(read_all(bytes, true) == records);
  check(error_count - errors_before == 2 * bulk_errors);
  if (!survives_utf8(records)) return 0;
  std::string written = write_utf8(records);
  use_codes("C", 8);
  check(read_all(written, false) == records);
  return 0;
}
