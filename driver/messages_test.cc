// Tests of message(): prefix, wide arguments in the locale code, counting.
#include "driver/messages.h"

#include <gtest/gtest.h>

#include <clocale>
#include <functional>

namespace {

// clang-format off
const Unit kName[] = {u'c', 0xE9, 0xD800, 0xDC00, 0xDC00, 0}, kLatin[] = {u'a', 0xE9, 0};  // a pair, a lone surrogate
const struct { const char* locale; std::function<void()> emit; std::string text; } kCases[] = {
    {"C.UTF-8", [] { message(MSG_ERROR, "code error in K-file %s(%d).\n", "data", 3); }, "/bin/K: code error in K-file data(3).\n"},
    {"C.UTF-8", [] { message(MSG_ERROR, "field %ls.\n", kName); }, "/bin/K: field c\xC3\xA9\xF0\x90\x80\x80?.\n"},
    {"C.UTF-8", [] { message(MSG_ERROR, "field %.*ls:\n", 3, kName); }, "/bin/K: field c\xC3\xA9?:\n"},
    {"C.UTF-8", [] { message(MSG_ERROR, "at '%lc' '%lc' 100%%.\n", 0x20AC, 0); }, "/bin/K: at '\xE2\x82\xAC' '' 100%.\n"},  // 0: a text's NUL
    {"C", [] { message(MSG_ERROR, "%ls\n", kLatin); }, "/bin/K: a?\n"},
};
// clang-format on

TEST(Message, PrefixesConvertsAndCounts) {
  program_name = "/bin/K", error_count = 0;
  for (const auto& c : kCases) {
    ASSERT_NE(std::setlocale(LC_CTYPE, c.locale), nullptr);
    testing::internal::CaptureStderr();
    c.emit();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.text);
  }
  EXPECT_EQ(error_count, 5);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(UNDER_ADDRESS_SANITIZER)  // it dies first
char* volatile kept;  // the volatiles keep the allocation from being elided
volatile std::size_t too_much = ~std::size_t{0} / 4;
TEST(MessageDeathTest, FailedAllocationIsFatalStorageError) {
  EXPECT_EXIT({ exit_on_allocation_failure(); kept = new char[too_much]; },
              testing::ExitedWithCode(3), ": can't allocate storage for memory.");
}
#endif

}  // namespace
