// field_format.cc — compiles each included entry's format text into a
// FieldFormat that starts as a copy of DefaultFormat. A syntax error stops
// that entry's scan; the record keeps the words set so far and is still checked.
#include <cstdint>

#include "driver/messages.h"
#include "format/field_format.h"

namespace {

// Where the scan of one format stands; each element of the grammar moves it on.
enum class FormatScan {
  START,          // nothing read yet
  AFTER_START,    // after the start number
  AFTER_PLUS,     // after "+": digits must follow
  AFTER_MINUS,    // after "-": digits must follow
  AFTER_PAREN,    // after "(": ")" or digits and ")" must follow
  DELIM_TEXT,     // after "/"
  PATTERN_TEXT,   // after "@"
  AFTER_END,      // after the end element
  AFTER_OPTIONS,  // after the option letters
  AFTER_STAR,     // after "*"
  AT_CONVERSION,  // after ":": at least one character must follow
  DONE,           // the conversion text took the rest
  ERROR,          // a syntax error was reported
};

// State of compiling one entry's format. `entry` and `position` are the
// variables that the compiler's pact guards; the record is always reached
// through entry->compiled, which the nsize area's growth pact keeps valid.
struct FormatCompile {
  FieldEntry*& entry;  // the entry being compiled
  Unit*& position;     // the character being scanned
  FormatScan state = FormatScan::START;
};

bool is_digit(Unit c) {
  return c >= u'0' && c <= u'9';
}

// "x" only modifies the others, so it cannot begin a run of option letters.
bool begins_options(Unit c) {
  return c != u'x' && format_option_bit(c) != 0;
}

// Decimal digits at `position`, which moves past them; saturates at INT32_MAX.
int32_t read_number(Unit*& position) {
  int64_t value = 0;
  for (; is_digit(*position); ++position) {
    value = value * 10 + (*position - u'0');
    if (value > INT32_MAX) value = INT32_MAX;
  }
  return static_cast<int32_t>(value);
}

// A counted message naming the entry ("%.*ls"). `unit` fills a "%lc" where
// the text has one.
void report_field(const char* text, const FieldEntry& entry, Unit unit = 0) {
  message(MSG_ERROR, text, field_name_length(entry), entry.name, static_cast<int>(unit));
}

void report_syntax_error(FormatCompile& compile, Unit at) {
  report_field("format syntax error in the field %.*ls at '%lc'.\n", *compile.entry, at);
  compile.state = FormatScan::ERROR;
}

// The delimiter or pattern text at the scan position, up to its terminator.
void compile_expression(FormatCompile& compile, Unit terminator) {
  Unit* text = compile.position;
  std::size_t length = format_delim_length(text, terminator);
  text[length] = 0;
  format_delim_unescape(text, terminator);
  // A failed compilation has been reported; the null regex is reported
  // again by the null-match probe.
  compile.entry->compiled->regex = format_compile_expression(text);
  compile.position = text + length;
}

// The rest of the format, from the scan position, is the conversion text.
void compile_conversion(FormatCompile& compile, StorageArea& area) {
  char* cfmt = area_narrow(compile.position, area);  // may move the area
  FieldFormat* record = compile.entry->compiled;
  record->cfmt = cfmt;
  record->cfmt_class = cfmt_classify(compile.position);
}

// One step of the scan: looks at the character at the scan position and
// moves on by one, or past what the element read.
void scan_step(FormatCompile& compile, StorageArea& area) {
  FieldFormat& record = *compile.entry->compiled;
  Unit* here = compile.position;
  Unit c = *here;
  // Each state accepts what the states after it accept, hence the fallthroughs.
  switch (compile.state) {
    case FormatScan::START:
      if (is_digit(c)) {
        record.start_kind = START_ABSOLUTE;
        record.start = read_number(compile.position);
        compile.state = FormatScan::AFTER_START;
        return;
      }
      if (c == u'+') {
        record.start_kind = START_RELATIVE;
        compile.state = FormatScan::AFTER_PLUS;
        break;
      }
      [[fallthrough]];
    case FormatScan::AFTER_START:
      if (c == u'-') {
        record.end_kind = END_POSITION;
        compile.state = FormatScan::AFTER_MINUS;
        break;
      }
      if (c == u'(') {
        record.end_kind = END_LENGTH;
        compile.state = FormatScan::AFTER_PAREN;
        break;
      }
      if (c == u'/') {
        record.end_kind = END_DELIMITER;
        compile.state = FormatScan::DELIM_TEXT;
        break;
      }
      if (c == u'@') {
        record.end_kind = END_PATTERN;
        compile.state = FormatScan::PATTERN_TEXT;
        break;
      }
      [[fallthrough]];
    case FormatScan::AFTER_END:
      if (begins_options(c)) {
        const Unit* stop = here;
        record.options = format_options_parse(here, &stop);
        compile.position = here + (stop - here);
        compile.state = FormatScan::AFTER_OPTIONS;
        return;
      }
      [[fallthrough]];
    case FormatScan::AFTER_OPTIONS:
      if (c == u'*') {
        record.repeat = 1;
        compile.state = FormatScan::AFTER_STAR;
        break;
      }
      [[fallthrough]];
    case FormatScan::AFTER_STAR:
      if (c == u':') {
        compile.state = FormatScan::AT_CONVERSION;
        break;
      }
      report_syntax_error(compile, c);
      return;
    case FormatScan::AFTER_PLUS:
      if (!is_digit(c)) return report_syntax_error(compile, c);
      record.start = read_number(compile.position);
      compile.state = FormatScan::AFTER_START;
      return;
    case FormatScan::AFTER_MINUS:
      if (!is_digit(c)) return report_syntax_error(compile, c);
      record.end = read_number(compile.position);
      compile.state = FormatScan::AFTER_END;
      return;
    case FormatScan::AFTER_PAREN:
      if (c == u')') {
        record.end = 0;
        compile.state = FormatScan::AFTER_END;
        break;
      }
      if (!is_digit(c)) return report_syntax_error(compile, c);
      record.end = read_number(compile.position);
      // Digits without ")" are reported at the first digit.
      if (*compile.position != u')') return report_syntax_error(compile, c);
      compile.state = FormatScan::AFTER_END;
      break;  // past the ")"
    case FormatScan::DELIM_TEXT:
      compile_expression(compile, u'/');
      compile.state = FormatScan::AFTER_END;
      break;  // past the NUL that ended the text
    case FormatScan::PATTERN_TEXT:
      compile_expression(compile, u'@');
      compile.state = FormatScan::AFTER_END;
      break;
    case FormatScan::AT_CONVERSION:
      compile_conversion(compile, area);
      compile.state = FormatScan::DONE;
      return;
    case FormatScan::DONE:
    case FormatScan::ERROR:
      return;
  }
  ++compile.position;
}

// States in which the format must not end.
bool is_inside_element(FormatScan state) {
  switch (state) {
    case FormatScan::AFTER_PLUS:
    case FormatScan::AFTER_MINUS:
    case FormatScan::AFTER_PAREN:
    case FormatScan::DELIM_TEXT:
    case FormatScan::PATTERN_TEXT:
    case FormatScan::AT_CONVERSION:
      return true;
    default:
      return false;
  }
}

void compile_entry(FieldEntry*& entry, Unit*& position, StorageArea& area) {
  if (entry->format_end == nullptr || entry->format_end == entry->format) {
    entry->compiled = &DefaultFormat;
    return;
  }
  area_align(alignof(FieldFormat), area);
  auto* record = static_cast<FieldFormat*>(area_reserve(sizeof(FieldFormat), area));
  *record = DefaultFormat;
  entry->compiled = record;

  FormatCompile compile{entry, position};
  position = entry->format;
  while (position < entry->format_end && compile.state != FormatScan::DONE &&
         compile.state != FormatScan::ERROR) {
    scan_step(compile, area);
  }
  if (is_inside_element(compile.state)) report_syntax_error(compile, *position);
  field_format_check(*entry->compiled, *entry);
}

}  // namespace

