// Search speed of wregexec on a 1 MiB subject (512 Ki units) whose only
// match stands at its end, next to std::regex (ECMAScript) on the same
// characters. Bytes are counted as 2 per character for both engines.
// BM_hostile runs expressions that make a plain backtracker quadratic or
// exponential, each on its own 1 MiB subject; run one at a time
// (--benchmark_filter) under /usr/bin/time to see its peak memory.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "wregexp/wregexp.h"

namespace {

constexpr std::size_t kSubjectUnits = 512 * 1024;

// Words of letters without 'c', 'd' and 'e', so that 'abc', 'red', 'green'
// and 'blue' never occur before the tail while their first letters often do.
const std::u16string& subject() {
  static const std::u16string text = [] {
    static const char16_t kLetters[] = u"aabbggrrfhijklmnopqstuvwxyz";
    std::mt19937 random(42);
    std::u16string result;
    const std::u16string tail = u" \t;abc 42 red";
    while (result.size() + tail.size() < kSubjectUnits) {
      int word = 1 + static_cast<int>(random() % 9);
      for (int i = 0; i < word; ++i) result += kLetters[random() % (sizeof kLetters / 2 - 1)];
      result += u' ';
    }
    result.resize(kSubjectUnits - tail.size(), u' ');
    return result + tail;
  }();
  return text;
}

const char16_t* const kPatterns[] = {u"\t", u";", u"abc", u"[0-9]+", u"red|green|blue"};

void set_counters(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(subject().size() * sizeof(char16_t)));
}

void BM_wregexec(benchmark::State& state) {
  const std::u16string pattern = kPatterns[state.range(0)];
  wregexp* expression = wregcomp(pattern.c_str());
  const std::u16string& text = subject();
  for (auto _ : state) {
    int found = wregexec(expression, text.c_str());
    benchmark::DoNotOptimize(found);
    if (found == 0 || expression->match_starts[0] < text.c_str() + text.size() - 16) {
      state.SkipWithError("wrong match");
      break;
    }
  }
  set_counters(state);
  std::free(expression);
}

void BM_std_regex(benchmark::State& state) {
  const std::u16string pattern16 = kPatterns[state.range(0)];
  const std::wstring pattern(pattern16.begin(), pattern16.end());
  const std::wregex expression(pattern, std::regex_constants::ECMAScript);
  const std::wstring text(subject().begin(), subject().end());
  for (auto _ : state) {
    std::wsmatch match;
    bool found = std::regex_search(text, match, expression);
    benchmark::DoNotOptimize(found);
    if (!found || match.position(0) < static_cast<long>(text.size() - 16)) {
      state.SkipWithError("wrong match");
      break;
    }
  }
  set_counters(state);
}

// A hostile expression and its subject: `run` repeated to fill 1 MiB, then `tail`.
struct Hostile {
  std::u16string pattern;
  std::u16string run;
  std::u16string tail;
};

std::u16string repeated(const std::u16string& text, int times) {
  std::u16string result;
  for (int i = 0; i < times; ++i) result += text;
  return result;
}

const std::vector<Hostile>& hostile_cases() {
  static const std::vector<Hostile> cases = {
      {repeated(u"(.*a)", 9) + u"x", u"a", u"bx"},
      {repeated(u".*a", 20) + u"[x]", u"a", u"bx"},
      {u"(a|a)*b", u"a", u"cb"},
      {u"(a+)+b", u"a", u""},
      {repeated(u"a?", 30) + repeated(u"a", 30), repeated(u"a", 29) + u"b", u""},
      {u"a" + repeated(u"|a", 4999), u"b", u""},
      {u"(a?(a?(a?(a?(a?(a?)?)?)?)?)?)?x", u"a", u"x"},
      {u"(.)*$", u"a", u""},
      {u"(x)+y", u"x", u""},
  };
  return cases;
}

// Arguments index hostile_cases(): (.*a)x9, .*a x20 [x], (a|a)*b, (a+)+b,
// a?x30 ax30, 5000 alternatives, nested optional groups, (.)*$, (x)+y.
void BM_hostile(benchmark::State& state) {
  const Hostile& c = hostile_cases()[static_cast<std::size_t>(state.range(0))];
  std::u16string text;
  text.reserve(kSubjectUnits);
  while (text.size() + c.run.size() + c.tail.size() <= kSubjectUnits) text += c.run;
  text += c.tail;
  wregexp* expression = wregcomp(c.pattern.c_str());
  for (auto _ : state) {
    int found = wregexec(expression, text.c_str());
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size() * sizeof(char16_t)));
  std::free(expression);
}
BENCHMARK(BM_hostile)->DenseRange(0, 8)->Unit(benchmark::kMillisecond);

// Arguments index kPatterns: \t, ;, abc, [0-9]+, red|green|blue.
BENCHMARK(BM_wregexec)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_std_regex)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
