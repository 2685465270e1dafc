#include "coder_pool.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace vexlo::archive {

CoderPool::Lease::Lease(Lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)),
      entry_(other.entry_),
      coder_(std::exchange(other.coder_, nullptr)) {}

CoderPool::Lease& CoderPool::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    give_back();
    pool_ = std::exchange(other.pool_, nullptr);
    entry_ = other.entry_;
    coder_ = std::exchange(other.coder_, nullptr);
  }
  return *this;
}

CoderPool::Lease::~Lease() {
  give_back();
}

void CoderPool::Lease::give_back() noexcept {
  if (pool_ != nullptr && coder_ != nullptr) {
    pool_->give_back(entry_);
  }
  pool_ = nullptr;
  coder_ = nullptr;
}

CoderPool::CoderPool(std::vector<Kind> kinds, std::size_t budget)
    : kinds_(std::move(kinds)), budget_(budget) {}

CoderPool::Lease CoderPool::borrow(std::size_t kind) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::size_t bytes = kinds_.at(kind).bytes;
  for (;;) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      Entry& e = entries_[i];
      if (e.kind == kind && e.coder && !e.lent) {
        e.lent = true;
        return Lease(this, i, e.coder.get());
      }
    }
    if (make_room(kind, bytes)) {
      break;
    }
    returned_.wait(lock);
  }
  // Out of memory here is an empty lease, which the borrower can live with.
  auto slot = std::find_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.coder; });
  try {
    if (slot == entries_.end()) {
      slot = entries_.insert(slot, Entry{kind, nullptr});
    }
    slot->coder = kinds_[kind].make();
  } catch (const std::bad_alloc&) {
  }
  if (slot == entries_.end() || !slot->coder) {
    return Lease();
  }
  slot->kind = kind;
  slot->lent = true;
  held_ += bytes;
  peak_ = std::max(peak_, held_);
  ++made_;
  return Lease(this, static_cast<std::size_t>(slot - entries_.begin()), slot->coder.get());
}

bool CoderPool::make_room(std::size_t kind, std::size_t bytes) {
  std::size_t idle = 0;  // bytes of idle coders of other kinds
  for (const Entry& e : entries_) {
    if (e.coder && !e.lent && e.kind != kind) {
      idle += kinds_[e.kind].bytes;
    }
  }
  const std::size_t lent_or_own_kind = held_ - idle;
  if (lent_or_own_kind != 0 && lent_or_own_kind + bytes > budget_) {
    return false;
  }
  for (Entry& e : entries_) {
    if (held_ + bytes <= budget_ || held_ == 0) {
      break;
    }
    if (e.coder && !e.lent && e.kind != kind) {
      held_ -= kinds_[e.kind].bytes;
      e.coder.reset();
    }
  }
  return true;
}

void CoderPool::give_back(std::size_t entry) noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_[entry].lent = false;
  }
  returned_.notify_all();
}

std::size_t CoderPool::peak_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peak_;
}

std::size_t CoderPool::made() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return made_;
}

}  // namespace vexlo::archive
