// field_index.cc — the field list's hash index: FNV-1a over the units of a
// label, linear probing. The header's masks have already turned away most
// unlisted labels.
#include "format/field_index.h"

namespace {

uint64_t length_bit(std::size_t length) {
  return uint64_t{1} << std::min<std::size_t>(length, 63);
}

Unit unit_of(Unit unit) { return unit; }
Unit unit_of(char byte) { return static_cast<unsigned char>(byte); }

template <typename Char>
uint32_t hash_of(const Char* label, std::size_t length) {
  uint32_t hash = 2166136261u;
  for (std::size_t i = 0; i < length; ++i) {
    hash = (hash ^ unit_of(label[i])) * 16777619u;
  }
  return hash;
}

template <typename Char>
bool same_units(const Unit* name, const Char* label, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (name[i] != unit_of(label[i])) return false;
  }
  return true;
}

// The slot holding the name, or the empty slot where it would go.
template <typename Char>
std::size_t find_slot(const FieldIndex& index, const Char* label, std::size_t length,
                      uint32_t hash) {
  const std::size_t mask = index.slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const FieldIndex::Slot& slot = index.slots[i];
    if (slot.name == nullptr ||
        (slot.hash == hash && slot.length == length && same_units(slot.name, label, length))) {
      return i;
    }
  }
}

// Adds a list's names; an earlier entry of the same name keeps its place.
void add_names(FieldIndex& index, FieldEntry* first, bool included) {
  for (FieldEntry* entry = first; entry != nullptr; entry = entry->next) {
    // A name ends at its first ':', as a label does.
    std::size_t length = 1;
    while (entry->name[length - 1] != u':') ++length;
    uint32_t hash = hash_of(entry->name, length);
    FieldIndex::Slot* slot = &index.slots[find_slot(index, entry->name, length, hash)];
    if (slot->name == nullptr) {
      *slot = {entry->name, static_cast<uint32_t>(length), hash, nullptr};
      index.lengths |= length_bit(length);
      unsigned first = entry->name[0] & 0xFF;
      index.first_units[first / 64] |= uint64_t{1} << (first % 64);
    }
    if (included && slot->included == nullptr) slot->included = entry;
  }
}

template <typename Char>
int32_t lookup(const FieldIndex& index, const Char* label, std::size_t label_len,
               FieldEntry** entry_out) {
  if (entry_out != nullptr) *entry_out = nullptr;
  const FieldIndex::Slot* slot =
      &index.slots[find_slot(index, label, label_len, hash_of(label, label_len))];
  if (slot->name == nullptr) return index.unlisted;
  if (slot->included != nullptr) {
    if (entry_out != nullptr) *entry_out = slot->included;
    return 1;
  }
  return 0;  // only in the '^' list
}

}  // namespace

void field_index_build(const FieldList& list, FieldIndex& index) {
  std::size_t names = 0;
  for (FieldEntry* first : {list.included, list.excluded}) {
    for (FieldEntry* entry = first; entry != nullptr; entry = entry->next) ++names;
  }
  std::size_t size = 16;
  while (size < 2 * names) size *= 2;
  index.slots.assign(size, FieldIndex::Slot{});
  index.lengths = 0;
  for (uint64_t& bits : index.first_units) bits = 0;
  index.unlisted = list.mode == LIST_INCLUDE ? 0 : -1;
  add_names(index, list.included, true);
  add_names(index, list.excluded, false);
}

int32_t field_index_find(const FieldIndex& index, const Unit* label, std::size_t label_len,
                         FieldEntry** entry_out) {
  return lookup(index, label, label_len, entry_out);
}

int32_t field_index_find_ascii(const FieldIndex& index, const char* label, std::size_t label_len,
                               FieldEntry** entry_out) {
  return lookup(index, label, label_len, entry_out);
}
