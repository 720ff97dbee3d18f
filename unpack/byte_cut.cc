// byte_cut.cc — the byte form of unpack_field for a literal delimiter (and
// its run). Such a delimiter never absorbs runs (its doubled text is longer
// than any match unless the literal is all run units, which is turned
// down), so no leading delimiter is skipped and a value that ends with one
// gets an empty last piece; nor does it match a newline, so an empty value
// gives no piece at all.
#include "unpack/byte_cut.h"

#include <cstring>

#include "wregexp/wregexp.h"

namespace {

constexpr unsigned char NEWLINE = '\n';

bool is_plain_ascii(Unit unit) {
  return unit != 0 && unit < 0x80 && unit != NEWLINE;
}

// The leftmost match from p of the delimiter within [p, end): its start and
// end; false when there is none. The byte at end is the line's newline,
// which no delimiter byte equals.
bool find_delimiter(const ByteCut& cut, const unsigned char* p, const unsigned char* end,
                    const unsigned char*& start, const unsigned char*& match_end) {
  const std::size_t length = cut.length;
  while (static_cast<std::size_t>(end - p) >= length) {
    const void* found = std::memchr(p, cut.literal[0], static_cast<std::size_t>(end - p));
    if (found == nullptr) return false;
    const unsigned char* q = static_cast<const unsigned char*>(found);
    if (static_cast<std::size_t>(end - q) < length) return false;
    if (std::memcmp(q + 1, cut.literal + 1, length - 1) == 0) {
      const unsigned char* after = q + length;
      if (cut.repeated == 0) {
        start = q;
        match_end = after;
        return true;
      }
      if (!cut.at_least_one || (after < end && *after == cut.repeated)) {
        while (after < end && *after == cut.repeated) ++after;
        start = q;
        match_end = after;
        return true;
      }
    }
    p = q + 1;
  }
  return false;
}

// One "label:piece" line, copied into the output block at once when it fits.
void put_piece(OutputStream& out, const unsigned char* label, std::size_t label_length,
               const unsigned char* piece, std::size_t piece_length) {
  std::size_t total = label_length + piece_length + 1;
  if (out.buffer_size - out.buffer_used >= total) {
    unsigned char* to = out.buffer + out.buffer_used;
    std::memcpy(to, label, label_length);
    std::memcpy(to + label_length, piece, piece_length);
    to[total - 1] = NEWLINE;
    out.buffer_used += total;
    return;
  }
  output_bytes(out, label, label_length);
  output_bytes(out, piece, piece_length);
  output_byte(out, NEWLINE);
}

}  // namespace

ByteCut byte_cut_plan(const FieldFormat& format) {
  ByteCut cut{};
  const wregexp* regex = format.regex;
  constexpr uint32_t CHANGES_PIECES = OPTION_Q | OPTION_SQUOTE | OPTION_B | OPTION_F;
  if (format.start_kind != START_NONE || format.end_kind != END_DELIMITER ||
      format.cfmt != nullptr || format.repeat != 1 || (format.options & CHANGES_PIECES) != 0 ||
      regex == nullptr || !regex->quick.simple || regex->quick.literal == nullptr) {
    return cut;
  }
  const QuickShape& shape = regex->quick;
  if (shape.literal_length < 1 || shape.literal_length > static_cast<int32_t>(sizeof cut.literal)) {
    return cut;
  }
  if (shape.repeated != 0 && !is_plain_ascii(shape.repeated)) return cut;
  bool all_run_units = true;
  for (int32_t i = 0; i < shape.literal_length; ++i) {
    if (!is_plain_ascii(shape.literal[i])) return cut;
    all_run_units = all_run_units && shape.literal[i] == shape.repeated;
    cut.literal[i] = static_cast<unsigned char>(shape.literal[i]);
  }
  if (all_run_units) return cut;  // ' +' and the like absorb runs
  cut.length = static_cast<unsigned char>(shape.literal_length);
  cut.repeated = static_cast<unsigned char>(shape.repeated);
  cut.at_least_one = shape.at_least_one;
  cut.usable = true;
  return cut;
}

bool unpack_field_bytes(const FieldFormat& format, const unsigned char* line,
                        std::size_t label_length, std::size_t line_length, OutputStream& out) {
  const ByteCut& cut = format.byte_cut;
  if (!cut.usable || label_length < 2) return false;
  const unsigned char* p = line + label_length;
  const unsigned char* end = line + line_length;
  if (p == end) return true;
  for (;;) {
    const unsigned char *start, *match_end;
    if (!find_delimiter(cut, p, end, start, match_end)) {
      put_piece(out, line, label_length, p, static_cast<std::size_t>(end - p));
      return true;
    }
    put_piece(out, line, label_length, p, static_cast<std::size_t>(start - p));
    p = match_end;
    if (p == end) {  // the value ended with a delimiter: one empty piece is due
      put_piece(out, line, label_length, p, 0);
      return true;
    }
  }
}
