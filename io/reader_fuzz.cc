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

using Record = std::vector<std::u16string>;  // its lines, newline included

void check(bool condition) {
  if (!condition) std::abort();
}

// An area of one byte, so that every record makes it grow.
struct TinyArea : StorageArea {
  explicit TinyArea(const char* key) {
    area_create(1, key, *this);
    pact_push(area_double, nullptr, nullptr, *this);
  }
  ~TinyArea() { std::free(begin); }
};

// All records of the input, by the reference reader (`how` < 0), record_read
// (3) or record_next with marked_pass(how); checks the shape of every table
// on the way. `marked` gets the marked loop's output (see test_reader.h).
std::vector<Record> read_all(const std::string& bytes, int how, std::string* marked = nullptr) {
  TinyArea chars("rsize"), spans("tsize");
  MemoryInput input(bytes, "fuzz");
  MemoryOutput output;
  const LinePass pass = marked_pass(output.out, how);
  std::vector<Record> records;
  for (;;) {
    FieldSpan* table = nullptr;
    if (how >= 0 && how < 3) {
      table = record_next(input.in, chars, spans, &pass);
    } else {
      record_number = ++input.in.record_in_file;
      current_file_name = "fuzz";
      table = how < 0 ? record_read_reference(input.in, chars, spans)
                      : record_read(input.in, chars, spans);
      if (table == nullptr && input_next_file(input.in) == 0) continue;
    }
    if (table == nullptr) break;
    Record record;
    const FieldSpan* span = table;
    for (; span->line != nullptr; ++span) {
      check(span->line <= span->value && span->value <= span->eol && *span->eol == u'\n');
      check(span == table || span->line == span[-1].eol + 1);
      record.emplace_back(span->line, span->eol + 1);
    }
    check(span->value == nullptr && *span->eol == 0);
    records.push_back(record);
    write_marked_record(table, input.in, output.out);
    area_reset(spans);
    area_reset(chars);
  }
  if (marked != nullptr) *marked = output.bytes();
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
    if (unit == 0xFEFF || unit == 0xFFFE || (unit >= 0xDC00 && unit <= 0xDFFF)) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 == all.size() || all[i + 1] < 0xDC00 || all[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::pair<const char*, int32_t> kCodes[] = {
      {"C.UTF-8", 0}, {"C", 0}, {"C", 8}, {"C", 16}, {"C", -16}, {"C", 32}, {"C", -32}};
  if (size < 1) return 0;
  auto [locale, code] = kCodes[data[0] % std::size(kCodes)];
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  // Lines passed as bytes, in pieces cut at a tiny size bound, must write
  // what whole records write; the count of errors must be the same too.
  use_codes(locale, code, code == 16 ? 16 : 8);
  record_piece_bytes = size % 48;
  std::string passed, reference;
  int32_t errors_before = error_count;
  static const bool wide_scan = record_scan_avx2;
  record_scan_avx2 = wide_scan && size % 2 == 0;  // both scans, where both exist
  read_all(bytes, (data[0] / 64) % 3, &passed);
  int32_t passed_errors = error_count - errors_before;
  read_all(bytes, -1, &reference);
  check(passed == reference && error_count - errors_before == 2 * passed_errors);
  use_codes(locale, code);
  errors_before = error_count;
  std::vector<Record> records = read_all(bytes, 3);
  int32_t bulk_errors = error_count - errors_before;
  check(read_all(bytes, -1) == records && error_count - errors_before == 2 * bulk_errors);
  if (!survives_utf8(records)) return 0;
  MemoryOutput output;
  for (const Record& record : records) {
    for (const std::u16string& line : record) out_putunits(line.data(), line.size(), output.out);
    out_putwc(u'\n', output.out);
  }
  use_codes("C", 8);
  check(read_all(output.bytes(), 3) == records);
  return 0;
}
