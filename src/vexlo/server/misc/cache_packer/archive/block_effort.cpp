#include "block_effort.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

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

// ---------------------------------------------------------------- the table
//
// Each constant below names the figure that chose it; "effort" is
// `python bench/bench_effort.py` (its --methods compares the methods per
// block), "writer" is `python bench/bench_writer.py`.
//
// empty      An empty block (the last, after input ending on a block
//            boundary): any matcher, nothing to measure.
// sequence   Sequence-like bytes: a dozen byte values carry nearly all of the
//            sample (nucleotides, masked or not) and a matcher still leaves a
//            fifth of it, so a candidate match of a few bytes starts at almost
//            every position. zlib 9 walks 4096 of them and beats level 8 by
//            1-3%; level 10 (binary trees, near-optimal parsing) beats zlib 9
//            by 3-4% in about level 8's time (effort --methods, size/CPU of
//            z:9: sequences ld:8 1.030/0.38, ld:10 0.966/0.39; genome ld:8
//            0.972/0.27, ld:10 0.960/0.25). Checked before the literal test:
//            a code fitted to the sample cannot see repeats up to 32 KiB back.
//            The probe bound keeps out masks and labels (long matches, where
//            level 10 costs several times level 8), the literal bound words
//            over a small alphabet (3.4 bits; level 10 at 3.4 times level 8
//            and not needed to beat zlib 9).
// literals   Bytes a matcher barely shrinks (floats, JPEG, compressed or
//            random data) cost libdeflate 9-13 ms per MiB at any level for a
//            gain under 1%; a fitted code (or storing) within kLiteralSlack of
//            the probe gets within about 0.5% in a tenth of the time.
// numbers    Numbers stored in binary (float64 columns rounded to a few
//            decimals, mixed numeric records): each byte depends strongly on
//            the one before (order-1 entropy at most kNumbersOrder1 of
//            order-0) and the probe leaves at least kNumbersBits a byte.
//            Level 8 ends 1-10% larger than zlib 9 there and is at its
//            slowest (up to 200 ms per MiB); level 10 ends 3-8% smaller in
//            about half to three quarters of that (effort --methods, mixed:
//            ld:8 1.009/0.44, ld:10 0.947/0.32 size/CPU of z:9). Database
//            pages and machine code come close on order-1 but compress
//            further, and take level 10 at 2-3 times level 8: the probe bound
//            keeps them out.
// reads      Sequencing reads, records interleaving small alphabets (bases,
//            quality scores): 40 byte values carry kSequenceShare, order-1 at
//            most kReadsOrder1 of order-0, the probe at least kReadsBits a
//            byte. Level 8 ends up to 2% larger than zlib 9 there; level 10
//            ends 3-4% smaller at 2-3 times level 8's CPU, 0.6-0.7 of zlib
//            9's (effort --methods, size/CPU of z:9: sequences ld:8
//            1.017/0.22, ld:10 0.971/0.71; fastq ld:8 1.002/0.27, ld:10
//            0.956/0.57). The symbol bound keeps out text, where it costs 3-7
//            times.
// words      Small integers in 8-byte words (int64 counts, category codes,
//            ids): at least kZeroShare of the bytes are 0, the value bytes
//            repeat every 8 bytes, not every 4 (words8_ratio at least
//            kWords8Ratio: 1.0 for int64, 0.5 for int32, float32 and bytes)
//            and the probe leaves kWordsMinBits to kWordsBits a byte. Level 8
//            ends 3-11% larger than zlib 9 there and level 10 costs 2-9 times
//            level 8 (1.5 times zlib 9 on a random walk and on zero-inflated
//            counts); the word coder ends 0.4-6% smaller than zlib 9 at
//            0.02-0.41 of its CPU (effort --methods, size/CPU of z:9:
//            poisson_i64 ld:8 1.062/0.20, ld:10 0.918/0.76, w 0.974/0.17;
//            codes_i64 w 0.962/0.05; zipf_i64 w 0.974/0.05; uniform_codes_i64
//            ld:8 1.112/0.06, w 0.996/0.02; walk_i64 ld:10 0.857/1.45, w
//            0.941/0.12; zero_inflated_i64 ld:10 0.984/1.49, w 0.969/0.41;
//            logs' int64 blocks ld:10 0.943/0.33, w 0.967/0.04; ml's w
//            0.980/0.16). Where the byte before tells more (order-1 under
//            kIntegersOrder1: larger values) only below kLargerBits; above,
//            level 10 (`larger`). Above kWordsBits the values are close to
//            random (ml's 2-byte ids: probe 2.8, w 1.010, ld:10 0.955 at level
//            8's CPU): level 10, below.
// integers   Small integers in 4-byte words, and 8-byte ones of near-random
//            values: the same but for the words, the byte before telling
//            little (order-1 at least kIntegersOrder1 of order-0). Level 8
//            ends up to 7% larger than zlib 9 here; level 10 ends 5-8% smaller
//            at 0.1-0.2 of zlib 9's CPU (effort --methods, size/CPU of z:9:
//            codes_i32 ld:8 0.987/0.11, ld:10 0.926/0.16, w 0.988/0.02; ml's
//            int64 ids ld:8 0.992/0.06, ld:10 0.955/0.09). kIntegersBits keeps
//            out rare random flags (probe 0.41, level 10 4% larger than zlib
//            9).
// larger     Other mostly-zero data that the probe still leaves large (at
//            least kLargerBits a byte): larger integers in wide words, where
//            the byte before tells more (order-1 near 0.7). zlib 9 takes 580
//            ms a MiB there; level 10 takes 180 ms and ends 7% smaller, level
//            8 70 ms and 1% larger (effort --methods, logs block 10: ld:10
//            0.934/0.31, ld:8 1.009/0.12 size/CPU of z:9).
// text0      Text among zeros: the headers and padding of many small files,
//            sparse text. Over kTextShare of the non-zero bytes are printable
//            ASCII (small 0.98-0.99; one-hot labels at most 0.59, pixels
//            0.46, masks and flags 0.26). Level 8 comes within 0.7% of zlib
//            9 there at a fifth of its CPU (effort --methods, small: ld:8
//            1.0067/0.19), and the tar stream's lean headers leave the small
//            corpus at 0.91 of tarfile's archive.
// sparse     The rest of the mostly-zero data: one-hot labels, flags, masks,
//            sparse pixels. Repeats are long and
//            periodic and only a deep chain finds the right one: level 8
//            ends 2-14% larger than zlib 9 and level 10 no better (masks 21%
//            larger); zlib 9 itself, primed with the previous 32 KiB, comes
//            within a sync flush and a block header of its one-stream size
//            at its own CPU cost, 20-260 ms a MiB here (effort --methods:
//            one_hot ld:8 1.137, ld:10 1.140; booleans 1.079, 1.012;
//            masks_u8 1.016, 1.211).
// tiny       Data the probe shrinks to under kSmallOutputRatio (masks, sparse
//            images, repetitive records) saves little of its input at any
//            level, yet level 6 ends 5-50% larger than zlib 9 there and level
//            8 within a few percent at 2-12 ms per MiB: level 8 without its
//            probe.
// gain       Elsewhere level 8 against the probe on the same sample tells what
//            the deeper search buys; at kHighGain of the input or more, level 8
//            (3-8 times the time). The gain differs little between data where
//            level 6 beats zlib 9 by 3% (JSON logs) and data where it loses by
//            1-4% (numeric CSV, small files), so the bar is low: size first
//            (effort --methods, size of z:9 at ld:6 and ld:8: logs 0.959 and
//            0.921, tables 0.971 and 0.938, mixed 1.010 and 0.987, fastq
//            1.023 and 1.004, sqlite 1.023 and 1.000).
// low        The rest: level 6, within 0.3% of zlib 9 or below it at 0.04-0.17
//            of its CPU (effort --methods, ld:6: tables 0.997/0.04, ml
//            1.000/0.17, logs 0.985/0.02).
//
// Counting the sample's byte pairs costs a few percent of level 6, so it is
// skipped where the probe leaves over kOrder1MaxBits a byte (floats,
// weights): neither `numbers` nor `reads` data came above 3.2.

