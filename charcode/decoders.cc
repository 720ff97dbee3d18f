// decoders.cc — the six input decoders: bytes of the input block to Units.
// Bad input policy: an undecodable sequence is consumed and gives 0xFFFF with
// end_of_file clear (the reader reports it); the end of the input, also inside
// a sequence, gives 0xFFFF with end_of_file set and no message. Each decoder
// has a unit-by-unit reference and a bulk form that copies the common units
// straight from the block and hands every other unit to the reference.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "charcode/converters.h"
#include "charcode/lanes.h"
#include "charcode/locale_memo.h"
#include "charcode/utf8.h"
#include "driver/locale_units.h"

namespace {

constexpr Unit END_OR_ERROR = 0xFFFF;

// The low surrogate held since the previous call.
Unit deliver_pending(InputStream& in) {
  Unit unit = static_cast<Unit>(in.pending & 0xFFFF);
  in.pending = 0;
  return unit;
}

// The last step shared by the UTF decoders, for the code point v.
Unit finish_utf(uint32_t v, InputStream& in) {
  if (v == 0xFEFF) return 0;  // a byte-order mark is dropped by the reader
  if (v == 0xFFFE) return END_OR_ERROR;
  if (v >= 0x10000 && v <= 0x10FFFF) {
    in.pending = 0xDC00 + ((v - 0x10000) & 0x3FF);
    return static_cast<Unit>(0xD800 + (((v - 0x10000) >> 10) & 0x3FF));
  }
  if (v > 0x10FFFF) return 0xFFFD;
  return static_cast<Unit>(v);
}

// Reads count bytes as one value, least significant first or last; false
// when the input ends first (the bytes read are lost).
bool read_value(InputStream& in, int count, bool little_endian, uint32_t& value) {
  value = 0;
  for (int i = 0; i < count; ++i) {
    int byte = input_byte(in);
    if (byte < 0) return false;
    if (little_endian) {
      value |= static_cast<uint32_t>(byte) << (8 * i);
    } else {
      value = (value << 8) | static_cast<uint32_t>(byte);
    }
  }
  return true;
}

Unit decode_utf16(InputStream& in, bool little_endian) {
  uint32_t v;
  if (!read_value(in, 2, little_endian, v)) return END_OR_ERROR;
  return finish_utf(v, in);
}

Unit decode_utf32(InputStream& in, bool little_endian) {
  if (in.pending != 0) return deliver_pending(in);
  uint32_t v;
  if (!read_value(in, 4, little_endian, v)) return END_OR_ERROR;
  return finish_utf(v, in);
}

// The bulk frame: `copy_run` takes the common units straight from the block
// and stops at anything else (or the block's end), which goes through the
// reference decoder one unit at a time; that also refills the block.
template <class CopyRun>
std::size_t decode_bulk(InputStream& in, Unit* units, std::size_t capacity, UnitDecoder reference,
                        CopyRun copy_run) {
  std::size_t count = 0;
  while (count < capacity) {
    if (in.pending == 0) {
      count += copy_run(in, units + count, capacity - count);
      if (count == capacity) break;
    }
    Unit unit = reference(in);
    units[count++] = unit;
    if (unit == END_OR_ERROR) break;
  }
  return count;
}

// A run of ASCII bytes: each is its own unit in UTF-8, and in the locale's
// code when locale_keeps_ascii. Sixteen bytes are tested and widened at a time.
std::size_t copy_ascii(InputStream& in, Unit* units, std::size_t room) {
  const unsigned char* bytes = in.buffer + in.buffer_pos;
  std::size_t available = in.buffer_end - in.buffer_pos;
  std::size_t limit = std::min(room, available);
  std::size_t k = 0;
  while (k + LANES <= limit && bytes_are_ascii(bytes + k)) {
    widen_bytes(bytes + k, units + k);
    k += LANES;
  }
  while (k < limit && bytes[k] < 0x80) {
    units[k] = bytes[k];
    ++k;
  }
  in.buffer_pos += k;
  return k;
}

// True for a 16-bit value that the common last step passes on unchanged.
bool is_plain_utf_unit(uint32_t v) {
  return v < 0xFEFF || (v > 0xFEFF && v < 0xFFFE);
}

// A 16-bit or 32-bit value (or a vector of them) of the input in the host's order.
template <bool little_endian, std::size_t kBytes, typename Value>
Value host_order(Value v) {
  if (little_endian == (std::endian::native == std::endian::little)) return v;
  if constexpr (kBytes == 2) {
    return (v >> 8) | (v << 8);
  } else {
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
  }
}

constexpr std::size_t kChunk = 8;

// Converts eight values into units; true when all are below 0xFEFF, the
// first value the common last step does not pass on unchanged.
template <bool little_endian, typename Value>
bool copy_chunk(const unsigned char* bytes, Unit* units) {
#if defined(__GNUC__)
  // Sixteen bytes of values at a time, narrowed to units.
  typedef Value Lanes __attribute__((vector_size(16)));
  constexpr std::size_t kPerLanes = 16 / sizeof(Value);
  typedef uint16_t NarrowLanes __attribute__((vector_size(kPerLanes * sizeof(Unit))));
  uint64_t over = 0;
  for (std::size_t part = 0; part < kChunk / kPerLanes; ++part) {
    Lanes lanes;
    std::memcpy(&lanes, bytes + 16 * part, sizeof lanes);
    lanes = host_order<little_endian, sizeof(Value)>(lanes);
    NarrowLanes narrow = __builtin_convertvector(lanes, NarrowLanes);
    std::memcpy(units + kPerLanes * part, &narrow, sizeof narrow);
    auto high = lanes >= 0xFEFF;
    uint64_t words[2];
    std::memcpy(words, &high, sizeof words);
    over |= words[0] | words[1];
  }
  return over == 0;
#else
  // Without the vector extension the caller goes value by value.
  (void)bytes, (void)units;
  return false;
#endif
}

// Nearly all text is below 0xFEFF: eight values at a time are converted and
// kept when all of them are; a chunk that is not is taken value by value.
template <bool little_endian, typename Value>
std::size_t copy_plain_run(const unsigned char* bytes, Unit* units, std::size_t limit) {
  std::size_t k = 0;
  while (k < limit) {
    if (k + kChunk <= limit &&
        copy_chunk<little_endian, Value>(bytes + sizeof(Value) * k, units + k)) {
      k += kChunk;
      continue;
    }
    const std::size_t stop = std::min(k + kChunk, limit);
    for (; k < stop; ++k) {
      Value v;
      std::memcpy(&v, bytes + sizeof(Value) * k, sizeof v);
      v = host_order<little_endian, sizeof(Value)>(v);
      if (!is_plain_utf_unit(v)) return k;
      units[k] = static_cast<Unit>(v);
    }
  }
  return k;
}

template <bool little_endian>
std::size_t copy_utf16(InputStream& in, Unit* units, std::size_t room) {
  std::size_t pairs = (in.buffer_end - in.buffer_pos) / 2;
  std::size_t k = copy_plain_run<little_endian, uint16_t>(in.buffer + in.buffer_pos, units,
                                                          std::min(room, pairs));
  in.buffer_pos += 2 * k;
  return k;
}

template <bool little_endian>
std::size_t copy_utf32(InputStream& in, Unit* units, std::size_t room) {
  std::size_t quads = (in.buffer_end - in.buffer_pos) / 4;
  std::size_t k = copy_plain_run<little_endian, uint32_t>(in.buffer + in.buffer_pos, units,
                                                          std::min(room, quads));
  in.buffer_pos += 4 * k;
  return k;
}

std::size_t copy_nothing(InputStream&, Unit*, std::size_t) {
  return 0;
}

}  // namespace

