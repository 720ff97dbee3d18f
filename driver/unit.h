// unit.h — the one character type of internal text: a 16-bit UTF-16 code unit.
// A character above U+FFFF is a surrogate pair of two units everywhere inside
// the program; only the converters at the edges see other encodings.
#pragma once

#include <cstddef>
#include <cstdint>

using Unit = char16_t;

// Length of a NUL-terminated unit string, in units.
inline std::size_t unit_length(const Unit* text) {
  const Unit* p = text;
  while (*p != 0) ++p;
  return static_cast<std::size_t>(p - text);
}
