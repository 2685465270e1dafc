#include "block_effort.hpp"

#include <libdeflate.h>

#include <algorithm>
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

}  // namespace

EffortRule::EffortRule(libdeflate_compressor* probe, libdeflate_compressor* high)
    : probe_(probe),
      high_(high),
      sample_(kSlices * kSliceBytes),
      scratch_(libdeflate_deflate_compress_bound(nullptr, kSlices * kSliceBytes)) {}

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
    return {Effort::Method::matches, kSequenceLevel};
  }
  if (probe == 0 || literal_bytes <= kLiteralSlack * static_cast<double>(probe)) {
    return {Effort::Method::literals, 0};
  }
  const std::size_t high = compress(high_, sample, n);
  const double gain = (static_cast<double>(probe) - static_cast<double>(high)) / static_cast<double>(n);
  return {Effort::Method::matches, high != 0 && gain >= kHighGain ? kHighLevel : kLowLevel};
}

std::size_t EffortRule::compress(libdeflate_compressor* compressor, const unsigned char* data,
                                 std::size_t n) {
  return libdeflate_deflate_compress(compressor, data, n, scratch_.data(), scratch_.size());
}

}  // namespace vexlo::archive
