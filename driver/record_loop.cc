// record_loop.cc — start-up of the formats and the record loop: the field
// index answers for every label, chosen fields go to unpack_field, and runs
// of other lines are written with one call.
#include "driver/record_loop.h"

#include <cassert>
#include <cstddef>
#include <cstring>

#include "charcode/charcode.h"
#include "driver/command_line.h"
#include "driver/messages.h"
#include "format/field_format.h"
#include "format/field_index.h"
#include "unpack/byte_cut.h"
#include "unpack/unpack.h"

FieldList field_list = {nullptr, nullptr, LIST_INCLUDE};

namespace {

// Built once the list's area stops moving: answers for every label without
// walking the list.
FieldIndex field_index;

// Kunpack writes a label before every piece and cuts from where the previous
// piece ended, so the f option and absolute starts are refused; every listed
// format repeats to the end of the value.
void check_field_formats(StorageArea& area) {
  if (field_list.mode != LIST_INCLUDE) {
    DefaultFormat.repeat = 1;
    return;
  }
  field_formats_compile(field_list, area);
  for (FieldEntry* entry = field_list.included; entry != nullptr; entry = entry->next) {
    FieldFormat& format = *entry->compiled;
    if ((format.options & OPTION_F) != 0) {
      message(MSG_ERROR, "f option of the field %.*ls is not allowed in Kunpack.\n",
              field_name_length(*entry), entry->name);
    }
    if (format.start_kind == START_ABSOLUTE) {
      message(MSG_ERROR, "absolute position of the field %.*ls is not allowed in Kunpack.\n",
              field_name_length(*entry), entry->name);
    }
    format.repeat = 1;
  }
}

// The answer label_may_be_chosen gave last, for write_chosen_bytes: the
// reader offers a line's bytes only right after it was told the line's
// label is chosen, so the label is not looked up (nor narrowed) again.
struct LastChoice {
  const unsigned char* label = nullptr;  // the bytes asked about (a UTF-16LE label's narrowed copy)
  std::size_t length = 0;                // their count, the ':' included
  int32_t chosen = 0;
  FieldEntry* entry = nullptr;
};
LastChoice last_choice;

// The field index's question on a label's ASCII bytes, for the lines that
// may pass straight through.
bool label_may_be_chosen(const unsigned char* label, std::size_t length) {
  FieldEntry* entry = nullptr;
  int32_t chosen = field_index_lookup_ascii(field_index, reinterpret_cast<const char*>(label),
                                            length, &entry);
  last_choice = {label, length, chosen, entry};
  return chosen != 0;
}

// A chosen line cut from its bytes, where its format allows. Declines a line
// the last answer was not about (the record path then takes it).
bool write_chosen_bytes(const unsigned char* line, std::size_t label_length,
                        std::size_t line_length, OutputStream& out) {
  const LastChoice choice = last_choice;
  last_choice = LastChoice{};
  bool same_label = codes_are_utf16le ? choice.length * 2 == label_length
                                      : choice.label == line && choice.length == label_length;
  if (!same_label || choice.chosen == 0) return false;
  const FieldFormat& format = choice.chosen == 1 && choice.entry->compiled != nullptr
                                  ? *choice.entry->compiled
                                  : DefaultFormat;
  return unpack_field_bytes(format, line, label_length, line_length, codes_are_utf16le, out);
}

// The lines of a record lie one after another in the rsize area, so a run of
// lines that are not chosen is written with one call. Inlined into the loop:
// a call per record costs as much as a short line.
[[gnu::always_inline]] inline void write_record(FieldSpan* spans, StorageArea& work,
                                                OutputStream& out) {
  const Unit* unchosen = nullptr;  // start of the run of lines not yet written
  FieldSpan* span = spans;
  for (; span->line != nullptr; ++span) {
    FieldEntry* entry = nullptr;
    int32_t chosen = field_index_lookup(field_index, span->line,
                                        static_cast<std::size_t>(span->value - span->line), &entry);
    if (chosen == 0) {
      assert(span == spans || span->line == span[-1].eol + 1);
      if (unchosen == nullptr) unchosen = span->line;
      continue;
    }
    if (unchosen != nullptr) {
      out_putunits(unchosen, static_cast<std::size_t>(span->line - unchosen), out);
      unchosen = nullptr;
    }
    // The engine takes the value from `format` and the label from `name`.
    FieldEntry field = {span->line, span->value, nullptr,
                        chosen == 1 ? entry->compiled : nullptr, nullptr};
    unpack_field(field, &span->eol, work, out);
  }
  if (unchosen != nullptr) {
    out_putunits(unchosen, static_cast<std::size_t>(span[-1].eol + 1 - unchosen), out);
  }
}

// The chosen labels by their first eight bytes, when there are few enough
// and all are ASCII (a label with another byte never passes as bytes).
void label_prefixes_set(LinePass& pass) {
  int count = 0;
  for (FieldEntry* entry = field_list.included; entry != nullptr; entry = entry->next) {
    std::size_t length = static_cast<std::size_t>(entry->format - entry->name);  // with ':'
    unsigned char head[8] = {}, mask[8] = {};
    for (std::size_t i = 0; i < length && i < 8; ++i) {
      if (entry->name[i] >= 0x80) return;
      head[i] = static_cast<unsigned char>(entry->name[i]);
      mask[i] = 0xFF;
    }
    if (count == LinePass::MAX_LABEL_PREFIXES) return;
    std::memcpy(&pass.label_prefix[count], head, 8);
    std::memcpy(&pass.label_prefix_mask[count], mask, 8);
    ++count;
  }
  pass.label_prefix_count = count;
}

}  // namespace

