#include "parallel_gzip.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "archive_error.hpp"
#include "vexlo/server/posix/file_descriptor.hpp"

namespace vexlo::archive {

namespace {

// Number of CPUs this process may run on (its affinity mask), at least 1.
unsigned usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) {
      return static_cast<unsigned>(count);
    }
  }
  unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

// Lowers the calling thread's CPU priority by `nice` steps (up to 19). Linux
// keeps a nice value per thread; a failure only leaves the thread as it was.
void lower_thread_priority(int nice) {
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  errno = 0;
  const int now = ::getpriority(PRIO_PROCESS, tid);
  if (errno == 0) {
    ::setpriority(PRIO_PROCESS, tid, std::min(now + nice, 19));
  }
}

}  // namespace

struct ParallelGzip::Slot {
  std::unique_ptr<unsigned char[]> in;
  std::size_t in_len = 0;
  std::unique_ptr<unsigned char[]> dict;
  std::size_t dict_len = 0;
  std::unique_ptr<unsigned char[]> out;
  std::size_t out_len = 0;
  std::uint32_t crc = 0;
  std::uint64_t seq = 0;
  bool last = false;
};

namespace {

void put_le32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace

ParallelGzip::ParallelGzip(int fd, std::string path, unsigned threads, BlockCoding coding,
                           std::size_t block_size)
    : fd_(fd),
      path_(std::move(path)),
      reserve_(fd_, path_),
      coding_{BlockDeflate::checked_level(coding.level), coding.method},
      block_size_(std::max(block_size, kMinBlock)) {
  if (threads == 0) {
    threads = usable_cpus();
  }
  // Slots: one being filled, one per worker being compressed, and as many
  // again queued or waiting for their turn to be written, enough to keep
  // every worker busy; a slot is about two blocks. Each worker costs two
  // slots and its own coders, the stream two slots more and the pool of the
  // large coders. As many workers are started as the budget affords with
  // room in the pool for half of them to hold the largest coder at once, so
  // that data whose every block needs one (sequencing reads need the
  // near-optimal level) still keeps half the workers busy; the pool gets
  // what the workers leave.
  const std::size_t out_cap = BlockDeflate::output_bound(block_size_);
  const std::size_t slot_bytes = block_size_ + out_cap + kWindow;
  const BlockDeflate::Memory coders = BlockDeflate::memory(coding_, block_size_);
  const std::size_t per_worker = 2 * slot_bytes + coders.own;
  const std::size_t left = kMemoryBudget > 2 * slot_bytes ? kMemoryBudget - 2 * slot_bytes : 0;
  const std::size_t affordable = left / (per_worker + coders.largest_lent / 2);
  threads = static_cast<unsigned>(std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(affordable, 1)));
  const std::size_t workers_bytes = 2 * slot_bytes + threads * per_worker;
  pool_ =
      BlockDeflate::make_pool(block_size_, kMemoryBudget > workers_bytes ? kMemoryBudget - workers_bytes : 0);
  const std::size_t slot_count = 2 * static_cast<std::size_t>(threads) + 2;
  queue_.reserve(slot_count);
  free_.reserve(slot_count);
  done_.reserve(slot_count);
  for (std::size_t i = 0; i < slot_count; ++i) {
    auto slot = std::make_unique<Slot>();
    slot->in = std::make_unique<unsigned char[]>(block_size_);
    slot->dict = std::make_unique<unsigned char[]>(kWindow);
    slot->out = std::make_unique<unsigned char[]>(out_cap);
    free_.push_back(slot.get());
    slots_.push_back(std::move(slot));
  }
  current_ = free_.back();
  free_.pop_back();

  // gzip member header: no name, no time. XFL 2 (best compression) at the
  // default setting, which packs at least as tight as zlib's best; 4
  // (fastest) at level 1.
  const unsigned char xfl =
      coding_.level == kAdaptiveLevel || coding_.level >= 8 ? 2 : (coding_.level == 1 ? 4 : 0);
  const unsigned char header[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, xfl, 3};
  write_all(header, sizeof header);
  check_failure();

