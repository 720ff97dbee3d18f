// reader.cc — the record reader: decoded units into the chars area, one
// FieldSpan per line into the spans area. record_read copies whole runs of
// ordinary units at a time; record_read_reference is the unit-by-unit state
// machine it must match exactly. Both report a code error per undecodable
// sequence and a read error once per file; neither ever reads past the end.
#include "io/reader.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "charcode/charcode.h"
#include "charcode/lanes.h"
#include "driver/messages.h"

namespace {

constexpr Unit NEWLINE = 10;
constexpr Unit COLON = 58;
constexpr Unit END_OR_ERROR = 0xFFFF;

enum ReaderState { LINE_START, IN_LABEL, AFTER_COLON, IN_VALUE, RECORD_END };

// One record being read. The pacts hold the addresses of table_start and
// span, so both live here for the whole call and nowhere else.
struct RecordBuild {
  StorageArea& chars;              // the record's units
  StorageArea& spans;              // its FieldSpan table
  FieldSpan* table_start = nullptr;  // first span; null until the first line begins
  FieldSpan* span = nullptr;         // the span being built, always the table's last
  int32_t span_count = 0;
};

// After the chars area moved: every span built so far follows it.
int32_t spans_translate(void* a, void* b, StorageArea& area) {
  FieldSpan* first = *static_cast<FieldSpan**>(a);
  FieldSpan* last = *static_cast<FieldSpan**>(b);
  if (first == nullptr) return 0;
  for (FieldSpan* span = first; span <= last; ++span) {
    span->line = area_translate(span->line, area);
    span->value = area_translate(span->value, area);
    span->eol = area_translate(span->eol, area);
  }
  return 0;
}

// After the spans area moved. The current span needs nothing: the spans area
// grows only while a new span is reserved, and `span` is set from its result.
int32_t table_start_translate(void* a, void*, StorageArea& area) {
  FieldSpan** table_start = static_cast<FieldSpan**>(a);
  *table_start = area_translate(*table_start, area);
  return 0;
}

void begin_record(RecordBuild& build) {
  area_align(alignof(FieldSpan), build.spans);
  area_align(alignof(Unit), build.chars);
  pact_push(spans_translate, &build.table_start, &build.span, build.chars);
  pact_push(table_start_translate, &build.table_start, nullptr, build.spans);
}

void new_span(RecordBuild& build) {
  FieldSpan* span = static_cast<FieldSpan*>(area_reserve(sizeof(FieldSpan), build.spans));
  *span = FieldSpan{nullptr, nullptr, nullptr};
  if (build.table_start == nullptr) build.table_start = span;
  build.span = span;
  ++build.span_count;
}

// Appends units to the current line; its first store sets `line`. The start
// is set here rather than through area_reserve_object's reference, because
// spans_translate may rewrite `line` while the area grows.
Unit* store_units(RecordBuild& build, const Unit* units, std::size_t count) {
  Unit* stored = static_cast<Unit*>(area_reserve(count * sizeof(Unit), build.chars));
  std::memcpy(stored, units, count * sizeof(Unit));
  if (build.span->line == nullptr) build.span->line = stored;
  return stored;
}

// The end of the file ends the record; a line it cuts gets its newline.
void end_input(RecordBuild& build, ReaderState state, InputStream& in) {
  if (state != LINE_START) {
    Unit* newline = store_units(build, &NEWLINE, 1);
    if (state == IN_LABEL) build.span->value = build.span->line;
    if (state == AFTER_COLON) build.span->value = newline;
    build.span->eol = newline;
  }
  // The decoders see a read error as the end of the file, so the file's
  // records end here; the error is reported once, as a counted error that
  // names the file, and reading goes on with the next file.
  if (in.read_failed) {
    message(MSG_ERROR, "read error in K-file %s.\n", current_file_name);
    in.read_failed = false;
  }
}

void report_code_error() {
  message(MSG_ERROR, "code error in K-file %s(%d).\n", current_file_name, record_number);
}

// The end marker: a span of nulls whose eol is a 0 unit after the last line.
FieldSpan* finish_record(RecordBuild& build) {
  if (build.span_count > 0) {
    FieldSpan* marker = static_cast<FieldSpan*>(area_reserve(sizeof(FieldSpan), build.spans));
    *marker = FieldSpan{nullptr, nullptr, nullptr};
    build.span = marker;  // before the chars area may move: the range must end in the table
    Unit* terminator = static_cast<Unit*>(area_reserve(sizeof(Unit), build.chars));
    *terminator = 0;
    marker->eol = terminator;
  }
  pact_pop(build.spans);
  pact_pop(build.chars);
  return build.span_count > 0 ? build.table_start : nullptr;
}

// The two texts a run is taken from: the decoded units, and, when the input
// code keeps ASCII, the input block's ASCII bytes themselves (in_getwc would
// give each as the unit of the same value, one byte per unit).
class UnitText {
 public:
  using Char = Unit;
  explicit UnitText(const Unit* units) : units_(units) {}
  Unit operator[](std::size_t i) const { return units_[i]; }
  // The state machine does not store 0 and 0xFFFF: they end a run.
  static bool ends_run(Unit unit) { return unit == 0 || unit == END_OR_ERROR; }
  // Index of the first unit from i below end that a run stops at (one that
  // ends a run, the newline, and in a label the ':'), or end.
  template <bool in_label>
  std::size_t find_stop(std::size_t i, std::size_t end) const {
    constexpr Unit fourth = in_label ? COLON : NEWLINE;
    for (; i + LANES <= end; i += LANES) {
      std::size_t lane = find_unit_of(units_ + i, NEWLINE, 0, END_OR_ERROR, fourth);
      if (lane < LANES) return i + lane;
    }
    for (; i < end; ++i) {
      Unit unit = units_[i];
      if (unit == NEWLINE || unit == fourth || ends_run(unit)) break;
    }
    return i;
  }
  void copy(Unit* stored, std::size_t from, std::size_t count) const {
    std::memcpy(stored, units_ + from, count * sizeof(Unit));
  }

