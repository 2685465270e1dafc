// zlib's deflate for every block (ZlibBlock), at one fixed level.
#include "block_deflate.hpp"

#if VEXLO_DEFLATE_LIBDEFLATE
#error "block_deflate_zlib.cpp is the compressor of builds without VEXLO_DEFLATE_LIBDEFLATE"
#endif

#include "coder_pool.hpp"
#include "zlib_block.hpp"

namespace vexlo::archive {

namespace {

constexpr int kMemLevel = 8;  // zlib's default buffer size

}  // namespace

struct BlockDeflate::State {
  int level;
  ZlibBlock zlib{kMemLevel};
  std::uint64_t blocks = 0;
};

std::uint32_t BlockDeflate::crc32(std::uint32_t crc, const unsigned char* data, std::size_t len) {
  // Blocks are far below 4 GiB, so one call takes them whole.
  return static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(len)));
}

std::size_t BlockDeflate::output_bound(std::size_t block_size) {
  return ZlibBlock::bound(block_size);
}

BlockDeflate::Memory BlockDeflate::memory(const BlockCoding&, std::size_t) {
  return {ZlibBlock::memory(kMemLevel), 0};
}

std::unique_ptr<CoderPool> BlockDeflate::make_pool(std::size_t, std::size_t) {
  return nullptr;
}

BlockDeflate::BlockDeflate(const BlockCoding& coding, CoderPool*) : state_(std::make_unique<State>()) {
  const int level = checked_level(coding.level);
  // No adaptive rule here: every block at the fixed level, counted as `high`;
  // no other method to force.
  state_->level = level < 0 ? Z_DEFAULT_COMPRESSION : level;
  if ((coding.method && *coding.method != BlockMethod::high) || !state_->zlib.open(state_->level)) {
    state_.reset();
  }
}

BlockDeflate::~BlockDeflate() = default;

std::size_t BlockDeflate::compress(const unsigned char* history, std::size_t history_len,
                                   const unsigned char* in, std::size_t in_len, bool last, unsigned char* out,
                                   std::size_t out_capacity) {
  ++state_->blocks;
  return state_->zlib.compress(state_->level, history, history_len, in, in_len, last, out, out_capacity);
}

std::uint64_t BlockDeflate::blocks(BlockMethod method) const noexcept {
  return state_ && method == BlockMethod::high ? state_->blocks : 0;
}

int BlockDeflate::rows() noexcept {
  return 0;
}

std::uint64_t BlockDeflate::row_blocks(int) const noexcept {
  return 0;
}

const char* BlockDeflate::row_name(int) noexcept {
  return nullptr;
}

}  // namespace vexlo::archive
