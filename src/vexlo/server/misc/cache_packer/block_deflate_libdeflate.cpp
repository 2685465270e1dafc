// libdeflate: several times zlib's speed at level 9 and smaller output, but
// whole buffers only, with no history and always a final block. Each block is
// compressed on its own and left open for the next (DeflateJoint); the lost
// history costs little at the block size used.
#include "block_deflate.hpp"

#if !VEXLO_DEFLATE_LIBDEFLATE
#error "block_deflate_libdeflate.cpp is the compressor of builds with VEXLO_DEFLATE_LIBDEFLATE"
#endif

#include <libdeflate.h>

#include <algorithm>

#include "deflate_joint.hpp"

namespace vexlo::archive {

namespace {

struct FreeCompressor {
  void operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }
};

}  // namespace

struct BlockDeflate::State {
  std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor;
  DeflateJoint joint;
};

std::size_t BlockDeflate::output_bound(std::size_t block_size) {
  return libdeflate_deflate_compress_bound(nullptr, block_size) + DeflateJoint::kExtraBytes;
}

BlockDeflate::BlockDeflate(int level) : state_(std::make_unique<State>()) {
  state_->compressor.reset(libdeflate_alloc_compressor(std::clamp(level, 0, kMaxLevel)));
  if (!state_->compressor || !state_->joint.ready()) {
    state_.reset();
  }
}

BlockDeflate::~BlockDeflate() = default;

std::size_t BlockDeflate::compress(const unsigned char*, std::size_t, const unsigned char* in,
                                   std::size_t in_len, bool last, unsigned char* out,
                                   std::size_t out_capacity) {
  if (out_capacity < DeflateJoint::kExtraBytes) {
    return 0;
  }
  const std::size_t n = libdeflate_deflate_compress(state_->compressor.get(), in, in_len, out,
                                                    out_capacity - DeflateJoint::kExtraBytes);
  if (n == 0 || last) {
    return n;
  }
  return state_->joint.leave_open(out, n);
}

}  // namespace vexlo::archive
