// field_list.h — the field-format-list: which labels are decomposed (or, after
// "^", which are not) and the format text of each. Built in place inside one
// wide copy of the argument in the nsize area; never rejected as a whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/unit.h"
#include "storage/area.h"

struct FieldFormat;

constexpr int32_t LIST_EXCLUDE = 0;
constexpr int32_t LIST_INCLUDE = 1;

struct FieldEntry {
  Unit* name;             // the name, terminated by ':' (not by NUL)
  Unit* format;           // one past the name's ':'
  Unit* format_end;       // the NUL ending the format; null when the item had no ':'
  FieldFormat* compiled;  // null until compiled; &DefaultFormat for no/empty format
  FieldEntry* next;
};

struct FieldList {
  FieldEntry* included;
  FieldEntry* excluded;
  int32_t mode;  // LIST_INCLUDE or LIST_EXCLUDE
};

// Units of the entry's name without its ':': messages print the name with
// "%.*ls" and this count, leaving the list as it is.
inline int field_name_length(const FieldEntry& entry) {
  return static_cast<int>(entry.format - 1 - entry.name);
}

void field_list_parse(const char* text, FieldList& list, StorageArea& area);
void field_entry_unescape(FieldEntry& entry);
// 1 listed (entry_out set), -1 decompose with the default format, 0 not chosen.
// label_len counts the label's ':'; 0 (a line without ':') always gives 0.
int32_t field_list_lookup(const FieldList& list, const Unit* label, std::size_t label_len,
                          FieldEntry** entry_out);
// After the nsize area moved: the list's and entries' pointers, then the
// compiled formats' regex/cfmt words.
void field_list_translate(FieldList& list, StorageArea& area);
void field_formats_translate(FieldList& list, StorageArea& area);
