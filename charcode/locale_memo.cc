// locale_memo.cc — two small direct-mapped tables in front of the locale's
// conversions. Only characters of at most four bytes are remembered, and a
// failed conversion is remembered only for encoding (decoding failures need
// the length search of the decoder anyway and are rare).
#include "charcode/locale_memo.h"

#include <cstdint>
#include <cstring>

#include "driver/locale_units.h"

namespace {

constexpr int SLOT_BITS = 10;
constexpr std::size_t SLOTS = std::size_t{1} << SLOT_BITS;
constexpr int REMEMBERED_BYTES = 4;

// A decoded character, keyed by the four bytes it was decoded from: the
// result of a shorter character depends on its own bytes only, so the bytes
// after it in the key just make the key more particular.
struct DecodeSlot {
  uint32_t key;
  int32_t length;  // bytes of the character; 0 = empty slot
  char32_t code_point;
};

struct EncodeSlot {
  char32_t code_point;
  int32_t length;  // as locale_encode_char returned it (-1: none); 0 = empty slot
  char bytes[REMEMBERED_BYTES];
};

DecodeSlot decode_slots[SLOTS];
EncodeSlot encode_slots[SLOTS];

std::size_t slot_of(uint32_t key) { return (key * 2654435761u) >> (32 - SLOT_BITS); }

}  // namespace

void locale_memo_clear() {
  for (DecodeSlot& slot : decode_slots) slot.length = 0;
  for (EncodeSlot& slot : encode_slots) slot.length = 0;
}

int memo_decode_char(const char* s, std::size_t n, char32_t& code_point) {
  uint32_t key;
  std::memcpy(&key, s, sizeof key);
  DecodeSlot& slot = decode_slots[slot_of(key)];
  if (slot.length != 0 && slot.key == key) {
    code_point = slot.code_point;
    return slot.length;
  }
  int used = locale_decode_char(s, n, code_point);
  if (used > 0 && used <= REMEMBERED_BYTES) slot = DecodeSlot{key, used, code_point};
  return used;
}

int memo_encode_char(char32_t code_point, char* buffer) {
  EncodeSlot& slot = encode_slots[slot_of(code_point)];
  if (slot.length != 0 && slot.code_point == code_point) {
    if (slot.length > 0) std::memcpy(buffer, slot.bytes, static_cast<std::size_t>(slot.length));
    return slot.length;
  }
  int length = locale_encode_char(code_point, buffer);
  if (length != 0 && length <= REMEMBERED_BYTES) {
    slot.code_point = code_point;
    slot.length = length;
    if (length > 0) std::memcpy(slot.bytes, buffer, static_cast<std::size_t>(length));
  }
  return length;
}
