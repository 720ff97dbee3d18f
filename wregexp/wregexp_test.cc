// Tests of wregcomp/wregexec: search hints, error texts, cases random patterns
// never reach, doubled matches, hostile expressions, and random patterns
// checked against a small reference matcher that shares no code with the engine.
#include "wregexp/wregexp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "driver/messages.h"
#include "wregexp/program.h"
#include "wregexp/quick_search.h"
#include "wregexp/wregexp_internal.h"

namespace {

// clang-format off
struct Free { void operator()(void* p) const { std::free(p); } };
using Expression = std::unique_ptr<wregexp, Free>;
std::u16string times(const std::u16string& text, int n) { std::u16string all; while (n-- > 0) all += text; return all; }
std::string narrow(const std::u16string& text) { std::string all; for (Unit u : text) all += u < 128 ? char(u) : '?'; return all; }
// clang-format on

// Compiles with stderr captured into *printed.
Expression compile(const std::u16string& pattern, std::string* printed = nullptr) {
  testing::internal::CaptureStderr();
  Expression expression(wregcomp(pattern.c_str()));
  std::string text = testing::internal::GetCapturedStderr();
  if (printed != nullptr) *printed = text;
  return expression;
}

// Group n (0: the whole match) starts at [n] and ends at [WREGEXP_GROUPS + n]; -1: null.
using Captures = std::array<int, 2 * WREGEXP_GROUPS>;

// "start,end" of the match, then " n:start,end" for each group that is set.
std::string outcome(const Captures& c) {
  std::string text = std::to_string(c[0]) + ',' + std::to_string(c[WREGEXP_GROUPS]);
  for (int n = 1; n < WREGEXP_GROUPS; ++n) {
    if (c[n] != -1 || c[WREGEXP_GROUPS + n] != -1)
      text += ' ' + std::to_string(n) + ':' + std::to_string(c[n]) + ',' +
              std::to_string(c[WREGEXP_GROUPS + n]);
  }
  return text;
}

// The outcome of a search, "-" when nothing matches.
std::string search(wregexp& e, const std::u16string& subject) {
  if (wregexec(&e, subject.c_str()) == 0) return "-";
  Captures c;
  for (int n = 0; n < 2 * WREGEXP_GROUPS; ++n) {
    const Unit* p = n < WREGEXP_GROUPS ? e.match_starts[n] : e.match_ends[n - WREGEXP_GROUPS];
    c[n] = p == nullptr ? -1 : static_cast<int>(p - subject.c_str());
  }
  return outcome(c);
}

// Hints only speed shows: first_unit, anchored, and must_text ("-" for none).
// clang-format off
struct HintCase { const char16_t* pattern; Unit first_unit; Unit anchored; std::u16string must_text; };
const HintCase kHintCases[] = {
    {u"ab*c", 'a', 0, u"-"}, {u"^abc", 0, 1, u"-"}, {u"^a|b", 0, 0, u"-"}, {u"x*abc", 0, 0, u"abc"}, {u"x*ab*cd", 0, 0, u"cd"},
    {u"x*ab|c", 0, 0, u"-"}, {u"[ab]*(cd)e", 0, 0, u"e"}, {u"\\.x", '.', 0, u"-"}, {u"(a)b", 0, 0, u"-"},
};
// clang-format on

TEST(Wregcomp, SetsSearchHints) {
  for (const HintCase& c : kHintCases) {
    Expression e = compile(c.pattern);
    std::u16string must = e->must_text ? std::u16string(e->must_text, e->must_length) : u"-";
    EXPECT_EQ(std::u16string({e->first_unit, e->anchored}) + must,
              std::u16string({c.first_unit, c.anchored}) + c.must_text)
        << narrow(c.pattern);
  }
}

// text: the error's text, or null for an expression that compiles.
// clang-format off
struct ErrorCase { std::u16string pattern; const char* text; };
const ErrorCase kErrorCases[] = {
    {u"(a*)*", "*+ operand could be empty"}, {u"(a|)*", "*+ operand could be empty"}, {u"a**", "nested *?+"}, {u"(ab)*?", "nested *?+"},
    {u"*a", "?+* follows nothing"}, {u"(?)", "?+* follows nothing"}, {u"((((((((((a))))))))))", "too many ()"},
    {u"(a", "unmatched ()"}, {u"a)", "unmatched ()"}, {u"[a", "unmatched []"}, {u"[^]", "unmatched []"}, {u"a\\", "trailing \\"},
    {u"[a-c-b]", "invalid [] range"}, {std::u16string(32759, u'a'), "wregexp too big"}, {std::u16string(16381, u'.'), "wregexp too big"},
    {std::u16string(32758, u'a'), nullptr}, {std::u16string(16380, u'.'), nullptr}, {u"(a*)?", nullptr}, {u"()", nullptr},
    {u"(((((((((a)))))))))", nullptr}, {u"|", nullptr}, {u"[--/]", nullptr},
};
// clang-format on

TEST(Wregcomp, ReportsEachErrorOnce) {
  for (const ErrorCase& c : kErrorCases) {
    int32_t errors_before = error_count;
    std::string printed;
    Expression e = compile(c.pattern, &printed);
    SCOPED_TRACE(narrow(c.pattern.substr(0, 20)));
    EXPECT_EQ(e == nullptr, c.text != nullptr);
    EXPECT_EQ(printed, c.text ? std::string(program_name) + ": regular expression error (" +
                                    c.text + ") in -t parameter or format.\n"
                              : "");
    EXPECT_EQ(error_count, errors_before + (c.text != nullptr));
  }
}

TEST(Wregexec, ReportsBadArguments) {
  int32_t errors_before = error_count;
  Expression e = compile(u"a"), grouped = compile(u"(a)");
  testing::internal::CaptureStderr();
  EXPECT_EQ(wregcomp(nullptr), nullptr);
  EXPECT_EQ(wregexec(nullptr, u"a") + wregexec(e.get(), nullptr), 0);
  e->program[0] = 0;
  EXPECT_EQ(wregexec(e.get(), u"a"), 0);
  EXPECT_EQ(error_count, errors_before + 4);
  // A bare close, numbered for no group, is no node the compiler writes.
  *std::find(grouped->program + 2, grouped->program + 16, Unit{OP_OPEN + 1}) = OP_CLOSE;
  EXPECT_EQ(wregexec(grouped.get(), u"a"), 0);
  std::string printed = testing::internal::GetCapturedStderr();
  for (const char* text :
       {"(NULL argument)", "(NULL parameter)", "(corrupted program)", "(memory corruption)"})
    EXPECT_NE(printed.find(text), std::string::npos) << text;
}

// Matches random patterns never reach: escapes and sets beyond their
// alphabet, nine groups, and U+FFFF, the range mark, which cuts a set short.
// Doubled: 0 when the expression matches exactly the subject written twice.
// clang-format off
struct MatchCase { std::u16string pattern; std::u16string subject; const char* outcome; int doubled; };
const MatchCase kMatchCases[] = {
    {u"\\t", u"a\tt", "2,3", 1}, {u"\t", u"a\tt", "1,2", 1}, {u"[b-d-f]+", u"a-cfg", "2,4", 1}, {u"x*abc", u"xxab", "-", 1},
    {u"(a)(b)(c)(d)(e)(f)(g)(h)(i)", u"xabcdefghi", "1,10 1:1,2 2:2,3 3:3,4 4:4,5 5:5,6 6:6,7 7:7,8 8:8,9 9:9,10", 1},
    {u"[\u00e0-\u00ff]+", u"x\u00e0\u00e9y", "1,3", 1}, {u"[a-\uFFFE]", u"\uFFFE", "0,1", 1}, {u"[^a]", u"\U0001F600", "0,1", 1},
    {u"[a\uFFFF]", u"a\uFFFF", "-", 1}, {u"[\uFFFF-\uFFFF]", u"\uFFFF", "-", 1},
    {u"\t+", u"\t", "0,1", 0}, {u"(ab)+", u"ab", "0,2 1:0,2", 0}, {u"x*", u"", "0,0", 0}, {u"a+", u"ab", "0,1", 1},
    {u"x*b", u"ab", "1,2", 1}, {u"(a|b)*$", u"ab", "0,2 1:1,2", 0},
};
// clang-format on

TEST(Wregexec, FindsLeftmostMatchAndGroupsAndDoubledMatches) {
  for (const MatchCase& c : kMatchCases) {
    Expression e = compile(c.pattern);
    EXPECT_EQ(e ? search(*e, c.subject) : "-", c.outcome) << narrow(c.pattern);
    std::u16string text = u'\t' + c.subject + u'\t';  // the neighbours must not be read
    const Unit* begin = text.c_str() + 1;
    if (e == nullptr) continue;
    EXPECT_EQ(wregexp_doubled_match(begin, begin + c.subject.size(), e.get()), c.doubled);
  }
}

// ---- the reference: the pattern parsed into closures that match by
// continuations in the engine's order (alternatives left to right, greedy
// repetition, a group keeping its last pass on the match's path) ----

using Next = std::function<bool(std::size_t, const Captures&)>;
using Matcher = std::function<bool(std::size_t, const Captures&, const Next&)>;

Matcher then(Matcher first, Matcher second) {
  return [=](auto at, auto& c, auto& next) {
    return first(at, c, [&](auto end, auto& cs) { return second(end, cs, next); });
  };
}

class Reference {
 public:
  // The whole match is group 0; `ok` is false for a pattern the engine rejects.
  explicit Reference(const std::u16string& pattern) : p_(pattern) {
    bool nullable;
    matcher_ = group(0, nullable);
    ok = ok && at_ == p_.size() + 1;
  }
  Reference(const Reference&) = delete;  // the closures hold `this`
  bool ok = true;

