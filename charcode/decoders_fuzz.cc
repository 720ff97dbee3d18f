// decoders_fuzz.cc — arbitrary bytes through a decoder and the units through a writer, each
// unit by unit and in bulk, which must agree. Byte 0 chooses the codes, byte 1 the block sizes.
#include <cstdlib>

#include "charcode/test_codes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // clang-format off
  struct Codes { const char* locale; int32_t input, output; };
  static const Codes kCodes[] = {{"C.UTF-8", 0, 0}, {"C", 0, 0}, {"C", 8, 8}, {"C", 16, 16}, {"C", -16, 32},
      {"C", 32, 32}, {"C", -32, 8}, {"C.UTF-8", 8, 0}, {"C", 0, 16}, {"C.UTF-8", 16, 8}};
  // clang-format on
  if (size < 2) return 0;
  const auto& codes = kCodes[data[0] % std::size(kCodes)];
  use_codes(codes.locale, codes.input, codes.output);
  std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  std::vector<int> decoded = decode(bytes);
  if (decode(bytes, 512, data[1] + 1u) != decoded) std::abort();
  // An ASCII byte continues no character of the locale's code: each comes out as its unit.
  auto ascii = [](auto c) { return (c & ~0x7F) == 0; };
  if (codes.input == 0 && std::count_if(decoded.begin(), decoded.end(), ascii) !=
                              std::count_if(bytes.begin(), bytes.end(), ascii)) {
    std::abort();
  }
  if (!writers_agree(std::vector<Unit>(decoded.begin(), decoded.end()), data[1])) std::abort();
  return 0;
}
