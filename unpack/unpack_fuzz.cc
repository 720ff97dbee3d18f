// unpack_fuzz.cc — whole records through a compiled list: arbitrary bytes
// give the output code, the field-format-list, -t, -z and the input records
// (the texts separated by NUL bytes). Start-up and the record loop run as
// the driver runs them, with every area starting at one byte so it grows.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "charcode/charcode.h"
#include "driver/messages.h"
#include "driver/settings.h"
#include "format/field_format.h"
#include "format/field_list.h"
#include "io/reader.h"
#include "io/stream.h"
#include "unpack/unpack.h"

namespace {

FieldList field_list;

// The driver's growth pact on the nsize area: the list follows the block.
int32_t grow_list(void*, void*, StorageArea& area) {
  area_double(nullptr, nullptr, area);
  field_list_translate(field_list, area);
  field_formats_translate(field_list, area);
  return 0;
}

void create_areas() {
  area_create(1, "rsize", rsize_area);
  area_create(1, "tsize", tsize_area);
  area_create(1, "nsize", nsize_area);
  area_create(1, "wsize", wsize_area);
  pact_push(area_double, nullptr, nullptr, rsize_area);
  pact_push(area_double, nullptr, nullptr, tsize_area);
  pact_push(grow_list, nullptr, nullptr, nsize_area);
  pact_push(area_double, nullptr, nullptr, wsize_area);
}

// The program keeps its expressions and areas for the whole run; here they
// are freed after every input so that the leak checker stays meaningful.
void release_everything() {
  std::set<wregexp*> expressions{DefaultFormat.regex};
  for (FieldEntry* entry = field_list.included; entry != nullptr; entry = entry->next) {
    if (entry->compiled != nullptr) expressions.insert(entry->compiled->regex);
  }
  for (wregexp* expression : expressions) std::free(expression);
  DefaultFormat.regex = nullptr;
  for (StorageArea* area : {&rsize_area, &tsize_area, &nsize_area, &wsize_area}) {
    std::free(area->begin);
    *area = StorageArea{};
  }
}

// The start-up checks of the driver; false when start-up would end with status 2.
bool compile_list(const std::string& list, const std::string& delimiter,
                  const std::string& options) {
  default_format_init(delimiter.c_str(), options.c_str(), nsize_area);
  field_list_parse(list.c_str(), field_list, nsize_area);
  if (field_list.mode == LIST_INCLUDE) {
    field_formats_compile(field_list, nsize_area);
    for (FieldEntry* entry = field_list.included; entry != nullptr; entry = entry->next) {
      if ((entry->compiled->options & OPTION_F) != 0) ++error_count;
      if (entry->compiled->start_kind == START_ABSOLUTE) ++error_count;
      entry->compiled->repeat = 1;
    }
  } else {
    DefaultFormat.repeat = 1;
  }
  return error_count == 0;
}

// The record loop: chosen fields to the engine, every other line copied.
void run_records(const std::string& records) {
  if (records.empty()) return;
  std::FILE* in_file = fmemopen(const_cast<char*>(records.data()), records.size(), "r");
  std::FILE* out_file = std::fopen("/dev/null", "w");
  if (in_file == nullptr || out_file == nullptr) __builtin_trap();
  input_open_file(input, in_file, "fuzz");
  output_open_file(output, out_file);
  FieldEntry current{};
  while (FieldSpan* span = record_next(input, rsize_area, tsize_area)) {
    for (; span->line != nullptr; ++span) {
      std::size_t label_length = static_cast<std::size_t>(span->value - span->line);
      FieldEntry* entry = nullptr;
      int32_t chosen = field_list_lookup(field_list, span->line, label_length, &entry);
      if (chosen == 0) {
        out_putunits(span->line, static_cast<std::size_t>(span->eol - span->line) + 1, output);
        continue;
      }
      current = FieldEntry{span->line, span->value, nullptr,
                           chosen == 1 ? entry->compiled : nullptr, nullptr};
      std::ptrdiff_t used_before = wsize_area.head - wsize_area.begin;
      Unit newline = *span->eol;
      unpack_field(current, &span->eol, wsize_area, output);
      // The engine leaves its work area and the record as it found them.
      if (wsize_area.head - wsize_area.begin != used_before) __builtin_trap();
      if (*span->eol != newline || wsize_area.pact_count != 1) __builtin_trap();
    }
    out_putwc(u'\n', output);
    area_reset(tsize_area);
    area_reset(rsize_area);
  }
  output_close(output);
  input_release(input);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  program_name = "Kunpack";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the codes; then the list, -t, -z and the records.
  const int32_t kCodes[] = {0, 8, 16, 32};
  std::string texts[4] = {"", "\t", "", ""};
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::size_t from = 0;
  for (int i = 0; i < 4 && from <= bytes.size(); ++i) {
    std::size_t nul = i < 3 ? bytes.find('\0', from) : std::string::npos;
    texts[i] = bytes.substr(from, nul == std::string::npos ? std::string::npos : nul - from);
    from = nul == std::string::npos ? bytes.size() + 1 : nul + 1;
  }

  error_count = 0;
  datautf = 0;
  idatautf = kCodes[data[0] & 3];
  odatautf = kCodes[(data[0] >> 2) & 3];
  select_charcode();
  field_list = FieldList{};
  create_areas();
  if (compile_list(texts[0], texts[1], texts[2])) run_records(texts[3]);
  release_everything();
  return 0;
}
