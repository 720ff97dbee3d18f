// Fuzz target: the input's first two bytes give the expression's length in
// bytes (little-endian); that many bytes of 16-bit units follow, and the rest
// (at most 4 KB) is the subject. When the expression compiles, the subject
// is searched, again with failures remembered from the first step (which
// must give the same match and groups), and the doubled-match test is run
// on the match.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wregexp/wregexp.h"
#include "wregexp/wregexp_internal.h"

namespace {

constexpr std::size_t kSubjectLimitBytes = 4096;

// Units from little-endian bytes; a NUL unit ends the text as it would in C.
std::vector<Unit> units_of(const uint8_t* data, std::size_t size) {
  std::vector<Unit> units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    Unit unit = static_cast<Unit>(data[i] | (data[i + 1] << 8));
    if (unit == 0) break;
    units.push_back(unit);
  }
  units.push_back(0);
  return units;
}

}  // namespace

// Error messages are expected by the thousand, so the target's stderr is
// closed with libFuzzer's own -close_fd_mask=2, which keeps a copy of it for
// the fuzzer's and the sanitizers' reports. Flags are read after this runs.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> arguments;
  static char close_stderr[] = "-close_fd_mask=2";
  arguments.assign(*argv, *argv + *argc);
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
  std::size_t pattern_bytes = data[0] | (data[1] << 8);
  if (pattern_bytes > size - 2) pattern_bytes = size - 2;
  std::vector<Unit> pattern = units_of(data + 2, pattern_bytes);
  std::size_t rest = size - 2 - pattern_bytes;
  if (rest > kSubjectLimitBytes) rest = kSubjectLimitBytes;
  std::vector<Unit> subject = units_of(data + size - rest, rest);

  wregexp* expression = wregcomp(pattern.data());
  if (expression == nullptr) return 0;
  int found = wregexec(expression, subject.data());
  wregexp plain = *expression;
  int64_t saved = wregexp_memo_threshold;
  wregexp_memo_threshold = 0;
  int remembered = wregexec(expression, subject.data());
  wregexp_memo_threshold = saved;
  if (remembered != found ||
      (found != 0 &&
       (std::memcmp(plain.match_starts, expression->match_starts, sizeof plain.match_starts) != 0 ||
        std::memcmp(plain.match_ends, expression->match_ends, sizeof plain.match_ends) != 0))) {
    std::abort();
  }
  if (found != 0) {
    const Unit* start = expression->match_starts[0];
    const Unit* end = expression->match_ends[0];
    if (start < subject.data() || end < start || end > subject.data() + subject.size() - 1) {
      std::abort();
    }
    for (int n = 1; n < WREGEXP_GROUPS; ++n) {
      if ((expression->match_starts[n] == nullptr) != (expression->match_ends[n] == nullptr)) {
        std::abort();
      }
    }
    wregexp_doubled_match(start, end, expression);
  }
  std::free(expression);
  return 0;
}
