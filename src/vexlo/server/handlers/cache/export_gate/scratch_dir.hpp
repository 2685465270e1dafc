// File-system pieces of one export: its scratch directory and the files in it.
// Failures surface as Python OSErrors carrying errno and the path, so the
// export's failure reply reads like any other OS error.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>

namespace vexlo::export_gate {

[[noreturn]] void raise_os_error(int error_number, const std::string& path);

// A fresh directory `parent`/`prefix`XXXXXX, removed with all it holds when the
// scope that owns it is left, normally or by an error.
class ScratchDir {
 public:
  ScratchDir(const std::string& parent, const std::string& prefix);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string join(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_text_file(const std::string& path, const std::string& text);

std::uintmax_t file_size(const std::string& path);

// The size of the file at `path`, or nothing while it does not exist yet.
std::optional<std::uintmax_t> file_size_if_exists(const std::string& path);

// A file opened for reading, closed when the scope is left.
class FileReader {
 public:
  explicit FileReader(const std::string& path);
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // The next up-to-`size` bytes, read with the GIL released; empty at the end.
  pybind11::bytes read_chunk(std::size_t size);

 private:
  std::string path_;
  int fd_;
};

}  // namespace vexlo::export_gate