 private:
  const Unit* units_;
};

// Bytes are classified 64 at a time into bit masks, once per block: a line
// then costs a few bit operations per stop instead of a search. The input
// block has STREAM_PADDING readable bytes after its end, so a block of 64
// may reach past it; bits beyond `end` are never used.
class AsciiText {
 public:
  using Char = unsigned char;
  explicit AsciiText(const unsigned char* bytes) : bytes_(bytes) {}
  unsigned char operator[](std::size_t i) const { return bytes_[i]; }
  // 0 is dropped and other bytes are left to the decoder: they end a run.
  static bool ends_run(unsigned char byte) { return byte == 0 || byte >= 0x80; }
  template <bool in_label>
  std::size_t find_stop(std::size_t i, std::size_t end) {
    while (i < end) {
      if (!classified_ || i < block_ || i >= block_ + 64) classify(i);
      uint64_t stops = (newlines_ | run_ends_ | (in_label ? colons_ : 0)) >> (i - block_);
      if (stops != 0) {
        std::size_t stop = i + static_cast<std::size_t>(std::countr_zero(stops));
        return stop < end ? stop : end;
      }
      i = block_ + 64;
    }
    return end;
  }
  // Decoding a run of ASCII is widening it.
  void copy(Unit* stored, std::size_t from, std::size_t count) const {
    const unsigned char* bytes = bytes_ + from;
    std::size_t k = 0;
    for (; k + LANES <= count; k += LANES) widen_bytes(bytes + k, stored + k);
    for (; k < count; ++k) stored[k] = bytes[k];
  }

 private:
  void classify(std::size_t at) {
    static_assert(STREAM_PADDING >= 64);
    block_ = at;
    classified_ = true;
    newlines_ = colons_ = run_ends_ = 0;
    for (int k = 0; k < 4; ++k) {
      const unsigned char* lanes = bytes_ + at + 16 * k;
      newlines_ |= static_cast<uint64_t>(bytes_equal(lanes, NEWLINE)) << (16 * k);
      colons_ |= static_cast<uint64_t>(bytes_equal(lanes, COLON)) << (16 * k);
      run_ends_ |= static_cast<uint64_t>(bytes_zero_or_high(lanes)) << (16 * k);
    }
  }

