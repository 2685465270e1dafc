#include "block_effort.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "literal_deflate.hpp"

namespace vexlo::archive {

namespace {

// Whether at most `symbols` byte values make up `share` of the `n` counted.
bool few_symbols_carry(const std::uint32_t (&counts)[256], std::size_t n, unsigned symbols, double share) {
  std::uint32_t sorted[256];
  std::copy(std::begin(counts), std::end(counts), sorted);
  std::partial_sort(sorted, sorted + symbols, std::end(sorted), std::greater<>());
  std::uint64_t carried = 0;
  for (unsigned i = 0; i < symbols; ++i) {
    carried += sorted[i];
  }
  return static_cast<double>(carried) >= share * static_cast<double>(n);
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

}  // namespace

EffortRule::EffortRule(libdeflate_compressor* probe, libdeflate_compressor* high)
    : probe_(probe),
      high_(high),
      sample_(kSlices * kSliceBytes),
      scratch_(libdeflate_deflate_compress_bound(nullptr, kSlices * kSliceBytes)),
      pairs_(256 * 256) {}

Effort EffortRule::choose(const unsigned char* in, std::size_t len) {
  if (len == 0) {
    return {Effort::Method::matches, kHighLevel};
  }
  const unsigned char* sample = in;
  std::size_t n = len;
  if (len > sample_.size()) {
    // Evenly spread slices, the first at the block's start and the last at
    // its end.
    for (unsigned k = 0; k < kSlices; ++k) {
      const std::size_t at = (len - kSliceBytes) * k / (kSlices - 1);
      std::memcpy(sample_.data() + k * kSliceBytes, in + at, kSliceBytes);
    }
    sample = sample_.data();
    n = sample_.size();
  }

  std::uint32_t counts[256] = {0};
  for (std::size_t i = 0; i < n; ++i) {
    ++counts[sample[i]];
  }
  // What the literal coder would write: a fitted code, or the bytes stored.
  const double literal_bytes = std::min(static_cast<double>(LiteralDeflate::literal_bits(counts)) / 8,
                                        static_cast<double>(LiteralDeflate::bound(n)));
  const std::size_t probe = compress(probe_, sample, n);
  if (probe != 0 && static_cast<double>(probe) >= kSequenceMinRatio * static_cast<double>(n) &&
      literal_bytes * 8 <= kSequenceBits * static_cast<double>(n) &&
      few_symbols_carry(counts, n, kSequenceSymbols, kSequenceShare)) {
    return {Effort::Method::matches, kNearOptimalLevel};
  }
  if (probe == 0 || literal_bytes <= kLiteralSlack * static_cast<double>(probe)) {
    return {Effort::Method::literals, 0};
  }
  if (order1_structured(sample, n, counts, 8 * static_cast<double>(probe) / static_cast<double>(n))) {
    return {Effort::Method::matches, kNearOptimalLevel};
  }
  if (static_cast<double>(probe) <= kSmallOutputRatio * static_cast<double>(n)) {
    return {Effort::Method::matches, kHighLevel};
  }
  const std::size_t high = compress(high_, sample, n);
  const double gain = (static_cast<double>(probe) - static_cast<double>(high)) / static_cast<double>(n);
  return {Effort::Method::matches, high != 0 && gain >= kHighGain ? kHighLevel : kLowLevel};
}

bool EffortRule::order1_structured(const unsigned char* sample, std::size_t n,
                                   const std::uint32_t (&counts)[256], double probe_bits) {
  if (n < 2 || probe_bits > kOrder1MaxBits) {
    return false;
  }
  const bool few_symbols = few_symbols_carry(counts, n, kReadsSymbols, kSequenceShare);
  if (probe_bits < (few_symbols ? kReadsBits : kNumbersBits)) {
    return false;
  }
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
  return order1 <= (few_symbols ? kReadsOrder1 : kNumbersOrder1) * order0;
}

std::size_t EffortRule::compress(libdeflate_compressor* compressor, const unsigned char* data,
                                 std::size_t n) {
  return libdeflate_deflate_compress(compressor, data, n, scratch_.data(), scratch_.size());
}

}  // namespace vexlo::archive