void field_formats_compile(FieldList& list, StorageArea& area) {
  FieldEntry* entry = list.included;
  Unit* position = nullptr;
  pact_push(translate_pair, &entry, &position, area);
  for (; entry != nullptr; entry = entry->next) compile_entry(entry, position, area);
  pact_pop(area);
}

void field_format_check(FieldFormat& format, FieldEntry& entry) {
  if ((format.options & OPTION_N) != 0) format.options = 0;
  if (format.start_kind == START_ABSOLUTE && format.end_kind == END_POSITION &&
      format.start > format.end) {
    report_field("start > end error in the field %.*ls.\n", entry);
  }
  if (format.repeat != 0 && format.end_kind == END_POSITION) {
    report_field("end position and * conflicts in the format of the field %.*ls.\n", entry);
  }
  if (format.repeat != 0 && format.end_kind == END_LENGTH && format.end == 0) {
    report_field("zero length field repeats in the field %.*ls.\n", entry);
  }
  // Also tests an inherited -t expression; a null one is reported by wregexec.
  if (format_matches_null(format.regex)) {
    report_field("format delimiter or pattern matches null in the field %.*ls.\n", entry);
  }
  if (format.cfmt != nullptr && (format.options & OPTION_F) != 0) {
    report_field("cfmt is not allowed with f option in the field %.*ls.\n", entry);
  }
}

