// wregexec.cc — finds the leftmost match of a compiled wregexp in a
// NUL-terminated text by backtracking: first alternative wins, repetition is
// greedy. Backtracking state lives on a heap stack, never the call stack, so
// any subject length is safe; errors are reported and count as no match.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "driver/messages.h"
#include "wregexp/program.h"
#include "wregexp/quick_search.h"
#include "wregexp/wregexp.h"
#include "wregexp/wregexp_internal.h"

int64_t wregexp_memo_threshold = 1 << 20;
int64_t wregexp_last_steps = 0;

namespace {

// The backtracking stack holds three kinds of 64-bit entries. Each packs a
// kind, a node (its index in the program) or group event, and a position
// (its distance from the subject's start):
//   GROUP_EVENT  OP_OPEN + n or OP_CLOSE + n was passed at the position;
//   ALTERNATIVE  the OP_BRANCH still to try, and the position to try it at;
//   REPEAT       an OP_STAR/OP_PLUS node and its run's start, with the
//                count being tried in the entry just below and the run's
//                end (its distance from the subject's start) below that.
// Group events sit between the choices so that one pop undoes both.
enum EntryKind : uint64_t { GROUP_EVENT = 0, ALTERNATIVE = 1, REPEAT = 2 };
constexpr int KIND_SHIFT = 62;
constexpr int NODE_SHIFT = 47;
constexpr uint64_t NODE_MASK = 0x7FFF;  // programs stay below 32767 units
constexpr uint64_t OFFSET_MASK = (uint64_t{1} << NODE_SHIFT) - 1;

// A search gets this many node steps per subject unit reached, beyond the
// threshold, before it starts remembering failures.
constexpr int64_t STEPS_PER_UNIT = 64;
constexpr int64_t CHECK_INTERVAL = 1 << 16;
// Remembered failures cost one bit per node and subject position; beyond
// this many bits the search goes on without them.
constexpr uint64_t MEMO_BIT_LIMIT = uint64_t{1} << 30;

// The stack keeps its capacity between searches; one that grew huge for a
// long subject is released afterwards.
constexpr std::size_t STACK_KEEP_LIMIT = 1 << 20;
std::vector<uint64_t> backtrack_stack;

// Failures remembered once backtracking runs away: whether the chain from a
// node at a position has failed. That depends on nothing else (no
// back-references), so pruning a second visit never changes the result.
struct FailureMemo {
  bool active = false;                // remembering
  bool refused = false;               // the subject is too long for even one row
  uint64_t positions = 0;             // subject length + 1: bits per node
  std::vector<int32_t> slot_of_node;  // per program index: row in `bits`, or -1
  std::vector<uint64_t> bits;         // one row of `positions` bits per node seen
  uint64_t row_words = 0;             // 64-bit words per row
};

// A repetition whose every count was tried and failed: its run of units
// that the repeated node matches, from `start` to `end`. The continuation
// failed at each of those positions (failure depends on nothing but node and
// position), so a later visit of the node that starts inside the run, whose
// own run ends at the same `end`, can only try a subset of them: it fails at
// once. Without this, a search like '[0-9]+$' in a long run of digits
// counts the rest of the run again at every start, which is quadratic.
struct ExhaustedRun {
  const Unit* node;   // the OP_STAR or OP_PLUS node; null when unused
  const Unit* start;  // the exhausted visit's run start
  const Unit* end;    // the run's end
};
constexpr int EXHAUSTED_RUNS = 8;  // repetition nodes remembered per search

struct MatchState {
  wregexp* expression;
  const Unit* subject;  // where "^" matches; stack positions count from here
  const Unit* program;  // the magic unit; stack node indexes count from here
  int64_t steps;        // nodes interpreted in this search
  int64_t next_check;   // step count at which to look for runaway backtracking
  FailureMemo memo;
  ExhaustedRun exhausted[EXHAUSTED_RUNS];  // by node, the latest exhausted run of each
};

const ExhaustedRun* exhausted_run_of(const MatchState& state, const Unit* node);
void remember_exhausted_run(MatchState& state, const Unit* node, const Unit* run_start,
                            const Unit* run_end);

int match_at(MatchState& state, const Unit* start);
const Unit* match_nodes(MatchState& state, const Unit* node, const Unit* position);
// What every position where a match starts begins with, taken from the
// first node of each top-level alternative: the search tries only those.
struct StartFilter {
  const Unit* set = nullptr;  // the first character is in it (or, when negated, not in it)
  bool negated = false;
  const Unit* texts[4] = {};  // otherwise, when text_count > 0, one of these texts
  int text_count = 0;
  int32_t first_length = 0;  // units in texts[0]
};
StartFilter start_filter_of(const Unit* program);
const Unit* next_candidate(const StartFilter& filter, const Unit* position);
const Unit* find_text(const Unit* text, const Unit* wanted, int32_t length);

}  // namespace

