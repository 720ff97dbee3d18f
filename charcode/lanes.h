// lanes.h — sixteen units (or bytes) at a time, for the hot loops of the
// converters and the record reader. Compilers do not vectorize loops that
// stop at the first match, so these use the vector extension of GCC and
// Clang; any other compiler gets the same operations lane by lane.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "driver/unit.h"

constexpr std::size_t LANES = 16;

// Bit k set for each of the sixteen bytes whose top bit is set, in memory
// order, computed in two words: the multiplication gathers the eight top
// bits of a word into its highest byte.
inline uint32_t top_bits_by_words(const unsigned char* bytes) {
  uint32_t bits = 0;
  for (int half = 0; half < 2; ++half) {
    uint64_t word = 0;
    for (int j = 7; j >= 0; --j) word = (word << 8) | bytes[8 * half + j];  // byte j in bits 8j..
    uint64_t gathered = ((word & 0x8080808080808080u) * 0x0002040810204081u) >> 56;
    bits |= static_cast<uint32_t>(gathered) << (8 * half);
  }
  return bits;
}

// Widening and narrowing need no extension: copied into a local array first
// (which no store through `units` or `bytes` can change), these loops are
// vectorized by the compilers as they are.
inline void widen_bytes(const unsigned char* bytes, Unit* units) {
  unsigned char chunk[LANES];
  std::memcpy(chunk, bytes, sizeof chunk);
  for (std::size_t j = 0; j < LANES; ++j) units[j] = chunk[j];
}

inline void narrow_units(const Unit* units, unsigned char* bytes) {
  Unit chunk[LANES];
  std::memcpy(chunk, units, sizeof chunk);
  for (std::size_t j = 0; j < LANES; ++j) bytes[j] = static_cast<unsigned char>(chunk[j]);
}

inline void narrow_eight_units(const Unit* units, unsigned char* bytes) {
  Unit chunk[8];
  std::memcpy(chunk, units, sizeof chunk);
  for (std::size_t j = 0; j < 8; ++j) bytes[j] = static_cast<unsigned char>(chunk[j]);
}

#if defined(__GNUC__)

typedef uint16_t UnitLanes __attribute__((vector_size(16)));   // 8 units
typedef uint8_t ByteLanes __attribute__((vector_size(16)));    // 16 bytes
typedef uint8_t HalfByteLanes __attribute__((vector_size(8)));  // 8 bytes

inline UnitLanes load_unit_lanes(const Unit* units) {
  UnitLanes lanes;
  std::memcpy(&lanes, units, sizeof lanes);
  return lanes;
}

// Index of the first set byte of a 16-byte mask held in two words (bytes
// are 0 or 0xFF), or LANES when none is set.
inline std::size_t first_set_byte(uint64_t low, uint64_t high) {
  if ((low | high) == 0) return LANES;
  uint64_t word = low != 0 ? low : high;
  int bit = std::endian::native == std::endian::little ? std::countr_zero(word)
                                                        : std::countl_zero(word);
  return static_cast<std::size_t>((low != 0 ? 0 : 8) + bit / 8);
}

// Index of the first lane whose mask is set (masks are 0 or all ones), or
// LANES when none is.
inline std::size_t first_marked(UnitLanes low_mask, UnitLanes high_mask) {
  uint64_t words[2];
  HalfByteLanes low = __builtin_convertvector(low_mask, HalfByteLanes);
  HalfByteLanes high = __builtin_convertvector(high_mask, HalfByteLanes);
  std::memcpy(&words[0], &low, sizeof low);
  std::memcpy(&words[1], &high, sizeof high);
  return first_set_byte(words[0], words[1]);
}

// True when all sixteen bytes are below 0x80.
inline bool bytes_are_ascii(const unsigned char* bytes) {
  uint64_t words[2];
  std::memcpy(words, bytes, sizeof words);
  return ((words[0] | words[1]) & 0x8080808080808080u) == 0;
}

// True when all sixteen units are below 0x80.
inline bool units_are_ascii(const Unit* units) {
  UnitLanes any = (load_unit_lanes(units) | load_unit_lanes(units + 8)) & 0xFF80;
  uint64_t words[2];
  std::memcpy(words, &any, sizeof words);
  return (words[0] | words[1]) == 0;
}

// The same for eight units.
inline bool eight_units_are_ascii(const Unit* units) {
  UnitLanes any = load_unit_lanes(units) & 0xFF80;
  uint64_t words[2];
  std::memcpy(words, &any, sizeof words);
  return (words[0] | words[1]) == 0;
}


