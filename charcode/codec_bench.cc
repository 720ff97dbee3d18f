// codec_bench.cc — the bulk decoders and encoders alone, on 16 MB (as UTF-8)
// of ASCII, of mixed Latin/CJK and of emoji text. Input comes from memory,
// output goes to /dev/null; the rate counts the bytes in the code measured.
#include <benchmark/benchmark.h>

#include <clocale>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "charcode/charcode.h"
#include "driver/locale_units.h"
#include "driver/settings.h"
#include "io/test_streams.h"

namespace {

constexpr std::size_t kTextBytes = 16 << 20;  // of the text in UTF-8

enum TextKind { ASCII_TEXT, MIXED_TEXT, EMOJI_TEXT };

// One character of each kind of text; a space or a line end now and then,
// as a K-file has.
char32_t next_character(TextKind kind, std::mt19937& random) {
  uint32_t roll = random() % 16;
  if (roll == 0) return U'\n';
  if (roll < 3) return U' ';
  switch (kind) {
    case ASCII_TEXT:
      return static_cast<char32_t>(U'!' + random() % 94);
    case MIXED_TEXT:
      if (roll < 9) return static_cast<char32_t>(U'a' + random() % 26);
      if (roll < 12) return static_cast<char32_t>(0xC0 + random() % 0x40);  // Latin-1 letters
      return static_cast<char32_t>(0x4E00 + random() % 0x5000);           // CJK ideographs
    case EMOJI_TEXT:
      return static_cast<char32_t>(0x1F300 + random() % 0x300);
  }
  return U' ';
}

std::size_t utf8_length(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

const std::vector<Unit>& text_units(TextKind kind) {
  static std::vector<Unit> texts[3];
  std::vector<Unit>& units = texts[kind];
  if (!units.empty()) return units;
  std::mt19937 random(kind + 1);
  for (std::size_t bytes = 0; bytes < kTextBytes;) {
    char32_t c = next_character(kind, random);
    bytes += utf8_length(c);
    Unit pair[2];
    int count = units_from_code_point(c, pair);
    units.insert(units.end(), pair, pair + count);
  }
  return units;
}

// The codes as start-up chooses them; the locale code is C.UTF-8's.
void use_code(int32_t input_code, int32_t output_code) {
  std::setlocale(LC_ALL, "C.UTF-8");
  datautf = 0;
  idatautf = input_code;
  odatautf = output_code;
  select_charcode();
}

int32_t output_code_of(int32_t input_code) {
  return input_code < 0 ? -input_code : input_code;
}

// The text in a code, as its encoder writes it.
std::string encoded(TextKind kind, int32_t output_code) {
  use_code(8, output_code);
  MemoryOutput output;
  const std::vector<Unit>& units = text_units(kind);
  out_putunits(units.data(), units.size(), output.out);
  return output.bytes();
}

std::string big_endian_of(const std::string& little, std::size_t width) {
  std::string big = little;
  for (std::size_t i = 0; i + width <= big.size(); i += width) {
    for (std::size_t j = 0; j < width / 2; ++j) std::swap(big[i + j], big[i + width - 1 - j]);
  }
  return big;
}

void BM_Decode(benchmark::State& state) {
  const auto kind = static_cast<TextKind>(state.range(0));
  const auto input_code = static_cast<int32_t>(state.range(1));
  std::string bytes = encoded(kind, output_code_of(input_code));
  if (input_code < 0) bytes = big_endian_of(bytes, static_cast<std::size_t>(-input_code / 8));
  use_code(input_code, 8);
  std::vector<Unit> units(1 << 16);
  InputStream in;  // its blocks are kept from one pass to the next
  for (auto _ : state) {
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "r");
    input_open_file(in, file, nullptr);
    std::size_t total = 0;
    for (;;) {
      std::size_t count = in_getunits(in, units.data(), units.size());
      total += count;
      if (units[count - 1] == 0xFFFF && in.end_of_file) break;
    }
    std::fclose(file);
    benchmark::DoNotOptimize(total);
  }
  input_release(in);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_Encode(benchmark::State& state) {
  const auto kind = static_cast<TextKind>(state.range(0));
  const auto output_code = static_cast<int32_t>(state.range(1));
  const std::size_t size = encoded(kind, output_code).size();
  const std::vector<Unit>& units = text_units(kind);
  use_code(8, output_code);
  OutputStream out;
  output_open_file(out, std::fopen("/dev/null", "wb"));
  // Written in pieces the size of a line or a piece of a value.
  constexpr std::size_t kPiece = 200;
  for (auto _ : state) {
    for (std::size_t i = 0; i < units.size(); i += kPiece) {
      out_putunits(units.data() + i, units.size() - i < kPiece ? units.size() - i : kPiece, out);
    }
    output_flush(out);
  }
  output_close(out);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// Arguments: the text kind, then the code (idatautf or odatautf; negative is big-endian).
void decode_codes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"text", "code"});
  for (int kind : {ASCII_TEXT, MIXED_TEXT, EMOJI_TEXT}) {
    for (int code : {0, 8, 16, -16, 32, -32}) b->Args({kind, code});
  }
}
void encode_codes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"text", "code"});
  for (int kind : {ASCII_TEXT, MIXED_TEXT, EMOJI_TEXT}) {
    for (int code : {0, 8, 16, 32}) b->Args({kind, code});
  }
}

}  // namespace

BENCHMARK(BM_Decode)->Apply(decode_codes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)->Apply(encode_codes)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
