// stream.cc — opening the operands one after another, block reads and block
// writes. Each stream reads or writes through its own block of STREAM_BLOCK
// bytes, with the C library's buffering switched off so no byte is copied twice;
// a regular input file is mapped instead and read a window at a time.
#include "io/stream.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "driver/messages.h"
#include "driver/settings.h"

InputStream input;
OutputStream output;

namespace {

// fclose(stdin) cannot be undone: a second "-" then reads as an empty file.
bool stdin_closed = false;

void* allocate_block(std::size_t bytes, const char* what) {
  void* block = std::calloc(bytes, 1);
  if (block == nullptr) message(MSG_FATAL, "can't allocate storage for %s.\n", what);
  return block;
}

void allocate_input_blocks(InputStream& in) {
  if (in.block == nullptr) {
    in.block = static_cast<unsigned char*>(allocate_block(STREAM_BLOCK + STREAM_PADDING, "input"));
    in.buffer = in.block;
    in.buffer_size = STREAM_BLOCK;
  }
  if (in.units == nullptr) {
    in.units = static_cast<Unit*>(allocate_block(UNIT_BLOCK * sizeof(Unit), "input"));
  }
}

// A file that shrinks while it is mapped makes the next look at its lost
// pages raise SIGBUS. The windows are handed out only while the file still
// holds them (see next_window), so this is the rare case of a file cut
// while a window is read: it ends the run with a message, never silently.
// Only async-signal-safe calls here: the output block's bytes go out with
// write() first, as a fatal exit writes them, since the records before the
// failing one are complete.
extern "C" void report_lost_mapping(int) {
  static const char text[] = "Kunpack: read error in K-file: the file shrank while it was read.\n";
  if (output.file != nullptr && output.buffer != nullptr && output.buffer_used != 0 &&
      ::write(fileno(output.file), output.buffer, output.buffer_used) < 0) {
  }
  if (::write(STDERR_FILENO, text, sizeof text - 1) < 0) {
  }
  _exit(3);
}

void unmap_window(InputStream& in) {
  if (in.window != nullptr) munmap(in.window, in.window_length);
  in.window = nullptr;
  in.window_length = 0;
}

void unmap_file(InputStream& in) {
  unmap_window(in);
  in.mapped = false;
  in.mapping_size = 0;
  in.mapping_used = 0;
  in.buffer = in.block;
}

// Reads a regular file from its current offset (standard input may be one,
// partly read by others before us) in mapped windows, without a copy.
// Anything else is read with fread. The offset follows the bytes given
// out, as reads would move it (a shared standard input goes on from there
// when the run ends early).
void map_file(InputStream& in, std::FILE* file) {
  static bool handler_installed = false;
  int fd = fileno(file);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return;
  off_t offset = lseek(fd, 0, SEEK_CUR);
  if (offset < 0 || status.st_size <= offset) return;
  off_t page = static_cast<off_t>(sysconf(_SC_PAGESIZE));
  off_t start = offset - offset % page;
  if (!handler_installed) {
    std::signal(SIGBUS, report_lost_mapping);
    handler_installed = true;
  }
  in.mapped = true;
  in.mapping_start = start;
  in.mapping_size = static_cast<std::size_t>(status.st_size - start);
  in.mapping_used = static_cast<std::size_t>(offset - start);
}

// A new file starts with an empty block and nothing decoded ahead.
void start_file(InputStream& in, std::FILE* file) {
  unmap_file(in);
  if (file != nullptr) map_file(in, file);
  in.file = file;
  in.buffer_pos = 0;
  in.buffer_end = 0;
  in.end_of_file = false;
  in.read_failed = false;
  in.source_done = file == nullptr;
  in.units_pos = 0;
  in.units_end = 0;
  in.classified_block = SIZE_MAX;
  in.record_open = false;
}

// Our own block does the buffering; the library's would copy every byte once
// more. Text and binary mode are the same on this platform, so the UTF-16/32
// codes need no switch of the stream.
std::FILE* unbuffered(std::FILE* file) {
  if (file != nullptr) std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

// Consumes the next operand and opens it; "-" is standard input.
void open_operand(InputStream& in) {
  const char* operand = *operands;
  ++operands;
  --operand_count;
  if (std::strcmp(operand, "-") == 0) {
    in.name = nullptr;
    start_file(in, stdin_closed ? nullptr : unbuffered(stdin));
    return;
  }
  std::FILE* file = std::fopen(operand, "r");
  if (file == nullptr) message(MSG_FATAL, "can't open %s.\n", operand);
  in.name = operand;
  start_file(in, unbuffered(file));
}

void close_file(InputStream& in) {
  unmap_file(in);
  if (in.file != nullptr) {
    if (in.file == stdin) stdin_closed = true;
    std::fclose(in.file);
  }
  in.file = nullptr;
}

// Reads into the free end of the block; a short count means the end of the
// file or a read error, after which fread is never called again.
std::size_t read_more(InputStream& in) {
  if (in.source_done) return 0;
  std::size_t wanted = in.buffer_size - in.buffer_end;
  if (in.mapped) {
    // Bytes of the file after the windows given out (the windows go on
    // from there); the block is the buffer here. A page at a time: a
    // character cut by a window's end needs a few bytes, and every page of
    // the block touched would stay in the process's memory.
    constexpr std::size_t kPiece = 4096;
    wanted = std::min(wanted, kPiece);
    std::size_t got = in.mapping_size - in.mapping_used;
    if (got < wanted) in.source_done = true;
    got = std::min(got, wanted);
    ssize_t read_now = pread(fileno(in.file), in.block + in.buffer_end, got,
                             in.mapping_start + static_cast<off_t>(in.mapping_used));
    if (read_now < static_cast<ssize_t>(got)) {  // an error, or the file shrank
      in.source_done = true;
      in.read_failed = true;
      in.read_error = read_now < 0 ? errno : EIO;
      got = read_now < 0 ? 0 : static_cast<std::size_t>(read_now);
    }
    in.mapping_used += got;
    in.buffer_end += got;
    lseek(fileno(in.file), in.mapping_start + static_cast<off_t>(in.mapping_used), SEEK_SET);
    return got;
  }
  std::size_t got = std::fread(in.buffer + in.buffer_end, 1, wanted, in.file);
  if (got < wanted) {
    in.source_done = true;
    if (std::ferror(in.file)) {
      in.read_failed = true;
      in.read_error = errno;
    }
  }
  in.buffer_end += got;
  return got;
}

// Set while exit() runs its handlers: a second exit() from there would be
// undefined, and the status is 3 already.
bool exiting = false;

// The one report of lost output. The run ends at once with status 3, so no
// further input is read and later writes never repeat the message.
void report_write_error(int error) {
  message(exiting ? MSG_ERROR : MSG_FATAL, "write error on standard output: %s\n",
          std::strerror(error));
}

// A fatal message leaves through exit(): what the record loop has written so
// far must still reach standard output.
void flush_output_at_exit() {
  exiting = true;
  if (output.mode == STREAM_OUTPUT) output_flush(output);
}

}  // namespace

void input_open(InputStream& in, int32_t mode) {
  allocate_input_blocks(in);
  in.pending = 0;
  in.record_in_file = 0;
  in.name = nullptr;
  in.file = nullptr;
  in.mode = mode;
  if (operand_count <= 0) {
    in.mode = STREAM_STDIN;
    start_file(in, stdin_closed ? nullptr : unbuffered(stdin));
    return;
  }
  open_operand(in);
}

int input_next_file(InputStream& in) {
  if (in.mode == STREAM_CLOSED) return 1;
  --in.record_in_file;  // the attempt that found the file exhausted
  close_file(in);
  if (in.mode == STREAM_STDIN || operand_count <= 0) {
    in.mode = STREAM_CLOSED;
    return 1;
  }
  open_operand(in);
  in.record_in_file = 0;
  return 0;
}

void input_open_file(InputStream& in, std::FILE* file, const char* name) {
  allocate_input_blocks(in);
  in.pending = 0;
  in.record_in_file = 0;
  in.name = name;
  in.mode = STREAM_STDIN;  // one file, then the input is finished
  start_file(in, file);
}

void input_release(InputStream& in) {
  unmap_file(in);
  std::free(in.block);
  in.block = nullptr;
  std::free(in.units);
  in.buffer = nullptr;
  in.units = nullptr;
  in.buffer_size = 0;
}

// Bytes of a mapped span: eight windows and a page for the padding. The
// kernel maps a span's pages as they are first read, a few at each fault
// and never past the span: at four windows, pass-through spent a quarter
// of its time in those faults. Mapped pages count as the process's memory,
// so the span stays small.
constexpr std::size_t MAPPED_SPAN = 8 * STREAM_BLOCK + 4096;

// The next window of the mapping when the file still holds it and
// STREAM_PADDING bytes after it (so the padding is readable where it
// stands); the last bytes are copied into the block instead.

bool next_window(InputStream& in) {
  if (in.source_done || !in.mapped || in.mapping_size - in.mapping_used <= STREAM_PADDING) {
    return false;
  }
  std::size_t window = in.mapping_size - in.mapping_used - STREAM_PADDING;
  window = std::min(window, STREAM_BLOCK);
  struct stat status;
  if (fstat(fileno(in.file), &status) != 0 ||
      static_cast<std::size_t>(status.st_size) < in.mapping_size) {
    in.source_done = true;
    in.read_failed = true;
    in.read_error = EIO;
    return false;
  }
  // Windows are handed out from a mapped span of a few of them; a span
  // that no longer holds the next window is done with (the caller asks for
  // it only when it has taken every byte of the one before), and its pages
  // leave the process. A span, not the whole file, is mapped so that the
  // kernel cannot map pages far ahead of the reading.
  std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  if (in.window == nullptr || in.mapping_used < in.window_from ||
      in.mapping_used + window + STREAM_PADDING > in.window_from + in.window_length) {
    unmap_window(in);
    std::size_t from = in.mapping_used - in.mapping_used % page;  // spans begin on a page
    std::size_t length = in.mapping_size - from;
    length = std::min(length, MAPPED_SPAN);
    void* mapped = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fileno(in.file),
                        in.mapping_start + static_cast<off_t>(from));
    if (mapped == MAP_FAILED) {  // the rest is read instead
      in.mapped = false;
      lseek(fileno(in.file), in.mapping_start + static_cast<off_t>(in.mapping_used), SEEK_SET);
      return false;
    }
    in.window = mapped;
    in.window_from = from;
    in.window_length = length;
  }
  in.buffer = static_cast<unsigned char*>(in.window) + (in.mapping_used - in.window_from);
  in.buffer_end = window;
  in.mapping_used += window;
  lseek(fileno(in.file), in.mapping_start + static_cast<off_t>(in.mapping_used), SEEK_SET);
  return true;
}

