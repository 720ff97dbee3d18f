// encoders.cc — the output writers and unit encoders of every code, the
// multibyte-string writer and the number writer. Bytes go into the output
// stream's block; a failed block write shows only in the UTF-16/32 results.
// Each writer has its unit-by-unit reference and a bulk form for whole lines.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "charcode/converters.h"
#include "charcode/lanes.h"
#include "charcode/locale_memo.h"
#include "charcode/utf8.h"
#include "driver/locale_units.h"

namespace {

constexpr Unit WRITE_FAILED = 0xFFFF;

// The code point of a low surrogate after the held high one, as unsigned
// 32-bit arithmetic gives it; with nothing held it lies above 0x7FFFFFFF.
uint32_t combine_with_pending(uint32_t pending, Unit low) {
  return ((pending - 0xD800) << 10) + low + 0x2400;
}

void put_little_endian(uint32_t value, int count, OutputStream& out) {
  unsigned char* bytes = output_room(out, static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  out.buffer_used += static_cast<std::size_t>(count);
}

// Copies units below 0x80 into the block as bytes, stopping at the first
// other unit or when the block is full; returns the units copied.
std::size_t copy_ascii(const Unit* units, std::size_t count, OutputStream& out) {
  std::size_t room = out.buffer_size - out.buffer_used;
  std::size_t copied =
      narrow_ascii_prefix(units, std::min(count, room), out.buffer + out.buffer_used);
  out.buffer_used += copied;
  return copied;
}

// The bulk frame of the ASCII-transparent writers: runs of ASCII go straight
// into the block, every other unit through the reference writer. A run of
// ASCII leaves `pending` alone in UTF-8, so `ascii_needs_empty_pending` is
// set only for the locale writer, which turns a held surrogate into "?".
template <UnitWriter reference>
void write_bulk_ascii(const Unit* units, std::size_t count, OutputStream& out,
                      bool ascii_needs_empty_pending) {
  std::size_t i = 0;
  while (i < count) {
    if (!ascii_needs_empty_pending || out.pending == 0) {
      if (out.buffer_used == out.buffer_size) output_flush(out);
      i += copy_ascii(units + i, count - i, out);
      if (i == count) break;
      if (units[i] < 0x80) continue;  // the block was full
    }
    reference(units[i], out);
    ++i;
  }
}

}  // namespace

// Locale family. The locale speaks in whole code points (see locale_units.h):
// a surrogate pair is joined before it is converted, and a surrogate without
// its partner has no character, so it is written as "?" (a held high one as
// soon as a unit other than a low surrogate follows it).
Unit write_locale(Unit unit, OutputStream& out) {
  if (out.pending != 0 && !is_low_surrogate(unit)) {
    output_byte(out, '?');
    out.pending = 0;
  }
  if (is_high_surrogate(unit)) {
    out.pending = unit;
    return unit;
  }
  char32_t code_point = unit;
  if (is_low_surrogate(unit)) {
    if (out.pending == 0) {
      output_byte(out, '?');
      return WRITE_FAILED;
    }
    code_point = join_surrogates(out.pending, unit);
    out.pending = 0;
  }
  unsigned char* bytes = output_room(out, OUT_WCTOMB_MAX);
  int count = memo_encode_char(code_point, reinterpret_cast<char*>(bytes));
  if (count < 0) {
    output_byte(out, '?');
    return WRITE_FAILED;
  }
  out.buffer_used += static_cast<std::size_t>(count);
  return unit;
}

int encode_locale(char* buffer, Unit unit) {
  return memo_encode_char(unit, buffer);
}

void write_locale_bulk(const Unit* units, std::size_t count, OutputStream& out) {
  if (!locale_keeps_ascii) {
    for (std::size_t i = 0; i < count; ++i) write_locale(units[i], out);
    return;
  }
  write_bulk_ascii<write_locale>(units, count, out, true);
}

// UTF-8 family. A held high surrogate waits for its low half; units in
// between are written as usual.
Unit write_utf8(Unit unit, OutputStream& out) {
  uint32_t v = unit;
  if (is_high_surrogate(unit)) {
    out.pending = unit;
    return unit;
  }
  if (is_low_surrogate(unit)) {
    v = combine_with_pending(out.pending, unit);
    out.pending = 0;
    if (v > 0x7FFFFFFF) v = 0xFFFD;  // a low surrogate with nothing held
  }
  unsigned char* bytes = output_room(out, 6);
  out.buffer_used += static_cast<std::size_t>(utf8_encode(v, bytes));
  return unit;
}

int encode_utf8(char* buffer, Unit unit) {
  if (is_high_surrogate(unit) || is_low_surrogate(unit)) return -1;
  return utf8_encode(unit, reinterpret_cast<unsigned char*>(buffer));
}

void write_utf8_bulk(const Unit* units, std::size_t count, OutputStream& out) {
  write_bulk_ascii<write_utf8>(units, count, out, false);
}

// UTF-16 family: every unit is its two bytes, surrogates included.
Unit write_utf16(Unit unit, OutputStream& out) {
  put_little_endian(unit, 2, out);
  return out.write_failed ? WRITE_FAILED : unit;
}

int encode_utf16(char* buffer, Unit unit) {
  buffer[0] = static_cast<char>(unit & 0xFF);
  buffer[1] = static_cast<char>(unit >> 8);
  return 2;
}

void write_utf16_bulk(const Unit* units, std::size_t count, OutputStream& out) {
  if constexpr (std::endian::native != std::endian::little) {
    for (std::size_t i = 0; i < count; ++i) write_utf16(units[i], out);
    return;
  }
  // On a little-endian machine the units already are the output bytes.
  std::size_t i = 0;
  while (i < count) {
    if (out.buffer_size - out.buffer_used < 2) output_flush(out);
    std::size_t room = (out.buffer_size - out.buffer_used) / 2;
    std::size_t run = count - i < room ? count - i : room;
    std::memcpy(out.buffer + out.buffer_used, units + i, 2 * run);
    out.buffer_used += 2 * run;
    i += run;
  }
}

// UTF-32 family. A low surrogate with nothing held is written as U+FFFD,
// as the UTF-8 writer does.
namespace {

// Inline, so the bulk writer's loop does not call it for every surrogate.
inline Unit put_utf32(Unit unit, OutputStream& out) {
  if (is_high_surrogate(unit)) {
    out.pending = unit;
    return unit;
  }
  uint32_t v = unit;
  if (is_low_surrogate(unit)) {
    v = out.pending != 0 ? combine_with_pending(out.pending, unit) : 0xFFFD;
  }
  put_little_endian(v, 4, out);
  if (out.write_failed) return WRITE_FAILED;  // a held surrogate stays held
  if (is_low_surrogate(unit)) out.pending = 0;
  return unit;
}

}  // namespace

Unit write_utf32(Unit unit, OutputStream& out) {
  return put_utf32(unit, out);
}

int encode_utf32(char* buffer, Unit unit) {
  buffer[0] = static_cast<char>(unit & 0xFF);
  buffer[1] = static_cast<char>(unit >> 8);
  buffer[2] = 0;
  buffer[3] = 0;
  return 4;
}

namespace {

// A unit that is not a surrogate is its value in four little-endian bytes,
// whatever is held. Writes eight such units into `bytes`; false (and
// nothing counted) when one of them is a surrogate, and always without the
// vector extension.
bool widen_eight_if_plain(const Unit* units, unsigned char* bytes) {
#if defined(__GNUC__)
  if constexpr (std::endian::native == std::endian::little) {
    typedef uint16_t EightUnits __attribute__((vector_size(16)));
    typedef uint32_t EightValues __attribute__((vector_size(32)));
    EightUnits lanes;
    std::memcpy(&lanes, units, sizeof lanes);
    auto surrogates = (lanes & 0xF800) == 0xD800;
    uint64_t words[2];
    std::memcpy(words, &surrogates, sizeof words);
    if ((words[0] | words[1]) != 0) return false;
    EightValues values = __builtin_convertvector(lanes, EightValues);
    std::memcpy(bytes, &values, sizeof values);
    return true;
  }
#endif
  // Elsewhere the caller writes unit by unit.
  (void)units, (void)bytes;
  return false;
}

}  // namespace

void write_utf32_bulk(const Unit* units, std::size_t count, OutputStream& out) {
  std::size_t i = 0;
  while (i < count) {
    Unit unit = units[i];
    if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      put_utf32(unit, out);
      ++i;
      continue;
    }
    // A lone unit between surrogates (a space between emoji) is not worth a try.
    if (count - i >= 8 && !is_high_surrogate(units[i + 1]) &&
        widen_eight_if_plain(units + i, output_room(out, 32))) {
      out.buffer_used += 32;
      i += 8;
      continue;
    }
    put_little_endian(unit, 4, out);
    ++i;
  }
}

