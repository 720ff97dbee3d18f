// main.cc — Kunpack's entry point: start-up in its fixed order, the start-up
// checkpoint (status 2), the record loop, and the final checkpoint (status 1).
// Fatal errors leave from inside message() with status 3.
#include <cstdint>
#include <cstdio>

#include "driver/command_line.h"
#include "driver/messages.h"
#include "driver/settings.h"

#ifndef KUNPACK_BUILD_DESCRIPTION
#define KUNPACK_BUILD_DESCRIPTION "Kunpack"
#endif

namespace {

// Texts of -t and -z; the latest option wins.
struct DriverOptions {
  const char* delimiter_text = "\t";
  const char* options_text = "";
};

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
int32_t checked_area_size(const char* key, int32_t& setting, int32_t default_kb) {
  constexpr int32_t kLargestKb = INT32_MAX / 1024;
  if (setting < 1 || setting > kLargestKb) {
    message(MSG_ERROR, "invalid %s value (%d).\n", key, setting);
    setting = default_kb;
  }
  return setting;
}

}  // namespace

int main(int argc, char** argv) {
  startup_init(argc, argv);
  version_add("Kunpack : K-2.4");
  version_add(KUNPACK_BUILD_DESCRIPTION);
  DriverOptions options;
  if (!scan_options(options)) return 0;

  checked_area_size("rsize", setting_rsize, 2);
  checked_area_size("tsize", setting_tsize, 1);
  checked_area_size("nsize", setting_nsize, 2);
  checked_area_size("wsize", setting_wsize, 1);

  if (operand_count > 0) {
    ++operands;
    --operand_count;
  } else {
    message(MSG_ERROR, "field-format-list is missing.\n");
    usage();
  }
  exit_if_errors(2);
  return 0;
}
