// unpack_fuzz.cc — whole records through a compiled list: arbitrary bytes
// give the codes, the field-format-list, -t, -z and the input records (the
// texts separated by NUL bytes). The record loop's own start-up and loop
// run them, with every area starting at one byte so it grows, and records
// cut into pieces at a bound the input chooses.
#include <algorithm>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>

#include "charcode/test_codes.h"
#include "driver/messages.h"
#include "driver/record_loop.h"
#include "format/field_format.h"
#include "io/test_streams.h"

namespace {

const std::pair<StorageArea*, const char*> kAreas[] = {
    {&rsize_area, "rsize"}, {&tsize_area, "tsize"}, {&nsize_area, "nsize"}, {&wsize_area, "wsize"}};

// The driver's growth pact on the nsize area: the list follows the block.
int32_t grow_list(void*, void*, StorageArea& area) {
  area_double(nullptr, nullptr, area);
  formats_translate(area);
  return 0;
}

// The program keeps its expressions and areas for the whole run; here they
// are freed after every input so that the leak checker stays meaningful.
void release_everything() {
  std::set<wregexp*> expressions{DefaultFormat.regex};
  for (FieldEntry* entry = field_list.included; entry != nullptr; entry = entry->next) {
    if (entry->compiled != nullptr) expressions.insert(entry->compiled->regex);
  }
  for (wregexp* expression : expressions) std::free(expression);
  DefaultFormat.regex = nullptr;
  for (auto [area, key] : kAreas) {
    std::free(area->begin);
    *area = StorageArea{};
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  program_name = "Kunpack";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the codes; then the list, -t, -z and the records.
  const int32_t kCodes[] = {0, 8, 16, 32};
  std::string texts[4] = {"", "\t", "", ""};
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (std::size_t i = 0, from = 0; i < 4 && from <= bytes.size(); ++i) {
    std::size_t nul = i < 3 ? std::min(bytes.find('\0', from), bytes.size()) : bytes.size();
    texts[i] = bytes.substr(from, nul - from);
    from = nul + 1;
  }
  error_count = 0;
  use_codes("C.UTF-8", kCodes[data[0] & 3], kCodes[(data[0] >> 2) & 3]);
  field_list = FieldList{};
  for (auto [area, key] : kAreas) {
    area_create(1, key, *area);
    pact_push(area == &nsize_area ? grow_list : area_double, nullptr, nullptr, *area);
  }
  record_piece_bytes = 2 * (1 + data[0] / 16);
  formats_start(texts[1].c_str(), texts[2].c_str(), texts[0].c_str(), nsize_area);
  if (error_count == 0 && !texts[3].empty()) {
    // Every record through the loop; the engine leaves its work area as it found it.
    MemoryInput in(texts[3], "fuzz");
    output_open_file(output, std::fopen("/dev/null", "w"));
    record_loop_run(in.in, output);
    if (wsize_area.head != wsize_area.begin || wsize_area.pact_count != 1) __builtin_trap();
    output_close(output);
  }
  release_everything();
  return 0;
}