wregexp* format_compile_expression(const Unit* text) {
  static const Unit kNewlineExpression[] = {u'\n', 0};
  return wregcomp(text[0] != 0 ? text : kNewlineExpression);
}

// Probed on one ordinary character: an expression that can match nothing
// matches the empty text before it.
bool format_matches_null(wregexp* regex) {
  static const Unit kProbeText[] = {u'A', 0};
  return wregexec(regex, kProbeText) == 1 && regex->match_starts[0] == regex->match_ends[0];
}

std::size_t format_delim_length(const Unit* text, Unit terminator) {
  std::size_t n = 0;
  while (text[n] != 0 && text[n] != terminator) {
    n += (text[n] == u'\\' && text[n + 1] != 0) ? 2 : 1;
  }
  return n;
}

Unit* format_delim_unescape(Unit* text, Unit terminator) {
  const Unit* read = text;
  Unit* write = text;
  while (*read != 0) {
    if (*read == u'\\' && read[1] != 0) {
      // The pair stands for its second character when that one would
      // otherwise end the text or escape; else the expression gets both.
      if (read[1] != terminator && read[1] != u'\\') *write++ = u'\\';
      *write++ = read[1];
      read += 2;
      continue;
    }
    *write++ = *read++;
  }
  *write = 0;
  return text;
}

int32_t cfmt_classify(const Unit* text) {
  const Unit* p = text;
  // The wide forms carry the "l" size bit, once even after an "l" prefix.
  // A suppressed ("%*") or literal ("%%") conversion passes the question on
  // to the next one; a loop, so a long run of them needs no deep stack.
  for (;;) {
    while (*p != 0 && *p != u'%') ++p;
    if (*p == 0) return 0;
    ++p;
    if (*p == u'*') {
      ++p;
      continue;
    }
    while (is_digit(*p)) ++p;
    int32_t size = 0;
    if (*p == u'l') {
      size = CFMT_SIZE_L;
      ++p;
    } else if (*p == u'h') {
      size = CFMT_SIZE_H;
      ++p;
    }
    switch (*p) {
      case u'%':
        ++p;
        continue;
      case u'd':
      case u'i':
      case u'n':
      case u'o':
      case u'x':
        return size + CFMT_SIGNED;
      case u'u':
        return size + CFMT_UNSIGNED;
      case u'e':
      case u'f':
      case u'g':
        return size + CFMT_FLOAT;
      case u's':
      case u'[':
        return size + CFMT_STRING;
      case u'S':
        return (size | CFMT_SIZE_L) + CFMT_STRING;
      case u'c':
        return size + CFMT_CHAR;
      case u'C':
        return (size | CFMT_SIZE_L) + CFMT_CHAR;
      case u'w':
        if (p[1] == u's') return (size | CFMT_SIZE_L) + CFMT_STRING;
        if (p[1] == u'c') return (size | CFMT_SIZE_L) + CFMT_CHAR;
        return size;
      default:
        return size;
    }
  }
}
