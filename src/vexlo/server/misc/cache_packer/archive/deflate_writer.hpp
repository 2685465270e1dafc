#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "deflate_format.hpp"

// What the literal and word coders share to write deflate blocks: the bit
// packer, length-limited Huffman codes, a dynamic block's header and stored
// blocks.
namespace vexlo::archive {

// Writes bits least significant first, as deflate packs them. Past its
// capacity it writes nothing more and reports overflow().
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
  void align();
  // After align(): raw bytes.
  void copy(const unsigned char* data, std::size_t n);
  bool overflow() const { return overflow_; }
  std::size_t written() const { return static_cast<std::size_t>(next_ - out_); }

 private:
  void flush_word();
  void put_byte(unsigned char byte);

  unsigned char* out_;
  unsigned char* next_;
  unsigned char* end_;
  std::uint64_t buffer_ = 0;
  unsigned count_ = 0;  // bits in buffer_
  bool overflow_ = false;
};

// Huffman code lengths for `n` symbol frequencies, none longer than
// `max_bits`. Symbols of frequency 0 get no code.
void build_lengths(const std::uint32_t* freq, unsigned n, unsigned max_bits, unsigned char* lengths);

// Canonical codes for `lengths`, bit-reversed for writing least significant
// bit first.
void build_codes(const unsigned char* lengths, unsigned n, std::uint16_t* codes);

// A dynamic block's header: the literal/length and distance code lengths,
// run-length coded with the code-length alphabet.
class DynamicHeader {
 public:
  // `litlen` holds `nlit` (257..286) code lengths, `dist` holds `ndist`
  // (1..30).
  DynamicHeader(const unsigned char* litlen, unsigned nlit, const unsigned char* dist, unsigned ndist);

  // Bits write() takes: everything after the block header.
  std::uint64_t bits() const { return bits_; }
  void write(BitWriter& out) const;

 private:
  struct Token {
    unsigned char symbol;  // 0..18 of the code-length alphabet
    unsigned char extra;   // value of its extra bits
  };
  void tokenize(const unsigned char* all, unsigned n);

  unsigned nlit_;
  unsigned ndist_;
  std::vector<Token> tokens_;
  unsigned char cl_lengths_[kCodeLengthSymbols];
  std::uint16_t cl_codes_[kCodeLengthSymbols];
  unsigned ncode_;  // code-length code lengths sent (4..19)
  std::uint64_t bits_;
};

// A block's 3 header bits: the final-block bit and the type.
inline void put_block_header(BitWriter& out, bool final_block, DeflateBlockType type) {
  out.put((final_block ? 1u : 0u) | type << 1, kBlockHeaderBits);
}

// Bits of a dynamic block coded with `header`, whose symbols, their extra
// bits and the end code take `data_bits`.
inline std::uint64_t dynamic_block_bits(const DynamicHeader& header, std::uint64_t data_bits) {
  return kBlockHeaderBits + header.bits() + data_bits;
}

// Stored blocks of `in`, 64 KiB at most each; the last is final if `last`.
void put_stored(BitWriter& out, const unsigned char* in, std::size_t len, bool last);

// The most bits put_stored() takes for `len` bytes, the padding to its byte
// boundary included: what a coded block must beat.
inline std::uint64_t stored_bits(std::size_t len) {
  return 8 * (len + 5 * (len / kMaxStoredLength + 1)) + 7;
}

// The step both coders end a block with: `bytes` of `raw`, which `header`
// codes in `data_bits` (see dynamic_block_bits()), coded or stored, whichever
// is smaller. Stores them and returns false, or writes the block's header and
// returns true: the caller then writes the symbols and the end code.
bool begin_coded_or_stored(BitWriter& out, const DynamicHeader& header, std::uint64_t data_bits,
                           const unsigned char* raw, std::size_t bytes, bool final_block);

// Ends a run of blocks: on a byte boundary, and for a run that is not the
// stream's last, with an empty stored block after a Huffman block (`aligned`
// false), as a sync flush writes.
void finish_blocks(BitWriter& out, bool last, bool aligned);

// Bytes written, or 0 when `out` ran out of room.
inline std::size_t written_or_zero(const BitWriter& out) {
  return out.overflow() ? 0 : out.written();
}

}  // namespace vexlo::archive
