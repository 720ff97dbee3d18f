// wregexp_internal.h — knobs of the matcher that only its tests turn.
// The product never changes them; they alter speed, never results.
#pragma once

#include <cstdint>

// Node steps a search may take before it starts remembering failed
// (node, position) pairs; lowering it makes every search take that path.
extern int64_t wregexp_memo_threshold;

// Bits the memo of one search may use; beyond them a smaller table of
// pairs that forgets some stands in. Zero makes every memo a table.
extern uint64_t wregexp_memo_bit_limit;

// Node steps the latest search took: lets the tests check that a search
// stays linear without timing it.
extern int64_t wregexp_last_steps;
