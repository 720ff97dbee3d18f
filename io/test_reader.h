// test_reader.h — what the reader's test and its fuzz target share: a record
// loop in brief, to compare lines passed as bytes with decoded lines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "charcode/charcode.h"
#include "io/reader.h"

// The pass-through tests' record loop in brief: labels that begin with 'x'
// may be chosen; a chosen line is written in brackets, the others as they
// are, and an empty line after each record's last piece.
inline bool label_begins_with_x(const unsigned char* label, std::size_t) {
  return label[0] == 'x';
}
constexpr uint64_t kStartsOfX[4] = {0, uint64_t{1} << ('x' - 64), 0, 0};

inline void write_marked_record(const FieldSpan* table, const InputStream& in, OutputStream& out) {
  static constexpr Unit kBrackets[] = {u'[', u']', u'\n'};
  for (const FieldSpan* span = table; span->line != nullptr; ++span) {
    bool chosen = span->value != span->line && span->line[0] == u'x';
    if (chosen) out_putunits(&kBrackets[0], 1, out);
    out_putunits(span->line, static_cast<std::size_t>(span->eol + 1 - span->line), out);
    if (chosen) out_putunits(&kBrackets[1], 1, out);
  }
  if (!in.record_open) out_putunits(&kBrackets[2], 1, out);
}
