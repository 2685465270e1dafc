#include "deflate_joint.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

#include "deflate_format.hpp"

namespace vexlo::archive {

namespace {

// Reads a deflate stream's bits, least significant first, 56 at a time.
// Past the end it reads zero bytes, counted so that a stream which runs on
// past its data is refused instead of being walked through the padding.
class BitReader {
 public:
  BitReader(const unsigned char* data, std::size_t len) : begin_(data), next_(data), end_(data + len) {}

  // After refill() at least 56 bits are buffered: a length and distance
  // with all their extra bits take at most 48.
  void refill() {
    if (end_ - next_ >= 8) {
      std::uint64_t word;
      std::memcpy(&word, next_, 8);  // little-endian hosts only (x86-64, aarch64)
      buffer_ |= word << count_;
      next_ += (63 - count_) >> 3;
      count_ |= 56;
      return;
    }
    while (count_ <= 56) {
      if (next_ < end_) {
        buffer_ |= static_cast<std::uint64_t>(*next_++) << count_;
      } else {
        ++past_end_;
      }
      count_ += 8;
    }
  }
  std::uint64_t peek() const { return buffer_; }
  void skip(unsigned bits) {
    buffer_ >>= bits;
    count_ -= bits;
  }
  unsigned take(unsigned bits) {
    const unsigned value = static_cast<unsigned>(buffer_ & ((std::uint64_t{1} << bits) - 1));
    skip(bits);
    return value;
  }
  // Bit offset of the next unread bit from the start of the stream.
  std::uint64_t position() const {
    return 8 * static_cast<std::uint64_t>(next_ - begin_ + past_end_) - count_;
  }
  // Moves to a byte offset, dropping what is buffered (stored blocks).
  bool seek(std::uint64_t byte) {
    if (byte > static_cast<std::uint64_t>(end_ - begin_)) {
      return false;
    }
    next_ = begin_ + byte;
    buffer_ = 0;
    count_ = 0;
    past_end_ = 0;
    return true;
  }
  // More zero padding than a last refill can add means the walk has left
  // the stream.
  bool overran() const { return past_end_ > 8; }
  std::size_t size() const { return static_cast<std::size_t>(end_ - begin_); }

 private:
  const unsigned char* begin_;
  const unsigned char* next_;
  const unsigned char* end_;
  std::uint64_t buffer_ = 0;
  unsigned count_ = 0;
  std::size_t past_end_ = 0;
};

// Tables sized for the fixed code's alphabets, which cover the dynamic ones.
constexpr unsigned kLitlenSymbols = kFixedLitlenSymbols;
constexpr unsigned kDistSymbols = kFixedDistSymbols;

// What a decoded symbol means to the walk.
enum Kind : std::uint16_t { kLiteral = 0, kLength = 1, kEnd = 2, kInvalid = 3 };

// One entry per possible run of `Bits` next stream bits: the symbol's kind and
// how many bits it takes with its extra bits. Codes longer than `Bits` (rare
// symbols) are found by a canonical decode instead, as are invalid ones.
template <unsigned Bits, unsigned Symbols>
class SkipTable {
 public:
  static constexpr unsigned kSlow = 0xffff;

  // `lengths[s]` is symbol s's code length (0: unused). `meaning(s)` gives
  // (kind, extra bits). False when the lengths make no prefix code.
  template <typename Meaning>
  bool build(const unsigned char* lengths, unsigned n, Meaning meaning) {
    std::uint16_t count[kMaxCodeBits + 1] = {0};
    for (unsigned s = 0; s < n; ++s) {
      ++count[lengths[s]];
    }
    count[0] = 0;
    int left = 1;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
      left = 2 * left - count[len];
      if (left < 0) {
        return false;  // over-subscribed
      }
    }
    std::uint16_t offset[kMaxCodeBits + 2] = {0};
    for (unsigned len = 1; len <= kMaxCodeBits; ++len) {
      offset[len + 1] = offset[len] + count[len];
    }
    std::memcpy(count_, count, sizeof count_);
    for (unsigned s = 0; s < n; ++s) {
      if (lengths[s] != 0) {
        sorted_[offset[lengths[s]]++] = static_cast<std::uint16_t>(s);
      }
    }
    for (auto& e : table_) {
      e = kSlow;
    }
    unsigned code = 0;
    unsigned index = 0;
    for (unsigned len = 1; len <= kMaxCodeBits; ++len, code <<= 1) {
      for (unsigned i = 0; i < count[len]; ++i, ++code, ++index) {
        if (len > Bits) {
          continue;
        }
        const unsigned s = sorted_[index];
        const auto [kind, extra] = meaning(s);
        const std::uint16_t entry = static_cast<std::uint16_t>((kind << 8) | (len + extra));
        for (unsigned r = reverse_code(code, len); r < (1u << Bits); r += 1u << len) {
          table_[r] = entry;
        }
      }
    }
    return true;
  }

