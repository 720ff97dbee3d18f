// byte_cut_test.cc — the byte form of the decomposition against
// unpack_field: random clean values under every format it accepts give the
// same lines, and the formats it must leave to unpack_field are turned down.
#include "unpack/byte_cut.h"

#include <random>
#include <string>

#include "unpack/unpack_test_support.h"

namespace unpack_test {
namespace {

class ByteCutTest : public EngineTest {
 protected:
  // The lines unpack_field_bytes writes for `line`, or "(declined)".
  std::string cut_bytes(const FieldFormat& format, const std::string& line) {
    std::FILE* file = std::tmpfile();
    OutputStream out;
    output_open_file(out, file);
    const auto* bytes = reinterpret_cast<const unsigned char*>(line.data());
    bool written = unpack_field_bytes(format, bytes, line.find(':') + 1, line.size(), false, out);
    output_flush(out);
    std::string text;
    std::fseek(file, 0, SEEK_SET);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    output_close(out);
    return written ? text : "(declined)";
  }

  const FieldFormat& format_of_f() {
    FieldEntry* entry = field_list.included;
    return entry != nullptr && entry->compiled != nullptr ? *entry->compiled : DefaultFormat;
  }
};

struct Plan {
  const char* list;
  const char* delimiter;  // -t
  const char* options;    // -z
  bool usable;
};

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
    const FieldFormat& format = format_of_f();
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
