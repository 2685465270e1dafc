#include "archive_error.hpp"

#include <cstring>

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
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling `buffer`.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  throw ArchiveError(error_number, path, text);
}

}  // namespace vexlo::archive
