// Compresses a file in blocks on one thread with each method named on the
// command line, the way the writer codes a block with it. Prints one JSON
// line per block: the effort rule's sample statistics, the row that fires and
// its method, the rule's CPU time, and per method [raw deflate bytes, joint
// included; CPU seconds]. Methods: a block method's name (block_method.hpp)
// is that method as the engine codes it; "ld:N" is libdeflate at level N, each
// block on its own and left open for the next; "z:N" is zlib at level N, each
// block primed with the 32 KiB before it and ended by a sync flush;
// "zt:G,L,N,C" is zlib with deflateTune's good, lazy, nice and chain lengths;
// "w" is the word coder (WordDeflate), primed like zlib. bench/bench_effort.py
// runs it to compare the methods the effort rule chooses between.
#include <libdeflate.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "vexlo/server/misc/cache_packer/archive/block_deflate.hpp"
#include "vexlo/server/misc/cache_packer/archive/block_effort.hpp"
#include "vexlo/server/misc/cache_packer/archive/deflate_joint.hpp"
#include "vexlo/server/misc/cache_packer/archive/word_deflate.hpp"
#include "vexlo/server/misc/cache_packer/archive/zlib_block.hpp"

using vexlo::archive::EffortRule;
using vexlo::archive::SampleStats;

namespace {

double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One block method, run block after block over a file through the engine's
// own coders: libdeflate left open by the DeflateJoint, ZlibBlock, WordDeflate.
class Method {
 public:
  explicit Method(const std::string& name) : name_(name) {
    int tune[4];
    const bool tuned =
        std::sscanf(name.c_str(), "zt:%d,%d,%d,%d", &tune[0], &tune[1], &tune[2], &tune[3]) == 4;
    if (const auto method = vexlo::archive::method_named(name)) {
      engine_ = std::make_unique<vexlo::archive::BlockDeflate>(
          vexlo::archive::BlockCoding{vexlo::archive::kAdaptiveLevel, method});
      ok_ = engine_->ready();
    } else if (tuned || name.rfind("z:", 0) == 0) {
      // As the writer's zlib method: zlib's largest hash and symbol buffer.
      zlib_ = std::make_unique<vexlo::archive::ZlibBlock>(MAX_MEM_LEVEL);
      level_ = tuned ? 9 : std::atoi(name.c_str() + 2);
      if (tuned) {
        zlib_->tune(tune[0], tune[1], tune[2], tune[3]);
      }
      ok_ = zlib_->open(level_);
    } else if (name == "w") {
      words_ = std::make_unique<vexlo::archive::WordDeflate>();
      ok_ = words_->ready();
    } else if (name.rfind("ld:", 0) == 0) {
      ld_ = libdeflate_alloc_compressor(std::atoi(name.c_str() + 3));
      ok_ = ld_ != nullptr;
    }
  }
  ~Method() {
    if (ld_ != nullptr) {
      libdeflate_free_compressor(ld_);
    }
  }
  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }

  // Raw deflate bytes for the block at `at` of `data` (`n` bytes), coded as
  // the writer codes it, or 0 on failure.
  std::size_t run(const std::vector<unsigned char>& data, std::size_t at, std::size_t n) {
    const bool last = at + n == data.size();
    const std::size_t history = std::min(at, vexlo::archive::kWindow);
    const unsigned char* in = data.data() + at;
    if (engine_) {
      out_.resize(vexlo::archive::BlockDeflate::output_bound(n));
      return engine_->compress(in - history, history, in, n, last, out_.data(), out_.size());
    }
    if (words_) {
      out_.resize(vexlo::archive::WordDeflate::bound(n));
      return words_->compress(in - history, history, in, n, last, out_.data(), out_.size());
    }
    if (zlib_) {
      out_.resize(vexlo::archive::ZlibBlock::bound(n));
      return zlib_->compress(level_, in - history, history, in, n, last, out_.data(), out_.size());
    }
    using vexlo::archive::DeflateJoint;
    out_.resize(libdeflate_deflate_compress_bound(nullptr, n) + DeflateJoint::kExtraBytes);
    const std::size_t size =
        libdeflate_deflate_compress(ld_, in, n, out_.data(), out_.size() - DeflateJoint::kExtraBytes);
    return size != 0 && !last ? DeflateJoint::leave_open(out_.data(), size) : size;
  }

