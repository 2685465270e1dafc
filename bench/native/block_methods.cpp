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
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "vexlo/server/misc/cache_packer/archive/block_deflate.hpp"
#include "vexlo/server/misc/cache_packer/archive/block_effort.hpp"
#include "vexlo/server/misc/cache_packer/archive/deflate_joint.hpp"
#include "vexlo/server/misc/cache_packer/archive/word_deflate.hpp"

using vexlo::archive::EffortRule;
using vexlo::archive::SampleStats;

namespace {

double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

constexpr std::size_t kWindow = 32 * 1024;

// One block method, run block after block over a file.
class Method {
 public:
  explicit Method(const std::string& name) : name_(name) {
    std::memset(&strm_, 0, sizeof strm_);
    zlib_ = std::sscanf(name.c_str(), "zt:%d,%d,%d,%d", &tune_[0], &tune_[1], &tune_[2], &tune_[3]) == 4;
    tuned_ = zlib_;
    if (const auto method = vexlo::archive::method_named(name)) {
      engine_ = std::make_unique<vexlo::archive::BlockDeflate>(
          vexlo::archive::BlockCoding{vexlo::archive::kAdaptiveLevel, method});
    } else if (!tuned_ && name.rfind("z:", 0) == 0) {
      zlib_ = true;
      level_ = std::atoi(name.c_str() + 2);
    } else if (name == "w") {
      words_ = std::make_unique<vexlo::archive::WordDeflate>();
    } else if (!tuned_ && name.rfind("ld:", 0) == 0) {
      level_ = std::atoi(name.c_str() + 3);
      ld_ = libdeflate_alloc_compressor(level_);
    }
    ok_ = zlib_     ? deflateInit2(&strm_, level_, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) == Z_OK
          : engine_ ? engine_->ready()
          : words_  ? words_->ready()
                    : ld_ != nullptr;
  }
  ~Method() {
    if (ld_ != nullptr) {
      libdeflate_free_compressor(ld_);
    }
    if (zlib_ && ok_) {
      deflateEnd(&strm_);
    }
  }
  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }

  // Raw deflate bytes for the block at `at` of `data` (`n` bytes), coded as
  // the writer codes it, or 0 on failure.
  std::size_t run(const std::vector<unsigned char>& data, std::size_t at, std::size_t n) {
    const bool last = at + n == data.size();
    const std::size_t history = std::min(at, kWindow);
    if (engine_) {
      out_.resize(vexlo::archive::BlockDeflate::output_bound(n));
      return engine_->compress(data.data() + at - history, history, data.data() + at, n, last, out_.data(),
                               out_.size());
    }
    if (words_) {
      out_.resize(vexlo::archive::WordDeflate::bound(n));
      return words_->compress(data.data() + at - history, history, data.data() + at, n, last, out_.data(),
                              out_.size());
    }
    out_.resize(
        std::max(libdeflate_deflate_compress_bound(nullptr, n), compressBound(static_cast<uLong>(n))) + 64);
    if (!zlib_) {
      std::size_t size = libdeflate_deflate_compress(ld_, data.data() + at, n, out_.data(),
                                                     out_.size() - vexlo::archive::DeflateJoint::kExtraBytes);
      return size != 0 && !last ? vexlo::archive::DeflateJoint::leave_open(out_.data(), size) : size;
    }
    deflateReset(&strm_);
    if (tuned_) {
      deflateTune(&strm_, tune_[0], tune_[1], tune_[2], tune_[3]);
    }
    if (history > 0) {
      deflateSetDictionary(&strm_, data.data() + at - history, static_cast<uInt>(history));
    }
    strm_.next_in = const_cast<unsigned char*>(data.data() + at);
    strm_.avail_in = static_cast<uInt>(n);
    strm_.next_out = out_.data();
    strm_.avail_out = static_cast<uInt>(out_.size());
    deflate(&strm_, last ? Z_FINISH : Z_SYNC_FLUSH);
    return out_.size() - strm_.avail_out;
  }

 private:
  std::string name_;
  bool zlib_ = false;
  bool tuned_ = false;
  bool ok_ = false;
  int level_ = 9;
  int tune_[4] = {};
  libdeflate_compressor* ld_ = nullptr;
  std::unique_ptr<vexlo::archive::WordDeflate> words_;
  std::unique_ptr<vexlo::archive::BlockDeflate> engine_;  // a block method by name
  z_stream strm_;
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