// The locale's own conversion decides what a character is. A call on bad
// input consumes one ill-formed part (see locale_ill_formed_length), never
// the byte that made it ill-formed, which may begin the next character; a
// character cut off by the end of the input ends the input without a
// message, like a cut-off UTF-8 sequence.
namespace {

// decode_locale for all that its fast path below leaves: a held surrogate,
// a block running short, a character not remembered, and bad input.
[[gnu::noinline]] Unit decode_locale_slow(InputStream& in) {
  if (in.pending != 0) return deliver_pending(in);
  std::size_t longest = locale_longest;
  std::size_t available = in.buffer_end - in.buffer_pos;
  if (available < longest) available = input_ensure(in, longest);
  if (available == 0) return END_OR_ERROR;  // end_of_file is set
  const char* bytes = reinterpret_cast<const char*>(in.buffer + in.buffer_pos);
  std::size_t window = std::min(available, longest);
  char32_t code_point = 0;
  int used = window >= 4 ? memo_decode_char(bytes, window, code_point)
                         : locale_decode_char(bytes, window, code_point);
  if (used >= 0) {
    in.buffer_pos += used == 0 ? 1 : static_cast<std::size_t>(used);  // NUL is one byte
    Unit pair[2];
    if (units_from_code_point(code_point, pair) == 2) in.pending = pair[1];
    return pair[0];
  }
  int bad = locale_ill_formed_length(bytes, window);
  if (bad < 0) {
    if (window < longest) {  // fewer bytes than asked: the file has ended
      in.buffer_pos = in.buffer_end;
      input_fill(in);
      return END_OR_ERROR;
    }
    bad = static_cast<int>(window);  // longer than the locale's longest: one error
  }
  in.buffer_pos += static_cast<std::size_t>(bad);
  return END_OR_ERROR;
}

}  // namespace

