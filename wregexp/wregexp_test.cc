// wregcomp/wregexec: error texts, matches, doubled matches and hints, hostile
// expressions, and random patterns against a reference matcher of their own.
#include "wregexp/wregexp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "driver/messages.h"
#include "wregexp/wregexp_internal.h"

namespace {

// clang-format off
struct Free { void operator()(void* p) const { std::free(p); } };
using Expression = std::unique_ptr<wregexp, Free>;
std::u16string times(const std::u16string& text, int n) { std::u16string all; while (n-- > 0) all += text; return all; }
std::string narrow(const std::u16string& text) { std::string all; for (Unit u : text) all += u < 128 ? char(u) : '?'; return all; }
// clang-format on

std::string printed;  // what the latest compile wrote to stderr

Expression compile(const std::u16string& pattern) {
  testing::internal::CaptureStderr();
  Expression expression(wregcomp(pattern.c_str()));
  printed = testing::internal::GetCapturedStderr();
  return expression;
}

// Group n (0: the whole match) from [2n] to [2n + 1]; -1 where it took no part.
using Captures = std::array<int, 2 * WREGEXP_GROUPS>;

// "start,end" of the match and of each group, up to the last group set.
std::string outcome(const Captures& c) {
  std::string text;
  for (int n = 0; n < 2 * WREGEXP_GROUPS; n += 2)
    text += ' ' + std::to_string(c[n]) + ',' + std::to_string(c[n + 1]);
  while (text.ends_with(" -1,-1")) text.resize(text.size() - 6);
  return text.substr(1);
}

std::string search(wregexp& e, const std::u16string& subject) {
  if (wregexec(&e, subject.c_str()) == 0) return "-";
  auto offset = [&](const Unit* p) { return p ? static_cast<int>(p - subject.c_str()) : -1; };
  Captures c;
  for (int n = 0; n < WREGEXP_GROUPS; ++n)
    c[2 * n] = offset(e.match_starts[n]), c[2 * n + 1] = offset(e.match_ends[n]);
  return outcome(c);
}

// text: the error's text, or null for an expression that compiles.
// clang-format off
struct ErrorCase { std::u16string pattern; const char* text; };
const ErrorCase kErrorCases[] = {
    {u"(a*)*", "*+ operand could be empty"}, {u"(a|)*", "*+ operand could be empty"}, {u"a**", "nested *?+"}, {u"(ab)*?", "nested *?+"}, {u"*a", "?+* follows nothing"},
    {u"(?)", "?+* follows nothing"}, {u"((((((((((a))))))))))", "too many ()"}, {u"(a", "unmatched ()"}, {u"a)", "unmatched ()"}, {u"[a", "unmatched []"},
    {u"[^]", "unmatched []"}, {u"a\\", "trailing \\"}, {u"[a-c-b]", "invalid [] range"}, {std::u16string(32759, u'a'), "wregexp too big"},
    {std::u16string(16381, u'.'), "wregexp too big"}, {std::u16string(32758, u'a'), nullptr}, {std::u16string(16380, u'.'), nullptr}, {u"(a*)?", nullptr},
    {u"()", nullptr}, {u"(((((((((a)))))))))", nullptr}, {u"|", nullptr}, {u"[--/]", nullptr},
};
// clang-format on

TEST(Wregcomp, ReportsEachErrorOnce) {
  for (const ErrorCase& c : kErrorCases) {
    int32_t errors_before = error_count;
    Expression e = compile(c.pattern);
    EXPECT_EQ(e == nullptr, c.text != nullptr) << narrow(c.pattern.substr(0, 20));
    EXPECT_EQ(printed, c.text ? std::string(program_name) + ": regular expression error (" +
                                    c.text + ") in -t parameter or format.\n"
                              : "");
    EXPECT_EQ(error_count, errors_before + (c.text != nullptr));
  }
}

TEST(Wregexec, ReportsBadArguments) {
  int32_t errors_before = error_count;
  Expression e = compile(u"a");
  testing::internal::CaptureStderr();
  EXPECT_EQ(wregcomp(nullptr), nullptr);
  EXPECT_EQ(wregexec(nullptr, u"a") + wregexec(e.get(), nullptr), 0);
  e->program[0] = 0;
  EXPECT_EQ(wregexec(e.get(), u"a"), 0);
  printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(error_count, errors_before + 4);
  for (const char* text : {"(NULL argument)", "(NULL parameter)", "(corrupted program)"})
    EXPECT_NE(printed.find(text), std::string::npos) << text;
}

// What random patterns never reach (escapes, sets, nine groups, U+FFFF: the range mark cuts a set
// short); doubled: 0 when the subject written twice is matched exactly; hints, which only speed
// shows: first_unit or '-', '^' if anchored, 'q' if searched without the interpreter, must_text.
// clang-format off
struct MatchCase { std::u16string pattern; std::u16string subject; const char* outcome; int doubled; std::u16string hints; };
const MatchCase kMatchCases[] = {
    {u"\\t", u"a\tt", "2,3", 1, u"t-q"}, {u"\t", u"a\tt", "1,2", 1, u""}, {u"[b-d-f]+", u"a-cfg", "2,4", 1, u""}, {u"x*abc", u"xxab", "-", 1, u"---abc"},
    {u"(a)(b)(c)(d)(e)(f)(g)(h)(i)", u"xabcdefghi", "1,10 1,2 2,3 3,4 4,5 5,6 6,7 7,8 8,9 9,10", 1, u"---"},
    {u"[\u00e0-\u00ff]+", u"x\u00e0\u00e9y", "1,3", 1, u""}, {u"[a-\uFFFE]", u"\uFFFE", "0,1", 1, u""}, {u"[^a]", u"\U0001F600", "0,1", 1, u""},
    {u"[a\uFFFF]", u"a\uFFFF", "-", 1, u""}, {u"[\uFFFF-\uFFFF]", u"\uFFFF", "-", 1, u""},
    {u"\t+", u"\t", "0,1", 0, u""}, {u"(ab)+", u"ab", "0,2 0,2", 0, u""}, {u"x*", u"", "0,0", 0, u""}, {u"a+", u"ab", "0,1", 1, u""}, {u"x*b", u"ab", "1,2", 1, u""},
    {u"(a|b)*$", u"ab", "0,2 1,2", 0, u""}, {u"ab*c", u"xabbc", "1,5", 1, u"a--"}, {u"^abc", u"abcabc", "0,3", 1, u"-^-"}, {u"^a|b", u"cb", "1,2", 1, u"---"},
    {u"x*ab*cd", u"abbcd", "0,5", 1, u"---cd"}, {u"x*ab|c", u"c", "0,1", 1, u"---"}, {u"[ab]*(cd)e", u"abcde", "0,5 2,4", 1, u"---e"}, {u"\\.x", u"a.x", "1,3", 1, u".--"},
    {u"(a)b", u"ab", "0,2 0,1", 1, u"---"}, {u"ab;b+", u"xab;ab;bbc", "4,9", 1, u"a-q"}, {u" *", u"ab", "0,0", 1, u"--q"},
};
// clang-format on

TEST(Wregexec, MatchTable) {
  for (const MatchCase& c : kMatchCases) {
    SCOPED_TRACE(narrow(c.pattern));
    Expression e = compile(c.pattern);
    EXPECT_EQ(e ? search(*e, c.subject) : "-", c.outcome);
    if (e == nullptr) continue;
    std::u16string text = u'\t' + c.subject + u'\t';  // the neighbours must not be read
    const Unit* begin = text.c_str() + 1;
    EXPECT_EQ(wregexp_doubled_match(begin, begin + c.subject.size(), e.get()), c.doubled);
    std::u16string hints{e->first_unit ? e->first_unit : u'-', e->anchored ? u'^' : u'-',
                         e->quick.simple ? u'q' : u'-'};
    if (e->must_text) hints.append(e->must_text, e->must_length);
    EXPECT_TRUE(c.hints.empty() || hints == c.hints) << narrow(hints);
  }
}

// ---- the reference: closures that match by continuations in the engine's
// order (alternatives left to right, greedy repetition, a group keeping its
// last pass on the match's path); the whole match is group 0 ----

using Next = std::function<bool(std::size_t, const Captures&)>;
using Matcher = std::function<bool(std::size_t, const Captures&, const Next&)>;

Matcher then(Matcher first, Matcher second) {
  return [=](auto at, auto& c, auto& next) {
    return first(at, c, [&](auto end, auto& cs) { return second(end, cs, next); });
  };
}

// `ok` is false for a pattern the engine rejects; the closures hold `this`.
struct Reference {
  explicit Reference(const std::u16string& pattern) : p(pattern), matcher(group(0)) {
    ok = ok && pos == p.size() + 1;
  }

