#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive_error.hpp"
#include "block_deflate.hpp"

namespace vexlo::archive {

// The settings the archive writer uses unless told otherwise, measured per
// compressor: the fastest whose archives stay no larger than zlib level 9's
// (bench/bench_deflate_settings.py, bench/bench_writer.py). With libdeflate,
// the effort follows the data (EffortRule) in 1 MiB blocks. As a fixed
// level, 8 is the lowest below zlib 9 on the bench corpora (512 KiB blocks
// leave almost no margin), but not on every kind of data: one-hot labels,
// booleans, small integers in int32/int64 and masks come out 4-14% larger, so
// the adaptive rule decides per block.
#if VEXLO_DEFLATE_LIBDEFLATE
inline constexpr int kDefaultLevel = kAdaptiveLevel;
inline constexpr std::size_t kDefaultBlockSize = 1024 * 1024;
#else
inline constexpr int kDefaultLevel = 9;
inline constexpr std::size_t kDefaultBlockSize = 128 * 1024;
#endif

// One entry to store. `path` is required (its absence is an error at the
// point where the entry is reached); without `arcname` the member is named
// after `path` with its leading '/' removed.
struct Source {
  std::optional<std::string> path;
  std::optional<std::string> arcname;
};

struct Options {
  unsigned threads = 0;       // 0: every CPU the process may run on
  int level = kDefaultLevel;  // a fixed level, or kAdaptiveLevel
  std::size_t block_size = kDefaultBlockSize;
  // false: stop after the sources without the tar end-of-archive blocks,
  // for a caller that failed to gather the remaining sources and reports
  // that failure itself.
  bool end_of_archive = true;
  // Set by another thread to end the writing early. It is looked at before
  // each member and each block of file data; the archive is then left as it
  // is (not a finished gzip stream) and ArchiveError with ECANCELED thrown.
  const std::atomic<bool>* cancel = nullptr;
  // Where the bytes of source data read so far are added up as they are read
  // (every regular file's content; headers and padding not counted), for a
  // progress report that follows the work rather than the compressed size.
  std::atomic<std::uint64_t>* content_read = nullptr;
};

// Writes each source in order (a directory recursively) as one pax tar
// archive in one gzip stream at `archive_path`, created or truncated in place
// and growing as it is written. On failure after the file was opened the gzip
// stream is still finished, holding the members written so far and no
// end-of-archive blocks, and the ArchiveError is thrown; after a cancellation
// the stream is left unfinished, for the caller to remove. A write that would
// leave less than the file system's reserve free (DiskReserve) fails with
// ENOSPC before it is made.
void write_archive(const std::string& archive_path, const std::vector<Source>& sources,
                   const Options& options = {});

}  // namespace vexlo::archive
