// test_streams.h — streams over memory for the tests and fuzzers: input read
// from a byte string, output collected into a byte string; and a temporary
// folder of files to give as operands. Not linked into the program; POSIX
// fmemopen/open_memstream/mkdtemp stand in for the real thing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/settings.h"
#include "io/stream.h"

// A temporary folder whose files become the operands; removed afterwards.
class TempFiles {
 public:
  TempFiles() {
    std::string pattern = std::filesystem::temp_directory_path() / "kunpack-io-XXXXXX";
    directory_ = mkdtemp(pattern.data());
  }
  ~TempFiles() { std::filesystem::remove_all(directory_); }
  std::string write(const std::string& name, const std::string& bytes) {
    std::string path = directory_ + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return path;
  }
  std::string path(const std::string& name) const { return directory_ + "/" + name; }
  const std::string& directory() const { return directory_; }
  // Makes `paths` the operands (kept alive by the caller).
  void set_operands(std::vector<std::string>& paths) {
    pointers_.clear();
    for (std::string& path : paths) pointers_.push_back(path.data());
    operands = pointers_.data();
    operand_count = static_cast<int32_t>(pointers_.size());
  }

 private:
  std::string directory_;
  std::vector<char*> pointers_;
};

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
