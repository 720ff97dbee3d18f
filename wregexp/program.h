// program.h — the node program of a compiled wregexp, shared by the compiler
// that writes it and the matcher that reads it. A node is two units (opcode,
// next offset) followed, for OP_LITERAL, the two set opcodes and the three
// opcodes that take a node, by its operand; offsets never leave the program.
#pragma once

#include "driver/unit.h"

enum Opcode : Unit {
  OP_END = 0,         // success
  OP_AT_START = 1,    // "^": the subject's start
  OP_AT_END = 2,      // "$": the subject's NUL
  OP_ANY = 3,         // ".": one character
  OP_IN_SET = 4,      // "[...]": operand is the set, NUL-terminated
  OP_NOT_IN_SET = 5,  // "[^...]"
  OP_BRANCH = 6,      // alternative: operand is the alternative's first node
  OP_BACK = 7,        // no action; its offset counts backwards (loops)
  OP_LITERAL = 8,     // operand is the text, NUL-terminated, at least one unit
  OP_EMPTY = 9,       // no action
  OP_STAR = 10,       // operand is a one-character node, repeated 0 or more times
  OP_PLUS = 11,       // the same, 1 or more times
  OP_OPEN = 20,       // OP_OPEN + n (21..29) starts group n
  OP_CLOSE = 30,      // OP_CLOSE + n (31..39) ends group n
};

// In a set, the unit before the mark and the unit after it bound a range.
constexpr Unit RANGE_MARK = 0xFFFF;

constexpr int NODE_HEADER_UNITS = 2;  // opcode, next offset

inline const Unit* node_operand(const Unit* node) {
  return node + NODE_HEADER_UNITS;
}

// The node that follows along the chain, or null at a chain's end (offset 0).
inline const Unit* node_next(const Unit* node) {
  Unit offset = node[1];
  if (offset == 0) return nullptr;
  return node[0] == OP_BACK ? node - offset : node + offset;
}