  std::string search(const std::u16string& subject) {
    s_ = subject;
    Captures none;
    none.fill(-1);
    std::string found = "-";
    for (std::size_t start = 0; start <= s_.size() && found == "-"; ++start)
      matcher_(start, none, [&](auto, auto& c) { return found = outcome(c), true; });
    return found;
  }

 private:
  Unit peek() const { return at_ < p_.size() ? p_[at_] : 0; }
  static bool postfix(Unit c) { return c == u'*' || c == u'+' || c == u'?'; }

  Matcher group(int n, bool& nullable) {
    Matcher options = alternation(nullable);
    ok = ok && n <= 9 && peek() == (n == 0 ? 0 : u')');
    ++at_;
    return [=](auto at, auto& c, auto& next) {
      Captures opened = c;
      opened[n] = static_cast<int>(at);
      return options(at, opened, [&](auto end, auto& cs) {
        Captures closed = cs;
        closed[WREGEXP_GROUPS + n] = static_cast<int>(end);
        return next(end, closed);
      });
    };
  }

  Matcher alternation(bool& nullable) {
    std::vector<Matcher> options;
    nullable = false;
    do {
      bool all_nullable = true, piece_nullable;
      options.push_back([](auto at, auto& c, auto& next) { return next(at, c); });
      while (ok && peek() != 0 && peek() != u'|' && peek() != u')') {
        options.back() = then(options.back(), piece(piece_nullable));
        all_nullable = all_nullable && piece_nullable;
      }
      nullable = nullable || all_nullable;
    } while (peek() == u'|' && ++at_ != 0);
    return [=](auto at, auto& c, auto& next) {
      return std::any_of(options.begin(), options.end(), [&](auto& m) { return m(at, c, next); });
    };
  }

