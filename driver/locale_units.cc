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
// UTF-8 is judged by its own table. Any other code is asked byte by byte
// through one restartable conversion, until it stops saying "incomplete".
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

int utf8_ill_formed_length(const unsigned char* s, std::size_t n) {
  unsigned char lead = s[0];
  std::size_t length;
  unsigned char second_low = 0x80, second_high = 0xBF;  // excludes overlong forms and surrogates
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_low = 0xA0;
    if (lead == 0xED) second_high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_low = 0x90;
    if (lead == 0xF4) second_high = 0x8F;
  } else {
    return 1;  // begins no character of more than one byte
  }
  std::size_t k = 1;
  for (; k < length && k < n; ++k) {
    unsigned char low = k == 1 ? second_low : 0x80;
    unsigned char high = k == 1 ? second_high : 0xBF;
    if (s[k] < low || s[k] > high) return static_cast<int>(k);
  }
  return k < length ? -2 : static_cast<int>(length);
}
