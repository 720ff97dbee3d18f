// reader_test.cc — the reader in areas of one byte: a table of records and code errors,
// files, and the bulk reader with and without lines passed as bytes against the reference.
#include "io/reader.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "charcode/test_codes.h"
#include "driver/messages.h"
#include "io/test_reader.h"
#include "io/test_streams.h"

namespace {

using namespace std::string_literals;
using Records = std::vector<std::vector<std::u16string>>;  // lines as "label|value"

// An area of one byte, so that every record makes it grow.
struct TinyArea : StorageArea {
  explicit TinyArea(const char* key) {
    area_create(1, key, *this);
    pact_push(area_double, nullptr, nullptr, *this);
  }
  ~TinyArea() { std::free(begin); }
};

// Checks the table's shape and describes its lines.
std::vector<std::u16string> describe_record(const FieldSpan* table) {
  std::vector<std::u16string> lines;
  const FieldSpan* span = table;
  for (; span->line != nullptr; ++span) {
    EXPECT_TRUE(span->line <= span->value && span->value <= span->eol && *span->eol == u'\n');
    EXPECT_TRUE(span == table || span->line == span[-1].eol + 1) << "lines are consecutive";
    lines.push_back(std::u16string(span->line, span->value) + u"|" +
                    std::u16string(span->value, span->eol));
  }
  EXPECT_TRUE(span->value == nullptr && *span->eol == 0 &&
              (span == table || span->eol == span[-1].eol + 1));
  return lines;
}

// record_next's loop over the files, with the reference reader.
FieldSpan* next_by_unit(InputStream& in, StorageArea& chars, StorageArea& spans) {
  for (;;) {
    record_number = ++in.record_in_file;
    current_file_name = in.name != nullptr ? in.name : "(stdin)";
    if (FieldSpan* table = record_read_reference(in, chars, spans)) return table;
    if (input_next_file(in) == 1) return nullptr;
  }
}

// All records' tables, the marked loop's output (test_reader.h), the messages.
struct Reading { Records records; std::string output, messages; };

// By the reference (`how` < 0), by record_next (3) or with lines passed by marked_pass(how).
Reading read_all(InputStream& in, int how = 3) {
  TinyArea chars("rsize"), spans("tsize");
  MemoryOutput output;
  const LinePass pass = marked_pass(output.out, how);
  Reading reading;
  testing::internal::CaptureStderr();
  while (FieldSpan* table = how < 0 ? next_by_unit(in, chars, spans)
                                    : record_next(in, chars, spans, how < 3 ? &pass : nullptr)) {
    reading.records.push_back(describe_record(table));
    write_marked_record(table, in, output.out);
    EXPECT_TRUE(chars.pact_count == 1 && spans.pact_count == 1);
    area_reset(spans);
    area_reset(chars);
  }
  reading.messages = testing::internal::GetCapturedStderr();
  reading.output = output.bytes();
  return reading;
}

// read_all from a stream, or a mapped file (still open after its folder is gone).
Reading read_bytes(const std::string& bytes, int how, bool from_file = false) {
  MemoryInput input(bytes, "data");
  if (from_file) {
    TempFiles files;
    std::fclose(input.in.file);
    input_open_file(input.in, std::fopen(files.write("data", bytes).c_str(), "r"), "data");
  }
  return read_all(input.in, how);
}

#define E(n) "Kunpack: code error in K-file data(" #n ").\n"

TEST(ReaderTest, RecordsSpansAndCodeErrors) {
  struct Case { int32_t code; std::string input; Records records; std::string messages; };
  // clang-format off
  const Case kCases[] = {
      {16, "a\0:\0\xFE\xFF" "b\0c"s, {{u"a:|b"}}, E(1)},
      {8, "a:1\n\nb:2\n\n\n\nc:3", {{u"a:|1"}, {u"b:|2"}, {u"c:|3"}}, ""},
      {8, "\n\n\nabc\n:\nx:a:b\n\n\n", {{u"|abc", u":|", u"x:|a:b"}}, ""},
      {8, "a\0:\0" "1\0\n\0\n"s, {{u"a:|1"}}, ""},
      {8, "a:1\r\n\r\n", {{u"a:|1\r", u"|\r"}}, ""},
      {8, "\xEF\xBB\xBF" "a:\xEF\xBB\xBF" "1\n", {{u"a:|1"}}, ""},
      {8, "n:\xC3\xA9\xF0\x9F\x98\x80\n", {{u"n:|\xE9\xD83D\xDE00"}}, ""},
      {8, "a:1\n\nb:2\n\nc:\x80x\n", {{u"a:|1"}, {u"b:|2"}, {u"c:|x"}}, E(3)},
      {8, "\x80\n\x80:\n\nz\xEF\xBF\xBE\n", {{u":|"}, {u"|z"}}, E(1) E(1) E(2)},
      {8, "\xFF\n\xFE:\xC3\n\n", {}, E(1) E(1) E(1)},
      {8, "a:\xE3\x81", {{u"a:|"}}, ""},
  };
  // clang-format on
  for (const Case& c : kCases) {
    use_codes("C", c.code);
    for (int how : {3, -1}) {
      Reading reading = read_bytes(c.input, how);
      EXPECT_EQ(reading.records, c.records) << c.input << " " << how;
      EXPECT_EQ(reading.messages, c.messages) << c.input << " " << how;
    }
  }
}

// Lines that pass never reach the table (the input's first line is read
// before the block is there): a chosen line is there alone, its piece cut
// before the line after it; written from its bytes, not even that.
TEST(ReaderTest, PassedLinesStayOutOfTheTable) {
  use_codes("C.UTF-8", 0);
  const std::string input = "xa:0\nb:1\nxb:\xC3\xA9z\nc:3\n\nd:4\n\n";
  EXPECT_EQ(read_bytes(input, 1).records, (Records{{u"xa:|0"}, {u"xb:|\xE9z"}}));
  EXPECT_EQ(read_bytes(input, 2).records, (Records{{u"xa:|0"}}));
}

TEST(ReaderTest, FilesEndRecordsAndRestartTheirNumbers) {
  use_codes("C", 8);
  TempFiles files;
  std::vector<std::string> paths = {files.write("one", "a:1\n\nb:2"), files.write("empty", ""),
                                    files.write("blank", "\n\n"),
                                    files.write("two", "c:3\n\xFF\n\nd:4\xFF\n")};
  files.set_operands(paths);
  InputStream in;
  input_open(in, STREAM_OPERANDS);
  Reading reading = read_all(in);
  EXPECT_EQ(reading.records, (Records{{u"a:|1"}, {u"b:|2"}, {u"c:|3"}, {u"d:|4"}}));
  EXPECT_EQ(reading.messages, "Kunpack: code error in K-file " + paths[3] + "(1).\n" +
                                  "Kunpack: code error in K-file " + paths[3] + "(2).\n");
  input_release(in);
}

// The reader keeps the bit masks of a 64-byte piece of the block from one
// record to the next; bytes changed under them (a refill or a move counts in
// block_moves) must be looked at anew.
TEST(ReaderTest, NextRecordSeesTheBlockChangedUnderIt) {
  use_codes("C", 8);
  MemoryInput input("a:1\n\nbc:defg\n\n", "changed");
  TinyArea chars("rsize"), spans("tsize");
  ASSERT_NE(record_next(input.in, chars, spans), nullptr);
  std::memcpy(input.in.buffer + input.in.buffer_pos, "b:c\nd:e\n\n", 9);
  ++input.in.block_moves;
  FieldSpan* table = record_next(input.in, chars, spans);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(describe_record(table), (std::vector<std::u16string>{u"b:|c", u"d:|e"}));
}

// A line whose first bytes match no chosen prefix passes without its label being asked about.
TEST(ReaderTest, OnlyLinesMatchingAPrefixAreAskedAbout) {
  std::string text = "xyzw:0\n\n";  // a file's first line is read unit by unit, so asked about
  for (int i = 0; i < 40; ++i) text += "a:1\nxyzq:2\nxyzw:3\n\n";
  for (int32_t code : {8, 16}) {
    use_codes("C", code, code);
    std::string bytes;
    for (char byte : text) bytes += code == 8 ? std::string(1, byte) : std::string{byte, '\0'};
    std::vector<std::string> asked;
    marked_start = "xyzw", marked_asked = &asked;
    read_bytes(bytes, 2);
    marked_start = "x", marked_asked = nullptr;
    EXPECT_TRUE(!asked.empty() && std::count(asked.begin(), asked.end(), "xyzw:") == std::ssize(asked)) << code;
  }
  std::setlocale(LC_ALL, "C");
}

// A mapped window whose last piece of the stretch scan is one unit short, and
// the next window begins with a newline: the stretch still ends in the window.
TEST(ReaderTest, AStretchEndsInItsWindowWhateverFollows) {
  for (int32_t code : {8, 16}) {
    use_codes("C", code, code);
    // A file's first line is read unit by unit: 65 units, then lines of 64, so
    // the second window's first unit is a newline.
    std::string text = "a:" + std::string(62, 'y') + "\n";
    while (text.size() < STREAM_BLOCK + 640) text += "a:" + std::string(61, 'z') + "\n";
    std::string bytes;
    for (char byte : text) bytes += code == 8 ? std::string(1, byte) : std::string{byte, '\0'};
    EXPECT_EQ(read_bytes(bytes, 2, true).output, read_bytes(bytes, -1).output) << code;
  }
  std::setlocale(LC_ALL, "C");
}

// Random units, or lines of mostly clean UTF-8 (chosen if 'x') with pieces at the edges of
// what may pass as bytes (from "|" on they may not); as UTF-16LE, each byte a unit.
std::string random_input(std::mt19937& random, int32_t code, bool units, std::size_t length) {
  static const char* const kLabels[] = {"a:", "x:", "bc:", "", ":", "\xC3\xA9:", "xy:", "xyz:", "xyzw:"};
  static const char* const kPieces[] = {
      "abc", " ", "\r", ":", "\xC3\xA9", "\xF0\x9F\x98\x80", "\xEF\xBF\xBD", "\xED\x9F\xBF",
      "\xF4\x8F\xBF\xBF", "\xC2\x80", "|", "\xEF\xBF\xBF", "\xEF\xBF\xBE", "\xEF\xBB\xBF",
      "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xC1\xBF",
      "\xE6\x97", "\xF8\x88\x80\x80\x80", "\x80", "\xC0\x8A", "\xC0\xBA", "\xC0\x80", "\n\n",
      "x:y", "\0", "\xE3\x81"};
  std::string bytes;
  while (units && bytes.size() < length) {
    bytes += static_cast<char>(random() % 4 == 0 ? random() : "a:\n\0"[random() % 4]);
  }
  while (bytes.size() < length) {
    bytes += random() % 6 == 0 ? "\n" : kLabels[random() % std::size(kLabels)];
    for (int pieces = static_cast<int>(random() % 5); pieces > 0; --pieces) {
      std::size_t which = random() % std::size(kPieces);
      bytes += which > 10 && random() % 4 != 0 ? "abc"s : which == 27 ? "\0"s : kPieces[which];
    }
    bytes += '\n';
  }
  if (units || code != 16) return bytes;
  std::string utf16le;
  for (unsigned char byte : bytes) {
    unsigned unit = byte == '|' ? 0xFEFF : byte == 0x80 ? 0xFFFF : byte == 0xC1 ? 0xFFFE
                    : byte == 0xF8 ? 0 : byte == 0xED ? 0xD800 : byte;
    utf16le += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  }
  return utf16le;
}

// Whole records, then pieces cut at a tiny size bound (which must not
// change a byte either) with lines passed as bytes.
TEST(ReaderTest, BulkReaderAndPassedLinesAgreeWithReference) {
  const std::pair<const char*, int32_t> kCodes[] = {
      {"C.UTF-8", 0}, {"C", 0}, {"C", 8}, {"C", 16}, {"C", -16}, {"C", 32}, {"C", -32}};
  std::mt19937 random(5);
  const std::size_t whole_records = record_piece_bytes;
  for (auto [locale, code] : kCodes) {
    use_codes(locale, code, code == 16 ? 16 : 8);
    for (int round = 0; round < 200; ++round) {
      std::size_t length = round < 2 ? 2 * STREAM_BLOCK + 77 : random() % 300;
      bool units = code != 0 && code != 8 && (code != 16 || round % 2 != 0);
      std::string bytes = random_input(random, code, units, length);
      // Round 0 in UTF-8 ends with a record far larger than the block.
      for (std::size_t line = 0; round == 0 && code == 8 && bytes.size() < 3 << 20; ++line) {
        bytes += std::to_string(line % 97) + ':' + std::string(line % 301, 'v') + '\n';
      }
      SCOPED_TRACE(testing::Message() << locale << " " << code << " " << round);
      Reading reference = read_bytes(bytes, -1);
      record_piece_bytes = SIZE_MAX;
      Reading bulk = read_bytes(bytes, 3);
      ASSERT_TRUE(bulk.records == reference.records && bulk.messages == reference.messages);
      record_piece_bytes = round % 3 == 0 ? whole_records : random() % 40;
      const bool wide_scan = record_scan_avx2;
      for (int how : {0, 1, 2, 4}) {  // 4: 2 with the prefix "xyz" or "xy"
        record_scan_avx2 = wide_scan && how != 1;  // the 16-byte scan too, where both exist
        if (how == 4) marked_start = round % 2 ? "xy" : "xyz", reference = read_bytes(bytes, -1);
        Reading p = read_bytes(bytes, how == 4 ? 2 : how, round % 10 == 0);
        record_scan_avx2 = wide_scan;
        marked_start = "x";
        ASSERT_TRUE(p.output == reference.output && p.messages == reference.messages) << how;
      }
    }
  }
  record_piece_bytes = whole_records;
  std::setlocale(LC_ALL, "C");
}

}  // namespace