  const unsigned char* bytes_;
  bool classified_ = false;
  std::size_t block_ = 0;  // first byte of the classified block; bit k is byte block_ + k
  uint64_t newlines_ = 0;
  uint64_t colons_ = 0;
  uint64_t run_ends_ = 0;
};

constexpr std::size_t NOT_IN_RUN = SIZE_MAX;         // the position lies in another run
constexpr std::size_t CONTINUED = SIZE_MAX;          // the piece continues the current span
constexpr std::size_t VALUE_IS_LINE = SIZE_MAX - 1;  // a line without ':' ended
constexpr int PIECES_PER_RUN = 64;

// One line, or the part of one that lies in a run; positions index the text.
struct LinePiece {
  std::size_t start;  // the line's first unit, or CONTINUED
  std::size_t value;  // the value's first unit, VALUE_IS_LINE, or NOT_IN_RUN
  std::size_t eol;    // the newline, or NOT_IN_RUN
};

// A run: units that the state machine would store one after another, up to
// one that ends a run, the empty line that ends the record, or the text's
// end. It is stored with one reservation and one copy.
struct Run {
  LinePiece pieces[PIECES_PER_RUN];
  int piece_count = 0;
  std::size_t end = 0;             // one past the run's last unit
  ReaderState state = LINE_START;  // the state after its last unit
};

// The state machine's transitions, taken a line at a time: finds the run
// that starts at `from` (a unit that is stored) and its line pieces.
template <class Text>
void scan_run(Text& text, std::size_t from, std::size_t end, ReaderState state, Run& run) {
  std::size_t i = from;
  LinePiece* piece = nullptr;
  if (state != LINE_START) {
    piece = &run.pieces[run.piece_count++];
    *piece = LinePiece{CONTINUED, NOT_IN_RUN, NOT_IN_RUN};
  }
  for (;;) {
    if (state == LINE_START) {
      if (i == end || text[i] == NEWLINE || Text::ends_run(text[i])) break;
      if (run.piece_count == PIECES_PER_RUN) break;
      piece = &run.pieces[run.piece_count++];
      *piece = LinePiece{i, NOT_IN_RUN, NOT_IN_RUN};
      state = IN_LABEL;
    }
    if (state == IN_LABEL) {
      i = text.template find_stop<true>(i, end);
      if (i == end || Text::ends_run(text[i])) break;
      if (text[i] == NEWLINE) {
        piece->value = VALUE_IS_LINE;
        piece->eol = i++;
        state = LINE_START;
        continue;
      }
      ++i;  // the label's ':'
      state = AFTER_COLON;
    }
    if (state == AFTER_COLON) {
      if (i == end || Text::ends_run(text[i])) break;
      piece->value = i;
      state = IN_VALUE;
    }
    i = text.template find_stop<false>(i, end);
    if (i == end || Text::ends_run(text[i])) break;
    piece->eol = i++;
    state = LINE_START;
  }
  run.end = i;
  run.state = state;
}

// Sets the span's pointers that the piece knows; `stored` holds the unit
// of text position `from`.
void place_piece(FieldSpan& span, const LinePiece& piece, Unit* stored, std::size_t from) {
  if (piece.start != CONTINUED) span.line = stored + (piece.start - from);
  if (piece.value == VALUE_IS_LINE) span.value = span.line;
  if (piece.value < VALUE_IS_LINE) span.value = stored + (piece.value - from);
  if (piece.eol != NOT_IN_RUN) span.eol = stored + (piece.eol - from);
}

// Stores the run and builds its spans. The chars area is reserved first (it
// may move the spans' pointers, which the pact translates), the new spans
// after it, all at once: consecutive like one reservation each.
template <class Text>
void store_run(RecordBuild& build, const Text& text, std::size_t from, const Run& run) {
  std::size_t count = run.end - from;
  Unit* stored = static_cast<Unit*>(area_reserve(count * sizeof(Unit), build.chars));
  text.copy(stored, from, count);
  int first_new = 0;
  if (run.pieces[0].start == CONTINUED) {
    place_piece(*build.span, run.pieces[0], stored, from);
    first_new = 1;
  }
  int new_spans = run.piece_count - first_new;
  if (new_spans == 0) return;
  FieldSpan* spans = static_cast<FieldSpan*>(
      area_reserve(static_cast<std::size_t>(new_spans) * sizeof(FieldSpan), build.spans));
  if (build.table_start == nullptr) build.table_start = spans;
  for (int k = 0; k < new_spans; ++k) {
    spans[k] = FieldSpan{nullptr, nullptr, nullptr};
    place_piece(spans[k], run.pieces[first_new + k], stored, from);
  }
  build.span = spans + new_spans - 1;
  build.span_count += new_spans;
}

// Whether the next unit can be taken from the input block as an ASCII byte:
// nothing decoded or held ahead of it, and the byte is one that a run takes.
bool next_is_ascii_byte(const InputStream& in) {
  return in_keeps_ascii && in.units_pos == in.units_end && in.pending == 0 &&
         in.buffer_pos < in.buffer_end && !AsciiText::ends_run(in.buffer[in.buffer_pos]);
}

}  // namespace