void formats_translate(StorageArea& area) {
  field_list_translate(field_list, area);
  field_formats_translate(field_list, area);
}

void formats_start(const char* delimiter_text, const char* options_text, const char* list_text,
                   StorageArea& area) {
  default_format_init(delimiter_text, options_text, area);
  if (list_text != nullptr) {
    field_list_parse(list_text, field_list, area);
  } else {
    message(MSG_ERROR, "field-format-list is missing.\n");
    usage();
  }
  check_field_formats(area);
}

void field_choice_build() {
  field_index_build(field_list, field_index);
  DefaultFormat.byte_cut = byte_cut_plan(DefaultFormat);
  for (FieldEntry* entry = field_list.included; entry != nullptr; entry = entry->next) {
    if (entry->compiled != nullptr) entry->compiled->byte_cut = byte_cut_plan(*entry->compiled);
  }
}

void record_write(FieldSpan* spans, StorageArea& work, OutputStream& out) {
  write_record(spans, work, out);
}

LinePass record_line_pass(OutputStream& out) {
  LinePass pass = {&out, label_may_be_chosen, codes_are_utf8, codes_are_utf16le,
                   field_index.unlisted == 0 ? field_index.first_units : nullptr,
                   write_chosen_bytes};
  if (pass.label_starts != nullptr) label_prefixes_set(pass);
  return pass;
}

// Where both codes read and write ASCII bytes as themselves (or both are
// UTF-16LE), lines that are not chosen go from the input block to the
// output as they are, written by the reader. A record may come in pieces;
// its empty line follows its last piece.
void record_loop_run(InputStream& in, OutputStream& out) {
  field_choice_build();
  LinePass pass = record_line_pass(out);
  const LinePass* line_pass =
      (in_keeps_ascii && out_keeps_ascii) || codes_are_utf16le ? &pass : nullptr;
  while (FieldSpan* spans = record_next(in, rsize_area, tsize_area, line_pass)) {
    write_record(spans, wsize_area, out);
    // The bulk writer takes ASCII straight into the block; out_putwc would
    // go through the code's own writer for every record.
    static constexpr Unit kNewline = u'\n';
    if (!in.record_open) out_putunits(&kNewline, 1, out);
    area_reset(tsize_area);
    area_reset(rsize_area);
  }
}
