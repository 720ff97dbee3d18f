// quick_search.cc — reads the program's shape once (one alternative: a
// literal and/or a repeated one-unit literal, then the end) and searches for
// it with plain loops. With nothing after the repetition, its greedy run always
// stands, so no position is ever tried twice.
#include "wregexp/quick_search.h"

#include "wregexp/program.h"

namespace {

// The unit of a node that is a one-unit literal, or 0.
Unit single_unit_of(const Unit* node) {
  if (node[0] != OP_LITERAL) return 0;
  const Unit* text = node_operand(node);
  return text[1] == 0 ? text[0] : 0;
}

bool simple_shape_of(const Unit* program, QuickShape& shape) {
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

// Where the unit next occurs at or after `from`, or null at the NUL.
const Unit* find_unit(const Unit* from, Unit unit) {
  const Unit* p = from;
  while (*p != unit) {
    if (*p == 0) return nullptr;
    ++p;
  }
  return p;
}

// Where the literal next occurs at or after `from`, or null.
const Unit* find_literal(const Unit* from, const Unit* literal) {
  const Unit first = literal[0];
  for (const Unit* p = from;; ++p) {
    p = find_unit(p, first);
    if (p == nullptr) return nullptr;
    std::size_t i = 1;
    while (literal[i] != 0 && p[i] == literal[i]) ++i;
    if (literal[i] == 0) return p;
  }
}

const Unit* end_of_run(const Unit* p, Unit repeated) {
  while (*p == repeated) ++p;  // never the NUL: a literal unit is not 0
  return p;
}

// A simple expression has no groups, so their entries stay as
// quick_shape_find cleared them: no search of it ever sets one.
int report(wregexp& expression, const Unit* start, const Unit* end) {
  expression.match_starts[0] = start;
  expression.match_ends[0] = end;
  return 1;
}

}  // namespace

void quick_shape_find(wregexp& expression) {
  QuickShape shape{};
  shape.simple = simple_shape_of(expression.program, shape);
  if (!shape.simple) shape = QuickShape{};
  while (shape.literal != nullptr && shape.literal[shape.literal_length] != 0) {
    ++shape.literal_length;
  }
  expression.quick = shape;
  for (int i = 0; i < WREGEXP_GROUPS; ++i) {
    expression.match_starts[i] = nullptr;
    expression.match_ends[i] = nullptr;
  }
}

int quick_search(wregexp& expression, const Unit* subject) {
  const QuickShape& shape = expression.quick;
  if (!shape.simple) return QUICK_NOT_SIMPLE;
  if (shape.literal == nullptr) {
    if (!shape.at_least_one)
      return report(expression, subject, end_of_run(subject, shape.repeated));
    const Unit* p = find_unit(subject, shape.repeated);
    if (p == nullptr) return 0;
    return report(expression, p, end_of_run(p, shape.repeated));
  }
  const std::size_t length = static_cast<std::size_t>(shape.literal_length);
  if (length == 1 && shape.repeated == 0) {  // one unit: the commonest delimiter
    const Unit* p = find_unit(subject, shape.literal[0]);
    return p == nullptr ? 0 : report(expression, p, p + 1);
  }
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
