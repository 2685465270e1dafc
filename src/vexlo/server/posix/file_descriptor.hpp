// POSIX descriptors: closed when their owner goes, written in full.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace vexlo::posix {

// An open file descriptor, closed when its scope is left.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Closes the descriptor held (if any) and takes `fd` instead.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }
  // Hands the descriptor over, e.g. to close it where its error matters.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Writes all `n` bytes, retrying short writes and EINTR. Returns 0, or the
// errno of the write that failed.
inline int write_all(int fd, const void* data, std::size_t n) noexcept {
  auto* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    const ssize_t done = ::write(fd, p, n);
    if (done < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    p += done;
    n -= static_cast<std::size_t>(done);
  }
  return 0;
}

}  // namespace vexlo::posix
