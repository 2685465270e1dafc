#include "zlib_block.hpp"

#include <cstring>

namespace vexlo::archive {

ZlibBlock::ZlibBlock(int mem_level) : mem_level_(mem_level) {
  std::memset(&strm_, 0, sizeof strm_);
}

ZlibBlock::~ZlibBlock() {
  if (ready_) {
    deflateEnd(&strm_);
  }
}

bool ZlibBlock::open(int level) {
  if (ready_ && level == level_) {
    return true;
  }
  if (ready_) {
    deflateEnd(&strm_);
    ready_ = false;
  }
  std::memset(&strm_, 0, sizeof strm_);
  if (deflateInit2(&strm_, level, Z_DEFLATED, -MAX_WBITS, mem_level_, Z_DEFAULT_STRATEGY) != Z_OK) {
    return false;
  }
  ready_ = true;
  level_ = level;
  return true;
}

void ZlibBlock::tune(int good_length, int max_lazy, int nice_length, int max_chain) {
  tuned_ = true;
  tuning_[0] = good_length;
  tuning_[1] = max_lazy;
  tuning_[2] = nice_length;
  tuning_[3] = max_chain;
}

std::size_t ZlibBlock::compress(int level, const unsigned char* history, std::size_t history_len,
                                const unsigned char* in, std::size_t in_len, bool last, unsigned char* out,
                                std::size_t out_capacity) {
  // A reset restores the level's own search parameters.
  if (!open(level) || deflateReset(&strm_) != Z_OK ||
      (tuned_ && deflateTune(&strm_, tuning_[0], tuning_[1], tuning_[2], tuning_[3]) != Z_OK)) {
    return 0;
  }
  if (history_len > 0 && deflateSetDictionary(&strm_, history, static_cast<uInt>(history_len)) != Z_OK) {
    return 0;
  }
  strm_.next_in = const_cast<unsigned char*>(in);
  strm_.avail_in = static_cast<uInt>(in_len);
  strm_.next_out = out;
  strm_.avail_out = static_cast<uInt>(out_capacity);
  const int rc = deflate(&strm_, last ? Z_FINISH : Z_SYNC_FLUSH);
  const bool complete = last ? rc == Z_STREAM_END : (rc == Z_OK && strm_.avail_out != 0);
  if (!complete || strm_.avail_in != 0) {
    return 0;
  }
  return out_capacity - strm_.avail_out;
}

std::size_t ZlibBlock::bound(std::size_t len) {
  // The sync flush's empty stored block and the final block's end marker.
  return compressBound(static_cast<uLong>(len)) + 64;
}

}  // namespace vexlo::archive
