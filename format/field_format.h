// field_format.h — a compiled field format (FieldFormat), the default format
// from -t and -z, and the compiler of the format syntax. Every problem is a
// counted message naming the field; a format that compiles is never rejected later.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/unit.h"
#include "format/field_list.h"
#include "storage/area.h"
#include "wregexp/wregexp.h"

constexpr int32_t START_ABSOLUTE = 1;
constexpr int32_t START_RELATIVE = 2;
constexpr int32_t START_NONE = 3;
constexpr int32_t END_POSITION = 4;
constexpr int32_t END_LENGTH = 5;
constexpr int32_t END_DELIMITER = 6;
constexpr int32_t END_PATTERN = 7;

// Option letter bits, shared by -z and formats.
constexpr uint32_t OPTION_L = 1;        // "l": trim spaces at a fixed piece's end
constexpr uint32_t OPTION_R = 2;        // "r": trim spaces at a fixed piece's start
constexpr uint32_t OPTION_N = 4;        // "n": no options
constexpr uint32_t OPTION_Q = 8;        // "q": double quotes
constexpr uint32_t OPTION_SQUOTE = 16;  // "Q": single quotes
constexpr uint32_t OPTION_B = 32;       // "b": backslash escapes
constexpr uint32_t OPTION_F = 64;       // "f": no label before pieces
constexpr uint32_t OPTION_X = 128;      // "x": backslash escapes inside double quotes

// Conversion class: low bits the kind, plus the size bits.
constexpr int32_t CFMT_SIGNED = 1, CFMT_UNSIGNED = 2, CFMT_FLOAT = 3, CFMT_STRING = 4,
                  CFMT_CHAR = 5;
constexpr int32_t CFMT_SIZE_H = 64, CFMT_SIZE_L = 128;

// A delimiter format whose pieces can be cut from a value's bytes where each
// ASCII byte is its own unit: the delimiter is an ASCII literal, perhaps
// followed by a run of one ASCII unit, that never absorbs runs, never
// matches a newline, and no option or conversion changes a piece.
struct ByteCut {
  bool usable;              // false: only unpack_field cuts this format
  bool at_least_one;        // the run is '+': it must not be empty
  unsigned char repeated;   // the unit of the run, or 0 when none
  unsigned char length;     // bytes of the literal
  unsigned char literal[12];
};

struct FieldFormat {
  int32_t start_kind;
  int32_t start;
  int32_t end_kind;
  int32_t end;
  wregexp* regex;  // delimiter or pattern; else the inherited -t expression
  uint32_t options;
  int32_t repeat;
  char* cfmt;  // conversion text (locale multibyte) in the nsize area, or null
  int32_t cfmt_class;
  ByteCut byte_cut;  // how to cut a clean value's bytes; set before the records are read
};

extern FieldFormat DefaultFormat;

FieldFormat* default_format_init(const char* delimiter_text, const char* options_text,
                                 StorageArea& area);
// Bits of the run of option letters at text's start; *end_out = first other unit.
uint32_t format_options_parse(const Unit* text, const Unit** end_out);
// The bit of one option letter, or 0 for any other unit.
uint32_t format_option_bit(Unit letter);
void field_formats_compile(FieldList& list, StorageArea& area);
int32_t cfmt_classify(const Unit* text);

// Units of a delimiter or pattern text before its first unescaped terminator
// (or its NUL); a backslash makes the next unit ordinary, never the NUL.
std::size_t format_delim_length(const Unit* text, Unit terminator);
// Drops the backslash before the terminator or a backslash, in place; returns text.
Unit* format_delim_unescape(Unit* text, Unit terminator);
// Compiles a delimiter or pattern text; an empty one stands for one newline.
// Null after wregcomp has reported an error.
wregexp* format_compile_expression(const Unit* text);
// True when the expression matches the empty text, which would cut a value
// into endless empty pieces. A null expression is reported by wregexec.
bool format_matches_null(wregexp* regex);
// The consistency checks of one compiled format, counted messages naming the
// entry; also turns the "n" option into no options.
void field_format_check(FieldFormat& format, FieldEntry& entry);
