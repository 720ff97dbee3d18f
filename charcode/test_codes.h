// test_codes.h — for the tests and fuzzers of the converters and the reader: choosing
// the codes as start-up does; decoding and writing unit by unit and in bulk.
#pragma once

#include <algorithm>
#include <clocale>
#include <random>

#include "charcode/charcode.h"
#include "driver/settings.h"
#include "io/test_streams.h"

inline void use_codes(const char* locale, int32_t input_code, int32_t output_code = 8) {
  std::setlocale(LC_ALL, locale);
  datautf = 0, idatautf = input_code, odatautf = output_code;
  select_charcode();
}

constexpr int DECODED_ERROR = -1;  // 0xFFFF with end_of_file clear: a code error

// The units of `bytes` up to the end: from in_getwc, or from in_getunits asking for `capacity`
// (or 1 to `capacity` by a non-zero `seed`); -2 marks a bad block or an end that does not stay.
inline std::vector<int> decode(const std::string& bytes, std::size_t capacity = 0,
                               unsigned seed = 0) {
  MemoryInput input(bytes);
  std::vector<int> units;
  std::vector<Unit> block(capacity + 1);
  std::mt19937 random(seed);
  for (;;) {
    std::size_t wanted = seed != 0 ? 1 + random() % capacity : std::max<std::size_t>(capacity, 1);
    std::size_t count = capacity == 0 ? (block[0] = in_getwc(input.in), 1)
                                      : in_getunits(input.in, block.data(), wanted);
    if (count == 0 || count > wanted) return units.push_back(-2), units;
    for (std::size_t i = 0; i < count; ++i) {
      bool last = i == count - 1;
      if (block[i] == 0xFFFF && last && input.in.end_of_file) {
        if (in_getwc(input.in) != 0xFFFF || !input.in.end_of_file) units.push_back(-2);
        return units;
      }
      units.push_back(block[i] != 0xFFFF ? block[i] : last ? DECODED_ERROR : -2);
    }
  }
}

// Whether out_putunits, given runs of 0 to 399 units, writes and holds what out_putwc does.
inline bool writers_agree(const std::vector<Unit>& units, unsigned seed) {
  MemoryOutput by_unit, bulk;
  for (Unit unit : units) out_putwc(unit, by_unit.out);
  std::mt19937 random(seed);
  for (std::size_t i = 0, run; i < units.size(); i += run) {
    run = std::min<std::size_t>(units.size() - i, random() % 400);
    out_putunits(units.data() + i, run, bulk.out);
  }
  return bulk.bytes() == by_unit.bytes() && bulk.out.pending == by_unit.out.pending;
}
