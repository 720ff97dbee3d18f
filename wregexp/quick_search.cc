// quick_search.cc — reads the program's shape (one alternative: a literal
// and/or a repeated one-unit literal, then the end) and searches for it
// with plain loops. With nothing after the repetition, its greedy run always
// stands, so no position is ever tried twice.
#include "wregexp/quick_search.h"

#include "wregexp/program.h"

namespace {

// The program's shape when it is simple.
struct SimpleShape {
  const Unit* literal = nullptr;  // the leading text (NUL-terminated), or null
  Unit repeated = 0;              // the unit under '*' or '+', or 0 when none
  bool at_least_one = false;      // '+': the run must not be empty
};

// The unit of a node that is a one-unit literal, or 0.
Unit single_unit_of(const Unit* node) {
  if (node[0] != OP_LITERAL) return 0;
  const Unit* text = node_operand(node);
  return text[1] == 0 ? text[0] : 0;
}

bool simple_shape_of(const Unit* program, SimpleShape& shape) {
  const Unit* branch = program + 1;
  if (branch[0] != OP_BRANCH) return false;
  const Unit* after = node_next(branch);
  if (after == nullptr || after[0] != OP_END) return false;  // more than one alternative
  const Unit* node = node_operand(branch);
  if (node[0] == OP_LITERAL) {
    shape.literal = node_operand(node);
    node = node_next(node);
    if (node == nullptr) return false;
  }
  if (node[0] == OP_STAR || node[0] == OP_PLUS) {
    shape.repeated = single_unit_of(node_operand(node));
    if (shape.repeated == 0) return false;
    shape.at_least_one = node[0] == OP_PLUS;
    node = node_next(node);
    if (node == nullptr) return false;
  }
  return node[0] == OP_END && (shape.literal != nullptr || shape.repeated != 0);
}

// Where the literal next occurs at or after `from`, or null.
const Unit* find_literal(const Unit* from, const Unit* literal) {
  const Unit first = literal[0];
  for (const Unit* p = from;; ++p) {
    while (*p != first) {
      if (*p == 0) return nullptr;
      ++p;
    }
    std::size_t i = 1;
    while (literal[i] != 0 && p[i] == literal[i]) ++i;
    if (literal[i] == 0) return p;
  }
}

const Unit* end_of_run(const Unit* p, Unit repeated) {
  while (*p == repeated) ++p;  // never the NUL: a literal unit is not 0
  return p;
}

int report(wregexp& expression, const Unit* start, const Unit* end) {
  for (int i = 0; i < WREGEXP_GROUPS; ++i) {
    expression.match_starts[i] = nullptr;
    expression.match_ends[i] = nullptr;
  }
  expression.match_starts[0] = start;
  expression.match_ends[0] = end;
  return 1;
}

}  // namespace

int quick_search(wregexp& expression, const Unit* subject) {
  SimpleShape shape;
  if (!simple_shape_of(expression.program, shape)) return QUICK_NOT_SIMPLE;
  if (shape.literal == nullptr) {
    if (!shape.at_least_one) return report(expression, subject, end_of_run(subject, shape.repeated));
    const Unit* p = subject;
    while (*p != shape.repeated) {
      if (*p == 0) return 0;
      ++p;
    }
    return report(expression, p, end_of_run(p, shape.repeated));
  }
  std::size_t length = 0;
  while (shape.literal[length] != 0) ++length;
  for (const Unit* p = find_literal(subject, shape.literal); p != nullptr;
       p = find_literal(p + 1, shape.literal)) {
    const Unit* end = p + length;
    if (shape.repeated == 0) return report(expression, p, end);
    if (!shape.at_least_one || *end == shape.repeated) {
      return report(expression, p, end_of_run(end, shape.repeated));
    }
  }
  return 0;
}
