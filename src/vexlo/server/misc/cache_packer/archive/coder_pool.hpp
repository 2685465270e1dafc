#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace vexlo::archive {

// Lends the workers of one stream the coders too large for each worker to
// keep one of its own (a near-optimal compressor is 8.6 MiB), within a byte
// budget. A worker borrows a coder for a block that needs one and gives it
// back when the block is coded. Coders are made on first need, and more of a
// kind while the budget has room; when it has none, idle coders of other
// kinds are freed to make it, and failing that the borrower waits for a
// coder to come back.
//
// The coders keep nothing from one block to the next, so which of them codes
// a block changes no byte of the output: the budget only decides how many
// blocks that need one are coded at once.
//
// A worker holds one lease at a time; with two, workers could wait on each
// other for good.
class CoderPool {
 public:
  // A kind of coder: what one holds, and how to make one (empty when out of
  // memory).
  struct Kind {
    std::size_t bytes;
    std::shared_ptr<void> (*make)();
  };

  // A borrowed coder, given back when the lease goes.
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&& other) noexcept;
    ~Lease();

    // The coder, as the type its kind makes; nullptr for an empty lease.
    template <typename Coder>
    Coder* get() const noexcept {
      return static_cast<Coder*>(coder_);
    }
    explicit operator bool() const noexcept { return coder_ != nullptr; }

   private:
    friend class CoderPool;
    Lease(CoderPool* pool, std::size_t entry, void* coder) : pool_(pool), entry_(entry), coder_(coder) {}
    void give_back() noexcept;

    CoderPool* pool_ = nullptr;
    std::size_t entry_ = 0;  // index in the pool's entries_
    void* coder_ = nullptr;
  };

  // `kinds` are borrowed by their index. The coders may hold `budget` bytes
  // together; one coder is made whatever its size, so that a block always
  // gets one.
  CoderPool(std::vector<Kind> kinds, std::size_t budget);
  CoderPool(const CoderPool&) = delete;
  CoderPool& operator=(const CoderPool&) = delete;

  // A coder of kinds[kind], waiting while every one made is lent and the
  // budget has no room for another. Empty when one could not be made.
  Lease borrow(std::size_t kind);

  // The most bytes the coders held at once, and how many were made.
  std::size_t peak_bytes() const;
  std::size_t made() const;

 private:
  struct Entry {
    std::size_t kind;
    std::shared_ptr<void> coder;  // empty once freed; the entry is then reused
    bool lent = false;
  };
  // With the lock held: frees idle coders not of `kind` until `bytes` more
  // fit the budget, or returns false (freeing nothing) when they cannot.
  bool make_room(std::size_t kind, std::size_t bytes);
  void give_back(std::size_t entry) noexcept;

  const std::vector<Kind> kinds_;
  const std::size_t budget_;
  mutable std::mutex mutex_;
  std::condition_variable returned_;  // a coder was given back
  std::vector<Entry> entries_;
  std::size_t held_ = 0;  // bytes of the coders made and not freed
  std::size_t peak_ = 0;
  std::size_t made_ = 0;
};

}  // namespace vexlo::archive
