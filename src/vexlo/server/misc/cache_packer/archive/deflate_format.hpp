#pragma once

#include <cstddef>

// Facts of the deflate format that the literal and word coders write, the
// joint's walk reads back and the writer's blocks rely on: one copy, so the
// writers and the reader cannot drift apart.

// Deflate packs its bits from the least significant end; the joint's walk
// and the word coder load 8 bytes at a time as one word, which gives those
// bits in order only on a little-endian host.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the archive engine's word loads assume a little-endian host");

namespace vexlo::archive {

// The window: a match reaches at most this far back, so this much of the
// input before a block is all the history its matches can use.
inline constexpr std::size_t kWindow = 32 * 1024;

// A block starts with 3 header bits: the final-block bit, then the block type
// in 2 bits (3 is reserved).
constexpr unsigned kBlockTypeBits = 2;
constexpr unsigned kBlockHeaderBits = 1 + kBlockTypeBits;
enum DeflateBlockType : unsigned { kStoredBlock = 0, kFixedBlock = 1, kDynamicBlock = 2 };

// A stored block's length is sent in 16 bits.
constexpr unsigned kMaxStoredLength = 65535;

// The literal/length symbol that ends a Huffman block.
constexpr unsigned kEndOfBlock = 256;

// The most literal/length and distance codes a dynamic block may declare:
// the byte values, the end code and 29 length symbols; 30 distance symbols.
constexpr unsigned kMaxLitlenCodes = 286;
constexpr unsigned kMaxDistCodes = 30;
constexpr unsigned kFirstLengthSymbol = kEndOfBlock + 1;
constexpr unsigned kLengthSymbols = kMaxLitlenCodes - kFirstLengthSymbol;

// Matches: up to 258 bytes, up to a window back.
constexpr unsigned kMaxMatch = 258;
constexpr unsigned kMaxDistance = static_cast<unsigned>(kWindow);

// Length symbols 257..285 and distance symbols 0..29: the first value each
// stands for, and the extra bits that follow it to pick one of the next.
inline constexpr unsigned short kLengthBase[kLengthSymbols] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                               15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                               67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr unsigned char kLengthExtra[kLengthSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr unsigned short kDistBase[kMaxDistCodes] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr unsigned char kDistExtra[kMaxDistCodes] = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Longest Huffman code of the literal/length and distance alphabets, and of
// the code-length alphabet (what kCodeLengthBits can send).
constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kMaxCodeLengthCodeBits = 7;

// The fixed Huffman code of block type 1: 288 literal/length symbols (286 and
// 287 never occur) of 8, 9, 7 and 8 bits by range, and 32 distance symbols
// (30 and 31 never occur) of 5 bits.
constexpr unsigned kFixedLitlenSymbols = 288;
constexpr unsigned kFixedDistSymbols = 32;
constexpr unsigned kFixedDistBits = 5;
constexpr unsigned fixed_litlen_bits(unsigned symbol) {
  return symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
}

// A dynamic block's header sends its code counts less these minimums, in
// fields of 5 bits (literal/length codes), 5 (distance codes) and 4
// (code-length codes), then each code-length code's length in 3 bits.
constexpr unsigned kMinLitlenCodes = 257;
constexpr unsigned kMinDistCodes = 1;
constexpr unsigned kMinCodeLengthCodes = 4;
constexpr unsigned kLitlenCountBits = 5;
constexpr unsigned kDistCountBits = 5;
constexpr unsigned kCodeLengthCountBits = 4;
constexpr unsigned kCodeLengthBits = 3;

// The code-length alphabet: lengths 0..15, then 16 (repeat the previous
// length 3-6 times), 17 (3-10 zeros) and 18 (11-138 zeros), whose extra bits
// give the count above the repeat's base. Its code lengths are sent in this
// order, so that a header can leave off the rarely used ones at the end.
constexpr unsigned kCodeLengthSymbols = 19;
enum CodeLengthRepeat : unsigned char { kRepeatPrevious = 16, kRepeatZeros = 17, kRepeatManyZeros = 18 };
inline constexpr unsigned char kCodeLengthOrder[kCodeLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
inline constexpr unsigned char kCodeLengthExtraBits[kCodeLengthSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                                           0, 0, 0, 0, 0, 0, 2, 3, 7};
// The fewest and the most repeats a repeat symbol stands for.
constexpr unsigned repeat_base(unsigned symbol) {
  return symbol == kRepeatManyZeros ? 11 : 3;
}
constexpr unsigned repeat_max(unsigned symbol) {
  return repeat_base(symbol) + (1u << kCodeLengthExtraBits[symbol]) - 1;
}

// Huffman codes are packed from their most significant bit, into a stream
// read least significant bit first: a canonical code is written and looked up
// reversed.
constexpr unsigned reverse_code(unsigned code, unsigned len) {
  unsigned reversed = 0;
  for (unsigned i = 0; i < len; ++i, code >>= 1) {
    reversed = (reversed << 1) | (code & 1);
  }
  return reversed;
}

}  // namespace vexlo::archive