  std::string search(const std::u16string& subject) {
    s = subject;
    Captures none;  // no group set
    none.fill(-1);
    std::string found = "-";
    for (std::size_t start = 0; start <= s.size() && found == "-"; ++start)
      matcher(start, none, [&](auto, auto& c) { return found = outcome(c), true; });
    return found;
  }

  Unit peek() const { return pos < p.size() ? p[pos] : 0; }
  static bool postfix(Unit c) { return c == u'*' || c == u'+' || c == u'?'; }

  Matcher group(int n) {
    Matcher options = alternation();
    ok = ok && n <= 9 && peek() == (n == 0 ? 0 : u')') && ++pos != 0;
    return [=](auto at, Captures c, auto& next) {
      c[2 * n] = static_cast<int>(at);
      return options(at, c, [&](auto end, Captures cs) {
        cs[2 * n + 1] = static_cast<int>(end);
        return next(end, cs);
      });
    };
  }

  Matcher alternation() {
    std::vector<Matcher> options;
    do {
      options.push_back([](auto at, auto& c, auto& next) { return next(at, c); });
      while (ok && peek() != 0 && peek() != u'|' && peek() != u')')
        options.back() = then(options.back(), piece());
    } while (peek() == u'|' && ++pos != 0);
    return [=](auto at, auto& c, auto& next) {
      return std::any_of(options.begin(), options.end(), [&](auto& m) { return m(at, c, next); });
    };
  }

