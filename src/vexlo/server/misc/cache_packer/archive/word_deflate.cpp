#include "word_deflate.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "deflate_writer.hpp"

namespace vexlo::archive {

namespace {

// The chains: key length in bytes and how many candidates a search walks.
// Measured with bench/native/block_methods ("w" against "z:9") on
// bench/bench_effort.py's int64 arrays, one constant changed at a time
// (size/CPU of zlib 9): the long chain at depth 256 ends Poisson counts at
// 0.974/0.17 and codes at 0.962/0.05, at depth 64 0.989/0.11 and
// 0.965/0.04, at 1024 no smaller; without the middle chain, codes of 200
// equally likely values end 11% over zlib 9 (the value's nearest repeat goes
// unseen), with it 0.4% under.
constexpr unsigned kLongKey = 16;
constexpr unsigned kLongDepth = 256;
constexpr unsigned kMidKey = 12;
constexpr unsigned kMidDepth = 4;
constexpr unsigned kShortKey = 4;
constexpr unsigned kShortDepth = 8;
// A match this long ends the search: long runs of one value (sorted or
// repeated codes) otherwise walk the whole chain at every token (int64 codes
// repeated 20 times each, block_methods: 2.5 times level 8's CPU at 258, about
// level 8's at 128).
constexpr unsigned kNiceMatch = 128;
// Tokens between refits of the prices, and per Huffman block: blocks of 8K,
// 16K and 64K tokens end Poisson counts within 0.2% of each other.
constexpr std::size_t kRefitTokens = 4096;
constexpr std::size_t kBlockTokens = 4 * kRefitTokens;

constexpr unsigned kHashBits = 16;
constexpr std::uint32_t kNone = 0xffffffff;
constexpr std::uint32_t kWindowMask = kWindow - 1;
// Prices are in sixteenths of a bit.
constexpr std::uint32_t kBit = 16;
// Reads past the input's end stay inside the buffer: a key or a word compare.
constexpr std::size_t kPadding = 16;

// The length symbol (less kFirstLengthSymbol) of each match length, and the
// distance symbol of each distance: up to 512 directly, beyond by 128s.
struct SymbolTables {
  unsigned char length[kMaxMatch + 1];
  unsigned char near[512];
  unsigned char far[256];

  constexpr SymbolTables() : length{}, near{}, far{} {
    for (unsigned s = 0; s < kLengthSymbols; ++s) {
      const unsigned end = s + 1 == kLengthSymbols ? kMaxMatch + 1 : kLengthBase[s + 1];
      for (unsigned len = kLengthBase[s]; len < end && len <= kMaxMatch; ++len) {
        length[len] = static_cast<unsigned char>(s);
      }
    }
    for (unsigned s = 0; s < kMaxDistCodes; ++s) {
      const unsigned end = kDistBase[s] + (1u << kDistExtra[s]);
      for (unsigned d = kDistBase[s]; d < end; ++d) {
        if (d <= 512) {
          near[d - 1] = static_cast<unsigned char>(s);
        } else {
          far[(d - 1) >> 7] = static_cast<unsigned char>(s);
        }
      }
    }
  }

