// stream.h — the input and output stream records and their opening/closing.
// Input runs over the remaining operands one file at a time ("-" and no
// operand mean standard input); output is standard output. Both streams do
// their own block buffering (one fread/fwrite per block, never per unit) and
// carry the converters' `pending` surrogate. A file that cannot be opened is
// fatal, and so is output that cannot be written, flushed or closed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/unit.h"

constexpr int32_t STREAM_CLOSED = 0;
constexpr int32_t STREAM_STDIN = 1;     // standard input because no operand was given
constexpr int32_t STREAM_OPERANDS = 2;  // reading the operands one after another
constexpr int32_t STREAM_OUTPUT = 8;

constexpr std::size_t STREAM_BLOCK = 256 * 1024;  // bytes per fread/fwrite
constexpr std::size_t STREAM_PADDING = 128;    // readable (never used) bytes after the input block
constexpr std::size_t UNIT_BLOCK = 16 * 1024;  // decoded units the reader takes at a time

struct InputStream {
  std::FILE* file = nullptr;
  int32_t mode = STREAM_CLOSED;
  const char* name = nullptr;  // operand naming the current file; null for stdin
  int32_t record_in_file = 0;  // records read from the current file (the reader counts)
  uint32_t pending = 0;        // held low surrogate of the decoders
  // block buffer (implementation detail of io/ and charcode/)
  unsigned char* buffer = nullptr;
  std::size_t buffer_pos = 0;
  std::size_t buffer_end = 0;
  bool end_of_file = false;     // the file has given all its bytes (and buffer_pos == buffer_end)
  bool read_failed = false;     // a read error that is not the end; reported once
  int read_error = 0;           // errno of that read error, for its report
  std::size_t buffer_size = 0;  // capacity of `block`
  bool source_done = false;     // fread met the end or an error: it is never called again
  // `buffer` is either the stream's own block or a window of STREAM_BLOCK
  // bytes of a regular file, mapped in spans of a few windows, which needs
  // no copy by read(). One span is mapped at a time, so the process holds
  // no more of the file than that, however long the file is.
  unsigned char* block = nullptr;
  bool mapped = false;                     // the file is read in mapped windows
  std::size_t mapping_size = 0;            // the file's bytes from mapping_start, when opened
  std::size_t mapping_used = 0;            // of those, bytes given out so far
  int64_t mapping_start = 0;               // a page boundary at or before the first byte read
  void* window = nullptr;                  // the mapped span of windows, or null
  std::size_t window_from = 0;             // where it begins, from mapping_start
  std::size_t window_length = 0;           // its bytes, for munmap
  uint32_t block_moves = 0;     // counts refills and moves of the block's bytes
  // Units decoded ahead for the record reader; a unit block ends at the
  // first 0xFFFF, so end_of_file still tells that unit's meaning.
  Unit* units = nullptr;
  std::size_t units_pos = 0;
  std::size_t units_end = 0;
  // The record reader's bit masks of one 64-byte piece of the block, kept
  // from one record to the next: valid while block_moves is still
  // classified_moves (start_file forgets them).
  std::size_t classified_block = SIZE_MAX;
  uint64_t classified_stops = 0;
  uint32_t classified_moves = 0;
  // The record reader has given out lines of a record whose end it has not
  // met yet (it returns a record in pieces when lines pass straight through).
  bool record_open = false;
};

struct OutputStream {
  std::FILE* file = nullptr;
  int32_t mode = STREAM_CLOSED;
  const char* name = nullptr;
  int32_t record_in_file = 0;
  uint32_t pending = 0;  // held high surrogate of the writers
  unsigned char* buffer = nullptr;
  std::size_t buffer_used = 0;
  std::size_t buffer_size = 0;
  bool write_failed = false;  // reported (fatal); later blocks are dropped
};

extern InputStream input;  // the process-wide streams
extern OutputStream output;

void input_open(InputStream& in, int32_t mode);
// 1 when there is no more input, 0 when the next file is open.
int input_next_file(InputStream& in);
void output_open(OutputStream& out);
void output_close(OutputStream& out);
// Ends standard output written through the C library (--version, --help);
// a failed flush or close is fatal as for the record output.
void standard_output_close();

// Tests and fuzzers: input over an already open file (read to its end, then
// the input is finished), output into an already open file. The files are
// closed by input_next_file / output_close as usual.
void input_open_file(InputStream& in, std::FILE* file, const char* name);
void output_open_file(OutputStream& out, std::FILE* file);
// Frees the blocks of a stream that is no longer used (tests and fuzzers).
void input_release(InputStream& in);

// Refills the empty byte block; false at the end of the file (end_of_file
// is then set; read_failed too when the end was a read error).
bool input_fill(InputStream& in);
// Makes at least `count` (<= STREAM_BLOCK) bytes contiguous at buffer_pos
// unless the file ends first; returns the bytes available there.
std::size_t input_ensure(InputStream& in, std::size_t count);
// Writes the block out; a failure is reported as fatal (write_failed is set
// first, so the flush at exit drops the bytes quietly).
void output_flush(OutputStream& out);

// Next byte of the input, or -1 at the end of the file.
inline int input_byte(InputStream& in) {
  if (in.buffer_pos == in.buffer_end && !input_fill(in)) return -1;
  return in.buffer[in.buffer_pos++];
}

// Room for `count` (<= STREAM_BLOCK) more bytes at buffer + buffer_used.
inline unsigned char* output_room(OutputStream& out, std::size_t count) {
  if (out.buffer_size - out.buffer_used < count) output_flush(out);
  return out.buffer + out.buffer_used;
}

// Appends bytes already in the output code, a block at a time.
inline void output_bytes(OutputStream& out, const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    if (out.buffer_used == out.buffer_size) output_flush(out);
    std::size_t room = out.buffer_size - out.buffer_used;
    std::size_t taken = std::min(count, room);
    std::memcpy(out.buffer + out.buffer_used, bytes, taken);
    out.buffer_used += taken;
    bytes += taken;
    count -= taken;
  }
}

// As output_bytes; a long run is written from where it lies, after what the
// block holds, instead of being copied into the block.
void output_passed(OutputStream& out, const unsigned char* bytes, std::size_t count);

inline void output_byte(OutputStream& out, unsigned char byte) {
  *output_room(out, 1) = byte;
  ++out.buffer_used;
}
