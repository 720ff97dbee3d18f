// field_list.cc — the field-format-list: one scan over the argument's wide
// copy that writes terminators into it and chains a FieldEntry per item.
// Every argument yields some list; only an undecodable argument is reported.
#include "format/field_list.h"

#include <cwctype>
#include <initializer_list>

#include "driver/messages.h"
#include "format/field_format.h"

namespace {

// Where the scan of the argument stands between two characters.
enum class ListScan {
  BETWEEN,        // before an item, or after a ',' that ended one
  AFTER_SPACE,    // after white space that ended an item: one ',' may follow
  NAME,           // inside a name
  NAME_ESCAPE,    // after a backslash in a name
  FORMAT,         // inside a format
  FORMAT_ESCAPE,  // after a backslash in a format
};

// State of one field_list_parse; `entry` and `position` are guarded by a pact.
struct ListParse {
  FieldList& list;
  FieldEntry* entry = nullptr;  // the entry last appended, or null
  Unit* position = nullptr;     // the character being scanned
  ListScan state = ListScan::BETWEEN;
  bool escape_seen = false;  // a backslash anywhere: resolve escapes afterwards
};

bool is_list_space(Unit c) {
  return c == u' ' || c == u'\t' || c == u'\n';
}

// Reserves an entry named from `position` and appends it to the chain in use,
// then acts on the character that started it.
void start_entry(ListParse& parse, StorageArea& area) {
  area_align(alignof(FieldEntry), area);
  auto* fresh = static_cast<FieldEntry*>(area_reserve(sizeof(FieldEntry), area));
  *fresh = FieldEntry{parse.position, nullptr, nullptr, nullptr, nullptr};
  if (parse.entry != nullptr) {
    parse.entry->next = fresh;
  } else if (parse.list.mode == LIST_INCLUDE) {
    parse.list.included = fresh;
  } else {
    parse.list.excluded = fresh;
  }
  parse.entry = fresh;
  Unit* here = parse.position;
  switch (*here) {
    case u',':  // an empty name; the ',' becomes its terminator
      *here = u':';
      fresh->format = here + 1;
      parse.state = ListScan::BETWEEN;
      break;
    case u':':
      fresh->format = fresh->format_end = here + 1;
      parse.state = ListScan::FORMAT;
      break;
    case u'\\':
      parse.escape_seen = true;
      parse.state = ListScan::NAME_ESCAPE;
      break;
    default:
      parse.state = ListScan::NAME;
      break;
  }
}

// Ends the current name at `here` (white space or ','), which becomes its ':'.
void end_name(ListParse& parse, Unit* here, ListScan next) {
  *here = u':';
  parse.entry->format = here + 1;
  parse.state = next;
}

// Ends the current format at `here`, which becomes its NUL.
void end_format(ListParse& parse, Unit* here, ListScan next) {
  *here = 0;
  parse.entry->format_end = here;
  parse.state = next;
}

void scan_character(ListParse& parse, StorageArea& area) {
  Unit* here = parse.position;
  Unit c = *here;
  switch (parse.state) {
    case ListScan::BETWEEN:
      if (!is_list_space(c)) start_entry(parse, area);
      break;
    case ListScan::AFTER_SPACE:
      if (c == u',') {
        parse.state = ListScan::BETWEEN;
      } else if (!is_list_space(c)) {
        start_entry(parse, area);
      }
      break;
    case ListScan::NAME:
      if (is_list_space(c)) {
        end_name(parse, here, ListScan::AFTER_SPACE);
      } else if (c == u',') {
        end_name(parse, here, ListScan::BETWEEN);
      } else if (c == u':') {
        parse.entry->format = parse.entry->format_end = here + 1;
        parse.state = ListScan::FORMAT;
      } else if (c == u'\\') {
        parse.escape_seen = true;
        parse.state = ListScan::NAME_ESCAPE;
      }
      break;
    case ListScan::NAME_ESCAPE:
      parse.state = ListScan::NAME;
      break;
    case ListScan::FORMAT:
      if (is_list_space(c)) {
        end_format(parse, here, ListScan::AFTER_SPACE);
      } else if (c == u',') {
        end_format(parse, here, ListScan::BETWEEN);
      } else if (c == u'\\') {
        parse.escape_seen = true;
        parse.state = ListScan::FORMAT_ESCAPE;
      }
      break;
    case ListScan::FORMAT_ESCAPE:
      parse.state = ListScan::FORMAT;
      break;
  }
}

// A backslash before these is dropped; before anything else it stays.
bool drops_backslash(Unit c) {
  return c == u'^' || c == u',' || std::iswspace(static_cast<std::wint_t>(c)) != 0;
}

bool same_name(const Unit* name, const Unit* label, std::size_t label_len) {
  for (std::size_t i = 0; i < label_len; ++i) {
    if (name[i] != label[i]) return false;
  }
  return true;
}

}  // namespace

