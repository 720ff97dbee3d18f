// stream_test.cc — operands in turn, read errors, bytes joined across blocks, files released.
#include "io/stream.h"

#include <fcntl.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "io/test_streams.h"

namespace {

using namespace std::string_literals;

// Each operand in turn, its records counted afresh; standard input named
// twice is read once; a folder opens but cannot be read, which ends it.
TEST(StreamTest, OperandsAreReadOneAfterAnother) {
  TempFiles files;
  ASSERT_NE(std::freopen(files.write("stdin", "once").c_str(), "r", stdin), nullptr);
  std::vector<std::string> names = {files.write("a", "first"), "-", files.write("b", ""), "-"};
  names.insert(names.end(), {files.directory(), files.write("c", "third")});
  const char* contents[] = {"first", "once", "", "", "", "third"};
  files.set_operands(names);
  InputStream in;
  input_open(in, STREAM_OPERANDS);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(in.name == nullptr ? "-" : in.name, names[i]);
    EXPECT_EQ(in.mapped, i < 2 || i == 5) << i << ": regular files with bytes left, stdin too";
    std::string rest;
    for (int byte; (byte = input_byte(in)) >= 0;) rest += static_cast<char>(byte);
    EXPECT_EQ(rest, contents[i]) << i;
    EXPECT_EQ(input_byte(in), -1) << "the end stays the end";
    EXPECT_EQ(in.read_failed, names[i] == files.directory()) << i;
    EXPECT_TRUE(in.end_of_file && in.source_done) << "a file that ended is not read again";
    in.record_in_file = 3;
    EXPECT_EQ(input_next_file(in), i + 1 == names.size() ? 1 : 0) << i;
    EXPECT_EQ(in.record_in_file, i + 1 == names.size() ? 2 : 0)
        << "afresh; the last try taken back";
  }
  EXPECT_EQ(input_next_file(in), 1) << "the end stays the end";
  input_release(in);
}

// From a mapped file and from one that is read: the bytes around a block's end made contiguous,
// as far as the file goes. Files left are released: the input unmapped, the output closed.
TEST(StreamTest, EnsureJoinsBytesAcrossTheBlockBoundaryAndFilesAreReleased) {
  TempFiles files;
  std::string bytes = std::string(STREAM_BLOCK - 2, 'x') + "AxxxZ";
  std::vector<std::string> names = {files.write("big", bytes)};
  files.set_operands(names);
  InputStream mapped;
  input_open(mapped, STREAM_OPERANDS);
  MemoryInput read(bytes);
  auto folder_mapped = [&files] {
    std::ifstream maps("/proc/self/maps");
    return std::string(std::istreambuf_iterator<char>(maps), {}).find(files.directory()) !=
           std::string::npos;
  };
  // The first window is mapped; the file's offset follows what it gives out (all but the padding).
  input_byte(mapped);
  EXPECT_TRUE(folder_mapped());
  EXPECT_EQ(lseek(fileno(mapped.file), 0, SEEK_CUR), static_cast<off_t>(bytes.size() - STREAM_PADDING));
  for (InputStream* in : {&mapped, &read.in}) {
    for (std::size_t i = in == &mapped ? 1 : 0; i < STREAM_BLOCK - 2; ++i) input_byte(*in);
    ASSERT_EQ(input_ensure(*in, 6), 5u) << "only five bytes are left in the file";
    EXPECT_EQ(std::string(in->buffer + in->buffer_pos, in->buffer + in->buffer_pos + 5), "AxxxZ");
    in->buffer_pos = in->buffer_end;
    EXPECT_EQ(input_ensure(*in, 6), 0u);
    EXPECT_TRUE(in->end_of_file && !in->read_failed);
  }
  input_next_file(mapped);
  EXPECT_FALSE(folder_mapped());
  input_release(mapped);
  std::FILE* file = std::tmpfile();
  int descriptor = fileno(file);
  OutputStream out;
  output_open_file(out, file);
  output_close(out);
  EXPECT_EQ(fcntl(descriptor, F_GETFD), -1) << "a failure to close would go unreported";
}

// A mapped file cut while it is read: the windows given out stay whole, and
// the next one is a read error (EIO), never a fault on a page that is gone.
TEST(StreamTest, AMappedFileCutWhileReadEndsWithAReadError) {
  TempFiles files;
  std::vector<std::string> names = {files.write("cut", std::string(3 * STREAM_BLOCK, 'x'))};
  files.set_operands(names);
  InputStream in;
  input_open(in, STREAM_OPERANDS);
  std::size_t got = 0;
  for (; got < STREAM_BLOCK; ++got) ASSERT_EQ(input_byte(in), 'x');
  ASSERT_EQ(truncate(names[0].c_str(), STREAM_BLOCK / 2), 0);
  while (input_byte(in) >= 0 && got < 3 * STREAM_BLOCK) ++got;
  EXPECT_EQ(got, STREAM_BLOCK);
  EXPECT_TRUE(in.read_failed && in.read_error == EIO);
  input_release(in);
}

// A mapped page the file no longer holds ends the run with the message and status 3.
TEST(StreamDeathTest, AWindowCutUnderTheReaderEndsTheRun) {
  TempFiles files;
  std::vector<std::string> names = {files.write("cut", std::string(2 * STREAM_BLOCK, 'x'))};
  files.set_operands(names);
  auto read_while_cut = [&names] {
    InputStream in;
    input_open(in, STREAM_OPERANDS);
    input_byte(in);
    volatile int byte = 0;  // each byte loaded, as the reader loads it
    if (truncate(names[0].c_str(), 0) == 0) while (byte >= 0) byte = input_byte(in);
    std::_Exit(0);
  };
  EXPECT_EXIT(read_while_cut(), testing::ExitedWithCode(3),
              testing::Eq("Kunpack: read error in K-file: the file shrank while it was read.\n"s));
}

}  // namespace
