// Prints, for each of libdeflate's levels, what libdeflate_alloc_compressor()
// allocates there (mallinfo2 around the call: heap in use and mapped blocks)
// and what the writer's memory budget counts for a compressor at that level
// (BlockDeflate::memory), one line each: "level allocated counted".
#include <libdeflate.h>
#include <malloc.h>

#include <cstddef>
#include <cstdio>
#include <optional>

#include "vexlo/server/misc/cache_packer/archive/block_deflate.hpp"

namespace archive = vexlo::archive;

namespace {

std::size_t in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

}  // namespace

int main() {
  for (int level = 0; level <= archive::BlockDeflate::kMaxLevel; ++level) {
    const std::size_t before = in_use();
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    const std::size_t allocated = in_use() - before;
    if (compressor == nullptr) {
      std::fprintf(stderr, "libdeflate_alloc_compressor(%d) failed\n", level);
      return 1;
    }
    libdeflate_free_compressor(compressor);
    const archive::BlockCoding coding{level, std::nullopt};
    std::printf("%d %zu %zu\n", level, allocated, archive::BlockDeflate::memory(coding, 1 << 20).own);
  }
  return 0;
}
