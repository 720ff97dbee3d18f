// quick_search.h — the leftmost match of the simplest expressions found
// without the node interpreter: a literal, a literal followed by one unit
// under '*' or '+', or that repetition alone ('; *', '\t', ' +'). Gives
// exactly the match wregexec gives; other expressions are left to it.
#pragma once

#include "wregexp/wregexp.h"

constexpr int QUICK_NOT_SIMPLE = -1;

// Sets expression.quick from the compiled program; wregcomp calls it once.
void quick_shape_find(wregexp& expression);
// 1 with match_* set as wregexec sets them, 0 for no match, or
// QUICK_NOT_SIMPLE when the expression has any other shape.
int quick_search(wregexp& expression, const Unit* subject);
