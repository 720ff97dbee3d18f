// main.cc — Kunpack's entry point: start-up in its fixed order, the start-up
// checkpoint (status 2), the record loop, and the final checkpoint (status 1).
// Fatal errors leave from inside message() with status 3; the output stream
// still writes out what it holds. Output that cannot be written is fatal.
#include <cstdint>
#include <initializer_list>

#include "charcode/charcode.h"
#include "driver/command_line.h"
#include "driver/messages.h"
#include "driver/record_loop.h"
#include "driver/settings.h"
#include "io/stream.h"
#include "storage/area.h"

#ifndef KUNPACK_BUILD_DESCRIPTION
#define KUNPACK_BUILD_DESCRIPTION "Kunpack"
#endif

namespace {

// Texts of -t and -z; the latest option wins.
struct DriverOptions {
  const char* delimiter_text = "\t";
  const char* options_text = "";
};

bool scan_options(DriverOptions& options);
void create_areas();
const char* take_field_list();

// Every area's first pact: doubles the block; the structures kept in the
// nsize area for the whole run follow it. Pacts of the operations in
// progress translate their own pointers afterwards.
int32_t area_grow(void*, void*, StorageArea& area) {
  area_double(nullptr, nullptr, area);
  if (&area == &nsize_area) {
    formats_translate(area);
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
  const char* list_text = take_field_list();
  formats_start(options.delimiter_text, options.options_text, list_text, nsize_area);
  exit_if_errors(2);

  output_open(output);  // also makes a fatal exit flush what was written
  input_open(input, STREAM_OPERANDS);
  record_loop_run(input, output);
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

// The first operand, or null when there is none.
const char* take_field_list() {
  if (operand_count == 0) return nullptr;
  --operand_count;
  return *operands++;
}

}  // namespace