  unsigned dist(unsigned d) const { return d <= 512 ? near[d - 1] : far[(d - 1) >> 7]; }
};
constexpr SymbolTables kSymbols;

std::uint64_t load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint32_t load32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

constexpr std::uint64_t kMix1 = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kMix2 = 0xC2B2AE3D27D4EB4Full;

std::uint32_t long_hash(const unsigned char* p) {
  return static_cast<std::uint32_t>((load64(p) * kMix1 ^ load64(p + 8) * kMix2) >> (64 - kHashBits));
}

std::uint32_t mid_hash(const unsigned char* p) {
  return static_cast<std::uint32_t>((load64(p) * kMix1 ^ load32(p + 8) * kMix2) >> (64 - kHashBits));
}

std::uint32_t short_hash(const unsigned char* p) {
  return (load32(p) * 2654435761u) >> (32 - kHashBits);
}

// Bytes `a` and `b` have in common, up to `limit`.
unsigned match_length(const unsigned char* a, const unsigned char* b, unsigned limit) {
  unsigned len = 0;
  for (; len + 8 <= limit; len += 8) {
    const std::uint64_t diff = load64(a + len) ^ load64(b + len);
    if (diff != 0) {
      return len + static_cast<unsigned>(__builtin_ctzll(diff) >> 3);
    }
  }
  while (len < limit && a[len] == b[len]) {
    ++len;
  }
  return len;
}

// A literal (length 0, `value` the byte) or a match (`value` the distance).
struct Token {
  std::uint16_t length;
  std::uint16_t value;
};

struct Match {
  unsigned length = 0;
  unsigned distance = 0;
  std::uint32_t price = 0;  // of the whole match
};

// Adds `weight` per use of each symbol of `n` tokens to `litlen` and `dist`;
// returns the extra bits the matches carry.
std::uint64_t count_symbols(const Token* t, std::size_t n, std::uint32_t weight, std::uint32_t* litlen,
                            std::uint32_t* dist) {
  std::uint64_t extra_bits = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (t[i].length == 0) {
      litlen[t[i].value] += weight;
    } else {
      const unsigned ls = kSymbols.length[t[i].length];
      const unsigned ds = kSymbols.dist(t[i].value);
      litlen[kFirstLengthSymbol + ls] += weight;
      dist[ds] += weight;
      extra_bits += kLengthExtra[ls] + kDistExtra[ds];
    }
  }
  return extra_bits;
}

// Cost per byte, comparable across lengths.
std::uint64_t per_byte(std::uint32_t price, unsigned bytes) {
  return (static_cast<std::uint64_t>(price) << 12) / bytes;
}

// The prices a match and a literal are weighed at: each symbol's bits in the
// Huffman code the tokens before it would get, in sixteenths of a bit.
class Pricer {
 public:
  // Before the first refit: the fixed code's lengths.
  void reset() {
    for (unsigned s = 0; s < kMaxLitlenCodes; ++s) {
      litlen_price_[s] = kBit * fixed_litlen_bits(s);
    }
    std::fill(std::begin(dist_price_), std::end(dist_price_), kFixedDistBits * kBit);
  }

  // Prices from the code the last `n` tokens would get, every symbol kept
  // possible (a count of 4 per use, plus 1).
  void refit(const Token* t, std::size_t n) {
    std::uint32_t litlen[kMaxLitlenCodes];
    std::uint32_t dist[kMaxDistCodes];
    std::fill(std::begin(litlen), std::end(litlen), 1);
    std::fill(std::begin(dist), std::end(dist), 1);
    count_symbols(t, n, 4, litlen, dist);
    unsigned char litlen_bits[kMaxLitlenCodes];
    unsigned char dist_bits[kMaxDistCodes];
    build_lengths(litlen, kMaxLitlenCodes, kMaxCodeBits, litlen_bits);
    build_lengths(dist, kMaxDistCodes, kMaxCodeBits, dist_bits);
    for (unsigned s = 0; s < kMaxLitlenCodes; ++s) {
      litlen_price_[s] = kBit * litlen_bits[s];
    }
    for (unsigned s = 0; s < kMaxDistCodes; ++s) {
      dist_price_[s] = kBit * dist_bits[s];
    }
  }

  std::uint32_t literal(unsigned char byte) const { return litlen_price_[byte]; }

  std::uint32_t match(unsigned length, unsigned distance) const {
    const unsigned ls = kSymbols.length[length];
    const unsigned ds = kSymbols.dist(distance);
    return litlen_price_[kFirstLengthSymbol + ls] + kBit * kLengthExtra[ls] + dist_price_[ds] +
           kBit * kDistExtra[ds];
  }

