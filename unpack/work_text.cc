// work_text.cc — encoding pieces into work texts and decoding stored narrow
// strings, in the locale's code or in UTF-8. A surrogate pair is encoded as
// the one character it stands for. Texts are built in bulk: one reservation
// per run of units, and the unused room is given back at once.
#include "unpack/work_text.h"

#include <algorithm>
#include <cstring>

#include "charcode/charcode.h"
#include "charcode/utf8.h"
#include "driver/locale_units.h"

namespace {

int encode_character(const WorkTextCodec& c, const Unit* units, std::size_t count, std::size_t i,
                     char* bytes, std::size_t* taken);

}  // namespace

void work_text_append(const Unit* units, std::size_t count, char*& start, StorageArea& area) {
  if (count == 0) return;
  const WorkTextCodec& c = work_text_codec;
  // The caller's pact may guard `start` too; translating it twice is harmless,
  // since a translated pointer lies outside the old block.
  std::size_t room = count * c.longest + OUT_WCTOMB_MAX;
  char* bytes =
      static_cast<char*>(area_reserve_guarded(room, translate_pair, &start, nullptr, area));
  if (start == nullptr) start = bytes;  // read after the reservation, which may move it
  char* limit = bytes + room;
  char* p = bytes;
  std::size_t i = 0;
  if (c.ascii_unchanged) {  // the ASCII that begins the piece, sixteen units at a time
    i = narrow_ascii_prefix(units, count, reinterpret_cast<unsigned char*>(p));
    p += i;
  }
  while (i < count) {
    Unit unit = units[i];
    if (unit < 0x80 && c.ascii_unchanged) {
      *p++ = static_cast<char>(unit);
      ++i;
      continue;
    }
    char encoded[std::max(OUT_WCTOMB_MAX, 16)];
    std::size_t taken;
    int n = encode_character(c, units, count, i, encoded, &taken);
    i += taken;
    if (n <= 0 || n > limit - p) continue;  // no encoding: left out
    std::memcpy(p, encoded, static_cast<std::size_t>(n));
    p += n;
  }
  area.head = p;  // the room not used goes back; the text stays contiguous
}

void work_text_finish(char*& start, StorageArea& area) {
  char* terminator =
      static_cast<char*>(area_reserve_guarded(1, translate_pair, &start, nullptr, area));
  if (start == nullptr) start = terminator;
  *terminator = '\0';
}

void put_narrow_text(const char* text, std::size_t limit, OutputStream& out) {
  const WorkTextCodec& c = work_text_codec;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  Unit units[256];
  std::size_t used = 0;
  std::size_t i = 0;
  while (i < limit && bytes[i] != 0) {
    if (used + 2 > sizeof units / sizeof units[0]) {
      out_putunits(units, used, out);
      used = 0;
    }
    unsigned char byte = bytes[i];
    if (byte < 0x80 && c.ascii_unchanged) {
      units[used++] = byte;
      ++i;
      continue;
    }
    std::size_t window = c.in_utf8 ? 4 : c.longest;
    std::size_t available = 0;
    while (available < window && i + available < limit && bytes[i + available] != 0) ++available;
    char32_t code_point = 0;
    int length;
    if (c.in_utf8) {
      length = utf8_decode_strict(bytes + i, available, code_point);
    } else {
      length = locale_decode_char(text + i, available, code_point);
    }
    if (length <= 0) {
      // Each ill-formed part is one U+FFFD; a character cut off by the
      // string's end (a width that split it) is one such part.
      int bad = c.in_utf8 ? utf8_ill_formed_length(bytes + i, available)
                          : locale_ill_formed_length(text + i, available);
      units[used++] = 0xFFFD;
      i += bad > 0 ? static_cast<std::size_t>(bad) : available;
      continue;
    }
    used += static_cast<std::size_t>(units_from_code_point(code_point, units + used));
    i += static_cast<std::size_t>(length);
  }
  out_putunits(units, used, out);
}

namespace {

// The bytes of the character at units[i] (one unit, or a surrogate pair
// taken whole); *taken is the units it used. -1 when it has no encoding: a
// surrogate without its partner, or a character the locale's code lacks.
int encode_character(const WorkTextCodec& c, const Unit* units, std::size_t count, std::size_t i,
                     char* bytes, std::size_t* taken) {
  char32_t code_point = units[i];
  *taken = 1;
  if (is_high_surrogate(code_point) && i + 1 < count && is_low_surrogate(units[i + 1])) {
    code_point = join_surrogates(code_point, units[i + 1]);
    *taken = 2;
  } else if (is_high_surrogate(code_point) || is_low_surrogate(code_point)) {
    return -1;
  }
  if (c.in_utf8) return utf8_encode(code_point, reinterpret_cast<unsigned char*>(bytes));
  return *taken == 1 ? out_wctomb(bytes, units[i]) : locale_encode_char(code_point, bytes);
}

}  // namespace
