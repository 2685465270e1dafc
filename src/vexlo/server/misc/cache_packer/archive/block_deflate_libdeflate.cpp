// libdeflate: several times zlib's speed at level 9 and smaller output, but
// whole buffers only, with no history and always a final block. Each block is
// compressed on its own and left open for the next (DeflateJoint); the lost
// history costs little at the block size used.
//
// At the adaptive setting the effort follows the data (EffortRule): blocks a
// matcher cannot shrink are coded as literals or stored, the rest at a level
// chosen from a sample, by zlib where its deeper search wins, or by the word
// coder for small integers in 8-byte words. zlib and the word coder take the
// 32 KiB before the block as history and end the block byte-aligned and not
// final, so they need no joint.
#include "block_deflate.hpp"

#if !VEXLO_DEFLATE_LIBDEFLATE
#error "block_deflate_libdeflate.cpp is the compressor of builds with VEXLO_DEFLATE_LIBDEFLATE"
#endif

#include <libdeflate.h>

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

#include "block_effort.hpp"
#include "coder_pool.hpp"
#include "deflate_joint.hpp"
#include "literal_deflate.hpp"
#include "word_deflate.hpp"
#include "zlib_block.hpp"

namespace vexlo::archive {

namespace {

struct FreeCompressor {
  void operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, FreeCompressor>;

// zlib's largest hash and symbol buffer (about 0.4 MB): fewer, larger blocks
// than the default 8.
constexpr int kZlibMemLevel = MAX_MEM_LEVEL;

// What the budget counts for libdeflate_alloc_compressor() at `level`: at
// least what it allocates there, which tests/native/coder_memory_driver.cpp
// prints per level beside these (tests/test_parallel_gzip.py checks it).
std::size_t compressor_bytes(int level) {
  return level == 0 ? 8 * 1024 : level == 1 ? 200 * 1024 : level < 10 ? 656 * 1024 : 8800 * 1024;
}

// The rule's sample, its probe's output and its byte-pair counts.
constexpr std::size_t kRuleBytes = 256 * 1024;

// The coders a stream's compressors borrow from its pool, by their index
// there: the adaptive rule's near-optimal level (the largest), the word coder
// and the zlib stream, each needed by only some blocks.
enum LentCoder : std::size_t { kNearOptimalCoder, kWordCoder, kZlibCoder };

std::shared_ptr<void> make_near_optimal() {
  libdeflate_compressor* c = libdeflate_alloc_compressor(EffortRule::kNearOptimalLevel);
  if (c == nullptr) {
    return nullptr;
  }
  return std::shared_ptr<void>(
      c, [](void* p) { libdeflate_free_compressor(static_cast<libdeflate_compressor*>(p)); });
}

std::shared_ptr<void> make_words() {
  auto words = std::make_shared<WordDeflate>();
  return words->ready() ? words : nullptr;
}

std::shared_ptr<void> make_zlib() {
  return std::make_shared<ZlibBlock>(kZlibMemLevel);
}

}  // namespace

struct BlockDeflate::State {
  BlockMethod method = BlockMethod::high;    // every block's, unless the rule chooses
  int high_level = EffortRule::kHighLevel;   // `high`'s level: a fixed level replaces it
  Compressor compressors[kMaxLevel + 1];     // by level, those this worker keeps
  std::unique_ptr<EffortRule> rule;          // adaptive only
  std::unique_ptr<CoderPool> own_pool;       // without a stream's pool
  CoderPool* pool = nullptr;                 // lends the near-optimal level, the word coder, zlib
  std::uint64_t blocks[kBlockMethods] = {};  // blocks compressed, by method
  std::vector<std::uint64_t> rows = std::vector<std::uint64_t>(EffortRule::rows());  // by the row that fired

  // This worker's compressor at level `at`, made on first use.
  libdeflate_compressor* own(int at) {
    if (!compressors[at]) {
      compressors[at].reset(libdeflate_alloc_compressor(at));
    }
    return compressors[at].get();
  }

