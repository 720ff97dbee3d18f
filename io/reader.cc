// reader.cc — the record reader: decoded units into the chars area, one
// FieldSpan per line into the spans area. record_read takes whole runs of
// units (or of the input's ASCII bytes) at a time; record_read_reference is
// the unit-by-unit state machine it must match exactly. Both report a code
// error per undecodable sequence and a read error once per file, and
// neither asks the stream for more after its end.
#include "io/reader.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

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
  StorageArea& chars;                // the record's units
  StorageArea& spans;                // its FieldSpan table
  FieldSpan* table_start = nullptr;  // first span; null until the first line begins
  FieldSpan* span = nullptr;         // the span being built, always the table's last
  int32_t span_count = 0;
  bool marker_written = false;  // take_run met the record's end and wrote the end marker
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

// Aligns the area unless it already is (as it is after every reset).
void align_area(std::size_t alignment, StorageArea& area) {
  if (reinterpret_cast<std::uintptr_t>(area.head) % alignment != 0) area_align(alignment, area);
}

// The pacts that keep the record's pointers valid are pushed only around a
// reservation that grows its area.
Unit* reserve_units(RecordBuild& build, std::size_t count) {
  return static_cast<Unit*>(area_reserve_guarded(count * sizeof(Unit), spans_translate,
                                                 &build.table_start, &build.span, build.chars));
}

FieldSpan* reserve_spans(RecordBuild& build, std::size_t count) {
  return static_cast<FieldSpan*>(area_reserve_guarded(
      count * sizeof(FieldSpan), table_start_translate, &build.table_start, nullptr, build.spans));
}

inline void begin_record(RecordBuild& build) {
  align_area(alignof(FieldSpan), build.spans);
  align_area(alignof(Unit), build.chars);
}

void new_span(RecordBuild& build) {
  FieldSpan* span = reserve_spans(build, 1);
  *span = FieldSpan{nullptr, nullptr, nullptr};
  if (build.table_start == nullptr) build.table_start = span;
  build.span = span;
  ++build.span_count;
}

// Appends units to the current line; its first store sets `line` (after the
// reservation, which may move the area and translate `line`).
Unit* store_units(RecordBuild& build, const Unit* units, std::size_t count) {
  Unit* stored = reserve_units(build, count);
  for (std::size_t i = 0; i < count; ++i) stored[i] = units[i];
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
    message(MSG_ERROR, "read error in K-file %s: %s.\n", current_file_name,
            std::strerror(in.read_error));
    in.read_failed = false;
  }
}

void report_code_error() {
  message(MSG_ERROR, "code error in K-file %s(%d).\n", current_file_name, record_number);
}

