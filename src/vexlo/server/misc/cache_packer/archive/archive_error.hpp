#pragma once

#include <stdexcept>
#include <string>

namespace vexlo::archive {

// A failure of the archive engine. `error_number` is the OS error (0 when the
// failure is not an OS error, e.g. a file that shrank while it was read) and
// `path` the file it concerns, so the caller can report both.
class ArchiveError : public std::runtime_error {
 public:
  ArchiveError(int error_number, std::string path, const std::string& reason);

  int error_number() const noexcept { return errno_; }
  const std::string& path() const noexcept { return path_; }
  // The reason alone, without the path (strerror text for OS errors).
  const std::string& reason() const noexcept { return reason_; }

 private:
  int errno_;
  std::string path_;
  std::string reason_;
};

// Builds the error for a failed system call from errno.
[[noreturn]] void throw_os_error(int error_number, const std::string& path);

}  // namespace vexlo::archive
