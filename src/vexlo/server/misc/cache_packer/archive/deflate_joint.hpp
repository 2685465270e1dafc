#pragma once

#include <cstddef>

namespace vexlo::archive {

// Turns a complete raw deflate stream into the leading part of a longer one,
// for compressors that can only write whole streams: its final block keeps
// its data but loses its final-block bit, and an empty stored block (what a
// sync flush writes) ends it on a byte boundary, where the next stream's
// blocks may follow.
//
// Finding the final block's header takes a bit-exact walk over every block
// before it. The walk only decodes code lengths and skips symbols: it writes
// no output and copies no matches, which makes it several times cheaper than
// inflating the block, so the joint stays a small share of the cheap levels
// too.
//
// Worked example: a stream of 3 bytes whose final block starts at bit 0 and
// ends at bit 19 (its end-of-block code's last bit is bit 18). The final-block
// bit is bit 0 of byte 0, cleared. Bits 19..21 take the empty stored block's
// header (not final, type 00), which fits in byte 2 (5 bits left there), so
// the header is already written by clearing bits 19..23; then LEN 0000 and
// NLEN ffff: 3 + 4 = 7 bytes. Had the block ended at bit 22, the 3 header bits
// would spill into a fourth byte, written as 00: 3 + 1 + 4 = 8 bytes.
class DeflateJoint {
 public:
  // The most leave_open() appends: a byte for the stored block's header
  // bits when they do not fit in the last byte, then LEN and NLEN.
  static constexpr std::size_t kExtraBytes = 5;

  // `data` holds `len` bytes, exactly one complete raw deflate stream, and
  // room for kExtraBytes more. Returns the new length, or 0 when `data` is
  // not one complete deflate stream.
  static std::size_t leave_open(unsigned char* data, std::size_t len);
};

}  // namespace vexlo::archive
