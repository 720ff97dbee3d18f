// lanes.h — sixteen units (or bytes) at a time, for the hot loops of the
// converters and the record reader. Widening, narrowing and ASCII tests are
// plain code that the compilers vectorize; finding given values is not (a
// loop that stops at the first match stays scalar), so that part uses the
// vector extension of GCC and Clang, with a lane-by-lane form for others.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "driver/unit.h"

constexpr std::size_t LANES = 16;

// The bytes are copied into a local array first: no store through `units`
// can change it, so the compilers vectorize the loop.
inline void widen_bytes(const unsigned char* bytes, Unit* units) {
  unsigned char chunk[LANES];
  std::memcpy(chunk, bytes, sizeof chunk);
  std::copy(chunk, chunk + LANES, units);
}

// True when all sixteen bytes are below 0x80.
inline bool bytes_are_ascii(const unsigned char* bytes) {
  uint64_t words[2];
  std::memcpy(words, bytes, sizeof words);
  return ((words[0] | words[1]) & 0x8080808080808080u) == 0;
}

// Bit k set for each of the sixteen bytes whose top bit is set: the
// multiplication gathers the eight top bits of a word into its top byte.
inline uint32_t top_bits_by_words(const unsigned char* bytes) {
  uint32_t bits = 0;
  for (int half = 0; half < 2; ++half) {
    uint64_t word = 0;
    for (int j = 7; j >= 0; --j) word = (word << 8) | bytes[8 * half + j];  // byte j at bit 8j
    uint64_t gathered = ((word & 0x8080808080808080u) * 0x0002040810204081u) >> 56;
    bits |= static_cast<uint32_t>(gathered) << (8 * half);
  }
  return bits;
}

// The same operations one lane at a time: the forms for other compilers,
// and what the vector forms must give (a test compares them).
namespace by_lane {

inline void utf16le_chunk_marks(const unsigned char* bytes, uint32_t& newlines, uint32_t& unclean) {
  newlines = unclean = 0;
  for (std::size_t j = 0; j < 32; ++j) {
    unsigned unit = bytes[2 * j] | bytes[2 * j + 1] << 8;
    bool stop = (unit & 0xFFF5) == 0 || (unit | 0x0101) == 0xFFFF;
    newlines |= static_cast<uint32_t>(unit == 0x0A) << j;
    unclean |= static_cast<uint32_t>(stop && unit != 0x0A) << j;
  }
}

inline uint32_t utf16le_line_stops(const unsigned char* bytes, bool with_colon) {
  uint32_t bits = 0;
  for (std::size_t j = 0; j < 8; ++j) {
    unsigned unit = bytes[2 * j] | bytes[2 * j + 1] << 8;
    bool stop = (unit & 0xFFF5) == 0 || (unit | 0x0101) == 0xFFFF || (with_colon && unit == 0x3A);
    bits |= static_cast<uint32_t>(stop) * (3u << (2 * j));
  }
  return bits;
}

inline bool narrow_lanes_if_ascii(const Unit* units, std::size_t count, unsigned char* bytes) {
  Unit any = 0;
  for (std::size_t j = 0; j < count; ++j) {
    any |= units[j];
    bytes[j] = static_cast<unsigned char>(units[j]);
  }
  return any < 0x80;
}

inline bool narrow_sixteen_if_ascii(const Unit* units, unsigned char* bytes) {
  return narrow_lanes_if_ascii(units, LANES, bytes);
}

inline bool narrow_eight_if_ascii(const Unit* units, unsigned char* bytes) {
  return narrow_lanes_if_ascii(units, 8, bytes);
}

inline uint32_t bytes_matching(const unsigned char* bytes, unsigned char a) {
  uint32_t bits = 0;
  for (std::size_t j = 0; j < LANES; ++j) {
    unsigned char byte = bytes[j];
    bits |= static_cast<uint32_t>(byte == a || byte == 0 || byte >= 0x80) << j;
  }
  return bits;
}

inline uint64_t byte_chunk_equal(const unsigned char* bytes, unsigned char value) {
  uint64_t bits = 0;
  for (int k = 0; k < 64; ++k) bits |= static_cast<uint64_t>(bytes[k] == value) << k;
  return bits;
}

inline void byte_chunk_marks(const unsigned char* bytes, uint64_t& newlines, uint64_t& unclean) {
  newlines = unclean = 0;
  for (int k = 0; k < 64; ++k) {
    newlines |= static_cast<uint64_t>(bytes[k] == '\n') << k;
    unclean |= static_cast<uint64_t>(bytes[k] == 0 || bytes[k] >= 0x80) << k;
  }
}

inline uint32_t bytes_equal(const unsigned char* bytes, unsigned char value) {
  uint32_t bits = 0;
  for (std::size_t j = 0; j < LANES; ++j) bits |= static_cast<uint32_t>(bytes[j] == value) << j;
  return bits;
}

inline std::size_t find_unit_of(const Unit* units, Unit a, Unit b, Unit c, Unit d) {
  for (std::size_t j = 0; j < LANES; ++j) {
    Unit unit = units[j];
    if (unit == a || unit == b || unit == c || unit == d) return j;
  }
  return LANES;
}

}  // namespace by_lane

