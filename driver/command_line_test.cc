// Tests of the -K splitter, the number reader and the option scanner.
#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/messages.h"
#include "driver/settings.h"

namespace {

using Items = std::vector<std::pair<std::string, std::string>>;
struct SplitCase {
  const char* text;
  Items items;
};

// clang-format off
const SplitCase kSplitCases[] = {
    {"rsize=8,tsize=4", {{"rsize", "8"}, {"tsize", "4"}}}, {"rsize=8 , tsize=4", {{"rsize", "8"}, {"tsize", "4"}}},
    {"rsize = 8", {{"rsize", "8"}}}, {"idatautf rsize=3", {{"idatautf", ""}, {"rsize", "3"}}},
    {"idatautf,rsize=3", {{"idatautf", ""}, {"rsize", "3"}}}, {"odatautf=16 foo", {{"odatautf", "16"}, {"foo", ""}}},
    {"  a=1,  b  ", {{"a", "1"}, {"b", ""}}}, {"a=1,,b=2", {{"a", "1"}, {"", ""}, {"b", "2"}}}, {"   ", {}},
};
// clang-format on

TEST(SettingNext, SplitsItemsLikeTheTable) {
  for (const SplitCase& c : kSplitCases) {
    std::string buffer = c.text;
    Items got;
    while (char* name = setting_next(buffer.data())) got.emplace_back(name, setting_value);
    EXPECT_EQ(got, c.items) << "text: '" << c.text << "'";
  }
}

struct NumberCase {
  const char* text;
  int32_t value;
};

// clang-format off
const NumberCase kNumberCases[] = {
    {"8", 8}, {" 16", 16}, {"-16", -16}, {"+32", 32}, {"8x", 8}, {"utf8", 0}, {"", 0},
    {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN}, {"2147483647", INT32_MAX},
};
// clang-format on

TEST(SettingNumber, ReadsLeadingDecimal) {
  for (const NumberCase& c : kNumberCases) {
    EXPECT_EQ(setting_number(c.text), c.value) << c.text;
  }
}

TEST(SettingApply, UnknownNameIsCounted) {
  error_count = 0;
  testing::internal::CaptureStderr();
  setting_apply(settings_table, settings_table_size, "Rsize", 8);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Kunpack: -K Rsize is unknown.\n");
  EXPECT_EQ(error_count, 1);
  setting_apply(settings_table, settings_table_size, "wsize", 7);
  EXPECT_EQ(setting_wsize, 7);
  error_count = 0;
}

struct ScanResult {
  std::vector<std::string> options;  // letter followed by its argument
  int operands_at;                   // option_index when the scanner returned 0
};

ScanResult scan(std::vector<std::string> args) {
  std::vector<char*> argv;
  std::string program = "Kunpack";
  argv.push_back(program.data());
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  startup_init(static_cast<int>(args.size() + 1), argv.data());
  ScanResult result;
  char letter = 0;
  testing::internal::CaptureStderr();
  while (option_next("z:t:K:", &letter) == 1) {
    result.options.push_back(std::string(1, letter) + option_argument);
  }
  testing::internal::GetCapturedStderr();
  result.operands_at = option_index;
  return result;
}

TEST(OptionNext, ScansLikeTheRules) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> options;
    int operands_at;
  };
  // clang-format off
  const Case kCases[] = {
      {{"-tX", "list"}, {"tX"}, 1}, {{"-t", "X", "list"}, {"tX"}, 2}, {{"-t"}, {"t"}, 1},
      {{"-t", "-z"}, {"t-z"}, 2}, {{"-", "-t;"}, {}, 0}, {{"--", "-t;"}, {}, 1}, {{"list", "-t;"}, {}, 0},
      {{"-xyz", "list"}, {"xyz"}, 1}, {{"-K", "rsize=1", "-z", "lr", "a"}, {"Krsize=1", "zlr"}, 4},
  };
  // clang-format on
  for (const Case& c : kCases) {
    ScanResult r = scan(c.args);
    EXPECT_EQ(r.options, c.options) << c.args[0];
    EXPECT_EQ(r.operands_at, c.operands_at) << c.args[0];
  }
}

// A program started by exec with an empty argument vector has neither a
// name nor operands; it must not read past the vector's null.
TEST(StartupInit, EmptyArgumentVector) {
  char* none[] = {nullptr};
  startup_init(0, none);
  EXPECT_STREQ(program_name, "Kunpack");
  EXPECT_EQ(operand_count, 0);
}

}  // namespace
