// Tests of the -K splitter, the number reader and the option scanner.
#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/messages.h"
#include "driver/settings.h"

namespace {

using Items = std::vector<std::pair<std::string, std::string>>;
// clang-format off
const struct { const char* text; Items items; } kSplitCases[] = {
    {"rsize=8,tsize=4", {{"rsize", "8"}, {"tsize", "4"}}}, {"rsize=8 , tsize=4", {{"rsize", "8"}, {"tsize", "4"}}},
    {"rsize = 8", {{"rsize", "8"}}}, {"idatautf rsize=3", {{"idatautf", ""}, {"rsize", "3"}}},
    {"idatautf,rsize=3", {{"idatautf", ""}, {"rsize", "3"}}}, {"odatautf=16 foo", {{"odatautf", "16"}, {"foo", ""}}},
    {"  a=1,  b  ", {{"a", "1"}, {"b", ""}}}, {"a=1,,b=2", {{"a", "1"}, {"", ""}, {"b", "2"}}}, {"   ", {}},
};
const std::pair<const char*, int32_t> kNumberCases[] = {
    {"8", 8}, {" 16", 16}, {"-16", -16}, {"+32", 32}, {"8x", 8}, {"utf8", 0}, {"", 0},
    {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN}, {"2147483647", INT32_MAX},
    {"-21474836470", INT32_MIN},
};
// args; the options scanned, each letter followed by its argument; option_index at the first operand
const struct { std::vector<std::string> args, options; int operands_at; } kScanCases[] = {
    {{"-tX", "list"}, {"tX"}, 1}, {{"-t", "X", "list"}, {"tX"}, 2}, {{"-t"}, {"t"}, 1},
    {{"-t", "-z"}, {"t-z"}, 2}, {{"-", "-t;"}, {}, 0}, {{"--", "-t;"}, {}, 1}, {{"list", "-t;"}, {}, 0},
    {{"-xyz", "list"}, {"xyz"}, 1}, {{"-K", "rsize=1", "-z", "lr", "a"}, {"Krsize=1", "zlr"}, 4}, {{}, {}, 0},
};
// clang-format on

TEST(CommandLine, SettingsSplitAndNumbers) {
  for (const auto& c : kSplitCases) {
    std::string buffer = c.text;
    Items got;
    while (char* name = setting_next(buffer.data())) got.emplace_back(name, setting_value);
    EXPECT_EQ(got, c.items) << "text: '" << c.text << "'";
  }
  for (const auto& [text, value] : kNumberCases) EXPECT_EQ(setting_number(text), value) << text;
}

TEST(CommandLine, OptionScanner) {
  for (const auto& c : kScanCases) {
    std::vector<std::string> args = c.args;
    std::vector<char*> argv{const_cast<char*>("./K")};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    bool none = args.empty();  // as by exec with an empty argument vector
    startup_init(none ? 0 : static_cast<int>(argv.size() - 1), none ? &argv.back() : argv.data());
    std::vector<std::string> options;
    char letter = 0;
    testing::internal::CaptureStderr();
    while (option_next("z:t:K:", &letter) == 1) options.push_back(letter + std::string(option_argument));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(options, c.options) << testing::PrintToString(c.args);
    EXPECT_EQ(option_index, c.operands_at) << testing::PrintToString(c.args);
  }
  EXPECT_STREQ(program_name, "Kunpack");  // the last row has no name
  EXPECT_EQ(operand_count, 0);
}

}  // namespace
