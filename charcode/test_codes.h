// test_codes.h — for the tests and fuzzers of the converters and the reader:
// choosing the codes as start-up does, and decoding a byte string unit by
// unit through in_getwc. Not linked into the program.
#pragma once

#include <clocale>
#include <cstdint>
#include <string>
#include <vector>

#include "charcode/charcode.h"
#include "driver/settings.h"
#include "io/test_streams.h"

// Sets the locale of every category and the input and output codes, then
// installs the converters.
inline void use_codes(const char* locale, int32_t input_code, int32_t output_code = 8) {
  std::setlocale(LC_ALL, locale);
  datautf = 0;
  idatautf = input_code;
  odatautf = output_code;
  select_charcode();
}

// How decode_by_unit lists 0xFFFF with end_of_file clear (a code error).
constexpr int DECODED_ERROR = -1;

// Every result of in_getwc on `bytes` up to the end (not listed); when
// given, `end_stays` tells whether one more call still gives the end.
inline std::vector<int> decode_by_unit(const std::string& bytes, bool* end_stays = nullptr) {
  MemoryInput input(bytes);
  std::vector<int> units;
  for (;;) {
    Unit unit = in_getwc(input.in);
    if (unit == 0xFFFF && input.in.end_of_file) break;
    units.push_back(unit == 0xFFFF ? DECODED_ERROR : unit);
  }
  bool ends_again = in_getwc(input.in) == 0xFFFF && input.in.end_of_file;
  if (end_stays != nullptr) *end_stays = ends_again;
  return units;
}
