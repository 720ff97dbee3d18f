// test_streams.h — streams over memory for the tests and fuzzers: input read
// from a byte string, output collected into a byte string. Not linked into
// the program; POSIX fmemopen/open_memstream stand in for files.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "io/stream.h"

struct MemoryInput {
  std::string bytes;
  InputStream in;
  explicit MemoryInput(std::string text, const char* name = nullptr) : bytes(std::move(text)) {
    input_open_file(in, fmemopen(bytes.data(), bytes.size(), "r"), name);
  }
  MemoryInput(const MemoryInput&) = delete;
  ~MemoryInput() {
    if (in.file != nullptr) std::fclose(in.file);
    input_release(in);
  }
};

struct MemoryOutput {
  char* data = nullptr;
  std::size_t size = 0;
  OutputStream out;
  MemoryOutput() { output_open_file(out, open_memstream(&data, &size)); }
  MemoryOutput(const MemoryOutput&) = delete;
  ~MemoryOutput() {
    output_close(out);
    std::free(data);
  }
  // Everything written so far.
  std::string bytes() {
    output_flush(out);
    std::fflush(out.file);
    return std::string(data, size);
  }
};
