// zlib's deflate, pigz's way: each block primed with the 32 KiB before it and
// ended by a sync flush, so matches still reach across block boundaries.
#include "block_deflate.hpp"

#if VEXLO_DEFLATE_LIBDEFLATE
#error "block_deflate_zlib.cpp is the compressor of builds without VEXLO_DEFLATE_LIBDEFLATE"
#endif

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace vexlo::archive {

struct BlockDeflate::State {
  z_stream strm;
  std::uint64_t blocks = 0;
};

std::uint32_t BlockDeflate::crc32(std::uint32_t crc, const unsigned char* data, std::size_t len) {
  // Blocks are far below 4 GiB, so one call takes them whole.
  return static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(len)));
}

std::size_t BlockDeflate::output_bound(std::size_t block_size) {
  // The sync flush's empty stored block and the final block's end marker.
  return compressBound(static_cast<uLong>(block_size)) + 64;
}

BlockDeflate::BlockDeflate(int level) : state_(std::make_unique<State>()) {
  std::memset(&state_->strm, 0, sizeof state_->strm);
  level = checked_level(level);
  if (level < 0) {
    level = Z_DEFAULT_COMPRESSION;  // no adaptive or literal-only coder here
  }
  if (deflateInit2(&state_->strm, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    state_.reset();
  }
}

BlockDeflate::~BlockDeflate() {
  if (state_) {
    deflateEnd(&state_->strm);
  }
}

std::size_t BlockDeflate::compress(const unsigned char* history, std::size_t history_len,
                                   const unsigned char* in, std::size_t in_len, bool last, unsigned char* out,
                                   std::size_t out_capacity) {
  z_stream& strm = state_->strm;
  if (deflateReset(&strm) != Z_OK) {
    return 0;
  }
  if (history_len > 0 && deflateSetDictionary(&strm, history, static_cast<uInt>(history_len)) != Z_OK) {
    return 0;
  }
  strm.next_in = const_cast<unsigned char*>(in);
  strm.avail_in = static_cast<uInt>(in_len);
  strm.next_out = out;
  strm.avail_out = static_cast<uInt>(out_capacity);
  const int rc = deflate(&strm, last ? Z_FINISH : Z_SYNC_FLUSH);
  const bool complete = last ? rc == Z_STREAM_END : (rc == Z_OK && strm.avail_out != 0);
  if (!complete || strm.avail_in != 0) {
    return 0;
  }
  ++state_->blocks;
  return out_capacity - strm.avail_out;
}

std::uint64_t BlockDeflate::blocks(BlockMethod method) const noexcept {
  return state_ && method == BlockMethod::high ? state_->blocks : 0;
}

std::uint64_t BlockDeflate::row_blocks(int) const noexcept {
  return 0;
}

const char* BlockDeflate::row_name(int) noexcept {
  return nullptr;
}

}  // namespace vexlo::archive