int wregexec(wregexp* expression, const Unit* subject) {
  if (expression == nullptr || subject == nullptr) {
    wregerror("NULL parameter");
    return 0;
  }
  if (expression->program[0] != WREGEXP_MAGIC) {
    wregerror("corrupted program");
    return 0;
  }
  int quick = quick_search(*expression, subject);
  if (quick != QUICK_NOT_SIMPLE) return quick;
  if (expression->must_text != nullptr &&
      find_text(subject, expression->must_text, expression->must_length) == nullptr) {
    return 0;
  }

  MatchState state{expression, subject, expression->program, 0, wregexp_memo_threshold, {}, {}};
  int found = 0;
  // The filter tries the positions holding first_unit too, with the whole
  // literal first_unit starts rather than its first character alone.
  StartFilter filter = start_filter_of(expression->program);
  if (expression->anchored != 0) {
    found = match_at(state, subject);
  } else if (filter.set == nullptr && filter.text_count == 0) {
    for (const Unit* p = subject;; ++p) {
      found = match_at(state, p);
      if (found != 0 || *p == 0) break;
    }
  } else {
    // A candidate is never the NUL, so the next one is searched from after it.
    for (const Unit* p = next_candidate(filter, subject); p != nullptr;
         p = next_candidate(filter, p + 1)) {
      found = match_at(state, p);
      if (found != 0) break;
    }
  }
  if (backtrack_stack.capacity() > STACK_KEEP_LIMIT) std::vector<uint64_t>().swap(backtrack_stack);
  wregexp_last_steps = state.steps;
  return found;
}

// The doubled text comes from the general heap: values are unbounded, and
// the storage areas are for data that outlives the call.
int wregexp_doubled_match(const Unit* begin, const Unit* end, wregexp* expression) {
  std::size_t length = end > begin ? static_cast<std::size_t>(end - begin) : 0;
  Unit* doubled = static_cast<Unit*>(std::malloc((2 * length + 1) * sizeof(Unit)));
  if (doubled == nullptr) {
    // Fatal like every other storage shortage; "wregexp" names the owner.
    message(MSG_FATAL, "can't allocate storage for %s.\n", "wregexp");
    return 1;
  }
  for (std::size_t i = 0; i < length; ++i) {
    doubled[i] = begin[i];
    doubled[length + i] = begin[i];
  }
  doubled[2 * length] = 0;
  int result = 1;
  if (wregexec(expression, doubled) != 0 && expression->match_starts[0] == doubled &&
      expression->match_ends[0] == doubled + 2 * length) {
    result = 0;
  }
  std::free(doubled);
  return result;
}

