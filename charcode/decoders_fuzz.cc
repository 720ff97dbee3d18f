// decoders_fuzz.cc — arbitrary bytes through one decoder, unit by unit and in
// bulk (with capacities taken from the input), which must agree unit for
// unit; the decoded units then through one writer, unit by unit and in bulk,
// which must write the same bytes. Byte 0 chooses the codes, byte 1 the capacities.
#include <algorithm>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "charcode/charcode.h"
#include "charcode/test_codes.h"
#include "driver/settings.h"
#include "io/test_streams.h"

namespace {

struct Codes {
  const char* locale;
  int32_t input;
  int32_t output;
};

const Codes kCodes[] = {
    {"C.UTF-8", 0, 0}, {"C", 0, 0},   {"C", 8, 8},       {"C", 16, 16}, {"C", -16, 32},
    {"C", 32, 32},     {"C", -32, 8}, {"C.UTF-8", 8, 0}, {"C", 0, 16},  {"C.UTF-8", 16, 8},
};

constexpr int ERR = DECODED_ERROR;

void check(bool condition) {
  if (!condition) std::abort();
}

std::vector<int> decode_in_bulk(const std::string& bytes, uint8_t seed) {
  MemoryInput input(bytes);
  std::vector<int> units;
  std::vector<Unit> block(512);
  for (unsigned call = 0;; ++call) {
    std::size_t capacity = 1 + ((seed * (call + 1) * 37u + call) % block.size());
    std::size_t count = in_getunits(input.in, block.data(), capacity);
    check(count >= 1 && count <= capacity);
    for (std::size_t i = 0; i < count; ++i) {
      if (block[i] == 0xFFFF) {
        check(i == count - 1);
        if (input.in.end_of_file) return units;
      }
      units.push_back(block[i] == 0xFFFF ? ERR : block[i]);
    }
  }
}

void check_writers(const std::vector<int>& decoded, uint8_t seed) {
  std::vector<Unit> units;
  for (int unit : decoded) units.push_back(static_cast<Unit>(unit == ERR ? 0xDC00 : unit));
  MemoryOutput by_unit;
  for (Unit unit : units) out_putwc(unit, by_unit.out);
  MemoryOutput bulk;
  for (std::size_t i = 0; i < units.size();) {
    std::size_t run = std::min<std::size_t>(units.size() - i, 1 + (seed + i) % 40);
    out_putunits(units.data() + i, run, bulk.out);
    i += run;
  }
  check(bulk.bytes() == by_unit.bytes());
  check(bulk.out.pending == by_unit.out.pending);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const Codes& codes = kCodes[data[0] % std::size(kCodes)];
  use_codes(codes.locale, codes.input, codes.output);
  std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  bool end_stays = false;
  std::vector<int> expected = decode_by_unit(bytes, &end_stays);
  check(end_stays);
  if (codes.input == 0) {
    // An ASCII byte continues no character of these codes: an error never
    // takes one with it, so every such byte comes out as its unit.
    auto ascii_unit = [](int unit) { return unit >= 0 && unit < 0x80; };
    auto ascii_byte = [](char byte) { return static_cast<unsigned char>(byte) < 0x80; };
    check(std::count_if(expected.begin(), expected.end(), ascii_unit) ==
          std::count_if(bytes.begin(), bytes.end(), ascii_byte));
  }
  check(decode_in_bulk(bytes, data[1]) == expected);
  check_writers(expected, data[1]);
  return 0;
}