  Matcher piece(bool& nullable) {
    Matcher atom = this->atom(nullable);
    Unit op = peek();
    if (!postfix(op)) return atom;
    if (postfix(p_[++at_]) || (op != u'?' && nullable)) ok = false;
    nullable = op != u'+';
    Matcher star = [=, this](auto at, auto& c, auto& next) { return repeat(atom, at, c, next); };
    Matcher optional = [=](auto at, auto& c, auto& next) {
      return atom(at, c, next) || next(at, c);
    };
    return op == u'?' ? optional : op == u'*' ? star : then(atom, star);
  }

  bool repeat(const Matcher& atom, std::size_t at, const Captures& c, const Next& next) const {
    auto again = [&](auto end, auto& cs) { return repeat(atom, end, cs, next); };
    return atom(at, c, again) || next(at, c);
  }

  Matcher atom(bool& nullable) {
    Unit c = p_[at_++];
    nullable = c == u'^' || c == u'$';
    if (c == u'(') return group(++groups_, nullable);
    if (c == u'[') return set();
    if (c == u'.') return units({}, true);
    if (nullable)
      return [=, this](auto at, auto& cs, auto& next) {
        return at == (c == u'^' ? 0 : s_.size()) && next(at, cs);
      };
    if (postfix(c) || (c == u'\\' && at_ == p_.size())) ok = false;
    if (c == u'\\' && at_ < p_.size()) c = p_[at_++];
    return units({{c, c}}, false);
  }

