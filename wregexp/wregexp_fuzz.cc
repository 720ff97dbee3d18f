// Fuzz target: two little-endian bytes give the expression's length in bytes, that many bytes of
// 16-bit units follow, and the rest (at most 4 KB) is the subject. A compiled expression searches
// it twice, the second time remembering failures from the first step (same match and groups), and
// the doubled-match test runs on the match.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "wregexp/wregexp.h"
#include "wregexp/wregexp_internal.h"

namespace {

struct Free {
  void operator()(void* p) const { std::free(p); }
};

// Units from little-endian bytes; a NUL unit ends the text as it would in C.
std::vector<Unit> units_of(const uint8_t* data, std::size_t size) {
  std::vector<Unit> units;
  for (std::size_t i = 0; i + 1 < size && (data[i] | data[i + 1]) != 0; i += 2)
    units.push_back(static_cast<Unit>(data[i] | (data[i + 1] << 8)));
  units.push_back(0);
  return units;
}

}  // namespace

// Error messages are expected by the thousand, so the target's stderr is
// closed with libFuzzer's own -close_fd_mask=2, which keeps a copy of it for
// the fuzzer's and the sanitizers' reports. Flags are read after this runs.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> arguments(*argv, *argv + *argc);
  static char close_stderr[] = "-close_fd_mask=2";
  for (char* argument : arguments) {
    if (std::strncmp(argument, "-close_fd_mask=", 15) == 0) return 0;
  }
  arguments.insert(arguments.begin() + 1, close_stderr);
  arguments.push_back(nullptr);
  *argc += 1;
  *argv = arguments.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t pattern_bytes = std::min<std::size_t>(data[0] | (data[1] << 8), size - 2);
  std::size_t rest = std::min<std::size_t>(size - 2 - pattern_bytes, 4096);
  std::vector<Unit> pattern = units_of(data + 2, pattern_bytes);
  std::vector<Unit> subject = units_of(data + size - rest, rest);
  std::unique_ptr<wregexp, Free> expression(wregcomp(pattern.data()));
  if (expression == nullptr) return 0;
  int found = wregexec(expression.get(), subject.data());
  wregexp plain = *expression;
  int64_t saved = wregexp_memo_threshold;
  wregexp_memo_threshold = 0;
  if (wregexec(expression.get(), subject.data()) != found) std::abort();
  wregexp_memo_threshold = saved;
  if (found == 0) return 0;
  if (std::memcmp(plain.match_starts, expression->match_starts, sizeof plain.match_starts) != 0 ||
      std::memcmp(plain.match_ends, expression->match_ends, sizeof plain.match_ends) != 0)
    std::abort();
  const Unit* start = expression->match_starts[0];
  const Unit* end = expression->match_ends[0];
  if (start < subject.data() || end < start || end > subject.data() + subject.size() - 1)
    std::abort();
  for (int n = 1; n < WREGEXP_GROUPS; ++n) {
    if ((expression->match_starts[n] == nullptr) != (expression->match_ends[n] == nullptr))
      std::abort();
  }
  wregexp_doubled_match(start, end, expression.get());
  return 0;
}