  Matcher piece() {
    Matcher atom = this->atom();
    Unit op = peek();
    if (!postfix(op)) return atom;
    // While parsing the subject is empty: what can match nothing matches it.
    bool nullable = ok && atom(0, Captures{}, [](auto, auto&) { return true; });
    if (postfix(p[++pos]) || (op != u'?' && nullable)) ok = false;
    Matcher star = [=, this](auto at, auto& c, auto& next) { return repeat(atom, at, c, next); };
    Matcher maybe = [=](auto at, auto& c, auto& next) { return atom(at, c, next) || next(at, c); };
    return op == u'?' ? maybe : op == u'*' ? star : then(atom, star);
  }

  bool repeat(const Matcher& atom, std::size_t at, const Captures& c, const Next& next) const {
    auto again = [&](auto end, auto& cs) { return repeat(atom, end, cs, next); };
    return atom(at, c, again) || next(at, c);
  }

  Matcher atom() {
    Unit c = p[pos++];
    if (c == u'(') return group(++groups);
    if (c == u'[') return set();
    if (c == u'.') return units({}, true);
    if (c == u'^' || c == u'$')
      return [=, this](auto at, auto& cs, auto& next) {
        return at == (c == u'^' ? 0 : s.size()) && next(at, cs);
      };
    if (postfix(c) || (c == u'\\' && pos == p.size())) ok = false;
    if (c == u'\\' && pos < p.size()) c = p[pos++];
    return units({{c, c}}, false);
  }

  Matcher set() {
    bool negated = peek() == u'^' && ++pos != 0;
    std::vector<std::pair<Unit, Unit>> ranges;
    if (peek() == u']' || peek() == u'-') ranges.push_back({peek(), peek()}), ++pos;
    while (peek() != 0 && peek() != u']') {
      Unit c = p[pos++];
      bool range = c == u'-' && peek() != 0 && peek() != u']';
      if (range && p[pos - 2] > peek()) ok = false;
      ranges.push_back({range ? p[pos - 2] : c, range ? peek() : c});
    }
    ok = ok && peek() == u']' && ++pos != 0;
    return units(ranges, negated);
  }

  Matcher units(std::vector<std::pair<Unit, Unit>> ranges, bool negated) {
    return [=, this](auto at, auto& c, auto& next) {
      bool in = false;
      for (auto [low, high] : ranges) in = in || (low <= s[at] && s[at] <= high);
      return at < s.size() && in != negated && next(at + 1, c);
    };
  }

  bool ok = true;
  const std::u16string& p;
  std::u16string s;     // the subject
  std::size_t pos = 0;  // in p, while parsing
  int groups = 0;
  Matcher matcher;
};

// Patterns, mostly well formed, and subjects that often match, often fail.
struct Generator {
  std::mt19937 random;
  int groups = 0;

