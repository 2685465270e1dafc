#include "block_effort.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>

#include "literal_deflate.hpp"

namespace vexlo::archive {

namespace {

// Share of the `n` counted that the `symbols` most frequent byte values carry.
double top_share(const std::uint32_t (&counts)[256], std::size_t n, unsigned symbols) {
  std::uint32_t sorted[256];
  std::copy(std::begin(counts), std::end(counts), sorted);
  std::partial_sort(sorted, sorted + symbols, std::end(sorted), std::greater<>());
  std::uint64_t carried = 0;
  for (unsigned i = 0; i < symbols; ++i) {
    carried += sorted[i];
  }
  return static_cast<double>(carried) / static_cast<double>(n);
}

// Where slice `k` of a `len`-byte block's sample starts: evenly spread, the
// first at the block's start and the last at its end.
std::size_t slice_at(std::size_t len, unsigned k) {
  return (len - EffortRule::kSliceBytes) * k / (EffortRule::kSlices - 1);
}

// Sum of c * log2(c) over the counts, the part of an entropy that depends on
// them: n * H = n * log2(n) - sum.
template <typename Count>
double sum_c_log_c(const Count* counts, std::size_t size) {
  double sum = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (counts[i] > 1) {
      sum += counts[i] * std::log2(static_cast<double>(counts[i]));
    }
  }
  return sum;
}

// "Mostly zeros": the share of 0 bytes at which the rows below read the
// sample as integers, labels or padding among zeros, and measure() counts
// words8_ratio.
constexpr double kZeroShare = 0.75;
// Counting the sample's byte pairs costs a few percent of level 6, so
// order1_ratio is counted only where a row reads it: mostly zeros, or probe
// bits from the least bound of `numbers` and `reads` to above their blocks'.
constexpr double kOrder1MinBits = 1.5;
constexpr double kOrder1MaxBits = 4.0;

struct Row {
  const char* name;
  BlockMethod method;
  bool (*applies)(const SampleStats&);
  bool needs_high = false;  // the predicate reads high_bits
};

// The rule, first row that applies. Each row's thresholds sit in its
// predicate and its why above it; [name] is its section of bench/EFFORT.md,
// `python bench/bench_effort.py --write`: per corpus, the sample statistics of
// the blocks it took and every method's size and CPU there against zlib 9.
const Row kTable[] = {
    // [empty] The last block when the input ends on a block boundary.
    {"empty", BlockMethod::high, [](const SampleStats& s) { return s.bytes == 0; }},
    // [sequence] A dozen byte values and a match candidate almost everywhere (nucleotides): level 10's
    // parsing beats zlib 9's chains. Before `literals`, whose code cannot see repeats.
    {"sequence", BlockMethod::near_optimal,
     [](const SampleStats& s) {
       return s.top12_share >= 0.99 && s.probe_bits >= 1.6 && s.probe_bits < 8 && s.literal_bits <= 3.2;
     }},
    // [literals] A matcher barely shrinks it (floats, JPEG, compressed data): a fitted code or
    // storing comes close in a tenth of the time.
    {"literals", BlockMethod::literals,
     [](const SampleStats& s) { return s.literal_bits <= 1.002 * s.probe_bits; }},
    // [numbers] Binary numbers whose bytes foretell the next (rounded doubles): level 8 ends near
    // zlib 9, level 10 well below; the probe bound keeps out database pages and code.
    {"numbers", BlockMethod::near_optimal,
     [](const SampleStats& s) {
       return s.top40_share < 0.99 && s.probe_bits >= 2.0 && s.order1_ratio <= 0.4;
     }},
    // [reads] Sequencing reads, small alphabets interleaved: level 10 below zlib 9 where level 8 is
    // above; the 40-symbol bound keeps out text, where level 10 costs several times.
    {"reads", BlockMethod::near_optimal,
     [](const SampleStats& s) {
       return s.top40_share >= 0.99 && s.probe_bits >= 1.5 && s.order1_ratio <= 0.55;
     }},
    // [words] Small integers in 8-byte words (int64 counts, codes): the word coder beats or matches
    // zlib 9 at a fraction of its CPU; larger values (`larger`'s) and long runs (`sparse`'s) not.
    {"words", BlockMethod::words,
     [](const SampleStats& s) {
       return s.zero_share >= kZeroShare && s.words8_ratio >= 0.75 && s.probe_bits >= 0.45 &&
              s.probe_bits <= 2.4 && (s.order1_ratio >= 0.8 || s.probe_bits < 1.2);
     }},
    // [integers] Small integers in 4-byte words, or near-random ones: the byte before tells little, and
    // level 10 beats zlib 9 at a fraction of its CPU. The probe bound keeps out rare flags.
    {"integers", BlockMethod::near_optimal,
     [](const SampleStats& s) {
       return s.zero_share >= kZeroShare && s.order1_ratio >= 0.8 && s.probe_bits >= 0.6;
     }},
    // [larger] Larger integers in wide words, still mostly zeros: level 10 beats zlib 9 at a third
    // of its CPU, level 8 does not.
    {"larger", BlockMethod::near_optimal,
     [](const SampleStats& s) { return s.zero_share >= kZeroShare && s.probe_bits >= 1.2; }},
    // [text0] Text among zeros (small files' headers and padding): level 8 comes nearest zlib 9 of
    // libdeflate's levels, at a fifth of its CPU.
    {"text0", BlockMethod::high,
     [](const SampleStats& s) { return s.zero_share >= kZeroShare && s.text_share >= 0.9; }},
    // [sparse] The other mostly-zero data (one-hot labels, flags, masks): long periodic repeats that
    // only zlib's deep chains find; libdeflate's levels end larger.
    {"sparse", BlockMethod::zlib, [](const SampleStats& s) { return s.zero_share >= kZeroShare; }},
    // [tiny] The probe leaves under a sixteenth (masks, repetitive records): little is left at any
    // level, and level 8 ends far closer to zlib 9 than level 6, at a few ms a MiB.
    {"tiny", BlockMethod::high, [](const SampleStats& s) { return s.probe_bits <= 8 * (1.0 / 16); }},
    // [gain] Level 8 gains a fifth of a percent of the input over the probe: size first, as it
    // gains as much where level 6 loses to zlib 9 as where it wins.
    {"gain", BlockMethod::high, [](const SampleStats& s) { return s.probe_bits - s.high_bits >= 8 * 0.002; },
     true},
    // [low] The rest: level 6 comes within a percent of zlib 9, or under it, at a fraction of its CPU.
    {"low", BlockMethod::low, [](const SampleStats&) { return true; }},
};
constexpr int kRows = static_cast<int>(std::size(kTable));

}  // namespace

