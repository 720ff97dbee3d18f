// messages.cc — message(): "<program>: " + text on stderr, then count or exit.
// Wide arguments (%ls, %lc) are Units; they are written in the locale's code,
// never in the -K output code, with a surrogate pair joined into one character
// and "?" for a character the locale cannot represent.
#include "driver/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "driver/locale_units.h"

const char* program_name = "Kunpack";
int32_t error_count = 0;
const char* current_file_name = nullptr;
int32_t record_number = 0;

namespace {

void append_code_point(std::string& text, char32_t code_point) {
  char buffer[32];
  int length = locale_encode_char(code_point, buffer);
  if (length < 0) {
    text += '?';
  } else {
    text.append(buffer, static_cast<std::size_t>(length));
  }
}

// Appends Units up to a NUL or `limit` of them, joining surrogate pairs; a
// lone surrogate becomes "?".
void append_units(std::string& text, const Unit* units, std::size_t limit = SIZE_MAX) {
  if (units == nullptr) {
    text += "(null)";
    return;
  }
  const Unit* end = units + (limit == SIZE_MAX ? unit_length(units) : limit);
  for (const Unit* p = units; p != end; ++p) {
    char32_t unit = *p;
    if (is_high_surrogate(unit) && p + 1 != end && is_low_surrogate(p[1])) {
      append_code_point(text, join_surrogates(unit, p[1]));
      ++p;
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      text += '?';
    } else {
      append_code_point(text, unit);
    }
  }
}

// The message formats use only %s, %d, %u, %c, %ls, %.*ls, %lc and %%.
std::string format_message(const char* format, va_list arguments) {
  std::string text;
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      text += *p;
      continue;
    }
    ++p;
    if (*p == '%') {
      text += '%';
    } else if (*p == 's') {
      const char* s = va_arg(arguments, const char*);
      text += s != nullptr ? s : "(null)";
    } else if (*p == 'd') {
      text += std::to_string(va_arg(arguments, int));
    } else if (*p == 'u') {
      text += std::to_string(va_arg(arguments, unsigned));
    } else if (*p == 'c') {
      text += static_cast<char>(va_arg(arguments, int));
    } else if (*p == 'l' && p[1] == 's') {
      ++p;
      append_units(text, va_arg(arguments, const Unit*));
    } else if (std::strncmp(p, ".*ls", 4) == 0) {
      p += 3;
      int length = va_arg(arguments, int);
      append_units(text, va_arg(arguments, const Unit*), static_cast<std::size_t>(length));
    } else if (*p == 'l' && p[1] == 'c') {
      ++p;
      // The terminating NUL of a text prints nothing between its quotes.
      Unit unit = static_cast<Unit>(va_arg(arguments, int));
      if (unit != 0) {
        const Unit one[2] = {unit, 0};
        append_units(text, one);
      }
    } else {
      text += '%';  // not a conversion this program uses: keep it visible
      if (*p == 0) break;
      text += *p;
    }
  }
  return text;
}

}  // namespace

void message(int level, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::string text = std::string(program_name != nullptr ? program_name : "") + ": ";
  text += format_message(format, arguments);
  va_end(arguments);
  std::fwrite(text.data(), 1, text.size(), stderr);
  if (level == MSG_FATAL) {
    std::exit(3);
  }
  ++error_count;
}

namespace {

// Freed before the message is formatted, which itself needs a little memory.
void* allocation_reserve = nullptr;

void report_allocation_failure() {
  if (allocation_reserve == nullptr) std::exit(3);  // failed again while reporting
  std::free(allocation_reserve);
  allocation_reserve = nullptr;
  message(MSG_FATAL, "can't allocate storage for %s.\n", "memory");
}

}  // namespace

void exit_on_allocation_failure() {
  if (allocation_reserve == nullptr) allocation_reserve = std::malloc(64 * 1024);
  std::set_new_handler(report_allocation_failure);
}

void exit_if_errors(int status) {
  if (error_count != 0) {
    std::exit(status);
  }
}
