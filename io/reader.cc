// reader.cc — the record reader: decoded units into the chars area, one
// FieldSpan per line into the spans area. record_read takes whole runs of
// units (or of the input's ASCII bytes) at a time; record_read_reference is
// the unit-by-unit state machine it must match exactly. Both report a code
// error per undecodable sequence and a read error once per file, and
// neither asks the stream for more after its end. With a LinePass, whole
// clean lines that the caller turns down are copied from the input block
// to the output without being decoded; anything not clean takes the
// decoding path, so the bytes written are always those the units give.
#include "io/reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "charcode/charcode.h"
#include "charcode/lanes.h"
#include "charcode/utf8.h"
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
  const LinePass* pass;              // lines that go straight to the output, or null
  std::size_t piece_bound;           // bytes of units after which a piece ends at a line's start
  FieldSpan* table_start = nullptr;  // first span; null until the first line begins
  FieldSpan* span = nullptr;         // the span being built, always the table's last
  int32_t span_count = 0;
  std::size_t first_unit = 0;   // offset of the piece's first unit in the chars area
  bool marker_written = false;  // take_run met the record's end and wrote the end marker
  bool piece_ends = false;      // take_run stopped before a line that passes straight through
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
  build.first_unit = static_cast<std::size_t>(build.chars.head - build.chars.begin);
}

