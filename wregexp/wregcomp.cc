// wregcomp.cc — compiles an expression into a wregexp node program in two
// passes over the same text: the first only counts units, the second emits
// them into an allocation of exactly that size. Every syntax error is
// a CompileError kind, reported in one place through wregerror, and the
// result is null.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "driver/messages.h"
#include "wregexp/program.h"
#include "wregexp/quick_search.h"
#include "wregexp/wregexp.h"

namespace {

// Flags passed upwards while parsing.
constexpr int FLAG_NONEMPTY = 1;  // the part cannot match the empty text
constexpr int FLAG_SINGLE = 2;    // one node matching exactly one character
constexpr int FLAG_STARRED = 4;   // the part begins with a piece built with "*" or "?"

// A program is addressed with 16-bit offsets, so it must stay below this.
constexpr int64_t PROGRAM_LIMIT = 32767;

constexpr int NO_NODE = -1;  // a parse function's failure (its kind is in state.error)

// What can stop a compilation; compile_error_text gives each kind's message.
enum class CompileError {
  NONE,
  NULL_ARGUMENT,
  TOO_BIG,
  OUT_OF_SPACE,
  TOO_MANY_GROUPS,
  UNMATCHED_PARENTHESIS,
  JUNK_ON_END,
  EMPTY_LOOP_OPERAND,
  NESTED_REPEAT,
  NOTHING_TO_PARSE,
  REPEAT_FOLLOWS_NOTHING,
  TRAILING_BACKSLASH,
  EMPTY_LITERAL,
  INVALID_RANGE,
  UNMATCHED_BRACKET,
};

const char* compile_error_text(CompileError error) {
  switch (error) {
    case CompileError::NONE:
      break;
    case CompileError::NULL_ARGUMENT:
      return "NULL argument";
    case CompileError::TOO_BIG:
      return "wregexp too big";
    case CompileError::OUT_OF_SPACE:
      return "out of space";
    case CompileError::TOO_MANY_GROUPS:
      return "too many ()";
    case CompileError::UNMATCHED_PARENTHESIS:
      return "unmatched ()";
    case CompileError::JUNK_ON_END:
      return "junk on end";
    case CompileError::EMPTY_LOOP_OPERAND:
      return "*+ operand could be empty";
    case CompileError::NESTED_REPEAT:
      return "nested *?+";
    case CompileError::NOTHING_TO_PARSE:  // the callers stop before these characters
      return "internal urp";
    case CompileError::REPEAT_FOLLOWS_NOTHING:
      return "?+* follows nothing";
    case CompileError::TRAILING_BACKSLASH:
      return "trailing \\";
    case CompileError::EMPTY_LITERAL:  // a special character reached the literal run
      return "internal disaster";
    case CompileError::INVALID_RANGE:
      return "invalid [] range";
    case CompileError::UNMATCHED_BRACKET:
      return "unmatched []";
  }
  return "";
}

struct CompileState {
  const Unit* parse;   // next character of the expression
  int next_group;      // number the next "(" gets; 10 when all nine are used
  Unit* program;       // null in the counting pass
  int64_t size;        // units counted so far; in the emitting pass, the emit position
  int64_t capacity;    // units allocated for the emitting pass
  CompileError error;  // why a parse function returned NO_NODE
};

// Records why parsing stops; the caller passes NO_NODE up.
int fail(CompileState& state, CompileError error) {
  state.error = error;
  return NO_NODE;
}

CompileError compile(const Unit* expression, wregexp*& result);

int parse_expression(CompileState& state, bool in_parentheses, int& flags);
void fill_hints(wregexp& expression, int flags);

}  // namespace

wregexp* wregcomp(const Unit* expression) {
  wregexp* result = nullptr;
  CompileError error = compile(expression, result);
  if (error == CompileError::NONE) return result;
  wregerror(compile_error_text(error));
  return nullptr;
}

void wregerror(const char* text) {
  message(MSG_ERROR, "regular expression error (%s) in -t parameter or format.\n", text);
}

