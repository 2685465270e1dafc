#include "literal_deflate.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "deflate_format.hpp"

namespace vexlo::archive {

namespace {

constexpr unsigned kSymbols = kEndOfBlock + 1;  // the 256 byte values and the end code
constexpr std::size_t kMaxStored = 65535;

// Writes bits least significant first, as deflate packs them.
class BitWriter {
 public:
  BitWriter(unsigned char* out, std::size_t capacity) : out_(out), next_(out), end_(out + capacity) {}

  // `count` <= 32.
  void put(std::uint32_t bits, unsigned count) {
    buffer_ |= static_cast<std::uint64_t>(bits) << count_;
    count_ += count;
    if (count_ >= 32) {
      flush_word();
    }
  }
  // Pads with zero bits to the next byte boundary and writes out every bit.
  void align() {
    while (count_ > 0) {
      put_byte(static_cast<unsigned char>(buffer_));
      buffer_ >>= 8;
      count_ = count_ >= 8 ? count_ - 8 : 0;
    }
    buffer_ = 0;
  }
  // After align(): raw bytes.
  void copy(const unsigned char* data, std::size_t n) {
    if (static_cast<std::size_t>(end_ - next_) < n) {
      overflow_ = true;
      return;
    }
    std::memcpy(next_, data, n);
    next_ += n;
  }
  bool overflow() const { return overflow_; }
  std::size_t written() const { return static_cast<std::size_t>(next_ - out_); }

 private:
  void flush_word() {
    if (end_ - next_ < 4) {
      overflow_ = true;
    } else {
      const std::uint32_t word = static_cast<std::uint32_t>(buffer_);
      next_[0] = static_cast<unsigned char>(word);
      next_[1] = static_cast<unsigned char>(word >> 8);
      next_[2] = static_cast<unsigned char>(word >> 16);
      next_[3] = static_cast<unsigned char>(word >> 24);
      next_ += 4;
    }
    buffer_ >>= 32;
    count_ -= 32;
  }
  void put_byte(unsigned char byte) {
    if (next_ == end_) {
      overflow_ = true;
    } else {
      *next_++ = byte;
    }
  }

