#include "deflate_joint.hpp"

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <limits>

namespace vexlo::archive {

namespace {

// Inflated data is thrown away; the window inflate keeps is all it needs, so
// a small buffer does. Large enough that inflate's fast loop does the work.
constexpr std::size_t kScratch = 64 * 1024;

}  // namespace

struct DeflateJoint::State {
  z_stream strm;
  unsigned char scratch[kScratch];
};

DeflateJoint::DeflateJoint() : state_(std::make_unique<State>()) {
  std::memset(&state_->strm, 0, sizeof state_->strm);
  if (inflateInit2(&state_->strm, -15) != Z_OK) {
    state_.reset();
  }
}

DeflateJoint::~DeflateJoint() {
  if (state_) {
    inflateEnd(&state_->strm);
  }
}

std::size_t DeflateJoint::leave_open(unsigned char* data, std::size_t len) {
  z_stream& strm = state_->strm;
  // Blocks are far below 4 GiB, so one call to inflate() takes them whole.
  if (len == 0 || len > std::numeric_limits<uInt>::max() || inflateReset(&strm) != Z_OK) {
    return 0;
  }
  strm.next_in = data;
  strm.avail_in = static_cast<uInt>(len);
  // Bit offsets count from bit 0 (the least significant) of data[0]. With
  // Z_BLOCK, inflate returns after each block's end code once its data is
  // out: data_type then holds 128, plus 64 after the final block, plus the
  // unused bits of the last byte read. The stream end it reports after that
  // has dropped those bits, so the end is taken at the final boundary.
  std::uint64_t header = 0;  // offset of the current block's header
  std::uint64_t end = 0;     // offset just past the final block, once known
  bool ended = false;
  int rc;
  do {
    strm.next_out = state_->scratch;
    strm.avail_out = kScratch;
    rc = inflate(&strm, Z_BLOCK);
    if (rc == Z_OK && (strm.data_type & 128) != 0) {
      const std::uint64_t at = 8 * static_cast<std::uint64_t>(strm.next_in - data) - (strm.data_type & 7);
      if ((strm.data_type & 64) != 0) {
        end = at;
        ended = true;
      } else {
        header = at;
      }
    }
  } while (rc == Z_OK);
  const std::size_t used = static_cast<std::size_t>(strm.next_in - data);
  if (rc != Z_STREAM_END || !ended || used != len || (end + 7) / 8 != len) {
    return 0;
  }

  unsigned char& final_byte = data[header / 8];
  const unsigned final_bit = 1u << (header % 8);
  if ((final_byte & final_bit) == 0) {
    return 0;
  }
  final_byte &= static_cast<unsigned char>(~final_bit);

  // Empty stored block: three header bits (not final, type 00), zeros up
  // to the byte boundary, LEN 0 and NLEN 0xffff.
  std::size_t n = len;
  const unsigned tail_bits = static_cast<unsigned>(end % 8);  // used bits of the last byte
  if (tail_bits != 0) {
    data[n - 1] &= static_cast<unsigned char>((1u << tail_bits) - 1);
  }
  if (tail_bits == 0 || tail_bits > 5) {
    data[n++] = 0;
  }
  static const unsigned char kEmptyStored[4] = {0x00, 0x00, 0xff, 0xff};
  std::memcpy(data + n, kEmptyStored, sizeof kEmptyStored);
  return n + sizeof kEmptyStored;
}

}  // namespace vexlo::archive
