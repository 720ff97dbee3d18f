// settings.cc — the settings table that -K writes through, and the operands.
#include "driver/settings.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "driver/messages.h"

int32_t setting_rsize = 2;
int32_t setting_tsize = 1;
int32_t setting_nsize = 2;
int32_t setting_wsize = 1;
int32_t datautf = 0;
int32_t idatautf = 0;
int32_t odatautf = 0;

int32_t operand_count = 0;
char** operands = nullptr;

const Setting settings_table[] = {
    {"rsize", &setting_rsize}, {"tsize", &setting_tsize}, {"nsize", &setting_nsize},
    {"wsize", &setting_wsize}, {"datautf", &datautf},     {"idatautf", &idatautf},
    {"odatautf", &odatautf},
};
const int settings_table_size = sizeof settings_table / sizeof settings_table[0];

void setting_apply(const Setting* table, int table_size, const char* name, int32_t value) {
  for (int i = 0; i < table_size; ++i) {
    if (std::strcmp(table[i].name, name) == 0) {
      *table[i].value = value;
      return;
    }
  }
  message(MSG_ERROR, "-K %s is unknown.\n", name);
}

int32_t setting_number(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  int64_t value = 0;
  // Saturate rather than overflow; the size checks then reject the value.
  while (std::isdigit(*p)) {
    if (value <= INT32_MAX) value = value * 10 + (*p - '0');
    ++p;
  }
  if (negative) value = -value;
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}