  try {
    workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
      workers_.emplace_back([this] { worker_loop(); });
    }
  } catch (const std::system_error& e) {
    stop_workers();
    throw ArchiveError(e.code().value(), path_,
                       std::string("Cannot start the archive's compressing threads: ") + e.what());
  } catch (...) {
    stop_workers();
    throw;
  }
}

ParallelGzip::~ParallelGzip() {
  stop_workers();
}

void ParallelGzip::stop_workers() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_ = true;
  }
  work_ready_.notify_all();
  for (auto& worker : workers_) {
    if (worker.joinable()) {
      worker.join();
    }
  }
  workers_.clear();
}

void ParallelGzip::check_open() const {
  if (finished_) {
    throw std::logic_error("gzip stream fed after finish(): '" + path_ + "'");
  }
}

char* ParallelGzip::reserve(std::size_t& available) {
  check_open();
  if (current_->in_len == block_size_) {
    dispatch(false);
  }
  available = block_size_ - current_->in_len;
  return reinterpret_cast<char*>(current_->in.get() + current_->in_len);
}

void ParallelGzip::commit(std::size_t n) {
  check_open();
  current_->in_len += n;
  total_in_ += n;
}

void ParallelGzip::write(const void* data, std::size_t n) {
  auto* p = static_cast<const char*>(data);
  while (n > 0) {
    std::size_t available;
    char* dst = reserve(available);
    std::size_t take = std::min(available, n);
    std::memcpy(dst, p, take);
    commit(take);
    p += take;
    n -= take;
  }
}

void ParallelGzip::write_zeros(std::size_t n) {
  while (n > 0) {
    std::size_t available;
    char* dst = reserve(available);
    std::size_t take = std::min(available, n);
    std::memset(dst, 0, take);
    commit(take);
    n -= take;
  }
}

void ParallelGzip::check_failure() {
  if (write_errno_ != 0) {
    if (!write_reason_.empty()) {
      throw ArchiveError(write_errno_, path_, write_reason_);
    }
    throw_os_error(write_errno_, path_);
  }
  if (out_of_memory_) {
    throw ArchiveError(ENOMEM, path_, "Cannot allocate memory for compressing the archive");
  }
  if (deflate_failed_) {
    throw ArchiveError(0, path_, "gzip compression failed");
  }
}

ParallelGzip::Slot* ParallelGzip::acquire_slot() {
  std::unique_lock<std::mutex> lock(mutex_);
  slot_free_.wait(lock, [this] { return !free_.empty() || failed(); });
  check_failure();
  Slot* slot = free_.back();
  free_.pop_back();
  return slot;
}

void ParallelGzip::dispatch(bool last) {
  Slot* next = nullptr;
  if (!last) {
    // Take the next slot before queueing this one, so this block cannot be
    // written and recycled while its tail is copied as the dictionary.
    next = acquire_slot();
    next->in_len = 0;
    next->dict_len = std::min(current_->in_len, kWindow);
    std::memcpy(next->dict.get(), current_->in.get() + current_->in_len - next->dict_len, next->dict_len);
  }
  current_->seq = next_seq_++;
  current_->last = last;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(current_);  // within its capacity: allocates nothing
  }
  work_ready_.notify_one();
  current_ = next;
}

