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

// The line's bytes as units: one byte each, or two (UTF-16LE).
template <std::size_t W>
unsigned unit_at(const unsigned char* p) {
  if constexpr (W == 1) {
    return *p;
  } else {
    return p[0] | p[1] << 8;
  }
}

// Where the unit next occurs in [p, end), or null.
template <std::size_t W>
const unsigned char* find_unit(const unsigned char* p, const unsigned char* end, unsigned unit) {
  if constexpr (W == 1) {
    return static_cast<const unsigned char*>(std::memchr(p, static_cast<int>(unit),
                                                         static_cast<std::size_t>(end - p)));
  } else {
    for (; p < end; p += W) {
      if (unit_at<W>(p) == unit) return p;
    }
    return nullptr;
  }
}

// The leftmost match from p of the delimiter within [p, end): its start and
// end; false when there is none. The unit at end is the line's newline,
// which no delimiter unit equals.
template <std::size_t W>
bool find_delimiter(const ByteCut& cut, const unsigned char* p, const unsigned char* end,
                    const unsigned char*& start, const unsigned char*& match_end) {
  const std::size_t length = W * cut.length;
  while (static_cast<std::size_t>(end - p) >= length) {
    const unsigned char* q = find_unit<W>(p, end, cut.literal[0]);
    if (q == nullptr || static_cast<std::size_t>(end - q) < length) return false;
    std::size_t k = 1;
    while (k < cut.length && unit_at<W>(q + W * k) == cut.literal[k]) ++k;
    if (k == cut.length) {
      const unsigned char* after = q + length;
      bool has_run = after < end && unit_at<W>(after) == cut.repeated;
      if (cut.repeated == 0 || !cut.at_least_one || has_run) {
        while (cut.repeated != 0 && after < end && unit_at<W>(after) == cut.repeated) after += W;
        start = q;
        match_end = after;
        return true;
      }
    }
    p = q + W;
  }
  return false;
}

// One "label:piece" line, copied into the output block at once when it fits.
template <std::size_t W>
void put_piece(OutputStream& out, const unsigned char* label, std::size_t label_length,
               const unsigned char* piece, std::size_t piece_length) {
  static constexpr unsigned char newline[2] = {NEWLINE, 0};
  std::size_t total = label_length + piece_length + W;
  if (out.buffer_size - out.buffer_used >= total) {
    unsigned char* to = out.buffer + out.buffer_used;
    std::memcpy(to, label, label_length);
    std::memcpy(to + label_length, piece, piece_length);
    std::memcpy(to + label_length + piece_length, newline, W);
    out.buffer_used += total;
    return;
  }
  output_bytes(out, label, label_length);
  output_bytes(out, piece, piece_length);
  output_bytes(out, newline, W);
}

template <std::size_t W>
void cut_line(const ByteCut& cut, const unsigned char* line, std::size_t label_length,
              std::size_t line_length, OutputStream& out) {
  const unsigned char* p = line + label_length;
  const unsigned char* end = line + line_length;
  if (p == end) return;
  for (;;) {
    const unsigned char *start, *match_end;
    if (!find_delimiter<W>(cut, p, end, start, match_end)) {
      put_piece<W>(out, line, label_length, p, static_cast<std::size_t>(end - p));
      return;
    }
    put_piece<W>(out, line, label_length, p, static_cast<std::size_t>(start - p));
    p = match_end;
    if (p == end) {  // the value ended with a delimiter: one empty piece is due
      put_piece<W>(out, line, label_length, p, 0);
      return;
    }
  }
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
                        std::size_t label_length, std::size_t line_length, bool utf16le,
                        OutputStream& out) {
  const ByteCut& cut = format.byte_cut;
  if (!cut.usable || label_length < (utf16le ? 4u : 2u)) return false;
  if (utf16le) {
    cut_line<2>(cut, line, label_length, line_length, out);
  } else {
    cut_line<1>(cut, line, label_length, line_length, out);
  }
  return true;
}
