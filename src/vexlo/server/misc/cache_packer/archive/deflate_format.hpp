#pragma once

// Facts of the deflate format that the literal and word coders write and the
// joint's walk reads back: one copy, so the writers and the reader cannot
// drift apart.

namespace vexlo::archive {

// Block types, the two bits after the final-block bit; 3 is reserved.
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

// Matches: up to 258 bytes, up to 32 KiB back.
constexpr unsigned kMaxMatch = 258;
constexpr unsigned kMaxDistance = 32768;

// Length symbols 257..285 and distance symbols 0..29: the first value each
// stands for, and the extra bits that follow it to pick one of the next.
inline constexpr unsigned short kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                   15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                   67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr unsigned char kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr unsigned short kDistBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr unsigned char kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Longest Huffman code of the literal/length and distance alphabets, and of
// the code-length alphabet (its lengths are sent in 3 bits).
constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kMaxCodeLengthCodeBits = 7;

// A dynamic block's header sends its code counts less these minimums: 5 bits
// for the literal/length codes, 5 for the distance codes, 4 for the
// code-length codes.
constexpr unsigned kMinLitlenCodes = 257;
constexpr unsigned kMinDistCodes = 1;
constexpr unsigned kMinCodeLengthCodes = 4;

// The code-length alphabet: lengths 0..15, then 16 (repeat the previous
// length 3-6 times), 17 (3-10 zeros) and 18 (11-138 zeros), whose extra bits
// give the count. Its code lengths are sent in this order, so that a header
// can leave off the rarely used ones at the end.
constexpr unsigned kCodeLengthSymbols = 19;
enum CodeLengthRepeat : unsigned char { kRepeatPrevious = 16, kRepeatZeros = 17, kRepeatManyZeros = 18 };
inline constexpr unsigned char kCodeLengthOrder[kCodeLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
inline constexpr unsigned char kCodeLengthExtraBits[kCodeLengthSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                                           0, 0, 0, 0, 0, 0, 2, 3, 7};

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
