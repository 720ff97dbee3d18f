// work_text.cc — encoding pieces into work texts and decoding stored narrow
// strings, in the locale's code or in UTF-8. A surrogate pair is encoded as
// the one character it stands for. Texts are built in bulk: one reservation
// per run of units, and the unused room is given back at once.
#include "unpack/work_text.h"

#include <cstring>

#include "charcode/charcode.h"
#include "driver/locale_units.h"
#include "driver/settings.h"

namespace {

// How work texts are written and read under the current output slots.
struct WorkTextCodec {
  int32_t output_code = -1;                      // odatautf these answers were made for
  int (*locale_encoder)(char*, Unit) = nullptr;  // out_wctomb they were made for
  WorkTextCode code = WORK_TEXT_UTF8;
  bool ascii_unchanged = true;  // every unit below 0x80 is the one byte of its value
  std::size_t longest = 3;      // most bytes one unit can take
};

const WorkTextCodec& current_codec();
int encode_character(const WorkTextCodec& c, const Unit* units, std::size_t count, std::size_t i,
                     char* bytes, std::size_t* taken);
int decode_utf8_char(const unsigned char* bytes, std::size_t available, char32_t& code_point);

}  // namespace

void work_text_append(const Unit* units, std::size_t count, char*& start, StorageArea& area) {
  if (count == 0) return;
  const WorkTextCodec& c = current_codec();
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
    char encoded[OUT_WCTOMB_MAX > 16 ? OUT_WCTOMB_MAX : 16];
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
  const WorkTextCodec& c = current_codec();
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
    std::size_t window = c.code == WORK_TEXT_UTF8 ? 4 : c.longest;
    std::size_t available = 0;
    while (available < window && i + available < limit && bytes[i + available] != 0) ++available;
    char32_t code_point = 0;
    int length;
    if (c.code == WORK_TEXT_UTF8) {
      length = decode_utf8_char(bytes + i, available, code_point);
    } else {
      length = locale_decode_char(text + i, available, code_point);
    }
    if (length <= 0) {
      // Each ill-formed part is one U+FFFD; a character cut off by the
      // string's end (a width that split it) is one such part.
      int bad = c.code == WORK_TEXT_UTF8 ? utf8_ill_formed_length(bytes + i, available)
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

WorkTextCodec codec;

bool locale_keeps_ascii_bytes() {
  for (Unit unit = 1; unit < 0x80; ++unit) {
    char bytes[OUT_WCTOMB_MAX];
    if (out_wctomb(bytes, unit) != 1 || bytes[0] != static_cast<char>(unit)) return false;
  }
  return true;
}

// The slots never change after start-up; the answers are renewed only when
// they did (tests select one code after another).
const WorkTextCodec& current_codec() {
  if (codec.output_code != odatautf || codec.locale_encoder != out_wctomb) {
    codec.output_code = odatautf;
    codec.locale_encoder = out_wctomb;
    if (odatautf == 0) {
      codec.code = WORK_TEXT_LOCALE;
      codec.ascii_unchanged = locale_keeps_ascii_bytes();
      int longest = locale_max_length();
      codec.longest = longest > 0 ? static_cast<std::size_t>(longest) : 1;
    } else {
      codec.code = WORK_TEXT_UTF8;
      codec.ascii_unchanged = true;
      codec.longest = 3;
    }
  }
  return codec;
}

// UTF-8 of one character (a code point below 0x110000, not a surrogate).
int encode_utf8_char(char* bytes, char32_t code_point) {
  if (code_point < 0x80) {
    bytes[0] = static_cast<char>(code_point);
    return 1;
  }
  if (code_point < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code_point >> 6));
    bytes[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 2;
  }
  if (code_point < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code_point >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<char>(0xF0 | (code_point >> 18));
  bytes[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
  bytes[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
  bytes[3] = static_cast<char>(0x80 | (code_point & 0x3F));
  return 4;
}

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
  if (c.code == WORK_TEXT_UTF8) return encode_utf8_char(bytes, code_point);
  return *taken == 1 ? out_wctomb(bytes, units[i]) : locale_encode_char(code_point, bytes);
}

bool is_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// One well-formed UTF-8 character at bytes (at most `available` bytes);
// returns its length, or 0 when the bytes begin none.
int decode_utf8_char(const unsigned char* bytes, std::size_t available, char32_t& code_point) {
  unsigned char lead = bytes[0];
  int length;
  char32_t value;
  unsigned char second_low = 0x80, second_high = 0xBF;  // excludes overlong forms and surrogates
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F;
    if (lead == 0xE0) second_low = 0xA0;
    if (lead == 0xED) second_high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07;
    if (lead == 0xF0) second_low = 0x90;
    if (lead == 0xF4) second_high = 0x8F;
  } else {
    return 0;
  }
  if (available < static_cast<std::size_t>(length)) return 0;
  if (bytes[1] < second_low || bytes[1] > second_high) return 0;
  for (int i = 1; i < length; ++i) {
    if (!is_continuation(bytes[i])) return 0;
    value = (value << 6) | (bytes[i] & 0x3F);
  }
  code_point = value;
  return length;
}

}  // namespace
