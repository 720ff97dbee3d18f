// test_reader.h — what the reader's test and its fuzz target share: a record
// loop in brief, to compare lines passed as bytes with decoded lines.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "charcode/charcode.h"
#include "io/reader.h"

// The pass-through tests' record loop in brief: labels that begin with
// `marked_start` ('x', or "xyz" to try a prefix of three bytes) may be
// chosen; a chosen line is written in brackets, the others as they are, and
// an empty line after each record's last piece.
inline std::string_view marked_start = "x";
inline std::vector<std::string>* marked_asked = nullptr;  // the labels asked about, when set
inline bool label_is_marked(const unsigned char* label, std::size_t length) {  // with its ':'
  if (marked_asked != nullptr) marked_asked->emplace_back(reinterpret_cast<const char*>(label), length);
  return length > marked_start.size() && std::memcmp(label, marked_start.data(), marked_start.size()) == 0;
}
constexpr uint64_t kStartsOfX[4] = {0, uint64_t{1} << ('x' - 64), 0, 0};

inline void write_marked_record(const FieldSpan* table, const InputStream& in, OutputStream& out) {
  static constexpr Unit kBrackets[] = {u'[', u']', u'\n'};
  for (const FieldSpan* span = table; span->line != nullptr; ++span) {
    bool chosen = static_cast<std::size_t>(span->value - span->line) > marked_start.size() &&
                  std::equal(marked_start.begin(), marked_start.end(), span->line);
    if (chosen) out_putunits(&kBrackets[0], 1, out);
    out_putunits(span->line, static_cast<std::size_t>(span->eol + 1 - span->line), out);
    if (chosen) out_putunits(&kBrackets[1], 1, out);
  }
  if (!in.record_open) out_putunits(&kBrackets[2], 1, out);
}

// A chosen line written from its bytes as write_marked_record writes it from its units;
// declined when of odd length. A "line" that held more than one would differ from the reference.
inline bool write_marked_line(const unsigned char* line, std::size_t,
                              std::size_t length, OutputStream& out) {
  static constexpr Unit kBrackets[] = {u'[', u'\n', u']'};
  if (length / (codes_are_utf16le ? 2 : 1) % 2 != 0) return false;
  out_putunits(&kBrackets[0], 1, out);
  output_bytes(out, line, length);
  out_putunits(&kBrackets[1], 2, out);
  return true;
}

// The loop's pass: `how` 0 asks about every label, 1 rules labels out by
// their first byte, 2 by their first eight and writes chosen lines as bytes.
inline LinePass marked_pass(OutputStream& out, int how) {
  LinePass pass = {&out, label_is_marked, codes_are_utf8, codes_are_utf16le,
                   how > 0 ? kStartsOfX : nullptr};
  if (how == 2) {
    unsigned char head[8] = {}, mask[8] = {};
    std::memcpy(head, marked_start.data(), marked_start.size());
    std::memset(mask, 0xFF, marked_start.size());
    std::memcpy(&pass.label_prefix[0], head, 8);
    std::memcpy(&pass.label_prefix_mask[0], mask, 8);
    pass.label_prefix_count = 1;
    pass.write_chosen = write_marked_line;
  }
  return pass;
}
