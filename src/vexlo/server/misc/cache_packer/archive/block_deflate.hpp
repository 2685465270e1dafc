#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "block_effort.hpp"
#include "deflate_format.hpp"

// The build compiles exactly one block compressor and says which:
// VEXLO_DEFLATE_LIBDEFLATE=1 with block_deflate_libdeflate.cpp, otherwise
// block_deflate_zlib.cpp.
#ifndef VEXLO_DEFLATE_LIBDEFLATE
#define VEXLO_DEFLATE_LIBDEFLATE 0
#endif

namespace vexlo::archive {

// A level that asks the compressor to choose each block's effort from the
// block's own bytes (libdeflate only; zlib takes it as its default level).
inline constexpr int kAdaptiveLevel = -1;
// Every block coded as literals, or by the word coder (libdeflate builds
// only), for tests and benches of those coders.
inline constexpr int kLiteralsLevel = -2;
inline constexpr int kWordsLevel = -3;

// The settings the archive writer uses unless told otherwise, measured per
// compressor: the fastest whose archives stay no larger than zlib level 9's
// (bench/bench_deflate_settings.py, bench/bench_writer.py). With libdeflate,
// the effort follows the data (block_effort.hpp) in 1 MiB blocks. As a fixed
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

// How a block was compressed, for the writer's statistics.
enum class BlockMethod {
  literals,      // fitted Huffman codes or stored, no matcher
  low,           // the adaptive rule's low level
  high,          // its high level, or the fixed level
  near_optimal,  // its near-optimal level, for short-match data (see EffortRule)
  zlib,          // zlib with the previous block as history (see EffortRule)
  words,         // the word coder, for small integers in 8-byte words (WordDeflate)
};
inline constexpr int kBlockMethods = 6;

class CoderPool;

// One worker's compressor for the blocks of a parallel gzip stream. The output
// for a block is raw deflate that continues the blocks before it: every block
// but the last ends on a byte boundary with its final-block bit clear, so the
// blocks written in order make one deflate stream.
class BlockDeflate {
 public:
  // Rows of the adaptive rule's table, counted per block.
  static constexpr int kRows = EffortRule::kRows;
  static constexpr int kMaxLevel = VEXLO_DEFLATE_LIBDEFLATE ? 12 : 9;

  // Room compress() needs for a block of up to `block_size` bytes.
  static std::size_t output_bound(std::size_t block_size);

  // CRC-32 of `data` continuing `crc`, with the fastest code at hand.
  static std::uint32_t crc32(std::uint32_t crc, const unsigned char* data, std::size_t len);

  // `level` as the compressor takes it: kAdaptiveLevel, kLiteralsLevel and
  // kWordsLevel as they are, a fixed level clamped to 0..kMaxLevel.
  static int checked_level(int level) {
    return level == kAdaptiveLevel || level == kLiteralsLevel || level == kWordsLevel
               ? level
               : std::clamp(level, 0, kMaxLevel);
  }

  // What the compressors of a stream hold at `level` for blocks of up to
  // `block_size` bytes: each its own coders, and the largest coder their
  // shared pool lends (0: none).
  struct Memory {
    std::size_t own;
    std::size_t largest_lent;
  };
  static Memory memory(int level, std::size_t block_size);

  // The pool of large coders that a stream's compressors share, for blocks
  // of up to `block_size` bytes, holding up to `budget` bytes (one coder
  // whatever its size); nullptr where the compressor borrows none.
  static std::unique_ptr<CoderPool> make_pool(std::size_t block_size, std::size_t budget);

  // `level` is taken through checked_level(). The large coders come from
  // `pool`, which outlives the compressor; without one, the compressor makes
  // them for itself on first use.
  explicit BlockDeflate(int level, CoderPool* pool = nullptr);
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
  // Blocks for which the adaptive rule's `row` fired, and that row's name
  // (nullptr without the rule's table: zlib builds, or `row` out of range).
  std::uint64_t row_blocks(int row) const noexcept;
  static const char* row_name(int row) noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vexlo::archive
