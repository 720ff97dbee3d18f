// test_streams.h — for the tests and fuzzers: a temporary folder whose files
// become the operands, and streams over a byte string (fmemopen, open_memstream).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/settings.h"
#include "io/stream.h"

class TempFiles {  // the folder and its files are removed afterwards
  std::string directory_ = std::filesystem::temp_directory_path() / "kunpack-io-XXXXXX";
  std::vector<char*> pointers_;

 public:
  TempFiles() { mkdtemp(directory_.data()); }
  ~TempFiles() { std::filesystem::remove_all(directory_); }
  std::string write(const std::string& name, const std::string& bytes) {
    std::ofstream(path(name), std::ios::binary) << bytes;
    return path(name);
  }
  std::string path(const std::string& name) const { return directory_ + "/" + name; }
  const std::string& directory() const { return directory_; }
  void set_operands(std::vector<std::string>& paths) {  // kept alive by the caller
    pointers_.clear();
    for (std::string& path : paths) pointers_.push_back(path.data());
    operands = pointers_.data();
    operand_count = static_cast<int32_t>(pointers_.size());
  }
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

struct MemoryOutput {  // bytes(): everything written so far
  char* data = nullptr;
  std::size_t size = 0;
  OutputStream out;
  MemoryOutput() { output_open_file(out, open_memstream(&data, &size)); }
  MemoryOutput(const MemoryOutput&) = delete;
  ~MemoryOutput() { output_close(out), std::free(data); }
  std::string bytes() { return output_flush(out), std::fflush(out.file), std::string(data, size); }
};