// Index of the first of sixteen units equal to one of a, b, c, d, or LANES.
inline std::size_t find_unit_of(const Unit* units, Unit a, Unit b, Unit c, Unit d) {
  UnitLanes low = load_unit_lanes(units);
  UnitLanes high = load_unit_lanes(units + 8);
  UnitLanes low_mask = (low == a) | (low == b) | (low == c) | (low == d);
  UnitLanes high_mask = (high == a) | (high == b) | (high == c) | (high == d);
  UnitLanes any = low_mask | high_mask;
  uint64_t words[2];
  std::memcpy(words, &any, sizeof words);
  if ((words[0] | words[1]) == 0) return LANES;
  return first_marked(low_mask, high_mask);
}

// Index of the first of sixteen bytes equal to a, b or c or above 0x7F, or LANES.
inline std::size_t find_byte_of(const unsigned char* bytes, unsigned char a, unsigned char b,
                                unsigned char c) {
  ByteLanes lanes;
  std::memcpy(&lanes, bytes, sizeof lanes);
  ByteLanes mask = (lanes == a) | (lanes == b) | (lanes == c) | (lanes >= 0x80);
  uint64_t words[2];
  std::memcpy(words, &mask, sizeof words);
  return first_set_byte(words[0], words[1]);
}

// Bit k set for each of the sixteen bytes whose top bit is set, in memory order.
inline uint32_t top_bits(ByteLanes lanes) {
#if defined(__SSE2__)
  typedef char SignedByteLanes __attribute__((vector_size(16)));
  return static_cast<uint32_t>(
      __builtin_ia32_pmovmskb128(reinterpret_cast<SignedByteLanes>(lanes)) & 0xFFFF);
#else
  return top_bits_by_words(reinterpret_cast<const unsigned char*>(&lanes));
#endif
}

inline ByteLanes load_byte_lanes(const unsigned char* bytes) {
  ByteLanes lanes;
  std::memcpy(&lanes, bytes, sizeof lanes);
  return lanes;
}

// Bit k set when byte k of the sixteen at `bytes` equals `value`.
inline uint32_t bytes_equal(const unsigned char* bytes, unsigned char value) {
  return top_bits(reinterpret_cast<ByteLanes>(load_byte_lanes(bytes) == value));
}

// Bit k set when byte k of the sixteen is 0 or above 0x7F.
inline uint32_t bytes_zero_or_high(const unsigned char* bytes) {
  ByteLanes lanes = load_byte_lanes(bytes);
  return top_bits(lanes | reinterpret_cast<ByteLanes>(lanes == 0));
}

#else

inline uint32_t bytes_equal(const unsigned char* bytes, unsigned char value) {
  uint32_t bits = 0;
  for (std::size_t j = 0; j < LANES; ++j) bits |= static_cast<uint32_t>(bytes[j] == value) << j;
  return bits;
}

inline uint32_t bytes_zero_or_high(const unsigned char* bytes) {
  uint32_t bits = 0;
  for (std::size_t j = 0; j < LANES; ++j) {
    bits |= static_cast<uint32_t>(bytes[j] == 0 || bytes[j] >= 0x80) << j;
  }
  return bits;
}

inline std::size_t find_byte_of(const unsigned char* bytes, unsigned char a, unsigned char b,
                                unsigned char c) {
  for (std::size_t j = 0; j < LANES; ++j) {
    unsigned char byte = bytes[j];
    if (byte == a || byte == b || byte == c || byte >= 0x80) return j;
  }
  return LANES;
}

inline bool bytes_are_ascii(const unsigned char* bytes) {
  unsigned char any = 0;
  for (std::size_t j = 0; j < LANES; ++j) any |= bytes[j];
  return any < 0x80;
}

inline bool units_are_ascii(const Unit* units) {
  Unit any = 0;
  for (std::size_t j = 0; j < LANES; ++j) any |= units[j];
  return any < 0x80;
}

inline bool eight_units_are_ascii(const Unit* units) {
  Unit any = 0;
  for (std::size_t j = 0; j < 8; ++j) any |= units[j];
  return any < 0x80;
}


inline std::size_t find_unit_of(const Unit* units, Unit a, Unit b, Unit c, Unit d) {
  for (std::size_t j = 0; j < LANES; ++j) {
    Unit unit = units[j];
    if (unit == a || unit == b || unit == c || unit == d) return j;
  }
  return LANES;
}

#endif
