// reader_test.cc — records and their FieldSpan tables as tables of cases, in
// areas of one byte that must grow inside the reader; code errors and read
// errors with their positions; and the bulk reader against the unit-by-unit
// reference on random input in every input code.
#include "io/reader.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "charcode/charcode.h"
#include "charcode/test_codes.h"
#include "driver/messages.h"
#include "driver/settings.h"
#include "io/test_reader.h"
#include "io/test_streams.h"

namespace {

// An area of one byte, so that every record makes it grow.
struct TinyArea : StorageArea {
  explicit TinyArea(const char* key) {
    area_create(1, key, *this);
    pact_push(area_double, nullptr, nullptr, *this);
  }
  TinyArea(const TinyArea&) = delete;
  ~TinyArea() { std::free(begin); }
};

// A line as "label|value"; units outside ASCII as \x{...}.
std::string describe(const Unit* from, const Unit* to) {
  std::string text;
  for (const Unit* p = from; p < to; ++p) {
    if (*p < 0x80) {
      text += static_cast<char>(*p);
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\x{%X}", static_cast<unsigned>(*p));
      text += hex;
    }
  }
  return text;
}

using Records = std::vector<std::vector<std::string>>;

// Checks the table's shape and describes its lines.
std::vector<std::string> describe_record(const FieldSpan* table) {
  std::vector<std::string> lines;
  const FieldSpan* span = table;
  for (; span->line != nullptr; ++span) {
    EXPECT_LE(span->line, span->value);
    EXPECT_LE(span->value, span->eol);
    EXPECT_EQ(*span->eol, u'\n');
    if (span != table) {
      EXPECT_EQ(span->line, span[-1].eol + 1) << "lines are consecutive";
    }
    lines.push_back(describe(span->line, span->value) + "|" + describe(span->value, span->eol));
  }
  EXPECT_EQ(span->value, nullptr);
  EXPECT_EQ(span->eol, span[-1].eol + 1);
  EXPECT_EQ(*span->eol, 0);
  return lines;
}

using ReadOne = FieldSpan* (*)(InputStream&, StorageArea&, StorageArea&);

// record_next's loop over the files with any form of record_read.
FieldSpan* next_with(ReadOne read, InputStream& in, StorageArea& chars, StorageArea& spans) {
  for (;;) {
    ++in.record_in_file;
    record_number = in.record_in_file;
    current_file_name = in.name != nullptr ? in.name : "(stdin)";
    if (FieldSpan* table = read(in, chars, spans)) return table;
    if (input_next_file(in) == 1) return nullptr;
  }
}

// All records and the messages printed while reading them.
struct Reading {
  Records records;
  std::string messages;
};

Reading read_all(InputStream& in, bool reference = false) {
  TinyArea chars("rsize");
  TinyArea spans("tsize");
  Reading reading;
  testing::internal::CaptureStderr();
  for (;;) {
    FieldSpan* table = reference ? next_with(record_read_reference, in, chars, spans)
                                 : record_next(in, chars, spans);
    if (table == nullptr) break;
    reading.records.push_back(describe_record(table));
    EXPECT_EQ(chars.pact_count, 1);
    EXPECT_EQ(spans.pact_count, 1);
    area_reset(spans);
    area_reset(chars);
  }
  reading.messages = testing::internal::GetCapturedStderr();
  return reading;
}

struct RecordCase {
  std::string input;  // UTF-8
  Records records;
};

const RecordCase kRecordCases[] = {
    {"a:1\nb:2\n\na:3\n", {{"a:|1", "b:|2"}, {"a:|3"}}},
    {"\n\n\na:1\n\n\n\nb:2\n\n\n", {{"a:|1"}, {"b:|2"}}},
    {"a:1", {{"a:|1"}}},
    {"abc\n:\nx:a:b\n", {{"|abc", ":|", "x:|a:b"}}},
    {"a", {{"|a"}}},
    {"a:", {{"a:|"}}},
    {":", {{":|"}}},
    {"a:\n\n", {{"a:|"}}},
    {std::string("a\0:\0"
                 "1\0\n\0\n",
                 9),
     {{"a:|1"}}},
    {"a:1\r\n\r\n", {{"a:|1\r", "|\r"}}},
    {"", {}},
    {"\n\n\n", {}},
    {"\xEF\xBB\xBF"
     "a:\xEF\xBB\xBF"
     "1\n",
     {{"a:|1"}}},
    {"n:\xC3\xA9\xF0\x9F\x98\x80\n", {{"n:|\\x{E9}\\x{D83D}\\x{DE00}"}}},
};

TEST(ReaderTest, RecordsAndSpans) {
  use_codes("C", 8);
  for (const RecordCase& c : kRecordCases) {
    MemoryInput input(c.input, "data");
    Reading reading = read_all(input.in);
    EXPECT_EQ(reading.records, c.records) << c.input;
    EXPECT_EQ(reading.messages, "");
    MemoryInput again(c.input, "data");
    EXPECT_EQ(read_all(again.in, true).records, c.records) << "reference: " << c.input;
  }
}

struct ErrorCase {
  int32_t code;
  std::string input;
  Records records;
  std::string messages;
};

const ErrorCase kErrorCases[] = {
    {8,
     "a:1\n\nb:2\n\nc:\x80x\n",
     {{"a:|1"}, {"b:|2"}, {"c:|x"}},
     "Kunpack: code error in K-file data(3).\n"},
    {8,
     "\x80\n\x80:\n\nz\xEF\xBF\xBE\n",
     {{":|"}, {"|z"}},
     "Kunpack: code error in K-file data(1).\nKunpack: code error in K-file data(1).\n"
     "Kunpack: code error in K-file data(2).\n"},
    {8,
     "\xFF\n\xFE:\xC3\n\n",
     {},
     "Kunpack: code error in K-file data(1).\n"
     "Kunpack: code error in K-file data(1).\nKunpack: code error in K-file data(1).\n"},
    {8, "a:\xE3\x81", {{"a:|"}}, ""},
    {16,
     std::string("a\0:\0\xFE\xFF"
                 "b\0c",
                 9),
     {{"a:|b"}},
     "Kunpack: code error in K-file data(1).\n"},
};

TEST(ReaderTest, CodeErrorsNameFileAndRecord) {
  for (const ErrorCase& c : kErrorCases) {
    use_codes("C", c.code);
    MemoryInput input(c.input, "data");
    Reading reading = read_all(input.in);
    EXPECT_EQ(reading.records, c.records) << c.input;
    EXPECT_EQ(reading.messages, c.messages) << c.input;
  }
  use_codes("C", 8);
  MemoryInput input("a:\x80\n", nullptr);
  EXPECT_EQ(read_all(input.in).messages, "Kunpack: code error in K-file (stdin)(1).\n");
}

TEST(ReaderTest, RecordsNeverSpanFilesAndNumbersRestart) {
  use_codes("C", 8);
  TempFiles files;
  std::vector<std::string> paths = {files.write("one", "a:1\n\nb:2"), files.write("empty", ""),
                                    files.write("blank", "\n\n"),
                                    files.write("two", "c:3\n\xFF\n\nd:4\xFF\n")};
  files.set_operands(paths);
  InputStream in;
  input_open(in, STREAM_OPERANDS);
  Reading reading = read_all(in);
  EXPECT_EQ(reading.records, (Records{{"a:|1"}, {"b:|2"}, {"c:|3"}, {"d:|4"}}));
  EXPECT_EQ(reading.messages, "Kunpack: code error in K-file " + paths[3] +
                                  "(1).\nKunpack: code error in K-file " + paths[3] + "(2).\n");
  EXPECT_EQ(in.mode, STREAM_CLOSED);
  input_release(in);
}

TEST(ReaderTest, ReadErrorIsReportedOnceAndReadingGoesOn) {
  use_codes("C", 8);
  TempFiles files;
  std::vector<std::string> paths = {files.write("one", "a:1\n"), files.directory(),
                                    files.write("two", "b:2\n")};
  files.set_operands(paths);
  InputStream in;
  input_open(in, STREAM_OPERANDS);
  int32_t errors_before = error_count;
  Reading reading = read_all(in);
  EXPECT_EQ(reading.records, (Records{{"a:|1"}, {"b:|2"}}));
  EXPECT_EQ(reading.messages, "Kunpack: read error in K-file " + paths[1] + ": Is a directory.\n");
  EXPECT_EQ(error_count - errors_before, 1);
  input_release(in);
}

TEST(ReaderDeathTest, MissingFileIsFatalAfterTheEarlierRecords) {
  use_codes("C", 8);
  TempFiles files;
  std::vector<std::string> paths = {files.write("one", "a:1\n\nb:2\n"), "/nonexistent/two"};
  files.set_operands(paths);
  EXPECT_EXIT(
      {
        TinyArea chars("rsize");
        TinyArea spans("tsize");
        InputStream in;
        input_open(in, STREAM_OPERANDS);
        int records = 0;
        while (record_next(in, chars, spans) != nullptr) {
          std::fprintf(stderr, "record %d\n", ++records);
        }
      },
      testing::ExitedWithCode(3), "record 1\nrecord 2\nKunpack: can't open /nonexistent/two.\n");
}

TEST(ReaderTest, LongRecordSurvivesGrowthOfBothAreas) {
  use_codes("C", 8);
  std::string text;
  std::vector<std::string> expected;
  for (int i = 0; text.size() < 3 * 1024 * 1024; ++i) {
    std::string label = "field" + std::to_string(i % 97) + ":";
    std::string value(static_cast<std::size_t>(i % 301), static_cast<char>('a' + i % 26));
    value += std::to_string(i);
    text += label + value + "\n";
    expected.push_back(label + "|" + value);
  }
  MemoryInput input(text + "\nlast:1\n", "big");
  const std::size_t bound = record_piece_bytes;
  record_piece_bytes = SIZE_MAX;  // the whole record in one piece
  Reading reading = read_all(input.in);
  record_piece_bytes = bound;
  ASSERT_EQ(reading.records.size(), 2u);
  EXPECT_TRUE(reading.records[0] == expected);
  EXPECT_EQ(reading.records[1], (std::vector<std::string>{"last:|1"}));
}

// Random K-file-like input in the given code, with broken sequences.
std::string random_kfile(std::mt19937& random, int32_t code, std::size_t length) {
  static const char* const kPieces[] = {"a",
                                        "bc",
                                        ":",
                                        "\n",
                                        "\n\n",
                                        "x:y",
                                        "(NUL)",
                                        "\xC3\xA9",
                                        "\x80",
                                        "\xE3\x81",
                                        "\xEF\xBB\xBF",
                                        "\xEF\xBF\xBE",
                                        "\r",
                                        "\xF0\x9F\x98\x80",
                                        "\xC0\x8A",
                                        "\xC0\xBA",
                                        "\xC0\x80",
                                        "abcdefghijklmnopqrstuvwxyz0123456789"};
  std::string bytes;
  while (bytes.size() < length) {
    if (code != 0 && code != 8) {
      bytes += static_cast<char>(random() % 4 == 0 ? random() : "a:\n\0"[random() % 4]);
      continue;
    }
    std::size_t which = random() % std::size(kPieces);
    bytes += which == 6 ? std::string(1, '\0') : std::string(kPieces[which]);
  }
  return bytes;
}

struct CodeUnderTest {
  const char* locale;
  int32_t code;
};

const CodeUnderTest kCodes[] = {{"C.UTF-8", 0}, {"C", 0},  {"C", 8},  {"C", 16},
                                {"C", -16},     {"C", 32}, {"C", -32}};

TEST(ReaderTest, BulkReaderAgreesWithReference) {
  std::mt19937 random(5);
  for (const CodeUnderTest& c : kCodes) {
    use_codes(c.locale, c.code);
    for (int round = 0; round < 150; ++round) {
      std::size_t length = round == 0 ? 2 * STREAM_BLOCK + 77 : random() % 300;
      std::string bytes = random_kfile(random, c.code, length);
      MemoryInput bulk_input(bytes, "random");
      MemoryInput reference_input(bytes, "random");
      Reading bulk = read_all(bulk_input.in);
      Reading reference = read_all(reference_input.in, true);
      ASSERT_EQ(bulk.records, reference.records) << c.locale << " " << c.code << " " << round;
      ASSERT_EQ(bulk.messages, reference.messages) << c.locale << " " << c.code << " " << round;
    }
  }
  std::setlocale(LC_ALL, "C");
}

// The record loop's output in brief: chosen lines (labels that begin with
// 'x') in brackets, the others as they are, an empty line after each
// record; then the messages. Lines that pass straight through must leave
// it as the reference reader's decoded lines give it.
std::string loop_output(const std::string& bytes, bool reference, const uint64_t* label_starts,
                        bool from_file = false) {
  MemoryInput input(bytes, "random");
  TempFiles files;
  if (from_file) {  // a regular file is mapped, not read
    std::fclose(input.in.file);
    input_open_file(input.in, std::fopen(files.write("random", bytes).c_str(), "r"), "random");
  }
  MemoryOutput output;
  TinyArea chars("rsize");
  TinyArea spans("tsize");
  const LinePass pass = {&output.out, label_begins_with_x, codes_are_utf8, codes_are_utf16le,
                         label_starts};
  testing::internal::CaptureStderr();
  while (FieldSpan* table = reference ? next_with(record_read_reference, input.in, chars, spans)
                                      : record_next(input.in, chars, spans, &pass)) {
    write_marked_record(table, input.in, output.out);
    area_reset(spans);
    area_reset(chars);
  }
  std::string messages = testing::internal::GetCapturedStderr();
  return output.bytes() + messages;
}

// Lines of mostly clean UTF-8, chosen ('x') or not, with characters at
// the edges of what may pass as bytes: the ones after "|" are not clean.
std::string random_lines(std::mt19937& random, std::size_t length) {
  static const char* const kLabels[] = {"a:", "x:", "bc:", "", ":", "\xC3\xA9:"};
  static const char* const kPieces[] = {"abc",
                                        " ",
                                        "\r",
                                        ":",
                                        "\xC3\xA9",
                                        "\xF0\x9F\x98\x80",
                                        "\xEF\xBF\xBD",
                                        "\xED\x9F\xBF",
                                        "\xF4\x8F\xBF\xBF",
                                        "\xC2\x80",
                                        "|",
                                        "\xEF\xBF\xBF",
                                        "\xEF\xBF\xBE",
                                        "\xEF\xBB\xBF",
                                        "\xED\xA0\x80",
                                        "\xF4\x90\x80\x80",
                                        "\xE0\x9F\xBF",
                                        "\xF0\x8F\xBF\xBF",
                                        "\xC1\xBF",
                                        "\xE6\x97",
                                        "\xF8\x88\x80\x80\x80",
                                        "\x80"};
  std::string bytes;
  while (bytes.size() < length) {
    bytes += random() % 6 == 0 ? "\n" : kLabels[random() % std::size(kLabels)];
    for (int pieces = static_cast<int>(random() % 5); pieces > 0; --pieces) {
      std::size_t which = random() % std::size(kPieces);
      if (which > 10 && random() % 4 != 0) which = 0;
      bytes += kPieces[which];
    }
    bytes += '\n';
  }
  return bytes;
}

// random_lines as UTF-16LE: each byte a unit, some of them the units that
// do not pass.
std::string as_utf16le(const std::string& bytes) {
  std::string units;
  for (unsigned char byte : bytes) {
    unsigned unit = byte == '|'    ? 0xFEFF
                    : byte == 0x80 ? 0xFFFF
                    : byte == 0xC1 ? 0xFFFE
                    : byte == 0xF8 ? 0
                    : byte == 0xED ? 0xD800
                                   : byte;
    units += static_cast<char>(unit & 0xFF);
    units += static_cast<char>(unit >> 8);
  }
  return units;
}

// The bulk reader also ends pieces at a tiny size bound, which must not
// change a byte either.
TEST(ReaderTest, PassedLinesWriteWhatDecodedLinesWrite) {
  std::mt19937 random(9);
  const std::size_t whole_records = record_piece_bytes;
  for (const CodeUnderTest& c : kCodes) {
    use_codes(c.locale, c.code, c.code == 16 ? 16 : 8);
    for (int round = 0; round < 100; ++round) {
      std::size_t length = round == 0 ? STREAM_BLOCK + 77 : random() % 300;
      std::string bytes = round % 2 != 0 ? random_kfile(random, c.code, length)
                          : c.code == 16 ? as_utf16le(random_lines(random, length / 2))
                                         : random_lines(random, length);
      record_piece_bytes = round % 3 == 0 ? whole_records : random() % 40;
      std::string reference = loop_output(bytes, true, nullptr);
      for (const uint64_t* label_starts : {static_cast<const uint64_t*>(nullptr), kStartsOfX}) {
        ASSERT_TRUE(loop_output(bytes, false, label_starts, round % 10 == 0) == reference)
            << c.locale << " " << c.code << " " << round << " " << (label_starts != nullptr);
      }
    }
  }
  record_piece_bytes = whole_records;
  std::setlocale(LC_ALL, "C");
}

// The reader keeps the bit masks of a 64-byte piece of the block from one
// record to the next; bytes that change under them (as a refill or a move
// changes them, which counts in block_moves) must be looked at anew.
TEST(ReaderTest, NextRecordSeesTheBlockChangedUnderIt) {
  use_codes("C", 8);
  MemoryInput input("a:1\n\nbc:defg\n\n", "changed");
  TinyArea chars("rsize");
  TinyArea spans("tsize");
  FieldSpan* table = record_next(input.in, chars, spans);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(describe_record(table), (std::vector<std::string>{"a:|1"}));
  std::memcpy(input.in.buffer + input.in.buffer_pos, "b:c\nd:e\n\n", 9);
  ++input.in.block_moves;
  table = record_next(input.in, chars, spans);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(describe_record(table), (std::vector<std::string>{"b:|c", "d:|e"}));
}

}  // namespace
