// Reading, writing and sizing the files of an export. Failures surface as
// Python OSErrors carrying errno and the path, so the export's failure reply
// reads like any other OS error.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vexlo/server/posix/file_descriptor.hpp"

namespace vexlo::export_gate {

// Creates or truncates `path` and writes into it the JSON object whose
// members are `members` (name and value, as JSON text), with the GIL released; returns
// its size in bytes. Like the archive, it must leave the file system's
// reserve free (archive/disk_reserve.hpp): otherwise nothing is written and
// the ENOSPC error says so, naming the directory that holds `scratch_dir`.
std::uintmax_t write_json_object(const std::string& path,
                                 const std::vector<std::pair<std::string, std::string>>& members,
                                 const std::string& scratch_dir);

std::uintmax_t file_size(const std::string& path);

// The size of the file at `path`, or nothing while it does not exist yet.
std::optional<std::uintmax_t> file_size_if_exists(const std::string& path);

// A file opened for reading, closed when the reader goes.
class FileReader {
 public:
  explicit FileReader(const std::string& path);

  // The next up-to-`size` bytes, read with the GIL released; empty at the end.
  pybind11::bytes read_chunk(std::size_t size);

 private:
  std::string path_;
  posix::FileDescriptor fd_;
};

}  // namespace vexlo::export_gate
