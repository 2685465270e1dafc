// Compresses a file the way the libdeflate writer does, block by block on one
// thread, timing the compression and the joint's block walk apart. Prints
// one JSON line: {"compress_s", "walk_s", "gzip_bytes"}.
#include <libdeflate.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "vexlo/server/misc/cache_packer/archive/deflate_joint.hpp"

namespace {

double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s INPUT LEVEL BLOCK_SIZE\n", argv[0]);
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(std::atoi(argv[2]));
  if (in == nullptr || compressor == nullptr) {
    std::fprintf(stderr, "cannot open %s or set up the compressor\n", argv[1]);
    return 2;
  }
  const std::size_t block = static_cast<std::size_t>(std::atol(argv[3]));
  std::vector<unsigned char> buffer(block);
  std::vector<unsigned char> next(block);
  std::vector<unsigned char> out(libdeflate_deflate_compress_bound(compressor, block) +
                                 vexlo::archive::DeflateJoint::kExtraBytes);
  double compress_s = 0;
  double walk_s = 0;
  std::size_t total = 10 + 8;  // gzip header and trailer
  std::size_t n = std::fread(buffer.data(), 1, block, in);
  for (;;) {
    // Read ahead: only the last block stays a complete stream.
    const std::size_t next_n = n == block ? std::fread(next.data(), 1, block, in) : 0;
    const double t0 = thread_seconds();
    std::size_t size = libdeflate_deflate_compress(compressor, buffer.data(), n, out.data(),
                                                   out.size() - vexlo::archive::DeflateJoint::kExtraBytes);
    const double t1 = thread_seconds();
    if (next_n > 0) {
      size = vexlo::archive::DeflateJoint::leave_open(out.data(), size);
    }
    walk_s += thread_seconds() - t1;
    compress_s += t1 - t0;
    if (size == 0) {
      std::fprintf(stderr, "block failed\n");
      return 1;
    }
    total += size;
    if (next_n == 0) {
      break;
    }
    buffer.swap(next);
    n = next_n;
  }
  std::printf("{\"compress_s\": %.3f, \"walk_s\": %.3f, \"gzip_bytes\": %zu}\n", compress_s, walk_s, total);
  libdeflate_free_compressor(compressor);
  std::fclose(in);
  return 0;
}
