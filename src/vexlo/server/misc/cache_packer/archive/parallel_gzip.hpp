#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "block_deflate.hpp"
#include "coder_pool.hpp"
#include "deflate_format.hpp"
#include "disk_reserve.hpp"

namespace vexlo::archive {

// One gzip stream compressed in parallel, the way pigz does it: the input is
// cut into fixed-size blocks, each compressed on a worker by a BlockDeflate
// into raw deflate that continues the blocks before it, so the concatenated
// blocks form one gzip member holding a single deflate stream. Blocks are
// written to the file in order as soon as they and their predecessors are
// done, so the file grows while the input is fed; a fixed number of block
// slots bounds memory whatever the input size.
//
// The producer writes straight into block memory through reserve()/commit(),
// which saves a copy of every byte read from a source file.
//
// Every write first asks DiskReserve whether it leaves the file system's
// reserve free; one that would not fails the stream with ENOSPC and a message
// saying so, and nothing more is written. The workers run at a lower CPU
// priority (kWorkerNice) than the thread that made the stream.
//
// No exception leaves a worker: a block whose compressor cannot allocate
// fails the stream with ENOMEM, any other failure with a message, and the
// producer throws it as ArchiveError. Once made, the stream's bookkeeping
// allocates nothing, so a failing block still takes its turn and the stream
// ends.
class ParallelGzip {
 public:
  // Smaller blocks are raised to this: a block holds a whole window of
  // history for the next one.
  static constexpr std::size_t kMinBlock = kWindow;
  // What a stream may hold: its block slots, each worker's own coders and
  // the pool of the large ones (BlockDeflate::memory). With more CPUs than
  // that affords, fewer workers are started, so the writer's memory stays
  // bounded on a large shared machine too: 4 workers at the default setting.
  // `bench/bench_writer.py --threads 16` (or 32) prints the peak RSS growth
  // of packing each corpus so.
  static constexpr std::size_t kMemoryBudget = 56 * 1024 * 1024;
  // Added to each worker's nice value, so that the server's loop and the
  // user's kernels get the CPU first. bench/bench_export.py, on 2 CPUs: a
  // CPU-bound neighbour beside exports ran at 0.62 of its speed alone with the
  // workers at nice 0, at 0.99 with them at 10 (on an idle machine nice
  // changes nothing).
  static constexpr int kWorkerNice = 10;

  // `fd` stays owned by the caller; `path` names it in errors. `threads` 0
  // starts a worker per usable CPU; kMemoryBudget may start fewer.
  ParallelGzip(int fd, std::string path, unsigned threads, BlockCoding coding, std::size_t block_size);
  ~ParallelGzip();
  ParallelGzip(const ParallelGzip&) = delete;
  ParallelGzip& operator=(const ParallelGzip&) = delete;

  // Free space in the current block (never empty). Valid until commit().
  // Feeding the stream after finish() throws std::logic_error.
  char* reserve(std::size_t& available);
  void commit(std::size_t n);
  void write(const void* data, std::size_t n);
  void write_zeros(std::size_t n);

  // Compresses what is left, ends the deflate stream and writes the gzip
  // trailer. Throws ArchiveError if any block could not be written. Once
  // called, later calls do nothing.
  void finish();

  std::uint64_t bytes_in() const noexcept { return total_in_; }

  // Blocks compressed by `method`; complete once finish() has returned.
  std::uint64_t blocks(BlockMethod method) const noexcept { return blocks_[static_cast<int>(method)]; }
  // Blocks for which the adaptive rule's `row` fired (BlockDeflate::row_name).
  std::uint64_t row_blocks(int row) const noexcept { return rows_[row]; }

 private:
  struct Slot;
  void dispatch(bool last);
  Slot* acquire_slot();
  enum class Outcome { done, failed, out_of_memory };
  void worker_loop() noexcept;
  Outcome compress(Slot& slot, BlockDeflate& compressor) noexcept;
  bool failed() const noexcept { return write_errno_ != 0 || out_of_memory_ || deflate_failed_; }
  void check_open() const;
  void write_ready(std::unique_lock<std::mutex>& lock);
  void write_all(const unsigned char* data, std::size_t n) noexcept;
  void stop_workers() noexcept;
  void check_failure();

  int fd_;
  std::string path_;
  DiskReserve reserve_;  // asked before each write
  BlockCoding coding_;
  std::size_t block_size_;
  std::uint64_t total_in_ = 0;

  std::unique_ptr<CoderPool> pool_;  // the large coders, lent to the workers
  std::vector<std::unique_ptr<Slot>> slots_;
  Slot* current_ = nullptr;     // block being filled by the producer
  std::uint64_t next_seq_ = 0;  // sequence number of `current_`

  std::mutex mutex_;
  std::condition_variable work_ready_;  // workers wait for queued blocks
  std::condition_variable slot_free_;   // producer waits for a free slot
  // Each holds at most every slot and has room for them all from the start.
  std::vector<Slot*> queue_;      // blocks waiting for a worker, oldest first
  std::vector<Slot*> free_;       // slots available to the producer
  std::vector<Slot*> done_;       // compressed, waiting for their turn
  std::uint64_t next_write_ = 0;  // sequence number to write next
  bool writing_ = false;          // a thread is writing to the file
  bool shutdown_ = false;
  int write_errno_ = 0;         // first failure, reported by the producer
  std::string write_reason_;    // its message when not the errno's own text
  bool out_of_memory_ = false;  // a worker could not allocate
  bool deflate_failed_ = false;
  std::uint32_t crc_ = 0;
  bool finished_ = false;
  std::uint64_t blocks_[kBlockMethods] = {};  // by BlockMethod, added by each worker as it stops
  std::vector<std::uint64_t> rows_ = std::vector<std::uint64_t>(BlockDeflate::rows());  // likewise by row

  std::vector<std::thread> workers_;
};

}  // namespace vexlo::archive
