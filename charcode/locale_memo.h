// locale_memo.h — the locale's single-character conversions, remembered.
// The locale is fixed before select_charcode runs and every conversion
// starts from a fresh state, so a character's conversion never changes: the
// locale converters ask the locale once per distinct character, not per
// character met. select_charcode forgets everything (the locale may differ).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

void locale_memo_clear();

constexpr int MEMO_SLOT_BITS = 10;
constexpr std::size_t MEMO_SLOTS = std::size_t{1} << MEMO_SLOT_BITS;
constexpr int MEMO_BYTES = 4;  // only characters of at most four bytes are remembered

// A decoded character, keyed by the four bytes it was decoded from: the
// result of a shorter character depends on its own bytes only, so the bytes
// after it in the key just make the key more particular.
struct MemoDecodeSlot {
  uint32_t key;
  int32_t length;  // bytes of the character; 0 = empty slot
  char32_t code_point;
};

struct MemoEncodeSlot {
  char32_t code_point;
  int32_t length;  // as locale_encode_char returned it (-1: none); 0 = empty slot
  char bytes[MEMO_BYTES];
};

extern MemoDecodeSlot memo_decode_slots[MEMO_SLOTS];
extern MemoEncodeSlot memo_encode_slots[MEMO_SLOTS];

inline std::size_t memo_slot_of(uint32_t key) {
  return (key * 2654435761u) >> (32 - MEMO_SLOT_BITS);
}

int memo_decode_miss(const char* s, std::size_t n, char32_t& code_point, uint32_t key);
int memo_encode_miss(char32_t code_point, char* buffer);

// As locale_decode_char, for s with at least n >= 4 bytes.
inline int memo_decode_char(const char* s, std::size_t n, char32_t& code_point) {
  uint32_t key;
  std::memcpy(&key, s, sizeof key);
  const MemoDecodeSlot& slot = memo_decode_slots[memo_slot_of(key)];
  if (slot.length != 0 && slot.key == key) {
    code_point = slot.code_point;
    return slot.length;
  }
  return memo_decode_miss(s, n, code_point, key);
}

// As locale_encode_char; `buffer` has room for at least MEMO_BYTES bytes
// (all four are written, whatever the count).
inline int memo_encode_char(char32_t code_point, char* buffer) {
  const MemoEncodeSlot& slot = memo_encode_slots[memo_slot_of(code_point)];
  if (slot.length != 0 && slot.code_point == code_point) {
    std::memcpy(buffer, slot.bytes, MEMO_BYTES);
    return slot.length;
  }
  return memo_encode_miss(code_point, buffer);
}
