// extract.h — copying one piece of a value: extract_fixed for pieces cut by
// an end position or a length (with trimming), extract_delimited for pieces
// that end at a delimiter or a pattern (with quotes and escapes resolved).
#pragma once

#include <cstddef>

#include "driver/unit.h"
#include "format/field_format.h"
#include "io/stream.h"
#include "storage/area.h"
#include "wregexp/wregexp.h"

// One match of a delimiter or pattern; start is null when there is none.
struct Match {
  const Unit* start = nullptr;
  const Unit* end = nullptr;
};

// The leftmost non-empty match in the zero-terminated text from `from` ("^"
// matches at `from`). An empty match never ends a piece: the search goes on
// from the unit after it, so a match, when there is one, always has length.
Match find_match(wregexp* regex, const Unit* from);

// True when the delimiter swallows a run of itself: its match written twice
// in a row is matched whole (wregexp_doubled_match gives 0).
bool absorbs_runs(wregexp* regex, const Unit* begin, const Unit* end);

// Where the units of a piece go.
enum PieceDestination {
  PIECE_OUTPUT,     // written with the output slots
  PIECE_WORK_TEXT,  // collected into a work text for the conversion
  PIECE_DISCARD,    // dropped (a line with an empty label)
};

struct PieceSink {
  PieceDestination destination;
  OutputStream* out;  // PIECE_OUTPUT
  StorageArea* area;  // PIECE_WORK_TEXT: the wsize area
  char** work_text;   // PIECE_WORK_TEXT: set to the text's start
};

// Copies [position, piece_end), trimmed by the "l" and "r" options; returns
// piece_end, where the next piece begins whatever the trimming took.
const Unit* extract_fixed(const Unit* position, const Unit* piece_end, const FieldFormat& format,
                          PieceSink& sink);

// Copies the piece from `position` up to the first match of the format's
// expression outside quotes and escapes (delimiter: up to the match, which is
// consumed; pattern: through the match). `known`, when given, is
// find_match(format.regex, position) already made. Returns where the next
// piece begins; sets trailing_empty when the value ends with a single
// delimiter and one empty piece is still due, and clears it otherwise.
const Unit* extract_delimited(const Unit* position, const Unit* eol, const FieldFormat& format,
                              const Match* known, PieceSink& sink, bool& trailing_empty);