  int pick(int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); }
  std::u16string pick(const std::u16string& units, int n) {
    std::u16string text;
    while (n-- > 0) text += units[pick(static_cast<int>(units.size()))];
    return text;
  }
  std::u16string pattern() {
    int kind = pick(100);
    groups = 0;
    if (kind < 8) return pick(u"ab()|*+?.[]^-$\\", 1 + pick(8));
    if (kind > 88) return pick(u"ab;", pick(4)) + pick(u"ab ", 1) + pick(u"*+", pick(2));  // quick
    return alternation(0);
  }
  std::u16string subject() { return pick(u"aaabbbcc-]\\.x\u00e9; ", pick(9)); }
  std::u16string alternation(int depth) {
    std::u16string text;
    for (int n = pick(4); n > 0; --n)
      text += atom(depth) + pick(u"*+?", pick(100) < 35) + pick(u"*+?", pick(100) < 2);
    return pick(4) == 0 ? text + u'|' + alternation(depth) : text;
  }
  std::u16string atom(int depth) {
    int kind = pick(100);
    if (kind < 60) return pick(u"abcabcabcabc..^$", 1);
    if (kind < 64) return u'\\' + pick(u"a.\\]", 1);
    if (kind >= 80) return depth < 3 && groups++ < 10 ? u'(' + alternation(depth + 1) + u')' : u"b";
    std::u16string set = pick(100) < 30 ? u"[^" : u"[";
    for (int n = 1 + pick(3); n > 0; --n)
      set += pick(3) ? pick(u"abc-]\\x", 1) : pick(u"abc\u00e0", 1) + u'-' + pick(u"abc\u00ff", 1);
    return pick(100) < 3 ? set : set + u']';
  }
};

// As shipped, then remembering failures from the first step in a bit set, then in a lossy table.
TEST(WregexpDifferential, AgreesWithReferenceMatcher) {
  const int64_t saved = wregexp_memo_threshold;
  const uint64_t saved_limit = wregexp_memo_bit_limit;
  for (uint32_t seed : {20240601u, 777u, 778u}) {
    wregexp_memo_threshold = seed == 20240601u ? saved : 0;
    wregexp_memo_bit_limit = seed == 778u ? 0 : saved_limit;
    Generator generator{std::mt19937(seed)};
    int matched = 0;
    for (int i = 0; i < 3000; ++i) {
      std::u16string pattern = generator.pattern();
      Reference reference(pattern);
      Expression e = compile(pattern);
      ASSERT_EQ(e != nullptr, reference.ok) << "compiles? " << narrow(pattern);
      for (int j = 0; j < 8 && reference.ok; ++j) {
        std::u16string subject = generator.subject();
        std::string expected = reference.search(subject);
        ASSERT_EQ(search(*e, subject), expected) << narrow(pattern + u" in " + subject);
        matched += expected != "-";
      }
    }
    EXPECT_GT(matched, 5000);  // the generator must keep finding matches
  }
  wregexp_memo_bit_limit = saved_limit;
  wregexp_memo_threshold = saved;
}

// Expressions that make a plain backtracker quadratic or exponential, hold group events far apart
// on the stack, or have runs that no start inside may try again: on half a million units of `run`
// repeated, then `tail`, they match when `long_match` says, in a bounded number of steps per unit.
// clang-format off
struct HostileCase { std::u16string pattern, run, tail; bool long_match; };
const HostileCase kHostileCases[] = {
    {times(u"(.*a)", 9) + u"x", u"a", u"bx", false}, {times(u".*a", 20) + u"[x]", u"a", u"bx", false}, {u"(a|a)*b", u"a", u"cb", true}, {u"(a+)+b", u"a", u"", false},
    {times(u"a?", 30) + times(u"a", 30), times(u"a", 29) + u"b", u"", false}, {u"a" + times(u"|a", 4999), u"b", u"a", true}, {u"(a*)(b)", u"a", u"b", true},
    {u"(a?(a?(a?(a?(a?(a?)?)?)?)?)?)?x", u"a", u"x", true}, {u"((a|ab)(c|bcd))*(d*)$", u"abcd", u"e", true}, {u"(a|b)*c", u"ab", u"dc", true},
    {u"[0-9]+$", u"1", u"x", false}, {u"1+$", u"1", u"x", false}, {u"[0-9]+;", u"7", u"", false}, {u"a*b*c", u"a", u"x", false}, {u"[^;]*;$", u"q", u";x", false},
    {u"(1|2)+$", u"1", u"x", false}, {u"((1)+)*2", u"1", u"x", false}, {u"(x|1+)$", u"1", u"", true},
};
// clang-format on

TEST(WregexpHostile, LongSubjectsTakeLinearSteps) {
  const int kUnits = 512 * 1024;
  for (const HostileCase& c : kHostileCases) {
    Expression e = compile(c.pattern);
    std::u16string subject = times(c.run, kUnits / int(c.run.size())) + c.tail;
    EXPECT_EQ(wregexec(e.get(), subject.c_str()), c.long_match ? 1 : 0) << narrow(c.pattern);
    // A quadratic search would take some 10^11 steps.
    EXPECT_LT(wregexp_last_steps, (1 << 21) + 8 * int64_t{kUnits} * int64_t(c.pattern.size()));
  }
}

}  // namespace