  // Lets one lookup skip a run of literals: a literal entry whose code leaves
  // room in the table's bits takes the literals that follow it while their
  // codes fit too. A walk only needs to know how far to skip, not what.
  void chain_literals() {
    std::uint16_t single[1u << Bits];
    std::memcpy(single, table_, sizeof single);
    for (unsigned i = 0; i < (1u << Bits); ++i) {
      unsigned used = 0;
      for (;;) {
        const std::uint16_t e = single[i >> used];
        const unsigned len = e & 0xff;
        if (e == kSlow || (e >> 8) != kLiteral || used + len > Bits) {
          break;
        }
        used += len;
      }
      if (used > 0) {
        table_[i] = static_cast<std::uint16_t>((kLiteral << 8) | used);
      }
    }
  }

  // The entry for the next bits, or kSlow.
  std::uint16_t lookup(std::uint64_t bits) const { return table_[bits & ((1u << Bits) - 1)]; }

  // Canonical decode, one bit at a time: returns the symbol and sets `len`,
  // or returns -1 when no code matches.
  int decode_slow(std::uint64_t bits, unsigned& len) const {
    int code = 0;
    int first = 0;
    int index = 0;
    for (len = 1; len <= kMaxCodeBits; ++len) {
      code |= static_cast<int>((bits >> (len - 1)) & 1);
      const int count = count_[len];
      if (code - first < count) {
        return sorted_[index + (code - first)];
      }
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    return -1;
  }

 private:
  std::uint16_t table_[1u << Bits];
  std::uint16_t count_[kMaxCodeBits + 1];
  std::uint16_t sorted_[Symbols];
};

struct LitlenMeaning {
  std::pair<unsigned, unsigned> operator()(unsigned s) const {
    if (s < 256) {
      return {kLiteral, 0};
    }
    if (s == kEndOfBlock) {
      return {kEnd, 0};
    }
    if (s < kMaxLitlenCodes) {
      return {kLength, kLengthExtra[s - kFirstLengthSymbol]};
    }
    return {kInvalid, 0};
  }
};

struct DistMeaning {
  std::pair<unsigned, unsigned> operator()(unsigned s) const {
    return s < kMaxDistCodes ? std::pair<unsigned, unsigned>{kLiteral, kDistExtra[s]}
                             : std::pair<unsigned, unsigned>{kInvalid, 0};
  }
};

// 12 bits cover all but the rarest literal/length codes; distance codes are
// shorter, 8 bits do.
using LitlenTable = SkipTable<12, kLitlenSymbols>;
using DistTable = SkipTable<8, kDistSymbols>;

// Resolves an entry that the table left to the canonical decode.
template <typename Table, typename Meaning>
std::uint16_t slow_entry(const Table& table, std::uint64_t bits, Meaning meaning) {
  unsigned len;
  const int s = table.decode_slow(bits, len);
  if (s < 0) {
    return static_cast<std::uint16_t>(kInvalid << 8);
  }
  const auto [kind, extra] = meaning(static_cast<unsigned>(s));
  return static_cast<std::uint16_t>((kind << 8) | (len + extra));
}

// Skips the compressed data of one Huffman block, through its end code.
bool skip_symbols(BitReader& in, const LitlenTable& litlen, const DistTable& dist) {
  for (;;) {
    in.refill();
    std::uint16_t e = litlen.lookup(in.peek());
    if (e == LitlenTable::kSlow) {
      e = slow_entry(litlen, in.peek(), LitlenMeaning{});
    }
    const unsigned kind = e >> 8;
    in.skip(e & 0xff);
    if (kind == kLiteral) {
      continue;
    }
    if (kind == kLength) {
      std::uint16_t d = dist.lookup(in.peek());
      if (d == DistTable::kSlow) {
        d = slow_entry(dist, in.peek(), DistMeaning{});
      }
      if ((d >> 8) != kLiteral) {
        return false;
      }
      in.skip(d & 0xff);
      if (in.overran()) {
        return false;
      }
      continue;
    }
    return kind == kEnd && !in.overran();
  }
}

bool fixed_tables(LitlenTable& litlen, DistTable& dist) {
  unsigned char lengths[kLitlenSymbols];
  for (unsigned s = 0; s < kLitlenSymbols; ++s) {
    lengths[s] = static_cast<unsigned char>(fixed_litlen_bits(s));
  }
  unsigned char dist_lengths[kDistSymbols];
  std::memset(dist_lengths, kFixedDistBits, sizeof dist_lengths);
  if (!litlen.build(lengths, kLitlenSymbols, LitlenMeaning{})) {
    return false;
  }
  litlen.chain_literals();
  return dist.build(dist_lengths, kDistSymbols, DistMeaning{});
}

// Reads a dynamic block's code lengths and builds its tables.
bool dynamic_tables(BitReader& in, LitlenTable& litlen, DistTable& dist) {
  in.refill();
  const unsigned nlen = in.take(kLitlenCountBits) + kMinLitlenCodes;
  const unsigned ndist = in.take(kDistCountBits) + kMinDistCodes;
  const unsigned ncode = in.take(kCodeLengthCountBits) + kMinCodeLengthCodes;
  if (nlen > kMaxLitlenCodes || ndist > kMaxDistCodes) {
    return false;
  }
  unsigned char code_lengths[kCodeLengthSymbols] = {0};
  for (unsigned i = 0; i < ncode; ++i) {
    in.refill();
    code_lengths[kCodeLengthOrder[i]] = static_cast<unsigned char>(in.take(kCodeLengthBits));
  }
  // Only decode_slow() reads this table: its entries' meaning goes unused.
  const auto unused = [](unsigned) { return std::pair<unsigned, unsigned>{kLiteral, 0}; };
  SkipTable<kMaxCodeLengthCodeBits, kCodeLengthSymbols> lencode;
  if (!lencode.build(code_lengths, kCodeLengthSymbols, unused)) {
    return false;
  }
  unsigned char lengths[kLitlenSymbols + kDistSymbols] = {0};
  unsigned n = 0;
  while (n < nlen + ndist) {
    in.refill();
    unsigned len;
    const int sym = lencode.decode_slow(in.peek(), len);
    if (sym < 0) {
      return false;
    }
    in.skip(len);
    if (sym < kRepeatPrevious) {
      lengths[n++] = static_cast<unsigned char>(sym);
      continue;
    }
    if (sym == kRepeatPrevious && n == 0) {
      return false;
    }
    const unsigned char value = sym == kRepeatPrevious ? lengths[n - 1] : 0;
    const unsigned repeat = repeat_base(static_cast<unsigned>(sym)) + in.take(kCodeLengthExtraBits[sym]);
    if (n + repeat > nlen + ndist) {
      return false;
    }
    std::memset(lengths + n, value, repeat);
    n += repeat;
  }
  if (lengths[kEndOfBlock] == 0 || in.overran()) {
    return false;  // a block must be able to end
  }
  if (!litlen.build(lengths, nlen, LitlenMeaning{})) {
    return false;
  }
  litlen.chain_literals();
  return dist.build(lengths + nlen, ndist, DistMeaning{});
}

}  // namespace

std::size_t DeflateJoint::leave_open(unsigned char* data, std::size_t len) {
  if (len == 0) {
    return 0;
  }
  BitReader in(data, len);
  LitlenTable litlen;
  DistTable dist;
  std::uint64_t header;  // bit offset of the current block's header
  bool final_block;
  do {
    in.refill();
    header = in.position();
    final_block = in.take(1) != 0;
    const unsigned type = in.take(kBlockTypeBits);
    if (type == kStoredBlock) {
      // Stored: LEN and NLEN from the next byte boundary, then LEN bytes.
      in.skip(static_cast<unsigned>((8 - in.position() % 8) % 8));
      const unsigned stored = in.take(16);
      if ((in.take(16) ^ 0xffff) != stored || !in.seek(in.position() / 8 + stored)) {
        return 0;
      }
    } else if (type > kDynamicBlock ||
               !(type == kFixedBlock ? fixed_tables(litlen, dist) : dynamic_tables(in, litlen, dist)) ||
               !skip_symbols(in, litlen, dist)) {
      return 0;
    }
  } while (!final_block);
  const std::uint64_t end = in.position();  // just past the final block
  if (in.overran() || (end + 7) / 8 != len) {
    return 0;
  }

  data[header / 8] &= static_cast<unsigned char>(~(1u << (header % 8)));

  // Empty stored block: three header bits (not final, type 00), zeros up
  // to the byte boundary, LEN 0 and NLEN 0xffff.
  std::size_t n = len;
  const unsigned tail_bits = static_cast<unsigned>(end % 8);  // used bits of the last byte
  if (tail_bits != 0) {
    data[n - 1] &= static_cast<unsigned char>((1u << tail_bits) - 1);
  }
  if (tail_bits == 0 || tail_bits > 8 - kBlockHeaderBits) {
    data[n++] = 0;
  }
  static const unsigned char kEmptyStored[4] = {0x00, 0x00, 0xff, 0xff};
  std::memcpy(data + n, kEmptyStored, sizeof kEmptyStored);
  return n + sizeof kEmptyStored;
}

}  // namespace vexlo::archive
