// convert.h — convert_cfmt: a piece's work text scanned with the format's
// conversion text and the value written as a normalised number, string or
// character code. The scan never stores outside the value slot and its scratch.
#pragma once

#include <cstdint>
#include <string>

#include "format/field_format.h"
#include "io/stream.h"
#include "storage/area.h"

// Scans the NUL-terminated work text with format.cfmt and writes the value of
// the first assigning conversion as format.cfmt_class says. Returns the number
// of values assigned, counted up to 2 (the scan stops after the second), or a
// negative number when the text ended before the first conversion; nothing is
// written unless it is 1. The value slot is reserved in `area` after the work
// text: the caller's rewind to the work text frees both.
int convert_cfmt(char* work_text, const FieldFormat& format, StorageArea& area, OutputStream& out);

// The scan of one integer conversion ('d', 'i', 'u', 'x' or 'o', no width)
// without the C library, for the texts where the result cannot depend on the
// locale (the number is ASCII): white space, a sign, the base's prefix, the
// digits, strtol's or strtoul's range. False when it cannot answer; else
// `assigned` is sscanf's result and `value` the number, whose low bytes the
// scan stores.
bool scan_integer(const char* text, char conversion, int& assigned, uint64_t& value);

// The conversion text as this C library's sscanf must see it: size prefixes
// mapped ("l" on integers is 32-bit, "w", "S" and "C" are wide forms, "h" on
// a string or character is narrow), no "%n" after the first destination, no
// flag that allocates or names an argument, and cut after the second counted
// conversion or before the first directive it does not know. A string or
// character stored in the slot is narrow or wide as `cfmt_class` reads it.
std::string scan_text_rewrite(const char* conversion, int32_t cfmt_class);
