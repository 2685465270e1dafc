#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vexlo::archive {

// The free space an archive leaves on its file system. A full disk fails
// every other writer there too (the notebook's autosave, checkpoints, the
// kernels' files), so the archive stops short of the smaller of kMaxReserve
// and 1/kShareDivisor of the file system, and says why.
//
// Worked example: a 256 MiB tmpfs keeps 256 MiB / 20 = 12.8 MiB free; a
// 100 GiB disk keeps 1 GiB. With 20 MiB free on the tmpfs, a 4 MiB write
// passes (16 MiB stays free) and an 8 MiB write fails (12 MiB would).
class DiskReserve {
 public:
  static constexpr std::uint64_t kMaxReserve = std::uint64_t{1} << 30;
  static constexpr std::uint64_t kShareDivisor = 20;  // 5%

  // Space on the file system of `fd`; `path` names it in the error. Only
  // regular files are watched: a pipe or a device has no space to keep.
  DiskReserve(int fd, std::string path);

  // Nothing when `n` more bytes leave the reserve free (or the file is not
  // watched); otherwise the message of the failure, naming the archive's
  // directory, the free space and the reserve. Asks the file system each
  // time, since other writers share it.
  std::optional<std::string> refuse(std::uint64_t n) const;

 private:
  int fd_;
  std::string path_;
  bool watched_ = false;
};

}  // namespace vexlo::archive