// Whether the piece has stored enough units to end before the line that
// begins at `next`: lines are cut independently, so a long record goes out
// in pieces and memory follows the longest line, not the longest record.
inline bool piece_is_full(const RecordBuild& build, const Unit* next) {
  const char* first = build.chars.begin + build.first_unit;
  return static_cast<std::size_t>(reinterpret_cast<const char*>(next) - first) >= build.piece_bound;
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

// Whether an empty line ends the record: it has lines in the table, or
// lines that passed straight through.
inline bool has_lines(const RecordBuild& build, const InputStream& in) {
  return build.span_count > 0 || in.record_open;
}

// The end marker: a span of nulls whose eol is a 0 unit after the last line.
// A record whose lines all passed straight through is the marker alone.
inline FieldSpan* finish_record(RecordBuild& build, ReaderState state, InputStream& in) {
  bool lines = has_lines(build, in);
  if (lines && !build.marker_written) {
    FieldSpan* marker = reserve_spans(build, 1);
    *marker = FieldSpan{nullptr, nullptr, nullptr};
    if (build.table_start == nullptr) build.table_start = marker;
    build.span = marker;  // before the chars area may move: the range must end in the table
    Unit* terminator = reserve_units(build, 1);
    *terminator = 0;
    marker->eol = terminator;
  }
  in.record_open = state != RECORD_END;
  return lines ? build.table_start : nullptr;
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
  // The block's bytes changed (the decoder refilled or moved them, or
  // went on to another window of a mapped file).
  void forget(const InputStream& in) {
    bytes_ = in.buffer;
    block_ = NO_BLOCK;
  }
  // Whether the bytes are still those of the stream's block.
  bool follows(const InputStream& in) const { return bytes_ == in.buffer; }
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
        return std::min(found, end);
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
        return std::min(found, end);
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
constexpr std::size_t NO_CHOSEN_LINE = SIZE_MAX;
// Bytes that must follow a character for the decoder to read it without
// refilling the block (the longest character of any code, with room).
constexpr std::size_t CHARACTER_ROOM = 16;

// The first byte from i below end that is a newline, 0 or above 0x7F, or
// ':' too when `in_label`; end when there is none. The block's padding
// makes the 64 bytes at every i readable. Values, being long, are scanned
// 64 bytes at a time.
template <bool in_label>
std::size_t find_byte_stop(const unsigned char* bytes, std::size_t i, std::size_t end) {
  static_assert(STREAM_PADDING >= 64);
  if constexpr (!in_label) {
    // One bit mask per 64 bytes, so a line ends with one branch.
    for (; i < end; i += 64) {
      uint64_t bits = 0;
      for (int k = 0; k < 4; ++k) {
        bits |= uint64_t{bytes_matching(bytes + i + 16 * k, NEWLINE)} << (16 * k);
      }
      if (bits != 0) {
        std::size_t found = i + static_cast<std::size_t>(std::countr_zero(bits));
        return std::min(found, end);
      }
    }
    return end;
  }
  for (; i < end; i += LANES) {
    uint32_t bits = bytes_matching(bytes + i, NEWLINE);
    if constexpr (in_label) bits |= bytes_equal(bytes + i, COLON);
    if (bits != 0) {
      std::size_t found = i + static_cast<std::size_t>(std::countr_zero(bits));
      return std::min(found, end);
    }
  }
  return end;
}

// The shape of a clean character by its first byte, for clean_utf8_length:
// its length (0: begins none), the range of its second byte, and the mask
// and value its third and fourth bytes must show in a little-endian word.
struct CleanLead {
  uint8_t length;
  uint8_t second_low, second_high;
  uint32_t rest_mask;
};

constexpr std::array<CleanLead, 256> CLEAN_LEADS = [] {
  std::array<CleanLead, 256> leads{};
  for (unsigned b = 0x80; b < 0x100; ++b) {
    Utf8Lead lead = utf8_lead(static_cast<unsigned char>(b));
    leads[b] = {static_cast<uint8_t>(lead.length), lead.second_low, lead.second_high,
                lead.length == 4 ? 0xC0C00000u : lead.length == 3 ? 0x00C00000u : 0};
  }
  return leads;
}();

// The length of the UTF-8 character at i (its first byte above 0x7F) when
// it is well-formed, ends before `end` and is none of U+FEFF, U+FFFE,
// U+FFFF (which the decoders drop or report); 0 otherwise. One word and
// one table entry, no branch on the character's length: characters of
// mixed lengths follow each other in text. Reads four bytes from i (the
// block's padding holds them).
[[gnu::always_inline]] inline std::size_t clean_utf8_length(const unsigned char* bytes, std::size_t i,
                                                            std::size_t end) {
  static_assert(STREAM_PADDING >= 4);
  const unsigned char* c = bytes + i;
  uint32_t word = c[0] | c[1] << 8 | c[2] << 16 | static_cast<uint32_t>(c[3]) << 24;
  const CleanLead& lead = CLEAN_LEADS[word & 0xFF];
  unsigned second = (word >> 8) & 0xFF;
  uint32_t three = word & 0xFFFFFF;
  bool clean = (end - i >= lead.length) & (second >= lead.second_low) &
               (second <= lead.second_high) & ((word & lead.rest_mask) == (lead.rest_mask & 0x80808080u)) &
               (three != 0xBFBBEF) & ((three | 0x010000) != 0xBFBFEF);
  return clean ? lead.length : 0;
}

// The newline that ends the clean value from i on, or end when the value is
// not clean or not whole in the block.
std::size_t clean_value_end(const LinePass& pass, const unsigned char* bytes, std::size_t i,
                            std::size_t end) {
  for (;;) {
    i = find_byte_stop<false>(bytes, i, end);
    if (i == end || bytes[i] == NEWLINE) return i;
    std::size_t length = pass.utf8 ? clean_utf8_length(bytes, i, end) : 0;
    if (length == 0) return end;
    i += length;
  }
}

// The chosen labels as clean_stretch_end asks about them, in locals (see
// LinePass): by their first eight bytes, or else by their first byte.
struct LabelFilter {
  int count;  // prefixes in use; 0 when first_bytes decides
  uint64_t prefix[LinePass::MAX_LABEL_PREFIXES];
  uint64_t mask[LinePass::MAX_LABEL_PREFIXES];
  unsigned char first[LinePass::MAX_LABEL_PREFIXES];   // each prefix's first three bytes
  unsigned char second[LinePass::MAX_LABEL_PREFIXES];
  unsigned char third[LinePass::MAX_LABEL_PREFIXES];
  bool one_byte = false;   // some prefix is a single byte: the second tells nothing
  bool two_bytes = false;  // some prefix is at most two bytes: nor does the third
  uint64_t prefix16[LinePass::MAX_LABEL_PREFIXES];  // the first four bytes as UTF-16LE units
  uint64_t mask16[LinePass::MAX_LABEL_PREFIXES];
  const uint64_t* first_bytes;  // null: any label may be chosen

  explicit LabelFilter(const LinePass& pass)
      : count(pass.label_prefix_count), first_bytes(pass.label_starts) {
    for (int k = 0; k < count; ++k) {
      prefix[k] = pass.label_prefix[k];
      mask[k] = pass.label_prefix_mask[k];
      unsigned char head[8], head_mask[8], head16[8] = {}, head16_mask[8] = {};
      std::memcpy(head, &prefix[k], sizeof head);
      std::memcpy(head_mask, &mask[k], sizeof head_mask);
      for (int i = 0; i < 4; ++i) {  // the high bytes are 0
        head16[2 * i] = head[i];
        head16_mask[2 * i] = head16_mask[2 * i + 1] = head_mask[i];
      }
      std::memcpy(&prefix16[k], head16, sizeof head16);
      std::memcpy(&mask16[k], head16_mask, sizeof head16_mask);
      first[k] = head[0];
      second[k] = head[1];
      third[k] = head[2];
      one_byte = one_byte || head_mask[1] == 0;
      two_bytes = two_bytes || head_mask[2] == 0;
    }
  }
  // The same for a UTF-16LE line, by its first four units.
  bool may_begin_utf16le(const unsigned char* line) const {
    if (count == 0) {
      return first_bytes == nullptr || line[1] != 0 ||
             (first_bytes[line[0] / 64] >> (line[0] % 64) & 1) != 0;
    }
    uint64_t head;
    std::memcpy(&head, line, sizeof head);
    for (int k = 0; k < count; ++k) {
      if ((head & mask16[k]) == prefix16[k]) return true;
    }
    return false;
  }
  // Whether the line (its first byte ASCII) may begin with a chosen label.
  bool may_begin(const unsigned char* line) const {
    if (count == 0) return (first_bytes[line[0] / 64] >> (line[0] % 64) & 1) != 0;
    uint64_t head;
    std::memcpy(&head, line, sizeof head);
    for (int k = 0; k < count; ++k) {
      if ((head & mask[k]) == prefix[k]) return true;
    }
    return false;
  }
};

// The UTF-16LE unit at position p of the block.
Unit utf16le_at(const unsigned char* bytes, std::size_t p) {
  return static_cast<Unit>(bytes[p] | bytes[p + 1] << 8);
}

// As find_byte_stop, over UTF-16LE units: the position of the first whole
// unit from i that may end a clean line (a newline, ':' when `in_label`, or
// one that is not clean), or end; values 64 bytes at a time.
template <bool in_label>
std::size_t find_utf16le_stop(const unsigned char* bytes, std::size_t i, std::size_t end) {
  static_assert(STREAM_PADDING >= 64);
  if constexpr (!in_label) {
    for (; i + 2 <= end; i += 64) {
      uint64_t bits = 0;
      for (int k = 0; k < 4; ++k) {
        bits |= uint64_t{utf16le_line_stops(bytes + i + 16 * k, false)} << (16 * k);
      }
      if (bits != 0) {
        std::size_t found = i + static_cast<std::size_t>(std::countr_zero(bits));
        return found + 2 <= end ? found : end;
      }
    }
    return end;
  }
  for (; i + 2 <= end; i += 16) {
    uint32_t bits = utf16le_line_stops(bytes + i, in_label);
    if (bits != 0) {
      std::size_t found = i + static_cast<std::size_t>(std::countr_zero(bits));
      return found + 2 <= end ? found : end;
    }
  }
  return end;
}

// Whether the UTF-16LE line at i passes as far as its label tells (as
// label_passes); `stop` is set to the label's ':' or the line's newline,
// and `chosen` tells that the label is all ASCII and chosen.
bool utf16le_label_passes(const LinePass& pass, const unsigned char* bytes, std::size_t i,
                          std::size_t end, std::size_t& stop, bool& chosen) {
  chosen = false;
  stop = find_utf16le_stop<true>(bytes, i, end);
  if (stop == end) return false;
  if (utf16le_at(bytes, stop) == NEWLINE) return true;
  if (utf16le_at(bytes, stop) != COLON) return false;
  constexpr std::size_t kLongestLabel = 128;
  unsigned char label[kLongestLabel + LANES];  // the caller may read LANES past the label
  std::size_t length = (stop + 2 - i) / 2;
  if (length > kLongestLabel) return false;
  Unit units[kLongestLabel + 8];
  if constexpr (std::endian::native == std::endian::little) {
    // Sixteen bytes at a time: a copy of any other length is a slow loop
    // for a label this short. The block's padding is readable.
    for (std::size_t k = 0; k < 2 * length; k += 16) {
      std::memcpy(reinterpret_cast<unsigned char*>(units) + k, bytes + i + k, 16);
    }
  } else {
    for (std::size_t k = 0; k < length; ++k) units[k] = utf16le_at(bytes, i + 2 * k);
  }
  if (narrow_ascii_prefix(units, length, label) != length) return false;
  chosen = pass.may_be_chosen(label, length);
  return !chosen;
}

#include "io/stretch_scan.inc"

}  // namespace

// The same scan with 32-byte lanes, for processors that have them.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KUNPACK_AVX2_SCAN 1
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2_scan {
namespace {

inline uint64_t byte_chunk_equal(const unsigned char* bytes, unsigned char value) {
  const __m256i wanted = _mm256_set1_epi8(static_cast<char>(value));
  auto mask = [&wanted](const unsigned char* at) {
    __m256i lanes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lanes, wanted))));
  };
  return mask(bytes) | mask(bytes + 32) << 32;
}