#if defined(__GNUC__)

typedef uint16_t UnitLanes __attribute__((vector_size(16)));    // 8 units
typedef uint8_t ByteLanes __attribute__((vector_size(16)));     // 16 bytes
typedef uint8_t HalfByteLanes __attribute__((vector_size(8)));  // 8 bytes
typedef int8_t SignedByteLanes __attribute__((vector_size(16)));
typedef int16_t SignedUnitLanes __attribute__((vector_size(16)));

// Bit k set for each of the sixteen bytes whose top bit is set.
inline uint32_t top_bits(ByteLanes lanes) {
#if defined(__SSE2__)
  typedef char CharLanes __attribute__((vector_size(16)));  // the builtin's own type
  return static_cast<uint32_t>(__builtin_ia32_pmovmskb128(std::bit_cast<CharLanes>(lanes)) &
                               0xFFFF);
#else
  unsigned char bytes[LANES];
  std::memcpy(bytes, &lanes, sizeof bytes);
  return top_bits_by_words(bytes);
#endif
}

// Bit k set for each of the sixteen units of a and b (a first) whose
// lane is all ones (a comparison's true); the lanes are 0 or all ones.
inline uint32_t pack_top_bits(SignedUnitLanes a, SignedUnitLanes b) {
#if defined(__SSE2__)
  typedef short ShortLanes __attribute__((vector_size(16)));  // the builtin's own type
  return top_bits(std::bit_cast<ByteLanes>(__builtin_ia32_packsswb128(
      std::bit_cast<ShortLanes>(a), std::bit_cast<ShortLanes>(b))));
#else
  uint32_t bits = 0;
  for (int j = 0; j < 8; ++j) bits |= static_cast<uint32_t>(a[j] != 0) << j;
  for (int j = 0; j < 8; ++j) bits |= static_cast<uint32_t>(b[j] != 0) << (8 + j);
  return bits;
#endif
}

inline ByteLanes load_byte_lanes(const unsigned char* bytes) {
  ByteLanes lanes;
  std::memcpy(&lanes, bytes, sizeof lanes);
  return lanes;
}

// Bit k set when byte k of the sixteen at `bytes` equals a, or is 0 or
// above 0x7F. Taken as signed, those two are the bytes below 1: one
// comparison finds both.
inline uint32_t bytes_matching(const unsigned char* bytes, unsigned char a) {
  ByteLanes lanes = load_byte_lanes(bytes);
  return top_bits(
      std::bit_cast<ByteLanes>((std::bit_cast<SignedByteLanes>(lanes) < 1) | (lanes == a)));
}

// Bit k set when byte k of the sixteen equals `value`.
inline uint32_t bytes_equal(const unsigned char* bytes, unsigned char value) {
  return top_bits(std::bit_cast<ByteLanes>(load_byte_lanes(bytes) == value));
}

