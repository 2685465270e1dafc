#pragma once

#include <cstddef>
#include <memory>

namespace vexlo::archive {

// Turns a complete raw deflate stream into the leading part of a longer one,
// for compressors that can only write whole streams: its final block keeps
// its data but loses its final-block bit, and an empty stored block (what a
// sync flush writes) ends it on a byte boundary, where the next stream's
// blocks may follow. Finding the final block's header takes a bit-exact walk
// of every block, done with zlib's inflate stopping at each block boundary.
class DeflateJoint {
 public:
  // The most leave_open() appends: a byte for the stored block's header
  // bits when they do not fit in the last byte, then LEN and NLEN.
  static constexpr std::size_t kExtraBytes = 5;

  DeflateJoint();
  ~DeflateJoint();
  DeflateJoint(const DeflateJoint&) = delete;
  DeflateJoint& operator=(const DeflateJoint&) = delete;

  // False when zlib's inflate could not be set up (out of memory).
  bool ready() const noexcept { return state_ != nullptr; }

  // `data` holds `len` bytes, exactly one complete raw deflate stream, and
  // room for kExtraBytes more. Returns the new length, or 0 when `data` is
  // not one complete deflate stream.
  std::size_t leave_open(unsigned char* data, std::size_t len);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vexlo::archive
