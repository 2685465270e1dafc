#include "disk_reserve.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdio>

namespace vexlo::archive {

namespace {

// "12.8 MiB (13421772 bytes)": readable, and exact for whoever checks it.
std::string amount(std::uint64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f MiB (%llu bytes)", static_cast<double>(bytes) / (1 << 20),
                static_cast<unsigned long long>(bytes));
  return text;
}

std::string directory_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

DiskReserve::DiskReserve(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
  struct stat st;
  watched_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::string> DiskReserve::refuse(std::uint64_t n) const {
  struct statvfs fs;
  // A file system that reports no size (or cannot be asked) has nothing to
  // keep; the write then fails on its own if space runs out.
  if (!watched_ || ::fstatvfs(fd_, &fs) != 0 || fs.f_blocks == 0) {
    return std::nullopt;
  }
  const std::uint64_t unit = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
  const std::uint64_t size = static_cast<std::uint64_t>(fs.f_blocks) * unit;
  // f_bavail, not f_bfree: what an unprivileged writer (the notebook's
  // autosave) can still use.
  const std::uint64_t free = static_cast<std::uint64_t>(fs.f_bavail) * unit;
  const std::uint64_t reserve = std::min(kMaxReserve, size / kShareDivisor);
  // A write may take one allocation unit more than its length (the file's
  // last, partly filled unit).
  if (free >= reserve && free - reserve >= n + unit) {
    return std::nullopt;
  }
  return "Not enough disk space for the archive in " + directory_of(path_) + ": " + amount(free) +
         " free, and " + amount(reserve) +
         " must stay free on that file system for other files (the smaller of 1 GiB and 5% of it)";
}

}  // namespace vexlo::archive