// The end marker: a span of nulls whose eol is a 0 unit after the last line.
inline FieldSpan* finish_record(RecordBuild& build) {
  if (build.span_count > 0 && !build.marker_written) {
    FieldSpan* marker = reserve_spans(build, 1);
    *marker = FieldSpan{nullptr, nullptr, nullptr};
    build.span = marker;  // before the chars area may move: the range must end in the table
    Unit* terminator = reserve_units(build, 1);
    *terminator = 0;
    marker->eol = terminator;
  }
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

// The bytes that end a value (newline, 0, above 0x7F) are found through bit
// masks of aligned blocks of 64, made once per block: a line then costs a
// few bit operations instead of a search. A label, short as labels are, is
// searched sixteen bytes at a time from its line's start. The input block
// has STREAM_PADDING readable bytes after its end, so either may look past
// it; nothing found beyond `end` is used.
class AsciiText {
 public:
  using Char = unsigned char;
  // Takes up the block classified for the record before, unless its bytes
  // have changed since: a record is only a few blocks long, so classifying
  // anew on every call would cost about one block per record.
  explicit AsciiText(const InputStream& in) : bytes_(in.buffer) {
    if (in.classified_moves == in.block_moves) {
      block_ = in.classified_block;
      value_stops_ = in.classified_stops;
    }
  }
  // Leaves the classified block to the next record.
  void keep(InputStream& in) const {
    in.classified_block = block_;
    in.classified_stops = value_stops_;
    in.classified_moves = in.block_moves;
  }
  // The block's bytes changed (the decoder refilled or moved them).
  void forget() { block_ = NO_BLOCK; }
  unsigned char operator[](std::size_t i) const { return bytes_[i]; }
  // 0 is dropped and other bytes are left to the decoder: they end a run.
  static bool ends_run(unsigned char byte) { return byte == 0 || byte >= 0x80; }
  template <bool in_label>
  std::size_t find_stop(std::size_t i, std::size_t end) {
    return in_label ? find_label_stop(i, end) : find_value_stop(i, end);
  }
  // For a line that begins at i: true when all of it up to its newline
  // (below end) is bytes that a run takes; then `value` is where its value
  // begins (i for a line without ':') and `eol` its newline.
  bool whole_line(std::size_t i, std::size_t end, std::size_t& value, std::size_t& eol) {
    std::size_t label_end = find_label_stop(i, end);
    if (label_end == end) return false;
    value = i;
    eol = label_end;
    if (bytes_[label_end] == COLON) {
      value = label_end + 1;
      eol = find_value_stop(value, end);
    }
    return eol < end && bytes_[eol] == NEWLINE;
  }
  // Decoding a run of ASCII is widening it; the last sixteen bytes of a run
  // are widened again over some already stored (as the same units).
  void copy(Unit* stored, std::size_t from, std::size_t count) const {
    const unsigned char* bytes = bytes_ + from;
    std::size_t k = 0;
    for (; k + LANES <= count; k += LANES) widen_bytes(bytes + k, stored + k);
    if (k < count && count >= LANES) {
      widen_bytes(bytes + count - LANES, stored + count - LANES);
      return;
    }
    for (; k < count; ++k) stored[k] = bytes[k];
  }

 private:
  static constexpr std::size_t NO_BLOCK = SIZE_MAX;

  // The first byte from i below end that ends a value, or end.
  std::size_t find_value_stop(std::size_t i, std::size_t end) {
    while (i < end) {
      std::size_t block = i & ~std::size_t{63};
      if (block != block_) classify(block);
      uint64_t bits = value_stops_ >> (i - block);
      if (bits != 0) {
        std::size_t found = i + static_cast<std::size_t>(std::countr_zero(bits));
        return found < end ? found : end;
      }
      i = block + 64;
    }
    return end;
  }

  // The first byte from i below end that ends a label (a value's stops and
  // ':'), or end.
  std::size_t find_label_stop(std::size_t i, std::size_t end) {
    for (; i < end; i += LANES) {
      uint32_t bits = bytes_matching(bytes_ + i, NEWLINE) | bytes_equal(bytes_ + i, COLON);
      if (bits != 0) {
        std::size_t found = i + static_cast<std::size_t>(std::countr_zero(bits));
        return found < end ? found : end;
      }
    }
    return end;
  }

  void classify(std::size_t block) {
    static_assert(STREAM_PADDING >= 64);
    block_ = block;
    value_stops_ = 0;
    for (int k = 0; k < 4; ++k) {
      uint64_t bits = bytes_matching(bytes_ + block + 16 * k, NEWLINE);
      value_stops_ |= bits << (16 * k);
    }
  }

  const unsigned char* bytes_;
  std::size_t block_ = NO_BLOCK;  // the classified block; bit k is its byte k
  uint64_t value_stops_ = 0;      // newline, 0, above 0x7F
};

constexpr std::size_t SPANS_PER_RUN = 64;
// Bytes that must follow a character for the decoder to read it without
// refilling the block (the longest character of any code, with room).
constexpr std::size_t CHARACTER_ROOM = 16;

// Takes a run from `text` (positions from `from` below `end`): the units
// that the state machine would store one after another, up to one that ends
// a run, the empty line that ends the record, or the end; the unit at
// `from` is one that is stored. The state machine's transitions are taken a
// line at a time. The run's units, and its new spans when it reaches a
// line's start, are reserved as many as they could be, all at once
// (consecutive, like one reservation each), and what the run did not use is
// given back; so no reservation happens while pointers into the run are
// set. Returns the position after the run.
//
// In the input block, a character that is not ASCII inside a line is
// decoded where it stands (one byte and more become one or two units, so
// the run goes on in a new segment after it). A decoded unit that the state
// machine must see itself (newline, ':', the end) ends the run and is left
// in `handed_over` for take_unit.
template <class Text>
std::size_t take_run(RecordBuild& build, Text& text, std::size_t from, std::size_t end,
                     ReaderState& state, InputStream& in, int32_t& handed_over) {
  Unit* stored = reserve_units(build, end - from);
  Unit* stored_end = stored + (end - from);
  Unit* segment = stored;  // where the unit of position segment_from is stored
  std::size_t segment_from = from;
  auto unit_at = [&](std::size_t i) { return segment + (i - segment_from); };
  FieldSpan* fresh = nullptr;  // reserved when the run reaches a line's start
  std::size_t used = 0;
  FieldSpan* span = state == LINE_START ? nullptr : build.span;
  std::size_t i = from;
  // Decodes the character at i in place; false when it is left to take_unit.
  auto take_character = [&]() {
    if constexpr (!std::is_same_v<Text, AsciiText>) {
      return false;
    } else {
      if (text[i] == 0 || end - i < CHARACTER_ROOM || stored_end - unit_at(i) < 2) return false;
      text.copy(segment, segment_from, i - segment_from);
      segment = unit_at(i);
      in.buffer_pos = i;
      uint32_t moves = in.block_moves;
      Unit units[2] = {in_getwc(in), 0};
      int count = 1;
      if (in.pending != 0) units[count++] = in_getwc(in);
      segment_from = in.buffer_pos;
      if (in.block_moves != moves) text.forget();
      for (int k = 0; k < count; ++k) {
        Unit unit = units[k];
        if (unit == 0) continue;
        if (unit == END_OR_ERROR && !in.end_of_file) {
          report_code_error();
          continue;
        }
        if (unit == END_OR_ERROR || unit == NEWLINE || unit == COLON) {
          handed_over = unit;  // only ever the one unit of its character
          i = segment_from;
          return false;
        }
        *segment++ = unit;
        if (state == AFTER_COLON) {
          span->value = segment - 1;
          state = IN_VALUE;
        }
      }
      i = segment_from;
      return in.block_moves == moves;
    }
  };
  for (;;) {
    if (state == LINE_START) {
      if (fresh == nullptr) {
        fresh = reserve_spans(build, SPANS_PER_RUN);
        if (build.span_count > 0) build.span = build.table_start + (build.span_count - 1);
      }
      if constexpr (std::is_same_v<Text, AsciiText>) {
        std::size_t value, eol;
        while (used < SPANS_PER_RUN && i < end && text[i] != NEWLINE &&
               text.whole_line(i, end, value, eol)) {
          fresh[used++] = FieldSpan{unit_at(i), unit_at(value), unit_at(eol)};
          i = eol + 1;
        }
      }
      if (i == end || text[i] == NEWLINE || Text::ends_run(text[i]) || used == SPANS_PER_RUN) break;
      span = &fresh[used++];
      *span = FieldSpan{unit_at(i), nullptr, nullptr};
      state = IN_LABEL;
    }
    if (state == IN_LABEL) {
      i = text.template find_stop<true>(i, end);
      if (i == end) break;
      if (Text::ends_run(text[i])) {
        if (take_character()) continue;
        break;
      }
      if (text[i] == NEWLINE) {
        span->value = span->line;
        span->eol = unit_at(i++);
        state = LINE_START;
        continue;
      }
      ++i;  // the label's ':'
      state = AFTER_COLON;
    }
    if (state == AFTER_COLON) {
      if (i == end) break;
      if (Text::ends_run(text[i])) {
        if (take_character()) continue;
        break;
      }
      span->value = unit_at(i);
      state = IN_VALUE;
    }
    i = text.template find_stop<false>(i, end);
    if (i == end) break;
    if (Text::ends_run(text[i])) {
      if (take_character()) continue;
      break;
    }
    span->eol = unit_at(i++);
    state = LINE_START;
  }
  text.copy(segment, segment_from, i - segment_from);
  Unit* next_unit = unit_at(i);
  build.chars.head = reinterpret_cast<char*>(next_unit);
  if (fresh == nullptr) return i;
  if (used > 0) {
    if (build.table_start == nullptr) build.table_start = fresh;
    build.span = fresh + used - 1;
    build.span_count += static_cast<int32_t>(used);
  }
  // The empty line that ends the record: the end marker and its 0 unit go
  // where finish_record would reserve them, into room reserved already.
  if (state == LINE_START && i < end && text[i] == NEWLINE && build.span_count > 0 &&
      used < SPANS_PER_RUN && next_unit < stored_end) {
    *next_unit = 0;
    fresh[used++] = FieldSpan{nullptr, nullptr, next_unit};
    build.chars.head = reinterpret_cast<char*>(next_unit + 1);
    build.marker_written = true;
    state = RECORD_END;
    ++i;
  }
  build.spans.head = reinterpret_cast<char*>(fresh + used);
  return i;
}

// One unit through the state machine, exactly as the transition table says;
// returns the next state.
ReaderState take_unit(RecordBuild& build, ReaderState state, Unit unit, InputStream& in) {
  if (unit == 0) return state;
  if (unit == END_OR_ERROR) {
    if (!in.end_of_file) {
      report_code_error();
      return state;
    }
    end_input(build, state, in);
    return RECORD_END;
  }
  if (state == LINE_START) {
    if (unit == NEWLINE) return build.span_count > 0 ? RECORD_END : LINE_START;
    new_span(build);
    state = IN_LABEL;
  }
  Unit* stored = store_units(build, &unit, 1);
  if (state == IN_LABEL && unit == NEWLINE) build.span->value = build.span->line;
  if (state == AFTER_COLON) build.span->value = stored;
  if (unit == NEWLINE) {
    build.span->eol = stored;
    return LINE_START;
  }
  if (state == IN_LABEL) return unit == COLON ? AFTER_COLON : IN_LABEL;
  return IN_VALUE;
}

// Whether the next unit can be taken from the input block as an ASCII byte:
// nothing held ahead of it, and the byte is one that a run takes.
bool next_is_ascii_byte(const InputStream& in) {
  return in.pending == 0 && in.buffer_pos < in.buffer_end &&
         !AsciiText::ends_run(in.buffer[in.buffer_pos]);
}

// Bulk form of the state machine in take_unit. When the input code keeps
// ASCII, runs of ASCII bytes are taken from the input block (one
// reservation and one copy each) and every other unit comes from in_getwc
// one at a time. Otherwise whole blocks of units are decoded ahead, and the
// units between two that are not stored (0, 0xFFFF) are stored as runs.
// record_next has it inlined: a record's call and its saved registers cost
// about as much as a short line.
[[gnu::always_inline]] inline FieldSpan* read_record(InputStream& in, StorageArea& chars,
                                                     StorageArea& spans) {
  RecordBuild build{chars, spans};
  begin_record(build);
  ReaderState state = LINE_START;
  AsciiText text(in);
  while (state != RECORD_END) {
    if (in_keeps_ascii && in.units_pos == in.units_end) {
      if (!next_is_ascii_byte(in)) {
        uint32_t moves = in.block_moves;
        state = take_unit(build, state, in_getwc(in), in);
        if (in.block_moves != moves) text.forget();
      } else if (state == LINE_START && in.buffer[in.buffer_pos] == NEWLINE) {
        ++in.buffer_pos;
        if (build.span_count > 0) state = RECORD_END;
      } else {
        int32_t handed_over = -1;
        in.buffer_pos = take_run(build, text, in.buffer_pos, in.buffer_end, state, in, handed_over);
        if (handed_over >= 0) state = take_unit(build, state, static_cast<Unit>(handed_over), in);
      }
      continue;
    }
    if (in.units_pos == in.units_end) {
      in.units_end = in_getunits(in, in.units, UNIT_BLOCK);
      in.units_pos = 0;
    }
    // A unit block ends at its first 0xFFFF: end_of_file is still as the
    // decoder left it for that unit.
    Unit unit = in.units[in.units_pos];
    if (UnitText::ends_run(unit) || (state == LINE_START && unit == NEWLINE)) {
      ++in.units_pos;
      state = take_unit(build, state, unit, in);
      continue;
    }
    UnitText text(in.units);
    int32_t none = -1;
    in.units_pos = take_run(build, text, in.units_pos, in.units_end, state, in, none);
  }
  text.keep(in);
  return finish_record(build);
}

}  // namespace

FieldSpan* record_next(InputStream& in, StorageArea& chars, StorageArea& spans) {
  for (;;) {
    ++in.record_in_file;
    record_number = in.record_in_file;
    current_file_name = in.name != nullptr ? in.name : "(stdin)";
    FieldSpan* table = read_record(in, chars, spans);
    if (table != nullptr) return table;
    if (input_next_file(in) == 1) return nullptr;
  }
}

FieldSpan* record_read(InputStream& in, StorageArea& chars, StorageArea& spans) {
  return read_record(in, chars, spans);
}

FieldSpan* record_read_reference(InputStream& in, StorageArea& chars, StorageArea& spans) {
  RecordBuild build{chars, spans};
  begin_record(build);
  ReaderState state = LINE_START;
  while (state != RECORD_END) state = take_unit(build, state, in_getwc(in), in);
  return finish_record(build);
}
