#pragma once

#include <zlib.h>

#include <cstddef>

namespace vexlo::archive {

// zlib's raw deflate for one block of a parallel stream, pigz's way: primed
// with the bytes before the block as its dictionary, so matches still reach
// across the boundary, and ended by a sync flush (byte-aligned, not final)
// unless it is the last, so blocks written in order make one deflate stream
// without a joint. The stream is set up on first use and again when the
// level changes.
class ZlibBlock {
 public:
  // `mem_level` is zlib's hash and symbol buffer size (1-9).
  explicit ZlibBlock(int mem_level);
  ~ZlibBlock();
  ZlibBlock(const ZlibBlock&) = delete;
  ZlibBlock& operator=(const ZlibBlock&) = delete;

  // Sets the stream up at `level`; false when zlib cannot (out of memory).
  bool open(int level);

  // Replaces the level's search parameters with deflateTune's good, lazy,
  // nice and chain lengths, for benches that try settings between levels.
  void tune(int good_length, int max_lazy, int nice_length, int max_chain);

  // As BlockDeflate::compress(), at `level`; 0 on failure.
  std::size_t compress(int level, const unsigned char* history, std::size_t history_len,
                       const unsigned char* in, std::size_t in_len, bool last, unsigned char* out,
                       std::size_t out_capacity);

  // Room compress() needs for `len` input bytes.
  static std::size_t bound(std::size_t len);

  // What an open stream of `mem_level` holds: zlib's own formula (zconf.h)
  // for its window (MAX_WBITS, deflate's whole window) and buffers, and its
  // state.
  static constexpr std::size_t memory(int mem_level) {
    return (std::size_t{1} << (MAX_WBITS + 2)) + (std::size_t{1} << (mem_level + 9)) + 8 * 1024;
  }

 private:
  z_stream strm_;
  int mem_level_;
  bool ready_ = false;
  int level_ = 0;
  bool tuned_ = false;  // tune() was called: tuning_ applies after each reset
  int tuning_[4] = {};
};

}  // namespace vexlo::archive