 private:
  std::string name_;
  bool ok_ = false;
  int level_ = 9;
  libdeflate_compressor* ld_ = nullptr;
  std::unique_ptr<vexlo::archive::ZlibBlock> zlib_;
  std::unique_ptr<vexlo::archive::WordDeflate> words_;
  std::unique_ptr<vexlo::archive::BlockDeflate> engine_;  // a block method by name
  std::vector<unsigned char> out_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(
        stderr,
        "usage: %s INPUT BLOCK_SIZE METHOD...  (METHOD: a block method's name, ld:N, z:N, zt:G,L,N,C or w)\n",
        argv[0]);
    return 2;
  }
  std::vector<unsigned char> data;
  if (std::FILE* f = std::fopen(argv[1], "rb")) {
    unsigned char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
      data.insert(data.end(), buffer, buffer + n);
    }
    std::fclose(f);
  } else {
    std::perror(argv[1]);
    return 2;
  }
  const std::size_t block = static_cast<std::size_t>(std::atol(argv[2]));
  std::vector<std::unique_ptr<Method>> methods;
  for (int i = 3; i < argc; ++i) {
    methods.push_back(std::make_unique<Method>(argv[i]));
    if (!methods.back()->ok()) {
      std::fprintf(stderr, "unknown method %s\n", argv[i]);
      return 2;
    }
  }
  libdeflate_compressor* probe = libdeflate_alloc_compressor(EffortRule::kProbeLevel);
  libdeflate_compressor* high = libdeflate_alloc_compressor(EffortRule::kHighLevel);
  EffortRule rule(probe, high);
  for (std::size_t at = 0, index = 0; at < data.size(); at += block, ++index) {
    const std::size_t n = std::min(block, data.size() - at);
    const double t0 = thread_seconds();
    SampleStats stats = rule.measure(data.data() + at, n);
    const int row = rule.row(stats);
    const double rule_s = thread_seconds() - t0;
    std::printf(
        "{\"block\": %zu, \"bytes\": %zu, \"row\": \"%s\", \"method\": \"%s\", \"rule_s\": %.5f, "
        "\"literal_bits\": %.4f, \"probe_bits\": %.4f, \"high_bits\": %.4f, \"zero_share\": %.4f, "
        "\"text_share\": %.4f, \"top12_share\": %.4f, \"top40_share\": %.4f, \"order1_ratio\": %.4f, "
        "\"words8_ratio\": %.4f, \"methods\": {",
        index, n, EffortRule::row_name(row), vexlo::archive::method_name(EffortRule::method(row)), rule_s,
        stats.literal_bits, stats.probe_bits, stats.high_bits, stats.zero_share, stats.text_share,
        stats.top12_share, stats.top40_share, stats.order1_ratio, stats.words8_ratio);
    for (std::size_t m = 0; m < methods.size(); ++m) {
      const double t1 = thread_seconds();
      const std::size_t size = methods[m]->run(data, at, n);
      const double cpu = thread_seconds() - t1;
      if (size == 0) {
        std::fprintf(stderr, "%s failed\n", methods[m]->name().c_str());
        return 1;
      }
      std::printf("%s\"%s\": [%zu, %.5f]", m == 0 ? "" : ", ", methods[m]->name().c_str(), size, cpu);
    }
    std::printf("}}\n");
  }
  libdeflate_free_compressor(probe);
  libdeflate_free_compressor(high);
  return 0;
}
