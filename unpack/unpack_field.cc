// unpack_field.cc — the pass over one chosen value: where each piece starts
// and ends, the label and newline around it, when the passes stop, and the
// engine's three warnings. Every pass consumes at least one unit or the one
// empty piece still due, so no value and no expression can make it loop.
#include <algorithm>
#include <cstdint>

#include "charcode/charcode.h"
#include "driver/messages.h"
#include "unpack/convert.h"
#include "unpack/extract.h"
#include "unpack/unpack.h"

namespace {

constexpr Unit NEWLINE = 0x0A;

// State of one unpack_field call.
struct Decomposition {
  Unit* value;          // first unit of the value (offset 0)
  Unit* eol;            // one past the value; holds 0 during the call
  int64_t position;     // offset where the next piece begins; may lie beyond eol
  bool trailing_empty;  // one empty piece is still due at eol
  char* work_text;      // piece collected for a conversion; a pact keeps it valid
  StorageArea* work;    // the wsize area
  OutputStream* out;
};

enum FieldError { TRUNCATED = 2, END_BEFORE_START = 3, MORE_THAN_ONE_CONVERSION = 7 };

void decompose(Decomposition& d, FieldEntry& entry);
const Unit* write_piece(Decomposition& d, FieldEntry& entry, const FieldFormat& format,
                        const Unit* here, const Unit* piece_end, const Match* known);
const Unit* extract_piece(Decomposition& d, const FieldFormat& format, const Unit* here,
                          const Unit* piece_end, const Match* known, PieceSink& sink);
void report_field_error(FieldError code, FieldEntry& entry);
const FieldFormat& format_of(const FieldEntry& entry);
bool matches_newline(wregexp* regex);
bool is_delimited(const FieldFormat& format);

}  // namespace

void unpack_field(FieldEntry& entry, Unit** eol, StorageArea& work, OutputStream& out) {
  Decomposition d{entry.format, *eol, 0, false, nullptr, &work, &out};
  pact_push(translate_pair, &d.work_text, nullptr, work);
  const Unit saved = *d.eol;
  *d.eol = 0;  // bounds every expression search
  if (d.value == d.eol) d.trailing_empty = matches_newline(format_of(entry).regex);
  decompose(d, entry);
  *d.eol = saved;
  pact_pop(work);
}

