// unpack_bench.cc — the engine alone on the value shapes of the benchmark
// workloads: tab-separated tags, ', *' delimited lists and ';'-separated
// numbers converted with '%d'. Output goes to /dev/null through the slots.
#include <benchmark/benchmark.h>

#include <clocale>
#include <cstdio>
#include <string>

#include "charcode/charcode.h"
#include "driver/messages.h"
#include "driver/settings.h"
#include "format/field_format.h"
#include "format/field_list.h"
#include "unpack/unpack.h"

namespace {

FieldList field_list;
StorageArea nsize;
StorageArea wsize;
OutputStream out;

void start_up() {
  static bool done = false;
  if (done) return;
  done = true;
  std::setlocale(LC_ALL, "C.UTF-8");
  program_name = "Kunpack";
  odatautf = 8;
  select_charcode();
  area_create(1 << 16, "nsize", nsize);  // large enough never to move the list
  pact_push(area_double, nullptr, nullptr, nsize);
  area_create(1024, "wsize", wsize);
  pact_push(area_double, nullptr, nullptr, wsize);
  default_format_init("\t", "", nsize);
  field_list_parse("tags Depends:/\\,\\ */ nums:/;/:%d", field_list, nsize);
  field_formats_compile(field_list, nsize);
  for (FieldEntry* entry = field_list.included; entry != nullptr; entry = entry->next) {
    entry->compiled->repeat = 1;
  }
  output_open_file(out, std::fopen("/dev/null", "w"));
}

// Runs one record line (ASCII) of a listed field through the engine.
void unpack_line(benchmark::State& state, const char* text) {
  start_up();
  std::u16string line(text, text + std::char_traits<char>::length(text));
  line += u'\n';
  Unit* begin = line.data();
  Unit* eol = begin + line.size() - 1;
  Unit* value = begin;
  while (*value != u':') ++value;
  ++value;
  FieldEntry* entry = nullptr;
  field_list_lookup(field_list, begin, static_cast<std::size_t>(value - begin), &entry);
  FieldEntry current{begin, value, nullptr, entry->compiled, nullptr};
  for (auto _ : state) unpack_field(current, &eol, wsize, out);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}

void BM_TabTags(benchmark::State& state) {
  unpack_line(state, "tags:alpha\tbeta\tgamma\tdelta\tred\tgreen\tjson\t");
}
void BM_CommaList(benchmark::State& state) {
  unpack_line(state, "Depends:libc6, libssl3 (>= 3.0),libz1, libgtk4, libqt5 (>= 5.1)");
}
void BM_NumbersWithConversion(benchmark::State& state) {
  unpack_line(state, "nums:12;-7;;123456;99;0;-99999;4;;7");
}

BENCHMARK(BM_TabTags);
BENCHMARK(BM_CommaList);
BENCHMARK(BM_NumbersWithConversion);

}  // namespace

BENCHMARK_MAIN();