 private:
  std::uint32_t litlen_price_[kMaxLitlenCodes];
  std::uint32_t dist_price_[kMaxDistCodes];
};

// The chains over the history and the input, and the search for the
// cheapest match at a position, priced by a Pricer.
class Matcher {
 public:
  // Starts over on `size` bytes at `data`, the first `history_len` of them
  // history, which is linked in.
  void reset(const unsigned char* data, std::size_t size, std::size_t history_len) {
    data_ = data;
    size_ = size;
    for (Chain* chain : {&long_chain_, &mid_chain_, &short_chain_}) {
      std::fill(chain->head.begin(), chain->head.end(), kNone);
    }
    for (std::size_t p = 0; p < history_len; ++p) {
      insert(p);
    }
  }

  // Links position `p` into each chain whose key fits before the end.
  void insert(std::size_t p) {
    const unsigned char* at = data_ + p;
    if (p + kLongKey <= size_) {
      link(long_chain_, long_hash(at), p);
    }
    if (p + kMidKey <= size_) {
      link(mid_chain_, mid_hash(at), p);
    }
    if (p + kShortKey <= size_) {
      link(short_chain_, short_hash(at), p);
    }
  }

  // The cheapest match per byte at `p`, if any.
  bool find(std::size_t p, const Pricer& prices, Match& best) const {
    const unsigned limit = static_cast<unsigned>(std::min<std::size_t>(kMaxMatch, size_ - p));
    best = Match();
    if (limit < kShortKey) {
      return false;
    }
    std::uint64_t best_per_byte = ~std::uint64_t{0};
    const auto consider = [&](unsigned len, unsigned distance) {
      const std::uint32_t price = prices.match(len, distance);
      const std::uint64_t cost = per_byte(price, len);
      if (cost < best_per_byte) {
        best_per_byte = cost;
        best = Match{len, distance, price};
      }
    };
    unsigned longest = 0;
    const unsigned char* at = data_ + p;
    if (p + kLongKey <= size_) {
      walk(long_chain_, long_hash(at), p, kLongDepth, limit, true, longest, consider);
    }
    if (longest < kLongKey && p + kMidKey <= size_) {
      walk(mid_chain_, mid_hash(at), p, kMidDepth, limit, true, longest, consider);
    }
    if (longest < kMidKey) {
      walk(short_chain_, short_hash(at), p, kShortDepth, limit, false, longest, consider);
    }
    return best.length >= kShortKey;
  }

 private:
  // One chain per key length: the newest position of each hash, and each
  // position's predecessor, by position within the window.
  struct Chain {
    std::vector<std::uint32_t> head = std::vector<std::uint32_t>(std::size_t{1} << kHashBits);
    std::vector<std::uint32_t> prev = std::vector<std::uint32_t>(kWindow);
  };

  static void link(Chain& chain, std::uint32_t hash, std::size_t p) {
    chain.prev[p & kWindowMask] = chain.head[hash];
    chain.head[hash] = static_cast<std::uint32_t>(p);
  }

  // Walks `depth` candidates of `chain` for `p`, newest first, and offers
  // `consider` their matches: with `longer_only`, only those longer than any
  // before (the nearest of each length).
  template <typename Consider>
  void walk(const Chain& chain, std::uint32_t hash, std::size_t p, unsigned depth, unsigned limit,
            bool longer_only, unsigned& longest, Consider&& consider) const {
    const unsigned char* at = data_ + p;
    std::uint32_t c = chain.head[hash];
    for (unsigned steps = 0; c != kNone && p - c <= kMaxDistance && steps < depth; ++steps) {
      if (load32(data_ + c) == load32(at)) {
        const unsigned len = match_length(data_ + c, at, limit);
        if (len > longest || (!longer_only && len >= kShortKey)) {
          longest = std::max(longest, len);
          consider(len, static_cast<unsigned>(p - c));
          if (len >= limit || len >= kNiceMatch) {
            return;
          }
        }
      }
      const std::uint32_t next = chain.prev[c & kWindowMask];
      if (next == kNone || next >= c) {
        return;
      }
      c = next;
    }
  }

