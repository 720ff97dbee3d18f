// byte_cut.h — a chosen line cut into pieces from its bytes, for the
// simplest delimiter formats (ByteCut), with exactly the lines unpack_field
// writes. Safe where each byte of the line is the unit it decodes to and
// encodes back to: ASCII, or whole clean UTF-8 characters in and out (a
// delimiter byte, being ASCII, never lies inside such a character).
#pragma once

#include <cstddef>

#include "format/field_format.h"
#include "io/stream.h"

// The format's ByteCut: usable only for a repeating delimiter format
// without options that change a piece (q, Q, b, f) and without a conversion.
ByteCut byte_cut_plan(const FieldFormat& format);

// Writes the "label:piece" lines of the line's value: `line` holds the
// label through its ':' (label_length bytes) and the value, up to
// line_length, without its newline; in UTF-16LE when `utf16le` (in and
// out), else one byte per unit. False, with nothing written, when the
// format has no usable ByteCut or the label is empty.
bool unpack_field_bytes(const FieldFormat& format, const unsigned char* line,
                        std::size_t label_length, std::size_t line_length, bool utf16le,
                        OutputStream& out);
