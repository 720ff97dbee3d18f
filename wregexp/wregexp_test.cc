// Tests of wregcomp/wregexec: hints, errors, matches and groups, long
// subjects, and a differential run against a small reference matcher over a
// syntax tree that shares no code with the engine.
#include "wregexp/wregexp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "driver/messages.h"
#include "wregexp/program.h"
#include "wregexp/quick_search.h"
#include "wregexp/wregexp_internal.h"

namespace {

std::string narrow(const std::u16string& text) {
  std::string result;
  for (Unit u : text) result += u < 128 ? static_cast<char>(u) : '?';
  return result;
}

struct FreeExpression {
  void operator()(wregexp* expression) const { std::free(expression); }
};
using Expression = std::unique_ptr<wregexp, FreeExpression>;

Expression compile(const std::u16string& pattern) {
  return Expression(wregcomp(pattern.c_str()));
}

// Compiles with stderr captured; the text is what wregerror printed.
Expression compile_quietly(const std::u16string& pattern, std::string* printed = nullptr) {
  testing::internal::CaptureStderr();
  Expression expression = compile(pattern);
  std::string text = testing::internal::GetCapturedStderr();
  if (printed != nullptr) *printed = text;
  return expression;
}

// ---- first_unit, anchored, must_text: only speed shows them, so read them ----

// clang-format off
struct HintCase { const char16_t* pattern; Unit first_unit; Unit anchored; const char16_t* must_text; };
const HintCase kHintCases[] = {
    {u"ab*c", 'a', 0, nullptr}, {u"^abc", 0, 1, nullptr},   {u"^a|b", 0, 0, nullptr},
    {u"x*abc", 0, 0, u"abc"},   {u"x*ab*cd", 0, 0, u"cd"},  {u"x*ab|c", 0, 0, nullptr},
    {u"[ab]*(cd)e", 0, 0, u"e"}, {u"\\.x", '.', 0, nullptr}, {u"(a)b", 0, 0, nullptr},
};
// clang-format on

TEST(Wregcomp, SetsSearchHints) {
  for (const HintCase& c : kHintCases) {
    Expression expression = compile(c.pattern);
    ASSERT_NE(expression, nullptr);
    SCOPED_TRACE(narrow(c.pattern));
    EXPECT_EQ(expression->first_unit, c.first_unit);
    EXPECT_EQ(expression->anchored, c.anchored);
    std::u16string must = expression->must_text == nullptr
                              ? u"-"
                              : std::u16string(expression->must_text, expression->must_length);
    EXPECT_EQ(must, c.must_text == nullptr ? u"-" : c.must_text);
  }
}

// ---- errors ----

// clang-format off
struct ErrorCase { std::u16string pattern; const char* text; };
const ErrorCase kErrorCases[] = {
    {u"(a*)*", "*+ operand could be empty"}, {u"^*", "*+ operand could be empty"},
    {u"(a|)*", "*+ operand could be empty"}, {u"(a?b*)+", "*+ operand could be empty"},
    {u"a**", "nested *?+"}, {u"a?+", "nested *?+"}, {u"(ab)*?", "nested *?+"},
    {u"*a", "?+* follows nothing"}, {u"a|+", "?+* follows nothing"}, {u"(?)", "?+* follows nothing"},
    {u"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "too many ()"}, {u"((((((((((a))))))))))", "too many ()"},
    {u"(a", "unmatched ()"}, {u"a)", "unmatched ()"}, {u"((a)", "unmatched ()"},
    {u"[a", "unmatched []"}, {u"[]", "unmatched []"}, {u"[^]", "unmatched []"},
    {u"a\\", "trailing \\"}, {u"[b-a]", "invalid [] range"}, {u"[a-c-b]", "invalid [] range"},
    {std::u16string(32759, u'a'), "wregexp too big"}, {std::u16string(16381, u'.'), "wregexp too big"},
};
// clang-format on

TEST(Wregcomp, ReportsEachErrorOnce) {
  for (const ErrorCase& c : kErrorCases) {
    int32_t errors_before = error_count;
    std::string printed;
    Expression expression = compile_quietly(c.pattern, &printed);
    EXPECT_EQ(expression, nullptr) << c.text;
    EXPECT_EQ(printed, std::string(program_name) + ": regular expression error (" + c.text +
                           ") in -t parameter or format.\n");
    EXPECT_EQ(error_count, errors_before + 1) << c.text;
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(wregcomp(nullptr), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("(NULL argument)"), std::string::npos);
}

TEST(Wregcomp, AcceptsTheLimits) {
  const std::u16string kAccepted[] = {
      u"(a*)?",
      u"()",
      u"(a)(b)(c)(d)(e)(f)(g)(h)(i)",
      u"(((((((((a)))))))))",
      u"|",
      u"[--/]",
      std::u16string(32758, u'a'),  // 32766 units
      std::u16string(16380, u'.'),  // 32765 units
  };
  int32_t errors_before = error_count;
  for (const std::u16string& pattern : kAccepted) {
    EXPECT_NE(compile(pattern), nullptr) << pattern.size();
  }
  EXPECT_EQ(error_count, errors_before);
}

// ---- matching: what the random differential run below does not generate ----

struct Group {
  int number;
  int start;
  int end;
};
struct MatchCase {
  std::u16string pattern;
  std::u16string subject;
  int start;  // -1: no match
  int end;
  std::vector<Group> groups;  // every other group must be null
};
// clang-format off
const MatchCase kMatchCases[] = {
    {u"b+", u"aabbbc", 2, 5, {}},
    {u"$", u"", 0, 0, {}},
    {u"x*abc", u"xxab", -1, 0, {}},
    {u"[b-d-f]+", u"a-cfg", 2, 4, {}},
    {u"\\t", u"a\tt", 2, 3, {}},
    {u"\t", u"a\tt", 1, 2, {}},
    {u"[0-9]+", u"ab123c", 2, 5, {}},
    {u"red|green|blue", u"a greenish blue", 2, 7, {}},
    {u"(a|ab)(c|bcd)", u"abcd", 0, 4, {{1, 0, 1}, {2, 1, 4}}},
    {u"(a(b)?)+", u"abac", 0, 3, {{1, 2, 3}, {2, 1, 2}}},
    {u"(a)(b)(c)(d)(e)(f)(g)(h)(i)", u"xabcdefghi", 1, 10,
     {{1, 1, 2}, {2, 2, 3}, {3, 3, 4}, {4, 4, 5}, {5, 5, 6}, {6, 6, 7}, {7, 7, 8}, {8, 8, 9}, {9, 9, 10}}},
    {u"[\u00e0-\u00ff]+", u"x\u00e0\u00e9y", 1, 3, {}},
    {u"[a-\uFFFE]", u"\uFFFE", 0, 1, {}},
    {u"[^a]", u"\U0001F600", 0, 1, {}},  // half of a surrogate pair is a unit like any other
    {u"(a|a)*b", std::u16string(40, u'a') + u"cb", 41, 42, {}},  // exponential without memory
    // U+FFFF is the range mark, so a set holding it is cut short: no match, no stray read.
    {u"[a\uFFFF]", u"a\uFFFF", -1, 0, {}},
    {u"[\uFFFF-\uFFFF]", u"\uFFFF", -1, 0, {}},
};
// clang-format on

void check_match(const MatchCase& c) {
  SCOPED_TRACE(narrow(c.pattern) + " in " + narrow(c.subject));
  Expression expression = compile_quietly(c.pattern);
  if (expression == nullptr) {
    EXPECT_EQ(c.start, -1) << "does not compile";
    return;
  }
  const Unit* subject = c.subject.c_str();
  int found = wregexec(expression.get(), subject);
  if (c.start < 0) {
    EXPECT_EQ(found, 0);
    return;
  }
  ASSERT_EQ(found, 1);
  EXPECT_EQ(expression->match_starts[0] - subject, c.start);
  EXPECT_EQ(expression->match_ends[0] - subject, c.end);
  for (int n = 1; n < WREGEXP_GROUPS; ++n) {
    const Group* expected = nullptr;
    for (const Group& g : c.groups) {
      if (g.number == n) expected = &g;
    }
    const Unit* start = expression->match_starts[n];
    const Unit* end = expression->match_ends[n];
    EXPECT_EQ(start == nullptr ? -1 : start - subject, expected ? expected->start : -1) << n;
    EXPECT_EQ(end == nullptr ? -1 : end - subject, expected ? expected->end : -1) << n;
  }
}

TEST(Wregexec, FindsLeftmostMatchAndGroups) {
  for (const MatchCase& c : kMatchCases) check_match(c);
}

TEST(Wregexec, ReportsBadArguments) {
  Expression expression = compile(u"a");
  int32_t errors_before = error_count;
  testing::internal::CaptureStderr();
  EXPECT_EQ(wregexec(nullptr, u"a"), 0);
  EXPECT_EQ(wregexec(expression.get(), nullptr), 0);
  expression->program[0] = 0;
  EXPECT_EQ(wregexec(expression.get(), u"a"), 0);
  std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(error_count, errors_before + 3);
  EXPECT_NE(printed.find("(NULL parameter)"), std::string::npos);
  EXPECT_NE(printed.find("(corrupted program)"), std::string::npos);
  // A bare close, numbered for no group, is no node the compiler writes.
  Expression grouped = compile(u"(a)");
  Unit* open = std::find(grouped->program + 2, grouped->program + 16, Unit{OP_OPEN + 1});
  *open = OP_CLOSE;
  testing::internal::CaptureStderr();
  EXPECT_EQ(wregexec(grouped.get(), u"a"), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("(memory corruption)"), std::string::npos);
}

TEST(Wregexec, LongSubjectsNeedNoCallStack) {
  std::u16string subject;
  for (int i = 0; i < 5 * 1000 * 1000; ++i) subject += u"ab";
  subject += u'c';
  Expression alternatives = compile(u"(a|b)*c");
  ASSERT_EQ(wregexec(alternatives.get(), subject.c_str()), 1);
  EXPECT_EQ(alternatives->match_ends[0] - alternatives->match_starts[0], long(subject.size()));
  EXPECT_EQ(alternatives->match_starts[1] - subject.c_str(), long(subject.size() - 2));

  subject.back() = u'x';
  Expression pairs = compile(u"(ab)*x");
  ASSERT_EQ(wregexec(pairs.get(), subject.c_str()), 1);
  EXPECT_EQ(pairs->match_ends[0] - pairs->match_starts[0], long(subject.size()));
  EXPECT_EQ(pairs->match_ends[1] - subject.c_str(), long(subject.size() - 1));
}

// ---- doubled match ----

// clang-format off
struct DoubledCase { const char16_t* pattern; const char16_t* span; int result; };
const DoubledCase kDoubledCases[] = {
    {u"\t+", u"\t", 0}, {u"\t", u"\t", 1}, {u"(ab)+", u"ab", 0}, {u"x*", u"", 0},
    {u"a+", u"ab", 1},  {u"x*b", u"ab", 1}, {u"(a|b)*$", u"ab", 0},
};
// clang-format on

TEST(WregexpDoubledMatch, TellsWhetherTheExpressionSwallowsBothCopies) {
  for (const DoubledCase& c : kDoubledCases) {
    Expression expression = compile(c.pattern);
    ASSERT_NE(expression, nullptr);
    // The span sits inside a longer text that must not be read.
    std::u16string text(1, u'\t');
    text.append(c.span).push_back(u'\t');
    const Unit* begin = text.c_str() + 1;
    EXPECT_EQ(wregexp_doubled_match(begin, begin + std::u16string(c.span).size(), expression.get()),
              c.result)
        << narrow(c.pattern);
  }
}

// ---- differential test against a reference matcher ----

// The reference parses into a tree and matches by continuations in the
// same order: alternatives left to right, repetitions greedy, groups taking
// their last pass on the match's path.
struct Tree {
  enum Kind {
    CHAR,
    ANY,
    SET,
    AT_START,
    AT_END,
    GROUP,
    ALTERNATION,
    SEQUENCE,
    STAR,
    PLUS,
    OPTIONAL
  };
  Kind kind = SEQUENCE;
  Unit unit = 0;
  bool negated = false;
  std::vector<std::pair<Unit, Unit>> ranges;  // a single character is [c, c]
  int group = 0;
  std::vector<Tree> children;
};

class ReferenceParser {
 public:
  explicit ReferenceParser(const std::u16string& pattern) : text_(pattern) {}

  std::optional<Tree> parse() {
    std::optional<Tree> tree = alternation();
    if (!tree || at_ != text_.size()) return std::nullopt;
    return tree;
  }

 private:
  Unit peek() const { return at_ < text_.size() ? text_[at_] : 0; }
  static bool is_postfix(Unit c) { return c == u'*' || c == u'+' || c == u'?'; }

  std::optional<Tree> alternation() {
    Tree tree;
    tree.kind = Tree::ALTERNATION;
    for (;;) {
      Tree sequence;
      sequence.kind = Tree::SEQUENCE;
      while (peek() != 0 && peek() != u'|' && peek() != u')') {
        std::optional<Tree> piece = this->piece();
        if (!piece) return std::nullopt;
        sequence.children.push_back(std::move(*piece));
      }
      tree.children.push_back(std::move(sequence));
      if (peek() != u'|') return tree;
      ++at_;
    }
  }

  std::optional<Tree> piece() {
    std::optional<Tree> atom = this->atom();
    if (!atom || !is_postfix(peek())) return atom;
    Unit op = text_[at_++];
    if (is_postfix(peek())) return std::nullopt;
    if (op != u'?' && min_length(*atom) == 0) return std::nullopt;
    Tree tree;
    tree.kind = op == u'*' ? Tree::STAR : op == u'+' ? Tree::PLUS : Tree::OPTIONAL;
    tree.children.push_back(std::move(*atom));
    return tree;
  }

  std::optional<Tree> atom() {
    Tree tree;
    Unit c = peek();
    ++at_;
    switch (c) {
      case u'^':
        tree.kind = Tree::AT_START;
        return tree;
      case u'$':
        tree.kind = Tree::AT_END;
        return tree;
      case u'.':
        tree.kind = Tree::ANY;
        return tree;
      case u'(': {
        if (groups_ == 9) return std::nullopt;
        tree.kind = Tree::GROUP;
        tree.group = ++groups_;
        std::optional<Tree> inner = alternation();
        if (!inner || peek() != u')') return std::nullopt;
        ++at_;
        tree.children.push_back(std::move(*inner));
        return tree;
      }
      case u'[':
        return set();
      case u'\\':
        if (at_ >= text_.size()) return std::nullopt;
        tree.kind = Tree::CHAR;
        tree.unit = text_[at_++];
        return tree;
      case 0:
      case u'|':
      case u')':
      case u'*':
      case u'+':
      case u'?':
        return std::nullopt;
      default:
        tree.kind = Tree::CHAR;
        tree.unit = c;
        return tree;
    }
  }

  std::optional<Tree> set() {
    Tree tree;
    tree.kind = Tree::SET;
    if (peek() == u'^') {
      tree.negated = true;
      ++at_;
    }
    if (peek() == u']' || peek() == u'-') {
      tree.ranges.push_back({peek(), peek()});
      ++at_;
    }
    while (peek() != 0 && peek() != u']') {
      Unit c = text_[at_];
      if (c == u'-' && at_ + 1 < text_.size() && text_[at_ + 1] != u']') {
        Unit low = text_[at_ - 1];
        Unit high = text_[at_ + 1];
        if (low > high) return std::nullopt;
        tree.ranges.push_back({low, high});
        ++at_;  // the range's end is then read as a character of its own
        continue;
      }
      tree.ranges.push_back({c, c});
      ++at_;
    }
    if (peek() != u']') return std::nullopt;
    ++at_;
    return tree;
  }

  static int min_length(const Tree& tree) {
    switch (tree.kind) {
      case Tree::CHAR:
      case Tree::ANY:
      case Tree::SET:
        return 1;
      case Tree::AT_START:
      case Tree::AT_END:
      case Tree::STAR:
      case Tree::OPTIONAL:
        return 0;
      case Tree::GROUP:
      case Tree::PLUS:
        return min_length(tree.children[0]);
      case Tree::ALTERNATION: {
        int least = 1 << 30;
        for (const Tree& child : tree.children) least = std::min(least, min_length(child));
        return least;
      }
      case Tree::SEQUENCE: {
        int sum = 0;
        for (const Tree& child : tree.children) sum += min_length(child);
        return sum;
      }
    }
    return 0;
  }

  const std::u16string& text_;
  std::size_t at_ = 0;
  int groups_ = 0;
};

struct Captures {
  std::array<int, WREGEXP_GROUPS> starts;
  std::array<int, WREGEXP_GROUPS> ends;
};
using Continuation = std::function<bool(std::size_t, const Captures&)>;

class ReferenceMatcher {
 public:
  explicit ReferenceMatcher(const std::u16string& subject) : subject_(subject) {}

  bool match(const Tree& tree, std::size_t at, const Captures& captures,
             const Continuation& next) const {
    switch (tree.kind) {
      case Tree::CHAR:
        return at < subject_.size() && subject_[at] == tree.unit && next(at + 1, captures);
      case Tree::ANY:
        return at < subject_.size() && next(at + 1, captures);
      case Tree::SET:
        return at < subject_.size() && in_set(tree, subject_[at]) != tree.negated &&
               next(at + 1, captures);
      case Tree::AT_START:
        return at == 0 && next(at, captures);
      case Tree::AT_END:
        return at == subject_.size() && next(at, captures);
      case Tree::GROUP: {
        Captures opened = captures;
        opened.starts[tree.group] = static_cast<int>(at);
        return match(tree.children[0], at, opened, [&](std::size_t end, const Captures& inner) {
          Captures closed = inner;
          closed.ends[tree.group] = static_cast<int>(end);
          return next(end, closed);
        });
      }
      case Tree::ALTERNATION:
        for (const Tree& child : tree.children) {
          if (match(child, at, captures, next)) return true;
        }
        return false;
      case Tree::SEQUENCE:
        return sequence(tree, 0, at, captures, next);
      case Tree::STAR:
        return star(tree.children[0], at, captures, next);
      case Tree::PLUS:
        return match(tree.children[0], at, captures, [&](std::size_t end, const Captures& inner) {
          return star(tree.children[0], end, inner, next);
        });
      case Tree::OPTIONAL:
        return match(tree.children[0], at, captures, next) || next(at, captures);
    }
    return false;
  }

 private:
  static bool in_set(const Tree& tree, Unit c) {
    for (const auto& [low, high] : tree.ranges) {
      if (low <= c && c <= high) return true;
    }
    return false;
  }

  bool sequence(const Tree& tree, std::size_t index, std::size_t at, const Captures& captures,
                const Continuation& next) const {
    if (index == tree.children.size()) return next(at, captures);
    return match(tree.children[index], at, captures, [&](std::size_t end, const Captures& inner) {
      return sequence(tree, index + 1, end, inner, next);
    });
  }

  bool star(const Tree& body, std::size_t at, const Captures& captures,
            const Continuation& next) const {
    return match(body, at, captures,
                 [&](std::size_t end, const Captures& inner) {
                   return star(body, end, inner, next);
                 }) ||
           next(at, captures);
  }

  const std::u16string& subject_;
};

// Random patterns, mostly well formed, over a small alphabet so that matches
// and failures both happen often.
class PatternGenerator {
 public:
  explicit PatternGenerator(uint32_t seed) : random_(seed) {}

  std::u16string pattern() {
    if (chance(8)) return noise();
    groups_ = 0;
    return alternation(0);
  }

  std::u16string subject() {
    static const char16_t kUnits[] = u"aaabbbcc-]\\.x\u00e9";
    std::u16string text;
    int length = pick(9);
    for (int i = 0; i < length; ++i) text += kUnits[pick(sizeof kUnits / sizeof kUnits[0] - 1)];
    return text;
  }

 private:
  int pick(int n) { return static_cast<int>(random_() % static_cast<uint32_t>(n)); }
  bool chance(int percent) { return pick(100) < percent; }

  std::u16string noise() {
    static const char16_t kUnits[] = u"ab()|*+?.[]^-$\\";
    std::u16string text;
    int length = 1 + pick(8);
    for (int i = 0; i < length; ++i) text += kUnits[pick(sizeof kUnits / sizeof kUnits[0] - 1)];
    return text;
  }

  std::u16string alternation(int depth) {
    std::u16string text = sequence(depth);
    while (chance(25)) text.append(1, u'|').append(sequence(depth));
    return text;
  }

  std::u16string sequence(int depth) {
    std::u16string text;
    int pieces = pick(4);
    for (int i = 0; i < pieces; ++i) text += piece(depth);
    return text;
  }

  std::u16string piece(int depth) {
    std::u16string text = atom(depth);
    static const char16_t kPostfix[] = u"*+?";
    if (chance(35)) text += kPostfix[pick(3)];
    if (chance(2)) text += kPostfix[pick(3)];
    return text;
  }

  std::u16string atom(int depth) {
    int kind = pick(100);
    if (kind < 45) return std::u16string(1, u"abc"[pick(3)]);
    if (kind < 52) return u".";
    if (kind < 56) return u"^";
    if (kind < 60) return u"$";
    if (kind < 64) return std::u16string(u"\\") + u"a.\\]"[pick(4)];
    if (kind < 80) return set();
    if (depth < 3 && groups_ < 10) {
      ++groups_;
      std::u16string group(1, u'(');
      return group.append(alternation(depth + 1)).append(1, u')');
    }
    return u"b";
  }

  std::u16string set() {
    static const char16_t* const kItems[] = {
        u"a", u"b", u"c", u"-", u"]", u"a-c", u"b-b", u"c-a", u"\\", u"x", u"\u00e0-\u00ff"};
    std::u16string text = u"[";
    if (chance(30)) text += u"^";
    int items = 1 + pick(3);
    for (int i = 0; i < items; ++i) text += kItems[pick(sizeof kItems / sizeof kItems[0])];
    if (!chance(3)) text += u"]";
    return text;
  }

  std::mt19937 random_;
  int groups_ = 0;
};

// A search's outcome as text, so that one comparison shows every difference:
// "-" for no match, else the match and each group as start,end (-1 for null).
std::string outcome(bool found, int start, int end, const Captures& captures) {
  if (!found) return "-";
  std::string text = std::to_string(start);
  text.append(1, ',').append(std::to_string(end));
  for (int n = 1; n < WREGEXP_GROUPS; ++n) {
    text.append(1, ' ').append(std::to_string(captures.starts[n]));
    text.append(1, ',').append(std::to_string(captures.ends[n]));
  }
  return text;
}

std::string reference_search(const Tree& tree, const std::u16string& subject) {
  ReferenceMatcher matcher(subject);
  Captures none;
  none.starts.fill(-1);
  none.ends.fill(-1);
  for (std::size_t start = 0; start <= subject.size(); ++start) {
    std::string found;
    matcher.match(tree, start, none, [&](std::size_t end, const Captures& captures) {
      found = outcome(true, static_cast<int>(start), static_cast<int>(end), captures);
      return true;
    });
    if (!found.empty()) return found;
  }
  return outcome(false, 0, 0, none);
}

std::string engine_search(wregexp& expression, const std::u16string& subject) {
  const Unit* base = subject.c_str();
  Captures captures{};
  if (wregexec(&expression, base) == 0) return "-";
  for (int n = 0; n < WREGEXP_GROUPS; ++n) {
    const Unit* start = expression.match_starts[n];
    const Unit* end = expression.match_ends[n];
    captures.starts[n] = start ? static_cast<int>(start - base) : -1;
    captures.ends[n] = end ? static_cast<int>(end - base) : -1;
  }
  return outcome(true, captures.starts[0], captures.ends[0], captures);
}

void run_differential(uint32_t seed) {
  PatternGenerator generator(seed);
  int compiled = 0;
  int matched = 0;
  for (int i = 0; i < 3000; ++i) {
    std::u16string pattern = generator.pattern();
    std::optional<Tree> tree = ReferenceParser(pattern).parse();
    Expression expression = compile_quietly(pattern);
    ASSERT_EQ(expression != nullptr, tree.has_value()) << "compiles? " << narrow(pattern);
    if (!tree) continue;
    ++compiled;
    for (int j = 0; j < 8; ++j) {
      std::u16string subject = generator.subject();
      std::string expected = reference_search(*tree, subject);
      ASSERT_EQ(engine_search(*expression, subject), expected)
          << narrow(pattern + u" in " + subject);
      if (expected != "-") ++matched;
    }
  }
  // The generator must keep exercising both sides.
  EXPECT_GT(compiled, 1500);
  EXPECT_GT(matched, 5000);
}

TEST(WregexpDifferential, AgreesWithReferenceMatcher) {
  run_differential(20240601);
}

TEST(WregexpDifferential, AgreesWhileRememberingFailures) {
  int64_t saved = wregexp_memo_threshold;
  uint64_t saved_limit = wregexp_memo_bit_limit;
  wregexp_memo_threshold = 0;
  run_differential(777);
  wregexp_memo_bit_limit = 0;  // a table of pairs that forgets on collisions
  run_differential(778);
  wregexp_memo_bit_limit = saved_limit;
  wregexp_memo_threshold = saved;
}

// A literal and/or one repeated unit is searched without the interpreter;
// in a group the same expression always takes the interpreter.
TEST(QuickSearch, AgreesWithTheInterpreterOnRandomSubjects) {
  std::mt19937 random(4242);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
  int found = 0;
  for (int i = 0; i < 1500; ++i) {
    std::u16string pattern;
    for (int n = pick(4); n > 0; --n) pattern += u"ab;"[pick(3)];
    if (pattern.empty() || pick(2) == 0)
      pattern.append(1, u"ab "[pick(3)]).append(1, u"*+"[pick(2)]);
    Expression quick = compile(pattern);
    Expression grouped = compile(u"(" + pattern + u")");
    for (int j = 0; j < 8; ++j) {
      std::u16string subject;
      for (int n = pick(14); n > 0; --n) subject += u"ab; "[pick(4)];
      SCOPED_TRACE(narrow(pattern) + " in '" + narrow(subject) + "'");
      int result = quick_search(*quick, subject.c_str());
      ASSERT_EQ(result, wregexec(grouped.get(), subject.c_str()));
      if (result == 0) continue;
      ++found;
      EXPECT_EQ(quick->match_starts[0], grouped->match_starts[0]);
      EXPECT_EQ(quick->match_ends[0], grouped->match_ends[0]);
      EXPECT_EQ(quick->match_starts[1], nullptr);
    }
  }
  EXPECT_GT(found, 4000);
}

// Expressions that make a plain backtracker quadratic or exponential, on a
// subject of `head`, then `run` repeated, then `tail`. They must agree with
// the reference on short subjects, and on 1 MiB find a match exactly when
// `long_match` says so in a bounded number of steps per expression and
// subject unit.
struct HostileCase {
  std::u16string pattern;
  std::u16string head;
  std::u16string run;
  std::u16string tail;
  bool long_match;
};

std::u16string repeated(const std::u16string& text, std::size_t times) {
  std::u16string result;
  for (std::size_t i = 0; i < times; ++i) result += text;
  return result;
}

// clang-format off
const HostileCase kHostileCases[] = {
    {repeated(u"(.*a)", 9) + u"x", u"", u"a", u"bx", false},
    {repeated(u".*a", 20) + u"[x]", u"", u"a", u"bx", false},
    {u"(a|a)*b", u"", u"a", u"cb", true},
    {u"(a+)+b", u"", u"a", u"", false},
    {repeated(u"a?", 30) + repeated(u"a", 30), u"", repeated(u"a", 29) + u"b", u"", false},
    {u"a" + repeated(u"|a", 4999), u"", u"b", u"a", true},
    {u"(a?(a?(a?(a?(a?(a?)?)?)?)?)?)?x", u"", u"a", u"x", true},
    {u"((a|ab)(c|bcd))*(d*)$", u"", u"abcd", u"e", true},
    {u"x(a*)(b)", u"x", u"a", u"b", true},  // group events far apart on the stack
    // Each start inside a run must not try the run again.
    {u"(a|b)*c", u"", u"ab", u"dc", true}, {u"[0-9]+$", u"", u"1", u"x", false},
    {u"1+$", u"", u"1", u"x", false},       {u"[0-9]+;", u"", u"7", u"", false},
    {u".*y", u"", u"z", u"", false},        {u"a*b*c", u"", u"a", u"x", false},
    {u"[^;]*;$", u"", u"q", u";x", false},  {u"(1|2)+$", u"", u"1", u"x", false},
    {u"((1)+)*2", u"", u"1", u"x", false},  {u"(x|1+)$", u"", u"1", u"", true},
};
// clang-format on

TEST(WregexpHostile, AgreesWithReferenceOnShortSubjects) {
  for (const HostileCase& c : kHostileCases) {
    std::optional<Tree> tree = ReferenceParser(c.pattern).parse();
    Expression expression = compile(c.pattern);
    ASSERT_TRUE(tree && expression) << narrow(c.pattern);
    // At most six units of the run: the reference tries every path.
    for (std::size_t times = 0; times <= 6; ++times) {
      std::u16string subject = c.head + repeated(c.run, 6).substr(0, times) + c.tail;
      EXPECT_EQ(engine_search(*expression, subject), reference_search(*tree, subject))
          << narrow(c.pattern + u" in " + subject);
    }
  }
}

TEST(WregexpHostile, LongSubjectsTakeLinearSteps) {
  const std::size_t kUnits = 512 * 1024;
  for (const HostileCase& c : kHostileCases) {
    std::u16string subject = c.head + repeated(c.run, kUnits / c.run.size()) + c.tail;
    Expression expression = compile(c.pattern);
    EXPECT_EQ(wregexec(expression.get(), subject.c_str()), c.long_match ? 1 : 0)
        << narrow(c.pattern);
    // A quadratic search would take some 10^11 steps.
    int64_t bound = (int64_t{1} << 21) + 8 * static_cast<int64_t>(c.pattern.size() * kUnits);
    EXPECT_LT(wregexp_last_steps, bound) << narrow(c.pattern);
  }
}

}  // namespace