namespace {

// The passes of one entry of the list, one piece per pass.
void decompose(Decomposition& d, FieldEntry& entry) {
  const FieldFormat& format = format_of(entry);
  const int64_t length = d.eol - d.value;
  for (;;) {
    Match known;  // a search from the piece's start, handed on to the extraction
    bool searched = false;
    if (format.start_kind == START_RELATIVE) {
      d.position += std::max(format.start, 0);
      d.trailing_empty = false;
    } else if (format.start_kind == START_NONE && format.end_kind == END_DELIMITER &&
               d.position < length) {
      const Unit* here = d.value + d.position;
      known = find_match(format.regex, here);
      searched = true;
      if (known.start == here && absorbs_runs(format.regex, known.start, known.end)) {
        d.position = known.end - d.value;  // a leading run of delimiters is skipped
        searched = false;
      }
    }
    if (d.position > length) return;
    if (d.position == length && !d.trailing_empty) return;
    const Unit* here = d.value + d.position;
    if (format.end_kind == END_PATTERN) {
      known = find_match(format.regex, here);
      searched = true;
      if (known.start == nullptr) return;  // the rest of the value is not written
    }
    d.trailing_empty = false;
    const Unit* piece_end = nullptr;
    if (format.end_kind == END_POSITION || format.end_kind == END_LENGTH) {
      int64_t end =
          format.end_kind == END_POSITION ? int64_t{format.end} + 1 : d.position + format.end;
      if (end > length) {
        report_field_error(TRUNCATED, entry);
        end = length;
      }
      if (end <= d.position) {
        report_field_error(END_BEFORE_START, entry);
        return;
      }
      piece_end = d.value + end;
    } else if (!is_delimited(format)) {
      return;  // no such end kind
    }
    const Unit* next = write_piece(d, entry, format, here, piece_end, searched ? &known : nullptr);
    int64_t next_position = next - d.value;
    // A guard only: every pass advances (see the contract at the top of the file).
    if (next_position <= d.position && next_position < length) return;
    d.position = next_position;
    if (format.repeat == 0) return;
    if (d.position > length || (d.position == length && !d.trailing_empty)) return;
  }
}

// Writes one piece with its label and newline (or drops it for an empty label).
const Unit* write_piece(Decomposition& d, FieldEntry& entry, const FieldFormat& format,
                        const Unit* here, const Unit* piece_end, const Match* known) {
  const std::size_t label_length = static_cast<std::size_t>(entry.format - entry.name);
  if (label_length < 2) {  // the line began with ':': the piece is consumed, nothing written
    PieceSink discard{PIECE_DISCARD, nullptr, nullptr, nullptr};
    return extract_piece(d, format, here, piece_end, known, discard);
  }
  if ((format.options & OPTION_F) == 0) out_putunits(entry.name, label_length, *d.out);
  const Unit* next;
  if (format.cfmt == nullptr) {
    PieceSink output{PIECE_OUTPUT, d.out, nullptr, nullptr};
    next = extract_piece(d, format, here, piece_end, known, output);
  } else {
    PieceSink collect{PIECE_WORK_TEXT, d.out, d.work, &d.work_text};
    next = extract_piece(d, format, here, piece_end, known, collect);
    if (convert_cfmt(d.work_text, format, *d.work, *d.out) > 1) {
      report_field_error(MORE_THAN_ONE_CONVERSION, entry);
    }
    d.work->head = d.work_text;  // frees the text and the converted value
    d.work_text = nullptr;
  }
  out_putunits(&NEWLINE, 1, *d.out);  // the bulk writer takes ASCII without the locale
  return next;
}

// Copies one piece from `here` to `sink`; returns where the next one begins.
const Unit* extract_piece(Decomposition& d, const FieldFormat& format, const Unit* here,
                          const Unit* piece_end, const Match* known, PieceSink& sink) {
  if (is_delimited(format)) {
    return extract_delimited(here, d.eol, format, known, sink, d.trailing_empty);
  }
  return extract_fixed(here, piece_end, format, sink);
}

// Prints a warning with the field name (the label without its ':').
void report_field_error(FieldError code, FieldEntry& entry) {
  const int name_length = field_name_length(entry);
  const char* file = current_file_name != nullptr ? current_file_name : "(stdin)";
  switch (code) {
    case TRUNCATED:
      message(MSG_ERROR, "field %.*ls truncated by the end of line at %s(%d).\n", name_length,
              entry.name, file, record_number);
      break;
    case END_BEFORE_START:
      message(MSG_ERROR, "field %.*ls end position is smaller than the start at %s(%d).\n",
              name_length, entry.name, file, record_number);
      break;
    case MORE_THAN_ONE_CONVERSION:
      message(MSG_ERROR, "field %.*ls cfmt has more than one %% at %s(%d).\n", name_length,
              entry.name, file, record_number);
      break;
  }
}

const FieldFormat& format_of(const FieldEntry& entry) {
  return entry.compiled != nullptr ? *entry.compiled : DefaultFormat;
}

// An empty value yields one empty piece when the expression matches a
// newline (as the newline delimiter of an empty -t text does).
bool matches_newline(wregexp* regex) {
  static const Unit kNewlineText[] = {NEWLINE, 0};
  return find_match(regex, kNewlineText).start != nullptr;
}

bool is_delimited(const FieldFormat& format) {
  return format.end_kind == END_DELIMITER || format.end_kind == END_PATTERN;
}

}  // namespace