// For the 64 bytes at `bytes`, bit k for byte k: newlines in `newlines`,
// 0 and bytes above 0x7F in `unclean`. Most pieces of text have none of
// the latter: one mask of all four comparisons tells, and only then are
// they read one by one.
inline void byte_chunk_marks(const unsigned char* bytes, uint64_t& newlines, uint64_t& unclean) {
  ByteLanes low[4];
  newlines = 0;
  for (int k = 0; k < 4; ++k) {
    ByteLanes lanes = load_byte_lanes(bytes + 16 * k);
    newlines |= uint64_t{top_bits(std::bit_cast<ByteLanes>(lanes == '\n'))} << (16 * k);
    low[k] = std::bit_cast<ByteLanes>(std::bit_cast<SignedByteLanes>(lanes) < 1);
  }
  unclean = 0;
  if (top_bits(low[0] | low[1] | low[2] | low[3]) == 0) return;
  for (int k = 0; k < 4; ++k) unclean |= uint64_t{top_bits(low[k])} << (16 * k);
}

// Bit k set for each of the 64 bytes at `bytes` that equals `value`.
inline uint64_t byte_chunk_equal(const unsigned char* bytes, unsigned char value) {
  return uint64_t{bytes_equal(bytes, value)} | uint64_t{bytes_equal(bytes + 16, value)} << 16 |
         uint64_t{bytes_equal(bytes + 32, value)} << 32 |
         uint64_t{bytes_equal(bytes + 48, value)} << 48;
}

typedef uint16_t SixteenUnitLanes __attribute__((vector_size(32)));

// Narrows sixteen (or eight) units and says whether all are below 0x80.
// The bytes are stored either way (the caller counts them only when true):
// one load serves the test and the narrowing, and neither waits on the other.
inline bool narrow_sixteen_if_ascii(const Unit* units, unsigned char* bytes) {
#if defined(__SSE2__)
  UnitLanes low, high;  // two loads: an array of them would go through memory
  std::memcpy(&low, units, sizeof low);
  std::memcpy(&high, units + 8, sizeof high);
  // The saturating pack keeps units below 0x80 as they are and turns those
  // from 0x80 to 0x7FFF into bytes with the top bit set; units from 0x8000
  // on (negative to it, so packed as 0) show in the top bits of their high
  // bytes. Both tests are bit masks of what is already loaded.
  ByteLanes narrow = std::bit_cast<ByteLanes>(__builtin_ia32_packuswb128(
      std::bit_cast<SignedUnitLanes>(low), std::bit_cast<SignedUnitLanes>(high)));
  std::memcpy(bytes, &narrow, sizeof narrow);
  return (top_bits(narrow) | top_bits(std::bit_cast<ByteLanes>(low | high))) == 0;
#else
  UnitLanes halves[2];
  std::memcpy(halves, units, sizeof halves);
  SixteenUnitLanes lanes;
  std::memcpy(&lanes, units, sizeof lanes);
  ByteLanes narrow = __builtin_convertvector(lanes, ByteLanes);
  std::memcpy(bytes, &narrow, sizeof narrow);
  UnitLanes any = (halves[0] | halves[1]) & 0xFF80;
  uint64_t words[2];
  std::memcpy(words, &any, sizeof words);
  return (words[0] | words[1]) == 0;
#endif
}

inline bool narrow_eight_if_ascii(const Unit* units, unsigned char* bytes) {
  UnitLanes lanes;
  std::memcpy(&lanes, units, sizeof lanes);
  HalfByteLanes narrow = __builtin_convertvector(lanes, HalfByteLanes);
  std::memcpy(bytes, &narrow, sizeof narrow);
  UnitLanes any = lanes & 0xFF80;
  uint64_t words[2];
  std::memcpy(words, &any, sizeof words);
  return (words[0] | words[1]) == 0;
}

// Index of the first of sixteen units equal to one of a, b, c, d, or LANES.
inline std::size_t find_unit_of(const Unit* units, Unit a, Unit b, Unit c, Unit d) {
  UnitLanes halves[2];
  std::memcpy(halves, units, sizeof halves);
  unsigned char masks[LANES];  // 0xFF where a unit matches
  for (int half = 0; half < 2; ++half) {
    UnitLanes lanes = halves[half];
    UnitLanes mask = std::bit_cast<UnitLanes>(
        (lanes == static_cast<uint16_t>(a)) | (lanes == static_cast<uint16_t>(b)) |
        (lanes == static_cast<uint16_t>(c)) | (lanes == static_cast<uint16_t>(d)));
    HalfByteLanes narrow = __builtin_convertvector(mask, HalfByteLanes);
    std::memcpy(masks + 8 * half, &narrow, sizeof narrow);
  }
  uint32_t bits = top_bits(load_byte_lanes(masks));
  return bits == 0 ? LANES : static_cast<std::size_t>(std::countr_zero(bits));
}

