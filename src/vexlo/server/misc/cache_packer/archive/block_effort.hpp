#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "block_method.hpp"

struct libdeflate_compressor;

namespace vexlo::archive {

// What the rule reads off a block's sample, measured once per block. The
// sample is kSlices slices of kSliceBytes spread over the block, about 6% of
// a 1 MiB block; smaller blocks are sampled whole.
struct SampleStats {
  std::size_t bytes = 0;    // sample length
  double literal_bits = 0;  // per byte: a fitted literal code, or stored
  double probe_bits = 0;    // per byte: libdeflate at kProbeLevel (8: no output)
  double zero_share = 0;    // share of bytes that are 0
  double text_share = 0;    // share of the other bytes that are printable ASCII
  double top12_share = 0;   // share of the 12 most frequent byte values
  double top40_share = 0;   // share of the 40 most frequent
  double order1_ratio = 1;  // order-1 entropy over order-0; 1 when not counted
  // The non-zero bytes' most frequent position in the block mod 8, over
  // their most frequent mod 4: 1 for values in 8-byte words, 0.5 in 4-byte
  // ones; 0 when not counted (fewer than kZeroShare zeros).
  double words8_ratio = 0;
  double high_bits = -1;  // per byte at kHighLevel; -1 until a row asks
};

// How much work each block of the archive gets: one ordered table of rows
// (block_effort.cpp), the first whose predicate holds on the block's sample
// choosing its method, so that the same input always gives the same archive
// whatever the number of threads. Measured on tar streams of what notebook
// caches hold with bench/bench_effort.py (rows per corpus, each method's size
// and CPU against zlib 9: bench/EFFORT.md) and bench/bench_writer.py (time
// against one `libdeflate-gzip -8` thread per CPU).
class EffortRule {
 public:
  // The probe's level, and the libdeflate and zlib levels of the methods.
  static constexpr int kProbeLevel = 5;
  static constexpr int kLowLevel = 6;
  static constexpr int kHighLevel = 8;
  static constexpr int kNearOptimalLevel = 10;
  static constexpr int kZlibLevel = 9;
  static constexpr unsigned kSlices = 4;
  static constexpr std::size_t kSliceBytes = 16 * 1024;

  // The table's rows, in order, and their names ("?" out of range).
  static int rows();
  static const char* row_name(int row);

  // `probe` and `high` compress at kProbeLevel and kHighLevel; they stay
  // owned by the caller.
  EffortRule(libdeflate_compressor* probe, libdeflate_compressor* high);

  // The statistics of `in`'s sample, and the row that fires for them
  // (which may fill in high_bits).
  SampleStats measure(const unsigned char* in, std::size_t len);
  int row(SampleStats& stats);
  static BlockMethod method(int row);

  // measure(), then row(); the row is left in `*fired` when given.
  BlockMethod choose(const unsigned char* in, std::size_t len, int* fired = nullptr);

 private:
  std::size_t compress(libdeflate_compressor* compressor, const unsigned char* data, std::size_t n);
  double order1_ratio(const unsigned char* sample, std::size_t n, const std::uint32_t (&counts)[256]);
  double words8_ratio(const unsigned char* in, std::size_t len) const;

  libdeflate_compressor* probe_;
  libdeflate_compressor* high_;
  const unsigned char* sample_at_ = nullptr;  // the sample measure() took last
  std::vector<unsigned char> sample_;
  std::vector<unsigned char> scratch_;
  std::vector<std::uint16_t> pairs_;  // counts of the sample's byte pairs
  static_assert(kSlices * kSliceBytes <= 65536, "a pair count must fit pairs_");
};

}  // namespace vexlo::archive
