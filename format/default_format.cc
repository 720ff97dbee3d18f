// default_format.cc — DefaultFormat from the -t delimiter and the -z letters,
// and the reader of option letters that formats share. Problems are counted
// messages; DefaultFormat is always left usable (regex null if -t failed).
#include <cstddef>

#include "driver/messages.h"
#include "format/field_format.h"

FieldFormat DefaultFormat = {START_NONE, 0, END_DELIMITER, 0, nullptr, 0, 0, nullptr, 0, {}};

FieldFormat* default_format_init(const char* delimiter_text, const char* options_text,
                                 StorageArea& area) {
  DefaultFormat = FieldFormat{START_NONE, 0, END_DELIMITER, 0, nullptr, 0, 0, nullptr, 0, {}};
  Unit* delimiter = area_widen(delimiter_text != nullptr ? delimiter_text : "\t", area);
  pact_push(translate_pair, &delimiter, nullptr, area);
  Unit* options = area_widen(options_text != nullptr ? options_text : "", area);
  pact_pop(area);
  if (delimiter == nullptr) {
    message(MSG_ERROR, "code error in the -t option.\n");
    return &DefaultFormat;
  }
  if (options == nullptr) {
    message(MSG_ERROR, "code error in the -z option.\n");
    return &DefaultFormat;
  }
  DefaultFormat.regex = format_compile_expression(delimiter);
  if (format_matches_null(DefaultFormat.regex)) {
    message(MSG_ERROR, "-t delimiter matches null string.\n");
  }
  const Unit* stop = nullptr;
  DefaultFormat.options = format_options_parse(options, &stop);
  if (*stop != 0) message(MSG_ERROR, "-z option error '%lc'.\n", static_cast<int>(*stop));
  return &DefaultFormat;
}

uint32_t format_options_parse(const Unit* text, const Unit** end_out) {
  uint32_t bits = 0;
  const Unit* p = text;
  for (;; ++p) {
    uint32_t bit = format_option_bit(*p);
    if (bit == 0) break;
    bits |= bit;
  }
  if (end_out != nullptr) *end_out = p;
  return bits;
}

uint32_t format_option_bit(Unit letter) {
  switch (letter) {
    case u'l':
      return OPTION_L;
    case u'r':
      return OPTION_R;
    case u'n':
      return OPTION_N;
    case u'q':
      return OPTION_Q;
    case u'Q':
      return OPTION_SQUOTE;
    case u'b':
      return OPTION_B;
    case u'f':
      return OPTION_F;
    case u'x':
      return OPTION_X;
    default:
      return 0;
  }
}