inline void utf16le_chunk_marks(const unsigned char* bytes, uint32_t& newlines, uint32_t& unclean) {
  const __m256i newline = _mm256_set1_epi16(0x0A);
  auto marks = [&newline](const unsigned char* at, __m256i& is_newline, __m256i& other) {
    __m256i lanes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    is_newline = _mm256_cmpeq_epi16(lanes, newline);
    __m256i stop = _mm256_or_si256(
        _mm256_cmpeq_epi16(_mm256_and_si256(lanes, _mm256_set1_epi16(static_cast<short>(0xFFF5))),
                           _mm256_setzero_si256()),
        _mm256_cmpeq_epi16(_mm256_or_si256(lanes, _mm256_set1_epi16(0x0101)),
                           _mm256_set1_epi16(-1)));
    other = _mm256_andnot_si256(is_newline, stop);
  };
  __m256i newline_low, other_low, newline_high, other_high;
  marks(bytes, newline_low, other_low);
  marks(bytes + 32, newline_high, other_high);
  // Packing works within 128-bit halves; the permutation puts the units
  // back in order.
  auto pack = [](__m256i low, __m256i high) {
    __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(low, high), 0xD8);
    return static_cast<uint32_t>(_mm256_movemask_epi8(packed));
  };
  newlines = pack(newline_low, newline_high);
  unclean = pack(other_low, other_high);
}