  Chain long_chain_;
  Chain mid_chain_;
  Chain short_chain_;
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;  // history and input
};

// Writes `n` tokens, which stand for `bytes` of `raw`, as one dynamic Huffman
// block, or stored where that is smaller. Returns whether the output ended
// aligned (stored).
bool write_block(BitWriter& out, const Token* t, std::size_t n, const unsigned char* raw, std::size_t bytes,
                 bool final_block) {
  std::uint32_t litlen[kMaxLitlenCodes] = {0};
  std::uint32_t dist[kMaxDistCodes] = {0};
  const std::uint64_t extra_bits = count_symbols(t, n, 1, litlen, dist);
  litlen[kEndOfBlock] = 1;
  unsigned char litlen_bits[kMaxLitlenCodes];
  unsigned char dist_bits[kMaxDistCodes];
  build_lengths(litlen, kMaxLitlenCodes, kMaxCodeBits, litlen_bits);
  build_lengths(dist, kMaxDistCodes, kMaxCodeBits, dist_bits);
  // Inflaters take a distance code of one symbol, but not all of them take
  // none, nor every incomplete one: give two symbols a bit each, the one used
  // (if any) among them.
  const auto used = [](std::uint32_t f) { return f > 0; };
  if (std::count_if(std::begin(dist), std::end(dist), used) < 2) {
    const auto first = std::find_if(std::begin(dist), std::end(dist), used);
    const unsigned s = first == std::end(dist) ? 0 : static_cast<unsigned>(first - std::begin(dist));
    dist_bits[s] = 1;
    dist_bits[s == 0 ? 1 : 0] = 1;
  }
  unsigned nlit = kMaxLitlenCodes;
  while (nlit > kMinLitlenCodes && litlen_bits[nlit - 1] == 0) {
    --nlit;
  }
  unsigned ndist = kMaxDistCodes;
  while (ndist > kMinDistCodes && dist_bits[ndist - 1] == 0) {
    --ndist;
  }
  const DynamicHeader header(litlen_bits, nlit, dist_bits, ndist);
  std::uint64_t data_bits = extra_bits;
  for (unsigned s = 0; s < kMaxLitlenCodes; ++s) {
    data_bits += static_cast<std::uint64_t>(litlen[s]) * litlen_bits[s];
  }
  for (unsigned s = 0; s < kMaxDistCodes; ++s) {
    data_bits += static_cast<std::uint64_t>(dist[s]) * dist_bits[s];
  }
  if (!begin_coded_or_stored(out, header, data_bits, raw, bytes, final_block)) {
    return true;
  }
  std::uint16_t litlen_codes[kMaxLitlenCodes];
  std::uint16_t dist_codes[kMaxDistCodes];
  build_codes(litlen_bits, kMaxLitlenCodes, litlen_codes);
  build_codes(dist_bits, kMaxDistCodes, dist_codes);
  for (std::size_t i = 0; i < n; ++i) {
    if (t[i].length == 0) {
      out.put(litlen_codes[t[i].value], litlen_bits[t[i].value]);
      continue;
    }
    const unsigned ls = kSymbols.length[t[i].length];
    const unsigned s = kFirstLengthSymbol + ls;
    out.put(litlen_codes[s], litlen_bits[s]);
    if (kLengthExtra[ls] != 0) {
      out.put(t[i].length - kLengthBase[ls], kLengthExtra[ls]);
    }
    const unsigned ds = kSymbols.dist(t[i].value);
    out.put(dist_codes[ds], dist_bits[ds]);
    if (kDistExtra[ds] != 0) {
      out.put(t[i].value - kDistBase[ds], kDistExtra[ds]);
    }
  }
  out.put(litlen_codes[kEndOfBlock], litlen_bits[kEndOfBlock]);
  return false;
}

}  // namespace

// The matcher's chains, the pricer and the parse's buffers, kept between
// blocks so that a block allocates nothing.
struct WordDeflate::State {
  Matcher matcher;
  Pricer prices;
  std::vector<unsigned char> buffer;  // history, then the input, then padding
  std::vector<Token> tokens = std::vector<Token>(kBlockTokens);
};