// Nearly every character met is one remembered, with the block holding the
// longest character's bytes: that case is decided here without a call, so
// it saves and restores no registers.
Unit decode_locale(InputStream& in) {
  std::size_t longest = locale_longest;
  if (in.pending == 0 && longest >= MEMO_BYTES && in.buffer_end - in.buffer_pos >= longest) {
    uint32_t key;
    std::memcpy(&key, in.buffer + in.buffer_pos, sizeof key);
    const MemoDecodeSlot& slot = memo_decode_slots[memo_slot_of(key)];
    if (slot.length != 0 && slot.key == key) {
      in.buffer_pos += static_cast<std::size_t>(slot.length);  // a remembered length is positive
      Unit pair[2];
      if (units_from_code_point(slot.code_point, pair) == 2) in.pending = pair[1];
      return pair[0];
    }
  }
  return decode_locale_slow(in);
}

namespace {

// True when the locale's code is UTF-8: no other code reads these four
// bytes as U+1F600. Asked only on bad input, so it is not remembered.
bool locale_code_is_utf8() {
  char32_t code_point = 0;
  return locale_decode_char("\xF0\x9F\x98\x80", 4, code_point) == 4 && code_point == 0x1F600;
}

}  // namespace

// The library's UTF-8 takes values up to 0x7FFFFFFF that locale_decode_char
// refuses afterwards, so its answers cannot tell where such a run goes bad:
// UTF-8 is judged by the strict codec's table. Any other code is asked byte
// by byte through one restartable conversion, until it stops saying "incomplete".
int locale_ill_formed_length(const char* s, std::size_t n) {
  if (locale_code_is_utf8())
    return utf8_ill_formed_length(reinterpret_cast<const unsigned char*>(s), n);
  std::mbstate_t state{};
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t result = std::mbrlen(s + k, 1, &state);
    if (result == static_cast<std::size_t>(-1)) return k == 0 ? 1 : static_cast<int>(k);
    // A whole character that locale_decode_char refused is one error.
    if (result != static_cast<std::size_t>(-2)) return static_cast<int>(k + 1);
  }
  return -2;
}

// Overlong forms and encoded surrogates are accepted; 5- and 6-byte forms too,
// their values above U+10FFFF becoming U+FFFD in the last step.
Unit decode_utf8(InputStream& in) {
  if (in.pending != 0) return deliver_pending(in);
  int first = input_byte(in);
  if (first < 0) return END_OR_ERROR;
  int trail = utf8_lenient_trail_bytes(first);
  if (trail < 0) return END_OR_ERROR;
  uint32_t sum = static_cast<uint32_t>(first);
  for (int i = 0; i < trail; ++i) {
    sum <<= 6;
    int byte = input_byte(in);
    if (byte < 0 || (byte & 0xC0) != 0x80) return END_OR_ERROR;  // a bad byte stays consumed
    sum += static_cast<uint32_t>(byte);
  }
  return finish_utf(sum - kUtf8MarkOffsets[trail], in);
}

// UTF-16 never holds a unit: surrogates pass one per call.
Unit decode_utf16le(InputStream& in) {
  return decode_utf16(in, true);
}
Unit decode_utf16be(InputStream& in) {
  return decode_utf16(in, false);
}
Unit decode_utf32le(InputStream& in) {
  return decode_utf32(in, true);
}
Unit decode_utf32be(InputStream& in) {
  return decode_utf32(in, false);
}

std::size_t decode_locale_bulk(InputStream& in, Unit* units, std::size_t capacity) {
  if (!locale_keeps_ascii) return decode_bulk(in, units, capacity, decode_locale, copy_nothing);
  return decode_bulk(in, units, capacity, decode_locale, copy_ascii);
}

std::size_t decode_utf8_bulk(InputStream& in, Unit* units, std::size_t capacity) {
  return decode_bulk(in, units, capacity, decode_utf8, copy_ascii);
}

std::size_t decode_utf16le_bulk(InputStream& in, Unit* units, std::size_t capacity) {
  return decode_bulk(in, units, capacity, decode_utf16le, copy_utf16<true>);
}

std::size_t decode_utf16be_bulk(InputStream& in, Unit* units, std::size_t capacity) {
  return decode_bulk(in, units, capacity, decode_utf16be, copy_utf16<false>);
}

std::size_t decode_utf32le_bulk(InputStream& in, Unit* units, std::size_t capacity) {
  return decode_bulk(in, units, capacity, decode_utf32le, copy_utf32<true>);
}

std::size_t decode_utf32be_bulk(InputStream& in, Unit* units, std::size_t capacity) {
  return decode_bulk(in, units, capacity, decode_utf32be, copy_utf32<false>);
}