  // Borrows into `lent` the coder `method` takes from the pool, if any. A
  // method whose coder cannot be had (out of memory) gives way to the next:
  // the word coder to the near-optimal level, that to the high level.
  BlockMethod borrow(BlockMethod method, CoderPool::Lease& lent) {
    if (method == BlockMethod::words && !(lent = pool->borrow(kWordCoder))) {
      method = BlockMethod::near_optimal;
    }
    if (method == BlockMethod::near_optimal && !(lent = pool->borrow(kNearOptimalCoder))) {
      method = BlockMethod::high;
    }
    if (method == BlockMethod::zlib) {
      lent = pool->borrow(kZlibCoder);
    }
    return method;
  }
};

BlockDeflate::Memory BlockDeflate::memory(const BlockCoding& coding, std::size_t block_size) {
  if (coding.method) {
    switch (*coding.method) {
      case BlockMethod::literals:
        return {0, 0};
      case BlockMethod::low:
        return {compressor_bytes(EffortRule::kLowLevel), 0};
      case BlockMethod::high:
        return {compressor_bytes(EffortRule::kHighLevel), 0};
      case BlockMethod::near_optimal:
        return {0, compressor_bytes(EffortRule::kNearOptimalLevel)};
      case BlockMethod::zlib:
        return {0, ZlibBlock::memory(kZlibMemLevel)};
      case BlockMethod::words:
        return {0, WordDeflate::memory(block_size)};
    }
  }
  const int level = checked_level(coding.level);
  if (level == kAdaptiveLevel) {
    return {compressor_bytes(EffortRule::kProbeLevel) + compressor_bytes(EffortRule::kLowLevel) +
                compressor_bytes(EffortRule::kHighLevel) + kRuleBytes,
            std::max({compressor_bytes(EffortRule::kNearOptimalLevel), WordDeflate::memory(block_size),
                      ZlibBlock::memory(kZlibMemLevel)})};
  }
  return {compressor_bytes(level), 0};
}

std::unique_ptr<CoderPool> BlockDeflate::make_pool(std::size_t block_size, std::size_t budget) {
  std::vector<CoderPool::Kind> kinds(3);
  kinds[kNearOptimalCoder] = {compressor_bytes(EffortRule::kNearOptimalLevel), make_near_optimal};
  kinds[kWordCoder] = {WordDeflate::memory(block_size), make_words};
  kinds[kZlibCoder] = {ZlibBlock::memory(kZlibMemLevel), make_zlib};
  return std::make_unique<CoderPool>(std::move(kinds), budget);
}

std::size_t BlockDeflate::output_bound(std::size_t block_size) {
  return std::max({libdeflate_deflate_compress_bound(nullptr, block_size), LiteralDeflate::bound(block_size),
                   ZlibBlock::bound(block_size), WordDeflate::bound(block_size)}) +
         DeflateJoint::kExtraBytes;
}

std::uint32_t BlockDeflate::crc32(std::uint32_t crc, const unsigned char* data, std::size_t len) {
  return libdeflate_crc32(crc, data, len);
}

BlockDeflate::BlockDeflate(const BlockCoding& coding, CoderPool* pool) : state_(std::make_unique<State>()) {
  if (pool == nullptr) {
    state_->own_pool = make_pool(0, std::numeric_limits<std::size_t>::max());
    pool = state_->own_pool.get();
  }
  state_->pool = pool;
  const int level = checked_level(coding.level);
  bool ready = true;
  if (coding.method) {
    state_->method = *coding.method;  // its coder made on first use
  } else if (level == kAdaptiveLevel) {
    libdeflate_compressor* probe = state_->own(EffortRule::kProbeLevel);
    libdeflate_compressor* high = state_->own(EffortRule::kHighLevel);
    ready = probe != nullptr && high != nullptr && state_->own(EffortRule::kLowLevel) != nullptr;
    if (ready) {
      state_->rule = std::make_unique<EffortRule>(probe, high);
    }
  } else {
    state_->high_level = level;
    ready = state_->own(level) != nullptr;
  }
  if (!ready) {
    state_.reset();
  }
}

BlockDeflate::~BlockDeflate() = default;

std::size_t BlockDeflate::compress(const unsigned char* history, std::size_t history_len,
                                   const unsigned char* in, std::size_t in_len, bool last, unsigned char* out,
                                   std::size_t out_capacity) {
  BlockMethod method = state_->method;
  if (state_->rule) {
    int row = 0;
    method = state_->rule->choose(in, in_len, &row);
    ++state_->rows[row];
  }
  CoderPool::Lease lent;  // the block's coder, if its method borrows one
  method = state_->borrow(method, lent);
  ++state_->blocks[static_cast<int>(method)];
  int level = 0;  // libdeflate's, for the matcher methods
  switch (method) {
    case BlockMethod::literals:
      return LiteralDeflate::deflate_literals(in, in_len, last, out, out_capacity);
    case BlockMethod::zlib:
      return lent ? lent.get<ZlibBlock>()->compress(EffortRule::kZlibLevel, history, history_len, in, in_len,
                                                    last, out, out_capacity)
                  : 0;
    case BlockMethod::words:
      return lent.get<WordDeflate>()->compress(history, history_len, in, in_len, last, out, out_capacity);
    case BlockMethod::low:
      level = EffortRule::kLowLevel;
      break;
    case BlockMethod::high:
      level = state_->high_level;
      break;
    case BlockMethod::near_optimal:
      level = EffortRule::kNearOptimalLevel;
      break;
  }
  libdeflate_compressor* compressor =
      method == BlockMethod::near_optimal ? lent.get<libdeflate_compressor>() : state_->own(level);
  if (compressor == nullptr || out_capacity < DeflateJoint::kExtraBytes) {
    return 0;
  }
  const std::size_t n =
      libdeflate_deflate_compress(compressor, in, in_len, out, out_capacity - DeflateJoint::kExtraBytes);
  if (n == 0 || last) {
    return n;
  }
  return DeflateJoint::leave_open(out, n);
}

std::uint64_t BlockDeflate::blocks(BlockMethod method) const noexcept {
  return state_ ? state_->blocks[static_cast<int>(method)] : 0;
}

int BlockDeflate::rows() noexcept {
  return EffortRule::rows();
}

std::uint64_t BlockDeflate::row_blocks(int row) const noexcept {
  return state_ && row >= 0 && row < rows() ? state_->rows[row] : 0;
}

const char* BlockDeflate::row_name(int row) noexcept {
  return row >= 0 && row < rows() ? EffortRule::row_name(row) : nullptr;
}

}  // namespace vexlo::archive