  Matcher set() {
    bool negated = peek() == u'^';
    at_ += negated;
    std::vector<std::pair<Unit, Unit>> ranges;
    if (peek() == u']' || peek() == u'-') ranges.push_back({peek(), peek()}), ++at_;
    while (peek() != 0 && peek() != u']') {
      Unit c = p_[at_++];
      bool range = c == u'-' && peek() != 0 && peek() != u']';
      if (range && p_[at_ - 2] > peek()) ok = false;
      ranges.push_back({range ? p_[at_ - 2] : c, range ? peek() : c});
    }
    ok = ok && peek() == u']';
    ++at_;
    return units(ranges, negated);
  }

  Matcher units(std::vector<std::pair<Unit, Unit>> ranges, bool negated) {
    return [=, this](auto at, auto& c, auto& next) {
      bool in = false;
      for (auto [low, high] : ranges) in = in || (low <= s_[at] && s_[at] <= high);
      return at < s_.size() && in != negated && next(at + 1, c);
    };
  }

  const std::u16string& p_;
  std::u16string s_;  // the subject
  std::size_t at_ = 0;
  int groups_ = 0;
  Matcher matcher_;
};

// Random patterns, mostly well formed, and subjects, over small alphabets so
// that matches and failures both happen often.
struct Generator {
  std::mt19937 random;
  int groups = 0;

  int pick(int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); }
  std::u16string pick(std::u16string_view units, int n) {
    std::u16string text;
    while (n-- > 0) text += units[pick(static_cast<int>(units.size()))];
    return text;
  }
  std::u16string pattern() {
    groups = 0;
    return pick(100) < 8 ? pick(u"ab()|*+?.[]^-$\\", 1 + pick(8)) : alternation(0);
  }
  std::u16string subject() { return pick(u"aaabbbcc-]\\.x\u00e9", pick(9)); }
  std::u16string alternation(int depth) {
    std::u16string text;
    for (int n = pick(4); n > 0; --n)
      text += atom(depth) + pick(u"*+?", pick(100) < 35) + pick(u"*+?", pick(100) < 2);
    return pick(4) == 0 ? text + u'|' + alternation(depth) : text;
  }
  std::u16string atom(int depth) {
    static const char16_t* const kSetItems[] = {
        u"a", u"b", u"c", u"-", u"]", u"a-c", u"b-b", u"c-a", u"\\", u"x", u"\u00e0-\u00ff"};
    int kind = pick(100);
    if (kind < 60) return pick(u"abcabcabcabc..^$", 1);
    if (kind < 64) return u'\\' + pick(u"a.\\]", 1);
    if (kind >= 80 && depth < 3 && groups < 10)
      return ++groups, u'(' + alternation(depth + 1) + u')';
    if (kind >= 80) return u"b";
    std::u16string set = pick(100) < 30 ? u"[^" : u"[";
    for (int n = 1 + pick(3); n > 0; --n) set += kSetItems[pick(11)];
    return pick(100) < 3 ? set : set + u']';
  }
};

// Three runs: as the product searches, then remembering failures from the
// first step in a bit set, then in a table of pairs that forgets on collisions.
TEST(WregexpDifferential, AgreesWithReferenceMatcher) {
  const int64_t saved = wregexp_memo_threshold;
  const uint64_t saved_limit = wregexp_memo_bit_limit;
  for (uint32_t seed : {20240601u, 777u, 778u}) {
    wregexp_memo_threshold = seed == 20240601u ? saved : 0;
    wregexp_memo_bit_limit = seed == 778u ? 0 : saved_limit;
    Generator generator{std::mt19937(seed)};
    int compiled = 0, matched = 0;
    for (int i = 0; i < 3000; ++i) {
      std::u16string pattern = generator.pattern();
      Reference reference(pattern);
      Expression e = compile(pattern);
      ASSERT_EQ(e != nullptr, reference.ok) << "compiles? " << narrow(pattern);
      compiled += reference.ok;
      for (int j = 0; j < 8 && reference.ok; ++j) {
        std::u16string subject = generator.subject();
        std::string expected = reference.search(subject);
        ASSERT_EQ(search(*e, subject), expected) << narrow(pattern + u" in " + subject);
        matched += expected != "-";
      }
    }
    EXPECT_GT(compiled, 1500);  // the generator must keep exercising both sides
    EXPECT_GT(matched, 5000);
  }
  wregexp_memo_bit_limit = saved_limit;
  wregexp_memo_threshold = saved;
}

