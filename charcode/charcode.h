// charcode.h — choice of the input and output character codes and the five
// converter slots through which every character enters and leaves.
// select_charcode() fills the slots once; they never change afterwards.
// Bulk operations are exact equivalents of calling the per-unit slot in a loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "charcode/lanes.h"
#include "driver/unit.h"
#include "io/stream.h"

void init_charcode();    // datautf/idatautf/odatautf from Kdatautf, Kodatautf, Kidatautf
void select_charcode();  // validates the settings and fills the slots

// 0xFFFF = end of input (in.end_of_file set) or an undecodable sequence; 0 = drop.
extern Unit (*in_getwc)(InputStream& in);
// Returns the unit, or 0xFFFF when writing failed / no character in the locale.
extern Unit (*out_putwc)(Unit unit, OutputStream& out);
extern int (*out_putnum)(double value, OutputStream& out);
extern int (*out_putmbs)(const char* text, OutputStream& out);
// Bytes of one unit in the output code into buffer (OUT_WCTOMB_MAX bytes); -1 none.
extern int (*out_wctomb)(char* buffer, Unit unit);
constexpr int OUT_WCTOMB_MAX = 16;

// Writes `count` units exactly as `count` calls of out_putwc would. The
// ASCII that begins the units goes straight into the block when the output
// code keeps ASCII (UTF-8, or a locale that maps ASCII to itself) and no
// surrogate is held; the bulk writer goes on from the first other unit.
extern bool out_keeps_ascii;
extern void (*out_putunits_slot)(const Unit* units, std::size_t count, OutputStream& out);
inline void out_putunits(const Unit* units, std::size_t count, OutputStream& out) {
  if (out_keeps_ascii && out.pending == 0 && count <= out.buffer_size - out.buffer_used) {
    std::size_t ascii = narrow_ascii_prefix(units, count, out.buffer + out.buffer_used);
    out.buffer_used += ascii;
    if (ascii == count) return;
    units += ascii;
    count -= ascii;
  }
  out_putunits_slot(units, count, out);
}
// Decodes into `units` (capacity >= 1) exactly the units that successive
// in_getwc calls would return, ending after the first 0xFFFF (so
// in.end_of_file still tells its meaning); returns their count (>= 1).
std::size_t in_getunits(InputStream& in, Unit* units, std::size_t capacity);
// True when the input code gives each ASCII byte, one byte per unit, as the
// unit of the same value (UTF-8, and the locale's code when it maps ASCII to
// itself): the record reader may then take such bytes from the input block.
extern bool in_keeps_ascii;
// True when both codes are UTF-8 (8, or a locale whose characters are
// UTF-8): a well-formed character other than U+FEFF, U+FFFE and U+FFFF is
// then written back as the bytes it was read from.
extern bool codes_are_utf8;
// True when both codes are UTF-16LE: every unit but 0, U+FEFF, U+FFFE and
// U+FFFF is then written back as the two bytes it was read from.
extern bool codes_are_utf16le;

// How the text a conversion scans is written, and read back from what the
// scan stored: in the locale's code when the output is in it, else in UTF-8
// (UTF-16 and UTF-32 would put zero bytes inside characters and end the
// scan). select_charcode chooses it along with the slots.
struct WorkTextCodec {
  bool in_utf8;          // else the locale's code, through out_wctomb
  bool ascii_unchanged;  // every unit below 0x80 is the one byte of its value
  std::size_t longest;   // most bytes one unit can take
};
extern WorkTextCodec work_text_codec;

// Bad input in the locale's code is consumed one maximal ill-formed part at
// a time: the longest run of bytes that still begins some character of the
// code, or one byte when the first begins none. The byte after it is read
// afresh, so no byte that begins a character is ever lost to an error before it.
//
// For the n >= 1 bytes at s that locale_decode_char refused (-1 or -2): the
// length of the ill-formed part at s, or -2 when all n bytes still begin a
// character (more bytes might complete it).
int locale_ill_formed_length(const char* s, std::size_t n);
