#include "literal_deflate.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "deflate_writer.hpp"

namespace vexlo::archive {

namespace {

constexpr unsigned kSymbols = kEndOfBlock + 1;  // the 256 byte values and the end code

// A literal-only code and its dynamic block header: the byte values' code
// lengths and the end code's, and two one-bit distance codes (a complete code
// every inflater takes, never used).
struct Header {
  unsigned char lengths[kSymbols];
  std::uint16_t codes[kSymbols];
  DynamicHeader header;

  explicit Header(const std::uint32_t* counts) : header(fit(counts, lengths), kSymbols, kUnusedDist, 2) {
    build_codes(lengths, kSymbols, codes);
  }

  std::uint64_t data_bits(const std::uint32_t* counts) const {
    std::uint64_t total = lengths[kEndOfBlock];
    for (unsigned s = 0; s < 256; ++s) {
      total += static_cast<std::uint64_t>(counts[s]) * lengths[s];
    }
    return total;
  }

 private:
  static constexpr unsigned char kUnusedDist[2] = {1, 1};

  static const unsigned char* fit(const std::uint32_t* counts, unsigned char* lengths) {
    std::uint32_t freq[kSymbols];
    std::memcpy(freq, counts, 256 * sizeof *freq);
    freq[kEndOfBlock] = 1;
    build_lengths(freq, kSymbols, kMaxCodeBits, lengths);
    return lengths;
  }
};

}  // namespace

std::size_t LiteralDeflate::bound(std::size_t len) {
  // Stored is the worst a sub-block gets: 5 bytes per 64 KiB piece, plus an
  // empty stored block to end on a byte boundary.
  return len + 5 * (len / kMaxStoredLength + len / kLiteralBlock + 2) + 5;
}

std::uint64_t LiteralDeflate::literal_bits(const std::uint32_t* counts) {
  const Header header(counts);
  return dynamic_block_bits(header.header, header.data_bits(counts));
}

std::size_t LiteralDeflate::deflate_stored(const unsigned char* in, std::size_t len, bool last,
                                           unsigned char* out, std::size_t capacity) {
  BitWriter writer(out, capacity);
  put_stored(writer, in, len, last);
  return written_or_zero(writer);
}

std::size_t LiteralDeflate::deflate_literals(const unsigned char* in, std::size_t len, bool last,
                                             unsigned char* out, std::size_t capacity) {
  BitWriter writer(out, capacity);
  bool aligned = true;  // the last thing written ended on a byte boundary
  std::size_t done = 0;
  do {
    const std::size_t n = std::min(len - done, kLiteralBlock);
    const unsigned char* p = in + done;
    done += n;
    const bool final_block = last && done == len;

    // Four interleaved counters: consecutive equal bytes would otherwise
    // wait on each other's increments.
    std::uint32_t counts[4][256] = {};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      ++counts[0][p[i]];
      ++counts[1][p[i + 1]];
      ++counts[2][p[i + 2]];
      ++counts[3][p[i + 3]];
    }
    for (; i < n; ++i) {
      ++counts[0][p[i]];
    }
    for (unsigned s = 0; s < 256; ++s) {
      counts[0][s] += counts[1][s] + counts[2][s] + counts[3][s];
    }

    const Header header(counts[0]);
    aligned = !begin_coded_or_stored(writer, header.header, header.data_bits(counts[0]), p, n, final_block);
    if (aligned) {
      continue;
    }
    for (std::size_t j = 0; j < n; ++j) {
      writer.put(header.codes[p[j]], header.lengths[p[j]]);
    }
    writer.put(header.codes[kEndOfBlock], header.lengths[kEndOfBlock]);
  } while (done < len && !writer.overflow());
  finish_blocks(writer, last, aligned);
  return written_or_zero(writer);
}

}  // namespace vexlo::archive
