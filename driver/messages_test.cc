// Tests of message(): prefix, wide arguments and counting.
#include "driver/messages.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

std::string capture(void (*emit)()) {
  testing::internal::CaptureStderr();
  emit();
  return testing::internal::GetCapturedStderr();
}

TEST(Message, PrefixesAndCounts) {
  program_name = "/usr/bin/Kunpack";
  error_count = 0;
  EXPECT_EQ(capture([] { message(MSG_ERROR, "invalid option -%s.\n", "x"); }),
            "/usr/bin/Kunpack: invalid option -x.\n");
  EXPECT_EQ(capture([] { message(MSG_ERROR, "code error in K-file %s(%d).\n", "data", 3); }),
            "/usr/bin/Kunpack: code error in K-file data(3).\n");
  EXPECT_EQ(error_count, 2);
  program_name = "Kunpack";
  error_count = 0;
}

TEST(Message, WideArgumentsInUtf8Locale) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  static const Unit kName[] = {u'c', 0xE9, 0xD83D, 0xDE00, 0xDC00, 0};
  EXPECT_EQ(capture([] { message(MSG_ERROR, "field %ls.\n", kName); }),
            "Kunpack: field c\xC3\xA9\xF0\x9F\x98\x80?.\n");
  EXPECT_EQ(capture([] { message(MSG_ERROR, "field %.*ls:\n", 3, kName); }),
            "Kunpack: field c\xC3\xA9?:\n");
  EXPECT_EQ(capture([] { message(MSG_ERROR, "at '%lc'.\n", 0x20AC); }),
            "Kunpack: at '\xE2\x82\xAC'.\n");
  // The NUL at the end of a text prints nothing between the quotes.
  EXPECT_EQ(capture([] { message(MSG_ERROR, "at '%lc'.\n", 0); }), "Kunpack: at ''.\n");
  EXPECT_EQ(capture([] { message(MSG_ERROR, "100%% %d\n", 5); }), "Kunpack: 100% 5\n");
  std::setlocale(LC_CTYPE, "C");
  error_count = 0;
}

TEST(Message, SevenBitLocaleWritesQuestionMarks) {
  std::setlocale(LC_CTYPE, "C");
  static const Unit kName[] = {u'a', 0xE9, 0};
  EXPECT_EQ(capture([] { message(MSG_ERROR, "%ls\n", kName); }), "Kunpack: a?\n");
  error_count = 0;
}

TEST(MessageDeathTest, FatalExitsWithThree) {
  EXPECT_EXIT(message(MSG_FATAL, "can't open %s.\n", "nofile"), testing::ExitedWithCode(3),
              "Kunpack: can't open nofile.");
}

// AddressSanitizer's allocator dies on such a request before any handler runs.
#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef UNDER_ADDRESS_SANITIZER
char* volatile kept_allocation = nullptr;  // keeps the allocation from being elided

TEST(MessageDeathTest, FailedAllocationIsFatalStorageError) {
  auto allocate_too_much = [] {
    exit_on_allocation_failure();
    volatile std::size_t bytes = ~std::size_t{0} / 4;
    kept_allocation = new char[bytes];
  };
  EXPECT_EXIT(allocate_too_much(), testing::ExitedWithCode(3),
              "Kunpack: can't allocate storage for memory.");
}
#endif

}  // namespace
