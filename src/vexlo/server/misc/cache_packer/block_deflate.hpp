#pragma once

#include <cstddef>
#include <memory>

// The build compiles exactly one block compressor and says which:
// VEXLO_DEFLATE_LIBDEFLATE=1 with block_deflate_libdeflate.cpp, otherwise
// block_deflate_zlib.cpp.
#ifndef VEXLO_DEFLATE_LIBDEFLATE
#define VEXLO_DEFLATE_LIBDEFLATE 0
#endif

namespace vexlo::archive {

// The settings the archive writer uses unless told otherwise, measured per
// compressor: the fastest whose archives stay no larger than zlib level 9's
// (bench/bench_deflate_settings.py). With libdeflate, level 8 in 1 MiB blocks
// comes out 0.2% below zlib 9; 512 KiB blocks leave almost no margin, and
// levels 10 and up lose on tar streams of small files.
#if VEXLO_DEFLATE_LIBDEFLATE
inline constexpr int kDefaultLevel = 8;
inline constexpr std::size_t kDefaultBlockSize = 1024 * 1024;
#else
inline constexpr int kDefaultLevel = 9;
inline constexpr std::size_t kDefaultBlockSize = 128 * 1024;
#endif

// One worker's compressor for the blocks of a parallel gzip stream. The output
// for a block is raw deflate that continues the blocks before it: every block
// but the last ends on a byte boundary with its final-block bit clear, so the
// blocks written in order make one deflate stream.
class BlockDeflate {
 public:
  static constexpr std::size_t kWindow = 32 * 1024;
  // Whether compress() takes the kWindow bytes preceding a block as history
  // (matches then reach back across the block boundary).
  static constexpr bool kUsesHistory = !VEXLO_DEFLATE_LIBDEFLATE;
  static constexpr int kMaxLevel = VEXLO_DEFLATE_LIBDEFLATE ? 12 : 9;

  // Room compress() needs for a block of up to `block_size` bytes.
  static std::size_t output_bound(std::size_t block_size);

  explicit BlockDeflate(int level);
  ~BlockDeflate();
  BlockDeflate(const BlockDeflate&) = delete;
  BlockDeflate& operator=(const BlockDeflate&) = delete;

  // False when the compressor could not be set up (out of memory).
  bool ready() const noexcept { return state_ != nullptr; }

  // Compresses `in` into `out` (output_bound() bytes at least); `last` ends
  // the deflate stream. `history` is ignored unless kUsesHistory. Returns
  // the output length, 0 on failure.
  std::size_t compress(const unsigned char* history, std::size_t history_len, const unsigned char* in,
                       std::size_t in_len, bool last, unsigned char* out, std::size_t out_capacity);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vexlo::archive