// Bits 2k and 2k + 1 set for each of the eight UTF-16LE units at `bytes`
// (two bytes each, low first) that may end a clean line: a newline, ':'
// when `with_colon`, 0, U+FEFF, U+FFFE, U+FFFF. Two masked comparisons
// find them, and with them U+0002, U+0008 and U+FEFE, which the caller
// then sees as units that are not clean.
inline uint32_t utf16le_line_stops(const unsigned char* bytes, bool with_colon) {
  UnitLanes lanes;
  std::memcpy(&lanes, bytes, sizeof lanes);
  if constexpr (std::endian::native == std::endian::big) {
    lanes = static_cast<UnitLanes>((lanes << 8) | (lanes >> 8));
  }
  UnitLanes mask = std::bit_cast<UnitLanes>(((lanes & 0xFFF5) == 0) | ((lanes | 0x0101) == 0xFFFF));
  if (with_colon) mask |= std::bit_cast<UnitLanes>(lanes == 0x3A);
  return top_bits(std::bit_cast<ByteLanes>(mask));
}

// For the 32 UTF-16LE units at `bytes`, one bit per unit: the newlines in
// `newlines`, and in `unclean` the other units utf16le_line_stops finds
// without ':'. Compared eight at a time, then packed two by two to a
// byte per unit, so one mask instruction reads sixteen units.
inline void utf16le_chunk_marks(const unsigned char* bytes, uint32_t& newlines, uint32_t& unclean) {
  SignedUnitLanes newline[4], other[4];
  for (int k = 0; k < 4; ++k) {
    UnitLanes lanes;
    std::memcpy(&lanes, bytes + 16 * k, sizeof lanes);
    if constexpr (std::endian::native == std::endian::big) {
      lanes = static_cast<UnitLanes>((lanes << 8) | (lanes >> 8));
    }
    UnitLanes is_newline = std::bit_cast<UnitLanes>(lanes == 0x0A);
    UnitLanes stop = std::bit_cast<UnitLanes>(((lanes & 0xFFF5) == 0) | ((lanes | 0x0101) == 0xFFFF));
    newline[k] = std::bit_cast<SignedUnitLanes>(is_newline);
    other[k] = std::bit_cast<SignedUnitLanes>(stop & ~is_newline);
  }
  newlines = pack_top_bits(newline[0], newline[1]) | pack_top_bits(newline[2], newline[3]) << 16;
  unclean = pack_top_bits(other[0], other[1]) | pack_top_bits(other[2], other[3]) << 16;
}

#else

using by_lane::utf16le_chunk_marks;
using by_lane::utf16le_line_stops;
using by_lane::narrow_sixteen_if_ascii;
using by_lane::narrow_eight_if_ascii;
using by_lane::bytes_matching;
using by_lane::byte_chunk_equal;
using by_lane::byte_chunk_marks;
using by_lane::bytes_equal;
using by_lane::find_unit_of;

#endif

// Narrows the units below 0x80 that begin `units` (at most `count`) into
// `bytes` and returns how many there are: the unit at the result, when it
// is below `count`, is the first other one, so a writer goes on from there
// without looking at the narrowed units again. `bytes` must have room for
// `count`: bytes past the result may be written too. A line's last part
// shorter than sixteen is taken as the sixteen (or eight) units that end
// it, over some already written with the same bytes; only the lanes that
// hold another unit are gone through one at a time.
inline std::size_t narrow_ascii_prefix(const Unit* units, std::size_t count, unsigned char* bytes) {
  std::size_t k = 0;
  if (count >= LANES) {
    while (k + LANES <= count && narrow_sixteen_if_ascii(units + k, bytes + k)) k += LANES;
    if (k + LANES > count &&
        (k == count || narrow_sixteen_if_ascii(units + count - LANES, bytes + count - LANES))) {
      return count;
    }
  } else if (count >= 8 && narrow_eight_if_ascii(units, bytes) &&
             narrow_eight_if_ascii(units + count - 8, bytes + count - 8)) {
    return count;
  }
  for (; k < count && units[k] < 0x80; ++k) bytes[k] = static_cast<unsigned char>(units[k]);
  return k;
}