  unsigned char* out_;
  unsigned char* next_;
  unsigned char* end_;
  std::uint64_t buffer_ = 0;
  unsigned count_ = 0;  // bits in buffer_
  bool overflow_ = false;
};

// Huffman code lengths for `n` symbol frequencies, none longer than
// `max_bits`. Symbols of frequency 0 get no code. A code is built from the
// two least frequent nodes upwards; when it comes out too deep, the
// frequencies are flattened (halved, kept above zero) and it is built again,
// which the few hundred symbols make cheap.
void build_lengths(const std::uint32_t* freq, unsigned n, unsigned max_bits, unsigned char* lengths) {
  std::memset(lengths, 0, n);
  std::vector<std::uint32_t> f(freq, freq + n);
  std::vector<unsigned> used;
  for (unsigned s = 0; s < n; ++s) {
    if (f[s] != 0) {
      used.push_back(s);
    }
  }
  if (used.empty()) {
    return;
  }
  if (used.size() == 1) {
    lengths[used[0]] = 1;
    return;
  }
  for (;;) {
    // Leaves sorted by frequency, then merged nodes in creation order: both
    // queues stay sorted, so the two smallest are always at their fronts.
    std::vector<unsigned> leaves(used);
    std::stable_sort(leaves.begin(), leaves.end(), [&](unsigned a, unsigned b) { return f[a] < f[b]; });
    const std::size_t m = leaves.size();
    std::vector<std::uint64_t> weight(2 * m);
    std::vector<std::size_t> parent(2 * m, 0);
    for (std::size_t i = 0; i < m; ++i) {
      weight[i] = f[leaves[i]];
    }
    std::size_t leaf = 0;
    std::size_t node = m;
    std::size_t next = m;
    auto smallest = [&]() {
      if (leaf < m && (node >= next || weight[leaf] <= weight[node])) {
        return leaf++;
      }
      return node++;
    };
    for (; next < 2 * m - 1; ++next) {
      const std::size_t a = smallest();
      const std::size_t b = smallest();
      weight[next] = weight[a] + weight[b];
      parent[a] = parent[b] = next;
    }
    // Depths from the root (the last node) down: parents come after children.
    std::vector<unsigned> depth(2 * m, 0);
    unsigned deepest = 0;
    for (std::size_t i = 2 * m - 2; i-- > 0;) {
      depth[i] = depth[parent[i]] + 1;
      if (i < m) {
        deepest = std::max(deepest, depth[i]);
      }
    }
    if (deepest <= max_bits) {
      for (std::size_t i = 0; i < m; ++i) {
        lengths[leaves[i]] = static_cast<unsigned char>(depth[i]);
      }
      return;
    }
    for (unsigned s : used) {
      f[s] = (f[s] >> 1) | 1;
    }
  }
}

// Canonical codes for `lengths`, bit-reversed for writing least significant
// bit first.
void build_codes(const unsigned char* lengths, unsigned n, std::uint16_t* codes) {
  unsigned count[kMaxCodeBits + 1] = {0};
  for (unsigned s = 0; s < n; ++s) {
    ++count[lengths[s]];
  }
  count[0] = 0;
  unsigned next[kMaxCodeBits + 2] = {0};
  for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
    next[len + 1] = (next[len] + count[len]) << 1;
  }
  for (unsigned s = 0; s < n; ++s) {
    const unsigned len = lengths[s];
    if (len == 0) {
      codes[s] = 0;
      continue;
    }
    codes[s] = static_cast<std::uint16_t>(reverse_code(next[len]++, len));
  }
}

// A dynamic block's header for a literal-only code: the literal/length code
// lengths, two one-bit distance codes (a complete code every inflater takes,
// never used), run-length coded with the code-length alphabet.
struct Header {
  struct Token {
    unsigned char symbol;  // 0..18 of the code-length alphabet
    unsigned char extra;   // value of its extra bits
  };
  unsigned char lengths[kSymbols];
  std::uint16_t codes[kSymbols];
  std::vector<Token> tokens;
  unsigned char cl_lengths[kCodeLengthSymbols];
  std::uint16_t cl_codes[kCodeLengthSymbols];
  unsigned ncode;      // code-length code lengths sent (4..19)
  std::uint64_t bits;  // header bits after the 3 block-header bits

  explicit Header(const std::uint32_t* counts) {
    std::uint32_t freq[kSymbols];
    std::memcpy(freq, counts, 256 * sizeof *freq);
    freq[kEndOfBlock] = 1;
    build_lengths(freq, kSymbols, kMaxCodeBits, lengths);
    build_codes(lengths, kSymbols, codes);

    unsigned char all[kSymbols + 2];
    std::memcpy(all, lengths, kSymbols);
    all[kSymbols] = all[kSymbols + 1] = 1;
    tokenize(all, kSymbols + 2);

    std::uint32_t cl_freq[kCodeLengthSymbols] = {0};
    for (const Token& t : tokens) {
      ++cl_freq[t.symbol];
    }
    build_lengths(cl_freq, kCodeLengthSymbols, kMaxCodeLengthCodeBits, cl_lengths);
    build_codes(cl_lengths, kCodeLengthSymbols, cl_codes);
    ncode = kCodeLengthSymbols;
    while (ncode > kMinCodeLengthCodes && cl_lengths[kCodeLengthOrder[ncode - 1]] == 0) {
      --ncode;
    }
    bits = 5 + 5 + 4 + 3 * ncode;
    for (const Token& t : tokens) {
      bits += cl_lengths[t.symbol] + kCodeLengthExtraBits[t.symbol];
    }
  }

