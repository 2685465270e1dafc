// Runs a CoderPool under contention with stand-in coders whose bytes are
// counted as they are made and freed, so the tests can check the pool's
// promises: the coders alive never hold more than the budget (beyond one
// coder larger than it), no coder is lent twice at once, and every borrow is
// served.
//
// Usage: coder_pool_driver BUDGET THREADS BORROWS. Kinds of 600, 250 and 100
// bytes are borrowed in a fixed pseudo-random order per thread. Prints
// "live_peak N", "pool_peak N", "made N", "twice_lent N", "empty N".
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "vexlo/server/misc/cache_packer/archive/coder_pool.hpp"

namespace {

using vexlo::archive::CoderPool;

constexpr std::size_t kKindBytes[] = {600, 250, 100};

std::atomic<std::size_t> live{0};       // bytes of the stand-ins alive
std::atomic<std::size_t> live_peak{0};  // the most at once
std::atomic<unsigned> twice_lent{0};    // borrows that found their coder in use
std::atomic<unsigned> empty{0};         // borrows that got no coder

struct StandIn {
  explicit StandIn(std::size_t bytes) : bytes(bytes) {
    const std::size_t now = live += bytes;
    std::size_t peak = live_peak.load();
    while (now > peak && !live_peak.compare_exchange_weak(peak, now)) {
    }
  }
  ~StandIn() { live -= bytes; }
  std::size_t bytes;
  std::atomic<bool> in_use{false};
};

template <std::size_t Kind>
std::shared_ptr<void> make() {
  return std::make_shared<StandIn>(kKindBytes[Kind]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BUDGET THREADS BORROWS\n", argv[0]);
    return 2;
  }
  const std::size_t budget = std::strtoul(argv[1], nullptr, 10);
  const unsigned threads = static_cast<unsigned>(std::atoi(argv[2]));
  const unsigned borrows = static_cast<unsigned>(std::atoi(argv[3]));
  CoderPool pool({{kKindBytes[0], make<0>}, {kKindBytes[1], make<1>}, {kKindBytes[2], make<2>}}, budget);
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&pool, t, borrows] {
      unsigned state = 2463534242u + t;  // xorshift: the same order every run
      for (unsigned i = 0; i < borrows; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const CoderPool::Lease lease = pool.borrow(state % 3);
        auto* coder = lease.get<StandIn>();
        if (coder == nullptr) {
          ++empty;
          continue;
        }
        if (coder->in_use.exchange(true)) {
          ++twice_lent;
        }
        std::this_thread::yield();  // hold it while others borrow
        coder->in_use = false;
      }
    });
  }
  for (auto& w : workers) {
    w.join();
  }
  std::printf("live_peak %zu\npool_peak %zu\nmade %zu\ntwice_lent %u\nempty %u\n", live_peak.load(),
              pool.peak_bytes(), pool.made(), twice_lent.load(), empty.load());
  return 0;
}
