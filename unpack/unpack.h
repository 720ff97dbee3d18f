// unpack.h — decomposition of one chosen field value into labelled pieces.
// Writes one "label:piece" line per piece through the output slots; the value
// is cut in place (its newline is replaced by 0 for the call and restored).
// Warnings (truncation, end before start, more than one conversion) are counted messages.
#pragma once

#include "driver/unit.h"
#include "format/field_list.h"
#include "io/stream.h"
#include "storage/area.h"

// `entry` is the chosen line: name = the line, format = its value (which
// ends at *eol), compiled = its FieldFormat or null for DefaultFormat.
void unpack_field(FieldEntry& entry, Unit** eol, StorageArea& work, OutputStream& out);
