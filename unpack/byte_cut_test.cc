// byte_cut_test.cc — the byte form of the decomposition against
// unpack_field: random clean values under every format it accepts give the
// same lines, and the formats it must leave to unpack_field are turned down.
#include "unpack/byte_cut.h"

#include <random>
#include <string>

#include "unpack/unpack_test_support.h"

namespace unpack_test {
namespace {

struct ByteCutTest : EngineTest {
  // The lines unpack_field_bytes writes for `line` (its label ASCII), or "(declined)".
  std::string cut_bytes(const FieldFormat& format, const std::string& line, bool utf16le = false) {
    MemoryOutput output;
    const auto* bytes = reinterpret_cast<const unsigned char*>(line.data());
    std::size_t label = line.find(utf16le ? std::string(":\0", 2) : ":") + (utf16le ? 2 : 1);
    bool written = unpack_field_bytes(format, bytes, label, line.size(), utf16le, output.out);
    return written ? output.bytes() : "(declined)";
  }
  // UTF-8 text in UTF-16LE.
  static std::string utf16le(const std::string& text) {
    std::string bytes;
    for (char16_t unit : units_of(text)) bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    return bytes;
  }
};

struct Plan { const char *list, *delimiter, *options; bool usable; };  // with -t and -z

// clang-format off
const Plan kPlans[] = {
    {"f", "\t", "", true},             {"f", ",", "", true},
    {"f:/;/", "\t", "", true},         {"f:/\\,\\ */", "\t", "", true},
    {"f:/\\,\\ +/", "\t", "", true},   {"f:/ab/", "\t", "", true},
    {"f:/ab*/", "\t", "", true},       {"f:/ba+/", "\t", "", true},
    {"f:/;;/", "\t", "", true},        {"^g", ";", "lr", true},
    {"f", "", "", false},              // the newline: an empty value gives a piece
    {"f", " +", "", false},            // absorbs runs
    {"f:/a+/", "\t", "", false},       {"f:/aa*/", "\t", "", false},
    {"f:/;/q", "\t", "", false},       {"f:/;/Q", "\t", "", false},
    {"f:/;/b", "\t", "", false},       {"^g", ";", "f", false},
    {"f:/[;\\,]/", "\t", "", false},     {"f:/;/:%d", "\t", "", false},
    {"f:(3)", "\t", "", false},        {"f:@;@", "\t", "", false},
    {"f:+1/;/", "\t", "", false},
};
// clang-format on

TEST_F(ByteCutTest, GivesTheLinesOfUnpackFieldOrDeclines) {
  const char* const kPieces[] = {"a", "b", ";", ",", " ", "\t", "é", "x", "\"", "\\", "文"};
  std::mt19937 random(7);
  for (const Plan& plan : kPlans) {
    restart();
    SCOPED_TRACE(std::string("list '") + plan.list + "' -t '" + plan.delimiter + "'");
    ASSERT_EQ(start(plan.list, plan.delimiter, plan.options), "");
    const FieldEntry* entry = field_list.included;
    const FieldFormat& format = entry && entry->compiled ? *entry->compiled : DefaultFormat;
    EXPECT_EQ(format.byte_cut.usable, plan.usable);
    for (int round = 0; round < 300; ++round) {
      std::string line = "f:";
      for (int n = static_cast<int>(random() % 12); n > 0; --n) line += kPieces[random() % 11];
      std::string expected = plan.usable ? run(line).out : "(declined)";
      EXPECT_EQ(cut_bytes(format, line), expected) << "line '" << line << "'";
      EXPECT_EQ(cut_bytes(format, utf16le(line), true), plan.usable ? utf16le(expected) : expected);
    }
    EXPECT_EQ(cut_bytes(format, ":a;b"), "(declined)") << "an empty label is dropped elsewhere";
  }
}

}  // namespace
}  // namespace unpack_test
