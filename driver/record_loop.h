// record_loop.h — the formats' start-up and the record loop: which lines are
// chosen, the checks Kunpack adds to the formats, and every record from the
// input to the output. Used by main and by the tests and fuzz target that
// run whole records; errors are counted through message(), never returned.
#pragma once

#include <cstdint>

#include "format/field_list.h"
#include "io/reader.h"
#include "io/stream.h"
#include "storage/area.h"

// The field-format-list of the run, built in the nsize area by formats_start.
extern FieldList field_list;

// After the nsize area moved: the list and its compiled formats follow it.
void formats_translate(StorageArea& area);

// -t, -z and the field-format-list in the area (a null list is reported
// with the usage), then the formats compiled and checked: every format
// repeats to the end of the value, and the f option and absolute starts
// are refused (each a counted error naming the field).
void formats_start(const char* delimiter_text, const char* options_text, const char* list_text,
                   StorageArea& area);

// Builds the label lookup; the list's area must not move afterwards.
void field_choice_build();

// Writes the lines of one record (or piece): chosen fields through the
// unpack engine with `work` as its area, every other line as it is.
void record_write(FieldSpan* spans, StorageArea& work, OutputStream& out);

// The reader's pass for the list (after field_choice_build): the labels
// that may be chosen by their first units and, when there are at most four
// and all are ASCII, by their first eight bytes; chosen lines cut from
// their bytes where the formats allow it.
LinePass record_line_pass(OutputStream& out);

// Every record of `in` to `out`, each followed by its empty line; the
// records are read into the rsize and tsize areas and cut in the wsize area.
void record_loop_run(InputStream& in, OutputStream& out);
