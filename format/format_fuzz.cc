// format_fuzz.cc — bytes as the list, -t and -z texts (split at NUL bytes) through
// default_format_init, the list parser, the compiler and lookup, in a one-byte nsize area.
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "driver/messages.h"
#include "format/field_format.h"
#include "format/field_list.h"

namespace {

FieldList list;
StorageArea area;

int32_t grow_and_translate(void*, void*, StorageArea& grown) {
  area_double(nullptr, nullptr, grown);
  field_list_translate(list, grown);
  field_formats_translate(list, grown);
  return 0;
}

// Every listed name must be found, as that entry or an earlier one of the same name.
void check_lookup(const FieldEntry* first) {
  for (const FieldEntry* entry = first; entry != nullptr; entry = entry->next) {
    FieldEntry* found = nullptr;
    std::size_t length = static_cast<std::size_t>(entry->format - entry->name);
    int32_t result = field_list_lookup(list, entry->name, length, &found);
    if (result != (list.mode == LIST_INCLUDE ? 1 : 0) || (result == 1 && !found)) __builtin_trap();
  }
}

// The program keeps its expressions; freeing them keeps the leak checker meaningful.
void free_expressions() {
  std::set<wregexp*> expressions{DefaultFormat.regex};
  for (FieldEntry* entry = list.included; entry != nullptr; entry = entry->next) {
    if (entry->compiled != nullptr) expressions.insert(entry->compiled->regex);
  }
  for (wregexp* expression : expressions) std::free(expression);
  DefaultFormat.regex = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return std::setlocale(LC_ALL, "C.UTF-8"), 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string texts[3] = {"", "\t", ""};  // the list, -t, -z: a missing one keeps its default
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::size_t from = 0;
  for (int i = 0; i < 3 && from <= bytes.size(); ++i) {
    std::size_t nul = bytes.find('\0', from);
    texts[i] = bytes.substr(from, nul == std::string::npos ? std::string::npos : nul - from);
    from = nul == std::string::npos ? bytes.size() + 1 : nul + 1;
  }

  error_count = 0, list = FieldList{};
  area_create(1, "nsize", area);
  pact_push(grow_and_translate, nullptr, nullptr, area);

  default_format_init(texts[1].c_str(), texts[2].c_str(), area);
  field_list_parse(texts[0].c_str(), list, area);
  if (list.mode == LIST_INCLUDE) field_formats_compile(list, area);
  check_lookup(list.mode == LIST_INCLUDE ? list.included : list.excluded);
  if (area.pact_count != 1) __builtin_trap();

  free_expressions();
  std::free(area.begin);
  return 0;
}
