#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "block_method.hpp"
#include "deflate_format.hpp"

// The build compiles exactly one block compressor and says which:
// VEXLO_DEFLATE_LIBDEFLATE=1 with block_deflate_libdeflate.cpp, otherwise
// block_deflate_zlib.cpp.
#ifndef VEXLO_DEFLATE_LIBDEFLATE
#define VEXLO_DEFLATE_LIBDEFLATE 0
#endif

namespace vexlo::archive {

// A level that asks the compressor to choose each block's method from the
// block's own bytes (libdeflate only; zlib takes it as its default level).
inline constexpr int kAdaptiveLevel = -1;

// How a stream's blocks are coded: at `level`, a fixed level or
// kAdaptiveLevel, unless `method` codes every block by that one method
// (libdeflate builds; for tests and benches of each method).
struct BlockCoding {
  int level = kAdaptiveLevel;
  std::optional<BlockMethod> method;
};

class CoderPool;

// One worker's compressor for the blocks of a parallel gzip stream. The output
// for a block is raw deflate that continues the blocks before it: every block
// but the last ends on a byte boundary with its final-block bit clear, so the
// blocks written in order make one deflate stream.
class BlockDeflate {
 public:
  static constexpr int kMaxLevel = VEXLO_DEFLATE_LIBDEFLATE ? 12 : 9;

  // Room compress() needs for a block of up to `block_size` bytes.
  static std::size_t output_bound(std::size_t block_size);

  // CRC-32 of `data` continuing `crc`, with the fastest code at hand.
  static std::uint32_t crc32(std::uint32_t crc, const unsigned char* data, std::size_t len);

  // `level` as the compressor takes it: kAdaptiveLevel as it is, a fixed
  // level clamped to 0..kMaxLevel.
  static int checked_level(int level) {
    return level == kAdaptiveLevel ? level : std::clamp(level, 0, kMaxLevel);
  }

  // What the compressors of a stream hold at `coding` for blocks of up to
  // `block_size` bytes: each its own coders, and the largest coder their
  // shared pool lends (0: none).
  struct Memory {
    std::size_t own;
    std::size_t largest_lent;
  };
  static Memory memory(const BlockCoding& coding, std::size_t block_size);

  // The pool of large coders that a stream's compressors share, for blocks
  // of up to `block_size` bytes, holding up to `budget` bytes (one coder
  // whatever its size); nullptr where the compressor borrows none.
  static std::unique_ptr<CoderPool> make_pool(std::size_t block_size, std::size_t budget);

  // `coding.level` is taken through checked_level(); a forced method other
  // than `high` (the fixed level's) leaves a zlib build not ready. The large
  // coders come from `pool`, which outlives the compressor; without one, the
  // compressor makes them for itself on first use.
  explicit BlockDeflate(const BlockCoding& coding, CoderPool* pool = nullptr);
  ~BlockDeflate();
  BlockDeflate(const BlockDeflate&) = delete;
  BlockDeflate& operator=(const BlockDeflate&) = delete;

  // False when the compressor could not be set up (out of memory).
  bool ready() const noexcept { return state_ != nullptr; }

  // Compresses `in` into `out` (output_bound() bytes at least); `last` ends
  // the deflate stream. `history` holds up to kWindow bytes before `in`, so
  // that zlib's and the word coder's matches reach back across the boundary
  // (libdeflate's levels start afresh and ignore it). Returns the output
  // length, 0 on failure.
  std::size_t compress(const unsigned char* history, std::size_t history_len, const unsigned char* in,
                       std::size_t in_len, bool last, unsigned char* out, std::size_t out_capacity);

  // Blocks compressed so far by `method`.
  std::uint64_t blocks(BlockMethod method) const noexcept;
  // Rows of the adaptive rule's table (0 in zlib builds), the blocks for which
  // `row` fired, and its name (nullptr when `row` is out of range).
  static int rows() noexcept;
  std::uint64_t row_blocks(int row) const noexcept;
  static const char* row_name(int row) noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vexlo::archive