inline void byte_chunk_marks(const unsigned char* bytes, uint64_t& newlines, uint64_t& unclean) {
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32));
  const __m256i newline = _mm256_set1_epi8('\n');
  const __m256i one = _mm256_set1_epi8(1);
  auto mask = [](__m256i lanes) {
    return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(lanes)));
  };
  newlines = mask(_mm256_cmpeq_epi8(low, newline)) | mask(_mm256_cmpeq_epi8(high, newline)) << 32;
  // Taken as signed, 0 and the bytes above 0x7F are those below 1.
  unclean = mask(_mm256_cmpgt_epi8(one, low)) | mask(_mm256_cmpgt_epi8(one, high)) << 32;
}

#include "io/stretch_scan.inc"

}  // namespace
}  // namespace avx2_scan
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

namespace {

// The stretch scan for this processor and the pass's code.
std::size_t stretch_end_here(const LinePass& pass, const unsigned char* bytes, std::size_t from,
                             std::size_t end, int32_t& records, std::size_t& chosen_colon) {
#ifdef KUNPACK_AVX2_SCAN
  if (record_scan_avx2) {
    return pass.utf16le
               ? avx2_scan::clean_utf16le_stretch_end(pass, bytes, from, end, records, chosen_colon)
               : avx2_scan::clean_stretch_end(pass, bytes, from, end, records, chosen_colon);
  }
#endif
  return pass.utf16le ? clean_utf16le_stretch_end(pass, bytes, from, end, records, chosen_colon)
                      : clean_stretch_end(pass, bytes, from, end, records, chosen_colon);
}

// Whether the line at i would pass straight through as far as its label
// tells: an ASCII label that the caller turns down, or none. Its value is
// not looked at; a line that passes by its label but not by its value is
// taken by the next piece's run.
bool label_passes(const LinePass* pass, const unsigned char* bytes, std::size_t i,
                  std::size_t end) {
  if (pass == nullptr || pass->out->pending != 0) return false;
  std::size_t stop = find_byte_stop<true>(bytes, i, end);
  if (stop == end) return false;
  if (bytes[stop] == NEWLINE) return true;
  return bytes[stop] == COLON && !pass->may_be_chosen(bytes + i, stop + 1 - i);
}

// One call of take_run: the text it takes from, where its units and spans
// go, and how far it has come. The run's units, and its new spans when it
// reaches a line's start, are reserved as many as they could be, all at
// once, and what the run does not use is given back; so no reservation
// happens while pointers into the run are set.
template <class Text>
struct Run {
  RecordBuild& build;
  Text& text;
  InputStream& in;
  ReaderState& state;          // the state machine's, carried from run to run
  std::size_t i;               // the next position of the text to take
  std::size_t end;             // the end of the text
  Unit* stored_end;            // one past the units reserved for the run
  Unit* segment;               // where the unit of position segment_from is stored
  std::size_t segment_from;    // first position of the segment being copied
  FieldSpan* fresh = nullptr;  // spans reserved once the run reaches a line's start
  std::size_t used = 0;        // fresh spans set so far
  FieldSpan* span;             // the line being taken (null before the first)
  int32_t handed_over = -1;    // a decoded unit left for take_unit, or -1