namespace {

// ---- the attempt ----

int match_at(MatchState& state, const Unit* start) {
  wregexp& expression = *state.expression;
  for (int i = 0; i < WREGEXP_GROUPS; ++i) {
    expression.match_starts[i] = nullptr;
    expression.match_ends[i] = nullptr;
  }
  const Unit* end = match_nodes(state, state.program + 1, start);
  if (end == nullptr) return 0;
  expression.match_starts[0] = start;
  expression.match_ends[0] = end;
  return 1;
}

uint64_t pack(EntryKind kind, uint64_t node, const MatchState& state, const Unit* position) {
  return (uint64_t{kind} << KIND_SHIFT) | (node << NODE_SHIFT) |
         static_cast<uint64_t>(position - state.subject);
}
EntryKind kind_of(uint64_t entry) {
  return static_cast<EntryKind>(entry >> KIND_SHIFT);
}
const Unit* node_of(uint64_t entry, const MatchState& state) {
  return state.program + ((entry >> NODE_SHIFT) & NODE_MASK);
}
int group_code_of(uint64_t entry) {
  return static_cast<int>((entry >> NODE_SHIFT) & NODE_MASK);
}
const Unit* position_of(uint64_t entry, const MatchState& state) {
  return state.subject + (entry & OFFSET_MASK);
}

bool set_contains(const Unit* set, Unit unit);
int64_t count_repeats(const Unit* node, const Unit* position, const Unit* stop);
int64_t repeat_count_to_try(const Unit* node, const Unit* run_start, int64_t count);
void store_groups(MatchState& state, std::size_t base);
bool has_failed_before(MatchState& state, const Unit* node, const Unit* position);

// Interprets the chain from `node` at `position`: the match's end, or null.
// A choice pushes what is left to try; a failure pops back to the latest
// choice. This visits the same states in the same order as a recursive
// interpreter whose inner success ends the whole chain.
const Unit* match_nodes(MatchState& state, const Unit* node, const Unit* position) {
  std::vector<uint64_t>& stack = backtrack_stack;
  const std::size_t base = stack.size();
  const Unit* scan = node;
  const Unit* pos = position;
  for (;;) {
    bool failed = false;
    if (scan == nullptr) {
      wregerror("corrupted pointers");
      failed = true;
    } else if (++state.steps >= state.next_check && has_failed_before(state, scan, pos)) {
      failed = true;
    } else {
      const Unit* next = node_next(scan);
      Unit opcode = scan[0];
      switch (opcode) {
        case OP_END:
          store_groups(state, base);
          stack.resize(base);
          return pos;
        case OP_AT_START:
          failed = pos != state.subject;
          break;
        case OP_AT_END:
          failed = *pos != 0;
          break;
        case OP_ANY:
          failed = *pos == 0;
          ++pos;
          break;
        case OP_IN_SET:
          failed = *pos == 0 || !set_contains(node_operand(scan), *pos);
          ++pos;
          break;
        case OP_NOT_IN_SET:
          failed = *pos == 0 || set_contains(node_operand(scan), *pos);
          ++pos;
          break;
        case OP_LITERAL: {
          const Unit* text = node_operand(scan);
          while (*text != 0 && *text == *pos) {
            ++text;
            ++pos;
          }
          failed = *text != 0;
          break;
        }
        case OP_BRANCH:
          // A lone alternative leaves nothing to come back to.
          if (next != nullptr && next[0] == OP_BRANCH) {
            stack.push_back(
                pack(ALTERNATIVE, static_cast<uint64_t>(next - state.program), state, pos));
          }
          next = node_operand(scan);
          break;
        case OP_EMPTY:
        case OP_BACK:
          break;
        case OP_STAR:
        case OP_PLUS: {
          const ExhaustedRun* known = exhausted_run_of(state, scan);
          if (known != nullptr && known->start <= pos && pos <= known->end) {
            failed = true;  // every count would land where the known run failed
            break;
          }
          // A run that reaches the start of this node's exhausted run goes on
          // to that run's end, and its counts that land where that run's
          // continuation failed are not tried again.
          const int64_t minimum = opcode == OP_PLUS ? 1 : 0;
          const Unit* stop = known != nullptr ? known->start : nullptr;
          const Unit* run_start = pos;
          int64_t most = count_repeats(node_operand(scan), pos, stop);
          const Unit* run_end = run_start + most;
          if (stop != nullptr && run_end == stop) {
            run_end = known->end;
            most = (stop - run_start) + minimum - 1;
          }
          int64_t count = repeat_count_to_try(scan, run_start, most);
          if (count < 0) {
            remember_exhausted_run(state, scan, run_start, run_end);
            failed = true;
            break;
          }
          stack.push_back(static_cast<uint64_t>(run_end - state.subject));
          stack.push_back(static_cast<uint64_t>(count));
          stack.push_back(
              pack(REPEAT, static_cast<uint64_t>(scan - state.program), state, run_start));
          pos = run_start + count;
          break;
        }
        default:
          if (opcode > OP_OPEN && opcode < OP_CLOSE + WREGEXP_GROUPS && opcode != OP_CLOSE) {
            stack.push_back(pack(GROUP_EVENT, opcode, state, pos));
          } else {
            wregerror("memory corruption");
            failed = true;
          }
          break;
      }
      if (!failed) {
        scan = next;
        continue;
      }
    }

    // Back to the latest choice with something left to try.
    for (;;) {
      if (stack.size() == base) return nullptr;
      uint64_t entry = stack.back();
      stack.pop_back();
      EntryKind kind = kind_of(entry);
      if (kind == GROUP_EVENT) continue;
      const Unit* choice = node_of(entry, state);
      if (kind == ALTERNATIVE) {
        pos = position_of(entry, state);
        const Unit* after = node_next(choice);
        if (after != nullptr && after[0] == OP_BRANCH) {
          stack.push_back(
              pack(ALTERNATIVE, static_cast<uint64_t>(after - state.program), state, pos));
        }
        scan = node_operand(choice);
        break;
      }
      const Unit* run_start = position_of(entry, state);
      int64_t count = static_cast<int64_t>(stack.back());
      stack.pop_back();
      count = repeat_count_to_try(choice, run_start, count - 1);
      if (count < 0) {
        remember_exhausted_run(state, choice, run_start, state.subject + stack.back());
        stack.pop_back();
        continue;
      }
      stack.push_back(static_cast<uint64_t>(count));
      stack.push_back(entry);
      pos = run_start + count;
      scan = node_next(choice);
      break;
    }
  }
}

// The largest count, from `count` down to the node's minimum, after which
// the look-ahead character stands (any count when there is none); -1 if none.
int64_t repeat_count_to_try(const Unit* node, const Unit* run_start, int64_t count) {
  const int64_t minimum = node[0] == OP_PLUS ? 1 : 0;
  const Unit* next = node_next(node);
  Unit look_ahead = next != nullptr && next[0] == OP_LITERAL ? node_operand(next)[0] : 0;
  if (look_ahead == 0) return count >= minimum ? count : -1;
  for (; count >= minimum; --count) {
    if (run_start[count] == look_ahead) return count;
  }
  return -1;
}

// The length of the run from `position` of units the one-unit node matches;
// counting ends early at `stop` (when given), which the caller knows the run
// goes on from.
int64_t count_repeats(const Unit* node, const Unit* position, const Unit* stop) {
  const Unit* p = position;
  switch (node[0]) {
    case OP_ANY:
      while (*p != 0 && p != stop) ++p;
      break;
    case OP_LITERAL: {
      Unit unit = node_operand(node)[0];
      while (*p == unit && p != stop) ++p;
      break;
    }
    case OP_IN_SET:
      while (*p != 0 && p != stop && set_contains(node_operand(node), *p)) ++p;
      break;
    case OP_NOT_IN_SET:
      while (*p != 0 && p != stop && !set_contains(node_operand(node), *p)) ++p;
      break;
    default:
      wregerror("internal foulup");
      break;
  }
  return p - position;
}

const ExhaustedRun* exhausted_run_of(const MatchState& state, const Unit* node) {
  for (const ExhaustedRun& run : state.exhausted) {
    if (run.node == node) return &run;
  }
  return nullptr;
}

// Keeps the run in the node's slot, or in a free one; when all are taken by
// other nodes the run is not remembered (only speed is lost). Two exhausted
// runs of a node that end together are one: what failed from the later
// start failed from the earlier one too, so the start moves back.
void remember_exhausted_run(MatchState& state, const Unit* node, const Unit* run_start,
                            const Unit* run_end) {
  for (ExhaustedRun& run : state.exhausted) {
    if (run.node == node && run.end == run_end && run.start < run_start) return;
    if (run.node == node || run.node == nullptr) {
      run = {node, run_start, run_end};
      return;
    }
  }
}

// A unit directly before RANGE_MARK is the range's x+1 and belongs to the set
// only through the range, so '[a-a]' holds 'a' alone.
bool set_contains(const Unit* set, Unit unit) {
  for (const Unit* u = set; *u != 0; ++u) {
    if (*u == RANGE_MARK) {
      if (u[-1] <= unit && unit <= u[1]) return true;
    } else if (*u == unit && u[1] != RANGE_MARK) {
      return true;
    }
  }
  return false;
}

// On success the group entries are stored from the latest event back, an
// entry already set staying: each group gets its last pass on the match's path.
void store_groups(MatchState& state, std::size_t base) {
  wregexp& expression = *state.expression;
  const std::vector<uint64_t>& stack = backtrack_stack;
  for (std::size_t i = stack.size(); i > base;) {
    uint64_t entry = stack[--i];
    EntryKind kind = kind_of(entry);
    if (kind == REPEAT) {
      i -= 2;  // its count and its run's end
      continue;
    }
    if (kind != GROUP_EVENT) continue;
    int code = group_code_of(entry);
    const Unit*& slot = code > OP_CLOSE ? expression.match_ends[code - OP_CLOSE]
                                        : expression.match_starts[code - OP_OPEN];
    if (slot == nullptr) slot = position_of(entry, state);
  }
}

// Called once the step count passes a check point: starts remembering
// failures when the search has done far more steps than the subject it has
// covered explains, then answers whether this visit repeats a failed one.
bool has_failed_before(MatchState& state, const Unit* node, const Unit* position) {
  FailureMemo& memo = state.memo;
  if (!memo.active) {
    state.next_check = state.steps + CHECK_INTERVAL;
    int64_t covered = position - state.subject;
    if (memo.refused || state.steps < wregexp_memo_threshold + STEPS_PER_UNIT * covered) {
      return false;
    }
    memo.positions = unit_length(state.subject) + 1;
    memo.row_words = (memo.positions + 63) / 64;
    memo.refused = memo.row_words * 64 > MEMO_BIT_LIMIT;
    if (memo.refused) return false;
    memo.active = true;
  }
  state.next_check = state.steps;  // every visit is checked from now on

  std::size_t index = static_cast<std::size_t>(node - state.program);
  if (index >= memo.slot_of_node.size()) memo.slot_of_node.resize(index + 1, -1);
  int32_t slot = memo.slot_of_node[index];
  if (slot < 0) {
    if ((memo.bits.size() + memo.row_words) * 64 > MEMO_BIT_LIMIT) return false;  // unremembered
    slot = static_cast<int32_t>(memo.bits.size() / memo.row_words);
    memo.slot_of_node[index] = slot;
    memo.bits.resize(memo.bits.size() + memo.row_words, 0);
  }
  uint64_t bit = static_cast<uint64_t>(position - state.subject);
  uint64_t& word = memo.bits[static_cast<std::size_t>(slot) * memo.row_words + bit / 64];
  uint64_t mask = uint64_t{1} << (bit % 64);
  if ((word & mask) != 0) return true;
  word |= mask;
  return false;
}

// ---- scanning ----

// The subject's length is unknown, so every scan tests each unit for the
// NUL before it reads the next one.

// The first `unit` in the text, or null. (u - c) * u is zero exactly when u
// is c or the NUL: each factor has at most 15 factors of two, the product
// fewer than 32, so it never wraps to zero.
const Unit* find_unit(const Unit* text, Unit unit) {
  const Unit* p = text;
  for (;; p += 4) {
    if ((uint32_t{p[0]} - unit) * p[0] == 0) break;
    if ((uint32_t{p[1]} - unit) * p[1] == 0) {
      p += 1;
      break;
    }
    if ((uint32_t{p[2]} - unit) * p[2] == 0) {
      p += 2;
      break;
    }
    if ((uint32_t{p[3]} - unit) * p[3] == 0) {
      p += 3;
      break;
    }
  }
  return *p == unit ? p : nullptr;
}

uint32_t pair_hash(Unit first, Unit second) {
  return (first * 31u + second) & 255u;
}

// The texts hold no NUL, so a mismatch comes at the subject's NUL at the latest.
bool begins_with(const Unit* position, const Unit* text) {
  for (; *text != 0; ++position, ++text) {
    if (*position != *text) return false;
  }
  return true;
}

// The first place where the `length` units of `wanted` stand, or null.
// Pairs of units are tested first, with one branch that is rarely taken, so
// that frequent first units cost no mispredicted branches.
const Unit* find_text(const Unit* text, const Unit* wanted, int32_t length) {
  if (length <= 1) return find_unit(text, wanted[0]);
  const Unit first = wanted[0];
  const Unit second = wanted[1];
  for (const Unit* p = text;; ++p) {
    Unit c = p[0];
    if (c == 0) return nullptr;
    if (((c ^ first) | (p[1] ^ second)) == 0) {
      int32_t i = 2;
      while (i < length && p[i] == wanted[i]) ++i;
      if (i == length) return p;
    }
  }
}

// The first place where one of several texts stands, or null. A 256-bit
// table marks a hash of each text's first two units (its first unit alone
// when some text has only one); a position is compared in full only when its
// own hash is marked, which in ordinary text is rare.
const Unit* find_any_text(const StartFilter& filter, const Unit* text) {
  bool by_pairs = true;
  for (int i = 0; i < filter.text_count; ++i) by_pairs = by_pairs && filter.texts[i][1] != 0;
  uint64_t marked[4] = {};
  for (int i = 0; i < filter.text_count; ++i) {
    const Unit* t = filter.texts[i];
    uint32_t hash = by_pairs ? pair_hash(t[0], t[1]) : t[0] & 255u;
    marked[hash / 64] |= uint64_t{1} << (hash % 64);
  }
  for (const Unit* p = text;; ++p) {
    Unit c = p[0];
    if (c == 0) return nullptr;
    uint32_t hash = by_pairs ? pair_hash(c, p[1]) : c & 255u;
    if (((marked[hash / 64] >> (hash % 64)) & 1) == 0) continue;
    for (int i = 0; i < filter.text_count; ++i) {
      if (begins_with(p, filter.texts[i])) return p;
    }
  }
}

const Unit* next_candidate(const StartFilter& filter, const Unit* position) {
  if (filter.set != nullptr) {
    const Unit* p = position;
    while (*p != 0 && set_contains(filter.set, *p) == filter.negated) ++p;
    return *p != 0 ? p : nullptr;
  }
  if (filter.text_count == 1) return find_text(position, filter.texts[0], filter.first_length);
  return find_any_text(filter, position);
}

// ---- start filter ----

// A lone alternative that starts with a set (or a set repeated by "+") gives
// the set; alternatives that all start with a literal (or a literal
// repeated by "+") give their texts; anything else gives no filter.
StartFilter start_filter_of(const Unit* program) {
  StartFilter filter;
  const Unit* top = program + 1;
  const Unit* after = node_next(top);
  bool single = after == nullptr || after[0] != OP_BRANCH;
  for (const Unit* branch = top; branch != nullptr && branch[0] == OP_BRANCH;
       branch = node_next(branch)) {
    const Unit* first = node_operand(branch);
    if (first[0] == OP_PLUS) first = node_operand(first);
    if (single && (first[0] == OP_IN_SET || first[0] == OP_NOT_IN_SET)) {
      filter.set = node_operand(first);
      filter.negated = first[0] == OP_NOT_IN_SET;
      break;
    }
    if (first[0] != OP_LITERAL || filter.text_count == 4) {
      filter = StartFilter{};
      break;
    }
    filter.texts[filter.text_count++] = node_operand(first);
    if (single) break;
  }
  if (filter.text_count > 0)
    filter.first_length = static_cast<int32_t>(unit_length(filter.texts[0]));
  return filter;
}

}  // namespace
