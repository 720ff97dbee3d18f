// locale_memo.h — the locale's single-character conversions, remembered.
// The locale is fixed before select_charcode runs and every conversion
// starts from a fresh state, so a character's conversion never changes: the
// locale converters ask the locale once per distinct character, not per
// character met. select_charcode forgets everything (the locale may differ).
#pragma once

#include <cstddef>

void locale_memo_clear();

// As locale_decode_char, for s with at least n >= 4 bytes.
int memo_decode_char(const char* s, std::size_t n, char32_t& code_point);

// As locale_encode_char.
int memo_encode_char(char32_t code_point, char* buffer);