constexpr double kSequenceShare = 0.99;
constexpr double kSequenceMinBits = 8 * 0.2;
constexpr double kSequenceBits = 3.2;
constexpr double kLiteralSlack = 1.002;
constexpr double kNumbersOrder1 = 0.4;
constexpr double kNumbersBits = 2.0;
constexpr double kReadsOrder1 = 0.55;
constexpr double kReadsBits = 1.5;
// Tar headers and their padding reach 0.79-0.85, one-hot labels 0.95,
// int32 codes 0.81-0.83, int64 codes and counts 0.88-0.92 (effort, the rows'
// per-block statistics); text and floats stay far below.
constexpr double kZeroShare = 0.75;
constexpr double kIntegersOrder1 = 0.8;
constexpr double kIntegersBits = 0.6;
// int64 codes of 1000 values: probe 2.0, the word coder ends 1.4% under zlib
// 9 (block_methods on that array); ml's int64 ids: probe 2.8, 1.0% over
// (effort --methods).
constexpr double kWordsBits = 2.4;
// Below, long repeats of few values, where zlib 9's deeper chains win: int64
// Poisson counts at rate 0.5 (probe 0.47) end 0.4% under zlib 9 with the word
// coder, 80% zeros and Poisson otherwise (0.42) 0.4% under, 90% zeros (0.27)
// 8% over, booleans and one-hot labels in int64 (0.21-0.22) 15-27% over
// (block_methods on those arrays).
constexpr double kWordsMinBits = 0.45;
constexpr double kWords8Ratio = 0.75;
constexpr double kLargerBits = 1.2;
constexpr double kTextShare = 0.9;
constexpr double kSmallOutputRatio = 1.0 / 16;
constexpr double kHighGain = 0.002;
constexpr double kOrder1MaxBits = 4.0;

