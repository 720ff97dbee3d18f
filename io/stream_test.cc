// stream_test.cc — the operands read one after another, bytes joined across
// block boundaries, read errors, and blocks written in order.
#include "io/stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/test_streams.h"

namespace {

std::string read_rest(InputStream& in) {
  std::string bytes;
  for (int byte; (byte = input_byte(in)) >= 0;) bytes += static_cast<char>(byte);
  return bytes;
}

// Each operand in turn, its records counted afresh; standard input named
// twice is read once; a folder opens but cannot be read, which ends it.
TEST(StreamTest, OperandsAreReadOneAfterAnother) {
  TempFiles files;
  ASSERT_NE(std::freopen(files.write("stdin", "once").c_str(), "r", stdin), nullptr);
  std::vector<std::string> names = {files.write("a", "first"), "-",
                                    files.write("b", ""),      "-",
                                    files.directory(),         files.write("c", "third")};
  const char* contents[] = {"first", "once", "", "", "", "third"};
  files.set_operands(names);
  InputStream in;
  input_open(in, STREAM_OPERANDS);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(in.name == nullptr ? "-" : in.name, names[i]);
    EXPECT_EQ(read_rest(in), contents[i]) << i;
    EXPECT_EQ(input_byte(in), -1) << "the end stays the end";
    EXPECT_EQ(in.read_failed, names[i] == files.directory()) << i;
    EXPECT_TRUE(in.end_of_file && in.source_done) << "a file that ended is not read again";
    in.record_in_file = 3;
    EXPECT_EQ(input_next_file(in), i + 1 == names.size() ? 1 : 0) << i;
    // counted afresh; at the end the attempt that found it is taken back
    EXPECT_EQ(in.record_in_file, i + 1 == names.size() ? 2 : 0) << i;
  }
  EXPECT_EQ(input_next_file(in), 1);
  input_release(in);
}

// From a mapped file and from one that is read: the bytes around the end of
// the first block made contiguous, as far as the file goes.
TEST(StreamTest, EnsureJoinsBytesAcrossTheBlockBoundary) {
  TempFiles files;
  std::string bytes = std::string(STREAM_BLOCK - 2, 'x') + "AxxxZ";
  std::vector<std::string> names = {files.write("big", bytes)};
  files.set_operands(names);
  InputStream mapped;
  input_open(mapped, STREAM_OPERANDS);
  MemoryInput read(bytes);
  for (InputStream* in : {&mapped, &read.in}) {
    for (std::size_t i = 0; i < STREAM_BLOCK - 2; ++i) input_byte(*in);
    ASSERT_EQ(input_ensure(*in, 6), 5u) << "only five bytes are left in the file";
    EXPECT_EQ(std::string(in->buffer + in->buffer_pos, in->buffer + in->buffer_pos + 5), "AxxxZ");
    in->buffer_pos = in->buffer_end;
    EXPECT_EQ(input_ensure(*in, 6), 0u);
    EXPECT_TRUE(in->end_of_file && !in->read_failed);
  }
  input_next_file(mapped);
  input_release(mapped);
}

TEST(StreamTest, BlocksAreWrittenInOrder) {
  MemoryOutput output;
  std::string expected;
  for (std::size_t i = 0; i < 3 * STREAM_BLOCK + 5; ++i)
    expected += static_cast<char>(i * 7 + i / 1000);
  for (char c : expected) output_byte(output.out, static_cast<unsigned char>(c));
  EXPECT_TRUE(output.bytes() == expected);
}

}  // namespace
