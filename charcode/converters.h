// converters.h — every code's converters, for select_charcode to install and
// the tests to reach one by one. Each code has its unit-by-unit reference
// (the slot function) and a bulk form that must give exactly the same result.
#pragma once

#include <cstddef>

#include "charcode/charcode.h"

// True when the locale maps every ASCII byte to the same unit and back:
// only then may the locale converters copy runs of ASCII without asking it.
extern bool locale_keeps_ascii;
bool locale_ascii_round_trips();
// True when the locale reads and writes characters as UTF-8 (asked once).
bool locale_speaks_utf8();
// The locale's longest character (locale_max_length()), asked once as well.
extern std::size_t locale_longest;

using UnitDecoder = Unit (*)(InputStream& in);
using BulkDecoder = std::size_t (*)(InputStream& in, Unit* units, std::size_t capacity);
using UnitWriter = Unit (*)(Unit unit, OutputStream& out);
using UnitEncoder = int (*)(char* buffer, Unit unit);
using BulkWriter = void (*)(const Unit* units, std::size_t count, OutputStream& out);

Unit decode_locale(InputStream& in);
Unit decode_utf8(InputStream& in);
Unit decode_utf16le(InputStream& in);
Unit decode_utf16be(InputStream& in);
Unit decode_utf32le(InputStream& in);
Unit decode_utf32be(InputStream& in);

std::size_t decode_locale_bulk(InputStream& in, Unit* units, std::size_t capacity);
std::size_t decode_utf8_bulk(InputStream& in, Unit* units, std::size_t capacity);
std::size_t decode_utf16le_bulk(InputStream& in, Unit* units, std::size_t capacity);
std::size_t decode_utf16be_bulk(InputStream& in, Unit* units, std::size_t capacity);
std::size_t decode_utf32le_bulk(InputStream& in, Unit* units, std::size_t capacity);
std::size_t decode_utf32be_bulk(InputStream& in, Unit* units, std::size_t capacity);

Unit write_locale(Unit unit, OutputStream& out);
Unit write_utf8(Unit unit, OutputStream& out);
Unit write_utf16(Unit unit, OutputStream& out);
Unit write_utf32(Unit unit, OutputStream& out);

int encode_locale(char* buffer, Unit unit);
int encode_utf8(char* buffer, Unit unit);
int encode_utf16(char* buffer, Unit unit);
int encode_utf32(char* buffer, Unit unit);

void write_locale_bulk(const Unit* units, std::size_t count, OutputStream& out);
void write_utf8_bulk(const Unit* units, std::size_t count, OutputStream& out);
void write_utf16_bulk(const Unit* units, std::size_t count, OutputStream& out);
void write_utf32_bulk(const Unit* units, std::size_t count, OutputStream& out);

int put_multibyte(const char* text, OutputStream& out);
int put_number(double value, OutputStream& out);