struct Row {
  const char* name;
  bool needs_high;  // the predicate reads high_bits
  bool (*applies)(const SampleStats&);
  Effort effort;
};

constexpr Effort kLiterals{Effort::Method::literals, 0};
constexpr Effort kLow{Effort::Method::matches, EffortRule::kLowLevel};
constexpr Effort kHigh{Effort::Method::matches, EffortRule::kHighLevel};
constexpr Effort kNearOptimal{Effort::Method::matches, EffortRule::kNearOptimalLevel};
constexpr Effort kZlib{Effort::Method::zlib, EffortRule::kZlibLevel};
constexpr Effort kWords{Effort::Method::words, 0};

const Row kTable[] = {
    {"empty", false, [](const SampleStats& s) { return s.bytes == 0; }, kHigh},
    {"sequence", false,
     [](const SampleStats& s) {
       return s.probe_bits < 8 && s.probe_bits >= kSequenceMinBits && s.literal_bits <= kSequenceBits &&
              s.top12_share >= kSequenceShare;
     },
     kNearOptimal},
    {"literals", false, [](const SampleStats& s) { return s.literal_bits <= kLiteralSlack * s.probe_bits; },
     kLiterals},
    {"numbers", false,
     [](const SampleStats& s) {
       return s.top40_share < kSequenceShare && s.probe_bits >= kNumbersBits &&
              s.order1_ratio <= kNumbersOrder1;
     },
     kNearOptimal},
    {"reads", false,
     [](const SampleStats& s) {
       return s.top40_share >= kSequenceShare && s.probe_bits >= kReadsBits && s.order1_ratio <= kReadsOrder1;
     },
     kNearOptimal},
    {"words", false,
     [](const SampleStats& s) {
       return s.zero_share >= kZeroShare && s.words8_ratio >= kWords8Ratio && s.probe_bits >= kWordsMinBits &&
              s.probe_bits <= kWordsBits && (s.order1_ratio >= kIntegersOrder1 || s.probe_bits < kLargerBits);
     },
     kWords},
    {"integers", false,
     [](const SampleStats& s) {
       return s.zero_share >= kZeroShare && s.order1_ratio >= kIntegersOrder1 &&
              s.probe_bits >= kIntegersBits;
     },
     kNearOptimal},
    {"larger", false,
     [](const SampleStats& s) { return s.zero_share >= kZeroShare && s.probe_bits >= kLargerBits; },
     kNearOptimal},
    {"text0", false,
     [](const SampleStats& s) { return s.zero_share >= kZeroShare && s.text_share >= kTextShare; }, kHigh},
    {"sparse", false, [](const SampleStats& s) { return s.zero_share >= kZeroShare; }, kZlib},
    {"tiny", false, [](const SampleStats& s) { return s.probe_bits <= 8 * kSmallOutputRatio; }, kHigh},
    {"gain", true, [](const SampleStats& s) { return s.probe_bits - s.high_bits >= 8 * kHighGain; }, kHigh},
    {"low", false, [](const SampleStats&) { return true; }, kLow},
};
static_assert(sizeof kTable / sizeof kTable[0] == EffortRule::kRows, "kRows counts the table");

}  // namespace

const char* EffortRule::row_name(int row) {
  return row >= 0 && row < kRows ? kTable[row].name : "?";
}

Effort EffortRule::effort(int row) {
  return kTable[row].effort;
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
      (s.probe_bits >= std::min(kReadsBits, kNumbersBits) || s.zero_share >= kZeroShare)) {
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

Effort EffortRule::choose(const unsigned char* in, std::size_t len, int* fired) {
  SampleStats stats = measure(in, len);
  const int r = row(stats);
  if (fired != nullptr) {
    *fired = r;
  }
  return kTable[r].effort;
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
