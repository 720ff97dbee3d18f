// work_text.h — the text of a piece collected for conversion, one contiguous
// NUL-terminated run of bytes in the wsize area, and the way back from bytes
// the scan stored to units. A surrogate pair is one character of the text;
// a unit without an encoding (a lone surrogate, say) is left out.
#pragma once

#include <cstddef>

#include "driver/unit.h"
#include "io/stream.h"
#include "storage/area.h"

// The code of work texts is work_text_codec's, chosen with the slots.
// Appends the encoding of `count` units to the text that begins at `start`
// (null: the text begins here). `start` follows the area when it grows.
void work_text_append(const Unit* units, std::size_t count, char*& start, StorageArea& area);
// Appends the terminator (one zero byte).
void work_text_finish(char*& start, StorageArea& area);

// Writes the bytes of a narrow string stored by the scan, up to its first
// zero byte or `limit` bytes, as units decoded from the work text's code.
// Each ill-formed part (see locale_ill_formed_length) becomes U+FFFD.
void put_narrow_text(const char* bytes, std::size_t limit, OutputStream& out);
