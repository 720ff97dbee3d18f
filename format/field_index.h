// field_index.h — a hash index of a parsed field list, built once before the
// records are read: it answers exactly as field_list_lookup does (the first
// listed entry of a name wins, then the '^' names, then the list's mode) in
// time that does not grow with the list. It points into the list's area,
// which must not move after the index is built.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/unit.h"
#include "format/field_list.h"

struct FieldIndex {
  struct Slot {
    const Unit* name;      // the name's units up to its ':'; null for an empty slot
    uint32_t length;       // units of the name with its ':'
    uint32_t hash;         // of those units, to compare names rarely
    FieldEntry* included;  // the first included entry of the name; null: only in the '^' list
  };
  std::vector<Slot> slots;  // open addressing, a power of two, at most half full
  uint64_t lengths = 0;     // bit n: some name is n units long (63: 63 or more)
  uint64_t first_units[4] = {};  // bit u: some name begins with a unit whose low byte is u
  int32_t unlisted = 0;     // the answer for a label no name matches
};

void field_index_build(const FieldList& list, FieldIndex& index);

// Whether a label of this length and first unit could be a listed name; if
// not, the answer is index.unlisted. Inline: most labels stop here.
inline bool field_index_may_hold(const FieldIndex& index, std::size_t label_len, Unit first) {
  unsigned low = first & 0xFF;
  return (index.lengths & (uint64_t{1} << std::min<std::size_t>(label_len, 63))) != 0 &&
         (index.first_units[low / 64] & (uint64_t{1} << (low % 64))) != 0;
}

int32_t field_index_find(const FieldIndex& index, const Unit* label, std::size_t label_len,
                         FieldEntry** entry_out);
int32_t field_index_find_ascii(const FieldIndex& index, const char* label, std::size_t label_len,
                               FieldEntry** entry_out);

// The same answer as field_list_lookup: 1 (entry_out set), -1 or 0.
inline int32_t field_index_lookup(const FieldIndex& index, const Unit* label,
                                  std::size_t label_len, FieldEntry** entry_out) {
  if (label_len == 0 || !field_index_may_hold(index, label_len, label[0])) {
    if (entry_out != nullptr) *entry_out = nullptr;
    return label_len == 0 ? 0 : index.unlisted;
  }
  return field_index_find(index, label, label_len, entry_out);
}
// For a label given as bytes that are all ASCII (each byte is its unit).
inline int32_t field_index_lookup_ascii(const FieldIndex& index, const char* label,
                                        std::size_t label_len, FieldEntry** entry_out) {
  if (label_len == 0 || !field_index_may_hold(index, label_len, static_cast<unsigned char>(label[0]))) {
    if (entry_out != nullptr) *entry_out = nullptr;
    return label_len == 0 ? 0 : index.unlisted;
  }
  return field_index_find_ascii(index, label, label_len, entry_out);
}