std::size_t WordDeflate::bound(std::size_t len) {
  // A block is coded only when smaller than stored (5 bytes a 64 KiB piece),
  // give or take its last byte, and every block but the last holds
  // kBlockTokens tokens of a byte or more; then the closing empty stored
  // block.
  return len + 5 * (len / kMaxStoredLength) + 6 * (len / kBlockTokens + 1) + 12;
}

std::size_t WordDeflate::memory(std::size_t block_size) {
  constexpr std::size_t kChain = ((std::size_t{1} << kHashBits) + kWindow) * sizeof(std::uint32_t);
  return sizeof(State) + 3 * kChain + kBlockTokens * sizeof(Token) + kWindow + block_size + kPadding;
}

WordDeflate::WordDeflate() {
  try {
    state_ = std::make_unique<State>();
  } catch (const std::bad_alloc&) {
    state_.reset();
  }
}

WordDeflate::~WordDeflate() = default;

std::size_t WordDeflate::compress(const unsigned char* history, std::size_t history_len,
                                  const unsigned char* in, std::size_t len, bool last, unsigned char* out,
                                  std::size_t capacity) {
  State& s = *state_;
  history_len = std::min(history_len, kWindow);
  try {
    s.buffer.resize(history_len + len + kPadding);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (history_len > 0) {
    std::memcpy(s.buffer.data(), history, history_len);
  }
  if (len > 0) {
    std::memcpy(s.buffer.data() + history_len, in, len);
  }
  std::fill(s.buffer.end() - kPadding, s.buffer.end(), 0);
  const unsigned char* data = s.buffer.data();
  const std::size_t size = history_len + len;  // history and input
  s.matcher.reset(data, size, history_len);
  s.prices.reset();

  BitWriter writer(out, capacity);
  bool aligned = true;
  if (len == 0) {
    put_stored(writer, nullptr, 0, last);
    finish_blocks(writer, last, true);
    return written_or_zero(writer);
  }
  Matcher& matcher = s.matcher;
  Token* tokens = s.tokens.data();
  std::size_t count = 0;   // tokens in the current block
  std::size_t priced = 0;  // tokens the prices were fitted to
  std::size_t block_from = history_len;
  std::size_t p = history_len;
  Match m0;
  bool have = matcher.find(p, s.prices, m0);
  const auto emit_literal = [&]() { tokens[count++] = Token{0, data[p]}; };
  while (p < size) {
    if (count - priced >= kRefitTokens) {
      s.prices.refit(tokens + priced, count - priced);
      priced = count;
      if (count == kBlockTokens) {
        aligned = write_block(writer, tokens, count, data + block_from, p - block_from, false);
        count = priced = 0;
        block_from = p;
      }
      have = matcher.find(p, s.prices, m0);
    }
    if (!have) {
      emit_literal();
      matcher.insert(p++);
      have = p < size && matcher.find(p, s.prices, m0);
      continue;
    }
    matcher.insert(p);
    if (m0.length < kMaxMatch && p + 1 < size) {
      // A literal, then the next position's match: taken when it costs less
      // per byte than this match.
      Match m1;
      if (matcher.find(p + 1, s.prices, m1) &&
          per_byte(s.prices.literal(data[p]) + m1.price, 1 + m1.length) < per_byte(m0.price, m0.length)) {
        emit_literal();
        ++p;
        m0 = m1;
        continue;
      }
    }
    tokens[count++] = Token{static_cast<std::uint16_t>(m0.length), static_cast<std::uint16_t>(m0.distance)};
    for (std::size_t q = p + 1; q < p + m0.length; ++q) {
      matcher.insert(q);
    }
    p += m0.length;
    have = p < size && matcher.find(p, s.prices, m0);
  }
  aligned = write_block(writer, tokens, count, data + block_from, p - block_from, last);
  finish_blocks(writer, last, aligned);
  return written_or_zero(writer);
}

}  // namespace vexlo::archive