// A worker that cannot set up its compressor still takes blocks, failing
// each, so that the producer sees the failure and every block its turn.
void ParallelGzip::worker_loop() noexcept {
  lower_thread_priority(kWorkerNice);
  std::unique_ptr<BlockDeflate> compressor;
  Outcome setup = Outcome::failed;
  try {
    compressor = std::make_unique<BlockDeflate>(coding_, pool_.get());
    setup = compressor->ready() ? Outcome::done : Outcome::failed;
  } catch (const std::bad_alloc&) {
    setup = Outcome::out_of_memory;
  } catch (...) {
  }
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_ready_.wait(lock, [this] { return shutdown_ || !queue_.empty(); });
    if (shutdown_) {
      break;
    }
    Slot* slot = queue_.front();
    queue_.erase(queue_.begin());
    lock.unlock();
    const Outcome outcome = setup == Outcome::done ? compress(*slot, *compressor) : setup;
    lock.lock();
    if (outcome == Outcome::out_of_memory) {
      out_of_memory_ = true;
    } else if (outcome == Outcome::failed) {
      deflate_failed_ = true;
    }
    done_.push_back(slot);  // within its capacity: allocates nothing
    write_ready(lock);
  }
  if (compressor) {
    for (int m = 0; m < kBlockMethods; ++m) {
      blocks_[m] += compressor->blocks(static_cast<BlockMethod>(m));
    }
    for (int r = 0; r < BlockDeflate::rows(); ++r) {
      rows_[r] += compressor->row_blocks(r);
    }
  }
}

ParallelGzip::Outcome ParallelGzip::compress(Slot& slot, BlockDeflate& compressor) noexcept {
  slot.crc = BlockDeflate::crc32(0, slot.in.get(), slot.in_len);
  slot.out_len = 0;
  try {
    slot.out_len = compressor.compress(slot.dict.get(), slot.dict_len, slot.in.get(), slot.in_len, slot.last,
                                       slot.out.get(), BlockDeflate::output_bound(block_size_));
  } catch (const std::bad_alloc&) {
    return Outcome::out_of_memory;
  } catch (...) {
    return Outcome::failed;
  }
  return slot.out_len != 0 ? Outcome::done : Outcome::failed;
}

// Writes every block that is next in order. Only one thread writes at a time;
// the lock is dropped during the write so workers keep compressing.
void ParallelGzip::write_ready(std::unique_lock<std::mutex>& lock) {
  if (writing_) {
    return;
  }
  writing_ = true;
  for (;;) {
    auto it =
        std::find_if(done_.begin(), done_.end(), [this](const Slot* s) { return s->seq == next_write_; });
    if (it == done_.end()) {
      break;
    }
    Slot* slot = *it;
    done_.erase(it);
    const bool skip = failed();
    lock.unlock();
    if (!skip) {
      write_all(slot->out.get(), slot->out_len);
    }
    crc_ = static_cast<std::uint32_t>(crc32_combine(crc_, slot->crc, static_cast<z_off_t>(slot->in_len)));
    lock.lock();
    ++next_write_;
    free_.push_back(slot);
    slot_free_.notify_all();
  }
  writing_ = false;
}

// Called without the lock; records the first failure for the producer.
void ParallelGzip::write_all(const unsigned char* data, std::size_t n) noexcept {
  std::optional<std::string> refusal;
  int error = 0;
  try {
    refusal = reserve_.refuse(n);
  } catch (const std::bad_alloc&) {
    // Only a refusal builds a message: refused all the same, without it.
    error = ENOSPC;
  }
  if (error == 0) {
    error = refusal ? ENOSPC : posix::write_all(fd_, data, n);
  }
  if (error != 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (write_errno_ == 0) {
      write_errno_ = error;
      if (refusal) {
        write_reason_ = std::move(*refusal);
      }
    }
  }
}

void ParallelGzip::finish() {
  if (finished_) {
    return;
  }
  finished_ = true;
  dispatch(true);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    slot_free_.wait(lock, [this] { return next_write_ == next_seq_; });
    check_failure();
  }
  stop_workers();
  unsigned char trailer[8];
  put_le32(trailer, crc_);
  // Every block has been written by now, so all input is accounted for.
  put_le32(trailer + 4, static_cast<std::uint32_t>(total_in_));
  write_all(trailer, sizeof trailer);
  check_failure();
}

}  // namespace vexlo::archive
