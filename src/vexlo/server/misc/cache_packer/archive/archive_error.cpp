#include "archive_error.hpp"

#include "vexlo/server/posix/error_text.hpp"

namespace vexlo::archive {

namespace {

std::string describe(int error_number, const std::string& path, const std::string& reason) {
  std::string text;
  if (error_number != 0) {
    text = "[Errno " + std::to_string(error_number) + "] ";
  }
  text += reason;
  if (!path.empty()) {
    text += ": '" + path + "'";
  }
  return text;
}

}  // namespace

ArchiveError::ArchiveError(int error_number, std::string path, const std::string& reason)
    : std::runtime_error(describe(error_number, path, reason)),
      errno_(error_number),
      path_(std::move(path)),
      reason_(reason) {}

void throw_os_error(int error_number, const std::string& path) {
  throw ArchiveError(error_number, path, posix::error_text(error_number));
}

}  // namespace vexlo::archive