FieldSpan* record_next(InputStream& in, StorageArea& chars, StorageArea& spans) {
  for (;;) {
    ++in.record_in_file;
    record_number = in.record_in_file;
    current_file_name = in.name != nullptr ? in.name : "(stdin)";
    FieldSpan* table = record_read(in, chars, spans);
    if (table != nullptr) return table;
    if (input_next_file(in) == 1) return nullptr;
  }
}

// Bulk form of the state machine below: the units between two that it does
// not store are stored as runs, with one reservation and one copy each.
// When the input code keeps ASCII, runs are taken from the input block's
// bytes and the decoder is asked for one unit at a time only at other
// bytes; otherwise it decodes whole blocks of units ahead.
FieldSpan* record_read(InputStream& in, StorageArea& chars, StorageArea& spans) {
  RecordBuild build{chars, spans};
  begin_record(build);
  ReaderState state = LINE_START;
  while (state != RECORD_END) {
    if (next_is_ascii_byte(in)) {
      if (state == LINE_START && in.buffer[in.buffer_pos] == NEWLINE) {
        ++in.buffer_pos;
        if (build.span_count > 0) state = RECORD_END;
        continue;
      }
      Run run;
      AsciiText text(in.buffer);
      scan_run(text, in.buffer_pos, in.buffer_end, state, run);
      store_run(build, text, in.buffer_pos, run);
      in.buffer_pos = run.end;
      state = run.state;
      continue;
    }
    if (in.units_pos == in.units_end) {
      in.units_end = in_getunits(in, in.units, in_keeps_ascii ? 1 : UNIT_BLOCK);
      in.units_pos = 0;
    }
    Unit unit = in.units[in.units_pos];
    if (unit == 0) {
      ++in.units_pos;
      continue;
    }
    if (unit == END_OR_ERROR) {
      // A unit block ends at its first 0xFFFF: end_of_file is still as the
      // decoder left it for this unit.
      ++in.units_pos;
      if (!in.end_of_file) {
        report_code_error();
        continue;
      }
      end_input(build, state, in);
      state = RECORD_END;
      continue;
    }
    if (state == LINE_START && unit == NEWLINE) {
      ++in.units_pos;
      if (build.span_count > 0) state = RECORD_END;
      continue;
    }
    Run run;
    UnitText text(in.units);
    scan_run(text, in.units_pos, in.units_end, state, run);
    store_run(build, text, in.units_pos, run);
    in.units_pos = run.end;
    state = run.state;
  }
  return finish_record(build);
}

FieldSpan* record_read_reference(InputStream& in, StorageArea& chars, StorageArea& spans) {
  RecordBuild build{chars, spans};
  begin_record(build);
  ReaderState state = LINE_START;
  while (state != RECORD_END) {
    Unit unit = in_getwc(in);
    if (unit == 0) continue;
    if (unit == END_OR_ERROR) {
      if (!in.end_of_file) {
        report_code_error();
        continue;
      }
      end_input(build, state, in);
      state = RECORD_END;
      continue;
    }
    if (state == LINE_START) {
      if (unit == NEWLINE) {
        if (build.span_count > 0) state = RECORD_END;
        continue;
      }
      new_span(build);
      state = IN_LABEL;
    }
    Unit* stored = store_units(build, &unit, 1);
    switch (state) {
      case IN_LABEL:
        if (unit == COLON) state = AFTER_COLON;
        if (unit == NEWLINE) build.span->value = build.span->line;
        break;
      case AFTER_COLON:
        build.span->value = stored;
        state = IN_VALUE;
        break;
      default:
        break;
    }
    if (unit == NEWLINE) {
      build.span->eol = stored;
      state = LINE_START;
    }
  }
  return finish_record(build);
}