int EffortRule::rows() {
  return kRows;
}

const char* EffortRule::row_name(int row) {
  return row >= 0 && row < kRows ? kTable[row].name : "?";
}

BlockMethod EffortRule::method(int row) {
  return kTable[row].method;
}

EffortRule::EffortRule(libdeflate_compressor* probe, libdeflate_compressor* high)
    : probe_(probe),
      high_(high),
      sample_(kSlices * kSliceBytes),
      scratch_(libdeflate_deflate_compress_bound(nullptr, kSlices * kSliceBytes)),
      pairs_(256 * 256) {}

SampleStats EffortRule::measure(const unsigned char* in, std::size_t len) {
  SampleStats s;
  sample_at_ = in;
  s.bytes = len;
  if (len == 0) {
    return s;
  }
  if (len > sample_.size()) {
    for (unsigned k = 0; k < kSlices; ++k) {
      std::memcpy(sample_.data() + k * kSliceBytes, in + slice_at(len, k), kSliceBytes);
    }
    sample_at_ = sample_.data();
    s.bytes = sample_.size();
  }
  const std::size_t n = s.bytes;
  const double bytes = static_cast<double>(n);
  std::uint32_t counts[256] = {0};
  for (std::size_t i = 0; i < n; ++i) {
    ++counts[sample_at_[i]];
  }
  s.literal_bits = 8 *
                   std::min(static_cast<double>(LiteralDeflate::literal_bits(counts)) / 8,
                            static_cast<double>(LiteralDeflate::bound(n))) /
                   bytes;
  const std::size_t probe = compress(probe_, sample_at_, n);
  s.probe_bits = probe == 0 ? 8 : 8 * static_cast<double>(probe) / bytes;
  s.zero_share = counts[0] / bytes;
  std::uint64_t text = 0;
  for (int c = 0x20; c < 0x7f; ++c) {
    text += counts[c];
  }
  s.text_share = counts[0] < n ? static_cast<double>(text) / static_cast<double>(n - counts[0]) : 0;
  s.top12_share = top_share(counts, n, 12);
  s.top40_share = top_share(counts, n, 40);
  if (s.zero_share >= kZeroShare) {
    s.words8_ratio = words8_ratio(in, len);
  }
  if (n >= 2 && s.probe_bits <= kOrder1MaxBits &&
      (s.probe_bits >= kOrder1MinBits || s.zero_share >= kZeroShare)) {
    s.order1_ratio = order1_ratio(sample_at_, n, counts);
  }
  return s;
}

