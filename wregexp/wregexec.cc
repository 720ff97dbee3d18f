// wregexec.cc — finds the leftmost match of a compiled wregexp in a
// NUL-terminated text by backtracking: first alternative wins, repetition is
// greedy. Backtracking state lives on a heap stack, never the call stack, and
// once a search runs long it never tries a (node, position) pair twice, so
// time stays within nodes × subject units and memory within a few bytes per
// unit. Errors are reported and count as no match; running out of memory is
// fatal.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "driver/messages.h"
#include "wregexp/program.h"
#include "wregexp/quick_search.h"
#include "wregexp/wregexp.h"
#include "wregexp/wregexp_internal.h"

int64_t wregexp_memo_threshold = 1 << 20;
uint64_t wregexp_memo_bit_limit = uint64_t{32} << 23;  // 32 MiB
int64_t wregexp_last_steps = 0;

namespace {

// A stack entry is one 32-bit word: a kind, a code and the distance of its
// position from the position of the entry below. Positions never decrease
// from the bottom of the stack to its top (matching only moves forward, and
// a pop resumes at the popped position), so the distance is small and
// usually 0 or 1; a larger one is escaped into two more words below.
//   GROUP_EVENT    OP_OPEN + n or OP_CLOSE + n was passed at the position;
//   ALTERNATIVE    the OP_BRANCH (node index) still to try at the position;
//   REPEAT         an OP_STAR/OP_PLUS (node index) whose continuation is
//                  being tried at the position, with its REPEAT_FLOOR below;
//   REPEAT_FLOOR   the lowest position that repetition may continue from.
// Group events sit between the choices so that one pop undoes both.
enum EntryKind : uint32_t { GROUP_EVENT = 0, ALTERNATIVE = 1, REPEAT = 2, REPEAT_FLOOR = 3 };
constexpr int KIND_SHIFT = 30;
constexpr int CODE_SHIFT = 15;
constexpr uint32_t CODE_MASK = 0x7FFF;  // programs stay below 32767 units
constexpr uint32_t DELTA_ESCAPE = 0x7FFF;

struct Entry {
  EntryKind kind;
  uint32_t code;    // node index or group opcode
  uint64_t offset;  // position, as a distance from the subject's start
};

// Words in chunks that double in size: growing never copies, so a long
// subject never holds two copies of the stack at once. The first chunk
// lives inside the stack itself, which keeps short searches off the heap.
constexpr int FIRST_CHUNK_WORDS = 256;
constexpr int MAX_CHUNKS = 40;
struct BacktrackStack {
  uint32_t first_chunk[FIRST_CHUNK_WORDS];
  uint32_t* chunks[MAX_CHUNKS];                       // chunk k holds FIRST_CHUNK_WORDS << k words
  int chunk_count = 1;                                // chunks allocated so far
  int current = 0;                                    // chunk holding the top word
  uint32_t* top = first_chunk;                        // one past the top word
  uint32_t* limit = first_chunk + FIRST_CHUNK_WORDS;  // end of the current chunk
  uint64_t top_offset = 0;                            // position of the top entry; 0 when empty

  BacktrackStack() { chunks[0] = first_chunk; }  // the others are set as they are allocated
  BacktrackStack(const BacktrackStack&) = delete;
  BacktrackStack& operator=(const BacktrackStack&) = delete;
  ~BacktrackStack() {
    for (int k = 1; k < chunk_count; ++k) std::free(chunks[k]);
  }
  bool is_empty() const { return current == 0 && top == first_chunk; }
};

// Remembered visits, one bit per memo node and subject position: a visit
// that comes back to a (node, position) pair repeats one that has failed
// (a success would have ended the search, and no loop comes back to a node
// without consuming a unit). Whether a chain fails from a pair depends on
// nothing else (no back-references), so pruning never changes the result,
// and a pair that failed for one start fails for every later one.
// Above wregexp_memo_bit_limit bits a direct-mapped table of pairs stands in for
// the bits: it forgets pairs that collide, which costs speed, never results.
constexpr int CACHE_SLOT_BITS = 22;  // at most 32 MiB of pairs
constexpr int PROGRAM_INDEXES = 32768;
struct FailureMemo {
  bool active = false;             // remembering; every visit is checked
  int16_t* row_of_node = nullptr;  // per program index: memo row, or -1
  int32_t rows = 0;                // memo nodes
  uint64_t row_words = 0;          // 64-bit words per row (bits mode)
  uint64_t* bits = nullptr;        // rows × row_words, or null in cache mode
  uint64_t* cache = nullptr;       // 1 << cache_bits pairs, or null in bits mode
  int cache_bits = 0;              // no more than the pairs there are, nor CACHE_SLOT_BITS

