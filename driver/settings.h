// settings.h — the named integer settings that -K sets (and the environment,
// for the character codes), and the operands that the option scanner leaves.
// Plain process-wide integers; everything above reads them after start-up.
#pragma once

#include <cstdint>

// Initial sizes of the storage areas, in KB.
extern int32_t setting_rsize;  // record characters
extern int32_t setting_tsize;  // field spans of a record
extern int32_t setting_nsize;  // field list and everything compiled from it
extern int32_t setting_wsize;  // unpack scratch space

// Character codes: 0 locale, 8 UTF-8, 16/32 UTF-16/32 LE, -16/-32 BE (input only).
extern int32_t datautf;
extern int32_t idatautf;
extern int32_t odatautf;

// Arguments not yet consumed (the program name never counts).
extern int32_t operand_count;
extern char** operands;

struct Setting {
  const char* name;  // as written after -K, compared exactly
  int32_t* value;
};
extern const Setting settings_table[];
extern const int settings_table_size;

// Stores `value` into the setting called `name`; "-K %s is unknown.\n" when none.
void setting_apply(const Setting* table, int table_size, const char* name, int32_t value);

// Decimal conversion the way -K values and the Kdatautf variables are read:
// leading white space, one sign, digits up to the first other character; no
// digits give 0. Saturates instead of overflowing.
int32_t setting_number(const char* text);
