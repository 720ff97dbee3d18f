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
  // The lines unpack_field_bytes writes for `line`, or "(declined)".
  std::string cut_bytes(const FieldFormat& format, const std::string& line) {
    MemoryOutput output;
    const auto* bytes = reinterpret_cast<const unsigned char*>(line.data());
    bool written = unpack_field_bytes(format, bytes, line.find(':') + 1, line.size(), false, output.out);
    return written ? output.bytes() : "(declined)";
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
    }
    EXPECT_EQ(cut_bytes(format, ":a;b"), "(declined)") << "an empty label is dropped elsewhere";
  }
}

}  // namespace
}  // namespace unpack_test