// A literal and/or one repeated unit is searched without the interpreter;
// in a group the same expression always takes the interpreter.
TEST(QuickSearch, AgreesWithTheInterpreterOnRandomSubjects) {
  Generator g{std::mt19937(4242)};
  int found = 0;
  for (int i = 0; i < 1500; ++i) {
    std::u16string pattern = g.pick(u"ab;", g.pick(4));
    if (pattern.empty() || g.pick(2) == 0) pattern += g.pick(u"ab ", 1) + g.pick(u"*+", 1);
    Expression quick = compile(pattern), grouped = compile(u"(" + pattern + u")");
    for (int j = 0; j < 8; ++j) {
      std::u16string subject = g.pick(u"ab; ", g.pick(14));
      std::string expected = search(*grouped, subject);
      found += expected != "-";
      expected = expected.substr(0, expected.find(' '));  // without group 1
      EXPECT_EQ(quick_search(*quick, subject.c_str()), expected != "-");
      EXPECT_EQ(search(*quick, subject), expected) << narrow(pattern + u" in " + subject);
    }
  }
  EXPECT_GT(found, 4000);
}

// Expressions that make a plain backtracker quadratic or exponential, on
// `head`, `run` repeated, `tail`: they agree with the reference on short
// subjects, and on half a million units match when `long_match` says, in a
// bounded number of steps per unit of expression and subject.
// clang-format off
struct HostileCase { std::u16string pattern, head, run, tail; bool long_match; };
const HostileCase kHostileCases[] = {
    {times(u"(.*a)", 9) + u"x", u"", u"a", u"bx", false}, {u"(a|a)*b", u"", u"a", u"cb", true}, {u"(a+)+b", u"", u"a", u"", false},
    {times(u"a?", 30) + times(u"a", 30), u"", times(u"a", 29) + u"b", u"", false}, {u"a" + times(u"|a", 4999), u"", u"b", u"a", true},
    {u"(a?(a?(a?(a?(a?(a?)?)?)?)?)?)?x", u"", u"a", u"x", true}, {u"((a|ab)(c|bcd))*(d*)$", u"", u"abcd", u"e", true},
    {u"x(a*)(b)", u"x", u"a", u"b", true},  // group events far apart on the stack
    // Each start inside a run must not try the run again.
    {u"(a|b)*c", u"", u"ab", u"dc", true}, {u"[0-9]+$", u"", u"1", u"x", false}, {u"1+$", u"", u"1", u"x", false},
    {u"[0-9]+;", u"", u"7", u"", false}, {u"a*b*c", u"", u"a", u"x", false}, {u"[^;]*;$", u"", u"q", u";x", false},
    {u"(1|2)+$", u"", u"1", u"x", false}, {u"((1)+)*2", u"", u"1", u"x", false}, {u"(x|1+)$", u"", u"1", u"", true},
};
// clang-format on

TEST(WregexpHostile, AgreesWithReferenceAndTakesLinearSteps) {
  const int kUnits = 512 * 1024;
  for (const HostileCase& c : kHostileCases) {
    Reference reference(c.pattern);
    Expression e = compile(c.pattern);
    ASSERT_TRUE(reference.ok && e) << narrow(c.pattern);
    // At most six units of the run: the reference tries every path.
    for (int length = 0; length <= 6; ++length) {
      std::u16string subject = c.head + times(c.run, 6).substr(0, length) + c.tail;
      EXPECT_EQ(search(*e, subject), reference.search(subject)) << narrow(c.pattern + subject);
    }
    std::u16string subject = c.head + times(c.run, kUnits / int(c.run.size())) + c.tail;
    EXPECT_EQ(wregexec(e.get(), subject.c_str()), c.long_match ? 1 : 0) << narrow(c.pattern);
    // A quadratic search would take some 10^11 steps.
    EXPECT_LT(wregexp_last_steps, (1 << 21) + 8 * int64_t{kUnits} * int64_t(c.pattern.size()));
  }
}

}  // namespace
