// locale_memo.cc — the misses of the two direct-mapped tables: the locale is
// asked, and what it answers is remembered when it fits. A failed decoding
// is not remembered (the decoder's length search asks again anyway, and
// such input is rare); a failed encoding is.
#include "charcode/locale_memo.h"

#include "driver/locale_units.h"

MemoDecodeSlot memo_decode_slots[MEMO_SLOTS];
MemoEncodeSlot memo_encode_slots[MEMO_SLOTS];

void locale_memo_clear() {
  for (MemoDecodeSlot& slot : memo_decode_slots) slot = MemoDecodeSlot{};
  for (MemoEncodeSlot& slot : memo_encode_slots) slot = MemoEncodeSlot{};
}

int memo_decode_miss(const char* s, std::size_t n, char32_t& code_point, uint32_t key) {
  int used = locale_decode_char(s, n, code_point);
  if (used > 0 && used <= MEMO_BYTES) {
    memo_decode_slots[memo_slot_of(key)] = MemoDecodeSlot{key, used, code_point};
  }
  return used;
}

int memo_encode_miss(char32_t code_point, char* buffer) {
  int length = locale_encode_char(code_point, buffer);
  if (length != 0 && length <= MEMO_BYTES) {
    MemoEncodeSlot& slot = memo_encode_slots[memo_slot_of(code_point)];
    slot = MemoEncodeSlot{code_point, length, {}};
    if (length > 0) std::memcpy(slot.bytes, buffer, static_cast<std::size_t>(length));
  }
  return length;
}