// Code-independent writers: they reach the output code through out_putwc.
// Text that is not made of the locale's characters is left out from the
// first bad byte on (the one caller passes ASCII only).
int put_multibyte(const char* text, OutputStream& out) {
  std::size_t longest = locale_longest;
  std::size_t consumed = 0;
  for (;;) {
    const char* rest = text + consumed;
    // Where ASCII stands for itself in the locale's code (select_charcode
    // checked it), a run of it is the same units: one bulk write.
    if (locale_keeps_ascii) {
      Unit run[32];
      std::size_t count = 0;
      while (count < sizeof run / sizeof run[0] && rest[count] > 0) {
        run[count] = static_cast<Unit>(rest[count]);
        ++count;
      }
      if (count > 0) {
        out_putunits(run, count, out);
        consumed += count;
        continue;
      }
    }
    std::size_t window = 0;
    while (window < longest && rest[window] != '\0') ++window;
    if (window == 0) break;
    char32_t code_point = 0;
    int used = locale_decode_char(rest, window, code_point);
    if (used <= 0) break;
    Unit pair[2];
    int units = units_from_code_point(code_point, pair);
    for (int i = 0; i < units; ++i) out_putwc(pair[i], out);
    consumed += static_cast<std::size_t>(used);
  }
  return static_cast<int>(consumed);
}

