// locale_units.h — the locale's single-character conversions, seen as Units.
// The C library's wchar_t is 32 bits here while internal text is 16-bit
// units, so every conversion between the locale's multibyte code and Units
// goes through this layer: it speaks in whole code points (the caller splits
// or joins surrogate pairs) and refuses anything above U+10FFFF, which no
// unit or surrogate pair can hold.
#pragma once

#include <cstddef>

#include "driver/unit.h"

// Decodes one character of the locale's code from s (at most n bytes, n >= 1).
// Returns the bytes consumed (>= 1) with the character in code_point, 0 for
// the NUL character, -1 for an invalid sequence (also a character above
// U+10FFFF or a surrogate code point), -2 when the n bytes end inside a character.
int locale_decode_char(const char* s, std::size_t n, char32_t& code_point);

// Encodes one code point into buffer (room for locale_max_length() bytes).
// Returns the byte count, or -1 when the locale's code has no such character
// (surrogate code points never have one).
int locale_encode_char(char32_t code_point, char* buffer);

// The locale's longest character in bytes (MB_CUR_MAX).
int locale_max_length();

// Splits a code point into 1 or 2 units; returns how many.
inline int units_from_code_point(char32_t code_point, Unit out[2]) {
  if (code_point < 0x10000) {
    out[0] = static_cast<Unit>(code_point);
    return 1;
  }
  code_point -= 0x10000;
  out[0] = static_cast<Unit>(0xD800 + (code_point >> 10));
  out[1] = static_cast<Unit>(0xDC00 + (code_point & 0x3FF));
  return 2;
}

inline bool is_high_surrogate(char32_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
inline bool is_low_surrogate(char32_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}
inline char32_t join_surrogates(char32_t high, char32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}
