// wregexp.h — regular expressions over 16-bit units: a compiled program of
// nodes (wregcomp) and a backtracking matcher (wregexec). Leftmost match,
// first alternative wins, greedy repetition. Every error is reported through
// wregerror as a counted message; compile failures return null.
#pragma once

#include <cstdint>

#include "driver/unit.h"

constexpr Unit WREGEXP_MAGIC = 156;
constexpr int WREGEXP_GROUPS = 10;  // entry 0 is the whole match, 1..9 the groups

// An expression that is a literal and/or one repeated unit ('; *', '\t',
// ' +'), found by wregcomp so that each search need not read the nodes.
struct QuickShape {
  bool simple;          // false: the node interpreter searches
  Unit repeated;        // the unit under '*' or '+', or 0 when none
  bool at_least_one;    // '+': the run must not be empty
  const Unit* literal;  // the leading text (NUL-terminated, in program), or null
  int32_t literal_length;
};

struct wregexp {
  const Unit* match_starts[WREGEXP_GROUPS];  // null where a group took no part
  const Unit* match_ends[WREGEXP_GROUPS];
  Unit first_unit;        // every match begins with this unit, or 0
  Unit anchored;          // 1 when every match begins at the subject's start
  const Unit* must_text;  // a literal every match contains (points into program), or null
  int32_t must_length;
  Unit* program;     // WREGEXP_MAGIC, then the nodes (same allocation)
  QuickShape quick;  // set by wregcomp
};

// Compiles a NUL-terminated expression; null after reporting an error. The
// result is one std::malloc block (program included), kept for the whole run.
wregexp* wregcomp(const Unit* expression);
// 1 when the NUL-terminated subject contains a match (match_* set), else 0.
int wregexec(wregexp* expression, const Unit* subject);
// 0 when the expression matches exactly the span [begin, end) written twice in
// a row, else 1. Overwrites match_starts/match_ends.
int wregexp_doubled_match(const Unit* begin, const Unit* end, wregexp* expression);
// "regular expression error (%s) in -t parameter or format.\n", counted.
void wregerror(const char* text);