void field_list_parse(const char* text, FieldList& list, StorageArea& area) {
  list.included = nullptr;
  list.excluded = nullptr;
  list.mode = LIST_INCLUDE;
  ListParse parse{list};
  pact_push(translate_pair, &parse.entry, &parse.position, area);
  parse.position = area_widen(text, area);
  if (parse.position == nullptr) {
    message(MSG_ERROR, "code error in the field-list argument.\n");
    pact_pop(area);
    return;
  }
  if (*parse.position == u'^') {
    list.mode = LIST_EXCLUDE;
    ++parse.position;
  }
  for (; *parse.position != 0; ++parse.position) scan_character(parse, area);

  // The argument's NUL ends the last item like a separator would.
  Unit* end = parse.position;
  if (parse.state == ListScan::NAME || parse.state == ListScan::NAME_ESCAPE) {
    *end = u':';
    parse.entry->format = end + 1;  // past the string; unread, as format_end is null
  } else if (parse.state == ListScan::FORMAT || parse.state == ListScan::FORMAT_ESCAPE) {
    parse.entry->format_end = end;
  }
  if (parse.escape_seen) {
    FieldEntry* first = list.mode == LIST_INCLUDE ? list.included : list.excluded;
    for (FieldEntry* entry = first; entry != nullptr; entry = entry->next) {
      field_entry_unescape(*entry);
    }
  }
  pact_pop(area);
}

void field_entry_unescape(FieldEntry& entry) {
  // The text runs through the format's NUL, or through the name's ':'.
  Unit* last = entry.format_end != nullptr ? entry.format_end : entry.format - 1;
  Unit* read = entry.name;
  Unit* write = entry.name;
  Unit* format = entry.format;
  Unit* format_end = entry.format_end;
  while (read <= last) {
    if (read == entry.format) format = write;
    if (read == entry.format_end) format_end = write;
    // A backslash just before the format's NUL has nothing to escape.
    if (*read == u'\\' && read < last && read + 1 != entry.format_end) {
      if (!drops_backslash(read[1])) *write++ = u'\\';
      *write++ = read[1];
      read += 2;
      continue;
    }
    *write++ = *read++;
  }
  if (entry.format_end == nullptr) {
    entry.format = write;  // one past the copied ':'
  } else {
    entry.format = format;
    entry.format_end = format_end;
  }
}

int32_t field_list_lookup(const FieldList& list, const Unit* label, std::size_t label_len,
                          FieldEntry** entry_out) {
  if (entry_out != nullptr) *entry_out = nullptr;
  if (label_len == 0) return 0;
  for (FieldEntry* entry = list.included; entry != nullptr; entry = entry->next) {
    if (same_name(entry->name, label, label_len)) {
      if (entry_out != nullptr) *entry_out = entry;
      return 1;
    }
  }
  for (FieldEntry* entry = list.excluded; entry != nullptr; entry = entry->next) {
    if (same_name(entry->name, label, label_len)) return 0;
  }
  return list.mode == LIST_INCLUDE ? 0 : -1;
}

void field_list_translate(FieldList& list, StorageArea& area) {
  list.included = area_translate(list.included, area);
  list.excluded = area_translate(list.excluded, area);
  for (FieldEntry* first : {list.included, list.excluded}) {
    for (FieldEntry* entry = first; entry != nullptr; entry = entry->next) {
      entry->name = area_translate(entry->name, area);
      entry->format = area_translate(entry->format, area);
      entry->format_end = area_translate(entry->format_end, area);
      entry->compiled = area_translate(entry->compiled, area);
      entry->next = area_translate(entry->next, area);
    }
  }
}

void field_formats_translate(FieldList& list, StorageArea& area) {
  for (FieldEntry* entry = list.included; entry != nullptr; entry = entry->next) {
    FieldFormat* compiled = entry->compiled;
    if (compiled == nullptr) continue;
    compiled->regex = area_translate(compiled->regex, area);
    compiled->cfmt = area_translate(compiled->cfmt, area);
  }
}
