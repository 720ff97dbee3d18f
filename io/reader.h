// reader.h — turns the decoded input into one record at a time: a table of
// FieldSpan (label, value, end of line) over units stored in the rsize area.
// A record never spans two files; undecodable input is reported
// ("code error in K-file %s(%d).\n") and the unit dropped; U+0000 is dropped.
// Lines the caller turns down may go to the output as bytes (LinePass).
#pragma once

#include "driver/unit.h"
#include "io/stream.h"
#include "storage/area.h"

struct FieldSpan {
  Unit* line;   // first unit of the line (the label); null only in the end marker
  Unit* value;  // one past the label's ':'; == line when the line has no ':'
  Unit* eol;    // the line's newline (inclusive); in the end marker a 0 unit
};

// Lines that go from the input block straight to an output stream, never
// decoded: a whole line of ASCII bytes (no 0) whose label the caller turns
// down. The caller offers it only when both codes read and write every
// ASCII byte as itself (or are both UTF-16LE), so the bytes written are
// those the units would give.
struct LinePass {
  OutputStream* out;  // where the passed lines go, in input order
  // False when no line with this label (its bytes, the ':' included) is
  // chosen. The sixteen bytes after the label are readable.
  bool (*may_be_chosen)(const unsigned char* label, std::size_t length);
  // Both codes are UTF-8: a value may hold characters outside ASCII too,
  // each well-formed and none of U+FEFF, U+FFFE, U+FFFF.
  bool utf8;
  // Both codes are UTF-16LE instead: the lines are of two-byte units, their
  // labels ASCII, and no unit is 0, U+FEFF, U+FFFE or U+FFFF.
  bool utf16le;
  // Bit b (of 256) set for each byte b that may begin the label of a chosen
  // line: a line that begins with an ASCII byte whose bit is clear is never
  // chosen, so runs of such lines pass without a look at each label.
  // Null when any label may be chosen.
  const uint64_t* label_starts = nullptr;
  // Writes the pieces of a chosen line from its bytes, when its format
  // allows: the label through its ':' is label_length bytes, the value
  // ends at line_length (the newline excluded) and is clean (as above).
  // False leaves the line to the record. Null: every chosen line is.
  // Called only for the line whose label may_be_chosen last answered true.
  bool (*write_chosen)(const unsigned char* line, std::size_t label_length,
                       std::size_t line_length, OutputStream& out) = nullptr;
  // Sharper than label_starts where few labels are chosen: the first eight
  // bytes of each chosen label with its ':' (as loaded from memory), masked
  // to the label's length. A line whose first eight bytes match none under
  // its mask is never chosen. Used when label_prefix_count > 0.
  static constexpr int MAX_LABEL_PREFIXES = 4;
  int label_prefix_count = 0;
  uint64_t label_prefix[MAX_LABEL_PREFIXES] = {};
  uint64_t label_prefix_mask[MAX_LABEL_PREFIXES] = {};
};

// Next record of all input, or null at the end; counts records per file and
// sets current_file_name / record_number for messages. A record may come in
// pieces that end at a line's start: once a piece has stored
// record_piece_bytes of units, and, with a LinePass, before a line it lets
// through that follows other lines (the lines it lets through are written
// before the piece is returned); in.record_open then tells that the record
// goes on in the next piece.
extern std::size_t record_piece_bytes;
// Whether lines that pass are scanned 32 bytes at a time (AVX2), where the
// processor can; the tests run both scans.
extern bool record_scan_avx2;
FieldSpan* record_next(InputStream& in, StorageArea& chars, StorageArea& spans,
                       const LinePass* pass = nullptr);
// Next record of the current file, or null when it has none.
FieldSpan* record_read(InputStream& in, StorageArea& chars, StorageArea& spans);
// The unit-by-unit form of record_read (one in_getwc call per unit): the
// reference that record_read must match exactly; only the tests use it.
FieldSpan* record_read_reference(InputStream& in, StorageArea& chars, StorageArea& spans);
