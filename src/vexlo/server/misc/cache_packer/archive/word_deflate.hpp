#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "deflate_format.hpp"

namespace vexlo::archive {

// Deflate for small integers in 8-byte words: int64 counts, category codes,
// ids. Every word is a value byte or two and six or seven zeros, so a
// matcher keyed on 3 or 4 bytes finds a candidate at nearly every position
// and must walk thousands of them (zlib 9) or parse near-optimally (libdeflate
// 10) to find the repeats worth taking, at 2-5 times libdeflate 8's CPU.
//
// This coder keys its chains on whole words instead: 16 bytes (two values),
// walked deep, 12 bytes (one value and the zeros around it) and 4 bytes
// (runs of zeros), walked shallow. Each candidate is priced in bits with the
// Huffman code of the tokens before it, and a match is deferred by one byte
// when a literal and the next match cost fewer bits per byte. Each run of
// kBlockTokens tokens becomes one dynamic Huffman block.
//
// The output continues the blocks before it, as a BlockDeflate's does:
// matches reach into the history given, and it ends on a byte boundary with
// no final-block bit unless `last`.
class WordDeflate {
 public:
  // Bytes compress() may write for `len` input bytes, at most.
  static std::size_t bound(std::size_t len);

  // What a coder holds once it has coded blocks of up to `block_size` bytes:
  // its chains (1.1 MiB), its token buffer and its copy of the history and
  // the block.
  static std::size_t memory(std::size_t block_size);

  // The hash chains, or ready() false without the memory.
  WordDeflate();
  ~WordDeflate();
  WordDeflate(const WordDeflate&) = delete;
  WordDeflate& operator=(const WordDeflate&) = delete;

  bool ready() const noexcept { return state_ != nullptr; }

  // Compresses `in`, with up to kWindow bytes of `history` before it. Returns
  // the output length, 0 if `capacity` is short or memory ran out.
  std::size_t compress(const unsigned char* history, std::size_t history_len, const unsigned char* in,
                       std::size_t len, bool last, unsigned char* out, std::size_t capacity);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vexlo::archive
