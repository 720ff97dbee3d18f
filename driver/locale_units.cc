// locale_units.cc — one character at a time through mbrtowc/wcrtomb with a
// fresh conversion state, so no call depends on an earlier one.
#include "driver/locale_units.h"

#include <climits>
#include <cstdlib>
#include <cwchar>

int locale_decode_char(const char* s, std::size_t n, char32_t& code_point) {
  std::mbstate_t state{};
  wchar_t wide = 0;
  std::size_t result = std::mbrtowc(&wide, s, n, &state);
  if (result == static_cast<std::size_t>(-1)) return -1;
  if (result == static_cast<std::size_t>(-2)) return -2;
  char32_t value = static_cast<char32_t>(wide);
  // The C library accepts longer forms up to 0x7FFFFFFF; no Unit can hold them.
  if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return -1;
  code_point = value;
  if (result == 0) return 0;
  return static_cast<int>(result);
}

int locale_encode_char(char32_t code_point, char* buffer) {
  if (code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) return -1;
  std::mbstate_t state{};
  std::size_t result = std::wcrtomb(buffer, static_cast<wchar_t>(code_point), &state);
  if (result == static_cast<std::size_t>(-1)) return -1;
  return static_cast<int>(result);
}

int locale_max_length() {
  return static_cast<int>(MB_CUR_MAX);
}