  // Runs of zeros as 17 (3-10) and 18 (11-138); runs of another length as
  // the length once and 16 (repeat the previous 3-6 times).
  void tokenize(const unsigned char* all, unsigned n) {
    for (unsigned i = 0; i < n;) {
      const unsigned char value = all[i];
      unsigned run = 1;
      while (i + run < n && all[i + run] == value) {
        ++run;
      }
      i += run;
      if (value == 0) {
        while (run >= 11) {
          const unsigned take = std::min(run, 138u);
          tokens.push_back({kRepeatManyZeros, static_cast<unsigned char>(take - 11)});
          run -= take;
        }
        if (run >= 3) {
          tokens.push_back({kRepeatZeros, static_cast<unsigned char>(run - 3)});
          run = 0;
        }
      } else {
        tokens.push_back({value, 0});
        --run;
        while (run >= 3) {
          const unsigned take = std::min(run, 6u);
          tokens.push_back({kRepeatPrevious, static_cast<unsigned char>(take - 3)});
          run -= take;
        }
      }
      for (; run > 0; --run) {
        tokens.push_back({value, 0});
      }
    }
  }

  void write(BitWriter& out) const {
    out.put(kSymbols - kMinLitlenCodes, 5);
    out.put(2 - kMinDistCodes, 5);
    out.put(ncode - kMinCodeLengthCodes, 4);
    for (unsigned i = 0; i < ncode; ++i) {
      out.put(cl_lengths[kCodeLengthOrder[i]], 3);
    }
    for (const Token& t : tokens) {
      out.put(cl_codes[t.symbol], cl_lengths[t.symbol]);
      if (kCodeLengthExtraBits[t.symbol] != 0) {
        out.put(t.extra, kCodeLengthExtraBits[t.symbol]);
      }
    }
  }

  std::uint64_t data_bits(const std::uint32_t* counts) const {
    std::uint64_t total = lengths[kEndOfBlock];
    for (unsigned s = 0; s < 256; ++s) {
      total += static_cast<std::uint64_t>(counts[s]) * lengths[s];
    }
    return total;
  }
};

void put_stored(BitWriter& out, const unsigned char* in, std::size_t len, bool last) {
  do {
    const std::size_t n = std::min(len, kMaxStored);
    len -= n;
    out.put((last && len == 0 ? 1u : 0u) | kStoredBlock << 1, 3);
    out.align();
    out.put(static_cast<std::uint32_t>(n) | (static_cast<std::uint32_t>(n ^ 0xffff) << 16), 32);
    out.copy(in, n);
    in += n;
  } while (len > 0);
}

// Stored blocks end on a byte boundary; a Huffman block needs an empty stored
// block after it to get there, as a sync flush writes.
void finish(BitWriter& out, bool last, bool aligned) {
  if (last) {
    out.align();
  } else if (!aligned) {
    put_stored(out, nullptr, 0, false);
  }
}

std::size_t result(const BitWriter& out) {
  return out.overflow() ? 0 : out.written();
}

}  // namespace

std::size_t LiteralDeflate::bound(std::size_t len) {
  // Stored is the worst a sub-block gets: 5 bytes per 64 KiB piece, plus an
  // empty stored block to end on a byte boundary.
  return len + 5 * (len / kMaxStored + len / kLiteralBlock + 2) + 5;
}

std::uint64_t LiteralDeflate::literal_bits(const std::uint32_t* counts) {
  const Header header(counts);
  return 3 + header.bits + header.data_bits(counts);
}

std::size_t LiteralDeflate::deflate_stored(const unsigned char* in, std::size_t len, bool last,
                                           unsigned char* out, std::size_t capacity) {
  BitWriter writer(out, capacity);
  put_stored(writer, in, len, last);
  return result(writer);
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
    const std::uint64_t coded = 3 + header.bits + header.data_bits(counts[0]);
    // A stored sub-block also pays for the bits to its byte boundary.
    const std::uint64_t stored = 8 * (n + 5 * (n / kMaxStored + 1)) + 7;
    if (n == 0 || stored <= coded) {
      put_stored(writer, p, n, final_block);
      aligned = true;
      continue;
    }
    writer.put(final_block ? 1 : 0, 1);
    writer.put(kDynamicBlock, 2);
    header.write(writer);
    for (std::size_t j = 0; j < n; ++j) {
      writer.put(header.codes[p[j]], header.lengths[p[j]]);
    }
    writer.put(header.codes[kEndOfBlock], header.lengths[kEndOfBlock]);
    aligned = false;
  } while (done < len && !writer.overflow());
  finish(writer, last, aligned);
  return result(writer);
}

}  // namespace vexlo::archive
