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
#include <new>
#include <vector>

#include "block_effort.hpp"
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

// zlib's largest hash and symbol buffer (about 0.5 MB a worker): fewer,
// larger blocks than the default 8.
constexpr int kZlibMemLevel = 9;

}  // namespace

struct BlockDeflate::State {
  BlockMethod method = BlockMethod::high;    // every block's, unless the rule chooses
  int high_level = EffortRule::kHighLevel;   // `high`'s level: a fixed level replaces it
  Compressor compressors[kMaxLevel + 1];     // by level, those this worker uses
  std::unique_ptr<EffortRule> rule;          // adaptive only
  ZlibBlock zlib{kZlibMemLevel};             // the `zlib` method's stream
  std::unique_ptr<WordDeflate> words;        // made on first use
  std::uint64_t blocks[kBlockMethods] = {};  // blocks compressed, by method
  std::vector<std::uint64_t> rows = std::vector<std::uint64_t>(EffortRule::rows());  // by the row that fired

  WordDeflate* word_coder() {
    if (!words) {
      words.reset(new (std::nothrow) WordDeflate());
      if (!words) {
        return nullptr;
      }
    }
    return words->ready() ? words.get() : nullptr;
  }

  libdeflate_compressor* compressor(int at) {
    if (!compressors[at]) {
      compressors[at].reset(libdeflate_alloc_compressor(at));
    }
    return compressors[at].get();
  }

  // `method`, or the one that stands in for it without the memory for its
  // coder: the near-optimal level for the word coder's chains, the high level
  // for the near-optimal level's compressor (8.6 MB, made on first use).
  BlockMethod available(BlockMethod method) {
    if (method == BlockMethod::words && word_coder() == nullptr) {
      method = BlockMethod::near_optimal;
    }
    if (method == BlockMethod::near_optimal && compressor(EffortRule::kNearOptimalLevel) == nullptr) {
      method = BlockMethod::high;
    }
    return method;
  }
};

std::size_t BlockDeflate::output_bound(std::size_t block_size) {
  return std::max({libdeflate_deflate_compress_bound(nullptr, block_size), LiteralDeflate::bound(block_size),
                   ZlibBlock::bound(block_size), WordDeflate::bound(block_size)}) +
         DeflateJoint::kExtraBytes;
}

std::uint32_t BlockDeflate::crc32(std::uint32_t crc, const unsigned char* data, std::size_t len) {
  return libdeflate_crc32(crc, data, len);
}

BlockDeflate::BlockDeflate(const BlockCoding& coding) : state_(std::make_unique<State>()) {
  const int level = checked_level(coding.level);
  bool ready = true;
  if (coding.method) {
    state_->method = *coding.method;  // its coder made on first use
  } else if (level == kAdaptiveLevel) {
    libdeflate_compressor* probe = state_->compressor(EffortRule::kProbeLevel);
    libdeflate_compressor* high = state_->compressor(EffortRule::kHighLevel);
    ready = probe != nullptr && high != nullptr && state_->compressor(EffortRule::kLowLevel) != nullptr;
    if (ready) {
      state_->rule = std::make_unique<EffortRule>(probe, high);
    }
  } else {
    state_->high_level = level;
    ready = state_->compressor(level) != nullptr;
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
  method = state_->available(method);
  ++state_->blocks[static_cast<int>(method)];
  int level = 0;  // libdeflate's, for the matcher methods
  switch (method) {
    case BlockMethod::literals:
      return LiteralDeflate::deflate_literals(in, in_len, last, out, out_capacity);
    case BlockMethod::zlib:
      return state_->zlib.compress(EffortRule::kZlibLevel, history, history_len, in, in_len, last, out,
                                   out_capacity);
    case BlockMethod::words:
      return state_->words->compress(history, history_len, in, in_len, last, out, out_capacity);
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
  libdeflate_compressor* compressor = state_->compressor(level);
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