int EffortRule::row(SampleStats& stats) {
  for (int r = 0; r < kRows; ++r) {
    if (kTable[r].needs_high && stats.high_bits < 0) {
      const std::size_t high = compress(high_, sample_at_, stats.bytes);
      stats.high_bits = high == 0 ? 8 : 8 * static_cast<double>(high) / static_cast<double>(stats.bytes);
    }
    if (kTable[r].applies(stats)) {
      return r;
    }
  }
  return kRows - 1;
}

BlockMethod EffortRule::choose(const unsigned char* in, std::size_t len, int* fired) {
  SampleStats stats = measure(in, len);
  const int r = row(stats);
  if (fired != nullptr) {
    *fired = r;
  }
  return kTable[r].method;
}

double EffortRule::words8_ratio(const unsigned char* in, std::size_t len) const {
  // Over the sample's slices, by their bytes' positions in the block.
  std::uint64_t nonzero[8] = {0};
  const bool whole = len <= sample_.size();
  for (unsigned k = 0; k < (whole ? 1 : kSlices); ++k) {
    const std::size_t at = whole ? 0 : slice_at(len, k);
    const std::size_t n = whole ? len : kSliceBytes;
    for (std::size_t i = 0; i < n; ++i) {
      nonzero[(at + i) & 7] += in[at + i] != 0;
    }
  }
  std::uint64_t by8 = 0;
  std::uint64_t by4 = 0;
  for (unsigned r = 0; r < 4; ++r) {
    by8 = std::max({by8, nonzero[r], nonzero[r + 4]});
    by4 = std::max(by4, nonzero[r] + nonzero[r + 4]);
  }
  return by4 > 0 ? static_cast<double>(by8) / static_cast<double>(by4) : 0;
}

double EffortRule::order1_ratio(const unsigned char* sample, std::size_t n,
                                const std::uint32_t (&counts)[256]) {
  std::fill(pairs_.begin(), pairs_.end(), 0);
  for (std::size_t i = 1; i < n; ++i) {
    ++pairs_[sample[i - 1] * 256u + sample[i]];
  }
  // The pairs' first bytes are the sample less its last byte.
  std::uint32_t firsts[256];
  std::copy(std::begin(counts), std::end(counts), firsts);
  --firsts[sample[n - 1]];
  const double m = static_cast<double>(n - 1);
  const double order0 = std::log2(static_cast<double>(n)) - sum_c_log_c(counts, 256) / static_cast<double>(n);
  const double order1 = (sum_c_log_c(firsts, 256) - sum_c_log_c(pairs_.data(), pairs_.size())) / m;
  return order0 > 0 ? order1 / order0 : 1;
}

std::size_t EffortRule::compress(libdeflate_compressor* compressor, const unsigned char* data,
                                 std::size_t n) {
  return libdeflate_deflate_compress(compressor, data, n, scratch_.data(), scratch_.size());
}

}  // namespace vexlo::archive