  Unit* unit_at(std::size_t position) const { return segment + (position - segment_from); }
  bool at_stop() const { return i == end || Text::ends_run(text[i]); }
};

// A whole clean line of the input block at a line's start needs no state
// machine: its span is set from the positions of its ':' and newline.
// False when the lines stop before one that passes straight through, which
// the piece must end before.
bool take_whole_lines(Run<UnitText>&) {
  return true;
}

bool take_whole_lines(Run<AsciiText>& run) {
  std::size_t value, eol;
  while (run.used < SPANS_PER_RUN && run.i < run.end && run.text[run.i] != NEWLINE) {
    if (run.build.span_count + run.used > 0 &&
        label_passes(run.build.pass, run.in.buffer, run.i, run.end)) {
      run.build.piece_ends = true;
      return false;
    }
    if (!run.text.whole_line(run.i, run.end, value, eol)) break;
    run.fresh[run.used++] = FieldSpan{run.unit_at(run.i), run.unit_at(value), run.unit_at(eol)};
    run.i = eol + 1;
  }
  return true;
}

// The character at i, not ASCII, decoded where it stands in the input block
// (one byte and more become one or two units, so the run goes on in a new
// segment after it). False when it is left to take_unit: a 0 byte, too few
// bytes left, a unit the state machine must see itself (newline, ':', the
// end; left in handed_over), or a block that moved under the decoder.
bool take_character(Run<UnitText>&) {
  return false;
}

bool take_character(Run<AsciiText>& run) {
  if (run.text[run.i] == 0 || run.end - run.i < CHARACTER_ROOM ||
      run.stored_end - run.unit_at(run.i) < 2) {
    return false;
  }
  run.text.copy(run.segment, run.segment_from, run.i - run.segment_from);
  run.segment = run.unit_at(run.i);
  InputStream& in = run.in;
  in.buffer_pos = run.i;
  uint32_t moves = in.block_moves;
  Unit units[2] = {in_getwc(in), 0};
  int count = 1;
  if (in.pending != 0) units[count++] = in_getwc(in);
  run.segment_from = in.buffer_pos;
  run.i = run.segment_from;
  if (in.block_moves != moves) run.text.forget(in);
  for (int k = 0; k < count; ++k) {
    Unit unit = units[k];
    if (unit == 0) continue;
    if (unit == END_OR_ERROR && !in.end_of_file) {
      report_code_error();
      continue;
    }
    if (unit == END_OR_ERROR || unit == NEWLINE || unit == COLON) {
      run.handed_over = unit;  // only ever the one unit of its character
      return false;
    }
    *run.segment++ = unit;
    if (run.state == AFTER_COLON) {
      run.span->value = run.segment - 1;
      run.state = IN_VALUE;
    }
  }
  return in.block_moves == moves;
}

// Each step takes what its state allows and says whether the run goes on;
// a run stops at the end of its text, and at a unit that ends a run unless
// take_character decodes it.

// LINE_START: whole lines, then the span of the line that begins here.
template <class Text>
bool start_line(Run<Text>& run) {
  if (run.build.span_count + run.used > 0 && run.i < run.end && run.text[run.i] != NEWLINE &&
      piece_is_full(run.build, run.unit_at(run.i))) {
    run.build.piece_ends = true;
    return false;
  }
  if (run.fresh == nullptr) {
    RecordBuild& build = run.build;
    run.fresh = reserve_spans(build, SPANS_PER_RUN);
    // The spans area may have moved: only table_start follows it.
    if (build.span_count > 0) build.span = build.table_start + (build.span_count - 1);
  }
  if (!take_whole_lines(run) || run.at_stop() || run.text[run.i] == NEWLINE ||
      run.used == SPANS_PER_RUN) {
    return false;
  }
  run.span = &run.fresh[run.used++];
  *run.span = FieldSpan{run.unit_at(run.i), nullptr, nullptr};
  run.state = IN_LABEL;
  return true;
}

// IN_LABEL: up to the label's ':', or the newline of a line without one.
template <class Text>
bool take_label(Run<Text>& run) {
  run.i = run.text.template find_stop<true>(run.i, run.end);
  if (run.at_stop()) return run.i != run.end && take_character(run);
  if (run.text[run.i] == NEWLINE) {
    run.span->value = run.span->line;
    run.span->eol = run.unit_at(run.i++);
    run.state = LINE_START;
    return true;
  }
  ++run.i;  // the label's ':'
  run.state = AFTER_COLON;
  return true;
}

// AFTER_COLON: the value begins with the next unit stored.
template <class Text>
bool begin_value(Run<Text>& run) {
  if (run.at_stop()) return run.i != run.end && take_character(run);
  run.span->value = run.unit_at(run.i);
  run.state = IN_VALUE;
  return true;
}

// IN_VALUE: up to the line's newline.
template <class Text>
bool take_value(Run<Text>& run) {
  run.i = run.text.template find_stop<false>(run.i, run.end);
  if (run.at_stop()) return run.i != run.end && take_character(run);
  run.span->eol = run.unit_at(run.i++);
  run.state = LINE_START;
  return true;
}

template <class Text>
bool take_step(Run<Text>& run) {
  switch (run.state) {
    case LINE_START:
      return start_line(run);
    case IN_LABEL:
      return take_label(run);
    case AFTER_COLON:
      return begin_value(run);
    case IN_VALUE:
      return take_value(run);
    case RECORD_END:
      break;
  }
  return false;
}

// The empty line that ends the record, right after the run: the end marker
// and its 0 unit go where finish_record would reserve them, into room
// reserved already.
template <class Text>
void end_record_in_run(Run<Text>& run, Unit* next_unit) {
  RecordBuild& build = run.build;
  if (run.state != LINE_START || run.i == run.end || run.text[run.i] != NEWLINE ||
      build.span_count == 0 || run.used == SPANS_PER_RUN || next_unit == run.stored_end) {
    return;
  }
  *next_unit = 0;
  run.fresh[run.used++] = FieldSpan{nullptr, nullptr, next_unit};
  build.chars.head = reinterpret_cast<char*>(next_unit + 1);
  build.marker_written = true;
  run.state = RECORD_END;
  ++run.i;
}

// Copies the last segment, gives back the units and spans the run did not
// use, and adds its spans to the table.
template <class Text>
void finish_run(Run<Text>& run) {
  RecordBuild& build = run.build;
  run.text.copy(run.segment, run.segment_from, run.i - run.segment_from);
  Unit* next_unit = run.unit_at(run.i);
  build.chars.head = reinterpret_cast<char*>(next_unit);
  if (run.fresh == nullptr) return;
  if (run.used > 0) {
    if (build.table_start == nullptr) build.table_start = run.fresh;
    build.span = run.fresh + run.used - 1;
    build.span_count += static_cast<int32_t>(run.used);
  }
  end_record_in_run(run, next_unit);
  build.spans.head = reinterpret_cast<char*>(run.fresh + run.used);
}

// Takes a run from `text` (positions from `from` below `end`): the units
// that the state machine would store one after another, up to one that ends
// a run, the empty line that ends the record, a line that passes straight
// through, or the end; the unit at `from` is one that is stored. Returns
// the position after the run; a unit left for take_unit is in handed_over.
template <class Text>
std::size_t take_run(RecordBuild& build, Text& text, std::size_t from, std::size_t end,
                     ReaderState& state, InputStream& in, int32_t& handed_over) {
  Unit* stored = reserve_units(build, end - from);
  Run<Text> run{.build = build,
                .text = text,
                .in = in,
                .state = state,
                .i = from,
                .end = end,
                .stored_end = stored + (end - from),
                .segment = stored,
                .segment_from = from,
                .span = state == LINE_START ? nullptr : build.span};
  while (take_step(run)) {
  }
  finish_run(run);
  handed_over = run.handed_over;
  return run.i;
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
    if (unit == NEWLINE) return has_lines(build, in) ? RECORD_END : LINE_START;
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

// The end of the lines from the block's position on that pass straight
// through: whole clean lines whose labels (all ASCII) the caller turns
// down, and the single empty lines that end their records (counted in
// `records`). The label is asked about before its value is looked at,
// so a chosen line costs no scan of its value. When the lines end at a
// chosen one, `chosen_colon` is its label's ':'.
std::size_t passing_lines_end(const LinePass& pass, const InputStream& in, int32_t& records,
                              std::size_t& chosen_colon) {
  const unsigned char* bytes = in.buffer;
  std::size_t end = in.buffer_end;
  std::size_t i = in.buffer_pos;
  while (i < end) {
    if (bytes[i] == NEWLINE) {
      // Empty lines that follow one another, or the record's first line, are
      // left to the caller, which skips them.
      if (i == in.buffer_pos || end - i < 2 || bytes[i + 1] == NEWLINE) break;
      ++records;
      ++i;
      continue;
    }
    if (pass.label_starts != nullptr) {
      std::size_t stretch_end = stretch_end_here(pass, bytes, i, end, records, chosen_colon);
      if (chosen_colon != NO_CHOSEN_LINE) return stretch_end;
      if (stretch_end != i) {
        i = stretch_end;
        continue;
      }
    }
    std::size_t eol = find_byte_stop<true>(bytes, i, end);
    if (eol == end) break;
    if (bytes[eol] == COLON) {
      if (pass.may_be_chosen(bytes + i, eol + 1 - i)) {
        chosen_colon = eol;
        break;
      }
      eol = clean_value_end(pass, bytes, eol + 1, end);
    }
    if (eol == end || bytes[eol] != NEWLINE) break;
    i = eol + 1;
  }
  return i;
}

// As passing_lines_end, for UTF-16LE; a label is asked about in its ASCII
// bytes, and one that is not ASCII does not pass.
std::size_t passing_utf16le_lines_end(const LinePass& pass, const InputStream& in,
                                      int32_t& records, std::size_t& chosen_colon) {
  const unsigned char* bytes = in.buffer;
  std::size_t end = in.buffer_end;
  std::size_t i = in.buffer_pos;
  while (end - i >= 2) {
    if (utf16le_at(bytes, i) == NEWLINE) {
      if (i == in.buffer_pos || end - i < 4 || utf16le_at(bytes, i + 2) == NEWLINE) break;
      ++records;
      i += 2;
      continue;
    }
    std::size_t stretch_end = stretch_end_here(pass, bytes, i, end, records, chosen_colon);
    if (chosen_colon != NO_CHOSEN_LINE || stretch_end == i) return stretch_end;
    i = stretch_end;
  }
  return i;
}

enum class Passing { NONE, PASSED, PIECE_ENDS };

// The chosen line at the block's position, whose label ends at
// chosen_colon, written by the caller from its bytes when its value is
// clean and whole in the block and its format allows; true when written.
bool write_chosen_line(const LinePass& pass, InputStream& in, std::size_t chosen_colon) {
  if (pass.write_chosen == nullptr || chosen_colon == NO_CHOSEN_LINE) return false;
  std::size_t unit = pass.utf16le ? 2 : 1;
  std::size_t eol =
      pass.utf16le ? find_utf16le_stop<false>(in.buffer, chosen_colon + 2, in.buffer_end)
                   : clean_value_end(pass, in.buffer, chosen_colon + 1, in.buffer_end);
  if (eol == in.buffer_end || (pass.utf16le && utf16le_at(in.buffer, eol) != NEWLINE)) {
    return false;
  }
  if (!pass.write_chosen(in.buffer + in.buffer_pos, chosen_colon + unit - in.buffer_pos,
                         eol - in.buffer_pos, *pass.out)) {
    return false;
  }
  in.buffer_pos = eol + unit;
  in.record_open = true;
  return true;
}

// Whether an empty line (a newline at a line's start) is whole at p.
bool empty_line_at(const LinePass& pass, const InputStream& in, std::size_t p) {
  if (pass.utf16le) return in.buffer_end - p >= 2 && utf16le_at(in.buffer, p) == NEWLINE;
  return p < in.buffer_end && in.buffer[p] == NEWLINE;
}

// A record of lines that all passed ends at its empty line, which is
// written too (its newline is the one the record loop writes after a
// record); the empty lines after it are skipped, and the next record is
// counted as record_next counts it.
void end_passed_record(const LinePass& pass, InputStream& in) {
  std::size_t newline = pass.utf16le ? 2 : 1;
  output_bytes(*pass.out, in.buffer + in.buffer_pos, newline);
  do {
    in.buffer_pos += newline;
  } while (empty_line_at(pass, in, in.buffer_pos));
  in.record_open = false;
  ++in.record_in_file;
  record_number = in.record_in_file;
}

// Writes the lines that pass from the block's position on, all at once;
// they belong to the record being read, and whole records of them go on to
// the next. When the table holds lines already, nothing is written: the
// piece ends before the line that passes.
Passing pass_lines(RecordBuild& build, InputStream& in) {
  const LinePass* pass = build.pass;
  if (pass == nullptr || pass->out->pending != 0) return Passing::NONE;
  std::size_t from = in.buffer_pos;
  if (build.span_count > 0) {
    std::size_t stop;
    bool chosen;
    bool passes = pass->utf16le
                      ? in.buffer_end - from >= 2 && utf16le_at(in.buffer, from) != NEWLINE &&
                            utf16le_label_passes(*pass, in.buffer, from, in.buffer_end, stop, chosen)
                      : label_passes(pass, in.buffer, from, in.buffer_end);
    return passes ? Passing::PIECE_ENDS : Passing::NONE;
  }
  Passing passing = Passing::NONE;
  for (;;) {
    from = in.buffer_pos;
    int32_t records = 0;  // empty lines passed, each the end of a record
    std::size_t chosen_colon = NO_CHOSEN_LINE;
    std::size_t to = pass->utf16le ? passing_utf16le_lines_end(*pass, in, records, chosen_colon)
                                   : passing_lines_end(*pass, in, records, chosen_colon);
    if (to != from) {
      output_passed(*pass->out, in.buffer + from, to - from);
      in.buffer_pos = to;
      in.record_open = true;
      if (records > 0) {
        // Each record after one that ended is counted as record_next counts
        // it; the lines end with an empty one when the last record ended.
        in.record_in_file += records;
        record_number = in.record_in_file;
        in.record_open = pass->utf16le ? utf16le_at(in.buffer, to - 4) != NEWLINE
                                       : in.buffer[to - 2] != NEWLINE;
      }
      passing = Passing::PASSED;
    }
    bool written = write_chosen_line(*pass, in, chosen_colon);
    if (written) {
      passing = Passing::PASSED;
    } else if (to == from) {
      return passing;
    }
    if (empty_line_at(*pass, in, in.buffer_pos)) {
      end_passed_record(*pass, in);
    } else if (!written) {
      return passing;
    }
  }
}

// The next step of read_record in a code that keeps ASCII, with nothing
// decoded ahead: a run of ASCII bytes from the input block (one reservation
// and one copy each), lines that pass straight through, or one unit from
// in_getwc. False when the piece ends before a line that passes.
bool read_ascii_step(RecordBuild& build, AsciiText& text, ReaderState& state, InputStream& in) {
  if (!text.follows(in)) text.forget(in);
  if (!next_is_ascii_byte(in)) {
    uint32_t moves = in.block_moves;
    state = take_unit(build, state, in_getwc(in), in);
    if (in.block_moves != moves) text.forget(in);
  } else if (state == LINE_START && in.buffer[in.buffer_pos] == NEWLINE) {
    ++in.buffer_pos;
    if (has_lines(build, in)) state = RECORD_END;
  } else {
    if (state == LINE_START) {
      Passing passing = pass_lines(build, in);
      if (passing == Passing::PIECE_ENDS) return false;
      // Lines passed stop at one that does not pass: the run takes it now.
      if (passing == Passing::PASSED &&
          (!next_is_ascii_byte(in) || in.buffer[in.buffer_pos] == NEWLINE)) {
        return true;
      }
    }
    int32_t handed_over = -1;
    in.buffer_pos = take_run(build, text, in.buffer_pos, in.buffer_end, state, in, handed_over);
    if (handed_over >= 0) state = take_unit(build, state, static_cast<Unit>(handed_over), in);
    if (build.piece_ends) return false;
  }
  return true;
}

// How many units to decode ahead. Lines of UTF-16LE that may pass must
// still be in the block, so then only the units up to the next stop (a
// newline, mostly) are decoded, or, when the block has none, its units and
// the one that refills it.
std::size_t units_ahead(const RecordBuild& build, const InputStream& in) {
  if (build.pass == nullptr || !build.pass->utf16le) return UNIT_BLOCK;
  std::size_t stop = find_utf16le_stop<false>(in.buffer, in.buffer_pos, in.buffer_end);
  std::size_t units = (stop - in.buffer_pos) / 2 + 1;
  return std::min(units, UNIT_BLOCK);
}

// The next step of read_record in the other codes: whole blocks of units
// are decoded ahead, and the units between two that are not stored (0,
// 0xFFFF) are stored as runs; or, in UTF-16LE with nothing decoded ahead,
// lines pass straight through. False when the piece ends before one.
bool read_units_step(RecordBuild& build, ReaderState& state, InputStream& in) {
  if (in.units_pos == in.units_end) {
    if (state == LINE_START && build.pass != nullptr && build.pass->utf16le) {
      Passing passing = pass_lines(build, in);
      if (passing != Passing::NONE) return passing == Passing::PASSED;
    }
    in.units_end = in_getunits(in, in.units, units_ahead(build, in));
    in.units_pos = 0;
  }
  // A unit block ends at its first 0xFFFF: end_of_file is still as the
  // decoder left it for that unit.
  Unit unit = in.units[in.units_pos];
  if (UnitText::ends_run(unit) || (state == LINE_START && unit == NEWLINE)) {
    ++in.units_pos;
    state = take_unit(build, state, unit, in);
    return true;
  }
  UnitText text(in.units);
  int32_t none = -1;
  in.units_pos = take_run(build, text, in.units_pos, in.units_end, state, in, none);
  return !build.piece_ends;
}

// Bulk form of the state machine in take_unit. record_next has it inlined:
// a record's call and its saved registers cost about as much as a short line.
[[gnu::always_inline]] inline FieldSpan* read_record(InputStream& in, StorageArea& chars,
                                                     StorageArea& spans, const LinePass* pass,
                                                     std::size_t piece_bound) {
  RecordBuild build{chars, spans, pass, piece_bound};
  begin_record(build);
  ReaderState state = LINE_START;
  AsciiText text(in);
  while (state != RECORD_END) {
    if (in_keeps_ascii && in.units_pos == in.units_end) {
      if (!read_ascii_step(build, text, state, in)) break;
    } else {
      if (!read_units_step(build, state, in)) break;
    }
    // Runs end pieces themselves; this catches the lines a run does not start.
    if (state == LINE_START && build.span_count > 0 &&
        piece_is_full(build, reinterpret_cast<const Unit*>(build.chars.head))) {
      break;
    }
  }
  text.keep(in);
  return finish_record(build, state, in);
}

}  // namespace

std::size_t record_piece_bytes = std::size_t{1} << 20;
#ifdef KUNPACK_AVX2_SCAN
// Set before main runs: the processor's features are read first, as a
// static initializer may run before the library has read them itself.
bool record_scan_avx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();
#else
bool record_scan_avx2 = false;
#endif

FieldSpan* record_next(InputStream& in, StorageArea& chars, StorageArea& spans,
                       const LinePass* pass) {
  for (;;) {
    if (!in.record_open) {
      ++in.record_in_file;
      record_number = in.record_in_file;
      current_file_name = in.name != nullptr ? in.name : "(stdin)";
    }
    FieldSpan* table = read_record(in, chars, spans, pass, record_piece_bytes);
    if (table != nullptr) return table;
    if (input_next_file(in) == 1) return nullptr;
  }
}

FieldSpan* record_read(InputStream& in, StorageArea& chars, StorageArea& spans) {
  return read_record(in, chars, spans, nullptr, SIZE_MAX);
}

FieldSpan* record_read_reference(InputStream& in, StorageArea& chars, StorageArea& spans) {
  RecordBuild build{chars, spans, nullptr, SIZE_MAX};
  begin_record(build);
  ReaderState state = LINE_START;
  while (state != RECORD_END) state = take_unit(build, state, in_getwc(in), in);
  return finish_record(build, state, in);
}
