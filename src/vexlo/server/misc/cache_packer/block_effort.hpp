#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct libdeflate_compressor;

namespace vexlo::archive {

// How much work one block of the archive gets, chosen from its own bytes so
// that the same input always gives the same archive, whatever the number of
// threads.
struct Effort {
  enum class Method {
    literals,  // no matcher: fitted Huffman codes, or stored (LiteralDeflate)
    matches,   // libdeflate at `level`
  };
  Method method;
  int level;
};

// The rule, measured on tar streams of what notebook caches hold (logs and
// CSV text, float arrays and model weights, parquet and pickles, JPEG and PNG,
// random bytes, many small files; bench/bench_writer.py):
//
//   1. Bytes that a matcher barely shrinks (floats, JPEG, compressed or
//      random data) cost libdeflate 9-13 ms per MiB at any level for a gain
//      under 1%; a Huffman code fitted to the bytes gets within about 0.5%
//      of that in a tenth of the time. A sample is coded both ways: when the
//      fitted code (or storing) comes within kLiteralSlack of the probe
//      level's output, the block is coded as literals.
//   2. Elsewhere, level 8 against the probe level on the same sample tells
//      what the deeper search buys. Where it saves at least kHighGain of the
//      input, level 8 (about 3-8 times the time) is used; elsewhere level 6.
//      The gain that level 8 shows over level 5 differs little between data
//      where level 6 beats zlib 9 by 3% (JSON logs) and data where level 6
//      loses to it by 1-4% (numeric CSV, small files), so the threshold is
//      low: the size comes first, the time second. Data that the probe
//      shrinks to under kSmallOutputRatio of itself (masks, sparse images,
//      repetitive records) saves little of its input at any level, yet
//      level 6 ends 5-50% larger than zlib 9 there, level 8 within a few
//      percent, and level 8 takes only 2-12 ms per MiB: such blocks get
//      level 8 without the level-8 probe.
//   3. Sequence-like bytes, where a dozen byte values carry nearly all of the
//      sample (nucleotides, masked or not) and a matcher still leaves a fifth
//      of it, offer a candidate match of a few bytes at almost every
//      position. zlib 9 walks 4096 of them and beats level 8 by 2-3% there;
//      libdeflate's level 10 (binary trees, near-optimal parsing) beats zlib 9
//      by 3-4% in about three quarters of level 8's time. A literal code
//      fitted to a sample cannot see the repeats that lie up to 32 KiB back,
//      so such blocks skip the literal test. Level 10 costs several times
//      level 8 where the matches are long, so two bounds keep it to short
//      ones: the probe must leave a fifth of the sample (not masks or labels)
//      and the literal code must need no more than kSequenceBits per byte
//      (not words over a small alphabet: 3.4 bits, level 10 at 3.4 times
//      level 8 and no smaller than zlib 9 needs).
//   4. Bytes that depend strongly on the byte before them (the sample's
//      order-1 entropy a small share of its order-0 entropy) and that a
//      matcher still leaves large hold short repeats at almost every
//      position. Level 8 ends 1-10% larger than zlib 9 there; level 10 ends
//      3-8% smaller. Checked after the literal test and before the level-8
//      probe, which it saves. Two kinds qualify:
//      - numbers stored in binary (float64 columns rounded to a few
//        decimals, mixed numeric records): order-1 at most kNumbersOrder1
//        of order-0 and the probe at least kNumbersBits per byte. Level 8
//        is at its slowest here (up to 200 ms per MiB) and level 10 takes
//        about half of that. Database pages and machine code come close on
//        order-1 but compress further, and take level 10 at 2-3 times
//        level 8, so the probe bound keeps them out;
//      - sequencing reads, records that interleave small alphabets (bases,
//        quality scores): at most kReadsSymbols byte values carry
//        kSequenceShare, order-1 at most kReadsOrder1 of order-0 and the
//        probe at least kReadsBits per byte. Level 10 takes 2-3 times level
//        8 here, less than zlib 9 itself; the symbol bound keeps out text,
//        where it costs 3-7 times.
//      Counting the sample's byte pairs costs a few percent of level 6, so
//      it is skipped where the probe leaves over kOrder1MaxBits per byte
//      (floats, weights): neither kind came above 3.2.
//
// The sample is kSlices slices of kSliceBytes spread over the block, about
// 6% of a 1 MiB block; smaller blocks are sampled whole.
class EffortRule {
 public:
  static constexpr int kProbeLevel = 5;
  static constexpr int kLowLevel = 6;
  static constexpr int kHighLevel = 8;
  static constexpr int kNearOptimalLevel = 10;
  static constexpr unsigned kSlices = 4;
  static constexpr std::size_t kSliceBytes = 16 * 1024;
  static constexpr double kLiteralSlack = 1.002;
  static constexpr double kHighGain = 0.002;
  static constexpr double kSmallOutputRatio = 1.0 / 16;
  // At most kSequenceSymbols byte values make kSequenceShare of the sample,
  // whose probe output is at least kSequenceMinRatio of it and whose
  // literal code takes at most kSequenceBits per byte.
  static constexpr unsigned kSequenceSymbols = 12;
  static constexpr double kSequenceShare = 0.99;
  static constexpr double kSequenceMinRatio = 0.2;
  static constexpr double kSequenceBits = 3.2;
  static constexpr double kNumbersOrder1 = 0.4;
  static constexpr double kNumbersBits = 2.0;
  static constexpr unsigned kReadsSymbols = 40;
  static constexpr double kReadsOrder1 = 0.55;
  static constexpr double kReadsBits = 1.5;
  static constexpr double kOrder1MaxBits = 4.0;

  // `probe` and `high` compress at kProbeLevel and kHighLevel; they stay
  // owned by the caller.
  EffortRule(libdeflate_compressor* probe, libdeflate_compressor* high);

  Effort choose(const unsigned char* in, std::size_t len);

 private:
  std::size_t compress(libdeflate_compressor* compressor, const unsigned char* data, std::size_t n);
  // Rule 4, for a sample whose probe output is `probe_bits` per byte.
  bool order1_structured(const unsigned char* sample, std::size_t n, const std::uint32_t (&counts)[256],
                         double probe_bits);

  libdeflate_compressor* probe_;
  libdeflate_compressor* high_;
  std::vector<unsigned char> sample_;
  std::vector<unsigned char> scratch_;
  std::vector<std::uint16_t> pairs_;  // counts of the sample's byte pairs
  static_assert(kSlices * kSliceBytes <= 65536, "a pair count must fit pairs_");
};

}  // namespace vexlo::archive