  FailureMemo() = default;
  FailureMemo(const FailureMemo&) = delete;
  FailureMemo& operator=(const FailureMemo&) = delete;
  ~FailureMemo() {
    std::free(row_of_node);
    std::free(bits);
    std::free(cache);
  }
};

// A search gets this many node steps per start position it has passed,
// beyond the threshold, before it starts remembering visits; ordinary
// searches never get there and pay nothing for the memo.
constexpr int64_t STEPS_PER_UNIT = 64;
constexpr int64_t CHECK_INTERVAL = 1 << 16;

// The state of one search, kept across all its start positions.
struct MatchState {
  MatchState(wregexp* searched, const Unit* text, bool groups)
      : expression(searched), subject(text), program(searched->program), records_groups(groups) {}

  wregexp* expression;
  const Unit* subject;          // where "^" matches; stack positions count from here
  const Unit* program;          // the magic unit; stack node indexes count from here
  bool records_groups;          // false: only the whole match is wanted
  const Unit* attempt_start{};  // where the current attempt began
  const Unit* node{};           // the node to interpret next
  const Unit* position{};       // the current unit
  int64_t steps = 0;            // nodes and repeated units interpreted in this search
  int64_t next_check = wregexp_memo_threshold;  // when to look for runaway backtracking
  BacktrackStack stack;                         // choices and group events of the current attempt
  FailureMemo memo;                             // visits remembered once the search runs long
};

[[noreturn]] void out_of_memory() {
  message(MSG_FATAL, "can't allocate storage for %s.\n", "wregexp");
  std::abort();  // not reached: a fatal message exits
}

void* allocate_zeroed(std::size_t count, std::size_t size) {
  void* block = std::calloc(count, size);
  if (block == nullptr) out_of_memory();
  return block;
}

int match_at(MatchState& state, const Unit* start);

// Reports a missing argument or a damaged program (which count as no match).
bool can_search(const wregexp* expression, const Unit* subject) {
  if (expression == nullptr || subject == nullptr) {
    wregerror("NULL parameter");
    return false;
  }
  if (expression->program[0] != WREGEXP_MAGIC) {
    wregerror("corrupted program");
    return false;
  }
  return true;
}

// What every position where a match starts begins with, taken from the
// first node of each top-level alternative: the search tries only those.
struct StartFilter {
  const Unit* set = nullptr;  // the first character is in it (or, when negated, not in it)
  bool negated = false;
  const Unit* texts[4] = {};  // otherwise, when text_count > 0, one of these texts
  int text_count = 0;
  int32_t first_length = 0;      // units in texts[0]
  bool by_first_unit = false;    // more than four texts: only their first units are known
  uint64_t first_units[4] = {};  // then: bit (unit & 255) set for each first unit
};
StartFilter start_filter_of(const Unit* program);
const Unit* next_candidate(const StartFilter& filter, const Unit* position);
const Unit* find_text(const Unit* text, const Unit* wanted, int32_t length);

}  // namespace

int wregexec(wregexp* expression, const Unit* subject) {
  if (!can_search(expression, subject)) return 0;
  int quick = quick_search(*expression, subject);
  if (quick != QUICK_NOT_SIMPLE) return quick;
  if (expression->must_text != nullptr &&
      find_text(subject, expression->must_text, expression->must_length) == nullptr) {
    return 0;
  }

  MatchState state(expression, subject, true);
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
  wregexp_last_steps = state.steps;
  return found;
}