namespace {

CompileError compile(const Unit* expression, wregexp*& result) {
  if (expression == nullptr) return CompileError::NULL_ARGUMENT;
  CompileState state{expression, 1, nullptr, 1, 0, CompileError::NONE};  // 1: the magic unit
  int flags = 0;
  if (parse_expression(state, false, flags) == NO_NODE) return state.error;
  if (state.size >= PROGRAM_LIMIT) return CompileError::TOO_BIG;

  int64_t capacity = state.size + 2;  // two spare units
  void* block = std::malloc(sizeof(wregexp) + static_cast<std::size_t>(capacity) * sizeof(Unit));
  if (block == nullptr) return CompileError::OUT_OF_SPACE;
  result = static_cast<wregexp*>(block);
  for (int i = 0; i < WREGEXP_GROUPS; ++i) {
    result->match_starts[i] = nullptr;
    result->match_ends[i] = nullptr;
  }
  result->program = reinterpret_cast<Unit*>(result + 1);
  std::memset(result->program, 0, static_cast<std::size_t>(capacity) * sizeof(Unit));

  state = CompileState{expression, 1, result->program, 1, capacity, CompileError::NONE};
  result->program[0] = WREGEXP_MAGIC;
  parse_expression(state, false, flags);  // the text parsed once already
  fill_hints(*result, flags);
  return CompileError::NONE;
}

// ---- emitting (counting only when state.program is null) ----

bool is_counting(const CompileState& state) {
  return state.program == nullptr;
}

void emit_unit(CompileState& state, Unit unit) {
  if (!is_counting(state) && state.size < state.capacity) state.program[state.size] = unit;
  ++state.size;
}

int emit_node(CompileState& state, int opcode) {
  int node = static_cast<int>(state.size);
  emit_unit(state, static_cast<Unit>(opcode));
  emit_unit(state, 0);
  return node;
}

// Puts a node at `at`, moving what was emitted from there up by two units.
// Offsets inside the moved part are relative, so they stay right.
void insert_node(CompileState& state, int opcode, int at) {
  if (!is_counting(state) && state.size + NODE_HEADER_UNITS <= state.capacity) {
    Unit* place = state.program + at;
    std::memmove(place + NODE_HEADER_UNITS, place,
                 static_cast<std::size_t>(state.size - at) * sizeof(Unit));
    place[0] = static_cast<Unit>(opcode);
    place[1] = 0;
  }
  state.size += NODE_HEADER_UNITS;
}

// Sets the offset of the last node of the chain starting at `node` to reach `target`.
void link_to_end(CompileState& state, int node, int target) {
  if (is_counting(state)) return;
  const Unit* last = state.program + node;
  for (const Unit* next = node_next(last); next != nullptr; next = node_next(next)) last = next;
  Unit* writable = state.program + (last - state.program);
  int from = static_cast<int>(last - state.program);
  writable[1] = static_cast<Unit>(writable[0] == OP_BACK ? from - target : target - from);
}

// Links the end of an OP_BRANCH's alternative to `target`; other nodes have none.
void link_operand_tail(CompileState& state, int node, int target) {
  if (is_counting(state) || state.program[node] != OP_BRANCH) return;
  link_to_end(state, node + NODE_HEADER_UNITS, target);
}

// ---- parsing ----

bool is_special(Unit c) {
  switch (c) {
    case u'^':
    case u'$':
    case u'.':
    case u'[':
    case u'(':
    case u')':
    case u'|':
    case u'?':
    case u'+':
    case u'*':
    case u'\\':
      return true;
    default:
      return false;
  }
}

bool is_postfix(Unit c) {
  return c == u'*' || c == u'+' || c == u'?';
}

int parse_branch(CompileState& state, int& flags);
int parse_piece(CompileState& state, int& flags);
int parse_atom(CompileState& state, int& flags);
int parse_set(CompileState& state, int& flags);

// Alternatives up to ")" (inside parentheses) or the end, closed by OP_CLOSE + n or OP_END.
int parse_expression(CompileState& state, bool in_parentheses, int& flags) {
  flags = FLAG_NONEMPTY;
  int group = 0;
  int first = NO_NODE;
  if (in_parentheses) {
    if (state.next_group >= WREGEXP_GROUPS) return fail(state, CompileError::TOO_MANY_GROUPS);
    group = state.next_group++;
    first = emit_node(state, OP_OPEN + group);
  }

  for (bool more = true; more;) {
    int branch_flags = 0;
    int branch = parse_branch(state, branch_flags);
    if (branch == NO_NODE) return NO_NODE;
    if (first == NO_NODE) {
      first = branch;
    } else {
      link_to_end(state, first, branch);
    }
    if ((branch_flags & FLAG_NONEMPTY) == 0) flags &= ~FLAG_NONEMPTY;
    flags |= branch_flags & FLAG_STARRED;
    more = *state.parse == u'|';
    if (more) ++state.parse;
  }

  int closer = emit_node(state, in_parentheses ? OP_CLOSE + group : OP_END);
  link_to_end(state, first, closer);
  if (!is_counting(state)) {
    // Every alternative ends at the closer.
    for (const Unit* node = state.program + first; node != nullptr; node = node_next(node)) {
      link_operand_tail(state, static_cast<int>(node - state.program), closer);
    }
  }

  if (in_parentheses) {
    if (*state.parse++ != u')') return fail(state, CompileError::UNMATCHED_PARENTHESIS);
  } else if (*state.parse != 0) {
    return fail(state, *state.parse == u')' ? CompileError::UNMATCHED_PARENTHESIS
                                            : CompileError::JUNK_ON_END);
  }
  return first;
}

// One alternative: OP_BRANCH, its pieces in a chain (OP_EMPTY when none).
int parse_branch(CompileState& state, int& flags) {
  flags = 0;
  int branch = emit_node(state, OP_BRANCH);
  int previous = NO_NODE;
  while (*state.parse != 0 && *state.parse != u'|' && *state.parse != u')') {
    int piece_flags = 0;
    int piece = parse_piece(state, piece_flags);
    if (piece == NO_NODE) return NO_NODE;
    flags |= piece_flags & FLAG_NONEMPTY;
    if (previous == NO_NODE) {
      flags |= piece_flags & FLAG_STARRED;
    } else {
      link_to_end(state, previous, piece);
    }
    previous = piece;
  }
  if (previous == NO_NODE) emit_node(state, OP_EMPTY);
  return branch;
}

// An atom with an optional "*", "+" or "?".
int parse_piece(CompileState& state, int& flags) {
  int atom_flags = 0;
  int atom = parse_atom(state, atom_flags);
  if (atom == NO_NODE) return NO_NODE;
  Unit op = *state.parse;
  if (!is_postfix(op)) {
    flags = atom_flags;
    return atom;
  }
  // A loop over something that can match nothing would never advance.
  if ((atom_flags & FLAG_NONEMPTY) == 0 && op != u'?')
    return fail(state, CompileError::EMPTY_LOOP_OPERAND);
  flags = op == u'+' ? FLAG_NONEMPTY : FLAG_STARRED;
  bool single = (atom_flags & FLAG_SINGLE) != 0;

  if (op == u'*' && single) {
    insert_node(state, OP_STAR, atom);
  } else if (op == u'*') {
    // (atom, back to the first OP_BRANCH | empty)
    insert_node(state, OP_BRANCH, atom);
    link_operand_tail(state, atom, emit_node(state, OP_BACK));
    link_operand_tail(state, atom, atom);
    link_to_end(state, atom, emit_node(state, OP_BRANCH));
    link_to_end(state, atom, emit_node(state, OP_EMPTY));
  } else if (op == u'+' && single) {
    insert_node(state, OP_PLUS, atom);
  } else if (op == u'+') {
    // atom, then (back to the atom | empty)
    int loop = emit_node(state, OP_BRANCH);
    link_to_end(state, atom, loop);
    link_to_end(state, emit_node(state, OP_BACK), atom);
    link_to_end(state, loop, emit_node(state, OP_BRANCH));
    link_to_end(state, atom, emit_node(state, OP_EMPTY));
  } else {
    // (atom | empty)
    insert_node(state, OP_BRANCH, atom);
    link_to_end(state, atom, emit_node(state, OP_BRANCH));
    int empty = emit_node(state, OP_EMPTY);
    link_to_end(state, atom, empty);
    link_operand_tail(state, atom, empty);
  }

  ++state.parse;
  if (is_postfix(*state.parse)) return fail(state, CompileError::NESTED_REPEAT);
  return atom;
}

int parse_atom(CompileState& state, int& flags) {
  Unit c = *state.parse++;
  flags = 0;
  switch (c) {
    case u'^':
      return emit_node(state, OP_AT_START);
    case u'$':
      return emit_node(state, OP_AT_END);
    case u'.':
      flags = FLAG_NONEMPTY | FLAG_SINGLE;
      return emit_node(state, OP_ANY);
    case u'[':
      return parse_set(state, flags);
    case u'(': {
      int group_flags = 0;
      int group = parse_expression(state, true, group_flags);
      flags = group_flags & (FLAG_NONEMPTY | FLAG_STARRED);
      return group;
    }
    case 0:
    case u'|':
    case u')':
      return fail(state, CompileError::NOTHING_TO_PARSE);
    case u'?':
    case u'+':
    case u'*':
      return fail(state, CompileError::REPEAT_FOLLOWS_NOTHING);
    case u'\\': {
      if (*state.parse == 0) return fail(state, CompileError::TRAILING_BACKSLASH);
      int node = emit_node(state, OP_LITERAL);
      emit_unit(state, *state.parse++);
      emit_unit(state, 0);
      flags = FLAG_NONEMPTY | FLAG_SINGLE;
      return node;
    }
    default: {
      const Unit* run = --state.parse;
      int64_t length = 0;
      while (run[length] != 0 && !is_special(run[length])) ++length;
      if (length == 0) return fail(state, CompileError::EMPTY_LITERAL);
      // A postfix operator applies to the run's last character alone.
      if (length > 1 && is_postfix(run[length])) --length;
      int node = emit_node(state, OP_LITERAL);
      for (int64_t i = 0; i < length; ++i) emit_unit(state, run[i]);
      emit_unit(state, 0);
      state.parse = run + length;
      flags = FLAG_NONEMPTY | (length == 1 ? FLAG_SINGLE : 0);
      return node;
    }
  }
}

// After "[": the set's units in the order written; a range 'x-y' adds x+1,
// RANGE_MARK, y, and y is then read again as an ordinary character.
int parse_set(CompileState& state, int& flags) {
  int node = NO_NODE;
  if (*state.parse == u'^') {
    ++state.parse;
    node = emit_node(state, OP_NOT_IN_SET);
  } else {
    node = emit_node(state, OP_IN_SET);
  }
  if (*state.parse == u']' || *state.parse == u'-') emit_unit(state, *state.parse++);
  while (*state.parse != 0 && *state.parse != u']') {
    if (*state.parse != u'-') {
      emit_unit(state, *state.parse++);
      continue;
    }
    ++state.parse;
    if (*state.parse == u']' || *state.parse == 0) {
      emit_unit(state, u'-');
      continue;
    }
    int32_t low = static_cast<int32_t>(state.parse[-2]) + 1;
    int32_t high = *state.parse;
    if (low > high + 1) return fail(state, CompileError::INVALID_RANGE);
    emit_unit(state, static_cast<Unit>(low));
    emit_unit(state, RANGE_MARK);
    emit_unit(state, static_cast<Unit>(high));
  }
  emit_unit(state, 0);
  if (*state.parse != u']') return fail(state, CompileError::UNMATCHED_BRACKET);
  ++state.parse;
  flags = FLAG_NONEMPTY | FLAG_SINGLE;
  return node;
}

// first_unit, anchored and must_text let the matcher skip hopeless attempts.
void fill_hints(wregexp& expression, int flags) {
  expression.first_unit = 0;
  expression.anchored = 0;
  expression.must_text = nullptr;
  expression.must_length = 0;
  quick_shape_find(expression);
  const Unit* top = expression.program + 1;
  const Unit* after = node_next(top);
  if (after == nullptr || after[0] != OP_END) return;  // several top-level alternatives

  const Unit* first = node_operand(top);
  if (first[0] == OP_LITERAL) {
    expression.first_unit = node_operand(first)[0];
  } else if (first[0] == OP_AT_START) {
    expression.anchored = 1;
  }
  if ((flags & FLAG_STARRED) == 0) return;
  // Every literal on the top-level chain is in every match; the longest
  // (the later one on equal length) rejects the most subjects.
  for (const Unit* node = first; node != nullptr; node = node_next(node)) {
    if (node[0] != OP_LITERAL) continue;
    const Unit* text = node_operand(node);
    int32_t length = static_cast<int32_t>(unit_length(text));
    if (length >= expression.must_length) {
      expression.must_text = text;
      expression.must_length = length;
    }
  }
}

}  // namespace