bool input_fill(InputStream& in) {
  ++in.block_moves;
  in.buffer_pos = 0;
  in.buffer_end = 0;
  if (next_window(in)) return true;
  in.buffer = in.block;
  if (read_more(in) > 0) return true;
  in.end_of_file = true;
  return false;
}

std::size_t input_ensure(InputStream& in, std::size_t count) {
  std::size_t available = in.buffer_end - in.buffer_pos;
  if (available >= count) return available;
  if (available == 0) return input_fill(in) ? input_ensure(in, count) : 0;
  if (in.source_done) return available;
  ++in.block_moves;
  std::memmove(in.block, in.buffer + in.buffer_pos, available);
  in.buffer = in.block;
  in.buffer_pos = 0;
  in.buffer_end = available;
  while (in.buffer_end < count && read_more(in) > 0) {
  }
  return in.buffer_end;
}

void output_open(OutputStream& out) {
  // As for input, the block is the buffer. Binary mode needs no switch here.
  output_open_file(out, stdout);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void output_open_file(OutputStream& out, std::FILE* file) {
  static bool flush_registered = false;
  if (!flush_registered) {
    std::atexit(flush_output_at_exit);
    flush_registered = true;
  }
  if (out.buffer == nullptr) {
    out.buffer = static_cast<unsigned char*>(allocate_block(STREAM_BLOCK, "output"));
    out.buffer_size = STREAM_BLOCK;
  }
  out.file = file;
  out.mode = STREAM_OUTPUT;
  out.name = nullptr;
  out.record_in_file = 0;
  out.pending = 0;
  out.buffer_used = 0;
  out.write_failed = false;
}

void output_close(OutputStream& out) {
  output_flush(out);
  std::FILE* file = out.file;
  out.file = nullptr;
  // Only a closed standard output that was never written to fails with EBADF:
  // nothing is lost then. Other failures of close (a full disk over the
  // network, a quota) lose what the system held back.
  if (file != nullptr && std::fclose(file) != 0 && errno != EBADF && !out.write_failed) {
    out.write_failed = true;
    report_write_error(errno);
  }
  out.mode = STREAM_CLOSED;
  std::free(out.buffer);
  out.buffer = nullptr;
  out.buffer_size = 0;
  out.buffer_used = 0;
}

void output_flush(OutputStream& out) {
  std::size_t used = out.buffer_used;
  out.buffer_used = 0;
  if (used == 0 || out.write_failed) return;
  if (std::fwrite(out.buffer, 1, used, out.file) != used) {
    out.write_failed = true;  // before the report: exit() flushes once more
    report_write_error(errno);
  }
}

void output_passed(OutputStream& out, const unsigned char* bytes, std::size_t count) {
  if (count < STREAM_BLOCK / 8) {
    output_bytes(out, bytes, count);
    return;
  }
  output_flush(out);
  if (out.write_failed) return;
  if (std::fwrite(bytes, 1, count, out.file) != count) {
    out.write_failed = true;
    report_write_error(errno);
  }
}

void standard_output_close() {
  int error = 0;
  if (std::fflush(stdout) != 0) {
    error = errno;
  } else if (std::ferror(stdout)) {
    error = EIO;  // an earlier write failed and its reason is gone
  } else if (std::fclose(stdout) != 0 && errno != EBADF) {
    error = errno;
  }
  if (error != 0) report_write_error(error);
}