// Integral values of the signed 32-bit range as "%d", all else as "%g".
int put_number(double value, OutputStream& out) {
  char text[32];
  bool in_range = value >= -2147483648.0 && value < 2147483648.0;  // false for NaN
  if (in_range && static_cast<double>(static_cast<int32_t>(value)) == value) {
    // "%d" by hand: most converted pieces are integers, and this is their hot path.
    int32_t number = static_cast<int32_t>(value);
    uint32_t magnitude = number < 0 ? 0u - static_cast<uint32_t>(number) : number;
    char* bytes = text + sizeof text;
    *--bytes = '\0';
    while (magnitude >= 100) {  // two digits a division
      const uint32_t pair = magnitude % 100;
      magnitude /= 100;
      *--bytes = static_cast<char>('0' + pair % 10);
      *--bytes = static_cast<char>('0' + pair / 10);
    }
    if (magnitude >= 10) {
      *--bytes = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    }
    *--bytes = static_cast<char>('0' + magnitude);
    if (number < 0) *--bytes = '-';
    if (!locale_keeps_ascii) return out_putmbs(bytes, out);
    // Where ASCII stands for itself, the digits are their own units, as
    // put_multibyte would find them, and where the output keeps ASCII they
    // are their own bytes too (what out_putunits would write).
    const std::size_t count = static_cast<std::size_t>(text + sizeof text - 1 - bytes);
    if (out_keeps_ascii && out.pending == 0 && count <= out.buffer_size - out.buffer_used) {
      std::memcpy(out.buffer + out.buffer_used, bytes, count);
      out.buffer_used += count;
      return static_cast<int>(count);
    }
    Unit units[12];
    for (std::size_t i = 0; i < count; ++i) units[i] = static_cast<Unit>(bytes[i]);
    out_putunits(units, count, out);
    return static_cast<int>(count);
  }
  std::snprintf(text, sizeof text, "%g", value);
  return out_putmbs(text, out);
}
