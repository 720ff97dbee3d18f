// utf8.h — the one UTF-8 codec: the encoder, the strict decoder (only
// well-formed characters: no overlong form, no surrogate, nothing above
// U+10FFFF) with the length of the ill-formed part it refused, and the
// lenient decoder of the UTF-8 input code, which takes whatever the length
// marks say and leaves the value to its caller. Inline: the converters call
// these once per character on their hot paths.
#pragma once

#include <cstddef>
#include <cstdint>

// The bytes of v (at most 31 bits) into bytes (room for 6); returns their
// count. Values above U+10FFFF get the old 5- and 6-byte forms.
inline int utf8_encode(uint32_t v, unsigned char* bytes) {
  int count;
  unsigned char mark;
  if (v < 0x80) {
    count = 1, mark = 0x00;
  } else if (v < 0x800) {
    count = 2, mark = 0xC0;
  } else if (v < 0x10000) {
    count = 3, mark = 0xE0;
  } else if (v < 0x200000) {
    count = 4, mark = 0xF0;
  } else if (v < 0x4000000) {
    count = 5, mark = 0xF8;
  } else {
    count = 6, mark = 0xFC;
  }
  for (int i = count - 1; i > 0; --i) {
    bytes[i] = static_cast<unsigned char>(0x80 + (v & 0x3F));
    v >>= 6;
  }
  bytes[0] = static_cast<unsigned char>(v | mark);
  return count;
}

// The shape of a well-formed character by its first byte: its length (0 when
// the byte begins no character of more than one byte), the bits of the first
// byte that belong to the value, and the range of the second byte, which
// excludes the overlong forms, the surrogates and values above U+10FFFF.
struct Utf8Lead {
  int length;
  unsigned char value_mask;
  unsigned char second_low;
  unsigned char second_high;
};

constexpr Utf8Lead utf8_lead(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x1F, 0x80, 0xBF};
  if (lead >= 0xE0 && lead <= 0xEF)
    return {3, 0x0F, static_cast<unsigned char>(lead == 0xE0 ? 0xA0 : 0x80),
            static_cast<unsigned char>(lead == 0xED ? 0x9F : 0xBF)};
  if (lead >= 0xF0 && lead <= 0xF4)
    return {4, 0x07, static_cast<unsigned char>(lead == 0xF0 ? 0x90 : 0x80),
            static_cast<unsigned char>(lead == 0xF4 ? 0x8F : 0xBF)};
  return {0, 0, 0, 0};
}

// One well-formed character of more than one byte at bytes (at most
// `available`); returns its length with the character in code_point, or 0
// when the bytes begin none.
inline int utf8_decode_strict(const unsigned char* bytes, std::size_t available,
                              char32_t& code_point) {
  Utf8Lead lead = utf8_lead(bytes[0]);
  if (lead.length == 0 || available < static_cast<std::size_t>(lead.length)) return 0;
  if (bytes[1] < lead.second_low || bytes[1] > lead.second_high) return 0;
  char32_t value = bytes[0] & lead.value_mask;
  for (int i = 1; i < lead.length; ++i) {
    if ((bytes[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (bytes[i] & 0x3F);
  }
  code_point = value;
  return lead.length;
}

// For the n >= 1 bytes at s that utf8_decode_strict refused: the length of
// the maximal ill-formed part at s (the longest run that still begins a
// character, or one byte), or -2 when all n bytes still begin a character.
inline int utf8_ill_formed_length(const unsigned char* s, std::size_t n) {
  Utf8Lead lead = utf8_lead(s[0]);
  if (lead.length == 0) return 1;
  std::size_t length = static_cast<std::size_t>(lead.length);
  std::size_t k = 1;
  for (; k < length && k < n; ++k) {
    unsigned char low = k == 1 ? lead.second_low : 0x80;
    unsigned char high = k == 1 ? lead.second_high : 0xBF;
    if (s[k] < low || s[k] > high) return static_cast<int>(k);
  }
  return k < length ? -2 : static_cast<int>(length);
}

// The lenient reading: the trail bytes after a first byte, -1 when it cannot
// begin a sequence. Overlong forms, surrogates and the 5- and 6-byte forms
// all pass.
inline int utf8_lenient_trail_bytes(int first) {
  if (first < 0x80) return 0;
  if (first < 0xC0) return -1;
  if (first < 0xE0) return 1;
  if (first < 0xF0) return 2;
  if (first < 0xF8) return 3;
  if (first < 0xFC) return 4;
  return 5;
}

// The value of a lenient sequence is the sum of its bytes, each earlier one
// shifted left by 6, less what the length marks add, by trail bytes.
constexpr uint32_t kUtf8MarkOffsets[6] = {0x00000000, 0x00003080, 0x000E2080,
                                          0x03C82080, 0xFA082080, 0x82082080};