// The doubled text comes from the general heap: values are unbounded, and
// the storage areas are for data that outlives the call. Only a match that
// starts at the doubled text's start can cover it, and the leftmost match
// is that one when it exists, so one attempt there decides; its groups are
// not wanted, which keeps them off the stack.
int wregexp_doubled_match(const Unit* begin, const Unit* end, wregexp* expression) {
  std::size_t length = end > begin ? static_cast<std::size_t>(end - begin) : 0;
  Unit* doubled = static_cast<Unit*>(std::malloc((2 * length + 1) * sizeof(Unit)));
  if (doubled == nullptr) out_of_memory();
  for (std::size_t i = 0; i < length; ++i) {
    doubled[i] = begin[i];
    doubled[length + i] = begin[i];
  }
  doubled[2 * length] = 0;
  int result = 1;
  if (can_search(expression, doubled)) {
    MatchState state(expression, doubled, false);
    if (match_at(state, doubled) != 0 && expression->match_ends[0] == doubled + 2 * length) {
      result = 0;
    }
    wregexp_last_steps = state.steps;
  }
  std::free(doubled);
  return result;
}

namespace {

// ---- the backtracking stack ----

// Moves the top to the next chunk, allocating it the first time.
void enter_next_chunk(BacktrackStack& stack) {
  int next = stack.current + 1;
  if (next == MAX_CHUNKS) out_of_memory();
  std::size_t words = std::size_t{FIRST_CHUNK_WORDS} << next;
  if (next == stack.chunk_count) {
    void* chunk = std::malloc(words * sizeof(uint32_t));
    if (chunk == nullptr) out_of_memory();
    stack.chunks[stack.chunk_count++] = static_cast<uint32_t*>(chunk);
  }
  stack.current = next;
  stack.top = stack.chunks[next];
  stack.limit = stack.top + words;
}

void leave_chunk(BacktrackStack& stack) {
  --stack.current;
  stack.limit = stack.chunks[stack.current] + (std::size_t{FIRST_CHUNK_WORDS} << stack.current);
  stack.top = stack.limit;
}

inline void push_word(BacktrackStack& stack, uint32_t word) {
  if (stack.top == stack.limit) enter_next_chunk(stack);
  *stack.top++ = word;
}

inline uint32_t pop_word(BacktrackStack& stack) {
  if (stack.top == stack.chunks[stack.current]) leave_chunk(stack);
  return *--stack.top;
}

inline void push_entry(BacktrackStack& stack, EntryKind kind, uint32_t code, uint64_t offset) {
  uint64_t delta = offset - stack.top_offset;
  stack.top_offset = offset;
  uint32_t word = (uint32_t{kind} << KIND_SHIFT) | (code << CODE_SHIFT);
  if (delta < DELTA_ESCAPE) {
    push_word(stack, word | static_cast<uint32_t>(delta));
    return;
  }
  push_word(stack, static_cast<uint32_t>(delta));
  push_word(stack, static_cast<uint32_t>(delta >> 32));
  push_word(stack, word | DELTA_ESCAPE);
}

inline Entry pop_entry(BacktrackStack& stack) {
  uint32_t word = pop_word(stack);
  uint64_t delta = word & DELTA_ESCAPE;
  if (delta == DELTA_ESCAPE) {
    delta = uint64_t{pop_word(stack)} << 32;
    delta |= pop_word(stack);
  }
  Entry entry{static_cast<EntryKind>(word >> KIND_SHIFT), (word >> CODE_SHIFT) & CODE_MASK,
              stack.top_offset};
  stack.top_offset -= delta;
  return entry;
}

uint64_t offset_of(const MatchState& state, const Unit* position) {
  return static_cast<uint64_t>(position - state.subject);
}
uint32_t index_of(const MatchState& state, const Unit* node) {
  return static_cast<uint32_t>(node - state.program);
}
void push_choice(MatchState& state, EntryKind kind, const Unit* node, const Unit* position) {
  push_entry(state.stack, kind, index_of(state, node), offset_of(state, position));
}

// ---- the memo ----

uint64_t* cache_slot(FailureMemo& memo, int32_t row, uint64_t offset, uint64_t& key) {
  key = (uint64_t(row) + 1) << 44 | offset;
  uint64_t hash = (key * 0x9E3779B97F4A7C15u) >> (64 - memo.cache_bits);
  return memo.cache + hash;
}

// Marks the pair; true when it was marked before.
bool memo_test_and_set(FailureMemo& memo, int32_t row, uint64_t offset) {
  if (memo.bits == nullptr) {
    uint64_t key = 0;
    uint64_t* slot = cache_slot(memo, row, offset, key);
    if (*slot == key) return true;
    *slot = key;
    return false;
  }
  uint64_t& word = memo.bits[static_cast<uint64_t>(row) * memo.row_words + offset / 64];
  uint64_t mask = uint64_t{1} << (offset % 64);
  bool marked = (word & mask) != 0;
  word |= mask;
  return marked;
}

int32_t memo_row(const MatchState& state, const Unit* node) {
  return state.memo.active ? state.memo.row_of_node[index_of(state, node)] : -1;
}

void add_edge(const Unit* to, const Unit* program, uint8_t* in_degree, const Unit** pending,
              int& pending_count);

// Memo nodes are the places where paths join (two or more ways in: a
// loop's head, what follows a group of alternatives or an optional piece)
// and the repetitions. Every other node has one way in, so it cannot be
// visited twice at a position unless the node before it was.
void choose_memo_nodes(MatchState& state) {
  FailureMemo& memo = state.memo;
  uint8_t* in_degree = static_cast<uint8_t*>(allocate_zeroed(PROGRAM_INDEXES, 1));
  const Unit** pending =
      static_cast<const Unit**>(allocate_zeroed(PROGRAM_INDEXES, sizeof(const Unit*)));
  int pending_count = 0;
  add_edge(state.program + 1, state.program, in_degree, pending, pending_count);
  while (pending_count > 0) {
    const Unit* node = pending[--pending_count];
    const Unit* next = node_next(node);
    if (node[0] == OP_END) continue;
    if (node[0] == OP_BRANCH) {
      add_edge(node_operand(node), state.program, in_degree, pending, pending_count);
      if (next == nullptr || next[0] != OP_BRANCH) continue;  // a lone alternative
    }
    if (next != nullptr) add_edge(next, state.program, in_degree, pending, pending_count);
  }
  memo.row_of_node = static_cast<int16_t*>(allocate_zeroed(PROGRAM_INDEXES, sizeof(int16_t)));
  for (int i = 0; i < PROGRAM_INDEXES; ++i) {
    // Only nodes reached (in_degree > 0) lie inside the program.
    bool repeats = in_degree[i] > 0 && (state.program[i] == OP_STAR || state.program[i] == OP_PLUS);
    memo.row_of_node[i] = in_degree[i] >= 2 || repeats ? static_cast<int16_t>(memo.rows++) : -1;
  }
  std::free(in_degree);
  std::free(pending);
}

// Counts one more way into `to` (saturating at 2); the first one queues it.
void add_edge(const Unit* to, const Unit* program, uint8_t* in_degree, const Unit** pending,
              int& pending_count) {
  std::ptrdiff_t index = to - program;
  if (index <= 0 || index >= PROGRAM_INDEXES) return;
  if (in_degree[index] == 0) pending[pending_count++] = to;
  if (in_degree[index] < 2) ++in_degree[index];
}

void activate_memo(MatchState& state) {
  FailureMemo& memo = state.memo;
  choose_memo_nodes(state);
  uint64_t positions = unit_length(state.subject) + 1;
  memo.row_words = (positions + 63) / 64;
  uint64_t words = memo.row_words * static_cast<uint64_t>(memo.rows);
  if (words * 64 <= wregexp_memo_bit_limit) {
    memo.bits = static_cast<uint64_t*>(allocate_zeroed(words + 1, sizeof(uint64_t)));
  } else {
    uint64_t pairs = positions * static_cast<uint64_t>(memo.rows);
    memo.cache_bits = 1;
    while (memo.cache_bits < CACHE_SLOT_BITS && (uint64_t{1} << memo.cache_bits) < pairs) {
      ++memo.cache_bits;
    }
    memo.cache = static_cast<uint64_t*>(
        allocate_zeroed(std::size_t{1} << memo.cache_bits, sizeof(uint64_t)));
  }
  memo.active = true;
}

// Called once the step count passes a check point: starts remembering
// visits when the search has done far more steps than its start positions
// explain, then answers whether this visit repeats a failed one.
bool has_failed_before(MatchState& state) {
  FailureMemo& memo = state.memo;
  if (!memo.active) {
    state.next_check = state.steps + CHECK_INTERVAL;
    int64_t passed = state.attempt_start - state.subject;
    if (state.steps < wregexp_memo_threshold + STEPS_PER_UNIT * passed) return false;
    activate_memo(state);
    state.next_check = 0;  // every visit is checked from now on
  }
  int32_t row = memo_row(state, state.node);
  return row >= 0 && memo_test_and_set(memo, row, offset_of(state, state.position));
}

// ---- the attempt ----

enum StepResult { GO_ON, FAIL, MATCHED };

StepResult take_step(MatchState& state);
bool backtrack(MatchState& state);
void store_groups(MatchState& state);

// Interprets the program from `start`. A choice pushes what is left to
// try; a failure pops back to the latest choice. This visits the same
// states in the same order as a recursive interpreter whose inner success
// ends the whole chain.
int match_at(MatchState& state, const Unit* start) {
  wregexp& expression = *state.expression;
  for (int i = 0; i < WREGEXP_GROUPS; ++i) {
    expression.match_starts[i] = nullptr;
    expression.match_ends[i] = nullptr;
  }
  state.attempt_start = start;
  state.node = state.program + 1;
  state.position = start;
  for (;;) {
    StepResult result = take_step(state);
    if (result == MATCHED) break;
    if (result == FAIL && !backtrack(state)) return 0;
  }
  store_groups(state);
  expression.match_starts[0] = start;
  expression.match_ends[0] = state.position;
  return 1;
}

// Goes on to the next node when `matched`, `width` units further on.
StepResult advance(MatchState& state, bool matched, std::ptrdiff_t width) {
  if (!matched) return FAIL;
  state.position += width;
  state.node = node_next(state.node);
  return GO_ON;
}

bool set_contains(const Unit* set, Unit unit);
StepResult step_literal(MatchState& state);
StepResult step_branch(MatchState& state);
StepResult step_repeat(MatchState& state);
StepResult step_group(MatchState& state);

// One node: the dispatch on its opcode.
StepResult take_step(MatchState& state) {
  const Unit* node = state.node;
  if (node == nullptr) {
    wregerror("corrupted pointers");
    return FAIL;
  }
  if (++state.steps >= state.next_check && has_failed_before(state)) return FAIL;
  const Unit unit = *state.position;
  switch (node[0]) {
    case OP_END:
      return MATCHED;
    case OP_AT_START:
      return advance(state, state.position == state.subject, 0);
    case OP_AT_END:
      return advance(state, unit == 0, 0);
    case OP_ANY:
      return advance(state, unit != 0, 1);
    case OP_IN_SET:
      return advance(state, unit != 0 && set_contains(node_operand(node), unit), 1);
    case OP_NOT_IN_SET:
      return advance(state, unit != 0 && !set_contains(node_operand(node), unit), 1);
    case OP_LITERAL:
      return step_literal(state);
    case OP_BRANCH:
      return step_branch(state);
    case OP_EMPTY:
    case OP_BACK:
      return advance(state, true, 0);
    case OP_STAR:
    case OP_PLUS:
      return step_repeat(state);
    default:
      return step_group(state);
  }
}

StepResult step_literal(MatchState& state) {
  const Unit* text = node_operand(state.node);
  const Unit* p = state.position;
  while (*text != 0 && *text == *p) {
    ++text;
    ++p;
  }
  return advance(state, *text == 0, p - state.position);
}

// The first alternative now, the next one (if any) on the stack.
StepResult step_branch(MatchState& state) {
  const Unit* next = node_next(state.node);
  // A lone alternative leaves nothing to come back to.
  if (next != nullptr && next[0] == OP_BRANCH)
    push_choice(state, ALTERNATIVE, next, state.position);
  state.node = node_operand(state.node);
  return GO_ON;
}

StepResult step_group(MatchState& state) {
  Unit opcode = state.node[0];
  if (opcode > OP_OPEN && opcode < OP_CLOSE + WREGEXP_GROUPS && opcode != OP_CLOSE) {
    if (state.records_groups) {
      push_entry(state.stack, GROUP_EVENT, opcode, offset_of(state, state.position));
    }
    return advance(state, true, 0);
  }
  wregerror("memory corruption");
  return FAIL;
}

const Unit* count_repeats(MatchState& state, const Unit* node, int32_t row, bool& stopped);
const Unit* continuation_at_or_below(MatchState& state, const Unit* node, const Unit* floor,
                                     const Unit* from);

// Greedy: the longest run first, then shorter ones, each continuation only
// where the look-ahead unit stands. A run that meets a position this node
// was already visited at stops there: from that position on, every
// continuation of this run was tried by that visit and failed, so only the
// counts that end before it are left.
StepResult step_repeat(MatchState& state) {
  const Unit* node = state.node;
  const std::ptrdiff_t minimum = node[0] == OP_PLUS ? 1 : 0;
  bool stopped = false;
  const Unit* run_end = count_repeats(state, node, memo_row(state, node), stopped);
  const Unit* highest = stopped ? run_end + minimum - 1 : run_end;
  const Unit* floor = state.position + minimum;
  const Unit* at = continuation_at_or_below(state, node, floor, highest);
  if (at == nullptr) return FAIL;
  push_entry(state.stack, REPEAT_FLOOR, 0, offset_of(state, floor));
  push_choice(state, REPEAT, node, at);
  state.position = at;
  state.node = node_next(node);
  return GO_ON;
}

// ---- backtracking ----

// Back to the latest choice with something left to try; false when the
// attempt has none left. Group events above it are dropped on the way.
bool backtrack(MatchState& state) {
  BacktrackStack& stack = state.stack;
  while (!stack.is_empty()) {
    Entry entry = pop_entry(stack);
    if (entry.kind == ALTERNATIVE) {
      const Unit* choice = state.program + entry.code;
      state.position = state.subject + entry.offset;
      const Unit* after = node_next(choice);
      if (after != nullptr && after[0] == OP_BRANCH) {
        push_choice(state, ALTERNATIVE, after, state.position);
      }
      state.node = node_operand(choice);
      return true;
    }
    if (entry.kind != REPEAT) continue;
    const Unit* node = state.program + entry.code;
    const Unit* floor = state.subject + pop_entry(stack).offset;
    const Unit* tried = state.subject + entry.offset;
    const Unit* at =
        tried > floor ? continuation_at_or_below(state, node, floor, tried - 1) : nullptr;
    if (at == nullptr) continue;
    push_entry(stack, REPEAT_FLOOR, 0, offset_of(state, floor));
    push_choice(state, REPEAT, node, at);
    state.position = at;
    state.node = node_next(node);
    return true;
  }
  return false;
}

// On success the group entries are stored from the latest event back, an
// entry already set staying: each group gets its last pass on the match's
// path. This empties the stack.
void store_groups(MatchState& state) {
  wregexp& expression = *state.expression;
  while (!state.stack.is_empty()) {
    Entry entry = pop_entry(state.stack);
    if (entry.kind != GROUP_EVENT) continue;
    int code = static_cast<int>(entry.code);
    const Unit*& slot = code > OP_CLOSE ? expression.match_ends[code - OP_CLOSE]
                                        : expression.match_starts[code - OP_OPEN];
    if (slot == nullptr) slot = state.subject + entry.offset;
  }
}

// ---- repetition ----

bool repeats_unit(const Unit* operand, Unit unit) {
  switch (operand[0]) {
    case OP_ANY:
      return unit != 0;
    case OP_LITERAL:
      return unit == node_operand(operand)[0];
    case OP_IN_SET:
      return unit != 0 && set_contains(node_operand(operand), unit);
    case OP_NOT_IN_SET:
      return unit != 0 && !set_contains(node_operand(operand), unit);
    default:
      wregerror("internal foulup");
      return false;
  }
}

// The end of the run from `p` of units the one-unit node matches: a plain
// loop per kind of node, as runs of thousands are common.
const Unit* skip_run(const Unit* operand, const Unit* p) {
  switch (operand[0]) {
    case OP_ANY:
      while (*p != 0) ++p;
      return p;
    case OP_LITERAL: {
      const Unit unit = node_operand(operand)[0];
      while (*p == unit) ++p;
      return p;
    }
    case OP_IN_SET:
      while (*p != 0 && set_contains(node_operand(operand), *p)) ++p;
      return p;
    default:
      while (repeats_unit(operand, *p)) ++p;
      return p;
  }
}

// The end of the run from the current position of units the node's
// one-unit operand matches. With a memo row, every position of the run is
// marked as visited (a later visit there would try a subset of this
// visit's continuations), and the run stops, `stopped` set, at a position
// that was marked already.
const Unit* count_repeats(MatchState& state, const Unit* node, int32_t row, bool& stopped) {
  const Unit* operand = node_operand(node);
  const Unit* p = state.position;
  if (row < 0) {
    p = skip_run(operand, p);
  } else {
    while (repeats_unit(operand, *p)) {
      ++p;
      if (memo_test_and_set(state.memo, row, offset_of(state, p))) {
        stopped = true;
        break;
      }
    }
  }
  state.steps += p - state.position;
  return p;
}

// The highest position from `from` down to `floor` where the continuation
// may start: where the look-ahead unit stands, or anywhere when the next
// node is not a literal. Null when there is none.
const Unit* continuation_at_or_below(MatchState& state, const Unit* node, const Unit* floor,
                                     const Unit* from) {
  const Unit* next = node_next(node);
  Unit look_ahead = next != nullptr && next[0] == OP_LITERAL ? node_operand(next)[0] : 0;
  if (from < floor) return nullptr;
  if (look_ahead == 0) return from;
  for (const Unit* p = from;; --p) {
    if (*p == look_ahead || p == floor) {
      state.steps += from - p;
      return *p == look_ahead ? p : nullptr;
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
  if (filter.by_first_unit) {
    const Unit* p = position;
    for (; *p != 0; ++p) {
      if (((filter.first_units[(*p & 255u) / 64] >> (*p % 64)) & 1) != 0) return p;
    }
    return nullptr;
  }
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
// repeated by "+") give their texts, or beyond four texts only the hashes
// of their first units; anything else gives no filter.
StartFilter start_filter_of(const Unit* program) {
  StartFilter filter;
  const Unit* top = program + 1;
  const Unit* after = node_next(top);
  bool single = after == nullptr || after[0] != OP_BRANCH;
  int alternatives = 0;
  for (const Unit* branch = top; branch != nullptr && branch[0] == OP_BRANCH;
       branch = node_next(branch)) {
    const Unit* first = node_operand(branch);
    if (first[0] == OP_PLUS) first = node_operand(first);
    if (single && (first[0] == OP_IN_SET || first[0] == OP_NOT_IN_SET)) {
      filter.set = node_operand(first);
      filter.negated = first[0] == OP_NOT_IN_SET;
      break;
    }
    if (first[0] != OP_LITERAL) {
      filter = StartFilter{};
      return filter;
    }
    Unit unit = node_operand(first)[0];
    filter.first_units[(unit & 255u) / 64] |= uint64_t{1} << (unit % 64);
    if (filter.text_count < 4) filter.texts[filter.text_count++] = node_operand(first);
    ++alternatives;
    if (single) break;
  }
  filter.by_first_unit = alternatives > 4;
  if (filter.text_count > 0)
    filter.first_length = static_cast<int32_t>(unit_length(filter.texts[0]));
  return filter;
}

}  // namespace
