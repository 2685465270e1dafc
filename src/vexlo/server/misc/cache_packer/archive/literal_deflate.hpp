#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlo::archive {

// Deflate for bytes that matching cannot shrink: float arrays, JPEG and other
// entropy-coded payloads, random or already compressed data. Each sub-block of
// kLiteralBlock bytes is coded with a Huffman code fitted to its own bytes
// and no matches at all, or stored when that code saves nothing. A matcher
// spends most of its time on such data for a fraction of a percent; these
// blocks take one pass to count and one to code.
//
// The output continues the blocks before it, as a BlockDeflate's does: it
// ends on a byte boundary with no final-block bit unless `last`.
class LiteralDeflate {
 public:
  static constexpr std::size_t kLiteralBlock = 128 * 1024;

  // Bytes that deflate_literals() or deflate_stored() may write for `len`
  // input bytes, at most.
  static std::size_t bound(std::size_t len);

  // Codes `in` with fitted Huffman codes, sub-block by sub-block stored where
  // that is smaller. Returns the output length, 0 if `capacity` is short.
  static std::size_t deflate_literals(const unsigned char* in, std::size_t len, bool last, unsigned char* out,
                                      std::size_t capacity);

  // Stores `in` uncoded. Returns the output length, 0 if `capacity` is short.
  static std::size_t deflate_stored(const unsigned char* in, std::size_t len, bool last, unsigned char* out,
                                    std::size_t capacity);

  // Size in bits of `counts` (256 byte frequencies) coded as one literal
  // block, header included.
  static std::uint64_t literal_bits(const std::uint32_t* counts);
};

}  // namespace vexlo::archive
