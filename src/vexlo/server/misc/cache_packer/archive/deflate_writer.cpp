#include "deflate_writer.hpp"

#include <algorithm>
#include <cstring>

namespace vexlo::archive {

void BitWriter::align() {
  while (count_ > 0) {
    put_byte(static_cast<unsigned char>(buffer_));
    buffer_ >>= 8;
    count_ = count_ >= 8 ? count_ - 8 : 0;
  }
  buffer_ = 0;
}

void BitWriter::copy(const unsigned char* data, std::size_t n) {
  if (n == 0) {
    return;
  }
  if (static_cast<std::size_t>(end_ - next_) < n) {
    overflow_ = true;
    return;
  }
  std::memcpy(next_, data, n);
  next_ += n;
}

void BitWriter::flush_word() {
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

void BitWriter::put_byte(unsigned char byte) {
  if (next_ == end_) {
    overflow_ = true;
  } else {
    *next_++ = byte;
  }
}

// A code is built from the two least frequent nodes upwards; when it comes out
// too deep, the frequencies are flattened (halved, kept above zero) and it is
// built again, which the few hundred symbols make cheap.
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

DynamicHeader::DynamicHeader(const unsigned char* litlen, unsigned nlit, const unsigned char* dist,
                             unsigned ndist)
    : nlit_(nlit), ndist_(ndist) {
  unsigned char all[kMaxLitlenCodes + kMaxDistCodes];
  std::memcpy(all, litlen, nlit);
  std::memcpy(all + nlit, dist, ndist);
  tokenize(all, nlit + ndist);

  std::uint32_t cl_freq[kCodeLengthSymbols] = {0};
  for (const Token& t : tokens_) {
    ++cl_freq[t.symbol];
  }
  build_lengths(cl_freq, kCodeLengthSymbols, kMaxCodeLengthCodeBits, cl_lengths_);
  build_codes(cl_lengths_, kCodeLengthSymbols, cl_codes_);
  ncode_ = kCodeLengthSymbols;
  while (ncode_ > kMinCodeLengthCodes && cl_lengths_[kCodeLengthOrder[ncode_ - 1]] == 0) {
    --ncode_;
  }
  bits_ = kLitlenCountBits + kDistCountBits + kCodeLengthCountBits + kCodeLengthBits * ncode_;
  for (const Token& t : tokens_) {
    bits_ += cl_lengths_[t.symbol] + kCodeLengthExtraBits[t.symbol];
  }
}

// Runs of zeros as 18 (11-138) while they last, then 17 (3-10); runs of
// another length as the length once and 16 (repeat the previous 3-6 times).
void DynamicHeader::tokenize(const unsigned char* all, unsigned n) {
  // Takes as much of `run` as `symbol` may while `run` holds its base.
  const auto repeat = [this](unsigned symbol, unsigned& run) {
    while (run >= repeat_base(symbol)) {
      const unsigned take = std::min(run, repeat_max(symbol));
      tokens_.push_back(
          {static_cast<unsigned char>(symbol), static_cast<unsigned char>(take - repeat_base(symbol))});
      run -= take;
    }
  };
  for (unsigned i = 0; i < n;) {
    const unsigned char value = all[i];
    unsigned run = 1;
    while (i + run < n && all[i + run] == value) {
      ++run;
    }
    i += run;
    if (value == 0) {
      repeat(kRepeatManyZeros, run);
      repeat(kRepeatZeros, run);
    } else {
      tokens_.push_back({value, 0});
      --run;
      repeat(kRepeatPrevious, run);
    }
    for (; run > 0; --run) {
      tokens_.push_back({value, 0});
    }
  }
}

void DynamicHeader::write(BitWriter& out) const {
  out.put(nlit_ - kMinLitlenCodes, kLitlenCountBits);
  out.put(ndist_ - kMinDistCodes, kDistCountBits);
  out.put(ncode_ - kMinCodeLengthCodes, kCodeLengthCountBits);
  for (unsigned i = 0; i < ncode_; ++i) {
    out.put(cl_lengths_[kCodeLengthOrder[i]], kCodeLengthBits);
  }
  for (const Token& t : tokens_) {
    out.put(cl_codes_[t.symbol], cl_lengths_[t.symbol]);
    if (kCodeLengthExtraBits[t.symbol] != 0) {
      out.put(t.extra, kCodeLengthExtraBits[t.symbol]);
    }
  }
}

void put_stored(BitWriter& out, const unsigned char* in, std::size_t len, bool last) {
  do {
    const std::size_t n = std::min<std::size_t>(len, kMaxStoredLength);
    len -= n;
    put_block_header(out, last && len == 0, kStoredBlock);
    out.align();
    out.put(static_cast<std::uint32_t>(n) | (static_cast<std::uint32_t>(n ^ 0xffff) << 16), 32);
    out.copy(in, n);
    in += n;
  } while (len > 0);
}

bool begin_coded_or_stored(BitWriter& out, const DynamicHeader& header, std::uint64_t data_bits,
                           const unsigned char* raw, std::size_t bytes, bool final_block) {
  if (bytes == 0 || stored_bits(bytes) <= dynamic_block_bits(header, data_bits)) {
    put_stored(out, raw, bytes, final_block);
    return false;
  }
  put_block_header(out, final_block, kDynamicBlock);
  header.write(out);
  return true;
}

void finish_blocks(BitWriter& out, bool last, bool aligned) {
  if (last) {
    out.align();
  } else if (!aligned) {
    put_stored(out, nullptr, 0, false);
  }
}

}  // namespace vexlo::archive
