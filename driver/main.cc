// main.cc — Kunpack's entry point: start-up in its fixed order, the start-up
// checkpoint (status 2), the record loop, and the final checkpoint (status 1).
// Fatal errors leave from inside message() with status 3; the output stream
// still writes out what it holds. Output that cannot be written is fatal.
#include <cassert>
#include <cstdint>
#include <initializer_list>

#include "charcode/charcode.h"
#include "driver/command_line.h"
#include "driver/messages.h"
#include "driver/settings.h"
#include "format/field_format.h"
#include "format/field_index.h"
#include "format/field_list.h"
#include "io/reader.h"
#include "io/stream.h"
#include "storage/area.h"
#include "unpack/unpack.h"

#ifndef KUNPACK_BUILD_DESCRIPTION
#define KUNPACK_BUILD_DESCRIPTION "Kunpack"
#endif

namespace {

// Texts of -t and -z; the latest option wins.
struct DriverOptions {
  const char* delimiter_text = "\t";
  const char* options_text = "";
};

FieldList field_list = {nullptr, nullptr, LIST_INCLUDE};
// The one-entry list handed to the unpack engine, refilled for every field.
FieldEntry current_field = {};
FieldList current_field_list = {&current_field, nullptr, LIST_INCLUDE};

bool scan_options(DriverOptions& options);
void create_areas();
void take_field_list();
void check_field_formats();
void run_record_loop();

// Every area's first pact: doubles the block; the structures kept in the
// nsize area for the whole run follow it. Pacts of the operations in
// progress translate their own pointers afterwards.
int32_t area_grow(void*, void*, StorageArea& area) {
  area_double(nullptr, nullptr, area);
  if (&area == &nsize_area) {
    field_list_translate(field_list, area);
    field_formats_translate(field_list, area);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  exit_on_allocation_failure();
  startup_init(argc, argv);
  init_charcode();
  version_add("Kunpack : K-2.4");
  version_add(KUNPACK_BUILD_DESCRIPTION);
  DriverOptions options;
  if (!scan_options(options)) {
    standard_output_close();
    return 0;
  }
  create_areas();
  select_charcode();
  default_format_init(options.delimiter_text, options.options_text, nsize_area);
  take_field_list();
  check_field_formats();
  exit_if_errors(2);

  output_open(output);  // also makes a fatal exit flush what was written
  input_open(input, STREAM_OPERANDS);
  run_record_loop();
  output_close(output);
  exit_if_errors(1);
  return 0;
}

namespace {

// Scans the options; false when the run is complete (version or usage printed).
bool scan_options(DriverOptions& options) {
  char letter = 0;
  for (;;) {
    int result = option_next("z:t:K:", &letter);
    if (result == 0) break;
    if (result < 0) return false;
    if (letter == 'K') {
      // setting_next writes terminators into its text: work on the argument itself.
      char* text = const_cast<char*>(option_argument);
      while (char* name = setting_next(text)) {
        setting_apply(settings_table, settings_table_size, name, setting_number(setting_value));
      }
    } else if (letter == 't') {
      options.delimiter_text = option_argument;
    } else if (letter == 'z') {
      options.options_text = option_argument;
    } else {
      usage();  // the scanner has reported the invalid option
    }
  }
  operands += option_index;
  operand_count -= option_index;
  return true;
}

// Area sizes are byte counts of 32 bits (KB x 1024): a size of 0 or less could
// never grow by doubling and a larger one would overflow, so both are rejected
// at start-up; the default size stands in so that start-up can go on.
std::size_t checked_area_size(const char* key, int32_t& setting, int32_t default_kb) {
  constexpr int32_t kLargestKb = INT32_MAX / 1024;
  if (setting < 1 || setting > kLargestKb) {
    message(MSG_ERROR, "invalid %s value (%d).\n", key, setting);
    setting = default_kb;
  }
  return static_cast<std::size_t>(setting) * 1024;
}

void create_areas() {
  area_create(checked_area_size("rsize", setting_rsize, 2), "rsize", rsize_area);
  area_create(checked_area_size("tsize", setting_tsize, 1), "tsize", tsize_area);
  area_create(checked_area_size("nsize", setting_nsize, 2), "nsize", nsize_area);
  area_create(checked_area_size("wsize", setting_wsize, 1), "wsize", wsize_area);
  for (StorageArea* area : {&rsize_area, &tsize_area, &nsize_area, &wsize_area}) {
    pact_push(area_grow, nullptr, nullptr, *area);
  }
}

void take_field_list() {
  if (operand_count > 0) {
    const char* text = *operands++;
    --operand_count;
    field_list_parse(text, field_list, nsize_area);
  } else {
    message(MSG_ERROR, "field-format-list is missing.\n");
    usage();
  }
}

// Reports a check on a listed field, its name ended by a NUL for the message.
void report_field(const char* text, FieldEntry& entry) {
  Unit* colon = entry.format - 1;
  Unit saved = *colon;
  *colon = 0;
  message(MSG_ERROR, text, entry.name);
  *colon = saved;
}

// Kunpack writes a label before every piece and cuts from where the previous
// piece ended, so the f option and absolute starts are refused; every listed
// format repeats to the end of the value.
void check_field_formats() {
  if (field_list.mode != LIST_INCLUDE) {
    DefaultFormat.repeat = 1;
    return;
  }
  field_formats_compile(field_list, nsize_area);
  for (FieldEntry* entry = field_list.included; entry != nullptr; entry = entry->next) {
    FieldFormat& format = *entry->compiled;
    if ((format.options & OPTION_F) != 0) {
      report_field("f option of the field %ls is not allowed in Kunpack.\n", *entry);
    }
    if (format.start_kind == START_ABSOLUTE) {
      report_field("absolute position of the field %ls is not allowed in Kunpack.\n", *entry);
    }
    format.repeat = 1;
  }
}

// Built once the list's area stops moving: answers for every label without
// walking the list.
FieldIndex field_index;

// The one place a label is looked up: 0 when its line is not chosen, 1
// with the listed entry, other values for the default format.
int32_t label_choice(const Unit* label, std::size_t length, FieldEntry** entry) {
  return field_index_lookup(field_index, label, length, entry);
}

// The same question on a label's ASCII bytes, for the lines that may pass
// straight through.
bool label_may_be_chosen(const unsigned char* label, std::size_t length) {
  return field_index_lookup_ascii(field_index, reinterpret_cast<const char*>(label), length,
                                  nullptr) != 0;
}

// The lines of a record lie one after another in the rsize area, so a run of
// lines that are not chosen is written with one call.
void write_lines(FieldSpan* spans) {
  const Unit* unchosen = nullptr;  // start of the run of lines not yet written
  FieldSpan* span = spans;
  for (; span->line != nullptr; ++span) {
    FieldEntry* entry = nullptr;
    int32_t chosen =
        label_choice(span->line, static_cast<std::size_t>(span->value - span->line), &entry);
    if (chosen == 0) {
      assert(span == spans || span->line == span[-1].eol + 1);
      if (unchosen == nullptr) unchosen = span->line;
      continue;
    }
    if (unchosen != nullptr) {
      out_putunits(unchosen, static_cast<std::size_t>(span->line - unchosen), output);
      unchosen = nullptr;
    }
    current_field = {span->line, span->value, nullptr, chosen == 1 ? entry->compiled : nullptr,
                     nullptr};
    unpack_field(span->value, &span->eol, current_field_list, wsize_area, output);
  }
  if (unchosen != nullptr) {
    out_putunits(unchosen, static_cast<std::size_t>(span[-1].eol + 1 - unchosen), output);
  }
}

// Where both codes read and write ASCII bytes as themselves (or both are
// UTF-16LE), lines that are not chosen go from the input block to the
// output as they are, written by the reader; it then gives a record in
// pieces, and the record's empty line follows its last piece.
void run_record_loop() {
  field_index_build(field_list, field_index);
  const LinePass pass = {&output, label_may_be_chosen, codes_are_utf8, codes_are_utf16le,
                         field_index.unlisted == 0 ? field_index.first_units : nullptr};
  const LinePass* line_pass =
      (in_keeps_ascii && out_keeps_ascii) || codes_are_utf16le ? &pass : nullptr;
  while (FieldSpan* spans = record_next(input, rsize_area, tsize_area, line_pass)) {
    write_lines(spans);
    // The bulk writer takes ASCII straight into the block; out_putwc would
    // go through the code's own writer for every record.
    static constexpr Unit kNewline = u'\n';
    if (!input.record_open) out_putunits(&kNewline, 1, output);
    area_reset(tsize_area);
    area_reset(rsize_area);
  }
}

}  // namespace
