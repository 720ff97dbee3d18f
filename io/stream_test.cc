// stream_test.cc — the operands opened one after another, block reads across
// block boundaries, read errors, and block writes that survive a fatal exit.
#include "io/stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/messages.h"
#include "driver/settings.h"
#include "io/test_streams.h"

namespace {

std::string read_rest(InputStream& in) {
  std::string bytes;
  for (int byte; (byte = input_byte(in)) >= 0;) bytes += static_cast<char>(byte);
  return bytes;
}

TEST(StreamTest, OperandsAreReadOneAfterAnother) {
  TempFiles files;
  std::vector<std::string> names = {files.write("a", "first"), files.write("b", ""),
                                    files.write("c", "third")};
  files.set_operands(names);
  InputStream in;
  input_open(in, STREAM_OPERANDS);
  EXPECT_EQ(in.mode, STREAM_OPERANDS);
  EXPECT_EQ(in.name, names[0]);
  EXPECT_EQ(read_rest(in), "first");
  EXPECT_TRUE(in.end_of_file);
  EXPECT_EQ(input_byte(in), -1) << "the end stays the end";
  in.record_in_file = 3;
  EXPECT_EQ(input_next_file(in), 0);
  EXPECT_EQ(in.record_in_file, 0);
  EXPECT_EQ(in.name, names[1]);
  EXPECT_FALSE(in.end_of_file);
  EXPECT_EQ(read_rest(in), "");
  EXPECT_EQ(input_next_file(in), 0);
  EXPECT_EQ(read_rest(in), "third");
  in.record_in_file = 1;
  EXPECT_EQ(input_next_file(in), 1);
  EXPECT_EQ(in.record_in_file, 0) << "the attempt that found the end is taken back";
  EXPECT_EQ(in.mode, STREAM_CLOSED);
  EXPECT_EQ(in.file, nullptr);
  EXPECT_EQ(input_next_file(in), 1);
  input_release(in);
}

TEST(StreamTest, EnsureJoinsBytesAcrossTheBlockBoundary) {
  TempFiles files;
  std::string bytes(STREAM_BLOCK + 3, 'x');
  bytes[STREAM_BLOCK - 2] = 'A';
  bytes[STREAM_BLOCK + 2] = 'Z';
  std::vector<std::string> names = {files.write("big", bytes)};
  files.set_operands(names);
  InputStream in;
  input_open(in, STREAM_OPERANDS);
  for (std::size_t i = 0; i < STREAM_BLOCK - 2; ++i) input_byte(in);
  ASSERT_EQ(input_ensure(in, 6), 5u) << "only five bytes are left in the file";
  EXPECT_EQ(in.buffer[in.buffer_pos], 'A');
  EXPECT_EQ(in.buffer[in.buffer_pos + 4], 'Z');
  EXPECT_FALSE(in.end_of_file);
  in.buffer_pos = in.buffer_end;
  EXPECT_EQ(input_ensure(in, 6), 0u);
  EXPECT_TRUE(in.end_of_file);
  EXPECT_FALSE(in.read_failed);
  input_next_file(in);
  input_release(in);
}

TEST(StreamTest, ReadErrorIsTheEndOfTheFile) {
  TempFiles files;
  files.write("a", "");
  std::vector<std::string> names = {files.path("")};  // a directory opens, but cannot be read
  files.set_operands(names);
  InputStream in;
  input_open(in, STREAM_OPERANDS);
  EXPECT_EQ(input_byte(in), -1);
  EXPECT_TRUE(in.end_of_file);
  EXPECT_TRUE(in.read_failed);
  EXPECT_TRUE(in.source_done) << "a failing file is not read again";
  input_next_file(in);
  input_release(in);
}

TEST(StreamDeathTest, MissingFileIsFatal) {
  TempFiles files;
  std::vector<std::string> names = {"/nonexistent/missing.k"};
  files.set_operands(names);
  InputStream in;
  EXPECT_EXIT(input_open(in, STREAM_OPERANDS), testing::ExitedWithCode(3),
              "^Kunpack: can't open /nonexistent/missing.k.\n$");
}

TEST(StreamDeathTest, StandardInputNamedTwiceIsReadOnce) {
  TempFiles files;
  std::string path = files.write("stdin", "once");
  std::vector<std::string> names = {"-", "-"};
  files.set_operands(names);
  EXPECT_EXIT(
      {
        if (std::freopen(path.c_str(), "r", stdin) == nullptr) std::exit(2);
        InputStream in;
        input_open(in, STREAM_OPERANDS);
        bool first = in.name == nullptr && read_rest(in) == "once";
        bool second = input_next_file(in) == 0 && read_rest(in).empty();
        std::exit(first && second && input_next_file(in) == 1 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(StreamTest, BlocksAreWrittenInOrder) {
  TempFiles files;
  std::string path = files.path("out");
  OutputStream out;
  output_open_file(out, std::fopen(path.c_str(), "wb"));
  std::string expected;
  for (std::size_t i = 0; i < 3 * STREAM_BLOCK; ++i) {
    unsigned char byte = static_cast<unsigned char>(i * 7 + i / 1000);
    output_byte(out, byte);
    expected += static_cast<char>(byte);
  }
  output_close(out);
  EXPECT_EQ(out.mode, STREAM_CLOSED);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  std::string written(expected.size() + 1, '\0');
  written.resize(std::fread(written.data(), 1, written.size(), file));
  std::fclose(file);
  EXPECT_TRUE(written == expected);
}

TEST(StreamDeathTest, FatalExitKeepsWhatWasWritten) {
  TempFiles files;
  std::string path = files.path("out");
  EXPECT_EXIT(
      {
        output_open_file(output, std::fopen(path.c_str(), "wb"));
        for (char c : std::string("written\n")) output_byte(output, static_cast<unsigned char>(c));
        message(MSG_FATAL, "can't open %s.\n", "x");
      },
      testing::ExitedWithCode(3), "can't open x.");
  std::FILE* file = std::fopen(path.c_str(), "rb");
  char text[16] = {};
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::fread(text, 1, sizeof text, file), 8u);
  std::fclose(file);
  EXPECT_STREQ(text, "written\n");
}

}  // namespace
